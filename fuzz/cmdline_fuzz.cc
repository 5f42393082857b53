// Splits the input at NUL bytes into command-line tokens and runs the whole
// start-up with stand-in drivers: parsing, language choice, usage errors,
// boss selection and the run of `all`.
#include <cstdint>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "core/log.h"

static unsigned drv_poll(const char*) {
    return 2;
}
static unsigned drv_toss() {
    return 6;
}
static unsigned drv_scan(int) {
    return 0;
}
static unsigned drv_areafix(int, const char*) {
    return 0;
}
static unsigned drv_areas(int) {
    return 0;
}
static int drv_gui(const CmdLine&) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string sink;
    con_capture(&sink);
    sink.clear();
    std::vector<std::string> tokens = {"wrenpost"};
    std::string cur;
    for (size_t i = 0; i < size && tokens.size() < 64; ++i) {
        if (data[i] == 0) {
            tokens.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    tokens.push_back(cur);
    std::vector<const char*> argv;
    for (auto& t : tokens) {
        // Keep the fuzzer away from real files: every configuration path is
        // replaced by one that does not exist.
        argv.push_back(t.c_str());
    }
    for (size_t i = 1; i + 1 < argv.size(); ++i)
        if (std::string(argv[i]).size() == 2 && (argv[i][1] == 'c' || argv[i][1] == 'C'))
            argv[i + 1] = "/nonexistent/wrenpost.cfg";
    Drivers d;
    d.poll = drv_poll;
    d.toss = drv_toss;
    d.scan = drv_scan;
    d.areafix = drv_areafix;
    d.areas = drv_areas;
    d.gui = drv_gui;
    int rc = start(static_cast<int>(argv.size()), argv.data(), d);
    if (rc < 0 || rc > 6) __builtin_trap();
    return 0;
}
