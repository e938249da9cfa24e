#include "ui/log_list_view.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <algorithm>

namespace qvex {

LogListView::LogListView(QWidget* parent) : QListView(parent) {
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setWordWrap(false);
}

void LogListView::Widen(int width) {
    if (width <= widest_) {
        return;
    }
    widest_ = width;
    // Called while painting: the scroll range changes once the paint is over, once a burst.
    if (!widenPending_) {
        widenPending_ = true;
        QTimer::singleShot(0, this, [this] {
            widenPending_ = false;
            updateGeometries();
        });
    }
}

int LogListView::rowHeight() const {
    if (rowHeight_ == 0) {
        // What the delegate asks of the style for a one-line row.
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.features |= QStyleOptionViewItem::HasDisplay;
        option.text = QStringLiteral("Wg");
        rowHeight_ = std::max(
            1, style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height());
    }
    return rowHeight_;
}

int LogListView::RowCount() const {
    return model() != nullptr ? model()->rowCount(rootIndex()) : 0;
}

int LogListView::TopRow() const {
    return verticalScrollBar()->value();
}

int LogListView::RowAtY(int y) const {
    const int height = rowHeight();
    return TopRow() + (y >= 0 ? y / height : (y - height + 1) / height);
}

QModelIndex LogListView::Row(int row) const {
    return model() != nullptr ? model()->index(row, modelColumn(), rootIndex()) : QModelIndex();
}

QRect LogListView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.parent() != rootIndex() || index.column() != modelColumn()) {
        return {};
    }
    const int height = rowHeight();
    return {-horizontalOffset(), (index.row() - TopRow()) * height,
            std::max(widest_, viewport()->width()), height};
}

QModelIndex LogListView::indexAt(const QPoint& point) const {
    const int row = RowAtY(point.y());
    return row >= 0 && row < RowCount() ? Row(row) : QModelIndex();
}

void LogListView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid()) {
        return;
    }
    // Rows taken in since the last layout are within reach at once.
    updateGeometries();
    QScrollBar* bar = verticalScrollBar();
    const int row = index.row();
    const int shown = std::max(1, bar->pageStep());
    switch (hint) {
        case PositionAtTop:
            bar->setValue(row);
            break;
        case PositionAtBottom:
            bar->setValue(row - shown + 1);
            break;
        case PositionAtCenter:
            bar->setValue(row - shown / 2);
            break;
        case EnsureVisible:
            if (row < bar->value()) {
                bar->setValue(row);
            } else if (row >= bar->value() + shown) {
                bar->setValue(row - shown + 1);
            }
            break;
    }
}

void LogListView::doItemsLayout() {
    // Nothing to lay out per row: only the scroll ranges and a repaint.
    QAbstractItemView::doItemsLayout();
}

void LogListView::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Copy || event == QKeySequence::Cut ||
        event == QKeySequence::SelectAll) {
        event->ignore();
        return;
    }
    QListView::keyPressEvent(event);
}

void LogListView::paintEvent(QPaintEvent* event) {
    const int rows = RowCount();
    if (rows == 0 || itemDelegate() == nullptr) {
        return;
    }
    QPainter painter(viewport());
    QStyleOptionViewItem base;
    initViewItemOption(&base);
    const QRect area = event->rect();
    const int first = std::max(0, RowAtY(area.top()));
    const int last = std::min(rows - 1, RowAtY(area.bottom()));
    const QModelIndex current = currentIndex();
    const bool focused = hasFocus() || viewport()->hasFocus();
    const QItemSelectionModel* selection = selectionModel();
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = Row(row);
        QStyleOptionViewItem option = base;
        option.rect = visualRect(index);
        if (selection != nullptr && selection->isSelected(index)) {
            option.state |= QStyle::State_Selected;
        }
        if (focused && index == current) {
            option.state |= QStyle::State_HasFocus;
        }
        itemDelegate()->paint(&painter, option, index);
    }
}

void LogListView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        rowHeight_ = 0;
    }
    QListView::changeEvent(event);
}

