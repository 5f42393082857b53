#include "jam/dupe.h"

#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string>

#include "config/config.h"
#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/messages.h"

namespace {

constexpr uint32_t DUPE_REC = 8;
constexpr size_t JNL_FIXED = 8 + 4 + 2;       // key, index records, path length
constexpr size_t JNL_CRC = 4;                 // CRC-32 behind the path
constexpr uint32_t VERIFY_RECORDS = 64;       // index records looked at by dupe_verify
constexpr uint16_t JNL_RESUME_ONLY = 0x8000;  // flag in the path length: not a dupe key
constexpr uint16_t JNL_LEN_MASK = 0x7FFF;
constexpr uint64_t JNL_MAX = 256u << 20;  // a longer journal is not replayed
constexpr int SLOT_BITS = 19;             // 2 slots per key: probes stay short when full
constexpr uint32_t SLOT_COUNT = 1u << SLOT_BITS;
constexpr uint32_t SLOT_MASK = SLOT_COUNT - 1;

uint32_t slot_of(uint64_t key) {
    return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - SLOT_BITS));
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Inserts key index i (its key already stored) into the hash index.
void index_insert(DupeDb& db, uint32_t i) {
    uint32_t s = slot_of(db.keys[i]);
    while (db.slots[s] != 0) s = (s + 1) & SLOT_MASK;
    db.slots[s] = i + 1;
}

bool ensure_table(DupeDb& db) {
    if (db.keys && db.slots) return true;
    db.keys.reset(new (std::nothrow) uint64_t[MAX_DUPES]);
    db.slots.reset(new (std::nothrow) uint32_t[SLOT_COUNT]());
    return db.keys && db.slots;
}

// Index records (whole 8-byte ones) of the base's .jdx: the position the
// next append gives its message.
uint32_t index_records(const char* base_path) {
    char jdx[WP_PATH_MAX];
    mkpath(jdx, base_path, ".jdx");
    PfStat st = pf_stat(jdx);
    return st.exists ? static_cast<uint32_t>(static_cast<uint64_t>(st.size) / JDX_SIZE) : 0;
}

// FNV-1a, 64 bits: the hash of the key of a message without a MSGID.
constexpr uint64_t FNV_START = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

uint64_t fnv(uint64_t h, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * FNV_PRIME;
    return h;
}

// A length or number as four little-endian bytes, so that no two different
// field sequences hash the same bytes.
uint64_t fnv_u32(uint64_t h, uint32_t v) {
    uint8_t b[4];
    put_le32(b, v);
    return fnv(h, b, sizeof b);
}

// Whether a subfield says where the message passed rather than what it is:
// SEEN-BY, PATH and Via lines, the AREA: marker the toss adds to echomail in
// the bad and dupe areas, and an echomail message's origin address (the
// system that packed it, not its author's). Two copies that came different
// ways still give one key.
bool route_only(uint16_t id, const uint8_t* data, uint32_t n, bool echo) {
    if (id == SF_SEENBY || id == SF_PATH || id == SF_TRACE) return true;
    if (id == SF_OADDR && echo) return true;
    return id == SF_KLUDGE && n >= 5 && std::memcmp(data, "AREA:", 5) == 0;
}

