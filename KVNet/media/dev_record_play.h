// Remote playback and key-frame capture: one connection of its own, one thread that opens,
// receives and calls back, one that sends the queued requests (more data, repositions,
// controls, keep-alives) so the receiving thread never blocks on a send.
//
// Locks: dataMu_ is held around every data callback and the reposition bookkeeping;
// queueMu_ guards the queue and the active flag; reposMu_ the pending flag (order:
// queueMu_, then reposMu_); the socket mutex (in MediaSocket) the descriptor.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "KVNet.h"
#include "count_semaphore.h"
#include "dev_connection.h"
#include "frame_buf.h"
#include "media_conn.h"
#include "session_link.h"
#include "sync_event.h"

struct DevRecordPlay final : public kvsession::StreamAttachment {
public:
    enum Mode { kPlayback, kCapture };

    DevRecordPlay(DevConnection* session, const KVNetRecordPlayParamEx& p, Mode mode);
    ~DevRecordPlay() override;

    bool Start();
    void StopAndJoin();
    bool Ended() const { return gone_.load(); }
    DevConnection* Session() const { return session_; }
    Mode mode() const { return mode_; }

    bool ReqData();
    // 123 (capture: 405), or with a backward code 124; false from the playback's own thread.
    bool Reposition(const DateTime span[2], uint16_t backwardCode);
    void Replay() { replay_.Set(); }
    bool Control(uint32_t code);

    // Hands every pack the channel yields to the receive path's pack handling, with
    // nothing open (no session reached, nothing queued, no hold): the fuzz targets' entry.
    void FeedPacks(KVMsgChannel& ch);

    bool OnOwnThread() const override;
    void ConnectionLost() override { sock_.Shutdown(); }
    void SessionFreed() override { gone_ = true; }
    void SessionStopping() override;

private:
    struct Queued {
        MsgHeadWrap head;
        std::vector<uint8_t> body;
    };
    static void* RecordPlayFun(void* arg);
    static void* SendFun(void* arg);
    void Run();
    void Send();
    bool WaitLogin();
    bool OpenStream();
    void RecvStream(bool controlAtOpening);
    struct RecvState {
        FrameBuf fb;
        bool exempt = false;     // the next confirmation is not held (control at the opening)
        bool printNext = false;  // print the first frame after a confirmation
    };
    enum class Confirm { kNone, kGoOn, kHeld };
    // One received pack; whether it confirmed a reposition, and whether frames wait for Replay.
    Confirm HandlePack(RecvState& st, const PackBuf& pack);
    bool QueueMsg(uint16_t type, uint16_t sub, const void* body, uint32_t size);
    bool AskMore(uint16_t sub);
    // 122/121 unless a data callback runs or the end was reached.
    bool AskIfIdle();
    void Report(unsigned code);
    static bool Allowed(void* self);

    DevConnection* session_;
    KVNetRecordPlayParamEx param_;
    const Mode mode_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> running_{true};
    std::atomic<bool> stopping_{false};
    SyncEvent stop_{true, false};
    std::atomic<uint64_t> lastKey_{0};
    std::mutex dataMu_;
    std::atomic<bool> dataDue_{true};
    std::atomic<bool> endReached_{false};
    kvmedia::MediaSocket sock_;
    std::mutex queueMu_;
    std::deque<Queued> queue_;
    bool active_ = false;
    CountSemaphore sem_;
    std::mutex reposMu_;
    bool reposPending_ = false;
    SyncEvent reposDone_{true, true};
    SyncEvent replay_{true, false};
    SyncEvent sendEnded_{true, true};
    SyncEvent ended_{true, true};
    std::atomic<bool> started_{false};
    bool firstNoticed_ = false;
    // Callers inside a reposition: the stop waits for them before the object goes.
    std::mutex callersMu_;
    std::condition_variable callersCv_;
    int callers_ = 0;
};
