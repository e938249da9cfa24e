// The certificate question against a real pyftpdlib speaking explicit TLS with a self-signed
// certificate: what the dialog shows, what each answer does to the login and to the stored
// fingerprints, the padlock of a secured session, and a program exit while the question is
// open.
#include "ui/certificate_dialog.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/session_worker.h"
#include "platform/registry_file.h"
#include "state/hosts/host_connect.h"
#include "state/startup/host_stores.h"
#include "state/startup/program.h"
#include "state/trusted_certificates.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "tests/support/test_certificates.h"
#include "ui/host_page.h"
#include "ui/main_window.h"

namespace qvex {
namespace {

constexpr int kWaitMs = 15000;

bool Logged(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

class CertificateDialogTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TestCertificates> certificates_;
    std::unique_ptr<test::FtpServer> server_;
    std::unique_ptr<test::TempEnv> env_;
    std::unique_ptr<ProgramState> state_;
    std::unique_ptr<test::LogCapture> log_;
    std::unique_ptr<HostStores> stores_;
    std::unique_ptr<HostConnector> connector_;
    std::unique_ptr<MainWindow> window_;
    HostPage* page_ = nullptr;  // the window owns it

    std::string Server() const { return "127.0.0.1:" + std::to_string(server_->port()); }

    // Connects the page to the server over explicit TLS and waits for the question.
    CertificateDialog* ConnectAndWaitForQuestion() {
        const QString url = QString("ftpes://%1:%2@%3/")
                                .arg(test::FtpServer::kUser, test::FtpServer::kPassword,
                                     QString::fromStdString(Server()));
        if (!page_->ConnectToUrl(url)) {
            return nullptr;
        }
        for (int waited = 0; waited < kWaitMs; waited += 20) {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<CertificateDialog*>(widget);
                if (dialog != nullptr && dialog->isVisible()) {
                    return dialog;
                }
            }
            QTest::qWait(20);
        }
        return nullptr;
    }

    // The fingerprint trusted for the server, as the next start reads it from the file.
    std::string StoredFingerprint() {
        platform::RegistryFile registry(env_->path("config/VbKs/Qvex/registry.reg"));
        return TrustedFingerprint(registry, Server());
    }

  private slots:
    void initTestCase() {
        certificates_ = std::make_unique<test::TestCertificates>();
        QVERIFY2(certificates_->made(), certificates_->problem().c_str());
        test::FtpServerOptions options;
        options.tlsCertificate = certificates_->selfSigned();
        server_ = test::StartFtpServer(test::FtpServerKind::PyFtpd, options);
        QVERIFY2(server_->started(), server_->problem().c_str());
    }

    void cleanupTestCase() { server_.reset(); }

    void init() {
        env_ = std::make_unique<test::TempEnv>();
        state_ = std::make_unique<ProgramState>(CommandLineRequest{});
        QVERIFY(state_->ready());
        log_ = std::make_unique<test::LogCapture>();
        stores_ = std::make_unique<HostStores>(*state_);
        connector_ = std::make_unique<HostConnector>(state_->settings, stores_->hosts(),
                                                     stores_->statistics(), stores_->restart());
        connector_->SetCommandHandlers(stores_->handlers());
        window_ = std::make_unique<MainWindow>(state_->settings, state_->heap);
        page_ = new HostPage(state_->settings, stores_->hosts(), *connector_, stores_->restart());
        window_->SetHostPage(page_);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    void cleanup() {
        window_.reset();
        connector_.reset();
        stores_.reset();
        log_.reset();
        state_.reset();
        env_.reset();
    }

    void answers_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<bool>("stored");
        // Enter with the focus on a trust button still cancels.
        QTest::newRow("Enter") << "Enter" << false << false;
        QTest::newRow("Cancel") << "cancel" << false << false;
        QTest::newRow("Trust once") << "trustOnce" << true << false;
        QTest::newRow("Always trust") << "alwaysTrust" << true << true;
    }

