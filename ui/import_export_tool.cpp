#include "ui/import_export_tool.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QListView>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <utility>
#include <vector>

#include "state/hosts/host_exchange.h"
#include "ui/qt_text.h"

namespace qvex {

// The tool's list: a view of the rows of the exchange tool on display.
class HostRowsModel final : public QAbstractListModel {
  public:
    explicit HostRowsModel(QObject* parent) : QAbstractListModel(parent) {}

    void Show(const HostExchangeTool* tool) {
        beginResetModel();
        tool_ = tool;
        endResetModel();
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() || tool_ == nullptr ? 0 : static_cast<int>(tool_->rows().size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (tool_ == nullptr || !index.isValid() || index.row() >= rowCount({})) {
            return {};
        }
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
            return QString::fromStdString(tool_->rows()[static_cast<size_t>(index.row())]);
        }
        return {};
    }

  private:
    const HostExchangeTool* tool_ = nullptr;
};

namespace {

// Longer imports show that they are working; short ones do not flicker.
constexpr int kBusyDelayMs = 250;

QString AskOpenFileName(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, "Import Host Entries", {},
                                        Text(kExchangeFileFilter));
}

QString AskSaveFileName(QWidget* parent) {
    QFileDialog dialog(parent, "Export Host Entries", {}, Text(kExchangeFileFilter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(Text(kExchangeFileExtension).mid(1));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

QPushButton* Button(const char* name, const char* text, const char* toolTip, const char* iconName) {
    auto* button = new QPushButton(QIcon::fromTheme(iconName), text);
    button->setObjectName(name);
    button->setToolTip(toolTip);
    button->setAutoDefault(false);
    return button;
}

// The local files among dropped URLs.
std::vector<QString> LocalFiles(const QMimeData* data) {
    std::vector<QString> files;
    if (data == nullptr || !data->hasUrls()) {
        return files;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            files.push_back(url.toLocalFile());
        }
    }
    return files;
}

}  // namespace

ImportExportTool::ImportExportTool(HostList& hosts, QWidget* parent)
    : QDialog(parent),
      hosts_(hosts),
      dialogs_{AskOpenFileName, AskSaveFileName},
      tool_(std::make_shared<HostExchangeTool>(hosts)) {
    setObjectName("importExportTool");
    setWindowTitle(Text(kExchangeToolTitle));
    setAcceptDrops(true);
    BuildControls();
    model_->Show(tool_.get());
    resize(620, 420);
}

ImportExportTool::~ImportExportTool() {
    pending_.clear();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void ImportExportTool::SetDialogs(ImportExportDialogs dialogs) {
    dialogs_ = std::move(dialogs);
}

void ImportExportTool::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 10);
    layout->setSpacing(8);

    auto* caption =
        new QLabel("&Host entries (select some to export only those; none selected exports all):");
    caption->setWordWrap(true);
    layout->addWidget(caption);

    auto* body = new QHBoxLayout;
    body->setSpacing(12);
    model_ = new HostRowsModel(this);
    list_ = new QListView;
    list_->setObjectName("exchangeList");
    list_->setAccessibleName("Host entries");
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setUniformItemSizes(true);
    list_->setAlternatingRowColors(true);
    list_->setStyleSheet("QListView::item { padding: 3px 4px; }");
    list_->setModel(model_);
    caption->setBuddy(list_);
    auto* listColumn = new QVBoxLayout;
    listColumn->setSpacing(4);
    listColumn->addWidget(list_, 1);
    auto* hint = new QLabel("Files dropped on this window are imported.");
    hint->setEnabled(false);  // a quiet hint, drawn in the disabled colour
    listColumn->addWidget(hint);
    body->addLayout(listColumn, 1);

    import_ = Button("importButton", "Import...", "Add the host entries of a QvexEx text file",
                     "document-open");
    paste_ = Button("pasteButton", "Paste", "Add the host entries of QvexEx text in the clipboard",
                    "edit-paste");
    export_ = Button("exportButton", "Export...",
                     "Write the selected host entries (or all) to a QvexEx text file",
                     "document-save-as");
    copy_ = Button("copyButton", "Copy",
                   "Place the selected host entries (or all) in the clipboard as QvexEx text",
                   "edit-copy");
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(6);
    buttons->addWidget(import_);
    buttons->addWidget(paste_);
    buttons->addSpacing(14);
    buttons->addWidget(export_);
    buttons->addWidget(copy_);
    buttons->addStretch(1);
    body->addLayout(buttons);
    layout->addLayout(body, 1);

    // The status line: the outcome of the last action, and a busy bar for a long import.
    auto* bottom = new QHBoxLayout;
    status_ = new QLabel;
    status_->setObjectName("exchangeStatus");
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setStyleSheet(
        "QLabel { background: palette(base); border: 1px solid palette(mid); "
        "border-radius: 3px; padding: 4px 8px; }");
    busy_ = new QProgressBar;
    busy_->setObjectName("exchangeBusy");
    busy_->setAccessibleName("Importing");
    busy_->setRange(0, 0);
    busy_->setMaximumWidth(120);
    busy_->setTextVisible(false);
    busy_->setVisible(false);
    busyDelay_ = new QTimer(this);
    busyDelay_->setSingleShot(true);
    busyDelay_->setInterval(kBusyDelayMs);
    connect(busyDelay_, &QTimer::timeout, this, [this] { busy_->setVisible(importing()); });
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close);
    bottom->addWidget(status_, 1);
    bottom->addWidget(busy_);
    bottom->addWidget(close);
    layout->addLayout(bottom);

