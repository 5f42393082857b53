#include "editor/gui/settings_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>
#include <cstring>

#include "config/config.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "editor/messages.h"
#include "editor/winstate.h"

namespace {

std::u16string u16(const QString& s) {
    return s.toStdU16String();
}

const char* global_address() {
    return cfg_raw(g_cfg, -1, F_ADDRESS);  // the address has no default and is no path
}

}  // namespace

SettingsWindow::SettingsWindow(MainWindow* main, bool& ok)
    : QWidget(main, Qt::Window), main_(main), e_(std::make_unique<CfgEdit>()) {
    setAttribute(Qt::WA_DeleteOnClose);
    ok = st_scan(*e_, g_cfg.path) == CfgResult::Ok;
    if (!ok) return;
    // The auto-poll state comes from the running editor, not from the file.
    const Jobs& jobs = main_->jobs();
    for (int i = 0; i < e_->nslots && i < static_cast<int>(jobs.ap_slots.size()); ++i) {
        Slot& s = e_->slots[i];
        s.ap_on0 = s.ap_on = jobs.ap_slots[i].ap_on;
        s.ap_min0 = s.ap_min = jobs.ap_slots[i].ap_min;
    }
    setWindowTitle(qs(t_set));

    auto* top = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel(qs(l_boss)));
    list_ = new QListWidget;
    left->addWidget(list_);
    auto* bnew = new QPushButton(qs(b_new));
    auto* bdel = new QPushButton(qs(b_del));
    left->addWidget(bnew);
    left->addWidget(bdel);
    bnew->setEnabled(!e_->single);
    bdel->setEnabled(!e_->single);
    top->addLayout(left, 1);

    // The form scrolls when the screen is too low for it; Save and Cancel
    // stay below it, always in reach.
    auto* form = new QWidget;
    auto* right = new QVBoxLayout(form);
    right->setContentsMargins(0, 0, 0, 0);
    auto* grid = new QGridLayout;
    int row = 0;
    auto line = [&](const char16_t* label, QLineEdit*& edit, int max) {
        edit = new QLineEdit;
        edit->setMaxLength(max);
        grid->addWidget(new QLabel(qs(label)), row, 0);
        grid->addWidget(edit, row++, 1, 1, 2);
    };
    line(l_newname, section_, ST_SECT_MAX);
    line(esettings_l_addr, fields_[SK_ADDRESS], ST_FIELD_MAX);
    line(l_baddr, fields_[SK_BOSSADDR], ST_FIELD_MAX);
    line(l_host, fields_[SK_HOST], ST_FIELD_MAX);
    line(l_port, fields_[SK_PORT], 5);
    cram_ = new QComboBox;
    cram_->addItems({qs(l_cram0), qs(l_cram1), qs(l_cram2)});
    grid->addWidget(new QLabel(qs(l_cram)), row, 0);
    grid->addWidget(cram_, row++, 1, 1, 2);
    line(l_pw, pw_, ST_PW_MAX);
    pw_->setEchoMode(QLineEdit::Password);
    pw_state_ = new QLabel;
    grid->addWidget(pw_state_, row++, 1, 1, 2);
    line(l_in, fields_[SK_INBOUND], ST_FIELD_MAX);
    line(l_out, fields_[SK_OUTBOUND], ST_FIELD_MAX);
    line(l_net, fields_[SK_NETMAIL], ST_FIELD_MAX);
    line(l_nname, fields_[SK_NETNAME], ST_FIELD_MAX);
    line(l_afname, fields_[SK_AFNAME], ST_AFNAME_MAX);
    line(l_afpw, afpw_, ST_PW_MAX);
    afpw_->setEchoMode(QLineEdit::Password);
    afpw_state_ = new QLabel;
    grid->addWidget(afpw_state_, row++, 1, 1, 2);
    ap_on_ = new QCheckBox(qs(l_on));
    grid->addWidget(ap_on_, row++, 1, 1, 2);
    interval_ = new QLineEdit;
    interval_->setMaxLength(6);
    unit_ = new QComboBox;
    unit_->addItems({qs(l_unit_m), qs(l_unit_h)});
    grid->addWidget(new QLabel(qs(l_int)), row, 0);
    grid->addWidget(interval_, row, 1);
    grid->addWidget(unit_, row++, 2);
    autoc_ = new QCheckBox(qs(l_autoc));
    movebad_ = new QCheckBox(qs(l_movebad));
    grid->addWidget(new QLabel(qs(l_newareas)), row, 0);
    grid->addWidget(autoc_, row, 1);
    grid->addWidget(movebad_, row++, 2);
    nr_ = new QCheckBox(qs(l_nr));
    grid->addWidget(nr_, row++, 1, 1, 2);
    right->addLayout(grid);

    auto* own_box = new QGroupBox(qs(l_bossgrp));
    auto* og = new QGridLayout(own_box);
    own_ = new QCheckBox(qs(l_own));
    og->addWidget(own_, 0, 0, 1, 2);
    fields_[SK_SYSOP] = new QLineEdit;
    fields_[SK_SYSOP]->setMaxLength(ST_NAME_MAX);
    fields_[SK_SYSTEM] = new QLineEdit;
    fields_[SK_SYSTEM]->setMaxLength(65);
    og->addWidget(new QLabel(qs(l_osysop)), 1, 0);
    og->addWidget(fields_[SK_SYSOP], 1, 1);
    og->addWidget(new QLabel(qs(l_osystem)), 2, 0);
    og->addWidget(fields_[SK_SYSTEM], 2, 1);
    olen_ = new QLabel;
    og->addWidget(olen_, 3, 0, 1, 2);
    auto* ownhint = new QLabel(qs(l_ownhint));
    ownhint->setWordWrap(true);
    og->addWidget(ownhint, 4, 0, 1, 2);
    own_box->setEnabled(!e_->single);
    right->addWidget(own_box);

    auto* sys_box = new QGroupBox(qs(l_sysgrp));
    auto* sg = new QGridLayout(sys_box);
    gsysop_ = new QLineEdit(qa(e_->gsysop_new));
    gsysop_->setMaxLength(ST_NAME_MAX);
    gsystem_ = new QLineEdit(qa(e_->gsystem_new));
    gsystem_->setMaxLength(65);
    sg->addWidget(new QLabel(qs(l_gsysop)), 0, 0);
    sg->addWidget(gsysop_, 0, 1);
    sg->addWidget(new QLabel(qs(l_gsystem)), 1, 0);
    sg->addWidget(gsystem_, 1, 1);
    lang_ = new QComboBox;
    lang_->addItems({qs(l_lang0), qs(l_lang1), qs(l_lang2)});
    int cl = cfg_lang(g_cfg.path);
    lang0_ = cl == 1 || cl == 2 ? cl : 0;
    lang_->setCurrentIndex(lang0_);
    sg->addWidget(new QLabel(qs(l_lang)), 2, 0);
    sg->addWidget(lang_, 2, 1);
    sg->addWidget(new QLabel(qs(l_langnote)), 3, 0, 1, 2);
    right->addWidget(sys_box);

    auto* hint = new QLabel(qs(l_hint));
    hint->setWordWrap(true);
    hint->setStyleSheet(qa("color: #FFDD66;"));
    right->addWidget(hint);
    scroll_ = new QScrollArea;
    scroll_->setWidget(form);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    auto* side = new QVBoxLayout;
    side->addWidget(scroll_);
    auto* buttons = new QHBoxLayout;
    save_ = new QPushButton(qs(b_ok));
    auto* bsave = save_;
    cancel_ = new QPushButton(qs(esettings_b_cancel));
    auto* bcancel = cancel_;
    buttons->addStretch();
    buttons->addWidget(bsave);
    buttons->addWidget(bcancel);
    side->addLayout(buttons);
    top->addLayout(side, 4);
    place();

    connect(bnew, &QPushButton::clicked, this, [this] { new_boss(); });
    connect(bdel, &QPushButton::clicked, this, [this] { delete_boss(); });
    connect(bsave, &QPushButton::clicked, this, [this] { save(); });
    connect(bcancel, &QPushButton::clicked, this, &QWidget::close);
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, &QWidget::close);
    connect(list_, &QListWidget::currentRowChanged, this, [this](int r) {
        if (filling_ || r < 0) return;
        int slot = list_->item(r)->data(Qt::UserRole).toInt();
        if (slot != cur_ && !select_boss(slot)) {
            QSignalBlocker b(list_);
            for (int k = 0; k < list_->count(); ++k)
                if (list_->item(k)->data(Qt::UserRole).toInt() == cur_) list_->setCurrentRow(k);
        }
    });
    connect(pw_, &QLineEdit::textChanged, this, [this] { update_pw_state(); });
    connect(afpw_, &QLineEdit::textChanged, this, [this] { update_pw_state(); });
    connect(own_, &QCheckBox::toggled, this, [this](bool on) {
        fields_[SK_SYSOP]->setEnabled(on);
        fields_[SK_SYSTEM]->setEnabled(on);
        if (!on) {
            fields_[SK_SYSOP]->setText(gsysop_->text());
            fields_[SK_SYSTEM]->setText(gsystem_->text());
        }
    });
    connect(gsysop_, &QLineEdit::textEdited, this, [this](const QString& t) {
        if (!own_->isChecked()) fields_[SK_SYSOP]->setText(t);
    });
    connect(gsystem_, &QLineEdit::textEdited, this, [this](const QString& t) {
        if (!own_->isChecked()) fields_[SK_SYSTEM]->setText(t);
    });
    connect(fields_[SK_ADDRESS], &QLineEdit::textChanged, this, [this] { update_origin(); });
    fill_list();
    show_slot(0);
}

