#include "editor/gui/main_window.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QItemSelection>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <algorithm>

#include "core/charset.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "editor/gui/areas_window.h"
#include "editor/gui/compose_window.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/reader_view.h"
#include "editor/gui/settings_window.h"
#include "editor/messages.h"
#include "platform/platform.h"

namespace {

constexpr int PSTAT_H = 22;
constexpr int LOG_H = 150;
constexpr uint32_t ED_LOCK_MS = 2000;

// The job status line's text: the idle colour, yellow while a job runs.
constexpr uint32_t JOB_IDLE = 0xF0F0F0;
constexpr uint32_t JOB_BUSY = 0xFFDD66;

void set_role(QWidget* w, QPalette::ColorRole role, uint32_t colour) {
    QPalette p = w->palette();
    p.setColor(role, rgb(colour));
    w->setPalette(p);
}

uint64_t now_local() {
    return unix_now_local();
}

}  // namespace

// The message list over the loaded area: rows in display order, cell texts
// from the row cache of the message base (ej_row).
class MsgModel : public QAbstractTableModel {
  public:
    explicit MsgModel(EdBase& eb) : eb_(eb) {}
    // A flat table: the rows hang off the root only.
    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(eb_.ej_count);
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : 5;
    }
    QVariant data(const QModelIndex& ix, int role) const override {
        if (!ix.isValid() || ix.row() >= static_cast<int>(eb_.ej_count)) return {};
        uint32_t entry = eb_.ej_order[ix.row()];
        const EdMsg& m = eb_.ej_msgs[entry];
        if (role == Qt::DisplayRole) {
            // Decoded on demand: only the rows shown are ever asked for.
            const EdRow& t = ej_row(eb_, entry);
            switch (ix.column()) {
                case 0:
                    return qs(t.MS_NUMS);
                case 1:
                    return qs(t.MS_FROM);
                case 2:
                    return qs(t.MS_TO);
                case 3:
                    return qs(t.MS_SUBJ);
                default:
                    return qs(t.MS_DATES);
            }
        }
        if (role == Qt::ForegroundRole) {
            uint32_t last = eb_.ej_area >= 0 ? eb_.ed_areas[eb_.ej_area].AR_LAST : 0;
            if ((m.MS_ATTR & JA_LOCAL) && !(m.MS_ATTR & JA_SENT)) return rgb(0xFFDD66);
            return m.MS_NUM > last ? rgb(0xFFFFFF) : rgb(0x9A9A9A);
        }
        if (role == Qt::TextAlignmentRole && ix.column() == 0)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
        const char16_t* h[5] = {h_nr, h_from, h_to, h_subj, h_date};
        return qs(h[section]);
    }
    void reset() {
        beginResetModel();
        endResetModel();
    }
    void repaint_all() {
        if (eb_.ej_count > 0) Q_EMIT dataChanged(index(0, 0), index(int(eb_.ej_count) - 1, 4));
    }

  private:
    EdBase& eb_;
};

// The message list is a list of rows, not a grid of cells: Home and End go to
// the first and last message, Left and Right do not walk the columns, and no
// cell of the current row is marked on its own.
class RowDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* p, const QStyleOptionViewItem& o, const QModelIndex& ix) const override {
        QStyleOptionViewItem opt(o);
        opt.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(p, opt, ix);
    }
};

class MsgList : public QTableView {
  public:
    explicit MsgList(QWidget* parent) : QTableView(parent) {
        setItemDelegate(new RowDelegate(this));
        setTabKeyNavigation(false);  // Tab leaves the list
    }

  protected:
    QModelIndex moveCursor(CursorAction a, Qt::KeyboardModifiers m) override {
        QAbstractItemModel* md = model();
        int rows = md ? md->rowCount() : 0;
        if (rows == 0) return QModelIndex();
        switch (a) {
            case MoveHome:
                return md->index(0, 0);
            case MoveEnd:
                return md->index(rows - 1, 0);
            case MoveLeft:
            case MoveRight:
                return currentIndex();
            default:
                return QTableView::moveCursor(a, m);
        }
    }
};

// The client area: tree, list and reader placed by the layout arithmetic,
// with the two splitters between them dragged by the mouse.
class Central : public QWidget {
  public:
    explicit Central(MainWindow* w) : QWidget(w), w_(w) { setMouseTracking(true); }

  protected:
    void resizeEvent(QResizeEvent*) override { w_->layout_panes(); }
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return;
        QPoint p = e->position().toPoint();
        WinState& s = w_->ws_;
        if (p.x() >= s.split_x && p.x() < s.split_x + SPLW)
            drag_ = 1;
        else if (p.x() >= s.split_x + SPLW && p.y() >= s.split_y && p.y() < s.split_y + SPLW)
            drag_ = 2;
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        QPoint p = e->position().toPoint();
        WinState& s = w_->ws_;
        if (drag_ == 1) {
            s.split_x = p.x() - 2;
            w_->layout_panes();
        } else if (drag_ == 2) {
            s.split_y = p.y() - 2;
            w_->layout_panes();
        } else if (p.x() >= s.split_x && p.x() < s.split_x + SPLW) {
            setCursor(Qt::SizeHorCursor);
        } else if (p.x() >= s.split_x + SPLW && p.y() >= s.split_y && p.y() < s.split_y + SPLW) {
            setCursor(Qt::SizeVerCursor);
        } else {
            setCursor(Qt::ArrowCursor);
        }
    }
    void mouseReleaseEvent(QMouseEvent*) override { drag_ = 0; }

  private:
    MainWindow* w_;
    int drag_ = 0;
};

// ---- Construction -----------------------------------------------------------------

