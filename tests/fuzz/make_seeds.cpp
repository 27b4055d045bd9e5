// Writes the fuzz seed corpus into the directory given as argument: one file
// per protocol word holding a valid datagram of it, and a few sequences
// (multi-packet messages, repeats, ticks).
#include <QByteArray>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "mudp.h"
#include "transport/wire.h"

namespace {

constexpr int32_t kDate = 2461000;

std::string packet(int32_t time, int index, int total, const QByteArray &payload)
{
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    p.date = kDate;
    p.time = time;
    p.type = wire::kPacketType;
    std::strcpy(p.localIp, "127.0.0.3");
    p.localPort = 47000;
    p.index = static_cast<int16_t>(index);
    p.total = static_cast<int16_t>(total);
    p.len = static_cast<int16_t>(payload.size());
    std::memcpy(p.data, payload.constData(), size_t(payload.size()));
    p.checksum = qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
    return std::string(reinterpret_cast<const char *>(&p), sizeof p);
}

// A message of 80-byte header and body, cut into packets.
std::vector<std::string> message(int32_t time, const QByteArray &head, const QByteArray &body)
{
    QByteArray all = head.leftJustified(wire::kMessageHeaderSize, '\0', true) + body;
    const int n = int((all.size() + 499) / 500);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(packet(time, i + 1, n, all.mid(i * 500, 500)));
    return out;
}

QByteArray peerRecord(const char *name, const char *ip, unsigned short port)
{
    PEERINFO r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.name, name);
    std::strcpy(r.ip, ip);
    std::strcpy(r.localIp, ip);
    r.port = r.localPort = port;
    std::strcpy(r.serverName, "srv");
    std::strcpy(r.serverIp, "127.0.0.3");
    r.serverPort = 47000;
    r.life = 3;
    return QByteArray(reinterpret_cast<const char *>(&r), sizeof r);
}

bool write(const std::string &dir, const std::string &name, const std::string &bytes)
{
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

const QByteArray kSent = QByteArray::number(kDate) + "$5000";
const QByteArray kTarget = "$0$0$0$127.0.0.4$46000";
const QByteArray kSeen = "$0$0$0$127.0.0.3$47000";

// One seed per single-packet word.
bool writeSingles(const std::string &dir, int32_t &time)
{
    QByteArray transHole = QByteArray("TRANSHOLE$peer" + kTarget).leftJustified(80, '\0');
    transHole += QByteArray("HOLEREQ$peer" + kSeen).leftJustified(80, '\0');

    struct Single { const char *name; QByteArray text; } singles[] = {
        {"request", "REQUEST$peer$" + kSent + "$1"},
        {"received", "RECEIVED$peer$" + kSent + " Total:1"},
        {"datafail", "DATAFAIL$peer$" + kSent},
        {"reg", "REG$peer"},
        {"unreg", "UNREG$peer"},
        {"regacc", "REGACC$srv$0$0$0$127.0.0.2$45454"},
        {"unregacc", "UNREGACC$srv"},
        {"alive", "ALIVE$peer"},
        {"re_alive", "RE_ALIVE$srv"},
        {"regdup", "REGDUP$srv"},
        {"unkown", "UNKOWN$peer$Word Unkown:FOO"},
        {"transhole", transHole},
        {"holereq", "HOLEREQ$peer" + kSeen},
        {"holereg", "HOLEREG$peer" + kSeen},
        {"holeacc", "HOLEACC$peer" + kSeen},
        {"nolvhole", "NOLVHOLE"},
    };
    bool ok = true;
    for (const Single &s : singles) {
        fuzzinput::Writer w;
        w.datagram(packet(time++, 1, 1, s.text));
        ok = write(dir, s.name, w.out) && ok;
    }
    return ok;
}

// The buffered words, PEERLIST and DATA over two packets.
bool writeBuffered(const std::string &dir, int32_t &time)
{
    struct Buffered { const char *name; QByteArray head; QByteArray body; } buffered[] = {
        {"peerlist", "PEERLIST$srv$0$0$0", peerRecord("ann", "127.0.0.5", 46001) + peerRecord("ben", "127.0.0.6", 46002)},
        {"data", "DATA$peer", QByteArray(600, 'd')},
        {"trans", "TRANS$peer" + kTarget, "relayed"},
    };
    bool ok = true;
    for (const Buffered &b : buffered) {
        fuzzinput::Writer w;
        for (const std::string &p : message(time++, b.head, b.body))
            w.datagram(p);
        ok = write(dir, b.name, w.out) && ok;
    }
    return ok;
}

// A session: registration, heartbeat, a user list, a repeated and a partial
// message, then ticks through expiry.
fuzzinput::Writer session(int32_t &time)
{
    fuzzinput::Writer w;
    w.datagram(packet(time++, 1, 1, "REG$peer"));
    w.datagram(packet(time++, 1, 1, "ALIVE$peer"));
    w.datagram(packet(time++, 1, 1, "REGACC$srv$0$0$0$127.0.0.2$45454"), fuzzinput::Loopback4);
    for (const std::string &p : message(time++, "PEERLIST$srv$0$0$0", peerRecord("ann", "127.0.0.5", 46001)))
        w.datagram(p, fuzzinput::Loopback4);
    const std::vector<std::string> data = message(time++, "DATA$peer", QByteArray(1200, 'x'));
    w.datagram(data[0]);
    w.again(fuzzinput::Loopback3, fuzzinput::Port47001);
    w.datagram(data[2]);
    for (int i = 0; i < 12; ++i)
        w.tick();
    return w;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-dir\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    int32_t time = 1000;
    bool ok = writeSingles(dir, time);
    ok = writeBuffered(dir, time) && ok;
    const fuzzinput::Writer w = session(time);
    ok = write(dir, "session", w.out) && ok;

    // A host that re-enters the unit from its window procedure: the same
    // kept message repeated at its expiry, with a tick run under every
    // second notification, and a session where every third one sends.
    fuzzinput::Writer again;
    again.reentry(2, 2);
    const std::vector<std::string> kept = message(time++, "DATA$peer", "kept");
    again.datagram(kept[0]);
    for (int i = 0; i < 10; ++i)
        again.tick();
    again.datagram(kept[0]);
    ok = write(dir, "reentry-tick", again.out) && ok;
    fuzzinput::Writer sends;
    sends.reentry(3, 1);
    sends.out += w.out;
    ok = write(dir, "reentry-send", sends.out) && ok;
    return ok ? 0 : 1;
}
