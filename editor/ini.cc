#include "editor/ini.h"

#include <cstring>
#include <vector>

#include "config/cfgwrite.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "platform/platform.h"

namespace {

constexpr const char* SECTION = "window";
constexpr size_t DIR_MAX = 503;
constexpr size_t VALUE_MAX = 31;

const char HEADER[] =
    "; wrenpost - Fenstereinstellungen / window settings\r\n"
    "; (wird beim Beenden geschrieben / written on exit)\r\n";

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && blank(s[a])) ++a;
    while (b > a && blank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

bool same(const std::string& a, const char* b) {
    return str_icmp(a.c_str(), b) == 0;
}

// One line of the image: [start, end) without its line end, next = start of
// the following line.
struct Line {
    size_t start, end, next;
};

std::vector<Line> split(const std::string& t) {
    std::vector<Line> lines;
    size_t i = 0;
    while (i < t.size()) {
        size_t e = i;
        while (e < t.size() && t[e] != '\n' && t[e] != '\r') ++e;
        size_t n = e;
        if (n < t.size() && t[n] == '\r') ++n;
        if (n < t.size() && t[n] == '\n') ++n;
        lines.push_back(Line{i, e, n});
        i = n;
    }
    return lines;
}

// "[name]": true with the name; anything else false.
bool section_name(const std::string& line, std::string& name) {
    std::string s = trim(line);
    if (s.empty() || s[0] != '[') return false;
    size_t close = s.find(']');
    name = trim(s.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// "key=value" outside comments: true with both trimmed.
bool key_line(const std::string& line, std::string& key, std::string& value) {
    std::string s = trim(line);
    if (s.empty() || s[0] == ';') return false;
    size_t eq = s.find('=');
    if (eq == std::string::npos) return false;
    key = trim(s.substr(0, eq));
    value = trim(s.substr(eq + 1));
    return true;
}

bool parse_int(const std::string& v, int& out) {
    size_t i = 0;
    bool neg = false;
    if (i < v.size() && v[i] == '-') {
        neg = true;
        ++i;
    }
    if (i >= v.size()) return false;
    int n = 0;
    for (size_t k = i; k < v.size(); ++k) {
        if (v[k] < '0' || v[k] > '9') return false;
        if (k > i && n >= 100000000) return false;
        n = n * 10 + (v[k] - '0');
    }
    out = neg ? -n : n;
    return true;
}

void load(IniFile& f) {
    if (f.loaded) return;
    f.image.clear();
    f_read_whole(f.path, f.image, 1 << 20);
    f.loaded = true;
}

}  // namespace

bool ini_lookup(const std::string& text, const char* section, const char* key, std::string& value) {
    bool inside = false;
    for (const Line& l : split(text)) {
        std::string line = text.substr(l.start, l.end - l.start), name, k, v;
        if (section_name(line, name)) {
            inside = same(name, section);
        } else if (inside && key_line(line, k, v) && same(k, key)) {
            value = v;
            return true;
        }
    }
    return false;
}

std::string ini_set(const std::string& text, const char* section, const char* key,
                    const char* value) {
    std::string entry = std::string(key) + "=" + value;
    bool inside = false, found_section = false;
    size_t insert_at = 0;  // behind the section's last key line (or its header)
    for (const Line& l : split(text)) {
        std::string line = text.substr(l.start, l.end - l.start), name, k, v;
        if (section_name(line, name)) {
            if (inside) break;  // the section ended without the key
            inside = same(name, section);
            if (inside) {
                found_section = true;
                insert_at = l.next;
            }
        } else if (inside && key_line(line, k, v)) {
            if (same(k, key)) return text.substr(0, l.start) + entry + text.substr(l.end);
            insert_at = l.next;
        }
    }
    std::string before, after;
    if (found_section) {
        before = text.substr(0, insert_at);
        after = text.substr(insert_at);
    } else {
        before = text;
        if (!before.empty() && before.back() != '\n' && before.back() != '\r') before += "\r\n";
        before += "[" + std::string(section) + "]\r\n";
    }
    // A last line without a line end gets one before the new line.
    if (!before.empty() && before.back() != '\n' && before.back() != '\r') before += "\r\n";
    return before + entry + "\r\n" + after;
}

void ini_init(IniFile& f, const char* cfg_path) {
    char full[520];
    const char* p = pf_full_path(cfg_path, full, sizeof full) == 0 ? full : cfg_path;
    size_t cut = 0;
    for (size_t i = 0; p[i] != '\0'; ++i)
        if (p[i] == '\\' || p[i] == '/' || p[i] == ':') cut = i + 1;
    if (cut > DIR_MAX) cut = DIR_MAX;
    std::memcpy(f.path, p, cut);
    f.path[cut] = '\0';
    str_cat(f.path, "wrenpost.ini", sizeof f.path);
    f.image.clear();
    f.loaded = f.dirty = false;
}

int ini_get(const IniFile& f, const char* key, int def) {
    std::string text, value;
    if (f_read_whole(f.path, text, 1 << 20) != 0) return def;
    if (!ini_lookup(text, SECTION, key, value)) return def;
    if (value.size() > VALUE_MAX) value.resize(VALUE_MAX);
    int n = 0;
    return parse_int(value, n) ? n : def;
}

void ini_put(IniFile& f, const char* key, int value) {
    load(f);
    char num[16];
    int v = value;
    if (v < 0) {
        num[0] = '-';
        u64_to_dec(static_cast<uint64_t>(-static_cast<int64_t>(v)), num + 1);
    } else {
        u64_to_dec(static_cast<uint64_t>(v), num);
    }
    std::string next = ini_set(f.image, SECTION, key, num);
    if (next != f.image) {
        f.image = next;
        f.dirty = true;
    }
}

void ini_header(IniFile& f) {
    pf_file h = f_open_always(f.path);
    if (h == PF_INVALID) return;
    bool fresh = pf_size(h) == 0 && f_write(h, HEADER, sizeof HEADER - 1) == 0;
    f_close(h);
    if (fresh && f.loaded) f.image.insert(0, HEADER);  // writes collected before
}

void ini_flush(IniFile& f) {
    if (!f.dirty) return;
    // The temporary file is renamed over an existing one; create it first
    // when it is missing.
    pf_file h = f_open_always(f.path);
    if (h == PF_INVALID) return;
    f_close(h);
    if (cf_write(f.path, f.image) == 0) f.dirty = false;
}
