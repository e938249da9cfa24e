// The remote pane's model over a real listing cache filled by the real parser from a real
// listing: row texts and icons, sorting by each column, entries that go, renames the server
// refuses, and many additions shown as one insertion. The pane's status line for lines on
// the bus, and the pane over a hostile server's listing.
#include <QComboBox>
#include <QIcon>
#include <QMimeDatabase>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "state/shared_heap.h"
#include "state/settings.h"
#include "platform/registry_file.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "transfer/entry_types.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_parser.h"
#include "transfer/transfer_handlers.h"
#include "ui/remote_folder_model.h"
#include "ui/remote_pane.h"
#include "ui/remote_type_source.h"

namespace qvex {
namespace {

// A listing as a Unix server sends it: folders, links, files of several kinds, one line the
// parser skips ("total"), and 300 numbered files.
std::string ListingText() {
    std::string text = "total 4242\n";
    text += "drwxr-xr-x    2 ftp      ftp          4096 Mar  3  2004 pub\n";
    text += "drwxr-sr-x    5 ftp      ftp          4096 Jun 11  2019 Releases\n";
    text += "lrwxrwxrwx    1 ftp      ftp            11 Jan  1  2020 latest -> Releases/1.2\n";
    text += "-rw-r--r--    1 ftp      ftp          1234 Feb 15  2011 notes.txt\n";
    text += "-rw-r--r--    1 ftp      ftp    9876543210 Jul  4  2015 big.iso\n";
    text += "-rw-r--r--    1 ftp      ftp             0 Dec 24  1999 empty.dat\n";
    text += "-rw-r--r--    1 ftp      ftp         52000 Oct  9  2022 Zeta.png\n";
    text += "-rw-r--r--    1 ftp      ftp        700000 Aug 30  2001 alpha.tar.gz\n";
    for (int i = 0; i < 300; ++i) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "-rw-r--r--    1 ftp      ftp     %9d May %2d  2010 file%03d.%s\n",
                      1000 + i * 37, 1 + i % 28, i, i % 3 == 0 ? "html" : (i % 3 == 1 ? "c" : "pdf"));
        text += line;
    }
    return text;
}

// Fills directory `path` of the cache line by line, as a listing does.
int32_t FillFromListing(ListingCache& cache, const std::string& path, const std::string& text) {
    const int32_t id = cache.FindOrCreate(path, kNoDirectory, kNoPosition, false);
    std::string pending;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        RemoteEntry entry;
        if (parseCachedListingLine(line, pending, entry, 1'700'000'000)) {
            (void)cache.AppendEntry(id, std::move(entry));
        }
    }
    cache.MarkComplete(id, 0, false);
    return id;
}

}  // namespace

class RemoteFolderModelTest : public QObject {
    Q_OBJECT

  private:
    RemoteTypeSource types_;
    std::unique_ptr<ListingCache> cache_;
    std::unique_ptr<RemoteFolderModel> model_;
    int32_t id_ = -1;

    QString Cell(int row, int column) const {
        return model_->data(model_->index(row, column), Qt::DisplayRole).toString();
    }
    QStringList Names() const {
        QStringList names;
        for (int row = 0; row < model_->rowCount(); ++row) {
            names << Cell(row, RemoteFolderModel::kName);
        }
        return names;
    }
    int Row(const QString& name) const { return static_cast<int>(Names().indexOf(name)); }

  private slots:
    void initTestCase() {
        QIcon::setFallbackThemeName("Adwaita");
        setEntryTypeSource(&types_);
        setExtensionLookup(true);
    }
    void cleanupTestCase() {
        setExtensionLookup(false);
        setEntryTypeSource(nullptr);
    }
    void init() {
        cache_ = std::make_unique<ListingCache>();
        model_ = std::make_unique<RemoteFolderModel>(*cache_, types_);
        cache_->SetObserver(model_.get());
        id_ = FillFromListing(*cache_, "/srv", ListingText());
        model_->SetDirectory(id_);
    }
    void cleanup() {
        cache_->SetObserver(nullptr);
        QCoreApplication::processEvents();
        model_.reset();
        cache_.reset();
    }

