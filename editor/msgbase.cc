#include "editor/msgbase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/robot.h"
#include "core/bytes.h"
#include "core/charset.h"
#include "core/civil.h"
#include "core/cp437.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/jam_format.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t READ_PIECE = 0x10000000;  // 256 MB
constexpr uint32_t TEXT_MAX = 0x1000000;     // 16 MB
constexpr uint32_t TEXT_SLACK = 0x10000;     // 64 KiB
constexpr int EJ_LOCK_TRIES = 20;
constexpr size_t JBUF = 4096;

void free_list(EdBase& eb) {
    std::free(eb.ej_msgs);
    std::free(eb.ej_order);
    eb.ej_msgs = nullptr;
    eb.ej_order = nullptr;
    eb.ej_count = 0;
}

void release_area(EdBase& eb) {
    free_mem(eb.ej_jhr);
    free_list(eb);
    eb.ej_jhrlen = 0;
}

// Opens .jhr for writing and takes its first byte, as every JAM writer does.
pf_file open_locked(EdBase& eb, int area) {
    pf_file h = pf_open(mk(eb, area, ".jhr"), PfAccess::ReadWrite, PfCreate::OpenAlways);
    if (h == PF_INVALID) return PF_INVALID;
    if (jam_lock(h, EJ_LOCK_TRIES) != 0) {
        pf_close(h);
        return PF_INVALID;
    }
    return h;
}

void close_locked(pf_file h) {
    jam_unlock(h);
    pf_close(h);
}

}  // namespace

EdBase::~EdBase() {
    release_area(*this);
    std::free(ej_txtbuf);
}

// ---- Files ------------------------------------------------------------------------

uint8_t* read_file(const char* path, uint64_t& len) {
    len = 0;
    pf_file h = f_open_read(path);
    if (h == PF_INVALID) return nullptr;
    int64_t size = pf_size(h);
    if (size < 0) {
        pf_close(h);
        return nullptr;
    }
    auto* buf = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + 64));
    if (buf == nullptr) {
        pf_close(h);
        return nullptr;
    }
    uint64_t got = 0;
    while (got < static_cast<uint64_t>(size)) {
        uint64_t want = static_cast<uint64_t>(size) - got;
        if (want > READ_PIECE) want = READ_PIECE;
        int64_t n = pf_read(h, buf + got, static_cast<size_t>(want));
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
    }
    pf_close(h);
    len = got;
    return buf;
}

void free_mem(uint8_t*& p) {
    std::free(p);
    p = nullptr;
}

EdArea* ej_aptr(EdBase& eb, int area) {
    return &eb.ed_areas[area];
}

const char* mk(EdBase& eb, int area, const char* ext) {
    str_copy(eb.ej_path, ej_aptr(eb, area)->AR_PATH, 512);
    str_cat(eb.ej_path, ext, sizeof eb.ej_path);
    return eb.ej_path;
}

void ej_set_user(EdBase& eb, const char* sysop) {
    eb.ej_user_crc = jam_crc(sysop);
}

// ---- Counting ---------------------------------------------------------------------

uint32_t read_lastread(EdBase& eb, int area) {
    pf_file h = f_open_read(mk(eb, area, ".jlr"));
    if (h == PF_INVALID) return 0;
    uint8_t jbuf[JBUF];
    uint32_t mark = 0;
    for (;;) {
        int64_t n = pf_read(h, jbuf, sizeof jbuf);
        int64_t recs = n > 0 ? n / JLR_SIZE : 0;
        if (recs == 0) break;
        bool found = false;
        for (int64_t r = 0; r < recs && !found; ++r) {
            const uint8_t* rec = jbuf + r * JLR_SIZE;
            if (get_le32(rec + JLR_USERCRC) == eb.ej_user_crc) {
                mark = get_le32(rec + JLR_HIGHREADMSG);
                found = true;
            }
        }
        if (found) break;
    }
    pf_close(h);
    return mark;
}

