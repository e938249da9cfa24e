#include "ui/files_page.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

#include "state/settings.h"
#include "transfer/entry_types.h"
#include "ui/remote_pane.h"
#include "ui/remote_type_source.h"

namespace qvex {

FilesPage::FilesPage(Settings& settings, SharedHeap& heap, int iconSize, QWidget* parent)
    : QWidget(parent), settings_(settings), types_(std::make_unique<RemoteTypeSource>()) {
    setObjectName("filesPage");
    remote_ = new RemotePane(settings, heap);

    toolBar_ = new QToolBar("Files");
    toolBar_->setObjectName("filesToolbar");
    toolBar_->setIconSize(QSize(iconSize, iconSize));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // The transfer toggles and STOP go first, the local pane's buttons last.
    toolBar_->addAction(remote_->backAction());
    toolBar_->addAction(remote_->upAction());
    toolBar_->addAction(remote_->newFolderAction());
    toolBar_->addAction(remote_->refreshAction());

    copyLeft_ = new QToolButton;
    copyLeft_->setObjectName("copyLeft");
    copyLeft_->setText("<");
    copyLeft_->setEnabled(false);
    copyLeft_->setAccessibleName("<");

    local_ = new QLabel("Local files");
    local_->setObjectName("localPlaceholder");
    static_cast<QLabel*>(local_)->setAlignment(Qt::AlignCenter);
    local_->setEnabled(false);

    panes_ = new QHBoxLayout;
    panes_->setSpacing(6);
    panes_->addWidget(remote_, 1);
    panes_->addWidget(copyLeft_, 0, Qt::AlignVCenter);
    panes_->addWidget(local_, 1);

    session_ = new QLabel(kFilesNoSessionText);
    session_->setObjectName("filesSession");

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(4);
    layout->addWidget(toolBar_);
    layout->addLayout(panes_, 1);
    layout->addWidget(session_);
}

FilesPage::~FilesPage() {
    Stop();
    setEntryTypeSource(nullptr);
}

void FilesPage::SetCache(ListingCache& cache) {
    setEntryTypeSource(types_.get());
    ApplyLocalIcons();
    remote_->SetCache(cache, *types_);
}

void FilesPage::ApplyLocalIcons() {
    setExtensionLookup(settings_.GetInt("LocalIcons") != 0);
}

void FilesPage::SetSession(std::shared_ptr<SessionWorker> session) {
    remote_->SetSession(std::move(session));
}

void FilesPage::ShowSession(const QString& connectedTo) {
    session_->setText(connectedTo.isEmpty() ? QString(kFilesNoSessionText)
                                            : QString(kFilesSessionText) + connectedTo);
}

QString FilesPage::sessionText() const {
    return session_->text();
}

void FilesPage::SetLocalPane(QWidget* pane) {
    panes_->replaceWidget(local_, pane);
    delete local_;
    local_ = pane;
    panes_->setStretchFactor(pane, 1);
}

void FilesPage::Stop() {
    remote_->Stop();
}

}  // namespace qvex
