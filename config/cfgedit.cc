#include "config/cfgedit.h"

#include "core/fileio.h"
#include "core/strutil.h"

namespace {

constexpr size_t CF_NAME = 63;  // keys and tokens keep 62 characters

enum class LineKind { Empty, Header, Setting, Other };

struct Line {
    size_t begin, end;  // end is after the line break
    LineKind kind;
    char name[BNAME_MAX];  // section name of a header
    char key[CF_NAME];     // key of a setting
    char token[CF_NAME];   // first word of a setting's value
};

bool blank(char c) {
    return c == ' ' || c == '\t';
}

void take_word(const std::string& t, size_t& p, size_t end, char* out, bool (*stop)(char)) {
    size_t n = 0;
    while (p < end && !stop(t[p])) {
        if (n + 1 < CF_NAME) out[n++] = t[p];
        ++p;
    }
    out[n] = '\0';
}

Line cl_line(const std::string& t, size_t begin) {
    Line l{};
    l.begin = begin;
    size_t eol = t.find('\n', begin);
    l.end = eol == std::string::npos ? t.size() : eol + 1;
    size_t stop = eol == std::string::npos ? t.size() : eol;  // content ends here
    size_t p = begin;
    while (p < stop && blank(t[p])) ++p;
    if (p == stop || t[p] == '\r' || t[p] == '#' || t[p] == ';') {
        l.kind = LineKind::Empty;
        return l;
    }
    if (t[p] == '[') {
        l.kind = LineKind::Header;
        cfg_section_name(t.data() + p + 1, t.data() + stop, l.name);
        return l;
    }
    size_t eq = t.find('=', p);
    if (eq == std::string::npos || eq >= stop) {
        l.kind = LineKind::Other;
        return l;
    }
    l.kind = LineKind::Setting;
    size_t ke = eq;
    while (ke > p && blank(t[ke - 1])) --ke;
    size_t kp = p;
    take_word(t, kp, ke, l.key, [](char) { return false; });
    size_t v = eq + 1;
    while (v < stop && blank(t[v])) ++v;
    take_word(t, v, stop, l.token, [](char c) { return blank(c) || c == '\r'; });
    return l;
}

bool is_area_line(const Line& l, const char* tag) {
    return l.kind == LineKind::Setting && str_icmp(l.key, "echoarea") == 0 &&
           str_icmp(l.token, tag) == 0;
}

const char* line_end_style(const std::string& t) {
    size_t lf = t.find('\n');
    if (lf == std::string::npos) return "\r\n";
    return (lf > 0 && t[lf - 1] == '\r') ? "\r\n" : "\n";
}

}  // namespace

int af_cfg_add_area(const char* cfg_path, const char* section, const char* tag, const char* path) {
    std::string t;
    if (cf_read(cfg_path, t) != 0) return 1;
    int headers = 0;
    for (size_t p = 0; p < t.size();) {
        Line l = cl_line(t, p);
        if (l.kind == LineKind::Header) ++headers;
        p = l.end;
    }
    bool named = section != nullptr && section[0] != '\0' && headers > 0;
    bool in_region = !named;
    bool found = !named;
    size_t ins = 0;
    for (size_t p = 0; p < t.size();) {
        Line l = cl_line(t, p);
        switch (l.kind) {
            case LineKind::Header:
                in_region = named && str_icmp(l.name, section) == 0;
                if (in_region) {
                    found = true;
                    ins = l.end;
                }
                break;
            case LineKind::Setting:
                if (is_area_line(l, tag)) return 2;
                [[fallthrough]];
            case LineKind::Other:
                if (in_region) ins = l.end;
                break;
            case LineKind::Empty:
                break;
        }
        p = l.end;
    }
    if (!found) return 1;
    const char* eol = line_end_style(t);
    std::string out = t.substr(0, ins);
    if (!out.empty() && out.back() != '\r' && out.back() != '\n') out += eol;
    out += "echoarea=";
    out += tag;
    out += " ";
    out += path;
    out += eol;
    out += t.substr(ins);
    // The loader reads only the first 16383 bytes and every editor of the file
    // refuses files that long: a longer result would cut off the lines at its
    // end (a value cut in the middle reads as a different value) and lock the
    // file against all further edits.
    if (out.size() > CFG_OUT_MAX) return 1;
    return cf_write(cfg_path, out) == 0 ? 0 : 1;
}

int af_cfg_del_area(const char* cfg_path, const char* tag) {
    std::string t;
    if (cf_read(cfg_path, t) != 0) return -1;
    std::string out;
    int removed = 0;
    for (size_t p = 0; p < t.size();) {
        Line l = cl_line(t, p);
        if (is_area_line(l, tag))
            ++removed;
        else
            out.append(t, l.begin, l.end - l.begin);
        p = l.end;
    }
    if (removed == 0) return 0;
    return cf_write(cfg_path, out) == 0 ? removed : -1;
}

void af_lc_tag(char* out, const char* name) {
    size_t n = 0;
    for (const char* p = name; *p != '\0' && n < 60; ++p) {
        char c = *p;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
        else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                   c == '_'))
            c = '_';
        out[n++] = c;
    }
    if (n == 0) out[n++] = '_';
    out[n] = '\0';
}
