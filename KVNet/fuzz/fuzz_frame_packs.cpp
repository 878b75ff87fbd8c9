// Pack sequences into the reassembly buffer: each input is a run of pack heads with their
// data, fed in order, with and without the checks.
#include <memory>

#include "pack_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool check = data[0] & 1;
    const bool video = data[0] & 2;
    ++data;
    --size;
    FrameBuf fb(video);
    auto pack = std::make_unique<PackBuf>();
    while (kvfuzz::NextPack(data, size, *pack)) {
        if (fb.AddPack(*pack, check)) {
            // With the checks off a frame of empty packs is complete and empty.
            if (fb.size() > 0) {
                volatile uint8_t sink = fb.data()[fb.size() - 1];
                (void)sink;
            }
            if (fb.size() > static_cast<uint32_t>(fb.capacity()))
                __builtin_trap();
        }
    }
    return 0;
}
