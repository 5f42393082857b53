// The editor's windows, headless: the tree and list over real bases, reading,
// sorting, deleting, writing and replying, mail jobs as child processes, and
// the window state on disk.
#include "editor/gui/main_window.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "editor/gui/compose_window.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/reader_view.h"
#include "editor_gui/editor_fixture.h"
#include "jam/crc32.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using edtest::Editor;
using edtest::str;

TEST(EditorWindow, TreeListReaderAndReading) {
    Editor e;
    EXPECT_EQ(e.tree_texts(), (std::vector<std::string>{"fsx  \u203921:3/210.7\u203a",
                                                        "  Netmail  (0/0)", "  FSX_GEN  (3/3)",
                                                        "Local", "  Bad (unknown areas)  (0/0)"}));
    EXPECT_EQ(str(e.w->status_text(1)), "No area selected");

    e.w->open_start("fsx_gen", 0);
    ASSERT_EQ(e.w->list()->model()->rowCount(), 3);
    EXPECT_EQ(e.cell(0, 1), "Carol");
    EXPECT_EQ(e.current_row(), 0);  // the first unread
    EXPECT_EQ(e.header(0), "Carol");
    EXPECT_EQ(e.header(2), "Topic 1");
    EXPECT_EQ(e.header(4), "No. 1  (1/3)");
    const Reader& r = e.w->reader()->model();
    ASSERT_GE(r.rows, 2);
    EXPECT_TRUE(r.cell(1, 6) & CELL_LINK);  // www.example.org
    EXPECT_EQ(e.tree_texts()[2], "  FSX_GEN  (2/3)");
    EXPECT_EQ(str(e.w->status_text(0)), "AKA 21:3/210.7");
    EXPECT_EQ(str(e.w->status_text(1)), "FSX_GEN  \u2013  3 messages, 2 unread");

    e.w->do_command(CMD_NEXTUNREAD);
    EXPECT_EQ(e.current_row(), 1);
    e.w->do_command(CMD_NEXTUNREAD);
    e.w->do_command(CMD_NEXTUNREAD);
    EXPECT_EQ(str(e.w->status_text(2)), "No more unread messages in this area.");
    EXPECT_EQ(e.tree_texts()[2], "  FSX_GEN  (0/3)");

    // Kludges on: the MSGID subfield shows above the text.
    e.w->do_command(CMD_KLUDGES);
    EXPECT_TRUE(e.w->show_kludges());
    EXPECT_EQ(r.cell(0, 0) & 0xFFFF, u'@');

    // Sorting by From (case-insensitive), then descending.
    e.w->list()->horizontalHeader()->sectionClicked(1);
    EXPECT_EQ(e.cell(0, 1), "alice");
    EXPECT_EQ(e.cell(2, 1), "Carol");
    e.w->list()->horizontalHeader()->sectionClicked(1);
    EXPECT_EQ(e.cell(0, 1), "Carol");
    EXPECT_EQ(e.w->winstate().sort_desc, 1);

    // Reopening an area whose messages are all read selects the last row.
    e.w->do_command(CMD_RELOAD);
    EXPECT_EQ(str(e.w->status_text(2)), "Reloaded.");
}

TEST(EditorWindow, DeleteAsksAndKeepsTheNeighbour) {
    Editor e;
    e.w->open_start("FSX_GEN", 3);
    EXPECT_EQ(e.current_row(), 2);  // -m 3
    e.answer = false;
    e.w->do_command(CMD_DELETE);
    ASSERT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(e.boxes[0].substr(0, 32), "Delete messages|Delete 1 message");
    EXPECT_EQ(e.w->list()->model()->rowCount(), 3);
    e.answer = true;
    e.w->do_command(CMD_DELETE);
    ASSERT_EQ(e.w->list()->model()->rowCount(), 2);
    EXPECT_EQ(str(e.w->status_text(2)), "1 message deleted");
    EXPECT_EQ(e.current_row(), 1);  // the nearest remaining row above
    EXPECT_EQ(e.cell(1, 0), "2");
}

