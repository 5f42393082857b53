#include "editor/msgbase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

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
constexpr uint32_t LOAD_PIECE = 0x100000;  // .jhr read while loading, 1 MB at a time
constexpr uint32_t ROW_WINDOW = 0x10000;   // .jhr read for the rows, 64 KB at a time

// Sizes v to n bytes; false when there is no memory for them.
bool grow(std::vector<uint8_t>& v, size_t n) {
    try {
        v.resize(n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void free_list(EdBase& eb) {
    std::vector<EdMsg>().swap(eb.ej_msgs);
    std::vector<uint32_t>().swap(eb.ej_order);
    eb.ej_count = 0;
}

// Forgets the decoded rows and the header window: they belong to the list
// that is being replaced.
void drop_caches(const EdBase& eb) {
    eb.ej_winlen = 0;
    if (eb.ej_rows != nullptr)
        for (uint32_t i = 0; i < ROW_CACHE; ++i) eb.ej_rows[i].RW_ENTRY = UINT32_MAX;
}

void release_area(EdBase& eb) {
    free_mem(eb.ej_jhr);
    free_list(eb);
    drop_caches(eb);
    eb.ej_jhrlen = 0;
}

// Bytes of an open .jhr through a window of cap bytes: the buffer, its
// length and its offset in the file belong to the caller; a request outside
// the window refills it from the requested offset.
struct JhrWindow {
    pf_file h;
    uint8_t* buf;
    uint32_t cap;
    uint32_t& len;
    uint64_t& off;
    // n bytes from `at`, or null when the file has fewer.
    const uint8_t* get(uint64_t at, uint32_t n) {
        if (at >= off && at + n <= off + len) return buf + (at - off);
        len = 0;
        off = at;
        while (len < cap) {
            int64_t got = pf_pread(h, buf + len, cap - len, at + len);
            if (got <= 0) break;
            len += static_cast<uint32_t>(got);
        }
        return n <= len ? buf : nullptr;
    }
};

// The list from the .jdx records; header(off) gives the 76 fixed bytes at
// offset off of .jhr (known to lie inside its eb.ej_jhrlen bytes) or null.
template <typename Header>
int fill_list(EdBase& eb, const uint8_t* jdx, uint64_t jdxlen, Header header) {
    free_list(eb);
    drop_caches(eb);
    uint64_t slots = jdxlen / JDX_SIZE;
    if (slots == 0 || slots > UINT32_MAX - 4) return 0;
    try {
        eb.ej_msgs.resize(static_cast<size_t>(slots));
        eb.ej_order.resize(static_cast<size_t>(slots + 4));
    } catch (const std::bad_alloc&) {
        free_list(eb);
        return 1;
    }
    if (eb.ej_rows == nullptr) eb.ej_rows = new (std::nothrow) EdRow[ROW_CACHE];
    if (eb.ej_rows == nullptr) {
        free_list(eb);
        return 1;
    }
    EdArea* a = eb.ej_area >= 0 ? ej_aptr(eb, eb.ej_area) : nullptr;
    if (a) a->AR_UNREAD = 0;
    uint64_t jhrlen = eb.ej_jhrlen;
    uint32_t n = 0;
    for (uint64_t s = 0; s < slots; ++s) {
        uint32_t off = get_le32(jdx + s * JDX_SIZE + JDX_HDROFFSET);
        if (off == JDX_DELETED || uint64_t{off} + JMH_SIZE > jhrlen) continue;
        const uint8_t* h = header(off);
        if (h == nullptr || get_le32(h + JMH_SIGNATURE) != JAM_SIGNATURE) continue;
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
        eb.ej_order[n] = n;
        ++n;
    }
    eb.ej_count = n;
    if (a) a->AR_TOTAL = n;
    return 0;
}

// The names and subject of a header block decoded into row.
void decode_row(const EdBase& eb, const EdMsg& m, const uint8_t* sf, uint32_t sflen, EdRow& row) {
    row.MS_FROM[0] = row.MS_TO[0] = row.MS_SUBJ[0] = 0;
    const char* fld[3] = {};  // sender, receiver, subject (a later one wins)
    uint32_t flen[3] = {};
    for (uint32_t p = 0; sf != nullptr && p + JSF_HDR <= sflen;) {
        uint16_t lo = get_le16(sf + p);
        uint32_t dlen = get_le32(sf + p + 4);
        p += JSF_HDR;
        if (dlen > sflen - p) dlen = sflen - p;
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
    row.MS_CS =
        cs_of_message(sf, sf != nullptr ? sflen : 0, nullptr, 0, probe.data(), probe.size());
    if (fld[0]) decode_field(row.MS_CS, fld[0], flen[0], row.MS_FROM, 36);
    if (fld[1]) decode_field(row.MS_CS, fld[1], flen[1], row.MS_TO, 36);
    if (fld[2]) decode_field(row.MS_CS, fld[2], flen[2], row.MS_SUBJ, 72);
    if (row.MS_SUBJ[0] != 0 &&
        (af_is_robot_w(row.MS_FROM, *eb.cfg) || af_is_robot_w(row.MS_TO, *eb.cfg)))
        a_to_w(row.MS_SUBJ, "********", 72);
    ej_fmt_date(m.MS_DATE, row.MS_DATES);
    wnum(m.MS_NUM, row.MS_NUMS);
}

// Opens .jhr for writing; the caller takes its first byte (JhrLock with
// EJ_LOCK_TRIES), as every JAM writer does.
UniqueFile open_jhr(EdBase& eb, int area, PfCreate disposition) {
    return UniqueFile(pf_open(mk(eb, area, ".jhr"), PfAccess::ReadWrite, disposition));
}

}  // namespace

EdBase::~EdBase() {
    release_area(*this);
    delete[] ej_rows;
}

// ---- Files ------------------------------------------------------------------------

uint8_t* read_file(const char* path, uint64_t& len) {
    len = 0;
    UniqueFile h(f_open_read(path));
    if (!h) return nullptr;
    int64_t size = pf_size(h.get());
    if (size < 0) return nullptr;
    auto* buf = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + 64));
    if (buf == nullptr) return nullptr;
    uint64_t got = 0;
    while (got < static_cast<uint64_t>(size)) {
        uint64_t want = static_cast<uint64_t>(size) - got;
        if (want > READ_PIECE) want = READ_PIECE;
        int64_t n = pf_read(h.get(), buf + got, static_cast<size_t>(want));
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
    }
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
    UniqueFile h(f_open_read(mk(eb, area, ".jlr")));
    if (!h) return 0;
    uint8_t jbuf[JBUF];
    uint32_t mark = 0;
    for (;;) {
        int64_t n = pf_read(h.get(), jbuf, sizeof jbuf);
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
    return mark;
}

void ej_counts(EdBase& eb, int area) {
    EdArea* a = ej_aptr(eb, area);
    a->AR_TOTAL = a->AR_UNREAD = a->AR_HIGH = 0;
    a->AR_LAST = read_lastread(eb, area);
    uint8_t hdr[JHI_SIZE];
    int64_t n = 0;
    if (UniqueFile h{f_open_read(mk(eb, area, ".jhr"))})
        n = pf_read(h.get(), hdr, sizeof hdr);
    else
        return;
    if (n != JHI_SIZE || get_le32(hdr + JHI_SIGNATURE) != JAM_SIGNATURE) return;
    uint32_t base_num = get_le32(hdr + JHI_BASEMSGNUM);
    UniqueFile jdx(f_open_read(mk(eb, area, ".jdx")));
    if (!jdx) return;
    int64_t size = pf_size(jdx.get());
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
    UniqueFile h(f_open_read(mk(eb, area, ".jhr")));
    if (!h) return 0;
    int64_t size = pf_size(h.get());
    uint8_t fixed[JHI_SIZE];
    if (size < JHI_SIZE || pf_pread(h.get(), fixed, JHI_SIZE, 0) != JHI_SIZE ||
        get_le32(fixed + JHI_SIGNATURE) != JAM_SIGNATURE)
        return size < 0 ? 0 : 1;
    eb.ej_jhrlen = static_cast<uint64_t>(size);
    uint64_t jdxlen = 0;
    uint8_t* jdx = read_file(mk(eb, area, ".jdx"), jdxlen);
    if (jdx == nullptr) return 0;
    // Writers append, so the index points ever further into .jhr and one
    // pass of 1 MB reads finds every header. Should it not, the file is read
    // whole for the filling, as one read per header could cost far more.
    bool ascending = true;
    uint32_t prev = 0;
    for (uint64_t s = 0; s < jdxlen / JDX_SIZE && ascending; ++s) {
        uint32_t off = get_le32(jdx + s * JDX_SIZE + JDX_HDROFFSET);
        if (off == JDX_DELETED) continue;
        ascending = off >= prev;
        prev = off;
    }
    if (ascending) {
        std::vector<uint8_t> piece;
        if (grow(piece, LOAD_PIECE)) {
            uint32_t len = 0;
            uint64_t off = 0;
            JhrWindow win{h.get(), piece.data(), LOAD_PIECE, len, off};
            fill_list(eb, jdx, jdxlen, [&win](uint64_t at) { return win.get(at, JMH_SIZE); });
        }
    } else {
        uint64_t len = 0;
        uint8_t* image = read_file(mk(eb, area, ".jhr"), len);
        if (image != nullptr) {
            eb.ej_jhrlen = len;
            fill_list(eb, jdx, jdxlen, [image](uint64_t at) { return image + at; });
        }
        free_mem(image);
    }
    free_mem(jdx);
    return 0;
}

int ej_fill_list(EdBase& eb, const uint8_t* jdx, uint64_t jdxlen) {
    const uint8_t* jhr = eb.ej_jhr;
    return fill_list(eb, jdx, jdxlen, [jhr](uint64_t at) { return jhr + at; });
}

const uint8_t* ej_sf_block(const EdBase& eb, uint32_t entry, uint32_t& len) {
    len = 0;
    const EdMsg& m = eb.ej_msgs[entry];
    if (eb.ej_jhr != nullptr) {
        len = m.MS_SFLEN;
        return eb.ej_jhr + m.MS_SFOFF;
    }
    if (m.MS_SFLEN > UINT32_MAX - JMH_SIZE) return nullptr;
    uint32_t need = JMH_SIZE + m.MS_SFLEN;
    const uint8_t* h = nullptr;
    if (eb.ej_winlen > 0 && m.MS_HOFF >= eb.ej_winoff &&
        uint64_t{m.MS_HOFF} + need <= eb.ej_winoff + eb.ej_winlen) {
        h = eb.ej_win.data() + (m.MS_HOFF - eb.ej_winoff);
    } else {
        uint32_t want = need > ROW_WINDOW ? need : ROW_WINDOW;
        if (want > eb.ej_win.size()) {
            eb.ej_winlen = 0;
            std::vector<uint8_t>().swap(eb.ej_win);
            if (!grow(eb.ej_win, want)) return nullptr;
        }
        char path[520];
        str_copy(path, eb.ed_areas[eb.ej_area].AR_PATH, 512);
        str_cat(path, ".jhr", sizeof path);
        UniqueFile f(f_open_read(path));
        if (!f) return nullptr;
        JhrWindow win{f.get(), eb.ej_win.data(), static_cast<uint32_t>(eb.ej_win.size()),
                      eb.ej_winlen, eb.ej_winoff};
        h = win.get(m.MS_HOFF, need);
    }
    if (h == nullptr || get_le32(h + JMH_SIGNATURE) != JAM_SIGNATURE ||
        get_le32(h + JMH_MESSAGENUMBER) != m.MS_NUM)
        return nullptr;
    len = m.MS_SFLEN;
    return h + JMH_SIZE;
}

const EdRow& ej_row(const EdBase& eb, uint32_t entry) {
    EdRow& row = eb.ej_rows[entry % ROW_CACHE];
    if (row.RW_ENTRY == entry) return row;
    uint32_t len = 0;
    const uint8_t* sf = ej_sf_block(eb, entry, len);
    decode_row(eb, eb.ej_msgs[entry], sf, len, row);
    row.RW_ENTRY = entry;
    return row;
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
    uint32_t sflen = 0;
    const uint8_t* sf = ej_sf_block(eb, entry, sflen);
    if (sf == nullptr) return ej_row(eb, entry).MS_CS;
    return cs_of_message(sf, sflen, text, len);
}

// ---- One message ------------------------------------------------------------------

const char* ej_get_text(EdBase& eb, uint32_t entry, uint32_t& len) {
    len = 0;
    const EdMsg& m = eb.ej_msgs[entry];
    uint32_t want = m.MS_TXTLEN < TEXT_MAX ? m.MS_TXTLEN : TEXT_MAX;
    if (want + 16 > eb.ej_txtbuf.size()) {
        std::vector<char>().swap(eb.ej_txtbuf);
        try {
            eb.ej_txtbuf.resize(want + TEXT_SLACK);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    uint32_t got = 0;
    UniqueFile h(f_open_read(mk(eb, eb.ej_area, ".jdt")));
    if (h && pf_seek(h.get(), m.MS_TXTOFF, PfSeek::Begin) >= 0) {
        while (got < want) {
            int64_t n = pf_read(h.get(), eb.ej_txtbuf.data() + got, want - got);
            if (n <= 0) break;
            got += static_cast<uint32_t>(n);
        }
    }
    eb.ej_txtbuf[got] = 0;
    len = got;
    return eb.ej_txtbuf.data();
}

const uint8_t* ej_find_sf(const EdBase& eb, uint32_t entry, uint16_t id, uint32_t& len) {
    len = 0;
    uint32_t sflen = 0;
    const uint8_t* sf = ej_sf_block(eb, entry, sflen);
    uint64_t p = 0;
    while (sf != nullptr && p + JSF_HDR <= sflen) {
        uint16_t lo = get_le16(sf + p);
        uint32_t dlen = get_le32(sf + p + 4);
        if (p + JSF_HDR + dlen > sflen) return nullptr;
        if (lo == id) {
            len = dlen;
            return sf + p + JSF_HDR;
        }
        p += JSF_HDR + dlen;
    }
    return nullptr;
}

// ---- Writing ----------------------------------------------------------------------

bool ej_set_lastread(EdBase& eb, int area, uint32_t number) {
    EdArea* a = ej_aptr(eb, area);
    if (number > a->AR_LAST) a->AR_LAST = number;
    // The byte lock is a write lock, which this system only grants to a
    // handle open for writing; the file must exist already.
    UniqueFile jhr = open_jhr(eb, area, PfCreate::OpenExisting);
    if (!jhr) return !UniqueFile(f_open_read(mk(eb, area, ".jhr")));  // no base, no mark
    JhrLock lock(jhr.get(), EJ_LOCK_TRIES);
    if (!lock) return false;
    UniqueFile jlr(f_open_always(mk(eb, area, ".jlr")));
    if (!jlr) return false;
    uint8_t jbuf[JBUF];
    uint64_t pos = 0;
    for (;;) {
        int64_t n = pf_pread(jlr.get(), jbuf, sizeof jbuf, pos);
        if (n < 0) return false;
        int64_t recs = n / JLR_SIZE;
        for (int64_t r = 0; r < recs; ++r) {
            uint8_t* rec = jbuf + r * JLR_SIZE;
            if (get_le32(rec + JLR_USERCRC) != eb.ej_user_crc) continue;
            put_le32(rec + JLR_LASTREADMSG, number);
            if (number > get_le32(rec + JLR_HIGHREADMSG)) put_le32(rec + JLR_HIGHREADMSG, number);
            return pf_pwrite(jlr.get(), rec, JLR_SIZE, pos + static_cast<uint64_t>(r) * JLR_SIZE) ==
                   0;
        }
        if (n < static_cast<int64_t>(JLR_SIZE)) {
            // No record of this user yet: a new one behind the whole ones.
            uint8_t rec[JLR_SIZE];
            put_le32(rec + JLR_USERCRC, eb.ej_user_crc);
            put_le32(rec + JLR_USERID, eb.ej_user_crc);
            put_le32(rec + JLR_LASTREADMSG, number);
            put_le32(rec + JLR_HIGHREADMSG, number);
            return pf_pwrite(jlr.get(), rec, JLR_SIZE,
                             pos + static_cast<uint64_t>(recs) * JLR_SIZE) == 0;
        }
        pos += static_cast<uint64_t>(recs) * JLR_SIZE;
    }
}

int ej_delete(EdBase& eb, int area, const uint32_t* entries, int count) {
    if (!UniqueFile(f_open_read(mk(eb, area, ".jhr")))) return -1;
    UniqueFile jhr = open_jhr(eb, area, PfCreate::OpenAlways);
    if (!jhr) return -1;
    JhrLock lock(jhr.get(), EJ_LOCK_TRIES);
    if (!lock) return -1;
    uint8_t fixed[JHI_SIZE];
    if (pf_pread(jhr.get(), fixed, JHI_SIZE, 0) != JHI_SIZE ||
        get_le32(fixed + JHI_SIGNATURE) != JAM_SIGNATURE)
        return -1;
    uint32_t base_num = get_le32(fixed + JHI_BASEMSGNUM);
    UniqueFile jdx(pf_open(mk(eb, area, ".jdx"), PfAccess::ReadWrite, PfCreate::OpenExisting));
    int deleted = 0;
    bool written = true;
    for (int i = 0; i < count; ++i) {
        const EdMsg& m = eb.ej_msgs[entries[i]];
        uint8_t h[JMH_SIZE];
        if (pf_pread(jhr.get(), h, JMH_SIZE, m.MS_HOFF) != JMH_SIZE) continue;
        if (get_le32(h + JMH_SIGNATURE) != JAM_SIGNATURE ||
            get_le32(h + JMH_MESSAGENUMBER) != m.MS_NUM ||
            (get_le32(h + JMH_ATTRIBUTE) & JA_DELETED))
            continue;
        put_le32(h + JMH_ATTRIBUTE, get_le32(h + JMH_ATTRIBUTE) | JA_DELETED);
        put_le32(h + JMH_TXTLEN, 0);
        if (pf_pwrite(jhr.get(), h, JMH_SIZE, m.MS_HOFF) != 0) continue;
        ++deleted;
        if (jdx && m.MS_NUM >= base_num) {
            uint64_t at = uint64_t{m.MS_NUM - base_num} * JDX_SIZE;
            uint8_t rec[JDX_SIZE];
            if (pf_pread(jdx.get(), rec, JDX_SIZE, at) == JDX_SIZE &&
                get_le32(rec + JDX_HDROFFSET) == m.MS_HOFF) {
                put_le32(rec + JDX_USERCRC, JDX_DELETED);
                put_le32(rec + JDX_HDROFFSET, JDX_DELETED);
                written = pf_pwrite(jdx.get(), rec, JDX_SIZE, at) == 0 && written;
            }
        }
    }
    jdx.reset();
    if (deleted > 0) {
        uint32_t active = get_le32(fixed + JHI_ACTIVEMSGS);
        put_le32(fixed + JHI_MODCOUNTER, get_le32(fixed + JHI_MODCOUNTER) + 1);
        put_le32(fixed + JHI_ACTIVEMSGS, active > static_cast<uint32_t>(deleted)
                                             ? active - static_cast<uint32_t>(deleted)
                                             : 0);
        written = pf_pwrite(jhr.get(), fixed + JHI_MODCOUNTER, 8, JHI_MODCOUNTER) == 0 && written;
    }
    return written ? deleted : -1;
}

// ---- Sorting and dates ------------------------------------------------------------

int ej_sort(EdBase& eb, int column, int descending) {
    eb.sort_col = column;
    eb.sort_desc = descending;
    uint32_t* o = eb.ej_order.data();
    uint32_t n = eb.ej_count;
    const EdMsg* ms = eb.ej_msgs.data();
    auto three = [](uint32_t u, uint32_t v) { return u < v ? -1 : (u > v ? 1 : 0); };
    auto sort_by = [&](auto key) {
        std::sort(o, o + n, [&](uint32_t a, uint32_t b) {
            int r = key(a, b);
            r = r < 0 ? -1 : (r > 0 ? 1 : 0);
            if (r == 0) r = three(ms[a].MS_NUM, ms[b].MS_NUM);
            if (r == 0) r = three(a, b);  // a damaged base's equal numbers
            return descending ? r > 0 : r < 0;
        });
    };
    if (column == SORT_DATE) {
        sort_by([&](uint32_t a, uint32_t b) { return three(ms[a].MS_DATE, ms[b].MS_DATE); });
        return 0;
    }
    if (column != SORT_FROM && column != SORT_TO && column != SORT_SUBJ) {
        // The index is normally in number order already: no sort needed.
        bool rising = true;
        for (uint32_t i = 1; i < n && rising; ++i) rising = ms[i - 1].MS_NUM < ms[i].MS_NUM;
        if (rising)
            for (uint32_t r = 0; r < n; ++r) o[r] = descending ? n - 1 - r : r;
        else
            sort_by([](uint32_t, uint32_t) { return 0; });
        return 0;
    }
    // Every row's text of the column, decoded in the order of the headers in
    // the file so that the header window reads it straight. Names and
    // subjects repeat (senders, threads): each distinct text is kept once and
    // the distinct texts are sorted; the rows then sort by the rank of their
    // text, texts that compare equal sharing one rank.
    std::vector<uint32_t> rank(n);
    try {
        std::vector<uint32_t> by_off(n);
        for (uint32_t i = 0; i < n; ++i) by_off[i] = i;
        std::sort(by_off.begin(), by_off.end(),
                  [ms](uint32_t a, uint32_t b) { return ms[a].MS_HOFF < ms[b].MS_HOFF; });
        std::unordered_map<std::u16string, uint32_t> ids;
        std::vector<const std::u16string*> texts;
        EdRow row;
        for (uint32_t i : by_off) {
            uint32_t len = 0;
            const uint8_t* sf = ej_sf_block(eb, i, len);
            decode_row(eb, ms[i], sf, len, row);
            const char16_t* t = column == SORT_FROM ? row.MS_FROM
                                : column == SORT_TO ? row.MS_TO
                                                    : row.MS_SUBJ;
            auto got = ids.try_emplace(t, static_cast<uint32_t>(texts.size()));
            if (got.second) texts.push_back(&got.first->first);
            rank[i] = got.first->second;
        }
        std::vector<uint32_t> by_text(texts.size());
        for (uint32_t k = 0; k < by_text.size(); ++k) by_text[k] = k;
        std::sort(by_text.begin(), by_text.end(), [&texts](uint32_t a, uint32_t b) {
            return pf_wcsicmp(texts[a]->c_str(), texts[b]->c_str()) < 0;
        });
        std::vector<uint32_t> rank_of(texts.size());
        uint32_t r = 0;
        for (size_t k = 0; k < by_text.size(); ++k) {
            if (k > 0 &&
                pf_wcsicmp(texts[by_text[k - 1]]->c_str(), texts[by_text[k]]->c_str()) != 0)
                ++r;
            rank_of[by_text[k]] = r;
        }
        for (uint32_t i = 0; i < n; ++i) rank[i] = rank_of[rank[i]];
    } catch (const std::bad_alloc&) {
        return 1;
    }
    sort_by([&](uint32_t a, uint32_t b) { return three(rank[a], rank[b]); });
    return 0;
}

size_t ej_list_bytes(const EdBase& eb) {
    size_t n = eb.ej_msgs.empty() ? 0 : size_t{eb.ej_count};
    return n * sizeof(EdMsg) + (eb.ej_order.empty() ? 0 : (n + 4) * 4) +
           (eb.ej_rows == nullptr ? 0 : ROW_CACHE * sizeof(EdRow)) + eb.ej_win.size() +
           static_cast<size_t>(eb.ej_jhr == nullptr ? 0 : eb.ej_jhrlen) + eb.ej_txtbuf.size();
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
