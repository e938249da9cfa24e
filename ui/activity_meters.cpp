#include "ui/activity_meters.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>

#include "engine/session_worker.h"
#include "platform/tick.h"
#include "ui/qt_text.h"
#include "util/format.h"

namespace qvex {
namespace {

constexpr int kRefreshMs = 250;
// The current transfer's rate is taken over this much of its recent past, so that it
// follows changes of speed without jumping with every block.
constexpr uint64_t kRateWindowMs = 2000;
// Steps of the activity bars.
constexpr int kBarSteps = 1000;
// The full scales offered, in bytes per second, and the defaults: data moves in megabytes,
// the control connection in a few hundred bytes per command.
constexpr double kScales[] = {1024.0,     10240.0,     102400.0,    1048576.0,
                              10485760.0, 104857600.0, 1073741824.0};
constexpr int kDataScale = 4;
constexpr int kControlScale = 0;

// The widest texts each figure shows: the designed placeholders, and the widest rate.
constexpr const char* kRateWidths[] = {"5.68 MB/s", "4.77 MB/s", "999 bytes/s"};
constexpr const char* kTimeWidths[] = {"23:59:59"};
constexpr const char* kCountWidths[] = {"99,999,999,999"};

// A right-aligned figure in a fixed-width font, wide enough for the widest of `widths`.
template <size_t N>
QLabel* Figure(const char* name, const char* const (&widths)[N]) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromUtf8(name));
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    int width = 0;
    for (const char* text : widths) {
        width = std::max(width, label->fontMetrics().horizontalAdvance(QString::fromUtf8(text)));
    }
    label->setMinimumWidth(width + 2 * label->margin() + 4);
    return label;
}

QProgressBar* ActivityBar(const QString& name) {
    auto* bar = new QProgressBar;
    bar->setObjectName(name);
    bar->setRange(0, kBarSteps);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setMaximumHeight(bar->fontMetrics().height() * 2 / 3 + 4);
    bar->setMinimumWidth(60);
    return bar;
}

// A group of a rate and, below it, a second figure with its word ("remaining", "total").
QGroupBox* FigurePair(const QString& title, QLabel* rate, QLabel* second, const QString& word) {
    auto* box = new QGroupBox(title);
    auto* layout = new QGridLayout(box);
    layout->addWidget(rate, 0, 0);
    layout->addWidget(second, 1, 0);
    layout->addWidget(new QLabel(word), 1, 1);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(2, 1);
    return box;
}

}  // namespace

ActivityMeters::ActivityMeters(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("activityMeters"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(6);
    grid->addWidget(BuildConnection(data_, QStringLiteral("Data Connection"), "data", kDataScale),
                    0, 0);
    grid->addWidget(
        BuildConnection(control_, QStringLiteral("Control Connection"), "control", kControlScale),
        0, 1);

    transferRate_ = Figure("transferRate", kRateWidths);
    transferRemaining_ = Figure("transferRemaining", kTimeWidths);
    grid->addWidget(FigurePair(QStringLiteral("Current Transfer"), transferRate_,
                               transferRemaining_, QStringLiteral("remaining")),
                    1, 0);
    sessionRate_ = Figure("sessionRate", kRateWidths);
    sessionTotal_ = Figure("sessionTotal", kCountWidths);
    grid->addWidget(FigurePair(QStringLiteral("Session Cumulative"), sessionRate_, sessionTotal_,
                               QStringLiteral("total")),
                    1, 1);

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, [this] { Refresh(platform::TickCount64()); });
    Reset();
}

ActivityMeters::~ActivityMeters() = default;

QWidget* ActivityMeters::BuildConnection(Connection& connection, const QString& title,
                                         const char* name, int defaultScale) {
    const QString prefix = QString::fromUtf8(name);
    auto* box = new QGroupBox(title);
    auto* layout = new QGridLayout(box);
    auto addRow = [&](Direction& direction, const QString& label, int row) {
        direction.bar = ActivityBar(prefix + label + "Bar");
        direction.bar->setAccessibleName(title + " " + label.toLower() + " activity");
        direction.count = Figure((prefix + label + "Count").toUtf8().constData(), kCountWidths);
        layout->addWidget(new QLabel(label), row, 0);
        layout->addWidget(direction.bar, row, 1);
        layout->addWidget(direction.count, row, 2);
    };
    addRow(connection.read, QStringLiteral("Read"), 0);
    addRow(connection.write, QStringLiteral("Write"), 1);
    connection.scale = new QComboBox;
    connection.scale->setObjectName(prefix + "Scale");
    connection.scale->setToolTip(QStringLiteral("Bytes per second that fill the bars"));
    for (double scale : kScales) {
        connection.scale->addItem(Text(FormatRate(scale / 1000.0, kSizeWithUnit)), scale);
    }
    connection.scale->setCurrentIndex(defaultScale);
    connect(connection.scale, &QComboBox::currentIndexChanged, this,
            [this, &connection] { ShowBars(connection); });
    layout->addWidget(new QLabel(QStringLiteral("Scale")), 2, 0);
    layout->addWidget(connection.scale, 2, 1, 1, 2, Qt::AlignLeft);
    layout->setColumnStretch(1, 1);
    return box;
}

