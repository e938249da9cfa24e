#include "ui/remote_folder_model.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QMimeData>

#include <algorithm>
#include <cstring>

#include "transfer/entry_types.h"
#include "ui/qt_text.h"
#include "ui/remote_type_source.h"
#include "ui/transfer_drag_data.h"

namespace qvex {
namespace {

const char* const kHeaders[] = {"Name", "Size", "Type", "Date Modified"};

// Rows go into the view in slices, one per turn of the window thread, each ending once it
// has taken this long: the window answers between them, and shows the first rows of a huge
// folder at once. A slice reads the cache in steps of kAdditionStep entries.
constexpr qint64 kSliceMilliseconds = 8;
constexpr int32_t kAdditionStep = 2048;

// Names compare without regard to ASCII case, then byte by byte.
int CompareNames(const std::string& a, const std::string& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        x = x >= 'A' && x <= 'Z' ? static_cast<unsigned char>(x + 32) : x;
        y = y >= 'A' && y <= 'Z' ? static_cast<unsigned char>(y + 32) : y;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b);
}

template <typename T>
int CompareValues(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The sort keys of one listing, by position; only the chosen column's are filled.
struct SortKeys {
    std::vector<uint8_t> named;
    std::vector<uint8_t> folders;
    std::vector<int64_t> numbers;
    std::vector<std::string> names;
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
    unsorted_ = false;
    byName_.clear();
    dotted_.clear();
    known_ = 0;
    endResetModel();
    // The cached entries go in as those of a listing being read: slice by slice.
    if (id >= 0) {
        TakeAdditions();
    }
}

void RemoteFolderModel::Clear() {
    beginResetModel();
    Forget();
    order_.clear();
    renames_.clear();
    newFolder_ = false;
    byName_.clear();
    dotted_.clear();
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
                const std::string& name = renamed != renames_.end() ? renamed->second : entry->name;
                // The editor gets the name itself, so that an unchanged one stays unchanged.
                return role == Qt::EditRole ? Text(name) : ShownName(name);
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
        return ShownName(displayName(*entry));
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
    if (PositionAt(index.row()) >= 0) {
        flags |= Qt::ItemIsDragEnabled;
    }
    // Asked for every row whenever the view lays its rows out: no reading of the cache here.
    if (index.column() == kName && !dotted_.contains(PositionAt(index.row()))) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

QStringList RemoteFolderModel::mimeTypes() const {
    return {kRemoteEntriesMimeType};
}

QMimeData* RemoteFolderModel::mimeData(const QModelIndexList& indexes) const {
    std::vector<int32_t> positions;
    for (const QModelIndex& index : indexes) {
        const int32_t position = PositionAt(index.row());
        if (position >= 0 && std::find(positions.begin(), positions.end(), position) ==
                                 positions.end()) {
            positions.push_back(position);
        }
    }
    return RemoteEntriesMimeData(cache_, id_, positions);
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
    const bool nameOrderStale = byName_.size() != count;
    const int column = sortColumn_;
    SortKeys keys;
    keys.named.resize(count);
    keys.folders.resize(count);
    if (nameOrderStale) {
        keys.names.resize(count);
    }
    if (column != kName) {
        keys.numbers.resize(count);
    }
    (void)cache_.VisitEntries(
        id_, 0, static_cast<int32_t>(count), [&](int32_t position, const RemoteEntry& entry) {
            const auto at = static_cast<size_t>(position);
            keys.named[at] = entry.name.empty() ? 0 : 1;
            keys.folders[at] = isDirectory(entry) ? 1 : 0;
            if (nameOrderStale) {
                keys.names[at] = entry.name;
            }
            if (column == kSize) {
                keys.numbers[at] = entry.size;
            } else if (column == kDate) {
                keys.numbers[at] = entry.time;
            } else if (column == kType) {
                keys.numbers[at] = entryTypeOf(entry);
            }
        });
    if (nameOrderStale) {
        byName_.resize(count);
        for (size_t at = 0; at < count; ++at) {
            byName_[at] = static_cast<int32_t>(at);
        }
        std::sort(byName_.begin(), byName_.end(), [&keys](int32_t a, int32_t b) {
            const int order = CompareNames(keys.names[static_cast<size_t>(a)],
                                           keys.names[static_cast<size_t>(b)]);
            return order != 0 ? order < 0 : a < b;
        });
    }
    if (column == kType) {
        // Type rows become the ranks of their texts.
        std::vector<uint32_t> rows(entryTypeCount());
        std::vector<std::string> texts(rows.size());
        for (uint32_t row = 0; row < rows.size(); ++row) {
            rows[row] = row;
            texts[row] = entryTypeAt(row).text;
        }
        std::sort(rows.begin(), rows.end(),
                  [&texts](uint32_t a, uint32_t b) { return CompareNames(texts[a], texts[b]) < 0; });
        std::vector<int64_t> rank(rows.size());
        for (size_t at = 0; at < rows.size(); ++at) {
            rank[rows[at]] = static_cast<int64_t>(at);
        }
        for (int64_t& type : keys.numbers) {
            type = static_cast<size_t>(type) < rank.size() ? rank[static_cast<size_t>(type)] : 0;
        }
    }
    // Equal keys keep the order of the names; folders stay above files either way.
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    order_.clear();
    if (column == kName && descending) {
        std::copy_if(byName_.rbegin(), byName_.rend(), std::back_inserter(order_),
                     [&keys](int32_t at) { return keys.named[static_cast<size_t>(at)] != 0; });
    } else {
        std::copy_if(byName_.begin(), byName_.end(), std::back_inserter(order_),
                     [&keys](int32_t at) { return keys.named[static_cast<size_t>(at)] != 0; });
    }
    std::stable_sort(order_.begin(), order_.end(), [&](int32_t left, int32_t right) {
        const auto a = static_cast<size_t>(left);
        const auto b = static_cast<size_t>(right);
        if (keys.folders[a] != keys.folders[b]) {
            return keys.folders[a] > keys.folders[b];
        }
        if (column == kName) {
            return false;
        }
        return descending ? keys.numbers[b] < keys.numbers[a] : keys.numbers[a] < keys.numbers[b];
    });
}

void RemoteFolderModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column >= 0 && column < kColumnCount ? column : -1;
    sortOrder_ = order;
    unsorted_ = false;
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
    auto take = [this, &added](int32_t position, const RemoteEntry& entry) {
        if (!entry.name.empty()) {
            added.push_back(position);
        }
        if (entry.name == "." || entry.name == "..") {
            dotted_.insert(position);
        }
    };
    QElapsedTimer slice;
    slice.start();
    bool more = false;
    do {
        const int32_t visited = cache_.VisitEntries(id_, known_, kAdditionStep, take);
        known_ += visited;
        more = visited == kAdditionStep;
    } while (more && slice.elapsed() < kSliceMilliseconds);
    if (!added.empty()) {
        const int first = static_cast<int>(order_.size());
        beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
        order_.insert(order_.end(), added.begin(), added.end());
        endInsertRows();
        unsorted_ = sortColumn_ >= 0;
    }
    if (more) {
        // More may wait: the next turn takes them, after the window's own events.
        if (!additionsPending_.exchange(true)) {
            QMetaObject::invokeMethod(this, &RemoteFolderModel::TakeAdditions,
                                      Qt::QueuedConnection);
        }
        return;
    }
    // Rows arrive in listing order; the sort comes once the listing is whole.
    if (unsorted_ && cache_.IsComplete(id_)) {
        sort(sortColumn_, sortOrder_);
    }
}

void RemoteFolderModel::TakeChange(int32_t id, int32_t position) {
    if (id != id_) {
        return;
    }
    Forget();
    byName_.clear();
    renames_.erase(position);
    dotted_.erase(position);
    std::optional<RemoteEntry> entry = cache_.Entry(id_, position);
    if (entry && (entry->name == "." || entry->name == "..")) {
        dotted_.insert(position);
    }
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
