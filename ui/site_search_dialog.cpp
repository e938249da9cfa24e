#include "ui/site_search_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "engine/session.h"
#include "search/search_pattern.h"
#include "state/settings.h"
#include "transfer/listing_cache.h"
#include "transfer/remote_operations.h"
#include "ui/qt_text.h"
#include "ui/search_results_model.h"

namespace qvex {
namespace {

// The one search dialog of the program.
QPointer<SiteSearchDialog> openDialog;

std::string RemotePath(const std::string& folder, const std::string& name) {
    return folder + (folder.ends_with('/') ? "" : "/") + name;
}

}  // namespace

std::string DeleteTreeQuestion(const std::string& remotePath) {
    return remotePath +
           "\r\nThis is a folder.\r\n\r\nDelete it with all the files and folders it contains?";
}

SiteSearchDialog::SiteSearchDialog(const SiteSearchContext& context,
                                   std::shared_ptr<SessionWorker> session, int32_t directoryId,
                                   bool modeless, QWidget* parent)
    : QDialog(parent),
      settings_(context.settings),
      cache_(context.cache),
      receivers_(context.receivers),
      toggles_(context.toggles),
      session_(std::move(session)),
      directoryId_(directoryId),
      modeless_(modeless),
      found_(this, [this] { ShowFound(); }),
      deleted_(this, [this] { DropDeletedRows(); }) {
    setObjectName("siteSearch");
    setWindowTitle(Text(SearchTitle(cache_.PathOf(directoryId_).value_or(""))));
    setModal(!modeless_);
    BuildControls();
    foundReceiver_ = receivers_.Add(found_);
    deletedReceiver_ = receivers_.Add(deleted_);
    ShowState();
}

SiteSearchDialog::~SiteSearchDialog() {
    StopReceiving();
}

void SiteSearchDialog::BuildControls() {
    const SearchSettings stored = LoadSearchSettings(settings_);

    pattern_ = new QLineEdit(Text(stored.lastSearch));
    pattern_->setObjectName("searchPattern");
    pattern_->setMaxLength(static_cast<int>(kMaxSearchPattern));
    pattern_->setToolTip("A wildcard pattern (* and ?), or with \"Use PCRE\" a regular expression");
    auto* patternLabel = new QLabel("&Pattern:");
    patternLabel->setBuddy(pattern_);
    subfolders_ = new QCheckBox("Search subfolders");
    subfolders_->setObjectName("searchSubfolders");
    subfolders_->setChecked(stored.searchTree);
    pcre_ = new QCheckBox("Use PCRE");
    pcre_->setObjectName("searchPcre");
    pcre_->setChecked(stored.searchPcre);
    search_ = new QPushButton("Search");
    search_->setObjectName("search");
    search_->setDefault(true);
    connect(search_, &QPushButton::clicked, this, &SiteSearchDialog::Search);

    model_ = new SearchResultsModel(results_, this);
    table_ = new QTableView;
    table_->setObjectName("searchResults");
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setShowGrid(false);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    // Rows as compact as a file pane's, one height for all.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(
        std::max(table_->fontMetrics().height(),
                 table_->style()->pixelMetric(QStyle::PM_SmallIconSize)) +
        6);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setSortIndicatorShown(true);
    table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    // The same column again reverses the order; another starts ascending.
    connect(table_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        const bool again = results_.sortColumn() == section + 1;
        const Qt::SortOrder order = again ? Qt::DescendingOrder : Qt::AscendingOrder;
        model_->sort(section, order);
        table_->horizontalHeader()->setSortIndicator(section, order);
    });

    get_ = new QAction(Text(kGetFilesTitle), this);
    get_->setObjectName("searchGet");
    connect(get_, &QAction::triggered, this, &SiteSearchDialog::GetSelected);
    delete_ = new QAction(QIcon::fromTheme("edit-delete"), "&Delete", this);
    delete_->setObjectName("searchDelete");
    delete_->setShortcut(QKeySequence::Delete);
    delete_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(delete_, &QAction::triggered, this, &SiteSearchDialog::DeleteSelected);
    table_->addAction(get_);
    table_->addAction(delete_);
    table_->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SiteSearchDialog::ShowState);
    connect(model_, &QAbstractItemModel::modelReset, this, &SiteSearchDialog::ShowState);

    getButton_ = new QPushButton(get_->text());
    getButton_->setObjectName("searchGetButton");
    connect(getButton_, &QPushButton::clicked, get_, &QAction::trigger);
    deleteButton_ = new QPushButton("Delete");
    deleteButton_->setObjectName("searchDeleteButton");
    connect(deleteButton_, &QPushButton::clicked, delete_, &QAction::trigger);
    auto* close = new QPushButton(modeless_ ? "Close" : "Cancel");
    close->setObjectName("searchClose");
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    status_ = new QLabel;
    status_->setObjectName("searchStatus");
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* patternRow = new QHBoxLayout;
    patternRow->addWidget(patternLabel);
    patternRow->addWidget(pattern_, 1);
    patternRow->addWidget(search_);
    auto* optionRow = new QHBoxLayout;
    optionRow->addWidget(subfolders_);
    optionRow->addWidget(pcre_);
    optionRow->addStretch(1);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(getButton_);
    buttonRow->addWidget(deleteButton_);
    buttonRow->addStretch(1);
    buttonRow->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(patternRow);
    layout->addLayout(optionRow);
    layout->addWidget(table_, 1);
    layout->addWidget(status_);
    layout->addLayout(buttonRow);
    resize(720, 420);
}

void SiteSearchDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (widthsSet_) {
        return;
    }
    widthsSet_ = true;
    const int width = table_->viewport()->width();
    for (size_t i = 0; i + 1 < kSearchColumns.size(); ++i) {
        table_->setColumnWidth(static_cast<int>(i), width * kSearchColumns[i].width / 100);
    }
}

void SiteSearchDialog::Search() {
    if (!session_) {
        return;
    }
    std::optional<SearchRequest> request =
        results_.Begin(pattern_->text().toStdString(), subfolders_->isChecked(), pcre_->isChecked(),
                       directoryId_, foundReceiver_);
    if (!request) {
        return;
    }
    model_->Changed();
    PostSiteSearch(*session_, *request);
    ShowState();
}

void SiteSearchDialog::ShowFound() {
    const SearchBatch batch = found_.Take();
    for (const auto& [folderId, index] : batch.matches) {
        (void)results_.AddMatch(cache_, folderId, index);
    }
    model_->Appended();
    if (batch.end) {
        results_.End(batch.end->first, batch.end->second);
        model_->Changed();
    }
    ShowState();
}

void SiteSearchDialog::ShowState() {
    search_->setEnabled(session_ && results_.phase() != SearchPhase::Searching);
    status_->setText(Text(results_.status()));
    const bool selected = session_ && table_->selectionModel()->hasSelection();
    get_->setEnabled(selected);
    delete_->setEnabled(selected);
    getButton_->setEnabled(selected);
    deleteButton_->setEnabled(selected);
}

std::vector<SiteSearchDialog::Group> SiteSearchDialog::SelectedByFolder() const {
    QModelIndexList selected = table_->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<Group> groups;
    for (const QModelIndex& index : selected) {
        const SearchRow* row = model_->RowAt(index.row());
        if (row == nullptr) {
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [row](const Group& g) { return g.folderId == row->folderId; });
        if (group == groups.end()) {
            group = groups.insert(groups.end(), Group{row->folderId, {}});
        }
        group->positions.push_back(row->index);
    }
    return groups;
}

