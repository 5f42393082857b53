#include "scanner/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "scanner/messages.def"
#undef MSG
