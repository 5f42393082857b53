// Feeds arbitrary bytes as a configuration file to the settings rewrite and
// checks what must hold for any text: an unchanged dialog state rewrites the
// file byte for byte (only a missing last line end is added), a changed value
// is what a new scan of the result finds, and the global key pass leaves the
// sections as they were.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "config/cfgwrite.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Part t of the file `whole` as every pass copies it: a last line without LF
// gets one, in the style of the file's first line end.
std::string with_last_eol(const std::string& t, const std::string& whole) {
    if (t.empty() || t.back() == '\n') return t;
    size_t lf = whole.find('\n');
    bool crlf = lf != std::string::npos && lf > 0 && whole[lf - 1] == '\r';
    return t + (crlf ? "\r\n" : "\n");
}

// Everything from the first line that starts with "[" after blanks and tabs.
std::string sections(const std::string& t) {
    for (size_t p = 0; p < t.size();) {
        size_t q = p;
        while (q < t.size() && (t[q] == ' ' || t[q] == '\t')) ++q;
        if (q < t.size() && t[q] == '[') return t.substr(p);
        size_t lf = t.find('\n', p);
        if (lf == std::string::npos) break;
        p = lf + 1;
    }
    return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= CFG_WRITE_LIMIT) return 0;
    static std::unique_ptr<CfgEdit> e = std::make_unique<CfgEdit>();
    static std::unique_ptr<CfgEdit> again = std::make_unique<CfgEdit>();
    std::string in(reinterpret_cast<const char*>(data), size);
    std::string out;

    st_scan_text(*e, in);
    check(e->nslots >= 1 && e->nslots <= MAX_BOSS);
    if (cfg_rewrite_text(*e, in, out) == CfgResult::Ok) check(out == with_last_eol(in, in));

    // Change the host of every slot: a new scan finds the new value.
    for (int i = 0; i < e->nslots; ++i) str_copy(e->slots[i].newv[SK_HOST], "h.example", CFG_STR);
    if (cfg_rewrite_text(*e, in, out) == CfgResult::Ok) {
        st_scan_text(*again, out);
        check(again->nslots == e->nslots);
        for (int i = 0; i < e->nslots; ++i)
            check(std::string(again->slots[i].oldv[SK_HOST]) == "h.example");
    }

    // The global pass: the new value is found, the sections are untouched.
    if (gkey_text(in, "sysop", "Fuzz Name", out) == CfgResult::Ok) {
        st_scan_text(*again, out);
        check(std::string(again->gsysop_old) == "Fuzz Name");
        check(sections(out) == with_last_eol(sections(in), in));
    }
    return 0;
}
