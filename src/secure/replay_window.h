// Which counters of one session's receiving direction have been accepted:
// a bitmap of 4,096 bits in 64 words, of which the word holding the highest
// counter and the 62 before it are valid (RFC 6479's scheme), so any counter
// within 4,032 of the highest is judged exactly and anything older is
// refused. check() changes nothing: the caller commits a counter only after
// its datagram has been authenticated.
#pragma once

#include <array>
#include <cstdint>

namespace secure {

class ReplayWindow {
public:
    static constexpr uint64_t kWords = 64;
    static constexpr uint64_t kSize = (kWords - 1) * 64;

    bool check(uint64_t counter) const;
    void commit(uint64_t counter);

private:
    std::array<uint64_t, kWords> bits{};
    uint64_t highest = 0;
    bool any = false;
};

} // namespace secure
