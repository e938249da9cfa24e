#include "ui/remote_folder_model.h"

#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "transfer/entry_types.h"
#include "ui/qt_text.h"
#include "ui/remote_type_source.h"

namespace qvex {
namespace {

const char* const kHeaders[] = {"Name", "Size", "Type", "Date Modified"};

// Names compare without regard to ASCII case, then byte by byte.
int CompareNames(const std::string& a, const std::string& b) {
    const int folded = strcasecmp(a.c_str(), b.c_str());
    return folded != 0 ? folded : a.compare(b);
}

template <typename T>
int CompareValues(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The sort keys of one listing, by position; only the chosen column's are filled.
struct SortKeys {
    std::vector<std::string> names;
    std::vector<uint8_t> folders;
    std::vector<int64_t> numbers;
    std::vector<uint32_t> types;
    std::vector<std::string> typeTexts;
};

}  // namespace

RemoteFolderModel::RemoteFolderModel(ListingCache& cache, RemoteTypeSource& types,
                                     QObject* parent)
    : QAbstractTableModel(parent), cache_(cache), types_(types) {}

void RemoteFolderModel::Forget() {
    memoPosition_ = -1;
    memo_.reset();
}

void RemoteFolderModel::SetDirectory(int32_t id) {
    beginResetModel();
    Forget();
    id_ = id;
    watched_ = id;
    lowestAdded_ = INT32_MAX;
    order_.clear();
    renames_.clear();
    newFolder_ = false;
    known_ = 0;
    if (id >= 0) {
        known_ = cache_.VisitEntries(id, 0, INT32_MAX, [this](int32_t position, const RemoteEntry& entry) {
            if (!entry.name.empty()) {
                order_.push_back(position);
            }
        });
        SortOrder();
    }
    endResetModel();
}

void RemoteFolderModel::Clear() {
    beginResetModel();
    Forget();
    order_.clear();
    renames_.clear();
    newFolder_ = false;
    known_ = 0;
    endResetModel();
}

int32_t RemoteFolderModel::PositionAt(int row) const {
    return row >= 0 && static_cast<size_t>(row) < order_.size() ? order_[static_cast<size_t>(row)] : -1;
}

int RemoteFolderModel::RowOf(int32_t position) const {
    auto found = std::find(order_.begin(), order_.end(), position);
    return found == order_.end() ? -1 : static_cast<int>(found - order_.begin());
}

std::optional<RemoteEntry> RemoteFolderModel::EntryAt(int row) const {
    const int32_t position = PositionAt(row);
    if (position < 0) {
        return std::nullopt;
    }
    if (position != memoPosition_) {
        memo_ = cache_.Entry(id_, position);
        memoPosition_ = position;
    }
    return memo_;
}

QModelIndex RemoteFolderModel::BeginNewFolder() {
    if (!newFolder_) {
        const int row = static_cast<int>(order_.size());
        beginInsertRows({}, row, row);
        newFolder_ = true;
        endInsertRows();
    }
    return index(static_cast<int>(order_.size()), kName);
}

void RemoteFolderModel::CancelNewFolder() {
    if (newFolder_) {
        const int row = static_cast<int>(order_.size());
        beginRemoveRows({}, row, row);
        newFolder_ = false;
        endRemoveRows();
    }
}

int RemoteFolderModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(order_.size()) + (newFolder_ ? 1 : 0);
}

int RemoteFolderModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant RemoteFolderModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const bool creating = newFolder_ && static_cast<size_t>(index.row()) == order_.size();
    std::optional<RemoteEntry> entry = creating ? NewFolderEntry() : EntryAt(index.row());
    if (!entry) {
        return {};
    }
    if (creating) {
        entry->flags |= kEntryTypeFolder;
    }
    const int column = index.column();
    if (role == Qt::DisplayRole || role == Qt::EditRole) {
        switch (column) {
            case kName: {
                auto renamed = renames_.find(PositionAt(index.row()));
                return Text(renamed != renames_.end() ? renamed->second : entry->name);
            }
            case kSize:
                return entry->size < 0 ? QString() : Text(entry->sizeText);
            case kType:
                return Text(entryTypeAt(entryTypeOf(*entry)).text);
            case kDate:
                return Text(entry->dateText);
            default:
                return {};
        }
    }
    if (role == Qt::DecorationRole && column == kName) {
        const uint32_t icon = isSymLink(*entry)       ? kIconSymLink
                              : isDirectory(*entry) ? kIconFolder
                                                    : entryIconOf(*entry);
        return types_.Icon(icon);
    }
    if (role == Qt::ToolTipRole && column == kName && isSymLink(*entry)) {
        return Text(displayName(*entry));
    }
    if (role == Qt::TextAlignmentRole && column == kSize) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant RemoteFolderModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kColumnCount) {
        return QString(kHeaders[section]);
    }
    if (orientation == Qt::Horizontal && role == Qt::TextAlignmentRole && section == kSize) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags RemoteFolderModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    if (index.column() == kName) {
        const QString name = data(index, Qt::EditRole).toString();
        if (name != "." && name != "..") {
            flags |= Qt::ItemIsEditable;
        }
    }
    return flags;
}

