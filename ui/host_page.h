#pragma once

#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/session_observer.h"
#include "state/hosts/host_completion.h"
#include "state/hosts/host_connect.h"

class QCheckBox;
class QComboBox;
class QCompleter;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QStringListModel;
class QToolBar;
class QVBoxLayout;

namespace qvex {

class HostList;
class RestartDatabase;
class Settings;

// Tooltips of the connecting pane.
inline constexpr const char* kHostFieldTip =
    "FTP host to connect to: choose an entry, or type ftp://[user[:password]@]host[:port]/path "
    "and press Enter";
inline constexpr const char* kUserTip = "User name on FTP server - BLANK for \"anonymous\"";
inline constexpr const char* kPasswordTip = "Password - BLANK with \"anonymous\" login";
inline constexpr const char* kSavePasswordTip = "Remember password for this host";
inline constexpr const char* kConnectedToTip = "The FTP server of the running session";
inline constexpr const char* kConnectTip = "Logon (connect) to FTP server";
inline constexpr const char* kCancelTip = "Cancel the connect in progress";
inline constexpr const char* kLogoffTip = "Logoff (disconnect) from FTP server";
inline constexpr const char* kRestartTip =
    "Reconnect and resume the interrupted transfer of the last session";

// What the page says about the session.
inline constexpr const char* kNotConnectedText = "Not connected";
inline constexpr const char* kConnectingText = "Connecting...";
inline constexpr const char* kCancellingText = "Cancelling...";
inline constexpr const char* kLoggedInText = "Logged in";
inline constexpr const char* kLoggingOffText = "Logging off...";
inline constexpr const char* kLoggedOffText = "Logged off";
inline constexpr const char* kConnectCancelledText = "Connect cancelled";
inline constexpr const char* kConnectFailedText = "Connect failed";
inline constexpr const char* kLoginFailedText = "Login failed";
inline constexpr const char* kConnectionLostText = "Connection lost";
inline constexpr const char* kConnectionGivenUpText =
    "Connection given up: no answer in time or a garbled reply";

// The Host page: the host list with its URL field and completion, user name and password,
// the connect, logoff and resume buttons, and the session they start. The session's thread
// reaches the page only through queued calls. Panes of other kinds (meters, statistics,
// ping) are added below the connecting pane with AddPane.
class HostPage : public QWidget {
    Q_OBJECT

  public:
    // The host list must be loaded; `restart` may be null (no restart database). The page
    // becomes the connector's observer; everything given must outlive the page.
    HostPage(Settings& settings, HostList& hosts, HostConnector& connector,
             RestartDatabase* restart, QWidget* parent = nullptr);
    ~HostPage() override;

    // The entry selected in the host field; "" for none.
    QString selectedHost() const;
    // What the host field holds, typed or selected, without surrounding blanks.
    QString hostText() const;
    // The server of the logged-in session as "Connected To:" shows it; "" for none.
    QString connectedTo() const;
    // The running session, or null.
    std::shared_ptr<SessionWorker> session() const;
    // Re-reads the list (after it was changed beside the page) and selects `selectUrl`, or
    // nothing when it is "" or not in the list.
    void ReloadHosts(const QString& selectUrl);
    // Adds a pane below the connecting pane, two to a row; the page owns it.
    void AddPane(QWidget* pane);
    // Adds a pane on a row of its own, the whole width of the page; it takes the height
    // the page has to spare.
    void AddWidePane(QWidget* pane);
    // Puts the page's toolbar above everything else; the page owns it.
    void SetToolbar(QToolBar* toolbar);
    // Selects the host field's text (a host the user is to correct).
    void SelectHostText();

    // A URL from outside the list (the command line): entered, selected and connected to.
    // False when no session started (the reason is logged).
    bool ConnectToUrl(const QString& url);
    // What the resume button does (the restart tool's "Restart"): connects to the host of
    // the current restart slot as a resumption. Only while no session runs.
    void ResumeInterruptedTransfer();
    // The restart database holds nothing to resume any more: the resume button goes.
    void HideResume();

    // The outcome bits of every session so far (failed connect or login, transfers).
    uint32_t outcome() const { return outcome_.load(); }
    // For the program's exit: a logged-in session with nothing running logs off (QUIT) if it
    // can within a moment; any other is broken off, so a running transfer keeps its restart
    // record. Waits for the session's thread.
    void EndSessionForExit();

  signals:
    void hostSelected(const QString& url);
    // The host field's text changed, by typing or by a selection.
    void hostTextChanged();
    // The session has logged in (its connection is counted).
    void sessionStarted();
    // The session's control connection runs TLS: the protocol ("TLS 1.3") and the cipher.
    void secured(const QString& protocol, const QString& cipher);
    // A session has ended, whether it logged in or not.
    void sessionEnded();
    // A transfer has ended and the statistics have counted it (when they count).
    void transferCounted();

  private:
    enum class Phase {
        Idle,
        Connecting,
        LoggedIn,
        Ending,
    };

    // The session's events, on its thread, turned into queued calls on the page.
    class Events : public SessionObserver {
      public:
        Events(HostPage& page, HostConnector& connector) : page_(page), connector_(connector) {}
        void OnTransferEnded(uint32_t tick) override;
        void OnConnected(const std::string& hostText, const std::string& sessionUrl) override;
        void OnOutcome(uint32_t bits) override;
        void OnSessionEnded(int exitCode) override;
        CertificateDecision OnUntrustedCertificate(const CertificateInfo& certificate) override;
        void OnSecured(const std::string& protocol, const std::string& cipher) override;

      private:
        HostPage& page_;
        HostConnector& connector_;
        std::atomic<uint32_t> sessionBits_{0};  // of the running session
    };

    QWidget* MakeConnectingPane();
    HostFields Fields() const;
    void ShowFields(const HostFields& fields);
    void FillHostField(const std::string& select);
    void SelectEntry(int index);
    // Selects the entry with this URL (none when it is not in the field).
    void ShowSelected(const QString& url);
    void OnTextEdited(const QString& text);
    void OnReturnPressed();
    void OnConnectClicked();
    void OnLogoffClicked();
    // A text that is no entry, from the button: a URL with a user is taken as the command
    // line's are; a bare one keeps the user and password typed beside it.
    ConnectResult ConnectTyped(const std::string& text);
    void Started(const ConnectResult& result);
    void OnLoggedIn(const QString& hostText);
    void OnEnded(int exitCode, uint32_t bits, bool givenUp);
    void SetPhase(Phase phase, const QString& state);

    Settings& settings_;
    HostList& hosts_;
    HostConnector& connector_;
    RestartDatabase* restart_;
    Events events_;
    AskRestartQuestion ask_;
    HostCompleter completer_;

    QComboBox* hostField_ = nullptr;
    QCompleter* completion_ = nullptr;
    QStringListModel* completions_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QCheckBox* savePassword_ = nullptr;
    QLineEdit* connectedTo_ = nullptr;
    QLabel* state_ = nullptr;
    QPushButton* connect_ = nullptr;
    QPushButton* logoff_ = nullptr;
    QPushButton* restartButton_ = nullptr;
    QVBoxLayout* layout_ = nullptr;
    QGridLayout* panes_ = nullptr;
    int paneSlots_ = 0;  // grid cells taken, two to a row

    Phase phase_ = Phase::Idle;
    QString shownHost_;        // the selection last told with hostSelected
    bool filling_ = false;     // the host field is being refilled
    bool cancelled_ = false;   // the user cancelled the connect in progress
    bool loggingOff_ = false;  // the user logged off
    std::atomic<uint32_t> outcome_{0};
};

}  // namespace qvex
