// The main window's commands as the user reaches them: every shortcut pressed
// with QTest, every toolbar button clicked, the menus' items, and which of
// them can run with no area, no message or a mail job running.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <functional>
#include <string>
#include <vector>

#include "editor/gui/areas_window.h"
#include "editor/gui/compose_window.h"
#include "editor/gui/settings_window.h"
#include "editor_gui/editor_fixture.h"

using edtest::activate;
using edtest::Editor;
using edtest::key;
using edtest::str;
using edtest::wait_for;

namespace {

// Mail jobs run this script instead of the program: it prints a line and
// ends at once, or waits for `gate` to exist when one is given.
struct FakeJobs {
    std::string script;
    explicit FakeJobs(Editor& e, const std::string& gate = std::string()) {
        script = e.d.file("job");
        std::string wait = gate.empty() ? "" : "while [ ! -e " + gate + " ]; do sleep 0.05; done\n";
        wptest::write_file(script, "#!/bin/sh\necho running\n" + wait);
        chmod(script.c_str(), 0755);
        setenv("WRENPOST_EXE", script.c_str(), 1);
    }
    ~FakeJobs() { unsetenv("WRENPOST_EXE"); }
};

// The log lines that started jobs, without their time stamps.
std::vector<std::string> started(Editor& e) {
    std::vector<std::string> out;
    for (const QString& l : e.w->log_pane()->toPlainText().split(QLatin1Char('\n'))) {
        int at = l.indexOf(QStringLiteral("Starting: "));
        if (at >= 0) out.push_back(str(l.mid(at)));
    }
    return out;
}

// Closes whatever the command opened and comes back to the main window.
void close_others(Editor& e) {
    if (ComposeWindow* c = e.w->compose()) c->close();
    if (SettingsWindow* s = e.w->settings_window()) s->close();
    if (AreasWindow* a = e.w->areas_window()) a->close();
    QApplication::processEvents();
    activate(e);
}

// What the message menu of the menu bar holds.
QMenu* menu_of(Editor& e, int index) {
    return e.w->menuBar()->actions().at(index)->menu();
}

QToolButton* button(Editor& e, int cmd) {
    return qobject_cast<QToolButton*>(e.w->toolbar()->widgetForAction(e.w->action(cmd)));
}

}  // namespace

