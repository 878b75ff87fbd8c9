// A directory reply: parsed from a buffer of the input's exact size; success only for a
// complete reply, with a bounded address and a non-zero port.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "resolve_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> b(data, data + size);
    std::string addr;
    uint16_t port = 0;
    const bool complete = kv_resolve_dir_reply_complete(b.data(), b.size());
    if (kv_resolve_parse_dir_reply(b.data(), b.size(), &addr, &port)) {
        if (!complete || addr.empty() || addr.size() > kvresolve::kAddrMax || port == 0)
            __builtin_trap();
    }
    return 0;
}
