#include "tosser/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "tosser/messages_pkt.def"
#include "tosser/messages_tic.def"
#include "tosser/messages_toss.def"
#undef MSG
