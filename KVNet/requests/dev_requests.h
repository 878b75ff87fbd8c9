// Requests on a session's main connection and how their replies find them: synchronous
// waiters (the caller blocks until the connection task hands over the reply) and
// asynchronous request records keyed by Seq (the connection task calls back).
//
// Threads: the request calls run on the caller's thread; Route, ConnectionLost and
// ConnectionClosed run on the session's connection task, which makes every asynchronous
// callback. Neither the waiter mutex nor the table mutex is held while taking a lock of
// the session.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kv_lock.h"
#include "msg_types.h"
#include "session_link.h"
#include "sync_event.h"

class DevConnection;

namespace kvreq {

// Generic function pointer of a record; cast to its real form by the record's kind.
using AsyncFn = void (*)();
// Item deliveries and parameter structures: void(item, user); a null item ends a list.
using ItemFn = void (*)(void* item, void* user);
// Counted items: void(items or null, count, user).
using CountedFn = void (*)(void* items, unsigned count, void* user);
// Subtype 105: void(ack, payload).
using AckFn = void (*)(unsigned ack, const void* payload);
// By message type: void(type, data, size, user).
using TypedFn = void (*)(unsigned short type, void* data, unsigned size, void* user);
// Remote tests that want the reply's AckFlag: void(type, ack, data, size, user).
using TypedAckFn = void (*)(unsigned short type, unsigned short ack, void* data, unsigned size,
                            void* user);
// MsgType 429 item kind 0 and 9.
using JsonFn = void (*)(const void* data, unsigned size, void* user);
using JsonSetFn = void (*)(int ok, const void* data, unsigned size, void* user);
// First call on AckFlag 50 when set: a 256-byte block, first byte 1 (2 on close-down).
using NoRightFn = void (*)(void* block, void* user);

constexpr uint32_t kKindPlain = 0;
constexpr uint32_t kKindRecord = 1;      // 28-byte record items
constexpr uint32_t kKindMonth = 2;       // 12-byte month items (subtype 102)
constexpr uint32_t kKindNewRecord = 4;   // 48-byte record items
constexpr uint32_t kKindCounted5 = 5;
constexpr uint32_t kKindCounted6 = 6;
constexpr uint32_t kKindCounted7 = 7;
constexpr uint32_t kKindJsonSet = 9;
constexpr uint32_t kKindTypedAck = 10;   // TypedAckFn, whatever the MsgType

constexpr uint16_t kAckNoRight = 50;
constexpr uint16_t kAckFailed = 0xFFFF;  // KVNET_REQUEST_FAILED

// One synchronous request; lives on the requester's stack.
struct SyncWaiter {
    const MsgHeadWrap* request = nullptr;
    SyncEvent* event = nullptr;
    bool answered = false;
    MsgBuf* reply = nullptr;

    // True when msg answers the request; then copies it into the reply buffer.
    bool Match(const MsgBuf& msg);
};

// One asynchronous request, stored by value under its Seq.
struct AsyncRequest {
    MsgHeadWrap head;            // copy of the head sent
    uint32_t itemKind = kKindPlain;
    AsyncFn callback = nullptr;
    void* user = nullptr;
    uint8_t singleReply = 0;     // read for MsgType 429 only
    NoRightFn noRight = nullptr;

    // Hands one reply (or, with failed set, the close-down) to the callback.
    void Dispatch(uint8_t* payload, uint32_t size, uint16_t ack, bool failed = false) const;
};

// The waiter list and the asynchronous table of one session.
class RequestTables {
public:
    RequestTables() = default;
    RequestTables(const RequestTables&) = delete;
    RequestTables& operator=(const RequestTables&) = delete;

    void AddSyncWaiter(SyncWaiter* w);
    // Removes w when it is still listed, then sets its event. After this the connection
    // task no longer touches w's reply buffer.
    void RemoveSyncWaiter(SyncWaiter* w);
    bool DispatchToSyncWaiters(const MsgBuf& msg);
    // Close-down: every waiter wakes unanswered.
    void WakeAllSyncWaiters();

