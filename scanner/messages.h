// The texts of the export run.
//
// One buffer per row of the table below, empty until lang_apply
// (app/catalog.h) fills every buffer of the program with its German or
// English text. The buffers are defined in scanner/messages.cc.
#pragma once

#include "core/catalog.h"

#define MSG(name, de, en) extern const char* name;
#include "scanner/messages.def"
#undef MSG
