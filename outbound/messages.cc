#include "outbound/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "outbound/messages.def"
#undef MSG
