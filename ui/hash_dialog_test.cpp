// The local pane's hash menu and the hash-sum dialog on the offscreen platform: the menu's
// items and what they ask for, sums files saved through the dialog's own save dialog and
// checked by the usual tools, a verify job's rows, counts and bars, sorting with duplicates
// selected, F3, and sums files that are binary, huge or name files outside their folder.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "sums/hash_job.h"
#include "tests/support/log_capture.h"
#include "tests/support/process_run.h"
#include "tests/support/temp_env.h"
#include "ui/hash_menu.h"
#include "ui/hash_sum_dialog.h"

namespace qvex {
namespace {

QStringList ActionTexts(const QMenu& menu) {
    QStringList texts;
    for (const QAction* action : menu.actions()) {
        texts << action->text();
    }
    return texts;
}

QMenu* Submenu(const QMenu& menu, const QString& title) {
    for (QAction* action : menu.actions()) {
        if (action->text() == title) {
            return action->menu();
        }
    }
    return nullptr;
}

QAction* Item(const QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

const QStringList kLabels = {"MD5 checksum(s)",      "SHA1 checksum(s)",
                             "SHA2-224 checksum(s)", "SHA2-256 checksum(s)",
                             "SHA2-384 checksum(s)", "SHA2-512 checksum(s)",
                             "Whirlpool checksum(s)"};

QStringList Prefixed(const QString& prefix) {
    QStringList texts;
    for (const QString& label : kLabels) {
        texts << prefix + label;
    }
    return texts;
}

// Runs a program in `folder`.
test::ProgramResult RunIn(const std::string& folder, std::vector<std::string> command) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", folder};
    argv.insert(argv.end(), command.begin(), command.end());
    return test::RunToEnd(argv);
}

}  // namespace

class HashDialogTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<test::TempFolder> folder_;
    std::unique_ptr<test::LogCapture> log_;
    std::unique_ptr<platform::RegistryFile> registry_;
    std::unique_ptr<Settings> settings_;

    std::string path(const std::string& relative) const { return folder_->path(relative); }

    // A dialog for the request, run until its job has ended.
    std::unique_ptr<HashSumDialog> Run(const HashRequest& request) {
        auto dialog = std::make_unique<HashSumDialog>(log_->heap(), *settings_);
        QSignalSpy ended(dialog.get(), &HashSumDialog::jobEnded);
        dialog->show();
        dialog->activateWindow();
        (void)QTest::qWaitForWindowActive(dialog.get());
        dialog->Start(request, 2);
        if (ended.isEmpty() && !ended.wait(30000)) {
            qWarning("the job did not end");
        }
        return dialog;
    }

    static QString Cell(const HashSumDialog& dialog, int row, int column) {
        const QAbstractItemModel* model = dialog.table()->model();
        return model->data(model->index(row, column)).toString();
    }

    static QString LabelText(const HashSumDialog& dialog, const char* name) {
        return dialog.findChild<QLabel*>(name)->text();
    }

    static std::set<int> SelectedRows(const HashSumDialog& dialog) {
        std::set<int> rows;
        for (const QModelIndex& index : dialog.table()->selectionModel()->selectedRows()) {
            rows.insert(index.row());
        }
        return rows;
    }

    // Answers the save dialog that SaveSums is about to open, as a user would; what the
    // dialog offered is checked once it has closed.
    struct SaveAnswer {
        bool found = false;
        QString checkText;
        bool slashShown = false;
        QStringList types;  // as the file type box lists them
    };
    static void AnswerSaveDialog(const QString& file, const QString& type, bool slash,
                                 SaveAnswer* answer) {
        QTimer::singleShot(0, [=] {
            auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (chooser == nullptr) {
                AnswerSaveDialog(file, type, slash, answer);
                return;
            }
            answer->found = true;
            if (auto* check = chooser->findChild<QCheckBox*>("slashSeparator")) {
                answer->checkText = check->text();
                answer->slashShown = check->isChecked();
                check->setChecked(slash);
            }
            if (auto* types = chooser->findChild<QComboBox*>("fileTypeCombo")) {
                for (int at = 0; at < types->count(); ++at) {
                    answer->types << types->itemText(at);
                }
            }
            chooser->selectNameFilter(type);
            chooser->selectFile(file);
            static_cast<QDialog*>(chooser)->accept();
        });
    }

