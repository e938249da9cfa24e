#include "transfer/listing_cache.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "platform/virtual_memory.h"
#include "transfer/fill_region_supply.h"

namespace qvex {
namespace {

// Memory for a segment of records or a block of texts, left unset: every byte is written
// before it is read. The largest pieces, which only long listings reach, come straight from
// the system, ready for huge pages: filling millions of entries page by page would cost a
// page fault every 4 KiB.
class Chunk {
  public:
    static constexpr size_t kLargest = size_t{2} << 20;

    explicit Chunk(size_t bytes) : bytes_(bytes) {
        if (bytes < kLargest) {
            data_ = new char[bytes];
            return;
        }
        data_ = static_cast<char*>(bytes == kLargest ? LargestChunks().Take()
                                                     : platform::MapFillRegion(bytes));
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    Chunk(Chunk&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(other.bytes_) {}
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk() {
        if (bytes_ < kLargest) {
            delete[] data_;
        } else {
            platform::ReleaseRegion(data_, bytes_);
        }
    }

    char* data() const { return data_; }

  private:
    // Never destroyed: session threads may still fill listings while the program ends.
    static FillRegionSupply& LargestChunks() {
        static auto* supply = new FillRegionSupply(kLargest);
        return *supply;
    }

    char* data_ = nullptr;
    size_t bytes_;
};

// Records in segments that never move: appending never copies what is stored, so a listing
// peaks at its own size plus one segment instead of twice its size, as a growing array
// would. Segments double from 16 records (most directories are small) and end at the
// largest chunk.
template <typename T>
class SegmentedStore {
  public:
    SegmentedStore() = default;
    SegmentedStore(const SegmentedStore&) = delete;
    SegmentedStore& operator=(const SegmentedStore&) = delete;

    int32_t size() const { return size_; }

    T& operator[](int32_t index) {
        auto [segment, offset] = Locate(index);
        return Segment(segment)[offset];
    }
    const T& operator[](int32_t index) const {
        auto [segment, offset] = Locate(index);
        return Segment(segment)[offset];
    }

    void Append(const T& item) {
        auto [segment, offset] = Locate(size_);
        if (segment == segments_.size()) {
            segments_.emplace_back(segment <= kDoublings ? Capacity(segment) * sizeof(T)
                                                         : Chunk::kLargest);
        }
        Segment(segment)[offset] = item;
        ++size_;
    }

    void Clear() {
        segments_.clear();
        segments_.shrink_to_fit();
        size_ = 0;
    }

  private:
    static constexpr size_t kFirstSegment = 16;
    static constexpr size_t kDoublings = 11;
    static constexpr size_t kLastSegment = Chunk::kLargest / sizeof(T);
    static_assert((kFirstSegment << kDoublings) * sizeof(T) < Chunk::kLargest);
    // Records held by the growing segments 0 .. kDoublings together.
    static constexpr size_t kGrowingTotal = kFirstSegment * ((size_t{1} << (kDoublings + 1)) - 1);

    static size_t Capacity(size_t segment) {
        return segment <= kDoublings ? kFirstSegment << segment : kLastSegment;
    }

    // Segment k < kDoublings + 1 starts at kFirstSegment * (2^k - 1).
    static std::pair<size_t, size_t> Locate(int32_t index) {
        auto position = static_cast<size_t>(index);
        if (position < kGrowingTotal) {
            size_t segment = static_cast<size_t>(std::bit_width(position / kFirstSegment + 1)) - 1;
            return {segment, position - kFirstSegment * ((size_t{1} << segment) - 1)};
        }
        position -= kGrowingTotal;
        return {kDoublings + 1 + position / kLastSegment, position % kLastSegment};
    }

    T* Segment(size_t segment) const { return reinterpret_cast<T*>(segments_[segment].data()); }

    std::vector<Chunk> segments_;
    int32_t size_ = 0;
};

// A directory's entries, compact: a listing of millions of lines must cost little more than
// its names. Each entry is a fixed record of its numbers and where its texts lie; the texts
// (the name, then a link's target) sit back to back in blocks that never move. The display
// texts are not kept: they follow from size and time whenever an entry is read.
class EntryRecords {
  public:
    int32_t size() const { return records_.size(); }

    int32_t Append(const RemoteEntry& entry) {
        records_.Append(RecordOf(entry));
        return size() - 1;
    }
    void Replace(int32_t position, const RemoteEntry& entry) {
        records_[position] = RecordOf(entry);
    }

    std::string_view name(int32_t position) const {
        const Record& record = records_[position];
        return {TextOf(record), record.nameLength};
    }
    bool isDirectory(int32_t position) const {
        return (records_[position].flags & kEntryDirectory) != 0;
    }

    // The entry as parsed; the display texts only `withTexts`.
    void Read(int32_t position, RemoteEntry& out, bool withTexts) const {
        const Record& record = records_[position];
        const char* text = TextOf(record);
        out.name.assign(text, record.nameLength);
        out.linkTarget.assign(text + record.nameLength, record.linkLength);
        out.flags = record.flags;
        out.modeAndIcon = record.modeAndIcon;
        if (withTexts) {
            setSizeAndTime(out, record.size, record.time);
        } else {
            out.size = record.size;
            out.time = record.time;
            out.sizeText.clear();
            out.dateText.clear();
        }
    }

    // The entry gone from the server: no name, nothing else.
    void Empty(int32_t position) { records_[position] = Record{}; }
    void SetName(int32_t position, std::string_view name) {
        Record& record = records_[position];
        std::string both(name);
        both.append(TextOf(record) + record.nameLength, record.linkLength);
        Store(both, record);
        record.nameLength = static_cast<uint32_t>(name.size());
    }
    void SetMode(int32_t position, uint32_t mode) {
        Record& record = records_[position];
        record.modeAndIcon = (mode << kEntryModeShift) | (record.modeAndIcon & kEntryIconMask);
    }

    void Clear() {
        records_.Clear();
        blocks_.clear();
        blocks_.shrink_to_fit();
        used_ = 0;
        room_ = 0;
    }

  private:
    // Without member defaults, so that a new segment is not cleared first; Record{} is an
    // entry without anything.
    struct Record {
        int64_t size;
        int64_t time;
        uint32_t block;
        uint32_t offset;
        uint32_t nameLength;
        uint32_t linkLength;
        uint32_t flags;
        uint32_t modeAndIcon;
    };
    // Text blocks double from the first size to the last: small for the many small folders,
    // large enough for big ones that the slack at a block's end (less than one line of at
    // most 511 characters) stays small.
    static constexpr size_t kFirstBlock = 1024;
    static constexpr size_t kLastBlock = Chunk::kLargest;

    Record RecordOf(const RemoteEntry& entry) {
        Record record{};
        record.size = entry.size;
        record.time = entry.time;
        record.nameLength = static_cast<uint32_t>(entry.name.size());
        record.linkLength = static_cast<uint32_t>(entry.linkTarget.size());
        record.flags = entry.flags;
        record.modeAndIcon = entry.modeAndIcon;
        if (entry.linkTarget.empty()) {
            Store(entry.name, record);
        } else {
            Store(entry.name + entry.linkTarget, record);
        }
        return record;
    }

    void Store(std::string_view text, Record& record) {
        if (text.empty()) {
            return;
        }
        if (room_ - used_ < text.size()) {
            room_ = std::max(text.size(), std::clamp(room_ * 2, kFirstBlock, kLastBlock));
            blocks_.emplace_back(room_);
            used_ = 0;
        }
        std::memcpy(blocks_.back().data() + used_, text.data(), text.size());
        record.block = static_cast<uint32_t>(blocks_.size() - 1);
        record.offset = static_cast<uint32_t>(used_);
        used_ += text.size();
    }

    const char* TextOf(const Record& record) const {
        if (record.nameLength + record.linkLength == 0) {
            return "";
        }
        return blocks_[record.block].data() + record.offset;
    }

    SegmentedStore<Record> records_;
    std::vector<Chunk> blocks_;
    // Bytes used and held by the last block.
    size_t used_ = 0;
    size_t room_ = 0;
};

// Name -> position, as an open-addressing table of positions: the names stay in the entries
// and are never copied into the index. Built when a name is first looked up, not while a
// listing is read: a listing that is only shown or written to a file never needs it.
// Linear probing; a slot holds position + 1, 0 when free. Several entries may share a name;
// a lookup gives the lowest position.
class NameIndex {
  public:
    void Insert(int32_t position, const EntryRecords& entries) {
        if ((count_ + 1) * 4 > slots_.size() * 3) {
            Grow(entries);
        }
        Place(position, entries);
        ++count_;
    }

    int32_t Find(std::string_view name, const EntryRecords& entries) const {
        if (slots_.empty()) {
            return -1;
        }
        int32_t found = -1;
        for (size_t slot = Home(name); slots_[slot] != 0; slot = Next(slot)) {
            auto position = static_cast<int32_t>(slots_[slot] - 1);
            if (entries.name(position) == name && (found < 0 || position < found)) {
                found = position;
            }
        }
        return found;
    }

    // The entry at `position` must still carry the name it was indexed under.
    void Erase(int32_t position, const EntryRecords& entries) {
        if (slots_.empty()) {
            return;
        }
        const auto wanted = static_cast<uint32_t>(position) + 1;
        size_t hole = Home(entries.name(position));
        while (slots_[hole] != wanted) {
            if (slots_[hole] == 0) {
                return;
            }
            hole = Next(hole);
        }
        // Backward-shift deletion: pull later members of the probe run into the hole
        // unless their home lies cyclically after the hole.
        for (size_t slot = Next(hole); slots_[slot] != 0; slot = Next(slot)) {
            size_t home = Home(entries.name(static_cast<int32_t>(slots_[slot] - 1)));
            bool stays =
                hole <= slot ? (hole < home && home <= slot) : (hole < home || home <= slot);
            if (!stays) {
                slots_[hole] = slots_[slot];
                hole = slot;
            }
        }
        slots_[hole] = 0;
        --count_;
    }

    void Clear() {
        slots_.clear();
        slots_.shrink_to_fit();
        count_ = 0;
    }

  private:
    size_t Home(std::string_view name) const {
        return std::hash<std::string_view>{}(name) & (slots_.size() - 1);
    }
    size_t Next(size_t slot) const { return (slot + 1) & (slots_.size() - 1); }

    void Place(int32_t position, const EntryRecords& entries) {
        size_t slot = Home(entries.name(position));
        while (slots_[slot] != 0) {
            slot = Next(slot);
        }
        slots_[slot] = static_cast<uint32_t>(position) + 1;
    }

    void Grow(const EntryRecords& entries) {
        std::vector<uint32_t> old(std::max<size_t>(16, slots_.size() * 2), 0);
        old.swap(slots_);
        for (uint32_t member : old) {
            if (member != 0) {
                Place(static_cast<int32_t>(member - 1), entries);
            }
        }
    }

    std::vector<uint32_t> slots_;
    size_t count_ = 0;
};

// A path and whether `candidate` is that path or lies below it.
bool IsAtOrBelow(std::string_view candidate, std::string_view path) {
    if (candidate.substr(0, path.size()) != path) {
        return false;
    }
    if (candidate.size() == path.size()) {
        return true;
    }
    char separator = candidate[path.size()];
    bool pathEndsInSeparator = !path.empty() && (path.back() == '/' || path.back() == '\\');
    return pathEndsInSeparator || separator == '/' || separator == '\\';
}

}  // namespace

struct ListingCache::Node {
    int32_t id = 0;
    std::string path;
    bool complete = false;
    EntryRecords entries;
    NameIndex names;
    // Entries before this position are in `names`.
    int32_t indexed = 0;
    // (position of the entry in this listing, id of the directory it leads to), by position.
    std::vector<std::pair<int32_t, int32_t>> children;

