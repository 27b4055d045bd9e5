// Pacing of a run of single datagrams to one destination (lost-packet
// requests of one message, answers to one receiver): like the packets of a
// buffer, the run pauses one wait round after its 1st, 16th, 31st ...
// datagram instead of after every one.
#pragma once

#include <cstdint>

class PacedRun {
public:
    // Counts one datagram to ip:port written at nowMs; true when the caller
    // should wait one round after it. A datagram to another destination, or
    // one after a pause of more than a few rounds, starts a new run.
    bool next(const char *ip, unsigned short port, int64_t nowMs);

private:
    char ip[16] = {};
    unsigned short port = 0;
    int written = 0;
    int64_t lastMs = 0;
};