MainWindow::MainWindow(const CmdLine& cl) : eb_(std::make_unique<EdBase>()) {
    cfg_path_ = cl.cfg_path;
    lock_set_cfg(lk_, cl.cfg_path);
    ini_init(ini_, cl.cfg_path);
    ws_load(ini_, ws_);
    eb_->cfg = &g_cfg;
    build_tables(g_cfg, *eb_, nets_);
    area_sum_ = area_list_sum(g_cfg);
    po_init(jobs_, g_cfg, now_local());

    setWindowTitle(qs(t_title));
    setMinimumSize(760, 600);
    central_ = new Central(this);
    // Colours come from the application's palette (gui_theme); the panes
    // only set roles of their own, which reach neither menus nor dialogs.
    central_->setAutoFillBackground(true);
    set_role(central_, QPalette::Window, 0x202020);
    setCentralWidget(central_);

    tree_ = new QTreeWidget(central_);
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setStyleSheet(qa("QTreeWidget::item { height: 24px; }"));
    set_role(tree_, QPalette::Base, 0x252526);
    list_ = new MsgList(central_);
    model_ = new MsgModel(*eb_);
    list_->setModel(model_);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setShowGrid(false);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(20);
    list_->setSortingEnabled(false);
    list_->horizontalHeader()->setSectionsClickable(true);
    list_->horizontalHeader()->setSortIndicatorShown(true);
    show_sort();
    for (int c = 0; c < 5; ++c) list_->setColumnWidth(c, ws_.col_w[c]);
    reader_ = new ReaderView(central_);
    reader_->set_zoom_value(ws_.zoom);
    jobstat_ = new QLabel(central_);
    jobstat_->setAutoFillBackground(true);
    set_role(jobstat_, QPalette::Window, 0x303030);
    set_role(jobstat_, QPalette::WindowText, JOB_IDLE);
    log_ = new QPlainTextEdit(central_);
    log_->setReadOnly(true);
    // A bounded history: however much a job prints, the pane holds its
    // last LOG_KEEP lines.
    log_->setMaximumBlockCount(LOG_KEEP);
    set_role(log_, QPalette::Base, 0x161616);
    set_role(log_, QPalette::Text, 0xC8D8C8);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setStyleHint(QFont::Monospace);
    log_->setFont(mono);
    log_->setVisible(ws_.log != 0);

    for (auto*& l : st_) {
        l = new QLabel(this);
        statusBar()->addWidget(l);
    }
    st_[0]->setFixedWidth(260);
    st_[1]->setFixedWidth(380);

    build_menus();
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* it) {
        if (it == nullptr || tree_rebuild_) return;
        int v = it->data(0, Qt::UserRole).toInt();
        if (v >= 0 && static_cast<uint32_t>(v) < NET_PARAM) open_area(v);
    });
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& now) {
                if (now.isValid() && !hold_reader_) show_msg(now.row());
            });
    connect(list_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int col) {
        if (col == ws_.sort_col)
            ws_.sort_desc = !ws_.sort_desc;
        else {
            ws_.sort_col = col;
            ws_.sort_desc = 0;
        }
        show_sort();
        uint32_t num = cur_msg_ >= 0 ? eb_->ej_msgs[cur_msg_].MS_NUM : 0;
        ej_sort(*eb_, ws_.sort_col, ws_.sort_desc);
        model_->reset();
        // The current message keeps its selection and comes into view; the
        // reader keeps showing it where it was.
        for (uint32_t r = 0; num != 0 && r < eb_->ej_count; ++r)
            if (eb_->ej_msgs[eb_->ej_order[r]].MS_NUM == num) {
                hold_reader_ = true;
                select_row(static_cast<int>(r));
                hold_reader_ = false;
            }
    });
    connect(list_, &QTableView::doubleClicked, this, [this] { reader_->setFocus(); });
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (cur_area_ < 0) return;
        QMenu m(this);
        m.addAction(acts_[CMD_REPLY]);
        m.addSeparator();
        m.addAction(acts_[CMD_DELETE]);
        m.exec(list_->viewport()->mapToGlobal(at));
    });
    connect(reader_, &ReaderView::status, this, &MainWindow::set_info);
    connect(reader_, &ReaderView::next_unread, this, [this] { do_command(CMD_NEXTUNREAD); });
    connect(reader_, &ReaderView::message_key, this, [this](int k) {
        int rows = static_cast<int>(eb_->ej_count);
        if (rows == 0) return;
        int row = list_->currentIndex().row();
        if (k == Qt::Key_Up)
            row = std::max(0, row - 1);
        else if (k == Qt::Key_Down)
            row = std::min(rows - 1, row + 1);
        else
            row = k == Qt::Key_Home ? 0 : rows - 1;
        if (row != list_->currentIndex().row()) select_row(row);
    });

    QRect work = QGuiApplication::primaryScreen()
                     ? QGuiApplication::primaryScreen()->availableGeometry()
                     : QRect(0, 0, 1280, 840);
    std::vector<Monitor> mons;
    for (QScreen* s : QGuiApplication::screens()) {
        QRect a = s->geometry(), w = s->availableGeometry();
        mons.push_back({{a.left(), a.top(), a.right() + 1, a.bottom() + 1},
                        {w.left(), w.top(), w.right() + 1, w.bottom() + 1}});
    }
    Rect place = ws_place(ws_, mons.data(), static_cast<int>(mons.size()),
                          Rect{work.left(), work.top(), work.right() + 1, work.bottom() + 1});
    setGeometry(place.left, place.top, place.width(), place.height());
    if (ws_.ws_smax) setWindowState(Qt::WindowMaximized);

    fill_tree();
    count_all();
    update_status();
    glog(qa(m_ready) + QString::fromLocal8Bit(cfg_path_.c_str()));
    log_timer_ = new QTimer(this);
    log_timer_->setInterval(LOG_TICK_MS);
    connect(log_timer_, &QTimer::timeout, this, &MainWindow::po_flush);
    poll_timer_ = new QTimer(this);
    connect(poll_timer_, &QTimer::timeout, this, &MainWindow::po_tick);
    poll_timer_->start(1000);
    po_tick();
}

