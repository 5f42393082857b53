#include "nodelist/nlfiles.h"

#include <algorithm>

#include "config/config.h"
#include "core/fileio.h"
#include "core/log.h"
#include "nodelist/messages.h"
#include "platform/platform.h"

namespace {

// How many days after the list a diff that does not fit it is reported.
constexpr int NL_DIFF_AHEAD = 31;

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// "BASE.nnn" -> day; "BASE.Znn" -> day with zipped; else false.
bool match_name(const std::string& name, const std::string& base, NlFile& f) {
    if (name.size() != base.size() + 4 || name[base.size()] != '.') return false;
    for (size_t i = 0; i < base.size(); ++i)
        if (upper(name[i]) != upper(base[i])) return false;
    const char* ext = name.c_str() + base.size() + 1;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!digit(ext[1]) || !digit(ext[2])) return false;
    if (digit(ext[0])) {
        f.day = (ext[0] - '0') * 100 + (ext[1] - '0') * 10 + (ext[2] - '0');
        return true;
    }
    if (upper(ext[0]) == 'Z') {
        f.day = (ext[1] - '0') * 10 + (ext[2] - '0');
        f.zipped = true;
        return true;
    }
    return false;
}

std::string join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + PF_DIR_SEP + name;
}

std::string day3(int day) {
    char b[4] = {static_cast<char>('0' + day / 100 % 10), static_cast<char>('0' + day / 10 % 10),
                 static_cast<char>('0' + day % 10), '\0'};
    return b;
}

// The day of a zipped file from the name of its entry, NAME.nnn; false
// when the name is not of the loc's base (any case).
bool entry_day(const std::string& entry, const std::string& base, int& day) {
    NlFile f;
    if (!match_name(entry, base, f) || f.zipped) return false;
    day = f.day;
    return true;
}

// The index of the newest of these days, the turn of the year counted.
size_t newest(const std::vector<int>& days) {
    int lo = 999, hi = -1;
    for (int d : days) {
        lo = std::min(lo, d);
        hi = std::max(hi, d);
    }
    bool turned = hi - lo > 183;
    auto key = [turned](int d) { return turned && d < 183 ? d + 1000 : d; };
    size_t best = 0;
    for (size_t i = 1; i < days.size(); ++i)
        if (key(days[i]) > key(days[best])) best = i;  // a tie: the plain file
    return best;
}

void log_path(const char* msg, const std::string& path) {
    log_msg2(msg, path.c_str());
}

// Writes the new list beside its final name and renames it there; the old
// list is untouched until the rename has happened. True on success.
bool place_list(const std::string& text, const std::string& path, const std::string& dir) {
    std::string tmp = path + ".wptmp";
    pf_delete(tmp.c_str());  // a leftover of a run that died
    {
        UniqueFile f(pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew));
        if (f.get() == PF_INVALID) return false;
        if (f_write(f.get(), text.data(), text.size()) != 0 || pf_sync(f.get()) != 0) {
            f.reset();
            pf_delete(tmp.c_str());
            return false;
        }
    }
    // Read back: what lies on the disk is what was checked.
    std::string back;
    uint16_t given = 0, actual = 0;
    if (f_read_whole(tmp.c_str(), back, NL_FILE_MAX) != 0 || back != text ||
        !nl_crc_of(back, given, actual) || given != actual ||
        pf_rename(tmp.c_str(), path.c_str(), false) != 0) {
        pf_delete(tmp.c_str());
        return false;
    }
    pf_sync_dir(dir.empty() ? "." : dir.c_str());
    return true;
}

}  // namespace

NlLoc nl_loc(const char* value) {
    std::string v = value;
    size_t slash = v.find_last_of("/\\");
    NlLoc s;
    if (slash == std::string::npos) {
        s.base = v;
    } else {
        s.dir = v.substr(0, slash);
        if (s.dir.empty()) s.dir = v.substr(0, 1);  // "/NODELIST": the root
        s.base = v.substr(slash + 1);
    }
    return s;
}

bool nl_day_after(int a, int b) {
    int d = ((b - a) % 366 + 366) % 366;
    return d >= 1 && d <= 183;
}

