// The texts of the message-base interface.
//
// One buffer per row of the table below, empty until lang_apply
// (app/catalog.h) fills every buffer of the program with its German or
// English text. The buffers are defined in mbase/messages.cc.
#pragma once

#include "core/catalog.h"

#define MSG(name, de, en) extern const char* name;
#include "mbase/messages.def"
#undef MSG
