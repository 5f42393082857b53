// The export run: new local messages of every boss's netmail base and echo
// areas into packets and bundles in the outbound, and only then flagged as
// sent. A message is always either unsent in its base or in the outbound;
// any failure leaves it unsent for the next run.
//
// REQUIRES: the caller holds the JAM lock file (app/run.h does). Each base is
// read and changed under its .jhr byte lock; the boss's outbound under its
// busy file (BSO mode).
#pragma once

#include "core/exitcode.h"
#include "scanner/scan_state.h"

// The whole run for all bosses (scan_only -1) or one; the exit code: EXIT_LOCK
// when a base was locked, else EXIT_PROTO on errors, else EXIT_BUSY when a
// boss was busy, else EXIT_OK.
ExitCode scan_all(ScanState& st, int scan_only);
void scan_report(const ScanState& st);
// One boss: EXIT_OK, EXIT_BUSY or EXIT_PROTO (errors); scan_all counts
// the outcomes in st.c.
ExitCode scan_boss(ScanState& st, int boss);
void scan_area(ScanState& st, const char* path, const char* tag, int kind);
// Sets JA_SENT on the recorded messages of one kind (0 netmail, 1 echomail).
void mark_sent(ScanState& st, int kind);

// The export run under the shared driver: scan_all and scan_report.
ExitCode export_run(int scan_only);
