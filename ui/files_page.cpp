#include "ui/files_page.h"

#include <QAction>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileSystemModel>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <map>
#include <utility>

#include "engine/session.h"
#include "engine/session_command.h"
#include "state/settings.h"
#include "transfer/entry_types.h"
#include "ui/files_transfers.h"
#include "ui/local_pane.h"
#include "ui/properties_dialog.h"
#include "ui/qt_text.h"
#include "ui/remote_folder_model.h"
#include "ui/remote_pane.h"
#include "ui/remote_type_source.h"
#include "ui/site_search_dialog.h"
#include "ui/transfer_actions.h"
#include "ui/transfer_drag_data.h"

namespace qvex {

// The cache has one observer: this one passes the listing's calls on to the remote view and
// turns the local files a session stores into queued calls to the local pane.
class FilesObserver final : public DirectoryObserver {
  public:
    explicit FilesObserver(DirectoryObserver& remote) : remote_(remote) {}

    // Window thread, before any session runs.
    void SetLocalPane(LocalPane* pane) { local_ = pane; }

    void OnEntryAdded(int32_t id, int32_t position) override {
        remote_.OnEntryAdded(id, position);
    }
    void OnEntryChanged(int32_t id, int32_t position) override {
        remote_.OnEntryChanged(id, position);
    }
    void OnEntryRemoved(int32_t id, int32_t position) override {
        remote_.OnEntryRemoved(id, position);
    }
    void OnListingReady(int32_t id, int32_t flags, bool aborted) override {
        remote_.OnListingReady(id, flags, aborted);
    }
    void OnRenameFailed(int32_t id, int32_t position) override {
        remote_.OnRenameFailed(id, position);
    }
    void OnListingFileWritten(const std::string& path) override { ShowLocal(path); }
    void OnLocalFolderCreated(const std::string& path) override { ShowLocal(path); }
    void OnLocalFileStored(const std::string& path) override { ShowLocal(path); }

  private:
    void ShowLocal(const std::string& path) {
        if (local_ == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            local_, [pane = local_.data(), path = Text(path)] { pane->ShowNewEntry(path); },
            Qt::QueuedConnection);
    }

