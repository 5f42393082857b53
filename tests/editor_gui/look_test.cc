// The editor's look: every window, dialog, message box, menu, header and
// tooltip draws its text legibly (contrast ratio of at least 4.5 between the
// text and the face it is drawn on, measured in the rendered pixels), and
// each of them is saved as a picture under <build>/screenshots for a
// reviewer to look at.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "editor/gui/areas_window.h"
#include "editor/gui/compose_window.h"
#include "editor/gui/settings_window.h"
#include "editor_gui/editor_fixture.h"

using edtest::contrast;
using edtest::Editor;
using edtest::str;

namespace {

// The contrast that text in a rendered area reaches: the commonest colour is
// the face, the pixel furthest from it the text's core. 0 for an empty area.
double text_contrast(const QImage& img) {
    std::map<QRgb, int> count;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) ++count[img.pixel(x, y) | 0xFF000000u];
    if (count.empty()) return 0;
    QRgb face = 0;
    int most = -1;
    for (auto& [c, n] : count)
        if (n > most) {
            most = n;
            face = c;
        }
    double best = 1;
    for (auto& [c, n] : count) best = std::max(best, contrast(c, face));
    return best;
}

// Where text is drawn inside a top-level window: labels, buttons, fields,
// headers, combo boxes, group titles, the menu bar. Each with a name for the
// failure list.
struct TextArea {
    std::string name;
    QRect rect;  // in the window
};

bool shows_text(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return !l->text().trimmed().isEmpty();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return !b->text().isEmpty();
    if (auto* f = qobject_cast<QLineEdit*>(w)) return !f->text().isEmpty();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return !p->toPlainText().isEmpty();
    if (auto* c = qobject_cast<QComboBox*>(w)) return !c->currentText().isEmpty();
    return qobject_cast<QHeaderView*>(w) != nullptr || qobject_cast<QMenuBar*>(w) != nullptr;
}

std::vector<TextArea> text_areas(QWidget* top) {
    std::vector<TextArea> out;
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (!w->isVisible() || w->window() != top || !shows_text(w)) continue;
        QRect r(w->mapTo(top, QPoint(0, 0)), w->size());
        if (auto* p = qobject_cast<QPlainTextEdit*>(w))
            r = QRect(p->viewport()->mapTo(top, QPoint(0, 0)), p->viewport()->size());
        std::string name = w->metaObject()->className();
        if (auto* l = qobject_cast<QLabel*>(w)) name += " \"" + str(l->text().left(30)) + "\"";
        if (auto* b = qobject_cast<QAbstractButton*>(w)) name += " \"" + str(b->text()) + "\"";
        if (!w->isEnabled()) name += " (disabled)";
        out.push_back({name, r.intersected(top->rect())});
    }
    return out;
}

// Checks one shown top-level window and saves its picture; returns the
// areas whose text is too faint, with their contrast.
std::vector<std::string> faint_text(QWidget* top, const std::string& shot) {
    QApplication::processEvents();
    QImage img = top->grab().toImage();
    QString dir = QString::fromLocal8Bit(WP_BUILD_DIR) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    img.save(dir + QLatin1Char('/') + QString::fromStdString(shot) + QStringLiteral(".png"));
    std::vector<std::string> bad;
    std::vector<TextArea> areas = text_areas(top);
    if (areas.empty()) areas.push_back({"window", top->rect()});
    if (auto* menu = qobject_cast<QMenu*>(top)) {
        areas.clear();
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                areas.push_back(
                    {"menu item \"" + str(a->text()) + "\"" + (a->isEnabled() ? "" : " (disabled)"),
                     menu->actionGeometry(a)});
    }
    for (const TextArea& a : areas) {
        double c = text_contrast(img.copy(a.rect));
        if (c < 4.5) bad.push_back(shot + ": " + a.name + " " + std::to_string(c));
    }
    return bad;
}

// Runs `open`, which shows a modal box or popup through the program's own
// path and blocks, and checks what it shows before closing it.
std::vector<std::string> faint_in_modal(const std::string& shot, const std::function<void()>& open,
                                        std::string* title = nullptr) {
    std::vector<std::string> bad;
    bool seen = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activePopupWidget();
        if (box == nullptr) box = QApplication::activeModalWidget();
        if (box == nullptr || !box->isVisible() || seen) return;
        seen = true;
        if (title != nullptr) *title = str(box->windowTitle());
        bad = faint_text(box, shot);
        if (auto* m = qobject_cast<QMenu*>(box))
            m->close();
        else if (auto* d = qobject_cast<QDialog*>(box))
            d->reject();
    });
    poll.start();
    open();
    poll.stop();
    if (!seen) bad.push_back(shot + ": nothing was shown");
    return bad;
}