void SettingsWindow::place() {
    QScreen* scr = main_->screen() ? main_->screen() : QGuiApplication::primaryScreen();
    QRect a = scr ? scr->availableGeometry() : QRect(0, 0, 1366, 728);
    // What the frame adds is known once a window is shown; the main window's
    // tells it before this one is.
    int fw = std::max(0, main_->frameGeometry().width() - main_->geometry().width());
    int fh = std::max(0, main_->frameGeometry().height() - main_->geometry().height());
    Rect r = settings_place(Rect{a.left(), a.top(), a.right() + 1, a.bottom() + 1}, fw, fh);
    resize(std::max(0, r.width() - fw), std::max(0, r.height() - fh));
    move(r.left, r.top);  // the frame's corner
}

SettingsWindow::~SettingsWindow() {
    if (e_) st_wipe(*e_);
}

void SettingsWindow::fill_list() {
    filling_ = true;
    list_->clear();
    for (int i = 0; i < e_->nslots; ++i) {
        if (e_->slots[i].state == ST_DELETED) continue;
        QString name = e_->slots[i].name[0] ? qa(e_->slots[i].name) : qa("(new)");
        if (e_->single) name = qa("Boss");
        auto* it = new QListWidgetItem(name, list_);
        it->setData(Qt::UserRole, i);
        if (i == cur_) list_->setCurrentItem(it);
    }
    filling_ = false;
}

