#include "app/cmdline.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::log_lines;
using wptest::log_text;
using wptest::run_wrenpost;

namespace {

const char* kOneBoss =
    "address = 2:240/1.5\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
    "inbound = in\noutbound = out\n";

std::vector<std::string> texts(const std::string& out) {
    return wptest::log_texts(out);
}

const std::vector<std::string> kUsage = {
    "Usage: wrenpost [-c config] [-lang de|en] [poll [boss|all] | toss | scan [boss] | all [boss]]",
    "        no command: GUI (editor, auto-poll, log)",
    "        areafix boss \"%LIST;+TAG;-TAG\"  AreaFix request | areas boss  area list",
    "        -c file (else ./wrenpost.cfg, then ~/.config/wrenpost/wrenpost.cfg) | --version | "
    "--help",
    "        list TAG | read [-k] TAG N | post TAG TO SUBJECT [FILE] | netmail ADDRESS TO SUBJECT "
    "[FILE]",
    "        list -b BASE | read [-k] -b BASE N  with BASE netmail[.boss], bad or dupes (an area "
    "TAG "
    "comes first)",
    "        node ADDRESS | node -n TEXT  nodelist entry | nodediff [boss]  apply nodediffs",
    "        files [TAG]  file areas/files | freq BOSS NAME [!password] [NAME...]  file request",
};

}  // namespace

TEST(CommandLine, TokensOptionsAndWords) {
    struct Case {
        std::vector<const char*> argv;
        const char *cfg, *cmd, *arg, *afcmds;
        int lang;
        bool badlang, too_many;
    } cases[] = {
        {{"wp"}, "wrenpost.cfg", "", "", "", 0, false, false},
        {{"wp", "-c", "x.cfg"}, "x.cfg", "", "", "", 0, false, false},
        {{"wp", "-C"}, "", "", "", "", 0, false, false},  // missing value: empty path
        {{"wp", "poll", "-LANG", "DE", "fido"},
         "wrenpost.cfg",
         "poll",
         "fido",
         "",
         LANG_DE,
         false,
         false},
        {{"wp", "-lang", "fr", "poll"}, "wrenpost.cfg", "poll", "", "", 0, true, false},
        {{"wp", "areafix", "fido", "+A.B;-C.D; %LIST"},
         "wrenpost.cfg",
         "areafix",
         "fido",
         "+A.B;-C.D; %LIST",
         0,
         false,
         false},
        {{"wp", "areafix", "fido", "%LIST", "more"},
         "wrenpost.cfg",
         "areafix",
         "fido",
         "%LIST",
         0,
         false,
         true},
        {{"wp", "poll", "a", "b"}, "wrenpost.cfg", "poll", "a", "", 0, false, true},
        {{"wp", "areafix", "", "%LIST"}, "wrenpost.cfg", "areafix", "", "%LIST", 0, false, false},
        {{"wp", "toss", "-a", "FIDO.TEST", "-m", "12", "--hold-lock", "3"},
         "wrenpost.cfg",
         "toss",
         "",
         "",
         0,
         false,
         false},
    };
    for (const auto& c : cases) {
        CmdLine cl;
        parse_cmdline(static_cast<int>(c.argv.size()), c.argv.data(), cl);
        std::string what = c.argv.size() > 1 ? c.argv[1] : "(none)";
        EXPECT_STREQ(cl.cfg_path, c.cfg) << what;
        EXPECT_STREQ(cl.cmd, c.cmd) << what;
        EXPECT_STREQ(cl.arg, c.arg) << what;
        EXPECT_STREQ(cl.afcmds, c.afcmds) << what;
        EXPECT_EQ(cl.lang_cli, c.lang) << what;
        EXPECT_EQ(cl.badlang, c.badlang) << what;
        EXPECT_EQ(cl.too_many, c.too_many) << what;
    }
    CmdLine cl;
    const char* argv[] = {"wp", "-a", "FIDO.TEST", "-m", "12", "--hold-lock", "3"};
    parse_cmdline(7, argv, cl);
    EXPECT_STREQ(cl.start_area, "FIDO.TEST");
    EXPECT_EQ(cl.start_msg, 12u);
    EXPECT_EQ(cl.hold_lock, 3u);
    EXPECT_EQ(cl.lock_wait_ms, -1);  // not given: the program's wait
}

