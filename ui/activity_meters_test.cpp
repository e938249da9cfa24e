// The activity meters over a session whose sockets moved real bytes on loopback.
#include "ui/activity_meters.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <memory>
#include <string>
#include <thread>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "util/format.h"

namespace qvex {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order
constexpr uint64_t kMiB = 1024 * 1024;

// One connected pair of sockets on loopback: `own` belongs to the session, `peer` to the
// other end.
bool Connect(TcpSocket& own, TcpSocket& peer) {
    TcpSocket listener;
    uint32_t address = 0;
    uint16_t port = 0;
    return listener.Create(kLoopback) && listener.Listen() &&
           listener.LocalAddress(&address, &port) && own.Create() &&
           own.Connect("127.0.0.1", port) && listener.Accept(peer);
}

// `count` bytes from `from` to `to`, the sender on a thread of its own so that neither side
// waits for a full socket buffer.
bool Move(TcpSocket& from, TcpSocket& to, uint64_t size) {
    const auto count = static_cast<long>(size);
    const std::string bytes(size, 'x');
    long sent = 0;
    std::thread sender([&] { sent = from.SendAll(bytes.data(), count); });
    std::string received(size, '\0');
    const long got = to.RecvAll(received.data(), count);
    sender.join();
    return sent == count && got == count;
}

}  // namespace

class ActivityMetersTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { SetNumberSeparatorsForTesting('.', ','); }
    void countersRatesAndTotals();
    void timerFollowsAndNullResets();
};

void ActivityMetersTest::countersRatesAndTotals() {
    auto session = std::make_shared<SessionWorker>();
    TcpSocket controlPeer;
    TcpSocket dataPeer;
    QVERIFY(Connect(session->control, controlPeer));
    QVERIFY(Connect(session->data, dataPeer));
    QVERIFY(Move(controlPeer, session->control, 64));
    QVERIFY(Move(session->control, controlPeer, 16));
    QVERIFY(Move(dataPeer, session->data, 3 * kMiB));
    QVERIFY(Move(session->data, dataPeer, 12345));

    ActivityMeters meters;
    meters.Follow(session);
    auto text = [&](const char* name) {
        auto* label = meters.findChild<QLabel*>(QString::fromUtf8(name));
        return label != nullptr ? label->text() : QStringLiteral("<no %1>").arg(name);
    };
    auto bar = [&](const char* name) {
        auto* found = meters.findChild<QProgressBar*>(QString::fromUtf8(name));
        return found != nullptr ? found->value() : -1;
    };
    meters.Refresh(1000);
    QCOMPARE(text("dataReadCount"), QStringLiteral("3,145,728"));
    QCOMPARE(text("dataWriteCount"), QStringLiteral("12,345"));
    QCOMPARE(text("controlReadCount"), QStringLiteral("64"));
    QCOMPARE(text("controlWriteCount"), QStringLiteral("16"));
    QCOMPARE(text("transferRate"), QString::fromUtf8(kNoFigure));
    QCOMPARE(text("sessionTotal"), QStringLiteral("0"));

    // The scales, and the bars against them: one MiB a second read fills a tenth of the data
    // connection's default, all of a 1 MB/s scale; 512 bytes in that second fill half of the
    // control connection's 1 KB/s.
    auto* dataScale = meters.findChild<QComboBox*>(QStringLiteral("dataScale"));
    QVERIFY(dataScale != nullptr);
    QStringList scales;
    for (int index = 0; index < dataScale->count(); ++index) {
        scales << dataScale->itemText(index);
    }
    QCOMPARE(scales, (QStringList{"1.00 KB/s", "10.0 KB/s", "100 KB/s", "1.00 MB/s", "10.0 MB/s",
                                  "100 MB/s", "1.00 GB/s"}));
    QCOMPARE(dataScale->currentText(), QStringLiteral("10.0 MB/s"));
    QCOMPARE(meters.findChild<QComboBox*>(QStringLiteral("controlScale"))->currentText(),
             QStringLiteral("1.00 KB/s"));
    QVERIFY(Move(dataPeer, session->data, kMiB));
    QVERIFY(Move(session->control, controlPeer, 512));
    meters.Refresh(2000);
    QCOMPARE(text("dataReadCount"), QStringLiteral("4,194,304"));
    QCOMPARE(text("controlWriteCount"), QStringLiteral("528"));
    QCOMPARE(bar("dataReadBar"), 100);
    QCOMPARE(bar("dataWriteBar"), 0);
    QCOMPARE(bar("controlWriteBar"), 500);
    QCOMPARE(bar("controlReadBar"), 0);
    dataScale->setCurrentIndex(3);
    QCOMPARE(bar("dataReadBar"), 1000);

    // A transfer of 10 MiB: its rate over the readings of the last two seconds, and the time
    // left at that rate.
    session->transferActive = true;
    session->meter.starts = 1;
    session->meter.size = static_cast<int64_t>(10 * kMiB);
    session->meter.position = 0;
    meters.Refresh(3000);
    QCOMPARE(text("transferRate"), QString::fromUtf8(kNoFigure));
    QCOMPARE(text("transferRemaining"), QString::fromUtf8(kNoFigure));
    session->meter.position = 2 * kMiB;
    meters.Refresh(4000);
    QCOMPARE(text("transferRate"), QStringLiteral("2.00 MB/s"));
    QCOMPARE(text("transferRemaining"), QStringLiteral("00:00:04"));
    session->meter.position = 3 * kMiB;
    meters.Refresh(5000);
    QCOMPARE(text("transferRate"), QStringLiteral("1.50 MB/s"));
    QCOMPARE(text("transferRemaining"), QStringLiteral("00:00:05"));
    session->meter.position = 3 * kMiB + 512 * 1024;
    meters.Refresh(6000);  // the reading at 3000 has left the window
    QCOMPARE(text("transferRate"), QStringLiteral("768 KB/s"));
    QCOMPARE(text("transferRemaining"), QStringLiteral("00:00:09"));
    // An unknown size has a rate and no time left.
    session->meter.size = -1;
    session->meter.position = 4 * kMiB;
    meters.Refresh(7000);
    QCOMPARE(text("transferRate"), QStringLiteral("512 KB/s"));
    QCOMPARE(text("transferRemaining"), QString::fromUtf8(kNoFigure));
    // The next transfer starts from a reading of its own.
    session->meter.starts = 2;
    session->meter.size = 1000;
    session->meter.position = 500;
    meters.Refresh(8000);
    QCOMPARE(text("transferRate"), QString::fromUtf8(kNoFigure));
    session->transferActive = false;
    meters.Refresh(9000);
    QCOMPARE(text("transferRate"), QString::fromUtf8(kNoFigure));
    QCOMPARE(text("transferRemaining"), QString::fromUtf8(kNoFigure));

    // The session's ended transfers, as their summaries count them.
    LogTransferSummaryAt(*session, "received", 123456789, 0, 25000);
    LogTransferSummaryAt(*session, "sent", 1000, 25000, 25000);
    meters.Refresh(10000);
    QCOMPARE(text("sessionRate"), QStringLiteral("4.71 MB/s"));
    QCOMPARE(text("sessionTotal"), QStringLiteral("123,457,789"));
}

