#include "jam/jam.h"

#include <cstring>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "jam/messages.h"

namespace {

// Longest stretch of .jhr after the last indexed header that the append looks
// at for headers of unfinished appends; anything longer is left alone.
constexpr uint64_t TAIL_CHECK_MAX = 1u << 20;
// Largest size of .jdt and .jhr: their offsets are u32.
constexpr uint64_t JAM_FILE_MAX = 0xFFFFFFFFull;
// Index records read per step when looking back for the last live one.
constexpr uint64_t IDX_CHUNK = 512;

// Reads up to n bytes at `off`; returns the count read.
size_t read_at(pf_file h, uint64_t off, void* buf, size_t n) {
    if (f_seek(h, static_cast<int64_t>(off), PfSeek::Begin) < 0) return 0;
    size_t got = 0;
    auto* p = static_cast<uint8_t*>(buf);
    while (got < n) {
        size_t r = f_read(h, p + got, n - got);
        if (r == 0) break;
        got += r;
    }
    return got;
}

// 0 when all n bytes were written at `off`.
int write_at(pf_file h, uint64_t off, const void* buf, size_t n) {
    if (f_seek(h, static_cast<int64_t>(off), PfSeek::Begin) < 0) return 1;
    return f_write(h, buf, n);
}

bool has_signature(const uint8_t* p) {
    return get_le32(p) == JAM_SIGNATURE;
}

void put_signature(uint8_t* p) {
    put_le32(p, JAM_SIGNATURE);
}

// Offset of the header of the last live index record (HdrOffset neither
// 0xFFFFFFFF nor outside the base header .. end of .jhr), or 0 when none.
uint64_t last_indexed_header(pf_file hidx, uint64_t nrec, uint64_t jhr_size) {
    uint8_t buf[IDX_CHUNK * JDX_SIZE];
    uint64_t end = nrec;
    uint64_t step = 1;  // the last record is nearly always live: read it alone first
    while (end > 0) {
        uint64_t first = end > step ? end - step : 0;
        step = IDX_CHUNK;
        size_t want = static_cast<size_t>((end - first) * JDX_SIZE);
        if (read_at(hidx, first * JDX_SIZE, buf, want) != want) return 0;
        for (uint64_t i = end; i > first; --i) {
            uint32_t off = get_le32(buf + (i - 1 - first) * JDX_SIZE + JDX_HDROFFSET);
            if (off != JDX_DELETED && off >= JHI_SIZE && off + JMH_SIZE <= jhr_size) return off;
        }
        end = first;
    }
    return 0;
}

// Makes the end of .jhr safe to append to. From the header of the last live
// index record, walks the headers to the end of the file: a complete header
// whose message number has no index record yet was left by an append that
// died before step "index record"; it gets JA_DELETED so that no walker
// takes it for a message. A partial header at the very end (torn write) is
// cut off so that the new header lands where the walk expects one. Anything
// else (no live index record, foreign bytes) is left as found.
// Returns 0, or 1 on a write failure; *jhr_size is updated after a cut.
int repair_tail(pf_file hhdr, pf_file hidx, uint64_t nrec, uint32_t base_num, uint64_t* jhr_size) {
    uint64_t size = *jhr_size;
    uint64_t start = last_indexed_header(hidx, nrec, size);
    const bool start_indexed = start != 0;
    if (start == 0) {
        // No live index record: the chain starts right after the base header
        // when the base has never had an index record at all.
        if (nrec != 0) return 0;
        start = JHI_SIZE;
    }
    if (size <= start || size - start > TAIL_CHECK_MAX) return 0;
    std::vector<uint8_t> tail(static_cast<size_t>(size - start));
    if (read_at(hhdr, start, tail.data(), tail.size()) != tail.size()) return 0;

    uint64_t pos = 0;
    const uint64_t n = tail.size();
    const uint64_t next_num = static_cast<uint64_t>(base_num) + nrec;
    while (pos < n) {
        const uint8_t* p = tail.data() + pos;
        uint64_t left = n - pos;
        if (left < JMH_SIZE) {
            // A torn header: cut it when what is there is the start of one.
            static const uint8_t sig[4] = {'J', 'A', 'M', 0};
            for (uint64_t i = 0; i < left && i < 4; ++i)
                if (p[i] != sig[i]) return 0;
            break;
        }
        if (!has_signature(p)) return 0;
        uint64_t end = pos + JMH_SIZE + get_le32(p + JMH_SUBFIELDLEN);
        uint32_t num = get_le32(p + JMH_MESSAGENUMBER);
        bool unindexed = num >= next_num;
        if (end > n) {
            // Header complete, subfields torn: only an unfinished append does that.
            if (!unindexed) return 0;
            break;
        }
        uint32_t attr = get_le32(p + JMH_ATTRIBUTE);
        if (unindexed && (pos > 0 || !start_indexed) && (attr & JA_DELETED) == 0) {
            uint8_t b[4];
            put_le32(b, attr | JA_DELETED);
            if (write_at(hhdr, start + pos + JMH_ATTRIBUTE, b, 4) != 0) return 1;
        }
        pos = end;
    }
    if (pos < n) {
        if (f_seek(hhdr, static_cast<int64_t>(start + pos), PfSeek::Begin) < 0 ||
            pf_set_end(hhdr) != 0)
            return 1;
        *jhr_size = start + pos;
    }
    return 0;
}

// The opening once the byte lock is held: base header (written for a new
// base), last-read file, index and text files, tail repair. 0 or 1 (logged).
int open_locked(JamWriter& w, uint32_t now) {
    const char* base_path = w.path;
    char fidx[WP_PATH_MAX], ftxt[WP_PATH_MAX], flr[WP_PATH_MAX];
    mkpath(ftxt, base_path, ".jdt");
    mkpath(fidx, base_path, ".jdx");
    mkpath(flr, base_path, ".jlr");
    int64_t jhr_size = f_size(w.hdr);
    if (jhr_size < 0) {
        log_msg2(jam_m_open, base_path);
        return 1;
    }
    uint8_t* base = w.base;
    std::memset(base, 0, JHI_SIZE);
    uint64_t hdr_off = static_cast<uint64_t>(jhr_size);
    if (jhr_size == 0) {
        put_signature(base + JHI_SIGNATURE);
        put_le32(base + JHI_DATECREATED, now);
        put_le32(base + JHI_PASSWORDCRC, JAM_NO_CRC);
        put_le32(base + JHI_BASEMSGNUM, 1);
        hdr_off = JHI_SIZE;
        // A new base gets its last-read file before its header: a process
        // killed between the two must not leave a base that has a header
        // but no last-read file.
        pf_file nlr = f_open_always(flr);
        if (nlr != PF_INVALID) f_close(nlr);
        // The empty base header goes to disk first: a message header written
        // at 1024 before it would leave a base without signature (damaged for
        // good) if the process died before the last step.
        if (pf_pwrite(w.hdr, base, JHI_SIZE, 0) != 0) {
            log_msg2(m_write, base_path);
            return 1;
        }
    } else if (jhr_size < static_cast<int64_t>(JHI_SIZE) ||
               pf_pread(w.hdr, base, JHI_SIZE, 0) != static_cast<int64_t>(JHI_SIZE) ||
               !has_signature(base)) {
        log_msg2(jam_m_corrupt, base_path);
        return 1;
    }
    const uint32_t base_num = get_le32(base + JHI_BASEMSGNUM);
    // The last-read file exists before the first message does: an append
    // killed right after its message was written must not leave a base
    // without one.
    pf_file hlr = f_open_always(flr);
    if (hlr != PF_INVALID) f_close(hlr);

    w.idx = f_open_always(fidx);
    int64_t jdx_size = w.idx == PF_INVALID ? -1 : f_size(w.idx);
    if (jdx_size < 0) {
        log_msg2(jam_m_open, base_path);
        return 1;
    }
    w.nrec = static_cast<uint64_t>(jdx_size) / JDX_SIZE;

    if (jhr_size > 0) {
        if (repair_tail(w.hdr, w.idx, w.nrec, base_num, &hdr_off) != 0) {
            log_msg2(m_write, base_path);
            return 1;
        }
    }
    w.jhr_size = hdr_off;

    w.txt = f_open_always(ftxt);
    int64_t jdt_size = w.txt == PF_INVALID ? -1 : f_size(w.txt);
    if (jdt_size < 0) {
        log_msg2(jam_m_open, base_path);
        return 1;
    }
    w.jdt_size = static_cast<uint64_t>(jdt_size);
    return 0;
}

// One append into an open writer. 0 or 1 (logged; the caller closes).
int append_open(JamWriter& w, JamMsg& m) {
    const char* base_path = w.path;
    const uint64_t txt_off = w.jdt_size;
    const uint64_t hdr_off = w.jhr_size;
    const uint32_t msgnum = static_cast<uint32_t>(w.nrec + get_le32(w.base + JHI_BASEMSGNUM));
    // Offsets are 32 bits wide: a text or header beyond 4 GiB could not be
    // found again (its offset would wrap onto older data). Refuse it.
    if (txt_off + m.jm_textlen > JAM_FILE_MAX || hdr_off + JMH_SIZE + m.jm_subflen > JAM_FILE_MAX) {
        log_msg2(m_write, base_path);
        return 1;
    }
    if (m.jm_textlen > 0 && pf_pwrite(w.txt, m.jm_text, m.jm_textlen, txt_off) != 0) {
        log_msg2(m_write, base_path);
        return 1;
    }
    w.jdt_size = txt_off + m.jm_textlen;

    // Header and subfields in one write, so that a crash cannot leave a
    // header whose subfields are missing in the middle of the file.
    std::vector<uint8_t> rec(JMH_SIZE + static_cast<size_t>(m.jm_subflen));
    uint8_t* h = rec.data();
    put_signature(h + JMH_SIGNATURE);
    put_le16(h + JMH_REVISION, JAM_REVISION);
    put_le16(h + JMH_RESERVEDWORD, 0);
    put_le32(h + JMH_SUBFIELDLEN, m.jm_subflen);
    put_le32(h + JMH_TIMESREAD, 0);
    put_le32(h + JMH_MSGIDCRC, m.jm_msgidcrc);
    put_le32(h + JMH_REPLYCRC, m.jm_replycrc);
    put_le32(h + JMH_REPLYTO, m.jm_replyto);
    put_le32(h + JMH_REPLY1ST, 0);
    put_le32(h + JMH_REPLYNEXT, 0);
    put_le32(h + JMH_DATEWRITTEN, m.jm_date);
    put_le32(h + JMH_DATERECEIVED, m.jm_now);
    put_le32(h + JMH_DATEPROCESSED, m.jm_now);
    put_le32(h + JMH_MESSAGENUMBER, msgnum);
    put_le32(h + JMH_ATTRIBUTE, m.jm_attr);
    put_le32(h + JMH_ATTRIBUTE2, 0);
    put_le32(h + JMH_TXTOFFSET, static_cast<uint32_t>(txt_off));
    put_le32(h + JMH_TXTLEN, m.jm_textlen);
    put_le32(h + JMH_PASSWORDCRC, JAM_NO_CRC);
    put_le32(h + JMH_COST, 0);
    if (m.jm_subflen > 0) mem_copy(h + JMH_SIZE, m.jm_subf, m.jm_subflen);
    if (pf_pwrite(w.hdr, rec.data(), rec.size(), hdr_off) != 0) {
        log_msg2(m_write, base_path);
        return 1;
    }

    // Over a torn partial record, if there is one: records stay 8-aligned.
    uint8_t ix[JDX_SIZE];
    put_le32(ix + JDX_USERCRC, m.jm_usercrc);
    put_le32(ix + JDX_HDROFFSET, static_cast<uint32_t>(hdr_off));
    if (pf_pwrite(w.idx, ix, JDX_SIZE, w.nrec * JDX_SIZE) != 0) {
        log_msg2(m_write, base_path);
        return 1;
    }

    // Only the two counters change: they alone are written (the rest of the
    // base header is on disk since the opening).
    static_assert(JHI_ACTIVEMSGS == JHI_MODCOUNTER + 4, "counters side by side");
    uint8_t* base = w.base;
    put_le32(base + JHI_MODCOUNTER, get_le32(base + JHI_MODCOUNTER) + 1);
    put_le32(base + JHI_ACTIVEMSGS, get_le32(base + JHI_ACTIVEMSGS) + 1);
    if (pf_pwrite(w.hdr, base + JHI_MODCOUNTER, 8, JHI_MODCOUNTER) != 0) {
        log_msg2(m_write, base_path);
        return 1;
    }
    w.jhr_size = hdr_off + rec.size();
    ++w.nrec;
    ++w.appended;
    m.jm_msgnum = msgnum;
    return 0;
}

}  // namespace