TEST(CommandLine, LockWaitIsReadAndCut) {
    for (auto [given, want] : {std::pair<const char*, int64_t>{"250", 250},
                               {"0", 0},
                               {"99999999999", 3600000},
                               {"", 0}}) {
        CmdLine cl;
        const char* argv[] = {"wp", "--lock-wait", given, "toss"};
        parse_cmdline(given[0] ? 4 : 3, argv, cl);
        EXPECT_EQ(cl.lock_wait_ms, want) << given;
        if (given[0]) {
            EXPECT_STREQ(cl.cmd, "toss") << given;
        }
    }
}

TEST(CommandLine, LongTokensKeep519Bytes) {
    std::string longpath(700, 'p');
    const char* argv[] = {"wp", "-c", longpath.c_str()};
    CmdLine cl;
    parse_cmdline(3, argv, cl);
    EXPECT_EQ(std::string(cl.cfg_path).size(), 519u);
}

TEST(CommandLine, HelpPrintsUsageWithoutReadingConfig) {
    wptest::TempDir d;
    for (const char* h : {"-h", "--help", "/?", "-H"}) {
        auto r = run_wrenpost({"-lang", "en", "-c", d.file("nonexistent.cfg"), h});
        EXPECT_EQ(r.code, 0) << h;
        auto t = texts(r.out);
        ASSERT_EQ(t.size(), 2 + kUsage.size() + 1) << r.out;
        EXPECT_EQ(t[0], "wrenpost 0.9 - FidoNet point (mailer/tosser/scanner/editor)");
        EXPECT_EQ(std::vector<std::string>(t.begin() + 2, t.end() - 1), kUsage);
        EXPECT_EQ(t.back(), "End, exit code 0");
    }
}

TEST(CommandLine, UsageErrorsEndWithOne) {
    wptest::TempDir d;
    wptest::write_file(d.file("wrenpost.cfg"), kOneBoss);
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"toss", "all"}, "ERROR: unknown command/too many arguments: toss"},
        {{"poll", "a", "b"}, "ERROR: unknown command/too many arguments: poll"},
        {{"fetch"}, "ERROR: unknown command/too many arguments: fetch"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-lang", "en"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = run_wrenpost(args, d.path());
        EXPECT_EQ(r.code, 1);
        auto t = texts(r.out);
        ASSERT_EQ(t.size(), 3 + kUsage.size() + 1) << r.out;
        EXPECT_EQ(t[2], c.error);
        EXPECT_EQ(std::vector<std::string>(t.begin() + 3, t.end() - 1), kUsage);
        EXPECT_EQ(t.back(), "End, exit code 1");
    }
}

TEST(CommandLine, BadLanguageValue) {
    auto r = run_wrenpost({"-lang", "fr", "poll"});
    EXPECT_EQ(r.code, 1);
    auto lines = log_lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(log_text(lines[0]), "ERROR: -lang expects de or en: fr");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[\d\d:\d\d:\d\d\] End, exit code 1)")));
}

TEST(CommandLine, GermanFromConfigurationAndEnvironment) {
    wptest::TempDir d;
    wptest::write_file(d.file("wrenpost.cfg"), std::string("language=de\n") + kOneBoss);
    auto r = run_wrenpost({"toss", "x"}, d.path(), {"LC_ALL=en_US.UTF-8"});
    EXPECT_EQ(r.code, 1);
    auto t = texts(r.out);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[2], "FEHLER: unbekannter Befehl/zu viele Argumente: toss");
    EXPECT_EQ(t.back(), "Ende, Exit-Code 1");
    auto r2 = run_wrenpost({"-c", "none.cfg", "-h"}, d.path(), {"LC_ALL=de_CH.UTF-8"});
    EXPECT_EQ(texts(r2.out).back(), "Ende, Exit-Code 0");
}

