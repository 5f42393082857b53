// Type-2 packet reader: header check, message walk, password check, address
// and date parsing, and the conversion of one packed message into a JAM
// append request.
//
// A packet is read whole into memory by its caller; everything here works on
// that image and never reads outside it, whatever its bytes. Results are
// codes; on failure a reason (a catalogue text) is set on the Packet and the
// caller logs it. Nothing here writes a file: filing a message is the job of
// the sink given to scan_packet (the toss run's routing), which receives each
// parsed message in packet order.
//
// Not thread-safe with respect to the log; all other state lives in the
// structs passed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ftnaddr.h"
#include "core/packet_format.h"
#include "core/strutil.h"
#include "jam/jam.h"

// Reads "zone:net/node[.point]" with blanks allowed before each number;
// whatever follows (a domain such as "@fidonet") ends the address. Each
// number needs at least one digit and wraps without an overflow check.
// Returns 1 and the position behind the address in *end (when not null),
// or 0 with `a` unspecified. (The text form is ftn_fmt, core/ftnaddr.h.)
int parse_addr(const char* text, ftn_addr& a, const char** end = nullptr);

// Seconds since 1970 in local wall-clock time from a DateTime text such as
// "05 Dec 26  04:23:00" or "Fri 05 Dec 26 04:23"; 0 when not understood
// (also for dates before 1970 or after the range of u32).
uint32_t parse_date(const char* text);

// Packet attribute bits -> JAM attribute bits (Private, Crash, FileAttached,
// HoldForPickup, FileRequest, ReturnReceiptRequest, AuditRequest; all other
// bits are dropped).
uint32_t pkt_attr_to_jam(uint16_t attr);

// What the header check learns about a packet.
struct PktSummary {
    int type = PKT_TYPE_2;  // PKT_TYPE_2, PKT_TYPE_2PLUS or PKT_TYPE_22
    ftn_addr orig;
    ftn_addr dest;
    uint32_t count = 0;  // messages, counted by scan_packet
};

// A packet image and its state. The image must stay valid while in use.
struct Packet {
    const uint8_t* data = nullptr;
    size_t size = 0;
    PktSummary sum;
    const char* reason = "";  // reason text after a failure (catalogue)
};

// One packed message inside a packet image. The strings point into the image
// and are NUL-terminated there.
struct ParsedMsg {
    const uint8_t* hdr = nullptr;  // the 14-byte header
    const char* date = nullptr;
    const char* to = nullptr;
    const char* from = nullptr;
    const char* subject = nullptr;
    const char* text = nullptr;
    size_t textlen = 0;  // without the terminating zero byte
};

// The "2", "2+" or "2.2" of a summary type.
const char* pkt_type_name(int type);

// Checks the header and fills p.sum (not its count). 0, or 1 with p.reason
// "too short for packet header" or "not packet version 2".
int check_header(Packet& p);

// Parses the packed message at `msg` (inside the image ending at `end`).
// Returns the position behind it, or nullptr when it is incomplete (a field
// without its zero byte within its size or before the end).
const uint8_t* parse_msg(const uint8_t* msg, const uint8_t* end, ParsedMsg& m);

// Receives each message of the filing pass; returns 0, or 1 when the message
// could not be filed (the walk stops).
using PktSink = int (*)(void* ctx, const Packet& p, const ParsedMsg& m);

// Walks all packed messages after check_header. With toss 0 it only
// validates and counts them (p.sum.count); with toss 1 it also hands each one
// to sink(ctx, ...). 0, or 1 with p.reason "truncated/broken (message
// incomplete)", "unknown message type" or "error writing to JAM" (messages
// filed before stay filed).
int scan_packet(Packet& p, int toss, PktSink sink = nullptr, void* ctx = nullptr);

// A boss as the password check sees it: its address and packet password.
struct PktBoss {
    ftn_addr boss;
    const char* pktpwd = "";
};
// `owners` tells which bosses deliver into the inbound the packet lies in
// (bit i for bosses[i]); 0 when unknown.
// Finds the first boss among the owners (any boss when owners is 0) whose
// address has the packet's origin zone, net and node while the packet's origin
// point is 0. Found: *sender = its index; an empty password accepts;
// otherwise the password is compared with the 8 header bytes, ASCII
// case-insensitive, up to a common zero byte or through 8 positions.
// None found, owners 0: logs "Note: sender is not a configured boss (no
// password check)", *sender = -1, accepted. None found otherwise (another
// origin in a boss's inbound, whatever address it claims): when an owner has
// no packet password the inbound is unchecked (the same note, *sender = -1);
// else the packet must carry the password of an owner, and is then accepted
// with "Note: packet origin is not the boss, accepted with the boss's packet
// password" and *sender = -1 (its origin is still no boss: it creates no
// areas).
// 0 accepted, 1 with p.reason "wrong packet password".
int check_password(Packet& p, const PktBoss* bosses, size_t n, uint32_t owners, int* sender);

// One packed message converted for jam_append. The buffers keep their
// capacity between messages, so a packet costs no allocation per message
// after the first few.
struct TossMsg {
    bool echo = false;     // AREA line found on the first line
    char tag[TAG_MAX]{};   // echomail area tag, at most 63 characters
    bool tag_cut = false;  // the AREA line's tag was longer and was cut
    ftn_addr orig;         // after INTL/FMPT/TOPT for netmail
    ftn_addr dest;
    std::string text;   // JAM text: message lines with their CRs
    std::string subf;   // subfield block; the caller may append more subfields
    std::string msgid;  // last MSGID value (has_msgid tells whether there was one)
    bool has_msgid = false;
    std::string reply;
    bool has_reply = false;
    uint32_t attr = 0;     // JAM attribute
    uint32_t date = 0;     // DateWritten
    bool date_ok = false;  // the packet's date was understood (else date = now)
    uint32_t now = 0;      // DateReceived, DateProcessed
    uint32_t msgidcrc = JAM_NO_CRC;
    uint32_t replycrc = JAM_NO_CRC;
    uint32_t usercrc = 0;
    std::string kludges;  // work buffers, kept for their capacity
    std::string scratch;

    // The append request for the current buffers (call again after changing
    // text or subf; the pointers refer into this object).
    JamMsg jam() const;
};

// Converts one message of a packet whose header was checked: text and
// kludges, subfields (OADDRESS, DADDRESS for netmail, SENDERNAME,
// RECEIVERNAME, SUBJECT, then kludge, SEEN-BY and PATH subfields in line
// order), addresses, attribute, dates and CRCs. `now` is the run's start
// time, used for DateReceived/DateProcessed and when the date is not
// understood. Cannot fail.
void pkt_convert(const PktSummary& sum, const ParsedMsg& m, uint32_t now, TossMsg& out);
