#include "ui/file_columns.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTreeView>

#include <algorithm>

namespace qvex {

void SizeFileColumns(QTreeView& view) {
    QHeaderView& header = *view.header();
    header.setStretchLastSection(false);
    header.setSectionResizeMode(0, QHeaderView::Stretch);
    // Texts as wide as the columns usually hold: a size with its unit, a type text, a date.
    const char* const samples[] = {"", "999.99 KB", "plain text document", "Www 30 00:00"};
    const QFontMetrics cells(view.font());
    const QFontMetrics titles(header.font());
    const int margin = 2 * view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) +
                       cells.horizontalAdvance("  ");
    // A title leaves room for the sort arrow beside it.
    const int arrow = view.style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, &header) +
                      2 * view.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header);
    for (int column = 1; column < header.count() && column < 4; ++column) {
        const QString title = header.model()->headerData(column, Qt::Horizontal).toString();
        header.setSectionResizeMode(column, QHeaderView::Interactive);
        header.resizeSection(column, std::max(cells.horizontalAdvance(samples[column]) + margin,
                                              titles.horizontalAdvance(title) + arrow + margin));
    }
}

}  // namespace qvex
