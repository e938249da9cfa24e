#include "ui/log_page.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "log/log_files.h"
#include "log/log_line_class.h"
#include "log/log_receiver.h"
#include "state/settings.h"
#include "ui/log_model.h"

namespace qvex {
namespace {

constexpr const char* kShowCommandsTip = "Show FTP server commands and responses";
constexpr const char* kShowExtendedTip = "Show FTP client extended output";
constexpr const char* kShowImportantTip = "Show FTP client NON-protocol errors";

// The short names on the colour key's swatches, in the key's order.
constexpr const char* kSwatchNames[] = {"Command", "1xx", "2xx",         "3xx",
                                        "4xx",     "5xx", "Information", "NON-FTP errors"};
static_assert(std::size(kSwatchNames) == std::tuple_size_v<decltype(kLogColorKey)>);

// The frame round the selector while the current log is on display.
constexpr const char* kCurrentLogFrame =
    "#logSelectorFrame { border: 2px solid rgb(220, 0, 0); border-radius: 4px; }";
constexpr const char* kSavedLogFrame =
    "#logSelectorFrame { border: 2px solid transparent; border-radius: 4px; }";

QColor ClassColor(int logClass) {
    const LogClassColor& color = kLogClassColors[static_cast<size_t>(logClass)];
    return {color.red, color.green, color.blue};
}

QString AskSaveFileName(QWidget* parent, const QString& proposed) {
    QFileDialog dialog(parent, QString::fromUtf8(kSaveLogTitle), proposed,
                       QString::fromUtf8(kSaveLogFilter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

void ShowSaveError(QWidget* parent, const QString& message) {
    QMessageBox::warning(parent, QString::fromUtf8(kSaveLogTitle), message);
}

}  // namespace

LogLineDelegate::LogLineDelegate(LogListView& view) : QStyledItemDelegate(&view), view_(view) {}

void LogLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    // The row's colour reaches to the view's right edge, past the end of short lines.
    item.rect.setRight(std::max(item.rect.right(), view_.viewport()->width()));
    QStyledItemDelegate::paint(painter, item, index);
    const int margin = 2 * (view_.style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
    view_.Widen(item.fontMetrics.horizontalAdvance(item.text) + margin);
}

LogPage::LogPage(SessionLogFiles& files, LogReceiver& receiver, Settings& settings, QWidget* parent)
    : QWidget(parent),
      files_(files),
      receiver_(receiver),
      settings_(settings),
      dialogs_{AskSaveFileName, ShowSaveError} {
    setObjectName(QStringLiteral("logPage"));
    const bool showCommands = settings_.GetInt("LogCmd") != 0;
    const bool showExtended = settings_.GetInt("LogExt") != 0;
    receiver_.SetLogging(settings_.GetInt("Logging") != 0);
    receiver_.SetShowCommands(showCommands);
    receiver_.SetShowExtended(showExtended);
    files_.SetDisplaySwitches(showCommands, showExtended);
    files_.displayedView().rebuildLogIndex(showCommands, showExtended);

    model_ = new LogModel(files_, this);
    model_->SetColored(settings_.GetInt("LogColor") != 0);
    BuildControls();
    commands_->setChecked(showCommands);
    extended_->setChecked(showExtended);
    FillSelector();
    ShowLoggingState();

    // A watcher may run on any thread; the change is taken up on the window thread, and
    // only while the page exists.
    QPointer<LogPage> page(this);
    for (const char* name : {"Logging", "LogColor"}) {
        settings_.WatchSetting(name, [page](const std::string& changed) {
            QCoreApplication* app = QCoreApplication::instance();
            if (app == nullptr) {
                return;  // the window is gone already
            }
            QMetaObject::invokeMethod(
                app,
                [page, changed] {
                    if (page) {
                        page->FollowSetting(QString::fromStdString(changed));
                    }
                },
                Qt::QueuedConnection);
        });
    }
}

LogPage::~LogPage() {
    // The receiver tells the model of each line; it ends before the model does.
    receiver_.Stop();
}

void LogPage::SetDialogs(LogPageDialogs dialogs) {
    dialogs_ = std::move(dialogs);
}

void LogPage::SetExiting() {
    for (QAction* action : {selectAll_, copy_, cut_}) {
        action->setEnabled(false);
    }
}

void LogPage::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(9, 9, 9, 9);
    layout->setSpacing(6);

    // The log chosen, what can be done with it, and which lines are shown.
    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    auto* selectorLabel = new QLabel(QStringLiteral("Session &log:"), this);
    selectorFrame_ = new QFrame(this);
    selectorFrame_->setObjectName(QStringLiteral("logSelectorFrame"));
    auto* frameLayout = new QHBoxLayout(selectorFrame_);
    frameLayout->setContentsMargins(2, 2, 2, 2);
    selector_ = new QComboBox(selectorFrame_);
    selector_->setObjectName(QStringLiteral("logSelector"));
    selector_->setToolTip(
        QStringLiteral("The session log on display: the current session's (framed in red) or a "
                       "saved one"));
    selector_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    selector_->setMinimumContentsLength(24);
    frameLayout->addWidget(selector_);
    selectorLabel->setBuddy(selector_);
    wipeButton_ = new QPushButton(QStringLiteral("Wipe"), this);
    wipeButton_->setObjectName(QStringLiteral("logWipeButton"));
    wipeButton_->setIcon(QIcon::fromTheme(QStringLiteral("edit-clear")));
    exportButton_ = new QPushButton(QStringLiteral("Export..."), this);
    exportButton_->setObjectName(QStringLiteral("logExportButton"));
    exportButton_->setToolTip(QStringLiteral("Save the log on display to a text file"));
    exportButton_->setIcon(QIcon::fromTheme(QStringLiteral("document-save-as")));
    top->addWidget(selectorLabel);
    top->addWidget(selectorFrame_);
    top->addWidget(wipeButton_);
    top->addWidget(exportButton_);
    top->addStretch(1);

    auto* switches = new QLabel(QStringLiteral("Show:"), this);
    commands_ = new QCheckBox(QStringLiteral("&Commands"), this);
    commands_->setObjectName(QStringLiteral("logShowCommands"));
    commands_->setToolTip(QString::fromUtf8(kShowCommandsTip));
    extended_ = new QCheckBox(QStringLiteral("E&xtended"), this);
    extended_->setObjectName(QStringLiteral("logShowExtended"));
    extended_->setToolTip(QString::fromUtf8(kShowExtendedTip));
    // Non-protocol lines are always shown: the box says so and cannot be cleared.
    important_ = new QCheckBox(QStringLiteral("I&mportant"), this);
    important_->setObjectName(QStringLiteral("logShowImportant"));
    important_->setToolTip(QString::fromUtf8(kShowImportantTip));
    important_->setChecked(true);
    important_->setEnabled(false);
    top->addWidget(switches);
    top->addWidget(commands_);
    top->addWidget(extended_);
    top->addWidget(important_);
    layout->addLayout(top);

    list_ = new LogListView(this);
    list_->setObjectName(QStringLiteral("logList"));
    list_->setAccessibleName(QStringLiteral("Session log"));
    list_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    list_->setItemDelegate(new LogLineDelegate(*list_));
    list_->setModel(model_);
    layout->addWidget(list_, 1);

    // The colour key, and a word when logging is off.
    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(4);
    bottom->addWidget(new QLabel(QStringLiteral("Key:"), this));
    for (size_t slot = 0; slot < kLogColorKey.size(); ++slot) {
        auto* swatch = new QLabel(QString::fromUtf8(kSwatchNames[slot]), this);
        swatch->setObjectName(QStringLiteral("logKey%1").arg(slot));
        swatch->setToolTip(QString::fromUtf8(kLogColorKey[slot].tooltip));
        swatch->setAlignment(Qt::AlignCenter);
        swatch->setStyleSheet(QStringLiteral("QLabel { background: %1; color: black; border: 1px "
                                             "solid rgba(0, 0, 0, 60); border-radius: 3px; "
                                             "padding: 2px 8px; }")
                                  .arg(ClassColor(kLogColorKey[slot].logClass).name()));
        bottom->addWidget(swatch);
    }
    bottom->addStretch(1);
    loggingOff_ = new QLabel(
        QStringLiteral("Logging is off: only NON-protocol errors are recorded (Options, Logging)"),
        this);
    loggingOff_->setObjectName(QStringLiteral("logLoggingOff"));
    loggingOff_->setStyleSheet(QStringLiteral("QLabel { color: rgb(170, 0, 0); }"));
    bottom->addWidget(loggingOff_);
    layout->addLayout(bottom);

    auto makeAction = [this](const char* name, const QString& text, QKeySequence::StandardKey key,
                             std::function<void()> run) {
        auto* action = new QAction(text, this);
        action->setObjectName(QString::fromUtf8(name));
        action->setShortcut(key);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, std::move(run));
        addAction(action);
        return action;
    };
    selectAll_ = makeAction("logSelectAll", QStringLiteral("Select &All"), QKeySequence::SelectAll,
                            [this] { list_->selectAll(); });
    // Cut removes nothing from a log: both copy.
    copy_ = makeAction("logCopy", QStringLiteral("&Copy"), QKeySequence::Copy,
                       [this] { CopyToClipboard(); });
    cut_ = makeAction("logCut", QStringLiteral("Cu&t"), QKeySequence::Cut,
                      [this] { CopyToClipboard(); });
    list_->setContextMenuPolicy(Qt::ActionsContextMenu);
    list_->addActions({copy_, selectAll_});

    connect(selector_, &QComboBox::activated, this, &LogPage::ChooseLog);
    connect(wipeButton_, &QPushButton::clicked, this, &LogPage::WipeOrDelete);
    connect(exportButton_, &QPushButton::clicked, this, &LogPage::ExportLog);
    connect(commands_, &QCheckBox::toggled, this, &LogPage::SwitchesChanged);
    connect(extended_, &QCheckBox::toggled, this, &LogPage::SwitchesChanged);
    // Follow the tail while the view is at its end; leave a reader who scrolled up alone.
    connect(model_, &LogModel::rowsAppended, this, [this] {
        if (list_->verticalScrollBar()->value() >= list_->verticalScrollBar()->maximum() - 1) {
            list_->scrollToBottom();
        }
    });
}

void LogPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The saved logs are looked for when the page is first shown, once per run.
    if (!listed_) {
        listed_ = true;
        (void)files_.ListSavedLogs();
        FillSelector();
    }
}

void LogPage::FillSelector() {
    selector_->clear();
    for (const std::string& text : files_.DateTexts()) {
        selector_->addItem(QString::fromStdString(text));
    }
    selector_->setCurrentIndex(static_cast<int>(files_.selected()));
    selector_->setEnabled(files_.selectorEnabled());
    exportButton_->setEnabled(files_.exportEnabled());
    ShowChoice();
}

void LogPage::ChooseLog(int entry) {
    if (entry < 0) {
        return;
    }
    (void)files_.Choose(static_cast<size_t>(entry));
    model_->Reload();
    ShowChoice();
}

void LogPage::ShowChoice() {
    const bool current = files_.showingCurrent();
    selector_->setCurrentIndex(static_cast<int>(files_.selected()));
    wipeButton_->setText(current ? QStringLiteral("Wipe") : QStringLiteral("Delete"));
    wipeButton_->setToolTip(current ? QStringLiteral("Clear this session's log (its header stays)")
                                    : QStringLiteral("Delete this saved log from the disk"));
    wipeButton_->setIcon(
        QIcon::fromTheme(current ? QStringLiteral("edit-clear") : QStringLiteral("edit-delete")));
    wipeButton_->setEnabled(!current || files_.currentView().mapped());
    selectorFrame_->setStyleSheet(QString::fromUtf8(current ? kCurrentLogFrame : kSavedLogFrame));
}

void LogPage::WipeOrDelete() {
    if (files_.showingCurrent()) {
        files_.Wipe();
    } else {
        const size_t entry = files_.selected();
        (void)files_.Delete(entry);
        selector_->removeItem(static_cast<int>(entry));
    }
    model_->Reload();
    ShowChoice();
}

void LogPage::ExportLog() {
    const QString proposed =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(QString::fromStdString(files_.displayedName()));
    const QString path = dialogs_.saveFileName(this, proposed);
    if (path.isEmpty()) {
        return;
    }
    std::string message;
    if (!files_.Export(path.toStdString(), message)) {
        dialogs_.showError(this, QString::fromStdString(message));
    }
}

void LogPage::CopyToClipboard() {
    QApplication::clipboard()->setText(model_->CopyText(list_->selectionModel()->selection()));
}

void LogPage::SwitchesChanged() {
    const bool showCommands = commands_->isChecked();
    const bool showExtended = extended_->isChecked();
    receiver_.SetShowCommands(showCommands);
    receiver_.SetShowExtended(showExtended);
    files_.SetDisplaySwitches(showCommands, showExtended);
    files_.displayedView().rebuildLogIndex(showCommands, showExtended);
    model_->Reload();
    // Written at once, as every option is, so a crash does not lose the choice.
    settings_.SetInt("LogCmd", showCommands ? 1 : 0);
    settings_.SetInt("LogExt", showExtended ? 1 : 0);
    settings_.SaveSettings();
}

void LogPage::FollowSetting(const QString& name) {
    if (name == QLatin1String("Logging")) {
        receiver_.SetLogging(settings_.GetInt("Logging") != 0);
        ShowLoggingState();
    } else if (name == QLatin1String("LogColor")) {
        model_->SetColored(settings_.GetInt("LogColor") != 0);
    }
}

void LogPage::ShowLoggingState() {
    loggingOff_->setVisible(settings_.GetInt("Logging") == 0);
}

}  // namespace qvex
