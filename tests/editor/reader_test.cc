// The reader's grid: line classes, word wrap with quote prefixes, kludges,
// ANSI sequences, selection and copy, hit tests, scrolling and font fitting.
#include "editor/reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "editor/reader_util.h"
#include "jam/jam.h"
#include "jam/jam_format.h"

using wptest::render;

namespace {

std::string row_text(const Reader& r, int row) {
    std::string s;
    int end = COLS;
    while (end > 0 && cell_char(r.cell(row, end - 1)) == u' ') --end;
    for (int c = 0; c < end; ++c) {
        char16_t ch = cell_char(r.cell(row, c));
        s += ch < 0x80 ? char(ch) : '?';
    }
    return s;
}

std::string ascii(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

}  // namespace

TEST(Reader, LineClasses) {
    auto r = render(
        "plain\r---\r--- wrenpost 0.9\r----\r---\nx\r * Origin: here (1:2/3)\r"
        " JS> quoted\r<a> not a quote\rabcdef> too far\r");
    struct {
        int row;
        int fg;
    } rows[] = {{0, FG_TEXT}, {1, FG_ORIGIN}, {2, FG_ORIGIN}, {3, FG_TEXT}, {4, FG_TEXT},
                {5, FG_TEXT}, {6, FG_ORIGIN}, {7, FG_QUOTE},  {8, FG_TEXT}, {9, FG_TEXT}};
    for (auto& x : rows) EXPECT_EQ(cell_fg(r->cell(x.row, 0)), x.fg) << row_text(*r, x.row);
    EXPECT_EQ(r->rows, 10);
}

TEST(Reader, QuotesWrapWithTheirPrefixAndCopyBackWhole) {
    std::string words;
    for (int i = 0; i < 30; ++i) words += "word" + std::to_string(i) + " ";
    words.pop_back();
    std::string line = " JS> " + words;
    auto r = render(line + "\rnext\r");
    ASSERT_GE(r->rows, 4);
    EXPECT_EQ(row_text(*r, 0).substr(0, 5), " JS> ");
    for (int row = 1; r->rflag[row] & RF_CONT; ++row) {
        EXPECT_EQ(row_text(*r, row).substr(0, 5), " JS> ") << row;
        EXPECT_EQ(r->rpfx[row], 5);
        EXPECT_EQ(r->rflag[row], RF_CONT | RF_SPACE);
        EXPECT_EQ(cell_fg(r->cell(row, 6)), FG_QUOTE);
    }
    int last = r->rows - 1;
    EXPECT_EQ(row_text(*r, last), "next");
    select_all(*r);
    EXPECT_EQ(ascii(sel_text(*r)), line + "\r\nnext");

    // A long unbroken tail: prefix + moved cells reach 72, no prefix then.
    std::string tail(75, 'x');
    auto t = render(" JS> a " + tail);
    ASSERT_EQ(t->rows, 2);
    EXPECT_EQ(row_text(*t, 0), " JS> a");
    EXPECT_EQ(row_text(*t, 1), tail);
    EXPECT_EQ(t->rpfx[1], 0);
}

TEST(Reader, BoxDrawingAndLongWordsBreakHard) {
    std::string box(81, '\xC4');  // CP437 horizontal line
    auto r = render(box + "\r" + std::string(85, 'y'));
    ASSERT_EQ(r->rows, 4);
    EXPECT_EQ(cell_char(r->cell(1, 0)), u'\u2500');
    EXPECT_EQ(r->rflag[1], RF_CONT);
    EXPECT_EQ(row_text(*r, 2), std::string(80, 'y'));
    EXPECT_EQ(row_text(*r, 3), "yyyyy");
    EXPECT_EQ(r->rflag[3], RF_CONT);
    select_all(*r);
    EXPECT_EQ(sel_text(*r).size(), 81u + 2 + 85);
}

// The C1 controls, separators and direction controls of a message show as
// U+FFFD in the grid, as on every other screen (cs_shown); letters stay.
TEST(Reader, C1AndDirectionControlsShowAsReplacement) {
    auto r = render(
        "a\xc2\x9b"
        "b\xe2\x80\xae"
        "c\xe2\x80\xa8\xc3\xa4\r");
    ASSERT_EQ(r->rows, 1);
    std::u16string row;
    for (int c = 0; c < 6; ++c) row += cell_char(r->cell(0, c));
    EXPECT_EQ(row, u"a\uFFFDb\uFFFDc\uFFFD");
    EXPECT_EQ(cell_char(r->cell(0, 6)), u'\u00e4');
}

TEST(Reader, KludgesHiddenAndShown) {
    std::string sf;
    jam_subf_add(sf, SF_SENDER, "Jo");
    jam_subf_add(sf, SF_MSGID, "21:3/210.7 00c0ffee");
    jam_subf_add(sf, SF_PID, "wrenpost 0.9");
    jam_subf_add(sf, SF_SEENBY, "3/210 100");
    jam_subf_add(sf, SF_PATH, "3/210");
    std::string text = "\x01MSGID: 21:3/210.7 00c0ffee\r\x01PID: x\rHello all\r";
    auto hidden = render(text, sf, false);
    ASSERT_EQ(hidden->rows, 1);
    EXPECT_EQ(row_text(*hidden, 0), "Hello all");

    auto shown = render(text, sf, true);
    std::string want[] = {"@MSGID: 21:3/210.7 00c0ffee",
                          "@PID: wrenpost 0.9",
                          "@MSGID: 21:3/210.7 00c0ffee",
                          "@PID: x",
                          "Hello all",
                          "SEEN-BY: 3/210 100",
                          "@PATH: 3/210"};
    ASSERT_EQ(shown->rows, 7);
    for (int row = 0; row < 7; ++row) {
        EXPECT_EQ(row_text(*shown, row), want[row]);
        bool kludge = row != 4;
        EXPECT_EQ((shown->rflag[row] & RF_KLG) != 0, kludge) << row;
        EXPECT_EQ(cell_fg(shown->cell(row, 0)), kludge ? FG_KLUDGE : FG_TEXT) << row;
    }
    EXPECT_EQ(shown->r_base, 2);
    // A subfield running past the block's end ends the walk.
    std::string cut = sf.substr(0, sf.size() - 2);
    auto part = render("x", cut, true);
    EXPECT_EQ(row_text(*part, part->rows - 1), "SEEN-BY: 3/210 100");
}

TEST(Reader, AnsiColoursAndCursor) {
    auto m = render("\x1b[1;31mred\x1b[0m \x1b[7mswap");
    EXPECT_EQ(cell_fg(m->cell(0, 0)), 9);  // bold red is bright red
    EXPECT_EQ(cell_fg(m->cell(0, 4)), 0);  // swapped: black on grey
    EXPECT_EQ(cell_bg(m->cell(0, 4)), 7);
    EXPECT_EQ(cell_fg(m->cell(0, 3)), FG_TEXT);

    std::string sf;
    jam_subf_add(sf, SF_MSGID, "1:2/3 1");
    auto r = render("first\rsecond\x1b[5Aup\x1b[10;3Hat", sf, true);
    EXPECT_EQ(row_text(*r, 0), "@MSGID: 1:2/3 1");  // cursor-up stopped at the body
    EXPECT_EQ(row_text(*r, 1), "first up");
    EXPECT_EQ(row_text(*r, 10), "  at");  // row 10 of the body, column 3

    auto c = render("line one\rline two\x1b[2Jnew");
    EXPECT_EQ(row_text(*c, 0), "new");
    EXPECT_EQ(row_text(*c, 1), "");
    auto k = render("abcdef\x1b[3D\x1b[K!");
    EXPECT_EQ(row_text(*k, 0), "abc!");
    // ANSI mode: no colour reset at the line end, no classification.
    auto a = render("\x1b[32mgreen\r--- x\r> y");
    EXPECT_EQ(cell_fg(a->cell(1, 0)), 2);
    EXPECT_EQ(cell_fg(a->cell(2, 0)), 2);
    // A sequence cut by the end of the text ends it; 0x1A ends the text.
    auto e = render("ab\x1b[3");
    EXPECT_EQ(row_text(*e, 0), "ab");
    auto z = render(
        "ab\x1a"
        "cd");
    EXPECT_EQ(row_text(*z, 0), "ab");
}

TEST(Reader, TabsLineEndsAndCodePage) {
    auto r = render("a\tb\r\n\r\nc\nd\x84\x00");
    EXPECT_EQ(row_text(*r, 0), "a       b");
    EXPECT_EQ(row_text(*r, 1), "");
    EXPECT_EQ(row_text(*r, 2), "c");
    EXPECT_EQ(cell_char(r->cell(3, 1)), u'\u00e4');
    EXPECT_EQ(r->rows, 4);
    EXPECT_EQ(ascii(window_text(*r)).substr(0, 14), "a       b\r\n\r\nc");
}

TEST(Reader, SelectionWordsAndHitTests) {
    auto r = render("Hello w\x94rld_1 \xC4\xC4 end\r");
    // Words: letters, digits, "_" and everything from 0x80 but box drawing.
    EXPECT_TRUE(select_word(*r, 8));
    EXPECT_EQ(sel_text(*r), u"w\u00f6rld_1");
    EXPECT_FALSE(select_word(*r, 5));   // the blank
    EXPECT_FALSE(select_word(*r, 15));  // box drawing
    EXPECT_FALSE(word_char(0xA0));

    rd_apply_font(*r, 16, 8, 16);
    EXPECT_EQ(r->hdr_h, 76);
    bool on = false;
    EXPECT_EQ(pos_from(*r, 6 + 8 * 3, 76, true, &on), 3);
    EXPECT_TRUE(on);
    EXPECT_EQ(pos_from(*r, 6 + 8 * 3 + 5, 76, false), 4);  // snapped to the nearer gap
    EXPECT_EQ(pos_from(*r, 2000, 76, false), 80);
    EXPECT_EQ(pos_from(*r, 2000, 76, true, &on), 79);
    EXPECT_FALSE(on);
    EXPECT_EQ(pos_from(*r, 10, 500, false), r->rows * COLS);  // below everything
    pos_from(*r, 10, 10, true, &on);
    EXPECT_FALSE(on);  // the header
}

TEST(Reader, ScrollingSpaceAndFonts) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "line\r";
    auto r = render(text);
    rd_apply_font(*r, 16, 8, 16);
    rd_set_height(*r, 76 + 16 * 40 + 7);
    EXPECT_EQ(r->vis, 40);
    rd_scroll_to(*r, 1000);
    EXPECT_EQ(r->top, 60);
    rd_scroll_to(*r, -3);
    EXPECT_EQ(r->top, 0);
    EXPECT_FALSE(rd_space(*r));
    EXPECT_EQ(r->top, 40);
    EXPECT_FALSE(rd_space(*r));
    EXPECT_EQ(r->top, 60);
    EXPECT_TRUE(rd_space(*r));  // the end is visible: next unread