    bool Holds(int32_t position) const { return position >= 0 && position < entries.size(); }

    // Brings the name index up to date; every use of `names` comes after this.
    void Index() {
        for (; indexed < entries.size(); ++indexed) {
            if (!entries.name(indexed).empty()) {
                names.Insert(indexed, entries);
            }
        }
    }

    std::vector<std::pair<int32_t, int32_t>>::iterator ChildAt(int32_t position) {
        return std::lower_bound(children.begin(), children.end(),
                                std::pair<int32_t, int32_t>{position, INT32_MIN});
    }
};

PositionList::PositionList(const ListingCache& cache, int32_t id, std::vector<int32_t> list)
    : positions(std::move(list)) {
    names.reserve(positions.size());
    for (int32_t position : positions) {
        std::optional<RemoteEntry> entry = cache.Entry(id, position);
        names.push_back(entry ? std::move(entry->name) : std::string());
    }
}

ListingCache::ListingCache() = default;
ListingCache::~ListingCache() = default;

ListingCache::Node* ListingCache::NodeLocked(int32_t id) const {
    if (id < 0 || static_cast<size_t>(id) >= nodes_.size()) {
        return nullptr;
    }
    return nodes_[static_cast<size_t>(id)].get();
}

void ListingCache::DropLocked(Node& node) {
    node.entries.Clear();
    node.names.Clear();
    node.indexed = 0;
    node.children.clear();
    node.complete = false;
}

// A directory entry went away or changed its name: the listings of the directory it led to
// and of everything below it no longer describe the server, and a directory made later
// under the old name must not be served from them.
void ListingCache::ForgetBelowLocked(Node& parent, int32_t position, const std::string& oldName) {
    std::string path;
    auto child = parent.ChildAt(position);
    if (child != parent.children.end() && child->first == position) {
        path = NodeLocked(child->second)->path;
        parent.children.erase(child);
    } else if (parent.entries.isDirectory(position)) {
        path = parent.path;
        if (!path.empty() && path.back() != '/' && path.back() != '\\') {
            path.push_back('/');
        }
        path.append(oldName);
    } else {
        return;
    }
    // The listing being edited stays, even under a link that leads to one of its ancestors.
    for (const auto& node : nodes_) {
        if (node.get() != &parent && IsAtOrBelow(node->path, path)) {
            DropLocked(*node);
        }
    }
}

int32_t ListingCache::FindChild(int32_t parentId, int32_t position) const {
    std::lock_guard guard(lock_);
    Node* parent = NodeLocked(parentId);
    if (parent == nullptr) {
        return -1;
    }
    auto child = parent->ChildAt(position);
    return child != parent->children.end() && child->first == position ? child->second : -1;
}

int32_t ListingCache::FindPath(std::string_view path) const {
    std::lock_guard guard(lock_);
    auto found = byPath_.find(path);
    return found == byPath_.end() ? -1 : found->second;
}

int32_t ListingCache::FindOrCreate(std::string_view path, int32_t parentId, int32_t position,
                                   bool createComplete) {
    if (path.empty()) {
        return -1;
    }
    std::lock_guard guard(lock_);
    int32_t id;
    if (auto found = byPath_.find(path); found != byPath_.end()) {
        id = found->second;
    } else {
        id = static_cast<int32_t>(nodes_.size());
        auto node = std::make_unique<Node>();
        node->id = id;
        node->path.assign(path);
        node->complete = createComplete;
        byPath_.emplace(node->path, id);
        nodes_.push_back(std::move(node));
    }
    if (Node* parent = NodeLocked(parentId); parent != nullptr && position >= 0) {
        auto child = parent->ChildAt(position);
        if (child != parent->children.end() && child->first == position) {
            child->second = id;
        } else {
            parent->children.insert(child, {position, id});
        }
    }
    return id;
}

bool ListingCache::IsComplete(int32_t id) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    return node != nullptr && node->complete;
}

std::optional<std::string> ListingCache::PathOf(int32_t id) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    if (node == nullptr) {
        return std::nullopt;
    }
    return node->path;
}

int32_t ListingCache::EntryCount(int32_t id) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    return node == nullptr ? -1 : node->entries.size();
}

