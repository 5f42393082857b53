// *.MSG areas as an implementation of the message-base interface
// (mbase/mbase.h): one file "N.msg" per message in the area's directory,
// the stored message of FTS-0001 (layout in fmsg/fmsg_format.h).
//
// What is written (fmsg_build): the header field by field (names cut to 35
// bytes and the subject to 71, each with its NUL; the date as
// "DD Mon YY  HH:MM:SS"; zone and point in the four optional words), then
// for netmail the INTL line and FMPT/TOPT when there are points (echomail
// FMPT only for a point beyond the header's 16 bits), the other
// kludges as 0x01 lines, the body, the SEEN-BY lines, the 0x01 PATH and Via
// lines, CR after each line and one NUL. What is read (fmsg_parse): the same,
// with INTL/FMPT/TOPT before the header's words for the addresses (for
// echomail whose header has no address, the MSGID's); a text
// without its NUL ends at the end of the file. *.MSG keeps no received date
// (date_received reads 0) and no echo or netmail flag: the area's kind,
// given to the constructor, sets Net or Echo on every message read.
//
// Numbers: the names of the directory ("N.msg" or "N.MSG", N from 1 to 65535
// written without leading zeros; other names are not messages). A new
// message takes the highest number + 1 (2 in an empty area: 1.msg is where
// other programs keep their high-water mark, and their scans never export
// it) and creates its file exclusively, so two writers never share a
// number: on a clash it takes the next. Files are
// created lower case ("N.msg"), the form other programs on this system look
// for.
//
// remove() deletes the file. The last-read mark is word 0 of the area's
// "lastread" file (u16 words, one per user of single-user readers; the user
// name is not used, marks above 65535 are kept as 65535).
//
// Locks: *.MSG has no lock other programs honour. Appends cannot collide
// (exclusive creation), attribute changes write their 2 bytes in place; the
// program's own processes are kept apart by the JAM lock file. lock() notes
// that the caller holds the base for a run of writes: the appends and
// end_mark of that run list the directory once, not once per message.
//
// Hostile files: a file shorter than the header is Damaged, one larger than
// FMSG_FILE_MAX is TooBig; neither stops the listing or other messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/strutil.h"
#include "mbase/mbase.h"

// Largest message file read or written.
constexpr uint64_t FMSG_FILE_MAX = 16u << 20;

// The number of a file name ("17.msg", "17.MSG"), or 0 when the name is not
// one of a message.
uint32_t fmsg_number(const char* name);
// Parses one message file of n bytes. with_text: fill out.text (else only the
// header and kludges). Damaged when n < FMSG_HDR_SIZE.
[[nodiscard]] MbResult fmsg_parse(const uint8_t* p, size_t n, bool netmail, bool with_text,
                                  MbMessage& out);
// The file of a message (see above). netmail: write INTL/FMPT/TOPT (also
// done for a message with the Net bit).
void fmsg_build(const MbMessage& m, bool netmail, std::string& out);
// "DD Mon YY  HH:MM:SS" of local seconds, and back (also the "Www DD Mon YY
// HH:MM" form; 0 when the text is no date).
std::string fmsg_date_text(uint32_t t);
uint32_t fmsg_parse_date(const char* p, size_t n);

class FmsgBase final : public MsgBase {
  public:
    explicit FmsgBase(bool netmail = false) : netmail_(netmail) {}
    ~FmsgBase() override { close(); }

    MbFormat format() const override { return MbFormat::Fmsg; }
    const char* path() const override { return dir_; }
    [[nodiscard]] MbResult open(const char* dir) override;
    void close() override;

    [[nodiscard]] MbResult numbers(std::vector<uint32_t>& out) override;
    [[nodiscard]] MbResult count(uint32_t& out) override;
    [[nodiscard]] MbResult read_header(uint32_t num, MbMessage& out) override;
    [[nodiscard]] MbResult read_text(uint32_t num, std::string& out) override;
    [[nodiscard]] MbResult end_mark(uint32_t& out) override;
    [[nodiscard]] MbResult after_mark(uint32_t mark, size_t limit,
                                      std::vector<uint32_t>& out) override;
    [[nodiscard]] MbResult append(MbMessage& m, uint32_t& num) override;
    [[nodiscard]] MbResult set_attrs(uint32_t num, MbAttrs set, MbAttrs clear) override;
    [[nodiscard]] MbResult remove(uint32_t num) override;
    [[nodiscard]] MbResult lastread(const char* user, uint32_t& out) override;
    [[nodiscard]] MbResult set_lastread(const char* user, uint32_t num) override;

    [[nodiscard]] MbResult lock(int attempts) override;
    void unlock() override { locked_ = false; }
    bool locked() const override { return locked_; }

  private:
    MbResult list();
    // list() unless the base is locked and was listed since (the writes of
    // one run under MbLock list the directory once).
    MbResult list_for_write();
    // The file of message `num` (listed again once when not known).
    MbResult file_of(uint32_t num, std::string& path);
    MbResult read(uint32_t num, bool with_text, MbMessage& out);
    std::string in_dir(const char* name) const;

    bool netmail_;
    char dir_[WP_PATH_MAX] = "";
    bool open_ = false;
    bool locked_ = false;
    bool listed_ = false;                    // names_ holds a listing (kept up to date by append)
    std::map<uint32_t, std::string> names_;  // number -> file name, from the last listing
};
