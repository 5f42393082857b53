// The areas and AreaFix window over a real netmail base with a reply from
// the area manager, and the request it writes.
#include "editor/gui/areas_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using wptest::add_local;
using wptest::LocalMsg;

namespace {

std::string str(const QString& s) {
    return s.toStdString();
}

struct Point {
    wptest::TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    std::vector<std::string> questions;
    bool answer = true;
    std::unique_ptr<MainWindow> w;

    explicit Point(bool reply = true) {
        std::string m = d.path();
        wptest::write_file(cfg, "sysop=Jo Point\ninbound=" + m + "/in\noutbound=" + m +
                                    "/out\n[fsx]\naddress=21:3/210.7\nboss_address=21:3/210\n"
                                    "boss_host=127.0.0.1\nareafix_password=secret\nnetmail=" +
                                    m + "/netmail\nechoarea=FSX_GEN " + m + "/fsxgen\n");
        if (reply) {
            LocalMsg r;
            r.from = "AreaFix";
            r.to = "Jo Point";
            r.subject = "reply";
            r.attr = 0;
            r.text =
                "Command: %LIST\r* FSX_GEN ..... General chat\rFSX_BOT - Bots\r"
                "FSX_TST - Tests\r";
            EXPECT_EQ(add_local(m + "/netmail", r), 0);
        }
        lang_apply(LANG_EN);
        EXPECT_EQ(load_config(g_cfg, cfg.c_str()), 0);
        gui_boxes = [this](const QString&, const QString& text, bool) {
            questions.push_back(str(text));
            return answer;
        };
        CmdLine cl;
        str_copy(cl.cfg_path, cfg.c_str(), sizeof cl.cfg_path);
        w = std::make_unique<MainWindow>(cl);
        w->show();
        w->do_command(CMD_AREAS);
        QApplication::processEvents();
    }
    ~Point() {
        if (w) w->close();
        gui_boxes = nullptr;
    }
    AreasWindow* a() { return w->areas_window(); }
    std::vector<std::string> rows() {
        std::vector<std::string> out;
        QTreeWidget* l = a()->list();
        for (int i = 0; i < l->topLevelItemCount(); ++i) {
            QTreeWidgetItem* it = l->topLevelItem(i);
            out.push_back(
                str(it->text(0) + "|" + it->text(1) + "|" + it->text(2) + "|" + it->text(3)));
        }
        return out;
    }
    void select(const std::vector<int>& rows) {
        for (int r : rows) a()->list()->topLevelItem(r)->setSelected(true);
    }
};

}  // namespace

TEST(AreasWindow, ListFromRepliesWithLocalAreas) {
    Point p;
    ASSERT_NE(p.a(), nullptr);
    EXPECT_EQ(p.rows(),
              (std::vector<std::string>{"FSX_BOT|Bots|unknown|", "FSX_GEN|General chat|linked|yes",
                                        "FSX_TST|Tests|unknown|"}));
    EXPECT_EQ(str(p.a()->info()), "AreaFix @ 21:3/210  \u00b7  Password: set (never shown)");
    EXPECT_EQ(str(p.a()->status()), "3 areas, 1 linked \u00b7 1 AreaFix reply/replies evaluated");
    // The cache now holds the list.
    EXPECT_TRUE(wptest::file_exists(p.d.file("areas_fsx.lst")));
}

TEST(AreasWindow, BuildingAndWritingARequest) {
    Point p;
    AreasWindow* a = p.a();
    a->subscribe(true);
    EXPECT_EQ(str(a->status()), "Please select one or more areas in the list first.");
    p.select({0, 2});
    a->rescan_box()->setChecked(true);
    a->rescan_value()->clear();
    a->subscribe(true);
    EXPECT_EQ(str(a->request()->toPlainText()), "+FSX_BOT,R=50\n+FSX_TST,R=50\n");
    a->rescan();
    EXPECT_EQ(str(a->request()->toPlainText()), "+FSX_BOT,R=50\n+FSX_TST,R=50\n%RESCAN R=50\n");

    // Unsubscribing from a local area asks once; "no" keeps the configuration.
    a->list()->clearSelection();
    p.select({1, 2});
    p.answer = false;
    a->subscribe(false);
    ASSERT_EQ(p.questions.size(), 1u);
    EXPECT_NE(p.questions[0].find("FSX_GEN"), std::string::npos);
    EXPECT_NE(wptest::read_file(p.cfg).find("echoarea=FSX_GEN"), std::string::npos);
    EXPECT_NE(str(a->request()->toPlainText()).find("-FSX_GEN\n-FSX_TST\n"), std::string::npos);

    ASSERT_TRUE(a->create(false));
    EXPECT_EQ(str(a->status()), "AreaFix netmail #2 created \u2013 it is sent with the next poll.");
    EXPECT_TRUE(a->request()->toPlainText().isEmpty());
    EXPECT_FALSE(a->create(false));
    EXPECT_EQ(str(a->status()), "No commands \u2013 first build a request with the buttons above.");
    // The request is a netmail to AreaFix with the password as subject.
    auto r = wptest::run_wrenpost({"-lang", "en", "-c", p.cfg, "scan"}, p.d.path());
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(wptest::has_log_line(r.out, "  Area NETMAIL: exported 1")) << r.out;

    // "yes" removes the echoarea line; the tree loses the area.
    a->list()->clearSelection();
    p.select({1});
    p.answer = true;
    a->subscribe(false);
    EXPECT_EQ(str(a->status()), "echoarea line removed: FSX_GEN");
    EXPECT_EQ(wptest::read_file(p.cfg).find("echoarea=FSX_GEN"), std::string::npos);
    EXPECT_EQ(p.rows()[1], "FSX_GEN|General chat|linked|");
}

TEST(AreasWindow, LockedBasesShowTheCache) {
    Point first;  // writes the cache
    first.w->close();
    wptest::JamLockHolder holder(first.cfg);
    CmdLine cl;
    str_copy(cl.cfg_path, first.cfg.c_str(), sizeof cl.cfg_path);
    first.w = std::make_unique<MainWindow>(cl);
    first.w->do_command(CMD_AREAS);
    EXPECT_EQ(str(first.a()->status()), "List from the cache \u2013 JAM bases locked.");
    EXPECT_EQ(first.rows().size(), 3u);
}
