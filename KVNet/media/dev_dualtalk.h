// Two-way audio: the caller's audio frames go to the device over a connection of the
// talk's own, the device's come back (in the modes that deliver). One thread opens and
// receives, one sends the queued frames (and the pass-through heartbeat).
//
// Locks: queueMu_ guards the frame queue and the active flag; the socket mutex (in
// MediaSocket) the descriptor. The stop waits for both threads before anything goes.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "KVNet.h"
#include "count_semaphore.h"
#include "dev_connection.h"
#include "kv_lock.h"
#include "media_conn.h"
#include "session_link.h"
#include "sync_event.h"

struct DevDualtalk final : public kvsession::StreamAttachment {
public:
    static constexpr size_t kQueueMax = 256;

    DevDualtalk(DevConnection* session, const KVNetDualtalkParam& p);
    ~DevDualtalk() override;

    bool Start();
    // A copy of the frame, while active and the queue has room.
    bool Queue(const KVFrameHead* frame);
    void StopAndJoin();
    bool Ended() const { return gone_.load(); }
    DevConnection* Session() const { return session_; }
    bool Active();
    // True on the talk's own receive thread (its callbacks run there).
    bool OnOwnThread() const override;

    void ConnectionLost() override { sock_.Shutdown(); }
    void SessionFreed() override { gone_ = true; }
    void SessionStopping() override;

private:
    static void* RecvFun(void* arg);
    static void* SendFun(void* arg);
    void Recv();
    void Send();
    void Report(unsigned code);
    static bool Allowed(void* self);
    bool SendOnly() const { return param_.bPassthrough && !param_.bPassthroughRecv && !param_.bAlternative; }

    DevConnection* session_;
    KVNetDualtalkParam param_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    kvmedia::MediaSocket sock_;
    SyncEvent recvEnded_{true, true};
    SyncEvent sendEnded_{true, true};
    std::atomic<bool> started_{false};
    Mutex queueMu_;
    std::deque<std::vector<uint8_t>> queue_;
    bool active_ = false;
    CountSemaphore sem_;
};
