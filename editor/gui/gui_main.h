// The editor's entry: a start without a command word opens the main window.
#pragma once

#include "core/cmdline.h"

// Runs the editor until its window closes: 0, or 1 when the configuration
// cannot be read.
int gui_main(const CmdLine& cl);
