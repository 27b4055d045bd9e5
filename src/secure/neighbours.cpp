#include "secure/neighbours.h"

#include <chrono>
#include <sodium.h>

namespace secure {

std::string toText(Endpoint endpoint)
{
    const uint32_t a = endpoint.address;
    return std::to_string(a >> 24) + '.' + std::to_string(a >> 16 & 0xff) + '.' + std::to_string(a >> 8 & 0xff) +
           '.' + std::to_string(a & 0xff) + ':' + std::to_string(endpoint.port);
}

void SystemRandom::fill(uint8_t *out, size_t size) { randombytes_buf(out, size); }

int64_t SystemClock::monotonicUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t SystemClock::wallUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace secure
