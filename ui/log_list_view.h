#pragma once

#include <QListView>

namespace qvex {

// The log's list: one line per row, every row one text line high, so a row's place is its
// number times the row height and nothing is kept per row. (A plain list view lays out and
// remembers a position for every row, which a log of millions of lines pays for in memory
// and in a full relayout at every appended burst.) The horizontal extent grows to the widest
// line drawn so far: the model holds no widths to ask for.
//
// The vertical scroll bar counts rows: its value is the top row.
class LogListView final : public QListView {
    Q_OBJECT

  public:
    explicit LogListView(QWidget* parent = nullptr);

    // Makes room for a line this many pixels wide.
    void Widen(int width);
    int widest() const { return widest_; }
    int rowHeight() const;

    QRect visualRect(const QModelIndex& index) const override;
    QModelIndex indexAt(const QPoint& point) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    void doItemsLayout() override;

  protected:
    // Copy, cut and select-all belong to the page's actions, never to the current row alone.
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void updateGeometries() override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    void scrollContentsBy(int dx, int dy) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    QSize viewportSizeHint() const override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;

  private:
    int RowCount() const;
    int TopRow() const;
    // The row under a viewport y, which may lie above or below the rows shown.
    int RowAtY(int y) const;
    QModelIndex Row(int row) const;

    int widest_ = 0;
    bool widenPending_ = false;
    mutable int rowHeight_ = 0;  // 0: measure again (font or style changed)
};

}  // namespace qvex
