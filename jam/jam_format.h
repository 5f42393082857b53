// On-disk layout of a JAM message base, shared by the writer (jam.cc) and
// every reader (header walk, index walk, export, editor).
//
// A base is four files next to each other: base path + ".jhr" (base header,
// then message headers each followed by its subfields), ".jdt" (texts),
// ".jdx" (one 8-byte index record per message number) and ".jlr" (16-byte
// last-read records). All numbers are little-endian; dates are u32 seconds
// since 1970 in local wall-clock time. Field names follow the published JAM
// layout.
#pragma once

#include <cstdint>

// ---- Base header: JHI_SIZE bytes at offset 0 of .jhr -----------------------
constexpr uint32_t JHI_SIZE = 1024;
constexpr uint32_t JAM_SIGNATURE = 0x004D414Au;  // "JAM" + NUL read as a u32
constexpr uint32_t JHI_SIGNATURE = 0;            // 4 bytes "JAM\0"
constexpr uint32_t JHI_DATECREATED = 4;          // u32
constexpr uint32_t JHI_MODCOUNTER = 8;           // u32, +1 per change
constexpr uint32_t JHI_ACTIVEMSGS = 12;          // u32
constexpr uint32_t JHI_PASSWORDCRC = 16;         // u32, JAM_NO_CRC = no password
constexpr uint32_t JHI_BASEMSGNUM = 20;          // u32, number of index record 0
constexpr uint32_t JHI_RESERVED = 24;            // 1000 bytes, kept as found

// ---- Message header: JMH_SIZE bytes, then SubfieldLen bytes of subfields ---
constexpr uint32_t JMH_SIZE = 76;
constexpr uint32_t JMH_SIGNATURE = 0;       // 4 bytes "JAM\0"
constexpr uint32_t JMH_REVISION = 4;        // u16, 1
constexpr uint32_t JMH_RESERVEDWORD = 6;    // u16
constexpr uint32_t JMH_SUBFIELDLEN = 8;     // u32
constexpr uint32_t JMH_TIMESREAD = 12;      // u32
constexpr uint32_t JMH_MSGIDCRC = 16;       // u32, JAM CRC of the MSGID
constexpr uint32_t JMH_REPLYCRC = 20;       // u32, JAM CRC of the REPLY
constexpr uint32_t JMH_REPLYTO = 24;        // u32
constexpr uint32_t JMH_REPLY1ST = 28;       // u32
constexpr uint32_t JMH_REPLYNEXT = 32;      // u32
constexpr uint32_t JMH_DATEWRITTEN = 36;    // u32
constexpr uint32_t JMH_DATERECEIVED = 40;   // u32
constexpr uint32_t JMH_DATEPROCESSED = 44;  // u32
constexpr uint32_t JMH_MESSAGENUMBER = 48;  // u32
constexpr uint32_t JMH_ATTRIBUTE = 52;      // u32, JA_* bits
constexpr uint32_t JMH_ATTRIBUTE2 = 56;     // u32
constexpr uint32_t JMH_TXTOFFSET = 60;      // u32, offset in .jdt
constexpr uint32_t JMH_TXTLEN = 64;         // u32
constexpr uint32_t JMH_PASSWORDCRC = 68;    // u32
constexpr uint32_t JMH_COST = 72;           // u32
constexpr uint16_t JAM_REVISION = 1;

// ---- Subfield: u16 LoID, u16 HiID, u32 DatLen, DatLen bytes of data ---------
constexpr uint32_t JSF_HDR = 8;
constexpr uint16_t SF_OADDR = 0;      // OADDRESS
constexpr uint16_t SF_DADDR = 1;      // DADDRESS
constexpr uint16_t SF_SENDER = 2;     // SENDERNAME
constexpr uint16_t SF_RECEIVER = 3;   // RECEIVERNAME
constexpr uint16_t SF_MSGID = 4;      // MSGID
constexpr uint16_t SF_REPLY = 5;      // REPLYID
constexpr uint16_t SF_SUBJECT = 6;    // SUBJECT
constexpr uint16_t SF_PID = 7;        // PID
constexpr uint16_t SF_TRACE = 8;      // TRACE ("Via" lines)
constexpr uint16_t SF_KLUDGE = 2000;  // FTSKLUDGE, any other kludge line
constexpr uint16_t SF_SEENBY = 2001;  // SEENBY2D
constexpr uint16_t SF_PATH = 2002;    // PATH2D
constexpr uint16_t SF_FLAGS = 2003;   // FLAGS
constexpr uint16_t SF_TZUTC = 2004;   // TZUTCINFO

// ---- Index record (.jdx): u32 UserCRC, u32 HdrOffset -----------------------
constexpr uint32_t JDX_SIZE = 8;
constexpr uint32_t JDX_USERCRC = 0;
constexpr uint32_t JDX_HDROFFSET = 4;
constexpr uint32_t JDX_DELETED = 0xFFFFFFFFu;  // both fields of a deleted message

// ---- Last-read record (.jlr): UserCRC, UserID, LastReadMsg, HighReadMsg -----
constexpr uint32_t JLR_SIZE = 16;
constexpr uint32_t JLR_USERCRC = 0;
constexpr uint32_t JLR_USERID = 4;
constexpr uint32_t JLR_LASTREADMSG = 8;
constexpr uint32_t JLR_HIGHREADMSG = 12;

// "No CRC": MSGIDcrc/REPLYcrc without the kludge, PasswordCRC without password.
constexpr uint32_t JAM_NO_CRC = 0xFFFFFFFFu;

// ---- Attribute bits ----------------------------------------------------------
constexpr uint32_t JA_LOCAL = 0x00000001u;
constexpr uint32_t JA_INTRANSIT = 0x00000002u;
constexpr uint32_t JA_PRIVATE = 0x00000004u;
constexpr uint32_t JA_READ = 0x00000008u;
constexpr uint32_t JA_SENT = 0x00000010u;
constexpr uint32_t JA_KILLSENT = 0x00000020u;
constexpr uint32_t JA_HOLD = 0x00000080u;
constexpr uint32_t JA_CRASH = 0x00000100u;
constexpr uint32_t JA_FILEREQ = 0x00001000u;
constexpr uint32_t JA_FILEATT = 0x00002000u;
constexpr uint32_t JA_RECEIPT = 0x00010000u;
constexpr uint32_t JA_CONFIRM = 0x00020000u;
constexpr uint32_t JA_ECHO = 0x01000000u;
constexpr uint32_t JA_NET = 0x02000000u;
constexpr uint32_t JA_NETMAIL = JA_NET;  // the editor's name for the same bit
constexpr uint32_t JA_DELETED = 0x80000000u;
