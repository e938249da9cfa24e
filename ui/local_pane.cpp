#include "ui/local_pane.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <system_error>
#include <utility>

#include "platform/local_file.h"
#include "state/settings.h"
#include "transfer/entry_types.h"
#include "transfer/remote_entry.h"
#include "ui/file_columns.h"
#include "ui/properties_dialog.h"
#include "ui/qt_text.h"

namespace qvex {
namespace {

// Folders the path box remembers.
constexpr int kHistoryLength = 20;

std::filesystem::path FileSystemPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

bool Exists(const QString& path) {
    std::error_code error;
    return std::filesystem::symlink_status(FileSystemPath(path), error).type() !=
           std::filesystem::file_type::not_found;
}

// A folder as the pane names it: absolute, without "." or ".." or a trailing separator.
QString CleanFolder(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Renames in the entry's own folder; an existing entry of the new name is never replaced.
// Empty when it worked, else why not.
QString RenameLocal(const QString& from, const QString& newName) {
    if (newName.contains('/')) {
        return "a name cannot contain \"/\"";
    }
    const QString to = QFileInfo(from).absolutePath() + '/' + newName;
    if (Exists(to)) {
        return "an entry of that name already exists";
    }
    std::error_code error;
    std::filesystem::rename(FileSystemPath(from), FileSystemPath(to), error);
    return error ? QString::fromStdString(error.message()) : QString();
}

// The folder's files with the remote pane's size, type and date texts ("2.00 KB", "Folder",
// "Mar 3 2004"), so that both sides of the page read alike.
class LocalFolderModel final : public QFileSystemModel {
  public:
    using QFileSystemModel::QFileSystemModel;

    QVariant data(const QModelIndex& index, int role) const override {
        const int column = index.column();
        if (role != Qt::DisplayRole || column < 1 || column > 3) {
            return QFileSystemModel::data(index, role);
        }
        if (column == 1 && isDir(index)) {
            return QString();
        }
        if (column == 2) {
            // fileName() would ask this column's display text again.
            const QFileInfo info = fileInfo(index);
            RemoteEntry entry;
            entry.name = info.fileName().toStdString();
            entry.flags = info.isSymLink() ? kEntrySymLink : info.isDir() ? kEntryDirectory : 0;
            assignTypeAndIcon(entry);
            return Text(entryTypeAt(entryTypeOf(entry)).text);
        }
        ListItem item;
        setSizeAndTime(item, size(index), lastModified(index).toSecsSinceEpoch());
        return Text(column == 1 ? item.sizeText : item.dateText);
    }
};

// Renames on disk when an edit in place ends; the model sees the change on its own.
class RenameDelegate final : public QStyledItemDelegate {
  public:
    using Renamed = std::function<void(const QString& from, const QString& newName)>;
    RenameDelegate(Renamed renamed, QObject* parent)
        : QStyledItemDelegate(parent), renamed_(std::move(renamed)) {}

    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override {
        const auto* edit = qobject_cast<QLineEdit*>(editor);
        const auto* files = qobject_cast<QFileSystemModel*>(model);
        if (edit == nullptr || files == nullptr) {
            return;
        }
        const QString newName = edit->text().trimmed();
        if (!newName.isEmpty() && newName != files->fileName(index)) {
            renamed_(files->filePath(index), newName);
        }
    }

  private:
    Renamed renamed_;
};

}  // namespace

LocalPane::LocalPane(Settings& settings, QWidget* parent) : QWidget(parent), settings_(settings) {
    setObjectName("localPane");

    model_ = new LocalFolderModel(this);
    // Editable for rename in place; drops stay off in the view.
    model_->setReadOnly(false);

    view_ = new QTreeView;
    view_->setObjectName("localView");
    view_->setAccessibleName("Local files");
    view_->setModel(model_);
    view_->setRootIsDecorated(false);
    view_->setItemsExpandable(false);
    view_->setUniformRowHeights(true);
    view_->setSortingEnabled(true);
    view_->sortByColumn(0, Qt::AscendingOrder);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setDragEnabled(true);
    view_->setDragDropMode(QAbstractItemView::DragOnly);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    view_->setItemDelegate(new RenameDelegate(
        [this](const QString& from, const QString& newName) {
            const QString failure = RenameLocal(from, newName);
            if (!failure.isEmpty()) {
                ShowFailure(QString("Unable to rename \"%1\" to \"%2\": %3.")
                                .arg(QFileInfo(from).fileName(), newName, failure));
            }
        },
        view_));
    SizeFileColumns(*view_);

    path_ = new QComboBox;
    path_->setObjectName("localPath");
    path_->setAccessibleName("Local folder");
    path_->setEditable(true);
    path_->setInsertPolicy(QComboBox::NoInsert);
    path_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    toolBar_ = new QToolBar;
    toolBar_->setObjectName("localToolbar");
    toolBar_->setAccessibleName("Local folder commands");
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    up_ = AddCommand("localUp", "&Up", kLocalUpTip, "go-up");
    up_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Up));
    newFolder_ = AddCommand("localNewFolder", "New &Folder", kLocalNewFolderTip, "folder-new");
    toolBar_->addAction(up_);
    toolBar_->addAction(newFolder_);
    rename_ = AddCommand("localRename", "Re&name", "Rename the selected entry", "edit-rename");
    rename_->setShortcut(QKeySequence(Qt::Key_F2));
    delete_ = AddCommand("localDelete", "&Delete", "Move the selected entries to the trash",
                         "edit-delete");
    delete_->setShortcut(QKeySequence::Delete);
    properties_ = AddCommand("localProperties", "P&roperties", "Properties of the selected entries",
                             "document-properties");