    void answers() {
        QFETCH(QString, answer);
        QFETCH(bool, loggedIn);
        QFETCH(bool, stored);
        QSignalSpy started(page_, &HostPage::sessionStarted);
        QSignalSpy ended(page_, &HostPage::sessionEnded);
        CertificateDialog* dialog = ConnectAndWaitForQuestion();
        QVERIFY(dialog != nullptr);

        QCOMPARE(dialog->windowTitle(), QString("Untrusted Server Certificate"));
        auto shown = [dialog](const char* name) {
            auto* label = dialog->findChild<QLabel*>(name);
            return label != nullptr ? label->text() : QString("(none)");
        };
        QCOMPARE(
            shown("certificateHeading"),
            QString("The certificate of %1 is not trusted").arg(QString::fromStdString(Server())));
        QCOMPARE(shown("certificateReason"), QString("Reason: self-signed certificate"));
        QVERIFY(shown("certificateSubject").contains("127.0.0.1"));
        QVERIFY(shown("certificateValidity").contains(" \u2013 "));
        QCOMPARE(shown("certificateFingerprint").replace('\n', ':').toStdString(),
                 certificates_->selfSignedFingerprint());
        // A screen reader reads the fingerprint itself, labelled by its row.
        QAccessibleInterface* read = QAccessible::queryAccessibleInterface(
            dialog->findChild<QLabel*>("certificateFingerprint"));
        QCOMPARE(read->text(QAccessible::Name), shown("certificateFingerprint"));
        QCOMPARE(read->relations(QAccessible::Label).value(0).first->text(QAccessible::Name),
                 QString("SHA-256:"));
        auto* cancel = dialog->findChild<QPushButton*>("cancel");
        auto* always = dialog->findChild<QPushButton*>("alwaysTrust");
        QVERIFY(cancel->isDefault());
        QCOMPARE(always->text(), QString("Always trust"));
        // No login goes ahead while the question waits.
        QTest::qWait(300);
        QCOMPARE(started.count() + ended.count(), 0);
        if (answer == "Enter") {
            QVERIFY(dialog->grab().save("certificate_dialog.png"));
            always->setFocus();
            QTest::keyClick(always, Qt::Key_Return);
        } else {
            QTest::mouseClick(dialog->findChild<QPushButton*>(answer.toLatin1().constData()),
                              Qt::LeftButton);
        }

        if (!loggedIn) {
            QVERIFY(ended.wait(kWaitMs));
            QCOMPARE(started.count(), 0);
            const std::vector<std::string> lines = log_->TakeTexts();
            QVERIFY(Logged(lines, "*** certificate not trusted (self-signed certificate)"));
            QVERIFY(!Logged(lines, "<USER"));
            QVERIFY(!window_->padlock()->isVisible());
            QCOMPARE(StoredFingerprint(), std::string());
            return;
        }
        QVERIFY(started.wait(kWaitMs));
        QCOMPARE(StoredFingerprint(), stored ? certificates_->selfSignedFingerprint() : "");
        // The padlock names what the log says was negotiated.
        std::string negotiated;
        for (const std::string& line : log_->TakeTexts()) {
            if (const size_t at = line.find(" negotiated ("); at != std::string::npos) {
                negotiated = line.substr(4, at - 4) + " " + line.substr(at + 12);
            }
        }
        QVERIFY(negotiated.starts_with("TLS 1."));
        QLabel* padlock = window_->padlock();
        QVERIFY(padlock->isVisible());
        QCOMPARE(padlock->toolTip().toStdString(), "Secured with " + negotiated);
        QCOMPARE(padlock->accessibleName(), QString("Secure connection"));
        QTest::mouseClick(page_->findChild<QPushButton*>("logoff"), Qt::LeftButton);
        QVERIFY(ended.wait(kWaitMs));
        QVERIFY(!padlock->isVisible());
    }

    // The program exits while the question is open: the session's thread stops waiting for an
    // answer and refuses the certificate.
    void exitWhileAskingRefuses() {
        QVERIFY(ConnectAndWaitForQuestion() != nullptr);
        const auto before = std::chrono::steady_clock::now();
        window_.reset();
        QVERIFY(std::chrono::steady_clock::now() - before < std::chrono::seconds(5));
        QVERIFY(!connector_->sessionRunning());
        const std::vector<std::string> lines = log_->TakeTexts();
        QVERIFY(Logged(lines, "*** certificate not trusted (self-signed certificate)"));
        QVERIFY(!Logged(lines, "<USER"));
        QCOMPARE(StoredFingerprint(), std::string());
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::CertificateDialogTest)
#include "certificate_dialog_test.moc"
