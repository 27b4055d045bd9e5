// Forged FEEDBACK and marks against a sender, strangers' marked datagrams
// from many ports, and a restart: what each costs a transfer of 2,000
// packets between alice and bob (10 Mbit/s, 30 ms round trip).
#include "forgery.h"
#include "scenarios.h"

using namespace forgery;

namespace {

constexpr int kPackets = 2000;

// A FEEDBACK "from" bob asking for every packet of alice's message, with a
// guessed number, or (onPath) with bob's newest real feedback mark; the
// packets alice queued again in answer.
int forgeReport(Pair &p, bool onPath)
{
    const qsizetype logged = p.a.logs.size();
    const NOLVUDPBUFFER *message = p.a.unit().parts().outgoing.all().last();
    NOLVUDPPACKET report = tp::packet(kDate, 7, 1, 1, lossReport("bob", message->date, message->time, 1, kPackets));
    if (!onPath || !newestFeedbackMark(p.path->ba, report.reserved))
        mark::writeFeedback(report, uint32_t(p.path->ab.sent), 0, uint32_t(p.path->ab.sent));
    inject(p.a, report, p.b.addr, p.b.port);
    static const QRegularExpression count(QStringLiteral("^Answer lost packets:.* Count:(\\d+) "));
    int queued = 0;
    for (qsizetype i = logged; i < p.a.logs.size(); ++i)
        queued += count.match(p.a.logs[i]).captured(1).toInt();
    return queued;
}

struct Run {
    int written = 0;       // alice to bob, from the send on
    int writtenAtForgery = 0;
    int queued = 0;        // packets queued again in answer to the forgery
    int back = 0;          // bob to alice
    int64_t timeUs = 0;
};

// One transfer; the forgery (if any) halfway through, or 1 s after it ended.
Run transferWith(int forgery)
{
    enum { None, BlindMidway, OnPathMidway, BlindAfter, OnPathAfter };
    Pair p;
    p.path->introduce();
    p.path->ba.keep = true;
    Run r;
    const int out = p.path->ab.sent, back = p.path->ba.sent;
    int64_t elapsedMs = 0;
    r.timeUs = p.transfer(p.a, p.b, kPackets, 1, [&] {
        if (++elapsedMs == 500 && (forgery == BlindMidway || forgery == OnPathMidway)) {
            r.writtenAtForgery = p.path->ab.sent - out;
            r.queued = forgeReport(p, forgery == OnPathMidway);
        }
    });
    p.path->run(1000);
    if (forgery == BlindAfter || forgery == OnPathAfter) {
        r.writtenAtForgery = p.path->ab.sent - out;
        r.queued = forgeReport(p, forgery == OnPathAfter);
    }
    p.path->run(5000);
    r.written = p.path->ab.sent - out;
    r.back = p.path->ba.sent - back;
    return r;
}

} // namespace

void forgedReports()
{
    const Run clean = transferWith(0);
    std::printf("one forged FEEDBACK asking for all %d packets of a message (alice to bob, 10 Mbit/s, 30 ms)\n",
                kPackets);
    std::printf("  %-42s %8s %7s %9s %9s %6s %10s\n", "forgery", "written", "extra", "owed then", "answered",
                "back", "time ms");
    std::printf("  %-42s %8d %7s %9s %9s %6d %10.1f\n", "none", clean.written, "-", "-", "-", clean.back,
                ms(clean.timeUs));
    const char *names[] = {"guessed number, halfway", "copied from the path, halfway",
                           "guessed number, 1 s after delivery", "copied from the path, 1 s after delivery"};
    for (int f = 1; f <= 4; ++f) {
        const Run r = transferWith(f);
        std::printf("  %-42s %8d %7d %9d %9d %6d %10.1f\n", names[f - 1], r.written, r.written - clean.written,
                    f <= 2 ? r.writtenAtForgery : 0, r.queued, r.back, ms(r.timeUs));
    }
}

void silentDestination()
{
    // Nothing answers at 127.0.0.4:46299; a forger sends feedback marks
    // "from" it, 8 every half second, for 30 s.
    Pair p;
    p.a->sendBufferToServer("x", 1, "127.0.0.4", 46299, nullptr);
    uint32_t guess = 0;
    for (int halfSecond = 0; halfSecond < 60; ++halfSecond) {
        p.path->run(500);
        for (int i = 0; i < 8; ++i, ++guess)
            inject(p.a, withFeedback("RE_ALIVE$carol", int32_t(guess), guess, 0, guess), "127.0.0.4", 46299);
    }
    std::printf("silent destination with forged feedback marks, after 30 s: %d \"repeat send UDP package:\", "
                "%d \"UDP package send failed:\"\n",
                p.a.countLogs("repeat send UDP package:"), p.a.countLogs("UDP package send failed:"));
}

void strangerPorts()
{
    Pair p;
    p.path->introduce();
    const int64_t alone = p.transfer(kPackets, 3);
    p.path->run(3000);
    for (int port = 0; port < 4200; ++port) {
        NOLVUDPPACKET d = tp::single(kDate, port, "RE_ALIVE$mallory");
        mark::writeData(d, mark::FeedbackNow, 0, 1, 0);
        inject(p.a, d, "127.0.0.7", quint16(10000 + port));
    }
    const int64_t after = p.transfer(kPackets, 4);
    std::printf("4,200 stranger ports of numbered datagrams: transfer %.1f ms before, %.1f ms after (%.2f x)\n",
                ms(alone), ms(after), double(after) / double(alone));
}

void restartedSender()
{
    Pair p;
    p.path->introduce();
    const int64_t first = p.transfer(kPackets, 5);
    p.restartA();
    const int64_t introduced = p.transfer(kPackets, 6);
    // Restarted again, and sending at once, with no control word before.
    p.path.reset();
    p.a.restart();
    p.path = p.link();
    const int64_t atOnce = p.transfer(kPackets, 7);
    std::printf("restart on the same port: first transfer %.1f ms; after a restart %.1f ms (%.2f x) with a control "
                "word each way first, %.1f ms (%.2f x) without\n",
                ms(first), ms(introduced), double(introduced) / double(first), ms(atOnce),
                double(atOnce) / double(first));
}
