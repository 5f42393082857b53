// The compose window: To, Address (netmail), Subject and the body of a new
// echomail, netmail or reply, saved as a local unsent message (editor/compose
// does the work). One at a time, a top-level window owned by the main window.
#pragma once

#include <QWidget>
#include <string>

#include "editor/compose.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class ComposeWindow : public QWidget {
    Q_OBJECT
  public:
    // mode CM_ECHO, CM_NETMAIL or CM_REPLY; for a reply, `entry` is the
    // message replied to in eb's loaded list.
    ComposeWindow(QWidget* owner, EdBase& eb, const EdNets& nets, JamLock& lk, int mode, int area,
                  int entry);
    bool save();  // true when saved (the window then closes)
    QLineEdit* to_field() { return to_; }
    QLineEdit* address_field() { return addr_; }
    QLineEdit* subject_field() { return subj_; }
    QPlainTextEdit* body_field() { return body_; }
    QString info_text() const;

  Q_SIGNALS:
    // A message was saved: its number and area.
    void saved(uint32_t number, int area);

  protected:
    void resizeEvent(QResizeEvent*) override;
    void closeEvent(QCloseEvent*) override;

  private:
    void update_info();
    ComposeInput input() const;
    int area_by_path(const std::string& path) const;

    EdBase& eb_;
    const EdNets& nets_;
    JamLock& lk_;
    ComposeInput base_;  // mode, reply, area and the parent's data
    // The target and the parent's area by their bases: the editor's area
    // table is rebuilt when the configuration changes while this window is
    // open, and an index would then name another area.
    std::string area_path_, orig_path_;
    QLabel *l_to_, *l_addr_, *l_subj_, *info_, *hint_;
    QLineEdit *to_, *addr_, *subj_;
    QPlainTextEdit* body_;
    QPushButton *save_, *cancel_;
    bool closing_ok_ = false;
};