// Each shortcut of the main window, pressed as a user presses it, runs its
// command.
TEST(EditorCommands, EveryShortcutRunsItsCommand) {
    Editor e;
    FakeJobs jobs(e);
    int finished = 0;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int) { ++finished; });
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    ReaderView* rv = e.w->reader();
    int fitted = rv->model().rd_fh;

    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        std::function<bool()> done;
    };
    auto status = [&](const char* want) {
        return [&e, want] { return str(e.w->status_text(2)) == want; };
    };
    auto composing = [&](const char* subject) {
        return [&e, subject] {
            return e.w->compose() != nullptr &&
                   str(e.w->compose()->subject_field()->text()) == subject;
        };
    };
    auto job = [&](int n, const char* line) {
        return [&, n, line] {
            return wait_for([&] { return finished == n; }) && !started(e).empty() &&
                   started(e).back() == line;
        };
    };
    const Case cases[] = {
        {"F5", Qt::Key_F5, Qt::NoModifier, status("Reloaded.")},
        {"Ctrl+N", Qt::Key_N, Qt::ControlModifier, composing("")},
        {"Ctrl+R", Qt::Key_R, Qt::ControlModifier, composing("Re: Topic 1")},
        {"Ctrl+M", Qt::Key_M, Qt::ControlModifier,
         [&] { return e.w->compose() != nullptr && e.w->compose()->address_field()->isEnabled(); }},
        {"Ctrl+U", Qt::Key_U, Qt::ControlModifier, [&] { return e.current_row() == 1; }},
        {"Ctrl+G", Qt::Key_G, Qt::ControlModifier, status("Area marked as read.")},
        {"Ctrl+K", Qt::Key_K, Qt::ControlModifier, [&] { return e.w->show_kludges(); }},
        {"Ctrl+K again", Qt::Key_K, Qt::ControlModifier, [&] { return !e.w->show_kludges(); }},
        {"Ctrl+L", Qt::Key_L, Qt::ControlModifier, [&] { return e.w->log_pane()->isVisible(); }},
        {"Ctrl+E", Qt::Key_E, Qt::ControlModifier, [&] { return e.w->areas_window() != nullptr; }},
        {"F9", Qt::Key_F9, Qt::NoModifier, [&] { return e.w->settings_window() != nullptr; }},
        {"Ctrl+plus", Qt::Key_Plus, Qt::ControlModifier,
         [&] { return rv->zoom_value() == fitted + 2; }},
        {"Ctrl+=", Qt::Key_Equal, Qt::ControlModifier,
         [&] { return rv->zoom_value() == fitted + 4; }},
        {"Ctrl+Shift+plus", Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier,
         [&] { return rv->zoom_value() == fitted + 6; }},
        {"Ctrl+keypad plus", Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier,
         [&] { return rv->zoom_value() == fitted + 8; }},
        {"Ctrl+minus", Qt::Key_Minus, Qt::ControlModifier,
         [&] { return rv->zoom_value() == fitted + 6; }},
        {"Ctrl+keypad minus", Qt::Key_Minus, Qt::ControlModifier | Qt::KeypadModifier,
         [&] { return rv->zoom_value() == fitted + 4; }},
        {"Ctrl+keypad 0", Qt::Key_0, Qt::ControlModifier | Qt::KeypadModifier,
         [&] { return rv->zoom_value() == 0; }},
        {"Ctrl+plus again", Qt::Key_Plus, Qt::ControlModifier,
         [&] { return rv->zoom_value() == fitted + 2; }},
        {"Ctrl+0", Qt::Key_0, Qt::ControlModifier, [&] { return rv->zoom_value() == 0; }},
        {"F6", Qt::Key_F6, Qt::NoModifier, job(1, "Starting: wrenpost all fsx")},
        {"Shift+F6", Qt::Key_F6, Qt::ShiftModifier, job(2, "Starting: wrenpost all")},
        {"F7", Qt::Key_F7, Qt::NoModifier, job(3, "Starting: wrenpost toss")},
        {"F8", Qt::Key_F8, Qt::NoModifier, job(4, "Starting: wrenpost scan")},
    };
    for (const Case& c : cases) {
        key(e, c.key, c.mods);
        EXPECT_TRUE(c.done()) << c.name;
        close_others(e);
    }
    // Delete, in the list: asks, and deletes on Yes.
    ASSERT_EQ(QApplication::focusWidget(), e.w->list());
    key(e, Qt::Key_Delete);
    ASSERT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(e.boxes[0].substr(0, 32), "Delete messages|Delete 1 message");
    EXPECT_EQ(e.w->list()->model()->rowCount(), 2);
    // The same key elsewhere in the window is no delete.
    e.w->tree()->setFocus();
    key(e, Qt::Key_Delete);
    EXPECT_EQ(e.boxes.size(), 1u);
    // Ctrl+Q closes the window.
    key(e, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(e.w->isVisible());
}

