// Small helpers shared by the editor's windows: UTF-16 catalogue texts as
// QStrings, and the message boxes (replaceable, so that tests can answer them
// without a user).
#pragma once

#include <QColor>
#include <QString>
#include <functional>
#include <string>

class QApplication;
class QWidget;

inline QString qs(const char16_t* s) {
    return QString::fromUtf16(s);
}
inline QString qs(const std::u16string& s) {
    return QString::fromStdU16String(s);
}
inline QString qa(const char* ascii) {
    return QString::fromLatin1(ascii);
}
// A colour given as 0xRRGGBB.
inline QColor rgb(uint32_t v) {
    return QColor((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

// The editor's dark look, set once for the whole application: the Fusion
// style with one dark palette, so that every window, dialog, message box,
// menu, header and tooltip draws light text on a dark face, and disabled
// fields grey but legible; and the program's icon on every window. Call after the QApplication
// exists, before the first window. Windows colour single labels at most, never whole subtrees.
void gui_theme(QApplication& app);

// How the windows ask and warn: question() is true for Yes. Tests may set
// gui_boxes to answer instead of a user; `question` tells the two kinds apart.
// Every box's buttons carry the catalogue's texts in the user's language.
using GuiBoxes = std::function<bool(const QString& title, const QString& text, bool question)>;
extern GuiBoxes gui_boxes;
bool question(QWidget* parent, const QString& title, const QString& text);
void warning(QWidget* parent, const QString& title, const QString& text);
// The About box (never answered by gui_boxes: it only informs).
void about(QWidget* parent, const QString& title, const QString& text);
