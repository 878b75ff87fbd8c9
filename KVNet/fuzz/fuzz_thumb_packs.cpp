// The receive path of thumbnails: pack sequences (result records of PackType 5, picture
// frames, end packs) into the answer assembler of recordings (112-byte records) or of
// channels (40-byte records). Every answer with a picture must carry exactly the frame
// its record announced.
#include <cstring>
#include <memory>

#include "pack_input.h"
#include "thumb_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool channel = data[0] & 1;
    ++data;
    --size;
    const size_t rspSize = channel ? 40 : 112;
    const size_t sizeAt = channel ? 12 : 4;
    kvstills::ThumbAssembler as(rspSize, sizeAt);
    auto pack = std::make_unique<PackBuf>();
    std::vector<kvstills::ThumbAnswer> out;
    while (kvfuzz::NextPack(data, size, *pack)) {
        if (as.Add(*pack, out) == kvstills::ThumbAssembler::kEnd)
            break;
        for (auto& a : out) {
            if (a.frame.empty())
                continue;
            if (a.faulty || a.frame.size() < kvmsg::kFrameHeadSize)
                __builtin_trap();
            uint32_t announced = 0, payload = 0;
            memcpy(&announced, a.rsp + sizeAt, 4);
            memcpy(&payload, a.frame.data() + kvmsg::kFrameSizeOffset, 4);
            if (announced != a.frame.size() || payload + kvmsg::kFrameHeadSize != a.frame.size())
                __builtin_trap();
            volatile uint8_t sink = a.frame.back();
            (void)sink;
        }
        out.clear();
    }
    return 0;
}
