#include "editor/gui/reader_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

#include "editor/gui/gui_util.h"
#include "editor/links.h"
#include "editor/messages.h"

namespace {

// A menu text with its shortcut after a tab, as Qt shows it.
QString menu_text(const char16_t* s) {
    return qs(s);
}

}  // namespace

ReaderView::ReaderView(QWidget* parent) : QWidget(parent), r_(std::make_unique<Reader>()) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    bar_ = new QScrollBar(Qt::Vertical, this);
    connect(bar_, &QScrollBar::valueChanged, this, [this](int v) {
        if (v == r_->top) return;
        rd_scroll_to(*r_, v);
        update();
    });
    // While a selection is dragged with the pointer resting above or below
    // the text, the pane goes on scrolling.
    drag_timer_ = new QTimer(this);
    drag_timer_->setInterval(50);
    connect(drag_timer_, &QTimer::timeout, this, [this] { drag_to(last_); });
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    face_ = f.family();
    f.setPixelSize(BASE_FH);
    QFontMetrics fm(f);
    r_->base_cw = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    apply_height(BASE_FH);
}

void ReaderView::apply_height(int h) {
    QFont f(face_);
    f.setStyleHint(QFont::Monospace);
    f.setFixedPitch(true);
    f.setPixelSize(h);
    QFontMetrics fm(f);
    setFont(f);
    rd_apply_font(*r_, h, fm.horizontalAdvance(QLatin1Char('M')), fm.height());
}

int ReaderView::text_width() const {
    return width() - bar_->sizeHint().width();
}

void ReaderView::fit() {
    int h = rd_fit_height(*r_, text_width(), [this](int px) {
        QFont f(face_);
        f.setStyleHint(QFont::Monospace);
        f.setPixelSize(px);
        return QFontMetrics(f).horizontalAdvance(QLatin1Char('M'));
    });
    if (h != r_->rd_fh) apply_height(h);
    sync_scroll();
    update();
}

bool ReaderView::cut() const {
    return r_->rows >= MAX_ROWS;
}

void ReaderView::sync_scroll() {
    // A cut message keeps its last line of the pane for the notice.
    rd_set_height(*r_, height() - (cut() ? r_->cellh : 0));
    QSignalBlocker block(bar_);
    bar_->setRange(0, std::max(0, r_->rows - r_->vis));
    bar_->setPageStep(std::max(1, r_->vis));
    bar_->setValue(r_->top);
}

void ReaderView::render(const char* text, uint32_t len, const uint8_t* sf, uint32_t sflen,
                        bool show_kludges) {
    rd_render(*r_, text, len, sf, sflen, show_kludges);
    plink_ = -1;
    sync_scroll();
    update();
    if (cut()) Q_EMIT status(notice());
}

QString ReaderView::notice() const {
    return qs(w_cut1) + QString::number(MAX_ROWS) + qs(w_cut2);
}

void ReaderView::clear() {
    rd_clear(*r_);
    sync_scroll();
    update();
}

void ReaderView::scroll_to(int top) {
    rd_scroll_to(*r_, top);
    sync_scroll();
    update();
}

void ReaderView::set_zoom_value(int z) {
    r_->rd_zoom = z >= ZMIN_FH && z <= ZMAX_FH ? z : 0;
    fit();
}

void ReaderView::zoom(int step) {
    rd_zoom_cmd(*r_, step);
    Q_EMIT status(qs(step == 0 ? w_zfit : w_zman));
    fit();
}

void ReaderView::resizeEvent(QResizeEvent*) {
    int bw = bar_->sizeHint().width();
    bar_->setGeometry(width() - bw, 0, bw, height());
    fit();
}

