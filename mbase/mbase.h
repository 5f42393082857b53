// One interface for a message base, whatever its format on disk.
//
// A message base holds the messages of one area. Its callers (the toss, the
// export, the editor, the mail commands, AreaFix) read and write messages as
// the neutral MbMessage below and never see a byte of the format; each format
// implements MsgBase in its own folder:
//   jam/jambase.h  JAM (four files beside a base path), the default format
//   fmsg/fmsg.h    *.MSG (one numbered file per message in a directory, the
//                  stored-message form of FTS-0001)
//
// Ownership: every buffer a call fills (MbMessage, std::string, vector) is
// the caller's; an implementation keeps no pointer into it after the call.
// A MsgBase owns its open files and its lock and releases both when closed
// or destroyed.
//
// Locks: the caller holds the program's JAM lock file (jam/jamlock.h) around
// any use of a base, whatever its format (it serialises this program's
// processes). Inside it, a single write takes the base's own write lock for
// that write, unless the caller holds it already through an MbLock (a run of
// writes, as the toss makes). Readers take no lock: the formats are written in
// an order that shows a concurrent reader the old state or the new one.
//
// Results are MbResult values; nothing throws, nothing here logs (a JAM
// append logs the file it failed on, as jam_append always has). Not
// thread-safe: one thread uses a MsgBase at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ftnaddr.h"

// ---- Results -----------------------------------------------------------------

enum class MbResult {
    Ok,
    Missing,      // no such message (or the base does not exist for a read)
    Locked,       // the base's write lock was not obtained in time
    Damaged,      // the base or the message is not in its format
    IoError,      // a file could not be opened, read or written
    TooBig,       // a message larger than the format or this program allows
    Full,         // no message number left (*.MSG numbers end at 65535)
    BadArgument,  // a request the interface does not allow (see each call)
};
// The result as a short English word for tests and the debugging tools
// ("ok", "missing", "locked"...).
const char* mb_result_name(MbResult r);
// The result as a text of the message catalogue, in the chosen language,
// ending in ": " for the caller to add the base path.
const char* mb_result_text(MbResult r);

// ---- Attributes ------------------------------------------------------------------

