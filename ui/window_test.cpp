// The main window on the offscreen platform: its pages and texts, every option control
// against the registry file it saves, the per-host options, and the title and progress
// shown for real messages on the bus.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry_file.h"
#include "state/secret_codec.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "state/version.h"
#include "tests/support/temp_env.h"
#include "transfer/transfer_progress.h"
#include "ui/main_window.h"
#include "ui/options_page.h"

namespace qvex {

class WindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TempFolder> folder_;
    std::unique_ptr<platform::RegistryFile> registry_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<SharedHeap> heap_;
    std::unique_ptr<MainWindow> window_;

    std::string registryPath() const { return folder_->path("registry.reg"); }

    // The settings as the next start would load them from the file.
    std::unique_ptr<Settings> Reloaded(platform::RegistryFile& registry) {
        auto settings = std::make_unique<Settings>(registry);
        settings->LoadSettings();
        return settings;
    }

    void OpenWindow() {
        registry_ = std::make_unique<platform::RegistryFile>(registryPath());
        settings_ = std::make_unique<Settings>(*registry_);
        settings_->LoadSettings();
        window_ = std::make_unique<MainWindow>(*settings_, *heap_);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    template <typename T>
    T* Control(const char* name) {
        T* control = window_->optionsPage()->findChild<T*>(name);
        if (control == nullptr) {
            qFatal("no control named %s", name);
        }
        return control;
    }

    // The saved "Options" record is whole: its checksum holds and it is not the default.
    void ExpectValidRecord() {
        platform::RegistryFile file(registryPath());
        std::optional<std::string> record = file.ReadString(kSettingsKey, "Options");
        QVERIFY(record.has_value());
        QVERIFY2(NormalizeOptionsRecord(*record).has_value(), record->c_str());
    }

  private slots:
    void init() {
        folder_ = std::make_unique<test::TempFolder>();
        heap_ = std::make_unique<SharedHeap>();
        QVERIFY(heap_->CreateHeap(SharedHeap::kDefaultPageCount));
        InstallProcessHeap(heap_.get());
        OpenWindow();
    }

    void cleanup() {
        window_.reset();
        InstallProcessHeap(nullptr);
        settings_.reset();
        registry_.reset();
        heap_.reset();
        folder_.reset();
    }

    void pagesInTabOrderWithTheirTooltips() {
        const QTabWidget* pages = window_->pages();
        const std::vector<std::pair<QString, QString>> expected = {{"Host", kHostTip},
                                                                   {"Files", kFilesTip},
                                                                   {"Options", kOptionsTip},
                                                                   {"Log", kLogTip},
                                                                   {"Help", kHelpTip}};
        QCOMPARE(pages->count(), static_cast<int>(expected.size()));
        for (int i = 0; i < pages->count(); ++i) {
            QCOMPARE(pages->tabText(i), expected[static_cast<size_t>(i)].first);
            QCOMPARE(pages->tabToolTip(i), expected[static_cast<size_t>(i)].second);
            QCOMPARE(pages->widget(i)->accessibleName(), expected[static_cast<size_t>(i)].first);
        }
        const QTabWidget* options = window_->optionsPage()->pages();
        const std::vector<std::pair<QString, QString>> optionPages = {
            {"General", "General/UI option settings/controls"},
            {"Host Connections", "Host connection/proxy setup"},
            {"File Transfers", "File transfer options"},
            {"Logging", "Logging control options"},
            {"Prompts", "Control prompting levels"},
            {"Odds and Ends", "Less-used and obscure (\"expert\") options"},
            {"Advanced", "Host-specific options"}};
        QCOMPARE(options->count(), static_cast<int>(optionPages.size()));
        for (int i = 0; i < options->count(); ++i) {
            QCOMPARE(options->tabText(i), optionPages[static_cast<size_t>(i)].first);
            QCOMPARE(options->tabToolTip(i), optionPages[static_cast<size_t>(i)].second);
        }
        QCOMPARE(window_->windowTitle(), QString("Qvex 3.5"));
        QCOMPARE(Control<QSlider>("Opacity")->toolTip(),
                 QString("Adjust Qvex \"opacity\" (transparency) - try it!"));
        // Every control a screen reader reaches has a description.
        for (QWidget* control : window_->optionsPage()->findChildren<QWidget*>()) {
            if (control->objectName().isEmpty() || qobject_cast<QTabWidget*>(control) ||
                control->objectName().startsWith("qt_")) {
                continue;
            }
            if (qobject_cast<QCheckBox*>(control) || qobject_cast<QComboBox*>(control) ||
                qobject_cast<QLineEdit*>(control) || qobject_cast<QSpinBox*>(control) ||
                qobject_cast<QSlider*>(control)) {
                QVERIFY2(!control->toolTip().isEmpty(), qPrintable(control->objectName()));
            }
        }
    }

    void everyCheckBoxWritesItsSettingAndSaves_data() {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("text");
        const std::vector<std::pair<const char*, const char*>> rows = {
            {"NoUITray", "Use &Tray when minimized"},
            {"NoUIQuit", "Enable \"&auto\" Logoff and Exit"},
            {"LocalIcons", "Use Local (Windows) &Icons"},
            {"Statistics", "Enable &Statistics gathering"},
            {"KeepHost", "Remember Last &Host"},
            {"Passive", "Use \"&Passive\" FTP Server data connections"},
            {"Restart", "Enable &Error Recovery / Restart"},
            {"KeepXDir", "Remember Last Transfer/Local &Dir"},
            {"KeepXMode", "Remember Last Transfer &Type"},
            {"ReplaceSpaces",
             "&Replace spaces in names with \"_\" when uploading files or folders"},
            {"Logging", "Enable logging"},
            {"LogColor", "Enable color-coded log entries"},
            {"LocalOverwrite1", "Prompt on Local file overwrite from Remote pane"},
            {"LocalOverwrite2", "Prompt on Local file overwrite from Search hits"},
            {"RemoteDelete1", "Prompt on Remote folder tree delete in Remote pane"},
            {"RemoteDelete2", "Prompt on Remote folder tree delete in Search hits"},
            {"RestartDelete", "Prompt on Restart info delete"},
            {"SnapTo", "Enable \"snapping to\" screen borders"},
            {"ModelessSearch", "Create \"modeless\" Search dialog"},
            {"HostUrlAuto", "Enable Host URL \"auto-complete\""},
            {"HostUrlSort", "Sort Host URLs using \"host\" ONLY"},
            {"PerCPUMD5", "Enable Per-CPU/core MD5 computation"},
        };
        for (const auto& [setting, text] : rows) {
            QTest::newRow(setting) << QString(setting) << QString(text);
        }
    }

    void everyCheckBoxWritesItsSettingAndSaves() {
        QFETCH(QString, setting);
        QFETCH(QString, text);
        const std::string name = setting.toStdString();
        auto* box = Control<QCheckBox>(name.c_str());
        QCOMPARE(box->text(), text);
        const int before = settings_->GetInt(name);
        QCOMPARE(box->isChecked(), before != 0);
        box->click();
        QCOMPARE(settings_->GetInt(name), before == 0 ? 1 : 0);
        // Saved at once: a fresh load of the file sees it, in a whole record.
        platform::RegistryFile file(registryPath());
        QCOMPARE(Reloaded(file)->GetInt(name), before == 0 ? 1 : 0);
        ExpectValidRecord();
        box->click();
        platform::RegistryFile again(registryPath());
        QCOMPARE(Reloaded(again)->GetInt(name), before);
    }

    void choicesSliderAndFieldsWriteTheirSettings() {
        auto reloaded = [this] {
            platform::RegistryFile file(registryPath());
            return Reloaded(file);
        };
        auto* proxyType = Control<QComboBox>("ProxyType");
        QCOMPARE(proxyType->itemText(3), QString("SOCKS5"));
        proxyType->setCurrentIndex(3);
        QCOMPARE(reloaded()->GetInt("ProxyType"), 3);

        auto* keep = Control<QComboBox>("LogKeep");
        QCOMPARE(keep->currentIndex(), 1);
        QCOMPARE(keep->itemText(0), QString("Keep NO logs (past current session)"));
        QCOMPARE(keep->itemText(3), QString("Keep ALL session logs (use with caution)"));
        keep->setCurrentIndex(2);
        QCOMPARE(reloaded()->GetInt("LogKeep"), 2);

        // Two bits per page in one setting: the default 9 is Host Always, Files Auto.
        auto* hostIcons = Control<QComboBox>("LargeIconsHost");
        auto* filesIcons = Control<QComboBox>("LargeIconsFiles");
        QCOMPARE(hostIcons->currentText(), QString("Always"));
        QCOMPARE(filesIcons->currentText(), QString("Auto"));
        hostIcons->setCurrentIndex(0);
        QCOMPARE(reloaded()->GetInt("LargeIcons"), 8);
        filesIcons->setCurrentIndex(1);
        QCOMPARE(reloaded()->GetInt("LargeIcons"), 4);

        auto* opacity = Control<QSlider>("Opacity");
        QCOMPARE(opacity->value(), 100);
        opacity->setValue(60);
        QCOMPARE(reloaded()->GetInt("Opacity"), 60);
        QCOMPARE(window_->windowOpacity(), 0.6);
        opacity->setValue(100);
        QCOMPARE(window_->windowOpacity(), window_->isActiveWindow() ? 1.0 : 0.85);

        auto* email = Control<QLineEdit>("EMail");
        QCOMPARE(email->text(), QString("QvexUser@"));
        email->setText("me@example.org");
        QCOMPARE(reloaded()->GetString("EMail"), std::string("me@example.org"));
        Control<QLineEdit>("Proxy")->setText("proxy.example.org:8021");
        QCOMPARE(reloaded()->GetString("Proxy"), std::string("proxy.example.org:8021"));

        auto* timeout = Control<QSpinBox>("Timeout");
        timeout->setValue(45);
        QCOMPARE(settings_->GetInt("Timeout"), 45);
        timeout->setValue(0);
        QCOMPARE(timeout->text(), QString("For ever"));
        ExpectValidRecord();
    }

    void proxyPasswordIsClearedWhenNotSaved() {
        auto* save = Control<QCheckBox>("AuthSave");
        auto* password = Control<QLineEdit>("AuthPasswd");
        QVERIFY(!save->isChecked());
        QVERIFY(!password->isEnabled());
        save->click();
        Control<QLineEdit>("AuthName")->setText("proxyuser");
        password->setText("s3cret");
        {
            platform::RegistryFile file(registryPath());
            auto loaded = Reloaded(file);
            QCOMPARE(loaded->GetString("AuthName"), std::string("proxyuser"));
            QCOMPARE(loaded->GetString("AuthPasswd"), std::string("s3cret"));
        }
        // The stored form is not the password itself.
        QVERIFY(!QString::fromStdString(test::ReadFileBytes(registryPath())).contains("s3cret"));
        save->click();
        QVERIFY(password->text().isEmpty());
        platform::RegistryFile file(registryPath());
        auto loaded = Reloaded(file);
        QCOMPARE(loaded->GetString("AuthPasswd"), std::string());
        QCOMPARE(loaded->GetString("AuthName"), std::string("proxyuser"));
    }

    void advancedEditsTheSelectedHostsOptions() {
        const std::string url = "ftp://ftp.example.org/";
        auto* language = Control<QComboBox>("PerHost0");
        auto* zone = Control<QComboBox>("PerHost3");
        auto* type = Control<QComboBox>("PerHost1");
        auto* direct = Control<QCheckBox>("PerHost2");
        auto* mode = Control<QComboBox>("PerHost4");
        QVERIFY(!language->isEnabled());
        QVERIFY(!direct->isEnabled());
        QCOMPARE(language->itemText(0), QString("Default (US English)"));
        QCOMPARE(zone->currentText(), QString("Local Time (default)"));

        window_->SetSelectedHost(url);
        QVERIFY(language->isEnabled());
        zone->setCurrentIndex(zone->findData(68));  // GMT+01:00
        type->setCurrentIndex(3);
        direct->click();
        mode->setCurrentIndex(1);
        QCOMPARE(settings_->GetPerHostOption(url, kPerHostTimeZone), 68u);
        QCOMPARE(settings_->GetPerHostOption(url, kPerHostTransferType), 3u);
        QCOMPARE(settings_->GetPerHostOption(url, kPerHostDirect), 1u);
        QCOMPARE(settings_->GetPerHostOption(url, kPerHostDataMode), 1u);
        platform::RegistryFile file(registryPath());
        // The language was never chosen: 0, read as US English.
        const uint32_t word = 3u << 16 | 1u << 18 | 68u << 19 | 1u << 26;
        QCOMPARE(file.ReadDword(kPerHostKey, EncodeHostName(url)).value_or(0), word);
        // "Security" is bits 28-29 of the same word; the other bits stay as they were.
        auto* security = Control<QComboBox>("PerHost5");
        const std::vector<std::pair<QString, uint32_t>> securityRows = {
            {"Implicit TLS", 3},
            {"Explicit TLS if available", 1},
            {"Require explicit TLS", 2},
            {"None", 0}};
        for (const auto& [text, bits] : securityRows) {
            security->setCurrentIndex(security->findText(text));
            QCOMPARE(security->currentText(), text);
            platform::RegistryFile saved(registryPath());
            QCOMPARE(saved.ReadDword(kPerHostKey, EncodeHostName(url)).value_or(0),
                     word | bits << 28);
        }
        settings_->SetPerHostOption(url, kPerHostSecurity, 2);
        window_->SetSelectedHost("");
        window_->SetSelectedHost(url);
        QCOMPARE(security->currentText(), QString("Require explicit TLS"));
        QCOMPARE(settings_->PerHostWord(url), word | 2u << 28);
        settings_->SetPerHostOption(url, kPerHostSecurity, 0);
        if (language->count() > 1) {
            language->setCurrentIndex(1);
            QCOMPARE(settings_->GetPerHostOption(url, kPerHostLanguage),
                     language->itemData(1).toUInt());
        }

        // Another host shows its own (empty) word; back again, the first one's.
        window_->SetSelectedHost("ftp://other.example.org/");
        QCOMPARE(type->currentIndex(), 0);
        QVERIFY(!direct->isChecked());
        QCOMPARE(settings_->PerHostWord("ftp://other.example.org/"), 0u);
        window_->SetSelectedHost(url);
        QCOMPARE(zone->currentData().toInt(), 68);
        QVERIFY(direct->isChecked());
        window_->SetSelectedHost("");
        QVERIFY(!type->isEnabled());
    }

    void titleAndProgressFollowTheBus() {
        publishTitle("Connecting to ftp.example.org");
        QTRY_COMPARE(window_->windowTitle(), QString("Connecting to ftp.example.org - Qvex 3.5"));
        publishProgress(50, "GET a.zip (%d%%)");
        QTRY_COMPARE(window_->windowTitle(), QString("GET a.zip (50%) - Qvex 3.5"));
        QVERIFY(window_->progressBar()->isVisible());
        QCOMPARE(window_->progressBar()->value(), 50);
        // A template is never a format string: only %d and %% are filled.
        publishProgress(7, "x%s%n%x%d%");
        QTRY_COMPARE(window_->windowTitle(), QString("x%s%n%x7% - Qvex 3.5"));
        // The reset record brings the title text back; an empty title the program title.
        publishProgress(0, nullptr);
        QTRY_COMPARE(window_->windowTitle(), QString("Connecting to ftp.example.org - Qvex 3.5"));
        QVERIFY(!window_->progressBar()->isVisible());
        publishTitle(std::string(700, 'L'));
        QTRY_COMPARE(window_->windowTitle().size(), 700 + 11);
        publishTitle("");
        QTRY_COMPARE(window_->windowTitle(), QString("Qvex 3.5"));
    }

    void fillsProgressTemplatesSafely_data() {
        QTest::addColumn<QString>("templ");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("filled");
        QTest::newRow("percent") << "GET a.zip (%d%%)" << 50 << "GET a.zip (50%)";
        QTest::newRow("kilobytes") << "GET a.zip (%dKB)" << 12 << "GET a.zip (12KB)";
        QTest::newRow("no value") << "PUT ..." << 3 << "PUT ...";
        QTest::newRow("other conversions stay") << "%s %n %x %5d" << 1 << "%s %n %x %5d";
        QTest::newRow("trailing percent") << "100%" << 1 << "100%";
        QTest::newRow("two values") << "%d/%d" << 9 << "9/9";
    }

    void fillsProgressTemplatesSafely() {
        QFETCH(QString, templ);
        QFETCH(int, value);
        QFETCH(QString, filled);
        QCOMPARE(QString::fromStdString(FillProgressTemplate(templ.toStdString(), value)), filled);
    }

    void toolbarIconSizes() {
        QCOMPARE(ToolbarIconSize(9, ToolbarPage::Host, 96), 32);
        QCOMPARE(ToolbarIconSize(9, ToolbarPage::Files, 96), 16);
        QCOMPARE(ToolbarIconSize(9, ToolbarPage::Files, 144), 32);
        QCOMPARE(ToolbarIconSize(0, ToolbarPage::Host, 192), 16);
        QCOMPARE(ToolbarIconSize(2, ToolbarPage::Host, 120), 16);
        QCOMPARE(window_->toolbarIconSize(ToolbarPage::Host), 32);
    }

    void snapsToTheBordersOfTheOneScreen() {
        QCOMPARE(QGuiApplication::screens().size(), 1);
        const QPoint corner = QGuiApplication::primaryScreen()->availableGeometry().topLeft();
        window_->move(corner + QPoint(200, 150));
        QTest::qWait(50);
        window_->move(corner + QPoint(5, 4));
        QTRY_COMPARE(window_->pos(), corner);
        Control<QCheckBox>("SnapTo")->click();
        window_->move(corner + QPoint(5, 4));
        QTest::qWait(50);
        // Where the window was put, give or take the frame the platform may add.
        QVERIFY((window_->pos() - corner - QPoint(5, 4)).manhattanLength() <= 8);
        QVERIFY(window_->pos() != corner);
    }

    void closingShowsExitingAndSaves() {
        Control<QComboBox>("ProxyType")->setCurrentIndex(2);
        settings_->SetString("LastSearch", "*.zip");
        window_->close();
        QVERIFY(window_->exiting());
        QCOMPARE(window_->windowTitle(), QString("Exiting... - Qvex 3.5"));
        QCOMPARE(window_->statusText(), QString("Exiting..."));
        platform::RegistryFile file(registryPath());
        QCOMPARE(Reloaded(file)->GetString("LastSearch"), std::string("*.zip"));
        // Titles published after the exit began are not shown.
        publishTitle("late");
        QTest::qWait(50);
        QCOMPARE(window_->windowTitle(), QString("Exiting... - Qvex 3.5"));
    }

    void corruptRecordOpensWithTheDefaults() {
        window_.reset();
        platform::RegistryFile file(registryPath());
        QVERIFY(file.WriteString(kSettingsKey, "Options", "5176657801FFFF"));
        OpenWindow();
        QVERIFY(settings_->OptionsReplacedByDefaults());
        QVERIFY(Control<QCheckBox>("Passive")->isChecked());
        QCOMPARE(Control<QComboBox>("LogKeep")->currentIndex(), 1);
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::WindowTest)
#include "window_test.moc"