TEST(CommandLine, MissingConfigurationEndsWithOne) {
    wptest::TempDir d;
    // Neither here nor in the per-user place: the error names the latter.
    auto r = run_wrenpost({"-lang", "en", "toss"}, d.path(), {"XDG_CONFIG_HOME=" + d.file("xdg")});
    EXPECT_EQ(r.code, 1);
    auto t = texts(r.out);
    ASSERT_EQ(t.size(), 4u) << r.out;
    EXPECT_EQ(t[2],
              "ERROR: cannot read configuration file: " + d.file("xdg/wrenpost/wrenpost.cfg"));
    EXPECT_EQ(t[3], "End, exit code 1");
    r = run_wrenpost({"-lang", "en", "-c", "wrenpost.cfg", "toss"}, d.path());
    EXPECT_EQ(texts(r.out)[2], "ERROR: cannot read configuration file: wrenpost.cfg");
}

#ifndef _WIN32
// -c naming a FIFO (or a directory or a device) ends every command with 1 and
// says why, instead of waiting for a writer for ever.
TEST(CommandLine, ConfigurationThatIsNoRegularFileEndsWithOne) {
    wptest::TempDir d;
    wptest::FifoWithoutWriter fifo(d.file("fifo.cfg"));
    ASSERT_TRUE(fifo.made());
    const std::vector<std::vector<std::string>> commands = {{"toss"},
                                                            {"scan"},
                                                            {"poll"},
                                                            {"all"},
                                                            {"areafix", "x", "%LIST"},
                                                            {"areas", "x"},
                                                            {"--hold-lock", "1"}};
    for (const std::string& path : {d.file("fifo.cfg"), d.path(), std::string("/dev/null")}) {
        for (const auto& cmd : commands) {
            std::vector<std::string> args = {"-lang", "en", "-c", path};
            args.insert(args.end(), cmd.begin(), cmd.end());
            auto r = run_wrenpost(args, d.path());
            EXPECT_EQ(r.code, 1) << path << " " << cmd[0] << "\n" << r.out;
            EXPECT_TRUE(wptest::has_log_line(
                r.out, "ERROR: configuration file is not a regular file: " + path))
                << path << " " << cmd[0] << "\n"
                << r.out;
        }
    }
}
#endif  // FIFOs and /dev/null are POSIX's

TEST(CommandLine, VersionIsOnePlainLine) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--version"},
                                          {"--VERSION"},
                                          {"-lang", "de", "-c", "none.cfg", "--version"}}) {
        auto r = run_wrenpost(args);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, std::string("wrenpost ") + WP_PROJECT_VERSION + "\n");
    }
    EXPECT_STREQ(WP_VERSION, WP_PROJECT_VERSION);  // the build's and the program's version agree
}

