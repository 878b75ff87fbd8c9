#include "crc32.h"

#include <zlib.h>

uint32_t kv_crc32_update(uint32_t crc, const void* data, size_t len)
{
    // zlib's CRC-32 (same reflected polynomial, folded with carry-less multiplication
    // where the processor has it) with its pre- and post-inversion undone. zlib takes
    // lengths as uInt: long buffers go in slices.
    const auto* p = static_cast<const Bytef*>(data);
    uLong c = crc ^ 0xFFFFFFFFu;
    while (len > 0) {
        const uInt n = len > (1u << 30) ? (1u << 30) : static_cast<uInt>(len);
        c = crc32(c, p, n);
        p += n;
        len -= n;
    }
    return static_cast<uint32_t>(c ^ 0xFFFFFFFFu);
}
