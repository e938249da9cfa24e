#include "ui/hash_sum_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "log/log_sink.h"
#include "state/settings.h"
#include "ui/hash_sum_model.h"
#include "ui/qt_text.h"

namespace qvex {
namespace {

// Whether a listed name leads out of the sums file's folder: a full path, or a ".." step.
bool LiesOutsideBase(const HashEntry& entry) {
    if (entry.relativeOffset == 0) {
        return true;
    }
    const std::string_view path = entry.relativePath();
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Verify reads what the sums file names, also outside its folder (its full-path layouts
// are the program's own); the log says so before the first such file is read.
void NoteFilesOutside(const CollectedEntries& collected) {
    const auto outside = std::count_if(collected.entries.begin(), collected.entries.end(),
                                       [](const HashEntry& entry) { return LiesOutsideBase(entry); });
    if (outside != 0) {
        const std::string note = "!!! " + std::to_string(outside) +
                                 " listed file(s) outside the sums file's folder " +
                                 collected.baseFolder;
        logExt(note.c_str());
    }
}

}  // namespace

// The Good, Unknown and Bad bars of a verify job, side by side.
class CounterBars final : public QWidget {
  public:
    explicit CounterBars(const HashJob& job, QWidget* parent) : QWidget(parent), job_(job) {
        setFixedHeight(12);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        const std::array<int, 3> widths =
            CounterBarWidths(width(), job_.goodCount(), job_.unknownCount(), job_.badCount());
        static const std::array<QColor, 3> colours = {QColor(0, 255, 0), QColor(255, 255, 0),
                                                      QColor(255, 0, 0)};
        QPainter painter(this);
        int left = 0;
        for (size_t bar = 0; bar < widths.size(); ++bar) {
            painter.fillRect(left, 0, widths[bar], height(), colours[bar]);
            left += widths[bar];
        }
    }

  private:
    const HashJob& job_;
};

bool HashSumDialog::Relay::PostWorkerMessage(int worker, int code) {
    bool schedule = false;
    {
        std::lock_guard guard(lock_);
        messages_.emplace_back(worker, code);
        schedule = !scheduled_;
        scheduled_ = true;
    }
    if (schedule) {
        QMetaObject::invokeMethod(
            &dialog_, [dialog = &dialog_] { dialog->DeliverMessages(); }, Qt::QueuedConnection);
    }
    return true;
}

void HashSumDialog::Relay::OnProgressBar(int worker, ProgressBarState state) {
    QMetaObject::invokeMethod(
        &dialog_, [dialog = &dialog_, worker, state] { dialog->ShowProgress(worker, state); },
        Qt::QueuedConnection);
}

std::deque<std::pair<int, int>> HashSumDialog::Relay::Take() {
    std::lock_guard guard(lock_);
    scheduled_ = false;
    return std::exchange(messages_, {});
}

HashSumDialog::HashSumDialog(SharedHeap& heap, Settings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings), relay_(*this), job_(heap, relay_) {
    setWindowTitle("Qvex Hash Sum");
    setModal(false);
    BuildControls();
}

HashSumDialog::~HashSumDialog() {
    if (collector_.joinable()) {
        collector_.join();
    }
    job_.Close();
}

void HashSumDialog::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    model_ = new HashSumModel(job_, this);
    table_ = new QTableView(this);
    table_->setObjectName("results");
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    // One row height for all: the view never measures a row, whatever the count.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setSectionsClickable(true);
    table_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(table_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortBy(column); });
    layout->addWidget(table_, 1);

    auto* bars = new QHBoxLayout;
    for (size_t worker = 0; worker < bars_.size(); ++worker) {
        bars_[worker] = new QProgressBar(this);
        bars_[worker]->setObjectName(QStringLiteral("progress%1").arg(worker));
        bars_[worker]->setTextVisible(false);
        bars_[worker]->hide();
        bars->addWidget(bars_[worker]);
    }
    layout->addLayout(bars);

