#include "editor/gui/gui_util.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QToolTip>
#include <utility>

#include "editor/messages.h"

GuiBoxes gui_boxes;

namespace {

// The outlines of check boxes, radio buttons and fields: Fusion draws them a
// shade darker than the face, which on a dark face cannot be seen. These
// reach a contrast of at least 3 against the face, disabled ones too.
constexpr uint32_t OUTLINE = 0x9A9A9A;
constexpr uint32_t OUTLINE_OFF = 0x808080;

// Fusion with our own pictures where its built-in ones are drawn for a light
// face: the toolbar's extension arrows (dark grey, lost on the dark toolbar),
// and the outlines of the controls above.
class ThemeStyle : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;
    void drawPrimitive(PrimitiveElement pe, const QStyleOption* opt, QPainter* p,
                       const QWidget* w) const override {
        QProxyStyle::drawPrimitive(pe, opt, p, w);
        if (pe != PE_IndicatorCheckBox && pe != PE_IndicatorRadioButton && pe != PE_FrameLineEdit)
            return;
        // A focused field keeps the accent colour Fusion gives it.
        if (pe == PE_FrameLineEdit && (opt->state & State_HasFocus)) return;
        p->save();
        p->setBrush(Qt::NoBrush);
        p->setPen(QPen(rgb(opt->state & State_Enabled ? OUTLINE : OUTLINE_OFF), 1));
        QRect r = opt->rect;
        if (pe == PE_IndicatorCheckBox) {
            p->drawRect(r.adjusted(0, 0, -1, -1));
        } else if (pe == PE_IndicatorRadioButton) {
            p->setRenderHint(QPainter::Antialiasing, true);
            p->drawEllipse(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5));
        } else {
            p->setRenderHint(QPainter::Antialiasing, true);
            p->translate(0.5, 0.5);
            p->drawRoundedRect(r.adjusted(0, 0, -1, -1), 2, 2);
        }
        p->restore();
    }
    QIcon standardIcon(StandardPixmap sp, const QStyleOption* opt,
                       const QWidget* w) const override {
        if (sp != SP_ToolBarHorizontalExtensionButton && sp != SP_ToolBarVerticalExtensionButton)
            return QProxyStyle::standardIcon(sp, opt, w);
        QPixmap pm(16, 16);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(rgb(0xE6E6E6), 1.6));
        if (sp == SP_ToolBarVerticalExtensionButton) p.translate(16, 0), p.rotate(90);
        for (int x : {3, 8})
            p.drawPolyline(QPolygonF({QPointF(x, 4), QPointF(x + 4, 8), QPointF(x, 12)}));
        p.end();
        return QIcon(pm);
    }
};

}  // namespace

void gui_theme(QApplication& app) {
    if (QStyle* fusion = QStyleFactory::create(qa("Fusion"))) app.setStyle(new ThemeStyle(fusion));
    QPalette p;
    const QColor text = rgb(0xE6E6E6), dim = rgb(0x9A9A9A), face = rgb(0x2B2B2B);
    const QColor base = rgb(0x1E1E1E), button = rgb(0x3A3A3A), accent = rgb(0x0078D4);
    p.setColor(QPalette::Window, face);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, rgb(0x252526));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, rgb(0xFFFFFF));
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, rgb(0xFFFFFF));
    p.setColor(QPalette::ToolTipBase, rgb(0x383838));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, dim);
    p.setColor(QPalette::Link, rgb(0x50B0FF));
    p.setColor(QPalette::LinkVisited, rgb(0xB080E0));
    p.setColor(QPalette::Light, rgb(0x505050));
    p.setColor(QPalette::Midlight, rgb(0x444444));
    p.setColor(QPalette::Mid, rgb(0x303030));
    p.setColor(QPalette::Dark, rgb(0x1A1A1A));
    p.setColor(QPalette::Shadow, rgb(0x101010));
    // Disabled: grey text on a flatter face, still readable.
    for (QPalette::ColorRole r : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, r, dim);
    p.setColor(QPalette::Disabled, QPalette::Base, face);
    p.setColor(QPalette::Disabled, QPalette::Button, rgb(0x303030));
    p.setColor(QPalette::Disabled, QPalette::Highlight, rgb(0x404040));
    p.setColor(QPalette::Disabled, QPalette::HighlightedText, dim);
    app.setPalette(p);
    QToolTip::setPalette(p);
    // Every window, and the About box, show the program's icon.
    app.setWindowIcon(QIcon(qa(":/wrenpost.png")));
}

namespace {

// A box whose buttons speak the user's language: the windowing library's
// own texts are English whatever the catalogue says.
int run_box(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
            QMessageBox::StandardButtons buttons, QMessageBox::StandardButton dflt) {
    QMessageBox box(icon, title, text, buttons, parent);
    box.setDefaultButton(dflt);
    const std::pair<QMessageBox::StandardButton, const char16_t*> texts[] = {
        {QMessageBox::Yes, bx_yes}, {QMessageBox::No, bx_no}, {QMessageBox::Ok, bx_ok}};
    for (const auto& [b, t] : texts)
        if (QAbstractButton* button = box.button(b)) button->setText(qs(t));
    return box.exec();
}

}  // namespace

bool question(QWidget* parent, const QString& title, const QString& text) {
    if (gui_boxes) return gui_boxes(title, text, true);
    return run_box(parent, QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No,
                   QMessageBox::No) == QMessageBox::Yes;
}

void warning(QWidget* parent, const QString& title, const QString& text) {
    if (gui_boxes) {
        gui_boxes(title, text, false);
        return;
    }
    (void)run_box(parent, QMessageBox::Warning, title, text, QMessageBox::Ok, QMessageBox::Ok);
}

void about(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    box.setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    if (QAbstractButton* ok = box.button(QMessageBox::Ok)) ok->setText(qs(bx_ok));
    box.exec();
}
