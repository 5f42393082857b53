// The texts of the editor (its job runner's log texts, its window texts).
//
// One buffer per row of the table below, empty until lang_apply
// (app/catalog.h) fills every buffer of the program with its German or
// English text. The buffers are defined in editor/messages.cc.
#pragma once

#include "core/catalog.h"

#define MSG(name, de, en) extern const char* name;
#include "editor/messages_cmd.def"
#include "editor/messages_log.def"
#undef MSG
#define WMSG(name, de, en) extern const char16_t* name;
#include "editor/messages.def"
#undef WMSG
