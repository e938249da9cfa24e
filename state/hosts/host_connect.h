#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/session.h"
#include "engine/session_observer.h"
#include "state/restart_database.h"
#include "state/shared_heap.h"

namespace qvex {

class HostList;
class Settings;
class StatisticsDatabase;

// What the host page shows beside the host list.
struct HostFields {
    std::string host;           // the host field: the URL of an entry
    std::string user;           // the user field
    std::string password;       // the password field
    bool savePassword = false;  // "&Save password"

    bool operator==(const HostFields&) const = default;
};

enum class ConnectOutcome {
    Started,    // the session's thread runs
    Malformed,  // "*** malformed URL" or "*** Invalid URL: " was logged
    Cancelled,  // the restart question was answered with Cancel
    Busy,       // a session is still running: only one exists at a time
    Failed,     // the session could not be made (its line was logged)
};

struct ConnectResult {
    ConnectOutcome outcome = ConnectOutcome::Malformed;
    HostFields fields;            // the fields as the action leaves them
    bool selectHostText = false;  // the host field's text is to be selected
};

// The host page's connect action and the statistics it counts, without the page: the checks,
// the restart question, the saving of user and password, "LastHost", the start of the
// counting and of the session's thread; then, from the session, the counted connection and
// the counted transfers. The windows' own observer (SetObserver) hears every session event
// after the counting.
class HostConnector {
  public:
    // `statistics` and `restart` may be null (no statistics, no restart database). Every
    // object given must outlive the connector.
    HostConnector(Settings& settings, HostList& hosts, StatisticsDatabase* statistics,
                  RestartDatabase* restart);
    HostConnector(const HostConnector&) = delete;
    HostConnector& operator=(const HostConnector&) = delete;
    // Ends a running session (as a cancelled connect does) and waits for its thread.
    ~HostConnector();

    void SetObserver(SessionObserver* observer);
    void SetCommandHandlers(CommandHandlers handlers);
    // The restart slot holds an interrupted transfer: the resume button is showing.
    void SetResumeShown(bool shown);
    [[nodiscard]] bool resumeShown() const;

    // The connect action for the entry in the host field. A resumption (the resume button)
    // asks no restart question and saves nothing. `ask` shows the restart question; without
    // it the interrupted transfer is discarded as the "RestartDelete" setting off does.
    [[nodiscard]] ConnectResult Connect(const HostFields& fields, bool resumption,
                                        const AskRestartQuestion& ask);
    // A URL from outside the list (command line, shell extension, typed and confirmed): it
    // is entered under its canonical text and selected, which fills the fields with the
    // entry's saved user and password, and connected to. A URL with a user puts its user and
    // password in the fields (a URL naming the saved user without a password keeps the
    // saved password). `fields` are what the result shows when the URL does not parse.
    [[nodiscard]] ConnectResult ConnectToUrl(std::string_view text, const HostFields& fields,
                                             const AskRestartQuestion& ask);

    // The counting events; each counts only while "Statistics" is on.
    void CountConnected(uint32_t packedTime);
    void CountTransferEnded(uint64_t bytes, uint32_t milliseconds);

    [[nodiscard]] bool sessionRunning() const;
    [[nodiscard]] std::shared_ptr<SessionWorker> session() const;
    // A connection was counted in this run (the MRU file is written at shutdown only then).
    [[nodiscard]] bool countedThisRun() const;
    // Waits for the session's thread to end.
    void WaitForSession();
    // The host page shuts down: the session is ended; with "Statistics" on, a counted
    // connection in this run and a non-empty list, the MRU file is written to `dataFolder`;
    // the statistics database is closed.
    void Shutdown(const std::string& dataFolder);

  private:
    // Session events, on the session's thread. The byte count of a transfer comes from the
    // session's "Xfer" messages: at its start the expected size (0 for a listing), at its end
    // the bytes moved.
    class Relay : public SessionObserver {
      public:
        explicit Relay(HostConnector& owner) : owner_(owner) {}
        void OnTransferStarted(uint32_t tick) override;
        void OnTransferProgress(uint32_t tick) override;
        void OnTransferEnded(uint32_t tick) override;
        void OnConnected(const std::string& hostText, const std::string& sessionUrl) override;
        void OnOutcome(uint32_t bits) override;
        void OnSessionEnded(int exitCode) override;
        CertificateDecision OnUntrustedCertificate(const CertificateInfo& certificate) override;
        void OnSecured(const std::string& protocol, const std::string& cipher) override;

      private:
        HostConnector& owner_;
    };

    void JoinFinished();
    void EndSession();
    std::optional<uint64_t> DrainByteCounts();
    SessionObserver* observer() const;

    Settings& settings_;
    HostList& hosts_;
    StatisticsDatabase* statistics_;
    RestartDatabase* restart_;
    Relay relay_{*this};
    CommandHandlers handlers_;
    bool resumeShown_ = false;

    mutable std::mutex mutex_;  // guards the session, its thread and the observer
    std::shared_ptr<SessionWorker> session_;
    std::thread thread_;
    SessionObserver* observer_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<bool> counted_{false};

    // Used on the session's thread only, between a session's start and its end.
    SharedHeap* heap_ = nullptr;
    QueueId byteCounts_ = 0;
    std::string countedHost_;
    uint32_t transferStart_ = 0;
    std::optional<uint64_t> expectedSize_;
};

}  // namespace qvex
