#include "mbase/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "mbase/messages.def"
#undef MSG
