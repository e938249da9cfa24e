#include "transfer/navigation.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/data_connection.h"
#include "engine/session.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "platform/locale.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "state/restart_database.h"
#include "state/shared_heap.h"
#include "transfer/listing_cache.h"
#include "transfer/entry_types.h"
#include "transfer/listing_date.h"
#include "transfer/listing_parser.h"
#include "transfer/mlsd_parser.h"
#include "transfer/transfer_progress.h"
#include "transfer/transfer_type.h"

namespace qvex {
namespace {

// Listings are read in blocks of this size: a listing of millions of lines would otherwise
// cost a receive per 4 KiB.
constexpr int32_t kListingBlock = 64 * 1024;
// The most entries that go into the cache under one hold of its lock as a listing is read.
constexpr size_t kListingRun = 1024;
// Entries formatted per hold of the cache's lock when a listing goes to a file.
constexpr int32_t kListingFileBatch = 1024;
// The size column of a listing file, right-aligned.
constexpr int kListingFileSizeWidth = 11;
constexpr size_t kMaxSystemErrorText = 127;

bool HoldsLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool EndsInSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

// The PWD after a directory change. The server has moved, so when its answer cannot be
// used, currentDirectory is cleared: it no longer names the server's directory, and an
// operation must not take the old value for "already there".
int ReportedDirectory(SessionWorker& session, std::string& target) {
    int code = printWorkingDirectory(session, target);
    if (code != 257) {
        session.currentDirectory.clear();
    }
    return code;
}

// CWD (or CDUP) to the target; the path the server then reports becomes the target.
int ChangeDirectory(SessionWorker& session, int32_t flags, std::string& target) {
    if (beyondUnknownLoginFolder(session, target)) {
        return 550;
    }
    FtpReply reply;
    int code = target == ".." ? exchangeCommand(session, "CDUP", std::nullopt, reply)
                              : exchangeCommand(session, "CWD", target, reply);
    if (code / 100 == 2) {
        return ReportedDirectory(session, target);
    }
    if ((flags & kListFallBackToParent) == 0 || code == kReplyConnectionLost) {
        return code;
    }
    size_t cut = target.rfind('\\');
    if (cut == std::string::npos) {
        cut = target.rfind('/');
    }
    if (cut == std::string::npos) {
        // A bare name is looked for in the server's current directory, so that is the
        // folder that contains it; no command was accepted, so the server is still there.
        target =
            session.currentDirectory.empty() ? session.workingDirectory : session.currentDirectory;
        return 200;
    }
    // "/pub" lies in "/", not in "".
    std::string parent = target.substr(0, cut == 0 ? 1 : cut);
    code = exchangeCommand(session, "CWD", parent, reply);
    if (code / 100 != 2) {
        return code;
    }
    target = std::move(parent);
    return ReportedDirectory(session, target);
}

// Hands a complete cached listing to the user interface.
int Serve(const ListingCache& cache, int32_t id, int32_t flags, int32_t* outId) {
    cache.AnnounceListing(id, flags);
    if (outId != nullptr) {
        *outId = id;
    }
    return 200;
}

// Recursive listing: one list command per subdirectory of a freshly read listing.
void QueueSubdirectories(SessionWorker& session, const ListingCache& cache, int32_t id,
                         int32_t flags) {
    std::vector<std::pair<std::string, int32_t>> found;
    (void)cache.VisitEntries(id, 0, INT32_MAX,
                             [&found](int32_t position, const RemoteEntry& entry) {
                                 if (entry.name.empty() || !isDirectory(entry) ||
                                     entry.name == "." || entry.name == "..") {
                                     return;
                                 }
                                 found.emplace_back(remoteNameOf(entry), position);
                             });
    // Posted after the cache's lock is gone: the queue lock is never taken inside it.
    for (auto& [text, position] : found) {
        PostCommand(session, kCommandList, std::move(text), position, flags & ~kListShowUser, id);
    }
}

// Parsed entries on their way into the cache in runs, each taking the cache's lock and
// telling its observer once: a listing of millions of lines would otherwise pay both per
// line. The first run is one entry, so that a view sees the listing begin at once; runs then
// double up to kListingRun.
class EntryRuns {
  public:
    EntryRuns(ListingCache& cache, int32_t id) : cache_(cache), id_(id) {}

