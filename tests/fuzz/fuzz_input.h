// The fuzz input format, shared by the fuzz target (which reads it) and the
// seed generator (which writes it). An input is a sequence of operations:
//
//   0xFF                  one timer tick (at most kMaxTicks count)
//   0xFE period action    from now on the host window re-enters the unit on
//                         every `period`-th message it gets (0: never), at
//                         most kMaxReentries times: action % 4 picks a
//                         registration with a silent server (a wait that
//                         runs events), a send, a timer tick (what such a
//                         wait runs when the timer fires), or a send to
//                         every client
//   any other byte `op`   one datagram:
//     bits 0-2  source address: 0..5 -> 127.0.0.2..7, 6 -> IPv4 from the
//               next 4 bytes, 7 -> IPv6 from the next 16 bytes
//     bits 3-4  source port: 47000, 47001, 45454, or the next 2 bytes
//     bits 5-6  datagram: 548 bytes follow; a 2-byte size (mod 1100) and
//               that many bytes follow; the previous datagram again; a
//               1-byte size and that many bytes follow
//     bit 7     give the datagram a valid checksum before it is fed
//
// An input that ends early ends its last datagram early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzinput {

constexpr uint8_t kTick = 0xFF;
constexpr uint8_t kReentry = 0xFE;
constexpr int kMaxReentries = 6;
constexpr uint8_t kFixChecksum = 0x80;
constexpr int kMaxSize = 1100;
constexpr int kMaxTicks = 12;

enum Address : uint8_t { Loopback2 = 0, Loopback3 = 1, Loopback4 = 2, AddressV4 = 6, AddressV6 = 7 };
enum Port : uint8_t { Port47000 = 0 << 3, Port47001 = 1 << 3, Port45454 = 2 << 3, PortGiven = 3 << 3 };
enum Size : uint8_t { Full = 0 << 5, SizeGiven = 1 << 5, Again = 2 << 5, Short = 3 << 5 };

// Appends operations to an input.
struct Writer {
    std::string out;

    void tick() { out += char(kTick); }
    // A full 548-byte datagram from one of the fixed sources.
    void datagram(const std::string &bytes, uint8_t address = Loopback3, uint8_t port = Port47000)
    {
        out += char(uint8_t(address | port | (bytes.size() == 548 ? Full : SizeGiven)));
        if (bytes.size() != 548) {
            out += char(bytes.size() & 0xff);
            out += char(bytes.size() >> 8);
        }
        out += bytes;
    }
    void again(uint8_t address = Loopback3, uint8_t port = Port47000) { out += char(address | port | Again); }
    void reentry(uint8_t period, uint8_t action)
    {
        out += char(kReentry);
        out += char(period);
        out += char(action);
    }
};

} // namespace fuzzinput
