#include "editor/gui/gui_util.h"

#include <QMessageBox>

GuiBoxes gui_boxes;

bool question(QWidget* parent, const QString& title, const QString& text) {
    if (gui_boxes) return gui_boxes(title, text, true);
    return QMessageBox::warning(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

void warning(QWidget* parent, const QString& title, const QString& text) {
    if (gui_boxes) {
        gui_boxes(title, text, false);
        return;
    }
    QMessageBox::warning(parent, title, text);
}
