// The settings window: what it shows, what it refuses, and what Save writes.
#include "editor/gui/settings_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "support/test_support.h"

namespace {

std::string str(const QString& s) {
    return s.toStdString();
}

const char kCfg[] =
    "; my point\nsysop=Jo Point\naddress=21:3/210.7\n"
    "[fsx]\naddress=21:3/210.101@fsxnet\nboss_address=21:3/210\nboss_host=bbs.example\n"
    "password=old\n"
    "[fido]\naddress=2:240/5832.7\nboss_address=2:240/5832\nboss_host=f.example\n";

struct Window {
    wptest::TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    std::vector<std::string> boxes;
    bool answer = true;
    std::unique_ptr<MainWindow> w;
    SettingsWindow* s = nullptr;
    explicit Window(const std::string& text = kCfg) {
        wptest::write_file(cfg, text);
        lang_apply(LANG_EN);
        EXPECT_EQ(load_config(g_cfg, cfg.c_str()), 0);
        gui_boxes = [this](const QString&, const QString& t, bool) {
            boxes.push_back(str(t));
            return answer;
        };
        CmdLine cl;
        str_copy(cl.cfg_path, cfg.c_str(), sizeof cl.cfg_path);
        w = std::make_unique<MainWindow>(cl);
        w->do_command(CMD_SETTINGS);
        s = w->settings_window();
    }
    ~Window() {
        if (w) w->close();
        gui_boxes = nullptr;
    }
    std::string file() { return wptest::read_file(cfg); }
};

}  // namespace

TEST(SettingsWindow, ShowsABossAndRefusesBadEntries) {
    Window t;
    ASSERT_NE(t.s, nullptr);
    EXPECT_EQ(t.s->bosses()->count(), 2);
    EXPECT_EQ(str(t.s->field(SK_ADDRESS)->text()), "21:3/210.101@fsxnet");
    EXPECT_TRUE(t.s->pw()->text().isEmpty());  // never shown
    EXPECT_EQ(str(t.s->origin_line()),
              "Origin text for this boss: at most 53 characters (\u201c * Origin: text (AKA)\u201d "
              "\u2264 79 characters).");

    // An invalid port keeps the window on this boss.
    t.s->field(SK_PORT)->setText("70000");
    EXPECT_FALSE(t.s->select_boss(1));
    EXPECT_EQ(t.boxes.back(), "Invalid boss port: 1 to 65535 (empty = 24554).");
    EXPECT_EQ(t.s->current(), 0);
    t.s->field(SK_PORT)->clear();

    // A password with a blank at its end is refused on Save; nothing written.
    std::string before = t.file();
    t.s->pw()->setText("secret ");
    EXPECT_FALSE(t.s->save());
    EXPECT_EQ(t.boxes.back().substr(0, 18), "Invalid password: ");
    EXPECT_EQ(t.file(), before);

    // Own name/origin too long for this address.
    t.s->pw()->clear();
    t.s->own()->setChecked(true);
    t.s->field(SK_SYSTEM)->setText(QString(54, QLatin1Char('o')));
    EXPECT_FALSE(t.s->save());
    EXPECT_NE(t.boxes.back().find("too long for boss \u201cfsx\u201d: at most 53"),
              std::string::npos);
    EXPECT_EQ(t.file(), before);
}

TEST(SettingsWindow, SaveWritesOnlyWhatChangedAndAppliesAutoPoll) {
    Window t;
    t.s->ap_on()->setChecked(true);
    t.s->interval()->setText("2");
    // the unit box: hours
    t.s->findChildren<QComboBox*>()[1]->setCurrentIndex(1);
    t.s->pw()->setText("new secret");
    ASSERT_TRUE(t.s->select_boss(1));
    t.s->autocreate()->setChecked(false);
    ASSERT_TRUE(t.s->save());
    std::string f = t.file();
    EXPECT_EQ(f,
              "; my point\nsysop=Jo Point\naddress=21:3/210.7\n"
              "[fsx]\naddress=21:3/210.101@fsxnet\nboss_address=21:3/210\nboss_host=bbs.example\n"
              "password=new secret\nautopoll=2h\n"
              "[fido]\naddress=2:240/5832.7\nboss_address=2:240/5832\nboss_host=f.example\n"
              "autocreate=no\n");
    EXPECT_TRUE(t.w->jobs().ap_slots[0].ap_on);
    EXPECT_EQ(t.w->jobs().ap_slots[0].ap_min, 120);
    EXPECT_EQ(str(t.w->status_text(2)), "Settings saved.");
}

TEST(SettingsWindow, NewAndDeletedBossesAndTheLanguage) {
    Window t;
    ASSERT_TRUE(t.s->new_boss());
    t.s->section()->setText("FSX");  // taken, in other letters
    t.s->field(SK_ADDRESS)->setText("1:2/3.4");
    t.s->field(SK_BOSSADDR)->setText("1:2/3");
    t.s->field(SK_HOST)->setText("h.example");
    EXPECT_FALSE(t.s->save());
    EXPECT_EQ(t.boxes.back().substr(0, 29), "Section name invalid or alrea");
    t.s->section()->setText("league");
    // fido goes.
    ASSERT_TRUE(t.s->select_boss(1));
    t.answer = true;
    ASSERT_TRUE(t.s->delete_boss());
    ASSERT_TRUE(t.s->save());
    std::string f = t.file();
    EXPECT_EQ(f.find("[fido]"), std::string::npos) << f;
    EXPECT_NE(f.find("\n[boss league]\naddress=1:2/3.4\n"), std::string::npos) << f;
    EXPECT_NE(f.find("boss_port=24554"), std::string::npos) << f;
    EXPECT_EQ(str(t.w->status_text(2)).rfind("Settings saved. New/deleted bosses", 0), 0u);

    // Only the language: one line, and the note about the restart.
    Window lang("address=21:3/210.7\nboss_address=21:3/210\nboss_host=b\n");
    lang.s->language()->setCurrentIndex(1);
    EXPECT_FALSE(lang.s->new_boss());  // single-boss format
    EXPECT_NE(lang.boxes.back().find("single-boss format"), std::string::npos);
    ASSERT_TRUE(lang.s->save());
    EXPECT_EQ(lang.file(), "address=21:3/210.7\nboss_address=21:3/210\nboss_host=b\nlanguage=de\n");
    EXPECT_EQ(str(lang.w->status_text(2)), "The language takes effect after restarting wrenpost.");
}
