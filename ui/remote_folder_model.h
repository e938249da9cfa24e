#pragma once

#include <QAbstractTableModel>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "transfer/listing_cache.h"

namespace qvex {

class RemoteTypeSource;

// The rows of one directory of the listing cache: a view over the cache, which it reads
// entry by entry as rows are shown. It keeps only the order of the shown positions (the
// listing's order, or the sort's permutation) and the names of renames still on their way
// to the server. Entries without a name (deleted) are left out.
//
// Window thread only, apart from the observer calls, which come on the session's thread
// and only mark what is pending: many additions become one queued call.
class RemoteFolderModel : public QAbstractTableModel, public DirectoryObserver {
    Q_OBJECT

  public:
    enum Column { kName = 0, kSize = 1, kType = 2, kDate = 3, kColumnCount = 4 };

    RemoteFolderModel(ListingCache& cache, RemoteTypeSource& types, QObject* parent = nullptr);

    // Shows directory `id` (-1: nothing) as the cache holds it: the first slice of its rows
    // at once, the others in the next turns of the window thread, sorted once all are in.
    void SetDirectory(int32_t id);
    int32_t directory() const { return id_; }
    // The listing was dropped to be read again: the rows go until it comes back.
    void Clear();
    // The cache position a row shows, or -1 (the row of a folder being created).
    int32_t PositionAt(int row) const;
    int RowOf(int32_t position) const;
    // The entry of a row, read from the cache.
    std::optional<RemoteEntry> EntryAt(int row) const;

    // A folder to be named in place: one row at the end until it is named or given up.
    QModelIndex BeginNewFolder();
    void CancelNewFolder();
    bool newFolderPending() const { return newFolder_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    // Rows are dragged as the entries they show (transfer_drag_data.h).
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    void sort(int column, Qt::SortOrder order) override;

    // DirectoryObserver, on the session's thread.
    void OnEntryAdded(int32_t id, int32_t position) override;
    void OnEntryChanged(int32_t id, int32_t position) override;
    void OnEntryRemoved(int32_t id, int32_t position) override;
    void OnListingReady(int32_t id, int32_t flags, bool aborted) override;
    void OnRenameFailed(int32_t id, int32_t position) override;

  signals:
    // The user named the new folder, or renamed an entry in place.
    void folderNamed(const QString& name);
    void renameAsked(int32_t position, const QString& newName);
    // A listing is complete (read, or found in the cache).
    void listingReady(int32_t id, int32_t flags, bool aborted);
    // Entries arrive for a directory that is not shown: perhaps the one asked for.
    void directoryFilling(int32_t id);

  private:
    // The additions since the last call, as rows at the end: one insertion per turn of the
    // window thread, as many as a slice of time takes in.
    void TakeAdditions();
    void TakeChange(int32_t id, int32_t position);
    void TakeRemoval(int32_t id, int32_t position);
    void TakeListingReady(int32_t id, int32_t flags, bool aborted);
    void TakeRenameFailed(int32_t id, int32_t position);
    // Sorts `order_` by the current column; empty keys when no column is chosen.
    void SortOrder();
    void Forget();

    ListingCache& cache_;
    RemoteTypeSource& types_;
    int32_t id_ = kNoDirectory;
    std::vector<int32_t> order_;
    // Positions below this have been taken into `order_` (or were nameless).
    int32_t known_ = 0;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    // Every position of the listing in the order of the names, made by the first sort and
    // kept while the listing only loses entries: a sort by another column orders it by its
    // own key, keeping that order for equal keys.
    std::vector<int32_t> byName_;
    // Rows were added in listing order since the last sort.
    bool unsorted_ = false;
    bool newFolder_ = false;
    std::unordered_map<int32_t, std::string> renames_;
    // The positions of "." and "..", which are not renamed.
    std::unordered_set<int32_t> dotted_;
    // The entry read last: a row's columns and roles are asked one after the other.
    mutable int32_t memoPosition_ = -1;
    mutable std::optional<RemoteEntry> memo_;

    // Shared with the session's thread.
    std::atomic<int32_t> watched_{kNoDirectory};
    std::atomic<int32_t> announced_{kNoDirectory};
    std::atomic<bool> additionsPending_{false};
    std::atomic<int32_t> lowestAdded_{INT32_MAX};
};

}  // namespace qvex
