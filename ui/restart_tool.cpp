#include "ui/restart_tool.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <string_view>
#include <utility>

#include "ui/qt_text.h"

namespace qvex {
namespace {

bool AskConfirmWipe(QWidget* parent, const QString& text) {
    return QMessageBox::warning(parent, Text(kRestartToolTitle), text,
                                QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace

// The tool's list: a view of the restart tool's rows.
class RestartRowsModel final : public QAbstractTableModel {
  public:
    RestartRowsModel(const RestartTool& tool, QObject* parent)
        : QAbstractTableModel(parent), tool_(tool) {}

    void Changed() {
        beginResetModel();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(tool_.rows().size());
    }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 3; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
            return {};
        }
        static const char* const kTitles[] = {"File", "Operation", "Host"};
        return section >= 0 && section < 3 ? QString(kTitles[section]) : QVariant();
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount({})) {
            return {};
        }
        const RestartToolRow& row = tool_.rows()[static_cast<size_t>(index.row())];
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
            switch (index.column()) {
                case 0:
                    return Text(row.file);
                case 1:
                    return Text(row.operation);
                default:
                    return Text(row.host);
            }
        }
        // A record that cannot be resumed can only be wiped: drawn greyed.
        if (role == Qt::ForegroundRole && !row.resumable) {
            return QPalette().color(QPalette::Disabled, QPalette::Text);
        }
        return {};
    }

  private:
    const RestartTool& tool_;
};

QString RestartWipeQuestion(const std::vector<RestartToolRow>& rows) {
    const QString what = rows.size() == 1
                             ? "'" + Text(rows.front().file) + "' (" + Text(rows.front().host) + ")"
                             : QString("%1 interrupted transfers").arg(rows.size());
    return "Delete restart info for " + what + "?\n\n(It can no longer be resumed.)";
}

RestartToolDialog::RestartToolDialog(RestartDatabase& database, const Settings& settings,
                                     bool sessionRunning, QWidget* parent)
    : QDialog(parent),
      tool_(database, settings, sessionRunning),
      sessionRunning_(sessionRunning),
      dialogs_{AskConfirmWipe} {
    setObjectName("restartTool");
    setWindowTitle(Text(kRestartToolTitle));
    BuildControls();
    const int initial = tool_.initialRow();
    if (initial >= 0) {
        table_->selectRow(initial);
        table_->setCurrentIndex(model_->index(initial, 0));
    }
    table_->setFocus();
    ShowState();
    resize(680, 340);
}

void RestartToolDialog::SetDialogs(RestartToolDialogs dialogs) {
    dialogs_ = std::move(dialogs);
}

void RestartToolDialog::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 10);
    layout->setSpacing(8);
    caption_ = new QLabel;
    caption_->setObjectName("restartCaption");
    layout->addWidget(caption_);

    model_ = new RestartRowsModel(tool_, this);
    table_ = new QTableView;
    table_->setObjectName("restartList");
    table_->setAccessibleName("Interrupted transfers");
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setAlternatingRowColors(true);
    table_->setShowGrid(false);
    table_->setWordWrap(false);
    table_->verticalHeader()->setVisible(false);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 10);
    table_->horizontalHeader()->setHighlightSections(false);
    table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setColumnWidth(0, 220);
    table_->setColumnWidth(1, table_->fontMetrics().horizontalAdvance("PUT(image)") + 32);
    caption_->setBuddy(table_);
    layout->addWidget(table_, 1);

    auto* wipeKey = new QAction("Wipe", this);
    wipeKey->setObjectName("restartDeleteKey");
    wipeKey->setShortcut(QKeySequence::Delete);
    wipeKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    table_->addAction(wipeKey);

    // The list's commands on the left, OK and Cancel on the right.
    auto* bottom = new QHBoxLayout;
    restart_ = new QPushButton(QIcon::fromTheme("media-playlist-repeat"), "Restart");
    restart_->setObjectName("restartButton");
    wipe_ = new QPushButton(QIcon::fromTheme("edit-delete"), "Wipe");
    wipe_->setObjectName("wipeButton");
    wipe_->setToolTip("Forget the selected interrupted transfers (at OK)");
    for (QPushButton* button : {restart_, wipe_}) {
        button->setAutoDefault(false);
        bottom->addWidget(button);
    }
    bottom->addStretch(1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    bottom->addWidget(buttons);
    layout->addLayout(bottom);

    connect(wipeKey, &QAction::triggered, this, &RestartToolDialog::Wipe);
    connect(wipe_, &QPushButton::clicked, this, &RestartToolDialog::Wipe);
    connect(restart_, &QPushButton::clicked, this, &RestartToolDialog::Restart);
    connect(table_, &QTableView::doubleClicked, this, &RestartToolDialog::Restart);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RestartToolDialog::ShowState);
    connect(buttons, &QDialogButtonBox::accepted, this, &RestartToolDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

std::vector<size_t> RestartToolDialog::SelectedRows() const {
    std::vector<size_t> rows;
    for (const QModelIndex& index : table_->selectionModel()->selectedRows()) {
        rows.push_back(static_cast<size_t>(index.row()));
    }
    return rows;
}

void RestartToolDialog::ShowState() {
    const std::vector<size_t> selected = SelectedRows();
    caption_->setText(tool_.rows().empty()
                          ? QString("No interrupted transfers are recorded.")
                          : QString("&Interrupted transfers that can be resumed:"));
    wipe_->setEnabled(!selected.empty());
    restart_->setEnabled(!sessionRunning_ && selected.size() == 1 &&
                         tool_.rows()[selected.front()].resumable);
    restart_->setToolTip(sessionRunning_
                             ? "Log off first: the running session keeps its own restart record"
                             : "Resume the selected transfer: connect to its host and continue it");
}

void RestartToolDialog::Wipe() {
    const size_t removed = tool_.Wipe(SelectedRows(), [this](const auto& rows) {
        return dialogs_.confirmWipe(this, RestartWipeQuestion(rows));
    });
    if (removed != 0) {
        model_->Changed();
        ShowState();
    }
}

void RestartToolDialog::Restart() {
    if (!sessionRunning_ && tool_.Restart(SelectedRows())) {
        accept();
    }
}

void RestartToolDialog::accept() {
    const RestartToolResult result = tool_.Commit();
    QDialog::accept();
    emit committed(result.resume, result.hideResumeButton);
}

}  // namespace qvex