    auto* top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->addWidget(path_);
    top->addWidget(toolBar_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(view_);

    connect(up_, &QAction::triggered, this, &LocalPane::GoUp);
    connect(newFolder_, &QAction::triggered, this, &LocalPane::MakeFolder);
    connect(rename_, &QAction::triggered, this, &LocalPane::StartRename);
    connect(delete_, &QAction::triggered, this, &LocalPane::DeleteSelection);
    connect(properties_, &QAction::triggered, this, &LocalPane::ShowProperties);
    connect(view_, &QAbstractItemView::activated, this,
            [this](const QModelIndex& index) { Activated(model_->filePath(index)); });
    connect(view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        FillContextMenu(menu);
        menu.exec(view_->viewport()->mapToGlobal(at));
    });
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &LocalPane::ShowEnabledState);
    connect(path_->lineEdit(), &QLineEdit::returnPressed, this,
            [this] { SetCurrentFolder(path_->currentText()); });
    connect(path_, &QComboBox::activated, this,
            [this](int index) { SetCurrentFolder(path_->itemText(index)); });
    // A listing of the folder taken before the new folder was made can drop its row, and with
    // it the editor; the row comes back with the next listing, and so does the editor.
    connect(model_, &QAbstractItemModel::rowsInserted, this, &LocalPane::EditNewFolder,
            Qt::QueuedConnection);
    connect(view_->itemDelegate(), &QAbstractItemDelegate::closeEditor, this,
            [this] { unnamedFolder_.clear(); });

    ShowFolder(StartFolder());
}

QAction* LocalPane::AddCommand(const char* name, const QString& text, const QString& toolTip,
                               const char* iconName) {
    static const std::pair<const char*, QStyle::StandardPixmap> kFallbacks[] = {
        {"go-up", QStyle::SP_FileDialogToParent},
        {"folder-new", QStyle::SP_FileDialogNewFolder},
        {"edit-delete", QStyle::SP_TrashIcon},
        {"edit-rename", QStyle::SP_FileIcon},
        {"document-properties", QStyle::SP_FileDialogInfoView},
    };
    QIcon fallback;
    for (const auto& [theme, pixmap] : kFallbacks) {
        if (qstrcmp(theme, iconName) == 0) {
            fallback = style()->standardIcon(pixmap);
        }
    }
    auto* action = new QAction(QIcon::fromTheme(iconName, fallback), text, this);
    action->setObjectName(name);
    action->setToolTip(toolTip);
    action->setStatusTip(toolTip);
    // Keys act while the pane has the focus, not on the other pages.
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(action);
    return action;
}

QString LocalPane::StartFolder() const {
    QStringList candidates{Text(settings_.GetString("CLXDir"))};
    if (settings_.GetInt("KeepXDir") != 0) {
        candidates << Text(settings_.GetString("LastXDir"));
    }
    for (const QString& candidate : candidates) {
        if (!candidate.isEmpty() && QFileInfo(candidate).isDir()) {
            return CleanFolder(candidate);
        }
    }
    return CleanFolder(QDir::homePath());
}

QStringList LocalPane::selectedPaths() const {
    QModelIndexList rows = view_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList paths;
    for (const QModelIndex& row : rows) {
        paths << model_->filePath(row);
    }
    return paths;
}

bool LocalPane::SetCurrentFolder(const QString& path) {
    const QString folder = CleanFolder(QDir(folder_).absoluteFilePath(path.trimmed()));
    if (!QFileInfo(folder).isDir()) {
        ShowFailure(QString("\"%1\" is not a folder.").arg(path));
        path_->setEditText(folder_);
        return false;
    }
    if (folder != folder_) {
        ShowFolder(folder);
        if (settings_.GetInt("KeepXDir") != 0) {
            settings_.SetString("LastXDir", folder.toStdString());
        }
    }
    return true;
}

void LocalPane::ShowNewEntry(const QString& path) {
    if (QFileInfo(path).absolutePath() == folder_) {
        // Asking the model for the path adds it when it exists, at the end. The model sorts
        // again only when the column changes, so it is sorted by another and back.
        (void)model_->index(path);
        const int column = view_->header()->sortIndicatorSection();
        const Qt::SortOrder order = view_->header()->sortIndicatorOrder();
        model_->sort(column == 0 ? 1 : 0, order);
        model_->sort(column, order);
    }
}

