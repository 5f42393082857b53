// The poll driver: the `poll` command and the poll step of `all`.
//
// Calls one boss or every boss in turn over binkp. Reads and selects the
// settings in g_cfg (load_config done by the caller).
#pragma once

#include "core/exitcode.h"

// name: empty or "all" (any case) polls every boss, anything else the
// section of that name. Returns the exit code: for all bosses the code of
// the last call that failed (EXIT_OK when none did). A stop request (Ctrl+C,
// SIGTERM: pf_stop_signals is on for the call) ends the session running as
// a cut line does, calls no further boss and gives EXIT_STOPPED after the
// line m_poll_stopped.
ExitCode poll_run(const char* name);
// One boss: section index, -1 = the global part as the boss.
ExitCode call_boss(int index);
