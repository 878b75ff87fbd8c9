// Opening received envelopes: the first byte picks inline or heap placement, the rest is
// the encrypted envelope body. Seeds are sealed envelopes, so the fuzzer starts past the
// digest check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "srp6/kv_envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static const uint8_t iv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    static MsgBuf* msg = new MsgBuf;
    if (size < 1 || size > kvmsg::kInlineBody + 1)
        return 0;
    const bool heap = data[0] & 1;
    ++data;
    --size;
    msg->clear();
    msg->head.MsgType = kvmsg::kTypeEnvelope;
    msg->head.MsgSize = static_cast<uint32_t>(size);
    if (heap) {
        msg->heap = static_cast<uint8_t*>(calloc(size ? size : 1, 1));
        msg->heapSize = static_cast<uint32_t>(size);
    }
    if (size)
        memcpy(msg->body(), data, size);
    if (kvenv::Open(key, iv, *msg)) {
        // The inner message must lie within what the buffer holds.
        volatile uint8_t sink = 0;
        const uint8_t* b = msg->body();
        for (uint32_t i = 0; i < msg->head.MsgSize; ++i)
            sink ^= b[i];
        (void)sink;
    }
    msg->free_heap();
    return 0;
}
