#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QMimeData;

namespace qvex {

class ListingCache;

// Entries dragged out of the remote pane. Directory ids and positions mean something only in
// the program that made them, so the data names that program's process.
inline constexpr const char* kRemoteEntriesMimeType = "application/x-qvex-remote-entries";

struct RemoteEntriesDrag {
    int32_t directoryId = -1;
    // The entries' positions in the directory, and their names when the drag began.
    std::vector<int32_t> positions;
    std::vector<std::string> names;
};

// The drag data for entries of directory `directoryId` (their names from the cache); the
// caller owns it (QDrag::setMimeData takes it). Nameless (deleted) positions are left out.
[[nodiscard]] QMimeData* RemoteEntriesMimeData(const ListingCache& cache, int32_t directoryId,
                                               const std::vector<int32_t>& positions);

// The entries of a drag made by this program; nothing when the data holds none, is damaged,
// or came from another running copy.
[[nodiscard]] std::optional<RemoteEntriesDrag> DecodeRemoteEntries(const QMimeData& data);

// The local paths of a drop of files (`text/uri-list`). `problem` says why the drop is
// refused when anything in it is not a local file or folder (a web address, plain text,
// nothing at all); then `paths` is empty.
struct LocalDrop {
    std::vector<std::string> paths;
    QString problem;
};
[[nodiscard]] LocalDrop DecodeLocalPaths(const QMimeData& data);

}  // namespace qvex
