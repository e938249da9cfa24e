#pragma once

#include <QString>
#include <QWidget>

namespace qvex {

class StatisticsDatabase;
class StatisticsGraph;

// The Host page's statistics of one host: its six statistics ("CONNECTS" to "BYTES/FILE"),
// each with its value and a bar of its share of the largest value over all hosts, drawn by
// the statistics tool's graph.
class StatisticsPanel final : public QWidget {
    Q_OBJECT

  public:
    // `database` may be null (no statistics kept): the panel then shows no values.
    explicit StatisticsPanel(StatisticsDatabase* database, QWidget* parent = nullptr);

    // Shows the host of `url` (its host part as written, the record's key) as the database
    // holds it now; nothing for a host without a record or a text that is no URL.
    void ShowHost(const QString& url);

    StatisticsGraph* graph() const { return graph_; }

  private:
    StatisticsDatabase* database_;
    StatisticsGraph* graph_;
};

}  // namespace qvex
