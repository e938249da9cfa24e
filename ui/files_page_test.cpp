// The Files page put together, on the offscreen platform against pyftpdlib: remote entries
// dragged onto the local list are downloaded into its folder, local files dropped on a
// remote folder row or sent with "<" are uploaded, and "chmod" in the properties of
// entries with different modes sends one SITE chmod per resulting mode. Drags are fed to
// the lists as the events a real drag delivers, with the data the remote list makes.
#include "ui/files_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>

#include "engine/session_worker.h"
#include "state/hosts/host_connect.h"
#include "state/settings.h"
#include "state/startup/host_stores.h"
#include "state/startup/program.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"
#include "ui/files_transfers.h"
#include "ui/local_pane.h"
#include "ui/properties_dialog.h"
#include "ui/remote_folder_model.h"
#include "ui/remote_pane.h"
#include "ui/site_search_dialog.h"
#include "ui/transfer_actions.h"
#include "ui/transfer_drag_data.h"

namespace qvex {
namespace {

constexpr int kWaitMs = 20000;

unsigned ModeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777u) : 0u;
}

// A drag entering `list`, moving to `at` and dropped there, as a real drag delivers it:
// whether the list took the drag, and whether it took the drop.
std::pair<bool, bool> DragOnto(QWidget* list, const QPoint& at, const QMimeData& data) {
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &move);
    if (!enter.isAccepted() || !move.isAccepted()) {
        return {false, false};
    }
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &drop);
    return {true, drop.isAccepted()};
}

}  // namespace

class FilesPageTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TempEnv> env_;
    std::unique_ptr<ProgramState> state_;
    std::unique_ptr<test::LogCapture> log_;
    std::unique_ptr<test::FtpServer> server_;
    std::unique_ptr<HostStores> stores_;
    std::unique_ptr<HostConnector> connector_;
    std::unique_ptr<FilesPage> page_;
    std::unique_ptr<test::TempFolder> local_;

    RemotePane& remote() { return *page_->remotePane(); }

    // The row of `name` in the remote list.
    QModelIndex RemoteRow(const std::string& name) {
        const int32_t id = remote().model()->directory();
        const int row = remote().model()->RowOf(stores_->cache().FindEntry(id, name));
        return row >= 0 ? remote().model()->index(row, 0) : QModelIndex();
    }

    void SelectRemote(std::initializer_list<const char*> names) {
        QItemSelectionModel* selection = remote().view()->selectionModel();
        selection->clear();
        for (const char* name : names) {
            selection->select(RemoteRow(name),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

  private slots:
    void init() {
        env_ = std::make_unique<test::TempEnv>();
        state_ = std::make_unique<ProgramState>(CommandLineRequest{});
        QVERIFY(state_->ready());
        log_ = std::make_unique<test::LogCapture>();
        server_ = test::StartFtpServer(test::FtpServerKind::PyFtpd);
        QVERIFY2(server_->started(), server_->problem().c_str());
        QVERIFY(server_->PutFile("readme.txt", "read me\r\n"));
        QVERIFY(server_->PutFile("docs/guide.txt", "the guide\n"));
        QVERIFY(server_->PutFile("docs/deep/notes.bin", std::string("\0\1\2\3\377", 5)));
        QVERIFY(server_->PutFile("open.txt", "open"));
        QVERIFY(server_->PutFile("private.txt", "private"));
        QVERIFY(server_->PutFolder("incoming"));
        QVERIFY(::chmod(server_->path("open.txt").c_str(), 0644) == 0);
        QVERIFY(::chmod(server_->path("private.txt").c_str(), 0600) == 0);
        local_ = std::make_unique<test::TempFolder>();

        stores_ = std::make_unique<HostStores>(*state_);
        connector_ = std::make_unique<HostConnector>(state_->settings, stores_->hosts(),
                                                     stores_->statistics(), stores_->restart());
        connector_->SetCommandHandlers(stores_->handlers());
        page_ = std::make_unique<FilesPage>(state_->settings, state_->heap, 16);
        page_->SetCache(stores_->cache(), stores_->searchReceivers());
        page_->SetLocalPane(new LocalPane(state_->settings));
        QVERIFY(page_->localPane()->SetCurrentFolder(QString::fromStdString(local_->root())));
        page_->resize(1100, 600);
        page_->show();
        QVERIFY(QTest::qWaitForWindowExposed(page_.get()));

        const std::string url = std::string("ftp://") + test::FtpServer::kUser + ":" +
                                test::FtpServer::kPassword +
                                "@127.0.0.1:" + std::to_string(server_->port()) + "/";
        QCOMPARE(connector_->ConnectToUrl(url, HostFields{}, {}).outcome,
                 ConnectOutcome::Started);
        std::shared_ptr<SessionWorker> session;
        QVERIFY(QTest::qWaitFor(
            [&] {
                session = connector_->session();
                return session && session->loggedIn;
            },
            kWaitMs));
        page_->SetSession(session);
        QTRY_VERIFY_WITH_TIMEOUT(
            remote().model()->directory() == 0 && RemoteRow("incoming").isValid(), kWaitMs);
    }

    void cleanup() {
        page_.reset();
        connector_.reset();
        stores_.reset();
        server_.reset();
        local_.reset();
        log_.reset();
        state_.reset();
        env_.reset();
    }

    // A file and a folder tree dragged from the remote list onto the local list land in the
    // local folder with their bytes (the toolbar's Image mode) and show in the list; files
    // from the desktop dropped on the local list, and remote entries dropped back on the
    // remote list, are not taken.
    void remoteEntriesDraggedOntoLocalListDownload() {
        page_->transfers()->actions().forceImage()->trigger();
        SelectRemote({"readme.txt", "docs"});
        std::unique_ptr<QMimeData> drag(remote().model()->mimeData(
            remote().view()->selectionModel()->selectedIndexes()));
        QVERIFY(drag->hasFormat(kRemoteEntriesMimeType));
        const auto dragged = DecodeRemoteEntries(*drag);
        QVERIFY(dragged.has_value());
        QCOMPARE(dragged->names.size(), size_t{2});

        QTreeView* localList = page_->localPane()->view();
        const QPoint empty(localList->viewport()->width() / 2,
                           localList->viewport()->height() - 5);
        QCOMPARE(DragOnto(remote().view()->viewport(), QPoint(10, 10), *drag),
                 (std::pair{false, false}));
        QCOMPARE(DragOnto(localList->viewport(), empty, *drag), (std::pair{true, true}));

        const std::map<std::string, std::string> expected{
            {"readme.txt", "read me\r\n"},
            {"docs", "<dir>"},
            {"docs/guide.txt", "the guide\n"},
            {"docs/deep", "<dir>"},
            {"docs/deep/notes.bin", std::string("\0\1\2\3\377", 5)}};
        QTRY_COMPARE_WITH_TIMEOUT(test::TreeOf(local_->root()), expected, kWaitMs);
        auto* files = qobject_cast<QFileSystemModel*>(localList->model());
        QTRY_COMPARE(files->rowCount(localList->rootIndex()), 2);
        // In the list's order: folders first, then by name.
        QCOMPARE(files->index(0, 0, localList->rootIndex()).data().toString(), QString("docs"));

        QMimeData desktop;
        desktop.setUrls({QUrl::fromLocalFile(QString::fromStdString(server_->path("open.txt")))});
        QCOMPARE(DragOnto(localList->viewport(), empty, desktop), (std::pair{false, false}));
    }

    // Local files dropped on the remote row of a folder go into that folder; "<" is enabled
    // by a local selection and sends it into the folder shown.
    void localFilesDroppedOrSentLeftUpload() {
        test::WriteFileBytes(local_->path("dropped.bin"), std::string(70000, '\x5a'));
        test::WriteFileBytes(local_->path("sent.txt"), "sent with <\n");
        QMimeData drop;
        drop.setUrls({QUrl::fromLocalFile(QString::fromStdString(local_->path("dropped.bin")))});
        const QPoint onIncoming = remote().view()->visualRect(RemoteRow("incoming")).center();
        QCOMPARE(DragOnto(remote().view()->viewport(), onIncoming, drop), (std::pair{true, true}));
        QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(server_->path("incoming/dropped.bin")),
                                  std::string(70000, '\x5a'), kWaitMs);

        QToolButton* left = page_->copyLeftButton();
        QVERIFY(!left->isEnabled());
        QTreeView* localList = page_->localPane()->view();
        auto* files = qobject_cast<QFileSystemModel*>(localList->model());
        const QModelIndex sent = files->index(QString::fromStdString(local_->path("sent.txt")));
        QVERIFY(sent.isValid());
        localList->selectionModel()->select(
            sent, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(left->isEnabled());
        left->click();
        QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(server_->path("sent.txt")),
                                  std::string("sent with <\n"), kWaitMs);
        page_->SetSession(nullptr);
        QVERIFY(!left->isEnabled());
    }

    // Two files of modes 0644 and 0600 with owner-execute ticked: each keeps its own
    // undecided bits, so the server sees 0744 and 0700.
    void chmodKeepsEachEntrysUndecidedBits() {
        SelectRemote({"open.txt", "private.txt"});
        QTRY_VERIFY(remote().model()->EntryAt(RemoteRow("open.txt").row()).has_value());
        const QList<QAction*> actions = remote().actions();
        QAction* properties = nullptr;
        for (QAction* action : actions) {
            if (action->text() == "P&roperties") {
                properties = action;
            }
        }
        QVERIFY(properties != nullptr && properties->isEnabled());
        properties->trigger();
        auto* dialog = page_->findChild<PropertiesDialog*>();
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->decidedBits() & 0044u, 0u);
        dialog->findChild<QCheckBox*>("mode0100")->setChecked(true);
        dialog->findChild<QPushButton*>("propertiesChmod")->click();
        QTRY_COMPARE_WITH_TIMEOUT(ModeOf(server_->path("open.txt")), 0744u, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ModeOf(server_->path("private.txt")), 0700u, kWaitMs);
    }

    // "Search current REMOTE directory" opens the search of the folder shown (modeless with
    // "ModelessSearch"), hits deleted from it leave the remote list too, and the end of the
    // session closes it.
    void siteSearchClosesWithTheSession() {
        state_->settings.SetInt("ModelessSearch", 1);
        QAction* search = page_->searchAction();
        QCOMPARE(search->toolTip(), QString("Search current REMOTE directory"));
        QVERIFY(search->isEnabled());
        search->trigger();
        auto* dialog = page_->window()->findChild<SiteSearchDialog*>();
        QVERIFY(dialog != nullptr);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QString("Qvex Site Search of /"));

        // Hits deleted from the results leave the server, the results and, for the folder
        // shown, the remote list.
        dialog->findChild<QLineEdit*>("searchPattern")->setText("*.txt");
        dialog->findChild<QCheckBox*>("searchSubfolders")->setChecked(true);
        dialog->findChild<QCheckBox*>("searchPcre")->setChecked(false);
        dialog->Search();
        QTRY_VERIFY_WITH_TIMEOUT(dialog->results().phase() == SearchPhase::Done, kWaitMs);
        QAbstractItemModel* hits = dialog->table()->model();
        QCOMPARE(hits->rowCount(), 4);
        for (int row = 0; row < hits->rowCount(); ++row) {
            const QString name = hits->index(row, 0).data().toString();
            if (name == "readme.txt" || name == "guide.txt") {
                dialog->table()->selectionModel()->select(
                    hits->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
            }
        }
        dialog->DeleteSelected();
        QTRY_COMPARE_WITH_TIMEOUT(hits->rowCount(), 2, kWaitMs);
        QVERIFY(!test::FileExists(server_->path("readme.txt")));
        QVERIFY(!test::FileExists(server_->path("docs/guide.txt")));
        // The view's own rows, not the cache: the removal reached the model.
        const auto shown = [this] {
            QStringList names;
            const RemoteFolderModel* model = remote().model();
            for (int row = 0; row < model->rowCount({}); ++row) {
                names << model->index(row, 0).data().toString();
            }
            names.sort();
            return names;
        };
        QTRY_COMPARE(shown(), QStringList({"docs", "incoming", "open.txt", "private.txt"}));

        page_->SetSession(nullptr);
        QVERIFY(!dialog->isVisible());
        QVERIFY(!search->isEnabled());
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::FilesPageTest)
#include "files_page_test.moc"
