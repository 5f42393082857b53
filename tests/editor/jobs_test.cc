// The editor's mail jobs: auto-poll values and ap_slots, the child's command
// line, the status text, the log pane, and real child processes.
#include "editor/jobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "support/test_support.h"

namespace {

std::string ascii(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? char(c) : '~';
    return out;
}

struct Cfg {
    wptest::TempDir d;
    std::unique_ptr<Config> c = std::make_unique<Config>();
    explicit Cfg(const std::string& text) {
        lang_apply(LANG_EN);
        wptest::write_file(d.file("wrenpost.cfg"), text);
        EXPECT_EQ(load_config(*c, d.file("wrenpost.cfg").c_str()), 0);
    }
};

}  // namespace

TEST(Jobs, AutoPollValues) {
    struct {
        const char* text;
        bool on;
        int minutes;
    } rows[] = {
        {"30", true, 30},        {"30m", true, 30},
        {"2h", true, 120},       {"1d", true, 1440},
        {"90 M", true, 90},      {"off 2h", false, 120},
        {" OFF, 90", false, 90}, {"10x", false, 0},
        {"0", false, 0},         {"", false, 0},
        {"off", false, 0},       {"h", false, 0},
        {"8d", true, 10080},     {"99999999999", true, 10080},
    };
    for (auto& r : rows) {
        ApValue v = parse_ap(r.text);
        EXPECT_EQ(v.on, r.on) << r.text;
        EXPECT_EQ(v.minutes, r.minutes) << r.text;
    }
}

TEST(Jobs, SlotsCommandLinesAndStatus) {
    Cfg one("address=21:3/210.7\nautopoll=2h\n");
    Jobs j;
    po_init(j, *one.c, 36000);  // 10:00:00
    ASSERT_EQ(j.ap_slots.size(), 1u);
    EXPECT_EQ(j.ap_slots[0].name, "Boss");
    EXPECT_EQ(po_argv(j, "/usr/bin/wrenpost", "/home/jo/wrenpost.cfg", LANG_EN, K_ALL, 0),
              (std::vector<std::string>{"/usr/bin/wrenpost", "-lang", "en", "-c",
                                        "/home/jo/wrenpost.cfg", "all"}));
    EXPECT_EQ(ascii(po_status(j)), "  Auto-poll   Boss: every 2 h, next 12:00:00 ~ last ~");

    Cfg two(
        "autopoll=90\n[fido]\naddress=2:240/5832.7\nautopoll=off 1h\n"
        "[fsx]\naddress=21:3/210.7\n[other]\nautopoll=10x\n");
    po_init(j, *two.c, 36000);
    ASSERT_EQ(j.ap_slots.size(), 3u);
    EXPECT_EQ(po_argv(j, "w", "c", LANG_DE, K_ALL, 1),
              (std::vector<std::string>{"w", "-lang", "de", "-c", "c", "all", "fsx"}));
    EXPECT_EQ(po_argv(j, "w", "c", LANG_DE, K_TOSS, 1).back(), "toss");
    EXPECT_EQ(po_argv(j, "w", "c", LANG_DE, K_SCAN, -1).back(), "scan");
    EXPECT_EQ(po_what(j, K_SCAN, 0), "scan fido");
    EXPECT_EQ(
        ascii(po_status(j)),
        "  Auto-poll   fido: off ~ last ~   |   fsx: every 90 min, next 11:30:00 ~ last ~   |   "
        "other: off ~ last ~");

    // Running: the job first; when it ends, the slot records time and code.
    po_started(j, K_ALL, 1, false, 37000);
    EXPECT_EQ(ascii(po_status(j)).substr(0, 62),
              "  ~ running: Poll (export ~ poll ~ toss) fsx since 10:16:40   ");
    po_done(j, 9, 37200);
    EXPECT_FALSE(j.po_running);
    EXPECT_EQ(j.ap_slots[1].last_code, 9);
    EXPECT_EQ(j.ap_slots[1].ap_next, 37200u + 90 * 60);
    EXPECT_EQ(j.ap_slots[0].last_t, 0u);
    EXPECT_NE(ascii(po_status(j)).find("fsx: every 90 min, next 11:50:00 ~ last 10:20:00 Exit 9"),
              std::string::npos);
    EXPECT_EQ(ascii(res_text(4)), "busy (M_BSY/.bsy)");
    EXPECT_EQ(ascii(res_text(7)), "stopped (Ctrl+C/signal)");  // a toss stopped by a signal
    EXPECT_EQ(ascii(res_text(8)), "Exit 8");
}