// The neutral attribute bits. Each format maps them to its own bits (jam:
// JA_*, *.MSG: FA_*); a bit a format cannot store reads back as not set.
enum class MbAttr : uint32_t {
    Local = 1u << 0,           // written on this system; the export takes only these
    Private = 1u << 1,         // private (netmail)
    Read = 1u << 2,            // read / received by the addressee
    Sent = 1u << 3,            // exported
    Deleted = 1u << 4,         // deleted (set only by MsgBase::remove)
    Crash = 1u << 5,           // crash flavour
    Hold = 1u << 6,            // hold for pickup
    FileAttach = 1u << 7,      // subject names files sent with it
    FileRequest = 1u << 8,     // subject names files requested
    ReceiptRequest = 1u << 9,  // return receipt requested
    AuditRequest = 1u << 10,   // audit (confirmation) requested
    KillSent = 1u << 11,       // delete once sent
    InTransit = 1u << 12,      // passing through, not for this system
    Echo = 1u << 13,           // echomail message
    Net = 1u << 14,            // netmail message
};
// A set of MbAttr bits.
class MbAttrs {
  public:
    constexpr MbAttrs() = default;
    constexpr MbAttrs(MbAttr a) : bits_(static_cast<uint32_t>(a)) {}  // NOLINT: a bit is a set
    static constexpr MbAttrs from_bits(uint32_t b) {
        MbAttrs s;
        s.bits_ = b;
        return s;
    }
    constexpr uint32_t bits() const { return bits_; }
    constexpr bool has(MbAttr a) const { return (bits_ & static_cast<uint32_t>(a)) != 0; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr MbAttrs operator|(MbAttrs o) const { return from_bits(bits_ | o.bits_); }
    constexpr MbAttrs operator&(MbAttrs o) const { return from_bits(bits_ & o.bits_); }
    constexpr MbAttrs without(MbAttrs o) const { return from_bits(bits_ & ~o.bits_); }
    constexpr bool operator==(const MbAttrs&) const = default;

  private:
    uint32_t bits_ = 0;
};
constexpr MbAttrs operator|(MbAttr a, MbAttr b) {
    return MbAttrs(a) | MbAttrs(b);
}

// ---- The neutral message ------------------------------------------------------------

// One kludge line without its leading 0x01 and its CR: name, the exact
// separator and the value, so that name + sep + value is the line as it
// was. "MSGID: 2:240/1 abc" is {"MSGID", ": ", "2:240/1 abc"}, "Via 2:240/1
// @20260101" is {"Via", " ", ...}, "AREA:TAG" is {"AREA", ":", "TAG"}.
// SEEN-BY and PATH lines are kludges here too ({"SEEN-BY", ": ", "240/1 2"}),
// in the order of the message, after the others.
struct MbKludge {
    std::string name;
    std::string sep;
    std::string value;
    bool operator==(const MbKludge&) const = default;
};
// The kludge with the separator this program writes for `name`: " " for
// Via, INTL, FMPT, TOPT and FLAGS, ": " for every other.
MbKludge mb_kludge(const char* name, std::string value);
// Splits one line (n bytes, no 0x01, no CR): the name runs to the first ':'
// or blank; the separator is that ':' with one blank after it when there is
// one, or that blank; a line with neither is all name.
MbKludge mb_kludge_parse(const char* line, size_t n);
// name + sep + value.
std::string mb_kludge_line(const MbKludge& k);

// A message as every caller sees it. Texts are the bytes as stored (CP437,
// UTF-8 or whatever the CHRS kludge says), lines ended by CR.
struct MbMessage {
    uint32_t number = 0;  // set by read_header and append
    std::string from, to, subject;
    ftn_addr orig, dest;         // dest only for netmail (zero otherwise)
    uint32_t date_written = 0;   // seconds since 1970, local wall-clock time
    uint32_t date_received = 0;  // the same; 0 where the format keeps none
    MbAttrs attrs;
    uint32_t reply_to = 0;  // number of the message replied to in this base, 0 none
    // The kludges in the order of the message: the header ones (MSGID, REPLY,
    // PID, TZUTC, CHRS, ...) first, then SEEN-BY, PATH and Via. INTL, FMPT
    // and TOPT are never in the list: the addresses carry them, and writers
    // of formats that need them write them from the addresses.
    std::vector<MbKludge> kludges;
    // The body: no kludge, SEEN-BY or PATH line; tear line and origin kept.
    std::string text;
    // The character set (core/charset.h) that a CHRS or CODEPAGE kludge names,
    // -1 when none names a known one (the reader then detects). Filled by the
    // readers; writers go by the kludges alone.
    int charset = -1;
};
// The value of the first kludge called `name` (exact case), or nullptr.
const std::string* mb_kludge_find(const MbMessage& m, const char* name);

// ---- The base ----------------------------------------------------------------------

// The storage formats.
enum class MbFormat { Jam, Fmsg };

// One message base, opened on a path (JAM: the base path without extension;
// *.MSG: the directory). Opening checks nothing on disk and creates nothing:
// a base that does not exist reads as empty, and the first append (or lock)
// creates its files, never its directory.
class MsgBase {
  public:
    virtual ~MsgBase() = default;
    MsgBase() = default;
    MsgBase(const MsgBase&) = delete;
    MsgBase& operator=(const MsgBase&) = delete;

    virtual MbFormat format() const = 0;
    // The path given to open().
    virtual const char* path() const = 0;
    // Forgets the previous base (releasing its lock) and takes `path`.
    // BadArgument for an empty path or one too long for the format.
    [[nodiscard]] virtual MbResult open(const char* path) = 0;
    // Releases the lock and the files. Harmless when not open.
    virtual void close() = 0;