// Each toolbar button, clicked, runs its command.
TEST(EditorCommands, EveryToolbarButtonRunsItsCommand) {
    Editor e;
    FakeJobs jobs(e);
    int finished = 0;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int) { ++finished; });
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    struct Case {
        int cmd;
        const char* text;
        std::function<bool()> done;
    };
    const Case cases[] = {
        {CMD_RELOAD, "Reload", [&] { return str(e.w->status_text(2)) == "Reloaded."; }},
        {CMD_NEW, "New message",
         [&] { return e.w->compose() && e.w->compose()->subject_field()->text().isEmpty(); }},
        {CMD_NETMAIL, "Netmail",
         [&] { return e.w->compose() && e.w->compose()->address_field()->isEnabled(); }},
        {CMD_REPLY, "Reply",
         [&] {
             return e.w->compose() && str(e.w->compose()->subject_field()->text()) == "Re: Topic 1";
         }},
        {CMD_NEXTUNREAD, "Next unread", [&] { return e.current_row() == 1; }},
        {CMD_MARKREAD, "Mark read",
         [&] { return str(e.w->status_text(2)) == "Area marked as read."; }},
        {CMD_KLUDGES, "Kludges",
         [&] { return e.w->show_kludges() && e.w->action(CMD_KLUDGES)->isChecked(); }},
        {CMD_POLL, "Poll now",
         [&] {
             return wait_for([&] { return finished == 1; }) &&
                    started(e).back() == "Starting: wrenpost all fsx";
         }},
        {CMD_TOSS, "Toss",
         [&] {
             return wait_for([&] { return finished == 2; }) &&
                    started(e).back() == "Starting: wrenpost toss";
         }},
        {CMD_SCAN, "Export",
         [&] {
             return wait_for([&] { return finished == 3; }) &&
                    started(e).back() == "Starting: wrenpost scan";
         }},
        {CMD_AREAS, "Areas", [&] { return e.w->areas_window() != nullptr; }},
        {CMD_SETTINGS, "Settings", [&] { return e.w->settings_window() != nullptr; }},
    };
    std::vector<std::string> shown;
    for (QAction* a : e.w->toolbar()->actions())
        if (!a->isSeparator()) shown.push_back(str(a->iconText()));
    EXPECT_EQ(shown, (std::vector<std::string>{"Reload", "New message", "Netmail", "Reply",
                                               "Mark read", "Next unread", "Kludges", "Poll now",
                                               "Toss", "Export", "Areas", "Settings"}));
    for (const Case& c : cases) {
        QToolButton* b = button(e, c.cmd);
        ASSERT_NE(b, nullptr) << c.text;
        EXPECT_EQ(str(b->text()), c.text);
        QTest::mouseClick(b, Qt::LeftButton);
        QApplication::processEvents();
        EXPECT_TRUE(c.done()) << c.text;
        close_others(e);
    }
    // The kludge button and the View menu's item are one action.
    QTest::mouseClick(button(e, CMD_KLUDGES), Qt::LeftButton);
    EXPECT_FALSE(e.w->show_kludges());
    EXPECT_FALSE(button(e, CMD_KLUDGES)->isChecked());
}

// What can run follows the window's state, for the menu item, the toolbar
// button and the key alike: no area, an area without messages, a message
// shown, a mail job running.
TEST(EditorCommands, EnabledStateFollowsAreaMessageAndJob) {
    Editor e;
    std::string gate = e.d.file("gate");
    FakeJobs jobs(e, gate);
    activate(e);
    const int area_cmds[] = {CMD_NEW, CMD_MARKREAD, CMD_NEXTUNREAD};
    const int msg_cmds[] = {CMD_REPLY, CMD_DELETE};
    const int job_cmds[] = {CMD_POLL, CMD_POLLALL, CMD_TOSS, CMD_SCAN};
    const int always[] = {CMD_RELOAD, CMD_NETMAIL, CMD_AREAS, CMD_SETTINGS, CMD_KLUDGES,
                          CMD_LOG,    CMD_ABOUT,   CMD_EXIT,  CMD_ZOOMIN};
    auto enabled = [&](int cmd) {
        bool on = e.w->action(cmd)->isEnabled();
        if (QToolButton* b = button(e, cmd)) {
            EXPECT_EQ(b->isEnabled(), on) << cmd;
        }
        return on;
    };
    auto expect = [&](const char* when, bool area, bool msg, bool idle) {
        for (int c : area_cmds) EXPECT_EQ(enabled(c), area) << when << " " << c;
        for (int c : msg_cmds) EXPECT_EQ(enabled(c), msg) << when << " " << c;
        for (int c : job_cmds) EXPECT_EQ(enabled(c), idle) << when << " " << c;
        for (int c : always) EXPECT_TRUE(enabled(c)) << when << " " << c;
    };
    expect("no area", false, false, true);
    // Its keys do nothing then.
    key(e, Qt::Key_R, Qt::ControlModifier);
    key(e, Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(e.w->compose(), nullptr);

    e.w->open_start("NETMAIL", 0);  // an area without messages
    ASSERT_GE(e.w->cur_area(), 0);
    ASSERT_EQ(e.w->list()->model()->rowCount(), 0);
    expect("empty area", true, false, true);

    e.w->open_start("FSX_GEN", 0);
    activate(e);
    expect("message shown", true, true, true);

    key(e, Qt::Key_F7);  // a toss that waits for the gate
    ASSERT_TRUE(e.w->jobs().po_running);
    expect("job running", true, true, false);
    key(e, Qt::Key_F8);  // no second job, and no refusal either: the key is off
    EXPECT_EQ(started(e).size(), 1u);
    wptest::write_file(gate, "");
    ASSERT_TRUE(wait_for([&] { return !e.w->jobs().po_running; }));
    expect("job ended", true, true, true);

    // A configuration without any area: back to nothing to work on.
    wptest::write_file(e.cfg, "sysop=Jo Point\naddress=21:3/210.7\n");
    e.w->reload_areas();
    expect("no areas left", false, false, true);
}

// With a message being written, the main window's other commands still run
// on the main window, and New or Reply bring the one compose window back.
TEST(EditorCommands, ComposeOpenLeavesTheOtherCommandsAlone) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    key(e, Qt::Key_N, Qt::ControlModifier);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    QTest::mouseClick(button(e, CMD_MARKREAD), Qt::LeftButton);
    EXPECT_EQ(str(e.w->status_text(2)), "Area marked as read.");
    EXPECT_EQ(e.tree_texts()[2], "  FSX_GEN  (0/3)");
    QTest::mouseClick(button(e, CMD_REPLY), Qt::LeftButton);
    EXPECT_EQ(e.w->compose(), c);  // the same window, not a reply over it
    c->subject_field()->setText(QStringLiteral("Once"));
    ASSERT_TRUE(c->save());
    QApplication::processEvents();
    // Saved once: one new message, one status line.
    EXPECT_EQ(e.w->list()->model()->rowCount(), 4);
}

