// A redirect reply: parsed from a buffer of the input's exact size; a host comes only
// from a complete Location line and is 1-63 characters without ':' '/' or '@' unless it
// is a bracketed literal's inside.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "resolve_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> b(data, data + size);
    std::string host;
    const bool complete = kv_resolve_redirect_reply_complete(b.data(), b.size());
    if (kv_resolve_parse_redirect_reply(b.data(), b.size(), &host)) {
        if (!complete || host.empty() || host.size() > kvresolve::kAddrMax ||
            host.find_first_of("/@?#\r\n ") != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
