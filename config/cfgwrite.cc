#include "config/cfgwrite.h"

#include <vector>

#include "config/messages.h"
#include "core/fileio.h"
#include "core/log.h"
#include "platform/platform.h"

const char* const st_keys[SK_COUNT] = {
    "address",    "boss_address", "boss_host", "boss_port",        "cram",     "inbound",
    "outbound",   "netmail",      "netname",   "autopoll",         "password", "areafix_name",
    "autocreate", "movebad",      "nr",        "areafix_password", "sysop",    "system",
};

namespace {

// One line of the text, read as every reader of the file reads it
// (core/cfgline.h).
CfgLine cl_next(const std::string& t, size_t begin) {
    return cfg_line(t.data(), t.size(), begin);
}

// A line the rewriter treats as a key line: a setting, or another line that
// is neither empty, a comment nor a header (copied as it is).
bool key_line_kind(const CfgLine& l) {
    return l.kind == CfgLineKind::Setting || l.kind == CfgLineKind::Other;
}

bool key_is(const std::string& t, const CfgLine& l, const char* key) {
    return cfg_line_key_is(t.data(), l, key);
}

// The value of a setting line, at most 255 bytes.
void line_value(const std::string& t, const CfgLine& l, char* out) {
    size_t n = l.value_end - l.value < CFG_STR - 1 ? l.value_end - l.value : CFG_STR - 1;
    for (size_t i = 0; i < n; ++i) out[i] = t[l.value + i];
    out[n] = '\0';
}

void header_name(const std::string& t, const CfgLine& l, char* out) {
    cfg_section_name(t.data() + l.first + 1, t.data() + l.stop, out);
}

int count_headers(const std::string& t) {
    int n = 0;
    for (size_t p = 0; p < t.size();) {
        CfgLine l = cl_next(t, p);
        if (l.kind == CfgLineKind::Header) ++n;
        p = l.end;
    }
    return n;
}

// CR LF when the first LF of the file follows a CR, else LF (also without
// any LF).
const char* eol_style(const std::string& t) {
    size_t lf = t.find('\n');
    return (lf != std::string::npos && lf > 0 && t[lf - 1] == '\r') ? "\r\n" : "\n";
}

// Copies a line; a last line without line end gets one.
void copy_line(std::string& out, const std::string& t, const CfgLine& l, const char* eol) {
    out.append(t, l.begin, l.end - l.begin);
    if (l.end == l.begin || t[l.end - 1] != '\n') out += eol;
}

void add_key_line(std::string& out, const char* key, const char* value, const char* eol) {
    out += key;
    out += '=';
    out += value;
    out += eol;
}

void wipe(void* p, size_t n) {
    volatile char* v = static_cast<volatile char*>(p);
    while (n-- > 0) *v++ = 0;
}

void wipe_str(std::string& s) {
    if (!s.empty()) wipe(&s[0], s.size());
    s.clear();
}

// Byte-for-byte equality (case matters).
bool same(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

const SlotSecret* secret_of(const Slot& s, int k) {
    if (k == SK_PASSWORD) return &s.pw;
    if (k == SK_AFPWD) return &s.afpw;
    return nullptr;
}
SlotSecret* secret_of(Slot& s, int k) {
    if (k == SK_PASSWORD) return &s.pw;
    if (k == SK_AFPWD) return &s.afpw;
    return nullptr;
}

// The interval text of an auto-poll value: hours + "h" for a multiple of 60
// minutes, else minutes + "m".
void interval_text(int minutes, char* out) {
    uint64_t m = minutes > 0 ? static_cast<uint64_t>(minutes) : 0;
    bool hours = m % 60 == 0;
    int n = u64_to_dec(hours ? m / 60 : m, out);
    out[n] = hours ? 'h' : 'm';
    out[n + 1] = '\0';
}

// The file for a writing pass: it must exist and be writable; then its text,
// refused at 16383 bytes or more. 0 or 1.
int read_for_write(const char* path, std::string& text) {
    PfStat st = pf_stat(path);
    if (!st.exists || st.is_dir || st.read_only) return 1;
    pf_file h = pf_open(path, PfAccess::ReadWrite, PfCreate::OpenExisting);
    if (h == PF_INVALID) return 1;
    f_close(h);
    return cf_read(path, text);
}

bool has_any(const char* s, const char* set) {
    for (; *s != '\0'; ++s)
        if (str_chr(set, *s) != nullptr) return true;
    return false;
}

// A value holding a line break would write lines of its own, and a new
// section name must read back as the same name: such a state is refused
// rather than written.
bool values_fit(const CfgEdit& e) {
    char v[CFG_STR];
    bool fit = true;
    for (int i = 0; i < e.nslots && i < MAX_BOSS && fit; ++i) {
        const Slot& s = e.slots[i];
        if (s.state == ST_DELETED) continue;
        if (s.state == ST_NEW && (s.name[0] == '\0' || has_any(s.name, " \t]\r\n"))) fit = false;
        for (int k = 0; k < SK_COUNT && fit; ++k) {
            if (s.state != ST_NEW && !field_dirty(s, k)) continue;
            field_val(s, k, v);
            fit = !has_any(v, "\r\n");
        }
    }
    wipe(v, sizeof v);
    return fit;
}

// Section walk of cfg_rewrite_text.
struct Rewriter {
    const CfgEdit& e;
    const std::string& in;
    std::string& out;
    const char* eol;
    bool single;
    int cur = -1;  // slot of the current part: -1 the global part
    // The sections of the text are no longer those the dialog scanned (a
    // section gone or renamed, the format changed): writing by position
    // would put values into the wrong section or drop them.
    bool stale = false;
    bool handled[SK_COUNT] = {};
    size_t ins = 0;  // where keys missing in the current slot go

    // A slot of the file the dialog knows and may change. The format of the
    // text must still be the one scanned.
    bool known(int i) const {
        return e.single == single && i >= 0 && i < e.nfile && e.slots[i].state != ST_NEW;
    }

    void finish() {
        if (!known(cur) || e.slots[cur].state != ST_EXISTING) return;
        const Slot& s = e.slots[cur];
        std::string block;
        char v[CFG_STR];
        for (int k = 0; k < SK_COUNT; ++k) {
            if (handled[k] || !field_dirty(s, k)) continue;
            field_val(s, k, v);
            if (v[0] != '\0') add_key_line(block, st_keys[k], v, eol);
        }
        wipe(v, sizeof v);
        out.insert(ins, block);
        wipe_str(block);
    }

    void key_line(const CfgLine& l) {
        if (!known(cur)) {
            copy_line(out, in, l, eol);
            return;
        }
        const Slot& s = e.slots[cur];
        int k = 0;
        while (k < SK_COUNT && !(field_dirty(s, k) && key_is(in, l, st_keys[k]))) ++k;
        if (k == SK_COUNT) {
            copy_line(out, in, l, eol);
        } else if (!handled[k]) {
            handled[k] = true;
            char v[CFG_STR];
            field_val(s, k, v);
            if (v[0] != '\0') {
                out.append(in, l.begin, l.first - l.begin);
                add_key_line(out, st_keys[k], v, eol);
            }
            wipe(v, sizeof v);
        }  // else: a second line of a key already written is dropped
    }

    void new_slot(const Slot& s) {
        if (!out.empty()) out += eol;
        out += "[boss ";
        out += s.name;
        out += ']';
        out += eol;
        char v[CFG_STR];
        for (int k = 0; k < SK_COUNT; ++k) {
            if (k == SK_AUTOPOLL && !s.ap_on && s.ap_min == 0) continue;
            const SlotSecret* sec = secret_of(s, k);
            if (sec != nullptr && !sec->typed) continue;
            field_val(s, k, v);
            if (v[0] != '\0') add_key_line(out, st_keys[k], v, eol);
        }
        wipe(v, sizeof v);
    }

    void run() {
        cur = single ? 0 : -1;
        bool dropping = false;
        int header = -1;
        for (size_t p = 0; p < in.size();) {
            CfgLine l = cl_next(in, p);
            p = l.end;
            if (l.kind == CfgLineKind::Header && !single) {
                finish();
                cur = ++header;
                if (known(cur)) {
                    char name[BNAME_MAX];
                    header_name(in, l, name);
                    if (!same(name, e.slots[cur].name)) stale = true;
                }
                for (bool& h : handled) h = false;
                dropping = known(cur) && e.slots[cur].state == ST_DELETED;
                if (!dropping) {
                    copy_line(out, in, l, eol);
                    ins = out.size();
                }
                continue;
            }
            if (dropping) continue;
            if (!key_line_kind(l)) {
                copy_line(out, in, l, eol);
                continue;
            }
            key_line(l);
            ins = out.size();
        }
        finish();
        if (e.single != single || (!single && header + 1 < e.nfile)) stale = true;
        for (int i = 0; i < e.nslots && i < MAX_BOSS; ++i)
            if (e.slots[i].state == ST_NEW) new_slot(e.slots[i]);
    }
};

}  // namespace

int cf_read(const char* cfg_path, std::string& text) {
    UniqueFile h(f_open_read(cfg_path));
    if (!h) return 1;
    int64_t size = f_size(h.get());
    if (size < 0 || size >= static_cast<int64_t>(CFG_WRITE_LIMIT)) return 1;
    text.assign(static_cast<size_t>(size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        size_t r = f_read(h.get(), &text[got], text.size() - got);
        if (r == 0) break;
        got += r;
    }
    if (got != text.size()) return 1;
    return 0;
}

int cf_write(const char* cfg_path, const std::string& text) {
    // A configuration kept as a symbolic link is written where the link
    // points, so the link stays a link.
    char real[WP_PATH_MAX];
    if (pf_real_path(cfg_path, real, sizeof real) != 0) return 1;  // never create a vanished file
    // The file itself must be writable: replacing it through the directory
    // would otherwise change a configuration its owner made read-only.
    PfStat st = pf_stat(real);
    if (!st.exists || st.is_dir || st.read_only) return 1;
    pf_file probe = pf_open(real, PfAccess::ReadWrite, PfCreate::OpenExisting);
    if (probe == PF_INVALID) return 1;
    f_close(probe);
    cf_drop_stale(real);
    // The temporary name carries the writer's pid: the toss run and the
    // editor may write at the same time, and a shared name would let one
    // truncate, fill or rename away the other's half-written file.
    char suffix[24];
    str_copy(suffix, CF_SCRATCH, sizeof suffix);
    u64_to_dec(pf_getpid(), suffix + str_len(CF_SCRATCH));
    char tmp[WP_PATH_MAX];
    str_copy(tmp, real, sizeof tmp);
    str_cat(tmp, suffix, sizeof tmp);
    if (str_len(tmp) != str_len(real) + str_len(suffix)) return 1;  // path too long
    // The file holds session passwords: the scratch copy is created afresh
    // (an old copy under this pid would keep its own mode when truncated),
    // readable by its owner alone until it has the file's owner and group,
    // and only then gets the file's mode. A copy that cannot have them is
    // not written: renamed over the file, it would hand the passwords to the
    // writer's group (or take the file from its owner).
    pf_delete(tmp);
    pf_file h = pf_open_mode(tmp, PfAccess::ReadWrite, PfCreate::CreateNew, st.mode & 0700);
    if (h == PF_INVALID) return 1;
    if (pf_chown_like(h, real) != 0) {
        f_close(h);
        pf_delete(tmp);
        log_msg2(m_cfg_owner, real);
        return 1;
    }
    bool ok = f_write(h, text.data(), text.size()) == 0 && pf_sync(h) == 0;
    f_close(h);
    if (ok) ok = pf_chmod(tmp, st.mode) == 0;
    if (ok) ok = pf_rename(tmp, real, true) == 0;
    if (!ok) pf_delete(tmp);
    return ok ? 0 : 1;
}

int cf_drop_stale(const char* real) {
    const char* slash = nullptr;
    for (const char* p = real; *p != '\0'; ++p)
        if (*p == '/') slash = p;
    char dir[WP_PATH_MAX];
    const char* base = real;
    if (slash == nullptr) {
        str_copy(dir, ".", sizeof dir);
    } else {
        size_t n = static_cast<size_t>(slash - real);
        if (n + 1 > sizeof dir) return 0;
        for (size_t i = 0; i < n; ++i) dir[i] = real[i];
        dir[n == 0 ? 1 : n] = '\0';
        if (n == 0) dir[0] = '/';
        base = slash + 1;
    }
    std::vector<PfDirEntry> list;
    if (pf_list_dir(dir, list) != 0) return 0;
    size_t blen = str_len(base);
    size_t slen = str_len(CF_SCRATCH);
    int removed = 0;
    for (const PfDirEntry& d : list) {
        const char* n = d.name.c_str();
        if (!d.is_file || d.name.size() <= blen + slen) continue;
        if (d.name.compare(0, blen, base) != 0 || d.name.compare(blen, slen, CF_SCRATCH) != 0)
            continue;
        const char* digits = n + blen + slen;
        const char* end = nullptr;
        uint64_t pid = parse_u64(digits, &end);
        if (*digits < '0' || *digits > '9' || end == nullptr || *end != '\0' || pid > 0xffffffffu)
            continue;
        auto p32 = static_cast<uint32_t>(pid);
        if (p32 == pf_getpid() || pf_pid_alive(p32)) continue;
        char path[WP_PATH_MAX];
        str_copy(path, dir, sizeof path);
        str_cat(path, "/", sizeof path);
        str_cat(path, n, sizeof path);
        if (str_len(path) != str_len(dir) + 1 + d.name.size()) continue;
        if (pf_delete(path) == 0) ++removed;
    }
    return removed;
}

bool field_dirty(const Slot& s, int k) {
    if (k < 0 || k >= SK_COUNT) return false;
    if (const SlotSecret* sec = secret_of(s, k)) return sec->typed;
    if (k == SK_AUTOPOLL) return s.ap_on != s.ap_on0 || s.ap_min != s.ap_min0;
    return !same(s.oldv[k], s.newv[k]);
}

void field_val(const Slot& s, int k, char* out) {
    out[0] = '\0';
    if (k < 0 || k >= SK_COUNT) return;
    if (const SlotSecret* sec = secret_of(s, k)) {
        str_copy(out, sec->text, CFG_STR);
    } else if (k == SK_AUTOPOLL) {
        char iv[24];
        interval_text(s.ap_min, iv);
        if (s.ap_on) {
            str_copy(out, iv, CFG_STR);
        } else {
            str_copy(out, "off", CFG_STR);
            if (s.ap_min > 0) {
                str_cat(out, " ", CFG_STR);
                str_cat(out, iv, CFG_STR);
            }
        }
    } else {
        str_copy(out, s.newv[k], CFG_STR);
    }
}

CfgResult st_scan(CfgEdit& e, const char* path) {
    st_scan_text(e, std::string());
    e.nslots = e.nfile = 0;
    str_copy(e.path, path, sizeof e.path);
    pf_file h = f_open_read(path);
    if (h == PF_INVALID) return CfgResult::Failed;
    std::string t(CFG_READ_MAX, '\0');
    size_t n = 0;
    bool failed = false;
    while (n < t.size()) {
        int64_t r = pf_read(h, &t[n], t.size() - n);
        if (r <= 0) {
            failed = r < 0;
            break;
        }
        n += static_cast<size_t>(r);
    }
    f_close(h);
    t.resize(n);
    if (!failed) st_scan_text(e, t);
    wipe_str(t);
    return failed ? CfgResult::Failed : CfgResult::Ok;
}

void st_scan_text(CfgEdit& e, const std::string& t) {
    st_wipe(e);
    e.single = false;
    e.nslots = 0;
    e.nfile = 0;
    for (Slot& s : e.slots) s = Slot{};
    e.gsysop_old[0] = e.gsysop_new[0] = e.gsystem_old[0] = e.gsystem_new[0] = '\0';

    int headers = count_headers(t);
    e.single = headers == 0;
    e.nfile = e.single ? 1 : (headers < MAX_BOSS ? headers : MAX_BOSS);
    e.nslots = e.nfile;
    int cur = e.single ? 0 : -1;  // -1 global part, -2 a section beyond the 16th
    int header = -1;
    char v[CFG_STR];
    for (size_t p = 0; p < t.size();) {
        CfgLine l = cl_next(t, p);
        p = l.end;
        if (l.kind == CfgLineKind::Header && !e.single) {
            ++header;
            cur = header < MAX_BOSS ? header : -2;
            if (cur >= 0) header_name(t, l, e.slots[cur].name);
            continue;
        }
        if (l.kind != CfgLineKind::Setting) continue;
        if (e.single || cur == -1) {
            if (key_is(t, l, "sysop")) line_value(t, l, e.gsysop_old);
            if (key_is(t, l, "system")) line_value(t, l, e.gsystem_old);
        }
        if (cur < 0) continue;
        Slot& s = e.slots[cur];
        for (int k = 0; k < SK_COUNT; ++k) {
            if (!key_is(t, l, st_keys[k])) continue;
            line_value(t, l, v);
            if (SlotSecret* sec = secret_of(s, k)) {
                sec->stored = v[0] != '\0';
                wipe(v, sizeof v);
            } else {
                str_copy(s.oldv[k], v, CFG_STR);
            }
            break;
        }
    }
    wipe(v, sizeof v);
    if (e.single) e.slots[0].oldv[SK_SYSOP][0] = e.slots[0].oldv[SK_SYSTEM][0] = '\0';
    for (int i = 0; i < e.nslots; ++i)
        for (int k = 0; k < SK_COUNT; ++k)
            str_copy(e.slots[i].newv[k], e.slots[i].oldv[k], CFG_STR);
    str_copy(e.gsysop_new, e.gsysop_old, CFG_STR);
    str_copy(e.gsystem_new, e.gsystem_old, CFG_STR);
}

int st_add(CfgEdit& e, const char* name) {
    if (e.single || e.nslots >= MAX_BOSS) return -1;
    int i = e.nslots++;
    e.slots[i] = Slot{};
    str_copy(e.slots[i].name, name, BNAME_MAX);
    e.slots[i].state = ST_NEW;
    return i;
}

void st_wipe(CfgEdit& e) {
    for (Slot& s : e.slots) {
        wipe(s.pw.text, sizeof s.pw.text);
        wipe(s.afpw.text, sizeof s.afpw.text);
        s.pw.typed = s.afpw.typed = false;
    }
}

CfgResult cfg_rewrite_text(const CfgEdit& e, const std::string& in, std::string& out) {
    out.clear();
    if (!values_fit(e)) return CfgResult::Failed;
    out.reserve(in.size() + 4096);
    Rewriter rw{e, in, out, eol_style(in), count_headers(in) == 0};
    rw.run();
    return rw.stale || out.size() > CFG_OUT_MAX ? CfgResult::Failed : CfgResult::Ok;
}

CfgResult gkey_text(const std::string& in, const char* key, const char* value, std::string& out) {
    out.clear();
    if (key[0] == '\0' || has_any(key, " \t=\r\n") || has_any(value, "\r\n"))
        return CfgResult::Failed;
    const char* eol = eol_style(in);
    bool del = value[0] == '\0';
    bool matched = false;
    bool global = true;  // still before the first section header
    out.clear();
    out.reserve(in.size() + str_len(key) + str_len(value) + 3);
    for (size_t p = 0; p < in.size();) {
        CfgLine l = cl_next(in, p);
        p = l.end;
        if (global && l.kind == CfgLineKind::Header) {
            global = false;
            if (!matched && !del) add_key_line(out, key, value, eol);
        } else if (global && key_is(in, l, key)) {
            if (!matched && !del) add_key_line(out, key, value, eol);
            matched = true;
            continue;
        }
        copy_line(out, in, l, eol);
    }
    if (global && !matched && !del) add_key_line(out, key, value, eol);
    return out.size() > CFG_OUT_MAX ? CfgResult::Failed : CfgResult::Ok;
}

CfgResult cfg_write(const CfgEdit& e) {
    std::string in;
    if (read_for_write(e.path, in) != 0) return CfgResult::Failed;
    std::string out;
    CfgResult rc = cfg_rewrite_text(e, in, out);
    if (rc == CfgResult::Ok && cf_write(e.path, out) != 0) rc = CfgResult::Failed;
    wipe_str(in);
    wipe_str(out);
    return rc;
}

CfgResult gkey_write(const char* path, const char* key, const char* value) {
    std::string in;
    if (read_for_write(path, in) != 0) return CfgResult::Failed;
    std::string out;
    CfgResult rc = gkey_text(in, key, value, out);
    if (rc == CfgResult::Ok && cf_write(path, out) != 0) rc = CfgResult::Failed;
    wipe_str(in);
    wipe_str(out);
    return rc;
}

CfgResult glob_write(const CfgEdit& e) {
    if (!same(e.gsysop_old, e.gsysop_new) &&
        gkey_write(e.path, "sysop", e.gsysop_new) != CfgResult::Ok)
        return CfgResult::Failed;
    if (!same(e.gsystem_old, e.gsystem_new) &&
        gkey_write(e.path, "system", e.gsystem_new) != CfgResult::Ok)
        return CfgResult::Failed;
    return CfgResult::Ok;
}

CfgResult lang_write(const char* path, int choice) {
    static const char* const values[] = {"auto", "de", "en"};
    if (choice < 0 || choice > 2) return CfgResult::Failed;
    return gkey_write(path, "language", values[choice]);
}
