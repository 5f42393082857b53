#include "editor/reader.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/charset.h"
#include "core/cp437.h"
#include "editor/links.h"
#include "jam/jam_format.h"

const uint32_t rd_palette[16] = {0x181818, 0xAA0000, 0x00AA00, 0xAA5500, 0x0000AA, 0xAA00AA,
                                 0x00AAAA, 0xC0C0C0, 0x707070, 0xFF5555, 0x55FF55, 0xFFFF55,
                                 0x5555FF, 0xFF55FF, 0x55FFFF, 0xFFFFFF};

const RdKludge rd_kl_before[RD_KL_BEFORE] = {
    {SF_MSGID, "@MSGID: "}, {SF_REPLY, "@REPLY: "}, {SF_PID, "@PID: "}, {SF_TZUTC, "@TZUTC: "},
    {SF_FLAGS, "@FLAGS "},  {SF_KLUDGE, "@"},       {SF_TRACE, "@Via "}};
const RdKludge rd_kl_after[RD_KL_AFTER] = {{SF_SEENBY, "SEEN-BY: "}, {SF_PATH, "@PATH: "}};

void rd_kludge_rows(const uint8_t* sf, uint32_t sflen, bool after,
                    const std::function<void(const char*, const uint8_t*, uint32_t)>& row) {
    const RdKludge* list = after ? rd_kl_after : rd_kl_before;
    size_t n = after ? RD_KL_AFTER : RD_KL_BEFORE;
    for (uint32_t p = 0; sf != nullptr && p + 8 <= sflen;) {
        uint16_t lo = get_le16(sf + p);
        uint32_t dlen = get_le32(sf + p + 4);
        if (dlen > sflen - p - 8) break;
        const uint8_t* data = sf + p + 8;
        p += 8 + dlen;
        for (size_t i = 0; i < n; ++i)
            if (list[i].id == lo) row(list[i].prefix, data, dlen);
    }
}