void SettingsWindow::show_slot(int i) {
    cur_ = i;
    shown_ = st_form(*e_, i);
    const Slot& s = e_->slots[i];
    section_->setText(qs(shown_.section));
    section_->setEnabled(s.state == ST_NEW);
    for (int k : {SK_ADDRESS, SK_BOSSADDR, SK_HOST, SK_PORT, SK_INBOUND, SK_OUTBOUND, SK_NETMAIL,
                  SK_NETNAME, SK_AFNAME, SK_SYSOP, SK_SYSTEM})
        fields_[k]->setText(qs(shown_.field[k]));
    cram_->setCurrentIndex(shown_.cram);
    pw_->setText(qs(shown_.pw));
    afpw_->setText(qs(shown_.afpw));
    ap_on_->setChecked(shown_.ap_on);
    interval_->setText(qs(shown_.interval));
    unit_->setCurrentIndex(shown_.hours ? 1 : 0);
    autoc_->setChecked(shown_.autocreate);
    movebad_->setChecked(shown_.movebad);
    nr_->setChecked(shown_.nr);
    own_->setChecked(shown_.own && !e_->single);
    if (!own_->isChecked()) {
        fields_[SK_SYSOP]->setText(gsysop_->text());
        fields_[SK_SYSTEM]->setText(gsystem_->text());
        fields_[SK_SYSOP]->setEnabled(false);
        fields_[SK_SYSTEM]->setEnabled(false);
        // What the window shows then is the global value, not the boss's own.
        shown_.field[SK_SYSOP] = u16(gsysop_->text());
        shown_.field[SK_SYSTEM] = u16(gsystem_->text());
    }
    update_pw_state();
    update_origin();
}

