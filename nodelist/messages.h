// The texts of the nodelist.
//
// One buffer per row of the table below, empty until lang_apply
// (app/catalog.h) fills every buffer of the program with its German or
// English text. The buffers are defined in nodelist/messages.cc.
#pragma once

#include "core/catalog.h"

#define MSG(name, de, en) extern const char* name;
#include "nodelist/messages.def"
#undef MSG
