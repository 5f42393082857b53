#include "areafix/replies.h"

#include <cstring>

#include "areafix/messages.h"
#include "config/cfgedit.h"
#include "config/config.h"
#include "config/robot.h"
#include "core/exitcode.h"
#include "core/fileio.h"
#include "core/log.h"
#include "jam/jam.h"
#include "jam/jamlock.h"

namespace {

constexpr int M_NONE = 0, M_LINKED = 1, M_UNLINKED = 2, M_LIST = 3;
constexpr size_t LINE_MAX_LEN = 255;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Length of prefix (lower case) when line begins with it, any case; else 0.
size_t ci_starts(const char* line, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i)
        if (lower(line[i]) != prefix[i]) return 0;
    return i;
}

bool ci_has(const char* text, const char* word) {
    for (const char* p = text; *p != '\0'; ++p)
        if (ci_starts(p, word)) return true;
    return false;
}

// A word up to the end, a blank, a tab or `stop`, at most 62 characters.
const char* word_to(const char* p, char* out, char stop) {
    size_t n = 0;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != stop) {
        if (n < 62) out[n++] = *p;
        ++p;
    }
    out[n] = '\0';
    return p;
}

struct Parser {
    AfTable& t;
    int mode = M_NONE;
    int lines = 0;
    int op = 0;  // 0 none, 1 "+", 2 "-", 3 "="
    char tag[64] = "";

    void finalize() {
        if (mode == M_LINKED)
            for (AfArea& a : t.areas)
                if (a.AF_SEEN != t.generation) a.AF_STATE = AFS_UNLINKED;
        mode = M_NONE;
        lines = 0;
    }
    void set_mode(int m) {
        finalize();
        mode = m;
        if (m == M_LINKED) ++t.generation;
    }
    void command(const char* rest) {
        finalize();
        op = 0;
        tag[0] = '\0';
        while (*rest == ' ') ++rest;
        char word[64];
        word_to(rest, word, '\0');
        if (word[0] == '%') {
            const char* w = word + 1;
            auto is = [w](const char* k) { return str_icmp(w, k) == 0; };
            if (is("linked") || is("query"))
                set_mode(M_LINKED);
            else if (is("unlinked"))
                set_mode(M_UNLINKED);
            else if (is("list") || is("avail") || is("available"))
                set_mode(M_LIST);
            return;
        }
        const char* w = word;
        if (*w == '+')
            op = 1, ++w;
        else if (*w == '-')
            op = 2, ++w;
        else if (*w == '=')
            op = 3, ++w;
        else
            op = 1;
        size_t n = 0;
        while (w[n] != '\0' && w[n] != ',' && n < 63) {
            tag[n] = w[n];
            ++n;
        }
        tag[n] = '\0';
    }
    void result(const char* rest) {
        if (op != 0 && tag[0] != '\0') {
            uint32_t state = AFS_UNKNOWN;
            bool neg = ci_has(rest, "not found") || ci_has(rest, "no such") ||
                       ci_has(rest, "denied") || ci_has(rest, "not available") ||
                       ci_has(rest, "unknown");
            if (!neg) {
                if (ci_has(rest, "unlink") || ci_has(rest, "removed") ||
                    ci_has(rest, "unsubscrib") || ci_has(rest, "not linked"))
                    state = AFS_UNLINKED;
                else if (ci_has(rest, "linked") || ci_has(rest, "subscribed") ||
                         ci_has(rest, "added"))
                    state = AFS_LINKED;
            }
            if (state != AFS_UNKNOWN && op != 3 && tag_ok(tag))
                if (AfArea* a = af_get(t, tag)) a->AF_STATE = state;
            op = 0;
            tag[0] = '\0';
            return;
        }
        op = 0;
        tag[0] = '\0';
        if (mode == M_NONE) {
            int m = hdr_mode(rest);
            if (m != 0 && ci_has(rest, "area")) set_mode(m);
        }
    }
    void area_line(const char* p) {
        bool marked = false;
        if (*p == '*' || *p == '+') {
            marked = true;
            ++p;
            while (*p == ' ') ++p;
        }
        char word[64];
        p = word_to(p, word, '\0');
        if (!tag_ok(word)) return;
        AfArea* a = af_get(t, word);
        if (a == nullptr) return;
        ++lines;
        for (;;) {
            while (*p == ' ') ++p;
            if (*p != '.') break;
            while (*p == '.') ++p;
        }
        if (p[0] == '-' && p[1] == ' ') {
            p += 2;
            while (*p == ' ') ++p;
        }
        if (*p != '\0') str_copy(a->AF_DESC, p, sizeof a->AF_DESC);
        if (mode == M_LINKED) {
            a->AF_STATE = AFS_LINKED;
            a->AF_SEEN = t.generation;
        } else if (mode == M_UNLINKED) {
            a->AF_STATE = AFS_UNLINKED;
        } else if (mode == M_LIST && marked) {
            a->AF_STATE = AFS_LINKED;
        }
    }
    // Returns false at a tear or origin line: the evaluation ends there.
    // l is no kludge line (af_parse skips those).
    bool line(char* l) {
        for (char* c = l; *c != '\0'; ++c)
            if (*c == '\t') *c = ' ';
        size_t n = str_len(l);
        while (n > 0 && l[n - 1] == ' ') l[--n] = '\0';
        const char* p = l;
        while (*p == ' ') ++p;
        if (*p == '\0') {
            if (mode != M_NONE && lines > 0) finalize();
            return true;
        }
        if (p[0] == '-' && p[1] == '-' && p[2] == '-' && (p[3] == '\0' || p[3] == ' '))
            return false;
        if (ci_starts(p, "* origin:")) return false;
        if (size_t k = ci_starts(p, "command:")) {
            command(p + k);
            return true;
        }
        if (size_t k = ci_starts(p, "result:")) {
            result(p + k);
            return true;
        }
        size_t len = str_len(p);
        if (len > 0 && p[len - 1] == ':' && ci_has(p, "area")) {
            int m = hdr_mode(p);
            if (m != 0) set_mode(m);
            return true;
        }
        if (mode != M_NONE) area_line(p);
        return true;
    }
};

