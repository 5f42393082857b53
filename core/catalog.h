// The bilingual message catalogue's mechanism, and the texts of the core.
//
// Every user-visible text is a named buffer (m_... for console texts) that
// lang_apply (app/catalog.h) fills with its German or English text before
// first use; the rest of the program refers to a text only through its buffer
// and never asks which language is active. Before lang_apply every buffer is
// empty.
//
// The rows live in one messages.def file per module, as
// MSG(buffer, German, English); console texts are 8-bit ASCII. Window texts
// are UTF-16 rows WMSG(buffer, German, English) with real umlauts. Each
// module declares its buffers in its messages.h; the core's own are declared
// here.
#pragma once

#include <cstddef>

constexpr int LANG_DE = 1;
constexpr int LANG_EN = 2;

// The active language (read by the editor's jobs to pass it on).
extern int g_lang;

#define MSG(name, de, en) extern const char* name;
#include "core/messages.def"
#undef MSG

struct CatalogRow {
    const char** dest;
    const char* de;
    const char* en;
};
struct CatalogWideRow {
    const char16_t** dest;
    const char16_t* de;
    const char16_t* en;
};
// The `language` key of the global part of the configuration file, its lines
// read as the loader reads them (core/cfgline.h); the first such line decides
// by the first word of its value: 0 when the file cannot be opened (or has no
// such line), 1 "de", 2 "en", 3 another value.
int cfg_lang(const char* cfg_path);
