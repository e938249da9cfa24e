// The local pane on a temporary home: where it starts, moving between folders, new folder,
// rename and delete on disk (the trash under XDG_DATA_HOME), a file another process writes,
// and the context menu with its properties.
#include "ui/local_pane.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/temp_env.h"
#include "ui/properties_dialog.h"

namespace qvex {

class LocalPaneTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempEnv> env_;
    std::unique_ptr<platform::RegistryFile> registry_;
    std::unique_ptr<Settings> settings_;
    // The message boxes the pane ran, as "title|text", and the answers they get in turn (OK
    // when none is left).
    QStringList boxes_;
    QList<QMessageBox::StandardButton> answers_;

    ModalRunner Runner() {
        return [this](QDialog& dialog) {
            const auto* box = qobject_cast<QMessageBox*>(&dialog);
            boxes_ << (box != nullptr ? box->windowTitle() + "|" + box->text()
                                      : dialog.objectName());
            return int(answers_.isEmpty() ? QMessageBox::Ok : answers_.takeFirst());
        };
    }

    QString Path(const std::string& relative) const {
        return QDir::cleanPath(QString::fromStdString(env_->path(relative)));
    }
    QString Home() const { return QDir::cleanPath(QString::fromStdString(env_->root())); }
    void MakeFolder(const std::string& relative) {
        std::filesystem::create_directories(env_->path(relative));
    }

    static QAction* Command(const LocalPane& pane, const char* name) {
        auto* action = pane.findChild<QAction*>(name);
        if (action == nullptr) {
            qFatal("no action %s", name);
        }
        return action;
    }

    // The rows the view shows now, by name, in its order.
    static QStringList Shown(const LocalPane& pane) {
        QStringList names;
        const QModelIndex root = pane.view()->rootIndex();
        for (int row = 0; row < pane.view()->model()->rowCount(root); ++row) {
            names << pane.view()->model()->index(row, 0, root).data().toString();
        }
        return names;
    }

    // Selects the named rows once the model has read them.
    static bool Select(LocalPane& pane, const QStringList& names) {
        if (!QTest::qWaitFor([&] {
                const QStringList shown = Shown(pane);
                for (const QString& name : names) {
                    if (!shown.contains(name)) {
                        return false;
                    }
                }
                return true;
            })) {
            return false;
        }
        QItemSelectionModel* selection = pane.view()->selectionModel();
        selection->clear();
        const QModelIndex root = pane.view()->rootIndex();
        for (int row = 0; row < pane.view()->model()->rowCount(root); ++row) {
            const QModelIndex index = pane.view()->model()->index(row, 0, root);
            if (names.contains(index.data().toString())) {
                selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
                selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
            }
        }
        return true;
    }

    static QLineEdit* Editor(const LocalPane& pane) {
        QLineEdit* editor = nullptr;
        const bool open = QTest::qWaitFor([&] {
            editor = pane.view()->viewport()->findChild<QLineEdit*>();
            return editor != nullptr && editor->isVisible();
        });
        if (!open) {
            qFatal("no editor opened");
        }
        return editor;
    }

    static void TypeName(QLineEdit* editor, const QString& name) {
        editor->selectAll();
        QTest::keyClicks(editor, name);
        QTest::keyClick(editor, Qt::Key_Return);
    }

    static QStringList History(const LocalPane& pane) {
        auto* box = pane.findChild<QComboBox*>("localPath");
        QStringList items;
        for (int i = 0; i < box->count(); ++i) {
            items << box->itemText(i);
        }
        return items;
    }

  private slots:
    void init() {
        env_ = std::make_unique<test::TempEnv>();
        registry_ = std::make_unique<platform::RegistryFile>(env_->path("registry.reg"));
        settings_ = std::make_unique<Settings>(*registry_);
        boxes_.clear();
        answers_.clear();
    }
    void cleanup() {
        settings_.reset();
        registry_.reset();
        env_.reset();
    }

