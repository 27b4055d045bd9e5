// The body of a PEERDIFF message, which a server sends only to clients that
// are our own units: a change of its client list (records put and records
// removed), or the whole list as the start of a series. After the 80-byte
// header, little-endian:
//
//   head:    version (1), kind (1), spare (2), run (4), from (4), to (4),
//            records put (4), records removed (4)
//   records: the put records, then the removed ones
//
// Version 1 carries each record as its 144-byte PEERINFO. Version 2, which
// this unit writes, carries each one packed, most of a PEERINFO being the
// zeros after its texts:
//
//   flags (1)     bit 0: the server's name, address and port are those of
//                 the record before it in this body, and left out
//   name, ip, localIp                  length (1) and bytes each
//   port (2), localPort (2)
//   serverName, serverIp, serverPort   unless flag bit 0: as above, port (2)
//   access (4), life (4)
//
// A text's length stays below its PEERINFO field, whose NUL and the zeros
// after it the reader puts back. Both versions are read.
//
// `run` is drawn at random when the server starts, so a restarted server's
// lists never continue an old series. A client holding list number n of
// that run applies a difference with from <= n < to, and then holds `to`: a
// difference names the final state of every record that changed between
// `from` and `to`, so it applies to any list in between. A whole list has
// from 0 and no removed records.
#pragma once

#include <QByteArray>
#include <cstddef>
#include <cstdint>

#include "mudp.h"

namespace listdiff {

enum Kind : uint8_t { Difference = 1, Whole = 2 };
constexpr uint8_t kVersionFixed = 1;   // records as 144-byte PEERINFO
constexpr uint8_t kVersionPacked = 2;  // records packed (written)
constexpr uint8_t kSameServer = 0x01;  // a packed record's flag

struct Head {
    uint8_t version;
    uint8_t kind;
    uint16_t spare;
    uint32_t run;
    uint32_t from;
    uint32_t to;
    uint32_t puts;
    uint32_t removes;
};

static_assert(sizeof(Head) == 24, "difference head");
static_assert(offsetof(Head, kind) == 1 && offsetof(Head, run) == 4, "difference head: kind and run");
static_assert(offsetof(Head, from) == 8 && offsetof(Head, to) == 12, "difference head: numbers");
static_assert(offsetof(Head, puts) == 16 && offsetof(Head, removes) == 20, "difference head: counts");
static_assert(sizeof(PEERINFO) == 144, "records of 144 bytes");

// A body read from the network: the head, and its records as 144-byte
// PEERINFO, their texts terminated.
struct View {
    Head head{};
    QByteArray puts;    // head.puts records
    QByteArray removes; // head.removes records
};

// The body of `head` with the records (144-byte PEERINFO each), packed; the
// counts are set from the arrays.
QByteArray build(Head head, const QByteArray &puts, const QByteArray &removes);
// Reads a body of `length` bytes: false when it is shorter than its head or
// its records, a record does not fit its fields, or its version, kind or
// numbers make no sense.
bool read(const char *body, int length, View *out);
// The record at position i of an array of records.
PEERINFO recordAt(const QByteArray &records, uint32_t i);

} // namespace listdiff