const char* state_name(uint32_t s) {
    return s == AFS_LINKED ? "linked" : s == AFS_UNLINKED ? "unlinked" : "unknown";
}

}  // namespace

void af_clear(AfTable& t) {
    t.areas.clear();
    t.generation = 0;
}

int af_find(const AfTable& t, const char* tag) {
    for (size_t i = 0; i < t.areas.size(); ++i)
        if (str_icmp(t.areas[i].AF_TAG, tag) == 0) return static_cast<int>(i);
    return -1;
}

AfArea* af_get(AfTable& t, const char* tag) {
    int i = af_find(t, tag);
    if (i >= 0) return &t.areas[static_cast<size_t>(i)];
    if (t.areas.size() >= static_cast<size_t>(AF_MAX)) return nullptr;
    AfArea a{};
    str_copy(a.AF_TAG, tag, sizeof a.AF_TAG);
    t.areas.push_back(a);
    return &t.areas.back();
}

void af_sort(AfTable& t) {
    auto key_less = [](const AfArea& a, const AfArea& b) {
        for (size_t i = 0;; ++i) {
            char x = a.AF_TAG[i], y = b.AF_TAG[i];
            if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
            if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
            if (x == '\0') return false;
        }
    };
    // Insertion sort: stable, and the table is short.
    for (size_t i = 1; i < t.areas.size(); ++i) {
        AfArea cur = t.areas[i];
        size_t j = i;
        while (j > 0 && key_less(cur, t.areas[j - 1])) {
            t.areas[j] = t.areas[j - 1];
            --j;
        }
        t.areas[j] = cur;
    }
}

bool tag_ok(const char* word) {
    size_t n = str_len(word);
    if (n < 2 || n > 63) return false;
    bool letter = false;
    for (size_t i = 0; i < n; ++i) {
        char c = word[i];
        if (c >= 'A' && c <= 'Z') {
            letter = true;
        } else if (!((c >= '0' && c <= '9') || std::strchr("_.-!$&#@+", c) != nullptr)) {
            return false;
        }
    }
    return letter;
}

int hdr_mode(const char* text) {
    struct Rule {
        const char* word;
        int mode;
    } rules[] = {{"unlink", 2},     {"not linked", 2}, {"linked", 1},
                 {"subscribed", 1}, {"available", 3},  {"area", 3}};
    for (const Rule& r : rules)
        if (ci_has(text, r.word)) return r.mode;
    return 0;
}

void af_parse(AfTable& t, const char* text, size_t len) {
    Parser ps{t};
    size_t i = 0;
    char line[LINE_MAX_LEN + 1];
    while (i < len) {
        size_t e = i;
        while (e < len && text[e] != '\r' && text[e] != '\n') ++e;
        size_t n = e - i < LINE_MAX_LEN ? e - i : LINE_MAX_LEN;
        std::memcpy(line, text + i, n);
        line[n] = '\0';
        // A zero byte inside the line ends it, and only 255 characters count,
        // but a kludge byte anywhere in the line still makes it a kludge line.
        bool kludge = std::memchr(text + i, 0x01, e - i) != nullptr;
        if (!kludge && !ps.line(line)) break;
        if (e < len && text[e] == '\r' && e + 1 < len && text[e + 1] == '\n') ++e;
        i = e + 1;
    }
    ps.finalize();
}

int af_scan_base(AfTable& t, const char* base_path) {
    JamImage img;
    if (jam_load(base_path, img) != 0 || img.jhr.size() < JHI_SIZE) return 0;
    char path[WP_PATH_MAX];
    mkpath(path, base_path, ".jdt");
    std::string jdt;
    f_read_whole(path, jdt);  // a missing .jdt puts every text out of range
    int count = 0;
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    while (jam_hdr_walk_next(w, h)) {
        if (h.Attribute & JA_DELETED) continue;
        std::string sender;
        if (!jam_subf_find(h, SF_SENDER, sender)) continue;
        if (sender.size() > 62) sender.resize(62);
        if (!af_is_robot(sender.c_str())) continue;
        if (static_cast<uint64_t>(h.TxtOffset) + h.TxtLen > jdt.size()) continue;
        af_parse(t, jdt.data() + h.TxtOffset, h.TxtLen);
        ++count;
    }
    return count;
}

