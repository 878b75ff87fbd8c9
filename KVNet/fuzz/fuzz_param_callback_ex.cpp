// The Ex queries' adapters over arbitrary parameter replies: ParamCallbackEx and
// ListParamCallbackEx copy what the parser hands on into caller buffers of exactly the
// caller's sizes (so a copy past them is caught). Input: u16 structure size, u16 element
// size, capacity, a byte choosing the parameter type and the buffers, then the reply.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "params_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    const uint32_t S = static_cast<uint32_t>((data[0] | data[1] << 8) & 0xFFF);
    const uint32_t E = static_cast<uint32_t>((data[2] | data[3] << 8) & 0xFFF);
    const uint32_t cap = data[4];
    const uint8_t pick = data[5];
    const uint32_t type = (pick & 1) ? kvparam::kTypeNtp : 505;
    data += 6;
    size -= 6;

    // Caller buffers as the Ex query gets them: either may be missing.
    std::unique_ptr<uint8_t[]> st((pick & 2) || !S ? nullptr : new uint8_t[S]);
    std::unique_ptr<uint8_t[]> list((pick & 4) || !E || !cap ? nullptr : new uint8_t[static_cast<size_t>(E) * cap]);
    kvparam::ExAdapter a{st.get(), S, list.get(), E, cap, 0};
    std::vector<uint8_t> reply(data, data + size);
    kvparam::ParseParamReply(reply.data(), static_cast<uint32_t>(reply.size()), nullptr, S,
                             st ? kvparam::ParamCallbackEx : nullptr, E,
                             list ? kvparam::ListParamCallbackEx : nullptr, &a, type);
    if (a.count > cap)
        __builtin_trap();
    // The adapters on their own refuse what they cannot hold.
    kvparam::ParamCallbackEx(nullptr, &a);
    kvparam::ListParamCallbackEx(reply.data(), nullptr);
    return 0;
}
