// The editor's main window: toolbar, areas tree, message list, reader pane,
// job status line and log pane, status bar, menus and shortcuts. It owns the
// editor's state (area tables, loaded list, jobs, window state) and takes the
// JAM lock file around every use of the bases; mail jobs run as child
// processes. GUI thread only, apart from the job's reader thread, which hands
// its lines over through queued calls.
#pragma once

#include <QMainWindow>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/cmdline.h"
#include "editor/areas.h"
#include "editor/compose.h"
#include "editor/jobs.h"
#include "editor/winstate.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QTableView;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QTimer;
class MsgModel;
class ReaderView;
class ComposeWindow;
class AreasWindow;
class SettingsWindow;

// Command ids of the menus, toolbar and shortcuts.
enum {
    CMD_RELOAD = 101,
    CMD_EXIT = 102,
    CMD_NEW = 201,
    CMD_NETMAIL = 202,
    CMD_REPLY = 203,
    CMD_MARKREAD = 204,
    CMD_NEXTUNREAD = 205,
    CMD_DELETE = 206,
    CMD_KLUDGES = 301,
    CMD_ZOOMIN = 302,
    CMD_ZOOMOUT = 303,
    CMD_ZOOMFIT = 304,
    CMD_PAGE = 305,
    CMD_WHOLE = 306,
    CMD_ABOUT = 401,
    CMD_POLL = 601,
    CMD_POLLALL = 602,
    CMD_TOSS = 603,
    CMD_SCAN = 604,
    CMD_SETTINGS = 605,
    CMD_LOG = 606,
    CMD_AREAS = 607,
};

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(const CmdLine& cl);
    ~MainWindow() override;

    // Runs a command as chosen from the menu, whatever its action's state.
    void do_command(int id);
    // The command's action (shared by the menu, the toolbar, the keys and the
    // list's context menu); nullptr for an unknown id.
    QAction* action(int id) const;
    QToolBar* toolbar() const { return tb_; }
    void set_info(const QString& text);
    // Opens the start area ("-a" tag, else the first) and selects "-m".
    void open_start(const char* tag, uint32_t number);

    // For the tests and the other windows.
    EdBase& base() { return *eb_; }
    const EdNets& nets() const { return nets_; }
    Jobs& jobs() { return jobs_; }
    WinState& winstate() { return ws_; }
    QTreeWidget* tree() { return tree_; }
    QTableView* list() { return list_; }
    ReaderView* reader() { return reader_; }
    QPlainTextEdit* log_pane() { return log_; }
    QLabel* job_status() { return jobstat_; }
    ComposeWindow* compose() { return compose_; }
    AreasWindow* areas_window() { return areas_; }
    SettingsWindow* settings_window() { return settings_; }
    QString status_text(int part) const;
    int cur_area() const { return cur_area_; }
    int cur_msg() const { return cur_msg_; }
    bool show_kludges() const { return show_kludges_; }
    // The timer that starts the automatic polls runs (until the window closes).
    bool polling() const;
    // Starts a job (kind K_ALL, K_TOSS, K_SCAN) for a boss slot (-1 all).
    bool po_start(int kind, int slot, bool autostart);
    void po_tick();
    void select_row(int row);
    // After configuration lines or requests were written elsewhere: the
    // configuration, the tree and the open area again.
    void reload_areas();

  Q_SIGNALS:
    void job_finished(int code);

  protected:
    void closeEvent(QCloseEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void moveEvent(QMoveEvent*) override;
    void changeEvent(QEvent*) override;

  private:
    friend class Central;
    void build_menus();
    // The one place that decides which commands can run now: a message
    // command needs an open area (and a shown message), a mail job none
    // running; also the check marks of Kludges and Log.
    void update_actions();
    void show_compose();  // shows the new compose_ and follows its end
    void fill_tree();
    void refresh_area_item(int area);
    bool count_all();
    // The open area again, keeping the shown message and its scroll, the
    // selected messages and the list's scroll; new messages simply appear.
    void reload_current();
    bool reload_cfg();
    void open_area(int area);
    void show_msg(int row);
    void del_selected();
    void mark_read();
    // The shown message's whole text in a window of its own, however long.
    void show_whole();
    // A .jlr write failed: the status line, and a warning once per opened area.
    void lastread_failed();
    void next_unread();
    void update_status();
    void layout_panes();
    void track_norm();
    void show_sort();  // the header's arrow for ws_.sort_col and sort_desc
    bool lock();
    void unlock();
    void po_logline(const QString& line);
    // Moves the lines the job's worker collected into the log pane at once.
    void po_flush();
    void po_done(int code);
    // The job status line: its text, yellow while a job runs, else idle.
    void show_job_status();
    void glog(const QString& text);
    int area_slot(int area) const;

    std::string cfg_path_;
    std::unique_ptr<EdBase> eb_;
    EdNets nets_;
    Jobs jobs_;
    WinState ws_;
    IniFile ini_;
    JamLock lk_;
    uint32_t area_sum_ = 0;

    int cur_area_ = -1;
    int cur_msg_ = -1;
    uint32_t want_num_ = 0;
    bool show_kludges_ = false;
    bool tree_rebuild_ = false;
    bool hold_reader_ = false;      // selecting a row without showing it again
    bool lastread_warned_ = false;  // the open area's failed .jlr write was shown
    QString info_;

    QWidget* central_;
    QTreeWidget* tree_;
    QTableView* list_;
    MsgModel* model_;
    ReaderView* reader_;
    QLabel* jobstat_;
    QPlainTextEdit* log_;
    QLabel* st_[3];
    std::map<int, QAction*> acts_;  // one per command id
    QToolBar* tb_ = nullptr;
    ComposeWindow* compose_ = nullptr;
    AreasWindow* areas_ = nullptr;
    SettingsWindow* settings_ = nullptr;
    QTimer* poll_timer_ = nullptr;
    std::thread worker_;
    // A job's lines from the worker, waiting for the next po_flush; at most
    // LOG_KEEP of them, older ones would be cut from the pane anyway.
    std::mutex pend_mu_;
    std::deque<QString> pend_;
    QTimer* log_timer_ = nullptr;
};
