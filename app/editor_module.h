// The editor's start from the console program.
//
// The editor's windows live in a module of their own (wrenpost-editor.so),
// so that the commands, which run unattended every few minutes, start
// without loading the window system's libraries. The module holds a whole
// program of its own: editor_module_start hands it the command line as
// given, and the module reads it again, loads the configuration and runs
// the editor. Nothing of this process's state is shared with it.
#pragma once

#include "app/cmdline.h"

// The module's entry: int wrenpost_editor_main(int argc, const char* const* argv).
constexpr const char* EDITOR_ENTRY = "wrenpost_editor_main";
using EditorEntry = int (*)(int argc, const char* const* argv);

// Where the module is looked for, in this order: WRENPOST_EDITOR_MODULE
// (the environment, for tests and moved installations), beside the running
// executable (a build tree), then the directory it was installed to
// (WP_EDITOR_MODULE, set by the build). out: WP_PATH_MAX each.
int editor_module_paths(char out[3][WP_PATH_MAX]);

// Loads the module and runs the editor in it: its exit code, or EXIT_CONFIG
// after m_noeditor (with the path tried last and the system's reason) when
// no module can be loaded.
ExitCode editor_module_start(const CmdLine& cl);