TEST(EditorWindow, WritingAndReplying) {
    Editor e;
    e.w->do_command(CMD_NEW);
    EXPECT_EQ(str(e.w->status_text(2)), "Please select an area on the left first.");
    e.w->open_start("FSX_GEN", 2);
    e.w->do_command(CMD_NEW);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(str(c->to_field()->text()), "All");
    EXPECT_EQ(str(c->info_text()), "Echomail in FSX_GEN   \u00b7   From: Jo Point (21:3/210.7)");
    c->subject_field()->setText("Hello");
    c->body_field()->setPlainText("First words.");
    ASSERT_TRUE(c->save());
    QApplication::processEvents();
    EXPECT_EQ(e.w->compose(), nullptr);
    EXPECT_EQ(str(e.w->status_text(2)), "Message no. 4 saved in FSX_GEN (local, not sent).");
    EXPECT_EQ(e.w->list()->model()->rowCount(), 4);

    // A reply to alice's message: her name, the subject, the quote.
    e.w->select_row(1);
    e.w->do_command(CMD_REPLY);
    c = e.w->compose();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(str(c->to_field()->text()), "alice");
    EXPECT_EQ(str(c->subject_field()->text()), "Re: Topic 2");
    EXPECT_EQ(str(c->body_field()->toPlainText()).substr(0, 40),
              "Hello alice,\n\n a> Line of message 2\n a> ");
    // Netmail from the reply window's owner: refused without an address.
    c->close();  // unchanged body: no question
    QApplication::processEvents();
    EXPECT_EQ(e.w->compose(), nullptr);
    e.w->do_command(CMD_NETMAIL);
    c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->to_field()->setText("Boss");
    c->address_field()->setText("9:9/9");
    EXPECT_FALSE(c->save());
    EXPECT_NE(e.boxes.back().find("No network with a netmail area"), std::string::npos);
    c->address_field()->setText("21:3/210");
    EXPECT_EQ(str(c->info_text()).substr(0, 16), "Netmail via fsx ");
    c->body_field()->setPlainText("Hi");
    ASSERT_TRUE(c->save());
    QApplication::processEvents();
    // One's own message is counted, but not as unread.
    EXPECT_EQ(e.tree_texts()[1], "  Netmail  (0/1)");
}

// The configuration changes while a message is being written: the area table
// is rebuilt, and the message still goes to the area it was begun in.
TEST(EditorWindow, ComposeKeepsItsAreaAcrossAReload) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    e.w->do_command(CMD_NEW);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    std::string cfg = wptest::read_file(e.cfg);
    size_t at = cfg.find("echoarea=FSX_GEN");
    wptest::write_file(
        e.cfg, cfg.substr(0, at) + "echoarea=AAA " + e.d.file("aaa") + "\n" + cfg.substr(at));
    e.w->reload_areas();
    EXPECT_EQ(e.tree_texts()[2], "  AAA  (0/0)");
    c->subject_field()->setText("Still here");
    ASSERT_TRUE(c->save());
    QApplication::processEvents();
    EXPECT_FALSE(wptest::file_exists(e.d.file("aaa.jhr")));
    EXPECT_NE(str(e.w->status_text(2)).find("saved in FSX_GEN"), std::string::npos);

    // A configuration without any area: the list and the reader empty, and
    // the commands that need a message say so.
    wptest::write_file(e.cfg, "sysop=Jo Point\naddress=21:3/210.7\n");
    e.w->reload_areas();
    EXPECT_EQ(e.w->list()->model()->rowCount(), 0);
    EXPECT_EQ(e.w->cur_msg(), -1);
    e.w->do_command(CMD_KLUDGES);
    e.w->do_command(CMD_REPLY);
    EXPECT_EQ(str(e.w->status_text(2)), "Please select an area on the left first.");
}

// A message that cannot be written: the box says which base failed, as the
// configuration's relative path resolves it.
TEST(EditorWindow, SaveErrorNamesTheBase) {
    Editor e;
    std::string cfg = wptest::read_file(e.cfg);
    // A directory that does not exist: nothing can be created there.
    wptest::write_file(e.cfg, cfg + "echoarea=LOST gone/lost\n");
    e.w->reload_areas();
    e.w->open_start("LOST", 0);
    e.w->do_command(CMD_NEW);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->subject_field()->setText("Nowhere");
    EXPECT_FALSE(c->save());
    ASSERT_FALSE(e.boxes.empty());
    EXPECT_EQ(e.boxes.back(),
              "wrenpost|Write error: the message could not be saved in the message base:\n" +
                  e.d.file("gone/lost") + ".jhr/.jdt/.jdx");
    c->close();
}

