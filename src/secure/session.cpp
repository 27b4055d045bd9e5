#include "secure/session.h"

#include <cstring>

namespace secure {

const uint8_t *Session::sendKey() const
{
    return initiator ? keys.initiatorToResponder.data() : keys.responderToInitiator.data();
}

const uint8_t *Session::receiveKey() const
{
    return initiator ? keys.responderToInitiator.data() : keys.initiatorToResponder.data();
}

bool Session::canSend(int64_t nowUs, const Limits &limits) const
{
    return nowUs - createdUs < limits.rejectAfterUs && sendCounter < limits.rejectAfterMessages;
}

bool Session::wantsRekey(int64_t nowUs, const Limits &limits) const
{
    const int64_t after = initiator ? limits.rekeyAfterUs : limits.responderRekeyAfterUs;
    return nowUs - createdUs >= after || sendCounter >= limits.rekeyAfterMessages;
}

bool Session::expired(int64_t nowUs, const Limits &limits) const
{
    if (!initiator && !confirmed)
        return nowUs - createdUs >= limits.halfOpenLifetimeUs;
    return nowUs - createdUs >= limits.rejectAfterUs;
}

size_t Session::seal(const uint8_t *plain, uint8_t flags, uint8_t *out)
{
    TransportHeader header{};
    header.type = Transport;
    header.flags = flags;
    putLe(header.receiverIndex, remoteIndex, 4);
    putLe(header.counter, sendCounter, 8);
    std::memcpy(out, &header, sizeof header);
    const size_t size = plain ? kPlainSize : 0;
    static const uint8_t kNone[1] = {};
    aeadSeal(out + sizeof header, plain ? plain : kNone, size, out, sizeof header, sendCounter, sendKey());
    ++sendCounter;
    return sizeof header + size + kTagSize;
}

int Session::open(const uint8_t *wire, size_t size, uint8_t *plain, uint8_t &flags, int64_t nowUs,
                  const Limits &limits)
{
    const uint64_t counter = getLe(wire + offsetof(TransportHeader, counter), 8);
    if (counter >= limits.rejectAfterMessages || expired(nowUs, limits))
        return kSessionTooOld;
    if (!window.check(counter))
        return kReplayed;
    if (!aeadOpen(plain, wire + kTransportHeaderSize, size - kTransportHeaderSize, wire, kTransportHeaderSize,
                  counter, receiveKey()))
        return kNotAuthentic;
    window.commit(counter);
    flags = wire[offsetof(TransportHeader, flags)];
    return int(size - kTransportHeaderSize - kTagSize);
}

} // namespace secure
