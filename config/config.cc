#include "config/config.h"

#include <cstring>

#include "config/messages.h"
#include "core/cfgline.h"
#include "core/fileio.h"
#include "core/log.h"
#include "platform/platform.h"

Config g_cfg;

const char* const cfg_keys[NFIELDS] = {
    "address",
    "boss_host",
    "boss_port",
    "boss_address",
    "password",
    "inbound",
    "outbound",
    "sysop",
    "system",
    "location",
    "cram",
    "netmail",
    "pkt_password",
    "badarea",
    "dupearea",
    "dupemode",
    "dupedb",
    "netname",
    "outmode",
    "pack",
    "bso_zone",
    "echo_path",
    "autopoll",
    "areafix_name",
    "areafix_password",
    "autocreate",
    "movebad",
    "areadir",
    "areafix_query",
    "net_timeout",
    "session_limit",
    "nr",
    "partial_keep_days",
    "nodelist",
    "nodediff",
    "pointlist",
    "filebase",
    "tic_password",
    "tic_wait_days",
    "nodediff_area",
    "areaformat",
};

namespace {

struct Default {
    CfgField field;
    const char* value;
};
const Default kDefaults[] = {
    {F_PORT, "24554"},     {F_SYSOP, "Sysop"},     {F_SYSTEM, "wrenpost"}, {F_LOCATION, "Unknown"},
    {F_AFNAME, "AreaFix"}, {F_AFQUERY, "%LINKED"}, {F_AUTOCREATE, "yes"},  {F_MOVEBAD, "yes"},
    {F_NR, "yes"},         {F_PARTDAYS, "7"},      {F_TICWAIT, "7"},
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
        char written[CFG_STR], path[CFG_STR];
        str_copy(written, p, sizeof written);
        AreaFormat fmt = AreaFormat::Jam;
        const char* rest = cfg_base_loc(written, fmt);
        if (rest[0] == '\0') {
            log_msg2(m_areabad, "echoarea");
            return;
        }
        if (!cfg_resolve(c.dir, rest, path, sizeof path)) {
            log_msg2(m_pathlong, written);
            failed = true;
            return;
        }
        area_push(c, tag, path, c.boss_count - 1, fmt);
    }

    // A `filearea = TAG PATH` line: read as an echoarea line is.
    void filearea_add(const char* value) {
        const char* p = value;
        char tag[TAG_MAX];
        size_t n = 0;
        for (; *p != '\0' && !blank(*p); ++p)
            if (n + 1 < TAG_MAX) tag[n++] = *p;
        tag[n] = '\0';
        while (blank(*p)) ++p;
        char path[CFG_STR];
        if (tag[0] == '\0' || *p == '\0') {
            log_msg2(m_fareabad, value);
        } else if (!cfg_resolve(c.dir, p, path, sizeof path)) {
            log_msg2(m_pathlong, p);
            failed = true;
        } else if (filearea_push(c, tag, path, c.boss_count - 1) < 0) {
            log_msg2(m_fareafull, value);
        }
    }

    void set(const char* key, const char* value) {
        if (str_icmp(key, "filearea") == 0) {
            filearea_add(value);
            return;
        }
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
        for (size_t p = 0; p < len && !failed;) {
            CfgLine l = cfg_line(buf, len, p);
            p = l.end;
            if (l.kind == CfgLineKind::Header) {
                new_section(buf + l.first + 1, buf + l.stop);
                continue;
            }
            if (l.kind != CfgLineKind::Setting) continue;
            // Keys and values are cut to fit; the key is only ever compared.
            char key[CFG_STR];
            char value[CFG_STR];
            size_t kn = l.key_end - l.key < CFG_STR - 1 ? l.key_end - l.key : CFG_STR - 1;
            std::memcpy(key, buf + l.key, kn);
            key[kn] = '\0';
            // An echoarea value may hold a path of 255 bytes after the tag,
            // so take the whole line here and let each consumer cut its part.
            char line[CFGBUF_MAX];
            size_t vn = l.value_end - l.value;
            std::memcpy(line, buf + l.value, vn);
            line[vn] = '\0';
            str_copy(value, line, CFG_STR);
            bool whole = str_icmp(key, "echoarea") == 0 || str_icmp(key, "filearea") == 0;
            set(key, whole ? line : value);
        }
    }
};

}  // namespace

int filearea_push(Config& c, const char* tag, const char* path, int net) {
    if (c.file_count >= MAX_FILEAREAS) return -1;
    int i = c.file_count++;
    str_copy(c.file_tags[i], tag, TAG_MAX);
    str_copy(c.file_paths[i], path, CFG_STR);
    c.file_nets[i] = net;
    return i;
}

int filearea_find(const Config& c, const char* tag) {
    for (int i = 0; i < c.file_count; ++i)
        if (str_icmp(c.file_tags[i], tag) == 0) return i;
    return -1;
}

