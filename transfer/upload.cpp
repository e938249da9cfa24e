#include "transfer/upload.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/session_worker.h"
#include "engine/tcp_socket.h"
#include "log/log_sink.h"
#include "platform/local_file.h"
#include "platform/tick.h"
#include "state/restart_database.h"
#include "transfer/entry_types.h"
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

// Where an upload's bytes go: the data connection. Under TLS every send becomes records of its
// own, which the server decrypts and writes one by one: blocks are gathered into sends of
// four full-size records (16 KiB each) instead of one 8 KiB record a block, which halves the
// server's work per byte. Plain FTP sends each block as it comes.
class DataSink final : public ByteSink {
  public:
    explicit DataSink(TcpSocket& socket) : socket_(socket) {}
    [[nodiscard]] bool Write(const char* bytes, size_t n) override {
        if (!socket_.secure()) {
            return Send(bytes, n);
        }
        gathered_.append(bytes, n);
        return gathered_.size() < kSecureSendSize || Flush();
    }
    // Sends what was gathered; false when that send failed.
    [[nodiscard]] bool Flush() {
        const bool sent = Send(gathered_.data(), gathered_.size());
        gathered_.clear();
        return sent;
    }

  private:
    static constexpr size_t kSecureSendSize = 4 * 16384;

    bool Send(const char* bytes, size_t n) {
        const long length = static_cast<long>(n);
        return socket_.SendAll(bytes, length) == length;
    }

    TcpSocket& socket_;
    std::string gathered_;
};

// The paths of a put command, by source kind.
std::vector<std::string> pathsOf(const SessionCommand& command) {
    const int32_t source = sourceKindOf(command.b);
    if (source == 1) {
        return {command.text};
    }
    std::vector<std::string> paths;
    auto* list = dynamic_cast<const NameList*>(command.object.get());
    if (list == nullptr) {
        return paths;
    }
    if (source != 2) {
        return list->names;
    }
    std::string folder = command.text;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') {
        folder.push_back('/');
    }
    paths.reserve(list->names.size());
    for (const std::string& name : list->names) {
        paths.push_back(folder + name);
    }
    return paths;
}

// The local folder's names, sorted so that a tree goes up in the same order every time.
std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string resolvedFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::path real = std::filesystem::canonical(folder, error);
    return error ? folder : real.string();
}

// One local path into `dirId`: a folder goes down, a file is sent.
int sendPath(SessionWorker& session, ListingCache& cache, int32_t dirId, const std::string& path,
             bool isFolder, int32_t flags, LocalTrail& trail) {
    return isFolder ? putDirectory(session, cache, dirId, path, flags, trail)
                    : putFile(session, cache, dirId, path, flags);
}

// A local name that no command line can carry (CR, LF or NUL in it, or too long) is
// skipped before anything goes to the server: sent, it would end the session.
bool sendableName(const std::string& remoteName, const std::string& localPath) {
    if (!commandRefused("STOR", remoteName)) {
        return true;
    }
    logRaw("@@@ Unsafe name not sent to the server: ", localPath.c_str());
    return false;
}

void recordUpload(ListingCache& cache, const SessionWorker& session, int32_t dirId,
                  const std::string& remoteName, uint64_t size, int64_t modified) {
    RemoteEntry entry;
    entry.name = remoteName;
    entry.flags = kEntryTimeValid;
    setSizeAndTime(entry, static_cast<int64_t>(size),
                   modified + session.localBias - session.serverBias);
    assignTypeAndIcon(entry);
    (void)cache.PutEntry(dirId, std::move(entry));
}

}  // namespace

std::string remoteNameOf(const std::string& localPath, bool replaceSpaces) {
    std::string name(localNamePart(localPath));
    if (replaceSpaces) {
        std::replace(name.begin(), name.end(), ' ', '_');
    }
    return name;
}

