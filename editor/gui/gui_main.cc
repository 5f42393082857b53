#include "editor/gui/gui_main.h"

#include <QApplication>

#include "config/config.h"
#include "core/catalog.h"
#include "core/log.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "tosser/crc32.h"

int gui_main(const CmdLine& cl) {
    static int argc = 1;
    static char name[] = "wrenpost";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    con_init();
    if (load_config(g_cfg, cl.cfg_path) != 0) {
        warning(nullptr, qa("wrenpost"), qs(w_cfgerr));
        return 1;
    }
    crc_init();
    MainWindow w(cl);
    w.show();
    w.open_start(cl.start_area, static_cast<uint32_t>(cl.start_msg));
    return app.exec() == 0 ? 0 : 1;
}
