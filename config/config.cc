#include "config/config.h"

#include <cstring>

#include "core/catalog.h"
#include "core/fileio.h"
#include "core/log.h"

Config g_cfg;

const char* const cfg_keys[NFIELDS] = {
    "address",          "boss_host",  "boss_port", "boss_address", "password",      "inbound",
    "outbound",         "sysop",      "system",    "location",     "cram",          "netmail",
    "pkt_password",     "badarea",    "dupearea",  "dupemode",     "dupedb",        "netname",
    "outmode",          "pack",       "bso_zone",  "echo_path",    "autopoll",      "areafix_name",
    "areafix_password", "autocreate", "movebad",   "areadir",      "areafix_query",
};

namespace {

struct Default {
    CfgField field;
    const char* value;
};
const Default kDefaults[] = {
    {F_PORT, "24554"},     {F_SYSOP, "Sysop"},     {F_SYSTEM, "wrenpost"}, {F_LOCATION, "Unknown"},
    {F_AFNAME, "AreaFix"}, {F_AFQUERY, "%LINKED"}, {F_AUTOCREATE, "yes"},  {F_MOVEBAD, "yes"},
};
const CfgField kRequired[] = {F_ADDRESS, F_HOST, F_BOSSADDR, F_INBOUND, F_OUTBOUND};

bool blank(char c) {
    return c == ' ' || c == '\t';
}

struct Parser {
    Config& c;
    BossRec* cur;
    bool failed = false;

    void area_add(const char* value) {
        if (c.area_count >= MAX_AREAS) {
            log_msg2(m_areafull, value);
            return;
        }
        const char* p = value;
        char tag[TAG_MAX];
        size_t n = 0;
        while (*p != '\0' && !blank(*p)) {
            if (n + 1 < TAG_MAX) tag[n++] = *p;
            ++p;
        }
        tag[n] = '\0';
        while (blank(*p)) ++p;
        if (tag[0] == '\0' || *p == '\0') {
            log_msg2(m_areabad, "echoarea");
            return;
        }
        area_push(c, tag, p, c.boss_count - 1);
    }

    void set(const char* key, const char* value) {
        if (str_icmp(key, "echoarea") == 0) {
            area_add(value);
            return;
        }
        if (str_icmp(key, "language") == 0) return;
        for (int i = 0; i < NFIELDS; ++i) {
            if (str_icmp(key, cfg_keys[i]) == 0) {
                str_copy(cur->f[i], value, CFG_STR);
                return;
            }
        }
        log_msg2(m_unknown, key);
    }

    // p points after "["; returns the position after the header line's name.
    void new_section(const char* p, const char* end) {
        if (c.boss_count >= MAX_BOSS) {
            log_msg(m_toomany);
            failed = true;
            return;
        }
        cfg_section_name(p, end, c.bnames[c.boss_count]);
        cur = &c.bosses[c.boss_count];
        ++c.boss_count;
    }

    void run(const char* buf, size_t len) {
        const char* p = buf;
        const char* end = buf + len;
        while (p < end && !failed) {
            char ch = *p;
            if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
                ++p;
                continue;
            }
            const char* eol = p;
            while (eol < end && *eol != '\n') ++eol;
            if (ch == '#' || ch == ';') {
                p = eol;
                continue;
            }
            if (ch == '[') {
                new_section(p + 1, eol);
                p = eol;
                continue;
            }
            const char* eq = p;
            while (eq < eol && *eq != '=') ++eq;
            if (eq == eol) {  // no "=" before the line or the file ended
                p = eol;
                continue;
            }
            const char* ke = eq;
            while (ke > p && blank(ke[-1])) --ke;
            const char* v = eq + 1;
            while (v < eol && blank(*v)) ++v;
            const char* ve = v;
            while (ve < eol && *ve != '\r') ++ve;
            while (ve > v && blank(ve[-1])) --ve;
            // Keys and values are cut to fit; the key is only ever compared.
            char key[CFG_STR];
            char value[CFG_STR];
            size_t kn = static_cast<size_t>(ke - p) < CFG_STR - 1 ? static_cast<size_t>(ke - p)
                                                                  : CFG_STR - 1;
            std::memcpy(key, p, kn);
            key[kn] = '\0';
            // An echoarea value may hold a path of 255 bytes after the tag,
            // so take the whole line here and let each consumer cut its part.
            char line[CFGBUF_MAX];
            size_t vn = static_cast<size_t>(ve - v);
            std::memcpy(line, v, vn);
            line[vn] = '\0';
            str_copy(value, line, CFG_STR);
            set(key, str_icmp(key, "echoarea") == 0 ? line : value);
            p = eol;
        }
    }
};

}  // namespace

