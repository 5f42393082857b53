#include "editor/gui/areas_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <cstring>
#include <functional>

#include "config/cfgedit.h"
#include "config/config.h"
#include "core/cp437.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "editor/messages.h"

namespace {

constexpr int REQ_MAX = 8176;

// A code page 437 text of the area table.
QString cp(const char* s) {
    char16_t w[128];
    cp_to_wide(s, std::strlen(s), w, 128);
    return qs(w);
}

}  // namespace

AreasWindow::AreasWindow(MainWindow* main) : QWidget(main, Qt::Window), main_(main) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(qs(t_areas));
    setFixedSize(760, 620);
    move(120, 30);
    auto place = [this](QWidget* w, int x, int y, int wd, int h) {
        w->setParent(this);
        w->setGeometry(x, y, wd, h);
        return w;
    };
    place(new QLabel(qs(a_boss)), 16, 18, 56, 22);
    boss_ = new QComboBox;
    place(boss_, 76, 14, 180, 26);
    for (int n = 0; n < main_->nets().ed_net_count; ++n)
        boss_->addItem(qa(main_->nets().ed_nets[n].NT_NAME));
    info_ = new QLabel;
    info_->setStyleSheet(qa("color: #80C0E0;"));
    place(info_, 270, 18, 474, 22);
    list_ = new QTreeWidget;
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setHeaderLabels({qs(a_col_tag), qs(a_col_desc), qs(a_col_state), qs(a_col_local)});
    const int widths[4] = {170, 316, 154, 64};
    for (int c = 0; c < 4; ++c) list_->setColumnWidth(c, widths[c]);
    place(list_, 16, 48, 728, 262);
    struct Btn {
        const char16_t* text;
        int x, y, w;
        std::function<void()> act;
    } btns[] = {
        {a_b_list, 16, 320, 120, [this] { add_command(qa("%LIST")); }},
        {a_b_linked, 144, 320, 172,
         [this] {
             const BossCfg bc = cfg_boss(g_cfg, boss_index());
             add_command(QString::fromLatin1(bc.get(F_AFQUERY)).left(60));
         }},
        {a_b_help, 324, 320, 108, [this] { add_command(qa("%HELP")); }},
        {a_b_rescan, 440, 320, 152, [this] { rescan(); }},
        {a_b_read, 600, 320, 144, [this] { am_load(); }},
        {a_b_sub, 16, 358, 120, [this] { subscribe(true); }},
        {a_b_unsub, 144, 358, 172, [this] { subscribe(false); }},
        {a_b_make, 16, 580, 170, [this] { create(false); }},
        {a_b_send, 194, 580, 190, [this] { create(true); }},
        {a_b_close, 624, 580, 120, [this] { close(); }},
    };
    for (auto& b : btns) {
        auto* p = new QPushButton(qs(b.text));
        place(p, b.x, b.y, b.w, 30);
        connect(p, &QPushButton::clicked, this, b.act);
    }
    rescan_ = new QCheckBox(qs(a_c_rescan));
    place(rescan_, 338, 362, 150, 24);
    rvalue_ = new QLineEdit(qa("50"));
    rvalue_->setMaxLength(4);
    rvalue_->setValidator(new QIntValidator(0, 9999, rvalue_));
    place(rvalue_, 492, 361, 60, 24);
    place(new QLabel(qs(a_l_req)), 16, 400, 728, 20);
    req_ = new QPlainTextEdit;
    place(req_, 16, 422, 728, 88);
    auto* hint = new QLabel(qs(a_hint));
    hint->setWordWrap(true);
    hint->setStyleSheet(qa("color: #FFDD66;"));
    place(hint, 16, 516, 728, 36);
    status_ = new QLabel;
    status_->setStyleSheet(qa("color: #90C090;"));
    place(status_, 16, 554, 728, 20);
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, &QWidget::close);

    // The network of the main window's open area, else the first.
    int sel = 0;
    if (main_->cur_area() >= 0) {
        uint32_t n = main_->base().ed_areas[main_->cur_area()].AR_NET;
        if (n != AR_NONET && static_cast<int>(n) < main_->nets().ed_net_count)
            sel = static_cast<int>(n);
    }
    boss_->setCurrentIndex(sel);
    connect(boss_, &QComboBox::currentIndexChanged, this, [this] { am_load(); });
    am_load();
}

QString AreasWindow::status() const {
    return status_->text();
}

QString AreasWindow::info() const {
    return info_->text();
}

int AreasWindow::boss_index() const {
    int n = boss_->currentIndex();
    if (n < 0 || n >= main_->nets().ed_net_count) return -1;
    return cfg_find(g_cfg, main_->nets().ed_nets[n].NT_SECT);
}

bool AreasWindow::is_local(const char* tag) const {
    int b = boss_index();
    for (int a = 0; a < g_cfg.area_count; ++a) {
        int net = g_cfg.area_nets[a];
        if ((b < 0 || net == b || net < 0) && str_icmp(g_cfg.area_tags[a], tag) == 0) return true;
    }
    return false;
}