    // Every parsed line is a row in listing order, with the cache's texts and a type the
    // desktop knows for its extension.
    void rowsShowTheListing() {
        QCOMPARE(model_->rowCount(), 308);
        QCOMPARE(model_->columnCount(), 4);
        QCOMPARE(model_->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QString("Date Modified"));
        const QMimeDatabase mime;
        struct Row {
            int row;
            const char* name;
            const char* size;
            QString type;
            const char* date;
        } rows[] = {
            {0, "pub", "4.00 KB", "Folder", "Mar 3 2004"},
            {2, "latest", "11", "Symbolic Link", "Jan 1 2020"},
            {3, "notes.txt", "1.21 KB", mime.mimeTypeForName("text/plain").comment(),
             "Feb 15 2011"},
            {4, "big.iso", "9.20 GB", mime.mimeTypeForName("application/x-cd-image").comment(),
             "Jul 4 2015"},
            {5, "empty.dat", "0", "File", "Dec 24 1999"},
        };
        for (const Row& row : rows) {
            QCOMPARE(Cell(row.row, 0), QString(row.name));
            QCOMPARE(Cell(row.row, 1), QString(row.size));
            QCOMPARE(Cell(row.row, 2), row.type);
            QCOMPARE(Cell(row.row, 3), QString(row.date));
        }
        QCOMPARE(model_->data(model_->index(2, 0), Qt::ToolTipRole).toString(),
                 QString("latest -> Releases/1.2"));
        // Icons: folders, links and typed files each their own, none missing.
        auto icon = [this](int row) {
            return model_->data(model_->index(row, 0), Qt::DecorationRole).value<QIcon>();
        };
        for (int row : {0, 2, 3, 5, 7}) {
            QVERIFY2(!icon(row).isNull(), qPrintable(Cell(row, 0)));
        }
        QCOMPARE(icon(0).cacheKey(), icon(1).cacheKey());
        QVERIFY(icon(2).cacheKey() != icon(0).cacheKey());
        QVERIFY(icon(3).cacheKey() != icon(5).cacheKey());
        QVERIFY(icon(0).cacheKey() != icon(5).cacheKey());
        // "." and ".." aside, names are edited in place; other columns are not.
        QVERIFY(model_->flags(model_->index(3, 0)).testFlag(Qt::ItemIsEditable));
        QVERIFY(!model_->flags(model_->index(3, 1)).testFlag(Qt::ItemIsEditable));
    }