    // The numbers of the live (not deleted) messages, ascending. Ok for a
    // base that does not exist yet (none); Damaged when the base's own
    // files are not in its format.
    [[nodiscard]] virtual MbResult numbers(std::vector<uint32_t>& out) = 0;
    // How many live messages (numbers().size(), cheaper where it can be).
    [[nodiscard]] virtual MbResult count(uint32_t& out) = 0;
    // Everything of message `num` but its text (out.text stays empty).
    // Missing when there is no live message of that number.
    [[nodiscard]] virtual MbResult read_header(uint32_t num, MbMessage& out) = 0;
    // The body of message `num` (MbMessage::text).
    [[nodiscard]] virtual MbResult read_text(uint32_t num, std::string& out) = 0;
    // A mark of where the base ends now, for a caller that must later find
    // what it appended after this instant (the toss's dupe journal): JAM the
    // number of index records, *.MSG the highest message number (0 for an
    // empty or missing base). Messages appended afterwards are the ones
    // mb_after_mark() (below) gives for it; marks of different formats mean
    // different things and are compared by nobody.
    [[nodiscard]] virtual MbResult end_mark(uint32_t& out) = 0;
    // The live messages appended after `mark` (an end_mark of this base),
    // ascending, at most `limit` of them.
    [[nodiscard]] virtual MbResult after_mark(uint32_t mark, size_t limit,
                                              std::vector<uint32_t>& out) = 0;
    // Adds a message at the end and sets m.number (also returned in `num`).
    // m.number is ignored on the way in; BadArgument when m.attrs holds
    // Deleted. The base's write lock is taken for the append unless the
    // caller holds it.
    [[nodiscard]] virtual MbResult append(MbMessage& m, uint32_t& num) = 0;
    // Sets the bits `set` and then clears the bits `clear` of message `num`,
    // leaving its other bits (also bits of the format that have no neutral
    // name) as they are. BadArgument when either names Deleted (remove()).
    [[nodiscard]] virtual MbResult set_attrs(uint32_t num, MbAttrs set, MbAttrs clear) = 0;
    // Deletes message `num` (JAM: the Deleted bit, its text length 0 and its
    // index record cleared, as other JAM programs expect; *.MSG: the file is
    // removed). Missing when there is no live message of that number.
    [[nodiscard]] virtual MbResult remove(uint32_t num) = 0;
    // The last-read mark of `user` (the highest message number the user has
    // read; 0 when there is none).
    [[nodiscard]] virtual MbResult lastread(const char* user, uint32_t& out) = 0;
    // Moves the mark to `num`. JAM keeps the highest mark ever set as well.
    [[nodiscard]] virtual MbResult set_lastread(const char* user, uint32_t num) = 0;

    // The base's write lock, held from lock() until unlock() (use MbLock):
    // `attempts` tries 100 ms apart. JAM creates the base's files when
    // missing; *.MSG has no lock other programs honour (see fmsg/fmsg.h).
    // While it is held, writes take no lock of their own. Not counted: lock()
    // while held answers Ok and the first unlock() ends it. Never take it for
    // two MsgBase objects on one base in one process.
    [[nodiscard]] virtual MbResult lock(int attempts) = 0;
    virtual void unlock() = 0;
    virtual bool locked() const = 0;
};

// Holds a base's write lock for a run of writes; releases it on every path.
class MbLock {
  public:
    MbLock(MsgBase& b, int attempts) : b_(b), r_(b.lock(attempts)) {}
    ~MbLock() {
        if (r_ == MbResult::Ok) b_.unlock();
    }
    MbLock(const MbLock&) = delete;
    MbLock& operator=(const MbLock&) = delete;
    MbResult result() const { return r_; }
    bool held() const { return r_ == MbResult::Ok && b_.locked(); }
    explicit operator bool() const { return held(); }

  private:
    MsgBase& b_;
    MbResult r_;
};
