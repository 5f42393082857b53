// Fuzz target: the reader lays out message texts and subfield blocks that
// anyone may have written (ANSI sequences, kludges, any bytes). Input: one
// byte for the subfield block's length and the kludge switch, the block,
// then the text.
#include <cstdint>
#include <cstdlib>

#include "editor/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Reader r;  // the grid is large: one for all runs
    if (size < 1) return 0;
    size_t sflen = data[0] >> 1;
    bool kludges = data[0] & 1;
    ++data;
    --size;
    if (sflen > size) sflen = size;
    const char* text = reinterpret_cast<const char*>(data + sflen);
    rd_render(r, text, static_cast<uint32_t>(size - sflen), data, static_cast<uint32_t>(sflen),
              kludges);
    if (r.rows < 0 || r.rows > MAX_ROWS) abort();
    for (int row = 0; row < r.rows; ++row) {
        if (r.rpfx[row] >= COLS) abort();
        for (int col = 0; col < COLS; ++col)
            if ((r.cell(row, col) >> 24) > 15) abort();
    }
    select_all(r);
    std::u16string all = sel_text(r);
    if (all.size() > static_cast<size_t>(r.rows) * (COLS + 2)) abort();
    rd_apply_font(r, 16, 8, 16);
    int pos = pos_from(r, static_cast<int>(size % 900), static_cast<int>(sflen * 7), false);
    if (pos < 0 || pos > r.rows * COLS) abort();
    return 0;
}