MainWindow::~MainWindow() {
    if (worker_.joinable()) worker_.join();
    // The other windows go first, while this is still a MainWindow: their
    // destroyed() handlers write its members, and QWidget's destructor
    // would delete them after this one's part is gone.
    delete compose_;
    delete areas_;
    delete settings_;
    // The list's model reads the loaded area, which goes with this part;
    // QWidget's destructor still lays the list out while hiding it.
    list_->setModel(nullptr);
    delete model_;
}

void MainWindow::build_menus() {
    // One action per command: the menu shows its text (the part after the
    // tab is the key as the catalogue spells it), the toolbar its short text,
    // and its shortcuts work wherever the main window has the focus. Whether
    // it can run is decided in update_actions() alone.
    struct Cmd {
        int id;
        const char16_t* text;     // menu text, nullptr: no menu item
        const char16_t* tb_text;  // toolbar text, nullptr: no button
        QList<QKeySequence> keys;
    };
    const Cmd cmds[] = {
        {CMD_RELOAD, mi_reload, tb_reload, {QKeySequence(Qt::Key_F5)}},
        {CMD_EXIT, mi_exit, nullptr, {QKeySequence(Qt::CTRL | Qt::Key_Q)}},
        {CMD_NEW, mi_new, tb_new, {QKeySequence(Qt::CTRL | Qt::Key_N)}},
        {CMD_NETMAIL, mi_net, tb_net, {QKeySequence(Qt::CTRL | Qt::Key_M)}},
        {CMD_REPLY, mi_reply, tb_reply, {QKeySequence(Qt::CTRL | Qt::Key_R)}},
        {CMD_MARKREAD, mi_mark, tb_mark, {QKeySequence(Qt::CTRL | Qt::Key_G)}},
        {CMD_NEXTUNREAD, mi_next, tb_next, {QKeySequence(Qt::CTRL | Qt::Key_U)}},
        {CMD_DELETE, mi_del, nullptr, {QKeySequence(Qt::Key_Delete)}},
        {CMD_POLL, mi_poll, tb_poll, {QKeySequence(Qt::Key_F6)}},
        {CMD_POLLALL, mi_pollall, nullptr, {QKeySequence(Qt::SHIFT | Qt::Key_F6)}},
        {CMD_TOSS, mi_toss, tb_toss, {QKeySequence(Qt::Key_F7)}},
        {CMD_SCAN, mi_scan, tb_scan, {QKeySequence(Qt::Key_F8)}},
        {CMD_AREAS, mi_areas, tb_areas, {QKeySequence(Qt::CTRL | Qt::Key_E)}},
        {CMD_SETTINGS, mi_set, tb_set, {QKeySequence(Qt::Key_F9)}},
        {CMD_KLUDGES, mi_kl, tb_kl, {QKeySequence(Qt::CTRL | Qt::Key_K)}},
        {CMD_LOG, mi_log, nullptr, {QKeySequence(Qt::CTRL | Qt::Key_L)}},
        {CMD_WHOLE, mi_all, nullptr, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)}},
        {CMD_ABOUT, mi_about, nullptr, {}},
        // Zoom: keys only. The keypad's plus, minus and 0 match these too.
        {CMD_ZOOMIN,
         nullptr,
         nullptr,
         {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Plus),
          QKeySequence(Qt::CTRL | Qt::Key_Equal)}},
        {CMD_ZOOMOUT, nullptr, nullptr, {QKeySequence(Qt::CTRL | Qt::Key_Minus)}},
        {CMD_ZOOMFIT, nullptr, nullptr, {QKeySequence(Qt::CTRL | Qt::Key_0)}},
        // Space pages through the reader wherever the focus is in the window.
        {CMD_PAGE, nullptr, nullptr, {QKeySequence(Qt::Key_Space)}},
    };
    for (const Cmd& c : cmds) {
        auto* a = new QAction(this);
        if (c.text != nullptr) a->setText(qs(c.text));
        if (c.tb_text != nullptr) a->setIconText(qs(c.tb_text));
        a->setShortcuts(c.keys);
        int id = c.id;
        connect(a, &QAction::triggered, this, [this, id] { do_command(id); });
        acts_[id] = a;
        addAction(a);  // its keys work while the window has the focus
    }
    acts_[CMD_KLUDGES]->setCheckable(true);
    acts_[CMD_LOG]->setCheckable(true);
    // Delete belongs to the messages: the key deletes the selected messages
    // while the list or the reader has the focus (not in the areas tree),
    // the menu item always.
    QAction* del = acts_[CMD_DELETE];
    removeAction(del);
    del->setShortcutContext(Qt::WidgetShortcut);
    list_->addAction(del);
    reader_->addAction(del);

    const int SEP = 0;
    auto menu = [this](const char16_t* title, std::initializer_list<int> ids) {
        QMenu* m = menuBar()->addMenu(qs(title));
        for (int id : ids) {
            if (id == SEP)
                m->addSeparator();
            else
                m->addAction(acts_[id]);
        }
    };
    menu(mn_file, {CMD_RELOAD, SEP, CMD_EXIT});
    menu(mn_msg,
         {CMD_NEW, CMD_NETMAIL, CMD_REPLY, SEP, CMD_MARKREAD, CMD_NEXTUNREAD, SEP, CMD_DELETE});
    menu(mn_mail, {CMD_POLL, CMD_POLLALL, CMD_TOSS, CMD_SCAN, SEP, CMD_AREAS, CMD_SETTINGS});
    menu(mn_view, {CMD_KLUDGES, CMD_LOG, SEP, CMD_WHOLE});
    menu(mn_help, {CMD_ABOUT});

    tb_ = addToolBar(qa("main"));
    tb_->setObjectName(qa("main"));
    tb_->setMovable(false);
    tb_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    for (int id : std::initializer_list<int>{
             CMD_RELOAD, SEP, CMD_NEW, CMD_NETMAIL, CMD_REPLY, SEP, CMD_MARKREAD, CMD_NEXTUNREAD,
             SEP, CMD_KLUDGES, SEP, CMD_POLL, CMD_TOSS, CMD_SCAN, CMD_AREAS, CMD_SETTINGS}) {
        if (id == SEP)
            tb_->addSeparator();
        else
            tb_->addAction(acts_[id]);
    }
    update_actions();
}

