// The asynchronous dispatch of every item kind, the item deliveries and the waiter copy,
// over arbitrary replies. Input: type selector, subtype selector, kind, ack, then the body.
// Bit 7 of the type selector puts the body in the inline area, behind an extension of
// 4 * bits 3-6 bytes, as the receive loop does for every reply up to 100 KiB; otherwise
// it is a heap block of exactly its size, so reads past it are caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dev_requests.h"

namespace {

uint32_t gSum;

void Item(void* p, void* user)
{
    if (!p)
        return;
    // Deliveries hand on at least 48 bytes for the largest kind; read the record size only
    // as far as the kind promises (the record tells us via user).
    const uint32_t n = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
    for (uint32_t i = 0; i < n; ++i)
        gSum += static_cast<uint8_t*>(p)[i];
}
void Counted(void* p, unsigned count, void*)
{
    if (p && count)
        gSum += static_cast<uint8_t*>(p)[0];
}
void Ack(unsigned ack, const void*) { gSum += ack; }
void Typed(unsigned short, void* d, unsigned n, void*)
{
    for (unsigned i = 0; i < n; ++i)
        gSum += static_cast<uint8_t*>(d)[i];
}
void Json(const void* d, unsigned n, void*)
{
    if (n)
        gSum += static_cast<const uint8_t*>(d)[n - 1];
}
void JsonSet(int ok, const void*, unsigned, void*) { gSum += ok; }
void NoRight(void* b, void*) { gSum += static_cast<uint8_t*>(b)[255]; }

const uint16_t kTypes[] = {302, 303, 309, 331, 367, 429, 211, 301};
const uint16_t kSubs[] = {0, 101, 102, 104, 105, 723, 7};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint16_t type = kTypes[data[0] % 8];
    const uint16_t sub = kSubs[data[1] % 7];
    const uint32_t kind = data[2] % 10;
    const uint16_t ack = data[3] & 1 ? 50 : data[3];
    const bool inlineBody = data[0] & 0x80;
    const uint8_t extLen = static_cast<uint8_t>(((data[0] >> 3) & 0xF) * 4);
    data += 4;
    size -= 4;

    kvreq::AsyncRequest rec;
    rec.head.MsgType = type;
    rec.head.MsgSubType = sub;
    rec.head.Seq = 5;
    rec.itemKind = kind;
    rec.noRight = NoRight;
    uint32_t itemSize = kind == 4 ? 48 : kind == 2 ? 12 : 28;
    if (sub == 101 || sub == 104 || sub == 102) {
        if (kind == 5 || kind == 6 || kind == 7)
            rec.callback = reinterpret_cast<kvreq::AsyncFn>(Counted);
        else
            rec.callback = reinterpret_cast<kvreq::AsyncFn>(Item);
    } else if (sub == 105) {
        rec.callback = reinterpret_cast<kvreq::AsyncFn>(Ack);
    } else if (type == 429) {
        rec.callback = kind == 9 ? reinterpret_cast<kvreq::AsyncFn>(JsonSet)
                                 : reinterpret_cast<kvreq::AsyncFn>(Json);
    } else {
        rec.callback = reinterpret_cast<kvreq::AsyncFn>(Typed);
    }
    rec.user = reinterpret_cast<void*>(static_cast<uintptr_t>(itemSize));
    rec.singleReply = kind & 1;

    if (inlineBody && size > kvmsg::kInlineBody - extLen)
        return 0;
    auto msg = std::make_unique<MsgBuf>();
    msg->head = rec.head;
    msg->head.AckFlag = ack;
    msg->head.MsgSize = static_cast<uint32_t>(size);
    if (inlineBody) {
        msg->head.flags = extLen;
        std::memset(msg->inl, 0xEE, extLen);
    } else {
        msg->heap = static_cast<uint8_t*>(std::malloc(size ? size : 1));
        msg->heapSize = static_cast<uint32_t>(size);
    }
    if (size)
        std::memcpy(msg->body(), data, size);

    kvreq::RequestTables t;
    if (t.AddAsyncRequest(rec))
        t.CompleteAsyncRequest(*msg);
    t.AddAsyncRequest(rec);
    t.ClearAsyncRequests();

    // The waiter's copy of the same reply, inline when it fits.
    SyncEvent ev(false, false);
    auto reply = std::make_unique<MsgBuf>();
    kvreq::SyncWaiter w;
    w.request = &rec.head;
    w.event = &ev;
    w.reply = reply.get();
    t.AddSyncWaiter(&w);
    t.DispatchToSyncWaiters(*msg);
    t.RemoveSyncWaiter(&w);
    // (The deliveries rewrite item sizes in place: compare with the message as it is now.)
    if (w.answered && size && std::memcmp(reply->body(), msg->body(), size) != 0)
        __builtin_trap();
    return 0;
}
