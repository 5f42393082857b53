#include "app/filecmd.h"

#include <algorithm>
#include <cstdio>

#include "app/catalog.h"
#include "app/cmdline.h"
#include "app/nlzip.h"
#include "config/config.h"
#include "core/charset.h"
#include "core/civil.h"
#include "core/fileio.h"
#include "core/ftnaddr.h"
#include "core/log.h"
#include "nodelist/messages.h"
#include "nodelist/nlfiles.h"
#include "outbound/bso.h"
#include "outbound/messages.h"
#include "platform/platform.h"
#include "tosser/messages.h"
#include "tosser/tic.h"

namespace {

void out(const std::string& s) {
    pf_write_utf8_out(s.data(), s.size());
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    return dir + PF_DIR_SEP + name;
}

// Bytes from the network as one UTF-8 field: UTF-8 kept, else code page
// 437; control characters, tabs and DEL as ".".
std::string field(const std::string& s) {
    std::string u = utf8_valid(s.data(), s.size()) ? s : cs_to_utf8(CS_CP437, s.data(), s.size());
    for (char& c : u)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '.';
    return u;
}

// The files of an area's directory: plain files, not files.bbs nor our
// temporary ones (leading dot).
std::vector<PfDirEntry> area_files(const char* dir) {
    std::vector<PfDirEntry> list, keep;
    if (pf_list_dir(dir, list) != 0) return keep;
    for (PfDirEntry& e : list)
        if (e.is_file && e.name[0] != '.' && str_icmp(e.name.c_str(), FILES_BBS) != 0)
            keep.push_back(std::move(e));
    std::sort(keep.begin(), keep.end(),
              [](const PfDirEntry& a, const PfDirEntry& b) { return a.name < b.name; });
    return keep;
}

}  // namespace

void tic_nodediff(const BossCfg& b, const char* tag, const char* path) {
    if (b.get(F_NODEDIFFAREA)[0] == '\0' || str_icmp(b.get(F_NODEDIFFAREA), tag) != 0 ||
        b.get(F_NODELIST)[0] == '\0')
        return;
    std::string src = path;
    size_t slash = src.find_last_of("/\\");
    std::string name = slash == std::string::npos ? src : src.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot != 4) return;  // no day extension
    NlLoc diffs = nl_diff_loc(b);
    std::string dst = join(diffs.dir, diffs.base + name.substr(dot));
    char a[WP_PATH_MAX], c[WP_PATH_MAX];
    bool same = pf_full_path(src.c_str(), a, sizeof a) == 0 &&
                pf_full_path(dst.c_str(), c, sizeof c) == 0 && std::string(a) == c;
    if (!same) {
        std::string data;
        std::string tmp = dst + ".wptmp";
        bool ok = f_read_whole(src.c_str(), data, 64u << 20) == 0;
        if (ok) {
            UniqueFile h(pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways));
            ok = h && f_write(h.get(), data.data(), data.size()) == 0 && pf_sync(h.get()) == 0;
        }
        if (ok) ok = pf_rename(tmp.c_str(), dst.c_str(), true) == 0;
        if (!ok) {
            pf_delete(tmp.c_str());
            log_msg2(tic_m_nodediff_fail, dst.c_str());
            return;
        }
    }
    log_msg2(tic_m_nodediff, dst.c_str());
    NlUpdate u = nl_update(nl_loc(b.get(F_NODELIST)), diffs, nl_unzip_file);
    if (!u.current.empty()) log_msg2(nl_m_current, u.current.c_str());
}

ExitCode tic_step() {
    TicRun r;
    r.placed = tic_nodediff;
    return tic_toss_all(r);
}

ExitCode files_command(const char* tag) {
    const Config& c = g_cfg;
    if (tag[0] == '\0') {
        for (int i = 0; i < c.file_count; ++i) {
            std::string line = field(c.file_tags[i]) + "\t" + field(c.file_paths[i]) + "\t" +
                               std::to_string(area_files(c.file_paths[i]).size()) + "\n";
            out(line);
        }
        return EXIT_OK;
    }
    int a = filearea_find(c, tag);
    if (a < 0) {
        log_msg2(tic_m_noarea, tag);
        return EXIT_NOTFOUND;
    }
    std::string bbs;
    std::vector<FbbsEntry> desc;
    if (f_read_whole(join(c.file_paths[a], FILES_BBS).c_str(), bbs, 64u << 20) == 0)
        desc = fbbs_parse(bbs);
    for (const PfDirEntry& e : area_files(c.file_paths[a])) {
        std::string d;
        for (const FbbsEntry& f : desc) {
            if (str_icmp(f.name.c_str(), e.name.c_str()) != 0) continue;
            for (const std::string& l : f.desc) d += (d.empty() ? "" : " ") + l;
        }
        Civil t = unix_civil(e.mtime > 0 ? static_cast<uint32_t>(e.mtime) : 0);
        char date[32];
        std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u", t.year, t.month, t.day, t.hour,
                      t.minute);
        out(field(e.name) + "\t" + std::to_string(e.size) + "\t" + date + "\t" + field(d) + "\n");
    }
    return EXIT_OK;
}

bool freq_lines(const std::vector<std::string>& words, std::vector<std::string>& lines) {
    lines.clear();
    for (const std::string& w : words) {
        if (!w.empty() && w[0] == '!') {
            if (lines.empty() || lines.back().find(' ') != std::string::npos) return false;
            lines.back() += " " + w;
        } else {
            lines.push_back(w);
        }
    }
    return true;
}

ExitCode freq_command(const char* boss, const std::vector<std::string>& words) {
    if (boss[0] == '\0' || words.empty()) {
        log_msg(m_freq_usage);
        return EXIT_CONFIG;
    }
    int i = -1;
    if (!(cfg_boss_count(g_cfg) == 0 && str_icmp(boss, "default") == 0)) {
        i = cfg_find(g_cfg, boss);
        if (i < 0) {
            log_msg2(bmain_m_notfound, boss);
            return EXIT_CONFIG;
        }
    }
    BossCfg b = cfg_boss(g_cfg, i);
    std::vector<std::string> lines;
    if (!freq_lines(words, lines)) {
        log_msg2(m_freq_bad, words[0].c_str());
        return EXIT_CONFIG;
    }
    ftn_addr addr;
    char base[WP_PATH_MAX];
    if (!ftn_parse(b.get(F_BOSSADDR), addr) || bso_path(b, base, addr, true) != 0) {
        log_msg2(m_freq_noaddr, b.name);
        return EXIT_CONFIG;
    }
    std::string path = std::string(base) + ".req";
    switch (req_add(base, lines)) {
        case ReqResult::Ok:
            log_msg2(m_freq_written, path.c_str());
            return EXIT_OK;
        case ReqResult::Busy:
            return EXIT_BUSY;
        case ReqResult::Bad:
            for (const std::string& l : lines)
                if (!req_line_ok(l)) log_msg2(m_freq_bad, l.c_str());
            return EXIT_CONFIG;
        case ReqResult::Failed:
            break;
    }
    log_msg2(m_freq_fail, path.c_str());
    return EXIT_PROTO;
}