// Without -c: ./wrenpost.cfg, else $XDG_CONFIG_HOME/wrenpost/wrenpost.cfg, else
// ~/.config/wrenpost/wrenpost.cfg; the log names the file used.
TEST(CommandLine, ConfigurationLookupOrder) {
    const std::string cfg = "address = 2:240/1.5\n";  // loads; toss then stops for want of badarea
    struct Case {
        const char* name;
        bool in_cwd, in_xdg, in_home;
        std::string xdg;   // XDG_CONFIG_HOME: "" unset, "rel" relative, "abs" the xdg folder
        std::string want;  // relative to the scratch folder, "" for the plain name
    } cases[] = {
        {"current directory first", true, true, true, "abs", ""},
        {"then XDG_CONFIG_HOME", false, true, true, "abs", "xdg/wrenpost/wrenpost.cfg"},
        {"then ~/.config", false, false, true, "", "home/.config/wrenpost/wrenpost.cfg"},
        {"a relative XDG_CONFIG_HOME is ignored", false, true, true, "rel",
         "home/.config/wrenpost/wrenpost.cfg"},
        {"an empty XDG_CONFIG_HOME is ignored", false, false, true, "empty",
         "home/.config/wrenpost/wrenpost.cfg"},
    };
    for (const auto& c : cases) {
        wptest::TempDir d;
        pf_mkdir(d.file("cwd").c_str());
        for (const char* dir : {"xdg", "xdg/wrenpost", "home", "home/.config",
                                "home/.config/wrenpost", "cwd/xdg", "cwd/xdg/wrenpost"})
            pf_mkdir(d.file(dir).c_str());
        if (c.in_cwd) wptest::write_file(d.file("cwd/wrenpost.cfg"), cfg);
        if (c.in_xdg) {
            wptest::write_file(d.file("xdg/wrenpost/wrenpost.cfg"), cfg);
            wptest::write_file(d.file("cwd/xdg/wrenpost/wrenpost.cfg"), cfg);
        }
        if (c.in_home) wptest::write_file(d.file("home/.config/wrenpost/wrenpost.cfg"), cfg);
        std::vector<std::string> env = {"HOME=" + d.file("home")};
        if (c.xdg == "abs") env.push_back("XDG_CONFIG_HOME=" + d.file("xdg"));
        if (c.xdg == "rel") env.push_back("XDG_CONFIG_HOME=xdg");
        if (c.xdg == "empty") env.push_back("XDG_CONFIG_HOME=");
        if (c.xdg.empty()) env.push_back("XDG_CONFIG_HOME");  // unset
        auto r = run_wrenpost({"-lang", "en", "toss"}, d.file("cwd"), env);
        std::string file = c.want.empty() ? "wrenpost.cfg" : d.file(c.want);
        EXPECT_TRUE(
            wptest::has_log_line(r.out, "Configuration loaded: " + file + ", 0 boss section(s)"))
            << c.name << "\n"
            << r.out;
    }
}

TEST(CommandLine, UnknownBossNameEndsWithOne) {
    wptest::TempDir d;
    wptest::write_file(d.file("wrenpost.cfg"), std::string(kOneBoss) + "[boss fido]\n[boss fsx]\n");
    for (const char* cmd : {"scan", "all", "areas", "areafix"}) {
        auto r = run_wrenpost({"-lang", "en", cmd, "%LIST"}, d.path());
        EXPECT_EQ(r.code, 1) << cmd;
        auto t = texts(r.out);
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t[t.size() - 2], "ERROR: boss section not found: %LIST") << cmd;
    }
}

// In-process runs with stand-in drivers: the rules of `all` and of the boss
// selection do not depend on what the drivers do.
namespace {
ExitCode codes[3];
std::vector<std::string> calls;
ExitCode fake_scan(int b) {
    calls.push_back("scan " + std::to_string(b));
    return codes[0];
}
ExitCode fake_poll(const char* a) {
    calls.push_back(std::string("poll ") + a);
    return codes[1];
}
ExitCode fake_toss() {
    calls.push_back("toss");
    return codes[2];
}
ExitCode fake_areafix(int b, const char* cmds) {
    calls.push_back("areafix " + std::to_string(b) + " " + cmds);
    return EXIT_OK;
}
ExitCode fake_areas(int b) {
    calls.push_back("areas " + std::to_string(b));
    return EXIT_OK;
}

struct InProcess {
    wptest::TempDir d;
    std::string out;
    Drivers drv;
    InProcess() {
        drv.scan = fake_scan;
        drv.poll = fake_poll;
        drv.toss = fake_toss;
        drv.areafix = fake_areafix;
        drv.areas = fake_areas;
        calls.clear();
        con_capture(&out);
    }
    ~InProcess() { con_capture(nullptr); }
    int run(const std::string& cfg, std::vector<std::string> args) {
        wptest::write_file(d.file("wp.cfg"), cfg);
        std::string path = d.file("wp.cfg");
        std::vector<const char*> argv = {"wrenpost", "-lang", "en", "-c", path.c_str()};
        for (auto& a : args) argv.push_back(a.c_str());
        out.clear();
        calls.clear();
        return start(static_cast<int>(argv.size()), argv.data(), drv);
    }
};
}  // namespace

