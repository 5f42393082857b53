// The program's start with the command drivers of every layer.
//
// Shared by the console program (app/main.cc), whose editor start loads the
// editor module (app/editor_module.h), and by that module
// (app/editor_entry.cc), which starts the editor itself.
#pragma once

#include "app/cmdline.h"

// Runs start() with every command driver and `gui` as the editor's start
// (nullptr: a program without the editor). Returns the exit code.
ExitCode program_start(int argc, const char* const* argv, ExitCode (*gui)(const CmdLine&));