std::string af_cache_path(const char* cfg_path, const char* boss_name) {
    char full[WP_PATH_MAX];
    if (pf_full_path(cfg_path, full, sizeof full) != 0) str_copy(full, cfg_path, sizeof full);
    std::string dir = full;
    size_t cut = dir.find_last_of("/\\:");
    dir = cut == std::string::npos ? "" : dir.substr(0, cut + 1);
    char name[61];
    af_lc_tag(name, boss_name);
    return dir + "areas_" + name + ".lst";
}

int af_load_cache(AfTable& t, const char* path) {
    std::string data;
    if (f_read_whole(path, data) != 0) return 0;
    int count = 0;
    size_t i = 0;
    while (i < data.size()) {
        size_t e = data.find('\n', i);
        if (e == std::string::npos) e = data.size();
        std::string line;
        for (size_t k = i; k < e && line.size() < LINE_MAX_LEN; ++k)
            if (data[k] != '\r') line += data[k];
        i = e + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t tab = line.find_first_of("\t ");
        std::string tag = line.substr(0, tab);
        if (!tag_ok(tag.c_str())) continue;
        AfArea* a = af_get(t, tag.c_str());
        if (a == nullptr) continue;
        ++count;
        if (tab == std::string::npos || line[tab] != '\t') continue;
        size_t tab2 = line.find('\t', tab + 1);
        std::string state =
            line.substr(tab + 1, tab2 == std::string::npos ? std::string::npos : tab2 - tab - 1);
        if (str_icmp(state.c_str(), "unknown") == 0)
            a->AF_STATE = AFS_UNKNOWN;
        else if (str_icmp(state.c_str(), "linked") == 0)
            a->AF_STATE = AFS_LINKED;
        else if (str_icmp(state.c_str(), "unlinked") == 0)
            a->AF_STATE = AFS_UNLINKED;
        if (tab2 != std::string::npos)
            str_copy(a->AF_DESC, line.c_str() + tab2 + 1, sizeof a->AF_DESC);
    }
    return count;
}

int af_save_cache(const AfTable& t, const char* path) {
    // Written aside and renamed over the old file: the cache keeps what
    // replies long deleted told, so a full disk must not cut it short, and
    // the editor and an `areas` run may save the same boss's cache at once.
    char suffix[24] = ".wptmp";
    u64_to_dec(pf_getpid(), suffix + 6);
    char tmp[WP_PATH_MAX];
    str_copy(tmp, path, sizeof tmp);
    str_cat(tmp, suffix, sizeof tmp);
    if (str_len(tmp) != str_len(path) + str_len(suffix)) return 1;
    std::string out = "# wrenpost AreaFix cache: TAG\tlinked|unlinked|unknown\tdescription\r\n";
    for (const AfArea& a : t.areas) {
        out += a.AF_TAG;
        out += '\t';
        out += state_name(a.AF_STATE);
        out += '\t';
        out += a.AF_DESC;
        out += "\r\n";
    }
    pf_file h = pf_open(tmp, PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return 1;
    bool ok = f_write(h, out.data(), out.size()) == 0;
    f_close(h);
    if (ok) ok = pf_rename(tmp, path, true) == 0;
    if (!ok) pf_delete(tmp);
    return ok ? 0 : 1;
}

ExitCode af_cli_list(int boss) {
    const Config& c = g_cfg;
    const BossCfg b = cfg_boss(c, boss);
    AfTable t;
    std::string cache = af_cache_path(c.path, b.name);
    af_load_cache(t, cache.c_str());
    lock_set_cfg(g_jamlock, c.path);
    if (lock_acquire(g_jamlock, g_jamlock.wait_ms, "wrenpost") != 0) {
        log_msg2(m_af_locked, g_jamlock.lock_path);
        return EXIT_LOCK;
    }
    int count = b.get(F_NETMAIL)[0] != '\0' ? af_scan_base(t, b.get(F_NETMAIL)) : 0;
    lock_release(g_jamlock);
    af_sort(t);
    af_save_cache(t, cache.c_str());
    lb_start();
    lb_add(m_af_list1);
    lb_num(static_cast<uint64_t>(count));
    lb_add(m_af_list2);
    lb_add(cache.c_str());
    lb_flush();
    for (const AfArea& a : t.areas) {
        const char* st = a.AF_STATE == AFS_LINKED     ? m_af_st1
                         : a.AF_STATE == AFS_UNLINKED ? m_af_st2
                                                      : m_af_st0;
        lb_start();
        lb_add("  ");
        lb_add(a.AF_TAG);
        lb_add("  ");
        lb_add(st);
        lb_add("  ");
        lb_add(a.AF_DESC);
        lb_flush();
    }
    return EXIT_OK;
}
