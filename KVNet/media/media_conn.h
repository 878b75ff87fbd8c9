// What every media object shares: its own connection to the session's device (socket
// options by kind, the opening exchange with the key exchange repeated on enveloped
// sessions, the reply check), the names of the media codes and the waits tests shorten.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "kv_lock.h"
#include "msg_channel.h"
#include "msg_types.h"
#include "session_link.h"

namespace kvmedia {

// Socket options of one kind of media connection (ms; rcvBuf 0 = left as it is).
struct SockOpts {
    unsigned sendMs;
    unsigned recvMs;
    int rcvBuf;
};
constexpr SockOpts kPreviewOpts{5000, 15000, 256 * 1024};
constexpr SockOpts kTalkOpenOpts{3000, 5000, 0};
constexpr SockOpts kTalkRunOpts{5000, 15000, 0};
constexpr SockOpts kPlayOpts{5000, 15000, 64 * 1024};

// Waits of seconds, injectable so tests stay fast. Zero fields keep the defaults.
struct MediaTimings {
    unsigned connectMs = 5000;       // connect limit of every media connection
    unsigned recvScale = 0;          // non-zero: every receive time-out becomes this (ms)
    unsigned openRetryMs = 1000;     // preview: pause after a failed opening
    unsigned refusedPauseMs = 2000;  // preview: extra pause after a refusal with a reply
    unsigned udpOpenMs = 5000;       // preview: wait for the answer to 82
    unsigned loginPollMs = 100;      // preview: step of the login wait
    unsigned talkHeartbeatMs = 5000; // talk: pass-through heartbeat period, send-thread wait
    unsigned reposWaitMs = 15000;    // playback: longest wait for a reposition's confirmation
};
void SetMediaTimings(const MediaTimings& t);
MediaTimings GetMediaTimings();

const char* CodeName(unsigned code);

// The media object's own socket and the mutex that guards its descriptor's lifetime: a
// stop shuts it down only under the mutex, so never a descriptor that was closed and
// taken by someone else meanwhile.
class MediaSocket {
public:
    ~MediaSocket() { Close(); }
    // Creates and configures the socket for the session's address and port (logged in,
    // not stopping: the caller checks `allowed` under the mutex) and connects it.
    bool Open(kvsession::Link& s, bool tcp, const SockOpts& o, bool (*allowed)(void*), void* arg);
    bool SetTimeouts(const SockOpts& o);
    void Shutdown();
    void Close();
    KVMsgChannel& ch() { return *sock_; }

private:
    Mutex mu_;
    // Made anew for every opening: a connection's mode and envelope start from scratch.
    std::unique_ptr<KVMsgChannel> sock_ = std::make_unique<KVMsgChannel>();
};

enum class OpenResult { kOpened, kRefused, kNoAnswer };

// The opening exchange on an open media socket: the head goes (after the key exchange
// when the session is enveloped) and the answer must carry the same type, subtype and
// sequence number with AckFlag 0. kRefused: an answer with *ack non-zero.
OpenResult Exchange(kvsession::Link& s, MediaSocket& m, const MsgHeadWrap& head, const void* body,
                    MsgBuf& reply, uint16_t* ack);

// A request head of the session: next sequence number, the session's security bits.
MsgHeadWrap Head(kvsession::Link& s, uint16_t type, uint16_t subType, uint32_t size);

// The result code of a refused playback or picture opening from the device's
// acknowledgement; 0 when the code has no meaning of its own.
unsigned PlaybackRefusalCode(uint16_t ack);

} // namespace kvmedia
