#pragma once

#include <QWidget>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QProgressBar;
class QTimer;

namespace qvex {

// What a rate or a time left reads while there is none to show.
inline constexpr const char* kNoFigure = "--";

struct SessionWorker;

// The Host page's connection activity meters: the bytes read and written on the data and
// the control connection, each connection with bars of its recent activity against a scale
// the user picks; the current transfer's rate and remaining time; and the session's
// cumulative rate and total of its ended transfers.
//
// A timer reads the session's atomic counters a few times a second on the window thread;
// the worker never touches the meters.
class ActivityMeters final : public QWidget {
    Q_OBJECT

  public:
    explicit ActivityMeters(QWidget* parent = nullptr);
    ~ActivityMeters() override;

    // Shows `session` from now on; nullptr stops following and resets the meters.
    void Follow(std::shared_ptr<SessionWorker> session);
    // Reads the counters at `now`, milliseconds of a steady clock. The timer passes the
    // tick counter; tests pass their own times.
    void Refresh(uint64_t now);

  private:
    // One direction of one connection: the socket's 32-bit counter widened to 64 bits
    // between readings, and its rate since the last reading.
    struct Direction {
        QLabel* count = nullptr;
        QProgressBar* bar = nullptr;
        uint32_t lastCounter = 0;
        uint64_t total = 0;
        double bytesPerSecond = 0;
    };
    struct Connection {
        Direction read;
        Direction write;
        QComboBox* scale = nullptr;
    };
    // A reading of the current transfer's position, for its rate over the last seconds.
    struct Sample {
        uint64_t time;
        uint64_t position;
    };

    QWidget* BuildConnection(Connection& connection, const QString& title, const char* name,
                             int defaultScale);
    void ReadDirection(Direction& direction, uint32_t counter, uint64_t elapsed);
    void ShowBars(const Connection& connection);
    void ShowCurrentTransfer(uint64_t now);
    void ShowSessionCumulative();
    void Reset();

    std::shared_ptr<SessionWorker> session_;
    QTimer* timer_ = nullptr;
    Connection data_;
    Connection control_;
    QLabel* transferRate_ = nullptr;
    QLabel* transferRemaining_ = nullptr;
    QLabel* sessionRate_ = nullptr;
    QLabel* sessionTotal_ = nullptr;
    std::optional<uint64_t> lastRefresh_;
    uint32_t transferStarts_ = 0;
    std::deque<Sample> samples_;
};

}  // namespace qvex
