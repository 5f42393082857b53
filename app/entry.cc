#include "app/entry.h"

#include "app/filecmd.h"
#include "app/nodecmd.h"
#include "app/run.h"
#include "areafix/replies.h"
#include "areafix/request.h"
#include "editor/mailcmd.h"
#include "mailer/poll.h"

ExitCode program_start(int argc, const char* const* argv, ExitCode (*gui)(const CmdLine&)) {
    Drivers drivers;
    drivers.poll = poll_run;
    drivers.hold_lock = jam_hold_lock;
    drivers.toss = toss_command;
    drivers.scan = scan_command;
    drivers.areafix = af_cli_request;
    drivers.areas = af_cli_list;
    drivers.list = mc_list;
    drivers.read = mc_read;
    drivers.post = mc_post;
    drivers.netmail = mc_netmail;
    drivers.node = node_command;
    drivers.nodediff = nodediff_command;
    drivers.files = files_command;
    drivers.freq = freq_command;
    drivers.gui = gui;
    return start(argc, argv, drivers);
}