    void startFolder_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<int>("keep");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("expected");
        const struct {
            const char* what;
            const char* commandLine;
            int keep;
            const char* last;
            const char* expected;  // empty: the home folder
        } rows[] = {
            {"command-line folder first", "cl", 1, "last", "cl"},
            {"last folder when kept", "", 1, "last", "last"},
            {"last folder not kept", "", 0, "last", ""},
            {"nothing set: home", "", 1, "", ""},
            {"missing command-line folder", "gone", 1, "last", "last"},
            {"missing last folder", "", 1, "gone", ""},
            {"a file is no folder", "file", 0, "", ""},
        };
        for (const auto& row : rows) {
            QTest::newRow(row.what) << QString(row.commandLine) << row.keep << QString(row.last)
                                    << QString(row.expected);
        }
    }
    void startFolder() {
        QFETCH(QString, commandLine);
        QFETCH(int, keep);
        QFETCH(QString, last);
        QFETCH(QString, expected);
        MakeFolder("cl");
        MakeFolder("last");
        test::WriteFileBytes(env_->path("file"), "x");
        auto full = [this](const QString& relative) {
            return relative.isEmpty() ? QString() : Path(relative.toStdString()) + "/";
        };
        settings_->SetString("CLXDir", full(commandLine).toStdString());
        settings_->SetInt("KeepXDir", keep);
        settings_->SetString("LastXDir", full(last).toStdString());

        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        const QString folder = expected.isEmpty() ? Home() : Path(expected.toStdString());
        QCOMPARE(pane.currentFolder(), folder);
        QCOMPARE(pane.findChild<QComboBox*>("localPath")->currentText(), folder);
        QCOMPARE(QString::fromStdString(settings_->GetString("LastXDir")), full(last));
    }

    void movesBetweenFoldersAndRemembersTheLast() {
        MakeFolder("a/b");
        settings_->SetInt("KeepXDir", 1);
        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        QCOMPARE(Command(pane, "localUp")->toolTip(),
                 QStringLiteral("Up one level (to parent directory)"));
        QCOMPARE(Command(pane, "localNewFolder")->toolTip(),
                 QStringLiteral("Create new LOCAL folder"));
        QCOMPARE(pane.toolBar()->actions(),
                 (QList<QAction*>{Command(pane, "localUp"), Command(pane, "localNewFolder")}));
        QStringList changes;
        connect(&pane, &LocalPane::currentFolderChanged, this,
                [&changes](const QString& folder) { changes << folder; });

        auto* path = pane.findChild<QComboBox*>("localPath");
        path->lineEdit()->setText(Path("a/b/"));
        QTest::keyClick(path->lineEdit(), Qt::Key_Return);
        QCOMPARE(pane.currentFolder(), Path("a/b"));
        QCOMPARE(QString::fromStdString(settings_->GetString("LastXDir")), Path("a/b"));

        Command(pane, "localUp")->trigger();
        QCOMPARE(pane.currentFolder(), Path("a"));
        QCOMPARE(QString::fromStdString(settings_->GetString("LastXDir")), Path("a"));
        QCOMPARE(History(pane), (QStringList{Path("a"), Path("a/b"), Home()}));
        QCOMPARE(changes, (QStringList{Path("a/b"), Path("a")}));

        // A relative path is taken from the folder shown; a file is refused with a message.
        QVERIFY(pane.SetCurrentFolder("b"));
        QCOMPARE(pane.currentFolder(), Path("a/b"));
        test::WriteFileBytes(env_->path("a/b/f"), "");
        answers_ = {QMessageBox::Ok};
        QVERIFY(!pane.SetCurrentFolder(Path("a/b/f")));
        QCOMPARE(boxes_, QStringList{"Qvex|\"" + Path("a/b/f") + "\" is not a folder."});
        QCOMPARE(pane.currentFolder(), Path("a/b"));
        QCOMPARE(path->currentText(), Path("a/b"));

        // Without "KeepXDir" the last folder stays as it was.
        settings_->SetInt("KeepXDir", 0);
        Command(pane, "localUp")->trigger();
        QCOMPARE(pane.currentFolder(), Path("a"));
        QCOMPARE(QString::fromStdString(settings_->GetString("LastXDir")), Path("a/b"));

        QVERIFY(pane.SetCurrentFolder("/"));
        QVERIFY(!Command(pane, "localUp")->isEnabled());
    }

    void newFolderIsMadeAndNamedInPlace() {
        MakeFolder("work");
        settings_->SetString("CLXDir", env_->path("work"));
        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        // As a person would: the folder's listing is shown before the command.
        QSignalSpy loaded(qobject_cast<QFileSystemModel*>(pane.view()->model()),
                          &QFileSystemModel::directoryLoaded);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        QTRY_VERIFY(!loaded.isEmpty());

        Command(pane, "localNewFolder")->trigger();
        QVERIFY(std::filesystem::is_directory(env_->path("work/NewFolder")));
        QLineEdit* editor = Editor(pane);
        QVERIFY(editor != nullptr);
        QCOMPARE(editor->text(), QStringLiteral("NewFolder"));
        TypeName(editor, "Reports");
        QTRY_VERIFY(std::filesystem::is_directory(env_->path("work/Reports")));
        QVERIFY(!std::filesystem::exists(env_->path("work/NewFolder")));
        QTRY_COMPARE(Shown(pane), QStringList{"Reports"});

        // A second and a third: the name is made free.
        Command(pane, "localNewFolder")->trigger();
        QTest::keyClick(Editor(pane), Qt::Key_Escape);
        Command(pane, "localNewFolder")->trigger();
        QTest::keyClick(Editor(pane), Qt::Key_Escape);
        QVERIFY(std::filesystem::is_directory(env_->path("work/NewFolder")));
        QVERIFY(std::filesystem::is_directory(env_->path("work/NewFolder (2)")));

        // A folder that vanished under the pane.
        std::filesystem::remove_all(env_->path("work"));
        answers_ = {QMessageBox::Ok};
        Command(pane, "localNewFolder")->trigger();
        QCOMPARE(boxes_, QStringList{"Qvex|Unable to create the folder \"NewFolder\" in \"" +
                                     Path("work") + "\": No such file or directory."});
    }

    void renamesOnDiskAndSaysWhyNot() {
        MakeFolder("work");
        test::WriteFileBytes(env_->path("work/a.txt"), "a");
        test::WriteFileBytes(env_->path("work/c.txt"), "c");
        settings_->SetString("CLXDir", env_->path("work"));
        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));

        QVERIFY(Select(pane, {"a.txt"}));
        QVERIFY(Command(pane, "localRename")->isEnabled());
        QCOMPARE(Command(pane, "localRename")->shortcut(), QKeySequence(Qt::Key_F2));
        Command(pane, "localRename")->trigger();
        TypeName(Editor(pane), "b.txt");
        QTRY_VERIFY(std::filesystem::exists(env_->path("work/b.txt")));
        QCOMPARE(test::ReadFileBytes(env_->path("work/b.txt")), std::string("a"));
        QVERIFY(!std::filesystem::exists(env_->path("work/a.txt")));
        QTRY_COMPARE(Shown(pane), (QStringList{"b.txt", "c.txt"}));

        // An existing name is never replaced.
        QVERIFY(Select(pane, {"b.txt"}));
        Command(pane, "localRename")->trigger();
        QLineEdit* editor = Editor(pane);
        answers_ = {QMessageBox::Ok};
        TypeName(editor, "c.txt");
        QTRY_COMPARE(boxes_,
                     QStringList{"Qvex|Unable to rename \"b.txt\" to \"c.txt\": an entry of "
                                 "that name already exists."});
        QCOMPARE(test::ReadFileBytes(env_->path("work/b.txt")), std::string("a"));
        QCOMPARE(test::ReadFileBytes(env_->path("work/c.txt")), std::string("c"));

        // Two selected: nothing to rename.
        QVERIFY(Select(pane, {"b.txt", "c.txt"}));
        QVERIFY(!Command(pane, "localRename")->isEnabled());
    }

    void deleteMovesToTheTrashAfterAsking() {
        MakeFolder("work/sub");
        MakeFolder("data");  // the desktop's data folder, which holds the trash
        test::WriteFileBytes(env_->path("work/a.txt"), "a");
        test::WriteFileBytes(env_->path("work/sub/inner"), "i");
        test::WriteFileBytes(env_->path("work/keep"), "k");
        settings_->SetString("CLXDir", env_->path("work"));
        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        QCOMPARE(Command(pane, "localDelete")->shortcut(), QKeySequence(QKeySequence::Delete));

        // "No" keeps everything.
        QVERIFY(Select(pane, {"keep"}));
        answers_ = {QMessageBox::No};
        Command(pane, "localDelete")->trigger();
        QCOMPARE(boxes_, QStringList{"Delete|Move \"keep\" to the trash?"});
        QVERIFY(std::filesystem::exists(env_->path("work/keep")));

        QVERIFY(Select(pane, {"a.txt", "sub"}));
        boxes_.clear();
        answers_ = {QMessageBox::Yes};
        Command(pane, "localDelete")->trigger();
        QCOMPARE(boxes_, QStringList{"Delete|Move these 2 items to the trash?"});
        QVERIFY(!std::filesystem::exists(env_->path("work/a.txt")));
        QVERIFY(!std::filesystem::exists(env_->path("work/sub")));
        QCOMPARE(test::ReadFileBytes(env_->path("data/Trash/files/a.txt")), std::string("a"));
        QCOMPARE(test::ReadFileBytes(env_->path("data/Trash/files/sub/inner")), std::string("i"));
        QVERIFY(std::filesystem::exists(env_->path("data/Trash/info/a.txt.trashinfo")));
        QTRY_COMPARE(Shown(pane), QStringList{"keep"});

        // A file that vanished after it was selected.
        QVERIFY(Select(pane, {"keep"}));
        std::filesystem::remove(env_->path("work/keep"));
        boxes_.clear();
        answers_ = {QMessageBox::Yes, QMessageBox::Ok};
        Command(pane, "localDelete")->trigger();
        QCOMPARE(boxes_.size(), 2);
        QVERIFY2(boxes_[1].startsWith("Qvex|Unable to move to the trash:\nkeep: "),
                 qPrintable(boxes_[1]));
    }

    void showsAFileAnotherProcessWrites() {
        MakeFolder("work");
        settings_->SetString("CLXDir", env_->path("work"));
        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        const auto* model = qobject_cast<const QFileSystemModel*>(pane.view()->model());
        QVERIFY(model != nullptr);
        // Written once the folder is read and watched.
        QSignalSpy loaded(model, &QFileSystemModel::directoryLoaded);
        QVERIFY(loaded.wait());
        QCOMPARE(Shown(pane), QStringList{});
        QCOMPARE(QProcess::execute("/bin/sh", {"-c", "echo hello > \"$0\"",
                                               QString::fromStdString(env_->path("work/new.txt"))}),
                 0);
        QTRY_COMPARE(Shown(pane), QStringList{"new.txt"});
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Size"));
        QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Type"));
        QCOMPARE(model->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Date Modified"));
        // Types read as in the remote pane.
        MakeFolder("work/sub");
        test::WriteFileBytes(env_->path("work/README"), "plain");
        QTRY_COMPARE(Shown(pane).size(), 3);
        const QModelIndex folder = model->index(QString::fromStdString(env_->path("work/sub")));
        const QModelIndex plain = model->index(QString::fromStdString(env_->path("work/README")));
        QCOMPARE(model->data(folder.siblingAtColumn(2)).toString(), QStringLiteral("Folder"));
        QCOMPARE(model->data(plain.siblingAtColumn(2)).toString(), QStringLiteral("File"));
        QVERIFY(pane.view()->dragEnabled());
        QCOMPARE(pane.view()->selectionMode(), QAbstractItemView::ExtendedSelection);
    }

    void contextMenuAndProperties() {
        MakeFolder("work");
        test::WriteFileBytes(env_->path("work/a.txt"), "aa");
        test::WriteFileBytes(env_->path("work/b.txt"), "bbb");
        settings_->SetString("CLXDir", env_->path("work"));
        LocalPane pane(*settings_);
        pane.SetModalRunner(Runner());
        QStringList offered;
        pane.SetMenuExtension([&offered](QMenu& menu, const QStringList& selected) {
            offered = selected;
            menu.addAction("Compute MD5 checksum(s)");
        });

        // Selected in the order shown, once the view has sorted them.
        QTRY_COMPARE(Shown(pane), (QStringList{"a.txt", "b.txt"}));
        QVERIFY(Select(pane, {"b.txt", "a.txt"}));
        QMenu menu;
        pane.FillContextMenu(menu);
        QStringList texts;
        for (const QAction* action : menu.actions()) {
            texts << (action->isSeparator() ? "-" : action->text());
        }
        QCOMPARE(texts, (QStringList{"Compute MD5 checksum(s)", "-", "Re&name", "&Delete", "-",
                                     "P&roperties"}));
        QCOMPARE(offered, (QStringList{Path("work/a.txt"), Path("work/b.txt")}));
        QCOMPARE(pane.selectedPaths(), offered);

        Command(pane, "localProperties")->trigger();
        auto* dialog = pane.findChild<PropertiesDialog*>();
        QVERIFY(dialog != nullptr);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("a.txt, ... Properties"));
        QCOMPARE(dialog->findChild<QLabel*>("propertiesSize")->text(), QStringLiteral("5 bytes"));
        dialog->close();

        pane.view()->selectionModel()->clear();
        QVERIFY(!Command(pane, "localProperties")->isEnabled());
        QVERIFY(!Command(pane, "localDelete")->isEnabled());
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::LocalPaneTest)
#include "local_pane_test.moc"