// A text longer than a message may be: a box says so, nothing is saved or
// cut, and the window stays open with the whole text.
TEST(EditorWindow, TooLongTextIsRefusedWithABox) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    int before = e.w->list()->model()->rowCount();
    e.w->do_command(CMD_NEW);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->subject_field()->setText("Long");
    // Short lines: one line of that length takes the text field minutes.
    QString line(63, QLatin1Char('x'));
    line += QLatin1Char('\n');
    QString body = line.repeated(static_cast<qsizetype>(CP_BODY_MAX / 64 + 1));
    c->body_field()->setPlainText(body);
    EXPECT_FALSE(c->save());
    ASSERT_FALSE(e.boxes.empty());
    EXPECT_NE(e.boxes.back().find("The text is too long"), std::string::npos) << e.boxes.back();
    EXPECT_EQ(e.w->compose(), c);
    EXPECT_EQ(c->body_field()->toPlainText().size(), body.size());
    EXPECT_EQ(e.w->list()->model()->rowCount(), before);
    c->body_field()->document()->setModified(false);
    c->close();
}

// A read mark that cannot be written is said, as a failed save is: a box
// naming the .jlr once per opened area, the status line every time.
TEST(EditorWindow, ReadMarkWriteErrorIsShown) {
    Editor e;
    e.w->open_start("fsx_gen", 0);
    ASSERT_EQ(e.w->list()->model()->rowCount(), 3);
    ASSERT_TRUE(e.boxes.empty());
    const std::string box =
        "wrenpost|Write error: the read mark could not be saved:\n" + e.d.file("fsxgen") + ".jlr";
    const std::string info = "Read mark not saved (JAM base locked or not writable)";

    pf_fault_write_after(2);  // the first write is the JAM lock file's
    e.w->do_command(CMD_NEXTUNREAD);
    pf_fault_write_after(0);
    EXPECT_EQ(e.boxes, std::vector<std::string>{box});
    EXPECT_EQ(str(e.w->status_text(2)), info);

    pf_fault_write_after(2);  // the first write is the JAM lock file's
    e.w->do_command(CMD_MARKREAD);
    pf_fault_write_after(0);
    EXPECT_EQ(e.boxes.size(), 1u);  // said once for this area
    EXPECT_EQ(str(e.w->status_text(2)), info);

    // Written again: no word of it.
    e.w->do_command(CMD_MARKREAD);
    EXPECT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(str(e.w->status_text(2)), "Area marked as read.");
}

TEST(EditorWindow, JobsRunAsChildren) {
    Editor e;
    setenv("WRENPOST_EXE", WP_BINARY, 1);
    e.w->open_start("FSX_GEN", 0);
    e.w->do_command(CMD_NEW);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->subject_field()->setText("To the boss");
    ASSERT_TRUE(c->save());
    QApplication::processEvents();

    int code = -1;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int k) { code = k; });
    e.w->do_command(CMD_SCAN);
    e.w->do_command(CMD_TOSS);  // refused while the export runs
    EXPECT_EQ(str(e.w->status_text(2)),
              "A poll/toss/export is already running \u2013 please wait (see log).");
    QElapsedTimer t;
    t.start();
    while (code < 0 && t.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(code, 0);
    std::string log = str(e.w->log_pane()->toPlainText());
    EXPECT_NE(log.find("[GUI] Starting: wrenpost scan"), std::string::npos) << log;
    EXPECT_NE(log.find("  Area FSX_GEN: exported 1"), std::string::npos) << log;
    EXPECT_NE(log.find("[GUI] Child process finished, exit code 0"), std::string::npos) << log;
    EXPECT_EQ(str(e.w->status_text(2)), "Export finished: OK");
    unsetenv("WRENPOST_EXE");
}

