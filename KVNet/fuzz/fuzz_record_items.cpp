// Record query answers over arbitrary bytes, delivered as the record queries register
// them: one by one at 28, 48 or 12 bytes, or as a whole array that the callback walks
// by the first item's StructSize. Input: a kind selector, then the answer. The answer
// lies in a heap block of exactly its size, so any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dev_requests.h"
#include "kvnet/KVNetRecordQuery.h"

namespace {

uint32_t gSum;

struct Expect {
    uint32_t size;   // interface size of one-by-one items
    bool ended;
};

void Item(void* p, void* user)
{
    auto* e = static_cast<Expect*>(user);
    if (!p) {
        if (e->ended)
            __builtin_trap(); // one end mark only
        e->ended = true;
        return;
    }
    if (e->ended)
        __builtin_trap();
    uint32_t s;
    std::memcpy(&s, p, 4);
    if (s != e->size)
        __builtin_trap();
    for (uint32_t i = 0; i < s; ++i)
        gSum += static_cast<uint8_t*>(p)[i];
}

void Array(void* p, unsigned count, void* user)
{
    auto* e = static_cast<Expect*>(user);
    if (e->ended)
        __builtin_trap(); // one call only
    e->ended = true;
    if (!p) {
        if (count)
            __builtin_trap();
        return;
    }
    uint32_t stride;
    std::memcpy(&stride, p, 4);
    if (stride < 4 || !count)
        __builtin_trap();
    const uint8_t* b = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < static_cast<size_t>(count) * stride; ++i)
        gSum += b[i];
}

void NoRight(void* b, void*) { gSum += static_cast<uint8_t*>(b)[255]; }

struct Kind {
    uint16_t sub;
    uint32_t kind;
    uint32_t size; // 0: array
};
const Kind kKinds[] = {
    {101, 1, sizeof(RecordDetailRsp)}, {101, 4, sizeof(NewRecordDetailRsp)},
    {101, 5, 0}, {101, 7, 0}, {102, 2, sizeof(MonthRecordRsp)}, {102, 6, 0},
    {104, 1, sizeof(RecordDetailRsp)},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const Kind& k = kKinds[data[0] % (sizeof kKinds / sizeof kKinds[0])];
    const uint16_t ack = (data[0] & 0x80) ? 50 : 0;
    const size_t n = size - 1;
    std::vector<uint8_t> body(data + 1, data + size);
    uint8_t* heap = n ? new uint8_t[n] : nullptr;
    if (n)
        std::memcpy(heap, body.data(), n);
    Expect e{k.size, false};
    kvreq::AsyncRequest rec;
    rec.head.MsgType = 111;
    rec.head.MsgSubType = k.sub;
    rec.itemKind = k.kind;
    rec.callback = k.size ? reinterpret_cast<kvreq::AsyncFn>(Item) : reinterpret_cast<kvreq::AsyncFn>(Array);
    rec.user = &e;
    rec.noRight = NoRight;
    rec.Dispatch(heap, static_cast<uint32_t>(n), ack);
    if (!e.ended)
        __builtin_trap(); // every delivery ends with its end mark or its one array call
    delete[] heap;
    return 0;
}
