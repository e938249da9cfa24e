#include "ui/statistics_panel.h"

#include <QGroupBox>
#include <QVBoxLayout>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state/statistics_database.h"
#include "state/url_grammar.h"
#include "ui/statistics_tool.h"

namespace qvex {

StatisticsPanel::StatisticsPanel(StatisticsDatabase* database, QWidget* parent)
    : QWidget(parent), database_(database), graph_(new StatisticsGraph) {
    setObjectName(QStringLiteral("statisticsPanel"));
    graph_->setAccessibleName(QStringLiteral("Host statistics"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* box = new QGroupBox(QStringLiteral("Statistics"));
    auto* inner = new QVBoxLayout(box);
    inner->addWidget(graph_);
    outer->addWidget(box);
}

void StatisticsPanel::ShowHost(const QString& url) {
    const std::string text = url.toStdString();
    const std::optional<std::string_view> key = FindUrlHost(text);
    if (database_ == nullptr || !key) {
        graph_->SetLines({});
        return;
    }
    graph_->SetLines(HostPanelLines(database_->ReadAllHostStatistics(*key), *key));
}

}  // namespace qvex
