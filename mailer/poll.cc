#include "mailer/poll.h"

#include <memory>

#include "config/config.h"
#include "core/exitcode.h"
#include "core/log.h"
#include "core/strutil.h"
#include "mailer/messages.h"
#include "mailer/session.h"

ExitCode call_boss(int index) {
    const BossCfg c = cfg_boss(g_cfg, index);
    if (cfg_require(c) != 0) return EXIT_CONFIG;
    lb_start();
    lb_add(m_bosshdr);
    lb_add(c.name);
    lb_add(m_bosshdr2);
    lb_add(c.get(F_ADDRESS));
    lb_add(main_m_boss);
    lb_add(c.get(F_BOSSADDR));
    lb_flush();

    auto s = std::make_unique<Session>();
    s->cfg = &c;
    if (net_init(s->fr.net) != 0) {
        log_msg(m_wsa);
        return EXIT_NET;
    }
    lb_start();
    lb_add(m_conn);
    lb_add(c.get(F_HOST));
    lb_add(":");
    lb_add(c.get(F_PORT));
    lb_flush();
    if (net_connect(s->fr.net, c.get(F_HOST), c.get(F_PORT)) != 0) {
        log_msg2(m_connerr, c.get(F_HOST));
        net_close(s->fr.net);
        return EXIT_NET;
    }
    log_msg(m_conn_ok);
    return session_run(*s);
}

namespace {

ExitCode poll_bosses(const char* nm) {
    if (nm[0] == '\0' || str_icmp(nm, "all") == 0) {
        if (cfg_boss_count(g_cfg) == 0) return call_boss(-1);
        ExitCode last = EXIT_OK;
        for (int i = 0; i < cfg_boss_count(g_cfg); ++i) {
            ExitCode code = call_boss(i);
            if (code != EXIT_OK) last = code;
            // The bosses after a stop are not called.
            if (code == EXIT_STOPPED) return code;
            if (pf_stop_requested() && i + 1 < cfg_boss_count(g_cfg)) return EXIT_STOPPED;
        }
        return last;
    }
    if (cfg_boss_count(g_cfg) == 0) {
        log_msg(m_nosect);
        return EXIT_CONFIG;
    }
    int i = cfg_find(g_cfg, nm);
    if (i < 0) {
        log_msg2(main_m_notfound, nm);
        return EXIT_CONFIG;
    }
    return call_boss(i);
}

}  // namespace

ExitCode poll_run(const char* name) {
    char nm[64];
    str_copy(nm, name, sizeof nm);
    // Ctrl+C and SIGTERM end the session as a cut line does, and no further
    // boss is called; a second one ends the process at once.
    pf_stop_signals(true);
    ExitCode code = poll_bosses(nm);
    pf_stop_signals(false);
    if (code == EXIT_STOPPED) log_msg(m_poll_stopped);
    return code;
}
