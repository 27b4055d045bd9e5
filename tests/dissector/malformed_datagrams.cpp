// Prints, as a text2pcap hex dump, datagrams that no unit sends but the
// network may carry: short, long, with numbering out of range, unterminated
// texts, bad encodings, messages cut short, unknown path marks and malformed
// FEEDBACK loss reports; and the words and keyed datagrams only our own units
// exchange. The dissector test turns the dump into a capture and checks that
// each is shown without a script error.
#include <QByteArray>
#include <QList>
#include <cstdio>
#include <cstring>

#include "mudp.h"
#include "registry/list_diff_wire.h"
#include "secure/wire_format.h"
#include "transport/wire.h"

namespace {

NOLVUDPPACKET packet(const QByteArray &payload, int len, int index = 1, int total = 1)
{
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    p.date = 2461000;
    p.time = 43200000;
    p.type = wire::kPacketType;
    std::strcpy(p.localIp, "127.0.0.7");
    p.localPort = 46007;
    p.index = static_cast<int16_t>(index);
    p.total = static_cast<int16_t>(total);
    p.len = static_cast<int16_t>(len);
    std::memcpy(p.data, payload.constData(), static_cast<size_t>(qMin<qsizetype>(payload.size(), 500)));
    p.checksum = qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
    return p;
}

QByteArray bytes(const NOLVUDPPACKET &p)
{
    return QByteArray(reinterpret_cast<const char *>(&p), sizeof p);
}

QByteArray header(const char *text)
{
    QByteArray h(text);
    h.resize(80, '\0');
    return h;
}

// v as n little-endian bytes.
QByteArray le(int64_t v, int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b += char(v >> (8 * i));
    return b;
}

void dump(const QByteArray &datagram)
{
    for (qsizetype i = 0; i < datagram.size(); i += 16) {
        std::printf("%06llx", static_cast<unsigned long long>(i));
        for (qsizetype j = i; j < i + 16 && j < datagram.size(); ++j)
            std::printf(" %02x", static_cast<unsigned char>(datagram[j]));
        std::printf("\n");
    }
}

// Reserved bytes and FEEDBACK bodies the library never writes.
QList<QByteArray> markedDatagrams()
{
    QList<QByteArray> out;
    // Reserved bytes that hold no mark the library writes: another version,
    // an unknown kind, another magic.
    for (const char *mark : {"\xa7\x21", "\xa7\x13", "\x12\x34"}) {
        NOLVUDPPACKET marked = packet(header("ALIVE$marked"), 12);
        std::memcpy(marked.reserved, mark, 2);
        marked.reserved[5] = 9;
        out << bytes(marked);
    }
    // FEEDBACK loss reports: a reversed range after a good one, an entry whose
    // ranges run past the body, another version, a body shorter than its head.
    const QByteArray feedback = header("FEEDBACK$fb");
    const QByteArray entry = le(2461000, 4) + le(43200000, 4);
    const QByteArray reversed = le(1, 1) + le(2, 1) + le(0, 2) + entry + le(1, 4) + le(2, 2) + le(4, 2) + entry +
                                le(1, 4) + le(9, 2) + le(3, 2);
    const QByteArray pastEnd = le(1, 1) + le(1, 1) + le(0, 2) + entry + le(3, 4) + le(5, 2) + le(6, 2);
    const QByteArray version = le(2, 1) + le(1, 1) + le(0, 2) + entry + le(1, 4) + le(5, 2) + le(6, 2);
    for (const QByteArray &body : {reversed, pastEnd, version, le(1, 1)})
        out << bytes(packet(feedback + body, int(80 + body.size())));
    return out;
}

// One keyed datagram of each kind, its sealed bytes a pattern, and lists
// by difference: a good one, one whose records run past the body, a sync.
template <typename T> QByteArray raw(const T &m)
{
    return QByteArray(reinterpret_cast<const char *>(&m), sizeof m);
}

QList<QByteArray> ownUnitsDatagrams()
{
    using namespace secure;
    QList<QByteArray> out;
    InitiationMessage init;
    std::memset(&init, 0xee, sizeof init);
    init.type = Initiation;
    init.flags = kCarriesDatagram;
    std::memset(init.zero, 0, sizeof init.zero);
    std::memset(init.padding, 0, sizeof init.padding);
    putLe(init.senderIndex, 0x11223344, 4);
    ResponseMessage response;
    std::memset(&response, 0xee, sizeof response);
    response.type = Response;
    response.flags = 0;
    std::memset(response.zero, 0, sizeof response.zero);
    putLe(response.senderIndex, 0x55667788, 4);
    putLe(response.receiverIndex, 0x11223344, 4);
    CookieReplyMessage cookie;
    std::memset(&cookie, 0xee, sizeof cookie);
    cookie.type = CookieReply;
    std::memset(cookie.zero, 0, sizeof cookie.zero);
    putLe(cookie.receiverIndex, 0x11223344, 4);
    TransportHeader transport{};
    transport.type = Transport;
    transport.flags = kProven | kAnswerMe;
    putLe(transport.receiverIndex, 0x55667788, 4);
    putLe(transport.counter, 7, 8);
    out << raw(init) << raw(response) << raw(cookie) << raw(transport) + QByteArray(kPlainSize + kTagSize, '\xee')
        << raw(transport) + QByteArray(kTagSize, '\xee');

    PEERINFO record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.name, "dora");
    const QByteArray one = raw(record);
    listdiff::Head head{};
    head.kind = listdiff::Difference;
    head.run = 0xabcdef01;
    head.from = 3;
    head.to = 5;
    const QByteArray diff = listdiff::build(head, one, one);
    const QByteArray diffHeader = header("PEERDIFF$srv$0$0$0");
    out << bytes(packet(diffHeader + diff, int(80 + diff.size())));
    const QByteArray cut = diff.left(diff.size() - 3); // into the removed record
    out << bytes(packet(diffHeader + cut, int(80 + cut.size())));
    out << bytes(packet(header("PEERSYNC$dora"), 13));
    // A plain datagram whose first byte is that of a keyed transport one.
    NOLVUDPPACKET early = packet(header("ALIVE$early"), 11);
    early.date = 0x258d14;
    out << bytes(early);
    return out;
}

} // namespace