int putFiles(SessionWorker& session, ListingCache& cache, SessionCommand& command) {
    const int32_t flags = command.b;
    int32_t dirId = command.c >= 0 ? command.c : cache.FindPath(session.currentDirectory);
    if (sourceKindOf(flags) == 0 && !command.text.empty()) {
        SessionCommand list;
        list.kind = kCommandList;
        list.text = command.text;
        list.a = cache.FindEntry(dirId, command.text);
        list.b = 0;
        list.c = dirId;
        int32_t target = -1;
        int code = listDirectory(session, cache, list, &target);
        if (!succeeded(code) || target < 0) {
            return succeeded(code) ? 550 : code;
        }
        dirId = target;
    }
    std::vector<std::string> paths = pathsOf(command);

    session.transferCode = std::string("P") + transferTypeLetter(transferTypeOf(flags));
    if (RestartDatabase* record = restartRecordOf(session)) {
        if (session.restartOffset == 0) {
            record->SetRestartField(kRestartFieldOperation, session.transferCode);
        } else {
            logExt("Restarting PUT of ", std::string(localNamePart(command.text)).c_str());
        }
    }

    int result = 0;
    LocalTrail trail;
    for (std::string& path : paths) {
        if (session.abortRequested) {
            break;
        }
        // "folder/" names the folder itself: its name is the last part before the slash.
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        std::optional<platform::LocalStatus> status;
        if (path.size() <= platform::MaxLocalPathLength()) {
            status = platform::LocalPathStatus(path);
        }
        if (!status) {
            logRaw("@@@ Unable to get status for ", path.c_str());
            reportOutcome(session, kOutcomeUploadFailed);
            continue;
        }
        int code = EnterDirectory(session, cache, dirId);
        if (!succeeded(code)) {
            result = code;
            break;
        }
        code = sendPath(session, cache, dirId, path, status->isFolder, flags, trail);
        result = code;
        if (stopsCommand(code)) {
            result = code < 0 ? -code : code;
            break;
        }
    }

    // A resumption that did not happen must not turn a later STOR into APPE.
    session.restartOffset = 0;
    session.abortRequested = false;
    publishTitle("");
    publishProgress(0, nullptr);
    return result;
}

int putDirectory(SessionWorker& session, ListingCache& cache, int32_t dirId,
                 const std::string& localPath, int32_t flags, LocalTrail& trail) {
    const std::string remoteName = remoteNameOf(localPath, session.replaceSpaces);
    if (!sendableName(remoteName, localPath)) {
        reportOutcome(session, kOutcomeUploadFailed);
        return 599;
    }
    const std::string real = resolvedFolder(localPath);
    if (std::find(trail.begin(), trail.end(), real) != trail.end()) {
        logRaw("@@@ Folder loop; not sending again ", localPath.c_str());
        reportOutcome(session, kOutcomeUploadFailed);
        return 550;
    }

    int32_t position = cache.FindEntry(dirId, remoteName);
    const bool created = position < 0;
    if (created) {
        SessionCommand make;
        make.kind = kCommandMakeDirectory;
        make.text = remoteName;
        make.c = dirId;
        int code = MakeDirectory(session, cache, make);
        if (code != 257) {
            reportOutcome(session, kOutcomeUploadFailed);
            return -code;
        }
        position = cache.FindEntry(dirId, remoteName);
    }

    SessionCommand list;
    list.kind = kCommandList;
    list.text = remoteName;
    list.a = position;
    list.b = created ? kListCreateComplete : 0;
    list.c = dirId;
    int32_t listedId = -1;
    int code = listDirectory(session, cache, list, &listedId);
    if (!succeeded(code) || listedId < 0) {
        reportOutcome(session, kOutcomeUploadFailed);
        return -(succeeded(code) ? 550 : code);
    }

    trail.push_back(real);
    int result = 200;
    for (const std::string& name : folderNames(localPath)) {
        if (session.abortRequested) {
            break;
        }
        std::string child = localPath + "/" + name;
        std::optional<platform::LocalStatus> status;
        if (child.size() <= platform::MaxLocalPathLength()) {
            status = platform::LocalPathStatus(child);
        }
        if (!status) {
            logRaw("@@@ Unable to get status for ", child.c_str());
            reportOutcome(session, kOutcomeUploadFailed);
            continue;
        }
        code = EnterDirectory(session, cache, listedId);
        if (!succeeded(code)) {
            result = code < 0 ? code : -code;
            break;
        }
        result = sendPath(session, cache, listedId, child, status->isFolder, flags, trail);
        if (stopsCommand(result)) {
            break;
        }
    }
    trail.pop_back();
    return result;
}

