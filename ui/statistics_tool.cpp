#include "ui/statistics_tool.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>

#include "ui/qt_text.h"

namespace qvex {
namespace {

constexpr int kMargin = 10;
constexpr int kGap = 12;
// Labels never take more than this share of the width; longer ones are elided.
constexpr double kMaxLabelShare = 0.4;
constexpr int kMinBarWidth = 160;

// "%d\t%.2f\t%s\t%s": the label is everything after the third tab.
std::optional<StatisticsBar> ParseLine(std::string_view line) {
    const size_t first = line.find('\t');
    const size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
    const size_t third = second == std::string_view::npos ? second : line.find('\t', second + 1);
    if (third == std::string_view::npos) {
        return std::nullopt;
    }
    bool number = false;
    const double fraction = Text(line.substr(first + 1, second - first - 1)).toDouble(&number);
    if (!number) {
        return std::nullopt;
    }
    return StatisticsBar{std::clamp(fraction, 0.0, 1.0),
                         Text(line.substr(second + 1, third - second - 1)),
                         Text(line.substr(third + 1)), std::string(line.substr(third + 1))};
}

}  // namespace

StatisticsGraph::StatisticsGraph(QWidget* parent) : QWidget(parent) {
    setObjectName("statisticsGraph");
    setAccessibleName("Statistics graph");
    setFocusPolicy(Qt::StrongFocus);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

void StatisticsGraph::SetLines(const std::vector<std::string>& lines) {
    bars_.clear();
    for (const std::string& line : lines) {
        if (std::optional<StatisticsBar> bar = ParseLine(line)) {
            bars_.push_back(std::move(*bar));
        }
    }
    current_ = -1;
    updateGeometry();
    update();
}

void StatisticsGraph::SetCurrentRow(int row) {
    row = bars_.empty() ? -1 : std::clamp(row, -1, count() - 1);
    if (row == current_) {
        return;
    }
    current_ = row;
    setAccessibleDescription(row < 0 ? QString() : bar(row).label + ": " + bar(row).value);
    update();
    emit currentRowChanged(row);
}

int StatisticsGraph::RowHeight() const {
    return fontMetrics().height() + 12;
}

QRect StatisticsGraph::RowRect(int row) const {
    return {0, kMargin + row * RowHeight(), width(), RowHeight()};
}

int StatisticsGraph::RowAt(int y) const {
    const int row = (y - kMargin) / RowHeight();
    return y < kMargin || row >= count() ? -1 : row;
}

int StatisticsGraph::LabelWidth() const {
    int widest = 0;
    for (const StatisticsBar& each : bars_) {
        widest = std::max(widest, fontMetrics().horizontalAdvance(each.label));
    }
    return std::min(widest, static_cast<int>(width() * kMaxLabelShare));
}

int StatisticsGraph::ValueWidth() const {
    int widest = 0;
    for (const StatisticsBar& each : bars_) {
        widest = std::max(widest, fontMetrics().horizontalAdvance(each.value));
    }
    return widest;
}

QSize StatisticsGraph::sizeHint() const {
    return {480, std::max(count(), 1) * RowHeight() + 2 * kMargin};
}

QSize StatisticsGraph::minimumSizeHint() const {
    return {kMinBarWidth + 2 * kMargin, sizeHint().height()};
}

void StatisticsGraph::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colors = palette();
    if (bars_.empty()) {
        painter.setPen(colors.color(QPalette::Disabled, QPalette::Text));
        painter.drawText(rect(), Qt::AlignCenter, "No host statistics are recorded.");
        return;
    }
    const int labelWidth = LabelWidth();
    const int valueWidth = ValueWidth();
    const int barLeft = kMargin + labelWidth + kGap;
    const int barSpan = std::max(width() - barLeft - kGap - valueWidth - kMargin, 1);
    const QColor barColor = colors.color(QPalette::Highlight);
    QColor track = colors.color(QPalette::Text);
    track.setAlpha(18);
    QColor grid = colors.color(QPalette::Text);
    grid.setAlpha(40);

    for (int row = 0; row < count(); ++row) {
        const QRect line = RowRect(row);
        if (!line.intersects(event->rect())) {
            continue;
        }
        const StatisticsBar& each = bar(row);
        const bool chosen = row == current_;
        if (chosen) {
            painter.fillRect(line, colors.color(hasFocus() ? QPalette::Active : QPalette::Inactive,
                                                QPalette::Highlight));
        } else if (row % 2 == 1) {
            painter.fillRect(line, colors.color(QPalette::AlternateBase));
        }
        const QColor textColor = colors.color(chosen ? QPalette::HighlightedText : QPalette::Text);
        painter.setPen(textColor);
        const QRect labelRect(kMargin, line.top(), labelWidth, line.height());
        painter.drawText(labelRect, Qt::AlignVCenter | Qt::AlignLeft,
                         fontMetrics().elidedText(each.label, Qt::ElideMiddle, labelWidth));
        painter.drawText(QRect(barLeft + barSpan + kGap, line.top(), valueWidth, line.height()),
                         Qt::AlignVCenter | Qt::AlignRight, each.value);

        // The track shows the full scale with quarter marks, the bar the share of the largest.
        const QRectF trackRect(barLeft, line.top() + 5, barSpan, line.height() - 10);
        painter.setPen(Qt::NoPen);
        painter.setBrush(chosen ? QColor(255, 255, 255, 60) : track);
        painter.drawRoundedRect(trackRect, 3, 3);
        painter.setPen(QPen(grid, 1));
        for (int quarter = 1; quarter <= 3; ++quarter) {
            const double x = std::round(trackRect.left() + trackRect.width() * quarter / 4.0) + 0.5;
            painter.drawLine(QPointF(x, trackRect.top() + 2), QPointF(x, trackRect.bottom() - 2));
        }
        painter.setPen(Qt::NoPen);
        if (each.fraction > 0) {
            QRectF barRect = trackRect;
            barRect.setWidth(std::max(2.0, trackRect.width() * each.fraction));
            QLinearGradient fill(barRect.topLeft(), barRect.bottomLeft());
            const QColor base = chosen ? colors.color(QPalette::HighlightedText) : barColor;
            fill.setColorAt(0, base.lighter(125));
            fill.setColorAt(1, base);
            painter.setBrush(fill);
            painter.drawRoundedRect(barRect, 3, 3);
        }
    }

    if (hasFocus() && current_ >= 0) {
        painter.setPen(QPen(colors.color(QPalette::HighlightedText), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(RowRect(current_).adjusted(1, 1, -2, -2));
    }
}

bool StatisticsGraph::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int row = RowAt(help->pos().y());
        if (row >= 0) {
            QToolTip::showText(help->globalPos(), bar(row).label + ": " + bar(row).value, this,
                               RowRect(row));
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QWidget::event(event);
}

void StatisticsGraph::mousePressEvent(QMouseEvent* event) {
    const int row = RowAt(static_cast<int>(event->position().y()));
    if (row >= 0) {
        SetCurrentRow(row);
    }
    QWidget::mousePressEvent(event);
}

void StatisticsGraph::keyPressEvent(QKeyEvent* event) {
    const int page =
        std::max(1, parentWidget() != nullptr ? parentWidget()->height() / RowHeight() - 1 : 1);
    switch (event->key()) {
        case Qt::Key_Up:
            SetCurrentRow(std::max(current_ - 1, 0));
            return;
        case Qt::Key_Down:
            SetCurrentRow(current_ + 1);
            return;
        case Qt::Key_PageUp:
            SetCurrentRow(std::max(current_ - page, 0));
            return;
        case Qt::Key_PageDown:
            SetCurrentRow(current_ + page);
            return;
        case Qt::Key_Home:
            SetCurrentRow(0);
            return;
        case Qt::Key_End:
            SetCurrentRow(count() - 1);
            return;
        default:
            break;
    }
    if (event->matches(QKeySequence::Delete) && current_ >= 0) {
        emit deleteRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

StatisticsTool::StatisticsTool(StatisticsDatabase& statistics, QWidget* parent)
    : QDialog(parent), statistics_(statistics) {
    setObjectName("statisticsTool");
    setWindowTitle("Qvex Statistics Display Tool");
    BuildControls();
    Reload();
    resize(720, 440);
}

void StatisticsTool::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 10);
    layout->setSpacing(8);

    auto* body = new QHBoxLayout;
    body->setSpacing(12);
    auto* left = new QVBoxLayout;
    auto* selectorLabel = new QLabel("S&tatistic:");
    selector_ = new QListWidget;
    selector_->setObjectName("statisticSelector");
    selector_->setAccessibleName("Statistic");
    selector_->setToolTip("The statistic the graph shows for every host");
    for (int index = 0; index < kStatisticCount; ++index) {
        selector_->addItem(Text(StatisticName(index)));
    }
    selector_->setStyleSheet("QListWidget::item { padding: 3px 6px; }");
    selector_->setCurrentRow(statistic_);
    selector_->setFixedWidth(selector_->sizeHintForColumn(0) + 2 * selector_->frameWidth() + 24);
    selectorLabel->setBuddy(selector_);
    left->addWidget(selectorLabel);
    left->addWidget(selector_, 1);
    body->addLayout(left);

    auto* right = new QVBoxLayout;
    caption_ = new QLabel;
    caption_->setObjectName("statisticsCaption");
    graph_ = new StatisticsGraph;
    scroll_ = new QScrollArea;
    scroll_->setWidget(graph_);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    caption_->setBuddy(graph_);
    right->addWidget(caption_);
    right->addWidget(scroll_, 1);
    body->addLayout(right, 1);
    layout->addLayout(body, 1);

    // The graph's commands on the left, closing on the right.
    auto* bottom = new QHBoxLayout;
    delete_ = new QPushButton(QIcon::fromTheme("edit-delete"), "&Delete");
    delete_->setObjectName("deleteButton");
    delete_->setToolTip("Delete the chosen host's statistics record");
    copy_ = new QPushButton(QIcon::fromTheme("edit-copy"), "Copy");
    copy_->setObjectName("copyButton");
    copy_->setToolTip("Place the statistic of every host in the clipboard as text");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    for (QPushButton* button : {delete_, copy_}) {
        button->setAutoDefault(false);
        bottom->addWidget(button);
    }
    bottom->addStretch(1);
    bottom->addWidget(buttons);
    layout->addLayout(bottom);

    connect(selector_, &QListWidget::currentRowChanged, this, &StatisticsTool::ShowStatistic);
    connect(graph_, &StatisticsGraph::currentRowChanged, this, [this](int row) {
        delete_->setEnabled(row >= 0);
        if (row >= 0) {
            const QRect place = graph_->RowRect(row);
            scroll_->ensureVisible(place.center().x(), place.center().y(), 0,
                                   place.height() / 2 + 2);
        }
    });
    connect(graph_, &StatisticsGraph::deleteRequested, this, &StatisticsTool::DeleteCurrent);
    connect(delete_, &QPushButton::clicked, this, &StatisticsTool::DeleteCurrent);
    connect(copy_, &QPushButton::clicked, this, &StatisticsTool::Copy);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void StatisticsTool::ShowStatistic(int index) {
    if (index < 0 || index >= kStatisticCount) {
        return;
    }
    statistic_ = index;
    if (selector_->currentRow() != index) {
        selector_->setCurrentRow(index);
    }
    graph_->SetLines(StatisticsDialogLines(report_, statistic_));
    const size_t hosts = report_.rows.size();
    caption_->setText(hosts == 0 ? QString("No hosts")
                                 : QString("%1 of %2 %3, largest first:")
                                       .arg(Text(StatisticName(statistic_)))
                                       .arg(hosts)
                                       .arg(hosts == 1 ? "host" : "hosts"));
    delete_->setEnabled(false);
    copy_->setEnabled(hosts != 0);
}

void StatisticsTool::Reload() {
    report_ = statistics_.ReadAllHostStatistics();
    ShowStatistic(statistic_);
}

void StatisticsTool::DeleteCurrent() {
    const int row = graph_->currentRow();
    if (row < 0) {
        return;
    }
    const std::string& key = graph_->bar(row).labelBytes;
    const auto found = std::find_if(report_.rows.begin(), report_.rows.end(),
                                    [&](const HostStatisticsRow& each) { return each.key == key; });
    if (found != report_.rows.end()) {
        statistics_.DeleteHostRecord(found->record);
        emit recordDeleted();
    }
    Reload();
    graph_->SetCurrentRow(std::min(row, graph_->count() - 1));
}

void StatisticsTool::Copy() {
    QGuiApplication::clipboard()->setText(Text(ExportStatisticsText(report_, statistic_)));
}

}  // namespace qvex
