// The decoder configuration builders on arbitrary parameter-set bytes: the first byte picks
// whether the data count as cut short; the rest is the start of a key frame.
#include <cstddef>
#include <cstdint>

#include "mp4_nal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    bool cut = data[0] & 1;
    const uint8_t* p = data + 1;
    size_t n = size - 1;
    std::vector<uint8_t> a = mp4_build_avcc(p, n, cut);
    std::vector<uint8_t> h = mp4_build_hvcc(p, n, cut);
    if (a.size() > 1024 || h.size() > 1024) __builtin_trap();
    for (const nal_unit& u : mp4_split_nal_units(p, n))
        if (u.data < p || u.data + u.len > p + n || u.len == 0) __builtin_trap();
    return 0;
}