void mkpath(char* dst, const char* base, const char* ext) {
    str_copy(dst, base, WP_PATH_MAX);
    str_cat(dst, ext, WP_PATH_MAX);
}

int jam_lock(pf_file jhr, int attempts) {
    for (int i = 0; i < attempts; ++i) {
        if (pf_lock_range(jhr, 0, 1) == 0) return 0;
        if (i + 1 < attempts) pf_sleep_ms(JAM_LOCK_SLEEP_MS);
    }
    return 1;
}

void jam_unlock(pf_file jhr) {
    pf_unlock_range(jhr, 0, 1);
}

JamWriter::~JamWriter() {
    jam_writer_close(*this);
}

bool jam_writer_is_open(const JamWriter& w) {
    return w.hdr != PF_INVALID;
}

void jam_writer_close(JamWriter& w) {
    if (w.txt != PF_INVALID) f_close(w.txt);
    if (w.idx != PF_INVALID) f_close(w.idx);
    if (w.hdr != PF_INVALID) {
        jam_unlock(w.hdr);
        f_close(w.hdr);
    }
    w.txt = w.idx = w.hdr = PF_INVALID;
    w.appended = 0;
}

namespace {
int writer_open(JamWriter& w, const char* base_path, uint32_t now, int attempts) {
    jam_writer_close(w);
    str_copy(w.path, base_path, sizeof w.path);
    char fhdr[WP_PATH_MAX];
    mkpath(fhdr, base_path, ".jhr");
    UniqueFile h(f_open_always(fhdr));
    if (!h) {
        log_msg2(jam_m_open, base_path);
        return 1;
    }
    if (jam_lock(h.get(), attempts) != 0) {
        log_msg2(jam_m_locked, base_path);
        return 1;
    }
    w.hdr = h.release();
    if (open_locked(w, now) != 0) {
        jam_writer_close(w);
        return 1;
    }
    return 0;
}
}  // namespace

