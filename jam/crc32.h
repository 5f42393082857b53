// CRC-32 (reflected, polynomial 0xEDB88320), table-driven.
//
// The routines neither start nor invert: the caller passes the start value
// and inverts the result when its format wants that. ZIP uses
// ~crc_update(data, n, 0xFFFFFFFF); JAM uses crc_update_lc(text, n,
// 0xFFFFFFFF) without inversion ("JAM CRC", see jam_crc).
//
// The 256-entry table is process-wide. It is valid from program start (built
// at compile time); crc_init rebuilds the same values and may be called any
// number of times. All routines are pure apart from that table and may be
// called from any thread once the program runs.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills the table: entry n is n put through eight rounds of "shift right by
// one, XOR 0xEDB88320 when the bit shifted out was 1".
void crc_init();
// For each byte: crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF].
uint32_t crc_update(const void* data, size_t len, uint32_t crc);
// The same with A-Z folded to a-z before each byte enters (other bytes,
// also 0x80 and above, unchanged).
uint32_t crc_update_lc(const void* data, size_t len, uint32_t crc);
// JAM CRC of n bytes: crc_update_lc(data, n, 0xFFFFFFFF), no inversion.
// "abc" and "ABC" give 0xCADBBE3D, the empty text 0xFFFFFFFF.
uint32_t jam_crc(const void* data, size_t len);
// JAM CRC of a NUL-terminated text.
uint32_t jam_crc(const char* text);
