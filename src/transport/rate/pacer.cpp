#include "transport/rate/pacer.h"

#include <algorithm>
#include <cmath>

Pacer::Pacer(int64_t nowUs, double rate) : ratePerSecond(rate > 0 && std::isfinite(rate) ? rate : 1000), lastUs(nowUs)
{
    tokens = depth();
}

double Pacer::depth() const
{
    return std::max(kMinDepth, ratePerSecond * double(depthSpanUs) / 1e6);
}

void Pacer::refill(int64_t nowUs)
{
    if (nowUs <= lastUs)
        return; // a clock that stands still or steps back adds nothing
    tokens = std::min(depth(), tokens + ratePerSecond * double(nowUs - lastUs) / 1e6);
    lastUs = nowUs;
}

void Pacer::setDepthUs(int64_t us)
{
    depthSpanUs = std::clamp(us, kDepthUs, kMaxDepthUs);
    tokens = std::min(tokens, depth());
}

void Pacer::setRate(int64_t nowUs, double rate)
{
    if (!(rate > 0) || !std::isfinite(rate))
        return;
    refill(nowUs);
    ratePerSecond = rate;
    tokens = std::min(tokens, depth());
}

uint32_t Pacer::allowance(int64_t nowUs)
{
    refill(nowUs);
    return tokens >= 1 ? uint32_t(std::min(tokens, 4e9)) : 0;
}

void Pacer::consume(int64_t nowUs, uint32_t count)
{
    refill(nowUs);
    tokens = std::max(-1.0, tokens - count);
}

int64_t Pacer::nextDueUs(int64_t nowUs)
{
    refill(nowUs);
    if (tokens >= 1)
        return nowUs;
    return std::max(nowUs, lastUs) + int64_t(std::ceil((1 - tokens) * 1e6 / ratePerSecond));
}