    // Fitting: twice the base width gives height 32 when 80 columns fit,
    // less when the font's cells come out wider.
    r->base_cw = 8;
    int w = 12 + 80 * 8 * 2;
    EXPECT_EQ(rd_fit_height(*r, w, [](int h) { return h / 2; }), 32);
    EXPECT_EQ(rd_fit_height(*r, w, [](int h) { return (h * 8 + 15) / 16 + 1; }), 30);
    EXPECT_EQ(rd_fit_height(*r, 300, [](int h) { return h / 2; }), 16);  // never below 16
    EXPECT_EQ(rd_fit_height(*r, 12 + 80 * 8 * 5, [](int h) { return h / 2; }), 48);

    // Zoom: from fitting at 20 one step gives 22; limits 10 and 72; 0 fits.
    rd_apply_font(*r, 20, 10, 20);
    rd_zoom_cmd(*r, 1);
    EXPECT_EQ(r->rd_zoom, 22);
    EXPECT_EQ(rd_fit_height(*r, 300, [](int h) { return h / 2; }), 22);
    for (int i = 0; i < 40; ++i) rd_zoom_cmd(*r, 1);
    EXPECT_EQ(r->rd_zoom, 72);
    for (int i = 0; i < 40; ++i) rd_zoom_cmd(*r, -1);
    EXPECT_EQ(r->rd_zoom, 10);
    rd_zoom_cmd(*r, 0);
    EXPECT_EQ(r->rd_zoom, 0);
}

