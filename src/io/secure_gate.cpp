#include "io/secure_gate.h"

#include <chrono>

#include "platform/clock.h"

namespace {
// The channel's own timers are a second apart at most (its housekeeping).
constexpr int64_t kMaxPollDelayMs = 1000;
} // namespace

SecureGate::SecureGate(QObject *owner, Writer writer, Log log)
    : writer(std::move(writer)), log(std::move(log)), alarm(owner, kMaxPollDelayMs),
      channel(*this, *this, random, *this)
{
    alarm.setRing([this] {
        if (stopped || !channel.keyed())
            return;
        channel.poll();
        after();
    });
}

bool SecureGate::setKey(const uint8_t *key, size_t size)
{
    const bool set = channel.setKey(key, size);
    if (!channel.keyed())
        alarm.stop();
    after();
    return set;
}

int SecureGate::seal(const uint8_t *plain, quint32 address, quint16 port, uint8_t *out)
{
    const int size = channel.seal(plain, {address, port}, out);
    after();
    return size > 0 ? size : 0;
}

int SecureGate::open(const uint8_t *data, size_t size, quint32 address, quint16 port, secure::PlainDatagram *out)
{
    const int count = channel.open(data, size, {address, port}, out);
    after();
    return count > 0 ? count : 0;
}

SecureGate::~SecureGate() { alarm.stop(); }

void SecureGate::stop()
{
    // The unit ends its work (it may be freed later): the keys go now.
    stopped = true;
    alarm.stop();
    channel.setKey(nullptr, 0);
    lines.clear();
}

void SecureGate::after()
{
    if (!stopped && channel.keyed()) {
        const int64_t next = channel.nextPollUs();
        if (next != INT64_MAX)
            alarm.arm(std::max<int64_t>(next / 1000, 1));
    }
    if (lines.empty())
        return;
    std::vector<std::string> out;
    out.swap(lines);
    for (const std::string &line : out)
        log(QString::fromStdString(line));
}

void SecureGate::writeWire(const uint8_t *data, size_t size, secure::Endpoint to)
{
    if (!stopped)
        writer(data, size, to.address, to.port);
}

int64_t SecureGate::monotonicUs() { return platform::monotonicUs(); }

int64_t SecureGate::wallUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void SecureGate::secureLog(const std::string &line) { lines.push_back(line); }
