// Type-2 packet reader. Notes:
// - Every read of the image is bounded by its end: the walk checks the two
//   type bytes, parse_msg each field's zero byte, before anything is used.
// - Message text lines end in CR; a LF right after a CR is the start of the
//   next line and is ignored when the line is classified (but kept when the
//   line is copied into the JAM text).
// - Only the first line can make a message echomail ("AREA:"); kludge
//   keywords are matched in a fixed order, case-sensitively.
#include "tosser/packet.h"

#include <cstring>

#include "core/bytes.h"
#include "core/civil.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "tosser/messages.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Unsigned decimal after optional blanks; false when no digit follows.
bool read_num(const char*& p, uint32_t& v) {
    while (*p == ' ') ++p;
    if (!is_digit(*p)) return false;
    uint32_t n = 0;
    while (is_digit(*p)) n = n * 10 + static_cast<uint32_t>(*p++ - '0');
    v = n;
    return true;
}

const char* const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint8_t fold(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c;
}

// A view of one line: bytes [p, p + n).
struct Line {
    const char* p;
    size_t n;
};

bool starts(const Line& l, const char* kw, size_t kwlen) {
    return l.n >= kwlen && std::memcmp(l.p, kw, kwlen) == 0;
}

// Strips leading and trailing blanks and tabs.
Line strip(Line l) {
    while (l.n > 0 && (l.p[0] == ' ' || l.p[0] == '\t')) {
        ++l.p;
        --l.n;
    }
    while (l.n > 0 && (l.p[l.n - 1] == ' ' || l.p[l.n - 1] == '\t')) --l.n;
    return l;
}

// A line value as a NUL-terminated string (for the address parser).
void line_str(std::string& s, Line l) {
    s.assign(l.p, l.n);
}

// Kludges stored as subfields: keyword after the 0x01 and its subfield id.
struct Kludge {
    const char* kw;
    size_t len;
    uint16_t id;
};
const Kludge STORED[] = {
    {"MSGID: ", 7, SF_MSGID}, {"REPLY: ", 7, SF_REPLY}, {"PID: ", 5, SF_PID},
    {"Via ", 4, SF_TRACE},    {"TZUTC: ", 7, SF_TZUTC}, {"FLAGS ", 6, SF_FLAGS},
    {"PATH: ", 6, SF_PATH},
};

}  // namespace

int parse_addr(const char* text, ftn_addr& a, const char** end) {
    const char* p = text;
    ftn_addr r;
    if (!read_num(p, r.zone) || *p++ != ':') return 0;
    if (!read_num(p, r.net) || *p++ != '/') return 0;
    if (!read_num(p, r.node)) return 0;
    if (*p == '.') {
        const char* q = p + 1;
        if (read_num(q, r.point)) p = q;
    }
    a = r;
    if (end) *end = p;
    return 1;
}

uint32_t parse_date(const char* text) {
    const char* p = text;
    while (*p != '\0' && !is_digit(*p)) ++p;
    uint32_t day, year, hour, minute, second = 0;
    if (!read_num(p, day)) return 0;
    while (*p == ' ') ++p;
    int month = 0;
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(p, MONTHS[i], 3) == 0) {
            month = i + 1;
            break;
        }
    }
    if (month == 0) return 0;
    p += 3;
    if (!read_num(p, year)) return 0;
    if (year < 100) {
        year += 1900;
        if (year < 1980) year += 100;
    }
    if (!read_num(p, hour) || *p++ != ':' || !read_num(p, minute)) return 0;
    if (*p == ':') {
        ++p;
        if (!read_num(p, second)) return 0;
    }
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return 0;
    int64_t days = days_from_civil(year, month, day);
    int64_t t = days * 86400 + hour * 3600 + minute * 60 + second;
    if (t <= 0 || t > 0xFFFFFFFFLL) return 0;  // outside what a JAM date can hold
    return static_cast<uint32_t>(t);
}

uint32_t pkt_attr_to_jam(uint16_t attr) {
    uint32_t j = 0;
    if (attr & PA_PRIVATE) j |= JA_PRIVATE;
    if (attr & PA_CRASH) j |= JA_CRASH;
    if (attr & PA_FILEATT) j |= JA_FILEATT;
    if (attr & PA_HOLD) j |= JA_HOLD;
    if (attr & PA_FILEREQ) j |= JA_FILEREQ;
    if (attr & PA_RRQ) j |= JA_RECEIPT;
    if (attr & PA_ARQ) j |= JA_CONFIRM;
    return j;
}

