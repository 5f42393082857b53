#include "app/cmdline.h"

#include "app/catalog.h"
#include "config/config.h"
#include "core/log.h"
#include "jam/jamlock.h"

namespace {

void take(char* dst, size_t cap, const char* token) {
    str_copy(dst, token, cap);
}

bool is_cmd(const char* cmd, const char* name) {
    return str_icmp(cmd, name) == 0;
}

void print_usage() {
    log_msg(m_usage);
    log_msg(m_usage2);
    log_msg(m_usage3);
    log_msg(m_usage4);
    log_msg(m_usage5);
    log_msg(m_usage6);
    log_msg(m_usage7);
    log_msg(m_usage8);
}

// Boss for areafix/areas: -1 the global part, a section index, or -2 (fail).
int select_af_boss(const CmdLine& cl) {
    int b = find_arg(cl.arg);
    if (b != -1) return b;
    if (g_cfg.boss_count == 0) return -1;
    if (g_cfg.boss_count == 1) return 0;
    log_msg2(m_badcmd, cl.cmd);
    return -2;
}

ExitCode not_built(const char* cmd) {
    log_msg2(m_notbuilt, cmd);
    return EXIT_CONFIG;
}

ExitCode run(const CmdLine& cl, const Drivers& d) {
    const char* cmd = cl.cmd;
    if (is_cmd(cmd, "poll")) return d.poll ? d.poll(cl.arg) : not_built(cmd);
    if (is_cmd(cmd, "toss")) return d.toss ? d.toss() : not_built(cmd);
    if (is_cmd(cmd, "scan")) {
        int b = find_arg(cl.arg);
        if (b == -2) return EXIT_CONFIG;
        return d.scan ? d.scan(b) : not_built(cmd);
    }
    if (is_cmd(cmd, "all")) {
        int b = find_arg(cl.arg);
        if (b == -2) return EXIT_CONFIG;
        // The highest code of the three steps.
        ExitCode mxcode = EXIT_OK;
        auto mx = [&mxcode](ExitCode code) {
            if (code > mxcode) mxcode = code;
        };
        log_msg(m_st_scan);
        mx(d.scan ? d.scan(b) : not_built("scan"));
        log_msg(m_st_poll);
        mx(d.poll ? d.poll(cl.arg) : not_built("poll"));
        // Ctrl+C or SIGTERM during the poll stops `all` there: the user asked
        // the run to end, and the toss would clear the request and go on.
        if (mxcode == EXIT_STOPPED) return mxcode;
        log_msg(m_st_toss);
        mx(d.toss ? d.toss() : not_built("toss"));
        return mxcode;
    }
    if (is_cmd(cmd, "areafix") || is_cmd(cmd, "areas")) {
        int b = select_af_boss(cl);
        if (b == -2) return EXIT_CONFIG;
        if (is_cmd(cmd, "areafix")) return d.areafix ? d.areafix(b, cl.afcmds) : not_built(cmd);
        return d.areas ? d.areas(b) : not_built(cmd);
    }
    // With -b the base's name stands where the tag would, the number after it.
    bool b = cl.base_given;
    if (is_cmd(cmd, "list")) return d.list ? d.list(b ? cl.base : cl.arg, b) : not_built(cmd);
    if (is_cmd(cmd, "read"))
        return d.read ? d.read(b ? cl.base : cl.arg, b ? cl.arg : cl.more[0], cl.kludges, b)
                      : not_built(cmd);
    if (is_cmd(cmd, "post"))
        return d.post ? d.post(cl.arg, cl.more[0], cl.more[1], cl.more[2]) : not_built(cmd);
    if (is_cmd(cmd, "netmail"))
        return d.netmail ? d.netmail(cl.arg, cl.more[0], cl.more[1], cl.more[2]) : not_built(cmd);
    if (is_cmd(cmd, "node")) return d.node ? d.node(cl.arg, cl.more[0]) : not_built(cmd);
    if (is_cmd(cmd, "nodediff")) return d.nodediff ? d.nodediff(cl.arg) : not_built(cmd);
    if (is_cmd(cmd, "files")) return d.files ? d.files(cl.arg) : not_built(cmd);
    if (is_cmd(cmd, "freq")) return d.freq ? d.freq(cl.arg, cl.rest) : not_built(cmd);
    return EXIT_CONFIG;  // not reached: checked by the caller
}

// The number of words a mail command takes is right.
bool mail_args_ok(const CmdLine& cl) {
    int tag = cl.base_given ? 0 : 1;  // -b names the base in place of the tag
    if (is_cmd(cl.cmd, "list")) return cl.nargs == tag;
    if (is_cmd(cl.cmd, "read")) return cl.nargs == tag + 1;
    if (cl.base_given) return false;
    if (is_cmd(cl.cmd, "node")) return cl.nargs == (is_cmd(cl.arg, "-n") ? 2 : 1);
    if (is_cmd(cl.cmd, "files")) return cl.nargs <= 1;
    return cl.nargs == 3 || cl.nargs == 4;  // post, netmail
}

bool known_command(const char* cmd) {
    static const char* const names[] = {"poll",     "toss",    "scan",  "all",  "areafix",
                                        "areas",    "list",    "read",  "post", "node",
                                        "nodediff", "netmail", "files", "freq"};
    for (const char* n : names)
        if (is_cmd(cmd, n)) return true;
    return false;
}

ExitCode finish(ExitCode code) {
    log_num(m_exit, code);
    return code;
}

}  // namespace

bool is_mail_command(const char* cmd) {
    return is_cmd(cmd, "list") || is_cmd(cmd, "read") || is_cmd(cmd, "post") ||
           is_cmd(cmd, "netmail") || is_cmd(cmd, "node") || is_cmd(cmd, "files");
}

