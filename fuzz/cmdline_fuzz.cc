// Splits the input at NUL bytes into command-line tokens and runs the whole
// start-up with stand-in drivers: parsing, language choice, usage errors,
// boss selection and the run of `all`.
#include <cstdint>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "core/log.h"

static ExitCode drv_poll(const char*) {
    return EXIT_NET;
}
static ExitCode drv_toss() {
    return EXIT_LOCK;
}
static ExitCode drv_scan(int) {
    return EXIT_OK;
}
static ExitCode drv_areafix(int, const char*) {
    return EXIT_OK;
}
static ExitCode drv_areas(int) {
    return EXIT_OK;
}
static ExitCode drv_gui(const CmdLine&) {
    return EXIT_OK;
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
    return EXIT_OK;
}
