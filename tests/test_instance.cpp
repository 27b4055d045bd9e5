// The exported instance functions and setters, called as a host calls them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>
#include <cstring>

#include "api/instance.h"
#include "mudp.h"
#include "support/peer.h"
#include "support/test_window.h"
#include "support/unit_probe.h"
#include "transport_packets.h"

namespace {

QStringList warnings;
void recordWarnings(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtWarningMsg)
        warnings << msg;
}

struct WindowLog {
    QList<UINT> messages;
    QList<QByteArray> texts;
};

LRESULT recordWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *log = static_cast<WindowLog *>(windowUser(window));
    log->messages << message;
    if (message == WM_UDP_LOG)
        log->texts << QByteArray(reinterpret_cast<const char *>(wParam), static_cast<qsizetype>(lParam));
    return 0;
}

} // namespace

// Runs first: the process has no application object yet.
TEST(Instance, LifecycleWithoutHostApplication)
{
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    // Before initInstance every call is refused harmlessly.
    WindowLog log;
    MUDPWindow window{recordWindow, &log};
    setRevWindowsHandle(windowHandle(window));
    clearInstance();
    EXPECT_FALSE(bindPort(46100));
    EXPECT_EQ(autoBind(46100, 46110), 0);
    int count = -1;
    EXPECT_EQ(getServerList(&count), nullptr);
    EXPECT_STREQ(getAddrForPeer(), "");

    qInstallMessageHandler(recordWarnings);
    MUDPUnit *unit = initInstance();
    ASSERT_NE(unit, nullptr);
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_EQ(api::ownApplication(), QCoreApplication::instance());
    EXPECT_EQ(QCoreApplication::arguments(), QStringList{QStringLiteral("dummy.exe")});
    EXPECT_TRUE(warnings.contains(QStringLiteral("create instance\n")));
    // The handle set before initInstance was dropped: nothing reaches it.
    UnitInspector::writeLog(*unit, QStringLiteral("hello"));
    EXPECT_TRUE(log.messages.isEmpty());
    setRevWindowsHandle(windowHandle(window));
    UnitInspector::writeLog(*unit, QStringLiteral("hello"));
    ASSERT_EQ(log.messages.size(), 1);
    EXPECT_EQ(log.messages[0], WM_UDP_LOG);
    EXPECT_TRUE(log.texts[0].endsWith(":hello"));

    EXPECT_STREQ(getAddrForPeer(), "");
    EXPECT_EQ(getPortForPeer(), 0);

    clearInstance();
    EXPECT_TRUE(warnings.contains(QStringLiteral("clear instance\n")));
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_EQ(api::unit(), nullptr);
    clearInstance(); // harmless a second time
    qInstallMessageHandler(nullptr);

    // A new instance after clearInstance works again.
    ASSERT_NE(initInstance(), nullptr);
    EXPECT_NE(QCoreApplication::instance(), nullptr);
    clearInstance();
}

TEST(Instance, BindAndAutoBind)
{
    ASSERT_NE(initInstance(), nullptr);
    MUDPUnit &unit = *api::unit();
    QUdpSocket blocker;
    ASSERT_TRUE(blocker.bind(QHostAddress::AnyIPv4, 0));
    const quint16 taken = blocker.localPort();

    EXPECT_FALSE(bindPort(taken));
    EXPECT_EQ(unit.parts().self.boundPort, taken);

    EXPECT_EQ(autoBind(taken, taken), 0);
    EXPECT_EQ(unit.parts().self.boundPort, 0);
    EXPECT_EQ(autoBind(taken + 1, taken), 0);
    EXPECT_EQ(unit.parts().self.boundPort, 0);
    EXPECT_EQ(autoBind(taken, taken + 1), 0) << "the upper bound is exclusive";

    // The first port is taken: the next free one is bound.
    const unsigned short got = autoBind(taken, taken + 20);
    EXPECT_GT(got, taken);
    EXPECT_LT(got, taken + 20);
    EXPECT_EQ(unit.parts().self.boundPort, got);
    EXPECT_EQ(unit.parts().socket.socket()->localPort(), got);

    // Rebinding moves the unit to the new port.
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress::AnyIPv4, 0));
    const quint16 free = probe.localPort();
    probe.close();
    EXPECT_TRUE(bindPort(free));
    EXPECT_EQ(unit.parts().socket.socket()->localPort(), free);
    EXPECT_EQ(unit.parts().socket.socket()->localAddress(), QHostAddress(QHostAddress::AnyIPv4));
    clearInstance();
}

