#include "ui/host_page.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QStringListModel>
#include <QToolBar>
#include <QVBoxLayout>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "state/hosts/host_list.h"
#include "state/restart_database.h"
#include "state/settings.h"
#include "state/startup/program.h"
#include "state/url_grammar.h"
#include "transfer/transfer_queue.h"
#include "ui/certificate_dialog.h"
#include "ui/qt_text.h"
#include "ui/restart_question.h"

namespace qvex {
namespace {

constexpr const char* kConnectText = "&Connect";
constexpr const char* kCancelText = "Cancel";
// At exit, how long an idle session may take to log off before it is broken off.
constexpr std::chrono::seconds kLogoffAtExit{2};
// Fields wide enough for a long URL, and for a user name or password.
constexpr int kHostFieldWidth = 460;
constexpr int kCredentialWidth = 260;

}  // namespace

void HostPage::Events::OnTransferEnded(uint32_t) {
    HostPage* page = &page_;
    QMetaObject::invokeMethod(
        page, [page] { emit page->transferCounted(); }, Qt::QueuedConnection);
}

void HostPage::Events::OnConnected(const std::string& hostText, const std::string&) {
    HostPage* page = &page_;
    QMetaObject::invokeMethod(
        page, [page, text = Text(hostText)] { page->OnLoggedIn(text); }, Qt::QueuedConnection);
}

void HostPage::Events::OnOutcome(uint32_t bits) {
    sessionBits_ |= bits;
    page_.outcome_ |= bits;
}

void HostPage::Events::OnSessionEnded(int exitCode) {
    // Still on the session's thread, the only one that writes the flag.
    const std::shared_ptr<SessionWorker> session = connector_.session();
    const bool givenUp = session && session->controlLost;
    const uint32_t bits = sessionBits_.exchange(0);
    HostPage* page = &page_;
    QMetaObject::invokeMethod(
        page, [page, exitCode, bits, givenUp] { page->OnEnded(exitCode, bits, givenUp); },
        Qt::QueuedConnection);
}

CertificateDecision HostPage::Events::OnUntrustedCertificate(const CertificateInfo& certificate) {
    const std::shared_ptr<SessionWorker> session = connector_.session();
    if (!session) {
        return CertificateDecision::Cancel;
    }
    // The page's Cancel button and the program's exit both set the flag.
    return AskAboutCertificate(&page_, certificate, session->certificateServer,
                               [&session] { return session->connectCancelled.load(); });
}

void HostPage::Events::OnSecured(const std::string& protocol, const std::string& cipher) {
    HostPage* page = &page_;
    QMetaObject::invokeMethod(
        page,
        [page, protocol = Text(protocol), cipher = Text(cipher)] {
            emit page->secured(protocol, cipher);
        },
        Qt::QueuedConnection);
}

HostPage::HostPage(Settings& settings, HostList& hosts, HostConnector& connector,
                   RestartDatabase* restart, QWidget* parent)
    : QWidget(parent),
      settings_(settings),
      hosts_(hosts),
      connector_(connector),
      restart_(restart),
      events_(*this, connector) {
    ask_ = RestartQuestionBox(this);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(12, 12, 12, 12);
    layout_->setSpacing(12);
    layout_->addWidget(MakeConnectingPane());
    panes_ = new QGridLayout;
    panes_->setHorizontalSpacing(12);
    panes_->setVerticalSpacing(12);
    layout_->addLayout(panes_);
    layout_->addStretch(1);

    hosts_.SortHostList(settings_.GetInt("HostUrlView"));
    FillHostField(hosts_.selected());
    connector_.SetObserver(&events_);
    SetPhase(Phase::Idle, kNotConnectedText);
}

HostPage::~HostPage() {
    EndSessionForExit();
    connector_.SetObserver(nullptr);
}

QWidget* HostPage::MakeConnectingPane() {
    auto* pane = new QGroupBox("Connecting");
    pane->setObjectName("connectingPane");

    hostField_ = new QComboBox;
    hostField_->setObjectName("hostField");
    hostField_->setEditable(true);
    // Enter connects; it never adds the text to the list by itself.
    hostField_->setInsertPolicy(QComboBox::NoInsert);
    hostField_->setDuplicatesEnabled(true);
    hostField_->setCompleter(nullptr);
    hostField_->setMaxVisibleItems(20);
    hostField_->setMinimumWidth(kHostFieldWidth);
    hostField_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    hostField_->setToolTip(kHostFieldTip);
    hostField_->setAccessibleName("Uniform Resource Locator (URL)");
    hostField_->lineEdit()->setAccessibleName("Uniform Resource Locator (URL)");
    hostField_->lineEdit()->setPlaceholderText("ftp://host/folder/");

    // The matches are the host list's own, in its order: the popup shows them unfiltered.
    completions_ = new QStringListModel(this);
    completion_ = new QCompleter(completions_, this);
    completion_->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
    completion_->setWidget(hostField_->lineEdit());
    completion_->setObjectName("hostCompletion");
    // Its rows are single lines of one font: measuring each of thousands of matches at every
    // keystroke would cost more than the rest of the keystroke.
    if (auto* popup = qobject_cast<QListView*>(completion_->popup())) {
        popup->setUniformItemSizes(true);
    }

    user_ = new QLineEdit;
    user_->setObjectName("userName");
    user_->setToolTip(kUserTip);
    user_->setAccessibleName("User name");
    user_->setMinimumWidth(kCredentialWidth);
    password_ = new QLineEdit;
    password_->setObjectName("password");
    password_->setEchoMode(QLineEdit::Password);
    password_->setToolTip(kPasswordTip);
    password_->setAccessibleName("Password");
    password_->setMinimumWidth(kCredentialWidth);
    savePassword_ = new QCheckBox("&Save password");
    savePassword_->setObjectName("savePassword");
    savePassword_->setToolTip(kSavePasswordTip);
    connectedTo_ = new QLineEdit;
    connectedTo_->setObjectName("connectedTo");
    connectedTo_->setReadOnly(true);
    connectedTo_->setFocusPolicy(Qt::ClickFocus);
    connectedTo_->setToolTip(kConnectedToTip);
    connectedTo_->setAccessibleName("Connected To:");
    connectedTo_->setMinimumWidth(kHostFieldWidth);
    // Shown, never typed in: it wears the window's colour, not an input field's.
    QPalette shown = connectedTo_->palette();
    shown.setColor(QPalette::Base, shown.color(QPalette::Window));
    connectedTo_->setPalette(shown);

    auto* passwordRow = new QHBoxLayout;
    passwordRow->setSpacing(12);
    passwordRow->addWidget(password_);
    passwordRow->addWidget(savePassword_);
    passwordRow->addStretch(1);

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    // Each label is its field's buddy: its mnemonic focuses the field, and screen readers
    // announce the two together.
    form->addRow("&Uniform Resource Locator (URL):", hostField_);
    form->addRow("User &name:", user_);
    auto* passwordLabel = new QLabel("&Password:");
    passwordLabel->setBuddy(password_);
    form->addRow(passwordLabel, passwordRow);
    form->addRow("Connected To:", connectedTo_);

    connect_ = new QPushButton(kConnectText);
    connect_->setObjectName("connect");
    connect_->setIcon(QIcon::fromTheme("network-connect"));
    logoff_ = new QPushButton("&Logoff");
    logoff_->setObjectName("logoff");
    logoff_->setToolTip(kLogoffTip);
    logoff_->setIcon(QIcon::fromTheme("network-disconnect"));
    restartButton_ = new QPushButton("Re&start");
    restartButton_->setObjectName("restart");
    restartButton_->setToolTip(kRestartTip);
    restartButton_->setIcon(QIcon::fromTheme("view-refresh"));
    state_ = new QLabel;
    state_->setObjectName("sessionState");
    state_->setToolTip("The session's state; the Log page tells the details");
    state_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(state_, 1);
    buttons->addWidget(restartButton_);
    buttons->addWidget(connect_);
    buttons->addWidget(logoff_);

    auto* paneLayout = new QVBoxLayout(pane);
    paneLayout->setContentsMargins(16, 16, 16, 12);
    paneLayout->setSpacing(12);
    paneLayout->addLayout(form);
    paneLayout->addLayout(buttons);

    connect(hostField_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!filling_) {
            SelectEntry(index);
        }
    });
    connect(hostField_, &QComboBox::activated, this, &HostPage::SelectEntry);
    connect(hostField_->lineEdit(), &QLineEdit::textEdited, this, &HostPage::OnTextEdited);
    connect(hostField_, &QComboBox::currentTextChanged, this, &HostPage::hostTextChanged);
    connect(hostField_->lineEdit(), &QLineEdit::returnPressed, this, &HostPage::OnReturnPressed);
    connect(completion_, qOverload<const QString&>(&QCompleter::activated), this,
            &HostPage::ShowSelected);
    connect(connect_, &QPushButton::clicked, this, &HostPage::OnConnectClicked);
    connect(logoff_, &QPushButton::clicked, this, &HostPage::OnLogoffClicked);
    connect(restartButton_, &QPushButton::clicked, this, &HostPage::ResumeInterruptedTransfer);
    return pane;
}

