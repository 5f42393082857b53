// The editor on a small screen: the settings window stays on the screen with
// Save and Cancel in reach, the toolbar of the smallest main window offers
// the buttons it has no room for, and the reader's header lines do not run
// into each other.
#include <gtest/gtest.h>

#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <string>

#include "editor/gui/settings_window.h"
#include "editor_gui/editor_fixture.h"

using edtest::activate;
using edtest::Editor;
using edtest::str;
using edtest::wait_for;

namespace {

// Whether `w` lies wholly inside `area`, in screen coordinates.
bool on(const QRect& area, QWidget* w) {
    QRect r(w->mapToGlobal(QPoint(0, 0)), w->size());
    return area.contains(r);
}

// The columns where two pictures of the same widget differ: the pixels of
// what one draws and the other does not. {-1, -1} when none.
std::pair<int, int> differing_columns(const QImage& a, const QImage& b, int top, int bottom) {
    int lo = -1, hi = -1;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) {
                if (lo < 0 || x < lo) lo = x;
                hi = std::max(hi, x);
            }
    return {lo, hi};
}

}  // namespace

// The settings window lies on the screen's work area where the placement
// rule puts it; made lower than its form, it keeps Save and Cancel in view
// and scrolls the form.
TEST(EditorSmallScreen, SettingsWindowFitsTheScreen) {
    Editor e;
    QRect work = e.w->screen()->availableGeometry();
    e.w->do_command(CMD_SETTINGS);
    SettingsWindow* s = e.w->settings_window();
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(s));
    EXPECT_TRUE(work.contains(s->frameGeometry()))
        << work.width() << "x" << work.height() << " " << s->width() << "x" << s->height();
    EXPECT_EQ(s->frameGeometry().top(), work.top() + 40);
    EXPECT_LE(s->frameGeometry().left(), work.left() + 160);
    // As on a 1366 x 768 screen less its task bar, and lower still.
    for (int h : {680, 420}) {
        s->resize(s->width(), h);
        QApplication::processEvents();
        EXPECT_EQ(s->height(), h);
        EXPECT_TRUE(on(QRect(s->mapToGlobal(QPoint(0, 0)), s->size()), s->save_button())) << h;
        EXPECT_TRUE(on(QRect(s->mapToGlobal(QPoint(0, 0)), s->size()), s->cancel_button())) << h;
        EXPECT_TRUE(s->save_button()->isVisible());
    }
    // The form's lower part is reached by scrolling.
    QScrollBar* bar = s->form_area()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    bar->setValue(bar->maximum());
    QLineEdit* last = s->global_sysop();
    QRect seen = s->form_area()->viewport()->rect();
    EXPECT_TRUE(
        seen.contains(QRect(last->mapTo(s->form_area()->viewport(), QPoint(0, 0)), last->size())));
    // Cancel, clicked where it is, closes the window.
    QTest::mouseClick(s->cancel_button(), Qt::LeftButton);
    EXPECT_TRUE(wait_for([&] { return e.w->settings_window() == nullptr; }));
}

// At the smallest size of the main window the toolbar keeps its buttons
// within reach: the ones with no room come out of its extension button.
TEST(EditorSmallScreen, ToolbarOffersItsHiddenButtons) {
    Editor e;
    e.w->resize(e.w->minimumSize());
    activate(e);
    QApplication::processEvents();
    ASSERT_EQ(e.w->width(), e.w->minimumWidth());
    QToolBar* tb = e.w->toolbar();
    EXPECT_LE(tb->geometry().right(), e.w->width());
    QWidget* settings = tb->widgetForAction(e.w->action(CMD_SETTINGS));
    ASSERT_NE(settings, nullptr);
    ASSERT_FALSE(settings->isVisible()) << "no room for the last button at this width";
    {
        auto* more = tb->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"));
        ASSERT_NE(more, nullptr);
        ASSERT_TRUE(more->isVisible());
        // Its arrows stand out from the toolbar's face as text does.
        QImage img = more->grab().toImage();
        QRgb face = img.pixel(0, 0);
        double best = 1;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                best = std::max(best, edtest::contrast(img.pixel(x, y), face));
        EXPECT_GE(best, 4.5);
        QTest::mouseClick(more, Qt::LeftButton);
        ASSERT_TRUE(wait_for([&] { return settings->isVisible(); }));
    }
    EXPECT_TRUE(on(e.w->screen()->geometry(), settings));
    QTest::mouseClick(settings, Qt::LeftButton);
    EXPECT_NE(e.w->settings_window(), nullptr);
}

// The message number, right-aligned on the From line, and a long From text
// do not overprint each other in the smallest window.
TEST(EditorSmallScreen, ReaderNumberLeavesTheFromLineAlone) {
    Editor e;
    e.w->resize(e.w->minimumSize());
    e.w->open_start("FSX_GEN", 0);
    QApplication::processEvents();
    ReaderView* rv = e.w->reader();
    Reader& r = rv->model();
    const std::u16string from =
        u"Carolina Montgomery-Fitzwilliam of the Far Northern Islands (21:3/210.7)";
    std::copy(from.begin(), from.end(), r.rd_hdr[0]);
    r.rd_hdr[0][from.size()] = 0;
    const std::u16string no = u"No. 12345  (12345/50000)";
    std::copy(no.begin(), no.end(), r.rd_hdr[4]);
    r.rd_hdr[4][no.size()] = 0;
    auto shot = [&] {
        rv->update();
        return rv->grab().toImage();
    };
    QImage both = shot();
    char16_t keep = r.rd_hdr[0][0];
    r.rd_hdr[0][0] = 0;
    QImage number_only = shot();
    r.rd_hdr[4][0] = 0;
    QImage neither = shot();
    r.rd_hdr[0][0] = keep;
    int line_bottom = r.cellh + 5;
    // The From text as drawn beside the number, and the number itself.
    auto from_px = differing_columns(both, number_only, 0, line_bottom);
    auto no_px = differing_columns(number_only, neither, 0, line_bottom);
    ASSERT_GE(from_px.first, 0);
    ASSERT_GE(no_px.first, 0);
    EXPECT_LT(from_px.second, no_px.first)
        << "From ends at " << from_px.second << ", the number begins at " << no_px.first;
}
