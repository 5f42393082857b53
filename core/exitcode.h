// The exit codes of a console run.
//
// Every driver returns one of these; the process ends with it. They are an
// interface: the editor shows them as texts, scripts and timers test them.
#pragma once

enum ExitCode : unsigned {
    EXIT_OK = 0,
    EXIT_CONFIG = 1,
    EXIT_NET = 2,
    EXIT_AUTH = 3,
    EXIT_BUSY = 4,
    EXIT_PROTO = 5,
    EXIT_LOCK = 6,
    // The toss or the poll was stopped by an interrupt or termination request
    // (Ctrl+C, SIGTERM) after saving what it had filed or received (a file
    // cut off is kept for resuming); the rest waits for the next run.
    EXIT_STOPPED = 7,
    // A lookup found nothing (`node`): the command worked, the entry is not
    // in the list.
    EXIT_NOTFOUND = 8,
};
