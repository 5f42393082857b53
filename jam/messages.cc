#include "jam/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "jam/messages.def"
#undef MSG