    DirectoryObserver& remote_;
    QPointer<LocalPane> local_;
};

namespace {

// A copy of a drop's data, for handling it after the drag has ended.
std::shared_ptr<QMimeData> CopyOf(const QMimeData& data) {
    auto copy = std::make_shared<QMimeData>();
    for (const QString& format : data.formats()) {
        copy->setData(format, data.data(format));
    }
    return copy;
}

}  // namespace

FilesPage::FilesPage(Settings& settings, SharedHeap& heap, int iconSize, QWidget* parent)
    : QWidget(parent), settings_(settings), types_(std::make_unique<RemoteTypeSource>()) {
    setObjectName("filesPage");
    remote_ = new RemotePane(settings, heap);

    toolBar_ = new QToolBar("Files");
    toolBar_->setObjectName("filesToolbar");
    toolBar_->setIconSize(QSize(iconSize, iconSize));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // The transfer toggles and STOP go first (SetCache), the local pane's buttons last.
    toolBar_->addAction(remote_->backAction());
    toolBar_->addAction(remote_->upAction());
    toolBar_->addAction(remote_->newFolderAction());
    toolBar_->addAction(remote_->refreshAction());
    search_ = MakeSiteSearchAction(this);
    search_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(search_);
    toolBar_->addSeparator();
    toolBar_->addAction(search_);
    connect(search_, &QAction::triggered, this, &FilesPage::OpenSearch);

    copyLeft_ = new QToolButton;
    copyLeft_->setObjectName("copyLeft");
    copyLeft_->setText("<");
    copyLeft_->setToolTip(kCopyLeftTip);
    copyLeft_->setAccessibleName("<");
    copyLeft_->setAccessibleDescription(kCopyLeftTip);
    copyLeft_->setEnabled(false);
    copyLeft_->setMinimumSize(28, 48);
    connect(copyLeft_, &QToolButton::clicked, this, &FilesPage::Upload);
    auto* middle = new QWidget;
    auto* middleLayout = new QVBoxLayout(middle);
    middleLayout->setContentsMargins(0, 0, 0, 0);
    middleLayout->addStretch(1);
    middleLayout->addWidget(copyLeft_);
    middleLayout->addStretch(1);

    local_ = new QLabel("Local files");
    local_->setObjectName("localPlaceholder");
    static_cast<QLabel*>(local_)->setAlignment(Qt::AlignCenter);
    local_->setEnabled(false);

    panes_ = new QSplitter(Qt::Horizontal);
    panes_->setObjectName("filesPanes");
    panes_->setChildrenCollapsible(false);
    panes_->addWidget(remote_);
    panes_->addWidget(middle);
    panes_->addWidget(local_);
    panes_->setStretchFactor(0, 1);
    panes_->setStretchFactor(1, 0);
    panes_->setStretchFactor(2, 1);

    sessionLine_ = new QLabel(kFilesNoSessionText);
    sessionLine_->setObjectName("filesSession");

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(4);
    layout->addWidget(toolBar_);
    layout->addWidget(panes_, 1);
    layout->addWidget(sessionLine_);

    // Remote entries and local files are dropped on the lists.
    QWidget* remoteList = remote_->view()->viewport();
    remote_->view()->setAcceptDrops(true);
    remoteList->setAcceptDrops(true);
    remoteList->installEventFilter(this);
    connect(remote_, &RemotePane::propertiesRequested, this,
            [this](int32_t id, const QList<int32_t>& positions) {
                ShowProperties(id, std::vector<int32_t>(positions.begin(), positions.end()));
            });
    UpdateActions();
}

FilesPage::~FilesPage() {
    Stop();
    if (cache_ != nullptr && cache_->observer() == observer_.get()) {
        cache_->SetObserver(nullptr);
    }
    setEntryTypeSource(nullptr);
}

void FilesPage::SetCache(ListingCache& cache, SearchReceivers& receivers) {
    cache_ = &cache;
    receivers_ = &receivers;
    setEntryTypeSource(types_.get());
    ApplyLocalIcons();
    remote_->SetCache(cache, *types_);
    observer_ = std::make_unique<FilesObserver>(*remote_->model());
    observer_->SetLocalPane(localPane_);
    cache.SetObserver(observer_.get());
    connect(remote_->model(), &RemoteFolderModel::listingReady, this, &FilesPage::UpdateActions);
    connect(remote_->model(), &QAbstractItemModel::modelReset, this, &FilesPage::UpdateActions);

    transfers_ = new FilesTransfers(settings_, cache, this, this);
    TransferActions& actions = transfers_->actions();
    QAction* first = toolBar_->actions().value(0);
    toolBar_->insertActions(first, actions.toolbarActions());
    toolBar_->insertSeparator(first);
    remote_->SetMenuDownloads(actions.getAsActions());
    connect(&actions, &TransferActions::getFilesAs, this,
            [this](TransferType mode) { GetFilesAs(static_cast<int>(mode)); });
    transfers_->SetSession(session_);
}

void FilesPage::ApplyLocalIcons() {
    setExtensionLookup(settings_.GetInt("LocalIcons") != 0);
}

void FilesPage::SetSession(std::shared_ptr<SessionWorker> session) {
    session_ = std::move(session);
    remote_->SetSession(session_);
    if (transfers_ != nullptr) {
        transfers_->SetSession(session_);
    }
    if (!session_) {
        // A search walks the session's folders; it ends with it.
        for (SiteSearchDialog* search : window()->findChildren<SiteSearchDialog*>()) {
            search->reject();
        }
    }
    UpdateActions();
}

void FilesPage::ShowSession(const QString& connectedTo) {
    sessionLine_->setText(connectedTo.isEmpty() ? QString(kFilesNoSessionText)
                                            : QString(kFilesSessionText) + connectedTo);
}

QString FilesPage::sessionText() const {
    return sessionLine_->text();
}

void FilesPage::SetLocalPane(LocalPane* pane) {
    const int at = panes_->indexOf(local_);
    QWidget* placeholder = panes_->replaceWidget(at, pane);
    delete placeholder;
    local_ = pane;
    localPane_ = pane;
    panes_->setStretchFactor(at, 1);
    // Both sides start equally wide, whatever their lists would like.
    panes_->setSizes({10000, copyLeft_->minimumWidth(), 10000});
    if (observer_) {
        observer_->SetLocalPane(pane);
    }
    // The pane's own buttons join the page's toolbar, at its end above the pane.
    pane->toolBar()->hide();
    auto* gap = new QWidget;
    gap->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar_->addWidget(gap);
    toolBar_->addActions(pane->toolBar()->actions());

    QTreeView* view = pane->view();
    view->setAcceptDrops(true);
    view->viewport()->setAcceptDrops(true);
    view->viewport()->installEventFilter(this);
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &FilesPage::UpdateActions);
    UpdateActions();
}

void FilesPage::Stop() {
    remote_->Stop();
}

void FilesPage::UpdateActions() {
    const bool shown = session_ && remote_->model() != nullptr &&
                       remote_->model()->directory() >= 0;
    search_->setEnabled(shown && receivers_ != nullptr);
    copyLeft_->setEnabled(shown && transfers_ != nullptr && localPane_ != nullptr &&
                          !localPane_->selectedPaths().isEmpty());
}

void FilesPage::Upload() {
    if (transfers_ == nullptr || localPane_ == nullptr || remote_->model() == nullptr) {
        return;
    }
    UploadRequest request;
    request.directoryId = remote_->model()->directory();
    for (const QString& path : localPane_->selectedPaths()) {
        request.paths.push_back(path.toStdString());
    }
    (void)transfers_->Upload(request);
}

