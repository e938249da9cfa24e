#include "ui/search_results_model.h"

#include <QMimeType>

#include <cstddef>
#include <string>

#include "transfer/remote_entry.h"
#include "ui/qt_text.h"

namespace qvex {

SearchResultsModel::SearchResultsModel(SearchResults& results, QObject* parent)
    : QAbstractTableModel(parent), results_(results) {}

void SearchResultsModel::Appended() {
    const int size = static_cast<int>(results_.rows().size());
    if (size <= shown_) {
        return;
    }
    beginInsertRows({}, shown_, size - 1);
    shown_ = size;
    endInsertRows();
}

void SearchResultsModel::Changed() {
    beginResetModel();
    shown_ = static_cast<int>(results_.rows().size());
    endResetModel();
}

const SearchRow* SearchResultsModel::RowAt(int row) const {
    return row >= 0 && row < shown_ ? &results_.rows()[static_cast<size_t>(row)] : nullptr;
}

int SearchResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int SearchResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kSearchColumns.size());
}

QVariant SearchResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount({})) {
        return {};
    }
    return QString(kSearchColumns[static_cast<size_t>(section)].title);
}

QVariant SearchResultsModel::data(const QModelIndex& index, int role) const {
    const SearchRow* row = index.isValid() ? RowAt(index.row()) : nullptr;
    if (row == nullptr) {
        return {};
    }
    const int column = index.column() + 1;
    if (role == Qt::DisplayRole) {
        switch (column) {
            case kSearchColumnName:
                return Text(row->entry.name);
            case kSearchColumnSize:
                return Text(row->entry.sizeText);
            case kSearchColumnType:
                return Text(row->type);
            case kSearchColumnDate:
                return Text(row->entry.dateText);
            default:
                return Text(row->folder);
        }
    }
    if (role == Qt::DecorationRole && column == kSearchColumnName) {
        return IconOf(*row);
    }
    if (role == Qt::TextAlignmentRole && column == kSearchColumnSize) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

void SearchResultsModel::sort(int column, Qt::SortOrder order) {
    const int sortColumn = column + 1;
    if (results_.SortBy(order == Qt::AscendingOrder ? sortColumn : -sortColumn)) {
        Changed();
    }
}

QIcon SearchResultsModel::IconOf(const SearchRow& row) const {
    if (isDirectory(row.entry)) {
        return icons_.icon(QAbstractFileIconProvider::Folder);
    }
    // A link is shown as what its target's name says it is.
    const QMimeType type =
        types_.mimeTypeForFile(Text(localNameOf(row.entry)), QMimeDatabase::MatchExtension);
    auto found = iconByType_.constFind(type.name());
    if (found != iconByType_.constEnd()) {
        return *found;
    }
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) {
        icon =
            QIcon::fromTheme(type.genericIconName(), icons_.icon(QAbstractFileIconProvider::File));
    }
    iconByType_.insert(type.name(), icon);
    return icon;
}

}  // namespace qvex
