// Pack sequences into the reassembly buffer: each input is a run of pack heads with their
// data, fed in order, with and without the checks.
#include <cstring>
#include <memory>

#include "frame_buf.h"

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
    while (size >= sizeof(PackHead)) {
        memcpy(&pack->head, data, sizeof(PackHead));
        data += sizeof(PackHead);
        size -= sizeof(PackHead);
        // Data bytes follow as far as the input has them; the head's size stays as it is
        // but never beyond what the receive allows.
        pack->head.PackSize = static_cast<uint16_t>(pack->head.PackSize % (kvmsg::kPackData + 1));
        const size_t want = pack->head.ext_len() + pack->head.PackSize;
        const size_t take = want < size ? want : size;
        memset(pack->data, 0xA5, want);
        memcpy(pack->data, data, take);
        data += take;
        size -= take;
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
