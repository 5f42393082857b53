#include "scanner/pack.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/packet_format.h"
#include "core/strutil.h"
#include "jam/jam_format.h"
#include "scanner/messages.h"
#include "scanner/pktwrite.h"

// ---- Growable buffers -------------------------------------------------------------

bool buf_need(Buf& b, uint64_t k) {
    if (b.B_LEN + k <= b.B_CAP) return true;
    uint64_t cap = b.B_CAP * 2;
    if (cap < b.B_LEN + k + BUF_STEP) cap = b.B_LEN + k + BUF_STEP;
    // Only the bytes in use are copied over.
    std::vector<uint8_t> grown;
    try {
        grown.resize(static_cast<size_t>(cap));
    } catch (const std::bad_alloc&) {
        log_msg(scan_m_nomem);
        return false;
    } catch (const std::length_error&) {
        log_msg(scan_m_nomem);
        return false;
    }
    if (b.B_LEN > 0) std::memcpy(grown.data(), b.B_PTR, static_cast<size_t>(b.B_LEN));
    b.store.swap(grown);
    b.B_PTR = b.store.data();
    b.B_CAP = cap;
    return true;
}

void buf_free(Buf& b) {
    std::vector<uint8_t>().swap(b.store);
    b.B_PTR = nullptr;
    b.B_LEN = 0;
    b.B_CAP = 0;
}

namespace {

// Appends to a packet buffer whose room was reserved before the message.
struct Out {
    Buf& b;
    void byte(uint8_t c) { b.B_PTR[b.B_LEN++] = c; }
    void bytes(const void* p, size_t n) {
        std::memcpy(b.B_PTR + b.B_LEN, p, n);
        b.B_LEN += n;
    }
    void put_z(const char* s) { bytes(s, str_len(s)); }
    void put_kl(const uint8_t* v, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t c = v[i];
            byte(c == '\r' || c == '\n' || c == 0 ? ' ' : c);
        }
    }
    void put_fix(const uint8_t* v, uint32_t n, uint32_t max) {
        uint32_t w = 0;
        for (uint32_t i = 0; i < n && w < max; ++i) {
            if (v[i] == 0) continue;
            byte(v[i]);
            ++w;
        }
        byte(0);
    }
    void put_num(uint32_t v) {
        char d[21];
        u64_to_dec(v, d);
        put_z(d);
    }
    void put_nn(const ftn_addr& a) {
        put_num(a.net);
        byte('/');
        put_num(a.node);
    }
    void put_3d(const ftn_addr& a) { put_4d(ftn_addr{a.zone, a.net, a.node, 0}); }
    void put_4d(const ftn_addr& a) {
        char t[FTN_TEXT_MAX];
        bytes(t, ftn_fmt(t, a));
    }
};

void put_sfkl(Out& o, const ScanState& st, const char* prefix, uint16_t id) {
    uint32_t n;
    const uint8_t* v = sf_get(st, id, &n);
    if (v == nullptr) return;
    o.put_z(prefix);
    o.put_kl(v, n);
    o.byte('\r');
}

void put_ftskl(Out& o, const ScanState& st) {
    uint32_t pos = 0;
    while (pos + JSF_HDR <= st.subf_len) {
        const uint8_t* h = st.subf + pos;
        uint32_t len = get_le32(h + 4);
        if (len > st.subf_len - pos - JSF_HDR) break;
        if (get_le16(h) == SF_KLUDGE) {
            o.byte(0x01);
            o.put_kl(h + JSF_HDR, len);
            o.byte('\r');
        }
        pos += JSF_HDR + len;
    }
}

// Parses an address subfield of at most 100 bytes.
bool sf_addr(const ScanState& st, uint16_t id, ftn_addr& a) {
    uint32_t n;
    const uint8_t* v = sf_get(st, id, &n);
    if (v == nullptr || n > 100) return false;
    char text[101];
    std::memcpy(text, v, n);
    text[n] = '\0';
    return ftn_parse(text, a) == 1;
}

void skip(ScanState& st, const char* msg) {
    log_msg2(msg, st.base_path->c_str());
    ++st.c.sc_err;
}

constexpr uint64_t JDT_WINDOW = 1048576;

