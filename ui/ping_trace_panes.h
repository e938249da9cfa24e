#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "diag/ping_trace.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QTreeWidget;

namespace qvex {

class NetworkTools;

// The Host page's "Pinging" and "Tracing Routes" panes: each with its button ("Ping",
// "Trace", "Stop" while its run goes on), the title of the run and one row per reply or hop.
// The runs go on worker threads of their own; their rows reach the panes as queued calls.
// Without an ICMP echo service both buttons are disabled and their tooltip says why.
class PingTracePanes final : public QWidget {
    Q_OBJECT

  public:
    // The system's echo service and name service.
    explicit PingTracePanes(QWidget* parent = nullptr);
    // Those given (tests).
    PingTracePanes(IcmpBinding icmp, NameService names, QWidget* parent = nullptr);
    // Stops both runs and waits for them, at most one echo's time.
    ~PingTracePanes() override;

    // The host the buttons work on: a URL or a host name or address.
    void SetHost(const QString& hostOrUrl);

  signals:
    // A start found no URL in the host text ("*** malformed URL" is logged): the host
    // field's text is to be selected.
    void hostRejected();

  private:
    struct Pane {
        bool ping = true;
        bool running = false;
        // Bit c set: column c holds figures, right-aligned in a fixed-width font.
        unsigned figureColumns = 0;
        QGroupBox* box = nullptr;
        QLabel* title = nullptr;
        QTreeWidget* rows = nullptr;
        QPushButton* button = nullptr;
    };
    class Relay;

    QGroupBox* BuildPane(Pane& pane, const QString& name, const QStringList& columns);
    void StartOrStop(Pane& pane);
    void AddRow(Pane& pane, const QStringList& fields);
    void ShowIdle(Pane& pane);

    QString host_;
    Pane ping_;
    Pane trace_;
    std::unique_ptr<Relay> pingRelay_;
    std::unique_ptr<Relay> traceRelay_;
    // Last, so that it goes first: its workers call the relays until it has joined them.
    std::unique_ptr<NetworkTools> tools_;
};

}  // namespace qvex
