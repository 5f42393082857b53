#include "outbound/bso.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "outbound/messages.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The process id a busy file names: the number after " pid " (our own form),
// or the whole content when it is one decimal number. 0 when neither.
uint32_t recorded_pid(const char* text) {
    const char* p = str_find(text, " pid ");
    if (p != nullptr) {
        p += 5;
    } else {
        p = text;
        while (*p == ' ' || *p == '\t') ++p;
        const char* q = p;
        while (is_digit(*q)) ++q;
        while (*q == ' ' || *q == '\t' || *q == '\r' || *q == '\n') ++q;
        if (*q != '\0') return 0;
    }
    if (!is_digit(*p)) return 0;
    uint64_t v = parse_u64(p);
    return v > 0 && v <= 0x7fffffffu ? static_cast<uint32_t>(v) : 0;
}

enum class Stale { No, Old, Dead };

Stale stale_kind(const char* path) {
    pf_file h = f_open_read(path);
    if (h != PF_INVALID) {
        char buf[128];
        size_t n = f_read(h, buf, sizeof buf - 1);
        f_close(h);
        buf[n] = '\0';
        uint32_t pid = recorded_pid(buf);
        if (pid != 0 && !pf_pid_alive(pid)) return Stale::Dead;
    }
    PfStat st = pf_stat(path);
    if (!st.exists) return Stale::No;
    int64_t now = pf_unix_now_utc();
    if (st.mtime > now || now - st.mtime < BSY_STALE_SEC) return Stale::No;
    return Stale::Old;
}

}  // namespace

char* hexw(char* buf, uint32_t value, int digits) {
    static const char hex[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) {
        buf[i] = hex[value & 0xf];
        value >>= 4;
    }
    buf[digits] = '\0';
    return buf + digits;
}

uint32_t bso_defzone(const BossCfg& c) {
    const char* z = c.get(F_BSOZONE);
    if (z[0] != '\0') return static_cast<uint32_t>(parse_u64(z));
    return static_cast<uint32_t>(parse_u64(c.get(F_ADDRESS)));
}

int bso_path(const BossCfg& c, char* out, const ftn_addr& addr, bool create_dirs) {
    const char* ob = c.get(F_OUTBOUND);
    if (ob[0] == '\0') return 1;
    char dir[WP_PATH_MAX];
    size_t n = str_copy(dir, ob, 480);
    while (n > 1 && (dir[n - 1] == '/' || dir[n - 1] == '\\')) dir[--n] = '\0';
    if (addr.zone != bso_defzone(c)) {
        char z[8] = ".";
        hexw(z + 1, addr.zone, addr.zone <= 0xfff ? 3 : 4);
        str_cat(dir, z, sizeof dir);
    }
    if (create_dirs) pf_mkdir(dir);
    char name[16];
    hexw(hexw(name, addr.net, 4), addr.node, 4);
    path_join(out, dir, name);
    if (addr.point != 0) {
        str_cat(out, ".pnt", WP_PATH_MAX);
        if (create_dirs) pf_mkdir(out);
        char pt[16];
        hexw(pt, addr.point, 8);
        char base[WP_PATH_MAX];
        str_copy(base, out, sizeof base);
        path_join(out, base, pt);
    }
    return 0;
}

