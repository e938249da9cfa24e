#include "transfer/download.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "platform/local_file.h"
#include "platform/tick.h"
#include "state/restart_database.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_date.h"
#include "transfer/remote_facts.h"
#include "transfer/navigation.h"
#include "transfer/remote_entry.h"
#include "transfer/remote_operations.h"
#include "transfer/text_conversion.h"
#include "transfer/transfer_progress.h"
#include "transfer/transfer_steps.h"
#include "transfer/transfer_type.h"

namespace qvex {
namespace {

// RFC 959 "426 Connection closed; transfer aborted": what a short file amounts to.
constexpr int kTransferAborted = 426;

void logUnsafeName(const std::string& name) {
    logRaw("@@@ Unsafe name from the server skipped: ", name.c_str());
}

// The names an entry would create locally: its local name, and for a link to a folder its
// own name too.
bool entryNamesAreSafe(const RemoteEntry& entry) {
    return isSafeLocalName(localNameOf(entry)) &&
           (!isSymLink(entry) || isSafeLocalName(entry.name));
}

// The file's time: the listed time, corrected by the biases when it had a time of day.
int64_t localFileTime(const SessionWorker& session, const RemoteEntry& entry) {
    if (entry.time == 0) {
        return 0;
    }
    if ((entry.flags & kEntryTimeValid) != 0) {
        return entry.time + session.serverBias - session.localBias;
    }
    return entry.time;
}

// getFile and, once the file is there, the local view's notice.
int fetchFile(SessionWorker& session, const ListingCache& cache, const RemoteEntry& entry,
              const std::string& localPath, int32_t flags) {
    int code = getFile(session, entry, localPath, flags);
    DirectoryObserver* observer = cache.observer();
    if (observer != nullptr && succeeded(code)) {
        observer->OnLocalFileStored(localPath);
    }
    return code;
}

// One entry of a listing into `localPath`: a folder or link goes down, a file is fetched.
int fetchEntry(SessionWorker& session, ListingCache& cache, int32_t dirId, int32_t position,
               const RemoteEntry& entry, const std::string& localPath, int32_t flags,
               DirectoryTrail& trail) {
    session.transferName = entry.name;
    if (isDirectory(entry) || isSymLink(entry)) {
        return getDirectory(session, cache, dirId, position, localPath, flags, trail);
    }
    return fetchFile(session, cache, entry, localPath, flags);
}

// Makes (or accepts) the folder that receives a directory. False after the failure line.
bool prepareLocalFolder(const ListingCache& cache, const std::string& folder) {
    if (auto status = platform::LocalPathStatus(folder); status) {
        if (status->isFolder) {
            return true;
        }
        logRaw("@@@ Unable to create [directory] ", folder.c_str());
        return false;
    }
    logExt("Creating LOCAL directory ", folder.c_str());
    if (!platform::MakeLocalFolder(folder)) {
        logRaw("@@@ Unable to create [directory] ", folder.c_str());
        return false;
    }
    if (DirectoryObserver* observer = cache.observer(); observer != nullptr) {
        observer->OnLocalFolderCreated(folder);
    }
    return true;
}

// The item list of a get command, by source kind.
struct GetItems {
    const std::vector<int32_t>* positions = nullptr;
    // The view's entries as queued: each is found by its name, not its position.
    const PositionList* queued = nullptr;
    std::vector<int32_t> ownPositions;
    std::vector<std::string> names;

