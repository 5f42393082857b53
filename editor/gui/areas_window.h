// The areas and AreaFix window: for one boss at a time, the echo areas the
// boss offers (from its AreaFix replies and the area cache) with their link
// state and whether they are configured here; buttons that build an AreaFix
// request line by line, a free-text request box, and creating the request
// netmail, optionally polling the boss at once. One at a time, owned by the
// main window; all failures go to its status line.
#pragma once

#include <QWidget>

#include "areafix/replies.h"
#include "areafix/request.h"

class MainWindow;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTreeWidget;

class AreasWindow : public QWidget {
    Q_OBJECT
  public:
    explicit AreasWindow(MainWindow* main);
    // Reloads the selected boss: cache, replies in the netmail base, local areas.
    void am_load();
    // The buttons, for the main window and the tests.
    void add_command(const QString& cmd);
    void subscribe(bool add);
    void rescan();
    // Writes the request; with `poll` also starts the boss's poll job.
    bool create(bool poll);

    QComboBox* boss_box() { return boss_; }
    QTreeWidget* list() { return list_; }
    QPlainTextEdit* request() { return req_; }
    QCheckBox* rescan_box() { return rescan_; }
    QLineEdit* rescan_value() { return rvalue_; }
    QString status() const;
    QString info() const;

  protected:
    void closeEvent(QCloseEvent*) override;

  private:
    int boss_index() const;  // -1: no sections or none
    bool is_local(const char* tag) const;

    MainWindow* main_;
    AfTable table_;
    AfWriter writer_;
    QComboBox* boss_;
    QLabel *info_, *status_;
    QTreeWidget* list_;
    QCheckBox* rescan_;
    QLineEdit* rvalue_;
    QPlainTextEdit* req_;
};
