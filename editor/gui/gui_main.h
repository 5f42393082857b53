// The editor's entry: a start without a command word opens the main window.
#pragma once

#include <memory>

#include "app/cmdline.h"

class MainWindow;

// Runs the editor until its window closes: EXIT_OK, or EXIT_CONFIG when
// there is no display, the configuration cannot be read or the event loop
// ended with an error. Started without -c and without any configuration file, it
// first offers to create one (gui_first_config) and then opens the settings.
ExitCode gui_main(const CmdLine& cl);

// The start after the application object exists: the configuration
// (offered first when there is none), the main window shown on its start
// area, and after a new configuration the settings window on it. nullptr
// when the start ends here (said in a box, or declined).
std::unique_ptr<MainWindow> gui_open(const CmdLine& cl);

// Asks whether to create a configuration at `path` from the example and
// writes it (config/example). True when the file is there to be loaded;
// false when the user declined or it could not be written (said in a box).
bool gui_first_config(const char* path);
