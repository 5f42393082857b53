// The poll driver: the `poll` command and the poll step of `all`.
//
// Calls one boss or every boss in turn over binkp. Reads and selects the
// settings in g_cfg (load_config done by the caller).
#pragma once

// name: empty or "all" (any case) polls every boss, anything else the
// section of that name. Returns the exit code: for all bosses the code of
// the last call that failed (0 when none did).
unsigned poll_run(const char* name);
// One boss: section index, -1 = the global part as the boss.
unsigned call_boss(int index);