QAction* MainWindow::action(int id) const {
    auto it = acts_.find(id);
    return it == acts_.end() ? nullptr : it->second;
}

void MainWindow::update_actions() {
    if (acts_.empty()) return;  // before the menus exist
    bool area = cur_area_ >= 0;
    bool msg = area && cur_msg_ >= 0;
    bool idle = !jobs_.po_running;
    for (auto& [id, a] : acts_) {
        bool on = true;
        switch (id) {
            case CMD_NEW:
                // Bad and Dupes keep what came in; nothing is written there.
                on = area && eb_->ed_areas[cur_area_].AR_TYPE != AT_LOCAL;
                break;
            case CMD_MARKREAD:
            case CMD_NEXTUNREAD:
                on = area;
                break;
            case CMD_REPLY:
            case CMD_DELETE:
            case CMD_WHOLE:
                on = msg;
                break;
            case CMD_POLL:
            case CMD_POLLALL:
            case CMD_TOSS:
            case CMD_SCAN:
                on = idle;
                break;
            default:
                break;
        }
        a->setEnabled(on);
    }
    acts_[CMD_KLUDGES]->setChecked(show_kludges_);
    acts_[CMD_LOG]->setChecked(ws_.log != 0);
}

// ---- Layout and state ---------------------------------------------------------------

void MainWindow::layout_panes() {
    int w = central_->width(), h = central_->height();
    // The pane's wish, not isVisible(): before the window is first shown no
    // child counts as visible, and the pane would be laid out away.
    int log_h = PSTAT_H + (ws_.log ? LOG_H : 0);
    // The list's client width once placed: its width less the frame and the
    // vertical scroll bar.
    int chrome = 2 * list_->frameWidth() + list_->verticalScrollBar()->sizeHint().width();
    int split_x = std::max(std::min(ws_.split_x, w - 320), 140);
    Layout l = lay_compute(ws_, w, h, 0, 0, log_h, w - split_x - SPLW - chrome);
    auto place = [](QWidget* wd, const Rect& r) {
        wd->setGeometry(r.left, r.top, std::max(0, r.width()), std::max(0, r.height()));
    };
    place(tree_, l.tree);
    place(list_, l.list);
    place(reader_, l.reader);
    jobstat_->setGeometry(0, l.log_top, w, PSTAT_H);
    log_->setGeometry(0, l.log_top + PSTAT_H, w, LOG_H);
    list_->setColumnWidth(3, l.subject_width);
}

