// A short session of four units on loopback, recorded by the dissector test:
// three clients register with a server on port 45454 (so the server sends
// PEERLISTs of one to three records, the last over two packets), a client
// sends a multi-packet DATA whose fourth packet is lost once (so the server
// asks for it in a FEEDBACK loss report), one client punches a hole to another and
// sends it data directly, and a datagram with a damaged checksum reaches the
// server.
// Exits 0 when every step worked, 1 otherwise, 2 without the test addresses.
// With an argument, writes the DATA's bytes in hex to that file.
#include <QRandomGenerator>
#include <QUdpSocket>
#include <cstdio>
#include <cstring>

#include "support/peer.h"
#include "io/outgoing_tap.h"

namespace {

bool check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    return ok;
}

const PEERINFO *liveUserNamed(const MUDPUnit &u, const char *name)
{
    for (const PEERINFO *p : u.parts().peers.liveUsers().all())
        if (std::strcmp(p->name, name) == 0)
            return p;
    return nullptr;
}

// A well-formed single-packet ALIVE whose checksum is then spoiled.
QByteArray damagedDatagram()
{
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    p.date = 2461000;
    p.time = 1234;
    p.type = wire::kPacketType;
    std::strcpy(p.localIp, "127.0.0.6");
    p.localPort = 46006;
    p.index = 1;
    p.total = 1;
    const char text[] = "ALIVE$mallory";
    p.len = static_cast<int16_t>(std::strlen(text));
    std::memcpy(p.data, text, std::strlen(text));
    p.checksum = static_cast<uint16_t>(qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309) ^ 0x5a5a);
    return QByteArray(reinterpret_cast<const char *>(&p), sizeof p);
}

// 3000 random bytes, written as hex to `path` (if given): the test compares
// the reassembled message with them.
QByteArray randomMessage(const char *path)
{
    QByteArray bytes(3000, '\0');
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    if (path) {
        if (FILE *out = std::fopen(path, "w")) {
            std::fprintf(out, "%s\n", bytes.toHex().constData());
            std::fclose(out);
        }
    }
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    if (!haveTestAddresses()) {
        std::printf("127.0.0.2 is not a local address: run inside the test namespace\n");
        return 2;
    }
    bool ok = true;
    Peer server("server", "127.0.0.2", 45454);
    UnitInspector::wholeListsOnly(server.unit()); // PEERLISTs to every client, as captured below
    Peer alice("alice", "127.0.0.3", 46003);
    Peer bob("bob", "127.0.0.4", 46004);
    const char carolName[] = "\xD5\xC5\xC8\xFD"; // a GB18030 name: U+5F20 U+4E09
    Peer carol(carolName, "127.0.0.5", 46005);

    // The order gives the server's lists: alice; alice, carol; alice, carol, bob.
    for (Peer *c : {&alice, &carol, &bob}) {
        (*c)->regToServer("127.0.0.2", 45454);
        ok &= check(c->hasLog("Reg Sucess"), "registration");
    }
    ok &= check(pumpUntil([&] { return alice.unit().parts().peers.liveUsers().all().size() >= 2; }),
                "alice holds the other two clients");

    const QByteArray bytes = randomMessage(argc > 1 ? argv[1] : nullptr);
    // The first copy of packet 4 of 7 is dropped on its way out: a gap that
    // later packets show, which the server reports.
    bool dropped = false;
    alice.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &) {
        const bool drop = !dropped && d.size() == int(sizeof(NOLVUDPPACKET)) && d.mid(28, 4) == QByteArray("\4\0\7\0", 4);
        dropped = dropped || drop;
        return !drop;
    });
    alice->sendBufferToServer(bytes.constData(), bytes.size(), "127.0.0.2", 45454, nullptr);
    ok &= check(pumpUntil([&] { return !server.received.isEmpty() && alice.hasLog("Packet send success:"); }),
                "multi-packet DATA delivered and acknowledged");
    ok &= check(dropped && server.hasLog("Report lost packets:"), "the lost packet reported in a FEEDBACK");
    alice.unit().setOutgoingTap(nullptr);

    const PEERINFO *toBob = liveUserNamed(alice.unit(), "bob");
    ok &= check(toBob != nullptr, "bob is a live user of alice");
    if (toBob) {
        const PEERINFO target = *toBob;
        const char hello[] = "hello bob";
        alice->sendDataToLiveUser(hello, sizeof hello - 1, target.ip, target.port, target.name, target.serverIp,
                                  target.serverPort);
        ok &= check(alice.hasLog("Hole Sucess To "), "hole punched");
        ok &= check(pumpUntil([&] { return !bob.received.isEmpty(); }), "bob received the direct DATA");
    }

    QUdpSocket raw;
    ok &= check(raw.bind(QHostAddress(QStringLiteral("127.0.0.6")), 46006), "raw socket bound");
    raw.writeDatagram(damagedDatagram(), QHostAddress(QStringLiteral("127.0.0.2")), 45454);
    ok &= check(pumpUntil([&] { return server.hasLog("Request for Error Packet:"); }),
                "server asked again for the damaged datagram");
    ok &= check(settle(), "the last answers written");
    return ok ? 0 : 1;
}
