#pragma once

#include <QAbstractTableModel>
#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QMimeDatabase>

#include "search/search_results.h"

namespace qvex {

// The result list of a site search: a view of the rows the SearchResults store holds, with
// the five columns and a file pane's icons. The store changes only on the window thread;
// the owner tells the model afterwards (Appended, Changed).
class SearchResultsModel final : public QAbstractTableModel {
  public:
    SearchResultsModel(SearchResults& results, QObject* parent);

    // Rows were added at the end of the store.
    void Appended();
    // The store was cleared, sorted or lost rows.
    void Changed();

    [[nodiscard]] const SearchRow* RowAt(int row) const;

    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex& parent) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // A header click: the store's sort column, negative for descending.
    void sort(int column, Qt::SortOrder order) override;

  private:
    QIcon IconOf(const SearchRow& row) const;

    SearchResults& results_;
    // The rows the views know of: the store may hold more between a change and its notice.
    int shown_ = 0;
    QFileIconProvider icons_;
    QMimeDatabase types_;
    // By MIME type name: a theme lookup per row would cost more than the row.
    mutable QHash<QString, QIcon> iconByType_;
};

}  // namespace qvex