// The text at [off, off + len) of the current base's .jdt, from the window
// when it holds it, else after reading a new window there. nullptr after a
// skip (logged and counted).
const uint8_t* jdt_text(ScanState& st, uint32_t off, uint32_t len) {
    static const uint8_t empty = 0;
    if (len == 0) return &empty;
    Buf& w = st.text;
    if (w.B_PTR != nullptr && off >= st.text_off &&
        static_cast<uint64_t>(off) + len <= st.text_off + w.B_LEN)
        return w.B_PTR + (off - st.text_off);
    uint64_t want = len > JDT_WINDOW ? len : JDT_WINDOW;
    if (static_cast<uint64_t>(off) + want > static_cast<uint64_t>(st.jdt_size))
        want = static_cast<uint64_t>(st.jdt_size) - off;
    w.B_LEN = 0;
    st.text_off = off;
    if (!buf_need(w, want + 16)) {
        ++st.c.sc_err;
        return nullptr;
    }
    int64_t got = want > 0 ? pf_pread(st.jdt, w.B_PTR, static_cast<size_t>(want), off) : 0;
    if (got < static_cast<int64_t>(len)) {
        skip(st, m_jdt);
        return nullptr;
    }
    w.B_LEN = static_cast<uint64_t>(got);
    return w.B_PTR;
}

}  // namespace

const uint8_t* sf_get(const ScanState& st, uint16_t id, uint32_t* len) {
    uint32_t pos = 0;
    while (pos + JSF_HDR <= st.subf_len) {
        const uint8_t* h = st.subf + pos;
        uint32_t n = get_le32(h + 4);
        if (n > st.subf_len - pos - JSF_HDR) break;
        if (get_le16(h) == id) {
            *len = n;
            return h + JSF_HDR;
        }
        pos += JSF_HDR + n;
    }
    *len = 0;
    return nullptr;
}

int has_origin(const uint8_t* text, size_t len) {
    int flags = 0;
    const uint8_t* p = text;
    const uint8_t* end = text + len;
    for (;;) {
        const void* cr = std::memchr(p, '\r', static_cast<size_t>(end - p));
        const uint8_t* e = cr ? static_cast<const uint8_t*>(cr) : end;
        size_t n = static_cast<size_t>(e - p);
        if (n >= 11 && std::memcmp(p, " * Origin: ", 11) == 0) flags |= 1;
        if (n >= 3 && std::memcmp(p, "---", 3) == 0 && (n == 3 || p[3] == ' ')) flags |= 2;
        if (e == end) break;
        p = e + 1;
    }
    return flags;
}