int putFile(SessionWorker& session, ListingCache& cache, int32_t dirId,
            const std::string& localPath, int32_t flags) {
    // 1-2.
    publishTitle("PUT ...");
    logExt("PUTing ", localPath.c_str());
    const std::string remoteName = remoteNameOf(localPath, session.replaceSpaces);
    if (!sendableName(remoteName, localPath)) {
        reportOutcome(session, kOutcomeUploadFailed);
        return 599;
    }
    std::optional<platform::LocalStatus> status = platform::LocalPathStatus(localPath);

    // 3. Update-ONLY: only an older (or absent) remote file is replaced.
    if ((flags & kTransferUpdateOnly) != 0 && status) {
        int32_t position = cache.FindEntry(dirId, remoteName);
        std::optional<RemoteEntry> remote =
            position >= 0 ? cache.Entry(dirId, position) : std::nullopt;
        if (remote && compareRemoteFileToLocalTime(session, *remote,
                                                   askExactRemoteTime(session, remoteName),
                                                   status->modified) >= 0) {
            logExt("!!! Update-ONLY; skipping PUT of ", localPath.c_str());
            reportOutcome(session, kOutcomeUploadSkipped);
            return 200;
        }
    }

    // 4.
    platform::LocalFile file;
    if (!file.OpenForReading(localPath)) {
        logRaw("@@@ Open failed on ", localPath.c_str());
        reportOutcome(session, kOutcomeUploadFailed);
        return 599;
    }

    // 5. Smart: the first block decides; it is sent first.
    auto block = std::make_unique<char[]>(kUploadBlockSize);
    long pending = 0;
    TransferType type = transferTypeOf(flags);
    if (type == TransferType::Smart) {
        pending = file.Read(block.get(), kUploadBlockSize);
        type = smartUploadType(session, localPath, block.get(),
                               pending > 0 ? static_cast<size_t>(pending) : 0);
    }
    int code = setRepresentationType(session, type != TransferType::Text);
    if (!succeeded(code)) {
        reportOutcome(session, kOutcomeUploadFailed);
        return -code;
    }

    // 6.
    const std::string name(localNamePart(localPath));
    publishTitle("PUT " + name);
    const std::string displayTemplate = progressTemplate("PUT ", name, " (%d%%)");
    const uint64_t fileSize = file.Size().value_or(status ? status->size : 0);
    const int64_t modified = status ? status->modified : 0;

    // 7.
    // A resumption appends to what the server has. SIZE tells it exactly in image type (a
    // listing read before the break may not have the file yet); a server's copy longer than
    // the file is no part of it, and the file is stored anew.
    int64_t serverHas = -1;  // unknown
    if (session.restartEnabled && session.restartOffset != 0 && type != TransferType::Text) {
        serverHas = askRemoteSize(session, remoteName).value_or(-1);
        if (serverHas > 0 && static_cast<uint64_t>(serverHas) > fileSize) {
            serverHas = -1;
            session.restartOffset = 0;
        }
    }
    const bool appending = session.restartEnabled && session.restartOffset != 0;
    int opened = OpenDataConnection(session, (appending ? "APPE " : "STOR ") + remoteName);
    if (opened != kDataOpen) {
        reportOutcome(session, kOutcomeUploadFailed);
        return opened == kDataFailed ? -599 : kReplyConnectionLost;
    }

    // 8.
    session.transferActive = true;
    uint64_t sent = 0;
    RestartDatabase* record = restartRecordOf(session);
    if (record != nullptr) {
        if (session.restartOffset == 0) {
            session.localFolder = localPath;
            record->SetRestartField(kRestartFieldLocal, localPath);
        } else {
            if (serverHas < 0) {
                const int32_t position = cache.FindEntry(dirId, remoteName);
                if (std::optional<RemoteEntry> remote =
                        position >= 0 ? cache.Entry(dirId, position) : std::nullopt) {
                    serverHas = remote->size;
                }
            }
            if (serverHas > 0 && file.Seek(static_cast<uint64_t>(serverHas))) {
                sent = static_cast<uint64_t>(serverHas);
                pending = 0;
            }
            session.restartOffset = 0;
        }
    }
    const uint64_t startOffset = sent;

    // 9.
    const uint32_t startTick = platform::TickCount();
    ByteProgress progress(session);
    progress.progressStart(static_cast<int64_t>(fileSize), startTick);

    // 10. Text goes with the wire's CR LF line ends; the counts are the file's bytes.
    const bool asText = type == TransferType::Text;
    DataSink wire(session.data);
    bool afterCr = false;
    bool readFailed = false;
    bool sendFailed = false;
    bool firstBlock = true;
    int64_t shown = -1;
    while (!session.abortRequested) {
        long count = pending != 0 ? pending : file.Read(block.get(), kUploadBlockSize);
        pending = 0;
        if (count <= 0) {
            readFailed = count < 0;
            break;
        }
        const auto length = static_cast<size_t>(count);
        if (!(asText ? writeNetworkText(wire, block.get(), length, afterCr)
                     : wire.Write(block.get(), length))) {
            sendFailed = true;
            break;
        }
        sent += static_cast<uint64_t>(count);
        progress.progressReport(sent);
        if (int64_t value = progressValue(sent, static_cast<int64_t>(fileSize)); value != shown) {
            publishProgress(value, displayTemplate.c_str());
            shown = value;
        }
        if (firstBlock && record != nullptr) {
            record->SetRestartPending(1);
        }
        firstBlock = false;
    }
    if (readFailed) {
        logRaw("@@@ Error reading local file ", lastFileErrorText().c_str());
    }
    if (!sendFailed && !session.abortRequested && !wire.Flush()) {
        sendFailed = true;
    }

    // 11.
    LogTransferSummary(session, "sent", sent - startOffset, startTick);
    session.data.Close();
    FtpReply reply;
    code = ReadReply(session, reply, false);
    file.Close();

    // 12.
    if (record != nullptr) {
        if (!session.abortRequested && !readFailed && (sendFailed || !succeeded(code))) {
            logExt("*** Network error, queue flushed");
            session.transferActive = false;
            reportOutcome(session, kOutcomeUploadFailed);
            return kReplyConnectionLost;
        }
        record->SetRestartPending(0);
    }

    // 13. The listing shows what the server now holds.
    session.transferActive = false;
    if (succeeded(code) || session.abortRequested) {
        recordUpload(cache, session, dirId, remoteName, session.abortRequested ? sent : fileSize,
                     modified);
    }
    publishTitle("");
    publishProgress(0, nullptr);

    // 14. A file that could not be read to its end was not sent, whatever the server says;
    // neither was one whose upload was stopped.
    if (readFailed) {
        reportOutcome(session, kOutcomeUploadFailed);
        return 599;
    }
    const bool complete = succeeded(code) && !sendFailed && !session.abortRequested;
    reportOutcome(session, complete ? kOutcomeUploaded : kOutcomeUploadFailed);
    return code;
}

}  // namespace qvex
