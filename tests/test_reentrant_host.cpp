// A host whose window procedure calls back into the unit while a log line is
// being delivered, as a host that waits in it (regToServer, a send) does: the
// records the code around the line works on may leave their tables meanwhile,
// and must stay valid until that code is done (AddressSanitizer runs these).
#include <gtest/gtest.h>

#include <QPointer>
#include <QTimer>
#include <functional>

#include "support/peer.h"
#include "support/test_window.h"
#include "transport_packets.h"

namespace {

const QHostAddress kPeer(QStringLiteral("127.0.0.3"));
constexpr unsigned short kPeerPort = 47000;

struct ReentrantHost : ::testing::Test {
    Peer unit{"recv", "127.0.0.2", 0};
    tp::Capture out{unit.unit()};
    // Called on the first log line that starts with `trigger`.
    QString trigger;
    std::function<void()> reenter;
    bool reentered = false;
    MUDPWindow window{&ReentrantHost::proc, this};

    void SetUp() override { unit->setHostWindow(windowHandle(window)); }

    static LRESULT proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto *self = static_cast<ReentrantHost *>(windowUser(w));
        const QString line = QString::fromUtf8(reinterpret_cast<const char *>(wParam), int(lParam)).mid(9);
        if (message == WM_UDP_LOG && self->reenter && !self->reentered && line.startsWith(self->trigger)) {
            self->reentered = true;
            self->reenter();
        }
        return 0;
    }
    void feed(NOLVUDPPACKET p) { UnitInspector::processPacket(unit.unit(), &p, kPeer, kPeerPort); }
};

} // namespace

TEST_F(ReentrantHost, ARepeatOfAnExpiringMessage)
{
    // A message kept for ten ticks; its repeat is logged, and the host's
    // wait meanwhile runs the tick that lets the record go.
    const NOLVUDPPACKET data = tp::message(2461000, 10, "DATA$peer", "kept")[0];
    feed(data);
    for (int i = 0; i < 10; ++i)
        unit.unit().parts().recoveryPass.expireRecords();
    trigger = QStringLiteral("Repeated Data:");
    reenter = [&] { unit.tick(); };
    feed(data);
    ASSERT_TRUE(reentered);
    EXPECT_TRUE(unit.unit().parts().incoming.all().isEmpty());
    EXPECT_EQ(out.countWord("RECEIVED"), 2); // the repeat of an acknowledged message is acknowledged again
}

TEST_F(ReentrantHost, AnAnsweredRequestForTheOldestBuffer)
{
    // 500 buffers held; a request for the oldest is answered, and the host
    // sends from its window procedure meanwhile, which lets that buffer go.
    NOLVUDPBUFFER *oldest = UnitInspector::buildBuffer(unit.unit(), "first");
    UnitInspector::sendBufferToAddr(unit.unit(), oldest, "127.0.0.3", kPeerPort);
    const QByteArray request =
        "REQUEST$peer$" + QByteArray::number(oldest->date) + "$" + QByteArray::number(oldest->time) + "$1";
    for (int i = 1; i < 500; ++i)
        UnitInspector::buildBuffer(unit.unit(), "filler");
    trigger = QStringLiteral("Answer lost packet:");
    reenter = [&] { unit->sendBufferToServer("more", 4, "127.0.0.4", 47001, nullptr); };
    feed(tp::single(2461000, 11, request));
    ASSERT_TRUE(reentered);
    EXPECT_EQ(unit.unit().parts().outgoing.all().size(), 500);
    EXPECT_EQ(unit.countLogs("Answer lost packet:"), 1);
}

TEST_F(ReentrantHost, AWaitInsideANotificationFreesWhatItsRoundsLetGo)
{
    // The host waits inside a notification while datagrams keep coming: the
    // records they let go of are freed round by round, not when the host's
    // procedure returns.
    constexpr int kBatches = 40, kPerBatch = 100;
    int fed = 0, mostHeld = 0;
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        mostHeld = std::max(mostHeld, unit.unit().parts().life.retiredCount());
        for (int i = 0; i < kPerBatch && fed < kBatches * kPerBatch; ++i, ++fed)
            feed(tp::single(2461000, 1000 + fed, "RE_ALIVE$peer"));
    });
    trigger = QStringLiteral("Packet Received:");
    reenter = [&] {
        feeder.start(0);
        while (fed < kBatches * kPerBatch)
            MUDPUnit::waitWithEvents(2);
        feeder.stop();
    };
    feed(tp::message(2461000, 10, "DATA$peer", "wait here")[0]);
    ASSERT_TRUE(reentered);
    EXPECT_LT(mostHeld, kBatches * kPerBatch / 4); // a round's worth, not all of them
}

namespace {
struct EndingHost {
    QPointer<MUDPUnit> unit;
    bool cleared = false;
    bool unitLivedOn = false;
    static LRESULT proc(HWND w, UINT message, WPARAM, LPARAM)
    {
        auto *self = static_cast<EndingHost *>(windowUser(w));
        if (message == WM_UDP_DATA && !self->cleared) {
            self->cleared = true;
            clearInstance();
            self->unitLivedOn = !self->unit.isNull();
        }
        return 0;
    }
};
} // namespace

TEST(ReentrantInstance, ClearInstanceInsideANotification)
{
    // The host ends the instance from its window procedure while the unit
    // tells it of a message: the unit goes once that is done, and its port
    // is free at once for the next instance.
    ensureApplication();
    EndingHost host;
    host.unit = initInstance();
    ASSERT_TRUE(bindPort(47123));
    MUDPWindow window{&EndingHost::proc, &host};
    setRevWindowsHandle(windowHandle(window));
    NOLVUDPPACKET data = tp::message(2461000, 10, "DATA$peer", "bye")[0];
    UnitInspector::processPacket(*host.unit, &data, kPeer, kPeerPort);
    EXPECT_TRUE(host.cleared);
    EXPECT_TRUE(host.unitLivedOn);
    initInstance();
    EXPECT_TRUE(bindPort(47123));
    EXPECT_TRUE(pumpUntil([&] { return host.unit.isNull(); }));
    clearInstance();
}