void join(std::vector<std::string>& all, const std::vector<std::string>& more) {
    all.insert(all.end(), more.begin(), more.end());
}

}  // namespace

TEST(EditorLook, EveryWindowAndDialogIsLegible) {
    Editor e;
    gui_boxes = nullptr;  // the real message boxes
    e.w->open_start("FSX_GEN", 0);
    e.w->do_command(CMD_LOG);
    std::vector<std::string> bad;
    join(bad, faint_text(e.w.get(), "main_window"));

    // Menus of the menu bar, with disabled items where there are any.
    for (QAction* m : e.w->menuBar()->actions()) {
        QMenu* menu = m->menu();
        ASSERT_NE(menu, nullptr);
        join(bad, faint_in_modal("menu_" + str(menu->title().remove(QLatin1Char('&'))),
                                 [&] { menu->exec(e.w->mapToGlobal(QPoint(20, 20))); }));
    }
    // The reader's context menu, "Copy" disabled without a selection.
    join(bad, faint_in_modal("reader_menu", [&] {
             QContextMenuEvent ev(QContextMenuEvent::Keyboard, QPoint(10, 10),
                                  e.w->reader()->mapToGlobal(QPoint(10, 10)));
             QApplication::sendEvent(e.w->reader(), &ev);
         }));
    std::string title;
    join(bad, faint_in_modal(
                  "about", [&] { e.w->do_command(CMD_ABOUT); }, &title));
    EXPECT_EQ(title, "wrenpost");

    // A tooltip.
    QToolTip::showText(e.w->mapToGlobal(QPoint(50, 50)), QStringLiteral("A tooltip text"),
                       e.w.get());
    QApplication::processEvents();
    bool tip = false;
    for (QWidget* t : QApplication::topLevelWidgets())
        if (t->inherits("QTipLabel") && t->isVisible()) {
            tip = true;
            join(bad, faint_text(t, "tooltip"));
        }
    EXPECT_TRUE(tip);
    QToolTip::hideText();

    // The compose window, its discard question and its refusal of an address.
    e.w->do_command(CMD_NETMAIL);
    ComposeWindow* c = e.w->compose();
    ASSERT_NE(c, nullptr);
    c->resize(900, 640);
    c->to_field()->setText(QStringLiteral("Boss"));
    c->address_field()->setText(QStringLiteral("nowhere"));
    c->subject_field()->setText(QStringLiteral("Hello"));
    QTest::keyClicks(c->body_field(), QStringLiteral("Some words."));
    join(bad, faint_text(c, "compose"));
    join(bad, faint_in_modal("compose_bad_address", [&] { c->save(); }));
    join(bad, faint_in_modal("compose_discard", [&] { c->close(); }));
    EXPECT_NE(e.w->compose(), nullptr);  // the question was answered No

    // The settings window with a disabled field, and one of its refusals.
    e.w->do_command(CMD_SETTINGS);
    SettingsWindow* s = e.w->settings_window();
    ASSERT_NE(s, nullptr);
    s->field(0)->setEnabled(false);
    join(bad, faint_text(s, "settings"));
    s->field(0)->setEnabled(true);
    join(bad, faint_in_modal("settings_box", [&] { warning(s, qs(e_title), qs(e_full)); }));

    // The areas window and a question asked over it.
    e.w->do_command(CMD_AREAS);
    AreasWindow* a = e.w->areas_window();
    ASSERT_NE(a, nullptr);
    join(bad, faint_text(a, "areas"));
    join(bad, faint_in_modal("areas_question", [&] { question(a, qs(a_qtitle), qs(a_q1)); }));
    // A box over the reader (as when a link cannot be opened).
    join(bad, faint_in_modal("reader_box",
                             [&] { warning(e.w->reader(), qs(w_lnk_title), qs(e_link1)); }));

    EXPECT_TRUE(bad.empty()) << [&] {
        std::string t;
        for (auto& b : bad) t += b + "\n";
        return t;
    }();
    gui_boxes = [](const QString&, const QString&, bool) { return true; };
    s->close();
    a->close();
    c->close();
}

