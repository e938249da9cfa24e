// The remote pane over a login folder of 100,000 entries: the time from the start of the
// session (connect, login, PWD, TYPE, PASV, LIST) to the complete view, beside curl fetching
// the same raw listing from the same server the same way; the window thread's longest stall
// meanwhile; then the time to sort the 100,000 rows by each column. A program, run in full
// by scripts/bench.sh.
//
// QVEX_FILES_ENTRIES sets the folder's size (default 100,000); QVEX_FILES_SERVER=vsftpd lists
// a real folder of that many files from vsftpd instead of bench/listing_peer.py's listing.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QProcess>
#include <QTimer>
#include <QTreeView>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_env.h"
#include "transfer/entry_types.h"
#include "transfer/listing_cache.h"
#include "transfer/transfer_handlers.h"
#include "ui/remote_folder_model.h"
#include "ui/remote_pane.h"
#include "ui/remote_type_source.h"

namespace {

double ThreadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Runs the window thread's events until `done` holds or `seconds` have passed.
template <typename Done>
bool Spin(Done done, int seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The best of three curl runs fetching the folder's listing, in milliseconds.
qint64 CurlMilliseconds(int port, const std::string& user, const std::string& password) {
    qint64 best = -1;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer clock;
        clock.start();
        QProcess curl;
        curl.start("curl", {"-s", "-o", "/dev/null",
                            QString("ftp://%1:%2@127.0.0.1:%3/")
                                .arg(QString::fromStdString(user), QString::fromStdString(password))
                                .arg(port)});
        if (!curl.waitForFinished(120000) || curl.exitCode() != 0) {
            return -1;
        }
        const qint64 elapsed = clock.elapsed();
        best = best < 0 ? elapsed : std::min(best, elapsed);
    }
    return best;
}

// The application that times each event it delivers: the longest names the cause of a
// stall (a timer's gap says only that there was one).
class TimedApplication : public QApplication {
  public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        if (!timing_) {
            return QApplication::notify(receiver, event);
        }
        const int type = event->type();
        const char* const name = receiver->metaObject()->className();
        QElapsedTimer clock;
        clock.start();
        const bool result = QApplication::notify(receiver, event);
        const qint64 elapsed = clock.nsecsElapsed();
        // Events inside events (a paint inside a layout) count within the outer one.
        if (elapsed > longest_) {
            longest_ = elapsed;
            longestType_ = type;
            longestReceiver_ = name;
        }
        return result;
    }
    void SetTiming(bool on) { timing_ = on; }
    double longestMilliseconds() const { return static_cast<double>(longest_) / 1e6; }
    int longestType() const { return longestType_; }
    const char* longestReceiver() const { return longestReceiver_; }

  private:
    bool timing_ = false;
    qint64 longest_ = 0;
    int longestType_ = 0;
    const char* longestReceiver_ = "";
};

}  // namespace

