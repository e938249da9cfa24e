#include "ui/hash_sum_model.h"

#include "sums/hash_job.h"
#include "ui/qt_text.h"

namespace qvex {

HashSumModel::HashSumModel(const HashJob& job, QObject* parent)
    : QAbstractTableModel(parent), job_(job) {}

int HashSumModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int HashSumModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

QVariant HashSumModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_) {
        return {};
    }
    const auto row = static_cast<size_t>(index.row());
    return Text(index.column() == 0 ? job_.DigestColumnText(row) : job_.FileColumnText(row));
}

QVariant HashSumModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    return section == 0 ? QStringLiteral("Message Digest (Sum)") : QStringLiteral("File");
}

void HashSumModel::Reset() {
    beginResetModel();
    // The job's rows never exceed what a 32-bit entry index can name.
    rows_ = static_cast<int>(job_.rowCount());
    endResetModel();
}

void HashSumModel::RowsChanged(size_t first, size_t last) {
    emit dataChanged(index(static_cast<int>(first), 0), index(static_cast<int>(last), 1),
                     {Qt::DisplayRole});
}

void HashSumModel::Reordered() {
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

}  // namespace qvex
