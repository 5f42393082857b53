// The reader pane's model: one message laid out on a grid of 80 character
// columns the way FidoNet messages are written. Lines are classified (tear
// and origin lines, quotes, kludges), long lines word-wrapped with their quote
// prefix repeated, ANSI colour and cursor sequences interpreted, kludges shown
// on demand; plus the arithmetic of fonts, scrolling, hit tests and the
// selection, and the text that a copy gives. No window-system calls: the
// window paints the grid and feeds mouse and keys in.
//
// A Reader owns its grid (allocated once at its full size) and is used from
// the GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "editor/areas.h"

constexpr int MAX_ROWS = 20000;
constexpr int COLS = 80;
constexpr uint32_t BLANK = 0x00070020u;      // a space in colour 7 on 0
constexpr uint32_t CELL_LINK = 0x00100000u;  // the cell belongs to a link
// A character two cells wide (East Asian wide, or beyond U+FFFF) fills a
// CELL_WIDE cell and the CELL_RIGHT cell after it. A character beyond U+FFFF
// keeps its high surrogate on the left and its low one on the right; the right
// half of any other wide character holds 0.
constexpr uint32_t CELL_WIDE = 0x00200000u;
constexpr uint32_t CELL_RIGHT = 0x00400000u;
constexpr uint8_t RF_CONT = 1;   // continues the logical line of the row above
constexpr uint8_t RF_SPACE = 2;  // the wrap that made this row consumed a space
constexpr uint8_t RF_KLG = 4;    // the row shows a kludge
constexpr int FG_TEXT = 7;
constexpr int FG_QUOTE = 11;
constexpr int FG_KLUDGE = 8;
constexpr int FG_ORIGIN = 2;
constexpr int HDR_LINES = 4;
constexpr int BASE_FH = 16;  // font height the fitting starts from
constexpr int MAX_FH = 48;   // highest fitted font height
constexpr int ZSTEP = 2;
constexpr int ZMIN_FH = 10;
constexpr int ZMAX_FH = 72;

// The 16 text-mode colours as 0xRRGGBB, index 0 the dark background.
extern const uint32_t rd_palette[16];

inline char16_t cell_char(uint32_t c) {
    return static_cast<char16_t>(c & 0xFFFF);
}
// True for a right half that adds nothing to the text (not a low surrogate).
inline bool cell_silent(uint32_t c) {
    char16_t u = cell_char(c);
    return (c & CELL_RIGHT) && !(u >= 0xDC00 && u <= 0xDFFF);
}
inline int cell_fg(uint32_t c) {
    return static_cast<int>((c >> 16) & 0xF);
}
inline int cell_bg(uint32_t c) {
    return static_cast<int>((c >> 24) & 0xF);
}

struct Reader {
    std::vector<uint32_t> grid;  // MAX_ROWS x COLS cells
    std::vector<uint8_t> rflag, rpfx;
    int rows = 0;  // rows in use
    int top = 0;   // first row shown
    int vis = 0;   // whole rows that fit under the header
    int cellw = 8, cellh = 16;
    int hdr_h = HDR_LINES * 16 + 12;
    int rd_fh = BASE_FH;  // current font height
    int base_cw = 8;      // cell width at BASE_FH
    int rd_zoom = 0;      // 0: the font follows the width; else 10..72
    char16_t rd_hdr[5][HDR_LINE] = {};
    int sel_a = 0, sel_c = 0;  // selection anchor and caret (row * 80 + column)

    // Layout state of one message.
    int r_row = 0, r_col = 0, r_fg = FG_TEXT, r_bg = 0;
    bool r_bold = false;
    int r_def = FG_TEXT;
    bool r_ansi = false;
    int r_base = 0, r_srow = 0, r_scol = 0;
    bool r_wrapok = false;
    int r_pfx = 0, r_lrow = 0;
    bool r_klg = false;
    int r_cs = 0;  // the message's character set (charset.h)
    uint32_t wrapbuf[COLS] = {};

    Reader();
    uint32_t& cell(int row, int col) { return grid[static_cast<size_t>(row) * COLS + col]; }
    uint32_t cell(int row, int col) const { return grid[static_cast<size_t>(row) * COLS + col]; }
};

// The kludges shown from the header's subfields: each listed LoID with the
// prefix its row starts with, before the text (MSGID, REPLY, PID, TZUTC,
// FLAGS, other kludges, Via) and after it (SEEN-BY, PATH).
struct RdKludge {
    uint16_t id;
    const char* prefix;
};
constexpr size_t RD_KL_BEFORE = 7;
constexpr size_t RD_KL_AFTER = 2;
extern const RdKludge rd_kl_before[RD_KL_BEFORE];
extern const RdKludge rd_kl_after[RD_KL_AFTER];
// Calls row(prefix, data, length) for every subfield of the block that is
// shown before (after = false) or after the text, in the block's order; the
// walk stops at a subfield that would pass the block's end.
void rd_kludge_rows(const uint8_t* sf, uint32_t sflen, bool after,
                    const std::function<void(const char*, const uint8_t*, uint32_t)>& row);

// Lays out a message: text bytes (in the character set its CHRS kludge
// names, else UTF-8 or code page 437 as detected), the header's subfield
// block (for the kludges shown with show_kludges). rd_hdr is left as set.
// Wide characters take two cells; one never straddles a row's end.
void rd_render(Reader& r, const char* text, uint32_t len, const uint8_t* sf, uint32_t sflen,
               bool show_kludges);
// No rows, no selection, top 0, empty header texts.
void rd_clear(Reader& r);

// The column after a row's last non-blank cell (0 for a blank row).
int rd_row_end(const Reader& r, int row);

// Selection and copying.
std::u16string sel_text(const Reader& r);
void select_all(Reader& r);
// Selects the word around a cell within its row; false on a non-word cell.
bool select_word(Reader& r, int pos);
bool word_char(char16_t c);
// Every row cut after its last non-space cell, each followed by CR LF.
std::u16string window_text(const Reader& r);

// Cell position of a point in client coordinates. Non-exact: snapped to the
// nearest gap between cells, after everything below the last row. Exact:
// on_cell tells whether the point lies on an existing cell.
int pos_from(const Reader& r, int x, int y, bool exact, bool* on_cell = nullptr);

// Scrolling: vis for a client height, top clamped into the rows.
void rd_set_height(Reader& r, int client_h);
void rd_scroll_to(Reader& r, int top);
// Space: true when the end is visible (go to the next unread message),
// otherwise one page down.
bool rd_space(Reader& r);

// Fonts: the height for a client width (manual zoom, or fitting 80 columns
// from BASE_FH up to MAX_FH); cellw_of(h) is the cell width at height h.
int rd_fit_height(const Reader& r, int client_w, const std::function<int(int)>& cellw_of);
// Applies a font: cell sizes and header height.
void rd_apply_font(Reader& r, int height, int cellw, int cellh);
// Zoom command: 0 back to fitting, +1/-1 a step of 2 pixels within 10..72.
void rd_zoom_cmd(Reader& r, int step);