    counterBars_ = new CounterBars(job_, this);
    counterBars_->setObjectName("counterBars");
    counterBars_->hide();
    layout->addWidget(counterBars_);
    summary_ = new QLabel(this);
    summary_->setObjectName("summary");
    layout->addWidget(summary_);
    counts_ = new QLabel(this);
    counts_->setObjectName("counts");
    counts_->hide();
    layout->addWidget(counts_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    save_ = buttons->addButton("&Save to Sums file...", QDialogButtonBox::ActionRole);
    save_->setEnabled(false);
    save_->hide();
    connect(save_, &QPushButton::clicked, this, [this] { SaveSums(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    refresh_ = new QTimer(this);
    refresh_->setSingleShot(true);
    refresh_->setInterval(40);
    connect(refresh_, &QTimer::timeout, this, [this] { RefreshRows(); });

    auto* next = new QShortcut(QKeySequence(Qt::Key_F3), this);
    connect(next, &QShortcut::activated, this, [this] { ShowNextSelected(); });
    resize(720, 420);
}

void HashSumDialog::Start(const HashRequest& request, unsigned processors) {
    if (collector_.joinable() || started_) {
        return;
    }
    const bool perCpu = settings_.GetInt(kPerCpuSetting) != 0;
    if (processors == 0) {
        processors = std::thread::hardware_concurrency();
    }
    collector_ = std::thread([this, request, perCpu, processors] {
        auto collected = std::make_shared<CollectedEntries>(CollectEntries(request));
        if (request.mode == HashMode::Verify) {
            NoteFilesOutside(*collected);
        }
        const int workers = HashWorkerCount(collected->entries.size(), perCpu, processors);
        // The dialog waits for this thread before it goes, so the call finds it.
        QMetaObject::invokeMethod(
            this,
            [this, collected, mode = request.mode, workers] {
                StartCollected(mode, std::move(*collected), workers);
            },
            Qt::QueuedConnection);
    });
}

void HashSumDialog::StartCollected(HashMode mode, CollectedEntries collected, int workers) {
    if (collector_.joinable()) {
        collector_.join();
    }
    if (closed_) {
        return;
    }
    const HashStartResult result = job_.Start(mode, std::move(collected), workers);
    started_ = result;
    setWindowTitle(Text(job_.Title()));
    model_->Reset();
    const int digits = static_cast<int>(InfoOf(job_.algorithm()).hexDigits);
    if (digits > 0) {
        table_->setColumnWidth(
            0, table_->fontMetrics().horizontalAdvance(QString(digits, QChar('0'))) + 12);
    }
    const bool verify = job_.mode() == HashMode::Verify;
    counterBars_->setVisible(verify);
    save_->setVisible(!verify);
    if (result == HashStartResult::Started) {
        for (int worker = 0; worker < job_.workerCount(); ++worker) {
            bars_[static_cast<size_t>(worker)]->show();
        }
        ShowCounts();
        return;
    }
    if (result != HashStartResult::NothingToHash) {
        const char* failure = "@@@ The hash-sum job could not start";
        logRaw(failure);
        summary_->setText(failure);
    }
    ShowEnd();
}

void HashSumDialog::DeliverMessages() {
    std::deque<std::pair<int, int>> messages = relay_.Take();
    bool finished = false;
    for (const auto& [worker, code] : messages) {
        if (job_.state() != HashJobState::Running) {
            break;
        }
        DrainResult drained = job_.OnWorkerMessage(worker, code);
        for (size_t row : drained.changedRows) {
            changedFirst_ = std::min(changedFirst_, row);
            changedLast_ = std::max(changedLast_, row);
            lastChanged_ = row;
            if (job_.mode() == HashMode::Verify && job_.RowSelected(row)) {
                failedRows_.push_back(row);
            }
        }
        finished = finished || drained.finished;
    }
    if (finished) {
        refresh_->stop();
        RefreshRows();
        ShowEnd();
    } else if (changedFirst_ != SIZE_MAX && !refresh_->isActive()) {
        refresh_->start();
    }
}

void HashSumDialog::RefreshRows() {
    if (changedFirst_ == SIZE_MAX) {
        return;
    }
    model_->RowsChanged(changedFirst_, changedLast_);
    std::sort(failedRows_.begin(), failedRows_.end());
    SelectRows(failedRows_);
    table_->scrollTo(model_->index(static_cast<int>(lastChanged_), 0));
    ShowCounts();
    changedFirst_ = SIZE_MAX;
    changedLast_ = 0;
    failedRows_.clear();
}

void HashSumDialog::ShowProgress(int worker, ProgressBarState state) {
    if (worker < 0 || worker >= job_.workerCount() || ended_) {
        return;
    }
    QProgressBar* bar = bars_[static_cast<size_t>(worker)];
    // A range of nothing is Qt's busy bar.
    bar->setRange(0, state.marquee ? 0 : 100);
    if (!state.marquee) {
        bar->setValue(state.position);
    }
}

void HashSumDialog::ShowCounts() {
    if (job_.mode() == HashMode::Verify) {
        counterBars_->update();
    }
}

void HashSumDialog::ShowEnd() {
    ended_ = true;
    for (QProgressBar* bar : bars_) {
        bar->hide();
    }
    if (summary_->text().isEmpty()) {
        summary_->setText(Text(job_.SummaryLine()));
    }
    const std::string counts = job_.CountsLine();
    counts_->setText(Text(counts));
    counts_->setVisible(!counts.empty());
    counterBars_->update();
    save_->setEnabled(job_.state() == HashJobState::Finished && job_.mode() == HashMode::Compute);
    if (isVisible()) {
        repaint();
    }
    emit jobEnded();
}

void HashSumDialog::SelectJobRows(size_t first, size_t last) {
    std::vector<size_t> rows;
    for (size_t row = first; row <= last; ++row) {
        if (job_.RowSelected(row)) {
            rows.push_back(row);
        }
    }
    SelectRows(rows);
}

void HashSumDialog::SelectRows(const std::vector<size_t>& rows) {
    // One range per run of neighbours, in one call: the selection model's cost grows with
    // its ranges and with every call.
    QItemSelection selection;
    for (size_t at = 0; at < rows.size();) {
        size_t end = at + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1) {
            ++end;
        }
        selection.select(model_->index(static_cast<int>(rows[at]), 0),
                         model_->index(static_cast<int>(rows[end - 1]), 1));
        at = end;
    }
    if (!selection.isEmpty()) {
        table_->selectionModel()->select(selection, QItemSelectionModel::Select);
    }
}

void HashSumDialog::SortBy(int column) {
    if (job_.state() == HashJobState::Empty || job_.rowCount() == 0) {
        return;
    }
    RefreshRows();  // the rows it names are rows of the old order
    job_.SortByColumn(column);
    model_->Reordered();
    table_->selectionModel()->clearSelection();
    SelectJobRows(0, job_.rowCount() - 1);
}

void HashSumDialog::ShowNextSelected() {
    const QModelIndex current = table_->currentIndex();
    std::optional<size_t> from;
    if (current.isValid()) {
        from = static_cast<size_t>(current.row());
    }
    const std::optional<size_t> next = job_.NextSelectedRow(from);
    if (!next) {
        return;
    }
    const QModelIndex target = model_->index(static_cast<int>(*next), 0);
    table_->selectionModel()->setCurrentIndex(target, QItemSelectionModel::NoUpdate);
    table_->scrollTo(target);
}

std::vector<std::pair<SumsLayout, QString>> HashSumDialog::LayoutsOf(HashAlgorithm algorithm) {
    static const std::array<std::pair<SumsLayout, const char*>, 4> all = {{
        {SumsLayout::HashRelative, "<hash>  <rel-file-path>"},
        {SumsLayout::TagRelative, "<hash-name> (<rel-file-path>) = <hash>"},
        {SumsLayout::HashAbsolute, "<hash>  <abs-file-path>"},
        {SumsLayout::TagAbsolute, "<hash-name> (<abs-file-path>) = <hash>"},
    }};
    std::vector<std::pair<SumsLayout, QString>> layouts;
    for (const auto& [layout, name] : all) {
        if (LayoutAllowed(algorithm, layout)) {
            layouts.emplace_back(layout, QString::fromLatin1(name));
        }
    }
    return layouts;
}

void HashSumDialog::SaveSums() {
    if (job_.state() != HashJobState::Finished || job_.mode() != HashMode::Compute) {
        return;
    }
    const std::vector<std::pair<SumsLayout, QString>> layouts = LayoutsOf(job_.algorithm());
    QFileDialog chooser(this, "Save to Sums file", Text(job_.baseFolder()));
    // The check box needs Qt's own dialog.
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    chooser.setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    QStringList types;
    for (const auto& layout : layouts) {
        // Every file is shown whatever the layout; the pattern only ends the type's name.
        filters << layout.second + " (*)";
        types << layout.second;
    }
    chooser.setNameFilters(filters);
    // Qt shows a filter's name with its spaces folded; the layouts' names keep theirs.
    if (auto* typeBox = chooser.findChild<QComboBox*>("fileTypeCombo")) {
        for (int type = 0; type < typeBox->count() && type < types.size(); ++type) {
            typeBox->setItemText(type, types[type]);
        }
    }
    if (std::optional<std::string> name = job_.ProposedSumsFileName()) {
        chooser.selectFile(Text(*name));
    }
    auto* slash = new QCheckBox("Save with '/' (\"universal\") path separator", &chooser);
    slash->setObjectName("slashSeparator");
    slash->setChecked(settings_.GetInt(kSlashSeparatorSetting) != 0);
    if (auto* grid = qobject_cast<QGridLayout*>(chooser.layout())) {
        grid->addWidget(slash, grid->rowCount(), 0, 1, -1);
    }
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return;
    }
    const QString chosen = chooser.selectedNameFilter();
    const auto type = static_cast<size_t>(
        std::max<qsizetype>({0, filters.indexOf(chosen), types.indexOf(chosen)}));
    (void)SaveAs(chooser.selectedFiles().front(), layouts[std::min(type, layouts.size() - 1)].first,
                 slash->isChecked());
}

bool HashSumDialog::SaveAs(const QString& path, SumsLayout layout, bool slashSeparator) {
    if (!job_.SaveSumsFile(path.toStdString(), layout, settings_, slashSeparator)) {
        return false;
    }
    emit sumsFileSaved(path);
    return true;
}

void HashSumDialog::done(int result) {
    // The workers stop at their next report; what arrived stays listed.
    closed_ = true;
    job_.Close();
    for (QProgressBar* bar : bars_) {
        bar->hide();
    }
    QDialog::done(result);
}

HashSumDialog* OpenHashSumDialog(SharedHeap& heap, Settings& settings, const HashRequest& request,
                                 QWidget* parent) {
    auto* dialog = new HashSumDialog(heap, settings, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->Start(request);
    return dialog;
}

}  // namespace qvex