TEST(Jobs, OnlyTheFirstDueSlotStartsPerTick) {
    Cfg two("autopoll=10\n[a]\naddress=1:2/3.4\n[b]\naddress=1:2/3.5\n");
    Jobs j;
    po_init(j, *two.c, 1000);
    EXPECT_EQ(po_due(j, 1000 + 599), -1);
    EXPECT_EQ(po_due(j, 1600), 0);
    po_started(j, K_ALL, 0, true, 1600);
    po_auto_started(j, 0, 1600);
    EXPECT_EQ(po_due(j, 1601), -1);  // a job runs
    po_done(j, 0, 1700);
    EXPECT_EQ(po_due(j, 1701), 1);  // the second one, on a later tick
    po_apply_slot(j, 1, false, 10, 1701);
    EXPECT_EQ(po_due(j, 1702), -1);
    po_apply_slot(j, 1, true, 5, 1702);
    EXPECT_EQ(j.ap_slots[1].ap_next, 1702u + 300);
}

TEST(Jobs, AReloadKeepsWhatTheSlotsKnow) {
    Cfg two("autopoll=10\n[a]\naddress=1:2/3.4\n[b]\naddress=1:2/3.5\n");
    Jobs j;
    po_init(j, *two.c, 1000);
    po_started(j, K_ALL, 0, false, 1100);
    po_done(j, 3, 1200);
    // The configuration is loaded again after every job; b's interval changed.
    Cfg again("autopoll=10\n[a]\naddress=1:2/3.4\n[b]\naddress=1:2/3.5\nautopoll=20\n");
    po_reinit(j, *again.c, 1300);
    EXPECT_EQ(j.ap_slots[0].last_t, 1200u);
    EXPECT_EQ(j.ap_slots[0].last_code, 3);
    EXPECT_EQ(j.ap_slots[0].ap_next, 1200u + 600);
    EXPECT_EQ(j.ap_slots[1].ap_min, 20);
    EXPECT_EQ(j.ap_slots[1].ap_next, 1300u + 1200);
    EXPECT_EQ(j.ap_slots[1].last_t, 0u);
}

TEST(Jobs, LogPaneKeepsItsNewestPart) {
    lang_apply(LANG_EN);
    std::u16string pane;
    std::u16string line(998, u'x');
    for (int i = 0; i < 300; ++i) log_append(pane, line);  // 300 000 characters
    EXPECT_EQ(pane.size(), 300000u);
    log_append(pane, u"new");
    EXPECT_EQ(pane.size(), 300000u - 150000u + 5u);
    EXPECT_EQ(pane.substr(pane.size() - 5), u"new\r\n");
    EXPECT_EQ(ascii(child_line("[10:00:00] T\x84st")), "[10:00:00] T~st");
    EXPECT_EQ(ascii(glog_line(3723, u"hello")), "[01:02:03] [GUI] hello");
}

TEST(Jobs, RealChildren) {
    // The program itself, as the editor starts it: every line and the code.
    wptest::TempDir d;
    Cfg cfg("address=21:3/210.7\n");
    Jobs j;
    po_init(j, *cfg.c, 0);
    PfChild child;
    auto argv = po_argv(j, WP_BINARY, d.file("missing.cfg").c_str(), LANG_EN, K_TOSS, -1);
    ASSERT_EQ(pf_spawn(argv, child), 0);
    std::vector<std::string> lines;
    int code = job_pump(child, [&](const std::string& l) { lines.push_back(l); });
    EXPECT_EQ(code, 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("End, exit code 1"), std::string::npos) << lines.back();

    // CR dropped, long lines cut, a last line without its end delivered.
    std::string script =
        "printf 'a\\r\\nb\\n'; head -c 3000 /dev/zero | tr '\\0' y; printf "
        "'\\nlast'; exit 3";
    ASSERT_EQ(pf_spawn({"/bin/sh", "-c", script}, child), 0);
    lines.clear();
    code = job_pump(child, [&](const std::string& l) { lines.push_back(l); });
    EXPECT_EQ(code, 3);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[2], std::string(LOG_LINE_MAX, 'y'));
    EXPECT_EQ(lines[3], "last");

    // Killed: code 255. A program that does not exist: not started.
    ASSERT_EQ(pf_spawn({"/bin/sh", "-c", "kill -9 $$"}, child), 0);
    EXPECT_EQ(job_pump(child, [](const std::string&) {}), 255);
    EXPECT_EQ(pf_spawn({d.file("no-such-program")}, child), 1);
    EXPECT_EQ(child.out, PF_INVALID);
    char self[4096];
    EXPECT_EQ(pf_self_exe(self, sizeof self), 0);
    EXPECT_NE(std::string(self).find("editor_tests"), std::string::npos);
}

