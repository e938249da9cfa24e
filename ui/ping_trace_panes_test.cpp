// The ping and traceroute panes: real echoes to 127.0.0.1, and a held echo service for the
// stop, a host that is no URL and a system without echoes.
#include "ui/ping_trace_panes.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/icmp.h"
#include "platform/socket.h"

namespace qvex {
namespace {

constexpr int kWaitMs = 20000;
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order
constexpr const char* kNoEchoTip =
    "Ping and traceroute are unavailable: this system lets Qvex send no ICMP echo requests "
    "(no ping socket for this user's group in net.ipv4.ping_group_range, and no raw socket "
    "without the CAP_NET_RAW privilege)";

struct PaneView {
    QGroupBox* box;
    QLabel* title;
    QTreeWidget* rows;
    QPushButton* button;
};

PaneView Pane(const PingTracePanes& panes, const QString& key) {
    PaneView view{
        panes.findChild<QGroupBox*>(key + "Pane"), panes.findChild<QLabel*>(key + "Title"),
        panes.findChild<QTreeWidget*>(key + "Rows"), panes.findChild<QPushButton*>(key + "Button")};
    if (view.box == nullptr || view.title == nullptr || view.rows == nullptr ||
        view.button == nullptr) {
        qFatal("the %s pane is incomplete", qPrintable(key));
    }
    return view;
}

QStringList Row(const PaneView& pane, int row) {
    QStringList fields;
    const QTreeWidgetItem* item = pane.rows->topLevelItem(row);
    for (int column = 0; item != nullptr && column < item->columnCount(); ++column) {
        fields << item->text(column);
    }
    return fields;
}

QStringList Headers(const PaneView& pane) {
    QStringList names;
    for (int column = 0; column < pane.rows->columnCount(); ++column) {
        names << pane.rows->headerItem()->text(column);
    }
    return names;
}

// An echo service whose echoes wait until the test lets them through, each then answered
// by its destination in 7 ms with a TTL of 64.
struct HeldEchoes {
    IcmpBinding Binding() {
        IcmpBinding binding;
        binding.createFile = [] { return platform::IcmpHandle{5}; };
        binding.sendEcho = [this](platform::IcmpHandle, uint32_t to, const void*, uint16_t size,
                                  uint8_t, uint32_t, platform::EchoReply* reply) {
            std::unique_lock guard(lock);
            ++waiting;
            changed.notify_all();
            changed.wait_for(guard, std::chrono::seconds(60), [this] { return open; });
            *reply = {to, platform::kIpSuccess, 7, size, 64};
            return uint32_t{1};
        };
        binding.closeHandle = [](platform::IcmpHandle) {};
        binding.loaded = true;
        return binding;
    }
    void Open() {
        std::lock_guard guard(lock);
        open = true;
        changed.notify_all();
    }
    std::mutex lock;
    std::condition_variable changed;
    int waiting = 0;
    bool open = false;
};

NameService NamedHosts() {
    NameService names;
    names.byAddress = [](uint32_t address, platform::NameServiceEntry* entry) {
        *entry = {"held.example", address};
        return true;
    };
    return names;
}

}  // namespace

class PingTracePanesTest : public QObject {
    Q_OBJECT

