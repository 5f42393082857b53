// Entry point: the console commands, and the editor's start, which loads
// the editor module (app/editor_module.h) when the build has the editor.
#include "app/editor_module.h"
#include "app/entry.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "platform/win32_args.h"
#endif

static ExitCode run(int argc, const char* const* argv) {
#ifdef WP_GUI
    return program_start(argc, argv, editor_module_start);
#else
    return program_start(argc, argv, nullptr);
#endif
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