void ej_counts(EdBase& eb, int area) {
    EdArea* a = ej_aptr(eb, area);
    a->AR_TOTAL = a->AR_UNREAD = a->AR_HIGH = 0;
    a->AR_LAST = read_lastread(eb, area);
    pf_file h = f_open_read(mk(eb, area, ".jhr"));
    if (h == PF_INVALID) return;
    uint8_t hdr[JHI_SIZE];
    int64_t n = pf_read(h, hdr, sizeof hdr);
    pf_close(h);
    if (n != JHI_SIZE || get_le32(hdr + JHI_SIGNATURE) != JAM_SIGNATURE) return;
    uint32_t base_num = get_le32(hdr + JHI_BASEMSGNUM);
    h = f_open_read(mk(eb, area, ".jdx"));
    if (h == PF_INVALID) return;
    int64_t size = pf_size(h);
    pf_close(h);
    uint64_t slots = size > 0 ? static_cast<uint64_t>(size) / JDX_SIZE : 0;
    uint32_t active = get_le32(hdr + JHI_ACTIVEMSGS);
    a->AR_TOTAL = active < slots ? active : static_cast<uint32_t>(slots);
    a->AR_HIGH = slots == 0 ? 0 : static_cast<uint32_t>(base_num + slots - 1);
    int64_t unread = static_cast<int64_t>(a->AR_HIGH) - static_cast<int64_t>(a->AR_LAST);
    if (unread < 0) unread = 0;
    if (unread > a->AR_TOTAL) unread = a->AR_TOTAL;
    a->AR_UNREAD = static_cast<uint32_t>(unread);
}

// ---- Loading ----------------------------------------------------------------------

int ej_load_area(EdBase& eb, int area) {
    eb.ej_area = area;
    release_area(eb);
    ej_counts(eb, area);
    uint64_t len = 0;
    eb.ej_jhr = read_file(mk(eb, area, ".jhr"), len);
    if (eb.ej_jhr == nullptr) return 0;
    eb.ej_jhrlen = len;
    if (len < JHI_SIZE || get_le32(eb.ej_jhr + JHI_SIGNATURE) != JAM_SIGNATURE) return 1;
    uint64_t jdxlen = 0;
    uint8_t* jdx = read_file(mk(eb, area, ".jdx"), jdxlen);
    ej_fill_list(eb, jdx, jdx == nullptr ? 0 : jdxlen);
    free_mem(jdx);
    return 0;
}

int ej_fill_list(EdBase& eb, const uint8_t* jdx, uint64_t jdxlen) {
    free_list(eb);
    uint64_t slots = jdxlen / JDX_SIZE;
    if (slots == 0 || slots > UINT32_MAX - 4) return 0;
    eb.ej_msgs = static_cast<EdMsg*>(std::malloc(static_cast<size_t>(slots) * sizeof(EdMsg)));
    eb.ej_order = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(slots + 4) * 4));
    if (eb.ej_msgs == nullptr || eb.ej_order == nullptr) {
        free_list(eb);
        return 1;
    }
    EdArea* a = eb.ej_area >= 0 ? ej_aptr(eb, eb.ej_area) : nullptr;
    if (a) a->AR_UNREAD = 0;
    const uint8_t* jhr = eb.ej_jhr;
    uint64_t jhrlen = eb.ej_jhrlen;
    uint32_t n = 0;
    for (uint64_t s = 0; s < slots; ++s) {
        uint32_t off = get_le32(jdx + s * JDX_SIZE + JDX_HDROFFSET);
        if (off == JDX_DELETED || uint64_t{off} + JMH_SIZE > jhrlen) continue;
        const uint8_t* h = jhr + off;
        if (get_le32(h + JMH_SIGNATURE) != JAM_SIGNATURE) continue;
        uint32_t attr = get_le32(h + JMH_ATTRIBUTE);
        if (attr & JA_DELETED) continue;
        EdMsg& m = eb.ej_msgs[n];
        m.MS_NUM = get_le32(h + JMH_MESSAGENUMBER);
        m.MS_HOFF = off;
        m.MS_DATE = get_le32(h + JMH_DATEWRITTEN);
        m.MS_ATTR = attr;
        m.MS_TXTOFF = get_le32(h + JMH_TXTOFFSET);
        m.MS_TXTLEN = get_le32(h + JMH_TXTLEN);
        m.MS_SFOFF = off + JMH_SIZE;
        uint64_t rest = jhrlen - m.MS_SFOFF;
        uint32_t sflen = get_le32(h + JMH_SUBFIELDLEN);
        m.MS_SFLEN = sflen < rest ? sflen : static_cast<uint32_t>(rest);
        if (a && m.MS_NUM > a->AR_LAST) ++a->AR_UNREAD;

        m.MS_FROM[0] = m.MS_TO[0] = m.MS_SUBJ[0] = 0;
        const uint8_t* sf = jhr + m.MS_SFOFF;
        const char* fld[3] = {};  // sender, receiver, subject (a later one wins)
        uint32_t flen[3] = {};
        for (uint32_t p = 0; p + JSF_HDR <= m.MS_SFLEN;) {
            uint16_t lo = get_le16(sf + p);
            uint32_t dlen = get_le32(sf + p + 4);
            p += JSF_HDR;
            if (dlen > m.MS_SFLEN - p) dlen = m.MS_SFLEN - p;
            int k = lo == SF_SENDER ? 0 : lo == SF_RECEIVER ? 1 : lo == SF_SUBJECT ? 2 : -1;
            if (k >= 0) {
                fld[k] = reinterpret_cast<const char*>(sf + p);
                flen[k] = dlen;
            }
            p += dlen;
        }
        // The set: the kludge, else what the names and the subject look like.
        std::string probe;
        for (int k = 0; k < 3; ++k)
            if (fld[k] != nullptr) probe.append(fld[k], flen[k]).push_back(' ');
        m.MS_CS = cs_of_message(sf, m.MS_SFLEN, nullptr, 0, probe.data(), probe.size());
        if (fld[0]) decode_field(m.MS_CS, fld[0], flen[0], m.MS_FROM, 36);
        if (fld[1]) decode_field(m.MS_CS, fld[1], flen[1], m.MS_TO, 36);
        if (fld[2]) decode_field(m.MS_CS, fld[2], flen[2], m.MS_SUBJ, 72);
        if (m.MS_SUBJ[0] != 0 &&
            (af_is_robot_w(m.MS_FROM, *eb.cfg) || af_is_robot_w(m.MS_TO, *eb.cfg)))
            a_to_w(m.MS_SUBJ, "********", 72);
        ej_fmt_date(m.MS_DATE, m.MS_DATES);
        wnum(m.MS_NUM, m.MS_NUMS);
        eb.ej_order[n] = n;
        ++n;
    }
    eb.ej_count = n;
    if (a) a->AR_TOTAL = n;
    return 0;
}