    // False when it did not insert (duplicate, a foreign entry under the Seq, or called
    // from one of this table's callbacks).
    bool AddAsyncRequest(const AsyncRequest& rec);
    // The record under msg's Seq gets the reply; false when there is none.
    bool CompleteAsyncRequest(MsgBuf& msg);
    // False when called from one of this table's callbacks (the table is locked).
    bool RemoveAsyncRequest(uint32_t seq);
    // Close-down: each pending record gets its one failure callback; the table empties.
    void ClearAsyncRequests();
    size_t AsyncCount();
    size_t WaiterCount();

    // True on the thread that runs one of this table's callbacks right now.
    bool InCallback() const;
    // True while the close-down callbacks run on this thread (the send mutex is held).
    bool InCloseDown() const;

private:
    Mutex waiterMutex_;
    std::vector<SyncWaiter*> waiters_;
    Mutex tableMutex_;
    std::map<uint32_t, AsyncRequest> table_;
};

// The request layer of one session: its tables, attached to the session (which routes
// its replies here), with the session's link for sending.
class SessionRequests final : public RequestTables, public kvsession::ReplyRouter {
public:
    explicit SessionRequests(kvsession::Link& link) : link_(link) {}
    kvsession::Link& Link() { return link_; }

    // Which replies go to waiting callers and which to asynchronous records: some types
    // only ever answer records, some try the waiters first, the rest answer waiters only.
    void Route(MsgBuf& msg) override;
    void ConnectionLost() override { WakeAllSyncWaiters(); }
    void ConnectionClosed() override { ClearAsyncRequests(); }

private:
    kvsession::Link& link_;
};

// A new session with its request layer attached: every session the flat interface
// starts has one, whatever else the program uses.
std::unique_ptr<DevConnection> NewSession();

// The request layer of a session handle; null for a null handle.
SessionRequests* RequestsOf(DevConnection* handle);

// Serialised send on the session's main connection; false when not logged in, or from a
// close-down callback of these tables.
bool Send(SessionRequests& r, const MsgHeadWrap& head, const void* body);

// A request head with the session's security bits; Seq from the process counter.
MsgHeadWrap MakeHead(kvsession::Link& s, uint16_t type, uint16_t subType, uint32_t size);

inline MsgHeadWrap MakeHead(SessionRequests& s, uint16_t type, uint16_t subType, uint32_t size)
{
    return MakeHead(s.Link(), type, subType, size);
}

// Registers a waiter, sends, waits up to timeoutMs (0: returns once sent) and removes the
// waiter. True when sent and (for a non-zero time-out) answered into reply.
bool SendRequestAndWait(SessionRequests& s, const MsgHeadWrap& head, const void* body,
                        MsgBuf& reply, unsigned timeoutMs);

// Registers rec before sending (a fast reply must find it) and removes it when the send
// fails. Returns the Seq, 0 on failure.
uint32_t StartAsyncRequest(SessionRequests& s, const AsyncRequest& rec, const void* body);

// The callers' default time-outs (25000, 30000, 5000 ms) unless a test replaced them all
// with one shorter value (0 restores them).
void SetDefaultTimeoutOverride(unsigned ms);
unsigned DefaultTimeout(unsigned ms);

// A reply buffer off the stack (its inline area is 100 KiB).
std::unique_ptr<MsgBuf> NewReply();

// Result of a synchronous call from the reply's AckFlag: 1, 2 for no right, 0.
inline int AckResult(uint16_t ack) { return ack == 0 ? 1 : ack == kAckNoRight ? 2 : 0; }

// The payload a consumer gets: the heap body or the inline bytes after the extension.
inline uint8_t* Payload(MsgBuf& m) { return m.body(); }

} // namespace kvreq