namespace {

// What the fake pf_self_exe below answers: a path, or failure when empty
// (no /proc, as on a system without it mounted).
std::string g_self;
int fake_self(char* out, size_t cap) {
    if (g_self.empty() || g_self.size() >= cap) {
        if (cap > 0) out[0] = '\0';
        return 1;
    }
    std::copy(g_self.begin(), g_self.end(), out);
    out[g_self.size()] = '\0';
    return 0;
}

// Sets or clears WRENPOST_EXE for one scope.
struct ExeEnv {
    explicit ExeEnv(const char* v) {
        if (v != nullptr)
            setenv("WRENPOST_EXE", v, 1);
        else
            unsetenv("WRENPOST_EXE");
    }
    ~ExeEnv() { unsetenv("WRENPOST_EXE"); }
};

}  // namespace

// The program a job starts is an absolute path, however long, or no job
// starts: a name would be looked up in the current directory.
TEST(Jobs, ProgramIsAnAbsolutePathOrNone) {
    std::string long_path = "/" + std::string(300, 'd') + "/" + std::string(300, 'e') + "/wrenpost";
    struct Case {
        const char* env;  // WRENPOST_EXE, nullptr unset
        std::string self;
        bool ok;
        std::string want;
    } cases[] = {
        {nullptr, "", false, ""},  // the running program's path is unknown
        {nullptr, "wrenpost", false, ""},
        {nullptr, "./wrenpost", false, ""},
        {nullptr, "bin/wrenpost", false, ""},
        {nullptr, "/usr/bin/wrenpost", true, "/usr/bin/wrenpost"},
        {nullptr, long_path, true, long_path},
        {"wrenpost", "/usr/bin/wrenpost", false, ""},
        {"/opt/wp/wrenpost", "", true, "/opt/wp/wrenpost"},
        {"", "/usr/bin/wrenpost", true, "/usr/bin/wrenpost"},
    };
    for (const Case& c : cases) {
        ExeEnv env(c.env);
        g_self = c.self;
        std::string exe = "x";
        EXPECT_EQ(po_exe(exe, fake_self), c.ok) << c.self;
        EXPECT_EQ(exe, c.want) << c.self;
    }
    g_self.clear();
}

// The real lookup: this test program's own path. With WP_EXE_PROBE set (by
// the test below), the path found is written there.
TEST(Jobs, ThisProgramsPath) {
    ExeEnv env(nullptr);
    std::string exe;
    ASSERT_TRUE(po_exe(exe));
    EXPECT_TRUE(po_absolute(exe));
    EXPECT_TRUE(pf_stat(exe.c_str()).is_file) << exe;
    const char* probe = getenv("WP_EXE_PROBE");
    if (probe != nullptr) wptest::write_file(probe, exe);
}

#ifndef _WIN32
// A copy of this test program below a directory path of 600 bytes and more
// finds itself whole (it used to fall back to "wrenpost" in the current
// directory there).
TEST(Jobs, ProgramInALongPathFindsItselfWhole) {
    wptest::TempDir d;
    std::string dir = d.path();
    for (int i = 0; i < 7; ++i) {
        dir += "/" + std::string(100, static_cast<char>('a' + i));
        ASSERT_EQ(pf_mkdir(dir.c_str()), 0) << dir;
    }
    std::string copy = dir + "/editor_tests";
    ASSERT_GT(copy.size(), 700u);
    char self[4096];
    ASSERT_EQ(pf_self_exe(self, sizeof self), 0);
    wptest::write_file(copy, wptest::read_file(self));
    ASSERT_EQ(pf_chmod(copy.c_str(), 0755), 0);
    std::string probe = d.file("probe");
    setenv("WP_EXE_PROBE", probe.c_str(), 1);
    PfChild child;
    int started = pf_spawn({copy, "--gtest_filter=Jobs.ThisProgramsPath"}, child);
    unsetenv("WP_EXE_PROBE");
    ASSERT_EQ(started, 0);
    std::string out;
    EXPECT_EQ(job_pump(child, [&out](const std::string& l) { out += l + "\n"; }), 0) << out;
    EXPECT_EQ(wptest::read_file(probe), copy);
}
#endif