int32_t ListingCache::DirectoryCount() const {
    std::lock_guard guard(lock_);
    return static_cast<int32_t>(nodes_.size());
}

void ListingCache::DropListing(int32_t id) {
    std::lock_guard guard(lock_);
    if (Node* node = NodeLocked(id)) {
        DropLocked(*node);
    }
}

int32_t ListingCache::AppendEntry(int32_t id, RemoteEntry&& entry) {
    int32_t position;
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr) {
            return -1;
        }
        position = node->entries.Append(entry);
    }
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnEntryAdded(id, position);
    }
    return position;
}

int32_t ListingCache::AppendEntries(int32_t id, std::span<const RemoteEntry> entries) {
    int32_t first;
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr) {
            return -1;
        }
        first = node->entries.size();
        for (const RemoteEntry& entry : entries) {
            (void)node->entries.Append(entry);
        }
    }
    DirectoryObserver* watcher = observer();
    if (watcher != nullptr && !entries.empty()) {
        watcher->OnEntriesAdded(id, first, static_cast<int32_t>(entries.size()));
    }
    return first;
}

void ListingCache::MarkComplete(int32_t id, int32_t flags, bool aborted) {
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr) {
            return;
        }
        node->complete = true;
    }
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnListingReady(id, flags, aborted);
    }
}

