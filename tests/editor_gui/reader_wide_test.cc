// The reader pane painted offscreen with a UTF-8 message of wide characters:
// each takes two cells, and what follows is drawn where the grid puts it.
// The picture is saved as reader_wide.png in the build directory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <string>

#include "core/catalog.h"
#include "editor/gui/reader_view.h"
#include "support/test_support.h"
#include "tosser/jam.h"
#include "tosser/jam_format.h"

namespace {

// True when any pixel of the cell differs from the background.
bool inked(const QImage& img, const Reader& r, int row, int col) {
    QColor bg(0x18, 0x18, 0x18);
    for (int y = r.hdr_h + row * r.cellh; y < r.hdr_h + (row + 1) * r.cellh; ++y)
        for (int x = 6 + col * r.cellw; x < 6 + (col + 1) * r.cellw; ++x)
            if (img.pixelColor(x, y) != bg) return true;
    return false;
}

}  // namespace

TEST(ReaderPane, WideCharactersPaintedOnTwoCells) {
    lang_apply(LANG_EN);  // the header labels
    ReaderView v;
    v.resize(1000, 420);
    std::u16string hdr[4] = {u"Zoë <21:1/100>", u"All", u"Emoji 😀 and 中文", u"05.12.2026"};
    for (int i = 0; i < 4; ++i) std::copy(hdr[i].begin(), hdr[i].end() + 1, v.model().rd_hdr[i]);
    std::string sf;
    jam_subf_add(sf, SF_KLUDGE, "CHRS: UTF-8 4");
    std::string text =
        "\xe4\xb8\xad\xe6\x96\x87 end\r"  // 中文 end
        "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xa7\xe3\x81\x99 \xf0\x9f\x98\x80 ok\r"
        "Gr\xc3\xbc\xc3\x9f"
        "e, \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82!\r";
    v.render(text.data(), uint32_t(text.size()), reinterpret_cast<const uint8_t*>(sf.data()),
             uint32_t(sf.size()), false);
    v.show();
    QApplication::processEvents();
    QImage img = v.grab().toImage();
    std::string png = std::string(WP_BUILD_DIR) + "/reader_wide.png";
    ASSERT_TRUE(img.save(QString::fromStdString(png)));
    EXPECT_FALSE(QImage(QString::fromStdString(png)).isNull());

    const Reader& r = v.model();
    // Row 0: 中 in cells 0-1, 文 in 2-3, a blank in 4, "end" from 5.
    EXPECT_TRUE(r.cell(0, 0) & CELL_WIDE);
    EXPECT_TRUE(r.cell(0, 3) & CELL_RIGHT);
    EXPECT_TRUE(inked(img, r, 0, 0));
    EXPECT_FALSE(inked(img, r, 0, 4));
    EXPECT_TRUE(inked(img, r, 0, 5));  // "e" where the grid put it
    EXPECT_FALSE(inked(img, r, 0, 8));
    // Row 1: five wide characters (10 cells), a blank, the emoji (2), a blank, "ok".
    EXPECT_TRUE(r.cell(1, 11) & CELL_WIDE);
    EXPECT_TRUE(inked(img, r, 1, 11));
    EXPECT_FALSE(inked(img, r, 1, 10));
    EXPECT_FALSE(inked(img, r, 1, 13));
    EXPECT_TRUE(inked(img, r, 1, 14));
    // Row 2: narrow letters, one cell each: "Grüße, Привет!" is 14 cells.
    EXPECT_TRUE(inked(img, r, 2, 13));
    EXPECT_FALSE(inked(img, r, 2, 14));
}