int main(int argc, char** argv) {
    TimedApplication application(argc, argv);
    const char* wanted = std::getenv("QVEX_FILES_ENTRIES");
    const int entries = wanted != nullptr ? std::atoi(wanted) : 100000;
    qvex::test::TempFolder folder;

    // The server: vsftpd over a folder of that many empty files (QVEX_FILES_SERVER=vsftpd),
    // or one listing file sent with sendfile for any folder.
    const char* kind = std::getenv("QVEX_FILES_SERVER");
    const bool real = kind != nullptr && std::strcmp(kind, "vsftpd") == 0;
    std::string user = "u";
    std::string password = "p";
    int port = 0;
    std::unique_ptr<qvex::test::FtpServer> vsftpd;
    QProcess peer;
    if (real) {
        vsftpd = qvex::test::StartFtpServer(qvex::test::FtpServerKind::Vsftpd);
        if (!vsftpd->started()) {
            std::printf("vsftpd did not start: %s\n", vsftpd->problem().c_str());
            return 1;
        }
        for (int i = 0; i < entries; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "file%07d.txt", i);
            std::FILE* file = std::fopen(vsftpd->path(name).c_str(), "w");
            if (file == nullptr) {
                return 1;
            }
            std::fclose(file);
        }
        user = qvex::test::FtpServer::kUser;
        password = qvex::test::FtpServer::kPassword;
        port = vsftpd->port();
    } else {
        peer.start("/usr/bin/python3", {QVEX_SOURCE_DIR "/bench/listing_peer.py",
                                        QString::number(entries),
                                        QString::fromStdString(folder.path("listing.txt"))});
        if (!peer.waitForReadyRead(120000)) {
            std::printf("the listing peer did not start\n");
            return 1;
        }
        const QStringList words = QString::fromUtf8(peer.readLine()).split(' ');
        port = words.size() > 1 ? words[1].toInt() : 0;
    }
    const qint64 curl = CurlMilliseconds(port, user, password);

    qvex::SharedHeap heap;
    if (!heap.CreateHeap(qvex::SharedHeap::kDefaultPageCount)) {
        return 1;
    }
    qvex::InstallProcessHeap(&heap);
    qvex::platform::RegistryFile registry(folder.path("registry.reg"));
    qvex::Settings settings(registry);
    settings.LoadSettings();
    qvex::ListingCache cache;
    qvex::RemoteTypeSource types;
    qvex::setEntryTypeSource(&types);
    qvex::setExtensionLookup(true);
    qvex::RemotePane pane(settings, heap);
    pane.SetCache(cache, types);
    pane.resize(900, 700);
    pane.show();

    qvex::SessionRequest request;
    request.host = "127.0.0.1";
    request.port = std::to_string(port);
    request.user = user;
    request.password = password;
    qvex::SessionOptions options;
    qvex::InstallTransferHandlers(options.handlers, cache);
    std::shared_ptr<qvex::SessionWorker> session = qvex::CreateSession(request, std::move(options));
    qvex::RemoteFolderModel& model = *pane.model();

    // The window thread's longest stall: the longest gap between two turns of a 1 ms timer,
    // with the processor time the thread itself used in that gap.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = 0;
    qint64 longest = 0;
    qint64 longestEnd = 0;
    double lastCpu = ThreadCpuMilliseconds();
    double longestBusy = 0;
    QTimer turn;
    turn.setInterval(1);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const double cpu = ThreadCpuMilliseconds();
        if (now - lastTurn > longest) {
            longest = now - lastTurn;
            longestEnd = now;
        }
        longestBusy = std::max(longestBusy, cpu - lastCpu);
        lastTurn = now;
        lastCpu = cpu;
    });
    turn.start();
    application.SetTiming(true);
    // When the session's listing is whole, and when the view first shows rows.
    qint64 listingRead = -1;
    qint64 firstRows = -1;
    QObject::connect(&model, &qvex::RemoteFolderModel::listingReady,
                     [&] { listingRead = listingRead < 0 ? clock.elapsed() : listingRead; });
    QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                     [&] { firstRows = firstRows < 0 ? clock.elapsed() : firstRows; });
    lastTurn = clock.elapsed();
    pane.SetSession(session);
    std::thread worker([session] { (void)qvex::SessionThread(session); });
    const bool shown = Spin([&] {
        return model.directory() >= 0 && model.rowCount() == entries &&
               cache.IsComplete(model.directory());
    }, 120);
    const qint64 listed = clock.elapsed();
    turn.stop();
    application.SetTiming(false);
    std::printf("longest event while it filled: %.1f ms, type %d to a %s\n",
                application.longestMilliseconds(), application.longestType(),
                application.longestReceiver());
    std::printf("%d entries: complete view in %lld ms (curl fetching the listing: %lld ms; "
                "the listing read at %lld ms, the first rows shown at %lld ms); "
                "longest window-thread stall %lld ms, ending at %lld ms (the most processor time "
                "the thread used between two turns: %.1f ms)%s\n",
                model.rowCount(), static_cast<long long>(listed), static_cast<long long>(curl),
                static_cast<long long>(listingRead), static_cast<long long>(firstRows),
                static_cast<long long>(longest), static_cast<long long>(longestEnd), longestBusy,
                shown ? "" : " (NOT complete)");

    const char* names[] = {"Name", "Size", "Type", "Date Modified"};
    for (int column = 0; column < qvex::RemoteFolderModel::kColumnCount; ++column) {
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            QElapsedTimer sorting;
            sorting.start();
            const double cpu = ThreadCpuMilliseconds();
            pane.view()->sortByColumn(column, order);
            QCoreApplication::processEvents();
            std::printf("sort by %s %s: %lld ms (window thread's processor time %.1f ms)\n",
                        names[column], order == Qt::AscendingOrder ? "ascending" : "descending",
                        static_cast<long long>(sorting.elapsed()), ThreadCpuMilliseconds() - cpu);
        }
    }

    qvex::PostCommand(*session, qvex::kCommandEndSession, {}, 0, qvex::kExitSessionOnly, -1);
    worker.join();
    pane.SetSession(nullptr);
    pane.Stop();
    qvex::setEntryTypeSource(nullptr);
    qvex::InstallProcessHeap(nullptr);
    peer.closeWriteChannel();
    peer.waitForFinished(10000);
    return shown ? 0 : 1;
}