void ReaderView::paintEvent(QPaintEvent*) {
    const Reader& r = *r_;
    QPainter p(this);
    int w = text_width();
    p.fillRect(rect(), rgb(0x181818));
    p.fillRect(0, 0, w, r.hdr_h - 2, rgb(0x2B2D30));
    p.fillRect(0, r.hdr_h - 2, w, 2, rgb(0x0078D4));
    QFontMetrics fm(font());
    const char16_t* labels[4] = {ereader_l_from, ereader_l_to, ereader_l_subj, l_date};
    // The number sits right-aligned on the From line; a From text that
    // would run into it ends in an ellipsis a cell before it.
    QString no = qs(r.rd_hdr[4]);
    int no_x = w - fm.horizontalAdvance(no) - 12;
    int text_x = 9 * r.cellw + 10;
    for (int i = 0; i < 4; ++i) {
        int y = i * r.cellh + 5 + fm.ascent();
        p.setPen(rgb(0xA0A0A0));
        p.drawText(10, y, qs(labels[i]));
        p.setPen(rgb(i == 2 ? 0xFFFF55 : 0xFFFFFF));
        QString t = qs(r.rd_hdr[i]);
        if (i == 0 && !no.isEmpty())
            t = fm.elidedText(t, Qt::ElideRight, std::max(0, no_x - r.cellw - text_x));
        p.drawText(text_x, y, t);
    }
    p.setPen(rgb(0xA0A0A0));
    p.drawText(no_x, 5 + fm.ascent(), no);

    int a = std::min(r.sel_a, r.sel_c), c = std::max(r.sel_a, r.sel_c);
    int ul = std::max(1, r.cellh / 16);
    for (int row = r.top, y = r.hdr_h; row < r.rows && y < height(); ++row, y += r.cellh) {
        int col = 0;
        while (col < COLS) {
            uint32_t cell = r.cell(row, col);
            int pos = row * COLS + col;
            bool sel = pos >= a && pos < c;
            // Both halves of a wide character belong to one run.
            constexpr uint32_t ATTR = 0xFFFF0000u & ~(CELL_WIDE | CELL_RIGHT);
            uint32_t attr = cell & ATTR;
            int end = col + 1;
            QString run(QChar(cell_char(cell)));
            while (end < COLS) {
                uint32_t next = r.cell(row, end);
                int npos = row * COLS + end;
                if ((next & ATTR) != attr || (npos >= a && npos < c) != sel) break;
                run += QChar(cell_char(next));
                ++end;
            }
            bool link = attr & CELL_LINK;
            QRect box(6 + col * r.cellw, y, (end - col) * r.cellw, r.cellh);
            QColor fg = sel ? rgb(0xFFFFFF) : link ? rgb(0x50B0FF) : rgb(rd_palette[cell_fg(cell)]);
            QColor bg = sel ? rgb(0x0078D4) : rgb(rd_palette[cell_bg(cell) & 15]);
            p.fillRect(box, bg);
            p.setPen(fg);
            for (int k = 0; k < run.size(); ++k) {
                // A wide character is drawn from its left cell over both.
                uint32_t v = r.cell(row, col + k);
                if (v & CELL_RIGHT) continue;
                QString ch(QChar(cell_char(v)));
                if ((v & CELL_WIDE) && col + k + 1 < COLS && ch[0].isHighSurrogate())
                    ch += QChar(cell_char(r.cell(row, col + k + 1)));
                p.drawText(box.left() + k * r.cellw, y + fm.ascent(), ch);
            }
            if (link)
                p.fillRect(box.left(), y + r.cellh - 1 - ul, box.width(), ul,
                           sel ? rgb(0xFFFFFF) : rgb(0x50B0FF));
            col = end;
        }
    }
    if (cut()) {
        int y = height() - r.cellh;
        p.fillRect(0, y, w, r.cellh, rgb(0x3A3320));
        p.setPen(rgb(0xFFDD66));
        p.drawText(QRect(10, y, w - 20, r.cellh), Qt::AlignVCenter | Qt::AlignLeft,
                   fm.elidedText(notice(), Qt::ElideRight, w - 20));
    }
}

void ReaderView::page() {
    if (rd_space(*r_)) {
        Q_EMIT next_unread();
        return;
    }
    sync_scroll();
    update();
}

void ReaderView::keyPressEvent(QKeyEvent* e) {
    Reader& r = *r_;
    bool ctrl = e->modifiers() & Qt::ControlModifier;
    switch (e->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
            if (ctrl) return QWidget::keyPressEvent(e);
            Q_EMIT message_key(e->key());
            return;
        case Qt::Key_PageUp:
            rd_scroll_to(r, r.top - r.vis);
            break;
        case Qt::Key_PageDown:
            rd_scroll_to(r, r.top + r.vis);
            break;
        case Qt::Key_Space:
            page();
            return;
        case Qt::Key_A:
            if (!ctrl) return QWidget::keyPressEvent(e);
            select_all(r);
            break;
        case Qt::Key_C:
        case Qt::Key_Insert:
            if (!ctrl) return QWidget::keyPressEvent(e);
            copy_selection();
            break;
        default:
            return QWidget::keyPressEvent(e);
    }
    sync_scroll();
    update();
}

void ReaderView::wheelEvent(QWheelEvent* e) {
    int delta = e->angleDelta().y();
    if (e->modifiers() & Qt::ControlModifier) {
        if (delta != 0) zoom(delta > 0 ? 1 : -1);
        return;
    }
    rd_scroll_to(*r_, r_->top - delta / 40);
    sync_scroll();
    update();
}

