// The main window over a small point, shared by the window tests: an echo
// area of three tossed messages, a netmail base and the bad area. Message
// boxes are answered by `answer` and recorded in `boxes` unless a test clears
// gui_boxes to see the real boxes.
#pragma once

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "editor/gui/reader_view.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

namespace edtest {

using wptest::add_local;
using wptest::LocalMsg;

inline std::string str(const QString& s) {
    return s.toStdString();
}

// A point with an echo area of three tossed messages, a netmail base and the
// bad area, and the editor's main window over it.
struct Editor {
    wptest::TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    std::vector<std::string> boxes;  // message boxes shown, "title|text"
    bool answer = true;
    std::unique_ptr<MainWindow> w;
    // Checks every change of the message list's model against the rules of
    // item models; ends the run on a breach.
    std::unique_ptr<QAbstractItemModelTester> model_check;

    // `ini`: the window settings file's text before the window opens.
    explicit Editor(const std::string& ini = std::string()) {
        std::string m = d.path();
        if (!ini.empty()) wptest::write_file(d.file("wrenpost.ini"), ini);
        wptest::write_file(cfg, "sysop=Jo Point\nbadarea=" + m + "/bad\ninbound=" + m +
                                    "/in\noutbound=" + m +
                                    "/out\n[fsx]\naddress=21:3/210.7\n"
                                    "boss_address=21:3/210\nboss_host=127.0.0.1\nsystem=Home\n"
                                    "netmail=" +
                                    m + "/netmail\nechoarea=FSX_GEN " + m + "/fsxgen\n");
        const char* froms[] = {"Carol", "alice", "Bob"};
        for (int i = 0; i < 3; ++i) {
            LocalMsg msg;
            msg.from = froms[i];
            msg.subject = "Topic " + std::to_string(i + 1);
            msg.text = "Line of message " + std::to_string(i + 1) + "\rSee www.example.org.\r";
            msg.msgid = "21:1/100 0000000" + std::to_string(i + 1);
            msg.attr = 0;  // tossed, not local
            msg.date = 1796444632 + i * 60;
            EXPECT_EQ(add_local(m + "/fsxgen", msg), 0);
        }
        lang_apply(LANG_EN);
        EXPECT_EQ(load_config(g_cfg, cfg.c_str()), 0);
        gui_boxes = [this](const QString& title, const QString& text, bool) {
            boxes.push_back(str(title) + "|" + str(text));
            return answer;
        };
        CmdLine cl;
        str_copy(cl.cfg_path, cfg.c_str(), sizeof cl.cfg_path);
        w = std::make_unique<MainWindow>(cl);
        model_check = std::make_unique<QAbstractItemModelTester>(
            w->list()->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
        w->resize(1100, 800);
        w->show();
        QApplication::processEvents();
    }
    ~Editor() {
        model_check.reset();
        if (w) w->close();
        gui_boxes = nullptr;
    }
    std::vector<std::string> tree_texts() {
        std::vector<std::string> t;
        QTreeWidget* tr = w->tree();
        for (int i = 0; i < tr->topLevelItemCount(); ++i) {
            QTreeWidgetItem* r = tr->topLevelItem(i);
            t.push_back(str(r->text(0)));
            for (int k = 0; k < r->childCount(); ++k) t.push_back("  " + str(r->child(k)->text(0)));
        }
        return t;
    }
    std::string cell(int row, int col) {
        return str(w->list()->model()->index(row, col).data().toString());
    }
    int current_row() { return w->list()->currentIndex().row(); }
    std::string header(int line) { return str(qs(w->reader()->model().rd_hdr[line])); }
};

// The contrast ratio of two colours as WCAG defines it (1 to 21).
inline double luminance(QRgb c) {
    auto ch = [](int v) {
        double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * ch(qRed(c)) + 0.7152 * ch(qGreen(c)) + 0.0722 * ch(qBlue(c));
}
inline double contrast(QRgb a, QRgb b) {
    double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// Waits, handling events, until `done` holds (false after 10 s).
inline bool wait_for(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 10000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Brings the main window to the front so that shortcuts and focus work.
inline void activate(Editor& e) {
    e.w->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(e.w.get()));
}

// A key as the user types it: to whatever widget has the focus.
inline void key(Editor& e, Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QWidget* to = QApplication::focusWidget();
    QTest::keyClick(to ? to : e.w.get(), k, m);
    QApplication::processEvents();
}

}  // namespace edtest
