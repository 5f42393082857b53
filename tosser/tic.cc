#include "tosser/tic.h"

#include <cstdlib>
#include <cstring>

#include "config/cfgedit.h"
#include "core/fileio.h"
#include "core/ftnaddr.h"
#include "core/log.h"
#include "core/strutil.h"
#include "jam/crc32.h"
#include "platform/platform.h"
#include "tosser/messages.h"
#include "tosser/toss.h"  // move_unique, yesno

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool ends_with_ci(const char* s, const char* suffix) {
    size_t n = std::strlen(s), m = std::strlen(suffix);
    return n >= m && str_icmp(s + n - m, suffix) == 0;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    return dir + PF_DIR_SEP + name;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Temporary names in an area's directory: a leading dot, which no name from
// the network may have.
constexpr const char* TMP_FILE = ".wptic.tmp";
constexpr const char* TMP_BBS = ".wptic.bbs";

// Writes n bytes and syncs; false on any failure.
bool write_all(pf_file h, const void* p, size_t n) {
    return f_write(h, p, n) == 0;
}

// Writes text to path (created fresh), synced. False on failure (the file
// removed).
bool write_synced(const std::string& path, const std::string& text) {
    UniqueFile h(pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways));
    if (!h) return false;
    bool ok = write_all(h.get(), text.data(), text.size()) && pf_sync(h.get()) == 0;
    h.reset();
    if (!ok) pf_delete(path.c_str());
    return ok;
}

std::string dir_key(const char* dir) {
    char f[WP_PATH_MAX];
    if (pf_real_path(dir, f, sizeof f) == 0) return f;
    if (pf_full_path(dir, f, sizeof f) == 0) {
        std::string s = f;
        while (s.size() > 1 && (s.back() == '/' || s.back() == '\\')) s.pop_back();
        return s;
    }
    return dir;
}

}  // namespace

// ---- Parsing --------------------------------------------------------------------

TicParse tic_parse(const char* data, size_t len, Tic& t) {
    t = Tic();
    bool seen_desc = false, seen_size = false, seen_crc = false;
    std::string size_text, crc_text;
    for (size_t p = 0; p < len;) {
        size_t e = p;
        while (e < len && data[e] != '\n') ++e;
        size_t next = e < len ? e + 1 : e;
        size_t end = e;
        if (end > p && data[end - 1] == '\r') --end;
        size_t k = p;
        while (k < end && blank(data[k])) ++k;
        size_t ks = k;
        while (k < end && !blank(data[k])) ++k;
        std::string key(data + ks, k - ks);
        while (k < end && blank(data[k])) ++k;
        while (end > k && blank(data[end - 1])) --end;
        std::string value(data + k, end - k);
        p = next;
        const char* kc = key.c_str();
        auto first = [&](std::string& field) {
            if (field.empty()) field = value;
        };
        if (str_icmp(kc, "Area") == 0) {
            first(t.area);
        } else if (str_icmp(kc, "File") == 0) {
            first(t.file);
        } else if (str_icmp(kc, "Lfile") == 0 || str_icmp(kc, "Fullname") == 0) {
            first(t.lfile);
        } else if (str_icmp(kc, "Desc") == 0) {
            if (!seen_desc) t.desc = value;
            seen_desc = true;
        } else if (str_icmp(kc, "LDesc") == 0) {
            t.ldesc.push_back(value);
        } else if (str_icmp(kc, "Replaces") == 0) {
            if (!value.empty()) t.replaces.push_back(value);
        } else if (str_icmp(kc, "From") == 0) {
            first(t.from);
        } else if (str_icmp(kc, "To") == 0) {
            first(t.to);
        } else if (str_icmp(kc, "Pw") == 0) {
            first(t.pw);
        } else if (str_icmp(kc, "Origin") == 0) {
            first(t.origin);
        } else if (str_icmp(kc, "Size") == 0) {
            if (!seen_size) size_text = value;
            seen_size = true;
        } else if (str_icmp(kc, "Crc") == 0) {
            if (!seen_crc) crc_text = value;
            seen_crc = true;
        }
    }
    if (t.area.empty()) return TicParse::NoArea;
    if (t.file.empty()) return TicParse::NoFile;
    if (seen_size) {
        if (size_text.empty() || size_text.size() > 19) return TicParse::BadSize;
        uint64_t v = 0;
        for (char c : size_text) {
            if (c < '0' || c > '9') return TicParse::BadSize;
            v = v * 10 + static_cast<uint64_t>(c - '0');
        }
        t.has_size = true;
        t.size = v;
    }
    if (!seen_crc) return TicParse::NoCrc;
    if (crc_text.empty() || crc_text.size() > 8) return TicParse::BadCrc;
    uint32_t v = 0;
    for (char c : crc_text) {
        int d = hex_digit(c);
        if (d < 0) return TicParse::BadCrc;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    t.has_crc = true;
    t.crc = v;
    return TicParse::Ok;
}

const char* tic_parse_text(TicParse r) {
    switch (r) {
        case TicParse::Ok:
            return "";
        case TicParse::NoArea:
            return tic_r_noarea;
        case TicParse::NoFile:
            return tic_r_nofile;
        case TicParse::NoCrc:
            return tic_r_nocrc;
        case TicParse::BadSize:
            return tic_r_badsize;
        case TicParse::BadCrc:
            return tic_r_badcrc;
    }
    return "";
}

bool tic_name_safe(const char* name) {
    size_t n = std::strlen(name);
    if (n == 0 || n > 255 || name[0] == '.') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        // A blank would end the name in files.bbs.
        if (c <= 0x20 || c == 0x7f || std::strchr("\"/\\:*?<>|", c) != nullptr) return false;
    }
    // Windows drops trailing dots and blanks: "a." would be "a".
    if (name[n - 1] == '.' || name[n - 1] == ' ') return false;
    if (str_names_device(name) || inbound_reserved(name)) return false;
    if (str_icmp(name, FILES_BBS) == 0 || ends_with_ci(name, ".tic") ||
        ends_with_ci(name, ".wpt") || ends_with_ci(name, ".wpn") || ends_with_ci(name, ".bad"))
        return false;
    return true;
}

