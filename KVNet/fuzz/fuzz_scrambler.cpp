// unscramble(scramble(x)) == x for any unit, and the word path and the portable path
// agree byte for byte both ways.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scrambler.h"

namespace {

std::vector<uint8_t> Run(const uint8_t* data, size_t size, bool portable, bool forward)
{
    std::vector<uint8_t> x(data, data + size);
    kv_scramble_force_portable(portable);
    const bool ok = forward ? kv_scramble(x.data(), x.size()) : kv_unscramble(x.data(), x.size());
    kv_scramble_force_portable(false);
    if (!ok)
        abort();
    return x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (bool forward : {true, false}) {
        const std::vector<uint8_t> portable = Run(data, size, true, forward);
        if (kv_scramble_has_word_path() && Run(data, size, false, forward) != portable)
            abort();
        const std::vector<uint8_t> back = Run(portable.data(), portable.size(), false, !forward);
        if (size && memcmp(back.data(), data, size) != 0)
            abort();
    }
    return 0;
}
