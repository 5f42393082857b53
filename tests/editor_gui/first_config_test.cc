// The editor's first start without any configuration: the offer to create
// one from the example.
#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "config/example.h"
#include "editor/gui/gui_main.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "editor/gui/settings_window.h"
#include "support/test_support.h"

namespace {

struct Boxes {
    std::vector<std::pair<bool, std::string>> seen;  // (question, text)
    explicit Boxes(bool answer) {
        lang_apply(LANG_EN);
        gui_boxes = [this, answer](const QString&, const QString& text, bool q) {
            seen.emplace_back(q, text.toStdString());
            return answer;
        };
    }
    ~Boxes() { gui_boxes = nullptr; }
};

}  // namespace

TEST(FirstConfig, YesWritesTheExampleWhereItWasLookedFor) {
    wptest::TempDir d;
    std::string path = d.file("xdg/wrenpost/wrenpost.cfg");
    Boxes b(true);
    EXPECT_TRUE(gui_first_config(path.c_str()));
    ASSERT_EQ(b.seen.size(), 1u);
    EXPECT_TRUE(b.seen[0].first);
    EXPECT_NE(b.seen[0].second.find("Create a new one from the example"), std::string::npos);
    EXPECT_NE(b.seen[0].second.find(path), std::string::npos);  // says where
    EXPECT_EQ(wptest::read_file(path), cfg_example_for_new());
}

TEST(FirstConfig, NoWritesNothing) {
    wptest::TempDir d;
    std::string path = d.file("xdg/wrenpost/wrenpost.cfg");
    Boxes b(false);
    EXPECT_FALSE(gui_first_config(path.c_str()));
    EXPECT_FALSE(wptest::file_exists(d.file("xdg")));
}

TEST(FirstConfig, AFailedWriteIsSaidWithThePath) {
    wptest::TempDir d;
    wptest::write_file(d.file("xdg"), "");  // a file where the directory belongs
    std::string path = d.file("xdg/wrenpost/wrenpost.cfg");
    Boxes b(true);
    EXPECT_FALSE(gui_first_config(path.c_str()));
    ASSERT_EQ(b.seen.size(), 2u);
    EXPECT_FALSE(b.seen[1].first);
    EXPECT_EQ(b.seen[1].second, "Cannot create the configuration file: " + path);
}

// The whole start: no -c and no file gives the main window with the settings
// window open on the new file; with -c a missing file stays an error.
TEST(FirstConfig, StartWithoutAnyConfigurationOpensTheSettingsOnANewOne) {
    wptest::TempDir d;
    std::string path = d.file("xdg/wrenpost/wrenpost.cfg");
    CmdLine cl;
    str_copy(cl.cfg_path, path.c_str(), sizeof cl.cfg_path);
    {
        Boxes b(true);
        std::unique_ptr<MainWindow> w = gui_open(cl);
        ASSERT_TRUE(w);
        QApplication::processEvents();
        ASSERT_NE(w->settings_window(), nullptr);
        EXPECT_TRUE(w->settings_window()->isVisible());
        EXPECT_EQ(std::string(g_cfg.path), path);
        EXPECT_EQ(cfg_boss_count(g_cfg), 2);
        ASSERT_EQ(b.seen.size(), 1u);  // only the offer
    }
    // Started again, the file is there: no offer, no settings window.
    {
        Boxes b(true);
        std::unique_ptr<MainWindow> w = gui_open(cl);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->settings_window(), nullptr);
        EXPECT_TRUE(b.seen.empty());
    }
}

TEST(FirstConfig, DeclinedOrNamedWithDashCNothingIsCreated) {
    wptest::TempDir d;
    std::string path = d.file("xdg/wrenpost/wrenpost.cfg");
    CmdLine cl;
    str_copy(cl.cfg_path, path.c_str(), sizeof cl.cfg_path);
    {
        Boxes b(false);
        EXPECT_FALSE(gui_open(cl));
        EXPECT_EQ(b.seen.size(), 1u);
    }
    cl.cfg_given = true;  // a file the user named: the old error, no offer
    {
        Boxes b(true);
        EXPECT_FALSE(gui_open(cl));
        ASSERT_EQ(b.seen.size(), 1u);
        EXPECT_FALSE(b.seen[0].first);
        EXPECT_EQ(b.seen[0].second,
                  "Cannot read configuration file (default: wrenpost.cfg, otherwise -c file).");
    }
    EXPECT_FALSE(wptest::file_exists(d.file("xdg")));
}
