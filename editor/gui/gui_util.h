// Small helpers shared by the editor's windows: UTF-16 catalogue texts as
// QStrings, and the message boxes (replaceable, so that tests can answer them
// without a user).
#pragma once

#include <QColor>
#include <QString>
#include <functional>
#include <string>

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

// How the windows ask and warn: question() is true for Yes. Tests may set
// gui_boxes to answer instead of a user; `question` tells the two kinds apart.
using GuiBoxes = std::function<bool(const QString& title, const QString& text, bool question)>;
extern GuiBoxes gui_boxes;
bool question(QWidget* parent, const QString& title, const QString& text);
void warning(QWidget* parent, const QString& title, const QString& text);
