#include "core/charset.h"

#include "core/bytes.h"
#include "core/cp437.h"

namespace {

struct Name {
    const char* name;
    int cs;
};
const Name NAMES[] = {
    {"CP437", CS_CP437},   {"IBMPC", CS_CP437},          {"CP850", CS_CP850},
    {"CP852", CS_CP852},   {"CP866", CS_CP866},          {"CP1250", CS_CP1250},
    {"CP1251", CS_CP1251}, {"CP1252", CS_CP1252},        {"KOI8-R", CS_KOI8R},
    {"KOI8-U", CS_KOI8U},  {"LATIN-1", CS_LATIN1},       {"ISO-8859-1", CS_LATIN1},
    {"UTF-8", CS_UTF8},    {"ISO-8859-5", CS_ISO8859_5},
};
// The names written, by set.
const char* const WRITTEN[CS_COUNT] = {"CP437",  "CP850",   "CP852",      "CP866",
                                       "CP1250", "CP1251",  "CP1252",     "KOI8-R",
                                       "KOI8-U", "LATIN-1", "ISO-8859-5", "UTF-8"};

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_word(const char* p, size_t n, const char* word) {
    size_t i = 0;
    for (; i < n && word[i] != '\0'; ++i)
        if (upper(p[i]) != word[i]) return false;
    return i == n && word[i] == '\0';
}

bool has_prefix(const char* p, size_t n, const char* prefix, size_t& after) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i)
        if (i >= n || upper(p[i]) != prefix[i]) return false;
    after = i;
    return true;
}

// Length of the well-formed UTF-8 sequence at p, or 0 when it is not one.
size_t utf8_seq(const uint8_t* p, size_t n, char32_t& cp) {
    uint8_t b = p[0];
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    size_t len;
    char32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        cp = b & 0x1F;
        min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        cp = b & 0x0F;
        min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        cp = b & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void put_utf16(std::u16string& out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

void put_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Bytes an invalid sequence at p takes: its maximal well-formed start (a
// lead byte and the continuation bytes that may follow it), at least 1 -
// one U+FFFD per such piece, as the Unicode standard recommends.
size_t utf8_bad_len(const uint8_t* p, size_t n) {
    uint8_t b = p[0];
    size_t need = b >= 0xC2 && b <= 0xDF   ? 2
                  : b >= 0xE0 && b <= 0xEF ? 3
                  : b >= 0xF0 && b <= 0xF4 ? 4
                                           : 1;
    size_t k = 1;
    while (k < need && k < n) {
        uint8_t c = p[k];
        uint8_t lo = 0x80, hi = 0xBF;
        if (k == 1) {
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        }
        if (c < lo || c > hi) break;
        ++k;
    }
    return k;
}

// The next character of a UTF-16 text at i (a pair as one); advances i.
char32_t next16(const std::u16string& s, size_t& i) {
    char16_t u = s[i++];
    if (u >= 0xD800 && u <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
        return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i++] - 0xDC00);
    if (u >= 0xD800 && u <= 0xDFFF) return CS_REPLACEMENT;
    return u;
}

// The byte of character c in single-byte set cs, or -1.
int byte_of(int cs, char32_t c) {
    // The screen glyphs of code page 437's control positions do not count:
    // written as control bytes they would read back as controls.
    if (c < 0x80) return static_cast<int>(c);
    if (c == CS_REPLACEMENT) return -1;
    for (int i = 0; i < 128; ++i)
        if (cs_high[cs][i] == c) return 0x80 + i;
    return -1;
}

// The first known set among the kludge lines of a subfield block.
int cs_of_subfields(const uint8_t* sf, uint32_t sflen) {
    for (uint32_t p = 0; sf != nullptr && p + 8 <= sflen;) {
        uint16_t lo = get_le16(sf + p);
        uint32_t dlen = get_le32(sf + p + 4);
        if (dlen > sflen - p - 8) break;
        if (lo == 2000) {
            int cs = cs_from_kludge(reinterpret_cast<const char*>(sf + p + 8), dlen);
            if (cs >= 0) return cs;
        }
        p += 8 + dlen;
    }
    return -1;
}

int cs_of_text_kludges(const char* t, size_t n) {
    size_t i = 0;
    while (i < n) {
        size_t e = i;
        while (e < n && t[e] != '\r' && t[e] != '\n') ++e;
        if (e > i && t[i] == '\x01') {
            int cs = cs_from_kludge(t + i + 1, e - i - 1);
            if (cs >= 0) return cs;
        }
        i = e + 1;
    }
    return -1;
}

}  // namespace

int cs_by_name(const char* name, size_t n) {
    for (const Name& k : NAMES)
        if (same_word(name, n, k.name)) return k.cs;
    return -1;
}

int cs_from_kludge(const char* line, size_t n) {
    size_t at;
    bool chrs = has_prefix(line, n, "CHRS:", at);
    if (!chrs && !has_prefix(line, n, "CODEPAGE:", at)) return -1;
    while (at < n && (line[at] == ' ' || line[at] == '\t')) ++at;
    size_t e = at;
    while (e < n && line[e] != ' ' && line[e] != '\t' && line[e] != '\0') ++e;
    if (chrs) return cs_by_name(line + at, e - at);
    // CODEPAGE: a number, the code page of the same name.
    std::string name = "CP";
    name.append(line + at, e - at);
    return e > at && e - at <= 5 ? cs_by_name(name.data(), name.size()) : -1;
}

const char* cs_name(int cs) {
    return cs >= 0 && cs < CS_COUNT ? WRITTEN[cs] : WRITTEN[CS_CP437];
}

std::string cs_kludge(int cs) {
    return std::string("CHRS: ") + cs_name(cs) + (cs == CS_UTF8 ? " 4" : " 2");
}

bool utf8_valid(const char* p, size_t n) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
    char32_t cp;
    for (size_t i = 0; i < n;) {
        size_t k = utf8_seq(b + i, n - i, cp);
        if (k == 0) return false;
        i += k;
    }
    return true;
}

