// Still pictures, thumbnails, the timing request and the alarm streams: small side
// connections of a session, each an object with its own socket and thread(s).
//
// StillWorker holds what they share: the attachment to the session (a session stop ends
// the work and joins), the stop flag and the wake event every wait sleeps on, the login
// wait, the opening exchange and the join of its threads. A stop sets the flag, wakes
// every wait and shuts the socket down, then joins: no callback runs once it returns.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KVNet.h"
#include "count_semaphore.h"
#include "dev_connection.h"
#include "frame_buf.h"
#include "kv_lock.h"
#include "media_conn.h"
#include "session_link.h"
#include "sync_event.h"

namespace kvstills {

// Waits of seconds, injectable so tests stay fast. Zero fields keep the defaults.
struct StillTimings {
    unsigned loginPollMs = 100;       // step of the login wait
    unsigned retryPauseMs = 1000;     // picture stream, thumbnails: after a failed opening
    unsigned timingRecvMs = 35000;    // timing: wait for the answer
    unsigned alarmRefusedMs = 10000;  // alarm streams: pause after a refusal or no answer
    unsigned alarmRecvMs = 30000;     // alarm information: receive time-out
    unsigned paramRecvMs = 5000;      // alarm parameters: receive time-out
    unsigned heartbeatMs = 5000;      // alarm parameters: heartbeat period
    unsigned piecePauseMs = 5;        // alarm parameters: pause after each piece of a large send
};
void SetStillTimings(const StillTimings& t);
StillTimings GetStillTimings();

constexpr uint32_t kPictureMax = KVNET_PICTURE_MAX;
constexpr uint32_t kPieceSize = 1024;
constexpr uint32_t kPiecewiseFrom = 102401; // head, extension and body together

// A session reached through a P2P tunnel: a device ID and no ID-server host. Such
// messages go in pieces. From a request record, with the session's rules for its login
// type.
bool TunnelledRequest(const KVNetConnectionParam& p);
// Tests: the predicate the send path uses for a session (default: false for a direct
// address; sessions of tunnel login types cannot connect without address resolution).
using TunnelPredicate = bool (*)(DevConnection* session);
void SetTunnelPredicate(TunnelPredicate p);
bool SessionTunnelled(DevConnection* session);

// Creates every missing level of the folder; true when it exists afterwards.
bool MakeDirectoryPath(const char* path);

// Writes data to path whole through a temporary name in the same folder; nothing is left
// at either name on failure.
bool WriteFileWhole(const std::string& path, const uint8_t* data, size_t n);

// An exclusively created file "<folder>/<ms><ext>": the millisecond value goes up until
// a name is free. The descriptor (-1 on failure) and the name.
int CreateUniqueFile(const std::string& folder, const char* ext, std::string* name);

// A picture received straight into a temporary file and renamed when complete.
bool ReceiveToFile(KVMsgChannel& ch, uint32_t length, const std::string& path, const std::atomic<bool>* stop);

class StillWorker : public kvsession::StreamAttachment {
public:
    explicit StillWorker(DevConnection* session) : session_(session) {}
    ~StillWorker() override;

    // Starts `threads` workers (Work(0), Work(1)...) on the task pool.
    bool Launch(int threads);
    void StopAndJoin();
    bool Ended() const { return gone_.load(); }
    DevConnection* Session() const { return session_; }
    bool OnOwnThread() const override;

    void ConnectionLost() override { sock_.Shutdown(); }
    void SessionFreed() override { gone_ = true; }
    void SessionStopping() override;

protected:
    virtual void Work(int which) = 0;
    // At a stop, after the flag is set: wake what Work waits on besides the wake event.
    virtual void WakeOthers() {}
    bool Stopping() const { return stop_.load(); }
    // Waits for the login in steps; false when stopped first.
    bool WaitLogin();
    // Sleeps up to ms unless stopped; false when stopped.
    bool Pause(unsigned ms);
    // Opens the connection and exchanges the opening message.
    kvmedia::OpenResult Open(const kvmedia::SockOpts& o, uint16_t type, const void* body, uint32_t size,
                             MsgBuf& reply, uint16_t* ack);
    static bool Allowed(void* self);

    DevConnection* session_;
    kvmedia::MediaSocket sock_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> gone_{false};
    SyncEvent wake_{true, false};

private:
    static void* Thread0(void* arg);
    static void* Thread1(void* arg);
    void RunThread(int which);
    SyncEvent ended_[2]{{true, true}, {true, true}};
    int threads_ = 0;
};

// What both thumbnail kinds share: the items asked for, the progress through them and
// the receive loop over up to three openings.
struct ThumbAnswer;
class ThumbWorker : public StillWorker {
protected:
    ThumbWorker(DevConnection* s, std::vector<uint8_t> items, size_t itemSize)
        : StillWorker(s), items_(std::move(items)), itemSize_(itemSize), count_(items_.size() / itemSize)
    {
    }
    // Asks for the items not answered yet and hands each answer with its index to take.
    // rspSize and sizeAt describe the answer record; checkStop also drops the rest of a
    // batch once stopping; endStops ends the attempts at the device's end mark.
    void FetchAll(uint16_t type, size_t rspSize, size_t sizeAt, bool checkStop, bool endStops,
                  const std::function<void(ThumbAnswer& a, size_t index)>& take);