bool tic_name_match(const char* pat, const char* name) {
    // Iterative wildcard match with one back-tracking point.
    const char* star = nullptr;
    const char* back = nullptr;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    while (*name != '\0') {
        if (*pat == '*') {
            star = pat++;
            back = name;
        } else if (*pat != '\0' && (*pat == '?' || lower(*pat) == lower(*name))) {
            ++pat;
            ++name;
        } else if (star != nullptr) {
            pat = star + 1;
            name = ++back;
        } else {
            return false;
        }
    }
    while (*pat == '*') ++pat;
    return *pat == '\0';
}

// ---- files.bbs ----------------------------------------------------------------

std::vector<FbbsEntry> fbbs_parse(const std::string& text) {
    std::vector<FbbsEntry> out;
    size_t p = 0;
    while (p < text.size()) {
        size_t e = text.find('\n', p);
        if (e == std::string::npos) e = text.size();
        std::string line = text.substr(p, e - p);
        p = e + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (blank(line[0])) {
            size_t k = 0;
            while (k < line.size() && blank(line[k])) ++k;
            if (!out.empty()) out.back().desc.push_back(line.substr(k));
            continue;
        }
        FbbsEntry en;
        size_t k = 0;
        while (k < line.size() && !blank(line[k])) ++k;
        en.name = line.substr(0, k);
        while (k < line.size() && blank(line[k])) ++k;
        if (k < line.size()) en.desc.push_back(line.substr(k));
        out.push_back(std::move(en));
    }
    return out;
}

namespace {

std::string clean_line(const std::string& s) {
    std::string o = s;
    for (char& c : o)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return o;
}

}  // namespace

std::string fbbs_update(const std::string& text, const std::string& name,
                        const std::vector<std::string>& desc,
                        const std::vector<std::string>& patterns) {
    // Copy the text line by line, leaving out the entries that go.
    std::string out;
    bool skipping = false;
    size_t p = 0;
    while (p < text.size()) {
        size_t e = text.find('\n', p);
        size_t stop = e == std::string::npos ? text.size() : e + 1;
        std::string line = text.substr(p, stop - p);
        p = stop;
        bool cont = !line.empty() && blank(line[0]);
        // The name as fbbs_parse reads it: the first word of the line
        // without its line end.
        std::string body = line;
        if (!body.empty() && body.back() == '\n') body.pop_back();
        if (!body.empty() && body.back() == '\r') body.pop_back();
        if (!cont && !body.empty()) {
            size_t k = 0;
            while (k < body.size() && !blank(body[k])) ++k;
            std::string n = body.substr(0, k);
            skipping = str_icmp(n.c_str(), name.c_str()) == 0;
            for (const std::string& pat : patterns)
                skipping = skipping || tic_name_match(pat.c_str(), n.c_str());
        }
        if (skipping) continue;
        out += line;
    }
    // A last line without its LF gets one; a CR it ends in is its line
    // end already, not a byte of the entry.
    if (!out.empty() && out.back() != '\n') {
        if (out.back() == '\r') out.pop_back();
        out += "\r\n";
    }
    std::string first = name;
    if (first.size() < 12) first.append(12 - first.size(), ' ');
    first += ' ';
    if (!desc.empty()) first += clean_line(desc[0]);
    while (!first.empty() && first.back() == ' ') first.pop_back();
    out += first + "\r\n";
    for (size_t i = 1; i < desc.size(); ++i)
        out += std::string(13, ' ') + clean_line(desc[i]) + "\r\n";
    return out;
}