// The index position of the message with `key` among the index records from
// `count` on (at most VERIFY_RECORDS) of a loaded base, skipping positions in
// `taken`; -1 when there is none.
int64_t image_find(const JamImage& img, const char* base_path, uint32_t count, uint64_t key,
                   const std::set<size_t>* taken = nullptr) {
    const size_t records = img.jdx.size() / JDX_SIZE;
    for (size_t i = count; i < records && i < static_cast<size_t>(count) + VERIFY_RECORDS; ++i) {
        if (taken != nullptr && taken->count(i) != 0) continue;
        uint32_t off = get_le32(img.jdx.data() + i * JDX_SIZE + 4);
        JamHeader h;
        if (jam_parse_header(img.jhr.data(), img.jhr.size(), off, h) != 0) continue;
        if ((h.Attribute & JA_DELETED) != 0) continue;
        JamSubfWalk w;
        JamSubfield sf;
        jam_subf_start(w, h);
        bool msgid = false;
        while (jam_subf_next(w, sf)) {
            if (sf.LoID != SF_MSGID) continue;
            const auto* m = reinterpret_cast<const char*>(sf.data);
            if (!dupe_msgid_usable(m, sf.DatLen)) continue;
            msgid = true;
            if (dupe_key(base_path, m, sf.DatLen) == key) return static_cast<int64_t>(i);
        }
        if (msgid) continue;
        // A message without a MSGID: its key from what the base holds. A
        // date the toss did not understand was stored as the run's time
        // (DateWritten = DateReceived) and counted as 0 in the key.
        std::string text;
        if (jam_read_text(base_path, h, text) != 0) continue;
        const uint32_t subflen = h.subf_len;
        if (dupe_text_key(base_path, h.Attribute, h.DateWritten, h.subf, subflen, text.data(),
                          text.size()) == key ||
            (h.DateWritten == h.DateReceived &&
             dupe_text_key(base_path, h.Attribute, 0, h.subf, subflen, text.data(), text.size()) ==
                 key))
            return static_cast<int64_t>(i);
    }
    return -1;
}

// A base path of another format than JAM ("msg:" before it).
bool is_other(const char* path) {
    AreaFormat f;
    cfg_base_loc(path, f);
    return f != AreaFormat::Jam;
}

// Replays the journal left by a run that did not finish: each intent whose
// message is in its base joins the resume set, and gives its key back to the
// file when it is a dupe key. The file is saved and synced; the journal stays
// until a run finishes. Returns the number of keys given back.
uint32_t replay_journal(DupeDb& db) {
    std::string data;
    if (f_read_whole(db.jnl_path, data, JNL_MAX) != 0 || data.empty()) return 0;
    db.jnl_size = data.size();
    // Each base is read once; each of its messages answers one intent only
    // (an intent whose append never happened must not count the same message
    // that a later run filed under the same key).
    struct Base {
        JamImage img;
        std::set<size_t> taken;
        std::set<int64_t> taken_other;  // message numbers, for another format
    };
    std::map<std::string, std::unique_ptr<Base>> bases;
    uint32_t recovered = 0;
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    size_t pos = 0;
    while (data.size() - pos >= JNL_FIXED + JNL_CRC) {
        const uint8_t* rec = p + pos;
        uint64_t key =
            static_cast<uint64_t>(get_le32(rec)) | (static_cast<uint64_t>(get_le32(rec + 4)) << 32);
        uint32_t count = get_le32(rec + 8);
        uint16_t len_flag = get_le16(rec + 12);
        size_t n = len_flag & JNL_LEN_MASK;
        bool keep = (len_flag & JNL_RESUME_ONLY) == 0;
        if (n >= WP_PATH_MAX || data.size() - pos < JNL_FIXED + n + JNL_CRC) break;
        if (~crc_update(rec, JNL_FIXED + n, 0xFFFFFFFFu) != get_le32(rec + JNL_FIXED + n)) break;
        db.jnl_size = pos + JNL_FIXED + n + JNL_CRC;
        std::string path(reinterpret_cast<const char*>(rec + JNL_FIXED), n);
        pos += JNL_FIXED + n + JNL_CRC;
        auto& b = bases[path];
        const bool other = is_other(path.c_str());
        if (!b) {
            b = std::make_unique<Base>();
            if (!other && jam_load(path.c_str(), b->img) != 0) b->img = JamImage{};
        }
        int64_t at = -1;
        if (!other)
            at = image_find(b->img, path.c_str(), count, key, &b->taken);
        else if (db.verify_other != nullptr)
            at = db.verify_other(path.c_str(), count, key, b->taken_other);
        if (at < 0) continue;
        if (other)
            b->taken_other.insert(at);
        else
            b->taken.insert(static_cast<size_t>(at));
        ++db.resume[key];
        if (keep && !dupe_has_key(db, key) && dupe_add_key(db, key) == 0) ++recovered;
    }
    if (dupe_settle(db) == 0 && recovered > 0) log_num(dupe_m_replay, recovered);
    return recovered;
}

}  // namespace

