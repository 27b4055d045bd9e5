#include "transport/paced_run.h"

#include "text/fixed_text.h"

namespace {
constexpr int kDatagramsPerRound = 15; // as a buffer's packets
constexpr int64_t kRunGapMs = 10;      // a longer pause ends the run
} // namespace

bool PacedRun::next(const char *destIp, unsigned short destPort, int64_t nowMs)
{
    const bool same = written > 0 && destPort == port && text::fieldEquals(ip, sizeof ip, destIp) &&
                      nowMs - lastMs <= kRunGapMs;
    if (!same) {
        text::copyText(ip, destIp);
        port = destPort;
        written = 0;
    }
    lastMs = nowMs;
    return written++ % kDatagramsPerRound == 0;
}