QString HostPage::selectedHost() const {
    const int index = hostField_->currentIndex();
    return index < 0 ? QString() : hostField_->itemText(index);
}

QString HostPage::hostText() const {
    return hostField_->currentText().trimmed();
}

std::shared_ptr<SessionWorker> HostPage::session() const {
    return connector_.sessionRunning() ? connector_.session() : nullptr;
}

void HostPage::ReloadHosts(const QString& selectUrl) {
    const std::string url = selectUrl.toStdString();
    hosts_.Select(url);
    FillHostField(hosts_.Contains(url) ? url : std::string());
}

void HostPage::AddPane(QWidget* pane) {
    panes_->addWidget(pane, paneSlots_ / 2, paneSlots_ % 2);
    ++paneSlots_;
}

void HostPage::AddWidePane(QWidget* pane) {
    const int row = (paneSlots_ + 1) / 2;
    panes_->addWidget(pane, row, 0, 1, 2);
    panes_->setRowStretch(row, 1);
    paneSlots_ = 2 * (row + 1);
    // The wide pane takes the spare height instead of the space below the panes.
    layout_->setStretch(layout_->count() - 1, 0);
    layout_->setStretchFactor(panes_, 1);
}

QString HostPage::connectedTo() const {
    return connectedTo_->text();
}

