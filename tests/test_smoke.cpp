#include <gtest/gtest.h>

#include "support/peer.h"

TEST(Smoke, DataAndRegistration)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46001);
    Peer client("client", "127.0.0.2", 46002);
    client->regToServer("127.0.0.2", 46001);
    EXPECT_TRUE(client.hasLog("Reg Sucess")) << client.logs.join("\n").toStdString();
    QByteArray big(5000, 'x');
    client->sendBufferToServer(big.constData(), big.size(), "127.0.0.2", 46001, nullptr);
    EXPECT_TRUE(pumpUntil([&] { return !server.received.isEmpty(); }));
    ASSERT_EQ(server.received.size(), 1);
    EXPECT_EQ(server.received[0], big);
    EXPECT_TRUE(pumpUntil([&] { return client.hasLog("Packet send success:"); }));
}