// The menus hold the same actions, with the keys as the catalogue names
// them: Delete shows Del.
TEST(EditorCommands, MenusShowTheirKeys) {
    Editor e;
    QMenu* msg = menu_of(e, 1);
    ASSERT_NE(msg, nullptr);
    std::vector<std::string> items;
    for (QAction* a : msg->actions())
        if (!a->isSeparator()) items.push_back(str(a->text()));
    EXPECT_EQ(items, (std::vector<std::string>{
                         "&New message in area\tCtrl+N", "New net&mail\tCtrl+M", "&Reply\tCtrl+R",
                         "Mark area as &read\tCtrl+G", "Next &unread\tCtrl+U", "&Delete …\tDel"}));
    QAction* del = msg->actions().back();
    EXPECT_EQ(del, e.w->action(CMD_DELETE));
    EXPECT_EQ(del->shortcut(), QKeySequence(Qt::Key_Delete));
    // Every item with a key text has that key as its shortcut.
    for (QAction* m : e.w->menuBar()->actions())
        for (QAction* a : m->menu()->actions()) {
            QString t = a->text();
            int tab = t.indexOf(QLatin1Char('\t'));
            if (tab < 0) continue;
            EXPECT_EQ(str(a->shortcut().toString()), str(t.mid(tab + 1))) << str(t);
        }
}

// The About box carries the program's icon, the makers' lines and the
// texts it owes the user.
TEST(EditorCommands, AboutBoxHasTheIconAndTheMakers) {
    Editor e;
    gui_boxes = nullptr;
    QString text;
    QImage icon;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        text = box->text();
        icon = box->iconPixmap().toImage();
        box->accept();
    });
    poll.start();
    QMenu* help = menu_of(e, 4);
    help->actions().front()->trigger();
    poll.stop();
    EXPECT_NE(str(text).find("wrenpost 0.9 \u2013 FidoNet/fsxNet point software"),
              std::string::npos);
    EXPECT_NE(str(text).find("\u00a9 2026 the wrenpost developers."), std::string::npos)
        << str(text);
    EXPECT_NE(str(text).find("Mail \u2192 Poll now: export \u2192 poll \u2192 toss for the boss of "
                             "the selected area."),
              std::string::npos);
    ASSERT_FALSE(icon.isNull());
    QImage want = QApplication::windowIcon().pixmap(icon.size()).toImage();
    EXPECT_EQ(icon.convertToFormat(QImage::Format_ARGB32),
              want.convertToFormat(QImage::Format_ARGB32));
    // The icon is the wren's: its blue face near the top left corner.
    EXPECT_EQ(icon.pixelColor(icon.width() / 5, icon.height() / 5).name(),
              QStringLiteral("#0078d4"));
}
