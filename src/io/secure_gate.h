// The secure channel as the socket uses it: every plain datagram out is
// sealed here and every datagram in is opened here, when the unit has a
// network key. The gate gives the channel what it needs around it: its
// datagrams (handshakes, cookie replies, datagrams that waited for a
// handshake) go straight to the socket, its clock is the unit's, its timers
// ring on the unit's event loop, and its log lines reach the unit's log once
// the channel's call has returned (a host that acts on a log line may call
// back into the unit). Without a key everything passes as it is.
#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>
#include <string>
#include <vector>

#include "core/alarm.h"
#include "secure/secure_channel.h"

class QObject;

class SecureGate : secure::WireSink, secure::Clock, secure::LogSink {
public:
    using Writer = std::function<void(const uint8_t *data, size_t size, quint32 address, quint16 port)>;
    using Log = std::function<void(const QString &line)>;

    SecureGate(QObject *owner, Writer writer, Log log);
    ~SecureGate(); // the channel wipes its keys as it goes
    SecureGate(const SecureGate &) = delete;
    SecureGate &operator=(const SecureGate &) = delete;

    // A 32-byte network key, or (null, 0) for none: ends every session made
    // with the key before. False (nothing changed) for another length.
    bool setKey(const uint8_t *key, size_t size);
    bool keyed() const { return channel.keyed(); }

    // One plain datagram of io::kPlainBytes to address:port, keyed: the size
    // of the wire datagram written to out (room for secure::kMaxWireSize)
    // for the caller to write, or 0 when there is nothing to write now.
    int seal(const uint8_t *plain, quint32 address, quint16 port, uint8_t *out);
    // One datagram read: the plain datagrams it releases, written to out
    // (room for secure::SecureChannel::kMaxReleased), and their number.
    int open(const uint8_t *data, size_t size, quint32 address, quint16 port, secure::PlainDatagram *out);

    // Ends the gate's work for good: no more timers or writes, keys wiped.
    void stop();
    const secure::SecureChannel &state() const { return channel; }

private:
    void writeWire(const uint8_t *data, size_t size, secure::Endpoint to) override;
    int64_t monotonicUs() override;
    int64_t wallUs() override;
    void secureLog(const std::string &line) override;
    // After every call of the channel: its log lines go out, its alarm is
    // set for what it has due next.
    void after();

    Writer writer;
    Log log;
    Alarm alarm;
    secure::SystemRandom random;
    secure::SecureChannel channel;
    std::vector<std::string> lines; // logged during the channel's call
    bool stopped = false;
};
