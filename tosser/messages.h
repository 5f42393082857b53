// The texts of the packet and ZIP readers and the toss run.
//
// One buffer per row of the table below, empty until lang_apply
// (app/catalog.h) fills every buffer of the program with its German or
// English text. The buffers are defined in tosser/messages.cc.
#pragma once

#include "core/catalog.h"

#define MSG(name, de, en) extern const char* name;
#include "tosser/messages_pkt.def"
#include "tosser/messages_tic.def"
#include "tosser/messages_toss.def"
#undef MSG
