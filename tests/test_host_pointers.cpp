// Pointers a unit hands its host window (the log text, received data, the
// list arrays read during a list notification) stay valid until the window
// procedure returns, whatever the procedure calls meanwhile.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/peer.h"
#include "support/test_window.h"

namespace {

struct HostWindow {
    std::function<void(UINT, WPARAM, LPARAM)> onMessage;
    MUDPWindow window{&HostWindow::proc, this};

    static LRESULT proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
    {
        static_cast<HostWindow *>(windowUser(w))->onMessage(message, wParam, lParam);
        return 0;
    }
};

} // namespace

TEST(HostPointers, LogLineOutlivesLoggingCalls)
{
    Peer p("p", "127.0.0.2", 0);
    HostWindow host;
    bool checked = false;
    host.onMessage = [&](UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != WM_UDP_LOG || checked)
            return;
        checked = true;
        const char *line = reinterpret_cast<const char *>(wParam);
        // A shorter line, then a longer one from an export that logs.
        UnitInspector::writeLog(p.unit(), QStringLiteral("x"));
        const char byte = 0;
        p->sendBufferToServer(&byte, 16383421, "127.0.0.2", 46699, nullptr);
        ASSERT_TRUE(p.hasLog(QStringLiteral("Message too large to send:")));
        EXPECT_EQ(std::strlen(line), size_t(lParam));
        EXPECT_TRUE(QByteArray(line).endsWith(":the first line of the host")) << line;
    };
    p->setHostWindow(windowHandle(host.window));
    UnitInspector::writeLog(p.unit(), QStringLiteral("the first line of the host"));
    EXPECT_TRUE(checked);
}

TEST(HostPointers, DataOutlivesSendsAndEvents)
{
    Peer a("a", "127.0.0.2", 46601);
    Peer b("b", "127.0.0.2", 46602);
    QByteArray body(1200, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 7);
    HostWindow host;
    QByteArray seen;
    host.onMessage = [&](UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != WM_UDP_DATA || !seen.isEmpty())
            return;
        const char *data = reinterpret_cast<const char *>(wParam);
        b->sendBufferToServer("reply", 5, "127.0.0.2", 46601, nullptr);
        ASSERT_TRUE(settle()); // the reply and its receipt, while the host holds the data
        seen = QByteArray(data, int(lParam));
    };
    b->setHostWindow(windowHandle(host.window));
    a->sendBufferToServer(body.constData(), int(body.size()), "127.0.0.2", 46602, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !seen.isEmpty(); }));
    EXPECT_EQ(seen, body);
    EXPECT_TRUE(pumpUntil([&] { return a.received.size() == 1; }));
}

TEST(HostPointers, ListArrayOutlivesListCallsDuringTheNotification)
{
    Peer server("server", "127.0.0.2", 46611);
    Peer alice("alice", "127.0.0.2", 46612);
    HostWindow host;
    bool checked = false;
    host.onMessage = [&](UINT message, WPARAM wParam, LPARAM) {
        if (message != WM_UDP_LIST || wParam != LIST_CLIENT || checked)
            return;
        checked = true;
        int n = 0;
        const PEERINFO *clients = server->exportList(MUDPUnit::List::Client, &n);
        ASSERT_EQ(n, 1);
        // Another list call, and the push of the changed list to the clients.
        int servers = -1;
        server->exportList(MUDPUnit::List::Server, &servers);
        EXPECT_EQ(servers, 0);
        server.unit().parts().push.clientsChanged();
        EXPECT_STREQ(clients[0].name, "alice");
        EXPECT_EQ(clients[0].port, 46612);
    };
    server->setHostWindow(windowHandle(host.window));
    alice->regToServer("127.0.0.2", 46611);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(alice.hasLog(QStringLiteral("Reg Sucess")));
}
