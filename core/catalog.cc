#include "core/catalog.h"

#include "core/cfgline.h"
#include "core/fileio.h"
#include "core/strutil.h"

int g_lang = 0;

#define MSG(name, de, en) const char* name = "";
#include "core/messages.def"
#undef MSG

int cfg_lang(const char* cfg_path) {
    pf_file h = f_open_read(cfg_path);
    if (h == PF_INVALID) return 0;
    // As much of the file as the loader reads, never a line it does not see.
    static char buf[CFG_READ_MAX];
    size_t n = 0;
    while (n < CFG_READ_MAX) {
        size_t r = f_read(h, buf + n, CFG_READ_MAX - n);
        if (r == 0) break;
        n += r;
    }
    f_close(h);
    for (size_t p = 0; p < n;) {
        CfgLine l = cfg_line(buf, n, p);
        p = l.end;
        if (l.kind == CfgLineKind::Header) break;
        if (!cfg_line_key_is(buf, l, "language")) continue;
        // The value's first word decides: it ends at a blank, a control
        // byte, ";" or "#" (a comment after the value).
        char val[61];
        size_t k = 0;
        for (size_t v = l.value; v < l.value_end && k < 60; ++v) {
            unsigned char c = static_cast<unsigned char>(buf[v]);
            if (c < 0x20 || c == ' ' || c == ';' || c == '#' || c == 0x7f) break;
            val[k++] = buf[v];
        }
        val[k] = '\0';
        if (str_icmp(val, "de") == 0) return LANG_DE;
        if (str_icmp(val, "en") == 0) return LANG_EN;
        return 3;
    }
    return 0;
}
