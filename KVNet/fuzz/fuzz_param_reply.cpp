// ParseParamReply and ParseTemporaryParamReply over arbitrary bytes. The first 8 input
// bytes choose the caller's sizes and the delivery (destination or callbacks); the rest is
// the reply. Every item handed on is read in full at the caller's size, and destination
// copies are checked against guard bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "params_parse.h"

namespace {

// The caller's sizes of the current input; the parsers promise items of these sizes.
struct Sink {
    uint32_t S, E, sum;
};

void Read(const void* item, uint32_t n, Sink* s)
{
    const uint8_t* p = static_cast<const uint8_t*>(item);
    for (uint32_t i = 0; i < n; ++i)
        s->sum += p[i];
}
void TouchS(void* item, void* user) { Read(item, static_cast<Sink*>(user)->S, static_cast<Sink*>(user)); }
void TouchE(void* item, void* user) { Read(item, static_cast<Sink*>(user)->E, static_cast<Sink*>(user)); }

void Guarded(const std::vector<uint8_t>& buf, size_t from)
{
    for (size_t i = from; i < buf.size(); ++i)
        if (buf[i] != 0xA5)
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    uint16_t S = static_cast<uint16_t>((data[0] | data[1] << 8) & 0x7FF);
    uint16_t E = static_cast<uint16_t>((data[2] | data[3] << 8) & 0x7FF);
    const uint8_t mode = data[4];
    const uint32_t type = (data[5] & 1) ? 524 : 505;
    uint32_t cap = data[6];
    data += 8;
    size -= 8;

    std::vector<uint8_t> reply(data, data + size);
    Sink sink{S, E, 0};
    if (mode & 1) {
        std::vector<uint8_t> dest(S + 64, 0xA5);
        kvparam::ParseParamReply(reply.data(), static_cast<uint32_t>(reply.size()), dest.data(), S,
                                 nullptr, E, TouchE, &sink, type);
        Guarded(dest, S);
    } else {
        kvparam::ParseParamReply(reply.data(), static_cast<uint32_t>(reply.size()), nullptr, S, TouchS,
                                 E, TouchE, &sink, type);
    }

    reply.assign(data, data + size);
    if (mode & 2) {
        // Destination with the caller's capacity field right after S bytes.
        std::vector<uint8_t> dest(S + 4 + cap + 64, 0xA5);
        if (S + 4 <= dest.size())
            std::memcpy(dest.data() + S, &cap, 4);
        kvparam::ParseTemporaryParamReply(reply.data(), static_cast<uint32_t>(reply.size()), dest.data(),
                                          S, nullptr, E, (mode & 4) ? TouchE : nullptr, &sink);
        Guarded(dest, S + 4 + cap);
    } else {
        kvparam::ParseTemporaryParamReply(reply.data(), static_cast<uint32_t>(reply.size()), nullptr, S,
                                          TouchS, E, TouchE, &sink);
    }
    (void)kvparam::ConcatListElements(data, static_cast<uint32_t>(size));
    return 0;
}
