#include "dev_requests.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kv_globals.h"
#include "params_parse.h"

namespace kvreq {

namespace {

// The table whose callback this thread is running, and whether it is the close-down
// (then the session's send mutex is held as well).
thread_local const RequestTables* tlCallbackTable = nullptr;
thread_local bool tlCloseDown = false;

class CallbackScope {
public:
    CallbackScope(const RequestTables* t, bool closeDown)
        : prevTable_(tlCallbackTable), prevClose_(tlCloseDown)
    {
        tlCallbackTable = t;
        tlCloseDown = closeDown;
    }
    ~CallbackScope()
    {
        tlCallbackTable = prevTable_;
        tlCloseDown = prevClose_;
    }

private:
    const RequestTables* prevTable_;
    bool prevClose_;
};

constexpr uint32_t kRecordItem = 28;
constexpr uint32_t kNewRecordItem = 48;
constexpr uint32_t kMonthItem = 12;

bool KeepsAfterReply(const AsyncRequest& r)
{
    const uint16_t t = r.head.MsgType;
    return t == 309 || t == 331 || (t == 429 && r.singleReply == 0);
}

} // namespace

bool SyncWaiter::Match(const MsgBuf& msg)
{
    if (msg.head.MsgType != request->MsgType || msg.head.MsgSubType != request->MsgSubType ||
        msg.head.Seq != request->Seq)
        return false;
    reply->clear();
    reply->head = msg.head;
    const uint32_t ext = msg.head.ext_len();
    bool ok = true;
    if (msg.heap) {
        std::memcpy(reply->inl, msg.inl, ext);
        if (msg.head.MsgSize) {
            reply->heap = static_cast<uint8_t*>(std::malloc(msg.head.MsgSize));
            if (reply->heap) {
                reply->heapSize = msg.head.MsgSize;
                std::memcpy(reply->heap, msg.heap, msg.head.MsgSize);
            } else {
                ok = false;
            }
        }
    } else if (static_cast<size_t>(ext) + msg.head.MsgSize <= sizeof(reply->inl)) {
        std::memcpy(reply->inl, msg.inl, ext + msg.head.MsgSize);
    } else {
        ok = false; // cannot happen with the framing's own limits; fail rather than overrun
    }
    answered = ok;
    event->Set();
    return true;
}

void AsyncRequest::Dispatch(uint8_t* payload, uint32_t size, uint16_t ack, bool failed) const
{
    if (noRight && (ack == kAckNoRight || failed)) {
        uint8_t block[256] = {};
        block[0] = failed ? 2 : 1;
        noRight(block, user);
    }
    if (failed) {
        payload = nullptr;
        size = 0;
        ack = kAckFailed;
    }
    const uint16_t sub = head.MsgSubType;
    auto counted = [&] {
        if (!callback || !user)
            return;
        const uint32_t count = kvparam::CountItems(payload, size);
        reinterpret_cast<CountedFn>(callback)(count ? payload : nullptr, count, user);
    };
    auto items = reinterpret_cast<kvparam::ItemFn>(callback);
    if (sub == 101 || sub == 104) {
        switch (itemKind) {
        case kKindRecord: kvparam::DeliverItems(payload, size, kRecordItem, items, user); break;
        case kKindNewRecord: kvparam::DeliverItems(payload, size, kNewRecordItem, items, user); break;
        case kKindCounted5:
        case kKindCounted7: counted(); break;
        default: break;
        }
        return;
    }
    if (sub == 102) {
        if (itemKind == kKindMonth)
            kvparam::DeliverItems(payload, size, kMonthItem, items, user);
        else if (itemKind == kKindCounted6)
            counted();
        return;
    }
    if (!callback)
        return;
    if (sub == 105) {
        reinterpret_cast<AckFn>(callback)(ack, payload);
        return;
    }
    if (itemKind == kKindTypedAck) {
        auto fn = reinterpret_cast<TypedAckFn>(callback);
        if (failed) {
            fn(kAckFailed, kAckFailed, nullptr, 0, user);
        } else if (sub == 723 && payload && size) {
            std::vector<uint8_t> joined = kvparam::ConcatListElements(payload, size);
            fn(723, ack, joined.empty() ? nullptr : joined.data(), static_cast<unsigned>(joined.size()), user);
        } else {
            fn(sub == 723 ? 723 : head.MsgType, ack, size ? payload : nullptr, size, user);
        }
        return;
    }
    switch (head.MsgType) {
    case 429:
        if (itemKind == kKindJsonSet) {
            uint16_t status = 1;
            if (payload && size >= 4)
                std::memcpy(&status, payload + 2, 2);
            reinterpret_cast<JsonSetFn>(callback)(payload && status == 0 ? 1 : 0, payload, size, user);
        } else {
            reinterpret_cast<JsonFn>(callback)(payload, size, user);
        }
        return;
    case 367: {
        uint8_t block[72] = {};
        const uint32_t len = 72, a = ack;
        std::memcpy(block, &len, 4);
        std::memcpy(block + 4, &a, 4);
        reinterpret_cast<TypedFn>(callback)(failed ? kAckFailed : 367, block, 72, user);
        return;
    }
    default: break;
    }
    auto typed = reinterpret_cast<TypedFn>(callback);
    if (failed) {
        typed(kAckFailed, nullptr, 0, user);
        return;
    }
    if (sub == 723) {
        if (!payload || !size) {
            typed(723, nullptr, 0, user);
            return;
        }
        std::vector<uint8_t> joined = kvparam::ConcatListElements(payload, size);
        if (!joined.empty())
            typed(723, joined.data(), static_cast<unsigned>(joined.size()), user);
        return;
    }
    typed(head.MsgType, payload, size, user);
}

void RequestTables::AddSyncWaiter(SyncWaiter* w)
{
    ScopedLock l(waiterMutex_);
    waiters_.push_back(w);
}

void RequestTables::RemoveSyncWaiter(SyncWaiter* w)
{
    ScopedLock l(waiterMutex_);
    auto it = std::find(waiters_.begin(), waiters_.end(), w);
    if (it == waiters_.end())
        return;
    waiters_.erase(it);
    w->event->Set();
}

bool RequestTables::DispatchToSyncWaiters(const MsgBuf& msg)
{
    ScopedLock l(waiterMutex_);
    for (SyncWaiter* w : waiters_)
        if (w->Match(msg))
            return true;
    return false;
}

void RequestTables::WakeAllSyncWaiters()
{
    ScopedLock l(waiterMutex_);
    for (SyncWaiter* w : waiters_)
        w->event->Set();
    waiters_.clear();
}

bool RequestTables::AddAsyncRequest(const AsyncRequest& rec)
{
    if (InCallback())
        return false; // the table is locked by this very thread
    ScopedLock l(tableMutex_);
    auto it = table_.find(rec.head.Seq);
    if (it != table_.end()) {
        const MsgHeadWrap& h = it->second.head;
        const bool same = h.MsgType == rec.head.MsgType && h.MsgSubType == rec.head.MsgSubType;
        if (!same || (h.MsgType != 309 && h.MsgType != 331))
            return false;
        table_.erase(it); // a stream's renewed registration replaces the old one
    }
    table_.emplace(rec.head.Seq, rec);
    return true;
}

bool RequestTables::CompleteAsyncRequest(MsgBuf& msg)
{
    ScopedLock l(tableMutex_);
    auto it = table_.find(msg.head.Seq);
    if (it == table_.end())
        return false;
    {
        CallbackScope scope(this, false);
        it->second.Dispatch(msg.body(), msg.head.MsgSize, msg.head.AckFlag);
    }
    // Callbacks cannot change the table (their calls fail fast), so `it` is still valid.
    if (!KeepsAfterReply(it->second))
        table_.erase(it);
    return true;
}

bool RequestTables::RemoveAsyncRequest(uint32_t seq)
{
    if (InCallback())
        return false;
    ScopedLock l(tableMutex_);
    table_.erase(seq);
    return true;
}

void RequestTables::ClearAsyncRequests()
{
    ScopedLock l(tableMutex_);
    CallbackScope scope(this, true);
    for (auto& e : table_)
        e.second.Dispatch(nullptr, 0, kAckFailed, true);
    table_.clear();
}

size_t RequestTables::AsyncCount()
{
    ScopedLock l(tableMutex_);
    return table_.size();
}

size_t RequestTables::WaiterCount()
{
    ScopedLock l(waiterMutex_);
    return waiters_.size();
}

bool RequestTables::InCallback() const { return tlCallbackTable == this; }
bool RequestTables::InCloseDown() const { return tlCallbackTable == this && tlCloseDown; }

namespace {
std::atomic<unsigned> gTimeoutOverride{0};
}

void SetDefaultTimeoutOverride(unsigned ms) { gTimeoutOverride.store(ms); }

unsigned DefaultTimeout(unsigned ms)
{
    const unsigned o = gTimeoutOverride.load();
    return o ? o : ms;
}

std::unique_ptr<MsgBuf> NewReply() { return std::unique_ptr<MsgBuf>(new (std::nothrow) MsgBuf); }

MsgHeadWrap MakeHead(kvsession::Link& s, uint16_t type, uint16_t subType, uint32_t size)
{
    MsgHeadWrap h;
    h.flags = s.HeadSecurityBits() & 0x03u;
    h.MsgType = type;
    h.MsgSubType = subType;
    h.MsgSize = size;
    // 0 means "failed" to the asynchronous starts, so a wrapped counter skips it.
    do
        h.Seq = kvnet_next_seq();
    while (h.Seq == 0);
    return h;
}

bool SendRequestAndWait(SessionRequests& s, const MsgHeadWrap& head, const void* body,
                        MsgBuf& reply, unsigned timeoutMs)
{
    RequestTables& t = s;
    if (t.InCallback() || s.Link().OnConnectionTask())
        return false; // the connection task would wait for itself
    SyncEvent ev(false, false);
    SyncWaiter w;
    w.request = &head;
    w.event = &ev;
    w.reply = &reply;
    t.AddSyncWaiter(&w);
    const bool sent = Send(s, head, body);
    if (sent && timeoutMs)
        ev.Wait(timeoutMs);
    // After the removal the connection task no longer writes into reply or answered.
    t.RemoveSyncWaiter(&w);
    if (!sent)
        return false;
    return timeoutMs == 0 || w.answered;
}

uint32_t StartAsyncRequest(SessionRequests& s, const AsyncRequest& rec, const void* body)
{
    RequestTables& t = s;
    if (t.InCallback() || !s.Link().IsLoggedIn())
        return 0;
    // Registered first: the reply may arrive before SendOnMain returns.
    if (!t.AddAsyncRequest(rec))
        return 0;
    if (!Send(s, rec.head, body)) {
        t.RemoveAsyncRequest(rec.head.Seq);
        return 0;
    }
    return rec.head.Seq;
}

} // namespace kvreq
