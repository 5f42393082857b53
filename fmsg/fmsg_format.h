// On-disk layout of a *.MSG area, shared by the writer and the reader
// (fmsg/fmsg.cc) and the tests.
//
// An area is a directory with one file per message, named by its number in
// decimal and ".msg" ("1.msg", "2.msg"; readers take ".MSG" too). A file is
// the 190-byte stored-message header of FTS-0001, then the text: kludge lines
// starting with 0x01, the body, SEEN-BY lines and 0x01 PATH lines, each line
// ended by CR, and one NUL at the end. Numbers are u16 little-endian; the
// names and the subject are NUL-terminated within their fields.
#pragma once

#include <cstdint>

// ---- Stored-message header: FMSG_HDR_SIZE bytes at offset 0 ----------------
constexpr uint32_t FMSG_HDR_SIZE = 190;
constexpr uint32_t FMSG_FROM = 0;        // 36 bytes, fromUserName
constexpr uint32_t FMSG_TO = 36;         // 36 bytes, toUserName
constexpr uint32_t FMSG_SUBJECT = 72;    // 72 bytes, subject
constexpr uint32_t FMSG_DATETIME = 144;  // 20 bytes, "DD Mon YY  HH:MM:SS" + NUL
constexpr uint32_t FMSG_TIMESREAD = 164;
constexpr uint32_t FMSG_DESTNODE = 166;
constexpr uint32_t FMSG_ORIGNODE = 168;
constexpr uint32_t FMSG_COST = 170;
constexpr uint32_t FMSG_ORIGNET = 172;
constexpr uint32_t FMSG_DESTNET = 174;
// The four optional words: zones and points (some programs keep dates here
// instead; readers trust INTL, FMPT and TOPT first).
constexpr uint32_t FMSG_DESTZONE = 176;
constexpr uint32_t FMSG_ORIGZONE = 178;
constexpr uint32_t FMSG_DESTPOINT = 180;
constexpr uint32_t FMSG_ORIGPOINT = 182;
constexpr uint32_t FMSG_REPLYTO = 184;  // number of the message replied to
constexpr uint32_t FMSG_ATTRIBUTE = 186;
constexpr uint32_t FMSG_NEXTREPLY = 188;

constexpr uint32_t FMSG_NAME_LEN = 36;  // fields incl. their NUL
constexpr uint32_t FMSG_SUBJECT_LEN = 72;
constexpr uint32_t FMSG_DATETIME_LEN = 20;

// ---- Attribute word -----------------------------------------------------------
constexpr uint16_t FA_PRIVATE = 0x0001;
constexpr uint16_t FA_CRASH = 0x0002;
constexpr uint16_t FA_RECD = 0x0004;  // received (read) by the addressee
constexpr uint16_t FA_SENT = 0x0008;
constexpr uint16_t FA_FILEATT = 0x0010;
constexpr uint16_t FA_INTRANSIT = 0x0020;
constexpr uint16_t FA_ORPHAN = 0x0040;
constexpr uint16_t FA_KILLSENT = 0x0080;
constexpr uint16_t FA_LOCAL = 0x0100;
constexpr uint16_t FA_HOLD = 0x0200;
constexpr uint16_t FA_FILEREQ = 0x0800;
constexpr uint16_t FA_RRQ = 0x1000;    // return receipt requested
constexpr uint16_t FA_ISRR = 0x2000;   // is a return receipt
constexpr uint16_t FA_AUDIT = 0x4000;  // audit request
constexpr uint16_t FA_FILEUPD = 0x8000;

// ---- Files --------------------------------------------------------------------
constexpr char FMSG_EXT[] = ".msg";
constexpr uint32_t FMSG_MAX_NUMBER = 65535;  // numbers are u16 in the header (ReplyTo)
// The first number given in an empty area: 1.msg is left to the high-water
// mark other programs keep there (and which their scans never export).
constexpr uint32_t FMSG_FIRST_NUMBER = 2;
// The last-read file in the area's directory: u16 little-endian words, one
// per user; this program keeps its mark in word 0.
constexpr char FMSG_LASTREAD[] = "lastread";