const char* pkt_type_name(int type) {
    return type == PKT_TYPE_2PLUS ? "2+" : type == PKT_TYPE_22 ? "2.2" : "2";
}

int check_header(Packet& p) {
    if (p.size < PKT_MIN_SIZE) {
        p.reason = m_e_short;
        return 1;
    }
    const uint8_t* h = p.data;
    if (get_le16(h + PH_VERSION) != PKT_VERSION) {
        p.reason = m_e_ver;
        return 1;
    }
    PktSummary& s = p.sum;
    s = PktSummary{};
    s.orig = {get_le16(h + PH_ORIGZONE), get_le16(h + PH_ORIGNET), get_le16(h + PH_ORIGNODE), 0};
    s.dest = {get_le16(h + PH_DESTZONE), get_le16(h + PH_DESTNET), get_le16(h + PH_DESTNODE), 0};
    uint16_t cw = get_le16(h + PH_CAPWORD);
    uint16_t copy = get_le16(h + PH_CAPWORD_COPY);
    uint16_t swapped = static_cast<uint16_t>((copy >> 8) | (copy << 8));
    if (cw == swapped && (cw & PKT_CAP_2PLUS)) {
        s.type = PKT_TYPE_2PLUS;
        if (get_le16(h + PH_ORIGZONE2) != 0) s.orig.zone = get_le16(h + PH_ORIGZONE2);
        if (get_le16(h + PH_DESTZONE2) != 0) s.dest.zone = get_le16(h + PH_DESTZONE2);
        s.orig.point = get_le16(h + PH_ORIGPOINT);
        s.dest.point = get_le16(h + PH_DESTPOINT);
        if (s.orig.net == PKT_POINTNET) s.orig.net = get_le16(h + PH_AUXNET);
    } else if (get_le16(h + PH_BAUD) == PKT_SUBVERSION_22) {
        s.type = PKT_TYPE_22;
        s.orig.point = get_le16(h + PH_YEAR);
        s.dest.point = get_le16(h + PH_MONTH);
    }
    return 0;
}

const uint8_t* parse_msg(const uint8_t* msg, const uint8_t* end, ParsedMsg& m) {
    if (msg > end || static_cast<size_t>(end - msg) < PM_HDR_SIZE) return nullptr;
    m.hdr = msg;
    const uint8_t* p = msg + PM_HDR_SIZE;
    // Each field ends at its zero byte, within `max` bytes and the image.
    auto field = [&](uint32_t max, const char*& out) {
        size_t room = static_cast<size_t>(end - p);
        if (room > max) room = max;
        const void* z = std::memchr(p, 0, room);
        if (!z) return false;
        out = reinterpret_cast<const char*>(p);
        p = static_cast<const uint8_t*>(z) + 1;
        return true;
    };
    if (!field(PM_DATE_MAX, m.date) || !field(PM_TO_MAX, m.to) || !field(PM_FROM_MAX, m.from) ||
        !field(PM_SUBJ_MAX, m.subject))
        return nullptr;
    const void* z = std::memchr(p, 0, static_cast<size_t>(end - p));
    if (!z) return nullptr;
    m.text = reinterpret_cast<const char*>(p);
    m.textlen = static_cast<size_t>(static_cast<const uint8_t*>(z) - p);
    return static_cast<const uint8_t*>(z) + 1;
}

int scan_packet(Packet& p, int toss, PktSink sink, void* ctx) {
    p.sum.count = 0;
    const uint8_t* end = p.data + p.size;
    const uint8_t* pos = p.data + PKT_HDR_SIZE;
    for (;;) {
        size_t rem = static_cast<size_t>(end - pos);
        if (rem < 2) {
            if (rem == 0 || pos[0] == 0) return 0;
            p.reason = m_e_trunc;
            return 1;
        }
        uint16_t type = get_le16(pos);
        if (type == 0) return 0;
        if (type != PM_MSGTYPE) {
            p.reason = m_e_type;
            return 1;
        }
        ParsedMsg m;
        const uint8_t* next = parse_msg(pos, end, m);
        if (!next) {
            p.reason = m_e_trunc;
            return 1;
        }
        p.sum.count++;
        if (toss && sink && sink(ctx, p, m) != 0) {
            p.reason = m_e_jam;
            return 1;
        }
        pos = next;
    }
}

