// The item deliveries (28-, 48- and 12-byte items) and the set body builder over arbitrary
// bytes: every delivered item is read in full at its promised size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "params_parse.h"

namespace {
uint32_t gSum;
struct U {
    uint32_t n;
    bool ended;
};
void Item(void* p, void* user)
{
    auto* u = static_cast<U*>(user);
    if (!p) {
        u->ended = true;
        return;
    }
    if (u->ended)
        __builtin_trap();
    uint32_t size;
    std::memcpy(&size, p, 4);
    if (size != u->n)
        __builtin_trap();
    for (uint32_t i = 0; i < u->n; ++i)
        gSum += static_cast<uint8_t*>(p)[i];
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint32_t kN[] = {28, 48, 12};
    for (uint32_t n : kN) {
        std::vector<uint8_t> p(data, data + size);
        U u{n, false};
        kvparam::DeliverItems(p.empty() ? nullptr : p.data(), static_cast<uint32_t>(p.size()), n, Item, &u);
        if (!u.ended)
            __builtin_trap();
    }
    // MakeReqData reads the structure and the elements by their own sizes: give it an input
    // that holds them, or nothing.
    if (size >= 8) {
        uint32_t ss, es;
        std::memcpy(&ss, data, 4);
        std::memcpy(&es, data + 4, 4);
        ss %= 512;
        es %= 512;
        const uint32_t count = data[size - 1] % 8;
        std::vector<uint8_t> st(ss < 4 ? 4 : ss, 0), el(static_cast<size_t>(es < 4 ? 4 : es) * (count ? count : 1), 0);
        std::memcpy(st.data(), &ss, 4);
        std::memcpy(el.data(), &es, 4);
        std::vector<uint8_t> body;
        if (kvparam::MakeReqData(st.data(), el.data(), count, &body) && count && ss >= 4 && es >= 4) {
            if (body.size() != 4u + ss + 4 + count * (es + 4u))
                __builtin_trap();
        }
    }
    return 0;
}