void ReaderView::mousePressEvent(QMouseEvent* e) {
    setFocus();
    if (e->button() != Qt::LeftButton || r_->rows == 0) return;
    QPoint pt = e->position().toPoint();
    r_->sel_c = pos_from(*r_, pt.x(), pt.y(), false);
    if (!(e->modifiers() & Qt::ShiftModifier)) r_->sel_a = r_->sel_c;
    bool on = false;
    int exact = pos_from(*r_, pt.x(), pt.y(), true, &on);
    plink_ = on && (r_->grid[exact] & CELL_LINK) ? exact : -1;
    drag_ = true;
    moved_ = false;
    down_ = pt;
    update();
}

void ReaderView::mouseMoveEvent(QMouseEvent* e) {
    QPoint pt = e->position().toPoint();
    if (!drag_) {
        bool on = false;
        int exact = pos_from(*r_, pt.x(), pt.y(), true, &on);
        if (pt.y() < r_->hdr_h)
            setCursor(Qt::ArrowCursor);
        else
            setCursor(on && (r_->grid[exact] & CELL_LINK) ? Qt::PointingHandCursor
                                                          : Qt::IBeamCursor);
        return;
    }
    if (!moved_ && (std::abs(pt.x() - down_.x()) > 3 || std::abs(pt.y() - down_.y()) > 3)) {
        moved_ = true;
        plink_ = -1;
    }
    if (!moved_) return;
    last_ = pt;
    drag_to(pt);
    bool outside = pt.y() < r_->hdr_h || pt.y() >= height();
    if (outside && !drag_timer_->isActive()) drag_timer_->start();
    if (!outside) drag_timer_->stop();
}

bool ReaderView::drag_scrolling() const {
    return drag_timer_->isActive();
}

void ReaderView::drag_to(QPoint pt) {
    if (!drag_) {
        drag_timer_->stop();
        return;
    }
    int y = std::clamp(pt.y(), r_->hdr_h, std::max(r_->hdr_h, height() - 1));
    int top = r_->top;
    if (pt.y() < r_->hdr_h) rd_scroll_to(*r_, r_->top - ((r_->hdr_h - pt.y()) / r_->cellh + 1));
    if (pt.y() >= height()) rd_scroll_to(*r_, r_->top + ((pt.y() - height()) / r_->cellh + 1));
    int c = pos_from(*r_, pt.x(), y, false);
    if (c != r_->sel_c || top != r_->top) {
        r_->sel_c = c;
        sync_scroll();
        update();
    }
}

void ReaderView::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !drag_) return;
    drag_ = false;
    drag_timer_->stop();
    if (!moved_ && plink_ >= 0) open_link_at(plink_);
    plink_ = -1;
}

void ReaderView::mouseDoubleClickEvent(QMouseEvent* e) {
    QPoint pt = e->position().toPoint();
    bool on = false;
    int exact = pos_from(*r_, pt.x(), pt.y(), true, &on);
    if (on && select_word(*r_, exact)) update();
}

bool ReaderView::open_link_at(int pos) {
    std::u16string raw, url;
    if (!link_at(*r_, pos, raw, url)) return false;
    if (!QDesktopServices::openUrl(QUrl(qs(url)))) {
        warning(this, qs(w_lnk_title), qs(e_link1) + qs(url));
    }
    return true;
}

void ReaderView::copy_selection() {
    std::u16string t = sel_text(*r_);
    if (t.empty()) return;
    QApplication::clipboard()->setText(qs(t));
    Q_EMIT status(qs(w_copied));
}

void ReaderView::contextMenuEvent(QContextMenuEvent* e) {
    setFocus();
    int link = -1;
    QPoint at = e->pos();
    if (e->reason() == QContextMenuEvent::Keyboard) {
        at = QPoint(10, r_->hdr_h + 4);
    } else if (at.y() >= r_->hdr_h) {
        bool on = false;
        int exact = pos_from(*r_, at.x(), at.y(), true, &on);
        if (on && (r_->grid[exact] & CELL_LINK)) link = exact;
    }
    QMenu menu(this);
    QAction* copy = menu.addAction(menu_text(rd_m_copy));
    copy->setEnabled(r_->sel_a != r_->sel_c);
    QAction* all = menu.addAction(menu_text(rd_m_selall));
    all->setEnabled(r_->rows > 0);
    QAction *open = nullptr, *copy_link = nullptr;
    if (link >= 0) {
        menu.addSeparator();
        open = menu.addAction(menu_text(rd_m_open));
        copy_link = menu.addAction(menu_text(rd_m_copylink));
    }
    QAction* chosen = menu.exec(mapToGlobal(at));
    if (chosen == copy) {
        copy_selection();
    } else if (chosen == all) {
        select_all(*r_);
        update();
    } else if (chosen != nullptr && chosen == open) {
        open_link_at(link);
    } else if (chosen != nullptr && chosen == copy_link) {
        std::u16string raw, url;
        if (link_at(*r_, link, raw, url)) {
            QApplication::clipboard()->setText(qs(raw));
            Q_EMIT status(qs(w_copied));
        }
    }
}
