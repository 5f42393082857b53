// Writers of the export's on-disk formats, in memory only: the 58-byte
// header of an outgoing type-2+ packet, the 20-byte date text of a packed
// message, and a stored (uncompressed) single-entry ZIP archive. None opens a
// file and none can fail. The CRC-32 table is process-wide (jam/crc32.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/civil.h"
#include "core/packet_format.h"
#include "core/zip_format.h"
#include "outbound/bso.h"

constexpr uint8_t PRODCODE_LO = 254;
constexpr uint8_t REV_MAJOR = 0;
constexpr uint8_t REV_MINOR = 1;
constexpr size_t ZIP_STORE_OVERHEAD = ZL_SIZE + ZC_SIZE + ZE_SIZE;  // plus twice the name length

// v (0-99) as two decimal digits.
void put2(char* out, uint32_t v);
// "DD Mon YY  HH:MM:SS" and a zero byte: 20 bytes at out.
void fts_date(char* out, uint32_t t);
// The packet header at out (58 bytes) from orig (the point), dest (the boss)
// and the password (at most 8 bytes used), stamped with `now`, the local time
// as Civil (month 1-12; the header counts months from 0).
void pw_header(uint8_t* out, const ftn_addr& orig, const ftn_addr& dest, const char* password,
               const Civil& now);
// The same stamped with the local clock.
void pw_header(uint8_t* out, const ftn_addr& orig, const ftn_addr& dest, const char* password);
// A stored ZIP with one entry `name` holding data[0..size) into out, stamped
// with `now` (local time). REQUIRES: out has size + 98 + 2 * strlen(name)
// bytes. Returns the archive's length.
size_t zip_store(uint8_t* out, const char* name, const uint8_t* data, size_t size,
                 const Civil& now);
size_t zip_store(uint8_t* out, const char* name, const uint8_t* data, size_t size);
// The same archive in three parts, for writing without copying the packet:
// head (30 + n bytes: local header and name), the packet itself, and tail
// (68 + n bytes: central directory and end record). Returns the tail's length.
size_t zip_store_parts(uint8_t* head, uint8_t* tail, const char* name, const uint8_t* data,
                       size_t size, const Civil& now);
// The local time now as Civil.
Civil local_civil_now();