  private slots:
    void pingAndTraceLoopback();
    void stopEndsARunAndAHostThatIsNoUrlIsRejected();
    void withoutEchoesTheButtonsSayWhy();
};

void PingTracePanesTest::pingAndTraceLoopback() {
    if (!platform::IcmpAvailable()) {
        QSKIP(
            "this system refuses ICMP echo to this process: neither an ICMP datagram socket "
            "(net.ipv4.ping_group_range) nor a raw socket (CAP_NET_RAW) can be opened");
    }
    PingTracePanes panes;
    panes.resize(760, 260);
    panes.show();
    const PaneView ping = Pane(panes, "ping");
    const PaneView trace = Pane(panes, "trace");
    QCOMPARE(ping.box->title(), QStringLiteral("Pinging"));
    QCOMPARE(trace.box->title(), QStringLiteral("Tracing Routes"));
    QCOMPARE(Headers(ping), (QStringList{"Address", "ms", "TTL", "Status"}));
    QCOMPARE(Headers(trace), (QStringList{"Hop", "Time 1", "Time 2", "Time 3", "Host"}));
    QCOMPARE(ping.button->text(), QStringLiteral("Ping"));
    QCOMPARE(ping.button->toolTip(), QStringLiteral("Ping the host in the URL field (4 echo requests)"));
    QCOMPARE(trace.button->text(), QStringLiteral("Trace"));
    QCOMPARE(trace.button->toolTip(),
             QStringLiteral("Trace the route to the host in the URL field (up to 30 hops)"));
    QVERIFY(ping.button->isEnabled());

    // The title names the host as the system's name service knows 127.0.0.1.
    platform::NameServiceEntry entry;
    const QString name = platform::LookupHostByAddress(kLoopback, &entry)
                             ? QString::fromStdString(entry.name)
                             : QStringLiteral("127.0.0.1");
    const QString title = name + " [127.0.0.1]";

    panes.SetHost(QStringLiteral("ftp://anonymous@127.0.0.1:2121/pub"));
    QTest::mouseClick(ping.button, Qt::LeftButton);
    QCOMPARE(ping.button->text(), QStringLiteral("Stop"));
    QCOMPARE(ping.button->toolTip(), QStringLiteral("Stop after the echo on its way"));
    QTRY_COMPARE_WITH_TIMEOUT(ping.button->text(), QStringLiteral("Ping"), kWaitMs);
    QCOMPARE(ping.button->toolTip(), QStringLiteral("Ping the host in the URL field (4 echo requests)"));
    QCOMPARE(ping.title->text(), title);
    QCOMPARE(ping.rows->topLevelItemCount(), 4);
    for (int row = 0; row < 4; ++row) {
        const QStringList fields = Row(ping, row);
        QCOMPARE(fields.size(), 4);
        QCOMPARE(fields[0], QStringLiteral("127.0.0.1"));
        bool number = false;
        QVERIFY2(fields[1].toInt(&number) >= 0 && number, qPrintable(fields[1]));
        QVERIFY2(fields[2].toInt(&number) > 0 && number, qPrintable(fields[2]));
        QCOMPARE(fields[3], QString());
        QVERIFY((ping.rows->topLevelItem(row)->textAlignment(1) & Qt::AlignRight) != 0);
    }

    // The destination answers the first hop: one row, then the button is back.
    QTest::mouseClick(trace.button, Qt::LeftButton);
    QCOMPARE(trace.button->text(), QStringLiteral("Stop"));
    QTRY_COMPARE_WITH_TIMEOUT(trace.button->text(), QStringLiteral("Trace"), kWaitMs);
    QCOMPARE(trace.title->text(), title);
    QCOMPARE(trace.rows->topLevelItemCount(), 1);
    const QStringList hop = Row(trace, 0);
    QCOMPARE(hop.size(), 5);
    QCOMPARE(hop[0], QStringLiteral("1"));
    for (int probe = 1; probe <= 3; ++probe) {
        bool number = false;
        QVERIFY2(hop[probe].toInt(&number) >= 0 && number, qPrintable(hop[probe]));
    }
    QCOMPARE(hop[4], title);

    // A second ping starts on empty rows.
    QTest::mouseClick(ping.button, Qt::LeftButton);
    QCOMPARE(ping.rows->topLevelItemCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(ping.button->text(), QStringLiteral("Ping"), kWaitMs);
    QCOMPARE(ping.rows->topLevelItemCount(), 4);
}

void PingTracePanesTest::stopEndsARunAndAHostThatIsNoUrlIsRejected() {
    HeldEchoes echoes;
    PingTracePanes panes(echoes.Binding(), NamedHosts());
    panes.show();
    const PaneView ping = Pane(panes, "ping");
    const PaneView trace = Pane(panes, "trace");

    panes.SetHost(QStringLiteral("10.1.2.3"));
    QTest::mouseClick(ping.button, Qt::LeftButton);
    QCOMPARE(ping.button->text(), QStringLiteral("Stop"));
    {
        std::unique_lock guard(echoes.lock);
        QVERIFY(echoes.changed.wait_for(guard, std::chrono::seconds(20),
                                        [&] { return echoes.waiting == 1; }));
    }
    QTRY_COMPARE_WITH_TIMEOUT(ping.title->text(), QStringLiteral("held.example [10.1.2.3]"),
                              kWaitMs);
    // Stop is taken after the echo on its way: its reply, then the aborted row.
    QTest::mouseClick(ping.button, Qt::LeftButton);
    echoes.Open();
    QTRY_COMPARE_WITH_TIMEOUT(ping.button->text(), QStringLiteral("Ping"), kWaitMs);
    QCOMPARE(ping.rows->topLevelItemCount(), 2);
    QCOMPARE(Row(ping, 0), (QStringList{"10.1.2.3", "7", "64", ""}));
    QCOMPARE(Row(ping, 1), (QStringList{"", "", "", "<aborted>"}));
    QCOMPARE(echoes.waiting, 1);

    // A host text that is no URL starts nothing and asks for the field's text to be selected.
    QSignalSpy rejected(&panes, &PingTracePanes::hostRejected);
    panes.SetHost(QStringLiteral("ftp://no such host"));
    QTest::mouseClick(trace.button, Qt::LeftButton);
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(trace.button->text(), QStringLiteral("Trace"));
    QCOMPARE(trace.rows->topLevelItemCount(), 0);
    QCOMPARE(trace.title->text(), QString());
}

void PingTracePanesTest::withoutEchoesTheButtonsSayWhy() {
    PingTracePanes panes{IcmpBinding(), NameService()};
    panes.show();
    for (const char* key : {"ping", "trace"}) {
        const PaneView pane = Pane(panes, key);
        QVERIFY(!pane.button->isEnabled());
        QCOMPARE(pane.button->toolTip(), QString::fromUtf8(kNoEchoTip));
        panes.SetHost(QStringLiteral("127.0.0.1"));
        QTest::mouseClick(pane.button, Qt::LeftButton);
        QCOMPARE(pane.rows->topLevelItemCount(), 0);
    }
}

}  // namespace qvex

QTEST_MAIN(qvex::PingTracePanesTest)
#include "ping_trace_panes_test.moc"
