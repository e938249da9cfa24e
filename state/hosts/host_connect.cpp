#include "state/hosts/host_connect.h"

#include <array>
#include <cstring>
#include <utility>

#include "log/log_sink.h"
#include "state/hosts/host_list.h"
#include "state/settings.h"
#include "state/statistics_database.h"
#include "state/url_grammar.h"

namespace qvex {

HostConnector::HostConnector(Settings& settings, HostList& hosts, StatisticsDatabase* statistics,
                             RestartDatabase* restart)
    : settings_(settings), hosts_(hosts), statistics_(statistics), restart_(restart) {}

HostConnector::~HostConnector() {
    EndSession();
}

void HostConnector::SetObserver(SessionObserver* observer) {
    std::lock_guard guard(mutex_);
    observer_ = observer;
}

SessionObserver* HostConnector::observer() const {
    std::lock_guard guard(mutex_);
    return observer_;
}

void HostConnector::SetCommandHandlers(CommandHandlers handlers) {
    handlers_ = std::move(handlers);
}

void HostConnector::SetResumeShown(bool shown) {
    resumeShown_ = shown;
}

bool HostConnector::resumeShown() const {
    return resumeShown_;
}

ConnectResult HostConnector::Connect(const HostFields& fields, bool resumption,
                                     const AskRestartQuestion& ask) {
    ConnectResult result;
    result.fields = fields;
    if (running_) {
        result.outcome = ConnectOutcome::Busy;
        return result;
    }
    JoinFinished();

    // 1. An entry of the list whose URL parses with a scheme of FTP ("ftp", "ftps", "ftpes").
    const std::optional<HostEntry> entry = hosts_.Find(fields.host);
    std::optional<SessionRequest> request;
    if (entry) {
        request = ParseUrl(entry->url);
    }
    if (!request || SchemeOf(request->scheme) == UrlScheme::Other) {
        logRaw("*** malformed URL");
        result.selectHostText = true;
        return result;
    }

    // 2. An interrupted transfer is kept for later, discarded, or the connect is cancelled.
    if (restart_ != nullptr &&
        !PrepareRestartConnect(*restart_, settings_, resumeShown_, resumption, ask)) {
        result.outcome = ConnectOutcome::Cancelled;
        return result;
    }
    resumeShown_ = false;

    // 3. What the fields say about user and password is saved with the entry.
    HostFields& shown = result.fields;
    const bool agree = entry->user == shown.user && entry->password == shown.password &&
                       shown.savePassword == !entry->password.empty();
    if (!agree) {
        if (shown.user.empty() || shown.user == "anonymous") {
            shown.user.clear();
            shown.password.clear();
            shown.savePassword = false;
        }
        if (shown.password.empty()) {
            shown.savePassword = false;
        }
        if (!resumption) {
            (void)hosts_.SaveHostEntry(entry->url, shown.user,
                                       shown.savePassword ? shown.password : std::string(), 0);
        }
    }
    if (!shown.user.empty()) {
        request->user = shown.user;
        request->password = shown.password;
        request->credentialsDefaulted = false;
    }

    // 4. The entry is remembered and its host's statistics begin.
    settings_.SetString("LastHost", HostNameForText(entry->url));
    countedHost_ = request->host;
    if (statistics_ != nullptr && settings_.GetInt("Statistics") != 0) {
        statistics_->BeginHostStatistics(countedHost_);
    }

    // 5. The session and its thread.
    SessionOptions options = SessionOptionsFromSettings(settings_, entry->url);
    options.observer = &relay_;
    options.restartDatabase = restart_;
    options.certificateStore = &hosts_.registry();
    options.handlers = handlers_;
    std::shared_ptr<SessionWorker> session = CreateSession(*request, std::move(options));
    if (!session) {
        result.outcome = ConnectOutcome::Failed;
        return result;
    }
    heap_ = ProcessHeap();
    byteCounts_ = heap_ != nullptr ? heap_->OpenQueue("^Xfer$") : 0;
    expectedSize_.reset();
    running_ = true;
    {
        std::lock_guard guard(mutex_);
        session_ = session;
        thread_ = std::thread([session] { (void)SessionThread(session); });
    }
    result.outcome = ConnectOutcome::Started;
    return result;
}

ConnectResult HostConnector::ConnectToUrl(std::string_view text, const HostFields& fields,
                                          const AskRestartQuestion& ask) {
    const std::optional<SessionRequest> request = ParseUrl(text);
    if (!request) {
        logRaw("*** Invalid URL: ", MaskUrlPassword(text).c_str());
        ConnectResult result;
        result.fields = fields;
        return result;
    }
    const std::string url = CanonicalUrl(*request);
    hosts_.AddUnsavedEntry(url);
    hosts_.Select(url);
    // Selecting the entry shows its saved user and password; a URL without a user leaves
    // them so (it never wipes them), one with a user puts its own in. A password the URL
    // leaves out keeps the saved one when the user is the saved one.
    const HostEntry entry = hosts_.Find(url).value_or(HostEntry{url, {}, {}, 0, 0});
    HostFields shown{url, entry.user, entry.password, !entry.password.empty()};
    if (!request->credentialsDefaulted &&
        (request->user != entry.user || !request->password.empty())) {
        shown.user = request->user;
        shown.password = request->password;
    }
    return Connect(shown, false, ask);
}

void HostConnector::CountConnected(uint32_t packedTime) {
    if (statistics_ == nullptr || settings_.GetInt("Statistics") == 0) {
        return;
    }
    statistics_->AccumulateConnect(packedTime);
    statistics_->CommitHostStatistics();
    hosts_.NoteConnect(countedHost_, packedTime);
    counted_ = true;
}

void HostConnector::CountTransferEnded(uint64_t bytes, uint32_t milliseconds) {
    if (statistics_ == nullptr || settings_.GetInt("Statistics") == 0 || bytes == 0) {
        return;
    }
    statistics_->AccumulateTransfer(bytes, milliseconds);
    statistics_->CommitHostStatistics();
}

bool HostConnector::sessionRunning() const {
    return running_;
}

std::shared_ptr<SessionWorker> HostConnector::session() const {
    std::lock_guard guard(mutex_);
    return session_;
}

bool HostConnector::countedThisRun() const {
    return counted_;
}

void HostConnector::JoinFinished() {
    std::thread thread;
    {
        std::lock_guard guard(mutex_);
        thread = std::move(thread_);
    }
    // Not under the lock: the ending session still tells the observer.
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();  // called from the session's own last notice
        } else {
            thread.join();
        }
    }
    if (heap_ != nullptr && byteCounts_ != 0) {
        heap_->CloseQueue(byteCounts_);
    }
    heap_ = nullptr;
    byteCounts_ = 0;
}

