// The main window driven as a user drives it: real key presses, clicks and
// drags delivered by QTest to the focused widget or the shortcut map, and the
// results read off the widgets and their rendered pixels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTest>
#include <functional>

#include "editor/gui/compose_window.h"
#include "editor_gui/editor_fixture.h"

using edtest::activate;
using edtest::Editor;
using edtest::key;
using edtest::str;
using edtest::wait_for;

namespace {

bool row_visible(QTableView* list, int row) {
    QRect r = list->visualRect(list->model()->index(row, 0));
    return r.isValid() && list->viewport()->rect().contains(r.center());
}

// Adds `n` more tossed messages to the echo area; the window sees them after F5.
void add_messages(Editor& e, int n, int lines = 1) {
    for (int i = 0; i < n; ++i) {
        edtest::LocalMsg msg;
        msg.from = "Sender " + std::to_string(i);
        msg.subject = "More " + std::to_string(i);
        for (int l = 0; l < lines; ++l) msg.text += "Row " + std::to_string(l) + "\r";
        msg.msgid = "21:1/100 1" + std::to_string(1000000 + i);
        msg.attr = 0;
        msg.date = 1796444900 + i * 60;
        EXPECT_EQ(edtest::add_local(e.d.path() + "/fsxgen", msg), 0);
    }
}

// Which way the header's sort arrow in `section` points: +1 up, -1 down, 0
// none. The arrow's pixels are those brighter than with the other order (the
// label stays where it is), and an upward arrow is narrow at its top.
int arrow_direction(QHeaderView* h, int section) {
    QRect sec(h->sectionViewportPosition(section), 0, h->sectionSize(section), h->height());
    Qt::SortOrder order = h->sortIndicatorOrder();
    QImage shown = h->grab(sec).toImage();
    h->setSortIndicator(section,
                        order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
    QImage other = h->grab(sec).toImage();
    h->setSortIndicator(section, order);
    int top = -1, bottom = -1;
    std::vector<int> width(shown.height());
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (qGray(shown.pixel(x, y)) > qGray(other.pixel(x, y)) + 16) {
                ++width[y];
                if (top < 0) top = y;
                bottom = y;
            }
    if (top < 0 || top == bottom) return 0;
    return width[top] < width[bottom] ? 1 : width[top] > width[bottom] ? -1 : 0;
}

bool has_yellow(const QImage& img) {
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            QColor c = img.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 170 && c.blue() < 140) return true;
        }
    return false;
}

}  // namespace

// The log pane asked for in wrenpost.ini is there at the start of a window
// that is not maximised, and Ctrl+L hides and shows it.
TEST(EditorKeys, LogPaneRestoredAndToggled) {
    Editor e("[window]\r\nlog=1\r\nmaximized=0\r\n");
    activate(e);
    QPlainTextEdit* log = e.w->log_pane();
    QWidget* central = e.w->centralWidget();
    auto shown = [&] {
        return log->isVisible() && log->height() > 0 &&
               log->geometry().bottom() < central->height() &&
               e.w->reader()->geometry().bottom() < log->geometry().top();
    };
    EXPECT_TRUE(shown()) << log->geometry().top() << " of " << central->height();
    int bottom = e.w->reader()->geometry().bottom();
    key(e, Qt::Key_L, Qt::ControlModifier);
    EXPECT_FALSE(log->isVisible());
    EXPECT_GT(e.w->reader()->geometry().bottom(), bottom + 100);  // the reader takes its room
    key(e, Qt::Key_L, Qt::ControlModifier);
    EXPECT_TRUE(shown());
    // Written back as it is shown.
    e.w->close();
    EXPECT_NE(wptest::read_file(e.d.file("wrenpost.ini")).find("log=1\r\n"), std::string::npos);
}

