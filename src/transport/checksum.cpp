#include "transport/checksum.h"

#include <array>
#include <cstring>

namespace transport {

namespace {

// Reflected polynomial 0x1021, initial value and final xor 0xffff.
constexpr uint16_t kPolynomial = 0x8408;

struct Tables {
    std::array<std::array<uint16_t, 256>, 8> t{};
    constexpr Tables()
    {
        for (unsigned b = 0; b < 256; ++b) {
            uint16_t crc = uint16_t(b);
            for (int k = 0; k < 8; ++k)
                crc = (crc & 1) ? uint16_t((crc >> 1) ^ kPolynomial) : uint16_t(crc >> 1);
            t[0][b] = crc;
        }
        for (unsigned b = 0; b < 256; ++b)
            for (int k = 1; k < 8; ++k)
                t[k][b] = uint16_t((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff]);
    }
};

constexpr Tables kTables;

} // namespace

uint16_t payloadChecksum(const char *data, size_t size)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const auto &t = kTables.t;
    uint16_t crc = 0xffff;
    while (size >= 8) {
        const uint32_t lo = uint32_t(p[0] | (p[1] << 8)) ^ crc;
        crc = uint16_t(t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
                       t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
        p += 8;
        size -= 8;
    }
    while (size--)
        crc = uint16_t((crc >> 8) ^ t[0][(crc ^ *p++) & 0xff]);
    return uint16_t(~crc);
}

} // namespace transport
