// The timer slot's busy guard, window messages, and destruction of a unit
// whose six tables all hold records (run under LeakSanitizer in CI).
#include <gtest/gtest.h>

#include <QPointer>

#include "support/peer.h"
#include "support/test_window.h"

TEST(Timeout, NestedTickIsSkipped)
{
    Peer p("p", "127.0.0.2", 46301);
    // A buffer sent to a port nobody listens on leaves a send record.
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(p.unit(), "payload");
    UnitInspector::sendBufferToAddr(p.unit(), b, "127.0.0.2", 46399);
    ASSERT_EQ(p.unit().parts().sends.all().size(), 1);
    SENDRECORD *record = p.unit().parts().sends.all()[0];

    // A tick while the flag is set does nothing.
    UnitInspector::setTimeoutBusy(p.unit(), true);
    p.tick();
    EXPECT_EQ(record->retries, 6);
    UnitInspector::setTimeoutBusy(p.unit(), false);

    // A tick that arrives while a tick's job runs (here: from the log slot the
    // job's own line triggers) is skipped, and the outer one finishes.
    int nested = 0;
    UnitInspector::onLog(p.unit(), [&](const QString &line) {
        if (line.contains(QStringLiteral("repeat send UDP package:")) && nested++ == 0) {
            EXPECT_TRUE(UnitInspector::timeoutBusy(p.unit()));
            p.tick();
        }
    });
    p.tick();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(record->retries, 5) << "the nested tick must not count down again";
    EXPECT_EQ(p.countLogs(QStringLiteral("repeat send UDP package:")), 1);
    EXPECT_FALSE(UnitInspector::timeoutBusy(p.unit()));
}

namespace {
struct WindowLog {
    QList<QPair<UINT, WPARAM>> messages;
    QByteArray data;
};
LRESULT record(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *log = static_cast<WindowLog *>(windowUser(window));
    log->messages << qMakePair(message, message == WM_UDP_LIST ? wParam : WPARAM(0));
    if (message == WM_UDP_DATA)
        log->data = QByteArray(reinterpret_cast<const char *>(wParam), static_cast<qsizetype>(lParam));
    return 0;
}
} // namespace

TEST(HostWindow, DataAndListMessagesFollowTheirSignals)
{
    Peer server("server", "127.0.0.2", 46311);
    Peer client("client", "127.0.0.2", 46312);
    WindowLog serverWindow;
    MUDPWindow sw{record, &serverWindow};
    server->setHostWindow(windowHandle(sw));
    client->regToServer("127.0.0.2", 46311);
    bool sawList = false;
    for (const auto &m : serverWindow.messages)
        sawList |= m.first == WM_UDP_LIST && m.second == LIST_CLIENT;
    EXPECT_TRUE(sawList);

    client->sendBufferToServer("abc", 3, "127.0.0.2", 46311, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !server.received.isEmpty(); }));
    EXPECT_EQ(serverWindow.data, QByteArray("abc"));

    // Without a window the signals still arrive and nothing is sent.
    server->setHostWindow(nullptr);
    const int before = static_cast<int>(serverWindow.messages.size());
    client->sendBufferToServer("def", 3, "127.0.0.2", 46311, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return server.received.size() == 2; }));
    EXPECT_EQ(serverWindow.messages.size(), before);
}

TEST(Destruction, FreesEveryTable)
{
    auto server = std::make_unique<Peer>("server", "127.0.0.2", 46321);
    Peer a("a", "127.0.0.2", 46322);
    Peer b("b", "127.0.0.2", 46323);
    a->regToServer("127.0.0.2", 46321);
    b->regToServer("127.0.0.2", 46321);
    ASSERT_TRUE(pumpUntil([&] { return a.unit().parts().peers.liveUsers().all().size() == 1; }));

    // The server also registers with a, sends to nobody, and holds a partial
    // incoming message: every one of its six tables has records.
    server->u->regToServer("127.0.0.2", 46322);
    QByteArray big(3000, 'z');
    int dropped = 0;
    b.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &) {
        const auto *p = reinterpret_cast<const NOLVUDPPACKET *>(d.constData());
        return !(p->total > 1 && p->index == 3 && ++dropped);
    });
    b->sendBufferToClient(big.constData(), big.size(), "127.0.0.2", 46321, nullptr);
    ASSERT_TRUE(settle());
    MUDPUnit &s = server->unit();
    EXPECT_FALSE(s.parts().outgoing.all().isEmpty());
    EXPECT_FALSE(s.parts().incoming.all().isEmpty());
    EXPECT_FALSE(s.parts().sends.all().isEmpty());
    EXPECT_FALSE(s.parts().peers.servers().all().isEmpty());
    EXPECT_FALSE(s.parts().peers.clients().all().isEmpty());
    int n = 0;
    UnitInspector::mergePeerList(s, QByteArray(reinterpret_cast<const char *>(s.parts().peers.clients().all()[0]), 144),
                                 "127.0.0.9", 1);
    EXPECT_FALSE(s.parts().peers.liveUsers().all().isEmpty());
    ASSERT_NE(s.exportList(MUDPUnit::List::Client, &n), nullptr);

    QPointer<QTimer> timer = UnitInspector::timer(s);
    QPointer<QUdpSocket> socket = s.parts().socket.socket();
    server.reset();
    EXPECT_TRUE(timer.isNull());
    EXPECT_TRUE(socket.isNull());
}
