// Command line and run modes.
//
// start() reads the command line, chooses the language and either runs one
// command as a console run that ends with an exit code, or hands over to the
// editor. The exit codes are an interface: the editor shows them as texts.
//
// The drivers of the commands are passed in (Drivers); a missing one makes
// its command end with a "not built yet" error and EXIT_CONFIG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/exitcode.h"
#include "core/strutil.h"

// The program's version: "--version" prints "wrenpost " and it.
constexpr const char* WP_VERSION = "0.9";

constexpr size_t TOKEN_MAX = 520;               // a token keeps at most 519 bytes
constexpr uint32_t LOCK_WAIT_MAX_MS = 3600000;  // --lock-wait is cut to an hour

struct CmdLine {
    // Without -c, start() puts the file found by cfg_default_path here.
    char cfg_path[WP_PATH_MAX] = "wrenpost.cfg";
    bool cfg_given = false;  // -c was on the line
    char cmd[32] = "";
    char arg[64] = "";
    char afcmds[WP_PATH_MAX] = "";
    int lang_cli = 0;  // 0 none, LANG_DE, LANG_EN
    bool badlang = false;
    char badval[32] = "";
    bool too_many = false;  // a superfluous bare word
    // The mail commands (list, read, post, netmail): the words after `arg`
    // (number; or To, Subject and the text file), how many bare words
    // followed the command, and -k (read: show the kludges).
    char more[3][WP_PATH_MAX] = {};
    int nargs = 0;
    bool kludges = false;
    // -b BASE (list and read): the netmail, bad or dupe base named by
    // "netmail", "netmail.SECTION", "bad" or "dupes" in place of the tag,
    // which an echo area's tag can never hide.
    char base[64] = "";
    bool base_given = false;
    // freq: the words after the boss (names and "!password" words).
    std::vector<std::string> rest;
    // Editor start only:
    char start_area[64] = "";
    uint64_t start_msg = 0;
    uint64_t hold_lock = 0;  // seconds, 0 = not given
    // --lock-wait MS: how long the command runs wait for the JAM lock file
    // (at most LOCK_WAIT_MAX_MS); -1 = not given, the program's default.
    // Lets tests of a busy lock end in a fraction of a second.
    int64_t lock_wait_ms = -1;
    // The words as given (argv[0] included), for a start handed on whole: the
    // editor, which lives in a module of its own (app/editor_module.h).
    int argc = 0;
    const char* const* argv = nullptr;
};

// Reads the tokens (argv[1..argc-1]) into cl.
void parse_cmdline(int argc, const char* const* argv, CmdLine& cl);

// The drivers behind the commands. Each returns an exit code.
struct Drivers {
    ExitCode (*poll)(const char* arg) = nullptr;                // all bosses or one
    ExitCode (*toss)() = nullptr;                               // toss run
    ExitCode (*scan)(int scan_only) = nullptr;                  // export run, -1 = all bosses
    ExitCode (*areafix)(int boss, const char* cmds) = nullptr;  // boss -1 = global part
    ExitCode (*areas)(int boss) = nullptr;
    // The mail commands; their log goes to standard error, data to standard
    // output. file is "" for standard input.
    // base: `tag` is the name given with -b (netmail, bad, dupes), not a tag.
    ExitCode (*list)(const char* tag, bool base) = nullptr;
    ExitCode (*read)(const char* tag, const char* number, bool kludges, bool base) = nullptr;
    ExitCode (*post)(const char* tag, const char* to, const char* subject,
                     const char* file) = nullptr;
    ExitCode (*netmail)(const char* address, const char* to, const char* subject,
                        const char* file) = nullptr;
    // The nodelist: `node ADDRESS` or `node -n TEXT` (log on standard error),
    // `nodediff [boss]`.
    ExitCode (*node)(const char* what, const char* text) = nullptr;
    ExitCode (*nodediff)(const char* boss) = nullptr;
    // The file side: `files [TAG]` (data on standard output, log on standard
    // error) and `freq BOSS NAME [!password] [NAME...]`.
    ExitCode (*files)(const char* tag) = nullptr;
    ExitCode (*freq)(const char* boss, const std::vector<std::string>& words) = nullptr;
    // Editor start (no command word). Returns the exit code.
    ExitCode (*gui)(const CmdLine& cl) = nullptr;
    // Editor start with --hold-lock N, after the configuration was loaded.
    ExitCode (*hold_lock)(const CmdLine& cl) = nullptr;
};

// Boss selection: empty or "all" gives -1 (all bosses); otherwise the section
// index, or -2 after logging bmain_m_notfound.
int find_arg(const char* arg);

// True for the commands whose standard output carries data (list, read, node, files) or
// that scripts call (post, netmail): their log lines go to standard error.
bool is_mail_command(const char* cmd);

// The whole program run. Returns the process exit code.
ExitCode start(int argc, const char* const* argv, const Drivers& drivers);
