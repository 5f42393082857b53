#include "config/example.h"

#include <gtest/gtest.h>

#include <string>

#include "config/config.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

TEST(Example, BuiltInTextIsTheShippedFile) {
    EXPECT_EQ(std::string(cfg_example_text),
              wptest::read_file(std::string(WP_SOURCE_DIR) + "/wrenpost.cfg.example"));
}

TEST(Example, NewConfigurationKeepsTheFilesBesideIt) {
    wptest::TempDir d;
    std::string path = d.file("home/.config/wrenpost/wrenpost.cfg");
    ASSERT_EQ(cfg_write_example(path.c_str()), CfgResult::Ok);
    std::string text = wptest::read_file(path);
    EXPECT_EQ(text, cfg_example_for_new());
    EXPECT_EQ(text.find("/home/jo"), std::string::npos);
    EXPECT_FALSE(wptest::file_exists(path + ".wp$"));

    Config c;
    std::string out;
    con_capture(&out);
    ASSERT_EQ(load_config(c, path.c_str()), 0) << out;
    con_capture(nullptr);
    std::string dir = d.file("home/.config/wrenpost/");
    ASSERT_EQ(cfg_boss_count(c), 2);
    BossCfg b = cfg_boss(c, 0);
    ASSERT_EQ(cfg_require(b), 0) << out;
    EXPECT_EQ(std::string(b.get(F_INBOUND)), dir + "in");
    EXPECT_EQ(std::string(b.get(F_NETMAIL)), dir + "msg/netmail");
    EXPECT_EQ(std::string(c.area_paths[0]), dir + "msg/fidotest");
    // The folders it names are there for the first poll and toss.
    for (const char* sub : {"in", "out", "msg"})
        EXPECT_TRUE(pf_stat((dir + sub).c_str()).is_dir) << sub;
}

TEST(Example, AnExistingFileIsNeverReplaced) {
    wptest::TempDir d;
    std::string path = d.file("wrenpost.cfg");
    wptest::write_file(path, "sysop = mine\n");
    EXPECT_EQ(cfg_write_example(path.c_str()), CfgResult::Exists);
    EXPECT_EQ(wptest::read_file(path), "sysop = mine\n");
    EXPECT_FALSE(wptest::file_exists(d.file("in")));  // nothing made for a file not written
}

TEST(Example, FailureLeavesNothingBehind) {
    wptest::TempDir d;
    wptest::write_file(d.file("blocker"), "a file where a directory should be\n");
    std::string path = d.file("blocker/wrenpost/wrenpost.cfg");
    EXPECT_EQ(cfg_write_example(path.c_str()), CfgResult::Failed);
    EXPECT_FALSE(wptest::file_exists(path));
    EXPECT_EQ(wptest::read_file(d.file("blocker")), "a file where a directory should be\n");
    // A write that fails half-way leaves no temporary file either.
    std::string ok = d.file("w.cfg");
    pf_fault_write_after(1);
    EXPECT_EQ(cfg_write_example(ok.c_str()), CfgResult::Failed);
    pf_fault_write_after(0);
    EXPECT_FALSE(wptest::file_exists(ok));
    EXPECT_FALSE(wptest::file_exists(ok + ".wp$"));
}