void HostConnector::WaitForSession() {
    JoinFinished();
}

void HostConnector::EndSession() {
    if (std::shared_ptr<SessionWorker> running = session(); running && running_) {
        CancelConnect(*running);
    }
    JoinFinished();
}

void HostConnector::Shutdown(const std::string& dataFolder) {
    EndSession();
    if (settings_.GetInt("Statistics") != 0 && counted_ && hosts_.size() != 0) {
        (void)hosts_.WriteMruFile(dataFolder);
    }
    if (statistics_ != nullptr) {
        statistics_->CloseStatisticsDatabase();
    }
}

std::optional<uint64_t> HostConnector::DrainByteCounts() {
    std::optional<uint64_t> last;
    if (heap_ == nullptr || byteCounts_ == 0) {
        return last;
    }
    while (heap_->PendingCount(byteCounts_) > 0) {
        char topic[16];
        std::array<char, SharedHeap::kMaxPayload> payload{};
        uint32_t topicLength = sizeof topic;
        uint32_t payloadLength = static_cast<uint32_t>(payload.size());
        if (heap_->Receive(byteCounts_, topic, &topicLength, payload.data(), &payloadLength,
                           kWantBoth) != kWantBoth) {
            break;
        }
        if (payloadLength == 2 * sizeof(uint32_t)) {
            uint32_t low = 0;
            uint32_t high = 0;
            std::memcpy(&low, payload.data(), sizeof low);
            std::memcpy(&high, payload.data() + sizeof low, sizeof high);
            last = uint64_t{high} << 32 | low;
        }
    }
    return last;
}

void HostConnector::Relay::OnTransferStarted(uint32_t tick) {
    owner_.expectedSize_ = owner_.DrainByteCounts();
    owner_.transferStart_ = tick;
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnTransferStarted(tick);
    }
}

void HostConnector::Relay::OnTransferProgress(uint32_t tick) {
    (void)owner_.DrainByteCounts();
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnTransferProgress(tick);
    }
}

void HostConnector::Relay::OnTransferEnded(uint32_t tick) {
    const std::optional<uint64_t> bytes = owner_.DrainByteCounts();
    // A listing announces 0 bytes at its start; only files count.
    if (owner_.expectedSize_.value_or(0) != 0 && bytes) {
        owner_.CountTransferEnded(*bytes, tick - owner_.transferStart_);
    }
    owner_.expectedSize_.reset();
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnTransferEnded(tick);
    }
}

void HostConnector::Relay::OnConnected(const std::string& hostText, const std::string& sessionUrl) {
    owner_.CountConnected(PackedUtcNow());
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnConnected(hostText, sessionUrl);
    }
}

void HostConnector::Relay::OnOutcome(uint32_t bits) {
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnOutcome(bits);
    }
}

void HostConnector::Relay::OnSessionEnded(int exitCode) {
    owner_.running_ = false;
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnSessionEnded(exitCode);
    }
}

CertificateDecision HostConnector::Relay::OnUntrustedCertificate(
    const CertificateInfo& certificate) {
    SessionObserver* observer = owner_.observer();
    return observer != nullptr ? observer->OnUntrustedCertificate(certificate)
                               : CertificateDecision::Cancel;
}

void HostConnector::Relay::OnSecured(const std::string& protocol, const std::string& cipher) {
    if (SessionObserver* observer = owner_.observer()) {
        observer->OnSecured(protocol, cipher);
    }
}

}  // namespace qvex