bool pack_msg(ScanState& st) {
    uint32_t txt_off = get_le32(st.hdr + JMH_TXTOFFSET);
    uint32_t txt_len = get_le32(st.hdr + JMH_TXTLEN);
    uint32_t attr = get_le32(st.hdr + JMH_ATTRIBUTE);
    if (txt_len > PACK_MAX_TEXT) {
        skip(st, m_big);
        return false;
    }
    if (static_cast<uint64_t>(txt_off) + txt_len > static_cast<uint64_t>(st.jdt_size)) {
        skip(st, m_jdt);
        return false;
    }
    const uint8_t* text = jdt_text(st, txt_off, txt_len);
    if (text == nullptr) return false;

    ftn_addr orig = st.own, dest = st.boss;
    bool net = st.kind == 0;
    if (net) {
        if (!sf_addr(st, SF_DADDR, dest)) {
            skip(st, m_nodest);
            return false;
        }
        ftn_addr o;
        if (sf_addr(st, SF_OADDR, o)) orig = o;
    }

    Buf& pkt = net ? st.pkt_net : st.pkt_echo;
    uint64_t need = 3ull * st.subf_len + txt_len + 2048 + (pkt.B_LEN == 0 ? PKT_HDR_SIZE : 0);
    if (!buf_need(pkt, need)) {
        ++st.c.sc_err;
        return false;
    }
    Out o{pkt};
    if (pkt.B_LEN == 0) {
        pw_header(pkt.B_PTR, st.own, st.boss, st.pktpwd.c_str());
        pkt.B_LEN = PKT_HDR_SIZE;
    }

    // Packed-message header.
    uint8_t mh[PM_HDR_SIZE];
    put_le16(mh + PM_TYPE, PM_MSGTYPE);
    put_le16(mh + PM_ORIGNODE, static_cast<uint16_t>(orig.node));
    put_le16(mh + PM_DESTNODE, static_cast<uint16_t>(dest.node));
    put_le16(mh + PM_ORIGNET, static_cast<uint16_t>(orig.net));
    put_le16(mh + PM_DESTNET, static_cast<uint16_t>(dest.net));
    uint16_t pattr = 0;
    if (net) {
        if (attr & JA_PRIVATE) pattr |= PA_PRIVATE;
        if (attr & JA_CRASH) pattr |= PA_CRASH;
        if (attr & JA_RECEIPT) pattr |= PA_RRQ;
    }
    put_le16(mh + PM_ATTR, pattr);
    put_le16(mh + PM_COST, 0);
    o.bytes(mh, sizeof mh);
    char date[PM_DATE_MAX];
    fts_date(date, get_le32(st.hdr + JMH_DATEWRITTEN));
    o.bytes(date, PM_DATE_MAX);
    uint32_t n;
    const uint8_t* v = sf_get(st, SF_RECEIVER, &n);
    o.put_fix(v, n, PM_TO_MAX - 1);
    v = sf_get(st, SF_SENDER, &n);
    o.put_fix(v, n, PM_FROM_MAX - 1);
    v = sf_get(st, SF_SUBJECT, &n);
    o.put_fix(v, n, PM_SUBJ_MAX - 1);

    // First lines.
    if (net) {
        o.put_z("\x01INTL ");
        o.put_3d(dest);
        o.byte(' ');
        o.put_3d(orig);
        o.byte('\r');
        if (orig.point != 0) {
            o.put_z(
                "\x01"
                "FMPT ");
            o.put_num(orig.point);
            o.byte('\r');
        }
        if (dest.point != 0) {
            o.put_z("\x01TOPT ");
            o.put_num(dest.point);
            o.byte('\r');
        }
    } else {
        o.put_z("AREA:");
        o.put_z(st.tag.c_str());
        o.byte('\r');
    }
    put_sfkl(o, st, "\x01MSGID: ", SF_MSGID);
    put_sfkl(o, st, "\x01REPLY: ", SF_REPLY);
    put_sfkl(o, st, "\x01PID: ", SF_PID);
    put_sfkl(o, st, "\x01TZUTC: ", SF_TZUTC);
    put_sfkl(o, st,
             "\x01"
             "FLAGS ",
             SF_FLAGS);
    put_ftskl(o, st);

    // The text, with every zero byte as a blank.
    for (uint32_t i = 0; i < txt_len;) {
        const void* z = std::memchr(text + i, 0, txt_len - i);
        uint32_t stop = z ? static_cast<uint32_t>(static_cast<const uint8_t*>(z) - text) : txt_len;
        o.bytes(text + i, stop - i);
        if (stop < txt_len) o.byte(' ');
        i = stop + 1;
    }
    if (txt_len > 0 && text[txt_len - 1] != '\r') o.byte('\r');

    if (net) {
        Civil u = unix_civil(static_cast<uint32_t>(pf_unix_now_utc()));
        o.put_z("\x01Via ");
        o.put_4d(st.own);
        o.put_z(" @");
        o.put_num(u.year);
        char two[2];
        for (uint32_t x : {u.month, u.day}) {
            put2(two, x);
            o.bytes(two, 2);
        }
        o.byte('.');
        for (uint32_t x : {u.hour, u.minute, u.second}) {
            put2(two, x);
            o.bytes(two, 2);
        }
        o.put_z(".UTC wrenpost 0.9\r");
        ++st.n_net;
    } else {
        int flags = has_origin(text, txt_len);
        if (!(flags & 1)) {
            if (!(flags & 2)) o.put_z("--- wrenpost 0.9\r");
            char addr[FTN_TEXT_MAX];
            int alen = static_cast<int>(ftn_fmt(addr, st.own));
            int limit = 65 - alen;
            if (limit < 1) limit = 1;
            if (limit > 50) limit = 50;
            size_t sl = st.system.size() < static_cast<size_t>(limit) ? st.system.size()
                                                                      : static_cast<size_t>(limit);
            while (sl > 0 && st.system[sl - 1] == ' ') --sl;
            o.put_z(" * Origin: ");
            o.bytes(st.system.data(), sl);
            o.put_z(" (");
            o.put_z(addr);
            o.put_z(")\r");
        }
        o.put_z("SEEN-BY: ");
        o.put_nn(st.boss);
        o.byte('\r');
        if (st.path_line) {
            o.put_z("\x01PATH: ");
            o.put_nn(st.boss);
            o.byte('\r');
        }
        ++st.n_echo;
    }
    o.byte(0);
    st.marks.push_back(Mark{st.base_path, st.hdr_off, st.kind});
    ++st.base_count;
    return true;
}