void AreasWindow::am_load() {
    int b = boss_index();
    const BossCfg bc = cfg_boss(g_cfg, b);
    std::string netmail = bc.get(F_NETMAIL);
    std::string cache = af_cache_path(g_cfg.path, bc.name);
    af_clear(table_);
    af_load_cache(table_, cache.c_str());
    bool locked = false;
    int replies = 0;
    if (!netmail.empty()) {
        JamLock lk;
        lock_set_cfg(lk, g_cfg.path);
        if (lock_acquire(lk, 2000, "wrenpost") == 0) {
            replies = af_scan_base(table_, netmail.c_str());
            lock_release(lk);
        } else {
            locked = true;
        }
    }
    af_sort(table_);
    if (!locked) af_save_cache(table_, cache.c_str());
    for (int a = 0; a < g_cfg.area_count; ++a) {
        int net = g_cfg.area_nets[a];
        if (b < 0 || net == b || net < 0) af_get(table_, g_cfg.area_tags[a]);
    }
    af_sort(table_);

    info_->setText(qa(bc.get(F_AFNAME)) + qa(" @ ") + qa(bc.get(F_BOSSADDR)) +
                   QString::fromUtf16(u"  \u00b7  ") + qs(bc.get(F_AFPWD)[0] ? a_pw1 : a_pw0));
    list_->setUpdatesEnabled(false);
    list_->clear();
    int linked = 0;
    for (const AfArea& e : table_.areas) {
        auto* it = new QTreeWidgetItem(list_);
        it->setText(0, cp(e.AF_TAG));
        it->setText(1, cp(e.AF_DESC));
        it->setText(2, qs(e.AF_STATE == AFS_LINKED     ? a_st1
                          : e.AF_STATE == AFS_UNLINKED ? a_st2
                                                       : a_st0));
        if (is_local(e.AF_TAG)) it->setText(3, qs(a_yes));
        linked += e.AF_STATE == AFS_LINKED;
    }
    list_->setUpdatesEnabled(true);
    if (netmail.empty())
        status_->setText(qs(a_nonet));
    else if (locked)
        status_->setText(qs(a_cache));
    else if (replies == 0)
        status_->setText(qs(a_none));
    else
        status_->setText(QString::number(table_.areas.size()) + qs(a_cnt1) +
                         QString::number(linked) + qs(a_cnt2) + QString::number(replies) +
                         qs(a_cnt3));
}

void AreasWindow::add_command(const QString& cmd) {
    QString t = req_->toPlainText();
    QTextCursor c = req_->textCursor();
    if (!t.isEmpty() && !t.endsWith(QLatin1Char('\n'))) c.insertText(qa("\n"));
    c.insertText(cmd + qa("\n"));
    req_->setTextCursor(c);
}

void AreasWindow::rescan() {
    QString r = qa("%RESCAN");
    if (rescan_->isChecked())
        r += qa(" R=") + (rvalue_->text().isEmpty() ? qa("50") : rvalue_->text());
    add_command(r);
}

void AreasWindow::subscribe(bool add) {
    QList<QTreeWidgetItem*> rows;
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        if (list_->topLevelItem(i)->isSelected()) rows.push_back(list_->topLevelItem(i));
    if (rows.isEmpty()) {
        status_->setText(qs(a_nosel));
        return;
    }
    QString removed;
    for (QTreeWidgetItem* it : rows) {
        QString tag = it->text(0);
        if (add) {
            QString line = qa("+") + tag;
            if (rescan_->isChecked())
                line += qa(",R=") + (rvalue_->text().isEmpty() ? qa("50") : rvalue_->text());
            add_command(line);
            continue;
        }
        add_command(qa("-") + tag);
        std::string t = tag.toLatin1().toStdString();
        if (!is_local(t.c_str())) continue;
        if (!question(this, qs(a_qtitle), qs(a_q1) + tag + qs(a_q2))) continue;
        if (af_cfg_del_area(g_cfg.path, t.c_str()) > 0) {
            removed = qs(a_removed) + tag;
            status_->setText(removed);
        }
    }
    if (!removed.isEmpty()) {
        main_->reload_areas();
        am_load();
        status_->setText(removed);
    }
}

bool AreasWindow::create(bool poll) {
    QString text = req_->toPlainText();
    bool any = false;
    for (QChar c : text) any = any || c.unicode() > 32;
    if (!any) {
        status_->setText(qs(a_empty));
        return false;
    }
    std::u16string w = text.left(REQ_MAX).toStdU16String();
    std::string cmds(w.size() + 1, '\0');
    wide_to_cp(w.c_str(), cmds.data(), std::min<size_t>(cmds.size(), 8193));
    cmds.resize(std::strlen(cmds.c_str()));
    JamLock lk;
    lock_set_cfg(lk, g_cfg.path);
    if (lock_acquire(lk, 3000, "wrenpost") != 0) {
        status_->setText(qs(a_locked));
        std::fill(cmds.begin(), cmds.end(), '\0');
        return false;
    }
    int b = boss_index();
    AfReqResult r =
        af_request(writer_, g_cfg, b, cmds.c_str(), static_cast<uint32_t>(unix_now_local()));
    lock_release(lk);
    std::fill(cmds.begin(), cmds.end(), '\0');
    if (r == AfReqResult::NoNetmail) {
        status_->setText(qs(a_nonet));
        return false;
    }
    if (r == AfReqResult::Failed || r == AfReqResult::NoSerial) {
        status_->setText(qs(r == AfReqResult::Failed ? a_wfail : e_serial));
        return false;
    }
    req_->clear();
    status_->setText(qs(a_made1) + QString::number(writer_.msgnum) + qs(poll ? a_made3 : a_made2));
    main_->reload_areas();
    if (poll) main_->po_start(K_ALL, b < 0 ? -1 : b, false);
    return true;
}

void AreasWindow::closeEvent(QCloseEvent* e) {
    req_->clear();
    e->accept();
    if (parentWidget()) parentWidget()->activateWindow();
}
