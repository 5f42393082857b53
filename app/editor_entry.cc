// The editor module's entry (wrenpost-editor.so): the whole program with the
// editor's windows, started by the console program's editor_module_start
// with the command line as given.
#include <type_traits>

#include "app/editor_module.h"
#include "app/entry.h"
#include "editor/gui/gui_main.h"

extern "C" __attribute__((visibility("default"))) int wrenpost_editor_main(
    int argc, const char* const* argv) {
    return program_start(argc, argv, gui_main);
}

// The entry must keep the type the console program calls it with.
static_assert(std::is_same_v<decltype(&wrenpost_editor_main), EditorEntry>);
