#include "editor/gui/compose_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>

#include "editor/gui/gui_util.h"
#include "editor/messages.h"

namespace {

std::u16string u16(const QString& s) {
    return s.toStdU16String();
}

}  // namespace

ComposeWindow::ComposeWindow(QWidget* owner, EdBase& eb, const EdNets& nets, JamLock& lk, int mode,
                             int area, int entry)
    : QWidget(owner, Qt::Window), eb_(eb), nets_(nets), lk_(lk) {
    setAttribute(Qt::WA_DeleteOnClose);
    l_to_ = new QLabel(qs(ecompose_l_to), this);
    l_addr_ = new QLabel(qs(ecompose_l_addr), this);
    l_subj_ = new QLabel(qs(ecompose_l_subj), this);
    info_ = new QLabel(this);
    hint_ = new QLabel(qs(w_hint), this);
    hint_->setStyleSheet(qa("color: rgb(255,221,102);"));
    hint_->setWordWrap(true);
    to_ = new QLineEdit(this);
    to_->setMaxLength(CP_TO_MAX);
    addr_ = new QLineEdit(this);
    addr_->setMaxLength(CP_ADDR_MAX);
    subj_ = new QLineEdit(this);
    subj_->setMaxLength(CP_SUBJ_MAX);
    body_ = new QPlainTextEdit(this);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(16);
    body_->setFont(mono);
    save_ = new QPushButton(qs(b_save), this);
    cancel_ = new QPushButton(qs(ecompose_b_cancel), this);
    connect(save_, &QPushButton::clicked, this, [this] { save(); });
    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    auto* ks = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), this);
    connect(ks, &QShortcut::activated, this, [this] { save(); });
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, &QWidget::close);
    connect(addr_, &QLineEdit::textChanged, this, [this] { update_info(); });
    setWindowTitle(qs(mode == CM_REPLY ? t_reply : mode == CM_NETMAIL ? t_net : t_echo));

    base_.area = area;
    if (mode == CM_REPLY) {
        cp_reply_fields(eb, static_cast<uint32_t>(entry), base_);
        to_->setText(qs(base_.to));
        subj_->setText(qs(base_.subject));
        addr_->setText(qs(base_.address));
        std::u16string quote;
        if (lock_acquire(lk_, 2000, "wrenpost") == 0) {
            uint32_t len = 0;
            const char* text = ej_get_text(eb, static_cast<uint32_t>(entry), len);
            base_.orig_cs = ej_charset(eb, static_cast<uint32_t>(entry), text, len);
            quote = build_quote(base_.to, text, len, base_.orig_cs);
            lock_release(lk_);
        } else {
            quote = build_quote(base_.to, nullptr, 0, base_.orig_cs);
        }
        body_->setPlainText(qs(quote));
        body_->moveCursor(QTextCursor::End);
        body_->document()->setModified(false);
    } else {
        base_.mode = mode;
        if (mode == CM_ECHO) to_->setText(qa("All"));
    }
    if (base_.area >= 0) area_path_ = eb_.ed_areas[base_.area].AR_PATH;
    if (base_.orig_area >= 0) orig_path_ = eb_.ed_areas[base_.orig_area].AR_PATH;
    addr_->setEnabled(base_.mode == CM_NETMAIL);
    update_info();
    resize(860, 640);
    move(120, 90);
    if (mode == CM_REPLY)
        body_->setFocus();
    else if (mode == CM_NETMAIL)
        to_->setFocus();
    else
        subj_->setFocus();
}

void ComposeWindow::resizeEvent(QResizeEvent*) {
    int W = width(), H = height();
    l_to_->setGeometry(14, 15, 70, 22);
    to_->setGeometry(90, 12, 280, 26);
    l_addr_->setGeometry(390, 15, 70, 22);
    addr_->setGeometry(465, 12, W - 479, 26);
    l_subj_->setGeometry(14, 49, 70, 22);
    subj_->setGeometry(90, 46, W - 104, 26);
    info_->setGeometry(90, 80, W - 104, 22);
    body_->setGeometry(14, 108, W - 28, H - 164);
    hint_->setGeometry(14, H - 42, W - 364, 34);
    save_->setGeometry(W - 344, H - 46, 170, 34);
    cancel_->setGeometry(W - 164, H - 46, 150, 34);
}

QString ComposeWindow::info_text() const {
    return info_->text();
}

void ComposeWindow::update_info() {
    QString t;
    const EdNet* net = nullptr;
    if (base_.mode == CM_ECHO) {
        int a = area_by_path(area_path_);
        t = qs(w_iecho) + (a >= 0 ? qs(eb_.ed_areas[a].AR_TITLE) : QString());
        uint32_t n = a >= 0 ? eb_.ed_areas[a].AR_NET : AR_NONET;
        net = &nets_.ed_nets[n == AR_NONET || static_cast<int>(n) >= nets_.ed_net_count ? 0 : n];
    } else {
        ftn_addr d;
        std::string a = addr_->text().trimmed().toLatin1().toStdString();
        int n = parse_ftn(a.c_str(), d) == 1 ? net_for_zone(nets_, d.zone) : -1;
        if (n < 0) {
            info_->setText(qs(w_inozone));
            return;
        }
        net = &nets_.ed_nets[n];
        t = qs(w_inet) + qa(net->NT_NAME);
    }
    t += qs(w_isend) + qa(net->NT_SYSOP) + qa(" (") + qa(net->NT_ADDR) + qa(")");
    info_->setText(t);
}

int ComposeWindow::area_by_path(const std::string& path) const {
    for (int a = 0; !path.empty() && a < eb_.ed_nareas; ++a)
        if (path == eb_.ed_areas[a].AR_PATH) return a;
    return -1;
}

ComposeInput ComposeWindow::input() const {
    ComposeInput in = base_;
    in.area = area_by_path(area_path_);
    in.orig_area = area_by_path(orig_path_);
    in.to = u16(to_->text());
    in.subject = u16(subj_->text());
    in.address = u16(addr_->text());
    in.body = u16(body_->toPlainText());
    return in;
}

bool ComposeWindow::save() {
    uint32_t num = 0;
    int area = -1;
    int r = cp_save(eb_, nets_, lk_, input(), num, area);
    const char16_t* why = nullptr;
    switch (r) {
        case CP_SAVED:
            break;
        case CP_E_NOTO:
            why = e_noto;
            break;
        case CP_E_ADDR:
            why = ecompose_e_addr;
            break;
        case CP_E_ZONE:
            why = e_zone;
            break;
        case CP_E_NOECHO:
            why = e_noecho;
            break;
        case CP_E_LOCKED:
            why = e_locked;
            break;
        case CP_E_LONG:
            why = e_long;
            break;
        case CP_E_SERIAL:
            why = e_serial;
            break;
        default:
            why = ecompose_e_write;
            break;
    }
    if (why != nullptr) {
        QString text = qs(why);
        // Which base could not be written, as the configuration resolves it.
        if (r == CP_E_WRITE && area >= 0 && area < eb_.ed_nareas)
            text += QString::fromLocal8Bit(eb_.ed_areas[area].AR_PATH) + qa(".jhr/.jdt/.jdx");
        warning(this, qa("wrenpost"), text);
        return false;
    }
    Q_EMIT saved(num, area);
    closing_ok_ = true;
    close();
    return true;
}

void ComposeWindow::closeEvent(QCloseEvent* e) {
    if (!closing_ok_ && body_->document()->isModified() &&
        !question(this, qa("wrenpost"), qs(e_discard))) {
        e->ignore();
        return;
    }
    e->accept();
    if (parentWidget()) parentWidget()->activateWindow();
}
