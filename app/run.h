// The drivers of the commands that work on the JAM bases.
//
// tt_run is the driver shared by the toss and the export run: it takes the
// JAM lock file beside the configuration (g_jamlock, its wait_ms) for the
// whole run, then tosses (mode 1: toss_setup, toss_all, toss_report, with
// SIGINT/SIGTERM turned into a stop request between two messages) or exports
// (mode 2: export_run, limited to scan_only). Without the lock it logs the
// lock file's path and returns EXIT_LOCK.
#pragma once

#include "app/cmdline.h"

// The shared driver: mode 1 toss, mode 2 export (limited to scan_only).
ExitCode tt_run(int mode, int scan_only);
// The `toss` command.
ExitCode toss_command();
// The `scan` command: the shared driver in export mode.
ExitCode scan_command(int scan_only);
// Driver of the editor start with "--hold-lock N": takes g_jamlock with a
// single attempt (owner "wrenpost"), holds it N seconds and releases it:
// EXIT_OK, or EXIT_CONFIG (1, as scripts that simulate a busy editor test
// it) when the lock was taken by another.
ExitCode jam_hold_lock(const CmdLine& cl);