DupeDb::~DupeDb() = default;

uint64_t dupe_key(const char* base_path, const char* msgid, size_t len) {
    while (len > 0 && is_blank(*msgid)) {
        ++msgid;
        --len;
    }
    while (len > 0 && is_blank(msgid[len - 1])) --len;
    const size_t plen = str_len(base_path);
    uint32_t low = crc_update(msgid, len, crc_update_lc(base_path, plen, 0xFFFFFFFFu));
    uint32_t high = crc_update_lc(base_path, plen, crc_update(msgid, len, 0x5A5A5A5Au));
    return (static_cast<uint64_t>(high) << 32) | low;
}

bool dupe_msgid_usable(const char* msgid, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (!is_blank(msgid[i])) return true;
    return false;
}

uint64_t dupe_text_key(const char* base_path, uint32_t attr, uint32_t date, const void* subf,
                       size_t subflen, const void* text, size_t textlen) {
    const bool echo = (attr & JA_ECHO) != 0;
    uint64_t h = fnv(FNV_START, "wrenpost no MSGID", 17);
    const size_t plen = str_len(base_path);
    h = fnv_u32(h, static_cast<uint32_t>(plen));
    for (size_t i = 0; i < plen; ++i) {
        char c = base_path[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        h = fnv(h, &c, 1);
    }
    h = fnv_u32(h, date);
    JamSubfWalk w;
    w.p = static_cast<const uint8_t*>(subf);
    w.len = static_cast<uint32_t>(subflen);
    w.pos = 0;
    JamSubfield sf;
    while (jam_subf_next(w, sf)) {
        if (route_only(sf.LoID, sf.data, sf.DatLen, echo)) continue;
        h = fnv_u32(h, sf.LoID | (static_cast<uint32_t>(sf.HiID) << 16));
        h = fnv_u32(h, sf.DatLen);
        h = fnv(h, sf.data, sf.DatLen);
    }
    h = fnv_u32(h, 0xFFFFFFFFu);  // no subfield has this id: the text follows
    h = fnv_u32(h, static_cast<uint32_t>(textlen));
    return fnv(h, text, textlen);
}

int dupe_load(DupeDb& db, const char* path) {
    str_copy(db.path, path, sizeof db.path);
    str_copy(db.jnl_path, path, sizeof db.jnl_path);
    str_cat(db.jnl_path, ".jnl", sizeof db.jnl_path);
    db.jnl.reset();
    db.keyf.reset();
    db.jnl_size = 0;
    db.pending = false;
    db.resume.clear();
    db.resume_skipped = 0;
    db.dupe_count = 0;
    db.dupe_saved = 0;
    db.keys.reset();
    db.slots.reset();
    if (!ensure_table(db)) return 1;

    pf_file h = f_open_read(path);
    if (h != PF_INVALID) {
        int64_t size = f_size(h);
        uint64_t want = size > 0 ? static_cast<uint64_t>(size) : 0;
        if (want > static_cast<uint64_t>(MAX_DUPES) * DUPE_REC) want = MAX_DUPES * DUPE_REC;
        want -= want % DUPE_REC;
        std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[want > 0 ? want : 1]);
        size_t got = 0;
        if (buf) {
            while (got < want) {
                size_t r = f_read(h, buf.get() + got, static_cast<size_t>(want - got));
                if (r == 0) break;
                got += r;
            }
        }
        f_close(h);
        uint32_t n = static_cast<uint32_t>(got / DUPE_REC);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* p = buf.get() + static_cast<size_t>(i) * DUPE_REC;
            db.keys[i] =
                static_cast<uint64_t>(get_le32(p)) | (static_cast<uint64_t>(get_le32(p + 4)) << 32);
            index_insert(db, i);
        }
        db.dupe_count = n;
        db.dupe_saved = n;
    }
    lb_start();
    lb_add(dupe_m_loaded);
    lb_num(db.dupe_count);
    lb_add(m_entries);
    lb_flush();
    replay_journal(db);
    return 0;
}