void decode_field(int cs, const char* p, uint32_t n, char16_t* out, size_t cap) {
    const char* nul = static_cast<const char*>(std::memchr(p, 0, n));
    if (nul != nullptr) n = static_cast<uint32_t>(nul - p);
    std::u16string w = cs_decode(cs, p, n);
    size_t k = w.size() < cap - 1 ? w.size() : cap - 1;
    // Never half a surrogate pair at the cut.
    if (k > 0 && k < w.size() && w[k - 1] >= 0xD800 && w[k - 1] <= 0xDBFF) --k;
    std::copy_n(w.data(), k, out);
    out[k] = 0;
}

int ej_charset(const EdBase& eb, uint32_t entry, const char* text, uint32_t len) {
    const EdMsg& m = eb.ej_msgs[entry];
    if (eb.ej_jhr == nullptr || m.MS_SFOFF > eb.ej_jhrlen) return m.MS_CS;
    return cs_of_message(eb.ej_jhr + m.MS_SFOFF, m.MS_SFLEN, text, len);
}

// ---- One message ------------------------------------------------------------------

const char* ej_get_text(EdBase& eb, uint32_t entry, uint32_t& len) {
    len = 0;
    const EdMsg& m = eb.ej_msgs[entry];
    uint32_t want = m.MS_TXTLEN < TEXT_MAX ? m.MS_TXTLEN : TEXT_MAX;
    if (want + 16 > eb.ej_txtcap) {
        std::free(eb.ej_txtbuf);
        eb.ej_txtcap = 0;
        eb.ej_txtbuf = static_cast<char*>(std::malloc(want + TEXT_SLACK));
        if (eb.ej_txtbuf == nullptr) return nullptr;
        eb.ej_txtcap = want + TEXT_SLACK;
    }
    uint32_t got = 0;
    pf_file h = f_open_read(mk(eb, eb.ej_area, ".jdt"));
    if (h != PF_INVALID) {
        if (pf_seek(h, m.MS_TXTOFF, PfSeek::Begin) >= 0) {
            while (got < want) {
                int64_t n = pf_read(h, eb.ej_txtbuf + got, want - got);
                if (n <= 0) break;
                got += static_cast<uint32_t>(n);
            }
        }
        pf_close(h);
    }
    eb.ej_txtbuf[got] = 0;
    len = got;
    return eb.ej_txtbuf;
}

