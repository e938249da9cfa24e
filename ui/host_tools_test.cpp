// The three host tools on the offscreen platform, each over its real store: the import/export
// tool with exchange files, the clipboard and dropped files; the statistics tool over a
// statistics database file; the restart tool over a restart database file.
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QItemSelectionModel>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QUrl>
#include <QtTest>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "state/hosts/host_list.h"
#include "state/restart_database.h"
#include "state/settings.h"
#include "state/statistics_database.h"
#include "tests/support/temp_env.h"
#include "ui/import_export_tool.h"
#include "ui/restart_tool.h"
#include "ui/statistics_tool.h"

namespace qvex {

using Strings = std::vector<std::string>;

namespace {

// Three entries: one bare, one with credentials ("u", "p"), one with a per-host word.
const std::string kExchangeText =
    "[QvexEx]\r\nXAftp://a.example/\r\nXUftp://b.example/pub/\r\nD2:D7\r\nXPc.example\r\n"
    "00010409\r\n";

QStringList Rows(const QAbstractItemModel& model, int column = 0) {
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        rows << model.index(row, column).data().toString();
    }
    return rows;
}

// A restart database file: slots 1 to 3 hold interrupted transfers, 4 one whose path was cut
// to fit (not resumable).
std::string RestartImage() {
    std::string image(kRestartFileSize, '\0');
    std::memcpy(image.data(), kRestartHeaderText.data(), kRestartHeaderText.size());
    const uint32_t inUse = 0x1 | 0x2 | 0x4 | 0x8 | 0x10;
    std::memcpy(image.data() + kRestartInUseOffset, &inUse, 4);
    struct Slot {
        int number;
        const char* operation;
        const char* host;
        const char* remoteName;
        const char* local;
    };
    const Slot described[] = {
        {1, "Ga", "ftp://one/", "notes.txt", "/home/me"},
        {2, "Px", "ftp://two/", "", "/home/me/report.doc"},
        {3, "Gi", "ftp://three/", "disk.iso", "/tmp"},
        {4, "Pi", "ftp://four/", "", "/home/me/long"},
    };
    for (const Slot& slot : described) {
        char* at = image.data() + static_cast<size_t>(slot.number) * kRestartBlockSize;
        const uint64_t pending = 1;
        std::memcpy(at + kRestartPendingOffset, &pending, 8);
        const char* fields[] = {slot.operation, slot.host, "/pub", slot.remoteName, slot.local};
        for (int n = 1; n <= 5; ++n) {
            std::strcpy(at + kRestartFields[n].offset, fields[n - 1]);
        }
        if (slot.number == 4) {
            const uint32_t cut = 1u << kRestartFieldLocal;
            std::memcpy(at + kRestartCutOffset, &cut, 4);
        }
    }
    return image;
}

}  // namespace

class HostToolsTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TempEnv> env_;
    std::unique_ptr<platform::RegistryFile> registry_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<HostList> hosts_;

    std::string dataFolder() const { return env_->root() + "/"; }

    static void Select(QAbstractItemView& view, const std::vector<int>& rows) {
        view.clearSelection();
        for (int row : rows) {
            view.selectionModel()->select(view.model()->index(row, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

  private slots:
    void init() {
        env_ = std::make_unique<test::TempEnv>();
        registry_ = std::make_unique<platform::RegistryFile>(env_->path("registry.reg"));
        settings_ = std::make_unique<Settings>(*registry_);
        settings_->LoadSettings();
        hosts_ = std::make_unique<HostList>(*registry_, *settings_);
        QVERIFY(hosts_->SaveHostEntry("ftp://mine/", "me", "pw", 0));
    }

    void cleanup() {
        hosts_.reset();
        settings_.reset();
        registry_.reset();
        env_.reset();
    }

    // --- "Qvex Import/Export Tool" ---

    void importShowsEntriesAndTheOutcome() {
        ImportExportTool tool(*hosts_);
        tool.show();
        QSignalSpy imported(&tool, &ImportExportTool::hostsImported);
        struct Row {
            const char* name;
            std::string bytes;  // "-": no such file
            const char* status;
        };
        // Binary data: NUL bytes, a "[" and "X" followed by letters, as executables have.
        std::string binary =
            "\x7f"
            "ELF\x02\x01\x01";
        binary += std::string(9, '\0');
        binary += "[XAnot a host\nXUbad\n" + test::RandomBytes(4096, 7);
        const Row rows[] = {
            {"hosts.txt", kExchangeText, "3 entries imported"},
            {"again.txt", kExchangeText, "3 entries imported"},  // no row twice
            {"program.bin", binary, "No valid QvexEx import data"},
            {"empty.txt", "", "File is empty"},
            {"notes.txt", "no header here", "No valid QvexEx import data"},
            {"missing.txt", "-", "Unable to open file"},
        };
        for (const Row& row : rows) {
            const std::string path = env_->path(row.name);
            if (row.bytes != "-") {
                test::WriteFileBytes(path, row.bytes);
            }
            tool.ImportFile(QString::fromStdString(path));
            QTRY_VERIFY(!tool.importing());
            QCOMPARE(tool.statusText(), QString(row.status));
            QCOMPARE(Rows(*tool.list()->model()),
                     (QStringList{"ftp://mine/", "ftp://a.example/", "ftp://b.example/pub/",
                                  "c.example"}));
        }
        QCOMPARE(imported.count(), 6);
        QCOMPARE(hosts_->Urls(),
                 (Strings{"ftp://mine/", "ftp://a.example/", "ftp://b.example/pub/", "c.example"}));
        QCOMPARE(hosts_->Find("ftp://b.example/pub/")->password, std::string("p"));
        QCOMPARE(hosts_->Find("c.example")->perHostWord, 0x00010409u);
    }

    // A large file is read and parsed off the window thread: the window goes on while it is.
    void largeImportRunsOffTheWindowThread() {
        ImportExportTool tool(*hosts_);
        tool.show();
        const std::string path = env_->path("large.txt");
        test::WriteFileBytes(path, std::string(64 << 20, 'x') + kExchangeText);
        tool.ImportFile(QString::fromStdString(path));
        QVERIFY(tool.importing());
        for (const char* button : {"importButton", "pasteButton", "exportButton", "copyButton"}) {
            QVERIFY(!tool.findChild<QPushButton*>(button)->isEnabled());
        }
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(1);
        QTRY_VERIFY_WITH_TIMEOUT(!tool.importing(), 60000);
        QVERIFY(ticks > 0);
        QCOMPARE(tool.statusText(), QString("3 entries imported"));
        QVERIFY(tool.findChild<QPushButton*>("importButton")->isEnabled());
    }

    void exportCopyPasteAndDrop() {
        QVERIFY(hosts_->SaveHostEntry("ftp://two/", "", "", 0x00020000));
        QVERIFY(hosts_->SaveHostEntry("three", "", "", 0));
        ImportExportTool tool(*hosts_);
        tool.show();
        Select(*tool.list(), {0, 2});
        const std::string path = env_->path("out.txt");
        tool.ExportFile(QString::fromStdString(path));
        QCOMPARE(tool.statusText(), QString("2 entries written to file"));
        QCOMPARE(test::ReadFileBytes(path), std::string("[QvexEx]\r\nXUftp://mine/\r\n") +
                                                EncodeHostEntryData("me", "pw") +
                                                "\r\nXAthree\r\n");
        tool.ExportFile(QString::fromStdString(env_->path("no/such/folder/out.txt")));
        QCOMPARE(tool.statusText(), QString("Unable to open file"));

        tool.list()->clearSelection();  // none selected: all
        tool.Copy();
        QCOMPARE(tool.statusText(), QString("3 entries placed in clipboard"));
        QCOMPARE(QGuiApplication::clipboard()->text().toStdString(),
                 std::string("[QvexEx]\r\nXUftp://mine/\r\n") + EncodeHostEntryData("me", "pw") +
                     "\r\nXPftp://two/\r\n00020000\r\nXAthree\r\n");

        QGuiApplication::clipboard()->setText(QString::fromStdString(kExchangeText));
        tool.Paste();
        QTRY_VERIFY(!tool.importing());
        QCOMPARE(tool.statusText(), QString("3 entries imported"));
        QGuiApplication::clipboard()->clear();
        tool.Paste();
        QTRY_VERIFY(!tool.importing());
        QCOMPARE(tool.statusText(), QString("No text in clipboard"));

        // Dropped files are imported one after the other.
        test::WriteFileBytes(env_->path("d1.txt"), "[QvexEx]\r\nXAdropped.one\r\n");
        test::WriteFileBytes(env_->path("d2.txt"), "[QvexEx]\r\nXAdropped.two\r\nXAd3\r\n");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(env_->path("d1.txt"))),
                      QUrl::fromLocalFile(QString::fromStdString(env_->path("d2.txt")))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&tool, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&tool, &drop);
        QTRY_VERIFY(!tool.importing());
        QCOMPARE(tool.statusText(), QString("2 entries imported"));
        QCOMPARE(Rows(*tool.list()->model()).mid(6),
                 (QStringList{"dropped.one", "dropped.two", "d3"}));
    }

    // --- "Qvex Statistics Display Tool" ---

    void statisticsGraphCopyAndDelete() {
        settings_->SetInt("Statistics", 1);
        {
            StatisticsDatabase writer(dataFolder(), *settings_);
            struct Host {
                const char* key;
                int connects;
                uint64_t bytes;
                uint64_t milliseconds;
                int files;
            };
            const Host hosts[] = {
                {"alpha", 3, 1572864, 2000, 4},
                {"beta", 7, 1000, 500, 1},
                {"gamma", 1, 0, 0, 0},
            };
            for (const Host& host : hosts) {
                writer.BeginHostStatistics(host.key);
                for (int i = 0; i < host.connects; ++i) {
                    writer.AccumulateConnect(PackUtcTime(2026, 12, 7, 12, 0, 0));
                    writer.CommitHostStatistics();
                }
                for (int i = 0; i < host.files; ++i) {
                    writer.AccumulateTransfer(
                        host.bytes / static_cast<uint64_t>(host.files),
                        host.milliseconds / static_cast<uint64_t>(host.files));
                }
                writer.CommitHostStatistics();
            }
        }
        StatisticsDatabase statistics(dataFolder(), *settings_);
        StatisticsTool tool(statistics);
        tool.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tool));
        QCOMPARE(tool.selector()->count(), 6);
        QCOMPARE(tool.selector()->item(5)->text(), QString("BYTES/FILE"));

        struct Bar {
            const char* label;
            const char* value;
            double fraction;
        };
        struct Row {
            int statistic;
            std::vector<Bar> bars;
        };
        const Row rows[] = {
            {0, {{"beta", "7", 1.0}, {"alpha", "3", 0.43}, {"gamma", "1", 0.14}}},
            {2, {{"alpha", "1.50 MB", 1.0}, {"beta", "0.98 KB", 0.0}, {"gamma", "0", 0.0}}},
            {4, {{"alpha", "768 KB", 1.0}, {"beta", "1.95 KB", 0.0}, {"gamma", "0", 0.0}}},
        };
        for (const Row& row : rows) {
            tool.selector()->setCurrentRow(row.statistic);
            QCOMPARE(tool.statistic(), row.statistic);
            const StatisticsGraph& graph = *tool.graph();
            QCOMPARE(graph.count(), static_cast<int>(row.bars.size()));
            for (int i = 0; i < graph.count(); ++i) {
                const Bar& expected = row.bars[static_cast<size_t>(i)];
                QCOMPARE(graph.bar(i).label, QString(expected.label));
                QCOMPARE(graph.bar(i).value, QString(expected.value));
                QCOMPARE(graph.bar(i).fraction, expected.fraction);
            }
        }
        tool.selector()->setCurrentRow(0);
        tool.Copy();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QString("0\t1.00\t7\tbeta\n0\t0.43\t3\talpha\n0\t0.14\t1\tgamma\n"));

        // Delete on the chosen bar deletes the host's record in the file.
        QSignalSpy deleted(&tool, &StatisticsTool::recordDeleted);
        auto* deleteButton = tool.findChild<QPushButton*>("deleteButton");
        QVERIFY(!deleteButton->isEnabled());
        tool.graph()->setFocus();
        QTest::keyClick(tool.graph(), Qt::Key_Down);  // the first row: beta
        QVERIFY(deleteButton->isEnabled());
        QTest::keyClick(tool.graph(), Qt::Key_Delete);
        QCOMPARE(deleted.count(), 1);
        QCOMPARE(tool.graph()->count(), 2);
        QCOMPARE(tool.graph()->bar(0).label, QString("alpha"));
        QCOMPARE(tool.graph()->bar(0).fraction, 1.0);  // the largest is now alpha's
        StatisticsDatabase reader(dataFolder(), *settings_);
        QCOMPARE(reader.FindHostRecord("beta", false), 0);
        QVERIFY(reader.FindHostRecord("alpha", false) != 0);
    }

    // --- "Qvex Restart Session Management Tool" ---

    void restartToolRowsWipeAndDelete() {
        test::WriteFileBytes(env_->path("QvexRdb.dat"), RestartImage());
        RestartDatabase database(dataFolder());
        settings_->SetInt("RestartDelete", 0);
        {
            RestartToolDialog tool(database, *settings_, false);
            tool.show();
            const QAbstractItemModel& model = *tool.table()->model();
            QCOMPARE(Rows(model, 0), (QStringList{"notes.txt", "report.doc", "disk.iso", "long"}));
            QCOMPARE(Rows(model, 1),
                     (QStringList{"GET(text)", "PUT(smart)", "GET(image)",
                                  "PUT(image) not resumable: a path was too long"}));
            QCOMPARE(Rows(model, 2),
                     (QStringList{"ftp://one/", "ftp://two/", "ftp://three/", "ftp://four/"}));
            auto* restart = tool.findChild<QPushButton*>("restartButton");
            auto* wipe = tool.findChild<QPushButton*>("wipeButton");
            QVERIFY(!restart->isEnabled());
            QVERIFY(!wipe->isEnabled());
            Select(*tool.table(), {3});  // not resumable: only wiped
            QVERIFY(!restart->isEnabled());
            QVERIFY(wipe->isEnabled());
            Select(*tool.table(), {0, 2});
            QVERIFY(!restart->isEnabled());
            QTest::mouseClick(wipe, Qt::LeftButton);
            QCOMPARE(Rows(model, 0), (QStringList{"report.doc", "long"}));
            tool.reject();  // Cancel: nothing is deleted
        }
        QCOMPARE(database.ListRestartSlots(false).size(), 4u);

        // Delete with the prompt on: No keeps the row, Yes removes it; OK deletes the slots.
        settings_->SetInt("RestartDelete", 1);
        RestartToolDialog tool(database, *settings_, false);
        tool.show();
        tool.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&tool));
        std::vector<QString> asked;
        bool agree = false;
        tool.SetDialogs({[&](QWidget*, const QString& text) {
            asked.push_back(text);
            return agree;
        }});
        QSignalSpy committed(&tool, &RestartToolDialog::committed);
        Select(*tool.table(), {1});
        tool.table()->setFocus();
        QTest::keyClick(tool.table(), Qt::Key_Delete);
        QCOMPARE(Rows(*tool.table()->model(), 0).size(), 4);
        agree = true;
        QTest::keyClick(tool.table(), Qt::Key_Delete);
        Select(*tool.table(), {0, 1});
        QTest::mouseClick(tool.findChild<QPushButton*>("wipeButton"), Qt::LeftButton);
        QCOMPARE(asked,
                 (std::vector<QString>{"Delete restart info for 'report.doc' (ftp://two/)?\n\n"
                                       "(It can no longer be resumed.)",
                                       "Delete restart info for 'report.doc' (ftp://two/)?\n\n"
                                       "(It can no longer be resumed.)",
                                       "Delete restart info for 2 interrupted transfers?\n\n"
                                       "(It can no longer be resumed.)"}));
        QCOMPARE(Rows(*tool.table()->model(), 0), (QStringList{"long"}));
        tool.accept();
        QCOMPARE(committed.count(), 1);
        QCOMPARE(committed.at(0).at(0).toBool(), false);  // nothing chosen to resume
        const std::vector<RestartRecord> left = database.ListRestartSlots(false);
        QCOMPARE(left.size(), 1u);
        QCOMPARE(left[0].slot, 4);
        const std::string file = test::ReadFileBytes(env_->path("QvexRdb.dat"));
        for (int slot : {1, 2, 3}) {
            QCOMPARE(file.substr(static_cast<size_t>(slot) * kRestartBlockSize, kRestartBlockSize),
                     std::string(kRestartBlockSize, '\0'));
        }
    }

    // While a session runs, the tool cannot switch to another transfer.
    void restartIsUnavailableWhileASessionRuns() {
        test::WriteFileBytes(env_->path("QvexRdb.dat"), RestartImage());
        RestartDatabase database(dataFolder());
        RestartToolDialog tool(database, *settings_, true);
        Select(*tool.table(), {0});
        auto* restart = tool.findChild<QPushButton*>("restartButton");
        QVERIFY(!restart->isEnabled());
        QVERIFY(restart->toolTip().startsWith("Log off first"));
        tool.Restart();
        QVERIFY(tool.result() != QDialog::Accepted);
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::HostToolsTest)
#include "host_tools_test.moc"
