// Two of our units over a simulated path (sim_path.h) and the datagrams a
// forger or a stranger writes to them: for the tests and the benchmark of
// what such datagrams can do.
#pragma once

#include <QRegularExpression>
#include <functional>
#include <memory>

#include "sim_path.h"
#include "transport/loss_report.h"
#include "transport/path_mark.h"

namespace forgery {

constexpr int32_t kDate = 2461000;

// A single word with a feedback mark.
inline NOLVUDPPACKET withFeedback(const QByteArray &text, int32_t time, uint32_t newest, int64_t holdUs,
                                  uint32_t received)
{
    NOLVUDPPACKET p = tp::packet(kDate, time, 1, 1, text);
    mark::writeFeedback(p, newest, holdUs, received);
    return p;
}

// The text of a FEEDBACK from `name` asking for packets first..last of a
// message.
inline QByteArray lossReport(const QByteArray &name, int32_t date, int32_t time, int first, int last)
{
    transport::LossReportWriter report;
    report.add(date, time, first, last);
    QByteArray message(wire::kMessageHeaderSize, '\0');
    const QByteArray header = "FEEDBACK$" + name;
    std::memcpy(message.data(), header.constData(), size_t(header.size()));
    return message + QByteArray(report.data(), report.size());
}

inline void inject(Peer &to, const NOLVUDPPACKET &p, const char *ip, quint16 port)
{
    to->receiveDatagram(reinterpret_cast<const char *>(&p), sizeof p, QHostAddress(QString::fromLatin1(ip)), port);
}

// The reserved bytes of the newest feedback mark `d` carried (kept
// datagrams): what a forger on the path would copy.
inline bool newestFeedbackMark(const SimPath::Direction &d, char (&out)[12])
{
    for (auto it = d.delivered.crbegin(); it != d.delivered.crend(); ++it) {
        const NOLVUDPPACKET p = tp::packetOf(*it);
        if (mark::read(p).kind == mark::Feedback) {
            std::memcpy(out, p.reserved, sizeof out);
            return true;
        }
    }
    return false;
}

// alice and bob over 10 Mbit/s each way, 15 ms one way, 50 ms of queue.
struct Pair {
    ManualClock clock;
    Peer a{"alice", "127.0.0.2", 46911, false};
    Peer b{"bob", "127.0.0.3", 46912, false};
    std::unique_ptr<SimPath> path = link();

    std::unique_ptr<SimPath> link()
    {
        return std::make_unique<SimPath>(a, b, clock, SimPath::Direction{10e6, 15000, 50000},
                                         SimPath::Direction{10e6, 15000, 50000});
    }
    // A message of `packets` packets from `from` to `to`, with `everyMs`
    // run every simulated millisecond meanwhile; the time to its receipt in
    // µs, or -1.
    int64_t transfer(Peer &from, Peer &to, int packets, int seed, const std::function<void()> &everyMs = [] {})
    {
        const int acked = from.countLogs("Packet send success:");
        const int64_t start = path->nowUs();
        const QByteArray bytes = simBlock(packets, seed);
        from->sendBufferToServer(bytes.constData(), int(bytes.size()), to.addr, to.port, nullptr);
        if (!path->run(60000, [&] {
                everyMs();
                return from.countLogs("Packet send success:") > acked;
            }))
            return -1;
        return path->nowUs() - start;
    }
    int64_t transfer(int packets, int seed) { return transfer(a, b, packets, seed); }
    // The restarted a (same address and port), introduced again.
    void restartA()
    {
        path.reset();
        a.restart();
        path = link();
        path->introduce();
    }
    // Date and time of the last message a logged as delivered.
    QPair<int32_t, int32_t> lastSent() const
    {
        static const QRegularExpression key(QStringLiteral("^Packet send success:\\$(\\d+)\\$(\\d+) "));
        const QRegularExpressionMatch m = key.match(a.logs.filter(QStringLiteral("Packet send success:")).last());
        return {m.captured(1).toInt(), m.captured(2).toInt()};
    }
};

} // namespace forgery