const uint8_t* ej_find_sf(const EdBase& eb, uint32_t entry, uint16_t id, uint32_t& len) {
    len = 0;
    const EdMsg& m = eb.ej_msgs[entry];
    const uint8_t* sf = eb.ej_jhr + m.MS_SFOFF;
    uint64_t p = 0;
    while (p + JSF_HDR <= m.MS_SFLEN) {
        uint16_t lo = get_le16(sf + p);
        uint32_t dlen = get_le32(sf + p + 4);
        if (p + JSF_HDR + dlen > m.MS_SFLEN) return nullptr;
        if (lo == id) {
            len = dlen;
            return sf + p + JSF_HDR;
        }
        p += JSF_HDR + dlen;
    }
    return nullptr;
}

// ---- Writing ----------------------------------------------------------------------

void ej_set_lastread(EdBase& eb, int area, uint32_t number) {
    EdArea* a = ej_aptr(eb, area);
    if (number > a->AR_LAST) a->AR_LAST = number;
    // The byte lock is a write lock, which this system only grants to a
    // handle open for writing; the file must exist already.
    pf_file jhr = pf_open(mk(eb, area, ".jhr"), PfAccess::ReadWrite, PfCreate::OpenExisting);
    if (jhr == PF_INVALID) return;
    if (jam_lock(jhr, EJ_LOCK_TRIES) != 0) {
        pf_close(jhr);
        return;
    }
    pf_file jlr = f_open_always(mk(eb, area, ".jlr"));
    if (jlr != PF_INVALID) {
        uint8_t jbuf[JBUF];
        uint64_t pos = 0;
        bool done = false;
        while (!done) {
            int64_t n = pf_pread(jlr, jbuf, sizeof jbuf, pos);
            int64_t recs = n > 0 ? n / JLR_SIZE : 0;
            for (int64_t r = 0; r < recs; ++r) {
                uint8_t* rec = jbuf + r * JLR_SIZE;
                if (get_le32(rec + JLR_USERCRC) != eb.ej_user_crc) continue;
                put_le32(rec + JLR_LASTREADMSG, number);
                if (number > get_le32(rec + JLR_HIGHREADMSG))
                    put_le32(rec + JLR_HIGHREADMSG, number);
                pf_pwrite(jlr, rec, JLR_SIZE, pos + static_cast<uint64_t>(r) * JLR_SIZE);
                done = true;
                break;
            }
            if (done) break;
            if (n < static_cast<int64_t>(JLR_SIZE)) {
                // No record of this user yet: a new one behind the whole ones.
                uint8_t rec[JLR_SIZE];
                put_le32(rec + JLR_USERCRC, eb.ej_user_crc);
                put_le32(rec + JLR_USERID, eb.ej_user_crc);
                put_le32(rec + JLR_LASTREADMSG, number);
                put_le32(rec + JLR_HIGHREADMSG, number);
                pf_pwrite(jlr, rec, JLR_SIZE, pos + static_cast<uint64_t>(recs) * JLR_SIZE);
                break;
            }
            pos += static_cast<uint64_t>(recs) * JLR_SIZE;
        }
        pf_close(jlr);
    }
    close_locked(jhr);
}

