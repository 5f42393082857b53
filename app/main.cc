// Entry point: the console commands and the editor.
#include "app/cmdline.h"
#include "app/run.h"
#include "areafix/replies.h"
#include "areafix/request.h"
#include "editor/mailcmd.h"
#include "mailer/poll.h"
#ifdef WP_GUI
#include "editor/gui/gui_main.h"
#endif

#ifdef _WIN32
#include <string>
#include <vector>

#include "platform/win32_args.h"
#endif

static ExitCode run(int argc, char** argv) {
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
#ifdef WP_GUI
    drivers.gui = gui_main;
#endif
    return start(argc, argv, drivers);
}

#ifdef _WIN32
// Windows hands the command line over as UTF-16; the program works with the
// ANSI code page, as its configuration does.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args = pf_args_from_wide(argc, wargv);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv) {
    return run(argc, argv);
}
#endif
