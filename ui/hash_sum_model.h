#pragma once

#include <QAbstractTableModel>

#include <cstddef>

namespace qvex {

class HashJob;

// The hash-sum dialog's list: two columns, "Message Digest (Sum)" and "File", read from the
// job's entries row by row as the view asks, so a million rows cost the view nothing more.
class HashSumModel final : public QAbstractTableModel {
    Q_OBJECT

  public:
    explicit HashSumModel(const HashJob& job, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The job collected its entries (or found none): the rows are new.
    void Reset();
    // Results arrived for rows from `first` to `last`.
    void RowsChanged(size_t first, size_t last);
    // The job sorted its rows.
    void Reordered();

  private:
    const HashJob& job_;
    int rows_ = 0;
};

}  // namespace qvex