void parse_cmdline(int argc, const char* const* argv, CmdLine& cl) {
    char tok[TOKEN_MAX];
    auto next = [&](int& i) -> const char* {
        // A missing value gives an empty token.
        if (i + 1 >= argc) return "";
        str_copy(tok, argv[++i], sizeof tok);
        return tok;
    };
    int words = 0;  // bare words so far (an empty one counts too)
    for (int i = 1; i < argc; ++i) {
        char word[TOKEN_MAX];
        str_copy(word, argv[i], sizeof word);
        if (str_icmp(word, "-c") == 0) {
            take(cl.cfg_path, sizeof cl.cfg_path, next(i));
            cl.cfg_given = true;
        } else if (str_icmp(word, "-lang") == 0) {
            const char* v = next(i);
            if (str_icmp(v, "de") == 0) {
                cl.lang_cli = LANG_DE;
            } else if (str_icmp(v, "en") == 0) {
                cl.lang_cli = LANG_EN;
            } else {
                cl.badlang = true;
                take(cl.badval, sizeof cl.badval, v);
            }
        } else if (str_icmp(word, "-a") == 0) {
            take(cl.start_area, sizeof cl.start_area, next(i));
        } else if (str_icmp(word, "-m") == 0) {
            cl.start_msg = parse_u64(next(i));
        } else if (str_icmp(word, "--hold-lock") == 0) {
            cl.hold_lock = parse_u64(next(i));
        } else if (str_icmp(word, "--lock-wait") == 0) {
            uint64_t ms = parse_u64(next(i));
            cl.lock_wait_ms = ms < LOCK_WAIT_MAX_MS ? static_cast<int64_t>(ms) : LOCK_WAIT_MAX_MS;
        } else if (str_icmp(word, "-k") == 0) {
            cl.kludges = true;
        } else if (str_icmp(word, "-b") == 0) {
            take(cl.base, sizeof cl.base, next(i));
            cl.base_given = true;
        } else if (words == 0) {
            take(cl.cmd, sizeof cl.cmd, word);
            ++words;
        } else if (words == 1) {
            take(cl.arg, sizeof cl.arg, word);  // may be empty: all bosses
            ++words;
            ++cl.nargs;
        } else if (str_icmp(cl.cmd, "freq") == 0) {
            cl.rest.emplace_back(word);
            ++words;
        } else if (is_mail_command(cl.cmd)) {
            if (words - 2 < 3) take(cl.more[words - 2], sizeof cl.more[0], word);
            ++words;
            ++cl.nargs;
        } else if (str_icmp(cl.cmd, "areafix") == 0 && cl.afcmds[0] == '\0') {
            take(cl.afcmds, sizeof cl.afcmds, word);
        } else {
            cl.too_many = true;
        }
    }
}

int find_arg(const char* arg) {
    if (arg[0] == '\0' || str_icmp(arg, "all") == 0) return -1;
    int i = cfg_find(g_cfg, arg);
    if (i < 0) {
        log_msg2(bmain_m_notfound, arg);
        return -2;
    }
    return i;
}

ExitCode start(int argc, const char* const* argv, const Drivers& drivers) {
    CmdLine cl;
    parse_cmdline(argc, argv, cl);
    cl.argc = argc;
    cl.argv = argv;
    if (!cl.cfg_given) cfg_default_path(cl.cfg_path);
    if (cl.lock_wait_ms >= 0) g_jamlock.wait_ms = static_cast<uint32_t>(cl.lock_wait_ms);
    lang_init(cl.lang_cli, cl.cfg_path);

    if (cl.badlang) {
        con_cli();
        log_msg2(m_badlang, cl.badval);
        return finish(EXIT_CONFIG);
    }
    if (cl.cmd[0] == '\0') {
        if (cl.hold_lock > 0) {
            if (drivers.hold_lock == nullptr) {
                con_cli();
                log_msg2(m_notbuilt, "--hold-lock");
                return EXIT_CONFIG;
            }
            con_init();
            if (load_config(g_cfg, cl.cfg_path) != 0) return EXIT_CONFIG;
            return drivers.hold_lock(cl);
        }
        if (drivers.gui == nullptr) {
            con_cli();
            log_msg(m_nogui);
            return EXIT_CONFIG;
        }
        return drivers.gui(cl);
    }

    if (is_mail_command(cl.cmd))
        con_set_handle(pf_console_err());  // standard output carries the data
    else
        con_cli();
    if (is_cmd(cl.cmd, "--version")) {
        // One plain line for scripts and package tools: no log line, no end line.
        con_write("wrenpost ");
        con_write(WP_VERSION);
        con_write("\n");
        return EXIT_OK;
    }
    if (is_cmd(cl.cmd, "-h") || is_cmd(cl.cmd, "--help") || is_cmd(cl.cmd, "/?")) {
        log_msg(m_banner);
        log_msg(m_copy);
        print_usage();
        return finish(EXIT_OK);
    }
    log_msg(m_banner);
    log_msg(m_copy);
    if (!known_command(cl.cmd) || cl.too_many || (is_cmd(cl.cmd, "toss") && cl.arg[0] != '\0') ||
        (is_mail_command(cl.cmd) ? !mail_args_ok(cl) : cl.base_given)) {
        log_msg2(m_badcmd, cl.cmd);
        print_usage();
        return finish(EXIT_CONFIG);
    }
    if (load_config(g_cfg, cl.cfg_path) != 0) return finish(EXIT_CONFIG);
    return finish(run(cl, drivers));
}
