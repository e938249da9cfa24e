// The site search dialog on the offscreen platform, with a real session against a real
// pyftpdlib serving a tree three levels deep with symbolic-link loops: the patterns and what
// they find, the summary lines, sorting, results that arrive in batches, downloads of hits
// from several folders, deletes on the server, the settings and the dialog's two modes, and
// closing the dialog while a slow walk runs.
#include "ui/site_search_dialog.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/session.h"
#include "state/settings.h"
#include "state/startup/host_stores.h"
#include "state/startup/program.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"
#include "transfer/transfer_queue.h"

namespace qvex {
namespace {

using Lines = std::vector<std::string>;
constexpr int kWaitMs = 20000;

// Three levels of folders below "/", file names that the patterns tell apart, and two
// links that lead back up the tree: "back" to "/" and "self" to its own folder.
const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"top.gif", "top gif bytes"},
    {"main1.html", "<html>1</html>"},
    {"notes.txt", "notes"},
    {"alpha/a1.gif", "GIF89a alpha"},
    {"alpha/main2.htm", "<html>two</html>"},
    {"alpha/src/deep.gif", "GIF89a deep in src"},
    {"alpha/src/main12.html", "<html>twelve</html>"},
    {"alpha/src/inner/x.gif", "x"},
    {"alpha/src/inner/Y.GIF", "upper case Y"},
    {"beta/b.gif", "GIF89a b from beta"},
    {"beta/old/z.txt", "zzz"},
};
// "/", alpha, alpha/src, alpha/src/inner, beta, beta/old; every entry that is not a folder
// counts as a file, the links too.
constexpr int kFolders = 6;
constexpr int kFileCount = 13;

bool BuildTree(const test::FtpServer& server) {
    for (const auto& [path, bytes] : kFiles) {
        if (!server.PutFile(path, bytes)) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::create_directory_symlink("../..", server.path("alpha/src/back"), error);
    std::filesystem::create_directory_symlink(".", server.path("beta/self"), error);
    return !error;
}

std::string Status(const std::string& matches) {
    return matches + " matches in " + std::to_string(kFolders) + " folders and " +
           std::to_string(kFileCount) + " files";
}

// A session with the handlers, cache and search receivers of the stores a run opens.
struct RunningSession {
    std::shared_ptr<SessionWorker> session;
    std::thread thread;

    [[nodiscard]] bool Start(const HostStores& stores, uint16_t port) {
        SessionRequest request;
        request.user = test::FtpServer::kUser;
        request.password = test::FtpServer::kPassword;
        request.host = "127.0.0.1";
        request.port = std::to_string(port);
        SessionOptions options;
        options.restart = false;
        options.handlers = stores.handlers();
        session = CreateSession(request, std::move(options));
        if (!session) {
            return false;
        }
        std::shared_ptr<SessionWorker> running = session;
        thread = std::thread([running] { (void)SessionThread(running); });
        return true;
    }
    ~RunningSession() {
        if (thread.joinable()) {
            SetQuitWhenDone(*session, true);
            thread.join();
        }
    }
};

}  // namespace

class SiteSearchDialogTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TempEnv> env_;
    std::unique_ptr<ProgramState> state_;
    std::unique_ptr<test::LogCapture> log_;
    std::unique_ptr<HostStores> stores_;
    Settings* settings_ = nullptr;
    std::unique_ptr<test::FtpServer> server_;
    std::unique_ptr<RunningSession> running_;
    TransferModeModel toggles_;
    int32_t root_ = -1;

    // The folder browser answers folder_ (Cancel when empty) and notes where it started; a
    // question box is noted
    // (title, text) and answered with answer_.
    QString folder_;
    QString browserStart_;
    int answer_ = QMessageBox::Cancel;
    std::vector<std::pair<std::string, std::string>> asked_;

    void Answer(SiteSearchDialog& dialog) {
        dialog.SetModalRunner([this](QDialog& shown) -> int {
            if (auto* browser = qobject_cast<QFileDialog*>(&shown)) {
                browserStart_ = browser->directory().absolutePath();
                if (folder_.isEmpty()) {
                    return QDialog::Rejected;
                }
                browser->selectFile(folder_);
                return QDialog::Accepted;
            }
            auto* box = qobject_cast<QMessageBox*>(&shown);
            if (box == nullptr || box->icon() != QMessageBox::Warning ||
                box->standardButtons() !=
                    (QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)) {
                qFatal("not a Yes/No/Cancel warning");
            }
            asked_.emplace_back(box->windowTitle().toStdString(), box->text().toStdString());
            return answer_;
        });
    }

    // A question as its box shows it: lines end with LF.
    static std::string Shown(std::string text) {
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
            text.erase(at, 1);
        }
        return text;
    }

    SiteSearchContext Context() {
        return SiteSearchContext{*settings_, stores_->cache(), stores_->searchReceivers(),
                                 toggles_};
    }

    // A server with the tree and a logged-in session whose start folder "/" is listed.
    void Connect(uint64_t bytesPerSecond) {
        test::FtpServerOptions options;
        options.bytesPerSecond = bytesPerSecond;
        server_ = std::make_unique<test::PyFtpdServer>(options);
        if (!server_->started()) {
            QSKIP(server_->problem().c_str());
        }
        QVERIFY(BuildTree(*server_));
        running_ = std::make_unique<RunningSession>();
        QVERIFY(running_->Start(*stores_, server_->port()));
        const ListingCache& cache = stores_->cache();
        QTRY_VERIFY_WITH_TIMEOUT(cache.FindPath("/") >= 0 && cache.IsComplete(cache.FindPath("/")),
                                 kWaitMs);
        root_ = cache.FindPath("/");
    }

    std::unique_ptr<SiteSearchDialog> Dialog() {
        auto dialog = std::make_unique<SiteSearchDialog>(Context(), running_->session, root_, true);
        dialog->show();
        dialog->activateWindow();
        if (!QTest::qWaitForWindowActive(dialog.get())) {
            qWarning("the dialog did not become active");
        }
        return dialog;
    }

    template <typename T>
    static T* Control(QWidget* dialog, const char* name) {
        T* control = dialog->findChild<T*>(name);
        if (control == nullptr) {
            qFatal("no control named %s", name);
        }
        return control;
    }

    static void StartSearch(SiteSearchDialog& dialog, const std::string& pattern, bool subfolders,
                            bool pcre) {
        Control<QLineEdit>(&dialog, "searchPattern")->setText(QString::fromStdString(pattern));
        Control<QCheckBox>(&dialog, "searchSubfolders")->setChecked(subfolders);
        Control<QCheckBox>(&dialog, "searchPcre")->setChecked(pcre);
        QTest::mouseClick(Control<QPushButton>(&dialog, "search"), Qt::LeftButton);
    }

    static bool Done(SiteSearchDialog& dialog) {
        return dialog.results().phase() == SearchPhase::Done &&
               Control<QPushButton>(&dialog, "search")->isEnabled();
    }

    static std::string StatusText(SiteSearchDialog& dialog) {
        return Control<QLabel>(&dialog, "searchStatus")->text().toStdString();
    }

    // A column of the list as shown, top to bottom.
    static Lines Column(SiteSearchDialog& dialog, int column) {
        const QAbstractItemModel* model = dialog.table()->model();
        Lines texts;
        for (int row = 0; row < model->rowCount(); ++row) {
            texts.push_back(model->index(row, column).data().toString().toStdString());
        }
        return texts;
    }

    // The hits as remote paths, in the order shown.
    static Lines Paths(SiteSearchDialog& dialog) {
        const Lines names = Column(dialog, 0);
        const Lines folders = Column(dialog, 4);
        Lines paths;
        for (size_t i = 0; i < names.size(); ++i) {
            paths.push_back((folders[i] == "/" ? "" : folders[i]) + "/" + names[i]);
        }
        return paths;
    }

    static Lines Sorted(Lines lines) {
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    static void Select(SiteSearchDialog& dialog, const Lines& paths) {
        const Lines shown = Paths(dialog);
        QItemSelectionModel* selection = dialog.table()->selectionModel();
        selection->clearSelection();
        for (const std::string& path : paths) {
            auto found = std::find(shown.begin(), shown.end(), path);
            QVERIFY2(found != shown.end(), path.c_str());
            selection->select(dialog.table()->model()->index(int(found - shown.begin()), 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    static void ClickHeader(SiteSearchDialog& dialog, int section) {
        QHeaderView* header = dialog.table()->horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(section) + 4, 4));
    }

  private slots:
    void init() {
        env_ = std::make_unique<test::TempEnv>();
        state_ = std::make_unique<ProgramState>(CommandLineRequest{});
        QVERIFY(state_->ready());
        settings_ = &state_->settings;
        log_ = std::make_unique<test::LogCapture>();
        stores_ = std::make_unique<HostStores>(*state_);
        toggles_ = TransferModeModel();
        asked_.clear();
        toggles_.SetForceImage(true);
    }
    void cleanup() {
        running_.reset();
        server_.reset();
        stores_.reset();
        log_.reset();
        settings_ = nullptr;
        state_.reset();
        env_.reset();
    }

    void patternsFindTheirNamesAndTheSummaryCountsTheWalk() {
        Connect(0);
        auto dialog = Dialog();
        QCOMPARE(dialog->windowTitle(), QString("Qvex Site Search of /"));
        struct Row {
            std::string pattern;
            bool subfolders;
            bool pcre;
            Lines found;
            std::string status;
        };
        const std::vector<Row> rows = {
            // Case counts: Y.GIF is not a ".gif".
            {"*.gif",
             true,
             false,
             {"/alpha/a1.gif", "/alpha/src/deep.gif", "/alpha/src/inner/x.gif", "/beta/b.gif",
              "/top.gif"},
             Status("5")},
            // "main", one character, ".htm" and at least one more.
            {"main?.htm*", true, false, {"/main1.html"}, Status("1")},
            // Names and folders beginning with "b" and longer; the links are found, not
            // followed, so the walk ends.
            {"b*", true, false, {"/alpha/src/back", "/beta", "/beta/b.gif"}, Status("3")},
            {"^main[0-9]+\\.html?$",
             true,
             true,
             {"/alpha/main2.htm", "/alpha/src/main12.html", "/main1.html"},
             Status("3")},
            // A folder matches too.
            {"\\.GIF|^o", true, true, {"/alpha/src/inner/Y.GIF", "/beta/old"}, Status("2")},
            {"*.gif", false, false, {"/top.gif"}, "1 matches in 1 folders and 3 files"},
            {"?",
             false,
             false,
             {"/alpha", "/beta", "/main1.html", "/notes.txt", "/top.gif"},
             "5 matches in 1 folders and 3 files"},
            {"([a-z", true, true, {}, "*** Bad search pattern ***"},
        };
        for (const Row& row : rows) {
            StartSearch(*dialog, row.pattern, row.subfolders, row.pcre);
            QVERIFY2(!Control<QPushButton>(dialog.get(), "search")->isEnabled(),
                     row.pattern.c_str());
            QTRY_VERIFY_WITH_TIMEOUT(Done(*dialog), kWaitMs);
            QCOMPARE(Sorted(Paths(*dialog)), row.found);
            QCOMPARE(StatusText(*dialog), row.status);
        }

        // Served from the cache while the window thread is busy: every match and the end
        // arrive as one batch, not one event per row.
        QSignalSpy inserted(dialog->table()->model(), &QAbstractItemModel::rowsInserted);
        StartSearch(*dialog, "*", true, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        QTRY_VERIFY_WITH_TIMEOUT(Done(*dialog), kWaitMs);
        QCOMPARE(dialog->table()->model()->rowCount(), 18);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(StatusText(*dialog), Status("18"));
    }

    void headerClicksSortByTheColumnAndReverse() {
        Connect(0);
        auto dialog = Dialog();
        StartSearch(*dialog, "*", true, false);
        QTRY_VERIFY_WITH_TIMEOUT(Done(*dialog), kWaitMs);
        const auto lower = [](std::string text) {
            std::transform(text.begin(), text.end(), text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            return text;
        };

        // Every hit has its icon, as a file pane shows it.
        const QAbstractItemModel* model = dialog->table()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            QVERIFY(!model->index(row, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        }

        ClickHeader(*dialog, 0);
        Lines names = Column(*dialog, 0);
        QVERIFY(std::is_sorted(
            names.begin(), names.end(),
            [&](const std::string& a, const std::string& b) { return lower(a) < lower(b); }));
        QCOMPARE(names.front(), std::string("a1.gif"));
        ClickHeader(*dialog, 0);
        QCOMPARE(Column(*dialog, 0).front(), std::string("z.txt"));
        QCOMPARE(dialog->table()->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);

        // Sizes as numbers: the largest file ("<html>twelve</html>", 19 bytes) ends the
        // list of files.
        ClickHeader(*dialog, 1);
        QCOMPARE(dialog->results().sortColumn(), kSearchColumnSize);
        const std::vector<SearchRow>& rows = dialog->results().rows();
        QVERIFY(std::is_sorted(
            rows.begin(), rows.end(),
            [](const SearchRow& a, const SearchRow& b) { return a.entry.size < b.entry.size; }));
        ClickHeader(*dialog, 4);
        const Lines folders = Column(*dialog, 4);
        QVERIFY(std::is_sorted(folders.begin(), folders.end()));
        QCOMPARE(folders.front(), std::string("/"));
        QCOMPARE(folders.back(), std::string("/beta/old"));
    }

    void hitsFromSeveralFoldersAreFetchedIntoTheChosenFolder() {
        Connect(0);
        auto dialog = Dialog();
        test::TempFolder local;
        test::WriteFileBytes(local.path("b.gif"), "the local b");
        Answer(*dialog);
        StartSearch(*dialog, "*.gif", true, false);
        QTRY_VERIFY_WITH_TIMEOUT(Done(*dialog), kWaitMs);

        // Cancel in the folder browser, and Cancel on the question about b.gif after top.gif
        // from another folder was taken, queue nothing: the hit fetched next arrives alone.
        // Sorted by folder, "/" is asked about first.
        ClickHeader(*dialog, 4);
        Select(*dialog, {"/top.gif", "/beta/b.gif"});
        folder_.clear();
        dialog->GetSelected();
        QVERIFY(asked_.empty());
        folder_ = QString::fromStdString(local.root());
        answer_ = QMessageBox::Cancel;
        dialog->GetSelected();
        QCOMPARE(asked_.size(), size_t{1});
        Select(*dialog, {"/alpha/src/inner/x.gif"});
        dialog->GetSelected();
        QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(local.path("x.gif")), std::string("x"),
                                  kWaitMs);
        QVERIFY(!test::FileExists(local.path("top.gif")));
        asked_.clear();
        answer_ = QMessageBox::No;

        // Four folders; b.gif exists here and is kept (No).
        Select(*dialog, {"/alpha/a1.gif", "/alpha/src/deep.gif", "/beta/b.gif", "/top.gif"});
        QTest::mouseClick(Control<QPushButton>(dialog.get(), "searchGetButton"), Qt::LeftButton);
        QCOMPARE(asked_,
                 (std::vector<std::pair<std::string, std::string>>{
                     {"Get file(s) as...", Shown(overwriteQuestion(local.path("b.gif"), false))}}));
        QCOMPARE(dialog->table()->selectionModel()->selectedRows().size(), 3);
        for (const char* name : {"alpha/a1.gif", "alpha/src/deep.gif", "top.gif"}) {
            const std::string bytes = test::ReadFileBytes(server_->path(name));
            const std::string target = local.path(std::filesystem::path(name).filename());
            QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(target), bytes, kWaitMs);
        }
        QCOMPARE(test::ReadFileBytes(local.path("b.gif")), std::string("the local b"));
        QCOMPARE(settings_->GetString("LastXDir"), local.root());

        // Yes replaces it.
        asked_.clear();
        answer_ = QMessageBox::Yes;
        Select(*dialog, {"/beta/b.gif"});
        dialog->GetSelected();
        QCOMPARE(browserStart_.toStdString(), local.root());
        QCOMPARE(asked_.size(), size_t{1});
        QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(local.path("b.gif")),
                                  std::string("GIF89a b from beta"), kWaitMs);
    }

    void deletedHitsLeaveTheServerAndTheList() {
        Connect(0);
        auto dialog = Dialog();
        answer_ = QMessageBox::Cancel;
        Answer(*dialog);
        StartSearch(*dialog, "*", true, false);
        QTRY_VERIFY_WITH_TIMEOUT(Done(*dialog), kWaitMs);

        // A folder is asked about; Cancel deletes nothing, the file included.
        Select(*dialog, {"/alpha/main2.htm", "/beta/old"});
        dialog->table()->setFocus();
        QTest::keyClick(dialog->table(), Qt::Key_Delete);
        const std::vector<std::pair<std::string, std::string>> question = {
            {"Delete", Shown(DeleteTreeQuestion("/beta/old"))}};
        QCOMPARE(asked_, question);
        QVERIFY(test::FileExists(server_->path("alpha/main2.htm")));
        QCOMPARE(dialog->table()->model()->rowCount(), 18);

        asked_.clear();
        answer_ = QMessageBox::Yes;
        QTest::mouseClick(Control<QPushButton>(dialog.get(), "searchDeleteButton"), Qt::LeftButton);
        QCOMPARE(asked_, question);
        // The rows go once the server has deleted: the file, the folder, and the hit that
        // was inside the folder.
        QTRY_COMPARE_WITH_TIMEOUT(dialog->table()->model()->rowCount(), 15, kWaitMs);
        const Lines left = Paths(*dialog);
        for (const char* gone : {"/alpha/main2.htm", "/beta/old", "/beta/old/z.txt"}) {
            QVERIFY2(std::find(left.begin(), left.end(), gone) == left.end(), gone);
        }
        QVERIFY(!test::FileExists(server_->path("alpha/main2.htm")));
        QVERIFY(!test::FileExists(server_->path("beta/old")));
        QVERIFY(test::FileExists(server_->path("alpha/a1.gif")));
    }

    void theDialogRunsModalOrModelessAndKeepsItsSettings() {
        Connect(0);
        settings_->SetInt("ModelessSearch", 1);
        QWidget window;
        QPointer<SiteSearchDialog> modeless =
            OpenSiteSearch(&window, Context(), running_->session, root_);
        QVERIFY(modeless);
        QCOMPARE(Control<QPushButton>(modeless, "searchClose")->text(), QString("Close"));
        QCOMPARE(OpenSiteSearch(&window, Context(), running_->session, root_), modeless.data());
        QCOMPARE(Control<QCheckBox>(modeless, "searchSubfolders")->isChecked(), true);
        QCOMPARE(Control<QCheckBox>(modeless, "searchPcre")->isChecked(), false);
        Control<QLineEdit>(modeless, "searchPattern")->setText("*.zip");
        Control<QCheckBox>(modeless, "searchSubfolders")->setChecked(false);
        Control<QCheckBox>(modeless, "searchPcre")->setChecked(true);
        QTest::mouseClick(Control<QPushButton>(modeless, "searchClose"), Qt::LeftButton);
        QTRY_VERIFY(modeless.isNull());
        QCOMPARE(settings_->GetString("LastSearch"), std::string("*.zip"));
        QCOMPARE(settings_->GetInt("SearchTree"), 0);
        QCOMPARE(settings_->GetInt("SearchPCRE"), 1);

        settings_->SetInt("ModelessSearch", 0);
        QString cancelText, pattern;
        bool pcre = false;
        QTimer::singleShot(0, [&] {
            SiteSearchDialog* modal = nullptr;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* found = qobject_cast<SiteSearchDialog*>(widget);
                    found && found->isVisible()) {
                    modal = found;
                }
            }
            if (modal == nullptr) {
                qFatal("no search dialog is open");
            }
            cancelText = Control<QPushButton>(modal, "searchClose")->text();
            pattern = Control<QLineEdit>(modal, "searchPattern")->text();
            pcre = Control<QCheckBox>(modal, "searchPcre")->isChecked();
            Control<QLineEdit>(modal, "searchPattern")->setText("^[a-z]+$");
            modal->reject();
        });
        QCOMPARE(OpenSiteSearch(&window, Context(), running_->session, root_), nullptr);
        QCOMPARE(cancelText, QString("Cancel"));
        QCOMPARE(pattern, QString("*.zip"));
        QVERIFY(pcre);
        QCOMPARE(settings_->GetString("LastSearch"), std::string("^[a-z]+$"));
    }

    // A slow server: one listing of the walk over the looping tree takes seconds. Rows show
    // while it runs, closing the dialog stops them, and the session goes on to the next
    // search.
    void closingDuringASlowWalkStopsTheResults() {
        Connect(100);
        constexpr int kPadding = 6;
        for (int i = 0; i < kPadding; ++i) {
            QVERIFY(server_->PutFile("alpha/src/pad" + std::to_string(i) + ".dat", "pad"));
        }
        QPointer<SiteSearchDialog> first =
            new SiteSearchDialog(Context(), running_->session, root_, true);
        first->setAttribute(Qt::WA_DeleteOnClose);
        first->show();
        StartSearch(*first, "*", true, false);
        QTRY_VERIFY_WITH_TIMEOUT(first->table()->model()->rowCount() > 0 &&
                                     first->results().phase() == SearchPhase::Searching,
                                 kWaitMs);
        QVERIFY(!Control<QPushButton>(first, "search")->isEnabled());
        QVERIFY(StatusText(*first).ends_with(" matches"));
        QTest::mouseClick(Control<QPushButton>(first, "searchClose"), Qt::LeftButton);
        QTRY_VERIFY(first.isNull());

        auto second = Dialog();
        StartSearch(*second, "*", true, false);
        QTRY_VERIFY_WITH_TIMEOUT(Done(*second), 60000);
        QCOMPARE(second->table()->model()->rowCount(), 18 + kPadding);
        QCOMPARE(StatusText(*second),
                 "24 matches in 6 folders and " + std::to_string(kFileCount + kPadding) + " files");
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::SiteSearchDialogTest)
#include "site_search_dialog_test.moc"
