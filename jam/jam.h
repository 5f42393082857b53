// JAM message bases: appending a message, the .jhr byte lock, and a shared
// reader that walks a base by headers or by index.
//
// Layout constants (offsets, subfield ids, attribute bits) are in
// jam/jam_format.h. A base only grows: nothing here packs, renumbers or
// moves a header.
//
// Locks: the caller of jam_append should hold the JAM lock file
// (jam/jamlock.h) for its run; jam_append itself takes the byte lock on
// byte 0 of .jhr for the single write, which other JAM programs honour too.
// The readers take no lock: they work on whole-file copies, and the append's
// write order (text, header, index record, base header) means a concurrent
// reader sees the old state or a header whose text is complete.
//
// Results are codes: 0 success, 1 failure (already logged) unless stated.
// Not thread-safe: one thread of a process uses a base at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/strutil.h"
#include "jam/jam_format.h"
#include "platform/platform.h"

// Attempts of writers that append or mark sent at the .jhr byte lock, and
// the pause between two.
constexpr int JAM_LOCK_TRIES = 50;
constexpr uint32_t JAM_LOCK_SLEEP_MS = 100;

// ---- File names ---------------------------------------------------------------

// dst = base + ext, cut to WP_PATH_MAX (520) bytes including the terminator.
// REQUIRES: dst has room for WP_PATH_MAX bytes.
void mkpath(char* dst, const char* base, const char* ext);

// ---- Appending ----------------------------------------------------------------

// The message to append. The caller fills every field but jm_msgnum; the
// pointers must stay valid during the call. Texts are CP437 with CR line
// ends; the subfield block is already encoded (jam_subf_add).
struct JamMsg {
    const char* jm_subf = nullptr;      // subfield block
    uint32_t jm_subflen = 0;            // its length in bytes
    const char* jm_text = nullptr;      // message text
    uint32_t jm_textlen = 0;            // its length in bytes
    uint32_t jm_attr = 0;               // Attribute (JA_* bits)
    uint32_t jm_date = 0;               // DateWritten
    uint32_t jm_now = 0;                // DateReceived, DateProcessed, DateCreated of a new base
    uint32_t jm_msgidcrc = JAM_NO_CRC;  // MSGIDcrc (jam_crc of the MSGID text)
    uint32_t jm_replycrc = JAM_NO_CRC;  // REPLYcrc (jam_crc of the REPLY text)
    uint32_t jm_usercrc = 0;            // UserCRC of the index record (jam_crc of the receiver)
    uint32_t jm_replyto = 0;            // ReplyTo
    uint32_t jm_msgnum = 0;             // out: MessageNumber given by the append
};

// Appends one message to the base at `base_path` (no extension), creating the
// four files when missing (never their directory); a new base gets its empty
// base header (counters 0) written first. Order of writes: text at
// the end of .jdt, header + subfields at the end of .jhr, index record, then
// the base header with ModCounter and ActiveMsgs raised. The message number is
// BaseMsgNum + number of whole index records. Sets m.jm_msgnum on success.
//
// Before writing, the tail of .jhr is checked from the header of the last
// index record on: a header left without its index record by an append that
// died is marked JA_DELETED, and a torn partial header at the very end is
// cut off, so that walks by header stay aligned. A torn partial index record
// is overwritten. A message whose text or header would end beyond 4 GiB
// (the reach of the 32-bit offsets) is refused as a write error, unwritten.
//
// Result 0, or 1 after logging one of: cannot open JAM base, JAM base locked
// (.jhr lock; 50 attempts 100 ms apart), JAM base damaged (header), write
// error in JAM base. A failure leaves already written parts in place.
int jam_append(const char* base_path, JamMsg& m);

// ---- Keeping a base open across appends ------------------------------------------

// One base held open with its .jhr byte lock taken, for a run of appends into
// it (the toss run keeps the bases of a packet open this way). Each
// jam_writer_append writes exactly what jam_append writes, in the same order
// (text, header + subfields, index record, base header with ModCounter and
// ActiveMsgs raised), so after every append the files are what a jam_append
// leaves, and a process killed between two appends leaves a consistent base;
// one killed inside an append leaves what a killed jam_append leaves, which
// the next opening repairs. The offsets and counters are kept in memory
// between appends: they stay right only because nobody else writes the base
// while the byte lock is held. Holders keep it a bounded time (a few hundred
// messages or a second) so that other programs get their turn.
//
// Lock: the caller holds the JAM lock file; jam_writer_open takes byte 0 of
// .jhr, jam_writer_close releases it. Several writers may be open at once
// (different bases); never two for one base in one process (the byte lock of
// the second would wait for the first).
struct JamWriter {
    char path[WP_PATH_MAX] = "";  // base path, no extension
    pf_file hdr = PF_INVALID;
    pf_file idx = PF_INVALID;
    pf_file txt = PF_INVALID;
    uint8_t base[JHI_SIZE] = {};  // the base header as on disk
    uint64_t jhr_size = 0;        // where the next header goes
    uint64_t jdt_size = 0;        // where the next text goes
    uint64_t nrec = 0;            // whole index records
    uint32_t appended = 0;        // appends since the opening