    // A fresh entry for the next line; it joins the run when Keep follows.
    RemoteEntry& Next() {
        if (used_ == entries_.size()) {
            entries_.emplace_back();
        } else {
            // Assigned, not made anew: the strings keep their room.
            entries_[used_] = RemoteEntry{};
        }
        return entries_[used_];
    }
    // The entry Next gave.
    const RemoteEntry& Last() const { return entries_[used_]; }
    void Keep() {
        if (++used_ == limit_) {
            Flush();
        }
    }
    void Flush() {
        if (used_ == 0) {
            return;
        }
        (void)cache_.AppendEntries(id_, std::span<const RemoteEntry>(entries_.data(), used_));
        used_ = 0;
        limit_ = std::min(limit_ * 2, kListingRun);
    }

  private:
    ListingCache& cache_;
    const int32_t id_;
    std::vector<RemoteEntry> entries_;
    size_t used_ = 0;
    size_t limit_ = 1;
};

// After ReadLine refused a line as too long: the rest of that line, counted into `bytes`.
// False when the listing ended inside it.
bool SkipRestOfLine(TcpSocket& data, uint64_t& bytes) {
    for (;;) {
        int next = data.ReadByte();
        if (next < 0) {
            return false;
        }
        ++bytes;
        if (next == '\n') {
            return true;
        }
    }
}

// Servers that follow links in MLSD list a link to a folder as that folder, with the folder's
// unique fact. A folder whose unique fact is that of the listed folder or of one above it is
// such a link back up the tree: it is kept as a link to that folder, or a walk down the tree
// would never end.
void MarkLinkBackUp(SessionWorker& session, const std::string& target, std::string_view unique,
                    RemoteEntry& entry) {
    if (unique.empty() || !isDirectory(entry)) {
        return;
    }
    std::string above = target;
    while (!above.empty()) {
        if (const auto known = session.uniqueOfFolder.find(above);
            known != session.uniqueOfFolder.end() && known->second == unique) {
            entry.flags &= ~kEntryDirectory;
            entry.flags |= kEntrySymLink;
            entry.linkTarget = above;
            assignTypeAndIcon(entry);
            return;
        }
        // "/a/b" -> "/a" -> "/" -> done.
        const size_t slash = above == "/" ? std::string::npos : above.rfind('/');
        above.resize(slash == std::string::npos ? 0 : std::max<size_t>(slash, 1));
    }
    std::string path = target;
    if (!path.ends_with('/')) {
        path.push_back('/');
    }
    path.append(entry.name);
    session.uniqueOfFolder.insert_or_assign(std::move(path), std::string(unique));
}

// The listed folder's own unique fact, where the server gives unique facts and the folder was
// not met in a listing before (the session's first folder, a path typed in): without it, a
// link back to this folder from below it would be walked as a folder once more. MLST without
// a name describes the current folder (RFC 3659 section 7.1), the facts on the line that
// begins with a blank.
void LearnFolderUnique(SessionWorker& session, const std::string& target) {
    if (!session.features.uniqueFact || session.uniqueOfFolder.contains(target)) {
        return;
    }
    std::string lines;
    FtpReply reply;
    reply.lines = &lines;
    if (exchangeCommand(session, "MLST", std::nullopt, reply, false) != 250) {
        return;
    }
    std::string_view rest = lines;
    while (!rest.empty()) {
        const std::string_view line = TakeReplyLine(rest);
        RemoteEntry entry;
        std::string_view unique;
        const char* reason = nullptr;
        if (line.starts_with(' ') &&
            parseMlsdLine(line.substr(1), entry, unique, &reason) != MlsdLine::Malformed &&
            !unique.empty()) {
            session.uniqueOfFolder.insert_or_assign(target, std::string(unique));
            return;
        }
    }
}

// One MLSD line of folder `target` into `entry`; a malformed line is logged and gives no
// entry, as does the listed folder's own line or its parent's.
bool ParseMachineLine(SessionWorker& session, const std::string& target, std::string_view line,
                      RemoteEntry& entry) {
    const char* reason = "";
    std::string_view unique;
    switch (parseMlsdLine(line, entry, unique, &reason)) {
        case MlsdLine::Entry:
            MarkLinkBackUp(session, target, unique, entry);
            return true;
        case MlsdLine::ThisFolder:
            if (!unique.empty()) {
                session.uniqueOfFolder.insert_or_assign(target, std::string(unique));
            }
            return false;
        case MlsdLine::Ignored:
            return false;
        case MlsdLine::Malformed:
            break;
    }
    std::string text = "!!! MLSD line skipped (";
    text.append(reason).append("): ").append(line);
    logExt(text.c_str());
    return false;
}

// Reads the listing once the data connection for LIST, or for MLSD (`machine`), is open.
int ReadListing(SessionWorker& session, ListingCache& cache, const SessionCommand& command,
                const std::string& target, bool machine, int32_t* outId) {
    const int32_t flags = command.b;
    int32_t id =
        cache.FindOrCreate(target, command.c, command.a, (flags & kListCreateComplete) != 0);
    // The new listing replaces whatever the node held, also an old one kept through a
    // refresh until now, so that a refused CWD or LIST left it intact.
    cache.DropListing(id);
    session.transferActive = true;
    bool readable = session.data.SetBuffer(kListingBlock);
    uint64_t bytes = 0;
    std::string pendingName;
    const uint32_t startTick = platform::TickCount();
    ByteProgress progress(session);
    progress.progressStart(0, startTick, ByteProgress::kListingStep);
    const int64_t now = listingNow();
    char line[TcpSocket::kLineBufferSize];
    const int32_t entryLimit = cache.entryLimit();
    int32_t entries = 0;
    EntryRuns runs(cache, id);
    bool aborted = false;
    bool overflowed = false;
    // A name holding "/" would be a path to somewhere else: an operation on it (a delete
    // of the folder around it) would reach another folder.
    int64_t pathNames = 0;
    while (readable) {
        if (session.abortRequested) {
            aborted = true;
            break;
        }
        int length = session.data.ReadLine(line);
        if (length == -1 && platform::LastSocketError() == platform::kWsaEmsgsize) {
            // One over-long line costs one entry, not the rest of the folder.
            bytes += TcpSocket::kLineBufferSize;
            pendingName.clear();
            logExt("!!! Listing line longer than 511 characters skipped");
            if (!SkipRestOfLine(session.data, bytes)) {
                break;
            }
            continue;
        }
        if (length < 0) {
            break;
        }
        bytes += static_cast<uint64_t>(length) + 2;
        progress.progressReport(bytes);
        if (session.rawListingLog) {
            logExt(line);
        }
        const std::string_view text(line, static_cast<size_t>(length));
        if (length > 0 && (machine ? ParseMachineLine(session, target, text, runs.Next())
                                   : parseCachedListingLine(text, pendingName, runs.Next(), now))) {
            if (runs.Last().name.find('/') != std::string::npos) {
                ++pathNames;
                continue;
            }
            if (entries == entryLimit) {
                overflowed = true;
                break;
            }
            runs.Keep();
            ++entries;
        }
    }
    runs.Flush();
    if (pathNames > 0) {
        const std::string text = "!!! Names holding \"/\" not shown: " + std::to_string(pathNames);
        logExt(text.c_str());
    }
    if (overflowed) {
        std::string text = "*** Listing has more than " + std::to_string(entryLimit) +
                           " entries; stopped reading it";
        logExt(text.c_str());
    }
    LogTransferSummary(session, "cached", bytes, startTick);
    session.data.Close();
    FtpReply reply;
    int code = ReadReply(session, reply, false);
    session.transferActive = false;
    if (overflowed) {
        cache.AbandonListing(id, flags);
        return code == kReplyConnectionLost ? code : 599;
    }
    cache.MarkComplete(id, flags, aborted);
    if (outId != nullptr && id >= 0) {
        *outId = id;
    }
    if (!aborted && (flags & kListRecursive) != 0 && id >= 0) {
        QueueSubdirectories(session, cache, id, flags);
    }
    return code;
}

}  // namespace

bool commandRefused(std::string_view verb, std::optional<std::string_view> argument) {
    size_t length = verb.size() + (argument ? 1 + argument->size() : 0);
    return verb.empty() || length > kMaxCommandLength || HoldsLineBreakOrNul(verb) ||
           (argument && HoldsLineBreakOrNul(*argument));
}

int exchangeCommand(SessionWorker& session, std::string_view verb,
                    std::optional<std::string_view> argument, FtpReply& reply, bool wantLastLine) {
    bool sent = argument ? SendCommand(session, verb, *argument) : SendCommand(session, verb);
    if (!sent) {
        // Nothing went out, so no reply may be waited for; a failed send lost the server.
        return commandRefused(verb, argument) ? 599 : kReplyConnectionLost;
    }
    return ReadReply(session, reply, wantLastLine);
}

void storeCurrentDirectory(SessionWorker& session, const std::string& path) {
    session.currentDirectory = path;
    if (session.restartEnabled && session.restartOffset == 0 &&
        session.restartDatabase != nullptr) {
        session.restartDatabase->SetRestartField(kRestartFieldRemoteDirectory, path);
    }
}

// RFC 959 section 4.2, reply 257: 257 "/home/u" is current directory.
int printWorkingDirectory(SessionWorker& session, std::string& out) {
    FtpReply reply;
    int code = exchangeCommand(session, "PWD", std::nullopt, reply, true);
    if (code != 257) {
        return code;
    }
    auto captures = session.patterns.directoryReply.Search(reply.lastLine.data());
    if (captures.size() < 2 || !captures[1]) {
        logExt("*** unrecognized \"257\" response format");
        return 599;
    }
    out = *captures[1];
    session.currentDirectory = out;
    return 257;
}

int listDirectory(SessionWorker& session, ListingCache& cache, const SessionCommand& command,
                  int32_t* outId) {
    const int32_t flags = command.b;
    // A refresh keeps the old listing until the new one arrives, and is never served by it.
    const bool refresh = (flags & kListRefresh) != 0;
    const std::string requested = command.text.empty() ? session.workingDirectory : command.text;

    // 1. The directory as the view knows it.
    int32_t id = command.c >= 0 && command.a >= 0 ? cache.FindChild(command.c, command.a)
                                                  : cache.FindPath(requested);
    if (id >= 0 && !refresh && cache.IsComplete(id)) {
        return Serve(cache, id, flags, outId);
    }

    // 2. A relative name under a parent the server is not in is sent with the parent's path.
    std::string target;
    if (command.c >= 0 && (requested.empty() || requested.front() != '/')) {
        if (auto parent = cache.PathOf(command.c); parent && *parent != session.currentDirectory) {
            target = std::move(*parent);
            if (!EndsInSeparator(target)) {
                target.push_back('/');
            }
        }
    }

    if (requested == session.currentDirectory) {
        // 3. Already there: list it again without a directory command.
        target = requested;
        // 7.
        storeCurrentDirectory(session, target);
    } else {
        // 4. A complete listing under the full path.
        target.append(requested);
        if (!refresh) {
            if (int32_t cached = cache.FindPath(target); cached >= 0 && cache.IsComplete(cached)) {
                return Serve(cache, cached, flags, outId);
            }
        }
        // 5. Enter it.
        int code = ChangeDirectory(session, flags, target);
        if (code / 100 != 2) {
            return code;
        }
        // 7, done here: the server is in the target now, whether or not LIST follows.
        storeCurrentDirectory(session, target);
        // 6. The path the server reported may already be cached, or be new and empty.
        if (!refresh) {
            id = (flags & kListCreateComplete) != 0
                     ? cache.FindOrCreate(target, command.c, command.a, true)
                     : cache.FindPath(target);
            if (id >= 0 && cache.IsComplete(id)) {
                return Serve(cache, id, flags, outId);
            }
        }
    }

    // 8. Listings always go as text.
    int code = setRepresentationType(session, false);
    if (code / 100 != 2) {
        return code;
    }
    // RFC 3659 section 7: MLSD where the server offers MLST, its times exact and in UTC.
    bool machine = session.features.mlst && !session.mlsdRefused;
    if (machine) {
        LearnFolderUnique(session, target);
    }
    std::array<char, 512> refusal{};
    int opened = OpenDataConnection(session, machine ? "MLSD" : "LIST", &refusal);
    if (machine && opened == kDataFailed && refusal[0] == '5') {
        logExt("!!! MLSD refused; listing with LIST");
        session.mlsdRefused = true;
        machine = false;
        opened = OpenDataConnection(session, "LIST");
    }
    if (opened != kDataOpen) {
        return opened == kDataClosed ? kReplyConnectionLost : 599;
    }
    return ReadListing(session, cache, command, target, machine, outId);
}

namespace {

// The cached directory a listing file shows: `c`, or the folder the command names (a CWD
// that fails must not leave another folder's listing to be written). A complete listing
// of that folder from this session serves as it is: the command line's session has just
// listed the folder of its URL, and listing millions of entries twice would double the
// run. -1 after a failure, whose code goes to `code`.
int32_t DirectoryToWrite(SessionWorker& session, ListingCache& cache, const SessionCommand& command,
                         int& code) {
    const auto* folder = dynamic_cast<const TextPayload*>(command.object.get());
    if (folder == nullptr) {
        if (!cache.PathOf(command.c)) {
            logExt("*** remote directory not in the listing cache");
            code = 599;
            return -1;
        }
        return command.c;
    }
    SessionCommand list;
    list.kind = kCommandList;
    list.text = pathFromLoginFolder(session, folder->text);
    int32_t id = -1;
    code = listDirectory(session, cache, list, &id);
    if (code / 100 != 2 || id < 0 || session.abortRequested) {
        logExt("*** Unable to list ", list.text.c_str());
        code = code / 100 == 2 ? 599 : code;
        return -1;
    }
    return id;
}

// `value` in at least `width` digits, zeros in front.
char* PutDigits(char* out, int value, int width) {
    char digits[12];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    for (ptrdiff_t zeros = width - (end - digits); zeros > 0; --zeros) {
        *out++ = '0';
    }
    return std::copy(digits, end, out);
}

// "YYYY/MM/DD hh:mm SIZE NAME" and CR LF, the size right-aligned in `sizeWidth` characters;
// by hand, as a listing file may hold millions of lines.
void AppendListingFileLine(std::string& text, const RemoteEntry& entry, int sizeWidth) {
    platform::CalendarTime local;
    (void)platform::TimeToLocalCalendar(entry.time, local);
    // The date and the size: a size has at most 20 characters, and sizeWidth is no wider.
    char head[64];
    char* out = PutDigits(head, local.year, 4);
    *out++ = '/';
    out = PutDigits(out, local.month, 2);
    *out++ = '/';
    out = PutDigits(out, local.day, 2);
    *out++ = ' ';
    out = PutDigits(out, local.hour, 2);
    *out++ = ':';
    out = PutDigits(out, local.minute, 2);
    *out++ = ' ';
    char size[24];
    char* sizeEnd = std::to_chars(size, size + sizeof size, entry.size).ptr;
    out = std::fill_n(out, std::max<ptrdiff_t>(0, sizeWidth - (sizeEnd - size)), ' ');
    out = std::copy(size, sizeEnd, out);
    *out++ = ' ';
    text.append(head, out);
    appendDisplayName(text, entry);
    text.append("\r\n");
}

// Writes every named entry of directory `id` to `file`; 0 or the system's error.
int WriteListing(const ListingCache& cache, int32_t id, std::FILE* file) {
    // One size column for the whole file, wider than 11 characters only when a size needs
    // it, so that no line's name starts where another line's size is.
    int64_t largest = 0;
    (void)cache.VisitEntries(id, 0, INT32_MAX,
                             [&largest](int32_t, const RemoteEntry& entry) {
                                 if (!entry.name.empty()) {
                                     largest = std::max(largest, entry.size);
                                 }
                             });
    const int sizeWidth =
        std::max(kListingFileSizeWidth, static_cast<int>(std::to_string(largest).size()));
    std::string text;
    int error = 0;
    for (int32_t first = 0; error == 0; first += kListingFileBatch) {
        text.clear();
        int32_t visited = cache.VisitEntries(
            id, first, kListingFileBatch, [&text, sizeWidth](int32_t, const RemoteEntry& entry) {
                if (entry.name.empty()) {
                    return;
                }
                AppendListingFileLine(text, entry, sizeWidth);
            });
        if (visited == 0) {
            break;
        }
        if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
            error = errno != 0 ? errno : EIO;
        }
    }
    if (std::fclose(file) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    return error;
}

}  // namespace

int printLoginFolder(SessionWorker& session) {
    int code = printWorkingDirectory(session, session.workingDirectory);
    if (code != 257 && session.workingDirectory.empty() && session.currentDirectory.empty()) {
        // Built, then moved in: g++ 12 misreads assigning the view to an empty string as
        // an overlapping copy (-Wrestrict) in optimised builds.
        session.workingDirectory = std::string(kUnknownLoginFolder);
        session.currentDirectory = session.workingDirectory;
        logExt("!!! The server did not tell the login folder's path; it is listed as \".\"");
    }
    return code;
}

std::string pathFromLoginFolder(const SessionWorker& session, std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::string& base = session.workingDirectory;
    if (path.starts_with('/') || base.empty()) {
        return path;
    }
    if (path.empty()) {
        return base;
    }
    return base + (base.back() == '/' ? "" : "/") + path;
}

bool beyondUnknownLoginFolder(const SessionWorker& session, std::string_view path) {
    const bool through = path == kUnknownLoginFolder || path.starts_with("./");
    if (!through || session.workingDirectory != kUnknownLoginFolder ||
        session.currentDirectory == kUnknownLoginFolder) {
        return false;
    }
    logExt("*** The login folder has no known path; unable to enter ", std::string(path).c_str());
    return true;
}

int listToFile(SessionWorker& session, ListingCache& cache, const SessionCommand& command) {
    const std::string& path = command.text;
    logExt("Listing directory to ", path.c_str());
    int code = 200;
    const int32_t id = DirectoryToWrite(session, cache, command, code);
    if (id < 0) {
        reportOutcome(session, kOutcomeDownloadFailed);
        return code;
    }
    // Written beside the file and put in its place when complete: a failed write leaves
    // neither a cut listing nor a damaged older one.
    const std::string part = path + ".part";
    std::FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) {
        logExt("*** Open failed on ", path.c_str());
        reportOutcome(session, kOutcomeDownloadFailed);
        return 599;
    }
    int error = WriteListing(cache, id, file);
    std::error_code renamed;
    if (error == 0) {
        std::filesystem::rename(part, path, renamed);
        error = renamed.value();
    }
    if (error != 0) {
        std::error_code ignored;
        std::filesystem::remove(part, ignored);
        std::string reason = std::error_code(error, std::generic_category()).message();
        reason.resize(std::min(reason.size(), kMaxSystemErrorText));
        logExt("*** Error writing listing file: ", reason.c_str());
        reportOutcome(session, kOutcomeDownloadFailed);
        return 599;
    }
    if (DirectoryObserver* watcher = cache.observer()) {
        watcher->OnListingFileWritten(path);
    }
    return 200;
}

}  // namespace qvex