// At the start and after the compose window closes the keys go to the
// message list: Down reads the next message and leaves the area alone.
TEST(EditorKeys, FocusBelongsToTheMessageList) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    EXPECT_EQ(QApplication::focusWidget(), e.w->list());
    int area = e.w->cur_area();
    key(e, Qt::Key_Down);
    EXPECT_EQ(e.current_row(), 1);
    EXPECT_EQ(e.w->cur_area(), area);
    EXPECT_EQ(e.header(2), "Topic 2");

    key(e, Qt::Key_N, Qt::ControlModifier);  // a new message
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(c));
    key(e, Qt::Key_Escape);  // nothing written: closes without a question
    ASSERT_TRUE(wait_for([&] { return e.w->compose() == nullptr; }));
    activate(e);
    EXPECT_EQ(QApplication::focusWidget(), e.w->list());
    key(e, Qt::Key_Down);
    EXPECT_EQ(e.current_row(), 2);
    EXPECT_EQ(e.w->cur_area(), area);
}

// After a message is written into the open area, the message that was
// selected still is, and can be seen.
TEST(EditorKeys, SelectionKeptAfterSaving) {
    Editor e;
    add_messages(e, 60);
    e.w->open_start("FSX_GEN", 40);
    activate(e);
    int row = e.current_row();
    ASSERT_EQ(row, 39);
    key(e, Qt::Key_N, Qt::ControlModifier);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(c));
    QTest::keyClicks(c->subject_field(), QStringLiteral("Hello"));
    QTest::keyClicks(c->body_field(), QStringLiteral("Words."));
    key(e, Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(wait_for([&] { return e.w->compose() == nullptr; }));
    EXPECT_EQ(e.w->list()->model()->rowCount(), 64);
    EXPECT_EQ(e.current_row(), row);
    EXPECT_TRUE(e.w->list()->selectionModel()->isRowSelected(row, QModelIndex()));
    EXPECT_EQ(e.w->list()->selectionModel()->selectedRows().size(), 1);
    EXPECT_TRUE(row_visible(e.w->list(), row));
    EXPECT_EQ(e.header(4).substr(0, 7), "No. 40 ");
    // The same after a reply.
    key(e, Qt::Key_R, Qt::ControlModifier);
    c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(c));
    key(e, Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(wait_for([&] { return e.w->compose() == nullptr; }));
    EXPECT_EQ(e.current_row(), row);
    EXPECT_TRUE(e.w->list()->selectionModel()->isRowSelected(row, QModelIndex()));
    EXPECT_TRUE(row_visible(e.w->list(), row));
}

// Clicking a column header sorts; the current message stays selected and
// comes into view, and the arrow points up for ascending, down for
// descending.
TEST(EditorKeys, ResortingKeepsTheCurrentMessage) {
    Editor e;
    add_messages(e, 60);
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    key(e, Qt::Key_End);
    QTableView* list = e.w->list();
    ASSERT_EQ(e.current_row(), 62);
    ASSERT_EQ(e.cell(62, 0), "63");
    QHeaderView* h = list->horizontalHeader();
    EXPECT_EQ(arrow_direction(h, 0), 1);  // by number, ascending
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                      QPoint(h->sectionViewportPosition(0) + 10, h->height() / 2));
    EXPECT_EQ(e.w->winstate().sort_desc, 1);
    EXPECT_EQ(e.cell(0, 0), "63");
    EXPECT_EQ(e.current_row(), 0);
    EXPECT_TRUE(list->selectionModel()->isRowSelected(0, QModelIndex()));
    EXPECT_TRUE(row_visible(list, 0));
    EXPECT_EQ(e.header(4).substr(0, 7), "No. 63 ");
    EXPECT_EQ(arrow_direction(h, 0), -1);
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                      QPoint(h->sectionViewportPosition(0) + 10, h->height() / 2));
    EXPECT_EQ(e.current_row(), 62);
    EXPECT_TRUE(row_visible(list, 62));
    EXPECT_EQ(arrow_direction(h, 0), 1);
}