void LogListView::updateGeometries() {
    const int shown = std::max(1, viewport()->height() / rowHeight());
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(1);
    vertical->setPageStep(shown);
    vertical->setRange(0, std::max(0, RowCount() - shown));
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(std::max(1, fontMetrics().averageCharWidth()));
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, std::max(0, widest_ - viewport()->width()));
    QAbstractItemView::updateGeometries();
}

int LogListView::horizontalOffset() const {
    return horizontalScrollBar()->value();
}

int LogListView::verticalOffset() const {
    return TopRow() * rowHeight();
}

void LogListView::scrollContentsBy(int dx, int dy) {
    // The vertical bar moves in rows, the viewport in pixels.
    QAbstractItemView::scrollContentsBy(dx, dy * rowHeight());
}

QModelIndex LogListView::moveCursor(CursorAction action, Qt::KeyboardModifiers /*modifiers*/) {
    const int rows = RowCount();
    if (rows == 0) {
        return {};
    }
    const QModelIndex current = currentIndex();
    const int shown = std::max(1, verticalScrollBar()->pageStep());
    // Without a current row, a step down starts above the first.
    int row = current.isValid() ? current.row() : -1;
    switch (action) {
        case MoveUp:
        case MovePrevious:
            --row;
            break;
        case MoveDown:
        case MoveNext:
            ++row;
            break;
        case MovePageUp:
            row -= shown;
            break;
        case MovePageDown:
            row += shown;
            break;
        case MoveHome:
            row = 0;
            break;
        case MoveEnd:
            row = rows - 1;
            break;
        case MoveLeft:
        case MoveRight:
            horizontalScrollBar()->triggerAction(action == MoveLeft
                                                     ? QAbstractSlider::SliderSingleStepSub
                                                     : QAbstractSlider::SliderSingleStepAdd);
            return current;
    }
    return Row(std::clamp(row, 0, rows - 1));
}

void LogListView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags) {
    const int rows = RowCount();
    const QRect area = rect.normalized();
    const int first = std::max(0, RowAtY(area.top()));
    const int last = std::min(rows - 1, RowAtY(area.bottom()));
    QItemSelection chosen;
    if (first <= last) {
        chosen.select(Row(first), Row(last));
    }
    selectionModel()->select(chosen, flags);
}

QRegion LogListView::visualRegionForSelection(const QItemSelection& selection) const {
    const int top = TopRow();
    const int height = rowHeight();
    const int bottom = top + viewport()->height() / height + 1;
    QRegion region;
    for (const QItemSelectionRange& range : selection) {
        if (range.parent() != rootIndex()) {
            continue;
        }
        const int first = std::max(range.top(), top);
        const int last = std::min(range.bottom(), bottom);
        if (first <= last) {
            region += QRect(0, (first - top) * height, viewport()->width(),
                            (last - first + 1) * height);
        }
    }
    return region;
}

QSize LogListView::viewportSizeHint() const {
    return QAbstractItemView::viewportSizeHint();
}

void LogListView::rowsInserted(const QModelIndex& parent, int start, int end) {
    // Appended rows change the scroll range only; no relayout of the rows before them.
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    viewport()->update();
}

// The row events a screen reader follows name the row itself (the list's own versions look
// for a laid-out position, which this list does not keep, and list every selected row).
void LogListView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QAbstractItemView::currentChanged(current, previous);
    if (QAccessible::isActive() && current.isValid() && hasFocus()) {
        QAccessibleEvent focus(this, QAccessible::Focus);
        focus.setChild(current.row());
        QAccessible::updateAccessibility(&focus);
    }
}

void LogListView::selectionChanged(const QItemSelection& selected,
                                   const QItemSelection& deselected) {
    QAbstractItemView::selectionChanged(selected, deselected);
    if (QAccessible::isActive() && !selected.isEmpty()) {
        QAccessibleEvent added(this, QAccessible::SelectionAdd);
        added.setChild(selected.first().top());
        QAccessible::updateAccessibility(&added);
    }
}

}  // namespace qvex
