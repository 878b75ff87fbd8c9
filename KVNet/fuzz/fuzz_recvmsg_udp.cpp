// One UDP datagram as a message: the announced size must fit what arrived.
#include <memory>

#include "fuzz_socketpair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 102400)
        return 0;
    FedWrapper fed(data, size, false);
    auto msg = std::make_unique<MsgBuf>();
    if (fed.get().RecvMsg(*msg)) {
        volatile uint8_t sink = 0;
        if (msg->body_size())
            sink ^= msg->body()[msg->body_size() - 1];
        (void)sink;
    }
    return 0;
}
