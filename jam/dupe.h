// The dupe database: one 64-bit key per (area, MSGID) pair seen, or per
// (area, contents) of a message without a MSGID, kept across runs so that
// the toss run files no message twice into an area.
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
// Crash consistency. A key goes into the file right after its message was
// appended (dupe_commit), so a run that dies keeps the keys of everything it
// filed before, and a redelivered packet is a dupe. The one message whose
// append may have happened without its key reaching the file is covered by
// the journal "<path>.jnl": before each append that will carry a new key, an
// intent record names the key, the target base and the number of index
// records the base had (dupe_intent; for a base of another format its
// MsgBase::end_mark, see DupeDb::verify_other). Order per message:
//   1. intent record into the journal,
//   2. jam_append into the base,
//   3. key appended to the file (dupe_commit), or only remembered
//      (dupe_note) and written by the next save: until then the intent
//      gives the key back whenever the run dies, like that of step 3,
// and before a packet leaves the inbound (moved to "tossed"), or a bundle
// once all its packets are filed, dupe_settle syncs the file (the copies
// extracted from a bundle are deleted without: the bundle is their source). The journal is
// emptied only when a run finishes (dupe_finish). The next dupe_load replays a
// journal left behind: an intent counts only when the base really holds a
// message with that key at or after the recorded index position
// (dupe_verify), since the run may have died before the append (the message
// is then tossed again, not lost) or after it (the key is recovered, and the
// message is not filed again). So a key is never kept for a message that is
// not filed, and a filed message never lacks its key, whatever instant the
// run is killed at. A failed write of the file keeps the journal; a failed
// intent write means the message is not appended.
//
// Resuming: the intents found filed form the resume set. The toss asks
// dupe_resume_take before filing a message; a message the unfinished run
// filed already (also one it filed into the dupe area, whose intent is
// journalled with keep = false) is then passed over silently, once, instead
// of landing in the dupe area as a copy.
//
// Messages without a MSGID are keyed by their contents (dupe_text_key) and
// take the same road: the key goes into the same file, and dupe_verify
// recomputes it from the message the base holds.
//
// Journal record: u64 key, u32 index records of the base before the append,
// u16 path length n (bit 15 set: a resume-only intent, not a dupe key), n
// path bytes, u32 CRC-32 of the preceding bytes; a record that is torn or
// fails its CRC ends the replay.
//
// Caller: the toss run, under the JAM lock file, from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>

#include "core/fileio.h"
#include "core/strutil.h"
#include "platform/platform.h"

constexpr uint32_t MAX_DUPES = 262144;

struct DupeDb {
    std::unique_ptr<uint64_t[]> keys;  // MAX_DUPES keys, oldest first
    uint32_t dupe_count = 0;           // keys in use
    uint32_t dupe_saved = 0;           // keys already in the file
    bool dupe_warned = false;          // "database full" was logged
    char path[WP_PATH_MAX] = "";
    // The key file, kept open from the first save to the next load (or the
    // end of the DupeDb): a toss saves after every message.
    UniqueFile keyf;
    // Hash index: open addressing, each slot 0 (empty) or key index + 1.
    std::unique_ptr<uint32_t[]> slots;
    // Journal: path, open handle (none until the first intent), size.
    char jnl_path[WP_PATH_MAX] = "";
    UniqueFile jnl;
    uint64_t jnl_size = 0;
    // The intent of the last dupe_intent, for dupe_resolve.
    uint64_t pend_key = 0;
    uint32_t pend_count = 0;
    char pend_path[WP_PATH_MAX] = "";
    bool pending = false;
    // The check of a base in another format than JAM: a path that begins
    // with the "msg:" prefix (config/config.h) is checked by this function
    // instead of the JAM reader: the number of a live message appended
    // after `count` (the base's MsgBase::end_mark before the append, at
    // most 64 looked at) whose key is `key` and which is not in `taken`, or
    // -1. Without one such an intent never counts as filed.
    int64_t (*verify_other)(const char* path, uint32_t count, uint64_t key,
                            const std::set<int64_t>& taken) = nullptr;
    // Resume set: key -> filings found by the replay, not yet passed over.
    std::unordered_map<uint64_t, uint32_t> resume;
    uint64_t resume_skipped = 0;  // messages passed over by dupe_resume_take

    DupeDb() = default;
    DupeDb(const DupeDb&) = delete;
    DupeDb& operator=(const DupeDb&) = delete;
    ~DupeDb();
};

