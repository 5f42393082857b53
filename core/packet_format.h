// Layout of a type-2 FidoNet packet (with the 2+ and 2.2 header variants),
// shared by the packet reader (tosser/packet.cc) and the packet writer and
// packing code of the export (scanner/pktwrite.cc, scanner/pack.cc). All
// numbers are little-endian u16. Constants only: no functions, no state.
//
// A packet is a 58-byte header, then packed messages back to back, then a
// zero word. A packed message is a 14-byte header followed by four
// NUL-terminated text fields of bounded length and the NUL-terminated text.
#pragma once

#include <cstdint>

// ---- Packet header: PKT_HDR_SIZE bytes ---------------------------------------
constexpr uint32_t PKT_HDR_SIZE = 58;
constexpr uint32_t PKT_MIN_SIZE = PKT_HDR_SIZE + 2;  // header and the terminating zero word
constexpr uint32_t PH_ORIGNODE = 0;
constexpr uint32_t PH_DESTNODE = 2;
constexpr uint32_t PH_YEAR = 4;   // type 2, 2+; origPoint in type 2.2
constexpr uint32_t PH_MONTH = 6;  // type 2, 2+; destPoint in type 2.2
constexpr uint32_t PH_DAY = 8;
constexpr uint32_t PH_HOUR = 10;
constexpr uint32_t PH_MINUTE = 12;
constexpr uint32_t PH_SECOND = 14;
constexpr uint32_t PH_BAUD = 16;     // subversion in type 2.2 (value 2)
constexpr uint32_t PH_VERSION = 18;  // always 2
constexpr uint32_t PH_ORIGNET = 20;  // 0xFFFF for a point in 2+ (see PH_AUXNET)
constexpr uint32_t PH_DESTNET = 22;
constexpr uint32_t PH_PRODCODE_LO = 24;  // 1 byte
constexpr uint32_t PH_REV_MAJOR = 25;    // 1 byte
constexpr uint32_t PH_PASSWORD = 26;     // 8 bytes, zero-filled
constexpr uint32_t PH_PASSWORD_LEN = 8;
constexpr uint32_t PH_ORIGZONE = 34;
constexpr uint32_t PH_DESTZONE = 36;
constexpr uint32_t PH_AUXNET = 38;        // 2+: origin net of a point packet
constexpr uint32_t PH_CAPWORD_COPY = 40;  // 2+: byte-swapped copy of PH_CAPWORD
constexpr uint32_t PH_PRODCODE_HI = 42;   // 1 byte
constexpr uint32_t PH_REV_MINOR = 43;     // 1 byte
constexpr uint32_t PH_CAPWORD = 44;       // bit 0: type 2+
constexpr uint32_t PH_ORIGZONE2 = 46;     // 2+: overrides PH_ORIGZONE when not 0
constexpr uint32_t PH_DESTZONE2 = 48;     // 2+: overrides PH_DESTZONE when not 0
constexpr uint32_t PH_ORIGPOINT = 50;     // 2+
constexpr uint32_t PH_DESTPOINT = 52;     // 2+
constexpr uint32_t PH_PRODDATA = 54;      // 4 bytes
constexpr uint16_t PKT_VERSION = 2;
constexpr uint16_t PKT_SUBVERSION_22 = 2;
constexpr uint16_t PKT_CAP_2PLUS = 0x0001;
constexpr uint16_t PKT_POINTNET = 0xFFFF;

// Packet types as the summary reports them.
constexpr int PKT_TYPE_2 = 0;
constexpr int PKT_TYPE_2PLUS = 1;
constexpr int PKT_TYPE_22 = 2;

// ---- Packed message: PM_HDR_SIZE bytes, then the variable fields ----------
constexpr uint32_t PM_HDR_SIZE = 14;
constexpr uint32_t PM_TYPE = 0;  // always 2; a zero word ends the packet
constexpr uint32_t PM_ORIGNODE = 2;
constexpr uint32_t PM_DESTNODE = 4;
constexpr uint32_t PM_ORIGNET = 6;
constexpr uint32_t PM_DESTNET = 8;
constexpr uint32_t PM_ATTR = 10;
constexpr uint32_t PM_COST = 12;
constexpr uint16_t PM_MSGTYPE = 2;
// Field sizes including the terminating zero byte.
constexpr uint32_t PM_DATE_MAX = 20;
constexpr uint32_t PM_TO_MAX = 36;
constexpr uint32_t PM_FROM_MAX = 36;
constexpr uint32_t PM_SUBJ_MAX = 72;

// ---- Packed-message attribute bits (FTS-0001) --------------------------------
constexpr uint16_t PA_PRIVATE = 0x0001;
constexpr uint16_t PA_CRASH = 0x0002;
constexpr uint16_t PA_RECD = 0x0004;
constexpr uint16_t PA_SENT = 0x0008;
constexpr uint16_t PA_FILEATT = 0x0010;
constexpr uint16_t PA_INTRANSIT = 0x0020;
constexpr uint16_t PA_ORPHAN = 0x0040;
constexpr uint16_t PA_KILLSENT = 0x0080;
constexpr uint16_t PA_LOCAL = 0x0100;
constexpr uint16_t PA_HOLD = 0x0200;
constexpr uint16_t PA_FILEREQ = 0x0800;
constexpr uint16_t PA_RRQ = 0x1000;   // ReturnReceiptRequest
constexpr uint16_t PA_ISRR = 0x2000;  // IsReturnReceipt
constexpr uint16_t PA_ARQ = 0x4000;   // AuditRequest
constexpr uint16_t PA_FUPDREQ = 0x8000;
