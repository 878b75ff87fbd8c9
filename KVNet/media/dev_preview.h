// Live preview: one stream of a session's channel shared by every caller that asks for the
// same combination; one connection, one thread and one reassembly buffer per stream, each
// frame handed to every client from that buffer.
//
// Threads and locks: the stream thread opens, receives and calls back; callers add and
// remove clients. clientMu_ guards the client list and is held while callbacks run;
// the socket mutex (in MediaSocket) guards the descriptor; rateMu_ the bit-rate counter.
// The registry of a process's streams (kvmedia::Previews) is locked only briefly, never
// while a thread is joined or a callback runs.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "frame_buf.h"
#include "kv_lock.h"
#include "media_conn.h"
#include "session_link.h"
#include "sync_event.h"


namespace kvmedia {
struct PreviewClient {
    KVNetPreviewParam param; // first: the handle is its address
    bool waitKey = true;
    bool openNotice = false;
    DevConnection::DevPreview* stream = nullptr;
};
} // namespace kvmedia

class DevConnection::DevPreview final : public kvsession::StreamAttachment {
public:
    // The stream's key comes from its first client's request.
    DevPreview(DevConnection* session, const KVNetPreviewParam& first);
    ~DevPreview() override;

    bool Matches(const KVNetPreviewParam& p) const;
    // Null when the stream's thread could not be started for its first client.
    kvmedia::PreviewClient* AddClient(const KVNetPreviewParam& p);
    // Clients left.
    size_t RemoveClient(kvmedia::PreviewClient* c);
    size_t ClientCount() const { return clientCount_.load(); }
    void CloseStreamSocket();
    // Ends the stream's work and joins its thread (any state, offline too).
    void StopAndJoin();
    int64_t BitRate();
    bool Ended() const { return sessionGone_.load(); }
    DevConnection* Session() const { return session_; }
    bool OnOwnThread() const override;

    // kvsession::StreamAttachment
    void ConnectionLost() override { CloseStreamSocket(); }
    void SessionFreed() override { sessionGone_ = true; }
    void SessionStopping() override;

    // Registry bookkeeping (under the registry's mutex).
    int pending = 0;
    bool closing = false;

private:
    static void* PreviewFun(void* arg);
    void Run();
    bool WaitLogin();
    bool OpenStream();
    bool OpenTcp();
    bool OpenUdp();
    void RecvStream();
    void HandOn(FrameBuf& fb, const PackBuf* next, bool& lost, uint32_t& lastNo);
    void Report(unsigned code);
    void ResetBitRate();
    void SendClose83();
    static bool Allowed(void* self);

    DevConnection* session_;
    std::atomic<bool> sessionGone_{false};
    // Key, from the first client.
    uint32_t protocol_ = 0, channel_ = 0;
    uint8_t streamType_ = 0, content_ = 0, timePos_ = 0;
    std::atomic<uint8_t> autoReconnect_{0};
    uint8_t keyAuto_ = 0;
    bool firstNoticed_ = false;

    Mutex clientMu_;
    std::vector<std::unique_ptr<kvmedia::PreviewClient>> clients_;
    // The size of clients_, readable without the client mutex (the registry's checks run
    // under their own mutex, which a client callback may take while holding the client one).
    std::atomic<size_t> clientCount_{0};
    SyncEvent stop_{true, false};
    SyncEvent ended_{true, true};
    SyncEvent wake_{true, false};
    kvmedia::MediaSocket sock_;
    bool udpOpened_ = false;
    uint32_t streamId_ = 0;

    Mutex rateMu_;
    uint64_t rateBytes_ = 0;
    int64_t rateReset_ = 0;
    std::atomic<pthread_t> thread_{};
    std::atomic<bool> running_{false};
};