    // Each column, both ways: folders first, then the first files as the column orders them.
    void sortsByEachColumn_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("order");
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QString>("last");
        const int up = Qt::AscendingOrder;
        const int down = Qt::DescendingOrder;
        QTest::newRow("name up") << 0 << up << QStringList{"pub", "Releases", "alpha.tar.gz", "big.iso"} << "Zeta.png";
        QTest::newRow("name down") << 0 << down << QStringList{"Releases", "pub", "Zeta.png", "notes.txt"} << "alpha.tar.gz";
        QTest::newRow("size up") << 1 << up << QStringList{"pub", "Releases", "empty.dat", "latest"} << "big.iso";
        QTest::newRow("size down") << 1 << down << QStringList{"pub", "Releases", "big.iso", "alpha.tar.gz"} << "empty.dat";
        QTest::newRow("date up") << 3 << up << QStringList{"pub", "Releases", "empty.dat", "alpha.tar.gz"} << "Zeta.png";
        QTest::newRow("date down") << 3 << down << QStringList{"Releases", "pub", "Zeta.png", "latest"} << "empty.dat";
    }
    void sortsByEachColumn() {
        QFETCH(int, column);
        QFETCH(int, order);
        QFETCH(QStringList, first);
        QFETCH(QString, last);
        model_->sort(column, static_cast<Qt::SortOrder>(order));
        const QStringList names = Names();
        QCOMPARE(names.size(), 308);
        QCOMPARE(names.mid(0, first.size()), first);
        QCOMPARE(names.last(), last);
    }

    // By type: the type texts in order, folders first, names within one type.
    void sortsByType() {
        model_->sort(RemoteFolderModel::kType, Qt::AscendingOrder);
        QString previous;
        for (int row = 2; row < model_->rowCount(); ++row) {
            const QString type = Cell(row, RemoteFolderModel::kType);
            QVERIFY2(QString::compare(previous, type, Qt::CaseInsensitive) <= 0,
                     qPrintable(previous + " before " + type));
            previous = type;
        }
        QCOMPARE(Cell(0, 2), QString("Folder"));
        QCOMPARE(Cell(1, 2), QString("Folder"));
        const int html = Row("file000.html");
        QCOMPARE(Cell(html + 1, 0), QString("file003.html"));
    }

    // An entry the server deleted goes; the others keep their order, in the listing's order
    // and in a sort.
    void removedEntryIsHidden() {
        model_->sort(RemoteFolderModel::kSize, Qt::DescendingOrder);
        QStringList before = Names();
        const int32_t position = cache_->FindEntry(id_, "notes.txt");
        std::thread worker([&] { QVERIFY(cache_->RemoveEntry(id_, position)); });
        worker.join();
        QCOMPARE(model_->rowCount(), 308);  // not before the queued call has run
        QCoreApplication::processEvents();
        before.removeAll("notes.txt");
        QCOMPARE(Names(), before);
        QCOMPARE(model_->rowCount(), 307);
    }

    // A rename shows the new name at once; a refusal puts the old one back, an acceptance
    // keeps the new one, which the cache then holds.
    void renameRefusedAndAccepted() {
        const int row = Row("notes.txt");
        const int32_t position = model_->PositionAt(row);
        QSignalSpy asked(model_.get(), &RemoteFolderModel::renameAsked);
        QVERIFY(model_->setData(model_->index(row, 0), "minutes.txt", Qt::EditRole));
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0][0].value<int32_t>(), position);
        QCOMPARE(asked[0][1].toString(), QString("minutes.txt"));
        QCOMPARE(Cell(row, 0), QString("minutes.txt"));
        std::thread refusal([&] { cache_->observer()->OnRenameFailed(id_, position); });
        refusal.join();
        QCoreApplication::processEvents();
        QCOMPARE(Cell(row, 0), QString("notes.txt"));

        QVERIFY(model_->setData(model_->index(row, 0), "minutes.txt", Qt::EditRole));
        std::thread accepted([&] { QVERIFY(cache_->SetEntryName(id_, position, "minutes.txt")); });
        accepted.join();
        QCoreApplication::processEvents();
        QCOMPARE(Cell(row, 0), QString("minutes.txt"));
        QCOMPARE(cache_->Entry(id_, position)->name, std::string("minutes.txt"));
        // An unchanged name asks nothing.
        QVERIFY(!model_->setData(model_->index(row, 0), "minutes.txt", Qt::EditRole));
        QCOMPARE(asked.size(), 2);
    }

    // A new folder is a row named in place; its name is asked for once, and the row goes.
    void newFolderNamedInPlace() {
        QSignalSpy named(model_.get(), &RemoteFolderModel::folderNamed);
        const QModelIndex row = model_->BeginNewFolder();
        QCOMPARE(model_->rowCount(), 309);
        QCOMPARE(Cell(row.row(), 0), QString("NewFolder"));
        QCOMPARE(Cell(row.row(), 2), QString("Folder"));
        QVERIFY(model_->setData(row, "Incoming", Qt::EditRole));
        QCOMPARE(named.size(), 1);
        QCOMPARE(named[0][0].toString(), QString("Incoming"));
        QCoreApplication::processEvents();
        QCOMPARE(model_->rowCount(), 308);
    }

    // A listing read on another thread: 50,000 additions while the window thread is busy
    // become one queued call, whose rows go into the view in a few large slices.
    void additionsAreCoalesced() {
        const int32_t id = cache_->FindOrCreate("/big", kNoDirectory, kNoPosition, false);
        model_->SetDirectory(id);
        QSignalSpy inserted(model_.get(), &QAbstractItemModel::rowsInserted);
        std::thread worker([&] {
            for (int i = 0; i < 50000; ++i) {
                RemoteEntry entry;
                entry.name = "f" + std::to_string(i);
                (void)cache_->AppendEntry(id, std::move(entry));
            }
        });
        worker.join();
        QCOMPARE(model_->rowCount(), 0);
        QCoreApplication::processEvents();
        QVERIFY(model_->rowCount() > 0);
        QTRY_COMPARE(model_->rowCount(), 50000);
        QVERIFY2(inserted.size() < 30, qPrintable(QString::number(inserted.size())));
        QCOMPARE(Cell(49999, 0), QString("f49999"));
        // Sorted by name, a complete listing's rows are sorted once the last ones are in.
        model_->sort(RemoteFolderModel::kName, Qt::DescendingOrder);
        const int32_t more = cache_->FindOrCreate("/more", kNoDirectory, kNoPosition, false);
        model_->SetDirectory(more);
        std::thread filler([&] {
            for (int i = 0; i < 30000; ++i) {
                RemoteEntry entry;
                entry.name = "g" + std::to_string(100000 + i);
                (void)cache_->AppendEntry(more, std::move(entry));
            }
            cache_->MarkComplete(more, 0, false);
        });
        filler.join();
        QTRY_COMPARE(model_->rowCount(), 30000);
        QTRY_COMPARE(Cell(0, 0), QString("g129999"));
        QCOMPARE(Cell(29999, 0), QString("g100000"));
    }
};