void SiteSearchDialog::Unselect(int32_t folderId, const std::vector<int32_t>& positions) {
    for (int row = 0; row < model_->rowCount({}); ++row) {
        const SearchRow* hit = model_->RowAt(row);
        if (hit->folderId == folderId &&
            std::find(positions.begin(), positions.end(), hit->index) != positions.end()) {
            table_->selectionModel()->select(
                model_->index(row, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        }
    }
}

void SiteSearchDialog::GetSelected() {
    const std::vector<Group> groups = SelectedByFolder();
    if (groups.empty() || !session_) {
        return;
    }
    const std::optional<std::string> folder =
        ChooseDownloadFolder(this, runner_, Text(settings_.GetString("LastXDir")));
    if (!folder) {
        return;
    }
    // A get command fetches from one remote folder: hits in different folders take one each,
    // each looked up by name in its own folder.
    std::vector<DownloadSelection> selections;
    for (const Group& group : groups) {
        DownloadSelection& selection = selections.emplace_back();
        selection.origin = DownloadOrigin::SearchResults;
        selection.directoryId = group.folderId;
        selection.positions = group.positions;
        selection.folder = *folder;
    }
    const std::vector<DownloadComposition> composed =
        composeDownloads(*session_, cache_, settings_, toggles_, selections,
                         OverwriteQuestionBox(this, runner_));
    for (size_t at = 0; at < groups.size(); ++at) {
        Unselect(groups[at].folderId, composed[at].deselected);
    }
}

void SiteSearchDialog::DeleteSelected() {
    const std::vector<Group> groups = SelectedByFolder();
    if (groups.empty() || !session_) {
        return;
    }
    const bool ask = settings_.GetInt("RemoteDelete2") != 0;
    // The same Yes/No/Cancel box with a warning icon as the overwrite question.
    const ConfirmOverwrite box = OverwriteQuestionBox(this, runner_);
    // Every question is answered before anything is queued, so Cancel deletes nothing.
    std::vector<Group> kept;
    for (const Group& group : groups) {
        Group& keep = kept.emplace_back(Group{group.folderId, {}});
        for (int32_t position : group.positions) {
            const std::optional<RemoteEntry> entry = cache_.Entry(group.folderId, position);
            if (!entry || entry->name.empty()) {
                continue;
            }
            if (ask && isDirectory(*entry)) {
                const std::string path =
                    RemotePath(cache_.PathOf(group.folderId).value_or(""), entry->name);
                switch (box(kSearchDeleteTitle, DeleteTreeQuestion(path))) {
                    case OverwriteAnswer::Cancel:
                        return;
                    case OverwriteAnswer::No:
                        continue;
                    case OverwriteAnswer::Yes:
                        break;
                }
            }
            keep.positions.push_back(position);
        }
    }
    bool queued = false;
    for (Group& group : kept) {
        if (group.positions.empty()) {
            continue;
        }
        PostCommand(
            *session_, kCommandDelete, {}, 0, kDeleteRecursive, group.folderId,
            std::make_unique<PositionList>(cache_, group.folderId, std::move(group.positions)));
        queued = true;
    }
    if (queued) {
        // A search of no folder ends at once: its end says the deletes before it have run.
        PostSiteSearch(*session_, SearchRequest{"", 0, kNoDirectory, deletedReceiver_});
    }
}

void SiteSearchDialog::DropDeletedRows() {
    (void)deleted_.Take();
    // A deleted entry keeps its place without a name; a folder below a deleted one is
    // forgotten by the cache.
    std::vector<std::pair<int32_t, int32_t>> gone;
    for (const SearchRow& row : results_.rows()) {
        const std::optional<RemoteEntry> entry = cache_.Entry(row.folderId, row.index);
        if (!entry || entry->name != row.entry.name) {
            gone.emplace_back(row.folderId, row.index);
        }
    }
    if (gone.empty()) {
        return;
    }
    for (const auto& [folderId, index] : gone) {
        (void)results_.RemoveRow(folderId, index);
    }
    model_->Changed();
}

void SiteSearchDialog::StopReceiving() {
    // Remove waits for a call in progress; afterwards nothing reaches the feeds.
    receivers_.Remove(foundReceiver_);
    receivers_.Remove(deletedReceiver_);
}

void SiteSearchDialog::done(int result) {
    SearchSettings values = LoadSearchSettings(settings_);
    values.lastSearch = pattern_->text().toStdString();
    values.searchTree = subfolders_->isChecked();
    values.searchPcre = pcre_->isChecked();
    StoreSearchSettings(settings_, values);
    StopReceiving();
    QDialog::done(result);
}

QAction* MakeSiteSearchAction(QObject* parent) {
    auto* action = new QAction(QIcon::fromTheme("edit-find"), kSearchCommandTip, parent);
    action->setObjectName("searchRemote");
    action->setToolTip(kSearchCommandTip);
    action->setShortcut(QKeySequence::Find);
    return action;
}

SiteSearchDialog* OpenSiteSearch(QWidget* parent, const SiteSearchContext& context,
                                 std::shared_ptr<SessionWorker> session, int32_t directoryId) {
    if (openDialog) {
        openDialog->raise();
        openDialog->activateWindow();
        return openDialog->isModal() ? nullptr : openDialog.data();
    }
    const bool modeless = context.settings.GetInt("ModelessSearch") != 0;
    auto* dialog = new SiteSearchDialog(context, std::move(session), directoryId, modeless, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    openDialog = dialog;
    if (modeless) {
        dialog->show();
        return dialog;
    }
    dialog->exec();
    return nullptr;
}

}  // namespace qvex