    connect(import_, &QPushButton::clicked, this, [this] {
        const QString path = dialogs_.openFileName(this);
        if (!path.isEmpty()) {
            ImportFile(path);
        }
    });
    connect(paste_, &QPushButton::clicked, this, &ImportExportTool::Paste);
    connect(export_, &QPushButton::clicked, this, [this] {
        const QString path = dialogs_.saveFileName(this);
        if (!path.isEmpty()) {
            ExportFile(path);
        }
    });
    connect(copy_, &QPushButton::clicked, this, &ImportExportTool::Copy);
    connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QString ImportExportTool::statusText() const {
    return status_->text();
}

std::vector<size_t> ImportExportTool::SelectedRows() const {
    std::vector<size_t> rows;
    for (const QModelIndex& index : list_->selectionModel()->selectedRows()) {
        rows.push_back(static_cast<size_t>(index.row()));
    }
    return rows;
}

void ImportExportTool::ImportFile(const QString& path) {
    Enqueue({false, path.toStdString(), std::nullopt});
}

void ImportExportTool::Paste() {
    const QMimeData* offered = QGuiApplication::clipboard()->mimeData();
    Source source{true, {}, std::nullopt};
    if (offered != nullptr && offered->hasText()) {
        source.text = offered->text().toStdString();
    }
    Enqueue(std::move(source));
}

void ImportExportTool::ExportFile(const QString& path) {
    if (importing()) {
        return;
    }
    tool_->Export(SelectedRows(), path.toStdString());
    status_->setText(Text(tool_->status()));
}

void ImportExportTool::Copy() {
    if (importing()) {
        return;
    }
    ClipboardText clipboard;
    tool_->Copy(SelectedRows(), clipboard);
    if (clipboard.text) {
        QGuiApplication::clipboard()->setText(Text(*clipboard.text));
    }
    status_->setText(Text(tool_->status()));
}

void ImportExportTool::Enqueue(Source source) {
    pending_.push_back(std::move(source));
    if (!importing()) {
        StartNext();
    }
}

// The import runs on a copy of the tool, so the list on display is never changed under the
// view; the copy comes back with its rows and status when done.
void ImportExportTool::StartNext() {
    if (pending_.empty()) {
        return;
    }
    Source source = std::move(pending_.front());
    pending_.pop_front();
    auto work = std::make_shared<HostExchangeTool>(*tool_);
    worker_ = std::thread([this, work, source = std::move(source)] {
        if (source.clipboard) {
            work->Paste(ClipboardText{source.text});
        } else {
            work->Import(source.path);
        }
        QMetaObject::invokeMethod(
            this, [this, work] { Finish(work); }, Qt::QueuedConnection);
    });
    ShowBusy(true);
}

void ImportExportTool::Finish(std::shared_ptr<HostExchangeTool> result) {
    worker_.join();
    tool_ = std::move(result);
    model_->Show(tool_.get());
    status_->setText(Text(tool_->status()));
    emit hostsImported();
    if (pending_.empty()) {
        ShowBusy(false);
    } else {
        StartNext();
    }
}

void ImportExportTool::ShowBusy(bool busy) {
    for (QPushButton* button : {import_, paste_, export_, copy_}) {
        button->setEnabled(!busy);
    }
    if (busy) {
        busyDelay_->start();
    } else {
        busyDelay_->stop();
        busy_->setVisible(false);
    }
}

void ImportExportTool::dragEnterEvent(QDragEnterEvent* event) {
    if (!LocalFiles(event->mimeData()).empty()) {
        event->acceptProposedAction();
    }
}

void ImportExportTool::dragMoveEvent(QDragMoveEvent* event) {
    if (!LocalFiles(event->mimeData()).empty()) {
        event->acceptProposedAction();
    }
}

void ImportExportTool::dropEvent(QDropEvent* event) {
    const std::vector<QString> files = LocalFiles(event->mimeData());
    if (files.empty()) {
        return;
    }
    event->acceptProposedAction();
    for (const QString& path : files) {
        ImportFile(path);
    }
}

}  // namespace qvex
