#include "areafix/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "areafix/messages.def"
#undef MSG