    JamWriter() = default;
    JamWriter(const JamWriter&) = delete;
    JamWriter& operator=(const JamWriter&) = delete;
    ~JamWriter();
};

// Opens the base at `base_path` for appending, as jam_append does before it
// writes: creates the four files when missing (a new base gets its empty base
// header, DateCreated `now`), takes the byte lock (`attempts` tries,
// JAM_LOCK_SLEEP_MS apart) and repairs the tail of .jhr. 0, or 1 after
// logging (cannot open, locked, damaged, write error; the writer is closed
// then).
int jam_writer_open(JamWriter& w, const char* base_path, uint32_t now,
                    int attempts = JAM_LOCK_TRIES);
bool jam_writer_is_open(const JamWriter& w);
// Appends one message (see jam_append for what is written and refused). Sets
// m.jm_msgnum. 0, or 1 after logging; on 1 the writer is closed (what was
// written stays; the next opening repairs it).
int jam_writer_append(JamWriter& w, JamMsg& m);
// Releases the byte lock and closes the files; nothing when not open.
void jam_writer_close(JamWriter& w);

// Appends one encoded subfield (LoID, HiID 0, DatLen, data) to a block.
void jam_subf_add(std::string& block, uint16_t lo_id, const void* data, size_t len);
// The same for a NUL-terminated text (no terminator written).
void jam_subf_add(std::string& block, uint16_t lo_id, const char* text);

// ---- The .jhr byte lock ---------------------------------------------------------

// Takes the byte-range lock on byte 0 of an open .jhr: up to `attempts` tries,
// JAM_LOCK_SLEEP_MS apart (attempts - 1 sleeps). 0 when taken, 1 when not.
int jam_lock(pf_file jhr, int attempts);
void jam_unlock(pf_file jhr);

// Holds byte 0 of an open .jhr from construction (jam_lock with `attempts`)
// until unlock() or destruction, on every path. The handle stays the caller's
// and must outlive the guard (declare the guard after the file's owner).
class JhrLock {
  public:
    JhrLock(pf_file jhr, int attempts)
        : h_(jhr != PF_INVALID && jam_lock(jhr, attempts) == 0 ? jhr : PF_INVALID) {}
    ~JhrLock() { unlock(); }
    JhrLock(const JhrLock&) = delete;
    JhrLock& operator=(const JhrLock&) = delete;
    bool held() const { return h_ != PF_INVALID; }
    explicit operator bool() const { return held(); }
    // Releases the lock now when held; then does nothing.
    void unlock() {
        if (h_ != PF_INVALID) jam_unlock(h_);
        h_ = PF_INVALID;
    }

  private:
    pf_file h_;
};

// ---- Reading ---------------------------------------------------------------------

// Base header fields (the 1000 reserved bytes stay in the file image).
struct JamBaseHeader {
    uint32_t Signature = 0;
    uint32_t DateCreated = 0;
    uint32_t ModCounter = 0;
    uint32_t ActiveMsgs = 0;
    uint32_t PasswordCRC = 0;
    uint32_t BaseMsgNum = 0;
};
// Parses the base header from the start of a .jhr image. 0 when n >= 1024 and
// the Signature is right, else 1 ("damaged"; n == 0 is simply empty).
int jam_parse_base(const uint8_t* jhr, size_t n, JamBaseHeader& out);

