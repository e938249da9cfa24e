#include "ui/ping_trace_panes.h"

#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <string>
#include <utility>

#include "diag/network_tools.h"
#include "ui/qt_text.h"

namespace qvex {
namespace {

constexpr const char* kPingTip = "Ping the host in the URL field (4 echo requests)";
constexpr const char* kTraceTip = "Trace the route to the host in the URL field (up to 30 hops)";
constexpr const char* kStopTip = "Stop after the echo on its way";
constexpr const char* kNoEchoTip =
    "Ping and traceroute are unavailable: this system lets Qvex send no ICMP echo requests "
    "(no ping socket for this user's group in net.ipv4.ping_group_range, and no raw socket "
    "without the CAP_NET_RAW privilege)";

}  // namespace

// A pane's side of a run: each call of the worker becomes a queued call on the window
// thread. The panes outlive the workers (the tools join them first), so the calls always
// find them.
class PingTracePanes::Relay final : public DiagObserver {
  public:
    Relay(PingTracePanes& panes, Pane& pane) : panes_(panes), pane_(pane) {}

    void OnTitle(const std::string& title) override {
        Post([title](PingTracePanes&, Pane& pane) { pane.title->setText(Text(title)); });
    }
    void OnPingRow(const PingRow& row) override {
        Post([row](PingTracePanes& panes, Pane& pane) {
            panes.AddRow(pane,
                         {Text(row.address), Text(row.time), Text(row.ttl), Text(row.status)});
        });
    }
    void OnTraceRow(const TraceRow& row) override {
        Post([row](PingTracePanes& panes, Pane& pane) {
            panes.AddRow(pane, {QString::number(row.hop), Text(row.times[0]), Text(row.times[1]),
                                Text(row.times[2]), Text(row.host)});
        });
    }
    void OnEnded() override {
        Post([](PingTracePanes& panes, Pane& pane) {
            pane.running = false;
            panes.ShowIdle(pane);
        });
    }

  private:
    template <typename Change>
    void Post(Change change) {
        QMetaObject::invokeMethod(
            &panes_, [this, change = std::move(change)] { change(panes_, pane_); },
            Qt::QueuedConnection);
    }

    PingTracePanes& panes_;
    Pane& pane_;
};

PingTracePanes::PingTracePanes(QWidget* parent)
    : PingTracePanes(LoadIcmpBinding(), NameService(), parent) {}

PingTracePanes::PingTracePanes(IcmpBinding icmp, NameService names, QWidget* parent)
    : QWidget(parent),
      pingRelay_(std::make_unique<Relay>(*this, ping_)),
      traceRelay_(std::make_unique<Relay>(*this, trace_)),
      tools_(std::make_unique<NetworkTools>(*pingRelay_, *traceRelay_, std::move(icmp),
                                            std::move(names))) {
    setObjectName(QStringLiteral("pingTracePanes"));
    ping_.ping = true;
    ping_.figureColumns = 0b0110;
    trace_.ping = false;
    trace_.figureColumns = 0b1111;
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(BuildPane(ping_, QStringLiteral("Pinging"),
                                {QStringLiteral("Address"), QStringLiteral("ms"),
                                 QStringLiteral("TTL"), QStringLiteral("Status")}),
                      2);
    layout->addWidget(
        BuildPane(trace_, QStringLiteral("Tracing Routes"),
                  {QStringLiteral("Hop"), QStringLiteral("Time 1"), QStringLiteral("Time 2"),
                   QStringLiteral("Time 3"), QStringLiteral("Host")}),
        3);
    ShowIdle(ping_);
    ShowIdle(trace_);
}

PingTracePanes::~PingTracePanes() {
    tools_.reset();
}

QGroupBox* PingTracePanes::BuildPane(Pane& pane, const QString& name, const QStringList& columns) {
    const QString key = pane.ping ? QStringLiteral("ping") : QStringLiteral("trace");
    pane.box = new QGroupBox(name);
    pane.box->setObjectName(key + "Pane");
    auto* layout = new QVBoxLayout(pane.box);
    layout->setSpacing(4);

    auto* top = new QHBoxLayout;
    pane.title = new QLabel;
    pane.title->setObjectName(key + "Title");
    pane.title->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = pane.title->font();
    bold.setBold(true);
    pane.title->setFont(bold);
    pane.button = new QPushButton;
    pane.button->setObjectName(key + "Button");
    // As wide for "Stop" as for its own name, so the pane does not shift while it runs.
    pane.button->setMinimumWidth(
        pane.button->fontMetrics().horizontalAdvance(QStringLiteral("Trace")) + 32);
    connect(pane.button, &QPushButton::clicked, this, [this, &pane] { StartOrStop(pane); });
    top->addWidget(pane.title, 1);
    top->addWidget(pane.button);
    layout->addLayout(top);

    pane.rows = new QTreeWidget;
    pane.rows->setObjectName(key + "Rows");
    pane.rows->setRootIsDecorated(false);
    pane.rows->setUniformRowHeights(true);
    pane.rows->setSelectionMode(QAbstractItemView::ExtendedSelection);
    pane.rows->setHeaderLabels(columns);
    QHeaderView* header = pane.rows->header();
    header->setStretchLastSection(true);
    const int figureWidth =
        pane.rows->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 12;
    for (int column = 0; column < static_cast<int>(columns.size()); ++column) {
        if ((pane.figureColumns >> column & 1u) != 0) {
            pane.rows->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
            header->resizeSection(column, figureWidth);
        }
    }
    if (pane.ping) {
        header->resizeSection(
            0, pane.rows->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255")) + 16);
    }
    layout->addWidget(pane.rows, 1);
    return pane.box;
}

void PingTracePanes::SetHost(const QString& hostOrUrl) {
    host_ = hostOrUrl;
}

void PingTracePanes::StartOrStop(Pane& pane) {
    if (pane.running) {
        if (pane.ping) {
            tools_->StopPing();
        } else {
            tools_->StopTraceroute();
        }
        return;
    }
    pane.rows->clear();
    pane.title->clear();
    const std::string host = host_.toStdString();
    const StartResult result = pane.ping ? tools_->StartPing(host) : tools_->StartTraceroute(host);
    if (result == StartResult::MalformedUrl) {
        emit hostRejected();
        return;
    }
    if (result != StartResult::Started) {
        return;
    }
    pane.running = true;
    pane.button->setText(QStringLiteral("Stop"));
    pane.button->setToolTip(QString::fromUtf8(kStopTip));
}

void PingTracePanes::AddRow(Pane& pane, const QStringList& fields) {
    auto* item = new QTreeWidgetItem(fields);
    const QFont figures = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (int column = 0; column < static_cast<int>(fields.size()); ++column) {
        if ((pane.figureColumns >> column & 1u) != 0) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
            item->setFont(column, figures);
        }
    }
    pane.rows->addTopLevelItem(item);
    pane.rows->scrollToItem(item);
}

void PingTracePanes::ShowIdle(Pane& pane) {
    pane.button->setText(pane.ping ? QStringLiteral("Ping") : QStringLiteral("Trace"));
    if (!tools_->available()) {
        pane.button->setEnabled(false);
        pane.button->setToolTip(QString::fromUtf8(kNoEchoTip));
        return;
    }
    pane.button->setToolTip(QString::fromUtf8(pane.ping ? kPingTip : kTraceTip));
}

}  // namespace qvex