bool RemoteFolderModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || index.column() != kName) {
        return false;
    }
    const QString name = value.toString().trimmed();
    if (newFolder_ && static_cast<size_t>(index.row()) == order_.size()) {
        // The row goes once the editor has closed; the folder comes back from the server.
        QMetaObject::invokeMethod(this, &RemoteFolderModel::CancelNewFolder, Qt::QueuedConnection);
        if (name.isEmpty()) {
            return false;
        }
        emit folderNamed(name);
        return true;
    }
    const int32_t position = PositionAt(index.row());
    std::optional<RemoteEntry> entry = EntryAt(index.row());
    if (!entry || name.isEmpty() || name == data(index, Qt::EditRole).toString()) {
        return false;
    }
    // Shown at once; the server's refusal brings the old name back.
    renames_[position] = name.toStdString();
    emit dataChanged(index, index);
    emit renameAsked(position, name);
    return true;
}

void RemoteFolderModel::SortOrder() {
    if (sortColumn_ < 0) {
        std::sort(order_.begin(), order_.end());
        return;
    }
    const size_t count = static_cast<size_t>(std::max(cache_.EntryCount(id_), 0));
    SortKeys keys;
    keys.folders.resize(count);
    keys.names.resize(count);
    const int column = sortColumn_;
    if (column == kSize || column == kDate) {
        keys.numbers.resize(count);
    } else if (column == kType) {
        keys.types.resize(count);
    }
    (void)cache_.VisitEntries(
        id_, 0, static_cast<int32_t>(count), [&](int32_t position, const RemoteEntry& entry) {
            const auto at = static_cast<size_t>(position);
            keys.folders[at] = isDirectory(entry) ? 1 : 0;
            keys.names[at] = entry.name;
            if (column == kSize) {
                keys.numbers[at] = entry.size;
            } else if (column == kDate) {
                keys.numbers[at] = entry.time;
            } else if (column == kType) {
                keys.types[at] = entryTypeOf(entry);
            }
        });
    if (column == kType) {
        keys.typeTexts.resize(entryTypeCount());
        for (uint32_t row = 0; row < keys.typeTexts.size(); ++row) {
            keys.typeTexts[row] = entryTypeAt(row).text;
        }
    }
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    auto compare = [&](int32_t left, int32_t right) {
        const auto a = static_cast<size_t>(left);
        const auto b = static_cast<size_t>(right);
        // Folders stay above files in either direction.
        if (a >= count || b >= count) {
            return a < b;
        }
        if (keys.folders[a] != keys.folders[b]) {
            return keys.folders[a] > keys.folders[b];
        }
        int order = 0;
        if (column == kSize || column == kDate) {
            order = CompareValues(keys.numbers[a], keys.numbers[b]);
        } else if (column == kType) {
            const uint32_t ta = keys.types[a];
            const uint32_t tb = keys.types[b];
            if (ta != tb && ta < keys.typeTexts.size() && tb < keys.typeTexts.size()) {
                order = CompareNames(keys.typeTexts[ta], keys.typeTexts[tb]);
            }
        }
        if (order == 0) {
            order = CompareNames(keys.names[a], keys.names[b]);
        }
        if (order == 0) {
            order = CompareValues(left, right);
        }
        return descending ? order > 0 : order < 0;
    };
    std::sort(order_.begin(), order_.end(), compare);
}

void RemoteFolderModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column >= 0 && column < kColumnCount ? column : -1;
    sortOrder_ = order;
    if (id_ < 0) {
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int32_t> positions;
    positions.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before) {
        positions.push_back(PositionAt(index.row()));
    }
    SortOrder();
    Forget();
    std::unordered_map<int32_t, int> rowOf;
    rowOf.reserve(positions.size());
    for (int32_t position : positions) {
        rowOf.emplace(position, -1);
    }
    for (size_t row = 0; row < order_.size() && !rowOf.empty(); ++row) {
        auto found = rowOf.find(order_[row]);
        if (found != rowOf.end()) {
            found->second = static_cast<int>(row);
        }
    }
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const int32_t position = positions[static_cast<size_t>(i)];
        // The row of a folder being named stays the last.
        const int row = position < 0 ? before[i].row() : rowOf[position];
        after.push_back(row < 0 ? QModelIndex() : index(row, before[i].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void RemoteFolderModel::TakeAdditions() {
    additionsPending_ = false;
    const int32_t lowest = lowestAdded_.exchange(INT32_MAX);
    if (id_ < 0) {
        return;
    }
    if (lowest < known_) {
        // The listing was dropped and is being read again: it is read afresh.
        SetDirectory(id_);
        return;
    }
    std::vector<int32_t> added;
    known_ += cache_.VisitEntries(id_, known_, INT32_MAX,
                                  [&added](int32_t position, const RemoteEntry& entry) {
                                      if (!entry.name.empty()) {
                                          added.push_back(position);
                                      }
                                  });
    if (added.empty()) {
        return;
    }
    const int first = static_cast<int>(order_.size());
    beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
    order_.insert(order_.end(), added.begin(), added.end());
    endInsertRows();
    // A listing still being read is sorted once it is complete; a single new entry of a
    // complete one goes to its place now.
    if (sortColumn_ >= 0 && cache_.IsComplete(id_)) {
        sort(sortColumn_, sortOrder_);
    }
}

void RemoteFolderModel::TakeChange(int32_t id, int32_t position) {
    if (id != id_) {
        return;
    }
    Forget();
    renames_.erase(position);
    const int row = RowOf(position);
    if (row >= 0) {
        emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
    }
}

void RemoteFolderModel::TakeRemoval(int32_t id, int32_t position) {
    if (id != id_) {
        return;
    }
    Forget();
    renames_.erase(position);
    const int row = RowOf(position);
    if (row >= 0) {
        beginRemoveRows({}, row, row);
        order_.erase(order_.begin() + row);
        endRemoveRows();
    }
}

void RemoteFolderModel::TakeListingReady(int32_t id, int32_t flags, bool aborted) {
    if (id == id_) {
        TakeAdditions();
        if (sortColumn_ >= 0) {
            sort(sortColumn_, sortOrder_);
        }
    }
    emit listingReady(id, flags, aborted);
}

void RemoteFolderModel::TakeRenameFailed(int32_t id, int32_t position) {
    if (id != id_ || renames_.erase(position) == 0) {
        return;
    }
    const int row = RowOf(position);
    if (row >= 0) {
        emit dataChanged(index(row, kName), index(row, kName));
    }
}

void RemoteFolderModel::OnEntryAdded(int32_t id, int32_t position) {
    if (id != watched_.load()) {
        if (announced_.exchange(id) != id) {
            QMetaObject::invokeMethod(this, [this, id] { emit directoryFilling(id); },
                                      Qt::QueuedConnection);
        }
        return;
    }
    int32_t lowest = lowestAdded_.load();
    while (position < lowest && !lowestAdded_.compare_exchange_weak(lowest, position)) {
    }
    if (!additionsPending_.exchange(true)) {
        QMetaObject::invokeMethod(this, &RemoteFolderModel::TakeAdditions, Qt::QueuedConnection);
    }
}

void RemoteFolderModel::OnEntryChanged(int32_t id, int32_t position) {
    if (id == watched_.load()) {
        QMetaObject::invokeMethod(this, [this, id, position] { TakeChange(id, position); },
                                  Qt::QueuedConnection);
    }
}

void RemoteFolderModel::OnEntryRemoved(int32_t id, int32_t position) {
    if (id == watched_.load()) {
        QMetaObject::invokeMethod(this, [this, id, position] { TakeRemoval(id, position); },
                                  Qt::QueuedConnection);
    }
}

void RemoteFolderModel::OnListingReady(int32_t id, int32_t flags, bool aborted) {
    QMetaObject::invokeMethod(
        this, [this, id, flags, aborted] { TakeListingReady(id, flags, aborted); },
        Qt::QueuedConnection);
}

void RemoteFolderModel::OnRenameFailed(int32_t id, int32_t position) {
    QMetaObject::invokeMethod(this, [this, id, position] { TakeRenameFailed(id, position); },
                              Qt::QueuedConnection);
}

}  // namespace qvex
