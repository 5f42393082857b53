// Links in the reader: web, FTP, telnet and mail addresses found in the laid
// out text (also across word-wrapped rows), marked on their cells, looked up
// under a cell, completed ("www." gets "https://") and checked before
// anything may open them. Only the five known schemes are ever opened.
// No window-system calls.
#pragma once

#include <cstdint>
#include <string>

#include "editor/reader.h"

constexpr int LMAX = 8192;      // characters of one logical line examined
constexpr int LINK_MAX = 2048;  // longest link that is opened or copied

// A link character: "!" to "~" except the quotation mark, "<", ">", "\",
// "^", "`", "{", "|" and "}".
bool is_uc(char16_t c);
// Characters that join a word: digits, letters, "/", ".", "@", "-", "_",
// everything from 0x80 up.
bool is_wc(char16_t c);
// Case-insensitive prefix test against a lower-case pattern.
bool pmatch(const char16_t* s, int n, const char* pattern);

// The next link at or after p in a line of n characters: its start, with
// its length in len; -1 when there is none.
int link_find(const char16_t* line, int n, int p, int& len);
// The address a link opens: "https://" in front of a "www." link, else the
// text itself; cut to 2040 characters of the raw text.
std::u16string link_norm(const std::u16string& raw);
// True when the address may be opened: 1 to 2048 link characters, beginning
// with https://, http://, ftp://, telnet:// or mailto: and longer than that.
bool link_safe(const std::u16string& url);

// One logical line of the grid from `row` on (continuation rows joined, a
// consumed wrap space put back without a cell): its characters, each one's
// cell (-1 for none), and the row after it.
int build_line(const Reader& r, int row, std::u16string& line, std::vector<int>& map);
// Sets CELL_LINK on every cell of every link outside kludge rows.
void mark_links(Reader& r);
// The link on a cell: true with its text as written (raw) and the address to
// open (url) when the cell belongs to a link whose address is safe.
bool link_at(const Reader& r, int pos, std::u16string& raw, std::u16string& url);