std::vector<NlFile> nl_files(const NlLoc& s) {
    std::vector<NlFile> plain, zipped;
    std::vector<PfDirEntry> ents;
    if (s.base.empty() || pf_list_dir(s.dir.empty() ? "." : s.dir.c_str(), ents) != 0) return {};
    for (const PfDirEntry& e : ents) {
        NlFile f;
        if (!e.is_file || !match_name(e.name, s.base, f)) continue;
        f.path = join(s.dir, e.name);
        (f.zipped ? zipped : plain).push_back(f);
    }
    // Across the turn of the year the small numbers are the new year's.
    int lo = 999, hi = -1;
    for (const NlFile& f : plain) {
        lo = std::min(lo, f.day);
        hi = std::max(hi, f.day);
    }
    bool turned = hi - lo > 183;
    auto key = [turned](const NlFile& f) { return turned && f.day < 183 ? f.day + 1000 : f.day; };
    std::sort(plain.begin(), plain.end(),
              [&key](const NlFile& a, const NlFile& b) { return key(a) < key(b); });
    plain.insert(plain.end(), zipped.begin(), zipped.end());
    return plain;
}

NlLoad nl_current(const NlLoc& s, NlUnzip unzip, NlFile& cur, std::string& text) {
    std::vector<NlFile> files = nl_files(s);
    std::vector<NlFile> ok;
    std::vector<std::string> texts;  // of the zipped ones, read already
    std::vector<int> days;
    bool zips = false;
    for (NlFile f : files) {
        std::string t, entry;
        if (f.zipped) {
            zips = true;
            if (unzip == nullptr) continue;
            if (!unzip(f.path, entry, t) || !entry_day(entry, s.base, f.day)) {
                log_path(nl_m_badzip, f.path);
                continue;
            }
        }
        ok.push_back(f);
        texts.push_back(std::move(t));
        days.push_back(f.day);
    }
    if (ok.empty()) {
        if (zips) {
            log_path(unzip == nullptr ? nl_m_onlyzip : nl_m_nolist, files.back().path);
            return NlLoad::OnlyZip;
        }
        log_path(nl_m_nolist, join(s.dir, s.base + ".nnn"));
        return NlLoad::NoList;
    }
    size_t i = newest(days);
    cur = ok[i];
    if (cur.zipped) {
        text = std::move(texts[i]);
    } else if (f_read_whole(cur.path.c_str(), text, NL_FILE_MAX) != 0) {
        log_path(nl_m_read, cur.path);
        return NlLoad::Unreadable;
    }
    return NlLoad::Ok;
}

namespace {

void parse_and_report(std::string text, const std::string& path, NodeList& out) {
    nl_parse(std::move(text), out);
    lb_start();
    lb_add(nl_m_loaded);
    lb_add(path.c_str());
    lb_add(nl_m_entries);
    lb_num(out.entries.size());
    lb_flush();
    if (!out.crc_ok()) log_path(nl_m_crc, path);
    if (out.bad_lines > 0) {
        lb_start();
        lb_add(nl_m_bad);
        lb_add(path.c_str());
        lb_add(": ");
        lb_num(out.bad_lines);
        lb_add(nl_m_badfirst);
        lb_num(out.first_bad);
        lb_flush();
    }
}

}  // namespace

bool nl_load_file(const std::string& path, NodeList& out) {
    std::string text;
    if (f_read_whole(path.c_str(), text, NL_FILE_MAX) != 0) {
        log_path(nl_m_read, path);
        return false;
    }
    parse_and_report(std::move(text), path, out);
    return true;
}

NlLoad nl_load(const BossCfg& b, NodeList& list, NodeList& points, NlUnzip unzip) {
    list = NodeList{};
    points = NodeList{};
    const char* nlv = b.get(F_NODELIST);
    const char* plv = b.get(F_POINTLIST);
    if (nlv[0] == '\0' && plv[0] == '\0') return NlLoad::NotConfigured;
    if (nlv[0] != '\0') {
        NlFile cur;
        std::string text;
        NlLoad r = nl_current(nl_loc(nlv), unzip, cur, text);
        if (r != NlLoad::Ok) return r;
        parse_and_report(std::move(text), cur.path, list);
    }
    if (plv[0] != '\0' && !nl_load_file(plv, points)) return NlLoad::Unreadable;
    return NlLoad::Ok;
}

