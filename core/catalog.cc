#include "core/catalog.h"

#include "core/fileio.h"
#include "core/strutil.h"

int g_lang = 0;

#define MSG(name, de, en) const char* name = "";
#include "core/messages.def"
#undef MSG

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
