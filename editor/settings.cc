#include "editor/settings.h"

#include <cctype>
#include <cstring>

#include "core/strutil.h"

namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// 1 to 5 digits at p, at most `max`; advances p.
bool number(const char*& p, long lo, long max) {
    const char* s = p;
    long v = 0;
    while (digit(*p) && p - s < 6) v = v * 10 + (*p++ - '0');
    return p - s >= 1 && p - s <= 5 && v >= lo && v <= max;
}

bool means_no(const char* v) {
    return str_icmp(v, "no") == 0 || str_icmp(v, "off") == 0 || str_icmp(v, "0") == 0 ||
           str_icmp(v, "false") == 0;
}

std::u16string wide(const char* s) {
    std::u16string w;
    for (; *s; ++s) w += static_cast<char16_t>(static_cast<uint8_t>(*s));
    return w;
}

struct FieldRule {
    int key;
    int max;     // characters
    bool ascii;  // else the code page
};
// The edit fields in the order they are checked.
const FieldRule FIELDS[] = {
    {SK_ADDRESS, ST_FIELD_MAX, true},  {SK_BOSSADDR, ST_FIELD_MAX, true},
    {SK_HOST, ST_FIELD_MAX, true},     {SK_PORT, 5, true},
    {SK_INBOUND, ST_FIELD_MAX, false}, {SK_OUTBOUND, ST_FIELD_MAX, false},
    {SK_NETMAIL, ST_FIELD_MAX, false}, {SK_NETNAME, ST_FIELD_MAX, false},
    {SK_AFNAME, ST_AFNAME_MAX, true},
};

}  // namespace

bool st_addr_ok(const char* s) {
    const char* p = s;
    if (!number(p, 1, 32767) || *p++ != ':') return false;
    if (!number(p, 0, 65535) || *p++ != '/') return false;
    if (!number(p, 0, 65535)) return false;
    if (*p == '.') {
        ++p;
        if (!number(p, 0, 65535)) return false;
    }
    if (*p == '@') {
        ++p;
        if (*p == '\0') return false;
        for (; *p; ++p)
            if (!(std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '_' ||
                  *p == '.'))
                return false;
    }
    return *p == '\0';
}

bool st_host_ok(const char* s) {
    if (*s == '\0') return false;
    for (; *s; ++s)
        if (!(std::isalnum(static_cast<unsigned char>(*s)) || std::strchr(".-_:[]", *s)))
            return false;
    return true;
}

bool st_port_ok(const char* s) {
    if (*s == '\0') return true;
    long v = 0;
    int n = 0;
    for (; *s; ++s, ++n) {
        if (!digit(*s) || n >= 5) return false;
        v = v * 10 + (*s - '0');
    }
    return v >= 1 && v <= 65535;
}

bool st_password_ok(const char* s) {
    size_t n = std::strlen(s);
    if (n < 1 || n > ST_PW_MAX || s[0] == ' ' || s[n - 1] == ' ') return false;
    for (size_t i = 0; i < n; ++i)
        if (!(s[i] == ' ' || (s[i] >= 0x21 && s[i] <= 0x7E))) return false;
    return true;
}

bool st_section_ok(const CfgEdit& e, int self, const char* name) {
    size_t n = std::strlen(name);
    if (n < 1 || n > ST_SECT_MAX) return false;
    for (const char* p = name; *p; ++p)
        if (!(std::isalnum(static_cast<unsigned char>(*p)) || *p == '_' || *p == '-' || *p == '.'))
            return false;
    for (int i = 0; i < e.nslots; ++i)
        if (i != self && e.slots[i].state != ST_DELETED && str_icmp(e.slots[i].name, name) == 0)
            return false;
    return true;
}

int origin_max(const char* addr) {
    int a = 0;
    while (addr[a] != '\0' && addr[a] != '@' && addr[a] != ' ') ++a;
    int n = 65 - a;
    return n < 1 ? 1 : n;
}

bool st_accept(const std::u16string& in, bool ascii, std::string& out) {
    out.clear();
    if (in.size() > ST_FIELD_MAX) return false;
    for (char16_t c : in) {
        if (c < 0x20) return false;
        if (ascii ? c > 0x7E : c > 0xFF) return false;
        out += static_cast<char>(c);
    }
    size_t a = 0, b = out.size();
    while (a < b && (out[a] == ' ' || out[a] == '\t')) ++a;
    while (b > a && (out[b - 1] == ' ' || out[b - 1] == '\t')) --b;
    out = out.substr(a, b - a);
    return true;
}

int st_interval(const std::u16string& text, bool hours) {
    if (text.empty() || text.size() > 6) return -1;
    long v = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return -1;
        v = v * 10 + (c - u'0');
    }
    if (hours) v *= 60;
    return v >= 1 && v <= 10080 ? static_cast<int>(v) : -1;
}

void st_interval_show(int minutes, std::u16string& text, bool& hours) {
    if (minutes <= 0) minutes = 30;
    hours = minutes % 60 == 0;
    char n[21];
    u64_to_dec(static_cast<uint64_t>(hours ? minutes / 60 : minutes), n);
    text = wide(n);
}