  private slots:
    void init() {
        folder_ = std::make_unique<test::TempFolder>();
        log_ = std::make_unique<test::LogCapture>();
        registry_ = std::make_unique<platform::RegistryFile>(path("registry.reg"));
        settings_ = std::make_unique<Settings>(*registry_);
        settings_->LoadSettings();
        settings_->SetInt(kPerCpuSetting, 1);
    }

    void cleanup() {
        settings_.reset();
        registry_.reset();
        log_.reset();
        folder_.reset();
    }

    void menuItemsAndRequests() {
        test::WriteFileBytes(path("md5sums"), "");
        test::WriteFileBytes(path("SHA256SUMS"), "");
        test::WriteFileBytes(path("x.md5"), "");
        test::WriteFileBytes(path("a.sha1"), "");
        test::WriteFileBytes(path(".md5"), "");
        test::WriteFileBytes(path("notes.txt"), "");
        QDir().mkpath(QString::fromStdString(path("tree")));
        const QString folder = QString::fromStdString(folder_->root());
        const std::map<QString, bool> sumsNames = {{"md5sums", true},    {"SHA256SUMS", true},
                                                   {"x.md5", true},      {"a.sha1", true},
                                                   {".md5", false},      {"notes.txt", false}};
        for (const auto& [name, enabled] : sumsNames) {
            std::vector<HashRequest> asked;
            QMenu menu;
            AddHashMenu(menu, folder, {name},
                        [&](const HashRequest& request) { asked.push_back(request); });
            QCOMPARE(ActionTexts(menu), QStringList({"Verify As", "Verify cryptographic checksum(s)",
                                                     "Compute "}));
            QCOMPARE(ActionTexts(*Submenu(menu, "Verify As")), Prefixed("Contains "));
            QCOMPARE(ActionTexts(*Submenu(menu, "Compute ")), Prefixed("Compute "));
            QAction* verify = Item(menu, "Verify cryptographic checksum(s)");
            QVERIFY2(verify->isEnabled() == enabled, qPrintable(name));

            Item(*Submenu(menu, "Verify As"), "Contains Whirlpool checksum(s)")->trigger();
            Item(*Submenu(menu, "Compute "), "Compute SHA2-384 checksum(s)")->trigger();
            verify->trigger();  // a greyed item does nothing
            QCOMPARE(asked.size(), size_t{enabled ? 3u : 2u});
            const std::vector<std::string> names = {name.toStdString()};
            QVERIFY(asked[0].mode == HashMode::Verify && asked[0].letter == 'w');
            QVERIFY(asked[1].mode == HashMode::Compute && asked[1].letter == '3');
            QVERIFY(!enabled || (asked[2].mode == HashMode::Verify && asked[2].letter == 0));
            for (const HashRequest& request : asked) {
                QCOMPARE(request.baseFolder, folder_->root());
                QVERIFY(request.names == names);
            }
        }
        // Full paths inside the folder, as the pane gives them, ask for the same names.
        {
            std::vector<HashRequest> asked;
            QMenu menu;
            AddHashMenu(menu, folder, {folder + "/x.md5"},
                        [&](const HashRequest& request) { asked.push_back(request); });
            QVERIFY(Item(menu, "Verify cryptographic checksum(s)")->isEnabled());
            Item(menu, "Verify cryptographic checksum(s)")->trigger();
            QCOMPARE(asked.size(), size_t{1});
            QVERIFY(asked[0].names == std::vector<std::string>{"x.md5"});
        }
        // A folder, or several names: only "Compute ", for all of them.
        for (const QStringList& names : {QStringList{"tree"}, QStringList{"md5sums", "tree"}}) {
            std::vector<HashRequest> asked;
            QMenu menu;
            AddHashMenu(menu, folder, names,
                        [&](const HashRequest& request) { asked.push_back(request); });
            QCOMPARE(ActionTexts(menu), QStringList({"Compute "}));
            Item(*Submenu(menu, "Compute "), "Compute MD5 checksum(s)")->trigger();
            QCOMPARE(asked.size(), size_t{1});
            QCOMPARE(asked[0].letter, int('m'));
            QCOMPARE(asked[0].names.size(), size_t(names.size()));
        }
        QMenu none;
        AddHashMenu(none, folder, {}, [](const HashRequest&) {});
        QVERIFY(none.actions().isEmpty());
    }

