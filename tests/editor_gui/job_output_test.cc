// What a running or finished mail job does to the main window: a job printing
// as fast as it can leaves the keys working and the log pane bounded, and the
// reload after every job leaves the open message, the selection and both
// scroll positions where the user had them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <set>

#include "editor_fixture.h"

using edtest::activate;
using edtest::Editor;
using edtest::str;

namespace {

// Mail jobs run a shell script with the given body instead of the program.
struct ScriptJob {
    explicit ScriptJob(Editor& e, const std::string& body) {
        std::string script = e.d.file("job");
        wptest::write_file(script, "#!/bin/sh\n" + body);
        chmod(script.c_str(), 0755);
        setenv("WRENPOST_EXE", script.c_str(), 1);
    }
    ~ScriptJob() { unsetenv("WRENPOST_EXE"); }
};

// Handles events until `done` holds or `ms` have passed.
bool wait_ms(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

uint32_t num_at(Editor& e, int row) {
    EdBase& b = e.w->base();
    return b.ej_msgs[b.ej_order[row]].MS_NUM;
}

std::set<uint32_t> selected_nums(Editor& e) {
    std::set<uint32_t> out;
    for (const QModelIndex& ix : e.w->list()->selectionModel()->selectedRows())
        out.insert(num_at(e, ix.row()));
    return out;
}

}  // namespace

// A job printing 200 000 lines at once: the lines reach the pane in batches
// (a write per line kept the window from its keys for seconds), a key waiting
// behind them is still handled, and the pane holds only the last LOG_KEEP
// lines (5 000), ending with the job's last one.
TEST(EditorJobOutput, FloodKeepsKeysAndBoundedLog) {
    const int lines = 200000;
    Editor e;
    ScriptJob job(e, "awk 'BEGIN { for (i = 1; i <= " + std::to_string(lines) +
                         "; i++) print \"line \" i }'\n");
    e.w->open_start("FSX_GEN", 0);
    activate(e);
    QTableView* list = e.w->list();
    list->setFocus();
    ASSERT_EQ(e.current_row(), 0);
    QPlainTextEdit* pane = e.w->log_pane();
    int writes = 0;
    QObject::connect(pane, &QPlainTextEdit::textChanged, [&] { ++writes; });
    int code = -1;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int k) { code = k; });

    ASSERT_TRUE(e.w->po_start(K_TOSS, -1, false));
    // Once the job prints, a Down comes in through the event queue as a
    // user's key does, behind whatever the job's output queued before it.
    ASSERT_TRUE(
        wait_ms([&] { return pane->toPlainText().contains(QStringLiteral("line ")); }, 20000));
    QElapsedTimer t;
    t.start();
    QApplication::postEvent(list, new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
    QApplication::postEvent(list, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier));
    bool moved = wait_ms([&] { return e.current_row() == 1; }, 120000);
    qint64 key_ms = t.elapsed();
    ASSERT_TRUE(wait_ms([&] { return code >= 0; }, 120000));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(moved);
    // Loose on purpose (two busy cores): a line at a time took seconds here.
    EXPECT_LT(key_ms, 1500) << "the key waited " << key_ms << " ms";
    std::printf("key handled after %lld ms, %d writes into the log pane\n",
                static_cast<long long>(key_ms), writes);

    EXPECT_LT(writes, lines / 100) << writes << " writes for " << lines << " lines";
    QTextDocument* doc = pane->document();
    EXPECT_LE(doc->blockCount(), 5000);  // the bound the README promises
    // The job's last line comes right before the editor's own end line.
    QTextBlock last = doc->lastBlock();
    EXPECT_NE(str(last.text()).find("Child process finished"), std::string::npos)
        << str(last.text());
    EXPECT_EQ(str(last.previous().text()), "line " + std::to_string(lines));
}

// Every finished job reloads the open area. Several selected rows, the shown
// message and where the reader was scrolled to stay; a message added
// meanwhile appears in the list.
TEST(EditorJobOutput, ReloadAfterJobKeepsView) {
    Editor e;
    std::string base = e.d.path() + "/fsxgen";
    wptest::LocalMsg longmsg;
    longmsg.subject = "Long one";
    longmsg.attr = 0;
    longmsg.text.clear();
    for (int i = 1; i <= 400; ++i) longmsg.text += "Row " + std::to_string(i) + " of it\r";
    ASSERT_EQ(wptest::add_local(base, longmsg), 0);
    e.w->open_start("FSX_GEN", 4);
    activate(e);
    QTableView* list = e.w->list();
    ASSERT_EQ(list->model()->rowCount(), 4);
    int long_row = e.current_row();
    ASSERT_EQ(num_at(e, long_row), 4u);
    // Two more rows join the selection, the long message stays current.
    QItemSelectionModel* sm = list->selectionModel();
    for (int r = 0; r < 4; ++r)
        if (r != long_row && num_at(e, r) != 1)
            sm->select(list->model()->index(r, 0),
                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    std::set<uint32_t> picked = selected_nums(e);
    ASSERT_EQ(picked, (std::set<uint32_t>{2, 3, 4}));
    ReaderView* rv = e.w->reader();
    QScrollBar* bar = rv->findChild<QScrollBar*>();
    ASSERT_NE(bar, nullptr);
    ASSERT_GT(bar->maximum(), 100);
    bar->setValue(100);
    ASSERT_EQ(rv->model().top, 100);
    int list_top = list->verticalScrollBar()->value();

    wptest::LocalMsg fresh;
    fresh.subject = "Arrived meanwhile";
    fresh.attr = 0;
    ASSERT_EQ(wptest::add_local(base, fresh), 0);
    ScriptJob job(e, "echo tossed\n");
    int code = -1;
    QObject::connect(e.w.get(), &MainWindow::job_finished, [&](int k) { code = k; });
    ASSERT_TRUE(e.w->po_start(K_TOSS, -1, false));
    ASSERT_TRUE(wait_ms([&] { return code >= 0; }, 20000));
    QApplication::processEvents();

    EXPECT_EQ(list->model()->rowCount(), 5);
    EXPECT_EQ(selected_nums(e), picked);
    ASSERT_GE(e.w->cur_msg(), 0);
    EXPECT_EQ(e.w->base().ej_msgs[e.w->cur_msg()].MS_NUM, 4u);
    EXPECT_EQ(num_at(e, e.current_row()), 4u);
    EXPECT_EQ(rv->model().top, 100);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(list->verticalScrollBar()->value(), list_top);
}