namespace {

void blank_row(Reader& r, int row) {
    std::fill_n(&r.cell(row, 0), COLS, BLANK);
    r.rflag[row] = 0;
    r.rpfx[row] = 0;
}

// Rows up to `row` exist afterwards (row < MAX_ROWS).
void ensure_row(Reader& r, int row) {
    while (r.rows <= row) blank_row(r, r.rows++);
}

// Moves to column 0 of a new continuation row; false beyond the grid.
bool next_row(Reader& r, uint8_t flags) {
    ++r.r_row;
    r.r_col = 0;
    if (r.r_row >= MAX_ROWS) return false;
    ensure_row(r, r.r_row);
    r.rflag[r.r_row] = static_cast<uint8_t>(flags | (r.rflag[r.r_row] & RF_KLG));
    r.rpfx[r.r_row] = 0;
    return true;
}

// Wraps at the last space at or before column `last` (COLS - 1, or COLS - 2
// when a wide character left column 79 empty).
void word_wrap(Reader& r, char16_t c, int last = COLS - 1) {
    int moved = 0;
    uint8_t flags = RF_CONT;
    if (c == u' ') {
        flags |= RF_SPACE;
    } else if (r.r_row < r.rows) {
        for (int k = last; k > r.r_pfx; --k) {
            if (cell_char(r.cell(r.r_row, k)) != u' ') continue;
            for (int m = k + 1; m <= last; ++m) {
                r.wrapbuf[moved++] = r.cell(r.r_row, m);
                r.cell(r.r_row, m) = BLANK;
            }
            flags |= RF_SPACE;
            break;
        }
    }
    if (!next_row(r, flags)) return;
    if (r.r_pfx > 0 && r.r_pfx + moved < 72) {
        for (int k = 0; k < r.r_pfx; ++k) r.cell(r.r_row, k) = r.cell(r.r_lrow, k);
        r.r_col = r.r_pfx;
        r.rpfx[r.r_row] = static_cast<uint8_t>(r.r_pfx);
    }
    for (int k = 0; k < moved; ++k) r.cell(r.r_row, r.r_col++) = r.wrapbuf[k];
}

void put_ch(Reader& r, char16_t c, uint32_t bits = 0, int last = COLS - 1) {
    if (r.r_col >= COLS) {
        if (r.r_wrapok) {
            word_wrap(r, c, last);
            if (c == u' ') return;
        } else if (!next_row(r, RF_CONT)) {
            return;
        }
    }
    if (r.r_row >= MAX_ROWS) return;
    ensure_row(r, r.r_row);
    int fg = r.r_fg + (r.r_bold && r.r_fg < 8 ? 8 : 0);
    r.cell(r.r_row, r.r_col) =
        c | bits | (static_cast<uint32_t>(fg) << 16) | (static_cast<uint32_t>(r.r_bg) << 24);
    if (r.r_klg) r.rflag[r.r_row] |= RF_KLG;
    ++r.r_col;
}

// One character of any width: a two-cell one that would start in the last
// column goes to the next row, leaving that column blank.
void put_char(Reader& r, char32_t c) {
    if (c < 0x10000 && cs_width(c) == 1) {
        put_ch(r, static_cast<char16_t>(c));
        return;
    }
    char16_t left = static_cast<char16_t>(c), right = 0;
    if (c >= 0x10000) {
        left = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        right = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
    int last = COLS - 1;
    if (r.r_col == COLS - 1) {
        r.r_col = COLS;
        last = COLS - 2;
    }
    put_ch(r, left, CELL_WIDE, last);
    if (r.r_row >= MAX_ROWS || r.r_col >= COLS) return;
    put_ch(r, right, CELL_RIGHT);
}

void put_byte(Reader& r, uint8_t b) {
    put_ch(r, b == 0 ? u' ' : static_cast<char16_t>(cp437_uni[b]));
}

// The character at t[i] in the message's set; returns the bytes it took.
// Bytes below 0x80 keep the code page's screen glyphs for control bytes;
// the other controls (C1, separators, direction controls) show as
// cs_shown shows them everywhere.
uint32_t put_text_char(Reader& r, const char* t, uint32_t i, uint32_t len) {
    uint8_t b = static_cast<uint8_t>(t[i]);
    if (b < 0x80) {
        put_byte(r, b);
        return 1;
    }
    size_t used;
    put_char(r, cs_shown(cs_next(r.r_cs, t + i, len - i, used)));
    return static_cast<uint32_t>(used);
}

void new_line(Reader& r) {
    ++r.r_row;
    r.r_col = 0;
}

void classify(Reader& r, const char* t, uint32_t i, uint32_t len) {
    int colour = FG_TEXT;
    uint32_t rem = len - i;
    if (rem >= 3 && std::memcmp(t + i, "---", 3) == 0 &&
        (rem == 3 || t[i + 3] == ' ' || t[i + 3] == '\r')) {
        colour = FG_ORIGIN;
    } else if (rem >= 10 && std::memcmp(t + i, " * Origin:", 10) == 0) {
        colour = FG_ORIGIN;
    } else {
        for (uint32_t k = 0; k < 6 && k < rem; ++k) {
            char b = t[i + k];
            if (b == '\r' || b == '\x1b' || b == '<') break;
            if (b == '>') {
                colour = FG_QUOTE;
                break;
            }
        }
    }
    r.r_def = colour;
    r.r_fg = colour;
}

void line_setup(Reader& r, const char* t, uint32_t i, uint32_t len, bool quote) {
    r.r_lrow = r.r_row;
    r.r_pfx = 0;
    r.r_wrapok = true;
    // Box drawing and block characters (U+2500-U+259F; in code page 437
    // the bytes 0xB0-0xDF) make a picture that wrapping would tear apart.
    for (uint32_t k = i; k < len && t[k] != '\r' && t[k] != '\n';) {
        size_t used;
        char32_t c = cs_next(r.r_cs, t + k, len - k, used);
        if (c == 0x1B || (c >= 0x2500 && c <= 0x259F)) {
            r.r_wrapok = false;
            return;
        }
        k += static_cast<uint32_t>(used);
    }
    if (!quote) return;
    for (uint32_t k = 0; k < 6 && i + k < len; ++k) {
        char b = t[i + k];
        if (b == '\t' || b == '\r') break;
        if (b == '>') {
            r.r_pfx = static_cast<int>(k + 1);
            if (i + k + 1 < len && t[i + k + 1] == ' ') ++r.r_pfx;
            break;
        }
    }
}

// One kludge row per listed subfield, in the order of the block.
void put_kludges(Reader& r, const uint8_t* sf, uint32_t sflen, bool after) {
    rd_kludge_rows(sf, sflen, after, [&r](const char* prefix, const uint8_t* data, uint32_t dlen) {
        if (r.r_col > 0) new_line(r);
        r.r_klg = true;
        r.r_fg = FG_KLUDGE;
        r.r_bg = 0;
        r.r_bold = false;
        r.r_wrapok = false;
        for (const char* c = prefix; *c; ++c) put_byte(r, static_cast<uint8_t>(*c));
        const char* d = reinterpret_cast<const char*>(data);
        for (uint32_t i = 0; i < dlen;) i += put_text_char(r, d, i, dlen);
        new_line(r);
    });
    r.r_fg = FG_TEXT;
    r.r_klg = false;
}

// A control sequence after ESC "[" at i; returns the position after it, or
// len when the text ended inside it (rendering ends).
uint32_t csi(Reader& r, const char* t, uint32_t i, uint32_t len) {
    int par[8] = {};
    int np = 0, v = 0;
    char fin = 0;
    while (i < len) {
        char b = t[i++];
        if (b >= '0' && b <= '9') {
            if (v < 10000) v = v * 10 + (b - '0');
        } else if (b == ';') {
            if (np < 8) par[np++] = v;
            v = 0;
        } else if (static_cast<uint8_t>(b) >= 0x40) {
            if (np < 8) par[np++] = v;
            fin = b;
            break;
        }
    }
    if (fin == 0) return len;
    r.r_ansi = true;
    int n = par[0];
    int c = n == 0 ? 1 : n;  // cursor commands
    switch (fin) {
        case 'A':
            r.r_row = std::max(r.r_row - c, r.r_base);
            break;
        case 'B':
            r.r_row = std::min(r.r_row + c, MAX_ROWS - 1);
            break;
        case 'C':
            r.r_col = std::min(r.r_col + c, COLS - 1);
            break;
        case 'D':
            r.r_col = std::max((r.r_col >= COLS ? COLS - 1 : r.r_col) - c, 0);
            break;
        case 'H':
        case 'f':
            r.r_row = std::min(r.r_base + c - 1, MAX_ROWS - 1);
            r.r_col = np >= 2 && par[1] != 0 ? std::min(par[1] - 1, COLS - 1) : 0;
            break;
        case 's':
            r.r_srow = r.r_row;
            r.r_scol = r.r_col;
            break;
        case 'u':
            r.r_row = r.r_srow;
            r.r_col = r.r_scol;
            break;
        case 'J':
            if (n == 2) {
                for (int row = r.r_base; row < r.rows; ++row) blank_row(r, row);
                r.r_row = r.r_base;
                r.r_col = 0;
            }
            break;
        case 'K':
            if (r.r_row < r.rows && r.r_col < COLS)
                std::fill(&r.cell(r.r_row, r.r_col), &r.cell(r.r_row, 0) + COLS, BLANK);
            break;
        case 'm':
            for (int k = 0; k < np; ++k) {
                int p = par[k];
                if (p == 0) {
                    r.r_fg = FG_TEXT;
                    r.r_bg = 0;
                    r.r_bold = false;
                } else if (p == 1) {
                    r.r_bold = true;
                } else if (p == 22) {
                    r.r_bold = false;
                } else if (p == 7) {
                    std::swap(r.r_fg, r.r_bg);
                } else if (p >= 30 && p <= 37) {
                    r.r_fg = p - 30;
                } else if (p == 39) {
                    r.r_fg = FG_TEXT;
                } else if (p >= 40 && p <= 47) {
                    r.r_bg = p - 40;
                } else if (p == 49) {
                    r.r_bg = 0;
                } else if (p >= 90 && p <= 97) {
                    r.r_fg = p - 90 + 8;
                } else if (p >= 100 && p <= 107) {
                    r.r_bg = p - 100 + 8;
                }
            }
            break;
        default:
            break;
    }
    return i;
}

}  // namespace

int rd_row_end(const Reader& r, int row) {
    int end = COLS;
    while (end > 0 && cell_char(r.cell(row, end - 1)) == u' ') --end;
    return end;
}

Reader::Reader()
    : grid(static_cast<size_t>(MAX_ROWS) * COLS, BLANK), rflag(MAX_ROWS, 0), rpfx(MAX_ROWS, 0) {}

void rd_clear(Reader& r) {
    r.rows = 0;
    r.top = 0;
    r.sel_a = r.sel_c = 0;
    for (auto& line : r.rd_hdr) line[0] = 0;
}

void rd_render(Reader& r, const char* t, uint32_t len, const uint8_t* sf, uint32_t sflen,
               bool show_kludges) {
    r.rows = 0;
    r.top = 0;
    r.r_row = r.r_col = 0;
    r.r_fg = FG_TEXT;
    r.r_bg = 0;
    r.r_bold = false;
    r.r_ansi = false;
    r.r_srow = r.r_scol = 0;
    r.r_klg = false;
    r.r_wrapok = false;
    r.r_pfx = 0;
    r.r_lrow = 0;
    r.sel_a = r.sel_c = 0;
    r.r_cs = cs_of_message(sf, sflen, t, len);
    if (show_kludges) put_kludges(r, sf, sflen, false);
    r.r_base = r.r_row;

    bool line_start = true, after_cr = false;
    uint32_t i = 0;
    while (i < len) {
        if (after_cr && t[i] == '\n') {  // the LF of a CR LF
            after_cr = false;
            ++i;
            continue;
        }
        after_cr = false;
        if (line_start) {
            line_start = false;
            if (t[i] == '\x01') {
                if (!show_kludges) {
                    while (i < len && t[i] != '\r') ++i;
                    if (i < len) ++i;
                    line_start = after_cr = true;
                    continue;
                }
                r.r_klg = true;
                r.r_fg = FG_KLUDGE;
                r.r_wrapok = false;
                put_ch(r, u'@');
                ++i;
                continue;
            }
            bool quote = false;
            if (!r.r_ansi) {
                classify(r, t, i, len);
                quote = r.r_def == FG_QUOTE;
            }
            line_setup(r, t, i, len, quote);
        }
        uint8_t b = static_cast<uint8_t>(t[i]);
        if (b == '\r' || b == '\n') {
            new_line(r);
            r.r_klg = false;
            line_start = true;
            after_cr = b == '\r';
            if (!r.r_ansi) r.r_fg = FG_TEXT;
            ++i;
        } else if (b == '\t') {
            // Beyond the grid put_ch leaves the column where a cursor move put it.
            do {
                put_ch(r, u' ');
            } while (r.r_col % 8 != 0 && r.r_col < COLS && r.r_row < MAX_ROWS);
            ++i;
        } else if (b == 0x1A) {
            break;
        } else if (b == 0x1B) {
            if (i + 1 >= len) break;
            if (t[i + 1] == '[') {
                i = csi(r, t, i + 2, len);
            } else {
                ++i;
            }
        } else {
            i += put_text_char(r, t, i, len);
        }
    }
    r.r_wrapok = false;
    if (show_kludges) {
        r.r_fg = FG_TEXT;
        r.r_bg = 0;
        r.r_bold = false;
        if (r.r_col > 0) new_line(r);
        put_kludges(r, sf, sflen, true);
    }
    r.r_klg = false;
    mark_links(r);
    r.top = 0;
}

// ---- Selection ------------------------------------------------------------------

std::u16string sel_text(const Reader& r) {
    int a = std::min(r.sel_a, r.sel_c), c = std::max(r.sel_a, r.sel_c);
    std::u16string out;
    if (a == c) return out;
    int r0 = a / COLS, c0 = a % COLS, r1 = c / COLS, c1 = c % COLS;
    for (int row = r0; row <= r1 && row < r.rows; ++row) {
        int start = row == r0 ? c0 : 0;
        int end = row == r1 ? c1 : COLS;
        if (row > r0) {
            if (!(r.rflag[row] & RF_CONT))
                out += u"\r\n";
            else if (r.rflag[row] & RF_SPACE)
                out += u' ';
        }
        if (r.rflag[row] & RF_CONT) start = std::max(start, static_cast<int>(r.rpfx[row]));
        end = std::min(end, rd_row_end(r, row));
        for (int col = start; col < end; ++col)
            if (!cell_silent(r.cell(row, col))) out += cell_char(r.cell(row, col));
    }
    return out;
}

void select_all(Reader& r) {
    r.sel_a = 0;
    r.sel_c = r.rows * COLS;
}

bool word_char(char16_t c) {
    if (c == u'_' || (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') ||
        (c >= u'a' && c <= u'z'))
        return true;
    return c >= 0x80 && c != 0xA0 && !(c >= 0x2500 && c <= 0x25FF);
}

bool select_word(Reader& r, int pos) {
    int row = pos / COLS, col = pos % COLS;
    // A wide character's right half belongs to the word of its left half.
    auto word = [&r, row](int c) {
        uint32_t v = r.cell(row, c);
        return (v & CELL_RIGHT) || word_char(cell_char(v));
    };
    if (row >= r.rows || !word(col)) return false;
    int a = col, c = col;
    while (a > 0 && word(a - 1)) --a;
    while (c + 1 < COLS && word(c + 1)) ++c;
    r.sel_a = row * COLS + a;
    r.sel_c = row * COLS + c + 1;
    return true;
}

std::u16string window_text(const Reader& r) {
    std::u16string out;
    for (int row = 0; row < r.rows; ++row) {
        int end = rd_row_end(r, row);
        for (int col = 0; col < end; ++col)
            if (!cell_silent(r.cell(row, col))) out += cell_char(r.cell(row, col));
        out += u"\r\n";
    }
    return out;
}

// ---- Geometry ---------------------------------------------------------------------

int pos_from(const Reader& r, int x, int y, bool exact, bool* on_cell) {
    if (on_cell) *on_cell = false;
    if (r.rows == 0) return 0;
    bool on = true;
    int row;
    if (y < r.hdr_h) {
        row = r.top;
        on = false;
    } else {
        row = (y - r.hdr_h) / r.cellh + r.top;
        if (row >= r.rows) {
            if (!exact) return r.rows * COLS;
            row = r.rows - 1;
            on = false;
        }
    }
    int col = (std::max(0, x - 6) + (exact ? 0 : r.cellw / 2)) / r.cellw;
    if (exact) {
        if (col > COLS - 1) {
            col = COLS - 1;
            on = false;
        }
    } else if (col > COLS) {
        col = COLS;
    }
    if (on_cell) *on_cell = exact && on;
    return row * COLS + col;
}

void rd_set_height(Reader& r, int client_h) {
    r.vis = std::max(0, client_h - r.hdr_h) / r.cellh;
    rd_scroll_to(r, r.top);
}

void rd_scroll_to(Reader& r, int top) {
    r.top = std::clamp(top, 0, std::max(0, r.rows - r.vis));
}

bool rd_space(Reader& r) {
    if (r.top + r.vis >= r.rows) return true;
    rd_scroll_to(r, r.top + r.vis);
    return false;
}

int rd_fit_height(const Reader& r, int client_w, const std::function<int(int)>& cellw_of) {
    if (r.rd_zoom != 0) return r.rd_zoom;
    int w = client_w - 12;
    int h = BASE_FH;
    if (w > COLS * r.base_cw) h = std::min(BASE_FH * w / (COLS * r.base_cw), MAX_FH);
    while (h > BASE_FH && COLS * cellw_of(h) > w) --h;
    return h;
}

void rd_apply_font(Reader& r, int height, int cellw, int cellh) {
    r.rd_fh = height;
    r.cellw = cellw > 0 ? cellw : 1;
    r.cellh = cellh > 0 ? cellh : 1;
    r.hdr_h = HDR_LINES * r.cellh + 12;
}

void rd_zoom_cmd(Reader& r, int step) {
    if (step == 0) {
        r.rd_zoom = 0;
        return;
    }
    int h = (r.rd_zoom != 0 ? r.rd_zoom : r.rd_fh) + ZSTEP * step;
    r.rd_zoom = std::clamp(h, ZMIN_FH, ZMAX_FH);
}