// A bind that fails leaves the unit on the port it had; port 0 is refused.
TEST(Instance, FailedBindKeepsTheWorkingPort)
{
    ASSERT_NE(initInstance(), nullptr);
    MUDPUnit &unit = *api::unit();
    QUdpSocket blocker;
    ASSERT_TRUE(blocker.bind(QHostAddress::AnyIPv4, 0));
    const quint16 taken = blocker.localPort();
    const unsigned short mine = autoBind(taken + 1, taken + 20);
    ASSERT_NE(mine, 0);
    const auto stillOnMine = [&] {
        EXPECT_EQ(unit.parts().self.boundPort, mine);
        EXPECT_EQ(unit.parts().socket.socket()->localPort(), mine);
        // It still receives there: a heartbeat is answered.
        blocker.writeDatagram(tp::bytesOf(tp::single(2460000, 1, "ALIVE$host")), QHostAddress::LocalHost, mine);
        ASSERT_TRUE(pumpUntil([&] { return blocker.hasPendingDatagrams(); }));
        EXPECT_EQ(tp::wordOf(blocker.receiveDatagram().data()), "RE_ALIVE");
    };

    EXPECT_FALSE(bindPort(taken));
    stillOnMine();
    EXPECT_EQ(autoBind(taken, taken + 1), 0) << "a fully taken range";
    stillOnMine();
    EXPECT_EQ(autoBind(taken, taken), 0);
    stillOnMine();
    EXPECT_TRUE(bindPort(mine)) << "the port it already holds";
    stillOnMine();

    EXPECT_FALSE(bindPort(0));
    stillOnMine();
    EXPECT_EQ(autoBind(0, 1), 0) << "port 0 is never tried";
    stillOnMine();
    clearInstance();

    // Before any bind, port 0 is refused alike and the default port stays.
    ASSERT_NE(initInstance(), nullptr);
    EXPECT_FALSE(bindPort(0));
    EXPECT_EQ(api::unit()->parts().self.boundPort, MUDP_DEFAULT_PORT);
    EXPECT_EQ(api::unit()->parts().socket.socket()->state(), QAbstractSocket::UnconnectedState);
    clearInstance();
}

TEST(Instance, TextsAreCutToTheirFields)
{
    ASSERT_NE(initInstance(), nullptr);
    MUDPUnit &unit = *api::unit();
    char longAddr[] = "123.123.123.123.45";
    setLocalAddr(longAddr);
    EXPECT_STREQ(unit.parts().self.addr, "123.123.123.123");

    char longName[60];
    std::memset(longName, 'n', sizeof longName - 1);
    longName[59] = '\0';
    setLocalName(longName);
    EXPECT_EQ(std::strlen(unit.parts().self.name), 39u);

    // 38 ASCII bytes then a two-byte character: the character does not fit
    // and is left out whole.
    char gb[64] = {};
    std::memset(gb, 'a', 38);
    std::memcpy(gb + 38, "\xD6\xD0", 2);
    setLocalName(gb);
    EXPECT_EQ(std::strlen(unit.parts().self.name), 38u);
    // 36 bytes then a four-byte character: it ends exactly at 40, too long.
    std::memset(gb, 0, sizeof gb);
    std::memset(gb, 'a', 36);
    std::memcpy(gb + 36, "\x95\x32\x82\x36", 4);
    setLocalName(gb);
    EXPECT_EQ(std::strlen(unit.parts().self.name), 36u);
    // 35 bytes then the same character: it fits.
    std::memset(gb, 0, sizeof gb);
    std::memset(gb, 'a', 35);
    std::memcpy(gb + 35, "\x95\x32\x82\x36", 4);
    setLocalName(gb);
    EXPECT_EQ(std::strlen(unit.parts().self.name), 39u);

    setLocalName(nullptr); // refused, the name stays
    EXPECT_EQ(std::strlen(unit.parts().self.name), 39u);
    clearInstance();
}

// A send returns once the block is queued; clearInstance lets what is queued
// go out before the unit goes.
TEST(Instance, SendsReturnAndClearInstanceLetsQueuedWritesGo)
{
    initInstance();
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress(QStringLiteral("127.0.0.3")), 46151));
    receiver.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(4 * 1024 * 1024));
    ASSERT_TRUE(bindPort(46150));
    char addr[] = "127.0.0.2", to[] = "127.0.0.3";
    setLocalAddr(addr);
    QByteArray block(100 * 500 - 80, 'c'); // 100 datagrams: eight rounds of the pace
    sendDataToServer(block.data(), int(block.size()), to, 46151);
    int arrived = 0;
    while (receiver.hasPendingDatagrams() && receiver.receiveDatagram().isValid())
        ++arrived;
    EXPECT_LT(arrived, 100); // the call wrote its first round, not the block
    clearInstance();
    while (receiver.hasPendingDatagrams() && receiver.receiveDatagram().isValid())
        ++arrived;
    EXPECT_EQ(arrived, 100);
}

// Runs last: the host owns an application object.
TEST(Instance, HostOwnsTheApplication)
{
    static int argc = 1;
    static char name[] = "host";
    static char *argv[] = {name, nullptr};
    auto *hostApp = new QCoreApplication(argc, argv);
    MUDPUnit *first = initInstance();
    EXPECT_EQ(QCoreApplication::instance(), hostApp);
    EXPECT_EQ(api::ownApplication(), nullptr);
    clearInstance();
    EXPECT_EQ(QCoreApplication::instance(), hostApp);
    Q_UNUSED(first);

    // A second initInstance without clearInstance makes a new current unit;
    // clearInstance then destroys only that one.
    MUDPUnit *a = initInstance();
    MUDPUnit *b = initInstance();
    EXPECT_NE(a, b);
    EXPECT_EQ(api::unit(), b);
    clearInstance();
    delete a; // the host's own clean-up of the unreachable unit
    delete hostApp;
}
