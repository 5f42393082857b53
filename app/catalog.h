// The program's whole message catalogue and the choice of language.
//
// Every module keeps its texts in its own table (<module>/messages.def, its
// buffers declared in <module>/messages.h); this is the one place that knows
// every module, so the whole table and lang_apply, which fills every buffer,
// live here. The rest of the program refers to a text only through its
// buffer and never asks which language is active.
#pragma once

#include <cstddef>

#include "app/catalog.h"
#include "areafix/messages.h"
#include "config/messages.h"
#include "editor/messages.h"
#include "jam/messages.h"
#include "mailer/messages.h"
#include "mbase/messages.h"
#include "nodelist/messages.h"
#include "outbound/messages.h"
#include "scanner/messages.h"
#include "tosser/messages.h"

// The whole table, in one array, and its length.
extern const CatalogRow catalog_rows[];
extern const size_t catalog_count;
extern const CatalogWideRow catalog_wrows[];
extern const size_t catalog_wcount;

// Sets g_lang and fills every buffer: English for 2, German for any other value.
void lang_apply(int lang);
// Chooses the language (command line, then configuration, then the user
// interface language) and applies it. lang_cli: 0 none, 1 German, 2 English.
// Returns the language applied.
int lang_init(int lang_cli, const char* cfg_path);
