// The one reader of the configuration file's lines.
//
// wrenpost.cfg is read by the loader, the settings dialog's rewriter, the
// echo-area editor and the language lookup; all of them split the text with
// cfg_line, so a line is the same line to each of them:
//
// - A line runs to its LF (the last one may lack it). A CR is no line break:
//   before the first other byte it counts as a blank, and it ends a value.
// - The line's first byte that is not a blank, tab or CR decides its kind:
//   none is an empty line, "#" or ";" a comment, "[" a section header
//   (read by cfg_section_name from the byte after it), otherwise a setting
//   when the line holds an "=", else another line (ignored by the loader).
// - A setting's key runs from that first byte to the first "=", blanks and
//   tabs before the "=" dropped; its value from the first byte after the "="
//   and its blanks and tabs to the first CR (or the line's end), trailing
//   blanks and tabs dropped. A NUL byte ends the key and the value.
//
// Only the first CFG_READ_MAX bytes of the file are ever read or edited.
#pragma once

#include <cstddef>

// How many bytes of the file every reader takes; a file this long or longer
// is never rewritten.
constexpr size_t CFG_READ_MAX = 16383;

enum class CfgLineKind { Empty, Comment, Header, Setting, Other };

struct CfgLine {
    size_t begin = 0;  // its first byte
    size_t end = 0;    // after its LF (the text's end for a last line without one)
    size_t stop = 0;   // end of its content: before its CR LF or LF
    size_t first = 0;  // first byte that is not a blank, tab or CR; stop when none
    CfgLineKind kind = CfgLineKind::Empty;
    // A setting's key [key, key_end) and value [value, value_end); both
    // empty spans at `first` for other kinds.
    size_t key = 0, key_end = 0;
    size_t value = 0, value_end = 0;
};

// The line of text[0, len) that starts at begin (begin < len).
CfgLine cfg_line(const char* text, size_t len, size_t begin);
// Whether l is a setting whose whole key is `key` (ASCII case-insensitive).
bool cfg_line_key_is(const char* text, const CfgLine& l, const char* key);