// The list is a list of rows: Home and End go to the first and the last
// message, Left and Right stay, and no single cell is marked.
TEST(EditorKeys, MessageListIsARowList) {
    Editor e;
    e.w->open_start("FSX_GEN", 2);
    activate(e);
    QTableView* list = e.w->list();
    ASSERT_EQ(QApplication::focusWidget(), list);
    key(e, Qt::Key_End);
    EXPECT_EQ(e.current_row(), 2);
    key(e, Qt::Key_Home);
    EXPECT_EQ(e.current_row(), 0);
    EXPECT_EQ(e.header(2), "Topic 1");
    key(e, Qt::Key_End);
    EXPECT_EQ(e.current_row(), 2);
    EXPECT_EQ(e.header(2), "Topic 3");
    key(e, Qt::Key_Right);
    key(e, Qt::Key_Right);
    EXPECT_EQ(e.current_row(), 2);
    EXPECT_EQ(list->currentIndex().column(), 0);

    // The current row is drawn alike in every column: the edges of the
    // first cell look as those of the second.
    QImage img = list->viewport()->grab().toImage();
    QRect c0 = list->visualRect(list->model()->index(2, 0));
    QRect c1 = list->visualRect(list->model()->index(2, 1));
    for (int y : {c0.top(), c0.bottom()})
        EXPECT_EQ(img.pixel(c0.center().x(), y), img.pixel(c1.center().x(), y)) << y;
    EXPECT_EQ(img.pixel(c0.left(), c0.center().y()), img.pixel(c1.left(), c1.center().y()));
}

// The job status line is yellow while a job runs, started by hand, and in
// the idle colour once it has ended.
TEST(EditorKeys, JobStatusColour) {
    Editor e;
    std::string script = e.d.file("slow-job");
    std::string gate = e.d.file("gate");
    wptest::write_file(script, "#!/bin/sh\necho started\nwhile [ ! -e " + gate +
                                   " ]; do sleep 0.05; done\necho done\n");
    chmod(script.c_str(), 0755);
    setenv("WRENPOST_EXE", script.c_str(), 1);
    int code = -1;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int k) { code = k; });
    activate(e);
    key(e, Qt::Key_F7);  // toss
    ASSERT_TRUE(e.w->jobs().po_running);
    QApplication::processEvents();
    EXPECT_TRUE(has_yellow(e.w->job_status()->grab().toImage()));
    wptest::write_file(gate, "");
    ASSERT_TRUE(wait_for([&] { return code >= 0; }));
    EXPECT_FALSE(has_yellow(e.w->job_status()->grab().toImage()));
    // An auto-poll job the same.
    unlink(gate.c_str());
    code = -1;
    ApSlot& slot = e.w->jobs().ap_slots[0];
    slot.ap_on = true;
    slot.ap_min = 5;
    slot.ap_next = 0;
    e.w->po_tick();
    ASSERT_TRUE(e.w->jobs().po_running);
    EXPECT_TRUE(has_yellow(e.w->job_status()->grab().toImage()));
    wptest::write_file(gate, "");
    ASSERT_TRUE(wait_for([&] { return code >= 0; }));
    e.w->po_tick();
    EXPECT_FALSE(has_yellow(e.w->job_status()->grab().toImage()));
    unsetenv("WRENPOST_EXE");
}

// A selection dragged below the text goes on scrolling while the pointer
// rests there, and stops when the button is let go.
TEST(EditorKeys, DraggedSelectionScrollsWhileThePointerRests) {
    Editor e;
    add_messages(e, 1, 300);
    e.w->open_start("FSX_GEN", 4);
    activate(e);
    ReaderView* rv = e.w->reader();
    const Reader& r = rv->model();
    ASSERT_GT(r.rows, 200);
    QPoint in(40, r.hdr_h + 10);
    QTest::mousePress(rv, Qt::LeftButton, {}, in);
    auto move = [&](QPoint p) {
        QMouseEvent ev(QEvent::MouseMove, QPointF(p), QPointF(rv->mapToGlobal(p)), Qt::NoButton,
                       Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(rv, &ev);
    };
    move(in + QPoint(0, 20));
    move(QPoint(40, rv->height() + 5));  // below the pane, then rest
    int top = r.top;
    EXPECT_TRUE(wait_for([&] { return r.top >= top + 3; })) << r.top;
    QTest::mouseRelease(rv, Qt::LeftButton, {}, QPoint(40, rv->height() + 5));
    EXPECT_FALSE(rv->drag_scrolling());
    EXPECT_GT(r.sel_c, r.sel_a);
}
