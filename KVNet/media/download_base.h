// What both record downloads share: the worker thread and its join, the wake-up event a
// stop sets, the login wait, the request body, the resume filter, the progress gate and
// the names of split pieces.
//
// Threads: the worker runs on the task pool; the caller's thread only starts and stops.
// The stop flag is atomic; the socket's descriptor is guarded by MediaSocket's mutex.
#pragma once
#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "media_conn.h"
#include "session_link.h"
#include "sync_event.h"

namespace kvdl {

constexpr kvmedia::SockOpts kOpenOpts{3000, 5000, 1 << 20};
constexpr kvmedia::SockOpts kRunOpts{5000, 5000, 0};
constexpr unsigned kProgressGapMs = 301;

uint64_t MonoMs();

// Frames already stored before a broken connection, by kind: a resumed request repeats
// from one second before the last key frame, and the frames up to the last stored one of
// the same kind are skipped. Audio keeps its own mark: an audio frame that arrives after
// a later video frame was not stored and must not be skipped.
struct ResumeFilter {
    uint64_t lastVideo = 0, lastAudio = 0, lastKey = 0;  // stored so far (us)
    uint64_t skipVideo = 0, skipAudio = 0;               // skip up to these (us)
    bool any = false;                                    // something stored for the file

    bool Skip(const KVFrameHead& h) const
    {
        const uint64_t mark = h.FrameType == 'A' ? skipAudio : skipVideo;
        return mark != 0 && h.FrameTime <= mark;
    }
    void Stored(const KVFrameHead& h)
    {
        any = true;
        if (h.FrameType == 'A') {
            lastAudio = h.FrameTime;
        } else {
            lastVideo = h.FrameTime;
            if (h.FrameType == 'I' || h.FrameType == 'V')
                lastKey = h.FrameTime;
        }
    }
    // Before a resumed request: from now on skip what was stored.
    void Arm()
    {
        skipVideo = lastVideo;
        skipAudio = lastAudio;
    }
    void Reset() { *this = ResumeFilter{}; }
    // The resumed start: one second before the last stored key frame; false without one
    // (the request keeps the item's own start).
    bool ResumeStart(DateTime* start) const;
};

// Percent of a declared size, in 64 bits; none for size 0; at most every 301 ms and only
// when the value changes.
class ProgressGate {
public:
    void Restart(uint64_t nowMs)
    {
        last_ = nowMs;
        value_ = UINT32_MAX;
    }
    // True when the percentage of done/size is to be reported now (*pct set).
    bool Due(uint64_t done, uint64_t size, uint64_t nowMs, bool cap, uint32_t* pct);

private:
    uint64_t last_ = 0;
    uint32_t value_ = UINT32_MAX;
};

// The name of a split piece: name cut at its last '.', then _YYYY-MM-DD_hh-mm-ss of the
// frame time rounded to the second (UTC) and the extension; a name this download used
// already gets _2, _3 ... before the extension. Empty for a name without '.'.
std::string SplitName(const std::string& given, uint64_t frameUs, std::set<std::string>& used);

// The request's opening head (second byte 1 for a request by time span).
MsgHeadWrap RequestHead(kvsession::Link& s, uint16_t type, bool byTime, uint32_t size);

// Packs from a stream socket through one receive buffer: a download's packs come back to
// back, so one recv call brings many of them instead of three calls per pack.
class PackReader {
public:
    void Reset() { pos_ = end_ = 0; }
    // One pack; false on failure, *closed when the peer closed the connection or sent a
    // pack the receive refuses (as the message channel treats it).
    bool Next(int fd, PackBuf& pack, bool* closed);

private:
    bool Fill(int fd, size_t need, bool* closed);
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(1u << 20);
    size_t pos_ = 0, end_ = 0;
};

// Shared worker machinery. A download attaches to its session while it runs.
class Worker : public kvsession::StreamAttachment {
public:
    explicit Worker(DevConnection* s) : session_(s) {}
    ~Worker() override = default;

    bool Start();
    // Sets the stop flag, shuts the socket down, wakes the worker and waits for its end.
    void StopAndJoin();
    bool Ended() const { return gone_.load(); }
    DevConnection* Session() const { return session_; }
    bool OnOwnThread() const override;
    void ConnectionLost() override { sock_.Shutdown(); }
    void SessionFreed() override { gone_ = true; }
    void SessionStopping() override
    {
        StopAndJoin();
        gone_ = true;
    }

protected:
    virtual void Run() = 0;
    // Waits until the session is logged in; false when stopping.
    bool WaitLogin();
    // Up to ms on the wake-up event; false when stopping.
    bool Pause(unsigned ms);
    bool Stopping() const { return stop_.load(); }
    // Opens the connection and exchanges the opening; ack set on a refusal.
    kvmedia::OpenResult Open(const MsgHeadWrap& head, const std::vector<uint8_t>& body, uint16_t* ack);
    // One pack; false on failure, *closed when the device closed the connection.
    bool Recv(PackBuf& pack, bool* closed);
    void Log(const char* what);

    DevConnection* session_;
    kvmedia::MediaSocket sock_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> gone_{false};
    PackReader reader_;

private:
    static void* Thread(void* arg);
    static bool Allowed(void* self);
    SyncEvent wake_{true, false};
    SyncEvent ended_{true, true};
    std::atomic<bool> started_{false};
};

} // namespace kvdl
