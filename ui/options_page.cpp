#include "ui/options_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "state/settings.h"
#include "state/time_zones.h"
#include "transfer/listing_language.h"

namespace qvex {

struct OptionCheck {
    const char* setting;
    const char* text;
    const char* toolTip;
};

namespace {

constexpr const char* kOpacityTip = "Adjust Qvex \"opacity\" (transparency) - try it!";
// "Timeout" in seconds: 0 waits for ever.
constexpr int kMaxTimeout = 24 * 3600;

QVBoxLayout* PageLayout(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(10);
    return layout;
}

// Rows of labelled fields that keep their natural width, as desktop dialogs have them.
QFormLayout* FieldRows() {
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    return form;
}

// Text fields wide enough for a host name with its port or an e-mail address.
constexpr int kTextFieldWidth = 360;

// A label for `buddy` that screen readers announce with it.
QLabel* LabelFor(const char* text, QWidget* buddy) {
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    return label;
}

constexpr OptionCheck kFileTransfers[] = {
    {"Passive", "Use \"&Passive\" FTP Server data connections",
     "The client opens the data connections (PASV); off, the server does (PORT)"},
    {"Restart", "Enable &Error Recovery / Restart",
     "Record interrupted transfers and resume them at the next connection"},
    {"KeepXDir", "Remember Last Transfer/Local &Dir",
     "Open the local pane in the last transfer folder at the next start"},
    {"KeepXMode", "Remember Last Transfer &Type",
     "Start with the last transfer type instead of ASCII"},
    {"ReplaceSpaces", "&Replace spaces in names with \"_\" when uploading files or folders",
     "Uploaded names get \"_\" wherever the local name has a space"},
};

constexpr OptionCheck kPrompts[] = {
    {"LocalOverwrite1", "Prompt on Local file overwrite from Remote pane",
     "Ask before a download from the remote pane replaces a local file"},
    {"LocalOverwrite2", "Prompt on Local file overwrite from Search hits",
     "Ask before a download from the search hits replaces a local file"},
    {"RemoteDelete1", "Prompt on Remote folder tree delete in Remote pane",
     "Ask before a remote folder is deleted with everything in it"},
    {"RemoteDelete2", "Prompt on Remote folder tree delete in Search hits",
     "Ask before a remote folder found by a search is deleted with everything in it"},
    {"RestartDelete", "Prompt on Restart info delete",
     "Ask before the record of an interrupted transfer is discarded"},
};

constexpr OptionCheck kOddsAndEnds[] = {
    {"SnapTo", "Enable \"snapping to\" screen borders",
     "A moved window snaps to the borders of a single screen"},
    {"ModelessSearch", "Create \"modeless\" Search dialog",
     "The site search dialog stays open beside the main window"},
    {"HostUrlAuto", "Enable Host URL \"auto-complete\"",
     "Complete host URLs from the host list while typing"},
    {"HostUrlSort", "Sort Host URLs using \"host\" ONLY",
     "The alphabetic host order compares host names only"},
    {"PerCPUMD5", "Enable Per-CPU/core MD5 computation",
     "Compute hash sums with one worker per processor core"},
};

}  // namespace

OptionsPage::OptionsPage(Settings& settings, QWidget* parent)
    : QWidget(parent), settings_(settings) {
    auto* layout = new QVBoxLayout(this);
    pages_ = new QTabWidget;
    pages_->setObjectName("optionPages");
    layout->addWidget(pages_);
    AddPage(MakeGeneral(), "General", "General/UI option settings/controls");
    AddPage(MakeHostConnections(), "Host Connections", "Host connection/proxy setup");
    AddPage(MakeChecks(kFileTransfers), "File Transfers", "File transfer options");
    AddPage(MakeLogging(), "Logging", "Logging control options");
    AddPage(MakeChecks(kPrompts), "Prompts", "Control prompting levels");
    AddPage(MakeChecks(kOddsAndEnds), "Odds and Ends",
            "Less-used and obscure (\"expert\") options");
    AddPage(MakeAdvanced(), "Advanced", "Host-specific options");
    SetSelectedHost({});
}

void OptionsPage::AddPage(QWidget* page, const char* text, const char* toolTip) {
    page->setAccessibleName(text);
    page->setAccessibleDescription(toolTip);
    const int index = pages_->addTab(page, text);
    pages_->setTabToolTip(index, toolTip);
}

void OptionsPage::StoreInt(const char* setting, int value) {
    if (showing_ || settings_.GetInt(setting) == value) {
        return;
    }
    settings_.SetInt(setting, value);
    settings_.SaveSettings();
    emit settingChanged(setting);
}

void OptionsPage::StoreString(const char* setting, const QString& value) {
    const std::string text = value.toStdString();
    if (showing_ || settings_.GetString(setting) == text) {
        return;
    }
    settings_.SetString(setting, text);
    settings_.SaveSettings();
    emit settingChanged(setting);
}

QCheckBox* OptionsPage::AddCheck(QVBoxLayout* layout, const char* setting, const char* text,
                                 const char* toolTip) {
    auto* box = new QCheckBox(text);
    box->setObjectName(setting);
    box->setToolTip(toolTip);
    box->setChecked(settings_.GetInt(setting) != 0);
    connect(box, &QCheckBox::toggled, this,
            [this, setting](bool on) { StoreInt(setting, on ? 1 : 0); });
    layout->addWidget(box);
    return box;
}

QComboBox* OptionsPage::MakeChoice(const char* setting, std::initializer_list<const char*> items,
                                   const char* toolTip) {
    auto* box = new QComboBox;
    box->setObjectName(setting);
    box->setToolTip(toolTip);
    for (const char* item : items) {
        box->addItem(item);
    }
    box->setCurrentIndex(std::clamp(settings_.GetInt(setting), 0, box->count() - 1));
    connect(box, &QComboBox::currentIndexChanged, this,
            [this, setting](int index) { StoreInt(setting, index); });
    return box;
}

QWidget* OptionsPage::MakeGeneral() {
    auto* page = new QWidget;
    QVBoxLayout* layout = PageLayout(page);
    AddCheck(layout, "NoUITray", "Use &Tray when minimized",
             "Hide the minimised window and show an icon in the system tray");
    AddCheck(layout, "NoUIQuit", "Enable \"&auto\" Logoff and Exit",
             "Log off and exit when the work of the command line is done");
    AddCheck(layout, "LocalIcons", "Use Local (Windows) &Icons",
             "Show the desktop's own file icons in the file panes");
    AddCheck(layout, "Statistics", "Enable &Statistics gathering",
             "Count connections and transfers per host");

    auto* opacityRow = new QHBoxLayout;
    auto* opacity = new QSlider(Qt::Horizontal);
    opacity->setFixedWidth(kTextFieldWidth);
    opacity->setObjectName("Opacity");
    opacity->setToolTip(kOpacityTip);
    opacity->setAccessibleName("Opacity");
    opacity->setRange(20, 100);
    opacity->setPageStep(10);
    opacity->setValue(std::clamp(settings_.GetInt("Opacity"), 20, 100));
    auto* percent = new QLabel(QString("%1 %").arg(opacity->value()));
    percent->setMinimumWidth(48);
    connect(opacity, &QSlider::valueChanged, this, [this, opacity, percent](int value) {
        percent->setText(QString("%1 %").arg(value));
        settings_.SetInt("Opacity", value);
        // While dragging the window follows at once; the value is saved where the drag ends.
        if (!opacity->isSliderDown()) {
            settings_.SaveSettings();
        }
        emit settingChanged("Opacity");
    });
    connect(opacity, &QSlider::sliderReleased, this, [this] { settings_.SaveSettings(); });
    opacityRow->addWidget(LabelFor("O&pacity", opacity));
    opacityRow->addWidget(opacity, 1);
    opacityRow->addWidget(percent);
    opacityRow->addStretch();
    layout->addSpacing(6);
    layout->addLayout(opacityRow);
    layout->addSpacing(6);

    auto* icons = new QGroupBox("Use Large toolbar icons");
    icons->setToolTip(
        "\"Auto\" uses large icons on a high-DPI display; takes effect at the next start");
    QFormLayout* form = FieldRows();
    icons->setLayout(form);
    const int32_t largeIcons = settings_.GetInt("LargeIcons");
    for (int toolbar = 0; toolbar < 2; ++toolbar) {
        auto* box = new QComboBox;
        box->setObjectName(toolbar == 0 ? "LargeIconsHost" : "LargeIconsFiles");
        box->setToolTip(toolbar == 0 ? "Toolbar icon size on the Host page"
                                     : "Toolbar icon size on the Files page");
        box->addItems({"Never", "Always", "Auto"});
        box->setCurrentIndex(std::min((largeIcons >> (2 * toolbar)) & 3, 2));
        connect(box, &QComboBox::currentIndexChanged, this, [this, toolbar](int index) {
            const int shift = 2 * toolbar;
            const int32_t old = settings_.GetInt("LargeIcons");
            StoreInt("LargeIcons", (old & ~(3 << shift)) | (index << shift));
        });
        form->addRow(LabelFor(toolbar == 0 ? "&Host page:" : "&Files page:", box), box);
    }
    layout->addWidget(icons, 0, Qt::AlignLeft);
    layout->addStretch();
    return page;
}

QWidget* OptionsPage::MakeHostConnections() {
    auto* page = new QWidget;
    QVBoxLayout* layout = PageLayout(page);
    QFormLayout* form = FieldRows();
    layout->addLayout(form);

    auto* email = new QLineEdit(QString::fromStdString(settings_.GetString("EMail")));
    email->setObjectName("EMail");
    email->setMinimumWidth(kTextFieldWidth);
    email->setToolTip("Sent as the password of anonymous logins");
    connect(email, &QLineEdit::textChanged, this,
            [this](const QString& text) { StoreString("EMail", text); });
    form->addRow(LabelFor("&E-mail address (anonymous password):", email), email);

    auto* proxy = new QLineEdit(QString::fromStdString(settings_.GetString("Proxy")));
    proxy->setObjectName("Proxy");
    proxy->setMinimumWidth(kTextFieldWidth);
    proxy->setToolTip("Host name or address of the proxy, optionally followed by :port");
    connect(proxy, &QLineEdit::textChanged, this,
            [this](const QString& text) { StoreString("Proxy", text); });
    form->addRow(LabelFor("Proxy Server / Fire&wall (including optional :port#)", proxy), proxy);

    QComboBox* type = MakeChoice("ProxyType", {"None/direct", "FTP Proxy", "SOCKS4", "SOCKS5"},
                                 "How the proxy is spoken to");
    form->addRow(LabelFor("Proxy t&ype:", type), type);

    auto* name = new QLineEdit(QString::fromStdString(settings_.GetString("AuthName")));
    name->setObjectName("AuthName");
    name->setMinimumWidth(kTextFieldWidth);
    name->setToolTip("User name for the proxy's authentication");
    connect(name, &QLineEdit::textChanged, this,
            [this](const QString& text) { StoreString("AuthName", text); });
    form->addRow(LabelFor("Proxy user &name:", name), name);

    auto* passwordRow = new QHBoxLayout;
    proxyPassword_ = new QLineEdit(QString::fromStdString(settings_.GetString("AuthPasswd")));
    proxyPassword_->setObjectName("AuthPasswd");
    proxyPassword_->setMinimumWidth(kTextFieldWidth - 80);
    proxyPassword_->setEchoMode(QLineEdit::Password);
    proxyPassword_->setToolTip("Password for the proxy's authentication");
    auto* save = new QCheckBox("Save");
    save->setObjectName("AuthSave");
    save->setToolTip("Keep the proxy password; unticked, the stored password is cleared");
    save->setChecked(!proxyPassword_->text().isEmpty());
    proxyPassword_->setEnabled(save->isChecked());
    connect(proxyPassword_, &QLineEdit::textChanged, this,
            [this](const QString& text) { StoreString("AuthPasswd", text); });
    connect(save, &QCheckBox::toggled, this, [this](bool on) {
        proxyPassword_->setEnabled(on);
        if (!on) {
            proxyPassword_->clear();
        }
    });
    passwordRow->addWidget(proxyPassword_);
    passwordRow->addWidget(save);
    form->addRow(LabelFor("Proxy pass&word:", proxyPassword_), passwordRow);

    auto* timeout = new QSpinBox;
    timeout->setObjectName("Timeout");
    timeout->setToolTip("Seconds to wait for a silent server before giving up (0: for ever)");
    timeout->setRange(0, kMaxTimeout);
    timeout->setSuffix(" s");
    timeout->setSpecialValueText("For ever");
    timeout->setValue(settings_.GetInt("Timeout"));
    connect(timeout, &QSpinBox::valueChanged, this,
            [this](int value) { StoreInt("Timeout", value); });
    form->addRow(LabelFor("&Timeout:", timeout), timeout);

    AddCheck(layout, "KeepHost", "Remember Last &Host",
             "Select the last connected host at the next start");
    layout->addStretch();
    return page;
}

QWidget* OptionsPage::MakeLogging() {
    auto* page = new QWidget;
    QVBoxLayout* layout = PageLayout(page);
    AddCheck(layout, "Logging", "Enable logging",
             "Record the session's commands, replies and messages in the log");
    AddCheck(layout, "LogColor", "Enable color-coded log entries",
             "Show each kind of log line in its own colour");
    QComboBox* keep =
        MakeChoice("LogKeep",
                   {"Keep NO logs (past current session)", "Keep last 5 session logs",
                    "Keep last 30 session logs", "Keep ALL session logs (use with caution)"},
                   "How many session logs are kept on disk at exit");
    QFormLayout* row = FieldRows();
    row->addRow(LabelFor("&Number of logs to keep:", keep), keep);
    layout->addLayout(row);
    layout->addStretch();
    return page;
}

QWidget* OptionsPage::MakeChecks(std::span<const OptionCheck> rows) {
    auto* page = new QWidget;
    QVBoxLayout* layout = PageLayout(page);
    for (const OptionCheck& row : rows) {
        AddCheck(layout, row.setting, row.text, row.toolTip);
    }
    layout->addStretch();
    return page;
}

QWidget* OptionsPage::MakeAdvanced() {
    auto* page = new QWidget;
    QVBoxLayout* layout = PageLayout(page);
    hostLabel_ = new QLabel;
    hostLabel_->setObjectName("perHostHost");
    hostLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(hostLabel_);

    perHost_ = new QWidget;
    QFormLayout* form = FieldRows();
    perHost_->setLayout(form);
    form->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(perHost_);

    language_ = new QComboBox;
    language_->setObjectName("PerHost0");
    language_->setToolTip("The language of the server's listings (month names, date order)");
    for (const ListingLanguageChoice& choice : listingLanguageChoices()) {
        language_->addItem(QString::fromStdString(choice.name), choice.languageId);
    }
    connect(language_, &QComboBox::currentIndexChanged, this, [this](int index) {
        StorePerHost(kPerHostLanguage, language_->itemData(index).toInt());
    });
    form->addRow(LabelFor("&Locale:", language_), language_);

    timeZone_ = new QComboBox;
    timeZone_->setObjectName("PerHost3");
    timeZone_->setToolTip("The time zone of the times in the server's listings");
    for (const TimeZoneRow& row : kTimeZones) {
        timeZone_->addItem(QString::fromUtf8(row.text.data(), static_cast<int>(row.text.size())),
                           row.code);
    }
    connect(timeZone_, &QComboBox::currentIndexChanged, this, [this](int index) {
        StorePerHost(kPerHostTimeZone, timeZone_->itemData(index).toInt());
    });
    form->addRow(LabelFor("T&ime:", timeZone_), timeZone_);

    transferType_ = new QComboBox;
    transferType_->setObjectName("PerHost1");
    transferType_->setToolTip("The transfer type chosen when connecting to this host");
    transferType_->addItems({"None", "ASCII (Text)", "Image (Binary)", "Smart (Auto)"});
    connect(transferType_, &QComboBox::currentIndexChanged, this,
            [this](int index) { StorePerHost(kPerHostTransferType, index); });
    form->addRow(LabelFor("Set Transfer &Type at Connect", transferType_), transferType_);

    dataMode_ = new QComboBox;
    dataMode_->setObjectName("PerHost4");
    dataMode_->setToolTip("PORT or PASV for this host, whatever the \"Passive\" option says");
    dataMode_->addItems({"None", "Port", "Passive"});
    connect(dataMode_, &QComboBox::currentIndexChanged, this,
            [this](int index) { StorePerHost(kPerHostDataMode, index); });
    form->addRow(LabelFor("Set &Data Transfer Mode at Connect", dataMode_), dataMode_);

    security_ = new QComboBox;
    security_->setObjectName("PerHost5");
    security_->setToolTip(
        "FTP over TLS for this host (ftps:// and ftpes:// URLs choose their own)");
    security_->addItems(
        {"None", "Explicit TLS if available", "Require explicit TLS", "Implicit TLS"});
    connect(security_, &QComboBox::currentIndexChanged, this,
            [this](int index) { StorePerHost(kPerHostSecurity, index); });
    form->addRow(LabelFor("&Security:", security_), security_);

    direct_ = new QCheckBox("No Proxy Required for Host (direct &connect)");
    direct_->setObjectName("PerHost2");
    direct_->setToolTip("Connect to this host directly, ignoring the proxy");
    connect(direct_, &QCheckBox::toggled, this,
            [this](bool on) { StorePerHost(kPerHostDirect, on ? 1 : 0); });
    form->addRow(direct_);
    layout->addStretch();
    return page;
}

void OptionsPage::SetSelectedHost(const std::string& url) {
    host_ = url;
    ShowPerHostOptions();
}

void OptionsPage::ShowPerHostOptions() {
    showing_ = true;
    perHost_->setEnabled(!host_.empty());
    hostLabel_->setText(host_.empty()
                            ? QString("Select a host on the Host page to edit its options.")
                            : "Options of " + QString::fromStdString(host_));
    auto option = [this](int number) {
        return host_.empty() ? 0 : static_cast<int>(settings_.GetPerHostOption(host_, number));
    };
    // A host without a language reads listings in US English.
    const int language = option(kPerHostLanguage) == 0 ? static_cast<int>(kDefaultLanguage)
                                                       : option(kPerHostLanguage);
    int index = language_->findData(language);
    if (index < 0) {
        // A language this system cannot offer is kept as it is.
        language_->addItem(QString("Language %1").arg(language), language);
        index = language_->count() - 1;
    }
    language_->setCurrentIndex(index);
    timeZone_->setCurrentIndex(std::max(timeZone_->findData(option(kPerHostTimeZone)), 0));
    transferType_->setCurrentIndex(option(kPerHostTransferType));
    dataMode_->setCurrentIndex(std::min(option(kPerHostDataMode), 2));
    direct_->setChecked(option(kPerHostDirect) != 0);
    security_->setCurrentIndex(option(kPerHostSecurity));
    showing_ = false;
}

void OptionsPage::StorePerHost(int option, int value) {
    if (showing_ || host_.empty()) {
        return;
    }
    settings_.SetPerHostOption(host_, option, static_cast<uint32_t>(value));
    settings_.SaveSettings();
    emit settingChanged("PerHost");
}

}  // namespace qvex
