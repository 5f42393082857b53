// JAM as an implementation of the message-base interface (mbase/mbase.h).
//
// An adapter over jam_append / JamWriter and the walkers of jam/jam.h: what
// an append writes is exactly what jam_append writes for the same request
// (the four files stay byte for byte the same). The neutral message maps as
// follows:
//   from, to, subject       SENDERNAME, RECEIVERNAME, SUBJECT
//   orig, dest              OADDRESS (unless orig is 0:0/0), DADDRESS for
//                           netmail (Net)
//   kludges                 MSGID, REPLYID, PID, TRACE (Via), FLAGS,
//                           TZUTCINFO, SEENBY2D, PATH2D by name, every other
//                           as an FTSKLUDGE line; MSGIDcrc and REPLYcrc from
//                           the MSGID and REPLY values, the index UserCRC from
//                           the receiver
//   date_written/_received  DateWritten / DateReceived (an append with
//                           date_received 0 takes the local time now)
//   attrs                   the JA_* bits (jam_attr / mb_attrs below)
//   last-read mark          the .jlr record of the user's JAM CRC
//                           (LastReadMsg; HighReadMsg keeps the highest)
// Subfields of other programs that have no neutral name are not read.
//
// The write lock is byte 0 of .jhr (JAM_LOCK_TRIES attempts for writes
// made without an MbLock); lock() opens a JamWriter and keeps it for the
// appends, attribute changes, deletions and marks until unlock(). On a base
// without files lock() creates nothing: the first append creates the base
// under the lock, as jam_append would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jam/jam.h"
#include "mbase/mbase.h"

// The JA_* bits of neutral attributes, and back. Bits one side has no name
// for are left out.
uint32_t jam_attr(MbAttrs a);
MbAttrs mb_attrs_of_jam(uint32_t ja);

// The append request and subfield block jam_append gets for a neutral
// message (`subf` must outlive the use of `jm`). `now` fills DateReceived
// when the message has none.
void jam_request(const MbMessage& m, uint32_t now, std::string& subf, JamMsg& jm);

// The neutral message of an append request (the reverse of jam_request:
// addresses, names and subject from their subfields, kludges as
// from_header reads them back, INTL/FMPT/TOPT left out), text included.
void jam_request_message(const JamMsg& jm, MbMessage& out);

class JamBase final : public MsgBase {
  public:
    JamBase() = default;
    ~JamBase() override { close(); }

    MbFormat format() const override { return MbFormat::Jam; }
    const char* path() const override { return path_; }
    [[nodiscard]] MbResult open(const char* path) override;
    void close() override;

    [[nodiscard]] MbResult numbers(std::vector<uint32_t>& out) override;
    [[nodiscard]] MbResult count(uint32_t& out) override;
    [[nodiscard]] MbResult read_header(uint32_t num, MbMessage& out) override;
    [[nodiscard]] MbResult read_text(uint32_t num, std::string& out) override;
    [[nodiscard]] MbResult end_mark(uint32_t& out) override;
    [[nodiscard]] MbResult after_mark(uint32_t mark, size_t limit,
                                      std::vector<uint32_t>& out) override;
    [[nodiscard]] MbResult append(MbMessage& m, uint32_t& num) override;
    // The append of a request built in JAM's own form (the toss's fast path:
    // its subfield block goes to disk as it is, byte for byte what
    // jam_append writes). Sets jm.jm_msgnum.
    [[nodiscard]] MbResult append_request(JamMsg& jm);
    [[nodiscard]] MbResult set_attrs(uint32_t num, MbAttrs set, MbAttrs clear) override;
    [[nodiscard]] MbResult remove(uint32_t num) override;
    [[nodiscard]] MbResult lastread(const char* user, uint32_t& out) override;
    [[nodiscard]] MbResult set_lastread(const char* user, uint32_t num) override;

    [[nodiscard]] MbResult lock(int attempts) override;
    void unlock() override;
    bool locked() const override { return held() || lock_pending_; }

  private:
    // Loads .jhr and .jdx whole into img_ (again).
    MbResult load();
    // The header of live message `num` in img_ (loaded again once when the
    // number lies beyond what was loaded).
    MbResult find(uint32_t num, JamHeader& h);
    // An in-place change of message `num` under the write lock: `fn` gets the
    // .jhr handle, the base header image and the header's offset.
    template <typename Fn>
    MbResult change(uint32_t num, Fn fn);

    // The writer is open with the byte lock taken.
    bool held() const { return jam_writer_is_open(w_); }

    char path_[WP_PATH_MAX] = "";
    bool open_ = false;
    // lock() on a base that has no files yet: the first append creates it
    // with the writer (DateCreated = that message's received date, as
    // jam_append gives it) and keeps the lock from then on.
    bool lock_pending_ = false;
    int lock_attempts_ = JAM_LOCK_TRIES;
    JamImage img_;
    bool loaded_ = false;
    JamWriter w_;
};