void MainWindow::show_sort() {
    // The header draws Qt's ascending order as a downward arrow; ours points
    // up for ascending (A at the top), down for descending.
    list_->horizontalHeader()->setSortIndicator(
        ws_.sort_col, ws_.sort_desc ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void MainWindow::track_norm() {
    if (isMaximized() || isMinimized()) return;
    QRect g = geometry();
    ws_.rc_norm = Rect{g.left(), g.top(), g.right() + 1, g.bottom() + 1};
}

void MainWindow::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    track_norm();
}

void MainWindow::moveEvent(QMoveEvent* e) {
    QMainWindow::moveEvent(e);
    track_norm();
}

void MainWindow::changeEvent(QEvent* e) {
    if (e->type() == QEvent::WindowStateChange) ws_.ws_max = isMaximized();
    QMainWindow::changeEvent(e);
}

void MainWindow::closeEvent(QCloseEvent* e) {
    // An unsaved draft is asked about before anything closes: its own
    // question, and "No" keeps both windows open.
    if (compose_ != nullptr && !compose_->close()) {
        e->ignore();
        return;
    }
    // Nothing outlives the main window: no poll starts after it, and the
    // other windows go with it.
    poll_timer_->stop();
    for (QWidget* w : findChildren<QWidget*>())
        if (w->isWindow() && w->isVisible()) w->close();
    for (int c = 0; c < 5; ++c) ws_.col_w[c] = list_->columnWidth(c);
    ws_.zoom = reader_->zoom_value();
    ws_save(ini_, ws_);
    e->accept();
}

bool MainWindow::polling() const {
    return poll_timer_->isActive();
}

QString MainWindow::status_text(int part) const {
    return st_[part]->text();
}

void MainWindow::set_info(const QString& text) {
    info_ = text.left(255);
    update_status();
}

void MainWindow::update_status() {
    int net = 0;
    if (cur_area_ >= 0 && eb_->ed_areas[cur_area_].AR_NET != AR_NONET)
        net = static_cast<int>(eb_->ed_areas[cur_area_].AR_NET);
    st_[0]->setText(qa("AKA ") +
                    (net < nets_.ed_net_count ? qa(nets_.ed_nets[net].NT_ADDR) : QString()));
    if (cur_area_ >= 0) {
        const EdArea& a = eb_->ed_areas[cur_area_];
        st_[1]->setText(qs(a.AR_TITLE) + QString::fromUtf16(u"  \u2013  ") +
                        QString::number(a.AR_TOTAL) + qs(w_nmsgs) + QString::number(a.AR_UNREAD) +
                        qs(w_unread));
    } else {
        st_[1]->setText(qs(w_noarea));
    }
    st_[2]->setText(info_);
    update_actions();
}

bool MainWindow::lock() {
    if (lock_acquire(lk_, ED_LOCK_MS, "wrenpost") == 0) return true;
    set_info(qs(w_locked));
    return false;
}

void MainWindow::unlock() {
    lock_release(lk_);
}

// ---- Tree ---------------------------------------------------------------------------

void MainWindow::fill_tree() {
    tree_rebuild_ = true;
    tree_->clear();
    auto item_for = [this](QTreeWidgetItem* parent, int a) {
        auto* it = new QTreeWidgetItem(parent);
        it->setData(0, Qt::UserRole, a);
        eb_->ed_areas[a].AR_HITEM = it;
        return it;
    };
    auto root = [this](const QString& text, int value) {
        auto* it = new QTreeWidgetItem(tree_);
        it->setText(0, text);
        it->setData(0, Qt::UserRole, value);
        QFont f = it->font(0);
        f.setBold(true);
        it->setFont(0, f);
        return it;
    };
    for (int n = 0; n < nets_.ed_net_count; ++n) {
        char16_t t[160];
        net_root_text(nets_.ed_nets[n], t, 160);
        QTreeWidgetItem* r = root(qs(t), static_cast<int>(NET_PARAM) + n);
        nets_.ed_nets[n].NT_HITEM = r;
        for (int a = 0; a < eb_->ed_nareas; ++a)
            if (eb_->ed_areas[a].AR_NET == static_cast<uint32_t>(n)) item_for(r, a);
        r->setExpanded(true);
    }
    const uint32_t types[2] = {AT_ECHO, AT_LOCAL};
    const char16_t* titles[2] = {w_other, w_local};
    for (int g = 0; g < 2; ++g) {
        QTreeWidgetItem* r = nullptr;
        for (int a = 0; a < eb_->ed_nareas; ++a) {
            const EdArea& ar = eb_->ed_areas[a];
            if (ar.AR_NET != AR_NONET || ar.AR_TYPE != types[g]) continue;
            if (r == nullptr) r = root(qs(titles[g]), static_cast<int>(GROUP_PARAM));
            item_for(r, a);
        }
        if (r) r->setExpanded(true);
    }
    for (int a = 0; a < eb_->ed_nareas; ++a) refresh_area_item(a);
    tree_rebuild_ = false;
}

void MainWindow::refresh_area_item(int a) {
    auto* it = static_cast<QTreeWidgetItem*>(eb_->ed_areas[a].AR_HITEM);
    if (it == nullptr) return;
    char16_t t[160];
    area_item_text(eb_->ed_areas[a], t, 160);
    it->setText(0, qs(t));
    QFont f = it->font(0);
    f.setBold(eb_->ed_areas[a].AR_UNREAD > 0);
    it->setFont(0, f);
}

bool MainWindow::count_all() {
    if (!lock()) return false;
    count_areas(*eb_);
    unlock();
    for (int a = 0; a < eb_->ed_nareas; ++a) refresh_area_item(a);
    update_status();
    return true;
}

bool MainWindow::reload_cfg() {
    auto fresh = std::make_unique<Config>();
    if (load_config(*fresh, cfg_path_.c_str()) != 0) return false;
    g_cfg = *fresh;
    po_reinit(jobs_, g_cfg, now_local());
    uint32_t sum = area_list_sum(g_cfg);
    if (sum == area_sum_) return false;
    area_sum_ = sum;
    std::string path = cur_area_ >= 0 ? eb_->ed_areas[cur_area_].AR_PATH : "";
    uint32_t num = cur_msg_ >= 0 ? eb_->ej_msgs[cur_msg_].MS_NUM : 0;
    build_tables(g_cfg, *eb_, nets_);
    fill_tree();
    // The list and the reader belonged to the old table: empty until an area
    // of the new one is opened.
    cur_area_ = -1;
    cur_msg_ = -1;
    eb_->ej_count = 0;
    model_->reset();
    reader_->clear();
    for (int a = 0; a < eb_->ed_nareas; ++a)
        if (str_icmp(eb_->ed_areas[a].AR_PATH, path.c_str()) == 0) {
            want_num_ = num;
            tree_->setCurrentItem(static_cast<QTreeWidgetItem*>(eb_->ed_areas[a].AR_HITEM));
            return true;
        }
    if (eb_->ed_nareas > 0) {
        want_num_ = 0;
        tree_->setCurrentItem(static_cast<QTreeWidgetItem*>(eb_->ed_areas[0].AR_HITEM));
    }
    return true;
}

void MainWindow::reload_areas() {
    reload_cfg();
    if (count_all()) reload_current();
}

void MainWindow::reload_current() {
    if (cur_area_ < 0) return;
    // What the user sees, by message number: the table is read afresh and
    // its rows may move.
    uint32_t shown = cur_msg_ >= 0 ? eb_->ej_msgs[cur_msg_].MS_NUM : 0;
    int reader_top = reader_->model().top;
    int list_top = list_->verticalScrollBar()->value();
    std::vector<uint32_t> picked;
    for (const QModelIndex& ix : list_->selectionModel()->selectedRows())
        if (ix.row() < static_cast<int>(eb_->ej_count))
            picked.push_back(eb_->ej_msgs[eb_->ej_order[ix.row()]].MS_NUM);
    want_num_ = shown;
    open_area(cur_area_);
    if (picked.size() > 1) {
        QItemSelection sel;
        for (uint32_t r = 0; r < eb_->ej_count; ++r)
            if (std::find(picked.begin(), picked.end(), eb_->ej_msgs[eb_->ej_order[r]].MS_NUM) !=
                picked.end())
                sel.select(model_->index(static_cast<int>(r), 0),
                           model_->index(static_cast<int>(r), model_->columnCount() - 1));
        list_->selectionModel()->select(
            sel, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    list_->verticalScrollBar()->setValue(list_top);
    if (shown != 0 && cur_msg_ >= 0 && eb_->ej_msgs[cur_msg_].MS_NUM == shown)
        reader_->scroll_to(reader_top);
}

// ---- Areas and messages ---------------------------------------------------------------

void MainWindow::open_start(const char* tag, uint32_t number) {
    int area = 0;
    for (int a = 0; tag != nullptr && tag[0] && a < eb_->ed_nareas; ++a)
        if (str_icmp(eb_->ed_areas[a].AR_TAG, tag) == 0) {
            area = a;
            break;
        }
    if (area >= eb_->ed_nareas) return;
    want_num_ = number;
    tree_->setCurrentItem(static_cast<QTreeWidgetItem*>(eb_->ed_areas[area].AR_HITEM));
    want_num_ = 0;
    // The keys belong to the messages: a Down right after the start goes to
    // the next message, not to the next area.
    list_->setFocus();
}

void MainWindow::open_area(int area) {
    cur_area_ = area;
    cur_msg_ = -1;
    lastread_warned_ = false;
    reader_->clear();
    if (!lock()) {
        eb_->ej_count = 0;
        model_->reset();
        update_status();
        return;
    }
    int r = ej_load_area(*eb_, area);
    unlock();
    set_info(qs(r == 0 ? w_ready : w_badbase));
    ej_sort(*eb_, ws_.sort_col, ws_.sort_desc);
    model_->reset();
    refresh_area_item(area);
    update_status();
    int row = pick_row(*eb_, want_num_);
    want_num_ = 0;
    if (row >= 0) select_row(row);
    update_actions();
}

void MainWindow::select_row(int row) {
    // Straight to the selection model: the view's own selectRow() would
    // read the keys held down, and the Ctrl of Ctrl+S (saving) or Ctrl+U
    // would toggle the row off again.
    QModelIndex ix = model_->index(row, 0);
    list_->selectionModel()->setCurrentIndex(
        ix, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list_->scrollTo(ix);
}

void MainWindow::show_msg(int row) {
    if (row < 0 || row >= static_cast<int>(eb_->ej_count)) return;
    cur_msg_ = static_cast<int>(eb_->ej_order[row]);
    if (!lock()) return;
    Reader& r = reader_->model();
    header_lines(*eb_, static_cast<uint32_t>(row), r.rd_hdr);
    uint32_t len = 0;
    const char* text = ej_get_text(*eb_, static_cast<uint32_t>(cur_msg_), len);
    const EdMsg& m = eb_->ej_msgs[cur_msg_];
    uint32_t sflen = 0;
    const uint8_t* sf = ej_sf_block(*eb_, static_cast<uint32_t>(cur_msg_), sflen);
    reader_->render(text ? text : "", len, sf, sflen, show_kludges_);
    bool saved = ej_set_lastread(*eb_, cur_area_, m.MS_NUM);
    eb_->ed_areas[cur_area_].AR_UNREAD = recount_unread(*eb_);
    unlock();
    if (!saved) lastread_failed();
    refresh_area_item(cur_area_);
    model_->repaint_all();
    update_status();
    update_actions();
}

void MainWindow::mark_read() {
    if (!lock()) return;
    EdArea& a = eb_->ed_areas[cur_area_];
    uint32_t mark = a.AR_HIGH;
    for (uint32_t i = 0; i < eb_->ej_count; ++i) mark = std::max(mark, eb_->ej_msgs[i].MS_NUM);
    bool saved = ej_set_lastread(*eb_, cur_area_, mark);
    unlock();
    if (!saved) {
        lastread_failed();
        return;
    }
    a.AR_UNREAD = recount_unread(*eb_);
    refresh_area_item(cur_area_);
    model_->repaint_all();
    set_info(qs(w_marked));
}

void MainWindow::show_whole() {
    if (cur_msg_ < 0) {
        set_info(qs(w_needmsg));
        return;
    }
    if (!lock()) return;
    auto entry = static_cast<uint32_t>(cur_msg_);
    uint32_t len = 0;
    const char* text = ej_get_text(*eb_, entry, len);
    int cs = ej_charset(*eb_, entry, text, len);
    // Lines end in CR; kludge lines (^A) only when the reader shows them.
    std::string body;
    for (uint32_t i = 0; text != nullptr && i < len;) {
        uint32_t end = i;
        while (end < len && text[end] != '\r' && text[end] != '\n') ++end;
        if (show_kludges_ || text[i] != '\x01') body.append(text + i, end - i).push_back('\n');
        i = end + 1;
        if (end < len && text[end] == '\r' && i < len && text[i] == '\n') ++i;
    }
    unlock();
    auto* v = new QPlainTextEdit(this);
    v->setWindowFlag(Qt::Window);
    v->setAttribute(Qt::WA_DeleteOnClose);
    v->setReadOnly(true);
    v->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setStyleHint(QFont::Monospace);
    v->setFont(mono);
    v->setWindowTitle(qs(t_all) + QString::fromUtf16(u" \u2013 ") + qs(reader_->model().rd_hdr[2]));
    v->setPlainText(qs(cs_decode(cs, body.data(), body.size())));
    v->resize(860, 640);
    v->show();
}

void MainWindow::lastread_failed() {
    set_info(qs(w_lrfail));
    // Once per opened area: every message shown would otherwise ask again.
    if (lastread_warned_) return;
    lastread_warned_ = true;
    warning(this, qa("wrenpost"),
            qs(e_lastread) + QString::fromLocal8Bit(eb_->ed_areas[cur_area_].AR_PATH) + qa(".jlr"));
}

void MainWindow::next_unread() {
    int from = -1;
    for (uint32_t r = 0; cur_msg_ >= 0 && r < eb_->ej_count; ++r)
        if (static_cast<int>(eb_->ej_order[r]) == cur_msg_) from = static_cast<int>(r);
    int row = next_unread_row(*eb_, from);
    if (row < 0) {
        set_info(qs(w_nonext));
        return;
    }
    select_row(row);
}

void MainWindow::del_selected() {
    QModelIndexList rows = list_->selectionModel()->selectedRows();
    int n = rows.size();
    if (n == 0 || n > static_cast<int>(eb_->ej_count)) {
        set_info(qs(w_needmsg));
        return;
    }
    std::unique_ptr<bool[]> sel(new bool[eb_->ej_count]());
    for (const QModelIndex& ix : rows) sel[ix.row()] = true;
    std::vector<uint32_t> entries;
    for (uint32_t r = 0; r < eb_->ej_count; ++r)
        if (sel[r]) entries.push_back(eb_->ej_order[r]);
    uint32_t after = number_after_delete(*eb_, sel.get());
    QString q =
        qs(w_delq_a) + QString::number(n) + qs(n == 1 ? w_delq_1 : w_delq_n) + qs(w_delq_info);
    if (!question(this, qs(w_del_title), q)) return;
    if (!lock()) return;
    int r = ej_delete(*eb_, cur_area_, entries.data(), static_cast<int>(entries.size()));
    unlock();
    if (r < 0) {
        set_info(qs(w_delfail));
        return;
    }
    want_num_ = after;
    open_area(cur_area_);
    set_info(QString::number(r) + qs(r == 1 ? w_deld_1 : w_deld_n));
}

void MainWindow::do_command(int id) {
    switch (id) {
        case CMD_EXIT:
            close();
            return;
        case CMD_RELOAD:
            if (!count_all()) return;
            reload_current();
            set_info(qs(w_reloaded));
            return;
        case CMD_KLUDGES:
            show_kludges_ = !show_kludges_;
            update_actions();
            if (cur_msg_ >= 0) {
                for (uint32_t r = 0; r < eb_->ej_count; ++r)
                    if (static_cast<int>(eb_->ej_order[r]) == cur_msg_)
                        show_msg(static_cast<int>(r));
            }
            return;
        case CMD_ABOUT:
            about(this, qa("wrenpost"), qs(w_about));
            return;
        case CMD_NETMAIL: {
            if (compose_) {
                compose_->raise();
                compose_->activateWindow();
                return;
            }
            compose_ = new ComposeWindow(this, *eb_, nets_, lk_, CM_NETMAIL, cur_area_, -1);
            show_compose();
            return;
        }
        case CMD_SETTINGS:
            if (settings_ == nullptr) {
                bool ok = false;
                settings_ = new SettingsWindow(this, ok);
                if (!ok) {
                    delete settings_;
                    settings_ = nullptr;
                    warning(this, qa("wrenpost"), qs(e_read));
                    return;
                }
                connect(settings_, &QObject::destroyed, this, [this] { settings_ = nullptr; });
            }
            settings_->show();
            settings_->raise();
            return;
        case CMD_AREAS:
            if (areas_ == nullptr) {
                areas_ = new AreasWindow(this);
                connect(areas_, &QObject::destroyed, this, [this] { areas_ = nullptr; });
            }
            areas_->show();
            areas_->raise();
            return;
        case CMD_LOG:
            ws_.log = !ws_.log;
            log_->setVisible(ws_.log);
            update_actions();
            layout_panes();
            return;
        case CMD_ZOOMIN:
            reader_->zoom(1);
            return;
        case CMD_ZOOMOUT:
            reader_->zoom(-1);
            return;
        case CMD_ZOOMFIT:
            reader_->zoom(0);
            return;
        case CMD_PAGE:
            reader_->page();
            return;
        case CMD_POLL:
            po_start(K_ALL, area_slot(cur_area_), false);
            return;
        case CMD_POLLALL:
            po_start(K_ALL, -1, false);
            return;
        case CMD_TOSS:
            po_start(K_TOSS, -1, false);
            return;
        case CMD_SCAN:
            po_start(K_SCAN, -1, false);
            return;
        default:
            break;
    }
    if (cur_area_ < 0) {
        set_info(qs(w_needarea));
        return;
    }
    switch (id) {
        case CMD_MARKREAD:
            mark_read();
            return;
        case CMD_NEXTUNREAD:
            next_unread();
            return;
        case CMD_DELETE:
            del_selected();
            return;
        case CMD_WHOLE:
            show_whole();
            return;
        case CMD_NEW:
        case CMD_REPLY:
            break;
        default:
            return;
    }
    // One message is written at a time: its window comes to the front.
    if (compose_ != nullptr) {
        compose_->raise();
        compose_->activateWindow();
        return;
    }
    if (id == CMD_NEW) {
        uint32_t type = eb_->ed_areas[cur_area_].AR_TYPE;
        int mode = type == AT_NET ? CM_NETMAIL : CM_ECHO;
        if (mode == CM_ECHO && type != AT_ECHO) {
            warning(this, qa("wrenpost"), qs(e_noecho));
            return;
        }
        compose_ = new ComposeWindow(this, *eb_, nets_, lk_, mode, cur_area_, -1);
    } else {
        if (cur_msg_ < 0) {
            set_info(qs(w_needmsg));
            return;
        }
        if (eb_->ed_areas[cur_area_].AR_TYPE == AT_LOCAL) {
            warning(this, qa("wrenpost"), qs(e_noecho));
            return;
        }
        compose_ = new ComposeWindow(this, *eb_, nets_, lk_, CM_REPLY, cur_area_, cur_msg_);
    }
    show_compose();
}

void MainWindow::show_compose() {
    // Back to the messages; not when the compose window goes down with this
    // one (the list may be gone already).
    connect(compose_, &QObject::destroyed, this, [this, list = QPointer<QTableView>(list_)] {
        compose_ = nullptr;
        if (list) list->setFocus();
    });
    connect(compose_, &ComposeWindow::saved, this, [this](uint32_t num, int area) {
        // One's own message is no news: when everything before it was read,
        // the read mark moves past it. Unread messages below it keep the
        // mark where it is (they would be marked read with it).
        EdArea& a = eb_->ed_areas[area];
        if (a.AR_UNREAD == 1 && a.AR_HIGH == num && lock()) {
            bool marked = ej_set_lastread(*eb_, area, num);
            unlock();
            if (marked) a.AR_UNREAD = 0;
        }
        refresh_area_item(area);
        if (area == cur_area_) reload_current();
        set_info(qs(w_saved1) + QString::number(num) + qs(ecompose_w_saved2) +
                 qs(eb_->ed_areas[area].AR_TITLE) + qs(w_saved3));
    });
    compose_->show();
}

// ---- Jobs ---------------------------------------------------------------------------

int MainWindow::area_slot(int area) const {
    if (area < 0 || !jobs_.sections) return -1;
    uint32_t net = eb_->ed_areas[area].AR_NET;
    if (net == AR_NONET || static_cast<int>(net) >= nets_.ed_net_count) return -1;
    for (size_t s = 0; s < jobs_.ap_slots.size(); ++s)
        if (jobs_.ap_slots[s].name == nets_.ed_nets[net].NT_SECT) return static_cast<int>(s);
    return -1;
}

void MainWindow::glog(const QString& text) {
    po_logline(qs(glog_line(now_local(), text.toStdU16String())));
}

void MainWindow::po_logline(const QString& line) {
    po_flush();
    log_->appendPlainText(line);
    log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void MainWindow::po_flush() {
    std::deque<QString> lines;
    {
        std::lock_guard<std::mutex> g(pend_mu_);
        lines.swap(pend_);
    }
    if (lines.empty()) return;
    // One write per batch: a line at a time, a job printing fast would keep
    // the window from its keys for seconds.
    QString text;
    for (const QString& l : lines) {
        if (!text.isEmpty()) text += QLatin1Char('\n');
        text += l;
    }
    log_->appendPlainText(text);
    log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

bool MainWindow::po_start(int kind, int slot, bool autostart) {
    if (jobs_.po_running) {
        set_info(qs(w_busy));
        return false;
    }
    std::string exe;
    if (!po_exe(exe)) {
        set_info(qs(w_noexe));
        glog(qs(w_noexe));
        return false;
    }
    std::vector<std::string> argv =
        po_argv(jobs_, exe.c_str(), cfg_path_.c_str(), g_lang, kind, slot);
    glog(qa(m_start) + QString::fromLatin1(po_what(jobs_, kind, slot).c_str()) +
         (autostart ? qa(m_auto) : QString()));
    PfChild child;
    if (pf_spawn(argv, child) != 0) {
        set_info(qs(w_spawnerr));
        return false;
    }
    po_started(jobs_, kind, slot, autostart, now_local());
    if (worker_.joinable()) worker_.join();
    // The worker queues each line for the log timer (a short lock, never a
    // wait for the window), so a window closing while a job runs only waits
    // for the child to end.
    log_timer_->start();
    worker_ = std::thread([this, child]() mutable {
        int code = job_pump(child, [this](const std::string& line) {
            QString l = qs(child_line(line));
            std::lock_guard<std::mutex> g(pend_mu_);
            pend_.push_back(std::move(l));
            if (pend_.size() > static_cast<size_t>(LOG_KEEP)) pend_.pop_front();
        });
        QMetaObject::invokeMethod(
            this, [this, code] { po_done(code); }, Qt::QueuedConnection);
    });
    set_info(qs(w_started));
    show_job_status();
    return true;
}

void MainWindow::po_done(int code) {
    if (worker_.joinable()) worker_.join();
    log_timer_->stop();
    po_flush();
    int kind = jobs_.run_kind;
    ::po_done(jobs_, code, now_local());
    glog(qa(m_end) + QString::number(code));
    reload_cfg();
    if (count_all()) reload_current();
    if (areas_ != nullptr) areas_->am_load();
    set_info(qs(kind_text(kind)) + qs(w_fin) + qs(res_text(code)));
    show_job_status();
    Q_EMIT job_finished(code);
}

void MainWindow::po_tick() {
    int due = po_due(jobs_, now_local());
    if (due >= 0 && po_start(K_ALL, jobs_.sections ? due : -1, true))
        po_auto_started(jobs_, due, now_local());
    show_job_status();
}

void MainWindow::show_job_status() {
    QString s = qs(po_status(jobs_));
    if (jobstat_->text() != s) jobstat_->setText(s);
    set_role(jobstat_, QPalette::WindowText, jobs_.po_running ? JOB_BUSY : JOB_IDLE);
    update_actions();
}