void ListingCache::AbandonListing(int32_t id, int32_t flags) {
    DropListing(id);
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnListingReady(id, flags, true);
    }
}

void ListingCache::AnnounceListing(int32_t id, int32_t flags) const {
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnListingReady(id, flags, false);
    }
}

std::optional<RemoteEntry> ListingCache::Entry(int32_t id, int32_t position) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    if (node == nullptr || !node->Holds(position)) {
        return std::nullopt;
    }
    RemoteEntry entry;
    node->entries.Read(position, entry, true);
    return entry;
}

int32_t ListingCache::FindEntry(int32_t id, std::string_view name) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    if (node == nullptr || name.empty()) {
        return -1;
    }
    node->Index();
    return node->names.Find(name, node->entries);
}

int32_t ListingCache::Relocate(int32_t id, int32_t position, std::string_view name) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    if (node == nullptr || name.empty()) {
        return -1;
    }
    if (node->Holds(position) && node->entries.name(position) == name) {
        return position;
    }
    node->Index();
    return node->names.Find(name, node->entries);
}

bool ListingCache::RemoveEntry(int32_t id, int32_t position) {
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr || !node->Holds(position)) {
            return false;
        }
        std::string name(node->entries.name(position));
        if (name.empty()) {
            return false;
        }
        node->Index();
        node->names.Erase(position, node->entries);
        ForgetBelowLocked(*node, position, name);
        node->entries.Empty(position);
    }
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnEntryRemoved(id, position);
    }
    return true;
}

