#include "ui/log_model.h"

#include <QBrush>
#include <QColor>
#include <QMetaObject>
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "log/log_files.h"
#include "log/log_line_class.h"

namespace qvex {
namespace {

// Qt counts rows in int; a 4 GiB log of two-byte lines would be the only way past it.
int RowsOf(uint32_t count) {
    return static_cast<int>(std::min<uint32_t>(count, INT_MAX));
}

}  // namespace

LogModel::LogModel(SessionLogFiles& files, QObject* parent)
    : QAbstractListModel(parent), files_(files) {
    rows_ = RowsOf(files_.displayedView().displayedCount());
    files_.currentView().SetObserver(this);
}

LogModel::~LogModel() {
    files_.currentView().SetObserver(nullptr);
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_) {
        return {};
    }
    const auto row = static_cast<uint32_t>(index.row());
    auto lineClass = [&] {
        return row < 2 ? static_cast<int>(kLogClassHeader)
                       : LogLineClass(files_.displayedView().DisplayedLine(row));
    };
    switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return QString::fromUtf8(files_.displayedView().DisplayedLine(row));
        case kLineClassRole:
            return lineClass();
        case Qt::BackgroundRole:
            if (colored_) {
                const LogClassColor& color = kLogClassColors[static_cast<size_t>(lineClass())];
                return QBrush(QColor(color.red, color.green, color.blue));
            }
            return {};
        case Qt::ForegroundRole:
            // The class colours are light whatever the desktop's theme: keep text dark on them.
            return colored_ ? QVariant(QBrush(QColor(Qt::black))) : QVariant();
        default:
            return {};
    }
}

void LogModel::SetColored(bool on) {
    if (colored_ == on) {
        return;
    }
    colored_ = on;
    if (rows_ > 0) {
        emit dataChanged(index(0), index(rows_ - 1), {Qt::BackgroundRole, Qt::ForegroundRole});
    }
}

void LogModel::Reload() {
    beginResetModel();
    rows_ = RowsOf(files_.displayedView().displayedCount());
    endResetModel();
}

void LogModel::CatchUp() {
    // Cleared first: a line indexed from here on posts the next call.
    catchUpPending_.store(false);
    if (!files_.showingCurrent()) {
        return;  // the current log's new lines show when it is chosen again
    }
    const int rows = RowsOf(files_.currentView().displayedCount());
    if (rows < rows_) {
        Reload();
    } else if (rows > rows_) {
        beginInsertRows({}, rows_, rows - 1);
        rows_ = rows;
        endInsertRows();
        emit rowsAppended();
    }
}

void LogModel::OnShownLineAppended() {
    if (!catchUpPending_.exchange(true)) {
        QMetaObject::invokeMethod(this, &LogModel::CatchUp, Qt::QueuedConnection);
    }
}

QString LogModel::CopyText(const QItemSelection& selection) const {
    std::vector<uint32_t> rows;
    for (const QItemSelectionRange& range : selection) {
        for (int row = range.top(); row <= range.bottom() && row < rows_; ++row) {
            rows.push_back(static_cast<uint32_t>(row));
        }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.empty() && rows_ == 0) {
        return {};
    }
    return QString::fromUtf8(files_.displayedView().CopyLines(rows));
}

}  // namespace qvex
