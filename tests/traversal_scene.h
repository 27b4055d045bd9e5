// Three-party scene for the traversal tests: a server S and two clients A and
// B registered with it, so each client has the other as a live user. Also a
// counter of outgoing datagrams by protocol word, fed by a unit's tap.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QMap>
#include <QPair>
#include <cstring>

#include "support/peer.h"
#include "support/unit_probe.h"
#include "io/outgoing_tap.h"
#include "transport/wire.h"

// The protocol word at the start of a datagram's payload ("" for a packet
// that does not start a message).
inline QByteArray datagramWord(const QByteArray &datagram)
{
    if (datagram.size() < wire::kDatagramSize)
        return {};
    const auto *p = reinterpret_cast<const NOLVUDPPACKET *>(datagram.constData());
    if (p->index != 1)
        return {};
    const char *text = p->data;
    const size_t n = strnlen(text, wire::kMessageHeaderSize);
    const char *end = static_cast<const char *>(std::memchr(text, '$', n));
    return QByteArray(text, end ? end - text : static_cast<qsizetype>(n));
}

// An 80-byte area holding `text`, zero-filled after it.
inline QByteArray area(const QByteArray &text)
{
    QByteArray a(wire::kMessageHeaderSize, '\0');
    std::memcpy(a.data(), text.constData(), static_cast<size_t>(qMin<qsizetype>(text.size(), a.size() - 1)));
    return a;
}

// Counts what a unit sends, by word and destination port; `drop` decides
// which datagrams never leave.
struct SentCounter {
    QMap<QByteArray, int> words;
    QMap<quint16, int> toPort;
    QMap<QPair<QByteArray, quint16>, int> wordTo;
    std::function<bool(const QByteArray &word)> drop;

    void attach(MUDPUnit *u)
    {
        u->setOutgoingTap([this](QByteArray &d, QHostAddress &, quint16 &port) {
            const QByteArray w = datagramWord(d);
            ++words[w];
            ++toPort[port];
            ++wordTo[qMakePair(w, port)];
            return !(drop && drop(w));
        });
    }
    int operator[](const char *word) const { return words.value(word); }
    int count(const char *word, quint16 port) const { return wordTo.value(qMakePair(QByteArray(word), port)); }
    // Every datagram but the transport's own feedback to our peers.
    int total() const
    {
        int n = 0;
        for (auto it = words.begin(); it != words.end(); ++it)
            n += it.key() == "FEEDBACK" ? 0 : it.value();
        return n;
    }
};

// Ports per test case keep sockets of one case from seeing stray datagrams of
// the one before.
class TraversalScene : public ::testing::Test {
protected:
    static constexpr const char *kServerIp = "127.0.0.2";

    void SetUp() override
    {
        ASSERT_TRUE(haveTestAddresses());
        static unsigned short next = 46100;
        base = next;
        next += 10;
        s = std::make_unique<Peer>("server", kServerIp, base);
        a = std::make_unique<Peer>("alice", "127.0.0.3", base + 1);
        b = std::make_unique<Peer>("bob", "127.0.0.4", base + 2);
        for (Peer *p : {s.get(), a.get(), b.get()})
            prepare(*p);
        registerWith(*a, *s);
        registerWith(*b, *s);
        ASSERT_TRUE(pumpUntil([&] { return liveUser(*a, "bob") && liveUser(*b, "alice"); }))
            << a->logs.join("\n").toStdString();
    }

    // Runs on each unit before the clients register.
    virtual void prepare(Peer &) {}

    void TearDown() override
    {
        for (Peer *p : {s.get(), a.get(), b.get()})
            if (p)
                p->unit().setOutgoingTap(nullptr);
    }

    static void registerWith(Peer &client, Peer &server)
    {
        client->regToServer(server.addr, server.port);
        ASSERT_TRUE(client.hasLog("Reg Sucess")) << client.logs.join("\n").toStdString();
    }

    // One datagram from `from` to `to` at 127.0.0.2, so that it comes from
    // there too, as the units see each other; then lets it and what it
    // brings about be handled.
    static void sendRaw(Peer &from, Peer &to, const QByteArray &bytes, int size = 0)
    {
        UnitInspector::sendProtocol(from.unit(), bytes, kServerIp, to.port, size);
        ASSERT_TRUE(settle());
    }

    static PEERINFO *liveUser(Peer &p, const char *name)
    {
        for (PEERINFO *u : p.unit().parts().peers.liveUsers().all())
            if (std::strcmp(u->name, name) == 0)
                return u;
        return nullptr;
    }

    // Sends `data` from `from` to the live user `name` with the five values of
    // its record, as a host would.
    static void sendToLiveUser(Peer &from, const char *name, const QByteArray &data)
    {
        PEERINFO *r = liveUser(from, name);
        ASSERT_NE(r, nullptr);
        PEERINFO copy = *r;
        from->sendDataToLiveUser(data.constData(), static_cast<int>(data.size()), copy.ip, copy.port, copy.name,
                                 copy.serverIp, copy.serverPort);
    }

    static QString label(const PEERINFO &r)
    {
        return QString::fromLatin1(r.name) + QLatin1Char(' ') + QString::fromLatin1(r.ip) + QLatin1Char(':') +
               QString::number(r.port);
    }

    unsigned short base = 0;
    std::unique_ptr<Peer> s, a, b;
};
