// Feeds arbitrary bytes as a configuration file to the loader, the language
// key reader and the effective-record builder of every section.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/catalog.h"
#include "config/config.h"
#include "core/log.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = "/tmp/wp_config_fuzz." + std::to_string(getpid()) + ".cfg";
    static std::string sink;
    static bool init = false;
    if (!init) {
        lang_apply(LANG_EN);
        con_capture(&sink);
        init = true;
    }
    pf_file h = pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return 0;
    pf_write(h, data, size);
    pf_close(h);
    sink.clear();
    static Config c;
    cfg_lang(path.c_str());
    if (load_config(c, path.c_str()) == 0) {
        for (int i = -1; i < c.boss_count; ++i) cfg_require(cfg_boss(c, i));
        cfg_find(c, "fido");
    }
    return 0;
}