namespace {

// Busy files written aside ("name.bsy.<pid>") by holders killed before the
// rename: removed once their process is gone. Only bso_lock makes them, and
// only under its own pid, so a dead pid's file is nobody's.
void sweep_aside(const char* bsy) {
    const char* slash = std::strrchr(bsy, '/');
    std::string dir = slash ? std::string(bsy, static_cast<size_t>(slash - bsy)) : ".";
    std::string prefix = std::string(slash ? slash + 1 : bsy) + ".";
    std::vector<PfDirEntry> list;
    if (pf_list_dir(dir.c_str(), list) != 0) return;
    for (const PfDirEntry& e : list) {
        if (!e.is_file || e.name.size() <= prefix.size() ||
            e.name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const char* digits = e.name.c_str() + prefix.size();
        const char* end = nullptr;
        uint64_t pid = parse_u64(digits, &end);
        if (end == digits || *end != '\0' || pid > 0x7fffffffu) continue;
        if (pid == pf_getpid() || pf_pid_alive(static_cast<uint32_t>(pid))) continue;
        pf_delete((dir + "/" + e.name).c_str());
    }
}

}  // namespace

int bso_lock(BsoLock& lk, const char* base, const char* owner) {
    char path[WP_PATH_MAX];
    str_copy(path, base, 512);
    str_cat(path, ".bsy", sizeof path);
    char d[21];
    u64_to_dec(pf_getpid(), d);
    char line[128];
    str_copy(line, owner, 48);
    str_cat(line, " pid ", sizeof line);
    str_cat(line, d, sizeof line);
    str_cat(line, "\r\n", sizeof line);

    // The busy file appears with its content already in it: it is written
    // under a name of this process and renamed into place without replacing.
    // A holder killed at any instant thus leaves a file that names its pid,
    // which the next caller recognises as stale, never an empty one that
    // would block the outbound for hours.
    char tmp[WP_PATH_MAX];
    str_copy(tmp, path, sizeof tmp);
    str_cat(tmp, ".", sizeof tmp);
    str_cat(tmp, d, sizeof tmp);
    // The byte lock is taken before the file gets its name, so a busy file
    // of a live holder is locked from its first instant (see stale_kind).
    UniqueFile h(pf_open(tmp, PfAccess::ReadWrite, PfCreate::CreateAlways));
    bool written =
        h && pf_lock_range(h.get(), 0, 1) == 0 && f_write(h.get(), line, str_len(line)) == 0;
    bool taken = written && pf_rename(tmp, path, false) == 0;
    if (written && !taken) {
        // A holder keeps the byte lock on its busy file for as long as it
        // holds the outbound (as on Windows, where a file that is still open
        // cannot be deleted): a locked busy file is never stale, however old.
        // The lock on a stale one is held from the judgement to the take-over,
        // so two callers cannot both remove it and both hold the outbound.
        UniqueFile probe(pf_open(path, PfAccess::ReadWrite, PfCreate::OpenExisting));
        int held = probe ? pf_lock_range(probe.get(), 0, 1) : -1;
        Stale s = held == 1 ? Stale::No : stale_kind(path);
        if (s != Stale::No && pf_delete(path) == 0) {
            log_msg2(s == Stale::Dead ? m_stale_pid : m_stale, path);
            taken = pf_rename(tmp, path, false) == 0;
        }
    }
    if (!taken) {
        pf_delete(tmp);
        log_msg2(m_busy, path);
        return 1;
    }
    lk.h = h.release();
    str_copy(lk.path, path, sizeof lk.path);
    sweep_aside(path);
    return 0;
}

BsoLock::~BsoLock() {
    bso_unlock(*this);
}

void bso_unlock(BsoLock& lk) {
    if (lk.h == PF_INVALID) return;
    pf_delete(lk.path);
    f_close(lk.h);
    lk.h = PF_INVALID;
    lk.path[0] = '\0';
}

void full_path(char* out, const char* in) {
    char tmp[WP_PATH_MAX];
    if (pf_full_path(in, tmp, sizeof tmp) == 0)
        str_copy(out, tmp, WP_PATH_MAX);
    else if (out != in)
        str_copy(out, in, WP_PATH_MAX);
}

int flo_write(const char* flo_path, const uint8_t* data, size_t n) {
    char tmp[WP_PATH_MAX + 1];
    str_copy(tmp, flo_path, WP_PATH_MAX);
    str_cat(tmp, "$", sizeof tmp);
    pf_file h = pf_open(tmp, PfAccess::ReadWrite, PfCreate::CreateAlways);
    bool ok = h != PF_INVALID;
    if (ok) {
        ok = n == 0 || f_write(h, data, n) == 0;
        f_close(h);
        ok = ok && pf_rename(tmp, flo_path, true) == 0;
    }
    if (!ok) {
        pf_delete(tmp);
        log_msg2(m_flowr, flo_path);
        return 1;
    }
    return 0;
}

// ---- File requests ----------------------------------------------------------

bool req_line_ok(const std::string& l) {
    if (l.empty() || l[0] == '!' || l[0] == ' ') return false;
    int words = 0;
    bool in_word = false;
    for (size_t i = 0; i < l.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(l[i]);
        if (c < 0x20 || c == 0x7f) return false;
        if (c == ' ') {
            in_word = false;
            continue;
        }
        if (!in_word) {
            ++words;
            if (words == 2 && c != '!') return false;
            in_word = true;
        }
    }
    return words <= 2 && l.back() != ' ';
}

ReqResult req_add_locked(const char* base, const std::vector<std::string>& lines) {
    for (const std::string& l : lines)
        if (!req_line_ok(l)) return ReqResult::Bad;
    std::string path = std::string(base) + ".req";
    std::string text;
    int rr = f_read_whole(path.c_str(), text, REQFILE_MAX);
    if (rr == 2 || (rr == 1 && pf_stat(path.c_str()).exists)) return ReqResult::Failed;
    // The lines there, for the test of repeats.
    std::vector<std::string> have;
    for (size_t p = 0; p < text.size();) {
        size_t e = text.find('\n', p);
        if (e == std::string::npos) e = text.size();
        std::string l = text.substr(p, e - p);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        have.push_back(l);
        p = e + 1;
    }
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    size_t before = text.size();
    for (const std::string& l : lines) {
        bool dup = false;
        for (const std::string& h : have) dup = dup || str_icmp(h.c_str(), l.c_str()) == 0;
        if (dup) continue;
        text += l + "\r\n";
        have.push_back(l);
    }
    if (text.size() == before && rr == 0) return ReqResult::Ok;
    if (text.size() > REQFILE_MAX) return ReqResult::Failed;
    std::string tmp = path + "$";
    UniqueFile h(pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways));
    bool ok = static_cast<bool>(h);
    if (ok) ok = f_write(h.get(), text.data(), text.size()) == 0 && pf_sync(h.get()) == 0;
    h.reset();
    if (ok) ok = pf_rename(tmp.c_str(), path.c_str(), true) == 0;
    if (!ok) {
        pf_delete(tmp.c_str());
        return ReqResult::Failed;
    }
    std::string dir = path;
    size_t cut = dir.find_last_of("/\\");
    dir = cut == std::string::npos ? std::string(".") : dir.substr(0, cut);
    pf_sync_dir(dir.c_str());
    return ReqResult::Ok;
}

ReqResult req_add(const char* base, const std::vector<std::string>& lines) {
    BsoLock lk;
    if (bso_lock(lk, base, "wrenpost") != 0) return ReqResult::Busy;
    return req_add_locked(base, lines);
}