SlotForm st_form(const CfgEdit& e, int i) {
    const Slot& s = e.slots[i];
    SlotForm f;
    f.section = wide(s.name);
    for (int k = 0; k < SK_COUNT; ++k) f.field[k] = wide(s.newv[k]);
    f.field[SK_PASSWORD].clear();
    f.field[SK_AFPWD].clear();
    const char* cram = s.newv[SK_CRAM];
    f.cram = str_icmp(cram, "required") == 0 ? 1 : str_icmp(cram, "no") == 0 ? 2 : 0;
    f.own = s.oldv[SK_SYSOP][0] != '\0' || s.oldv[SK_SYSTEM][0] != '\0' ||
            s.newv[SK_SYSOP][0] != '\0' || s.newv[SK_SYSTEM][0] != '\0';
    f.ap_on = s.ap_on;
    st_interval_show(s.ap_min, f.interval, f.hours);
    if (s.pw.typed) f.pw = wide(s.pw.text);
    if (s.afpw.typed) f.afpw = wide(s.afpw.text);
    f.autocreate = !means_no(s.newv[SK_AUTOCREATE]);
    f.movebad = !means_no(s.newv[SK_MOVEBAD]);
    f.nr = !means_no(s.newv[SK_NR]);
    return f;
}

StError save_slot(CfgEdit& e, int i, const SlotForm& form, const SlotForm& shown,
                  const char* global_address) {
    Slot& s = e.slots[i];
    StError err;
    bool fresh = s.state == ST_NEW;
    std::string v;
    if (fresh) {
        if (!st_accept(form.section, true, v) || !st_section_ok(e, i, v.c_str())) {
            err.what = ST_ERR_SECTION;
            return err;
        }
        str_copy(s.name, v.c_str(), BNAME_MAX);
    }
    for (const FieldRule& r : FIELDS) {
        if (!fresh && form.field[r.key] == shown.field[r.key]) continue;
        bool ok =
            st_accept(form.field[r.key], r.ascii, v) && v.size() <= static_cast<size_t>(r.max);
        if (ok && (r.key == SK_ADDRESS || r.key == SK_BOSSADDR)) ok = st_addr_ok(v.c_str());
        if (ok && r.key == SK_HOST) ok = st_host_ok(v.c_str());
        if (ok && r.key == SK_PORT) ok = st_port_ok(v.c_str());
        if (!ok) {
            err.what = r.key;
            return err;
        }
        str_copy(s.newv[r.key], v.c_str(), CFG_STR);
    }
    if (form.cram != shown.cram)
        str_copy(s.newv[SK_CRAM],
                 form.cram == 1   ? "required"
                 : form.cram == 2 ? "no"
                                  : "",
                 CFG_STR);
    if (!e.single) {
        if (!form.own) {
            s.newv[SK_SYSOP][0] = '\0';
            s.newv[SK_SYSTEM][0] = '\0';
        } else {
            if (!st_accept(form.field[SK_SYSOP], true, v) || v.size() > ST_NAME_MAX) {
                err.what = SK_SYSOP;
                return err;
            }
            str_copy(s.newv[SK_SYSOP], v.c_str(), CFG_STR);
            if (!st_accept(form.field[SK_SYSTEM], true, v)) {
                err.what = SK_SYSTEM;
                return err;
            }
            const char* addr = s.newv[SK_ADDRESS][0] ? s.newv[SK_ADDRESS] : global_address;
            int max = origin_max(addr);
            if (static_cast<int>(v.size()) > max) {
                err.what = ST_ERR_ORIGIN_LEN;
                err.limit = max;
                return err;
            }
            str_copy(s.newv[SK_SYSTEM], v.c_str(), CFG_STR);
        }
    }
    int iv = st_interval(form.interval, form.hours);
    if (form.ap_on) {
        if (iv < 0) {
            err.what = ST_ERR_INTERVAL;
            return err;
        }
        s.ap_on = true;
        s.ap_min = iv;
    } else {
        s.ap_on = false;
        if (iv > 0 && s.ap_min > 0) s.ap_min = iv;
    }
    struct {
        const std::u16string& text;
        SlotSecret& secret;
        int key;
    } pws[] = {{form.pw, s.pw, SK_PASSWORD}, {form.afpw, s.afpw, SK_AFPWD}};
    for (auto& p : pws) {
        if (p.text.empty()) continue;
        if (!st_accept(p.text, true, v) || v.size() != p.text.size() ||
            !st_password_ok(v.c_str())) {
            err.what = p.key;
            return err;
        }
        p.secret.typed = true;
        str_copy(p.secret.text, v.c_str(), CFG_STR);
    }
    if (form.autocreate != shown.autocreate)
        str_copy(s.newv[SK_AUTOCREATE], form.autocreate ? "yes" : "no", CFG_STR);
    if (form.movebad != shown.movebad)
        str_copy(s.newv[SK_MOVEBAD], form.movebad ? "yes" : "no", CFG_STR);
    if (form.nr != shown.nr) str_copy(s.newv[SK_NR], form.nr ? "yes" : "no", CFG_STR);
    return err;
}

int global_origin_limit(const CfgEdit& e, const std::string& system, const char* global_address,
                        int* slot) {
    std::string text = system.empty() ? "wrenpost" : system;
    for (int i = 0; i < e.nslots; ++i) {
        const Slot& s = e.slots[i];
        if (s.state == ST_DELETED || s.newv[SK_SYSTEM][0] != '\0') continue;
        const char* addr = s.newv[SK_ADDRESS][0] ? s.newv[SK_ADDRESS] : global_address;
        int max = origin_max(addr);
        if (static_cast<int>(text.size()) > max) {
            if (slot) *slot = i;
            return max;
        }
    }
    return 0;
}