int jam_writer_open(JamWriter& w, const char* base_path, uint32_t now, int attempts) {
    return writer_open(w, base_path, now, attempts);
}

int jam_writer_append(JamWriter& w, JamMsg& m) {
    if (!jam_writer_is_open(w)) {
        log_msg2(jam_m_open, w.path);
        return 1;
    }
    if (append_open(w, m) != 0) {
        jam_writer_close(w);
        return 1;
    }
    return 0;
}

int jam_append(const char* base_path, JamMsg& m) {
    JamWriter w;
    if (writer_open(w, base_path, m.jm_now, JAM_LOCK_TRIES) != 0) return 1;
    int r = jam_writer_append(w, m);
    jam_writer_close(w);
    return r;
}

void jam_subf_add(std::string& block, uint16_t lo_id, const void* data, size_t len) {
    append_le16(block, lo_id);
    append_le16(block, 0);
    append_le32(block, static_cast<uint32_t>(len));
    if (len > 0) block.append(static_cast<const char*>(data), len);
}

void jam_subf_add(std::string& block, uint16_t lo_id, const char* text) {
    jam_subf_add(block, lo_id, text, str_len(text));
}

// ---- Reading -------------------------------------------------------------------

int jam_parse_base(const uint8_t* jhr, size_t n, JamBaseHeader& out) {
    if (n < JHI_SIZE || !has_signature(jhr)) return 1;
    out.Signature = get_le32(jhr + JHI_SIGNATURE);
    out.DateCreated = get_le32(jhr + JHI_DATECREATED);
    out.ModCounter = get_le32(jhr + JHI_MODCOUNTER);
    out.ActiveMsgs = get_le32(jhr + JHI_ACTIVEMSGS);
    out.PasswordCRC = get_le32(jhr + JHI_PASSWORDCRC);
    out.BaseMsgNum = get_le32(jhr + JHI_BASEMSGNUM);
    return 0;
}

