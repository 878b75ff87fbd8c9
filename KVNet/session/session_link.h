// The one view of a device session that the layers above it use (the request layer, side
// connections, the firmware upgrade and, later, the media streams), and the two ways they
// attach to it. A session implements Link; tests and tools may bind a Link to a device
// directly.
//
// Threads: Link calls may come from any thread. A ReplyRouter and a StreamAttachment are
// called on the session's connection task only.
#pragma once
#include <cstdint>
#include <string>

#include "login_handshake.h"
#include "msg_channel.h"
#include "msg_types.h"

namespace kvsession {

class Link {
public:
    virtual ~Link() = default;
    virtual bool IsLoggedIn() = 0;
    // Session id of the stored login reply (side connections carry it).
    virtual uint32_t SessionId() = 0;
    // Security bits every request head of the session carries.
    virtual uint8_t HeadSecurityBits() = 0;
    // Address and port of the live main connection; false when there is none to use.
    virtual bool PeerAddress(std::string* host, uint16_t* port) = 0;
    // Security mode of the main connection; kModeEnvelope: a side connection repeats the
    // key exchange with SideCredentials().
    virtual int MainMode() { return kModePlain; }
    virtual kvlogin::Credentials SideCredentials() { return {}; }
    // Serialised send of one message on the main connection; false unless logged in.
    // Does not wait for a reply. A link to a device without a session sends nothing.
    virtual bool SendOnMain(const MsgHeadWrap& head, const void* body) { return false; }
    // True on the thread that delivers this session's messages: a synchronous request
    // made there would wait for itself.
    virtual bool OnConnectionTask() { return false; }
};

// The request layer of a session, attached before the session starts and kept for its
// life: every message the session does not handle itself (heartbeat answers, alarm
// reports) goes to it, and it decides which replies go to waiting callers and which to
// asynchronous records.
class ReplyRouter {
public:
    virtual ~ReplyRouter() = default;
    virtual void Route(MsgBuf& msg) = 0;
    // The main connection broke: it is shut down, not yet closed. Callers waiting for a
    // reply wake now.
    virtual void ConnectionLost() = 0;
    // The main connection is closed and no lock of the session is held: pending
    // asynchronous records get their failure now.
    virtual void ConnectionClosed() = 0;
};

// A live stream of a session (media): attached while it runs, detached before it goes.
// The notices run under the session's stream lock: a stream must not attach or detach
// from inside one.
class StreamAttachment {
public:
    virtual ~StreamAttachment() = default;
    // The main connection broke: the stream closes its own connection.
    virtual void ConnectionLost() = 0;
    // The session is being freed with the stream still attached: no call follows and
    // the stream must not reach the session again.
    virtual void SessionFreed() = 0;
    // The session's stop has begun (KVNetConnectionStop): the stream ends its work now,
    // joins its threads and makes no callback afterwards; it is detached already and
    // must not reach the session again. Runs on the stopping caller's thread, outside
    // the session's stream lock.
    virtual void SessionStopping() {}
    // True on one of the stream's own threads (inside its callbacks): the session's stop
    // would wait for the very thread it runs on.
    virtual bool OnOwnThread() const { return false; }
};

} // namespace kvsession