// The key of a (target base path, MSGID) pair as described above.
uint64_t dupe_key(const char* base_path, const char* msgid, size_t len);
// False for a MSGID value of blanks and tabs only (or none): such a message
// is keyed like one without a MSGID, not with every other empty one.
bool dupe_msgid_usable(const char* msgid, size_t len);
// The key of a message without a (usable) MSGID, from the message as its
// base keeps it: the target base path (ASCII case ignored), `date` (its
// DateWritten when the packet's date was understood, else 0: the toss then
// stores its own time, which a second delivery would not repeat), the
// subfield block `subf` in its order without the subfields that tell the
// way the message came (SEEN-BY, PATH, Via, an "AREA:" kludge, and for
// echomail (JA_ECHO in attr) the origin address, which is the packing
// system's) and the text, each field with its length, hashed with 64-bit
// FNV-1a. So the same message bytes delivered again give the same key,
// while a message that differs in any byte of its names, subject,
// addresses, kludges, date or text gives another. What it cannot tell
// apart: two messages identical in all of these (same second, same text),
// which are one.
uint64_t dupe_text_key(const char* base_path, uint32_t attr, uint32_t date, const void* subf,
                       size_t subflen, const void* text, size_t textlen);

// Allocates the table and reads up to MAX_DUPES records from `path` (the
// dupedb setting, or "wptoss.dup" when empty; a missing or unreadable file
// is an empty database). Logs "Dupe database: N entries". Then replays a
// journal left by a run that did not finish (see above; logs the keys given
// back when there were any), keeping it until dupe_finish. Returns 0, or 1
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

// Step 1 of a filing: the intent record for `key` and the base at base_path
// (no extension), about to be appended to. keep = true for a new dupe key
// (committed with dupe_commit after the append); false for a filing whose key
// (the dupe area's path and the MSGID) serves only the resume set. 0, or 1
// after logging "ERROR: cannot write the dupe journal: " + path (the caller
// must then not append).
int dupe_intent(DupeDb& db, uint64_t key, const char* base_path, bool keep = true);
// The same with the base's number of whole index records given by a caller
// that holds the base open and locked (jam/jam.h JamWriter::nrec), instead
// of asking the file system for it.
int dupe_intent_at(DupeDb& db, uint64_t key, const char* base_path, uint32_t count,
                   bool keep = true);
// Step 3: remembers the key and writes every unsaved key to the file. 0, or
// 1 when the file write failed (logged; the key stays remembered and the
// journal keeps its intent until a later settle).
int dupe_commit(DupeDb& db, uint64_t key);
// Step 3 without the write, for a caller that saves the keys of a run of
// messages at once (dupe_save or dupe_settle before their source leaves the
// inbound): remembers the key. Its intent stays in the journal until the run
// finishes, so the key of a filed message is recovered whenever the run dies
// before the save. 0, or 1 when the table is full (warned once, nothing kept).
int dupe_note(DupeDb& db, uint64_t key);
// After a failed append: commits the pending intent's key when the base holds
// its message anyway (an append that failed after its index record), so that
// a later copy in the same run is a dupe. True when it did.
bool dupe_resolve(DupeDb& db);
// Before the source of the filed messages leaves the inbound: writes unsaved
// keys and syncs the file. When the keys cannot be saved or synced the
// journal is synced instead. 0, or 1 in that case.
int dupe_settle(DupeDb& db);
// At the end of a run that tossed everything it took: settles, then empties
// the journal and the resume set. 1 (journal kept) when the file cannot be
// saved.
int dupe_finish(DupeDb& db);
// True (and the filing consumed) when the unfinished run before this one
// filed the message with this key (target path + MSGID) already.
bool dupe_resume_take(DupeDb& db, uint64_t key);
// True when the base at base_path holds, among the index records from
// `count` on (at most 64 of them), a live message whose key (for this base
// path) is `key`: by a MSGID subfield, or for a message without one by
// dupe_text_key (with DateWritten, and with 0 as well when DateWritten
// equals DateReceived: a date the toss did not understand).
bool dupe_verify(const char* base_path, uint32_t count, uint64_t key);
// dupe_verify for any base: those with the "msg:" prefix through
// db.verify_other.
bool dupe_verify_any(const DupeDb& db, const char* base_path, uint32_t count, uint64_t key);

// Writes the keys added since the load (or the last save) at offset
// dupe_saved * 8, over a partial trailing record. Nothing to write: nothing
// happens. On failure logs "ERROR: cannot save dupe database: " + path and
// returns 1, keeping the keys as unsaved; else 0.
int dupe_save(DupeDb& db);