    // Every algorithm, layout and separator, saved through the save dialog: coreutils' tools
    // check "/" files with names (and MD5, SHA1 tags) they know; rhash also takes '\'.
    void savedSumsFilesPassTheTools() {
        test::WriteFileBytes(path("tree/one"), "1");
        test::WriteFileBytes(path("tree/with space.txt"), std::string(777, 'w'));
        test::WriteFileBytes(path("tree/empty"), "");
        test::WriteFileBytes(path("tree/sub/dir/x.bin"), test::RandomBytes(40000, 7));
        const std::string tree = path("tree");
        const std::map<HashAlgorithm, std::string> coreutils = {
            {HashAlgorithm::Md5, "md5sum"},       {HashAlgorithm::Sha1, "sha1sum"},
            {HashAlgorithm::Sha224, "sha224sum"}, {HashAlgorithm::Sha256, "sha256sum"},
            {HashAlgorithm::Sha384, "sha384sum"}, {HashAlgorithm::Sha512, "sha512sum"}};
        const std::vector<HashAlgorithm> algorithms = {
            HashAlgorithm::Md5,    HashAlgorithm::Sha1,   HashAlgorithm::Sha224,
            HashAlgorithm::Sha256, HashAlgorithm::Sha384, HashAlgorithm::Sha512,
            HashAlgorithm::Whirlpool};
        int saved = 0;
        bool lastSlash = settings_->GetInt(kSlashSeparatorSetting) != 0;
        for (HashAlgorithm algorithm : algorithms) {
            auto dialog = Run({HashMode::Compute, InfoOf(algorithm).letter, tree,
                               {"one", "with space.txt", "sub", "empty"}});
            QCOMPARE(dialog->job().state(), HashJobState::Finished);
            QCOMPARE(dialog->windowTitle(),
                     QString("Qvex %1 Sum Compute").arg(InfoOf(algorithm).name));
            QCOMPARE(dialog->table()->model()->rowCount(), 4);
            const auto layouts = HashSumDialog::LayoutsOf(algorithm);
            QCOMPARE(layouts.size(), size_t{algorithm == HashAlgorithm::Whirlpool ? 2u : 4u});
            for (const auto& [layout, type] : layouts) {
                for (bool slash : {true, false}) {
                    const QString file =
                        QString::fromStdString(tree + "/out" + std::to_string(saved++) + ".sums");
                    SaveAnswer answer;
                    AnswerSaveDialog(file, type, slash, &answer);
                    dialog->SaveSums();
                    QVERIFY(answer.found);
                    QCOMPARE(answer.checkText,
                             QString("Save with '/' (\"universal\") path separator"));
                    QCOMPARE(answer.slashShown, lastSlash);  // from "MD5SlashSep"
                    QStringList types;
                    for (const auto& offered : layouts) {
                        types << offered.second;
                    }
                    QCOMPARE(answer.types, types);
                    lastSlash = slash;
                    QCOMPARE(settings_->GetInt(kSlashSeparatorSetting), slash ? 1 : 0);
                    const std::string text = test::ReadFileBytes(file.toStdString());
                    QVERIFY2(text.find(slash ? "sub/dir/x.bin" : "sub\\dir\\x.bin") !=
                                 std::string::npos,
                             text.c_str());

                    const bool tagged =
                        layout == SumsLayout::TagRelative || layout == SumsLayout::TagAbsolute;
                    const bool absolute =
                        layout == SumsLayout::HashAbsolute || layout == SumsLayout::TagAbsolute;
                    QString root = QString::fromStdString(tree + "/");
                    if (!slash) {
                        root.replace('/', '\\');
                    }
                    QCOMPARE(text.find(root.toStdString() + "one") != std::string::npos,
                             absolute);
                    QCOMPARE(text.rfind(std::string(tagged ? InfoOf(algorithm).tagName : "") +
                                            (tagged ? " (" : ""),
                                        0) == 0,
                             true);
                    QCOMPARE(text.find(") = ") != std::string::npos, tagged);
                    const bool tagKnown = algorithm == HashAlgorithm::Md5 ||
                                          algorithm == HashAlgorithm::Sha1;
                    const std::string what = type.toStdString() + (slash ? " /" : " \\") +
                                             " " + InfoOf(algorithm).name + "\n" + text;
                    test::ProgramResult rhash = RunIn(tree, {"rhash", "-c", file.toStdString()});
                    QVERIFY2((rhash.status == 0) == (!tagged || tagKnown),
                             (what + rhash.out).c_str());
                    if (coreutils.count(algorithm) != 0) {
                        test::ProgramResult tool =
                            RunIn(tree, {coreutils.at(algorithm), "-c", file.toStdString()});
                        QVERIFY2((tool.status == 0) == (slash && (!tagged || tagKnown)),
                                 (what + tool.out + tool.err).c_str());
                        if (tool.status == 0) {
                            QVERIFY2(tool.out.find("sub/dir/x.bin: OK") != std::string::npos,
                                     tool.out.c_str());
                        }
                    }
                }
            }
        }
    }

