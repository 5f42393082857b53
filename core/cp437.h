// Code page 437 <-> UTF-16.
//
// Message texts in packets and JAM bases are code page 437; the editor works
// in UTF-16. The table maps every byte, control positions included, to the
// code page's screen glyph (0x00 to a blank), so a byte string always shows.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint16_t cp437_uni[256];

// Up to n bytes of src (stopping early at a NUL byte) through the table into
// dst, at most cap-1 characters, terminated (cap > 0).
void cp_to_wide(const char* src, size_t n, char16_t* dst, size_t cap);
// The same for a whole NUL-terminated byte string.
void a_to_w(char16_t* dst, const char* src, size_t cap);
// A terminated UTF-16 string into code page 437, at most cap-1 bytes,
// terminated. Tab, LF, CR and U+0020-U+007E pass unchanged; anything else is
// looked up at table positions 0x01-0x1F and 0x7F-0xFF (first match wins);
// a character not found becomes "?".
void wide_to_cp(const char16_t* src, char* dst, size_t cap);
// One character by the same rule.
char wide_char_to_cp(char16_t c);