namespace {

// The strongest contrast between any pixel of `r` in `img` and `face`: a
// control's outline must stand out from the face around it, whatever the
// inside of the control looks like.
double outline_contrast(const QImage& img, const QRect& r, QRgb face) {
    double best = 1;
    QRect in = r.intersected(img.rect());
    for (int y = in.top(); y <= in.bottom(); ++y)
        for (int x = in.left(); x <= in.right(); ++x)
            best = std::max(best, contrast(img.pixel(x, y) | 0xFF000000u, face | 0xFF000000u));
    return best;
}

// The ring of pixels `w` wide along the edge of `r`.
std::vector<QRect> ring(const QRect& r, int w) {
    return {
        QRect(r.left(), r.top(), r.width(), w), QRect(r.left(), r.bottom() - w + 1, r.width(), w),
        QRect(r.left(), r.top(), w, r.height()), QRect(r.right() - w + 1, r.top(), w, r.height())};
}

}  // namespace

// Unchecked check boxes, radio buttons and the borders of fields can be
// seen: their outlines reach a contrast of 3 against the face around them,
// in the editor's own windows and on a plain panel, enabled or not.
TEST(EditorLook, ControlOutlinesStandOut) {
    Editor e;
    e.w->do_command(CMD_SETTINGS);
    e.w->do_command(CMD_AREAS);
    QWidget panel;
    auto* check = new QCheckBox(QStringLiteral("Check"), &panel);
    auto* radio = new QRadioButton(QStringLiteral("Radio"), &panel);
    auto* field = new QLineEdit(&panel);
    check->setGeometry(10, 10, 120, 24);
    radio->setGeometry(10, 40, 120, 24);
    field->setGeometry(10, 70, 200, 26);
    panel.resize(240, 110);
    panel.show();
    QApplication::processEvents();
    std::vector<QWidget*> tops = {&panel, e.w->settings_window(), e.w->areas_window()};
    std::vector<std::string> bad;
    int checked = 0;
    for (QWidget* top : tops) {
        ASSERT_NE(top, nullptr);
        std::vector<QAbstractButton*> boxes;
        for (auto* b : top->findChildren<QCheckBox*>()) boxes.push_back(b);
        for (auto* b : top->findChildren<QRadioButton*>()) boxes.push_back(b);
        for (QAbstractButton* b : boxes) {
            if (!b->isVisible()) continue;
            bool was = b->isChecked();
            b->setChecked(false);
            QStyleOptionButton opt;
            opt.initFrom(b);
            bool radio_box = qobject_cast<QRadioButton*>(b) != nullptr;
            QRect ind = b->style()->subElementRect(
                radio_box ? QStyle::SE_RadioButtonIndicator : QStyle::SE_CheckBoxIndicator, &opt,
                b);
            QWidget* under = b->parentWidget();
            QRgb face = under->palette().color(under->backgroundRole()).rgb();
            for (bool enabled : {true, false}) {
                b->setEnabled(enabled);
                QImage img = b->grab().toImage();
                double c = outline_contrast(img, ind, face);
                if (c < 3)
                    bad.push_back(str(b->text()) + (enabled ? "" : " (disabled)") + " " +
                                  std::to_string(c));
                ++checked;
            }
            b->setEnabled(true);
            b->setChecked(was);
        }
        for (QLineEdit* f : top->findChildren<QLineEdit*>()) {
            if (!f->isVisible()) continue;
            QRgb face =
                f->parentWidget()->palette().color(f->parentWidget()->backgroundRole()).rgb();
            bool was = f->isEnabled();
            for (bool enabled : {true, false}) {
                f->setEnabled(enabled);
                QImage img = f->grab().toImage();
                double c = 21;
                for (const QRect& side : ring(img.rect(), 2))
                    c = std::min(c, outline_contrast(img, side, face));
                if (c < 3)
                    bad.push_back("field " + str(f->objectName()) + (enabled ? "" : " (disabled)") +
                                  " " + std::to_string(c));
                ++checked;
            }
            f->setEnabled(was);
        }
    }
    EXPECT_GE(checked, 6);
    join(bad, faint_text(&panel, "controls"));
    EXPECT_TRUE(bad.empty()) << [&] {
        std::string t;
        for (auto& b : bad) t += b + "\n";
        return t;
    }();
    e.w->settings_window()->close();
    e.w->areas_window()->close();
}
