// Pack sequences from a fuzz input: a pack head, then its data as far as the input has it.
// The head's size stays as the input gives it, but never beyond what the receive allows;
// bytes the input lacks are a fixed filler.
#pragma once

#include <cstring>

#include "frame_buf.h"

namespace kvfuzz {

inline bool NextPack(const uint8_t*& data, size_t& size, PackBuf& pack)
{
    if (size < sizeof(PackHead))
        return false;
    memcpy(&pack.head, data, sizeof(PackHead));
    data += sizeof(PackHead);
    size -= sizeof(PackHead);
    pack.head.PackSize = static_cast<uint16_t>(pack.head.PackSize % (kvmsg::kPackData + 1));
    const size_t want = pack.head.ext_len() + pack.head.PackSize;
    const size_t take = want < size ? want : size;
    memset(pack.data, 0xA5, want);
    memcpy(pack.data, data, take);
    data += take;
    size -= take;
    return true;
}

} // namespace kvfuzz
