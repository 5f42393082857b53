#include "app/catalog.h"

#include "platform/platform.h"

const CatalogRow catalog_rows[] = {
#define MSG(name, de, en) {&name, de, en},
#include "areafix/messages.def"
#include "config/messages.def"
#include "core/messages.def"
#include "editor/messages_cmd.def"
#include "editor/messages_log.def"
#include "jam/messages.def"
#include "mailer/messages.def"
#include "mbase/messages.def"
#include "nodelist/messages.def"
#include "outbound/messages.def"
#include "scanner/messages.def"
#include "tosser/messages_pkt.def"
#include "tosser/messages_tic.def"
#include "tosser/messages_toss.def"
#undef MSG
};
const size_t catalog_count = sizeof catalog_rows / sizeof catalog_rows[0];

const CatalogWideRow catalog_wrows[] = {
#define WMSG(name, de, en) {&name, de, en},
#include "editor/messages.def"
#undef WMSG
};
const size_t catalog_wcount = sizeof catalog_wrows / sizeof catalog_wrows[0];

void lang_apply(int lang) {
    g_lang = lang;
    for (size_t i = 0; i < catalog_count; ++i)
        *catalog_rows[i].dest = lang == LANG_EN ? catalog_rows[i].en : catalog_rows[i].de;
    for (size_t i = 0; i < catalog_wcount; ++i)
        *catalog_wrows[i].dest = lang == LANG_EN ? catalog_wrows[i].en : catalog_wrows[i].de;
}

int lang_init(int lang_cli, const char* cfg_path) {
    int lang = lang_cli;
    if (lang != LANG_DE && lang != LANG_EN) {
        int c = cfg_lang(cfg_path);
        lang = (c == LANG_DE || c == LANG_EN) ? c : pf_ui_language();
    }
    lang_apply(lang);
    return lang;
}