void HostPage::SetToolbar(QToolBar* toolbar) {
    layout_->insertWidget(0, toolbar);
}

void HostPage::SelectHostText() {
    hostField_->setFocus();
    hostField_->lineEdit()->selectAll();
}

HostFields HostPage::Fields() const {
    return HostFields{hostText().toStdString(), user_->text().toStdString(),
                      password_->text().toStdString(), savePassword_->isChecked()};
}

void HostPage::ShowFields(const HostFields& fields) {
    user_->setText(Text(fields.user));
    password_->setText(Text(fields.password));
    savePassword_->setChecked(fields.savePassword);
}

void HostPage::FillHostField(const std::string& select) {
    std::vector<std::string> urls = hosts_.Urls();
    QStringList items;
    items.reserve(static_cast<qsizetype>(urls.size()));
    for (const std::string& url : urls) {
        items.append(Text(url));
    }
    filling_ = true;
    hostField_->clear();
    hostField_->addItems(items);
    const int index = select.empty() ? -1
                                     : hostField_->findText(
                                           Text(select), Qt::MatchExactly | Qt::MatchCaseSensitive);
    hostField_->setCurrentIndex(index);
    filling_ = false;
    completer_.Reset(std::move(urls));
    SelectEntry(index);
}

void HostPage::SelectEntry(int index) {
    const QString url = index < 0 ? QString() : hostField_->itemText(index);
    if (index >= 0 && hostField_->currentText() != url) {
        hostField_->setEditText(url);
    }
    const std::optional<HostEntry> entry = hosts_.Find(url.toStdString());
    if (entry) {
        hosts_.Select(entry->url);
        ShowFields(HostFields{entry->url, entry->user, entry->password, !entry->password.empty()});
    } else {
        ShowFields(HostFields{});
    }
    if (url != shownHost_) {
        shownHost_ = url;
        emit hostSelected(url);
    }
}

