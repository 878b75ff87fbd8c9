// A media-port reply of any length, from a buffer of its exact size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p_tunnel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> b(data, data + size);
    const uint16_t port = kv_p2p_media_port_from_reply(b.data(), b.size());
    if (port != 0 && (size < 16 || data[0] != 1))
        __builtin_trap();
    return 0;
}
