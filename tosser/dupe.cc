#include "tosser/dupe.h"

#include <new>

#include "core/bytes.h"
#include "core/catalog.h"
#include "core/fileio.h"
#include "core/log.h"
#include "tosser/crc32.h"

namespace {

constexpr uint32_t DUPE_REC = 8;
constexpr int SLOT_BITS = 19;  // 2 slots per key: probes stay short when full
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

}  // namespace

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

int dupe_load(DupeDb& db, const char* path) {
    str_copy(db.path, path, sizeof db.path);
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
    pf_file h = f_open_always(db.path);
    if (h == PF_INVALID) {
        log_msg2(m_saveerr, db.path);
        return 1;
    }
    const uint32_t n = db.dupe_count - db.dupe_saved;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[static_cast<size_t>(n) * DUPE_REC]);
    int r = 1;
    if (buf) {
        for (uint32_t i = 0; i < n; ++i) {
            uint64_t k = db.keys[db.dupe_saved + i];
            uint8_t* p = buf.get() + static_cast<size_t>(i) * DUPE_REC;
            put_le32(p, static_cast<uint32_t>(k));
            put_le32(p + 4, static_cast<uint32_t>(k >> 32));
        }
        if (f_seek(h, static_cast<int64_t>(db.dupe_saved) * DUPE_REC, PfSeek::Begin) >= 0)
            r = f_write(h, buf.get(), static_cast<size_t>(n) * DUPE_REC);
    }
    f_close(h);
    if (r != 0) {
        log_msg2(m_saveerr, db.path);
        return 1;
    }
    db.dupe_saved = db.dupe_count;
    return 0;
}