int main()
{
    QList<QByteArray> out;
    // Shorter than a datagram header, header only, and longer than 548 bytes.
    out << QByteArray("REG$short", 9);
    out << bytes(packet(header("REG$x"), 5)).left(48);
    out << bytes(packet(header("ALIVE$long"), 10)) + QByteArray(52, 'z');
    // Numbering and len out of range; a type other than 2.
    out << bytes(packet(header("DATA$x"), -5, 1, 0));
    out << bytes(packet(header("DATA$x"), 600, 3, 2));
    NOLVUDPPACKET typed = packet(header("REG$typed"), 9);
    typed.type = 7;
    out << bytes(typed);
    // A header that fills its 80 bytes, runs of "$", extra fields, an unknown word.
    out << bytes(packet(QByteArray(200, 'A'), 200));
    out << bytes(packet(header("$$RECEIVED$$$peer$$2461000$$123 Total:7$9$a$b$c$d$e"), 60));
    out << bytes(packet(header("NOSUCHWORD$peer$99999999999999999999$-4$x1$1.2.3.4$99999"), 70));
    // A name cut by the end of the 80-byte header, followed by more text.
    out << bytes(packet("REG$" + QByteArray(76, 'B') + "$cut", 84));
    // A name that is not valid GB18030, and a lone lead byte at the end.
    out << bytes(packet(header("REG$\xff\xff\x81"), 7));
    // PEERLIST records: unterminated texts, a list cut inside a record, and
    // a list that claims more bytes than its packet holds.
    QByteArray list = header("PEERLIST$srv$0$0$0");
    list += QByteArray(144, 'N');
    list += QByteArray(144, '\xd5');
    out << bytes(packet(list, 80 + 288));
    out << bytes(packet(header("PEERLIST$srv$0$0$0") + QByteArray(20, 'n'), 100));
    out << bytes(packet(header("PEERLIST$srv$0$0$0"), 500, 1, 1));
    // Continuations of messages whose first packet is not in the capture.
    out << bytes(packet(QByteArray(500, 'c'), 500, 4, 9));
    out << bytes(packet(QByteArray(10, 'c'), 10, 9, 9));
    // TRANSHOLE without its HOLEREQ, and with an unterminated one.
    out << bytes(packet(header("TRANSHOLE$a$0$0$0$127.0.0.4$46004"), 80));
    out << bytes(packet(header("TRANSHOLE$a$0$0$0$127.0.0.4$46004") + QByteArray(120, 'H'), 200));
    // A damaged checksum on an empty payload.
    NOLVUDPPACKET spoiled = packet(QByteArray(), 0);
    spoiled.checksum ^= 1;
    out << bytes(spoiled);
    out << markedDatagrams();
    out << ownUnitsDatagrams();
    for (const QByteArray &d : out)
        dump(d);
    return 0;
}