TEST(CommandLine, AllRunsEveryStepAndEndsWithTheHighestCode) {
    InProcess p;
    struct Case {
        ExitCode scan, poll, toss, want;
    } cases[] = {{EXIT_OK, EXIT_NET, EXIT_LOCK, EXIT_LOCK},
                 {EXIT_BUSY, EXIT_OK, EXIT_OK, EXIT_BUSY},
                 {EXIT_OK, EXIT_OK, EXIT_OK, EXIT_OK},
                 {EXIT_PROTO, EXIT_AUTH, EXIT_CONFIG, EXIT_PROTO}};
    for (const auto& c : cases) {
        codes[0] = c.scan;
        codes[1] = c.poll;
        codes[2] = c.toss;
        EXPECT_EQ(p.run(kOneBoss, {"all"}), static_cast<int>(c.want));
        EXPECT_EQ(calls, (std::vector<std::string>{"scan -1", "poll ", "toss"}));
        auto t = texts(p.out);
        EXPECT_EQ(t.back(), "End, exit code " + std::to_string(c.want));
    }
    // A poll stopped by Ctrl+C or SIGTERM ends `all` before the toss.
    codes[0] = EXIT_OK;
    codes[1] = EXIT_STOPPED;
    codes[2] = EXIT_OK;
    EXPECT_EQ(p.run(kOneBoss, {"all"}), static_cast<int>(EXIT_STOPPED));
    EXPECT_EQ(calls, (std::vector<std::string>{"scan -1", "poll "}));
    codes[0] = codes[1] = codes[2] = EXIT_OK;
    std::string two = std::string(kOneBoss) + "[boss fido]\n[boss FSX]\n";
    EXPECT_EQ(p.run(two, {"ALL", "fsx"}), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"scan 1", "poll fsx", "toss"}));
    auto t = texts(p.out);
    EXPECT_NE(std::find(t.begin(), t.end(), "--- Export (scan) ---"), t.end());
    EXPECT_NE(std::find(t.begin(), t.end(), "--- Poll ---"), t.end());
    EXPECT_NE(std::find(t.begin(), t.end(), "--- Toss ---"), t.end());
}

TEST(CommandLine, AreafixBossSelection) {
    InProcess p;
    std::string one = std::string(kOneBoss) + "[boss fido]\n";
    std::string two = one + "[boss fsx]\n";
    EXPECT_EQ(p.run(kOneBoss, {"areafix", "all", "%LIST"}), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"areafix -1 %LIST"});
    EXPECT_EQ(p.run(one, {"areafix", "all", "%LIST"}), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"areafix 0 %LIST"});
    EXPECT_EQ(p.run(one, {"areas"}), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"areas 0"});
    EXPECT_EQ(p.run(two, {"areafix", "all", "%LIST"}), 1);
    EXPECT_TRUE(calls.empty());
    EXPECT_NE(p.out.find("ERROR: unknown command/too many arguments: areafix"), std::string::npos);
    EXPECT_EQ(p.run(two, {"areafix", "FSX", "+A.B;-C.D; %LIST"}), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"areafix 1 +A.B;-C.D; %LIST"});
}

TEST(CommandLine, CommandsWithoutDriverSayNotBuilt) {
    InProcess p;
    p.drv = Drivers{};
    EXPECT_EQ(p.run(kOneBoss, {"poll"}), 1);
    EXPECT_NE(p.out.find("ERROR: this command is not built yet: poll"), std::string::npos);
}