int area_push(Config& c, const char* tag, const char* path, int net, AreaFormat fmt) {
    if (c.area_count >= MAX_AREAS) return -1;
    int i = c.area_count++;
    str_copy(c.area_tags[i], tag, TAG_MAX);
    str_copy(c.area_paths[i], path, CFG_STR);
    c.area_nets[i] = net;
    c.area_formats[i] = fmt;
    return i;
}

const char* cfg_format_prefix(AreaFormat f) {
    return f == AreaFormat::Msg ? "msg:" : "jam:";
}

const char* cfg_base_loc(const char* value, AreaFormat& fmt) {
    fmt = AreaFormat::Jam;
    if (str_len(value) < 4 || value[3] != ':') return value;
    char w[4] = {value[0], value[1], value[2], '\0'};
    if (str_icmp(w, "msg") == 0) {
        fmt = AreaFormat::Msg;
        return value + 4;
    }
    if (str_icmp(w, "jam") == 0) return value + 4;
    return value;
}

bool cfg_area_format(const char* value, AreaFormat& fmt) {
    fmt = AreaFormat::Jam;
    if (value[0] == '\0' || str_icmp(value, "jam") == 0) return true;
    if (str_icmp(value, "msg") != 0) return false;
    fmt = AreaFormat::Msg;
    return true;
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

std::string cfg_base_key(const char* path, AreaFormat fmt) {
    if (path[0] == '\0') return std::string();
    char j[WP_PATH_MAX], f[WP_PATH_MAX];
    str_copy(j, path, sizeof j);
    if (fmt == AreaFormat::Jam) str_cat(j, ".jhr", sizeof j);
    const std::string prefix = cfg_format_prefix(fmt);
    // An existing file or directory as the system reaches it, links resolved.
    if (pf_real_path(j, f, sizeof f) == 0) return prefix + f;
    if (pf_full_path(j, f, sizeof f) != 0) return prefix + j;
    return prefix + f;
}

bool cfg_same_base(const char* a, const char* b) {
    AreaFormat fa, fb;
    const char* pa = cfg_base_loc(a, fa);
    const char* pb = cfg_base_loc(b, fb);
    if (pa[0] == '\0' || pb[0] == '\0') return false;
    return cfg_base_key(pa, fa) == cfg_base_key(pb, fb);
}

int load_config(Config& c, const char* path) {
    std::memset(&c.gdef, 0, sizeof c.gdef);
    std::memset(c.bosses, 0, sizeof c.bosses);
    std::memset(c.bnames, 0, sizeof c.bnames);
    c.boss_count = 0;
    c.area_count = 0;
    c.file_count = 0;
    str_copy(c.path, path, sizeof c.path);
    cfg_dir_of(path, c.dir);

    // A FIFO, device or directory is refused by name; the open refuses it
    // too, without waiting, should it be swapped in meanwhile.
    PfStat st = pf_stat(path);
    if (st.exists && !st.is_file) {
        log_msg2(m_cfg_notfile, path);
        return 1;
    }
    pf_file h = f_open_read(path);
    if (h == PF_INVALID) {
        log_msg2(config_m_open, path);
        return 1;
    }
    static char buf[CFGBUF_MAX];
    size_t n = 0;
    while (n < CFG_READ_MAX) {
        size_t r = f_read(h, buf + n, CFG_READ_MAX - n);
        if (r == 0) break;
        n += r;
    }
    int64_t size = f_size(h);
    f_close(h);
    buf[n] = '\0';
    // Whatever lies past the buffer is not read; say so rather than letting
    // areas and bosses at the end of a long file vanish without a word.
    if (size > static_cast<int64_t>(CFG_READ_MAX)) log_msg2(m_cfgbig, path);

    Parser ps{c, &c.gdef};
    ps.run(buf, n);
    if (ps.failed) return 1;
    for (int b = -1; b < c.boss_count; ++b) {
        const char* v = (b < 0 ? c.gdef : c.bosses[b]).f[F_AREAFORMAT];
        AreaFormat f;
        if (!cfg_area_format(v, f)) {
            log_msg2(m_badformat, v);
            return 1;
        }
    }
    // Every path must still fit once resolved, so cfg_boss never cuts one.
    for (int b = -1; b < c.boss_count; ++b) {
        const BossRec& r = b < 0 ? c.gdef : c.bosses[b];
        for (int k = 0; k < NFIELDS; ++k) {
            char out[CFG_STR];
            if (cfg_is_path(static_cast<CfgField>(k)) &&
                !cfg_resolve(c.dir, r.f[k], out, sizeof out)) {
                log_msg2(m_pathlong, r.f[k]);
                return 1;
            }
        }
    }

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

BossCfg cfg_boss(const Config& c, int i) {
    BossCfg b;
    b.rec = c.gdef;
    str_copy(b.name, "default", BNAME_MAX);
    if (i >= 0 && i < c.boss_count) {
        str_copy(b.name, c.bnames[i], BNAME_MAX);
        for (int k = 0; k < NFIELDS; ++k)
            if (c.bosses[i].f[k][0] != '\0') str_copy(b.rec.f[k], c.bosses[i].f[k], CFG_STR);
    }
    for (const Default& d : kDefaults)
        if (b.rec.f[d.field][0] == '\0') str_copy(b.rec.f[d.field], d.value, CFG_STR);
    for (int k = 0; k < NFIELDS; ++k) {
        if (!cfg_is_path(static_cast<CfgField>(k))) continue;
        char out[CFG_STR];
        cfg_resolve(c.dir, b.rec.f[k], out, sizeof out);  // fits: checked by the load
        str_copy(b.rec.f[k], out, CFG_STR);
    }
    const struct {
        CfgField f;
        AreaFormat* fmt;
    } bases[] = {{F_NETMAIL, &b.netmail_fmt}, {F_BADAREA, &b.bad_fmt}, {F_DUPEAREA, &b.dupe_fmt}};
    for (const auto& x : bases) {
        char path[CFG_STR];
        str_copy(path, cfg_base_loc(b.rec.f[x.f], *x.fmt), sizeof path);
        str_copy(b.rec.f[x.f], path, CFG_STR);
    }
    return b;
}

int cfg_require(const BossCfg& b) {
    int missing = 0;
    for (CfgField f : kRequired) {
        if (b.rec.f[f][0] == '\0') {
            log_msg2(m_missing, cfg_keys[f]);
            missing = 1;
        }
    }
    return missing;
}

bool cfg_is_path(CfgField f) {
    switch (f) {
        case F_INBOUND:
        case F_OUTBOUND:
        case F_NETMAIL:
        case F_BADAREA:
        case F_DUPEAREA:
        case F_DUPEDB:
        case F_AREADIR:
        case F_NODELIST:
        case F_NODEDIFF:
        case F_POINTLIST:
        case F_FILEBASE:
            return true;
        default:
            return false;
    }
}

bool cfg_path_absolute(const char* p) {
    if (p[0] == '/' || p[0] == '\\') return true;
    bool letter = (p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z');
    return letter && p[1] == ':';
}

namespace {

// Drops leading "./" (or ".\\") steps, and a lone ".".
const char* skip_dot_steps(const char* p) {
    while (p[0] == '.' && (p[1] == '/' || p[1] == '\\')) {
        p += 2;
        while (*p == '/' || *p == '\\') ++p;
    }
    if (p[0] == '.' && p[1] == '\0') ++p;
    return p;
}

}  // namespace

void cfg_dir_of(const char* cfg_path, char* out) {
    size_t cut = 0;  // length of the directory part, separator included
    for (size_t i = 0; cfg_path[i] != '\0'; ++i)
        if (cfg_path[i] == '/' || cfg_path[i] == '\\') cut = i + 1;
    // A drive ("C:wp.cfg"); a ":" elsewhere is part of a name.
    if (cut == 0 && cfg_path[0] != '\0' && cfg_path[1] == ':' && cfg_path_absolute(cfg_path))
        cut = 2;
    if (cut >= WP_PATH_MAX) cut = WP_PATH_MAX - 1;
    mem_copy(out, cfg_path, cut);
    out[cut] = '\0';
    // "./wrenpost.cfg" is the current directory too.
    const char* rest = skip_dot_steps(out);
    if (rest != out) {
        size_t n = str_len(rest);
        std::memmove(out, rest, n + 1);
    }
}

bool cfg_resolve(const char* dir, const char* value, char* out, size_t cap) {
    AreaFormat fmt;
    const char* path = cfg_base_loc(value, fmt);
    if (path != value) {
        // The prefix as written, then the path after it resolved.
        size_t pn = static_cast<size_t>(path - value);
        if (cap <= pn) {
            if (cap > 0) out[0] = '\0';
            return false;
        }
        mem_copy(out, value, pn);
        return cfg_resolve(dir, path, out + pn, cap - pn);
    }
    if (dir[0] == '\0' || value[0] == '\0' || cfg_path_absolute(value))
        return str_copy(out, value, cap) == str_len(value);
    const char* rest = skip_dot_steps(value);
    size_t dn = str_len(dir), rn = str_len(rest);
    str_copy(out, dir, cap);
    str_cat(out, rest, cap);
    return dn + rn + 1 <= cap;
}

const char* cfg_raw(const Config& c, int i, CfgField f) {
    if (i >= 0 && i < c.boss_count && c.bosses[i].f[f][0] != '\0') return c.bosses[i].f[f];
    return c.gdef.f[f];
}

bool cfg_default_path(char* out) {
    str_copy(out, "wrenpost.cfg", WP_PATH_MAX);
    if (pf_stat(out).exists) return true;
    char home[WP_PATH_MAX];
    if (pf_config_home(home, sizeof home) != 0) return false;
    char user[WP_PATH_MAX];
    path_join(user, home, "wrenpost");
    path_join(user, user, "wrenpost.cfg");
    if (str_len(user) + 1 >= WP_PATH_MAX) return false;
    str_copy(out, user, WP_PATH_MAX);
    return pf_stat(out).exists;
}
