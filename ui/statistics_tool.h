#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>

#include <string>
#include <vector>

#include "state/statistics_database.h"

class QLabel;
class QListWidget;
class QPushButton;
class QScrollArea;

namespace qvex {

// One bar of the graph, read from a statistics line ("%d\t%.2f\t%s\t%s": index, fraction,
// value text, label).
struct StatisticsBar {
    double fraction = 0;
    QString value;
    QString label;
    std::string labelBytes;  // the label as the line has it (a host key)
};

// A horizontal bar graph: one row per line, the label on the left, the bar scaled to its
// fraction of the largest, the value on the right. A row can be chosen with the mouse or the
// arrow keys; Delete asks for the chosen row to go.
class StatisticsGraph final : public QWidget {
    Q_OBJECT

  public:
    explicit StatisticsGraph(QWidget* parent = nullptr);

    // Lines that do not have the four fields are left out.
    void SetLines(const std::vector<std::string>& lines);
    int count() const { return static_cast<int>(bars_.size()); }
    const StatisticsBar& bar(int row) const { return bars_[static_cast<size_t>(row)]; }
    // -1 when no row is chosen.
    int currentRow() const { return current_; }
    void SetCurrentRow(int row);
    // The row's place in the graph, for scrolling it into view.
    QRect RowRect(int row) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  signals:
    void currentRowChanged(int row);
    void deleteRequested();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    int RowHeight() const;
    int RowAt(int y) const;
    int LabelWidth() const;
    int ValueWidth() const;

    std::vector<StatisticsBar> bars_;
    int current_ = -1;
};

// "Qvex Statistics Display Tool": the six statistics to choose from, every host's value of
// the chosen one as a bar graph (largest first), deleting a host's record, and "Copy" of the
// graph's text.
class StatisticsTool final : public QDialog {
    Q_OBJECT

  public:
    explicit StatisticsTool(StatisticsDatabase& statistics, QWidget* parent = nullptr);

    // Index of the statistic shown (0 "CONNECTS" ... 5 "BYTES/FILE").
    int statistic() const { return statistic_; }
    void ShowStatistic(int index);
    // Deletes the record of the host in the graph's current row.
    void DeleteCurrent();
    // The text export of the statistic shown, to the clipboard.
    void Copy();

    StatisticsGraph* graph() const { return graph_; }
    QListWidget* selector() const { return selector_; }

  signals:
    void recordDeleted();

  private:
    void BuildControls();
    void Reload();

    StatisticsDatabase& statistics_;
    StatisticsReport report_;
    int statistic_ = kStatisticConnects;
    QListWidget* selector_ = nullptr;
    QLabel* caption_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    StatisticsGraph* graph_ = nullptr;
    QPushButton* delete_ = nullptr;
    QPushButton* copy_ = nullptr;
};

}  // namespace qvex
