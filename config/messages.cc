#include "config/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "config/messages.def"
#undef MSG
