// Quitting with a draft open, the reading keys wherever the focus is in the
// main window, message boxes in the user's language, and what may be written
// where: all driven through real key presses.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "editor/gui/compose_window.h"
#include "editor/gui/reader_view.h"
#include "editor/messages.h"
#include "editor_gui/editor_fixture.h"

using edtest::activate;
using edtest::Editor;
using edtest::key;
using edtest::str;
using edtest::wait_for;

namespace {

// Brings a window to the front, as a click on it does.
bool to_window(QWidget* w) {
    w->activateWindow();
    return wait_for([&] { return QApplication::activeWindow() == w; });
}

// Ctrl+N, and some words typed into the new message.
ComposeWindow* open_draft(Editor& e) {
    key(e, Qt::Key_N, Qt::ControlModifier);
    ComposeWindow* c = e.w->compose();
    if (c == nullptr) return nullptr;
    EXPECT_TRUE(to_window(c));
    QTest::keyClicks(c->subject_field(), QStringLiteral("Draft"));
    QTest::keyClicks(c->body_field(), QStringLiteral("Unsaved words."));
    return c;
}

// The user clicks into the main window's message list: it becomes the
// active window with the focus in the list.
bool to_main(Editor& e) {
    if (!to_window(e.w.get())) return false;
    QTableView* list = e.w->list();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualRect(list->model()->index(0, 1)).center());
    return QApplication::focusWidget() == list;
}

int visible_windows() {
    int n = 0;
    for (QWidget* t : QApplication::topLevelWidgets())
        if (t->isVisible() && t->isWindow()) ++n;
    return n;
}

// Adds tossed messages of `lines` rows each to the echo area.
void add_long(Editor& e, int n, int lines) {
    for (int i = 0; i < n; ++i) {
        edtest::LocalMsg msg;
        msg.from = "Long " + std::to_string(i);
        msg.subject = "Long " + std::to_string(i);
        for (int l = 0; l < lines; ++l) msg.text += "Row " + std::to_string(l) + "\r";
        msg.msgid = "21:1/100 2" + std::to_string(1000000 + i);
        msg.attr = 0;
        msg.date = 1796445000 + i * 60;
        EXPECT_EQ(edtest::add_local(e.d.path() + "/fsxgen", msg), 0);
    }
}

}  // namespace

// Ctrl+Q with an unsaved draft asks about it before any window closes; No
// keeps both windows (and the auto-poll) alive, Yes closes everything and
// stops the poll timer.
TEST(EditorQuit, UnsavedDraftIsAskedAboutFirst) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    ASSERT_TRUE(e.w->polling());
    ComposeWindow* c = open_draft(e);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(to_main(e));  // back to the main window
    e.answer = false;
    key(e, Qt::Key_Q, Qt::ControlModifier);
    ASSERT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(e.boxes[0].substr(0, 25), "wrenpost|Discard message?");
    EXPECT_TRUE(e.w->isVisible());  // No: the quit is off
    EXPECT_TRUE(e.w->polling());
    ASSERT_EQ(e.w->compose(), c);
    EXPECT_TRUE(c->isVisible());

    // The draft is saved; the main window is still there, with its poll.
    ASSERT_TRUE(to_window(c));
    key(e, Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(wait_for([&] { return e.w->compose() == nullptr; })) << e.boxes.back();
    EXPECT_TRUE(e.w->isVisible());
    EXPECT_TRUE(e.w->polling());
    EXPECT_EQ(e.w->list()->model()->rowCount(), 4);

    // Now Ctrl+Q ends it all: no window is left, and no poll will start.
    ASSERT_TRUE(to_main(e));
    key(e, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(e.boxes.size(), 1u);  // nothing left to ask about
    EXPECT_FALSE(e.w->isVisible());
    EXPECT_FALSE(e.w->polling());
    EXPECT_EQ(visible_windows(), 0);
}

// Yes to the question: the draft is thrown away and every window goes.
TEST(EditorQuit, DiscardingTheDraftQuits) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    ASSERT_NE(open_draft(e), nullptr);
    e.w->do_command(CMD_AREAS);  // another window of the editor
    ASSERT_TRUE(to_main(e));
    e.answer = true;
    key(e, Qt::Key_Q, Qt::ControlModifier);
    ASSERT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(e.boxes[0].substr(0, 25), "wrenpost|Discard message?");
    ASSERT_TRUE(wait_for([&] { return e.w->compose() == nullptr; }));
    EXPECT_FALSE(e.w->isVisible());
    EXPECT_FALSE(e.w->polling());
    EXPECT_EQ(visible_windows(), 0);
    EXPECT_EQ(e.w->list()->model()->rowCount(), 3);  // nothing was saved
}

