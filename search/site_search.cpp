#include "search/site_search.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/control_connection.h"
#include "engine/session.h"
#include "search/search_pattern.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_language.h"
#include "transfer/navigation.h"

namespace qvex {
namespace {

// Entries copied per hold of the cache's lock. Names are matched after it is released: an
// expression may take long on a name, and the user interface reads the cache meanwhile.
constexpr int32_t kExaminedBatch = 256;

struct Examined {
    int32_t position = 0;
    bool skipped = false;
    bool directory = false;
    std::string name;
};

// One folder of the walk, with the entries read from the cache but not yet acted on.
struct Frame {
    int32_t id = 0;
    int32_t count = 0;
    int32_t next = 0;
    // Slots are reused from batch to batch, so that names rarely need new memory.
    std::vector<Examined> batch;
    size_t filled = 0;
    size_t acted = 0;
};

Frame Enter(const ListingCache& cache, int32_t id) {
    Frame frame;
    frame.id = id;
    frame.count = std::max(cache.EntryCount(id), 0);
    return frame;
}

// Copies the next entries of the frame's folder out of the cache.
void Examine(const ListingCache& cache, Frame& frame) {
    const int32_t wanted = std::min(kExaminedBatch, frame.count - frame.next);
    frame.batch.resize(std::max(frame.batch.size(), static_cast<size_t>(wanted)));
    frame.filled = 0;
    frame.acted = 0;
    int32_t visited = cache.VisitEntries(
        frame.id, frame.next, wanted, [&frame](int32_t position, const RemoteEntry& entry) {
            Examined& examined = frame.batch[frame.filled++];
            examined.position = position;
            examined.skipped = entry.name.empty() || entry.name == "." || entry.name == "..";
            examined.directory = isDirectory(entry);
            examined.name.assign(entry.name);
        });
    // A listing that shrank under us ends the folder here.
    frame.count = visited < wanted ? frame.next + visited : frame.count;
    frame.next += visited;
}

class Forward : public SearchObserver {
  public:
    Forward(const SearchReceivers& receivers, int32_t receiver)
        : receivers_(receivers), receiver_(receiver) {}
    void OnSearchMatch(int32_t folderId, int32_t index) override {
        receivers_.Match(receiver_, folderId, index);
    }
    void OnSearchEnded(int32_t folders, int32_t files) override {
        receivers_.Ended(receiver_, folders, files);
    }

  private:
    const SearchReceivers& receivers_;
    int32_t receiver_;
};

}  // namespace

int32_t SearchReceivers::Add(SearchObserver& observer) {
    std::lock_guard guard(lock_);
    while (observers_.contains(next_)) {
        next_ = next_ == INT32_MAX ? 1 : next_ + 1;
    }
    int32_t receiver = next_;
    observers_.emplace(receiver, &observer);
    next_ = next_ == INT32_MAX ? 1 : next_ + 1;
    return receiver;
}

void SearchReceivers::Remove(int32_t receiver) {
    std::lock_guard guard(lock_);
    observers_.erase(receiver);
}

void SearchReceivers::Match(int32_t receiver, int32_t folderId, int32_t index) const {
    std::lock_guard guard(lock_);
    if (auto found = observers_.find(receiver); found != observers_.end()) {
        found->second->OnSearchMatch(folderId, index);
    }
}

void SearchReceivers::Ended(int32_t receiver, int32_t folders, int32_t files) const {
    std::lock_guard guard(lock_);
    if (auto found = observers_.find(receiver); found != observers_.end()) {
        found->second->OnSearchEnded(folders, files);
    }
}

void PostSiteSearch(SessionWorker& session, const SearchRequest& request) {
    PostCommand(session, kCommandSiteSearch, request.pattern, request.receiver, request.flags,
                request.folderId);
}

int SiteSearch(SessionWorker& session, ListingCache& cache, const SessionCommand& command,
               SearchObserver& observer) {
    SearchPattern pattern;
    if (!pattern.Compile(command.text, (command.b & kSearchPcre) != 0)) {
        observer.OnSearchEnded(0, kSearchBadPattern);
        return 599;
    }
    const bool subfolders = (command.b & kSearchSubfolders) != 0;
    int32_t folders = 0;
    int32_t files = 0;
    // An unknown start folder is not searched at all.
    if (cache.EntryCount(command.c) < 0) {
        observer.OnSearchEnded(folders, files);
        return 200;
    }

    int code = 200;
    std::unordered_set<int32_t> reached{command.c};
    std::vector<Frame> walk;
    walk.push_back(Enter(cache, command.c));
    while (!walk.empty()) {
        Frame& frame = walk.back();
        // A folder counts only when its loop was not cut short, also not by an abort that
        // came during its last entry.
        if (session.abortRequested) {
            break;
        }
        if (frame.acted == frame.filled) {
            if (frame.next >= frame.count) {
                ++folders;
                walk.pop_back();
            } else {
                Examine(cache, frame);
            }
            continue;
        }
        Examined& examined = frame.batch[frame.acted++];
        if (examined.skipped) {
            continue;
        }
        if (pattern.Matches(examined.name)) {
            observer.OnSearchMatch(frame.id, examined.position);
        }
        if (!examined.directory) {
            ++files;
            continue;
        }
        if (!subfolders) {
            continue;
        }
        SessionCommand list;
        list.kind = kCommandList;
        list.text = std::move(examined.name);
        list.a = examined.position;
        list.b = 0;
        list.c = frame.id;
        int32_t child = kNoDirectory;
        int listed = listDirectory(session, cache, list, &child);
        if (listed == kReplyConnectionLost) {
            code = kReplyConnectionLost;
            break;
        }
        if (listed / 100 != 2 || child < 0 || !reached.insert(child).second) {
            continue;
        }
        // `frame` is not used past this point: the push may move it.
        walk.push_back(Enter(cache, child));
    }
    observer.OnSearchEnded(folders, files);
    return code;
}

void InstallSearchHandler(CommandHandlers& handlers, ListingCache& cache,
                          SearchReceivers& receivers) {
    ListingCache* shared = &cache;
    const SearchReceivers* windows = &receivers;
    handlers[kCommandSiteSearch] = [shared, windows](SessionWorker& session,
                                                     SessionCommand& command) {
        // Sub-folders may have to be listed, in the session host's language.
        if (currentListingLanguage().languageId != session.listingLanguage) {
            (void)loadListingLanguage(session.listingLanguage);
        }
        Forward forward(*windows, command.a);
        return SiteSearch(session, *shared, command, forward);
    };
}

}  // namespace qvex