SlotForm SettingsWindow::read_form() const {
    SlotForm f;
    f.section = u16(section_->text());
    for (int k = 0; k < SK_COUNT; ++k)
        if (fields_[k] != nullptr) f.field[k] = u16(fields_[k]->text());
    f.cram = cram_->currentIndex();
    f.own = own_->isChecked();
    f.ap_on = ap_on_->isChecked();
    f.interval = u16(interval_->text());
    f.hours = unit_->currentIndex() == 1;
    f.pw = u16(pw_->text());
    f.afpw = u16(afpw_->text());
    f.autocreate = autoc_->isChecked();
    f.movebad = movebad_->isChecked();
    f.nr = nr_->isChecked();
    return f;
}

QString SettingsWindow::origin_line() const {
    return olen_->text();
}

void SettingsWindow::update_origin() {
    std::string a = fields_[SK_ADDRESS]->text().toLatin1().toStdString();
    int n = origin_max(a.empty() ? global_address() : a.c_str());
    olen_->setText(qs(l_olen1) + QString::number(n) + qs(l_olen2));
}

void SettingsWindow::update_pw_state() {
    const Slot& s = e_->slots[cur_];
    auto state = [](const QLineEdit* typed, const SlotSecret& sec) {
        if (!typed->text().isEmpty() || sec.typed) return qs(l_pwnew);
        return qs(sec.stored ? l_pwhave : l_pwnone);
    };
    pw_state_->setText(state(pw_, s.pw));
    afpw_state_->setText(state(afpw_, s.afpw));
}

bool SettingsWindow::take_over() {
    StError err = save_slot(*e_, cur_, read_form(), shown_, global_address());
    if (err.what < 0) {
        shown_ = read_form();
        return true;
    }
    const char16_t* msg = nullptr;
    QLineEdit* focus = nullptr;
    switch (err.what) {
        case ST_ERR_SECTION:
            msg = esettings_e_name;
            focus = section_;
            break;
        case SK_ADDRESS:
            msg = esettings_e_addr;
            break;
        case SK_BOSSADDR:
            msg = e_baddr;
            break;
        case SK_HOST:
            msg = e_host;
            break;
        case SK_PORT:
            msg = e_port;
            break;
        case SK_INBOUND:
        case SK_OUTBOUND:
        case SK_NETMAIL:
            msg = e_path;
            break;
        case SK_NETNAME:
            msg = e_nname;
            break;
        case SK_AFNAME:
            msg = e_afname;
            break;
        case SK_SYSOP:
            msg = e_sysop;
            break;
        case SK_SYSTEM:
            msg = e_origa;
            break;
        case SK_PASSWORD:
            msg = e_pw;
            focus = pw_;
            break;
        case SK_AFPWD:
            msg = e_pw;
            focus = afpw_;
            break;
        case ST_ERR_INTERVAL:
            msg = esettings_e_range;
            focus = interval_;
            break;
        default:
            break;
    }
    if (err.what >= 0 && err.what < SK_COUNT && focus == nullptr) focus = fields_[err.what];
    if (err.what == ST_ERR_ORIGIN_LEN) {
        warning(this, qs(e_title),
                qs(e_orig1) + qa(e_->slots[cur_].name) + qs(e_orig2) + QString::number(err.limit) +
                    qs(e_orig3));
        focus = fields_[SK_SYSTEM];
    } else {
        warning(this, qs(e_title), qs(msg));
    }
    if (focus) focus->setFocus();
    return false;
}

bool SettingsWindow::select_boss(int slot) {
    if (!take_over()) return false;
    show_slot(slot);
    fill_list();
    return true;
}

