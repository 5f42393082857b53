// A first configuration for a new user: the shipped example
// (wrenpost.cfg.example, built into the program) with its paths made
// relative, so the point's files lie beside the configuration.
#pragma once

#include <string>

#include "config/result.h"

// The example as the program carries it, byte for byte.
extern const char* const cfg_example_text;

// The text of a new configuration: the example with its sample directory
// ("/home/jo/fido/") taken out of every path.
std::string cfg_example_for_new();

// Writes the new configuration to `path`, creating the missing directories
// above it, and then the folders it names (inbound, outbound, the message
// bases' and the area directory). Never replaces a file: the text goes to a temporary file beside
// it that is renamed without replace. Ok written; Exists the file exists
// (nothing changed); Failed (nothing left behind but the directories made).
CfgResult cfg_write_example(const char* path);