std::vector<std::string> tic_desc_lines(const Tic& t) {
    std::vector<std::string> d;
    if (!t.desc.empty()) d.push_back(t.desc);
    for (size_t i = 0; i < t.ldesc.size(); ++i) {
        if (i == 0 && !t.desc.empty() && t.ldesc[0] == t.desc) continue;
        d.push_back(t.ldesc[i]);
    }
    return d;
}

// ---- The run ------------------------------------------------------------------

namespace {

struct Ctx {
    TicRun& r;
    std::string dir;
    std::vector<int> bosses;
    std::vector<PfDirEntry> entries;  // the inbound as listed at the start
};

// Renames path to path + ".bad" (".bad.1" ... when taken).
void set_aside(const std::string& path, const char* msg) {
    std::string used;
    if (move_unique(path.c_str(), (path + ".bad").c_str(), &used))
        log_msg2(msg, used.c_str());
    else
        log_msg2(tic_m_movefail, path.c_str());
}

void bad(Ctx& x, const std::string& tic_path, const std::string& file_path, const char* reason,
         const std::string& detail = std::string()) {
    ++x.r.bad;
    // The file first: a .tic left behind alone only waits and is set aside
    // later, while a file whose .tic went first would lie in the inbound
    // unexplained.
    if (!file_path.empty() && pf_stat(file_path.c_str()).is_file)
        set_aside(file_path, tic_m_badfile);
    set_aside(tic_path, tic_m_bad);
    std::string why = reason + detail;
    log_msg2(tic_m_reason, why.c_str());
}

// The inbound's entry of the name (the exact name first, else in any case)
// that is still there; "" when there is none.
std::string find_entry(const Ctx& x, const std::string& name) {
    std::string found;
    for (const PfDirEntry& e : x.entries) {
        if (!e.is_file) continue;
        if (e.name == name) {
            found = e.name;
            break;
        }
        if (found.empty() && str_icmp(e.name.c_str(), name.c_str()) == 0) found = e.name;
    }
    // An earlier .tic of this run may have taken it.
    if (!found.empty() && !pf_stat(join(x.dir, found).c_str()).is_file) return std::string();
    return found;
}

// Size and CRC-32 of a file; false when it cannot be read.
bool file_crc(const std::string& path, uint64_t& size, uint32_t& crc) {
    UniqueFile h(f_open_read(path.c_str()));
    if (!h) return false;
    static char buf[65536];
    size = 0;
    uint32_t c = 0xFFFFFFFFu;
    for (;;) {
        int64_t n = pf_read(h.get(), buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) break;
        c = crc_update(buf, static_cast<size_t>(n), c);
        size += static_cast<uint64_t>(n);
    }
    crc = ~c;
    return true;
}

enum class Copy { Ok, Unreadable, WriteFailed };

// Copies src to dst (created fresh) and syncs it, counting size and CRC-32.
Copy copy_file(const std::string& src, const std::string& dst, uint64_t& size, uint32_t& crc) {
    UniqueFile in(f_open_read(src.c_str()));
    if (!in) return Copy::Unreadable;
    UniqueFile out(pf_open(dst.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways));
    if (!out) return Copy::WriteFailed;
    static char buf[65536];
    size = 0;
    uint32_t c = 0xFFFFFFFFu;
    for (;;) {
        int64_t n = pf_read(in.get(), buf, sizeof buf);
        if (n < 0) return Copy::Unreadable;
        if (n == 0) break;
        c = crc_update(buf, static_cast<size_t>(n), c);
        size += static_cast<uint64_t>(n);
        if (!write_all(out.get(), buf, static_cast<size_t>(n))) return Copy::WriteFailed;
    }
    crc = ~c;
    if (pf_sync(out.get()) != 0) return Copy::WriteFailed;
    return Copy::Ok;
}

// The boss of the inbound whose boss_address the sender is; -2 for none.
int sender_boss(const Ctx& x, const Tic& t, BossCfg& out) {
    ftn_addr from;
    if (!ftn_parse(t.from.c_str(), from)) return -2;
    for (int i : x.bosses) {
        BossCfg b = cfg_boss(*x.r.cfg, i);
        ftn_addr a;
        if (ftn_parse(b.get(F_BOSSADDR), a) && a.zone == from.zone && a.net == from.net &&
            a.node == from.node && a.point == from.point) {
            out = b;
            return i;
        }
    }
    return -2;
}

// The file area of the tag, created when the boss allows it; -1 for none.
int area_of(Ctx& x, const Tic& t, const BossCfg& b, int sect) {
    Config& c = *x.r.cfg;
    int i = filearea_find(c, t.area.c_str());
    if (i >= 0) return i;
    if (!yesno(b.get(F_AUTOCREATE)) || b.get(F_FILEBASE)[0] == '\0' ||
        !af_tag_creatable(t.area.c_str()))
        return -1;
    char name[AF_BASE_NAME_MAX];
    af_base_name(name, t.area.c_str());
    // The line as written: the raw filebase (relative paths stay relative
    // to the configuration's directory), the resolved one for this run.
    std::string written = join(cfg_raw(c, sect, F_FILEBASE), name);
    std::string path = join(b.get(F_FILEBASE), name);
    if (written.size() >= CFG_STR || path.size() >= CFG_STR) return -1;
    const char* section = sect >= 0 ? cfg_boss_name(c, sect) : nullptr;
    CfgResult w = af_cfg_add_filearea(c.path, section, t.area.c_str(), written.c_str());
    if (w != CfgResult::Ok && w != CfgResult::Exists) {
        log_msg2(tic_m_cfgfail, t.area.c_str());
        return -1;
    }
    i = filearea_push(c, t.area.c_str(), path.c_str(), sect);
    if (i < 0) return -1;
    ++x.r.areas_created;
    lb_start();
    lb_add(tic_m_created);
    lb_add(t.area.c_str());
    lb_add(" -> ");
    lb_add(path.c_str());
    lb_flush();
    return i;
}

// Whether another area has the same directory.
bool dir_shared(const Config& c, int area) {
    std::string k = dir_key(c.file_paths[area]);
    for (int i = 0; i < c.file_count; ++i)
        if (i != area && dir_key(c.file_paths[i]) == k) return true;
    return false;
}

// Makes the area's directory (and its parent, one level each).
void make_dir(const char* dir) {
    std::string d = dir;
    while (d.size() > 1 && (d.back() == '/' || d.back() == '\\')) d.pop_back();
    size_t cut = d.find_last_of("/\\");
    if (cut != std::string::npos && cut > 0) pf_mkdir(d.substr(0, cut).c_str());
    pf_mkdir(d.c_str());
}

// Deletes the files Replaces names in the area (never the new file, the
// description list or a temporary file).
void delete_replaced(const std::string& adir, const Tic& t) {
    if (t.replaces.empty()) return;
    std::vector<PfDirEntry> list;
    if (pf_list_dir(adir.c_str(), list) != 0) return;
    for (const PfDirEntry& e : list) {
        if (!e.is_file || e.name[0] == '.' || str_icmp(e.name.c_str(), t.file.c_str()) == 0 ||
            str_icmp(e.name.c_str(), FILES_BBS) == 0)
            continue;
        for (const std::string& pat : t.replaces) {
            if (tic_name_match(pat.c_str(), e.name.c_str())) {
                if (pf_delete(join(adir, e.name).c_str()) == 0)
                    log_msg2(tic_m_replaced, e.name.c_str());
                break;
            }
        }
    }
}

// The last steps, once the file and its description are in the area.
void finish(Ctx& x, const std::string& tic_path, const std::string& in_path) {
    if (!in_path.empty()) {
        pf_delete(in_path.c_str());
        pf_sync_dir(x.dir.c_str());
    }
    std::string tossed = join(x.dir, INBOUND_TOSSED);
    pf_mkdir(tossed.c_str());
    size_t cut = tic_path.find_last_of("/\\");
    std::string tname = cut == std::string::npos ? tic_path : tic_path.substr(cut + 1);
    if (!move_unique(tic_path.c_str(), join(tossed, tname).c_str())) {
        // It must not be processed again: a .tic that stays would at last
        // be set aside as waiting for a file that was placed.
        if (pf_delete(tic_path.c_str()) != 0) log_msg2(tic_m_movefail, tic_path.c_str());
    }
}

// Whether the area holds the file with the .tic's size and CRC-32 and lists
// it in files.bbs: what a run killed after placing it leaves.
bool placed_already(const std::string& adir, const Tic& t) {
    uint64_t size = 0;
    uint32_t crc = 0;
    if (!file_crc(join(adir, t.file), size, crc) || crc != t.crc || (t.has_size && size != t.size))
        return false;
    std::string bbs;
    if (f_read_whole(join(adir, FILES_BBS).c_str(), bbs, 64u << 20) != 0) return false;
    for (const FbbsEntry& e : fbbs_parse(bbs))
        if (str_icmp(e.name.c_str(), t.file.c_str()) == 0) return true;
    return false;
}

void log_placed(const Tic& t, uint64_t size) {
    lb_start();
    lb_add(tic_m_file);
    lb_add(t.area.c_str());
    lb_add(" | ");
    lb_add(t.file.c_str());
    lb_add(" | ");
    lb_num(size);
    lb_add(tic_m_bytes);
    std::vector<std::string> d = tic_desc_lines(t);
    if (!d.empty()) {
        lb_add(" | ");
        lb_add(d[0].c_str());
    }
    lb_flush();
}

void process(Ctx& x, const std::string& tname) {
    TicRun& r = x.r;
    std::string tic_path = join(x.dir, tname);
    std::string data;
    if (f_read_whole(tic_path.c_str(), data, TIC_MAX) != 0) {
        bad(x, tic_path, std::string(), tic_r_read);
        return;
    }
    Tic t;
    TicParse pr = tic_parse(data.data(), data.size(), t);
    if (pr != TicParse::Ok) {
        bad(x, tic_path, std::string(), tic_parse_text(pr));
        return;
    }
    if (!tic_name_safe(t.file.c_str())) {
        bad(x, tic_path, std::string(), tic_r_name, t.file);
        return;
    }
    std::string entry = find_entry(x, t.file);
    std::string in_path = entry.empty() ? std::string() : join(x.dir, entry);
    BossCfg b;
    int sect = sender_boss(x, t, b);
    if (sect == -2) {
        bad(x, tic_path, in_path, tic_r_from, t.from);
        return;
    }
    if (str_icmp(t.pw.c_str(), b.get(F_TICPWD)) != 0) {
        bad(x, tic_path, in_path, tic_r_pw);
        return;
    }
    for (const std::string& pat : t.replaces) {
        if (pat.find_first_of("/\\:") != std::string::npos) {
            bad(x, tic_path, in_path, tic_r_name, pat);
            return;
        }
    }
    const Config& c = *r.cfg;
    if (in_path.empty()) {
        // Placed by a run that ended before it could tidy up? An area is
        // only looked up here, never created, for a file that is not there.
        int known = filearea_find(c, t.area.c_str());
        if (known >= 0 && !dir_shared(c, known) && placed_already(c.file_paths[known], t)) {
            delete_replaced(c.file_paths[known], t);
            log_msg2(tic_m_finish, join(c.file_paths[known], t.file).c_str());
            finish(x, tic_path, std::string());
            ++r.files;
            return;
        }
        PfStat st = pf_stat(tic_path.c_str());
        int64_t days = std::atoi(b.get(F_TICWAIT));
        if (days < 0) days = 0;
        if (st.exists && r.now - st.mtime > days * 86400) {
            bad(x, tic_path, std::string(), tic_r_late);
            return;
        }
        ++r.waiting;
        log_msg2(tic_m_wait, tname.c_str());
        return;
    }
    int area = area_of(x, t, b, sect);
    if (area < 0) {
        bad(x, tic_path, in_path, tic_r_area, t.area);
        return;
    }
    if (dir_shared(c, area)) {
        bad(x, tic_path, in_path, tic_r_shared, c.file_paths[area]);
        return;
    }
    std::string adir = c.file_paths[area];
    std::string final_path = join(adir, t.file);
    PfStat fst = pf_stat(in_path.c_str());
    if (t.has_size && static_cast<uint64_t>(fst.size) != t.size) {
        bad(x, tic_path, in_path, tic_r_size);
        return;
    }

    make_dir(adir.c_str());
    std::string tmp = join(adir, TMP_FILE);
    std::string tmp_bbs = join(adir, TMP_BBS);
    uint64_t size = 0;
    uint32_t crc = 0;
    Copy cp = copy_file(in_path, tmp, size, crc);
    if (cp == Copy::Ok && crc != t.crc) {
        pf_delete(tmp.c_str());
        bad(x, tic_path, in_path, tic_r_crc);
        return;
    }
    if (cp == Copy::Ok && t.has_size && size != t.size) {
        pf_delete(tmp.c_str());
        bad(x, tic_path, in_path, tic_r_size);
        return;
    }
    std::string bbs;
    bool ok = cp == Copy::Ok;
    if (ok) {
        std::string bbs_path = join(adir, FILES_BBS);
        int rr = f_read_whole(bbs_path.c_str(), bbs, 64u << 20);
        ok = rr == 0 || (rr == 1 && !pf_stat(bbs_path.c_str()).exists);
        if (ok) ok = write_synced(tmp_bbs, fbbs_update(bbs, t.file, tic_desc_lines(t), t.replaces));
    }
    // The file first, then its description: a kill between leaves the
    // file described by nothing but its .tic, still in the inbound, and the
    // next run does both again.
    if (ok) ok = pf_rename(tmp.c_str(), final_path.c_str(), true) == 0;
    if (ok) ok = pf_rename(tmp_bbs.c_str(), join(adir, FILES_BBS).c_str(), true) == 0;
    if (ok) ok = pf_sync_dir(adir.c_str()) == 0;
    if (!ok) {
        pf_delete(tmp.c_str());
        pf_delete(tmp_bbs.c_str());
        log_msg2(tic_m_full, in_path.c_str());
        r.failed = true;
        return;
    }
    log_placed(t, size);
    delete_replaced(adir, t);
    finish(x, tic_path, in_path);
    ++r.files;
    if (r.placed) r.placed(b, c.file_tags[area], final_path.c_str());
}

}  // namespace

