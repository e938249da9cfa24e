#include "transfer/remote_operations.h"

#include <cstdio>
#include <optional>
#include <string>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "state/shared_heap.h"
#include "transfer/entry_types.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_date.h"
#include "transfer/navigation.h"
#include "transfer/transfer_steps.h"

namespace qvex {
namespace {

void PublishTitle(const std::string& text) {
    if (SharedHeap* heap = ProcessHeap()) {
        (void)heap->PublishString("AppTitle", text.c_str());
    }
}

bool Operable(const std::optional<RemoteEntry>& entry) {
    return entry && !entry->name.empty() && entry->name != "." && entry->name != "..";
}

const PositionList* PositionsOf(const SessionCommand& command) {
    return dynamic_cast<const PositionList*>(command.object.get());
}

// The position now of entry `at` of a queued list, found by the name it had when queued:
// nullopt for an entry that had no name, and, after "*** unable to find ", for a name that a
// rebuilt listing no longer holds.
std::optional<int32_t> QueuedPosition(const ListingCache& cache, int32_t id,
                                      const PositionList& list, size_t at) {
    if (at >= list.names.size() || list.names[at].empty()) {
        return std::nullopt;
    }
    int32_t position = cache.Relocate(id, list.positions[at], list.names[at]);
    if (position < 0) {
        logExt("*** unable to find ", list.names[at].c_str());
        return std::nullopt;
    }
    return position;
}

// A result of DeleteTree that ends the whole delete: the lost server, or the command's
// limit of folders (negative).
bool EndsDelete(int code) {
    return code < 0 || code == kReplyConnectionLost;
}

void TellRenameFailed(const ListingCache& cache, int32_t id, int32_t position) {
    if (DirectoryObserver* watcher = cache.observer()) {
        watcher->OnRenameFailed(id, position);
    }
}

}  // namespace

int EnterDirectory(SessionWorker& session, ListingCache& cache, int32_t id) {
    std::optional<std::string> path = cache.PathOf(id);
    if (!path) {
        logExt("*** remote directory not in the listing cache");
        return 599;
    }
    if (*path == session.currentDirectory) {
        return 257;
    }
    if (beyondUnknownLoginFolder(session, *path)) {
        return 550;
    }
    FtpReply reply;
    int code = exchangeCommand(session, "CWD", *path, reply);
    if (code / 100 != 2) {
        return code;
    }
    storeCurrentDirectory(session, *path);
    return 257;
}

int DeleteEntry(SessionWorker& session, ListingCache& cache, int32_t id, int32_t position) {
    std::optional<RemoteEntry> entry = cache.Entry(id, position);
    if (!Operable(entry)) {
        return 599;
    }
    const std::string& name = entry->name;
    PublishTitle("DELETE " + name);
    logExt("DELETEing ", name.c_str());
    FtpReply reply;
    int code = exchangeCommand(session, isDirectory(*entry) ? "RMD" : "DELE", name, reply);
    PublishTitle("");
    if (code / 100 == 2) {
        (void)cache.RemoveEntry(id, position);
        logExt("... DELETEd ", name.c_str());
    } else {
        logExt("*** Unable to DELETE ", name.c_str());
    }
    return code;
}

int DeleteTree(SessionWorker& session, ListingCache& cache, int32_t id, int32_t position,
               int32_t flags, DirectoryTrail& trail) {
    std::optional<RemoteEntry> entry = cache.Entry(id, position);
    if (!Operable(entry)) {
        return 599;
    }
    SessionCommand list;
    list.kind = kCommandList;
    list.text = entry->name;
    list.a = position;
    list.b = 0;
    list.c = id;
    int32_t subdirectory = kNoDirectory;
    int code = listDirectory(session, cache, list, &subdirectory);
    if (code / 100 != 2) {
        return code;
    }
    // A listing that leads back up, or a server that reports one folder for every CWD,
    // would otherwise recurse until the stack ends.
    switch (enterFolder(trail, cache.PathOf(subdirectory).value_or(list.text))) {
        case TrailStep::Enter:
            break;
        case TrailStep::Skip:
            return 550;
        case TrailStep::Stopped:
            return -599;
    }
    int32_t count = cache.EntryCount(subdirectory);
    int last = 200;
    for (int32_t index = 0; index < count && last != kReplyConnectionLost; ++index) {
        std::optional<RemoteEntry> child = cache.Entry(subdirectory, index);
        if (!Operable(child)) {
            continue;
        }
        // Depth first: a folder is emptied before its RMD below.
        if (isDirectory(*child) && (flags & kDeleteRecursive) != 0) {
            code = DeleteTree(session, cache, subdirectory, index, flags, trail);
            if (EndsDelete(code)) {
                last = code;
                break;
            }
        }
        code = EnterDirectory(session, cache, subdirectory);
        if (code / 100 != 2) {
            last = code;
            break;
        }
        last = DeleteEntry(session, cache, subdirectory, index);
    }
    leaveFolder(trail);
    return last;
}

int DeleteEntries(SessionWorker& session, ListingCache& cache, SessionCommand& command) {
    const int32_t id = command.c;
    int last = 200;
    DirectoryTrail trail;
    if (auto path = cache.PathOf(id)) {
        trail.path.push_back(*path);
    }
    const PositionList* list = PositionsOf(command);
    for (size_t at = 0; list != nullptr && at < list->positions.size(); ++at) {
        std::optional<int32_t> position = QueuedPosition(cache, id, *list, at);
        if (!position) {
            continue;
        }
        std::optional<RemoteEntry> entry = cache.Entry(id, *position);
        if (!Operable(entry)) {
            continue;
        }
        if (isDirectory(*entry) && (command.b & kDeleteRecursive) != 0) {
            int code = DeleteTree(session, cache, id, *position, command.b, trail);
            if (EndsDelete(code)) {
                last = code < 0 ? -code : code;
                break;
            }
        }
        int code = EnterDirectory(session, cache, id);
        if (code / 100 != 2) {
            last = code;
            break;
        }
        last = DeleteEntry(session, cache, id, *position);
        if (last == kReplyConnectionLost) {
            break;
        }
    }
    command.object.reset();
    return last;
}

int MakeDirectory(SessionWorker& session, ListingCache& cache, const SessionCommand& command) {
    int code = EnterDirectory(session, cache, command.c);
    if (code / 100 != 2) {
        return code;
    }
    const std::string& name = command.text;
    PublishTitle("CREATE " + name);
    logExt("CREATEing ", name.c_str());
    FtpReply reply;
    code = exchangeCommand(session, "MKD", name, reply);
    // Only 257 says the directory was made (RFC 959 section 4.2); its text is not read.
    if (code == 257) {
        RemoteEntry made;
        made.name = name;
        made.flags = kEntryDirectory | kEntryTimeValid;
        const int64_t now = listingNow();
        setSizeAndTime(made, 0, now, now);
        assignTypeAndIcon(made);
        (void)cache.AppendEntry(command.c, std::move(made));
        logExt("... CREATEd ", name.c_str());
    } else {
        logExt("*** Unable to CREATE ", name.c_str());
    }
    PublishTitle("");
    return code;
}

int RenameEntry(SessionWorker& session, ListingCache& cache, const SessionCommand& command) {
    const int32_t id = command.c;
    const PositionList* list = PositionsOf(command);
    std::optional<int32_t> found =
        list != nullptr ? QueuedPosition(cache, id, *list, 0) : std::nullopt;
    if (!found) {
        return 0;
    }
    const int32_t position = *found;
    std::optional<RemoteEntry> entry = cache.Entry(id, position);
    if (!entry || entry->name.empty()) {
        return 0;
    }
    int code = EnterDirectory(session, cache, id);
    if (code / 100 != 2) {
        return code;
    }
    const std::string oldName = entry->name;
    const std::string& newName = command.text;
    PublishTitle("RENAME " + oldName + " " + newName);
    logExt(("RENAMEing " + oldName + " to ").c_str(), newName.c_str());
    FtpReply reply;
    if (commandRefused("RNTO", newName)) {
        // RNTO could not follow, and an RNFR would leave the server waiting for it: this
        // exchange only logs why the command is refused, nothing is sent.
        code = exchangeCommand(session, "RNTO", newName, reply);
        TellRenameFailed(cache, id, position);
        logExt("*** Unable to RENAME TO ", newName.c_str());
    } else if (code = exchangeCommand(session, "RNFR", oldName, reply); code != 350) {
        TellRenameFailed(cache, id, position);
        logExt("*** Unable to RENAME FROM ", oldName.c_str());
    } else if (code = exchangeCommand(session, "RNTO", newName, reply); code / 100 == 2) {
        logExt(("... RENAMEd " + oldName + " to ").c_str(), newName.c_str());
        (void)cache.SetEntryName(id, position, newName);
    } else {
        TellRenameFailed(cache, id, position);
        logExt("*** Unable to RENAME TO ", newName.c_str());
    }
    PublishTitle("");
    return code;
}

int SiteCommand(SessionWorker& session, ListingCache& cache, SessionCommand& command) {
    const PositionList* list = PositionsOf(command);
    // A typed line needs no directory; before the first listing there is none to enter.
    int code = list == nullptr && command.c == kNoDirectory
                   ? 200
                   : EnterDirectory(session, cache, command.c);
    if (code / 100 == 2) {
        FtpReply reply;
        if (list == nullptr) {
            code = exchangeCommand(session, command.text, std::nullopt, reply);
        } else {
            char verb[32];
            std::snprintf(verb, sizeof verb, "SITE chmod %04o", static_cast<unsigned>(command.b));
            for (size_t at = 0; at < list->positions.size(); ++at) {
                std::optional<int32_t> position = QueuedPosition(cache, command.c, *list, at);
                if (!position) {
                    continue;
                }
                code = exchangeCommand(session, verb, list->names[at], reply);
                if (code / 100 == 2) {
                    (void)cache.SetEntryMode(command.c, *position,
                                             static_cast<uint32_t>(command.b) & 0xFFFFu);
                }
                // Every entry is tried whatever the replies, but a lost server answers none.
                if (code == kReplyConnectionLost) {
                    break;
                }
            }
        }
    }
    command.object.reset();
    return code;
}

}  // namespace qvex