void LocalPane::ShowFolder(const QString& folder) {
    folder_ = folder;
    unnamedFolder_.clear();
    view_->selectionModel()->clear();
    model_->setRootPath(folder);
    view_->setRootIndex(model_->index(folder));
    RememberInHistory(folder);
    up_->setEnabled(!QDir(folder).isRoot());
    ShowEnabledState();
    emit currentFolderChanged(folder);
}

void LocalPane::RememberInHistory(const QString& folder) {
    const int known = path_->findText(folder);
    if (known >= 0) {
        path_->removeItem(known);
    }
    path_->insertItem(0, folder);
    while (path_->count() > kHistoryLength) {
        path_->removeItem(path_->count() - 1);
    }
    path_->setCurrentIndex(0);
}

void LocalPane::Activated(const QString& path) {
    if (QFileInfo(path).isDir()) {
        SetCurrentFolder(path);
    }
}

void LocalPane::GoUp() {
    QDir parent(folder_);
    const QString left = folder_;
    if (parent.cdUp() && SetCurrentFolder(parent.absolutePath())) {
        // The folder just left stays under the cursor.
        view_->setCurrentIndex(model_->index(left));
    }
}

void LocalPane::MakeFolder() {
    QString name = "NewFolder";
    for (int n = 2; Exists(folder_ + '/' + name); ++n) {
        name = QString("NewFolder (%1)").arg(n);
    }
    const QString path = QDir(folder_).filePath(name);
    if (!platform::MakeLocalFolder(QFile::encodeName(path).toStdString())) {
        ShowFailure(
            QString("Unable to create the folder \"%1\" in \"%2\": %3.")
                .arg(name, folder_, Text(platform::FileErrorText(platform::LastFileError()))));
        return;
    }
    unnamedFolder_ = path;
    EditNewFolder();
}

void LocalPane::EditNewFolder() {
    if (unnamedFolder_.isEmpty()) {
        return;
    }
    const QModelIndex index = model_->index(unnamedFolder_);
    if (index.isValid()) {
        view_->setCurrentIndex(index);
        view_->scrollTo(index);
        // Gives the focus back to an editor that is open already.
        view_->edit(index);
    }
}

void LocalPane::StartRename() {
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    if (rows.size() == 1) {
        view_->setCurrentIndex(rows.front());
        view_->edit(rows.front());
    }
}

void LocalPane::DeleteSelection() {
    const QStringList paths = selectedPaths();
    if (paths.isEmpty()) {
        return;
    }
    const QString question =
        paths.size() == 1 ? QString("Move \"%1\" to the trash?").arg(QFileInfo(paths[0]).fileName())
                          : QString("Move these %1 items to the trash?").arg(paths.size());
    QMessageBox box(QMessageBox::Question, "Delete", question, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setObjectName("localDeleteQuestion");
    box.setDefaultButton(QMessageBox::Yes);
    if (RunModal(modalRunner_, box) != QMessageBox::Yes) {
        return;
    }
    QStringList failures;
    for (const QString& path : paths) {
        QFile file(path);
        if (!file.moveToTrash()) {
            failures << QFileInfo(path).fileName() + ": " + file.errorString();
        }
    }
    if (!failures.isEmpty()) {
        ShowFailure("Unable to move to the trash:\n" + failures.join('\n'));
    }
}

void LocalPane::ShowProperties() {
    const QStringList paths = selectedPaths();
    if (paths.isEmpty()) {
        return;
    }
    auto* dialog = new PropertiesDialog(paths, this);
    dialog->SetModalRunner(modalRunner_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void LocalPane::SetMenuExtension(MenuExtension extension) {
    menuExtension_ = std::move(extension);
}

void LocalPane::SetModalRunner(ModalRunner runner) {
    modalRunner_ = std::move(runner);
}

void LocalPane::FillContextMenu(QMenu& menu) {
    if (menuExtension_) {
        menuExtension_(menu, selectedPaths());
        if (!menu.isEmpty()) {
            menu.addSeparator();
        }
    }
    menu.addAction(rename_);
    menu.addAction(delete_);
    menu.addSeparator();
    menu.addAction(properties_);
}

void LocalPane::ShowEnabledState() {
    const qsizetype selected = view_->selectionModel()->selectedRows().size();
    rename_->setEnabled(selected == 1);
    delete_->setEnabled(selected > 0);
    properties_->setEnabled(selected > 0);
}

void LocalPane::ShowFailure(const QString& text) {
    QMessageBox box(QMessageBox::Warning, "Qvex", text, QMessageBox::Ok, this);
    box.setObjectName("localProblem");
    (void)RunModal(modalRunner_, box);
}

}  // namespace qvex