int jam_parse_header(const uint8_t* jhr, size_t n, uint64_t off, JamHeader& out) {
    if (off > n || n - off < JMH_SIZE) return 1;
    const uint8_t* p = jhr + off;
    if (!has_signature(p)) return 1;
    out.offset = static_cast<uint32_t>(off);
    out.Revision = get_le16(p + JMH_REVISION);
    out.ReservedWord = get_le16(p + JMH_RESERVEDWORD);
    out.SubfieldLen = get_le32(p + JMH_SUBFIELDLEN);
    out.TimesRead = get_le32(p + JMH_TIMESREAD);
    out.MSGIDcrc = get_le32(p + JMH_MSGIDCRC);
    out.REPLYcrc = get_le32(p + JMH_REPLYCRC);
    out.ReplyTo = get_le32(p + JMH_REPLYTO);
    out.Reply1st = get_le32(p + JMH_REPLY1ST);
    out.Replynext = get_le32(p + JMH_REPLYNEXT);
    out.DateWritten = get_le32(p + JMH_DATEWRITTEN);
    out.DateReceived = get_le32(p + JMH_DATERECEIVED);
    out.DateProcessed = get_le32(p + JMH_DATEPROCESSED);
    out.MessageNumber = get_le32(p + JMH_MESSAGENUMBER);
    out.Attribute = get_le32(p + JMH_ATTRIBUTE);
    out.Attribute2 = get_le32(p + JMH_ATTRIBUTE2);
    out.TxtOffset = get_le32(p + JMH_TXTOFFSET);
    out.TxtLen = get_le32(p + JMH_TXTLEN);
    out.PasswordCRC = get_le32(p + JMH_PASSWORDCRC);
    out.Cost = get_le32(p + JMH_COST);
    uint64_t avail = n - off - JMH_SIZE;
    out.subf = p + JMH_SIZE;
    out.subf_len = static_cast<uint32_t>(avail < out.SubfieldLen ? avail : out.SubfieldLen);
    return 0;
}