TEST(Reader, RowsBeyondTheGridAreDropped) {
    std::string text;
    for (int i = 0; i < MAX_ROWS + 50; ++i) text += "x\r";
    auto r = render(text + std::string(200, 'y'));
    EXPECT_EQ(r->rows, MAX_ROWS);
    // Below the grid a cursor move still sets the column; a tab there has no
    // cell to fill and must not wait for the column to move.
    for (const char* tail : {"\x1b[3C\t", "\x1b[5C\x1b[s\r\x1b[u\tz"}) {
        auto t = render(text + tail);
        EXPECT_EQ(t->rows, MAX_ROWS) << tail;
    }
    rd_clear(*r);
    EXPECT_EQ(r->rows, 0);
    EXPECT_EQ(sel_text(*r), u"");
}

// Wide characters fill two cells, never straddle a row's end, and come back
// whole from a copy; the message's set decides how its bytes read.
TEST(Reader, CharacterSetsAndWideCharacters) {
    // UTF-8 without a kludge: detected. 39 narrow, then wide ones from column 39.
    std::string line = std::string(39, 'a') + " " + "\xe4\xb8\xad\xe6\x96\x87\xf0\x9f\x98\x80";
    auto r = render(line + "\r");
    EXPECT_EQ(cell_char(r->cell(0, 40)), u'\u4e2d');
    EXPECT_TRUE(r->cell(0, 40) & CELL_WIDE);
    EXPECT_TRUE(r->cell(0, 41) & CELL_RIGHT);
    EXPECT_EQ(cell_char(r->cell(0, 44)), 0xD83D);  // the emoji's pair over two cells
    EXPECT_EQ(cell_char(r->cell(0, 45)), 0xDE00);
    select_all(*r);
    EXPECT_EQ(sel_text(*r), std::u16string(39, u'a') + u" 中文😀");

    // A wide character arriving at column 79 goes to the next row whole.
    std::string edge = std::string(79, 'x') + "\xe4\xb8\xad" + "\r";
    r = render(edge);
    EXPECT_EQ(cell_char(r->cell(0, 79)), u' ');
    EXPECT_EQ(cell_char(r->cell(1, 0)), u'\u4e2d');
    EXPECT_TRUE(r->cell(1, 1) & CELL_RIGHT);
    select_all(*r);
    EXPECT_EQ(sel_text(*r), std::u16string(79, u'x') + u"中");

    // Eighty wide characters in words wrap at the space before the word.
    std::string words;
    for (int i = 0; i < 30; ++i) words += "\xe4\xb8\xad\xe6\x96\x87 ";
    r = render(words + "\r");
    for (int row = 0; row < r->rows; ++row)
        for (int col = 0; col < COLS; ++col)
            if (r->cell(row, col) & CELL_WIDE) {
                EXPECT_LT(col, COLS - 1) << row;
            }
    EXPECT_GT(r->rows, 1);

    // Kludge decides: the same bytes in CP866 and as KOI8-R.
    std::string sf866, sfkoi;
    jam_subf_add(sf866, SF_KLUDGE, "CHRS: CP866 2");
    jam_subf_add(sfkoi, SF_KLUDGE, "CHRS: KOI8-R 2");
    r = render("\x8f\xe0\xa8\xa2\xa5\xe2\r", sf866);
    select_all(*r);
    EXPECT_EQ(sel_text(*r), u"Привет");
    r = render("\xf0\xd2\xc9\xd7\xc5\xd4\r", sfkoi);
    select_all(*r);
    EXPECT_EQ(sel_text(*r), u"Привет");
    // Cyrillic UTF-8 lead bytes (0xD0, 0xD1) are no box drawing: it wraps.
    std::string ru;
    for (int i = 0; i < 20; ++i) ru += "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5 ";
    r = render(ru + "\r");
    EXPECT_EQ(r->rflag[1], RF_CONT | RF_SPACE);
    EXPECT_EQ(cell_char(r->cell(1, 0)), u'П');
    EXPECT_EQ(cell_char(r->cell(0, 77)), u' ');
    // Broken UTF-8 under a UTF-8 kludge shows replacement characters.
    std::string sfu;
    jam_subf_add(sfu, SF_KLUDGE, "CHRS: UTF-8 4");
    r = render("a\xff\xc3\r", sfu);
    select_all(*r);
    EXPECT_EQ(sel_text(*r), u"a\uFFFD\uFFFD");
}