    size_t size() const { return positions != nullptr ? positions->size() : names.size(); }
};

GetItems itemsOf(const SessionCommand& command) {
    GetItems items;
    const int32_t source = sourceKindOf(command.b);
    if (source == 0) {
        static const std::vector<int32_t> none;
        items.queued = dynamic_cast<const PositionList*>(command.object.get());
        items.positions = items.queued != nullptr ? &items.queued->positions : &none;
    } else if (source == 1 || source == kGetRemotePath) {
        if (auto* name = dynamic_cast<const TextPayload*>(command.object.get())) {
            items.names.push_back(name->text);
        }
    } else if (auto* list = dynamic_cast<const NameList*>(command.object.get())) {
        items.names = list->names;
    }
    return items;
}

std::string currentFolder() {
    std::error_code ignored;
    std::string folder = std::filesystem::current_path(ignored).string();
    return folder;
}

// A path relative to the login folder (or absolute): its folder is listed, and the path
// becomes the name to fetch from that listing. False (with the listing's code) when the
// folder cannot be listed.
bool resolveRemotePath(SessionWorker& session, ListingCache& cache, GetItems& items, int32_t& dirId,
                       int& code) {
    std::string path = items.names.empty() ? std::string() : items.names.front();
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    size_t cut = path.rfind('/');
    std::string folder =
        cut == std::string::npos ? std::string() : path.substr(0, cut == 0 ? 1 : cut);
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    SessionCommand list;
    list.kind = kCommandList;
    list.text = pathFromLoginFolder(session, std::move(folder));
    code = listDirectory(session, cache, list, &dirId);
    if (!succeeded(code) || dirId < 0) {
        return false;
    }
    items.names.clear();
    if (name.empty() || name == "/") {
        // The login folder or the root itself: everything in it.
        for (int32_t position = 0; position < cache.EntryCount(dirId); ++position) {
            items.ownPositions.push_back(position);
        }
        items.positions = &items.ownPositions;
    } else {
        items.names.push_back(name);
    }
    return true;
}

}  // namespace

bool isSafeLocalName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string joinLocalPath(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    path.append(name);
    return path;
}

int getFiles(SessionWorker& session, ListingCache& cache, SessionCommand& command) {
    const int32_t flags = command.b;
    GetItems items = itemsOf(command);
    int32_t dirId = command.c >= 0 ? command.c : cache.FindPath(session.currentDirectory);
    if (sourceKindOf(flags) == kGetRemotePath) {
        int code = 0;
        if (!resolveRemotePath(session, cache, items, dirId, code)) {
            reportOutcome(session, kOutcomeDownloadFailed);
            return succeeded(code) ? 550 : code;
        }
    }

    session.localFolder = command.text.empty() ? currentFolder() : command.text;
    session.transferCode = std::string("G") + transferTypeLetter(transferTypeOf(flags));
    if (RestartDatabase* record = restartRecordOf(session)) {
        if (session.restartOffset == 0) {
            record->SetRestartField(kRestartFieldOperation, session.transferCode);
        } else {
            logExt("Restarting GET of ", items.names.empty() ? "" : items.names.front().c_str());
            session.restartRequested = true;
        }
    }

    int result = 0;
    DirectoryTrail trail;
    if (auto path = cache.PathOf(dirId)) {
        trail.path.push_back(*path);
    }
    for (size_t index = 0; index < items.size() && !session.abortRequested; ++index) {
        int32_t position;
        if (items.queued != nullptr) {
            const std::vector<std::string>& names = items.queued->names;
            if (index >= names.size() || names[index].empty()) {
                continue;
            }
            position = cache.Relocate(dirId, (*items.positions)[index], names[index]);
            if (position < 0) {
                logExt("*** unable to find ", names[index].c_str());
                reportOutcome(session, kOutcomeDownloadFailed);
                result = 550;
                continue;
            }
        } else if (items.positions != nullptr) {
            position = (*items.positions)[index];
        } else {
            const std::string& name = items.names[index];
            position = cache.FindEntry(dirId, name);
            if (position < 0) {
                logExt(session.restartRequested ? "*** restart failed on " : "*** unable to find ",
                       name.c_str());
                reportOutcome(session, kOutcomeDownloadFailed);
                result = 550;
                continue;
            }
        }
        std::optional<RemoteEntry> entry = cache.Entry(dirId, position);
        if (!entry || entry->name.empty()) {
            continue;
        }
        if (!entryNamesAreSafe(*entry)) {
            logUnsafeName(entry->name);
            reportOutcome(session, kOutcomeDownloadFailed);
            result = 550;
            continue;
        }
        int code = EnterDirectory(session, cache, dirId);
        if (!succeeded(code)) {
            result = code;
            break;
        }
        const std::string localName = localNameOf(*entry);
        publishTitle("GET " + localName);
        std::string line = "GETing " + remoteNameOf(*entry) + " -> " + session.localFolder;
        logExt(line.c_str());
        code = fetchEntry(session, cache, dirId, position, *entry,
                          joinLocalPath(session.localFolder, localName), flags, trail);
        result = code;
        if (stopsCommand(code)) {
            result = code < 0 ? -code : code;
            break;
        }
    }

    // A resumption that found nothing to resume must not turn a later download into one.
    session.restartRequested = false;
    session.restartOffset = 0;
    session.abortRequested = false;
    publishTitle("");
    publishProgress(0, nullptr);
    return result;
}

int getDirectory(SessionWorker& session, ListingCache& cache, int32_t dirId, int32_t position,
                 const std::string& localPath, int32_t flags, DirectoryTrail& trail) {
    std::optional<RemoteEntry> entry = cache.Entry(dirId, position);
    if (!entry) {
        return 550;
    }
    SessionCommand list;
    list.kind = kCommandList;
    list.text = directoryArgument(*entry);
    list.a = position;
    list.b = 0;
    list.c = dirId;
    int32_t listedId = -1;
    int code = listDirectory(session, cache, list, &listedId);
    if (!succeeded(code) || listedId < 0) {
        if (!isDirectory(*entry) && code != kReplyConnectionLost) {
            // A link to a file cannot be entered: fetch it instead.
            return fetchFile(session, cache, *entry, localPath, flags);
        }
        reportOutcome(session, kOutcomeDownloadFailed);
        return -(succeeded(code) ? 550 : code);
    }

    std::string remotePath = cache.PathOf(listedId).value_or(list.text);
    if (TrailStep step = enterFolder(trail, remotePath); step != TrailStep::Enter) {
        reportOutcome(session, kOutcomeDownloadFailed);
        return step == TrailStep::Stopped ? -599 : 550;
    }

    // A link to a folder is copied as a folder named after the link.
    std::string folder = localPath;
    if (isSymLink(*entry)) {
        size_t cut = localPath.rfind('/');
        folder =
            cut == std::string::npos ? entry->name : localPath.substr(0, cut + 1) + entry->name;
    }
    if (folder.size() > platform::MaxLocalPathLength()) {
        logExt("*** Local path too long; not descending into ", remotePath.c_str());
        leaveFolder(trail);
        reportOutcome(session, kOutcomeDownloadFailed);
        return 550;
    }
    if (!prepareLocalFolder(cache, folder)) {
        leaveFolder(trail);
        reportOutcome(session, kOutcomeDownloadFailed);
        return -599;
    }

    std::string savedFolder = std::move(session.localFolder);
    session.localFolder = folder;
    int result = 200;
    std::vector<RemoteEntry> children = cache.Snapshot(listedId);
    for (size_t index = 0; index < children.size() && !session.abortRequested; ++index) {
        const RemoteEntry& child = children[index];
        if (child.name.empty() || child.name == "." || child.name == "..") {
            continue;
        }
        if (!entryNamesAreSafe(child)) {
            logUnsafeName(child.name);
            reportOutcome(session, kOutcomeDownloadFailed);
            result = 550;
            continue;
        }
        code = EnterDirectory(session, cache, listedId);
        if (!succeeded(code)) {
            result = code < 0 ? code : -code;
            break;
        }
        result = fetchEntry(session, cache, listedId, static_cast<int32_t>(index), child,
                            joinLocalPath(folder, localNameOf(child)), flags, trail);
        if (stopsCommand(result)) {
            break;
        }
    }
    leaveFolder(trail);
    session.localFolder = std::move(savedFolder);
    return result;
}

int getFile(SessionWorker& session, const RemoteEntry& entry, const std::string& localPath,
            int32_t flags) {
    const TransferType type = transferTypeOf(flags);
    std::optional<platform::LocalStatus> existing = platform::LocalPathStatus(localPath);

    // 1. Update-ONLY: only a newer remote file replaces the local one. The exact time, where
    // MDTM gives one, also goes on the file, so that the next run finds it the same.
    std::optional<int64_t> exactTime;
    if ((flags & kTransferUpdateOnly) != 0) {
        exactTime = askExactRemoteTime(session, remoteNameOf(entry));
    }
    if ((flags & kTransferUpdateOnly) != 0 && existing && existing->isFile &&
        compareRemoteFileToLocalTime(session, entry, exactTime, existing->modified) != 1) {
        logExt("!!! Update-ONLY; skipping GET of ", localPath.c_str());
        reportOutcome(session, kOutcomeDownloadSkipped);
        return 200;
    }
    // 2. Something that is not a file is in the way; checked before the server is asked.
    if (localPath.size() > platform::MaxLocalPathLength() || (existing && !existing->isFile)) {
        logRaw("@@@ Create failed on ", localPath.c_str());
        reportOutcome(session, kOutcomeDownloadFailed);
        return 599;
    }

    // 3.
    int code = setRepresentationType(session, type != TransferType::Text);
    if (!succeeded(code)) {
        reportOutcome(session, kOutcomeDownloadFailed);
        return -code;
    }

    // 4-6.
    const bool resuming = session.restartRequested;
    std::optional<int64_t> serverSize;
    if (resuming) {
        session.restartOffset = existing ? existing->size : 0;
        // A local file longer than the server's is no part of it: all of it comes again.
        if (session.restartOffset != 0 && type != TransferType::Text) {
            serverSize = askRemoteSize(session, remoteNameOf(entry));
            if (serverSize && static_cast<uint64_t>(*serverSize) < session.restartOffset) {
                session.restartOffset = 0;
            }
        }
    }
    std::string command = "RETR " + remoteNameOf(entry);
    int64_t expected = serverSize ? *serverSize : isSymLink(entry) ? -1 : entry.size;
    std::array<char, 512> firstReply{};
    int opened = OpenDataConnection(session, command, &firstReply);
    if (opened != kDataOpen) {
        reportOutcome(session, kOutcomeDownloadFailed);
        return opened == kDataFailed ? 599 : kReplyConnectionLost;
    }

    // Nothing local changes before the first byte: "150" followed by "550" (or a
    // connection that closes at once) must leave an existing file as it was.
    RestartDatabase* record = restartRecordOf(session);
    const uint64_t startOffset = resuming ? session.restartOffset : 0;
    platform::LocalFile file;
    auto openLocalFile = [&] {
        if (file.OpenForWriting(localPath) &&
            (startOffset == 0 ? file.Empty() : file.Seek(startOffset))) {
            return true;
        }
        logRaw("@@@ Create failed on ", localPath.c_str());
        return false;
    };
    (void)session.data.SetBuffer(kDownloadBlockSize);

    // Data flows from here on, so a stop sends ABOR, also while the Smart block is awaited.
    session.transferActive = true;

    // 7. Smart: the first block decides the conversion of the whole file. Text comes with
    // the wire's CR LF line ends and is stored with LF.
    long pending = 0;
    TextConversion conversion;
    if (type == TransferType::Text) {
        conversion.type = EffectiveType::DosAscii;
    } else if (type == TransferType::Smart) {
        // The block allocated above is kept; only this one receive is shorter.
        (void)session.data.SetBuffer(kSmartProbeSize);
        pending = session.data.Fill();
        conversion.type = smartDownloadType(session, localPath, session.data.buffer(),
                                            pending > 0 ? static_cast<size_t>(pending) : 0);
    }

    // 8.
    if (expected < 0) {
        auto captures = session.patterns.byteCount.Search(firstReply.data());
        if (captures.size() > 1 && captures[1] && captures[1]->size() <= 18) {
            expected = std::stoll(*captures[1]);
        }
    }

    // 9.
    uint64_t received = 0;
    if (record != nullptr) {
        if (resuming) {
            received = startOffset;
            session.restartOffset = 0;
            session.restartRequested = false;
        } else {
            record->SetRestartField(kRestartFieldRemoteName, session.transferName);
            record->SetRestartField(kRestartFieldLocal, session.localFolder);
        }
    }

    // 10.
    std::string name(localNamePart(localPath));
    std::string displayTemplate =
        progressTemplate("GET ", name, expected < 0 ? " (%dKB)" : " (%d%%)");
    const uint32_t startTick = platform::TickCount();
    ByteProgress progress(session);
    progress.progressStart(expected, startTick);

    // 11. Bytes stored as they arrive go from the socket straight into the file once the
    // first block has opened it: one copy of each byte instead of two.
    FileSink sink(file);
    platform::SocketToFile direct;
    const bool storeDirectly =
        (conversion.type == EffectiveType::Image || conversion.type == EffectiveType::LocalAscii) &&
        direct.Open();
    bool readFailed = false;
    bool createFailed = false;
    bool writeFailed = false;
    bool firstBlock = true;
    int64_t shown = -1;
    auto failWrite = [&writeFailed] {
        logRaw("@@@ Error writing local file ", lastFileErrorText().c_str());
        writeFailed = true;
    };
    while (!session.abortRequested) {
        long count = pending;
        pending = 0;
        bool written = false;
        if (count == 0 && storeDirectly && file.isOpen()) {
            count = session.data.FillFile(direct, file, platform::SocketToFile::kMostPerMove);
            if (count == platform::SocketToFile::kWriteFailed) {
                failWrite();
                break;
            }
            written = true;
        } else if (count == 0) {
            // After a Smart probe the rest goes in full blocks again.
            if (session.data.capacity() < kDownloadBlockSize) {
                (void)session.data.SetBuffer(kDownloadBlockSize);
            }
            count = session.data.Fill();
        }
        if (count <= 0) {
            readFailed = count == -1;
            break;
        }
        if (!file.isOpen() && !openLocalFile()) {
            createFailed = true;
            break;
        }
        if (!written &&
            !writeConverted(sink, session.data.buffer(), static_cast<size_t>(count), conversion)) {
            failWrite();
            break;
        }
        received += static_cast<uint64_t>(count);
        progress.progressReport(received);
        if (int64_t value = progressValue(received, expected); value != shown) {
            publishProgress(value, displayTemplate.c_str());
            shown = value;
        }
        if (firstBlock && record != nullptr) {
            record->SetRestartPending(1);
        }
        firstBlock = false;
    }

    if (!writeFailed && !finishConverted(sink, conversion)) {
        failWrite();
    }

    // 12.
    LogTransferSummary(session, "received", received - startOffset, startTick);
    session.data.Close();
    FtpReply reply;
    code = ReadReply(session, reply, false);

    // An empty file (or a resumption with nothing left to add) is made once the server says
    // it is complete.
    bool delivered =
        succeeded(code) && !readFailed && !createFailed && !writeFailed && !session.abortRequested;
    if (delivered && !file.isOpen() && !openLocalFile()) {
        createFailed = true;
        delivered = false;
    }
    // A server that stops early and still reports success sent a short file. Only a size in
    // bytes can tell: a VMS listing gives blocks.
    const bool exactSize = expected >= 0 && (entry.flags & kEntryVmsForm) == 0;
    const bool shortFile = delivered && exactSize && received < static_cast<uint64_t>(expected);
    if (shortFile) {
        char line[128];
        std::snprintf(line, sizeof line, "*** Short file: %llu of %lld bytes received for ",
                      static_cast<unsigned long long>(received), static_cast<long long>(expected));
        logExt(line, localPath.c_str());
    }
    const bool wasOpen = file.isOpen();
    file.Close();

    if (createFailed) {
        session.transferActive = false;
        if (record != nullptr) {
            record->SetRestartPending(0);
        }
        reportOutcome(session, kOutcomeDownloadFailed);
        return 599;
    }

    // 13. A broken transfer stays pending for the next session; a local failure does not.
    // A partial file never takes a time that would pass for up to date.
    const bool complete = delivered && !shortFile;
    if (!complete && wasOpen) {
        (void)platform::SetLocalModificationTime(localPath, 0);
    }
    if (record != nullptr) {
        if (!session.abortRequested && !writeFailed &&
            (readFailed || shortFile || !succeeded(code))) {
            logExt("*** Network error, queue flushed");
            session.transferActive = false;
            reportOutcome(session, kOutcomeDownloadFailed);
            return kReplyConnectionLost;
        }
        record->SetRestartPending(0);
    }

    // 14.
    session.transferActive = false;
    publishTitle("");
    publishProgress(0, nullptr);

    // 15. Only a complete file takes the listed (or MDTM's exact) time.
    if (complete) {
        if (int64_t time = exactTime ? *exactTime : localFileTime(session, entry); time != 0) {
            (void)platform::SetLocalModificationTime(localPath, time);
        }
    }

    // 16. Without recovery a short file ends as a transfer the server aborted, and the
    // command goes on.
    reportOutcome(session, complete ? kOutcomeDownloaded : kOutcomeDownloadFailed);
    return shortFile ? kTransferAborted : code;
}

}  // namespace qvex
