#include "app/run.h"

#include <algorithm>
#include <memory>

#include "app/filecmd.h"
#include "config/config.h"
#include "core/log.h"
#include "jam/jamlock.h"
#include "platform/platform.h"
#include "scanner/export.h"
#include "tosser/messages.h"
#include "tosser/toss.h"

ExitCode tt_run(int mode, int scan_only) {
    lock_set_cfg(g_jamlock, g_cfg.path);
    if (lock_acquire(g_jamlock, g_jamlock.wait_ms, "wrenpost") != 0) {
        log_msg2(tmain_m_locked, g_jamlock.lock_path);
        return EXIT_LOCK;
    }
    log_msg2(m_lockok, g_jamlock.lock_path);
    ExitCode code;
    if (mode == 1) {
        // Ctrl+C and SIGTERM stop the toss between two messages; a second one
        // ends it at once (the dupe journal keeps even that consistent).
        pf_stop_signals(true);
        auto r = std::make_unique<TossRun>();
        if (toss_setup(*r) != 0) {
            code = EXIT_CONFIG;
        } else {
            code = toss_all(*r);
            toss_report(*r);
            if (code != EXIT_STOPPED) code = std::max(code, tic_step());
            if (code == EXIT_STOPPED) log_msg(m_stopped_run);
        }
        r.reset();
        pf_stop_signals(false);
    } else {
        code = export_run(scan_only);
    }
    lock_release(g_jamlock);
    return code;
}

ExitCode toss_command() {
    return tt_run(1, -1);
}

ExitCode scan_command(int scan_only) {
    return tt_run(2, scan_only);
}

ExitCode jam_hold_lock(const CmdLine& cl) {
    lock_set_cfg(g_jamlock, cl.cfg_path);
    if (lock_acquire(g_jamlock, 0, "wrenpost") != 0) return EXIT_CONFIG;
    for (uint64_t s = 0; s < cl.hold_lock; ++s) pf_sleep_ms(1000);
    lock_release(g_jamlock);
    return EXIT_OK;
}