bool ListingCache::SetEntryName(int32_t id, int32_t position, std::string name) {
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr || !node->Holds(position)) {
            return false;
        }
        node->Index();
        std::string oldName(node->entries.name(position));
        if (!oldName.empty()) {
            node->names.Erase(position, node->entries);
            ForgetBelowLocked(*node, position, oldName);
        }
        node->entries.SetName(position, name);
        if (!name.empty()) {
            node->names.Insert(position, node->entries);
        }
    }
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnEntryChanged(id, position);
    }
    return true;
}

bool ListingCache::SetEntryMode(int32_t id, int32_t position, uint32_t mode) {
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr || !node->Holds(position)) {
            return false;
        }
        node->entries.SetMode(position, mode);
    }
    if (DirectoryObserver* watcher = observer()) {
        watcher->OnEntryChanged(id, position);
    }
    return true;
}

int32_t ListingCache::PutEntry(int32_t id, RemoteEntry entry) {
    if (entry.name.empty()) {
        return -1;
    }
    int32_t position;
    bool replaced;
    {
        std::lock_guard guard(lock_);
        Node* node = NodeLocked(id);
        if (node == nullptr) {
            return -1;
        }
        node->Index();
        position = node->names.Find(entry.name, node->entries);
        replaced = position >= 0;
        if (replaced) {
            // Same name, so the index stays as it is.
            node->entries.Replace(position, entry);
        } else {
            // Indexed by the next lookup.
            position = node->entries.Append(entry);
        }
    }
    if (DirectoryObserver* watcher = observer()) {
        if (replaced) {
            watcher->OnEntryChanged(id, position);
        } else {
            watcher->OnEntryAdded(id, position);
        }
    }
    return position;
}

int32_t ListingCache::VisitEntries(
    int32_t id, int32_t first, int32_t count,
    const std::function<void(int32_t, const RemoteEntry&)>& visit) const {
    std::lock_guard guard(lock_);
    Node* node = NodeLocked(id);
    if (node == nullptr || first < 0 || count <= 0) {
        return 0;
    }
    int32_t available = node->entries.size() - first;
    if (available <= 0) {
        return 0;
    }
    int32_t visited = std::min(count, available);
    // One entry reused for the whole visit: its strings keep their room.
    RemoteEntry entry;
    for (int32_t position = first; position < first + visited; ++position) {
        node->entries.Read(position, entry, false);
        visit(position, entry);
    }
    return visited;
}

std::vector<RemoteEntry> ListingCache::Snapshot(int32_t id) const {
    std::lock_guard guard(lock_);
    std::vector<RemoteEntry> copy;
    Node* node = NodeLocked(id);
    if (node == nullptr) {
        return copy;
    }
    copy.reserve(static_cast<size_t>(node->entries.size()));
    for (int32_t position = 0; position < node->entries.size(); ++position) {
        node->entries.Read(position, copy.emplace_back(), true);
    }
    return copy;
}

}  // namespace qvex
