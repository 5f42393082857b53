#include "editor/jobs.h"

#include <iterator>

#include "core/cp437.h"
#include "core/exitcode.h"
#include "core/strutil.h"
#include "editor/messages.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::u16string wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::u16string num(uint64_t v) {
    char16_t w[21];
    wnum(v, w);
    return w;
}

}  // namespace

ApValue parse_ap(const char* t) {
    ApValue v;
    const char* p = t;
    while (blank(*p)) ++p;
    bool off = false;
    if ((p[0] | 0x20) == 'o' && (p[1] | 0x20) == 'f' && (p[2] | 0x20) == 'f') {
        off = true;
        p += 3;
        while (blank(*p) || *p == ',') ++p;
    }
    if (*p < '0' || *p > '9') return v;
    long n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n < 100000) n = n * 10 + (*p - '0');
        ++p;
    }
    while (blank(*p)) ++p;
    long minutes;
    char unit = static_cast<char>(*p | 0x20);
    if (*p == '\0' || unit == 'm') {
        minutes = n;
    } else if (unit == 'h') {
        minutes = n * 60;
    } else if (unit == 'd') {
        minutes = n * 1440;
    } else {
        return v;
    }
    if (minutes == 0) return v;
    if (minutes > MAX_MIN) minutes = MAX_MIN;
    v.minutes = static_cast<int>(minutes);
    v.on = !off;
    return v;
}

void po_init(Jobs& j, Config& c, uint64_t now) {
    j.ap_slots.clear();
    j.sections = cfg_boss_count(c) > 0;
    int n = j.sections ? cfg_boss_count(c) : 1;
    for (int i = 0; i < n; ++i) {
        const BossCfg b = cfg_boss(c, j.sections ? i : -1);
        ApSlot s;
        s.name = j.sections ? cfg_boss_name(c, i) : "Boss";
        ApValue v = parse_ap(b.get(F_AUTOPOLL));
        s.ap_on = v.on;
        s.ap_min = v.minutes;
        s.ap_next = now + static_cast<uint64_t>(s.ap_min) * 60;
        j.ap_slots.push_back(s);
    }
}

void po_reinit(Jobs& j, Config& c, uint64_t now) {
    std::vector<ApSlot> old = j.ap_slots;
    po_init(j, c, now);
    for (ApSlot& s : j.ap_slots)
        for (const ApSlot& o : old) {
            if (o.name != s.name) continue;
            s.last_t = o.last_t;
            s.last_code = o.last_code;
            if (o.ap_on == s.ap_on && o.ap_min == s.ap_min) s.ap_next = o.ap_next;
        }
}

void po_apply_slot(Jobs& j, int slot, bool on, int minutes, uint64_t now) {
    if (slot < 0 || slot >= static_cast<int>(j.ap_slots.size())) return;
    ApSlot& s = j.ap_slots[slot];
    if (s.ap_on != on || s.ap_min != minutes) s.ap_next = now + static_cast<uint64_t>(minutes) * 60;
    s.ap_on = on;
    s.ap_min = minutes;
}

std::string po_what(const Jobs& j, int kind, int slot) {
    std::string what = kind == K_ALL ? "all" : kind == K_TOSS ? "toss" : "scan";
    if (kind != K_TOSS && slot >= 0 && j.sections && slot < static_cast<int>(j.ap_slots.size()))
        what += " " + j.ap_slots[slot].name;
    return what;
}