// The reading keys of the main window, pressed with the focus in the message
// list, the reader or the areas tree. The area holds three short messages
// and two long ones; each case starts on the third message (row 2) with the
// messages after it unread. In the tree, Up, Down, Home and End walk the
// areas, and Del deletes nothing.
TEST(EditorKeys, ReadingKeysWorkWhereverTheFocusIs) {
    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int start;  // the row shown first
        std::function<bool(Editor&)> done;
    };
    auto row_is = [](int row) { return [row](Editor& e) { return e.current_row() == row; }; };
    auto asked_delete = [](Editor& e) {
        return e.boxes.size() == 1 &&
               e.boxes[0].substr(0, 32) == "Delete messages|Delete 1 message" &&
               e.w->list()->model()->rowCount() == 5;
    };
    auto paged = [](Editor& e) { return e.current_row() == 3 && e.w->reader()->model().top > 0; };
    const Case messages[] = {
        {"Down", Qt::Key_Down, {}, 2, row_is(3)},
        {"Up", Qt::Key_Up, {}, 2, row_is(1)},
        {"Home", Qt::Key_Home, {}, 2, row_is(0)},
        {"End", Qt::Key_End, {}, 2, row_is(4)},
        {"Space at the end", Qt::Key_Space, {}, 2, row_is(3)},
        {"Space on a long message", Qt::Key_Space, {}, 3, paged},
        {"Ctrl+U", Qt::Key_U, Qt::ControlModifier, 2, row_is(3)},
        {"Del", Qt::Key_Delete, {}, 2, asked_delete},
        {"Ctrl+K", Qt::Key_K, Qt::ControlModifier, 2,
         [](Editor& e) { return e.w->show_kludges(); }},
        {"Ctrl+L", Qt::Key_L, Qt::ControlModifier, 2,
         [](Editor& e) { return e.w->log_pane()->isVisible(); }},
    };
    enum Focus { LIST, READER, TREE };
    const char* focus_names[] = {"list", "reader", "tree"};
    for (Focus f : {LIST, READER, TREE}) {
        for (const Case& c : messages) {
            bool tree_walks = c.key == Qt::Key_Up || c.key == Qt::Key_Down ||
                              c.key == Qt::Key_Home || c.key == Qt::Key_End;
            if (f == TREE && tree_walks) continue;
            Editor e;
            add_long(e, 2, 200);
            e.w->open_start("FSX_GEN", static_cast<uint32_t>(c.start + 1));
            activate(e);
            ASSERT_EQ(e.current_row(), c.start);
            e.answer = false;
            QWidget* to = f == LIST     ? static_cast<QWidget*>(e.w->list())
                          : f == READER ? static_cast<QWidget*>(e.w->reader())
                                        : static_cast<QWidget*>(e.w->tree());
            to->setFocus();
            QApplication::processEvents();
            ASSERT_EQ(QApplication::focusWidget(), to) << focus_names[f];
            key(e, c.key, c.mods);
            if (f == TREE && c.key == Qt::Key_Delete)
                EXPECT_TRUE(e.boxes.empty()) << "Del in the tree";
            else
                EXPECT_TRUE(c.done(e)) << c.name << " in the " << focus_names[f];
        }
    }
}

// Every kind of message box, in German, has German buttons with their
// accelerators: the delete question, a warning and the About box.
TEST(EditorLanguage, MessageBoxButtonsSpeakGerman) {
    Editor e;
    e.w->open_start("FSX_GEN", 1);
    activate(e);
    lang_apply(LANG_DE);
    gui_boxes = nullptr;  // the real boxes
    struct Seen {
        std::string text;
        std::vector<std::string> buttons;
    };
    // Runs `open`, which shows a box and waits for it; notes the box's text
    // and buttons, saves its picture and answers it with its last button.
    auto seen_in = [&](const std::string& shot, const std::function<void()>& open) {
        Seen s;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible() || !s.buttons.empty()) return;
            s.text = str(box->text());
            QList<QAbstractButton*> bs = box->buttons();
            std::sort(bs.begin(), bs.end(),
                      [](QAbstractButton* a, QAbstractButton* b) { return a->x() < b->x(); });
            for (QAbstractButton* b : bs) s.buttons.push_back(str(b->text()));
            QString dir = QString::fromLocal8Bit(WP_BUILD_DIR) + QStringLiteral("/screenshots");
            QDir().mkpath(dir);
            box->grab().save(dir + QStringLiteral("/box_de_") + QString::fromStdString(shot) +
                             QStringLiteral(".png"));
            bs.last()->click();
        });
        poll.start();
        open();
        poll.stop();
        return s;
    };
    Seen del = seen_in("question", [&] { key(e, Qt::Key_Delete); });
    EXPECT_EQ(del.text.rfind("Wirklich 1 Nachricht löschen?", 0), 0u) << del.text;
    EXPECT_EQ(del.buttons, (std::vector<std::string>{"&Ja", "&Nein"}));
    EXPECT_EQ(e.w->list()->model()->rowCount(), 3);  // answered No

    Seen about = seen_in("about", [&] { e.w->do_command(CMD_ABOUT); });
    EXPECT_EQ(about.buttons, (std::vector<std::string>{"&OK"}));

    e.w->do_command(CMD_NETMAIL);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    Seen warn = seen_in("warning", [&] { c->save(); });  // no addressee
    EXPECT_EQ(warn.text, str(qs(e_noto)));
    EXPECT_EQ(warn.buttons, (std::vector<std::string>{"&OK"}));
    c->close();
    lang_apply(LANG_EN);
}

