// The texts of the configuration loader and writer.
//
// One buffer per row of the table below, empty until lang_apply
// (app/catalog.h) fills every buffer of the program with its German or
// English text. The buffers are defined in config/messages.cc.
#pragma once

#include "core/catalog.h"

#define MSG(name, de, en) extern const char* name;
#include "config/messages.def"
#undef MSG
