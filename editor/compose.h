// Writing messages: what the compose window does with its fields. A new
// echomail, a new netmail or a reply becomes a local, unsent JAM message in
// the right base, from where the export run sends it: the network and own
// address come from the area (echomail) or the destination zone (netmail),
// a reply gets its quote, and the message its kludges (MSGID, REPLYID, PID,
// TZUTC, CHRS) as subfields and its tear and origin lines.
//
// No window-system calls: the window passes its fields in (UTF-16) and shows
// the text that belongs to the result code. The MSGID serials come from the
// configuration's serial file (config/msgserial.h), shared with every other
// process that writes messages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "editor/areas.h"
#include "jam/jam.h"
#include "jam/jamlock.h"
#include "mbase/mbase.h"
#include "outbound/bso.h"

constexpr int CM_ECHO = 0;
constexpr int CM_NETMAIL = 1;
constexpr int CM_REPLY = 2;
constexpr size_t CP_TO_MAX = 35;          // characters of To
constexpr size_t CP_SUBJ_MAX = 71;        // characters of Subject
constexpr size_t CP_ADDR_MAX = 99;        // bytes of the Address field read
constexpr size_t CP_BODY_MAX = 1572864;   // UTF-16 units of the body; a longer one is refused
constexpr size_t CP_QUOTE_MAX = 2097152;  // UTF-16 units of a quote (4 MB)
constexpr uint32_t CP_LOCK_MS = 3000;

// Results of cp_build and cp_save.
enum {
    CP_SAVED = 0,
    CP_E_NOTO,    // netmail without a recipient
    CP_E_ADDR,    // destination address not understood
    CP_E_ZONE,    // no network with a netmail area for that zone
    CP_E_NOECHO,  // echomail into an area that is not an echo area
    CP_E_LOCKED,  // the JAM lock file stayed busy
    CP_E_WRITE,   // the append failed
    CP_E_LONG,    // the body is longer than CP_BODY_MAX (nothing is cut)
    CP_E_SERIAL,  // no MSGID serial could be recorded (config/msgserial.h)
};

// The window's fields and what it knows of the message replied to.
struct ComposeInput {
    int mode = CM_ECHO;  // CM_ECHO or CM_NETMAIL
    bool reply = false;
    int area = -1;  // echomail: the target area
    std::u16string to, subject, address, body;
    std::string orig_msgid;  // the parent message's MSGID (at most 120 bytes)
    int orig_area = -1;      // the parent message's area and number
    uint32_t orig_num = 0;
    int orig_cs = -1;  // the parent message's character set (charset.h), -1 none
};

// A message ready to append.
struct CpMessage {
    int area = -1;  // target area
    std::string subf, text, msgid;
    JamMsg jm;  // points into subf and text
};

// "zone:net/node[.point]" as the Address field takes it: zone not 0, net may
// be empty (0), node begins with a digit, then the end, "@" or a blank. 1 on
// success, 0 otherwise.
int parse_ftn(const char* text, ftn_addr& a);
// The first network whose zone is `zone` and that has a netmail area; for
// a FidoNet zone (1 to 6) else the first such network in any FidoNet zone;
// -1 when none.
int net_for_zone(const EdNets& nets, uint32_t zone);
// "Re: " + subject unless it begins with "Re:" in any case; cut to 71.
std::u16string reply_subject(const std::u16string& subject);
// The greeting and the quoted text of a reply to `from`, CR LF line ends;
// the text's bytes are in character set cs (charset.h).
std::u16string build_quote(const std::u16string& from, const char* text, uint32_t len, int cs);
// Fills a reply's fields from a loaded message (entry of eb's list): To,
// Subject, the parent's MSGID, character set, number and area, and for a netmail area the
// mode and the Address from OADDRESS. The body is left to the caller.
void cp_reply_fields(const EdBase& eb, uint32_t entry, ComposeInput& in);

// Builds the message at local time `now` with the MSGID serial `serial`.
// Names, subject and text are written in one character set (cs_choose: the
// parent's for a reply when everything fits it, else code page 437, else
// UTF-8) named by the CHRS kludge, with the UTC offset `tz_minutes`.
// CP_SAVED or the reason why not; a body over CP_BODY_MAX is CP_E_LONG,
// never cut.
int cp_build(const EdBase& eb, const EdNets& nets, const ComposeInput& in, uint32_t serial,
             uint32_t now, int tz_minutes, CpMessage& out);
// Builds the message now, takes its MSGID serial from the serial file beside
// the configuration lk names (lk.cfg_path), takes the JAM lock file (3 s),
// appends it to its base, refreshes the area's counters and releases the
// lock. CP_SAVED with the new message's number and area, or the reason why
// not; nothing is written unless the whole message was built, its serial
// recorded and the lock taken. On CP_E_WRITE `area` is the area whose base
// could not be written.
int cp_save(EdBase& eb, const EdNets& nets, JamLock& lk, const ComposeInput& in, uint32_t& msgnum,
            int& area);
// cp_save for bases of any format: format_of(area) names the format of an
// area's base (AreaFormat, config/config.h). A JAM base gets the same bytes
// as from cp_save; a *.MSG base the message as cp_to_mb makes it, appended
// through the message-base interface (msgarea/msgarea.h) under the same
// lock; its directory is made when missing. The counters of a *.MSG area
// are left as they were (the editor's windows read JAM only).
int cp_save(EdBase& eb, const EdNets& nets, JamLock& lk, const ComposeInput& in, uint32_t& msgnum,
            int& area, const std::function<AreaFormat(int)>& format_of);
// The built message as the message-base interface takes it: the names,
// subject, addresses (from OADDRESS and DESTADDRESS), date, attributes and
// reply number of msg.jm, its kludges (MSGID, REPLY, PID, TZUTC, CHRS) in
// the order of its subfields, and its text with tear and origin lines.
void cp_to_mb(const CpMessage& msg, MbMessage& out);