void tic_toss_dir(TicRun& r, const char* dir, const std::vector<int>& bosses) {
    Ctx x{r, dir, bosses, {}};
    if (pf_list_dir(dir, x.entries) != 0) return;
    std::vector<std::string> tics;
    for (const PfDirEntry& e : x.entries)
        if (e.is_file && ends_with_ci(e.name.c_str(), ".tic")) tics.push_back(e.name);
    // As many per run as the toss takes packets; the rest wait for the next.
    if (tics.size() > static_cast<size_t>(MAX_NAMES)) tics.resize(MAX_NAMES);
    for (const std::string& n : tics) {
        if (r.failed || pf_stop_requested()) break;
        process(x, n);
    }
}

ExitCode tic_toss_all(TicRun& r) {
    if (r.now == 0) r.now = pf_unix_now_utc();
    const Config& c = *r.cfg;
    std::vector<int> sects;
    if (cfg_boss_count(c) == 0)
        sects.push_back(-1);
    else
        for (int i = 0; i < cfg_boss_count(c); ++i) sects.push_back(i);
    std::vector<std::string> done;
    for (int s : sects) {
        BossCfg b = cfg_boss(c, s);
        std::string in = b.get(F_INBOUND);
        if (in.empty()) continue;
        bool again = false;
        for (const std::string& d : done) again = again || str_icmp(d.c_str(), in.c_str()) == 0;
        if (again) continue;
        done.push_back(in);
        std::vector<int> owners;
        for (int o : sects)
            if (str_icmp(cfg_boss(c, o).get(F_INBOUND), in.c_str()) == 0) owners.push_back(o);
        tic_toss_dir(r, in.c_str(), owners);
        if (r.failed) break;
    }
    if (r.files + r.waiting + r.bad > 0) tic_report(r);
    return (r.failed || r.bad > 0) ? EXIT_PROTO : EXIT_OK;
}

void tic_report(const TicRun& r) {
    lb_start();
    lb_add(tic_m_sum);
    lb_num(r.files);
    lb_add(tic_m_sumwait);
    lb_num(r.waiting);
    lb_add(tic_m_sumbad);
    lb_num(r.bad);
    lb_flush();
}