void FilesPage::GetFilesAs(int mode) {
    if (transfers_ == nullptr || remote_->model() == nullptr) {
        return;
    }
    DownloadRequest request;
    request.directoryId = remote_->model()->directory();
    request.positions = remote_->SelectedPositions();
    request.mode = static_cast<TransferType>(mode);
    if (request.positions.empty()) {
        return;
    }
    remote_->Deselect(transfers_->Download(request).deselected);
}

void FilesPage::ShowProperties(int32_t id, const std::vector<int32_t>& positions) {
    std::vector<RemoteEntry> entries;
    std::vector<int32_t> shown;
    for (int32_t position : positions) {
        std::optional<RemoteEntry> entry = cache_->Entry(id, position);
        if (entry && !entry->name.empty()) {
            entries.push_back(std::move(*entry));
            shown.push_back(position);
        }
    }
    if (entries.empty()) {
        return;
    }
    auto* dialog = new PropertiesDialog(std::move(entries), {}, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &PropertiesDialog::chmodRequested, this,
            [this, id, shown](uint32_t mode, uint32_t decided) { Chmod(id, shown, mode, decided); });
    dialog->show();
}

void FilesPage::Chmod(int32_t id, const std::vector<int32_t>& positions, uint32_t mode,
                      uint32_t decided) {
    if (!session_) {
        return;
    }
    // Undecided bits keep each entry's own value: one command per resulting mode.
    std::map<uint32_t, std::vector<int32_t>> byMode;
    for (int32_t position : positions) {
        std::optional<RemoteEntry> entry = cache_->Entry(id, position);
        if (!entry || entry->name.empty()) {
            continue;
        }
        const uint32_t own = (entry->flags & kEntryModeValid) != 0 ? entryModeOf(*entry) : mode;
        byMode[(own & ~decided) | (mode & decided)].push_back(position);
    }
    for (auto& [result, group] : byMode) {
        PostCommand(*session_, kCommandSite, {}, 0, static_cast<int32_t>(result), id,
                    std::make_unique<PositionList>(*cache_, id, std::move(group)));
    }
}

void FilesPage::OpenSearch() {
    if (!session_ || cache_ == nullptr || receivers_ == nullptr || transfers_ == nullptr ||
        remote_->model()->directory() < 0) {
        return;
    }
    const SiteSearchContext context{settings_, *cache_, *receivers_,
                                    transfers_->actions().toggles()};
    (void)OpenSiteSearch(window(), context, session_, remote_->model()->directory());
}

bool FilesPage::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) {
        return QWidget::eventFilter(watched, event);
    }
    if (localPane_ != nullptr && watched == localPane_->view()->viewport()) {
        return DragOverLocal(event);
    }
    if (watched == remote_->view()->viewport()) {
        return DragOverRemote(event);
    }
    return QWidget::eventFilter(watched, event);
}

bool FilesPage::DragOverLocal(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    // Local files moved about on the local side are the pane's own business.
    if (transfers_ == nullptr || drop->mimeData() == nullptr ||
        !drop->mimeData()->hasFormat(kRemoteEntriesMimeType)) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() != QEvent::Drop) {
        return true;
    }
    // Onto a folder entry: into that folder; anywhere else: into the folder shown.
    QTreeView* view = localPane_->view();
    const QModelIndex under = view->indexAt(drop->position().toPoint());
    const auto* files = qobject_cast<const QFileSystemModel*>(view->model());
    const QString folder = files != nullptr && under.isValid() && files->isDir(under)
                               ? files->filePath(under)
                               : localPane_->currentFolder();
    // The boxes a download may ask wait until the drag is over.
    QMetaObject::invokeMethod(
        this,
        [this, data = CopyOf(*drop->mimeData()), folder] {
            const DropResult result = transfers_->DropOnLocalPane(*data, folder.toStdString());
            const std::optional<RemoteEntriesDrag> entries = DecodeRemoteEntries(*data);
            if (entries && entries->directoryId == remote_->model()->directory()) {
                remote_->Deselect(result.deselected);
            }
        },
        Qt::QueuedConnection);
    return true;
}

bool FilesPage::DragOverRemote(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    // Entries of this pane dropped on itself are no transfer.
    if (transfers_ == nullptr || drop->mimeData() == nullptr ||
        drop->mimeData()->hasFormat(kRemoteEntriesMimeType) ||
        !FilesTransfers::CarriesDrop(*drop->mimeData())) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() != QEvent::Drop) {
        return true;
    }
    const QModelIndex under = remote_->view()->indexAt(drop->position().toPoint());
    const int32_t position = under.isValid() ? remote_->model()->PositionAt(under.row()) : -1;
    QMetaObject::invokeMethod(
        this,
        [this, data = CopyOf(*drop->mimeData()), id = remote_->model()->directory(), position] {
            (void)transfers_->DropOnRemotePane(*data, id, position);
        },
        Qt::QueuedConnection);
    return true;
}

}  // namespace qvex