int ej_delete(EdBase& eb, int area, const uint32_t* entries, int count) {
    pf_file probe = f_open_read(mk(eb, area, ".jhr"));
    if (probe == PF_INVALID) return -1;
    pf_close(probe);
    pf_file jhr = open_locked(eb, area);
    if (jhr == PF_INVALID) return -1;
    uint8_t fixed[JHI_SIZE];
    if (pf_pread(jhr, fixed, JHI_SIZE, 0) != JHI_SIZE ||
        get_le32(fixed + JHI_SIGNATURE) != JAM_SIGNATURE) {
        close_locked(jhr);
        return -1;
    }
    uint32_t base_num = get_le32(fixed + JHI_BASEMSGNUM);
    pf_file jdx = pf_open(mk(eb, area, ".jdx"), PfAccess::ReadWrite, PfCreate::OpenExisting);
    int deleted = 0;
    for (int i = 0; i < count; ++i) {
        const EdMsg& m = eb.ej_msgs[entries[i]];
        uint8_t h[JMH_SIZE];
        if (pf_pread(jhr, h, JMH_SIZE, m.MS_HOFF) != JMH_SIZE) continue;
        if (get_le32(h + JMH_SIGNATURE) != JAM_SIGNATURE ||
            get_le32(h + JMH_MESSAGENUMBER) != m.MS_NUM ||
            (get_le32(h + JMH_ATTRIBUTE) & JA_DELETED))
            continue;
        put_le32(h + JMH_ATTRIBUTE, get_le32(h + JMH_ATTRIBUTE) | JA_DELETED);
        put_le32(h + JMH_TXTLEN, 0);
        if (pf_pwrite(jhr, h, JMH_SIZE, m.MS_HOFF) != 0) continue;
        ++deleted;
        if (jdx != PF_INVALID && m.MS_NUM >= base_num) {
            uint64_t at = uint64_t{m.MS_NUM - base_num} * JDX_SIZE;
            uint8_t rec[JDX_SIZE];
            if (pf_pread(jdx, rec, JDX_SIZE, at) == JDX_SIZE &&
                get_le32(rec + JDX_HDROFFSET) == m.MS_HOFF) {
                put_le32(rec + JDX_USERCRC, JDX_DELETED);
                put_le32(rec + JDX_HDROFFSET, JDX_DELETED);
                pf_pwrite(jdx, rec, JDX_SIZE, at);
            }
        }
    }
    if (jdx != PF_INVALID) pf_close(jdx);
    if (deleted > 0) {
        uint32_t active = get_le32(fixed + JHI_ACTIVEMSGS);
        put_le32(fixed + JHI_MODCOUNTER, get_le32(fixed + JHI_MODCOUNTER) + 1);
        put_le32(fixed + JHI_ACTIVEMSGS, active > static_cast<uint32_t>(deleted)
                                             ? active - static_cast<uint32_t>(deleted)
                                             : 0);
        pf_pwrite(jhr, fixed + JHI_MODCOUNTER, 8, JHI_MODCOUNTER);
    }
    close_locked(jhr);
    return deleted;
}

// ---- Sorting and dates ------------------------------------------------------------

int cmp_msgs(const EdBase& eb, uint32_t a, uint32_t b) {
    const EdMsg& x = eb.ej_msgs[a];
    const EdMsg& y = eb.ej_msgs[b];
    auto three = [](uint32_t u, uint32_t v) { return u < v ? -1 : (u > v ? 1 : 0); };
    int r = 0;
    switch (eb.sort_col) {
        case SORT_FROM:
            r = pf_wcsicmp(x.MS_FROM, y.MS_FROM);
            break;
        case SORT_TO:
            r = pf_wcsicmp(x.MS_TO, y.MS_TO);
            break;
        case SORT_SUBJ:
            r = pf_wcsicmp(x.MS_SUBJ, y.MS_SUBJ);
            break;
        case SORT_DATE:
            r = three(x.MS_DATE, y.MS_DATE);
            break;
        default:
            break;
    }
    r = r < 0 ? -1 : (r > 0 ? 1 : 0);
    if (r == 0) r = three(x.MS_NUM, y.MS_NUM);
    return eb.sort_desc ? -r : r;
}

void ej_sort(EdBase& eb, int column, int descending) {
    eb.sort_col = column;
    eb.sort_desc = descending;
    uint32_t* o = eb.ej_order;
    uint32_t n = eb.ej_count;
    for (uint32_t gap = n / 2; gap > 0; gap /= 2) {
        for (uint32_t i = gap; i < n; ++i) {
            uint32_t v = o[i];
            uint32_t j = i;
            for (; j >= gap && cmp_msgs(eb, o[j - gap], v) > 0; j -= gap) o[j] = o[j - gap];
            o[j] = v;
        }
    }
}

void ej_fmt_date(uint32_t seconds, char16_t* out) {
    Civil c = unix_civil(seconds);
    uint32_t d = c.day, m = c.month, year = c.year, hour = c.hour, minute = c.minute;
    auto two = [&](char16_t* p, uint32_t v) {
        p[0] = static_cast<char16_t>('0' + v / 10 % 10);
        p[1] = static_cast<char16_t>('0' + v % 10);
    };
    two(out, d);
    out[2] = '.';
    two(out + 3, m);
    out[5] = '.';
    two(out + 6, year / 100);
    two(out + 8, year % 100);
    out[10] = ' ';
    two(out + 11, hour);
    out[13] = ':';
    two(out + 14, minute);
    out[16] = 0;
}