    // Good, missing and corrupted files against a sums file written by md5sum.
    void verifyShowsRowsCountsAndBars() {
        for (const char* name : {"a", "b", "gone", "changed"}) {
            test::WriteFileBytes(path(name), std::string("content of ") + name);
        }
        test::ProgramResult sums = RunIn(folder_->root(), {"md5sum", "a", "gone", "changed", "b"});
        QCOMPARE(sums.status, 0);
        test::WriteFileBytes(path("md5sums"), sums.out);
        QFile::remove(QString::fromStdString(path("gone")));
        test::WriteFileBytes(path("changed"), "other content");

        auto dialog = Run({HashMode::Verify, 0, folder_->root(), {"md5sums"}});
        QCOMPARE(dialog->windowTitle(), QString("Qvex MD5 Sum Verify"));
        QCOMPARE(dialog->table()->model()->headerData(0, Qt::Horizontal).toString(),
                 QString("Message Digest (Sum)"));
        QCOMPARE(dialog->table()->model()->headerData(1, Qt::Horizontal).toString(),
                 QString("File"));
        const std::vector<std::pair<QString, QString>> rows = {
            {QString::fromStdString(sums.out.substr(0, 32)), "a"},
            {"?", "gone"},
            {">>> Match FAIL <<<", "changed"},
            {QString::fromStdString(sums.out.substr(sums.out.rfind('\n', sums.out.size() - 2) + 1,
                                                    32)),
             "b"}};
        QCOMPARE(dialog->table()->model()->rowCount(), 4);
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(Cell(*dialog, row, 0), rows[size_t(row)].first);
            QCOMPARE(Cell(*dialog, row, 1), rows[size_t(row)].second);
        }
        QCOMPARE(SelectedRows(*dialog), std::set<int>{2});
        QCOMPARE(LabelText(*dialog, "counts"), QString("2 Good  1 Unknown  1 Bad"));
        QVERIFY2(LabelText(*dialog, "summary").startsWith("3 MD5 sums (") &&
                     LabelText(*dialog, "summary").contains(") verified in "),
                 qPrintable(LabelText(*dialog, "summary")));
        QVERIFY(dialog->findChildren<QProgressBar*>().size() == 4);
        for (const QProgressBar* bar : dialog->findChildren<QProgressBar*>()) {
            QVERIFY(!bar->isVisible());
        }

