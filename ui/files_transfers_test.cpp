// The Files page's transfer side on the offscreen platform: downloads and uploads composed
// from selections and drops against real servers, the overwrite question and the toolbar's
// toggles by what they queue, the drag data and bad drops, and STOP in the middle of a slow
// download.
#include "ui/files_transfers.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/session_worker.h"
#include "state/hosts/host_connect.h"
#include "state/settings.h"
#include "state/startup/host_stores.h"
#include "state/startup/program.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"
#include "ui/transfer_actions.h"
#include "ui/transfer_drag_data.h"

namespace qvex {
namespace {

constexpr int kWaitMs = 20000;

// What a modal dialog showed when the test answered it.
struct Shown {
    QString title;
    QString text;
    int icon = 0;
    int buttons = 0;
};

QMimeData* UriList(const std::vector<QUrl>& urls) {
    auto* data = new QMimeData;
    data->setUrls(QList<QUrl>(urls.begin(), urls.end()));
    return data;
}

QUrl Local(const std::string& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path));
}

RemoteEntry Entry(const std::string& name, bool folder) {
    RemoteEntry entry;
    entry.name = name;
    entry.flags = folder ? kEntryDirectory : 0;
    return entry;
}

const PositionList* QueuedPositions(const SessionCommand& command) {
    return dynamic_cast<const PositionList*>(command.object.get());
}

}  // namespace

class FilesTransfersTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TempEnv> env_;
    std::unique_ptr<ProgramState> state_;
    std::unique_ptr<test::LogCapture> log_;
    std::unique_ptr<HostStores> stores_;
    std::unique_ptr<HostConnector> connector_;
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<FilesTransfers> transfers_;
    // The answers the next dialogs get, in order, and what they showed.
    std::vector<int> answers_;
    QString folderAnswer_;
    std::vector<Shown> shown_;

    void Open() {
        stores_ = std::make_unique<HostStores>(*state_);
        connector_ = std::make_unique<HostConnector>(state_->settings, stores_->hosts(),
                                                     stores_->statistics(), stores_->restart());
        connector_->SetCommandHandlers(stores_->handlers());
        window_ = std::make_unique<QWidget>();
        transfers_ =
            std::make_unique<FilesTransfers>(state_->settings, stores_->cache(), window_.get());
        transfers_->SetModalRunner([this](QDialog& dialog) { return Answer(dialog); });
    }

    int Answer(QDialog& dialog) {
        Shown seen;
        seen.title = dialog.windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = box->standardButtons().toInt();
        } else if (auto* browser = qobject_cast<QFileDialog*>(&dialog)) {
            seen.text = browser->directory().absolutePath();
            shown_.push_back(seen);
            if (folderAnswer_.isEmpty()) {
                return QDialog::Rejected;
            }
            browser->selectFile(folderAnswer_);
            return QDialog::Accepted;
        }
        shown_.push_back(seen);
        if (answers_.empty()) {
            return QMessageBox::Ok;
        }
        const int answer = answers_.front();
        answers_.erase(answers_.begin());
        return answer;
    }

    // A logged-in session to `server` as its account, with the login folder listed (id 0).
    std::shared_ptr<SessionWorker> Connect(const test::FtpServer& server) {
        const std::string url = std::string("ftp://") + test::FtpServer::kUser + ":" +
                                test::FtpServer::kPassword +
                                "@127.0.0.1:" + std::to_string(server.port()) + "/";
        const ConnectResult result = connector_->ConnectToUrl(url, HostFields{}, {});
        if (result.outcome != ConnectOutcome::Started) {
            return nullptr;
        }
        std::shared_ptr<SessionWorker> session;
        const bool ready = QTest::qWaitFor(
            [&] {
                session = connector_->session();
                return session && session->loggedIn && stores_->cache().IsComplete(0);
            },
            kWaitMs);
        if (!ready) {
            return nullptr;
        }
        transfers_->SetSession(session);
        return session;
    }

    int32_t Position(int32_t dirId, const std::string& name) {
        return stores_->cache().FindEntry(dirId, name);
    }

    // Waits until the stopped command has ended: the worker clears the stop request then.
    static bool Stopped(SessionWorker& session) {
        return QTest::qWaitFor(
            [&] {
                std::lock_guard guard(session.queueLock);
                return session.queue.empty() && !session.transferActive && !session.abortRequested;
            },
            kWaitMs);
    }

  private slots:
    void init() {
        env_ = std::make_unique<test::TempEnv>();
        state_ = std::make_unique<ProgramState>(CommandLineRequest{});
        QVERIFY(state_->ready());
        log_ = std::make_unique<test::LogCapture>();
        answers_.clear();
        folderAnswer_.clear();
        shown_.clear();
    }

    void cleanup() {
        transfers_.reset();
        window_.reset();
        connector_.reset();
        stores_.reset();
        log_.reset();
        state_.reset();
        env_.reset();
    }

    // The toggles' start state from the settings, their tips and ids, and the mode and flags
    // of the command an upload queues, for every combination.
    void toolbarStatesAndQueuedFlags_data() {
        QTest::addColumn<bool>("text");
        QTest::addColumn<bool>("image");
        QTest::addColumn<bool>("updateOnly");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("flags");
        QTest::newRow("neither") << false << false << false << "Smart" << 2;
        QTest::newRow("ASCII") << true << false << false << "ASCII" << 0;
        QTest::newRow("Image") << false << true << false << "Image" << 1;
        QTest::newRow("both") << true << true << false << "Smart" << 2;
        QTest::newRow("ASCII, Update-ONLY") << true << false << true << "ASCII" << 0x100;
        QTest::newRow("Image, Update-ONLY") << false << true << true << "Image" << 0x101;
    }
    void toolbarStatesAndQueuedFlags() {
        QFETCH(bool, text);
        QFETCH(bool, image);
        QFETCH(bool, updateOnly);
        QFETCH(QString, state);
        QFETCH(int, flags);
        Open();
        TransferActions& actions = transfers_->actions();
        struct Command {
            QAction* action;
            int id;
            const char* name;
        };
        for (const Command& command : {Command{actions.forceText(), 32768, "forceText"},
                                       Command{actions.forceImage(), 32769, "forceImage"},
                                       Command{actions.updateOnly(), 32773, "updateOnly"},
                                       Command{actions.stop(), 32777, "stopTransfer"}}) {
            QCOMPARE(command.action->data().toInt(), command.id);
            QCOMPARE(command.action->objectName(), QString(command.name));
            QVERIFY(!command.action->icon().isNull());
        }
        QCOMPARE(actions.toolbarActions(),
                 (QList<QAction*>{actions.forceText(), actions.forceImage(), actions.updateOnly(),
                                  actions.stop()}));
        QCOMPARE(actions.updateOnly()->toolTip(), QString("Enable \"Update-ONLY\" transfers"));
        QCOMPARE(actions.stop()->toolTip(), QString("STOP current transfer!"));
        // Defaults: "KeepXMode" on and "LastXMode" Smart.
        QVERIFY(!actions.forceText()->isChecked() && !actions.forceImage()->isChecked());

        // Pressed by the user, one after the other: each toggle updates both tips.
        if (text) {
            actions.forceText()->trigger();
        }
        if (image) {
            actions.forceImage()->trigger();
        }
        if (updateOnly) {
            actions.updateOnly()->trigger();
        }
        const QString tail = " (currently \"" + state + "\")";
        QCOMPARE(actions.forceText()->toolTip(), "FORCE ASCII (text) transfer mode" + tail);
        QCOMPARE(actions.forceImage()->toolTip(), "FORCE Image (binary) transfer mode" + tail);
        QCOMPARE(actions.forceText()->isChecked(), text);
        QCOMPARE(actions.forceImage()->isChecked(), image);
        QCOMPARE(state_->settings.GetInt("UpdateONLY"), updateOnly ? 1 : 0);

        // STOP only with a session; an upload queues the toggles' mode and Update-ONLY.
        QVERIFY(!actions.stop()->isEnabled());
        auto session = std::make_shared<SessionWorker>();
        transfers_->SetSession(session);
        QVERIFY(actions.stop()->isEnabled());
        QVERIFY(transfers_->Upload({7, {"/tmp/a b.txt", "/tmp/dir"}, "incoming"}));
        QCOMPARE(session->queue.size(), size_t{1});
        const SessionCommand& queued = session->queue.front();
        QCOMPARE(queued.kind, int32_t{kCommandPut});
        QCOMPARE(queued.b, flags);
        QCOMPARE(queued.c, 7);
        QCOMPARE(queued.text, std::string("incoming"));
        auto* names = dynamic_cast<const NameList*>(queued.object.get());
        QVERIFY(names != nullptr);
        QCOMPARE(names->names, (std::vector<std::string>{"/tmp/a b.txt", "/tmp/dir"}));
        transfers_->SetSession(nullptr);
        QVERIFY(!actions.stop()->isEnabled());
    }

    void startStateFromSettings_data() {
        QTest::addColumn<int>("clxMode");
        QTest::addColumn<int>("keepXMode");
        QTest::addColumn<int>("lastXMode");
        QTest::addColumn<int>("updateOnly");
        QTest::addColumn<QString>("state");
        QTest::newRow("command line text") << 1 << 1 << 1 << 0 << "ASCII";
        QTest::newRow("command line image") << 2 << 0 << 0 << 0 << "Image";
        QTest::newRow("command line smart") << 3 << 1 << 0 << 0 << "Smart";
        QTest::newRow("remembered text") << 0 << 1 << 0 << 0 << "ASCII";
        QTest::newRow("remembered image, Update-ONLY") << 0 << 1 << 1 << 1 << "Image";
        QTest::newRow("not remembered") << 0 << 0 << 0 << 0 << "Smart";
    }
    void startStateFromSettings() {
        QFETCH(int, clxMode);
        QFETCH(int, keepXMode);
        QFETCH(int, lastXMode);
        QFETCH(int, updateOnly);
        QFETCH(QString, state);
        state_->settings.SetInt("CLXMode", clxMode);
        state_->settings.SetInt("KeepXMode", keepXMode);
        state_->settings.SetInt("LastXMode", lastXMode);
        state_->settings.SetInt("UpdateONLY", updateOnly);
        Open();
        TransferActions& actions = transfers_->actions();
        QCOMPARE(actions.forceText()->toolTip(),
                 "FORCE ASCII (text) transfer mode (currently \"" + state + "\")");
        QCOMPARE(actions.forceText()->isChecked(), state == "ASCII");
        QCOMPARE(actions.forceImage()->isChecked(), state == "Image");
        QCOMPARE(actions.updateOnly()->isChecked(), updateOnly != 0);
    }

    // The overwrite question for existing local entries, by the answers given: what the box
    // showed, what was queued, and what the view is to deselect.
    void overwriteQuestion_data() {
        QTest::addColumn<QList<int>>("answers");  // for a.txt, then docs
        QTest::addColumn<bool>("updateOnly");
        QTest::addColumn<int>("asked");
        QTest::addColumn<QList<int>>("queued");  // entries: 0 a.txt, 1 b.txt, 2 docs
        QTest::addColumn<QList<int>>("deselected");
        const int yes = QMessageBox::Yes;
        const int no = QMessageBox::No;
        const int cancel = QMessageBox::Cancel;
        QTest::newRow("Yes, Yes") << QList<int>{yes, yes} << false << 2 << QList<int>{0, 1, 2}
                                  << QList<int>{};
        QTest::newRow("No, Yes") << QList<int>{no, yes} << false << 2 << QList<int>{1, 2}
                                 << QList<int>{0};
        QTest::newRow("No, No") << QList<int>{no, no} << false << 2 << QList<int>{1}
                                << QList<int>{0, 2};
        QTest::newRow("Yes, Cancel")
            << QList<int>{yes, cancel} << false << 2 << QList<int>{} << QList<int>{};
        QTest::newRow("Cancel") << QList<int>{cancel} << false << 1 << QList<int>{} << QList<int>{};
        QTest::newRow("Update-ONLY asks nothing")
            << QList<int>{} << true << 0 << QList<int>{0, 1, 2} << QList<int>{};
    }
    void overwriteQuestion() {
        QFETCH(QList<int>, answers);
        QFETCH(bool, updateOnly);
        QFETCH(int, asked);
        QFETCH(QList<int>, queued);
        QFETCH(QList<int>, deselected);
        Open();
        ListingCache& cache = stores_->cache();
        const int32_t dirId = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
        for (const RemoteEntry& entry :
             {Entry("a.txt", false), Entry("b.txt", false), Entry("docs", true)}) {
            QVERIFY(cache.AppendEntry(dirId, RemoteEntry(entry)) >= 0);
        }
        test::TempFolder local;
        test::WriteFileBytes(local.path("a.txt"), "old");
        QVERIFY(QDir().mkdir(QString::fromStdString(local.path("docs"))));
        if (updateOnly) {
            transfers_->actions().updateOnly()->trigger();
        }
        transfers_->actions().forceImage()->trigger();
        auto session = std::make_shared<SessionWorker>();
        transfers_->SetSession(session);
        answers_.assign(answers.begin(), answers.end());

        const DownloadComposition result =
            transfers_->Download({dirId, {0, 1, 2}, local.root(), std::nullopt});

        QCOMPARE(static_cast<int>(shown_.size()), asked);
        const QString file = QString::fromStdString(local.path("a.txt")) +
                             "\nThis file already exists.\n\nReplace existing file?";
        const QString folder = QString::fromStdString(local.path("docs")) +
                               "\nThis directory already exists.\n\nReplace contained existing "
                               "files?";
        for (size_t i = 0; i < shown_.size(); ++i) {
            QCOMPARE(shown_[i].title, QString("Get file(s) as..."));
            QCOMPARE(shown_[i].text, i == 0 ? file : folder);
            QCOMPARE(shown_[i].icon, int{QMessageBox::Warning});
            QCOMPARE(shown_[i].buttons,
                     int{QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel});
        }
        QCOMPARE(QList<int>(result.deselected.begin(), result.deselected.end()), deselected);
        QCOMPARE(result.queued, !queued.isEmpty());
        QCOMPARE(session->queue.size(), queued.isEmpty() ? size_t{0} : size_t{1});
        if (!queued.isEmpty()) {
            const SessionCommand& command = session->queue.front();
            QCOMPARE(command.kind, int32_t{kCommandGet});
            QCOMPARE(command.text, local.root());
            QCOMPARE(command.c, dirId);
            QCOMPARE(command.b, updateOnly ? 0x101 : 0x1);
            const PositionList* list = QueuedPositions(command);
            QVERIFY(list != nullptr);
            QCOMPARE(QList<int>(list->positions.begin(), list->positions.end()), queued);
        }
        // The local entries are as they were: nothing ran.
        QCOMPARE(test::ReadFileBytes(local.path("a.txt")), std::string("old"));
    }

    // A file and a folder tree from vsftpd through the folder browser, as a "Get file(s) as
    // Image" entry asks: the bytes on disk are the server's.
    void downloadsAFileAndAFolderTree() {
        test::FtpServerOptions options;
        auto server = test::StartFtpServer(test::FtpServerKind::Vsftpd, options);
        QVERIFY2(server->started(), server->problem().c_str());
        QVERIFY(server->PutFile("one.bin", test::RandomBytes(300000, 1)));
        QVERIFY(server->PutFile("tree/a.txt", "line one\nline two\n"));
        QVERIFY(server->PutFile("tree/sub/b.bin", test::RandomBytes(70000, 2)));
        QVERIFY(server->PutFile("tree/sub/deeper/c.txt", "dos\r\ntext\r\n"));
        QVERIFY(server->PutFolder("tree/empty"));
        Open();
        test::TempFolder start;
        test::TempFolder target;
        state_->settings.SetString("LastXDir", start.root());
        std::shared_ptr<SessionWorker> session = Connect(*server);
        QVERIFY(session != nullptr);
        QSignalSpy getAs(&transfers_->actions(), &TransferActions::getFilesAs);
        transfers_->actions().getAsActions().at(1)->trigger();
        QCOMPARE(getAs.count(), 1);
        const auto mode = getAs.at(0).at(0).value<TransferType>();
        QCOMPARE(mode, TransferType::Image);
        folderAnswer_ = QString::fromStdString(target.root());

        const DownloadComposition result = transfers_->Download(
            {0, {Position(0, "one.bin"), Position(0, "tree")}, std::string(), mode});

        QVERIFY(result.queued);
        QCOMPARE(shown_.size(), size_t{1});
        QCOMPARE(shown_[0].title, QString("Select folder for downloaded files"));
        QCOMPARE(shown_[0].text, QString::fromStdString(start.root()));
        QTRY_COMPARE_WITH_TIMEOUT(test::TreeOf(target.root()), test::TreeOf(server->root()),
                                  kWaitMs);
        QCOMPARE(state_->settings.GetString("LastXDir"), target.root());
        QCOMPARE(state_->settings.GetInt("LastXMode"), 1);
        const std::vector<std::string> lines = log_->TakeTexts();
        QVERIFY(std::find(lines.begin(), lines.end(), "<TYPE I") != lines.end());
    }

    // Two files and a folder dropped from a file manager, onto the view and onto a folder
    // entry: the server's files are the local ones, and the listing shows them at once.
    void uploadsDroppedFilesAndAFolder_data() {
        QTest::addColumn<QString>("folderEntry");
        QTest::newRow("onto the view") << QString();
        QTest::newRow("onto a folder entry") << QString("incoming");
    }
    void uploadsDroppedFilesAndAFolder() {
        QFETCH(QString, folderEntry);
        auto server = test::StartFtpServer(test::FtpServerKind::Vsftpd);
        QVERIFY2(server->started(), server->problem().c_str());
        QVERIFY(server->PutFolder("incoming"));
        QVERIFY(server->PutFile("readme.txt", "kept\n"));
        test::TempFolder local;
        test::WriteFileBytes(local.path("first.txt"), "one\ntwo\n");
        test::WriteFileBytes(local.path("second.bin"), test::RandomBytes(200000, 3));
        test::WriteFileBytes(local.path("folder/inner.txt"), "inner\r\n");
        test::WriteFileBytes(local.path("folder/deep/last.bin"), test::RandomBytes(5000, 4));
        Open();
        std::shared_ptr<SessionWorker> session = Connect(*server);
        QVERIFY(session != nullptr);
        transfers_->actions().forceImage()->trigger();
        const int32_t position =
            folderEntry.isEmpty() ? kNoPosition : Position(0, folderEntry.toStdString());
        std::unique_ptr<QMimeData> drop(
            UriList({Local(local.path("first.txt")), Local(local.path("second.bin")),
                     Local(local.path("folder"))}));

        const DropResult result = transfers_->DropOnRemotePane(*drop, 0, position);

        QCOMPARE(result.outcome, DropOutcome::Queued);
        QVERIFY(shown_.empty());
        const std::string into =
            folderEntry.isEmpty() ? server->root() : server->path(folderEntry.toStdString());
        const auto uploaded = [&] {
            std::map<std::string, std::string> tree = test::TreeOf(into);
            tree.erase("incoming");
            tree.erase("readme.txt");
            return tree;
        };
        QTRY_COMPARE_WITH_TIMEOUT(uploaded(), test::TreeOf(local.root()), kWaitMs);
        // The cached listing has the new entries: the remote view shows them without a relist.
        const int32_t dirId = folderEntry.isEmpty() ? 0 : stores_->cache().FindChild(0, position);
        QVERIFY(dirId >= 0);
        for (const char* name : {"first.txt", "second.bin", "folder"}) {
            QTRY_VERIFY_WITH_TIMEOUT(Position(dirId, name) >= 0, kWaitMs);
        }
    }

    // Remote entries as drag data: the round trip, and data that must not decode.
    void dragDataRoundTrip() {
        Open();
        ListingCache& cache = stores_->cache();
        const int32_t dirId = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
        for (const RemoteEntry& entry :
             {Entry("a.txt", false), Entry("docs", true), Entry("ünï côdé", false)}) {
            QVERIFY(cache.AppendEntry(dirId, RemoteEntry(entry)) >= 0);
        }
        QVERIFY(cache.RemoveEntry(dirId, 0));
        std::unique_ptr<QMimeData> data(RemoteEntriesMimeData(cache, dirId, {2, 0, 1}));
        QVERIFY(data->hasFormat("application/x-qvex-remote-entries"));
        std::optional<RemoteEntriesDrag> drag = DecodeRemoteEntries(*data);
        QVERIFY(drag.has_value());
        QCOMPARE(drag->directoryId, dirId);
        QCOMPARE(drag->positions, (std::vector<int32_t>{2, 1}));  // the deleted one left out
        QCOMPARE(drag->names, (std::vector<std::string>{"ünï côdé", "docs"}));

        const QByteArray bytes = data->data(kRemoteEntriesMimeType);
        struct Bad {
            const char* why;
            QByteArray bytes;
        };
        QByteArray foreign = bytes;
        foreign[11] = static_cast<char>(foreign[11] ^ 0x01);  // the process id's low byte
        QByteArray trailing = bytes;
        trailing.append('x');
        for (const Bad& bad : {Bad{"another program's", foreign}, Bad{"cut short", bytes.left(20)},
                               Bad{"trailing bytes", trailing}, Bad{"empty", QByteArray()}}) {
            QMimeData other;
            other.setData(kRemoteEntriesMimeType, bad.bytes);
            QVERIFY2(!DecodeRemoteEntries(other).has_value(), bad.why);
        }
    }

    // Drops that transfer nothing: their outcome, what the user was shown, the log, and an
    // empty queue. One good drop shows that the setting works.
    void badDrops_data() {
        QTest::addColumn<QString>("pane");  // "local" or "remote"
        QTest::addColumn<QString>("what");  // what is dropped
        // The local folder; the remote entry dropped on; or "dir:" and the remote view's path.
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("problem");  // the start of the box's text
        QTest::addColumn<QString>("logged");
        const int refused = static_cast<int>(DropOutcome::Refused);
        const int ignored = static_cast<int>(DropOutcome::Ignored);
        const int queued = static_cast<int>(DropOutcome::Queued);
        QTest::newRow("web address onto remote")
            << "remote"
            << "http://example.org/a.zip"
            << "" << refused
            << "Only local files and folders can be transferred:\nhttp://example.org/a.zip"
            << "";
        QTest::newRow("plain text onto remote")
            << "remote"
            << "text:hello"
            << "" << refused << "Only files and folders can be dropped here."
            << "";
        QTest::newRow("missing local file onto remote")
            << "remote"
            << "file:gone.txt"
            << "" << refused << "$/gone.txt\nThis file or folder"
            << "";
        QTest::newRow("remote folder onto itself")
            << "remote"
            << "remote:docs"
            << "docs" << refused
            << "A folder cannot be dropped onto itself or into its own subtree:\ndocs"
            << "";
        QTest::newRow("remote folder into its subtree")
            << "remote"
            << "remote:docs"
            << "dir:/pub/docs/inner" << refused
            << "A folder cannot be dropped onto itself or into its own subtree:\ndocs"
            << "";
        QTest::newRow("remote file within its view") << "remote"
                                                     << "remote:a.txt"
                                                     << "" << ignored << ""
                                                     << "";
        QTest::newRow("plain text onto local")
            << "local"
            << "text:/etc"
            << "$" << refused << "Only files and folders can be dropped here."
            << "";
        QTest::newRow("local folder onto itself")
            << "local"
            << "file:tree"
            << "$/tree" << refused
            << "A folder cannot be dropped onto itself or into its own subtree:\n$/tree"
            << "";
        QTest::newRow("local folder into its subtree")
            << "local"
            << "file:tree"
            << "$/tree/sub" << refused
            << "A folder cannot be dropped onto itself or into its own subtree:\n$/tree"
            << "";
        QTest::newRow("local file onto local") << "local"
                                               << "file:tree/sub/f.txt"
                                               << "$" << ignored << ""
                                               << "";
        QTest::newRow("remote entries onto read-only folder")
            << "local"
            << "remote:a.txt"
            << "/proc" << refused << "Files cannot be stored in this folder:\n/proc"
            << "@@@ Invalid drop folder";
        QTest::newRow("remote entries onto missing folder")
            << "local"
            << "remote:a.txt"
            << "$/none" << refused << "This is not a local folder:\n$/none"
            << "@@@ Invalid drop folder";
        QTest::newRow("remote entries onto a file")
            << "local"
            << "remote:a.txt"
            << "$/tree/sub/f.txt" << refused << "This is not a local folder:\n$/tree/sub/f.txt"
            << "@@@ Invalid drop folder";
        QTest::newRow("remote entries onto local folder") << "local"
                                                          << "remote:a.txt"
                                                          << "$" << queued << ""
                                                          << "";
    }
    void badDrops() {
        QFETCH(QString, pane);
        QFETCH(QString, what);
        QFETCH(QString, where);
        QFETCH(int, outcome);
        QFETCH(QString, problem);
        QFETCH(QString, logged);
        Open();
        test::TempFolder local;
        const QString root = QString::fromStdString(local.root());
        test::WriteFileBytes(local.path("tree/sub/f.txt"), "f");
        ListingCache& cache = stores_->cache();
        const int32_t dirId = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
        for (const RemoteEntry& entry : {Entry("a.txt", false), Entry("docs", true)}) {
            QVERIFY(cache.AppendEntry(dirId, RemoteEntry(entry)) >= 0);
        }
        auto session = std::make_shared<SessionWorker>();
        transfers_->SetSession(session);
        (void)log_->Take();

        QMimeData data;
        const QString item = what.section(':', 1);
        if (what.startsWith("text:")) {
            data.setText(item);
        } else if (what.startsWith("file:")) {
            data.setUrls({QUrl::fromLocalFile(root + "/" + item)});
        } else if (what.startsWith("remote:")) {
            std::unique_ptr<QMimeData> drag(
                RemoteEntriesMimeData(cache, dirId, {cache.FindEntry(dirId, item.toStdString())}));
            data.setData(kRemoteEntriesMimeType, drag->data(kRemoteEntriesMimeType));
        } else {
            data.setUrls({QUrl(what)});
        }
        QVERIFY(FilesTransfers::CarriesDrop(data));
        const QString target = QString(where).replace("$", root);
        DropResult result;
        if (pane == "local") {
            result = transfers_->DropOnLocalPane(data, target.toStdString());
        } else if (target.startsWith("dir:")) {
            // Onto the view of another directory.
            const int32_t viewed =
                cache.FindOrCreate(target.mid(4).toStdString(), kNoDirectory, kNoPosition, true);
            result = transfers_->DropOnRemotePane(data, viewed, kNoPosition);
        } else {
            const int32_t position =
                target.isEmpty() ? kNoPosition : cache.FindEntry(dirId, target.toStdString());
            result = transfers_->DropOnRemotePane(data, dirId, position);
        }

        QCOMPARE(static_cast<int>(result.outcome), outcome);
        const QString expected = QString(problem).replace("$", root);
        QVERIFY2(
            expected.isEmpty() ? result.problem.isEmpty() : result.problem.startsWith(expected),
            qPrintable(result.problem));
        if (outcome == static_cast<int>(DropOutcome::Refused)) {
            QCOMPARE(shown_.size(), size_t{1});
            QCOMPARE(shown_[0].text, result.problem);
            QCOMPARE(shown_[0].icon, int{QMessageBox::Warning});
            QCOMPARE(shown_[0].title, QString(logged.isEmpty() ? "Drop" : "Get file(s) as..."));
        } else {
            QVERIFY(shown_.empty());
        }
        std::vector<test::LogCapture::Line> lines = log_->Take();
        if (logged.isEmpty()) {
            QVERIFY(lines.empty());
        } else {
            QCOMPARE(lines,
                     (std::vector<test::LogCapture::Line>{{"LogRaw", logged.toStdString()}}));
        }
        QCOMPARE(session->queue.size(),
                 size_t{outcome == static_cast<int>(DropOutcome::Queued) ? 1u : 0u});
        // Nothing the drop named was touched.
        QCOMPARE(test::ReadFileBytes(local.path("tree/sub/f.txt")), std::string("f"));
    }

    // STOP in the middle of a slow download: ABOR goes at once, the log says so, the part
    // received stays, and the window thread never stalls while it stops.
    void stopDuringASlowDownload() {
        test::FtpServerOptions options;
        options.bytesPerSecond = 256 * 1024;
        auto server = test::StartFtpServer(test::FtpServerKind::Vsftpd, options);
        QVERIFY2(server->started(), server->problem().c_str());
        const std::string bytes = test::RandomBytes(8 * 1024 * 1024, 5);
        QVERIFY(server->PutFile("large.bin", bytes));
        QVERIFY(server->PutFile("next.bin", "not fetched"));
        Open();
        std::shared_ptr<SessionWorker> session = Connect(*server);
        QVERIFY(session != nullptr);
        test::TempFolder target;
        transfers_->actions().forceImage()->trigger();
        QVERIFY(transfers_->Download({0, {Position(0, "large.bin")}, target.root(), {}}).queued);
        QVERIFY(transfers_->Download({0, {Position(0, "next.bin")}, target.root(), {}}).queued);
        const std::string partial = target.path("large.bin");
        QVERIFY(QTest::qWaitFor(
            [&] { return session->transferActive && test::ReadFileBytes(partial).size() > 100000; },
            kWaitMs));
        (void)log_->Take();

        // The window thread's longest gap between timer ticks while it stops the transfer.
        QElapsedTimer clock;
        qint64 last = 0;
        qint64 longest = 0;
        QTimer ticker;
        ticker.setInterval(2);
        connect(&ticker, &QTimer::timeout, this, [&] {
            const qint64 now = clock.elapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
        clock.start();
        ticker.start();
        QTest::qWait(100);
        QVERIFY(transfers_->actions().stop()->isEnabled());
        transfers_->actions().stop()->trigger();
        QVERIFY(Stopped(*session));
        QTest::qWait(200);
        ticker.stop();
        qInfo("longest stall while stopping: %lld ms", static_cast<long long>(longest));
        QVERIFY2(longest < 250, qPrintable(QString::number(longest)));

        const std::vector<std::string> lines = log_->TakeTexts();
        QVERIFY(std::find(lines.begin(), lines.end(), "Transfer terminated, queue flushed") !=
                lines.end());
        QVERIFY(std::find(lines.begin(), lines.end(), "<ABOR") != lines.end());
        const std::string kept = test::ReadFileBytes(partial);
        QVERIFY(kept.size() > 100000);
        QVERIFY(kept.size() < bytes.size());
        QVERIFY(kept == bytes.substr(0, kept.size()));
        QVERIFY(!test::FileExists(target.path("next.bin")));
        QVERIFY(session->loggedIn);
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::FilesTransfersTest)
#include "files_transfers_test.moc"
