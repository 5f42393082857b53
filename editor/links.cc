#include "editor/links.h"

#include <cstring>

namespace {

enum Kind { K_ADDR, K_MAIL, K_WWW };

struct Scheme {
    const char* text;
    Kind kind;
};
const Scheme SCHEMES[] = {{"https://", K_ADDR},  {"http://", K_ADDR}, {"ftp://", K_ADDR},
                          {"telnet://", K_ADDR}, {"mailto:", K_MAIL}, {"www.", K_WWW}};
const char* const SAFE[] = {"https://", "http://", "ftp://", "telnet://", "mailto:"};

constexpr int NORM_MAX = 2040;

int count(const char16_t* s, int a, int b, char16_t c) {
    int n = 0;
    for (int i = a; i < b; ++i) n += s[i] == c;
    return n;
}

}  // namespace

bool is_uc(char16_t c) {
    if (c < 0x21 || c > 0x7E) return false;
    return std::strchr("\"<>\\^`{|}", static_cast<char>(c)) == nullptr;
}

bool is_wc(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
           c == u'/' || c == u'.' || c == u'@' || c == u'-' || c == u'_' || c >= 0x80;
}

bool pmatch(const char16_t* s, int n, const char* pattern) {
    int k = static_cast<int>(std::strlen(pattern));
    if (n < k) return false;
    for (int i = 0; i < k; ++i) {
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        if (c != static_cast<char16_t>(pattern[i])) return false;
    }
    return true;
}

int link_find(const char16_t* line, int n, int p, int& len) {
    for (; p < n; ++p) {
        if (p > 0 && is_wc(line[p - 1])) continue;
        const Scheme* sc = nullptr;
        for (const Scheme& s : SCHEMES)
            if (pmatch(line + p, n - p, s.text)) {
                sc = &s;
                break;
            }
        if (sc == nullptr) continue;
        int body = p + static_cast<int>(std::strlen(sc->text));
        int end = body;
        while (end < n && is_uc(line[end])) ++end;
        while (end > body) {
            char16_t last = line[end - 1];
            if (last == u'.' || last == u',' || last == u';' || last == u':' || last == u'!' ||
                last == u'?' || last == u'\'') {
                --end;
            } else if (last == u')' &&
                       count(line, body, end, u')') > count(line, body, end, u'(')) {
                --end;
            } else if (last == u']' &&
                       count(line, body, end, u']') > count(line, body, end, u'[')) {
                --end;
            } else {
                break;
            }
        }
        int rest = end - body;
        bool ok = rest >= 1;
        if (ok && sc->kind == K_WWW) {
            ok = rest >= 3 && line[body] != u'.';
            if (ok) {
                int dot = -1;
                for (int i = body + 1; i < end; ++i)
                    if (line[i] == u'.') {
                        dot = i;
                        break;
                    }
                ok = dot >= 0 && dot + 1 < end;
            }
        } else if (ok && sc->kind == K_MAIL) {
            int at = -1;
            for (int i = body; i < end; ++i)
                if (line[i] == u'@') {
                    at = i;
                    break;
                }
            ok = at > body && at + 1 < end;
        }
        if (ok) {
            len = end - p;
            return p;
        }
    }
    len = 0;
    return -1;
}

std::u16string link_norm(const std::u16string& raw) {
    std::u16string r = raw.size() > NORM_MAX ? raw.substr(0, NORM_MAX) : raw;
    if (pmatch(r.data(), static_cast<int>(r.size()), "www.")) return u"https://" + r;
    return r;
}

bool link_safe(const std::u16string& url) {
    int n = static_cast<int>(url.size());
    if (n == 0 || n > LINK_MAX) return false;
    for (char16_t c : url)
        if (!is_uc(c)) return false;
    for (const char* s : SAFE)
        if (pmatch(url.data(), n, s) && n > static_cast<int>(std::strlen(s))) return true;
    return false;
}

int build_line(const Reader& r, int row, std::u16string& line, std::vector<int>& map) {
    line.clear();
    map.clear();
    auto take = [&](int rw, int from) {
        int end = rd_row_end(r, rw);
        for (int c = from; c < end && static_cast<int>(line.size()) < LMAX; ++c) {
            if (cell_silent(r.cell(rw, c))) continue;
            line += cell_char(r.cell(rw, c));
            map.push_back(rw * COLS + c);
        }
    };
    take(row, 0);
    int next = row + 1;
    for (; next < r.rows && (r.rflag[next] & RF_CONT) && static_cast<int>(line.size()) < LMAX;
         ++next) {
        if (r.rflag[next] & RF_SPACE) {
            line += u' ';
            map.push_back(-1);
        }
        take(next, r.rpfx[next]);
    }
    return next;
}

void mark_links(Reader& r) {
    std::u16string line;
    std::vector<int> map;
    for (int row = 0; row < r.rows;) {
        if (r.rflag[row] & RF_KLG) {
            ++row;
            continue;
        }
        int next = build_line(r, row, line, map);
        int n = static_cast<int>(line.size());
        int len = 0;
        for (int p = link_find(line.data(), n, 0, len); p >= 0;
             p = link_find(line.data(), n, p + len, len))
            for (int i = p; i < p + len; ++i)
                if (map[i] >= 0) r.grid[map[i]] |= CELL_LINK;
        row = next;
    }
}

bool link_at(const Reader& r, int pos, std::u16string& raw, std::u16string& url) {
    raw.clear();
    url.clear();
    if (pos < 0 || pos >= r.rows * COLS || !(r.grid[pos] & CELL_LINK)) return false;
    int row = pos / COLS;
    while (row > 0 && (r.rflag[row] & RF_CONT)) --row;
    std::u16string line;
    std::vector<int> map;
    build_line(r, row, line, map);
    int at = -1;
    for (size_t i = 0; i < map.size(); ++i)
        if (map[i] == pos) at = static_cast<int>(i);
    if (at < 0) return false;
    int n = static_cast<int>(line.size()), len = 0;
    int p = link_find(line.data(), n, 0, len);
    while (p >= 0 && p + len <= at) p = link_find(line.data(), n, p + len, len);
    if (p < 0 || p > at || len > LINK_MAX) return false;
    raw = line.substr(static_cast<size_t>(p), static_cast<size_t>(len));
    url = link_norm(raw);
    return link_safe(url);
}
