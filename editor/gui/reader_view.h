// The reader pane's window: paints a Reader (the message on its 80-column
// grid with the header block above), scrolls, zooms, selects with the mouse
// and keyboard, copies, and opens links. All layout lives in the Reader; this
// class turns window events into its operations. GUI thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "editor/reader.h"

class QScrollBar;
class QTimer;

class ReaderView : public QWidget {
    Q_OBJECT
  public:
    explicit ReaderView(QWidget* parent = nullptr);
    Reader& model() { return *r_; }
    // Lays out a message (the header texts must be set in model().rd_hdr).
    void render(const char* text, uint32_t len, const uint8_t* sf, uint32_t sflen,
                bool show_kludges);
    void clear();
    // Shows the rows from `top` on (clamped), as the scroll bar would.
    void scroll_to(int top);
    // +1, -1, or 0 to fit the width again.
    void zoom(int step);
    int zoom_value() const { return r_->rd_zoom; }
    void set_zoom_value(int z);
    void copy_selection();
    // Space: the next page, or on the last one the next unread message.
    void page();
    bool drag_scrolling() const;  // the drag timer runs (for the tests)
    // The message has more rows than the reader holds: only the first
    // MAX_ROWS are shown, with a notice line below them.
    bool cut() const;

  Q_SIGNALS:
    void status(const QString& text);  // a text for the main window's info line
    void next_unread();                // Space on the last page
    // Up, Down, Home or End pressed here: they choose the message, as in
    // the message list (PageUp, PageDown and Space scroll the text).
    void message_key(int key);

  protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void wheelEvent(QWheelEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent*) override;
    void contextMenuEvent(QContextMenuEvent*) override;

  private:
    void fit();
    void apply_height(int h);
    void sync_scroll();
    int text_width() const;
    bool open_link_at(int pos);
    // Extends the dragged selection to a point, scrolling when it lies
    // above or below the text.
    void drag_to(QPoint pt);
    QString notice() const;  // the cut message's notice line

    std::unique_ptr<Reader> r_;
    QScrollBar* bar_;
    QString face_;
    bool drag_ = false, moved_ = false;
    QPoint down_, last_;
    QTimer* drag_timer_;
    int plink_ = -1;
};
