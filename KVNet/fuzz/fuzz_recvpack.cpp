// Media pack receive over a stream and as a datagram.
#include <memory>

#include "fuzz_socketpair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // First byte picks the transport so one corpus covers both.
    bool stream = data[0] & 1;
    ++data;
    --size;
    if (!stream && size > 8460)
        return 0;
    FedWrapper fed(data, size, stream);
    auto pack = std::make_unique<PackBuf>();
    // A datagram socket has no end of stream: receive it once.
    for (int i = 0; i < (stream ? 16 : 1) && fed.get().RecvPack(*pack); ++i) {
        volatile uint8_t sink = 0;
        if (pack->head.PackSize)
            sink ^= pack->payload()[pack->head.PackSize - 1];
        (void)sink;
    }
    return 0;
}