// The status line under the pane: command and raw lines from the bus, with an icon for
// local failures and notes only; extended lines are not its business. The pane's listing
// lasts as long as its session.
class RemotePaneStatusTest : public QObject {
    Q_OBJECT

  private slots:
    void statusLineFollowsTheBus() {
        test::TempFolder folder;
        platform::RegistryFile registry(folder.path("registry.reg"));
        Settings settings(registry);
        SharedHeap heap;
        QVERIFY(heap.CreateHeap(SharedHeap::kDefaultPageCount));
        // The cache outlives the pane, as the program's stores outlive its window.
        RemoteTypeSource types;
        ListingCache cache;
        RemotePane pane(settings, heap);
        struct Line {
            const char* topic;
            const char* text;
            bool icon;
        } lines[] = {
            {"LogCmd", "<CWD /pub", false},
            {"LogRaw", "@@@ Unable to open local file", true},
            {"LogCmd", ">250 Okay", false},
            {"LogRaw", "!!! Folder failed to update - use Refresh.", true},
            {"LogRaw", "@@@", false},
        };
        for (const Line& line : lines) {
            QVERIFY(heap.PublishString(line.topic, line.text) == 1);
            QTRY_COMPARE(pane.statusText(), QString(line.text));
            QCOMPARE(pane.statusIconShown(), line.icon);
        }
        QVERIFY(heap.PublishString("LogExt", "... extended") == 1);
        QVERIFY(heap.PublishString("LogCmd", "<PWD") == 1);
        QTRY_COMPARE(pane.statusText(), QString("<PWD"));

        // A listing shown at the session's request; the end of the session empties the
        // view and makes every cached folder one to list again.
        pane.SetCache(cache, types);
        const int32_t id = FillFromListing(cache, "/", ListingText());
        cache.AnnounceListing(id, 4);
        QTRY_COMPARE(pane.model()->rowCount(), 308);
        QCOMPARE(pane.pathBox()->currentText(), QString("/"));
        pane.SetSession(nullptr);
        QCOMPARE(pane.model()->rowCount(), 0);
        QVERIFY(!cache.IsComplete(id));
        QCOMPARE(cache.EntryCount(id), 0);
        pane.Stop();
    }

    // A server's login folder of 200,000 entries with hostile lines among them: names that
    // are paths, control characters and direction overrides, bytes that are no UTF-8, a line
    // of 1 MB. Paths and the long line are left out with a note in the log; the rest is shown
    // with its controls visible. The rows go in in slices, the window's own events running
    // between them, never all at once.
    void hostileListingFromAServer() {
        test::LogCapture log;
        test::TempFolder folder;
        const std::string prefix = "-rw-r--r--    1 u  g     5 Jan  1  2020 ";
        std::string listing = "total 200000\r\n";
        auto files = [&](int first, int count) {
            for (int i = first; i < first + count; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "f%06d", i);
                listing += prefix + name + "\r\n";
            }
        };
        files(0, 100000);
        const std::vector<std::string> hostile = {
            "drwxr-xr-x    2 u  g  4096 Jan  1  2020 ..",
            prefix + "../../home/u/.profile",
            prefix + "a/b",
            prefix + "bell\x07\x1b[2Jclear\x7f",
            prefix + "tab\tname",
            prefix + "gpj\xe2\x80\xae.exe\xc2\x9b",
            prefix + "latin\xe9",
            prefix + std::string(1 << 20, 'x'),
            prefix + "after",
        };
        for (const std::string& line : hostile) {
            listing += line + "\r\n";
        }
        files(100000, 100000);
        test::WriteFileBytes(folder.path("listing.txt"), listing);
        QProcess peer;
        peer.start("/usr/bin/python3", {QVEX_SOURCE_DIR "/bench/listing_peer.py", "0",
                                        QString::fromStdString(folder.path("listing.txt"))});
        QVERIFY(peer.waitForReadyRead(30000));
        const QStringList words = QString::fromUtf8(peer.readLine()).split(' ');
        QVERIFY(words.size() > 1);

