// Entry point: the console commands and the editor.
#include "areafix/replies.h"
#include "areafix/request.h"
#include "core/cmdline.h"
#include "mailer/poll.h"
#include "scanner/export.h"
#include "tosser/jamlock.h"
#include "tosser/toss.h"
#ifdef WP_GUI
#include "editor/gui/gui_main.h"
#endif

int main(int argc, char** argv) {
    Drivers drivers;
    drivers.poll = poll_run;
    drivers.hold_lock = jam_hold_lock;
    drivers.toss = toss_command;
    drivers.scan = scan_command;
    drivers.areafix = af_cli_request;
    drivers.areas = af_cli_list;
#ifdef WP_GUI
    drivers.gui = gui_main;
#endif
    return start(argc, argv, drivers);
}