void ActivityMetersTest::timerFollowsAndNullResets() {
    auto session = std::make_shared<SessionWorker>();
    TcpSocket controlPeer;
    QVERIFY(Connect(session->control, controlPeer));
    ActivityMeters meters;
    meters.show();
    meters.Follow(session);
    auto* count = meters.findChild<QLabel*>(QStringLiteral("controlReadCount"));
    QVERIFY(count != nullptr);
    QCOMPARE(count->text(), QStringLiteral("0"));
    // Bytes that arrive later are shown by the meters' own timer.
    QVERIFY(Move(controlPeer, session->control, 4321));
    QTRY_COMPARE_WITH_TIMEOUT(count->text(), QStringLiteral("4,321"), 5000);

    LogTransferSummaryAt(*session, "received", 2048, 0, 1000);
    QTRY_COMPARE_WITH_TIMEOUT(meters.findChild<QLabel*>(QStringLiteral("sessionRate"))->text(),
                              QStringLiteral("2.00 KB/s"), 5000);
    meters.Follow(nullptr);
    QCOMPARE(count->text(), QStringLiteral("0"));
    QCOMPARE(meters.findChild<QLabel*>(QStringLiteral("sessionRate"))->text(), QString::fromUtf8(kNoFigure));
    QCOMPARE(meters.findChild<QLabel*>(QStringLiteral("sessionTotal"))->text(),
             QStringLiteral("0"));
    // Nothing follows a session any more: later bytes stay unseen.
    QVERIFY(Move(controlPeer, session->control, 10));
    QTest::qWait(600);
    QCOMPARE(count->text(), QStringLiteral("0"));
}

}  // namespace qvex

QTEST_MAIN(qvex::ActivityMetersTest)
#include "activity_meters_test.moc"