        platform::RegistryFile registry(folder.path("registry.reg"));
        Settings settings(registry);
        RemoteTypeSource types;
        ListingCache cache;
        RemotePane pane(settings, log.heap());
        pane.SetCache(cache, types);
        pane.resize(700, 500);
        pane.show();
        const RemoteFolderModel& model = *pane.model();
        // The window's own events: a timer that turns whenever the thread is free.
        int turns = 0;
        QTimer turn;
        turn.setInterval(0);
        QObject::connect(&turn, &QTimer::timeout, [&turns] { ++turns; });
        turn.start();
        std::vector<int> turnsAtInsertion;
        QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                         [&] { turnsAtInsertion.push_back(turns); });
        int resetsWithRows = 0;
        QObject::connect(&model, &QAbstractItemModel::modelReset,
                         [&] { resetsWithRows += model.rowCount() > 0 ? 1 : 0; });

        SessionRequest request;
        request.host = "127.0.0.1";
        request.port = words[1].toStdString();
        request.user = "u";
        request.password = "p";
        SessionOptions options;
        InstallTransferHandlers(options.handlers, cache);
        std::shared_ptr<SessionWorker> session = CreateSession(request, std::move(options));
        pane.SetSession(session);
        std::thread worker([session] { (void)SessionThread(session); });
        const int shown = 200000 + 6;
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), shown, 90000);
        QVERIFY(cache.IsComplete(model.directory()));
        PostCommand(*session, kCommandEndSession, {}, 0, kExitSessionOnly, -1);
        worker.join();

        auto name = [&model](int row) {
            return model.data(model.index(row, RemoteFolderModel::kName), Qt::DisplayRole)
                .toString();
        };
        QCOMPARE(name(99999), QString("f099999"));
        const QStringList expected = {
            "..",
            "bell\\x07\\x1B[2Jclear\\x7F",
            "tab\\tname",
            QString("gpj\\u202E.exe\\x9B"),
            QString("latin") + QChar(0xFFFD),
            "after",
        };
        for (int at = 0; at < expected.size(); ++at) {
            QCOMPARE(name(100000 + at), expected[at]);
        }
        QCOMPARE(name(shown - 1), QString("f199999"));
        QVERIFY(!model.flags(model.index(100000, 0)).testFlag(Qt::ItemIsEditable));
        QVERIFY(model.flags(model.index(100001, 0)).testFlag(Qt::ItemIsEditable));
        // The editor gets the name as the server has it.
        QCOMPARE(model.data(model.index(100002, 0), Qt::EditRole).toString(), QString("tab\tname"));
        const std::vector<std::string> lines = log.TakeTexts();
        auto logged = [&lines](const std::string& text) {
            return static_cast<int>(std::count(lines.begin(), lines.end(), text));
        };
        QCOMPARE(logged("!!! Names holding \"/\" not shown: 2"), 1);
        QCOMPARE(logged("!!! Listing line longer than 511 characters skipped"), 1);

        // Slices end by time, so how many there are depends on the machine; what may not
        // happen is a reset carrying rows, or two slices without the window's events between.
        QCOMPARE(resetsWithRows, 0);
        QVERIFY(!turnsAtInsertion.empty());
        for (size_t at = 1; at < turnsAtInsertion.size(); ++at) {
            QVERIFY2(turnsAtInsertion[at] > turnsAtInsertion[at - 1],
                     qPrintable(QString("no turn before insertion %1").arg(at)));
        }
        pane.SetSession(nullptr);
        pane.Stop();
        peer.closeWriteChannel();
        QVERIFY(peer.waitForFinished(10000));
    }
};

}  // namespace qvex

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    int status = 0;
    {
        qvex::RemoteFolderModelTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        qvex::RemotePaneStatusTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "remote_folder_model_test.moc"