void HostPage::OnTextEdited(const QString& text) {
    const std::vector<std::string> matches =
        CompleteHostField(settings_, completer_, text.toStdString());
    if (matches.empty()) {
        completion_->popup()->hide();
        return;
    }
    QStringList items;
    items.reserve(static_cast<qsizetype>(matches.size()));
    for (const std::string& match : matches) {
        items.append(Text(match));
    }
    completions_->setStringList(items);
    completion_->complete();
}

void HostPage::ShowSelected(const QString& url) {
    const int index = hostField_->findText(url, Qt::MatchExactly | Qt::MatchCaseSensitive);
    filling_ = true;
    hostField_->setCurrentIndex(index);
    filling_ = false;
    SelectEntry(index);
}

void HostPage::OnReturnPressed() {
    // With the completion list open, Enter reaches the field before the list: it chooses
    // from the list (or closes it) and does not connect.
    if (!completion_->popup()->isVisible() && phase_ == Phase::Idle) {
        OnConnectClicked();
    }
}

void HostPage::OnConnectClicked() {
    if (phase_ == Phase::Connecting) {
        if (std::shared_ptr<SessionWorker> running = session(); running && !cancelled_) {
            cancelled_ = true;
            CancelConnect(*running);
            SetPhase(Phase::Connecting, kCancellingText);
        }
        return;
    }
    if (phase_ != Phase::Idle) {
        return;
    }
    const HostFields fields = Fields();
    if (fields.host.empty() || hosts_.Contains(fields.host)) {
        Started(connector_.Connect(fields, false, ask_));
    } else {
        Started(ConnectTyped(fields.host));
    }
}

ConnectResult HostPage::ConnectTyped(const std::string& text) {
    const std::optional<SessionRequest> request = ParseUrl(text);
    if (!request || !request->credentialsDefaulted || hosts_.Contains(CanonicalUrl(*request))) {
        return connector_.ConnectToUrl(text, Fields(), ask_);
    }
    // A new entry has nothing saved to show: what was typed beside it stands.
    HostFields fields = Fields();
    fields.host = CanonicalUrl(*request);
    hosts_.AddUnsavedEntry(fields.host);
    hosts_.Select(fields.host);
    return connector_.Connect(fields, false, ask_);
}

bool HostPage::ConnectToUrl(const QString& url) {
    if (phase_ != Phase::Idle) {
        return false;
    }
    const ConnectResult result = connector_.ConnectToUrl(url.toStdString(), Fields(), ask_);
    Started(result);
    return result.outcome == ConnectOutcome::Started;
}

void HostPage::OnLogoffClicked() {
    const std::shared_ptr<SessionWorker> running = session();
    if (!running || phase_ != Phase::LoggedIn) {
        return;
    }
    loggingOff_ = true;
    // What still runs or waits is given up, so the session ends now rather than after it.
    abortTransfers(*running);
    PostCommand(*running, kCommandEndSession, {}, 0, kExitSessionOnly, -1);
    SetPhase(Phase::Ending, kLoggingOffText);
}