bool SettingsWindow::new_boss() {
    if (e_->single) {
        warning(this, qs(e_title), qs(e_single));
        return false;
    }
    int live = 0;
    for (int i = 0; i < e_->nslots; ++i) live += e_->slots[i].state != ST_DELETED;
    if (live >= MAX_BOSS || e_->nslots >= MAX_BOSS) {
        warning(this, qs(e_title), qs(e_full));
        return false;
    }
    if (!take_over()) return false;
    int n = st_add(*e_, "");
    if (n < 0) {
        warning(this, qs(e_title), qs(e_full));
        return false;
    }
    str_copy(e_->slots[n].newv[SK_PORT], "24554", CFG_STR);
    show_slot(n);
    fill_list();
    section_->setFocus();
    return true;
}

bool SettingsWindow::delete_boss() {
    if (e_->single) {
        warning(this, qs(e_title), qs(e_single));
        return false;
    }
    int live = 0;
    for (int i = 0; i < e_->nslots; ++i) live += e_->slots[i].state != ST_DELETED;
    if (live <= 1) {
        warning(this, qs(e_title), qs(e_last));
        return false;
    }
    Slot& s = e_->slots[cur_];
    if (!question(this, qs(e_title), qs(q_del1) + qa(s.name) + qs(q_del2))) return false;
    s.state = ST_DELETED;
    s.pw = SlotSecret{};
    s.afpw = SlotSecret{};
    for (int i = 0; i < e_->nslots; ++i)
        if (e_->slots[i].state != ST_DELETED) {
            show_slot(i);
            break;
        }
    fill_list();
    return true;
}

bool SettingsWindow::save() {
    if (!take_over()) return false;
    std::string gs, gy;
    if (!st_accept(u16(gsysop_->text()), true, gs) || gs.size() > ST_NAME_MAX) {
        warning(this, qs(e_title), qs(e_sysop));
        gsysop_->setFocus();
        return false;
    }
    if (!st_accept(u16(gsystem_->text()), true, gy)) {
        warning(this, qs(e_title), qs(e_origa));
        gsystem_->setFocus();
        return false;
    }
    int bad = 0;
    int limit = global_origin_limit(*e_, gy, global_address(), &bad);
    if (limit > 0) {
        warning(this, qs(e_title),
                qs(e_orig1) + qa(e_->single ? "Boss" : e_->slots[bad].name) + qs(e_orig2) +
                    QString::number(limit) + qs(e_orig3));
        gsystem_->setFocus();
        return false;
    }
    str_copy(e_->gsysop_new, gs.c_str(), CFG_STR);
    str_copy(e_->gsystem_new, gy.c_str(), CFG_STR);
    // What changes the tree: bosses added or deleted, names, netmail, addresses.
    bool tree = false;
    for (int i = 0; i < e_->nslots; ++i) {
        const Slot& s = e_->slots[i];
        tree = tree || s.state != ST_EXISTING;
        for (int k : {SK_NETNAME, SK_NETMAIL, SK_ADDRESS})
            tree = tree || std::strcmp(s.oldv[k], s.newv[k]) != 0;
    }
    bool ok = cfg_write(*e_) == CfgResult::Ok;
    if (ok) {
        Jobs& jobs = main_->jobs();
        uint64_t now = unix_now_local();
        for (int i = 0; i < e_->nslots && i < static_cast<int>(jobs.ap_slots.size()); ++i) {
            const Slot& s = e_->slots[i];
            if (s.state == ST_DELETED)
                po_apply_slot(jobs, i, false, 0, now);
            else
                po_apply_slot(jobs, i, s.ap_on, s.ap_min, now);
        }
        ok = glob_write(*e_) == CfgResult::Ok;
    }
    bool lang_changed = lang_->currentIndex() != lang0_;
    if (ok && lang_changed) ok = lang_write(g_cfg.path, lang_->currentIndex()) == CfgResult::Ok;
    if (!ok) {
        warning(this, qs(e_title), qs(esettings_e_write));
        return false;
    }
    main_->reload_areas();
    main_->set_info(qs(lang_changed ? l_langnote : tree ? esettings_w_saved2 : w_saved));
    st_wipe(*e_);
    close();
    return true;
}

void SettingsWindow::closeEvent(QCloseEvent* e) {
    st_wipe(*e_);
    e->accept();
    if (parentWidget()) parentWidget()->activateWindow();
}
