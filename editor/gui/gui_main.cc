#include "editor/gui/gui_main.h"

#include <QApplication>

#include "config/config.h"
#include "config/example.h"
#include "core/log.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "editor/messages.h"
#include "jam/crc32.h"
#include "platform/platform.h"

bool gui_first_config(const char* path) {
    if (!question(nullptr, qa("wrenpost"), qs(w_cfgnew) + QString::fromLocal8Bit(path)))
        return false;
    if (cfg_write_example(path) == CfgResult::Failed) {
        warning(nullptr, qa("wrenpost"), qs(w_cfgnew_err) + QString::fromLocal8Bit(path));
        return false;
    }
    return true;
}

std::unique_ptr<MainWindow> gui_open(const CmdLine& cl) {
    // A first start (no -c, no file anywhere) offers a new configuration.
    bool first = !cl.cfg_given && !pf_stat(cl.cfg_path).exists;
    if (first && !gui_first_config(cl.cfg_path)) return nullptr;
    if (load_config(g_cfg, cl.cfg_path) != 0) {
        warning(nullptr, qa("wrenpost"), qs(w_cfgerr));
        return nullptr;
    }
    crc_init();
    auto w = std::make_unique<MainWindow>(cl);
    w->show();
    w->open_start(cl.start_area, static_cast<uint32_t>(cl.start_msg));
    if (first) w->do_command(CMD_SETTINGS);
    return w;
}

ExitCode gui_main(const CmdLine& cl) {
    if (!pf_has_display()) {
        // Without a display the windowing library would end the process
        // with its own message; say it in ours.
        con_cli();
        log_msg(m_nodisplay);
        return EXIT_CONFIG;
    }
    static int argc = 1;
    static char name[] = "wrenpost";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    gui_theme(app);
    con_init();
    std::unique_ptr<MainWindow> w = gui_open(cl);
    if (!w) return EXIT_CONFIG;
    return app.exec() == 0 ? EXIT_OK : EXIT_CONFIG;
}
