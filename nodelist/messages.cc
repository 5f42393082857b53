#include "nodelist/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "nodelist/messages.def"
#undef MSG
