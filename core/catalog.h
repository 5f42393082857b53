// The bilingual message catalogue and the choice of language.
//
// Every user-visible text is a named buffer (m_... for console texts) that
// lang_apply fills with its German or English text before first use; the rest
// of the program refers to a text only through its buffer and never asks
// which language is active. Before lang_apply every buffer is empty.
//
// The rows live in one messages.def file per subsystem, as
// MSG(buffer, German, English); console texts are 8-bit ASCII. Window texts
// are UTF-16 rows WMSG(buffer, German, English) with real umlauts.
#pragma once

#include <cstddef>

constexpr int LANG_DE = 1;
constexpr int LANG_EN = 2;

// The active language (read by the editor's jobs to pass it on).
extern int g_lang;

#define MSG(name, de, en) extern const char* name;
#include "areafix/messages.def"
#include "config/messages.def"
#include "core/messages.def"
#include "editor/messages_cmd.def"
#include "editor/messages_log.def"
#include "mailer/messages.def"
#include "scanner/messages.def"
#include "tosser/messages.def"
#include "tosser/messages_pkt.def"
#include "tosser/messages_toss.def"
#undef MSG
#define WMSG(name, de, en) extern const char16_t* name;
#include "editor/messages.def"
#undef WMSG

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
// The whole table, in one array, and its length.
extern const CatalogRow catalog_rows[];
extern const size_t catalog_count;
extern const CatalogWideRow catalog_wrows[];
extern const size_t catalog_wcount;

// Sets g_lang and fills every buffer: English for 2, German for any other value.
void lang_apply(int lang);
// The `language` key of the global part of the configuration file: 0 when the
// file cannot be opened (or has no such line), 1 "de", 2 "en", 3 another value.
int cfg_lang(const char* cfg_path);
// Chooses the language (command line, then configuration, then the user
// interface language) and applies it. lang_cli: 0 none, 1 German, 2 English.
// Returns the language applied.
int lang_init(int lang_cli, const char* cfg_path);
