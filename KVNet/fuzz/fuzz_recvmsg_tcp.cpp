// TCP message receive: head, scrambled head and body, extension, heap bodies, envelope type.
#include <cstring>
#include <memory>

#include "fuzz_socketpair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FedWrapper fed(data, size, true);
    auto msg = std::make_unique<MsgBuf>();
    // Receive until the stream runs dry: every message boundary the input implies.
    for (int i = 0; i < 64 && fed.get().RecvMsg(*msg); ++i) {
        volatile uint8_t sink = 0;
        const uint8_t* b = msg->body();
        for (uint32_t k = 0; k < msg->body_size(); k += 4096)
            sink ^= b[k];
        if (msg->body_size())
            sink ^= b[msg->body_size() - 1];
        (void)sink;
    }
    return 0;
}