void HostPage::ResumeInterruptedTransfer() {
    if (phase_ != Phase::Idle || restart_ == nullptr) {
        return;
    }
    const std::string host = ResumeRestartSlot(*restart_, settings_);
    if (!hosts_.Contains(host)) {
        hosts_.AddUnsavedEntry(host);
    }
    hosts_.Select(host);
    FillHostField(hosts_.selected());
    Started(connector_.Connect(Fields(), true, ask_));
}

void HostPage::Started(const ConnectResult& result) {
    // The action may have entered the URL, selected it, or saved the entry.
    const std::string selected = hosts_.selected();
    if (hosts_.size() != static_cast<size_t>(hostField_->count())) {
        FillHostField(selected);
    } else if (Text(selected) != selectedHost() &&
               (result.outcome != ConnectOutcome::Malformed || result.selectHostText)) {
        ShowSelected(Text(selected));
    }
    ShowFields(result.fields);
    switch (result.outcome) {
        case ConnectOutcome::Started:
            cancelled_ = false;
            loggingOff_ = false;
            SetPhase(Phase::Connecting, kConnectingText);
            return;
        case ConnectOutcome::Malformed:
            SelectHostText();
            break;
        case ConnectOutcome::Failed:
            state_->setText(kConnectFailedText);
            break;
        case ConnectOutcome::Cancelled:
        case ConnectOutcome::Busy:
            break;
    }
    SetPhase(Phase::Idle, state_->text());
}

void HostPage::OnLoggedIn(const QString& hostText) {
    if (phase_ != Phase::Connecting) {
        return;
    }
    connectedTo_->setText(hostText);
    SetPhase(Phase::LoggedIn, cancelled_ ? kCancellingText : kLoggedInText);
    emit sessionStarted();
}

void HostPage::OnEnded(int exitCode, uint32_t bits, bool givenUp) {
    const char* how = kConnectionLostText;
    if (cancelled_) {
        how = kConnectCancelledText;
    } else if ((bits & kOutcomeConnectFailed) != 0) {
        how = kConnectFailedText;
    } else if ((bits & kOutcomeLoginFailed) != 0) {
        how = kLoginFailedText;
    } else if (loggingOff_ || exitCode != kExitSessionOnly) {
        how = kLoggedOffText;
    } else if (givenUp) {
        how = kConnectionGivenUpText;
    }
    cancelled_ = false;
    loggingOff_ = false;
    connectedTo_->clear();
    SetPhase(Phase::Idle, how);
    emit sessionEnded();
    if (exitCode != kExitSessionOnly) {
        window()->close();
    }
}

void HostPage::SetPhase(Phase phase, const QString& state) {
    phase_ = phase;
    const bool idle = phase == Phase::Idle;
    for (QWidget* input :
         std::initializer_list<QWidget*>{hostField_, user_, password_, savePassword_}) {
        input->setEnabled(idle);
    }
    const bool connecting = phase == Phase::Connecting;
    connect_->setText(connecting ? kCancelText : kConnectText);
    connect_->setToolTip(connecting ? kCancelTip : kConnectTip);
    connect_->setEnabled(idle || (connecting && !cancelled_));
    logoff_->setEnabled(phase == Phase::LoggedIn);
    restartButton_->setVisible(idle && restart_ != nullptr && connector_.resumeShown());
    state_->setText(state);
}

void HostPage::HideResume() {
    connector_.SetResumeShown(false);
    restartButton_->setVisible(false);
}

void HostPage::EndSessionForExit() {
    const std::shared_ptr<SessionWorker> running = session();
    if (running) {
        if (running->loggedIn.load() && !running->transferActive.load()) {
            CancelConnect(*running);
            const auto deadline = std::chrono::steady_clock::now() + kLogoffAtExit;
            while (connector_.sessionRunning() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (connector_.sessionRunning()) {
            BreakSession(*running);
        }
    }
    connector_.WaitForSession();
}

}  // namespace qvex
