// The dupe database: one 64-bit key per (area, MSGID) pair seen, kept across
// runs so that the toss run files no message twice into an area.
//
// File: a flat array of 8-byte records, each key little-endian (low half in
// the first four bytes), oldest first, only ever appended; a trailing part of
// fewer than 8 bytes is ignored and overwritten by the next save. At most
// MAX_DUPES keys are remembered; after that new keys are not remembered
// (warned once per DupeDb) and are never dupes.
//
// Lookups are constant time through a hash index beside the key array; the
// answers are those of a scan of the whole array (dupe_find_linear).
//
// Key: low half = crc_update(m, crc_update_lc(p, 0xFFFFFFFF)), high half =
// crc_update_lc(p, crc_update(m, 0x5A5A5A5A)), where p is the target base
// path (ASCII case ignored) and m the MSGID value with leading and trailing
// blanks and tabs removed (case kept). No final inversion.
//
// Caller: the toss run, under the JAM lock file, from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/strutil.h"

constexpr uint32_t MAX_DUPES = 262144;

struct DupeDb {
    std::unique_ptr<uint64_t[]> keys;  // MAX_DUPES keys, oldest first
    uint32_t dupe_count = 0;           // keys in use
    uint32_t dupe_saved = 0;           // keys already in the file
    bool dupe_warned = false;          // "database full" was logged
    char path[WP_PATH_MAX] = "";
    // Hash index: open addressing, each slot 0 (empty) or key index + 1.
    std::unique_ptr<uint32_t[]> slots;
};

// The key of a (target base path, MSGID) pair as described above.
uint64_t dupe_key(const char* base_path, const char* msgid, size_t len);

// Allocates the table and reads up to MAX_DUPES records from `path` (the
// dupedb setting, or "wptoss.dup" when empty; a missing or unreadable file
// is an empty database). Logs "Dupe database: N entries". Returns 0, or 1
// when the table cannot be allocated (nothing logged).
int dupe_load(DupeDb& db, const char* path);

// 1 when the key of (base_path, msgid) is known, 0 otherwise; a new key is
// remembered at once (when the table is full: warned once, not remembered).
int dupe_check(DupeDb& db, const char* base_path, const char* msgid, size_t len);
// The same question without remembering anything.
int dupe_known(const DupeDb& db, const char* base_path, const char* msgid, size_t len);
// Remembers the key unless known. 0 when it is known afterwards, 1 when the
// table is full (warned once per DupeDb, key not remembered).
int dupe_remember(DupeDb& db, const char* base_path, const char* msgid, size_t len);

// Key-level forms of the same operations.
bool dupe_has_key(const DupeDb& db, uint64_t key);
int dupe_add_key(DupeDb& db, uint64_t key);
// The plain scan from the newest key to the oldest (reference for tests and
// benchmarks; same answers as dupe_has_key).
bool dupe_find_linear(const DupeDb& db, uint64_t key);

// Writes the keys added since the load (or the last save) at offset
// dupe_saved * 8, over a partial trailing record. Nothing to write: nothing
// happens. On failure logs "ERROR: cannot save dupe database: " + path and
// returns 1, keeping the keys as unsaved; else 0.
int dupe_save(DupeDb& db);