bool po_absolute(const std::string& p) {
    if (!p.empty() && p[0] == '/') return true;
#ifdef _WIN32
    // "\x" and "\\server\share\x" (the current drive's root at most) or
    // "C:\x"; "C:x" would go on from the drive's current directory.
    if (!p.empty() && p[0] == '\\') return true;
    return p.size() >= 3 && ((p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z') && p[1] == ':' &&
           (p[2] == '\\' || p[2] == '/');
#else
    return false;
#endif
}

bool po_exe(std::string& exe, int (*self)(char* out, size_t cap)) {
    exe.clear();
    const char* env = pf_getenv("WRENPOST_EXE");
    if (env != nullptr && env[0] != '\0') {
        exe = env;
    } else {
        // Larger than any path the systems give (4096 bytes on Linux,
        // 32767 UTF-16 units on Windows, two bytes each in its ANSI code page).
        std::vector<char> buf(65536 + 2);
        if (self(buf.data(), buf.size()) == 0) exe = buf.data();
    }
    if (po_absolute(exe)) return true;
    exe.clear();
    return false;
}

std::vector<std::string> po_argv(const Jobs& j, const char* exe, const char* cfg_path, int lang,
                                 int kind, int slot) {
    std::vector<std::string> a = {exe, "-lang", lang == LANG_EN ? "en" : "de", "-c", cfg_path};
    a.push_back(kind == K_ALL ? "all" : kind == K_TOSS ? "toss" : "scan");
    if (kind != K_TOSS && slot >= 0 && j.sections && slot < static_cast<int>(j.ap_slots.size()))
        a.push_back(j.ap_slots[slot].name);
    return a;
}

void po_started(Jobs& j, int kind, int slot, bool autostart, uint64_t now) {
    j.po_running = true;
    j.run_kind = kind;
    j.run_slot = slot;
    j.run_auto = autostart;
    j.run_since = now;
}

void po_done(Jobs& j, int code, uint64_t now) {
    j.po_running = false;
    if (j.run_kind != K_ALL) return;
    for (int i = 0; i < static_cast<int>(j.ap_slots.size()); ++i) {
        if (j.run_slot >= 0 && i != j.run_slot) continue;
        ApSlot& s = j.ap_slots[i];
        s.last_t = now;
        s.last_code = code;
        s.ap_next = now + static_cast<uint64_t>(s.ap_min) * 60;
    }
}

int po_due(const Jobs& j, uint64_t now) {
    if (j.po_running) return -1;
    for (int i = 0; i < static_cast<int>(j.ap_slots.size()); ++i) {
        const ApSlot& s = j.ap_slots[i];
        if (s.ap_on && s.ap_min > 0 && now >= s.ap_next) return i;
    }
    return -1;
}

void po_auto_started(Jobs& j, int slot, uint64_t now) {
    if (slot < 0 || slot >= static_cast<int>(j.ap_slots.size())) return;
    j.ap_slots[slot].ap_next = now + static_cast<uint64_t>(j.ap_slots[slot].ap_min) * 60;
}

std::u16string res_text(int code) {
    // One text per ExitCode; a child's other codes are shown as numbers.
    const char16_t* const tab[] = {w_r0, w_r1, w_r2, w_r3, w_r4, w_r5, w_r6, w_r7};
    static_assert(std::size(tab) == EXIT_STOPPED + 1, "one text per exit code");
    if (code >= 0 && code <= static_cast<int>(EXIT_STOPPED)) return tab[code];
    return std::u16string(w_rx) +
           (code < 0 ? u"-" + num(static_cast<uint64_t>(-code)) : num(static_cast<uint64_t>(code)));
}

std::u16string kind_text(int kind) {
    return kind == K_ALL ? w_k_all : kind == K_TOSS ? w_k_toss : w_k_scan;
}

std::u16string hms(uint64_t t) {
    uint64_t s = t % 86400;
    char16_t out[9] = {};
    uint64_t parts[3] = {s / 3600, s % 3600 / 60, s % 60};
    for (int i = 0; i < 3; ++i) {
        out[i * 3] = static_cast<char16_t>(u'0' + parts[i] / 10);
        out[i * 3 + 1] = static_cast<char16_t>(u'0' + parts[i] % 10);
        if (i < 2) out[i * 3 + 2] = u':';
    }
    return out;
}

std::u16string po_status(const Jobs& j) {
    std::u16string s = u"  ";
    if (j.po_running) {
        s += w_run + kind_text(j.run_kind);
        if (j.run_kind == K_ALL)
            s += j.run_slot >= 0 && j.run_slot < static_cast<int>(j.ap_slots.size())
                     ? wide(j.ap_slots[j.run_slot].name)
                     : std::u16string(w_allb);
        s += w_since + hms(j.run_since) + u"   |   ";
    }
    s += w_ap;
    for (size_t i = 0; i < j.ap_slots.size(); ++i) {
        const ApSlot& a = j.ap_slots[i];
        if (i > 0) s += u"   |   ";
        s += wide(a.name) + u": ";
        if (a.ap_on && a.ap_min > 0) {
            s += w_every;
            if (a.ap_min % 60 == 0)
                s += num(static_cast<uint64_t>(a.ap_min / 60)) + w_hours;
            else
                s += num(static_cast<uint64_t>(a.ap_min)) + w_min;
            s += hms(a.ap_next);
        } else {
            s += w_off;
        }
        s += w_last;
        s += a.last_t == 0 ? std::u16string(u"\u2013")
                           : hms(a.last_t) + u" " + res_text(a.last_code);
    }
    return s;
}

std::u16string glog_line(uint64_t now, const std::u16string& text) {
    std::string gui = m_gui;
    return u"[" + hms(now) + u"] " + wide(gui) + text;
}

void log_append(std::u16string& pane, const std::u16string& line) {
    if (pane.size() >= LOG_TRIM) pane.erase(0, LOG_CUT);
    pane += line;
    pane += u"\r\n";
}

std::u16string child_line(const std::string& line) {
    std::vector<char16_t> w(LOG_WLINE_MAX + 1);
    cp_to_wide(line.data(), line.size(), w.data(), w.size());
    return w.data();
}

int job_pump(PfChild& child, const std::function<void(const std::string&)>& on_line) {
    std::string line;
    bool any = false;
    char buf[4096];
    for (;;) {
        int64_t n = pf_read(child.out, buf, sizeof buf);
        if (n <= 0) break;
        for (int64_t i = 0; i < n; ++i) {
            char c = buf[i];
            if (c == '\r') continue;
            if (c == '\n') {
                on_line(line);
                line.clear();
                any = false;
                continue;
            }
            any = true;
            if (line.size() < LOG_LINE_MAX) line += c;
        }
    }
    if (any) on_line(line);
    pf_close(child.out);
    child.out = PF_INVALID;
    return pf_wait_child(child);
}