void ActivityMeters::Follow(std::shared_ptr<SessionWorker> session) {
    session_ = std::move(session);
    Reset();
    if (session_ == nullptr) {
        timer_->stop();
        return;
    }
    Refresh(platform::TickCount64());
    timer_->start();
}

void ActivityMeters::Reset() {
    for (Connection* connection : {&data_, &control_}) {
        for (Direction* direction : {&connection->read, &connection->write}) {
            direction->lastCounter = 0;
            direction->total = 0;
            direction->bytesPerSecond = 0;
            direction->count->setText(Text(FormatCount(0)));
        }
        ShowBars(*connection);
    }
    lastRefresh_.reset();
    transferStarts_ = 0;
    samples_.clear();
    transferRate_->setText(QString::fromUtf8(kNoFigure));
    transferRemaining_->setText(QString::fromUtf8(kNoFigure));
    sessionRate_->setText(QString::fromUtf8(kNoFigure));
    sessionTotal_->setText(Text(FormatCount(0)));
}

void ActivityMeters::Refresh(uint64_t now) {
    if (session_ == nullptr) {
        return;
    }
    const uint64_t elapsed = lastRefresh_ && now > *lastRefresh_ ? now - *lastRefresh_ : 0;
    lastRefresh_ = now;
    ReadDirection(data_.read, session_->data.bytesReceived(), elapsed);
    ReadDirection(data_.write, session_->data.bytesSent(), elapsed);
    ReadDirection(control_.read, session_->control.bytesReceived(), elapsed);
    ReadDirection(control_.write, session_->control.bytesSent(), elapsed);
    ShowBars(data_);
    ShowBars(control_);
    ShowCurrentTransfer(now);
    ShowSessionCumulative();
}

void ActivityMeters::ReadDirection(Direction& direction, uint32_t counter, uint64_t elapsed) {
    // The socket's counter wraps at 4 GiB; readings a fraction of a second apart never miss
    // a whole turn.
    const uint32_t moved = counter - direction.lastCounter;
    direction.lastCounter = counter;
    direction.total += moved;
    direction.bytesPerSecond =
        elapsed == 0 ? 0.0 : static_cast<double>(moved) * 1000.0 / static_cast<double>(elapsed);
    direction.count->setText(Text(FormatCount(static_cast<int64_t>(direction.total))));
}

void ActivityMeters::ShowBars(const Connection& connection) {
    const double scale = connection.scale->currentData().toDouble();
    for (const Direction* direction : {&connection.read, &connection.write}) {
        const double filled = std::min(1.0, direction->bytesPerSecond / scale);
        direction->bar->setValue(static_cast<int>(std::lround(filled * kBarSteps)));
    }
}

void ActivityMeters::ShowCurrentTransfer(uint64_t now) {
    const TransferMeter& meter = session_->meter;
    if (!session_->transferActive.load()) {
        samples_.clear();
        transferRate_->setText(QString::fromUtf8(kNoFigure));
        transferRemaining_->setText(QString::fromUtf8(kNoFigure));
        return;
    }
    const uint32_t starts = meter.starts.load(std::memory_order_acquire);
    const int64_t size = meter.size.load(std::memory_order_relaxed);
    const uint64_t position = meter.position.load(std::memory_order_relaxed);
    if (starts != transferStarts_ || (!samples_.empty() && position < samples_.back().position)) {
        samples_.clear();
        transferStarts_ = starts;
    }
    samples_.push_back({now, position});
    // Keep the newest reading that is at least a window old as the window's start.
    while (samples_.size() > 2 && samples_[1].time + kRateWindowMs <= now) {
        samples_.pop_front();
    }
    const Sample& first = samples_.front();
    if (samples_.size() < 2 || now <= first.time) {
        transferRate_->setText(QString::fromUtf8(kNoFigure));
        transferRemaining_->setText(QString::fromUtf8(kNoFigure));
        return;
    }
    const double bytesPerMs =
        static_cast<double>(position - first.position) / static_cast<double>(now - first.time);
    transferRate_->setText(Text(FormatRate(bytesPerMs, kSizeWithUnit)));
    // A listing (size 0) or a file of unknown size (-1) has no end to count down to.
    if (size <= 0 || bytesPerMs <= 0) {
        transferRemaining_->setText(QString::fromUtf8(kNoFigure));
        return;
    }
    const uint64_t left =
        static_cast<uint64_t>(size) > position ? static_cast<uint64_t>(size) - position : 0;
    const auto remainingMs = std::llround(static_cast<double>(left) / bytesPerMs);
    transferRemaining_->setText(Text(FormatDuration(remainingMs, kDurationFixedHours)));
}

void ActivityMeters::ShowSessionCumulative() {
    const TransferMeter& meter = session_->meter;
    const uint64_t bytes = meter.endedBytes.load(std::memory_order_relaxed);
    const uint64_t milliseconds = meter.endedMilliseconds.load(std::memory_order_relaxed);
    sessionTotal_->setText(Text(FormatCount(static_cast<int64_t>(bytes))));
    if (milliseconds == 0) {
        sessionRate_->setText(QString::fromUtf8(kNoFigure));
        return;
    }
    sessionRate_->setText(Text(
        FormatRate(static_cast<double>(bytes) / static_cast<double>(milliseconds), kSizeWithUnit)));
}

}  // namespace qvex