    std::vector<uint8_t> items_;
    size_t itemSize_;
    size_t count_;
    size_t next_ = 0;
};

} // namespace kvstills

// The asynchronous snapshot: one attempt.
struct CAsyncDeviceCapture final : public kvstills::StillWorker {
    CAsyncDeviceCapture(DevConnection* s, const KVNetCaptureParam& p) : StillWorker(s), param_(p) {}
    ~CAsyncDeviceCapture() override { StopAndJoin(); }
    // The request, the answer and the picture into its file; true when the file is whole.
    bool RunOnce();

private:
    void Work(int) override;
    KVNetCaptureParam param_;
};

// The picture stream: up to three attempts.
struct GetDevicePicture final : public kvstills::StillWorker {
    GetDevicePicture(DevConnection* s, const KVNetGetPictureParam& p, const uint8_t* req, uint32_t size);
    ~GetDevicePicture() override { StopAndJoin(); }

private:
    void Work(int) override;
    void Report(unsigned code);
    KVNetGetPictureParam param_;
    uint8_t req_[64] = {};
    uint32_t size_;
};

// Playback thumbnails: a receive thread queues the answers, a decoder thread writes the
// files and reports them.
struct CThumbnailsConn final : public kvstills::ThumbWorker {
    static constexpr size_t kItem = 48;
    CThumbnailsConn(DevConnection* s, const KVNetThumbnailsParam& p, std::vector<uint8_t> items, std::string folder);
    ~CThumbnailsConn() override { StopAndJoin(); }

    struct Answer {
        bool end = false;     // the end marker
        bool faulty = false;  // a device error: result 2
        ThumbnailRsp rsp{};
        std::vector<uint8_t> frame; // head and payload; empty: no picture
    };

private:
    void Work(int which) override;
    void WakeOthers() override { wakeDecoder_.Set(); }
    void Receive();
    void Decode();
    void Queue(Answer a);

    KVNetThumbnailsParam param_;
    std::string folder_;
    Mutex queueMu_;
    std::deque<Answer> queue_;
    SyncEvent wakeDecoder_{false, false};
};

// Channel snapshots: one thread receives, writes and reports.
struct CChannelThumbnailsConn final : public kvstills::ThumbWorker {
    static constexpr size_t kItem = 56;
    CChannelThumbnailsConn(DevConnection* s, const KVNetThumbnailsParam& p, std::vector<uint8_t> items,
                           std::string folder);
    ~CChannelThumbnailsConn() override { StopAndJoin(); }

private:
    void Work(int) override;
    void Report(const ChannelThumbnailRsp* rsp, uint32_t result, const char* file);
    KVNetThumbnailsParam param_;
    std::string folder_;
};

// The timing request: one attempt, exactly one callback.
struct CTimingConn final : public kvstills::StillWorker {
    CTimingConn(DevConnection* s, const KVNetTimingParam& p, const uint8_t* req, uint32_t size);
    ~CTimingConn() override { StopAndJoin(); }

private:
    void Work(int) override;
    KVNetTimingParam param_;
    std::vector<uint8_t> req_;
};

// The alarm-information stream: reconnects until stopped.
struct CAlarmRequestInfo final : public kvstills::StillWorker {
    CAlarmRequestInfo(DevConnection* s, const KVNetAlarmRequestInfoParam& p) : StillWorker(s), param_(p) {}
    ~CAlarmRequestInfo() override { StopAndJoin(); }

private:
    void Work(int) override;
    KVNetAlarmRequestInfoParam param_;
    int64_t retries_ = 2147483647;
};

// The alarm-parameter channel: a receive thread (opening, texts, miss counter) and a send
// thread (queued texts, heartbeats).
struct CAlarmParamInfo final : public kvstills::StillWorker {
    CAlarmParamInfo(DevConnection* s, const KVNetAlarmParamInfoParam& p) : StillWorker(s), param_(p) {}
    ~CAlarmParamInfo() override { StopAndJoin(); }
    bool Queue(const char* text, int32_t size);

private:
    void Work(int which) override;
    void WakeOthers() override;
    void Receive();
    void Send();
    void State(uint32_t s);

    KVNetAlarmParamInfoParam param_;
    Mutex sendMu_;  // held by a send; taken before the open flag is cleared
    Mutex queueMu_;
    std::deque<std::vector<uint8_t>> queue_; // head then body
    unsigned misses_ = 0;                    // under queueMu_
    bool open_ = false;                      // under queueMu_
    int64_t retries_ = 2147483647;
    CountSemaphore sem_;
};
