// Datagram, message and send-record layouts.
#pragma once

#include <QtContainerFwd>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the wire structs are little-endian in memory");

namespace wire {
constexpr int kDatagramSize = 548;
constexpr int kHeaderSize = 48;
constexpr int kPayloadSize = 500;
constexpr int kMessageHeaderSize = 80;   // text header at the start of every message
constexpr int kPacketType = 2;
constexpr int kMaxPackets = 32767;       // index and total are int16
constexpr int kMaxSentBuffers = 500;
constexpr int kInitialRetries = 6;
constexpr int kRemoveMark = -9999;
constexpr int kAddrWidth = 16;
constexpr int kNameWidth = 40;
} // namespace wire

// One datagram, exactly as it travels.
struct NOLVUDPPACKET {
    int32_t date;        // message identity: Julian day
    int32_t time;        // message identity: ms since local midnight
    int16_t type;        // always 2
    char localIp[16];    // sender's configured address
    uint16_t localPort;  // sender's bound port; single-packet messages only
    int16_t index;       // 1-based packet number
    int16_t total;       // packets in the message
    int16_t len;         // payload bytes used
    uint16_t checksum;   // CRC-16 (ISO 3309) over all 500 payload bytes
    char reserved[12];
    char data[500];
};

static_assert(sizeof(NOLVUDPPACKET) == wire::kDatagramSize, "datagram size");
static_assert(offsetof(NOLVUDPPACKET, date) == 0, "date");
static_assert(offsetof(NOLVUDPPACKET, time) == 4, "time");
static_assert(offsetof(NOLVUDPPACKET, type) == 8, "type");
static_assert(offsetof(NOLVUDPPACKET, localIp) == 10, "localIp");
static_assert(offsetof(NOLVUDPPACKET, localPort) == 26, "localPort");
static_assert(offsetof(NOLVUDPPACKET, index) == 28, "index");
static_assert(offsetof(NOLVUDPPACKET, total) == 30, "total");
static_assert(offsetof(NOLVUDPPACKET, len) == 32, "len");
static_assert(offsetof(NOLVUDPPACKET, checksum) == 34, "checksum");
static_assert(offsetof(NOLVUDPPACKET, reserved) == 36, "reserved");
static_assert(offsetof(NOLVUDPPACKET, data) == wire::kHeaderSize, "data");

// One message in memory, outgoing (in sentBuffers) or incoming (in recvBuffers).
// An incoming message holds its packet slots in chunks, each allocated when a
// packet of it is stored, so it holds memory for what arrived, not for what its
// first packet announced. An outgoing one holds the message's bytes once and
// makes each packet as it is written. Read and write them through
// transport/buffers.h.
struct NOLVUDPBUFFER {
    int32_t count;       // outgoing: total; incoming: distinct packets received
    int32_t total;
    int32_t date;
    int32_t time;
    int32_t age;         // incoming: timer ticks since its last new packet
    char ip[16];         // outgoing: own localAddr; incoming: source address
    uint16_t port;       // incoming: source port
    NOLVUDPPACKET **chunks; // incoming: owned table of chunk pointers, null until allocated

    // Bookkeeping that never travels:
    int chunksHeld;      // chunks allocated so far
    int inUse;           // a dispatch works on it, or a send queue holds it: removal is deferred
    bool acknowledged;   // a RECEIVED was sent for it (kept incoming messages)
    bool packetsReleased; // incoming, complete and handled: only its identity is kept
    quint32 source;      // incoming: the source address as a number (host order)
    // Outgoing:
    char *message;            // the message: 80-byte header and the host's bytes
    int32_t messageLength;
    uint16_t *checksums;      // of each packet, once made
    uint8_t *checksumMade;    // whether checksums[i] is made
    QSet<quint64> *sentTo;    // every address and port it went to
    // Incoming, loss recovery of an incomplete message (monotonic ms, 0: never):
    bool requestNow;       // its last packet came with gaps before it
    int32_t highestIndex;  // highest packet number received
    int32_t quietRounds;   // request rounds in a row that brought no packet
    int64_t lastArrivalMs; // when a packet last filled a slot
    int64_t lastRoundMs;   // when its last request round ended
    int64_t arrivalGapMs;  // longest pause between packets the sender made
    bool superseded;       // a user list older than one from the same source: not asked for
    bool senderDone;       // its packet 1 came again: the sender has written all of it
    int32_t lifeTicks;     // timer ticks since its first packet: the bound on its life
    // Incoming from a sender that takes loss reports (ranges in FEEDBACK):
    int32_t firstMissing;  // no packet below this number is missing
    int32_t reportedUpTo;  // gaps up to this number were reported at lastReportUs
    int64_t lastReportUs;
    bool newGap;           // a gap above reportedUpTo appeared
    uint32_t reportedTxn;  // the newest transmission number received at the last report
    // Gaps below evidentUpTo are older than the reordering window: they were
    // there before settlingSinceUs (µs), when the highest packet was settlingUpTo.
    int32_t evidentUpTo;
    int32_t settlingUpTo;
    int64_t settlingSinceUs;
    bool numbered;         // its last packet came numbered: its sender is one of our units
    int64_t lastReceiptUs; // complete: when a repeat last got a RECEIVED (monotonic µs)
    quint64 birth;         // the wait generation it was made in (unit/wait_generation.h)
};

// One buffer sent to one destination, awaiting RECEIVED.
struct SENDRECORD {
    int32_t date;
    int32_t time;
    char ip[16];
    uint16_t port;
    int32_t retries;     // 6..1 waiting, 0 give up, -9999 remove

    // Bookkeeping that never travels:
    int32_t earlyResends;  // early resends of packet 1 since the destination was last heard from
    int64_t lastActiveMs;  // written or a REQUEST answered (monotonic ms)
    int64_t createdMs;     // the bound on its life
    bool heard;            // the destination acknowledged or asked since the last tick
    // While its packets are being written the first time (its destination's send queue):
    NOLVUDPBUFFER *writing; // the buffer, held; null once all were written or the send ended
    int32_t written;        // packets 1 to this have been written
    uint32_t firstTxn;      // transmission number of its first packet written, and
    uint32_t series;        // the first number of the destination's series then
    quint64 birth;          // the wait generation it was made in (unit/wait_generation.h)
    int64_t roundUs;        // the round of the protocol's pace it last wrote in
    int32_t roundWritten;   // packets it wrote in that round
};
