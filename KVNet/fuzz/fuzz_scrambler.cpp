// unscramble(scramble(x)) == x for any unit.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scrambler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> x(data, data + size);
    if (!kv_scramble(x.data(), x.size()) || !kv_unscramble(x.data(), x.size()))
        abort();
    if (size && memcmp(x.data(), data, size) != 0)
        abort();
    return 0;
}