namespace {

// 0 when the header's 8 password bytes match `pwd` (see check_password).
int password_matches(const Packet& p, const char* pwd) {
    const uint8_t* want = reinterpret_cast<const uint8_t*>(pwd);
    const uint8_t* have = p.data + PH_PASSWORD;
    for (uint32_t k = 0; k < PH_PASSWORD_LEN; ++k) {
        uint8_t a = fold(want[k]);
        if (a != fold(have[k])) return 1;
        if (a == 0) break;  // both end here
    }
    return 0;
}

}  // namespace

int check_password(Packet& p, const PktBoss* bosses, size_t n, uint32_t owners, int* sender) {
    *sender = -1;
    const ftn_addr& o = p.sum.orig;
    for (size_t i = 0; i < n && o.point == 0; ++i) {
        const ftn_addr& b = bosses[i].boss;
        if (b.zone != o.zone || b.net != o.net || b.node != o.node) continue;
        if (owners != 0 && (owners & (1u << i)) == 0) continue;
        *sender = static_cast<int>(i);
        if (bosses[i].pktpwd[0] == '\0' || password_matches(p, bosses[i].pktpwd) == 0) return 0;
        p.reason = m_e_pwd;
        return 1;
    }
    if (owners == 0) {
        log_msg(m_nonboss);
        return 0;
    }
    // Another origin in a boss's inbound: it came through that boss's session
    // and must carry that boss's password. An owner without a password
    // leaves the inbound unchecked.
    for (size_t i = 0; i < n; ++i) {
        if ((owners & (1u << i)) == 0) continue;
        if (bosses[i].pktpwd[0] == '\0') {
            log_msg(m_nonboss);
            return 0;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if ((owners & (1u << i)) == 0 || password_matches(p, bosses[i].pktpwd) != 0) continue;
        log_msg(m_otherorig);
        return 0;
    }
    p.reason = m_e_pwd;
    return 1;
}

JamMsg TossMsg::jam() const {
    JamMsg j;
    j.jm_subf = subf.data();
    j.jm_subflen = static_cast<uint32_t>(subf.size());
    j.jm_text = text.data();
    j.jm_textlen = static_cast<uint32_t>(text.size());
    j.jm_attr = attr;
    j.jm_date = date;
    j.jm_now = now;
    j.jm_msgidcrc = msgidcrc;
    j.jm_replycrc = replycrc;
    j.jm_usercrc = usercrc;
    j.jm_replyto = 0;
    return j;
}

void pkt_convert(const PktSummary& sum, const ParsedMsg& m, uint32_t now, TossMsg& out) {
    out.echo = false;
    out.tag[0] = '\0';
    out.tag_cut = false;
    out.text.clear();
    out.subf.clear();
    out.msgid.clear();
    out.reply.clear();
    out.has_msgid = out.has_reply = false;

    // Kludge block first (it follows the fixed subfields, which need the
    // addresses the kludges may change); stitched together at the end.
    std::string& kl = out.kludges;
    kl.clear();
    bool intl = false;
    ftn_addr intl_dest, intl_orig;
    uint32_t fmpt = 0, topt = 0;
    std::string& tmp = out.scratch;

    const char* p = m.text;
    const char* end = m.text + m.textlen;
    bool first = true;
    while (p < end) {
        const char* cr =
            static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
        const char* lend = cr ? cr : end;
        Line whole{p, static_cast<size_t>(lend - p)};
        Line v = whole;
        if (!first && v.n > 0 && v.p[0] == '\n') {
            ++v.p;
            --v.n;
        }
        bool is_first = first;
        first = false;
        p = cr ? cr + 1 : end;

        if (is_first && starts(v, "AREA:", 5)) {
            out.echo = true;
            size_t i = 5;
            while (i < v.n && v.p[i] == ' ') ++i;
            size_t t = 0;
            while (i<v.n&& static_cast<uint8_t>(v.p[i])> 0x20 && t < TAG_MAX - 1)
                out.tag[t++] = v.p[i++];
            out.tag[t] = '\0';
            out.tag_cut = i<v.n&& static_cast<uint8_t>(v.p[i])> 0x20;
            continue;
        }
        if (v.n > 0 && v.p[0] == '\x01') {
            Line k{v.p + 1, v.n - 1};
            bool done = false;
            for (const Kludge& kd : STORED) {
                if (!starts(k, kd.kw, kd.len)) continue;
                Line val = strip(Line{k.p + kd.len, k.n - kd.len});
                jam_subf_add(kl, kd.id, val.p, val.n);
                if (kd.id == SF_MSGID) {
                    out.msgid.assign(val.p, val.n);
                    out.has_msgid = true;
                } else if (kd.id == SF_REPLY) {
                    out.reply.assign(val.p, val.n);
                    out.has_reply = true;
                }
                done = true;
                break;
            }
            if (done) continue;
            if (starts(k, "INTL ", 5)) {
                line_str(tmp, strip(Line{k.p + 5, k.n - 5}));
                const char* q;
                ftn_addr d, o;
                if (!out.echo && parse_addr(tmp.c_str(), d, &q) && parse_addr(q, o)) {
                    intl = true;
                    intl_dest = {d.zone, d.net, d.node, 0};
                    intl_orig = {o.zone, o.net, o.node, 0};
                    continue;
                }
                Line all = strip(k);
                jam_subf_add(kl, SF_KLUDGE, all.p, all.n);
                continue;
            }
            if (starts(k, "FMPT ", 5) || starts(k, "TOPT ", 5)) {
                line_str(tmp, strip(Line{k.p + 5, k.n - 5}));
                uint32_t v32 = static_cast<uint32_t>(parse_u64(tmp.c_str()));
                (k.p[0] == 'F' ? fmpt : topt) = v32;
                continue;
            }
            Line all = strip(k);
            jam_subf_add(kl, SF_KLUDGE, all.p, all.n);
            continue;
        }
        if (starts(v, "SEEN-BY:", 8)) {
            Line val = strip(Line{v.p + 8, v.n - 8});
            jam_subf_add(kl, SF_SEENBY, val.p, val.n);
            continue;
        }
        out.text.append(whole.p, whole.n);
        if (cr) out.text.push_back('\r');
    }

    // Addresses.
    const uint8_t* h = m.hdr;
    out.orig = {sum.orig.zone, get_le16(h + PM_ORIGNET), get_le16(h + PM_ORIGNODE), 0};
    out.dest = {sum.dest.zone, get_le16(h + PM_DESTNET), get_le16(h + PM_DESTNODE), 0};
    char addr[FTN_TEXT_MAX];
    if (!out.echo) {
        if (intl) {
            out.orig = intl_orig;
            out.dest = intl_dest;
        }
        out.orig.point = fmpt;
        out.dest.point = topt;
        ftn_fmt(addr, out.orig);
        jam_subf_add(out.subf, SF_OADDR, addr);
        ftn_fmt(addr, out.dest);
        jam_subf_add(out.subf, SF_DADDR, addr);
    } else {
        bool from_msgid = false;
        if (out.has_msgid) {
            size_t w = 0;
            while (w < out.msgid.size() && w < 126 && out.msgid[w] != ' ') ++w;
            tmp.assign(out.msgid, 0, w);
            ftn_addr a;
            if (parse_addr(tmp.c_str(), a)) {
                jam_subf_add(out.subf, SF_OADDR, tmp.data(), tmp.size());
                from_msgid = true;
            }
        }
        if (!from_msgid) {
            ftn_fmt(addr, out.orig);
            jam_subf_add(out.subf, SF_OADDR, addr);
        }
    }
    jam_subf_add(out.subf, SF_SENDER, m.from);
    jam_subf_add(out.subf, SF_RECEIVER, m.to);
    jam_subf_add(out.subf, SF_SUBJECT, m.subject);
    out.subf += kl;

    out.attr = pkt_attr_to_jam(get_le16(h + PM_ATTR)) | (out.echo ? JA_ECHO : JA_NET);
    out.now = now;
    uint32_t d = parse_date(m.date);
    out.date = d != 0 ? d : now;
    out.date_ok = d != 0;
    out.msgidcrc = out.has_msgid ? jam_crc(out.msgid.data(), out.msgid.size()) : JAM_NO_CRC;
    out.replycrc = out.has_reply ? jam_crc(out.reply.data(), out.reply.size()) : JAM_NO_CRC;
    out.usercrc = jam_crc(m.to);
}