bool dupe_has_key(const DupeDb& db, uint64_t key) {
    if (!db.slots) return false;
    for (uint32_t s = slot_of(key);; s = (s + 1) & SLOT_MASK) {
        uint32_t v = db.slots[s];
        if (v == 0) return false;
        if (db.keys[v - 1] == key) return true;
    }
}

bool dupe_find_linear(const DupeDb& db, uint64_t key) {
    for (uint32_t i = db.dupe_count; i > 0; --i)
        if (db.keys[i - 1] == key) return true;
    return false;
}

int dupe_add_key(DupeDb& db, uint64_t key) {
    if (dupe_has_key(db, key)) return 0;
    if (!ensure_table(db) || db.dupe_count >= MAX_DUPES) {
        if (!db.dupe_warned) {
            db.dupe_warned = true;
            log_msg(dupe_m_full);
        }
        return 1;
    }
    db.keys[db.dupe_count] = key;
    index_insert(db, db.dupe_count);
    ++db.dupe_count;
    return 0;
}

int dupe_known(const DupeDb& db, const char* base_path, const char* msgid, size_t len) {
    return dupe_has_key(db, dupe_key(base_path, msgid, len)) ? 1 : 0;
}

int dupe_remember(DupeDb& db, const char* base_path, const char* msgid, size_t len) {
    return dupe_add_key(db, dupe_key(base_path, msgid, len));
}

int dupe_check(DupeDb& db, const char* base_path, const char* msgid, size_t len) {
    uint64_t key = dupe_key(base_path, msgid, len);
    if (dupe_has_key(db, key)) return 1;
    dupe_add_key(db, key);
    return 0;
}

int dupe_save(DupeDb& db) {
    if (db.dupe_count <= db.dupe_saved) return 0;
    if (!db.keyf) db.keyf.reset(f_open_always(db.path));
    if (!db.keyf) {
        log_msg2(m_saveerr, db.path);
        return 1;
    }
    const uint32_t n = db.dupe_count - db.dupe_saved;
    uint8_t one[DUPE_REC];
    std::unique_ptr<uint8_t[]> big;
    uint8_t* buf = one;
    if (n > 1) {
        big.reset(new (std::nothrow) uint8_t[static_cast<size_t>(n) * DUPE_REC]);
        buf = big.get();
    }
    int r = 1;
    if (buf != nullptr) {
        for (uint32_t i = 0; i < n; ++i) {
            uint64_t k = db.keys[db.dupe_saved + i];
            uint8_t* p = buf + static_cast<size_t>(i) * DUPE_REC;
            put_le32(p, static_cast<uint32_t>(k));
            put_le32(p + 4, static_cast<uint32_t>(k >> 32));
        }
        r = pf_pwrite(db.keyf.get(), buf, static_cast<size_t>(n) * DUPE_REC,
                      static_cast<uint64_t>(db.dupe_saved) * DUPE_REC);
    }
    if (r != 0) {
        // Opened afresh by the next save.
        db.keyf.reset();
        log_msg2(m_saveerr, db.path);
        return 1;
    }
    db.dupe_saved = db.dupe_count;
    return 0;
}

int dupe_intent(DupeDb& db, uint64_t key, const char* base_path, bool keep) {
    return dupe_intent_at(db, key, base_path, index_records(base_path), keep);
}

