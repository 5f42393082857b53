// Byte-string, number and UTF-16 helpers with the exact rules the file
// formats and comparisons depend on.
//
// The mail side works on NUL-terminated byte strings kept in fixed-size
// buffers. Every fixed-size field is filled with str_copy, so an over-long
// value is cut, never refused. No function here allocates or fails.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CFG_STR = 256;  // one configuration value (255 bytes kept)
constexpr size_t TAG_MAX = 64;   // an echo tag (63 bytes kept)
// A path buffer (519 bytes kept). Named WP_PATH_MAX because PATH_MAX is a
// system macro on POSIX.
constexpr size_t WP_PATH_MAX = 520;

size_t str_len(const char* s);
// Copies at most cap-1 bytes and terminates when cap > 0 (cap 0 writes
// nothing). Returns the number of bytes copied.
size_t str_copy(char* dst, const char* src, size_t cap);
// Appends src within the total capacity cap of dst; nothing happens when dst
// already holds cap bytes or more.
void str_cat(char* dst, const char* src, size_t cap);
// ASCII case-insensitive equality: only A-Z fold. 0 = equal, 1 = different.
int str_icmp(const char* a, const char* b);
// First position of byte c (looking for NUL finds the terminator), or nullptr.
const char* str_chr(const char* s, char c);
// First position of needle in hay, case-sensitive; an empty needle is found
// at the start. nullptr when absent.
const char* str_find(const char* hay, const char* needle);
void mem_copy(void* dst, const void* src, size_t n);

// Unsigned decimal without leading zeros, terminated; returns the digit count.
// buf needs 21 bytes.
int u64_to_dec(uint64_t value, char* buf);
// Skips leading blanks (not tabs), reads decimal digits, stops at the first
// other byte. No digit gives 0; the value wraps modulo 2^64. *end (when not
// null) receives the stop position.
uint64_t parse_u64(const char* s, const char** end = nullptr);
// 0-15 for a hexadecimal digit in either case, otherwise -1.
int hex_nibble(char c);
// n bytes as 2n lowercase hexadecimal digits, terminated (dst: 2n+1 bytes).
void hex_encode(char* dst, const uint8_t* src, size_t n);
// Whether Windows takes the file name for a device whatever the directory:
// CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$ or CONOUT$ in any letter case,
// alone or before an extension, with blanks before the dot. Names from the
// network are checked with it on every system, so that the same inbound or
// file area is safe to open on Windows.
bool str_names_device(const char* name);
// dir, a separator unless dir is empty or already ends in one, then name;
// the result is cut to WP_PATH_MAX bytes with the terminator.
void path_join(char* dst, const char* dir, const char* name);

// UTF-16 counterparts.
size_t wlen(const char16_t* s);
void wcopy(char16_t* dst, const char16_t* src, size_t cap);
void wcat(char16_t* dst, const char16_t* src, size_t cap);
// Unsigned decimal as UTF-16, terminated (dst: 21 characters).
void wnum(uint64_t value, char16_t* dst);
