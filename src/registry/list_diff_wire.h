// The body of a PEERDIFF message, which a server sends only to clients that
// are our own units: a change of its client list (records put and records
// removed), or the whole list as the start of a series. After the 80-byte
// header, little-endian:
//
//   head:    version (1), kind (1), spare (2), run (4), from (4), to (4),
//            records put (4), records removed (4)
//   records: the put records, then the removed ones, 144 bytes each (PEERINFO)
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
constexpr uint8_t kVersion = 1;

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

// A body read from the network: the head, and where its records start.
struct View {
    Head head{};
    const char *puts = nullptr;    // head.puts records
    const char *removes = nullptr; // head.removes records
};

// The body of `head` with its records; the counts are set from the arrays.
QByteArray build(Head head, const QByteArray &puts, const QByteArray &removes);
// Reads a body of `length` bytes: false when it is shorter than its head or
// its records, or its version, kind or numbers make no sense.
bool read(const char *body, int length, View *out);
// The record at position i of an array of records, its texts terminated.
PEERINFO recordAt(const char *records, uint32_t i);

} // namespace listdiff