// One message header as found in a .jhr image.
struct JamHeader {
    uint32_t offset = 0;  // of the header in .jhr
    uint16_t Revision = 0;
    uint16_t ReservedWord = 0;
    uint32_t SubfieldLen = 0;
    uint32_t TimesRead = 0;
    uint32_t MSGIDcrc = 0;
    uint32_t REPLYcrc = 0;
    uint32_t ReplyTo = 0;
    uint32_t Reply1st = 0;
    uint32_t Replynext = 0;
    uint32_t DateWritten = 0;
    uint32_t DateReceived = 0;
    uint32_t DateProcessed = 0;
    uint32_t MessageNumber = 0;
    uint32_t Attribute = 0;
    uint32_t Attribute2 = 0;
    uint32_t TxtOffset = 0;
    uint32_t TxtLen = 0;
    uint32_t PasswordCRC = 0;
    uint32_t Cost = 0;
    // The subfield area inside the image: SubfieldLen bytes cut at the end of
    // the image (subf_len < SubfieldLen only for a truncated last header).
    const uint8_t* subf = nullptr;
    uint32_t subf_len = 0;
};
// Parses the header at `off` of a .jhr image. 0 when all 76 bytes are there
// and carry the Signature, else 1.
int jam_parse_header(const uint8_t* jhr, size_t n, uint64_t off, JamHeader& out);

// One subfield; data points into the header's subfield area.
struct JamSubfield {
    uint16_t LoID = 0;
    uint16_t HiID = 0;
    uint32_t DatLen = 0;  // cut at the end of the subfield area
    const uint8_t* data = nullptr;
};
// Walks the subfields of a header. Unknown ids (also those of other programs)
// are returned like known ones; callers skip what they do not use.
struct JamSubfWalk {
    const uint8_t* p = nullptr;
    uint32_t len = 0;
    uint32_t pos = 0;
};
void jam_subf_start(JamSubfWalk& w, const JamHeader& h);
// Next subfield: true, or false at the end (fewer than 8 bytes left).
bool jam_subf_next(JamSubfWalk& w, JamSubfield& sf);
// The data of the first subfield with LoID `id` into out; false when absent.
bool jam_subf_find(const JamHeader& h, uint16_t id, std::string& out);

// Walk by headers from offset 1024: each header must carry the Signature and
// its subfields must end within the image; the next header follows at
// + 76 + SubfieldLen. Deleted headers are returned too (check JA_DELETED).
// When the walk knows the index (jam_hdr_walk_start with a JamImage), headers
// whose MessageNumber lies beyond the last index record are passed over: an
// append died after writing them, and the message does not exist.
struct JamHdrWalk {
    const uint8_t* jhr = nullptr;
    size_t n = 0;
    uint64_t pos = JHI_SIZE;
    bool damaged = false;  // set when the walk stopped before the end of the image
    // Index knowledge, set by the JamImage form of jam_hdr_walk_start.
    uint64_t idx_records = 0;
    uint32_t base_msg_num = 1;
    bool check_index = false;
};
void jam_hdr_walk_start(JamHdrWalk& w, const uint8_t* jhr, size_t n);
bool jam_hdr_walk_next(JamHdrWalk& w, JamHeader& h);

// Walk by index records: record i is message BaseMsgNum + i. Records of
// deleted messages (HdrOffset 0xFFFFFFFF), offsets beyond the end of .jhr and
// offsets where no header Signature is found are skipped.
struct JamIdxWalk {
    const uint8_t* jhr = nullptr;
    size_t jhr_n = 0;
    const uint8_t* jdx = nullptr;
    size_t jdx_n = 0;
    uint32_t base_msg_num = 1;
    size_t i = 0;  // next record
};
void jam_idx_walk_start(JamIdxWalk& w, const uint8_t* jhr, size_t jhr_n, const uint8_t* jdx,
                        size_t jdx_n, uint32_t base_msg_num);
// Next message: its number (BaseMsgNum + record index), UserCRC and header.
bool jam_idx_walk_next(JamIdxWalk& w, uint32_t& msgnum, uint32_t& usercrc, JamHeader& h);

// A base read whole: .jhr and .jdx images and the parsed base header.
struct JamImage {
    std::vector<uint8_t> jhr;
    std::vector<uint8_t> jdx;
    JamBaseHeader base;
};
// Reads .jhr and .jdx whole (missing files read as empty). 0 when the base
// has a valid header or is empty (jhr.size() < 1024 counts as no messages;
// 1..1023 bytes give 2), 1 when .jhr cannot be read, 2 when the base header is
// damaged. Logs nothing.
int jam_load(const char* base_path, JamImage& img);
// True when the index record of h's MessageNumber points back at h. A header
// for which this is false was written by an append that did not finish (or
// belongs to a deleted message whose index record was cleared).
bool jam_is_indexed(const JamImage& img, const JamHeader& h);
// A header walk over a loaded base that passes over headers never indexed.
void jam_hdr_walk_start(JamHdrWalk& w, const JamImage& img);
// Reads a message text (TxtLen bytes at TxtOffset of .jdt, cut at the end of
// the file). 0 on success, 1 when .jdt cannot be opened.
int jam_read_text(const char* base_path, const JamHeader& h, std::string& out);
