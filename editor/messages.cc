#include "editor/messages.h"

#define MSG(name, de, en) const char* name = "";
#include "editor/messages_cmd.def"
#include "editor/messages_log.def"
#undef MSG
#define WMSG(name, de, en) const char16_t* name = u"";
#include "editor/messages.def"
#undef WMSG