TEST(EditorWindow, ReaderKeysZoomAndCopy) {
    Editor e;
    e.w->open_start("FSX_GEN", 0);
    ReaderView* rv = e.w->reader();
    int fitted = rv->model().rd_fh;
    e.w->do_command(CMD_ZOOMIN);
    EXPECT_EQ(rv->zoom_value(), fitted + 2);
    EXPECT_EQ(rv->model().rd_fh, fitted + 2);
    EXPECT_EQ(str(e.w->status_text(2)).substr(0, 24), "Reader font set manually");
    e.w->do_command(CMD_ZOOMFIT);
    EXPECT_EQ(rv->zoom_value(), 0);

    // Ctrl+A, Ctrl+C: the message's text on the clipboard.
    QKeyEvent all(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    QApplication::sendEvent(rv, &all);
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
    QApplication::sendEvent(rv, &copy);
    EXPECT_EQ(str(QApplication::clipboard()->text()), "Line of message 1\r\nSee www.example.org.");
    EXPECT_EQ(str(e.w->status_text(2)), "Copied to the clipboard.");

    // Space on the last page goes on to the next unread message.
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QApplication::sendEvent(rv, &space);
    EXPECT_EQ(e.current_row(), 1);
    EXPECT_EQ(e.header(2), "Topic 2");
}

TEST(EditorWindow, AutoPollStartsTheBossPoll) {
    Editor e;
    setenv("WRENPOST_EXE", WP_BINARY, 1);
    int code = -1;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int k) { code = k; });
    ApSlot& slot = e.w->jobs().ap_slots[0];
    slot.ap_on = true;
    slot.ap_min = 5;
    slot.ap_next = 0;  // due
    e.w->po_tick();
    EXPECT_TRUE(e.w->jobs().po_running);
    EXPECT_GT(slot.ap_next, 0u);
    QElapsedTimer t;
    t.start();
    while (code < 0 && t.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    std::string log = str(e.w->log_pane()->toPlainText());
    EXPECT_NE(log.find("[GUI] Starting: wrenpost all fsx  (auto-poll)"), std::string::npos) << log;
    // Nobody listens at the boss's port here: the poll fails, and the slot says so.
    EXPECT_NE(code, 0);
    EXPECT_EQ(slot.last_code, code);
    EXPECT_NE(str(e.w->status_text(2)).find("Poll (export"), std::string::npos);
    unsetenv("WRENPOST_EXE");
}

TEST(EditorWindow, ClosingWhileAJobRunsWaitsOnlyForTheChild) {
    Editor e;
    std::string script = e.d.file("slow-job");
    wptest::write_file(script, "#!/bin/sh\nfor i in 1 2 3 4 5; do echo line $i; sleep 0.2; done\n");
    chmod(script.c_str(), 0755);
    setenv("WRENPOST_EXE", script.c_str(), 1);
    ASSERT_TRUE(e.w->po_start(K_TOSS, -1, false));
    QApplication::processEvents();
    QElapsedTimer t;
    t.start();
    e.w.reset();  // the window goes while the child still writes
    EXPECT_LT(t.elapsed(), 10000);
    unsetenv("WRENPOST_EXE");
}

TEST(EditorWindow, LockedBasesAndWindowState) {
    Editor e;
    {
        wptest::JamLockHolder other(e.cfg);
        e.w->open_start("FSX_GEN", 0);
        EXPECT_EQ(e.w->list()->model()->rowCount(), 0);
        EXPECT_EQ(str(e.w->status_text(2)),
                  "JAM bases locked: toss/export is running. Try again later (F5).");
    }
    e.w->do_command(CMD_RELOAD);
    EXPECT_EQ(e.w->list()->model()->rowCount(), 3);

    e.w->winstate().split_x = 300;
    e.w->close();
    std::string ini = wptest::read_file(e.d.file("wrenpost.ini"));
    EXPECT_NE(ini.find("[window]\r\n"), std::string::npos);
    EXPECT_NE(ini.find("split_x=300\r\n"), std::string::npos) << ini;
}

TEST(EditorStart, WithoutADisplaySaysSo) {
    wptest::TempDir d;
    wptest::write_file(d.file("wrenpost.cfg"), "address=21:3/210.7\n");
    std::string out = d.file("out.txt");
    std::string cmd = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") +
                      WP_BINARY + " -lang en -c " + d.file("wrenpost.cfg") + " > " + out + " 2>&1";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(wptest::read_file(out).find("ERROR: no graphical session for the editor"),
              std::string::npos)
        << wptest::read_file(out);
}

int main(int argc, char** argv) {
    if (getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    gui_theme(app);
    crc_init();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
