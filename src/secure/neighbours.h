// What the secure channel needs around it, declared here so that the layer
// above (the unit's socket I/O) supplies it and tests supply fakes: a writer
// of wire datagrams, a clock, a random source and a sink for log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace secure {

// An IPv4 peer: address in host order, port.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    uint64_t id() const { return uint64_t(address) << 16 | port; }
    bool operator==(const Endpoint &other) const { return address == other.address && port == other.port; }
    bool operator!=(const Endpoint &other) const { return !(*this == other); }
};

std::string toText(Endpoint endpoint);

// Writes one wire datagram to a peer (handshake messages, cookie replies,
// and transport datagrams that were waiting for a handshake).
class WireSink {
public:
    virtual ~WireSink() = default;
    virtual void writeWire(const uint8_t *data, size_t size, Endpoint to) = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic microseconds: every timer of the channel runs on it.
    virtual int64_t monotonicUs() = 0;
    // Microseconds since 1970-01-01 UTC: the freshness stamp of initiations.
    virtual int64_t wallUs() = 0;
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void fill(uint8_t *out, size_t size) = 0;
};

// Receives the channel's log lines: drops (at most one line per source a
// minute) and handshake failures. Lines never contain key material.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void secureLog(const std::string &line) = 0;
};

// The system's sources: libsodium's random bytes, std::chrono's clocks.
class SystemRandom : public RandomSource {
public:
    void fill(uint8_t *out, size_t size) override;
};

class SystemClock : public Clock {
public:
    int64_t monotonicUs() override;
    int64_t wallUs() override;
};

} // namespace secure
