#include "mailer/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "mailer/messages.def"
#undef MSG