void jam_subf_start(JamSubfWalk& w, const JamHeader& h) {
    w.p = h.subf;
    w.len = h.subf_len;
    w.pos = 0;
}

bool jam_subf_next(JamSubfWalk& w, JamSubfield& sf) {
    if (w.p == nullptr || w.pos > w.len || w.len - w.pos < JSF_HDR) return false;
    const uint8_t* p = w.p + w.pos;
    sf.LoID = get_le16(p);
    sf.HiID = get_le16(p + 2);
    uint32_t len = get_le32(p + 4);
    uint32_t left = w.len - w.pos - JSF_HDR;
    sf.DatLen = len < left ? len : left;
    sf.data = p + JSF_HDR;
    w.pos += JSF_HDR + sf.DatLen;
    return true;
}

bool jam_subf_find(const JamHeader& h, uint16_t id, std::string& out) {
    JamSubfWalk w;
    JamSubfield sf;
    jam_subf_start(w, h);
    while (jam_subf_next(w, sf)) {
        if (sf.LoID == id) {
            out.assign(reinterpret_cast<const char*>(sf.data), sf.DatLen);
            return true;
        }
    }
    return false;
}

void jam_hdr_walk_start(JamHdrWalk& w, const uint8_t* jhr, size_t n) {
    w = JamHdrWalk{};
    w.jhr = jhr;
    w.n = n;
    w.pos = JHI_SIZE;
}

void jam_hdr_walk_start(JamHdrWalk& w, const JamImage& img) {
    jam_hdr_walk_start(w, img.jhr.data(), img.jhr.size());
    w.check_index = true;
    w.idx_records = img.jdx.size() / JDX_SIZE;
    w.base_msg_num = img.base.BaseMsgNum;
}

namespace {
bool torn_tail(const JamHdrWalk& w) {
    static const uint8_t sig[4] = {'J', 'A', 'M', 0};
    uint64_t left = w.n - w.pos;
    const uint8_t* p = w.jhr + w.pos;
    if (left < JMH_SIZE) return std::memcmp(p, sig, left < 4 ? left : 4) == 0;
    if (get_le32(p) != JAM_SIGNATURE) return false;
    uint64_t end = w.pos + JMH_SIZE + get_le32(p + JMH_SUBFIELDLEN);
    uint32_t num = get_le32(p + JMH_MESSAGENUMBER);
    return end > w.n && num >= w.base_msg_num && num - w.base_msg_num >= w.idx_records;
}
}  // namespace