int dupe_intent_at(DupeDb& db, uint64_t key, const char* base_path, uint32_t count, bool keep) {
    db.pending = false;
    size_t n = str_len(base_path);
    if (n >= WP_PATH_MAX) n = WP_PATH_MAX - 1;
    if (!db.jnl) {
        db.jnl.reset(f_open_always(db.jnl_path));
        if (!db.jnl) {
            log_msg2(dupe_m_jnlerr, db.jnl_path);
            return 1;
        }
        // Records go behind the part the replay found whole; a torn tail
        // is cut off.
        if (f_seek(db.jnl.get(), static_cast<int64_t>(db.jnl_size), PfSeek::Begin) >= 0)
            pf_set_end(db.jnl.get());
    }
    uint8_t rec[JNL_FIXED + WP_PATH_MAX + JNL_CRC];
    put_le32(rec, static_cast<uint32_t>(key));
    put_le32(rec + 4, static_cast<uint32_t>(key >> 32));
    put_le32(rec + 8, count);
    put_le16(rec + 12, static_cast<uint16_t>(n | (keep ? 0 : JNL_RESUME_ONLY)));
    std::memcpy(rec + JNL_FIXED, base_path, n);
    put_le32(rec + JNL_FIXED + n, ~crc_update(rec, JNL_FIXED + n, 0xFFFFFFFFu));
    const size_t len = JNL_FIXED + n + JNL_CRC;
    // A failed write may leave a torn record; the next one goes over it.
    if (pf_pwrite(db.jnl.get(), rec, len, db.jnl_size) != 0) {
        log_msg2(dupe_m_jnlerr, db.jnl_path);
        return 1;
    }
    db.jnl_size += len;
    db.pend_key = key;
    db.pend_count = count;
    str_copy(db.pend_path, base_path, sizeof db.pend_path);
    db.pending = keep;
    return 0;
}

int dupe_commit(DupeDb& db, uint64_t key) {
    db.pending = false;
    if (dupe_add_key(db, key) != 0) return 0;  // table full: nothing to keep
    return dupe_save(db);
}

int dupe_note(DupeDb& db, uint64_t key) {
    db.pending = false;
    return dupe_add_key(db, key);
}

bool dupe_resolve(DupeDb& db) {
    if (!db.pending) return false;
    db.pending = false;
    if (!dupe_verify_any(db, db.pend_path, db.pend_count, db.pend_key)) return false;
    dupe_commit(db, db.pend_key);
    return true;
}

int dupe_settle(DupeDb& db) {
    db.pending = false;
    if (db.dupe_count > db.dupe_saved && dupe_save(db) != 0) {
        if (db.jnl) pf_sync(db.jnl.get());
        return 1;
    }
    if (db.keyf) {
        if (pf_sync(db.keyf.get()) == 0) return 0;
        // The keys may not be on disk: the journal must be.
        if (db.jnl) pf_sync(db.jnl.get());
        log_msg2(m_saveerr, db.path);
        return 1;
    }
    pf_file h = f_open_read(db.path);
    if (h != PF_INVALID) {
        pf_sync(h);
        f_close(h);
    }
    return 0;
}

int dupe_finish(DupeDb& db) {
    if (dupe_settle(db) != 0) return 1;
    if (!db.jnl && pf_stat(db.jnl_path).exists)
        db.jnl.reset(pf_open(db.jnl_path, PfAccess::ReadWrite, PfCreate::OpenExisting));
    if (db.jnl && (db.jnl_size > 0 || f_size(db.jnl.get()) > 0)) {
        if (f_seek(db.jnl.get(), 0, PfSeek::Begin) != 0 || pf_set_end(db.jnl.get()) != 0 ||
            pf_sync(db.jnl.get()) != 0)
            return 1;
    }
    db.jnl_size = 0;
    db.resume.clear();
    return 0;
}

bool dupe_resume_take(DupeDb& db, uint64_t key) {
    auto it = db.resume.find(key);
    if (it == db.resume.end()) return false;
    if (--it->second == 0) db.resume.erase(it);
    ++db.resume_skipped;
    return true;
}

bool dupe_verify(const char* base_path, uint32_t count, uint64_t key) {
    JamImage img;
    return jam_load(base_path, img) == 0 && image_find(img, base_path, count, key) >= 0;
}

bool dupe_verify_any(const DupeDb& db, const char* base_path, uint32_t count, uint64_t key) {
    if (!is_other(base_path)) return dupe_verify(base_path, count, key);
    return db.verify_other != nullptr &&
           db.verify_other(base_path, count, key, std::set<int64_t>()) >= 0;
}