namespace {
ExitCode fake_list(const char* tag, bool base) {
    calls.push_back(std::string("list ") + (base ? "-b " : "") + tag);
    return EXIT_OK;
}
ExitCode fake_read(const char* tag, const char* n, bool k, bool base) {
    calls.push_back(std::string("read ") + (base ? "-b " : "") + tag + " " + n + (k ? " -k" : ""));
    return EXIT_OK;
}
ExitCode fake_post(const char* tag, const char* to, const char* subj, const char* file) {
    calls.push_back(std::string("post ") + tag + "|" + to + "|" + subj + "|" + file);
    return EXIT_OK;
}
ExitCode fake_netmail(const char* addr, const char* to, const char* subj, const char* file) {
    calls.push_back(std::string("netmail ") + addr + "|" + to + "|" + subj + "|" + file);
    return EXIT_OK;
}
}  // namespace

// The mail commands take exactly their words (post and netmail an optional
// file), and -k anywhere asks read for the kludges.
TEST(CommandLine, MailCommandsAndTheirWords) {
    InProcess p;
    p.drv.list = fake_list;
    p.drv.read = fake_read;
    p.drv.post = fake_post;
    p.drv.netmail = fake_netmail;
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* call;  // nullptr: refused before any driver
    } cases[] = {
        {{"list", "FSX_GEN"}, 0, "list FSX_GEN"},
        {{"LIST", "NETMAIL"}, 0, "list NETMAIL"},
        {{"list"}, 1, nullptr},
        {{"list", "A", "B"}, 1, nullptr},
        {{"read", "FSX_GEN", "12"}, 0, "read FSX_GEN 12"},
        {{"read", "-k", "FSX_GEN", "12"}, 0, "read FSX_GEN 12 -k"},
        {{"read", "FSX_GEN"}, 1, nullptr},
        {{"post", "FSX_GEN", "All", "Daily stats"}, 0, "post FSX_GEN|All|Daily stats|"},
        {{"post", "FSX_GEN", "All", "", "body.txt"}, 0, "post FSX_GEN|All||body.txt"},
        {{"post", "FSX_GEN", "All"}, 1, nullptr},
        {{"post", "FSX_GEN", "All", "s", "f", "extra"}, 1, nullptr},
        {{"netmail", "21:1/100", "Sysop", "Hi", "t.txt"}, 0, "netmail 21:1/100|Sysop|Hi|t.txt"},
        // -b names a base in place of the tag, anywhere on the line.
        {{"list", "-b", "bad"}, 0, "list -b bad"},
        {{"-b", "netmail.fsx", "list"}, 0, "list -b netmail.fsx"},
        {{"read", "-b", "dupes", "7"}, 0, "read -b dupes 7"},
        {{"read", "-k", "-b", "netmail", "7"}, 0, "read -b netmail 7 -k"},
        {{"list", "-b", "bad", "FSX_GEN"}, 1, nullptr},
        {{"read", "-b", "bad"}, 1, nullptr},
        {{"read", "-b", "bad", "FSX_GEN", "7"}, 1, nullptr},
        {{"post", "-b", "bad", "All", "s"}, 1, nullptr},
        {{"post", "-b", "bad", "FSX_GEN", "All", "s"}, 1, nullptr},
        {{"toss", "-b", "bad"}, 1, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(p.run(kOneBoss, c.args), c.code) << c.args[0];
        if (c.call == nullptr) {
            EXPECT_TRUE(calls.empty()) << c.args[0];
            EXPECT_NE(p.out.find("ERROR: unknown command/too many arguments"), std::string::npos);
        } else {
            EXPECT_EQ(calls, std::vector<std::string>{c.call});
        }
        EXPECT_EQ(texts(p.out).back(), "End, exit code " + std::to_string(c.code));
    }
}
