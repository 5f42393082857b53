#include "editor/compose.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "areafix/request.h"
#include "config/msgserial.h"
#include "core/bytes.h"
#include "core/charset.h"
#include "core/cp437.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "editor/messages.h"
#include "jam/crc32.h"
#include "jam/jam_format.h"
#include "msgarea/msgarea.h"
#include "platform/platform.h"

namespace {

constexpr const char* PID_TEXT = "wrenpost 0.9";
constexpr const char* TEAR_LINE = "--- wrenpost 0.9\r";
constexpr size_t ORIGIN_MAX = 79;

bool blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string trim(const std::u16string& s) {
    size_t a = 0, b = s.size();
    while (a < b && blank(s[a])) ++a;
    while (b > a && blank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

// A field in code page 437, trimmed, at most max bytes.
std::string field_cp(const std::u16string& s, size_t max) {
    std::u16string t = trim(s);
    std::string out(t.size() + 1, '\0');
    wide_to_cp(t.c_str(), out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    if (out.size() > max) out.resize(max);
    return out;
}

// A trimmed field written in set cs, at most max bytes, never cut inside a
// UTF-8 sequence; NUL characters are dropped.
std::string field_enc(const std::u16string& s, size_t max, int cs) {
    std::string out = cs_encode(cs, trim(s));
    out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
    if (out.size() > max) {
        size_t n = max;
        if (cs == CS_UTF8)
            while (n > 0 && (static_cast<uint8_t>(out[n]) & 0xC0) == 0x80) --n;
        out.resize(n);
    }
    return out;
}

// Digits at p into v; false when there are none or the value passes 32 bits.
bool digits(const char*& p, uint32_t& v, bool may_be_empty) {
    uint64_t n = 0;
    const char* start = p;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > UINT32_MAX) return false;
        ++p;
    }
    v = static_cast<uint32_t>(n);
    return p != start || may_be_empty;
}

std::string addr_text(const ftn_addr& a) {
    char t[FTN_TEXT_MAX];
    return std::string(t, ftn_fmt(t, a));
}

bool fido_zone(uint32_t z) {
    return z >= 1 && z <= 6;
}

// Bytes of set cs into UTF-16; control bytes other than tab show as the
// code page's screen glyphs, as the reader shows them.
void put_cs(std::u16string& out, const char* p, size_t n, int cs) {
    for (size_t i = 0; i < n;) {
        uint8_t c = static_cast<uint8_t>(p[i]);
        if (c < 0x80) {
            out += c == '\t' ? u'\t' : static_cast<char16_t>(cp437_uni[c]);
            ++i;
            continue;
        }
        size_t used;
        char32_t ch = cs_next(cs, p + i, n - i, used);
        i += used;
        if (ch >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((ch - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((ch - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(ch);
        }
    }
}

bool starts(const char* p, size_t n, const char* prefix) {
    size_t k = std::strlen(prefix);
    return n >= k && std::memcmp(p, prefix, k) == 0;
}

}  // namespace

int parse_ftn(const char* text, ftn_addr& a) {
    a = ftn_addr{};
    const char* p = text;
    if (!digits(p, a.zone, false) || a.zone == 0 || *p++ != ':') return 0;
    if (!digits(p, a.net, true) || *p++ != '/') return 0;
    if (!digits(p, a.node, false)) return 0;
    if (*p == '.') {
        ++p;
        if (!digits(p, a.point, false)) return 0;
    }
    return *p == '\0' || *p == '@' || *p == ' ' ? 1 : 0;
}

int net_for_zone(const EdNets& nets, uint32_t zone) {
    for (int i = 0; i < nets.ed_net_count; ++i)
        if (nets.ed_nets[i].NT_ZONE == zone && nets.ed_nets[i].NT_NMAREA != AR_NONET) return i;
    if (fido_zone(zone))
        for (int i = 0; i < nets.ed_net_count; ++i)
            if (fido_zone(nets.ed_nets[i].NT_ZONE) && nets.ed_nets[i].NT_NMAREA != AR_NONET)
                return i;
    return -1;
}

std::u16string reply_subject(const std::u16string& subject) {
    bool has_re = subject.size() >= 3 && (subject[0] == u'R' || subject[0] == u'r') &&
                  (subject[1] == u'E' || subject[1] == u'e') && subject[2] == u':';
    std::u16string s = has_re ? subject : u"Re: " + subject;
    if (s.size() > CP_SUBJ_MAX) s.resize(CP_SUBJ_MAX);
    return s;
}

std::u16string build_quote(const std::u16string& from, const char* text, uint32_t len, int cs) {
    // Words of the sender's name, separated by blanks.
    std::u16string first, initials;
    {
        size_t a = 0;
        while (a < from.size() && from[a] == u' ') ++a;
        size_t b = a;
        while (b < from.size() && from[b] != u' ') ++b;
        first = from.substr(a, b - a);
        if (!first.empty()) initials += first[0];
        size_t e = from.size();
        while (e > b && from[e - 1] == u' ') --e;
        size_t s = e;
        while (s > b && from[s - 1] != u' ') --s;
        if (s < e) initials += from[s];
    }
    std::u16string out = w_hallo + first + u",\r\n\r\n";
    if (text == nullptr) return out;
    size_t i = 0;
    while (i < len && out.size() + 8 < CP_QUOTE_MAX) {
        // One line: up to CR (an LF after it belongs to the line end) or a
        // lone LF.
        size_t e = i;
        while (e < len && text[e] != '\r' && text[e] != '\n') ++e;
        const char* l = text + i;
        size_t n = e - i;
        i = e;
        if (i < len && text[i] == '\r') ++i;
        if (i < len && text[i] == '\n') ++i;

        if (n > 0 && l[0] == '\x01') continue;
        if (starts(l, n, "SEEN-BY:") || starts(l, n, " * Origin:")) continue;
        if (starts(l, n, "---") && (n == 3 || l[3] == ' ')) continue;
        if (n == 0) {
            out += u"\r\n";
            continue;
        }
        // Already a quote: a ">" within the first 6 bytes before any "<".
        size_t gt = n;
        for (size_t k = 0; k < n && k < 6; ++k) {
            if (l[k] == '<') break;
            if (l[k] == '>') {
                gt = k;
                break;
            }
        }
        std::string line;
        if (gt < n) {
            size_t s = 0;
            while (s < n && l[s] == ' ') ++s;
            line.assign(l + s, n - s);
            line.insert(gt - s + 1, ">");
        } else {
            line.assign(l, n);
        }
        // ANSI escape sequences are dropped.
        std::string clean;
        for (size_t k = 0; k < line.size(); ++k) {
            if (line[k] == '\x1b' && k + 1 < line.size() && line[k + 1] == '[') {
                k += 2;
                while (k < line.size() && static_cast<uint8_t>(line[k]) < 0x40) ++k;
                continue;
            }
            clean += line[k];
        }
        std::u16string w = u" ";
        if (gt >= n) w += initials + u"> ";
        put_cs(w, clean.data(), clean.size(), cs);
        if (out.size() + w.size() + 4 >= CP_QUOTE_MAX) break;
        out += w;
        out += u"\r\n";
    }
    out += u"\r\n";
    return out;
}

void cp_reply_fields(const EdBase& eb, uint32_t entry, ComposeInput& in) {
    const EdMsg& m = eb.ej_msgs[entry];
    const EdRow& t = ej_row(eb, entry);  // copied out before any other row is asked for
    in.reply = true;
    in.orig_area = eb.ej_area;
    in.orig_num = m.MS_NUM;
    in.area = eb.ej_area;
    in.mode = eb.ej_area >= 0 && eb.ed_areas[eb.ej_area].AR_TYPE == AT_NET ? CM_NETMAIL : CM_ECHO;
    in.to = t.MS_FROM;
    // The list shows "********" for AreaFix traffic; the real subject is in
    // the subfield.
    in.orig_cs = t.MS_CS;
    std::u16string listed_subj = t.MS_SUBJ;
    uint32_t len = 0;
    const uint8_t* subj = ej_find_sf(eb, entry, SF_SUBJECT, len);
    if (subj != nullptr) {
        std::u16string w = cs_decode(in.orig_cs, reinterpret_cast<const char*>(subj), len);
        w.resize(std::min(w.find(u'\0'), w.size()));
        in.subject = reply_subject(w);
    } else {
        in.subject = reply_subject(listed_subj);
    }
    const uint8_t* id = ej_find_sf(eb, entry, SF_MSGID, len);
    in.orig_msgid.assign(id ? reinterpret_cast<const char*>(id) : "",
                         id ? (len < 120 ? len : 120) : 0);
    in.orig_msgid.resize(std::strlen(in.orig_msgid.c_str()));
    in.address.clear();
    if (in.mode == CM_NETMAIL) {
        const uint8_t* oa = ej_find_sf(eb, entry, SF_OADDR, len);
        if (oa != nullptr) {
            char16_t a[CP_ADDR_MAX + 1];
            cp_to_wide(reinterpret_cast<const char*>(oa), len, a, CP_ADDR_MAX + 1);
            in.address = a;
        }
    }
}

int cp_build(const EdBase& eb, const EdNets& nets, const ComposeInput& in, uint32_t serial,
             uint32_t now, int tz_minutes, CpMessage& out) {
    out = CpMessage{};
    // A longer text is refused whole: a cut would lose its tail unseen.
    if (in.body.size() > CP_BODY_MAX) return CP_E_LONG;
    const std::u16string& body = in.body;
    // One set for the whole message: the reply's parent's when everything
    // fits it, else code page 437 when everything fits that, else UTF-8.
    int cs = cs_choose(trim(in.to) + trim(in.subject) + body, in.reply ? in.orig_cs : -1);
    std::string to = field_enc(in.to, CP_TO_MAX, cs);
    std::string subject = field_enc(in.subject, CP_SUBJ_MAX, cs);
    bool net = in.mode == CM_NETMAIL;
    if (to.empty()) {
        if (net) return CP_E_NOTO;
        to = "All";
    }
    int nix = 0;
    std::string dest;
    if (net) {
        std::string a = field_cp(in.address, CP_ADDR_MAX);
        ftn_addr d;
        if (parse_ftn(a.c_str(), d) != 1) return CP_E_ADDR;
        nix = net_for_zone(nets, d.zone);
        if (nix < 0) return CP_E_ZONE;
        out.area = static_cast<int>(nets.ed_nets[nix].NT_NMAREA);
        dest = addr_text(d);
    } else {
        if (in.area < 0 || in.area >= eb.ed_nareas || eb.ed_areas[in.area].AR_TYPE != AT_ECHO)
            return CP_E_NOECHO;
        out.area = in.area;
        uint32_t an = eb.ed_areas[in.area].AR_NET;
        nix =
            an == AR_NONET || static_cast<int>(an) >= nets.ed_net_count ? 0 : static_cast<int>(an);
    }
    const EdNet& n = nets.ed_nets[nix];
    char own[63];
    addr_cut(own, n.NT_ADDR);
    own[60] = '\0';

    char hex[9];
    hexw(hex, serial, 8);
    out.msgid = std::string(n.NT_ADDR) + " " + hex;

    std::string& sf = out.subf;
    jam_subf_add(sf, SF_OADDR, own);
    if (net) jam_subf_add(sf, SF_DADDR, dest.c_str());
    jam_subf_add(sf, SF_SENDER, n.NT_SYSOP);
    jam_subf_add(sf, SF_RECEIVER, to.c_str());
    jam_subf_add(sf, SF_SUBJECT, subject.c_str());
    jam_subf_add(sf, SF_MSGID, out.msgid.c_str());
    if (in.reply && !in.orig_msgid.empty()) jam_subf_add(sf, SF_REPLY, in.orig_msgid.c_str());
    jam_subf_add(sf, SF_PID, PID_TEXT);
    jam_subf_add(sf, SF_TZUTC, af_tzutc(tz_minutes).c_str());
    jam_subf_add(sf, SF_KLUDGE, cs_kludge(cs).c_str());

    // The body: CR line ends, no trailing CRs or blanks, one CR at its end.
    std::string raw = cs_encode(cs, body);
    std::string& text = out.text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\0') continue;
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text += raw[i] == '\n' ? '\r' : raw[i];
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) text += '\r';
    text += TEAR_LINE;
    if (!net) {
        std::string fixed_tail = std::string(" (") + own + ")";
        size_t room = ORIGIN_MAX - std::strlen(" * Origin: ") - fixed_tail.size();
        if (static_cast<int>(room) < 1 || room > ORIGIN_MAX) room = 1;
        if (room > 63) room = 63;
        std::string system = n.NT_SYSTEM;
        if (system.size() > room) system.resize(room);
        while (!system.empty() && system.back() == ' ') system.pop_back();
        text += " * Origin: " + system + fixed_tail + "\r";
    }

    JamMsg& m = out.jm;
    m.jm_subf = out.subf.data();
    m.jm_subflen = static_cast<uint32_t>(out.subf.size());
    m.jm_text = out.text.data();
    m.jm_textlen = static_cast<uint32_t>(out.text.size());
    m.jm_attr = net ? (JA_LOCAL | JA_PRIVATE | JA_NET) : (JA_LOCAL | JA_ECHO);
    m.jm_date = now;
    m.jm_now = now;
    m.jm_msgidcrc = jam_crc(out.msgid.c_str());
    m.jm_replycrc =
        in.reply && !in.orig_msgid.empty() ? jam_crc(in.orig_msgid.c_str()) : JAM_NO_CRC;
    m.jm_replyto = in.reply && in.orig_area == out.area ? in.orig_num : 0;
    m.jm_usercrc = jam_crc(to.c_str());
    return CP_SAVED;
}

void cp_to_mb(const CpMessage& msg, MbMessage& out) {
    out = MbMessage{};
    const JamMsg& j = msg.jm;
    const uint8_t* sf = reinterpret_cast<const uint8_t*>(msg.subf.data());
    const uint32_t sflen = static_cast<uint32_t>(msg.subf.size());
    for (uint32_t p = 0; p + 8 <= sflen;) {
        uint16_t id = get_le16(sf + p);
        uint32_t n = get_le32(sf + p + 4);
        if (n > sflen - p - 8) break;
        std::string v(reinterpret_cast<const char*>(sf + p + 8), n);
        p += 8 + n;
        switch (id) {
            case SF_OADDR:
                (void)parse_ftn(v.c_str(), out.orig);
                break;
            case SF_DADDR:
                (void)parse_ftn(v.c_str(), out.dest);
                break;
            case SF_SENDER:
                out.from = v;
                break;
            case SF_RECEIVER:
                out.to = v;
                break;
            case SF_SUBJECT:
                out.subject = v;
                break;
            case SF_MSGID:
                out.kludges.push_back(mb_kludge("MSGID", v));
                break;
            case SF_REPLY:
                out.kludges.push_back(mb_kludge("REPLY", v));
                break;
            case SF_PID:
                out.kludges.push_back(mb_kludge("PID", v));
                break;
            case SF_TZUTC:
                out.kludges.push_back(mb_kludge("TZUTC", v));
                break;
            case SF_KLUDGE:
                out.kludges.push_back(mb_kludge_parse(v.data(), v.size()));
                break;
            default:
                break;
        }
    }
    out.text = msg.text;
    out.date_written = j.jm_date;
    out.attrs = (j.jm_attr & JA_NET) ? (MbAttr::Local | MbAttr::Private | MbAttr::Net)
                                     : (MbAttr::Local | MbAttr::Echo);
    out.reply_to = j.jm_replyto;
}

int cp_save(EdBase& eb, const EdNets& nets, JamLock& lk, const ComposeInput& in, uint32_t& msgnum,
            int& area) {
    return cp_save(eb, nets, lk, in, msgnum, area, nullptr);
}

int cp_save(EdBase& eb, const EdNets& nets, JamLock& lk, const ComposeInput& in, uint32_t& msgnum,
            int& area, const std::function<AreaFormat(int)>& format_of) {
    msgnum = 0;
    area = -1;
    CpMessage msg;
    uint32_t now = static_cast<uint32_t>(unix_now_local());
    int tz = pf_utc_offset_minutes();
    // Refusals first, so that no serial is spent on them.
    int r = cp_build(eb, nets, in, 0, now, tz, msg);
    if (r != CP_SAVED) return r;
    uint32_t serial = 0;
    if (msgid_serial_next(lk.cfg_path, now, serial) != SerialResult::Ok) return CP_E_SERIAL;
    r = cp_build(eb, nets, in, serial, now, tz, msg);
    if (r != CP_SAVED) return r;
    if (lock_acquire(lk, CP_LOCK_MS, "wrenpost") != 0) return CP_E_LOCKED;
    area = msg.area;
    const EdArea& a = eb.ed_areas[msg.area];
    if (format_of && format_of(msg.area) == AreaFormat::Msg) {
        MbMessage m;
        cp_to_mb(msg, m);
        std::unique_ptr<MsgBase> mb;
        uint32_t num = 0;
        r = ma_open(AreaFormat::Msg, a.AR_PATH, a.AR_TYPE == AT_NET, true, mb) == MbResult::Ok &&
                    mb->append(m, num) == MbResult::Ok
                ? CP_SAVED
                : CP_E_WRITE;
        if (r == CP_SAVED) msgnum = num;
        lock_release(lk);
        return r;
    }
    // jm points into msg's strings; they stay where they are until here.
    r = jam_append(a.AR_PATH, msg.jm) == 0 ? CP_SAVED : CP_E_WRITE;
    if (r == CP_SAVED) {
        ej_counts(eb, msg.area);
        msgnum = msg.jm.jm_msgnum;
    }
    lock_release(lk);
    return r;
}
