#include "core/cfgline.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// The first NUL in [p, e), else e.
size_t to_nul(const char* t, size_t p, size_t e) {
    while (p < e && t[p] != '\0') ++p;
    return p;
}

}  // namespace

CfgLine cfg_line(const char* t, size_t len, size_t begin) {
    CfgLine l;
    l.begin = begin;
    size_t lf = begin;
    while (lf < len && t[lf] != '\n') ++lf;
    l.end = lf < len ? lf + 1 : len;
    l.stop = lf > begin && t[lf - 1] == '\r' ? lf - 1 : lf;
    size_t p = begin;
    while (p < lf && (blank(t[p]) || t[p] == '\r')) ++p;
    if (p >= l.stop) p = l.stop;
    l.first = l.key = l.key_end = l.value = l.value_end = p;
    if (p == l.stop) {
        l.kind = CfgLineKind::Empty;
        return l;
    }
    if (t[p] == '#' || t[p] == ';') {
        l.kind = CfgLineKind::Comment;
        return l;
    }
    if (t[p] == '[') {
        l.kind = CfgLineKind::Header;
        return l;
    }
    size_t eq = p;
    while (eq < lf && t[eq] != '=') ++eq;
    if (eq == lf) {
        l.kind = CfgLineKind::Other;
        return l;
    }
    l.kind = CfgLineKind::Setting;
    size_t ke = eq;
    while (ke > p && blank(t[ke - 1])) --ke;
    l.key_end = to_nul(t, p, ke);
    size_t v = eq + 1;
    while (v < lf && blank(t[v])) ++v;
    size_t ve = v;
    while (ve < lf && t[ve] != '\r') ++ve;
    while (ve > v && blank(t[ve - 1])) --ve;
    l.value = v;
    l.value_end = to_nul(t, v, ve);
    return l;
}

bool cfg_line_key_is(const char* t, const CfgLine& l, const char* key) {
    if (l.kind != CfgLineKind::Setting) return false;
    size_t p = l.key;
    for (; *key != '\0'; ++key, ++p)
        if (p >= l.key_end || lower(t[p]) != lower(*key)) return false;
    return p == l.key_end;
}