NlLoc nl_diff_loc(const BossCfg& b) {
    const char* v = b.get(F_NODEDIFF);
    if (v[0] != '\0') return nl_loc(v);
    NlLoc s = nl_loc(b.get(F_NODELIST));
    s.base = "NODEDIFF";
    return s;
}

NlUpdate nl_update(const NlLoc& list, const NlLoc& diffs, NlUnzip unzip) {
    NlUpdate u;
    NlFile curf;
    std::string text;
    NlLoad loaded = nl_current(list, unzip, curf, text);
    if (loaded == NlLoad::Unreadable) return u;
    const NlFile* cur = loaded == NlLoad::Ok ? &curf : nullptr;
    u.current = cur ? cur->path : "";

    struct Diff {
        NlFile file;
        std::string text;
        int64_t mtime = 0;
        bool used = false;
    };
    std::vector<Diff> ds;
    for (NlFile f : nl_files(diffs)) {
        Diff d;
        if (f.zipped) {
            std::string entry;
            if (unzip == nullptr) continue;
            if (!unzip(f.path, entry, d.text) || !entry_day(entry, diffs.base, f.day)) {
                log_path(nl_m_badzip, f.path);
                continue;
            }
        } else if (f_read_whole(f.path.c_str(), d.text, NL_FILE_MAX) != 0) {
            log_path(nl_m_read, f.path);
            ++u.refused;
            continue;
        }
        if (cur != nullptr && f.day == cur->day) continue;
        d.file = f;
        d.mtime = pf_stat(f.path.c_str()).mtime;
        ds.push_back(std::move(d));
    }
    if (cur == nullptr) {
        for (const Diff& d : ds) log_path(nl_m_nobase, d.file.path);
        u.refused += static_cast<int>(ds.size());
        return u;
    }
    const int64_t list_mtime = pf_stat(cur->path.c_str()).mtime;
    int day = cur->day;
    std::string name = cur->path;
    // The diffs in turn, in memory: each one whose first line is the list's,
    // the nearest day first. Only the last good list is written.
    for (;;) {
        Diff* next = nullptr;
        std::string_view first = nl_first_line(text);
        for (Diff& d : ds) {
            if (d.used || d.file.day == day || nl_first_line(d.text) != first) continue;
            auto dist = [day](int x) { return ((x - day) % 366 + 366) % 366; };
            if (next == nullptr || dist(d.file.day) < dist(next->file.day)) next = &d;
        }
        if (next == nullptr) break;
        next->used = true;
        std::string out;
        uint32_t line = 0;
        NlDiffResult r = nl_apply_diff(text, next->text, out, line);
        if (r == NlDiffResult::BadCrc) {
            log_path(nl_m_diffcrc, next->file.path);
            ++u.refused;
            continue;
        }
        if (r != NlDiffResult::Ok) {
            lb_start();
            lb_add(nl_m_damaged);
            lb_add(next->file.path.c_str());
            lb_add(nl_m_atline);
            lb_num(line);
            lb_flush();
            ++u.refused;
            continue;
        }
        text = std::move(out);
        day = next->file.day;
        // The new list keeps the old one's name with the diff's day.
        name = cur->zipped ? join(list.dir, list.base + "." + day3(day))
                           : cur->path.substr(0, cur->path.size() - 3) + day3(day);
        lb_start();
        lb_add(nl_m_applied);
        lb_add(next->file.path.c_str());
        lb_add(nl_m_arrow);
        lb_add(name.c_str());
        lb_flush();
        ++u.applied;
    }
    // A diff of the weeks after the list (within a month) that came after the
    // list file and fits no list of the chain is for another list; others
    // (already applied, or of the year before) are passed over without a word.
    for (const Diff& d : ds) {
        int ahead = ((d.file.day - day) % 366 + 366) % 366;
        if (d.used || ahead < 1 || ahead > NL_DIFF_AHEAD || d.mtime < list_mtime) continue;
        log_path(nl_m_other, d.file.path);
        ++u.refused;
    }
    if (u.applied == 0) return u;
    if (!place_list(text, name, list.dir)) {
        log_path(nl_m_write, name);
        ++u.refused;
        u.applied = 0;
        return u;
    }
    if (!cur->zipped) pf_delete(cur->path.c_str());
    u.current = name;
    return u;
}