int cs_detect(const char* p, size_t n) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
    bool multi = false;
    char32_t cp;
    for (size_t i = 0; i < n;) {
        size_t k = utf8_seq(b + i, n - i, cp);
        if (k == 0) return CS_CP437;
        multi = multi || k > 1;
        i += k;
    }
    return multi ? CS_UTF8 : CS_CP437;
}

int cs_of_message(const uint8_t* sf, uint32_t sflen, const char* text, size_t len,
                  const char* probe, size_t probe_len) {
    int cs = cs_of_subfields(sf, sflen);
    if (cs < 0 && text != nullptr) cs = cs_of_text_kludges(text, len);
    if (cs >= 0) return cs;
    if (text != nullptr) return cs_detect(text, len);
    return probe != nullptr ? cs_detect(probe, probe_len) : CS_CP437;
}

char32_t cs_next(int cs, const char* p, size_t n, size_t& used) {
    uint8_t b = static_cast<uint8_t>(p[0]);
    used = 1;
    if (b < 0x80) return b;
    if (cs == CS_UTF8) {
        char32_t cp;
        const uint8_t* u = reinterpret_cast<const uint8_t*>(p);
        size_t k = utf8_seq(u, n, cp);
        if (k == 0) {
            used = utf8_bad_len(u, n);
            return CS_REPLACEMENT;
        }
        used = k;
        return cp;
    }
    if (cs < 0 || cs >= CS_NBYTE) cs = CS_CP437;
    return cs_high[cs][b - 0x80];
}

std::u16string cs_decode(int cs, const char* p, size_t n) {
    std::u16string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        size_t used;
        put_utf16(out, cs_next(cs, p + i, n - i, used));
        i += used;
    }
    return out;
}

std::string cs_to_utf8(int cs, const char* p, size_t n) {
    std::string out;
    out.reserve(n + n / 2);
    for (size_t i = 0; i < n;) {
        size_t used;
        put_utf8(out, cs_next(cs, p + i, n - i, used));
        i += used;
    }
    return out;
}

std::string utf16_to_utf8(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) put_utf8(out, next16(s, i));
    return out;
}

bool cs_is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C ||
           c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

char32_t cs_shown(char32_t c) {
    if (!cs_is_control(c)) return c;
    if (c == 0) return U' ';
    if (c < 0x80) return cp437_uni[c];
    return CS_REPLACEMENT;
}

namespace {

void put_shown(std::string& out, char32_t c, bool field) {
    if (c == U'\t' && !field) {
        out += '\t';
    } else if (field && (c == U'\t' || c == U'\r' || c == U'\n')) {
        out += ' ';
    } else {
        put_utf8(out, cs_shown(c));
    }
}

}  // namespace

std::string cs_to_utf8_shown(int cs, const char* p, size_t n, bool field) {
    std::string out;
    out.reserve(n + n / 2);
    for (size_t i = 0; i < n;) {
        size_t used;
        put_shown(out, cs_next(cs, p + i, n - i, used), field);
        i += used;
    }
    return out;
}

std::string utf16_to_utf8_shown(const std::u16string& s, bool field) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) put_shown(out, next16(s, i), field);
    return out;
}

size_t utf8_control_len(const char* p, size_t n) {
    uint8_t lead = static_cast<uint8_t>(p[0]);
    bool two_or_three = (lead & 0xE0) == 0xC0 || (lead & 0xF0) == 0xE0;
    if (n < 2 || !two_or_three) return 0;
    size_t used;
    char32_t c = cs_next(CS_UTF8, p, n, used);
    return used >= 2 && cs_is_control(c) ? used : 0;
}

std::u16string utf8_to_utf16(const char* p, size_t n) {
    return cs_decode(CS_UTF8, p, n);
}

bool cs_fits(int cs, const std::u16string& s) {
    if (cs == CS_UTF8) return true;
    if (cs < 0 || cs >= CS_NBYTE) return false;
    for (size_t i = 0; i < s.size();)
        if (byte_of(cs, next16(s, i)) < 0) return false;
    return true;
}

std::string cs_encode(int cs, const std::u16string& s) {
    if (cs == CS_UTF8) return utf16_to_utf8(s);
    if (cs < 0 || cs >= CS_NBYTE) cs = CS_CP437;
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        int b = byte_of(cs, next16(s, i));
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

int cs_choose(const std::u16string& s, int prefer) {
    if (prefer >= 0 && prefer < CS_COUNT && cs_fits(prefer, s)) return prefer;
    return cs_fits(CS_CP437, s) ? CS_CP437 : CS_UTF8;
}

int cs_width(char32_t c) {
    if (c < 0x1100) return 1;
    size_t lo = 0, hi = cs_wide_count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (c < cs_wide[mid][0])
            hi = mid;
        else if (c > cs_wide[mid][1])
            lo = mid + 1;
        else
            return 2;
    }
    return 1;
}

size_t cs_text_width(const std::u16string& s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size();) w += static_cast<size_t>(cs_width(next16(s, i)));
    return w;
}
