// List export: byte copies of the tables in table order, null and 0 for an
// empty table, and one array at a time (each call releases the previous one,
// as does every new user list the unit sends).
#include <gtest/gtest.h>

#include <cstring>

#include "registry_support.h"

TEST(RegistryExport, CopiesInTableOrderAndReleasesThePreviousArray)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46400);
    UnitInspector::wholeListsOnly(server.unit()); // the array a whole-list push copies, below
    Peer alice("alice", "127.0.0.3", 46401), bob("bob", "127.0.0.4", 46402), carol("carol", "127.0.0.5", 46403);

    int count = -1;
    EXPECT_EQ(server->exportList(MUDPUnit::List::Client, &count), nullptr);
    EXPECT_EQ(count, 0);
    for (Peer *c : {&alice, &bob, &carol})
        (*c)->regToServer("127.0.0.2", 46400);
    ASSERT_TRUE(pumpUntil([&] { return carol.unit().parts().peers.liveUsers().all().size() == 2; }));

    const auto &clients = server.unit().parts().peers.clients().all();
    clients[1]->life = -7;
    PEERINFO *list = server->exportList(MUDPUnit::List::Client, &count);
    ASSERT_TRUE(list);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(server.unit().parts().lists.scratch(), list);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(&list[i], clients[i]);
        EXPECT_EQ(std::memcmp(&list[i], clients[i], sizeof(PEERINFO)), 0);
    }
    EXPECT_EQ(list[1].life, -7);
    EXPECT_EQ(list[2].access, 1);
    // A copy: changing it leaves the table alone.
    list[0].access = 42;
    EXPECT_EQ(clients[0]->access, 1);

    // The next call releases that array even for another, empty table.
    EXPECT_EQ(server->exportList(MUDPUnit::List::Server, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(server.unit().parts().lists.scratch(), nullptr);

    // Live users copy access and life too.
    PEERINFO *live = carol->exportList(MUDPUnit::List::LiveUser, &count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(field(live[0].name), "alice");
    EXPECT_EQ(field(live[1].name), "bob");
    EXPECT_EQ(live[0].access, 0);
    PEERINFO *servers = carol->exportList(MUDPUnit::List::Server, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(field(servers[0].name), "server");
    EXPECT_EQ(carol.unit().parts().lists.scratch(), servers);

    // A registration replaces the exported array with the list it sends.
    server->exportList(MUDPUnit::List::Server, &count);
    Peer dave("dave", "127.0.0.6", 46404);
    dave->regToServer("127.0.0.2", 46400);
    PEERINFO *scratch = server.unit().parts().lists.scratch();
    ASSERT_TRUE(scratch);
    EXPECT_EQ(field(scratch[3].name), "dave");
}

TEST(RegistryExport, OwnAddressBeforeAndAfterAcceptance)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46410);
    Peer alice("alice", "127.0.0.3", 46411);
    EXPECT_STREQ(alice->getAddrForPeer(), "");
    EXPECT_EQ(alice->getPortForPeer(), 0);
    char *addr = alice->getAddrForPeer();
    alice->regToServer("127.0.0.2", 46410);
    EXPECT_EQ(alice->getAddrForPeer(), addr); // the unit's own field, not a copy
    EXPECT_STREQ(addr, "127.0.0.2");
    EXPECT_EQ(alice->getPortForPeer(), 46411);
}