// Nothing can be written into Bad or Dupes: "New message" is off there, and
// Ctrl+N neither opens a window nor warns; in an echo area it is on.
TEST(EditorCommands, NoNewMessageInBadOrDupes) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    EXPECT_TRUE(e.w->action(CMD_NEW)->isEnabled());
    int seen = 0;
    for (int a = 0; a < e.w->base().ed_nareas; ++a) {
        const EdArea& area = e.w->base().ed_areas[a];
        if (area.AR_TYPE != AT_LOCAL || area.AR_HITEM == nullptr) continue;
        ++seen;
        e.w->tree()->setCurrentItem(static_cast<QTreeWidgetItem*>(area.AR_HITEM));
        ASSERT_EQ(e.w->cur_area(), a);
        e.w->list()->setFocus();
        EXPECT_FALSE(e.w->action(CMD_NEW)->isEnabled()) << str(qs(area.AR_TITLE));
        key(e, Qt::Key_N, Qt::ControlModifier);
        EXPECT_EQ(e.w->compose(), nullptr);
        EXPECT_TRUE(e.boxes.empty());
    }
    EXPECT_GE(seen, 1);
}

// A message one writes is not counted as unread when everything before it
// was read; with unread messages below it, the read mark stays put (they
// stay unread, and so does the new one).
TEST(EditorCommands, OwnMessageIsNotNews) {
    struct Case {
        uint32_t start;  // the message read first
        uint32_t unread_after;
    };
    for (const Case c : {Case{3, 0}, Case{1, 3}}) {
        Editor e;
        e.w->open_start("FSX_GEN", c.start);
        activate(e);
        ComposeWindow* w = open_draft(e);
        ASSERT_NE(w, nullptr);
        key(e, Qt::Key_S, Qt::ControlModifier);
        ASSERT_TRUE(wait_for([&] { return e.w->compose() == nullptr; }));
        const EdArea& a = e.w->base().ed_areas[e.w->cur_area()];
        EXPECT_EQ(a.AR_TOTAL, 4u);
        EXPECT_EQ(a.AR_UNREAD, c.unread_after) << "start " << c.start;
        auto* item = static_cast<QTreeWidgetItem*>(a.AR_HITEM);
        EXPECT_NE(str(item->text(0)).find("(" + std::to_string(c.unread_after) + "/4)"),
                  std::string::npos)
            << str(item->text(0));
        // Counted again from the files, as at the next start.
        e.w->do_command(CMD_RELOAD);
        EXPECT_EQ(e.w->base().ed_areas[e.w->cur_area()].AR_UNREAD, c.unread_after);
    }
}

// A message longer than the reader holds says so in a line below its text
// and on the status line, and Ctrl+Shift+A shows all of it in a window; a
// short message has no such line.
TEST(EditorReader, CutMessageSaysSoAndShowsAll) {
    Editor e;
    add_long(e, 1, MAX_ROWS + 100);
    e.w->open_start("FSX_GEN", 4);
    activate(e);
    ReaderView* rv = e.w->reader();
    ASSERT_EQ(e.current_row(), 3);
    EXPECT_TRUE(rv->cut());
    EXPECT_NE(str(e.w->status_text(2)).find("cut: only the first 20000 rows are shown"),
              std::string::npos)
        << str(e.w->status_text(2));
    auto notice_shown = [&] {
        QImage img = rv->grab().toImage();
        int y = img.height() - rv->model().cellh / 2;
        for (int x = 0; x < img.width(); ++x) {
            QColor c = img.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 170 && c.blue() < 140) return true;
        }
        return false;
    };
    EXPECT_TRUE(notice_shown());
    rv->setFocus();
    key(e, Qt::Key_PageDown);  // the line stays while the text scrolls
    EXPECT_GT(rv->model().top, 0);
    EXPECT_TRUE(notice_shown());

    key(e, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QPlainTextEdit* whole = nullptr;
    for (QWidget* t : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<QPlainTextEdit*>(t); p && p->isVisible()) whole = p;
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(str(whole->windowTitle()), "Whole message \u2013 Long 0");
    EXPECT_NE(whole->toPlainText().indexOf(QStringLiteral("\nRow 0\nRow 1\n")), -1)
        << str(whole->toPlainText().left(60));
    EXPECT_NE(whole->toPlainText().indexOf(QStringLiteral("\nRow 20099\n")), -1);
    whole->grab().save(QString::fromLocal8Bit(WP_BUILD_DIR) +
                       QStringLiteral("/screenshots/whole_message.png"));
    whole->close();

    ASSERT_TRUE(to_window(e.w.get()));
    key(e, Qt::Key_Up);  // a short message
    EXPECT_EQ(e.current_row(), 2);
    EXPECT_FALSE(rv->cut());
    EXPECT_FALSE(notice_shown());
}
