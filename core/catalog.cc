#include "core/catalog.h"

#include "core/fileio.h"
#include "core/strutil.h"

int g_lang = 0;

#define MSG(name, de, en) const char* name = "";
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

const CatalogRow catalog_rows[] = {
#define MSG(name, de, en) {&name, de, en},
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
};
const size_t catalog_count = sizeof catalog_rows / sizeof catalog_rows[0];

#define WMSG(name, de, en) const char16_t* name = u"";
#include "editor/messages.def"
#undef WMSG

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

namespace {
constexpr size_t LBUF_MAX = 65536;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Matches "language" (any case), optional blanks/tabs and "=" at p; returns
// the position after "=" or nullptr.
const char* match_key(const char* p, const char* end) {
    static const char key[] = "language";
    for (int i = 0; i < 8; ++i, ++p) {
        if (p >= end) return nullptr;
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != key[i]) return nullptr;
    }
    while (p < end && is_blank(*p)) ++p;
    if (p >= end || *p != '=') return nullptr;
    return p + 1;
}
}  // namespace

int cfg_lang(const char* cfg_path) {
    pf_file h = f_open_read(cfg_path);
    if (h == PF_INVALID) return 0;
    static char buf[LBUF_MAX];
    size_t n = 0;
    while (n < LBUF_MAX - 1) {
        size_t r = f_read(h, buf + n, LBUF_MAX - 1 - n);
        if (r == 0) break;
        n += r;
    }
    f_close(h);
    const char* p = buf;
    const char* end = buf + n;
    while (p < end) {
        const char* eol = p;
        while (eol < end && *eol != '\n') ++eol;
        const char* q = p;
        while (q < eol && is_blank(*q)) ++q;
        if (q < eol && *q == '[') break;
        if (const char* v = match_key(q, eol)) {
            while (v < eol && is_blank(*v)) ++v;
            char val[61];
            size_t k = 0;
            while (v < eol && k < 60) {
                unsigned char c = static_cast<unsigned char>(*v);
                if (c < 0x20 || c == ' ' || c == ';' || c == '#' || c == 0x7f) break;
                val[k++] = *v++;
            }
            val[k] = '\0';
            if (str_icmp(val, "de") == 0) return LANG_DE;
            if (str_icmp(val, "en") == 0) return LANG_EN;
            return 3;
        }
        p = eol + 1;
    }
    return 0;
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