int area_push(Config& c, const char* tag, const char* path, int net) {
    if (c.area_count >= MAX_AREAS) return -1;
    int i = c.area_count++;
    str_copy(c.area_tags[i], tag, TAG_MAX);
    str_copy(c.area_paths[i], path, CFG_STR);
    c.area_nets[i] = net;
    return i;
}

void cfg_section_name(const char* p, const char* end, char* out) {
    while (p < end && *p == ' ') ++p;
    if (end - p >= 5) {
        char w[5];
        for (int i = 0; i < 4; ++i) w[i] = p[i];
        w[4] = '\0';
        if ((str_icmp(w, "boss") == 0 || str_icmp(w, "link") == 0) && p[4] == ' ') {
            p += 4;
            while (p < end && *p == ' ') ++p;
        }
    }
    size_t n = 0;
    while (p < end && *p != ']' && *p != ' ' && *p != '\r' && *p != '\n') {
        if (n + 1 < BNAME_MAX) out[n++] = *p;
        ++p;
    }
    out[n] = '\0';
}

bool cfg_same_base(const char* a, const char* b) {
    if (a[0] == '\0' || b[0] == '\0') return false;
    char ja[WP_PATH_MAX], jb[WP_PATH_MAX];
    str_copy(ja, a, sizeof ja);
    str_cat(ja, ".jhr", sizeof ja);
    str_copy(jb, b, sizeof jb);
    str_cat(jb, ".jhr", sizeof jb);
    char fa[WP_PATH_MAX], fb[WP_PATH_MAX];
    // Both exist: the files the system reaches, links resolved.
    if (pf_real_path(ja, fa, sizeof fa) == 0 && pf_real_path(jb, fb, sizeof fb) == 0)
        return std::strcmp(fa, fb) == 0;
    if (pf_full_path(ja, fa, sizeof fa) != 0 || pf_full_path(jb, fb, sizeof fb) != 0)
        return std::strcmp(ja, jb) == 0;
    return std::strcmp(fa, fb) == 0;
}

int load_config(Config& c, const char* path) {
    std::memset(&c.gdef, 0, sizeof c.gdef);
    std::memset(c.bosses, 0, sizeof c.bosses);
    std::memset(c.bnames, 0, sizeof c.bnames);
    c.boss_count = 0;
    c.area_count = 0;
    str_copy(c.path, path, sizeof c.path);

    pf_file h = f_open_read(path);
    if (h == PF_INVALID) {
        log_msg2(config_m_open, path);
        return 1;
    }
    static char buf[CFGBUF_MAX];
    size_t n = 0;
    while (n < CFGBUF_MAX - 1) {
        size_t r = f_read(h, buf + n, CFGBUF_MAX - 1 - n);
        if (r == 0) break;
        n += r;
    }
    int64_t size = f_size(h);
    f_close(h);
    buf[n] = '\0';
    // Whatever lies past the buffer is not read; say so rather than letting
    // areas and bosses at the end of a long file vanish without a word.
    if (size > static_cast<int64_t>(CFGBUF_MAX - 1)) log_msg2(m_cfgbig, path);

    Parser ps{c, &c.gdef};
    ps.run(buf, n);
    if (ps.failed) return 1;

    lb_start();
    lb_add(config_m_loaded);
    lb_add(path);
    lb_add(", ");
    lb_num(static_cast<uint64_t>(c.boss_count));
    lb_add(m_nbosses);
    lb_flush();
    return 0;
}

int cfg_find(const Config& c, const char* name) {
    for (int i = 0; i < c.boss_count; ++i)
        if (str_icmp(c.bnames[i], name) == 0) return i;
    return -1;
}

int cfg_select(Config& c, int i, int no_require) {
    c.eff = c.gdef;
    str_copy(c.cfg_name, "default", BNAME_MAX);
    if (i >= 0 && i < c.boss_count) {
        str_copy(c.cfg_name, c.bnames[i], BNAME_MAX);
        for (int k = 0; k < NFIELDS; ++k)
            if (c.bosses[i].f[k][0] != '\0') str_copy(c.eff.f[k], c.bosses[i].f[k], CFG_STR);
    }
    for (const Default& d : kDefaults)
        if (c.eff.f[d.field][0] == '\0') str_copy(c.eff.f[d.field], d.value, CFG_STR);
    if (no_require) return 0;
    int missing = 0;
    for (CfgField f : kRequired) {
        if (c.eff.f[f][0] == '\0') {
            log_msg2(m_missing, cfg_keys[f]);
            missing = 1;
        }
    }
    return missing;
}