        // The bars as drawn: green, yellow, red from the left, as wide as their counts.
        QWidget* bars = dialog->findChild<QWidget*>("counterBars");
        QVERIFY(bars != nullptr && bars->isVisible());
        const QImage image = bars->grab().toImage();
        std::map<QRgb, int> widths;
        std::vector<QRgb> order;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, image.height() / 2) & 0xFFFFFF;
            if (order.empty() || order.back() != pixel) {
                order.push_back(pixel);
            }
            ++widths[pixel];
        }
        QCOMPARE(order, (std::vector<QRgb>{0x00FF00, 0xFFFF00, 0xFF0000}));
        const int width = image.width();
        QVERIFY2(std::abs(widths[0x00FF00] - width / 2) <= 2 &&
                     std::abs(widths[0xFFFF00] - width / 4) <= 2 &&
                     std::abs(widths[0xFF0000] - width / 4) <= 2,
                 qPrintable(QString("%1 %2 %3 of %4")
                                .arg(widths[0x00FF00])
                                .arg(widths[0xFFFF00])
                                .arg(widths[0xFF0000])
                                .arg(width)));

        // F3 goes to the failed row, and stays there: it is the only one.
        QTest::keyClick(dialog->table(), Qt::Key_F3);
        QCOMPARE(dialog->table()->currentIndex().row(), 2);
        QTest::keyClick(dialog->table(), Qt::Key_F3);
        QCOMPARE(dialog->table()->currentIndex().row(), 2);
    }

    // Sorting by digest selects the duplicates; F3 cycles through them; sorting by file
    // keeps them selected (the job's selection) and orders by name.
    void sortingSelectsDuplicatesAndF3CyclesThem() {
        const std::map<std::string, std::string> files = {
            {"e", "x"}, {"d", "yy"}, {"c", "unique"}, {"b", "x"}, {"a", "yy"}, {"f", "z"}};
        for (const auto& [name, bytes] : files) {
            test::WriteFileBytes(path("dup/" + name), bytes);
        }
        auto dialog = Run({HashMode::Compute, 'm', folder_->root(), {"dup"}});
        QCOMPARE(dialog->table()->model()->rowCount(), 6);
        QVERIFY(SelectedRows(*dialog).empty());

        QHeaderView* header = dialog->table()->horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
        QStringList digests;
        std::set<int> duplicates;
        for (int row = 0; row < 6; ++row) {
            digests << Cell(*dialog, row, 0);
        }
        QStringList sorted = digests;
        sorted.sort();
        QCOMPARE(digests, sorted);
        for (int row = 0; row < 6; ++row) {
            if (digests.count(digests[row]) > 1) {
                duplicates.insert(row);
            }
        }
        QCOMPARE(duplicates.size(), size_t{4});
        QCOMPARE(SelectedRows(*dialog), duplicates);

        std::vector<int> visited;
        for (int press = 0; press < 5; ++press) {
            QTest::keyClick(dialog->table(), Qt::Key_F3);
            visited.push_back(dialog->table()->currentIndex().row());
        }
        std::vector<int> expected(duplicates.begin(), duplicates.end());
        expected.push_back(expected.front());  // after the last, the first again
        QCOMPARE(visited, expected);

        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
        QStringList names;
        for (int row = 0; row < 6; ++row) {
            names << Cell(*dialog, row, 1);
        }
        QCOMPARE(names, QStringList({"dup/a", "dup/b", "dup/c", "dup/d", "dup/e", "dup/f"}));
        QCOMPARE(SelectedRows(*dialog), (std::set<int>{0, 1, 3, 4}));
    }

    // Binary and huge sums files give the empty state; names outside the folder are read
    // after a log line that says so, and missing ones are "?".
    void badSumsFiles() {
        std::string binary = test::RandomBytes(100000, 3);
        test::WriteFileBytes(path("binary.md5"), binary);
        std::string huge;
        const std::string junk(390, 'j');
        while (huge.size() < 64 * 1048576) {
            huge += junk + "\n";
        }
        huge += std::string(5000, 'f') + "  long\n";  // a digest too long to be one
        test::WriteFileBytes(path("huge.md5"), huge);
        for (const char* name : {"binary.md5", "huge.md5"}) {
            auto dialog = Run({HashMode::Verify, 0, folder_->root(), {name}});
            QCOMPARE(dialog->job().state(), HashJobState::Empty);
            QCOMPARE(dialog->table()->model()->rowCount(), 1);
            QCOMPARE(Cell(*dialog, 0, 0), QString(">>> NO hash sums found <<<"));
            QCOMPARE(LabelText(*dialog, "summary"), QString("NO hash sums verified"));
        }

        test::WriteFileBytes(path("outside"), "outside");
        test::WriteFileBytes(path("in/here"), "here");
        test::ProgramResult sums = RunIn(folder_->root(), {"md5sum", "outside", "in/here"});
        const std::string outsideDigest = sums.out.substr(0, 32);
        const std::string hereDigest = sums.out.substr(sums.out.find('\n') + 1, 32);
        test::WriteFileBytes(path("in/md5sums"), hereDigest + "  here\n" + outsideDigest +
                                                     "  ../outside\n" + outsideDigest + "  " +
                                                     path("outside") + "\n" + outsideDigest +
                                                     "  ../../no/such/file\n");
        (void)log_->TakeTexts();
        auto dialog = Run({HashMode::Verify, 0, path("in"), {"md5sums"}});
        QCOMPARE(Cell(*dialog, 0, 1), QString("here"));
        QCOMPARE(Cell(*dialog, 1, 1), QString("../outside"));
        QCOMPARE(Cell(*dialog, 2, 1), QString::fromStdString(path("outside")));
        QCOMPARE(Cell(*dialog, 3, 0), QString("?"));
        QCOMPARE(LabelText(*dialog, "counts"), QString("3 Good  1 Unknown  0 Bad"));
        const std::vector<std::string> lines = log_->TakeTexts();
        QVERIFY(!lines.empty());
        QCOMPARE(lines.front(), "!!! 3 listed file(s) outside the sums file's folder " +
                                    path("in") + "/");
    }

    // Files from 100 MiB on show a percentage on their worker's bar; closing the dialog
    // stops the workers at once, and what arrived stays.
    void percentageBarsAndClosingCancelsTheWorkers() {
        QFile big(QString::fromStdString(path("big")));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(104857600));
        big.close();
        std::vector<std::string> names(40, "big");
        auto dialog = std::make_unique<HashSumDialog>(log_->heap(), *settings_);
        dialog->show();
        dialog->Start({HashMode::Compute, 's', folder_->root(), names}, 2);
        QTRY_VERIFY(dialog->startResult() == HashStartResult::Started);
        QCOMPARE(dialog->job().workerCount(), 2);
        auto* bar = dialog->findChild<QProgressBar*>("progress0");
        QVERIFY(bar->isVisible() && dialog->findChild<QProgressBar*>("progress1")->isVisible());
        QVERIFY(!dialog->findChild<QProgressBar*>("progress2")->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() == 100 && bar->value() > 0, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(dialog->job().doneCount() >= 1, 20000);
        dialog->close();
        QCOMPARE(dialog->job().state(), HashJobState::Stopped);
        QVERIFY(dialog->job().doneCount() < 40);
        QVERIFY(!dialog->isVisible() && !bar->isVisible());
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::HashDialogTest)
#include "hash_dialog_test.moc"