bool jam_hdr_walk_next(JamHdrWalk& w, JamHeader& h) {
    while (true) {
        if (w.jhr == nullptr || w.pos >= w.n) return false;
        if (jam_parse_header(w.jhr, w.n, w.pos, h) != 0 || h.subf_len < h.SubfieldLen) {
            // With the index known, a header cut off by the end of the file
            // after every indexed message is what an append killed in the
            // middle of its write leaves (the next append cuts it off): the
            // messages end here, nothing is damaged.
            if (!(w.check_index && torn_tail(w))) w.damaged = true;
            return false;
        }
        w.pos += JMH_SIZE + static_cast<uint64_t>(h.SubfieldLen);
        if (w.check_index && h.MessageNumber >= w.base_msg_num &&
            h.MessageNumber - w.base_msg_num >= w.idx_records)
            continue;
        return true;
    }
}

void jam_idx_walk_start(JamIdxWalk& w, const uint8_t* jhr, size_t jhr_n, const uint8_t* jdx,
                        size_t jdx_n, uint32_t base_msg_num) {
    w.jhr = jhr;
    w.jhr_n = jhr_n;
    w.jdx = jdx;
    w.jdx_n = jdx_n;
    w.base_msg_num = base_msg_num;
    w.i = 0;
}

bool jam_idx_walk_next(JamIdxWalk& w, uint32_t& msgnum, uint32_t& usercrc, JamHeader& h) {
    while (w.jdx != nullptr && (w.i + 1) * JDX_SIZE <= w.jdx_n) {
        const uint8_t* r = w.jdx + w.i * JDX_SIZE;
        size_t i = w.i++;
        uint32_t off = get_le32(r + JDX_HDROFFSET);
        if (off == JDX_DELETED) continue;
        if (jam_parse_header(w.jhr, w.jhr_n, off, h) != 0) continue;
        msgnum = static_cast<uint32_t>(w.base_msg_num + i);
        usercrc = get_le32(r + JDX_USERCRC);
        return true;
    }
    return false;
}

namespace {
// Reads a whole file; a missing file reads as empty. 0, or 1 on a read error.
int read_whole(const char* path, std::vector<uint8_t>& out) {
    out.clear();
    UniqueFile h(f_open_read(path));
    if (!h) return pf_stat(path).exists ? 1 : 0;
    int64_t size = f_size(h.get());
    if (size < 0) return 1;
    out.resize(static_cast<size_t>(size));
    out.resize(read_at(h.get(), 0, out.data(), out.size()));
    return 0;
}
}  // namespace

int jam_load(const char* base_path, JamImage& img) {
    char path[WP_PATH_MAX];
    img.base = JamBaseHeader{};
    img.jdx.clear();
    mkpath(path, base_path, ".jhr");
    if (read_whole(path, img.jhr) != 0) return 1;
    if (img.jhr.empty()) return 0;
    if (jam_parse_base(img.jhr.data(), img.jhr.size(), img.base) != 0) return 2;
    mkpath(path, base_path, ".jdx");
    if (read_whole(path, img.jdx) != 0) return 1;
    return 0;
}

bool jam_is_indexed(const JamImage& img, const JamHeader& h) {
    if (h.MessageNumber < img.base.BaseMsgNum) return false;
    uint64_t i = h.MessageNumber - img.base.BaseMsgNum;
    if ((i + 1) * JDX_SIZE > img.jdx.size()) return false;
    return get_le32(img.jdx.data() + i * JDX_SIZE + JDX_HDROFFSET) == h.offset;
}

int jam_read_text(const char* base_path, const JamHeader& h, std::string& out) {
    char path[WP_PATH_MAX];
    mkpath(path, base_path, ".jdt");
    out.clear();
    pf_file f = f_open_read(path);
    if (f == PF_INVALID) return 1;
    int64_t size = f_size(f);
    if (size > static_cast<int64_t>(h.TxtOffset)) {
        uint64_t avail = static_cast<uint64_t>(size) - h.TxtOffset;
        out.resize(static_cast<size_t>(avail < h.TxtLen ? avail : h.TxtLen));
        out.resize(read_at(f, h.TxtOffset, out.data(), out.size()));
    }
    f_close(f);
    return 0;
}
