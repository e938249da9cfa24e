#include "ui/remote_pane.h"

#include <QAbstractItemDelegate>
#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "engine/control_connection.h"
#include "engine/session.h"
#include "state/settings.h"
#include "transfer/navigation.h"
#include "transfer/remote_operations.h"
#include "ui/file_columns.h"
#include "ui/qt_text.h"
#include "ui/remote_folder_model.h"

namespace qvex {
namespace {

QAction* MakeAction(QWidget* owner, const char* text, const char* themeIcon,
                    QStyle::StandardPixmap fallback, const char* toolTip,
                    const QKeySequence& key = {}) {
    auto* action = new QAction(
        QIcon::fromTheme(themeIcon, owner->style()->standardIcon(fallback)), text, owner);
    action->setToolTip(toolTip);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    owner->addAction(action);
    return action;
}

// The folder above an absolute path; empty for the root or a relative path.
std::string ParentPath(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (path.empty() || path[0] != '/' || path == "/" || slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

RemotePane::RemotePane(Settings& settings, SharedHeap& heap, QWidget* parent)
    : QWidget(parent), settings_(settings), status_(heap) {
    setObjectName("remotePane");
    setAccessibleName("Remote");
    path_ = new QComboBox;
    path_->setObjectName("remotePath");
    path_->setEditable(true);
    path_->setInsertPolicy(QComboBox::NoInsert);
    path_->setAccessibleName("Remote folder");
    path_->setToolTip("Remote folder: type a path and press Enter");
    view_ = new QTreeView;
    view_->setObjectName("remoteList");
    view_->setAccessibleName("Remote files");
    view_->setRootIsDecorated(false);
    view_->setUniformRowHeights(true);
    view_->setAllColumnsShowFocus(true);
    view_->setAlternatingRowColors(true);
    view_->setSortingEnabled(false);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setEditTriggers(QAbstractItemView::EditKeyPressed);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    // Rows drag out as remote entries; the page handles what is dropped on the list.
    view_->setDragEnabled(true);
    view_->setDragDropMode(QAbstractItemView::DragOnly);
    view_->header()->setSortIndicatorShown(false);
    view_->header()->setSectionsClickable(true);

    statusIcon_ = new QLabel;
    statusIcon_->setFixedSize(16, 16);
    statusLine_ = new QLabel;
    statusLine_->setObjectName("remoteStatus");
    statusLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusLine_->setMinimumWidth(40);
    statusLine_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* statusRow = new QHBoxLayout;
    statusRow->setContentsMargins(2, 0, 2, 0);
    statusRow->addWidget(statusIcon_);
    statusRow->addWidget(statusLine_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(path_);
    layout->addWidget(view_, 1);
    layout->addLayout(statusRow);

    back_ = MakeAction(this, "Back", "go-previous", QStyle::SP_ArrowBack, kBackTip,
                       QKeySequence::Back);
    up_ = MakeAction(this, "Up", "go-up", QStyle::SP_FileDialogToParent, kRemoteUpTip,
                     QKeySequence(Qt::ALT | Qt::Key_Up));
    newFolder_ = MakeAction(this, "New Folder", "folder-new", QStyle::SP_FileDialogNewFolder,
                            kNewRemoteFolderTip);
    refresh_ = MakeAction(this, "Refresh", "view-refresh", QStyle::SP_BrowserReload, "Refresh",
                          QKeySequence(Qt::Key_F5));
    open_ = MakeAction(this, "&Open", "document-open", QStyle::SP_DirOpenIcon, "Open");
    rename_ = MakeAction(this, "Re&name", "edit-rename", QStyle::SP_FileIcon, "Rename",
                         QKeySequence(Qt::Key_F2));
    delete_ = MakeAction(this, "&Delete", "edit-delete", QStyle::SP_TrashIcon, "Delete",
                         QKeySequence::Delete);
    site_ = MakeAction(this, "SITE Co&mmand...", "utilities-terminal", QStyle::SP_ComputerIcon,
                       "Send a SITE command");
    properties_ = MakeAction(this, "P&roperties", "document-properties",
                             QStyle::SP_FileDialogInfoView, "Properties");
    rawListing_ = MakeAction(this, "Raw listing log", "", QStyle::SP_FileDialogDetailedView,
                             "Log listings as they come", QKeySequence(Qt::CTRL | Qt::Key_R));
    open_->setShortcutContext(Qt::WidgetShortcut);

    connect(back_, &QAction::triggered, this, &RemotePane::GoBack);
    connect(up_, &QAction::triggered, this, &RemotePane::GoUp);
    connect(newFolder_, &QAction::triggered, this, &RemotePane::NewFolder);
    connect(refresh_, &QAction::triggered, this, &RemotePane::Refresh);
    connect(open_, &QAction::triggered, this, [this] { Open(view_->currentIndex()); });
    connect(rename_, &QAction::triggered, this, &RemotePane::Rename);
    connect(delete_, &QAction::triggered, this, &RemotePane::Delete);
    connect(site_, &QAction::triggered, this, &RemotePane::Site);
    connect(properties_, &QAction::triggered, this, &RemotePane::Properties);
    connect(rawListing_, &QAction::triggered, this, [this] {
        if (session_) {
            ToggleRawListingLog(*session_);
        }
    });
    connect(view_, &QAbstractItemView::activated, this, &RemotePane::Open);
    connect(view_, &QWidget::customContextMenuRequested, this, &RemotePane::ShowMenu);
    // A typed path goes with Enter, a remembered one when it is picked from the list.
    auto goTo = [this](const QString& text) {
        const std::string path = text.trimmed().toStdString();
        if (!path.empty()) {
            Navigate(path, kNoDirectory, kNoPosition, kListShowUser,
                     path[0] == '/' ? path : std::string());
        }
    };
    connect(path_->lineEdit(), &QLineEdit::returnPressed, this,
            [this, goTo] { goTo(path_->currentText()); });
    connect(path_, &QComboBox::activated, this,
            [this, goTo](int index) { goTo(path_->itemText(index)); });
    UpdateActions();

    (void)status_.Start("^Log(Cmd|Raw)$", [this](std::string, std::string text) {
        QMetaObject::invokeMethod(
            this, [this, line = Text(text)] { ShowStatus(line); }, Qt::QueuedConnection);
    });
}

RemotePane::~RemotePane() {
    Stop();
    if (cache_ != nullptr && cache_->observer() == model_) {
        cache_->SetObserver(nullptr);
    }
}

void RemotePane::Stop() {
    status_.Stop();
}

void RemotePane::SetCache(ListingCache& cache, RemoteTypeSource& types) {
    cache_ = &cache;
    model_ = new RemoteFolderModel(cache, types, this);
    view_->setModel(model_);
    view_->setSortingEnabled(true);
    view_->header()->setSortIndicatorShown(true);
    // Listing order until the user picks a column.
    view_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    SizeFileColumns(*view_);
    cache.SetObserver(model_);
    connect(model_, &RemoteFolderModel::listingReady, this, &RemotePane::OnListingReady);
    connect(model_, &RemoteFolderModel::directoryFilling, this, &RemotePane::OnDirectoryFilling);
    connect(model_, &RemoteFolderModel::folderNamed, this, [this](const QString& name) {
        Post(kCommandMakeDirectory, name.toStdString(), 0, 0, model_->directory());
    });
    connect(model_, &RemoteFolderModel::renameAsked, this,
            [this](int32_t position, const QString& name) {
                const int32_t id = model_->directory();
                Post(kCommandRename, name.toStdString(), 0, position, id,
                     std::make_unique<PositionList>(*cache_, id, std::vector<int32_t>{position}));
            });
    // A folder being named that the user gives up goes again.
    connect(view_->itemDelegate(), &QAbstractItemDelegate::closeEditor, model_,
            &RemoteFolderModel::CancelNewFolder, Qt::QueuedConnection);
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RemotePane::UpdateActions);
    UpdateActions();
}

void RemotePane::SetSession(std::shared_ptr<SessionWorker> session) {
    session_ = std::move(session);
    if (!session_) {
        history_.clear();
        navigating_ = false;
        path_->clear();
        if (model_ != nullptr) {
            model_->SetDirectory(kNoDirectory);
        }
        // The next session may reach another server under the same paths: every folder
        // is listed afresh then.
        if (cache_ != nullptr) {
            for (int32_t id = 0; id < cache_->DirectoryCount(); ++id) {
                cache_->DropListing(id);
            }
        }
    }
    UpdateActions();
}

QString RemotePane::statusText() const {
    return statusLine_->text();
}

bool RemotePane::statusIconShown() const {
    return !statusIcon_->pixmap().isNull();
}

void RemotePane::ShowStatus(const QString& line) {
    statusLine_->setText(line);
    statusLine_->setToolTip(line);
    QIcon icon;
    if (line.size() >= 4 && line.startsWith("@@@")) {
        icon = QIcon::fromTheme("dialog-error", style()->standardIcon(QStyle::SP_MessageBoxCritical));
    } else if (line.size() >= 4 && line.startsWith("!!!")) {
        icon = QIcon::fromTheme("dialog-warning",
                                style()->standardIcon(QStyle::SP_MessageBoxWarning));
    }
    statusIcon_->setPixmap(icon.isNull() ? QPixmap() : icon.pixmap(16, 16));
}

void RemotePane::Post(int32_t kind, std::string text, int32_t a, int32_t b, int32_t c,
                      std::unique_ptr<CommandPayload> object) {
    if (session_) {
        PostCommand(*session_, kind, std::move(text), a, b, c, std::move(object));
    }
}

void RemotePane::Navigate(std::string text, int32_t parent, int32_t position, int32_t flags,
                          std::string awaitedPath) {
    if (!session_) {
        return;
    }
    navigating_ = true;
    awaitedParent_ = parent;
    awaitedPosition_ = position;
    awaitedPath_ = std::move(awaitedPath);
    Post(kCommandList, std::move(text), position, flags, parent);
}

void RemotePane::OnDirectoryFilling(int32_t id) {
    if (!navigating_ || cache_ == nullptr) {
        return;
    }
    const bool byEntry = awaitedParent_ >= 0 && cache_->FindChild(awaitedParent_, awaitedPosition_) == id;
    const bool byPath = !awaitedPath_.empty() && cache_->PathOf(id) == awaitedPath_;
    if (byEntry || byPath) {
        Adopt(id);
    }
}

void RemotePane::OnListingReady(int32_t id, int32_t flags, bool /*aborted*/) {
    if ((flags & kListShowUser) != 0) {
        Adopt(id);
        navigating_ = false;
    }
    UpdateActions();
}

void RemotePane::Adopt(int32_t id) {
    if (id != model_->directory()) {
        if (!goingBack_ && model_->directory() >= 0) {
            history_.push_back(model_->directory());
        }
        model_->SetDirectory(id);
        view_->scrollToTop();
        if (model_->rowCount() > 0) {
            view_->setCurrentIndex(model_->index(0, 0));
        }
    }
    goingBack_ = false;
    const QString path = Text(cache_->PathOf(id).value_or(std::string()));
    const int known = path_->findText(path);
    if (known >= 0) {
        path_->removeItem(known);
    }
    path_->insertItem(0, path);
    path_->setCurrentIndex(0);
    UpdateActions();
}

void RemotePane::Open(const QModelIndex& index) {
    std::optional<RemoteEntry> entry = model_ != nullptr ? model_->EntryAt(index.row()) : std::nullopt;
    if (!entry || (!isDirectory(*entry) && !isSymLink(*entry))) {
        return;
    }
    const int32_t id = model_->directory();
    Navigate(directoryArgument(*entry), id, model_->PositionAt(index.row()), kListShowUser, {});
}

void RemotePane::GoBack() {
    while (!history_.empty()) {
        const int32_t previous = history_.back();
        history_.pop_back();
        std::optional<std::string> path = cache_->PathOf(previous);
        if (path) {
            goingBack_ = true;
            Navigate(*path, kNoDirectory, kNoPosition, kListShowUser, *path);
            return;
        }
    }
}

void RemotePane::GoUp() {
    if (model_ == nullptr || model_->directory() < 0) {
        return;
    }
    const std::string path = cache_->PathOf(model_->directory()).value_or(std::string());
    const std::string parent = ParentPath(path);
    if (!parent.empty()) {
        Navigate(parent, kNoDirectory, kNoPosition, kListShowUser, parent);
    } else if (path != "/") {
        Navigate("..", kNoDirectory, kNoPosition, kListShowUser, {});
    }
}

void RemotePane::Refresh() {
    if (model_ == nullptr || model_->directory() < 0 || !session_) {
        return;
    }
    const int32_t id = model_->directory();
    const std::string path = cache_->PathOf(id).value_or(std::string());
    cache_->DropListing(id);
    model_->Clear();
    Navigate(path, kNoDirectory, kNoPosition, kListShowUser | kListRefresh, path);
}

void RemotePane::NewFolder() {
    if (model_ == nullptr || model_->directory() < 0 || !session_) {
        return;
    }
    const QModelIndex row = model_->BeginNewFolder();
    view_->scrollTo(row);
    view_->setCurrentIndex(row);
    view_->edit(row);
}

void RemotePane::Rename() {
    const QModelIndex current = view_->currentIndex();
    if (current.isValid()) {
        view_->edit(current.siblingAtColumn(RemoteFolderModel::kName));
    }
}

std::vector<int32_t> RemotePane::SelectedPositions() const {
    std::vector<int32_t> positions;
    if (model_ == nullptr) {
        return positions;
    }
    for (const QModelIndex& index : view_->selectionModel()->selectedRows()) {
        const int32_t position = model_->PositionAt(index.row());
        if (position >= 0) {
            positions.push_back(position);
        }
    }
    std::sort(positions.begin(), positions.end());
    return positions;
}

void RemotePane::Deselect(const std::vector<int32_t>& positions) {
    for (int32_t position : positions) {
        const int row = model_ != nullptr ? model_->RowOf(position) : -1;
        if (row >= 0) {
            view_->selectionModel()->select(
                model_->index(row, 0),
                QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        }
    }
}

void RemotePane::SetMenuDownloads(QList<QAction*> actions) {
    downloads_ = std::move(actions);
}

void RemotePane::Delete() {
    if (model_ == nullptr || !session_) {
        return;
    }
    const int32_t id = model_->directory();
    std::vector<int32_t> positions = SelectedPositions();
    if (settings_.GetInt("RemoteDelete1") != 0) {
        std::erase_if(positions, [&](int32_t position) {
            std::optional<RemoteEntry> entry = cache_->Entry(id, position);
            if (!entry || !isDirectory(*entry)) {
                return false;
            }
            return QMessageBox::question(this, "Delete",
                                         QString(kDeleteFolderQuestion).arg(Text(entry->name)),
                                         QMessageBox::Yes | QMessageBox::No,
                                         QMessageBox::No) != QMessageBox::Yes;
        });
    }
    if (positions.empty()) {
        return;
    }
    Post(kCommandDelete, {}, 0, kDeleteRecursive, id,
         std::make_unique<PositionList>(*cache_, id, std::move(positions)));
}

void RemotePane::Site() {
    if (model_ == nullptr || !session_) {
        return;
    }
    bool ok = false;
    const QString line = QInputDialog::getText(this, "SITE Command", "Command:",
                                               QLineEdit::Normal, kSitePrefix, &ok);
    if (ok && !line.trimmed().isEmpty()) {
        Post(kCommandSite, line.toStdString(), 0, 0, model_->directory());
    }
}

void RemotePane::Properties() {
    const std::vector<int32_t> positions = SelectedPositions();
    if (!positions.empty()) {
        emit propertiesRequested(model_->directory(),
                                 QList<int32_t>(positions.begin(), positions.end()));
    }
}

void RemotePane::UpdateActions() {
    const bool shown = session_ && model_ != nullptr && model_->directory() >= 0;
    const bool selected = shown && view_->selectionModel() != nullptr &&
                          view_->selectionModel()->hasSelection();
    const std::string path =
        shown ? cache_->PathOf(model_->directory()).value_or(std::string()) : std::string();
    back_->setEnabled(shown && !history_.empty());
    up_->setEnabled(shown && path != "/");
    newFolder_->setEnabled(shown);
    refresh_->setEnabled(shown);
    site_->setEnabled(shown);
    rename_->setEnabled(selected);
    delete_->setEnabled(selected);
    properties_->setEnabled(selected);
    open_->setEnabled(selected);
}

void RemotePane::ShowMenu(const QPoint& at) {
    UpdateActions();
    QMenu menu(this);
    menu.addAction(open_);
    menu.addSeparator();
    for (QAction* download : downloads_) {
        download->setEnabled(properties_->isEnabled());
        menu.addAction(download);
    }
    if (!downloads_.isEmpty()) {
        menu.addSeparator();
    }
    menu.addAction(newFolder_);
    menu.addAction(rename_);
    menu.addAction(delete_);
    menu.addSeparator();
    menu.addAction(site_);
    menu.addAction(refresh_);
    menu.addSeparator();
    menu.addAction(properties_);
    menu.exec(view_->viewport()->mapToGlobal(at));
}

}  // namespace qvex
