// Seeded loss of a unit's outgoing datagrams, through its tap.
#pragma once

#include <random>

#include "io/outgoing_tap.h"
#include "unit/mudp_unit.h"

// Drops each outgoing datagram of a unit with a seeded chance, and those
// whose running number falls in [burstFrom, burstFrom + burstLength).
struct LossyLink {
    LossyLink(MUDPUnit &unit, double chance, unsigned seed) : unit(&unit), chance(chance), rng(seed)
    {
        unit.setOutgoingTap([this](QByteArray &, QHostAddress &, quint16 &) {
            const int n = sent++;
            const bool inBurst = n >= burstFrom && n < burstFrom + burstLength;
            const bool lost = inBurst || std::uniform_real_distribution<double>(0, 1)(rng) < this->chance;
            dropped += lost;
            return !lost;
        });
    }
    ~LossyLink() { unit->setOutgoingTap(nullptr); }
    MUDPUnit *unit;
    double chance;
    std::mt19937 rng;
    int burstFrom = -1, burstLength = 0;
    int sent = 0, dropped = 0;
};
