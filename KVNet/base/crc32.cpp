#include "crc32.h"

#include <cstring>

namespace {

// Slicing by eight: the upgrade runs the CRC over every byte it sends, and a firmware
// image is tens of MiB, so one table lookup per byte would show in the send rate.
struct Tables {
    uint32_t t[8][256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const Tables& tables()
{
    static const Tables tab;
    return tab;
}

} // namespace

uint32_t kv_crc32_update(uint32_t crc, const void* data, size_t len)
{
    const auto& t = tables().t;
    const auto* p = static_cast<const uint8_t*>(data);
    while (len >= 8) {
        uint32_t lo, hi;
        memcpy(&lo, p, 4);
        memcpy(&hi, p + 4, 4);
        lo ^= crc; // little-endian host (msg_types.h insists on it)
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        len -= 8;
    }
    while (len--)
        crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    return crc;
}
