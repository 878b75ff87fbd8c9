// A side connection: a TCP connection of its own to the session's device, opened with the
// login handshake (the key exchange is repeated when the session is enveloped); used by the
// configuration export and import and by the log query.
#pragma once
#include <cstdint>
#include <memory>

#include "msg_channel.h"
#include "msg_types.h"
#include "session_link.h"

namespace kvside {

class SideConnection {
public:
    explicit SideConnection(kvsession::Link& s);
    // Shuts the connection down and closes it.
    ~SideConnection();
    SideConnection(const SideConnection&) = delete;
    SideConnection& operator=(const SideConnection&) = delete;

    // Connects to the session's address and port: send time-out 5 s, receive time-out 15 s,
    // SO_RCVBUF (when non-zero) set before connect, connect limit 5000 ms. False when the
    // session is (or became) logged out.
    //
    // Progress rule: those time-outs restart with every byte, so a peer dripping bytes
    // could hold the caller for ever. Every message on a side connection must therefore
    // be complete within its time-out (15 s to receive, 5 s to send) plus its announced
    // size at the floor rate of kFloorBytesPerSec: a 16 MiB export may take 15 + 256 s,
    // which a link of 512 kbit/s or better meets, while a device dripping a small reply
    // is cut after about 15 s.
    bool Open(int rcvBuf);
    // The opening request and its reply, with the key exchange where the session needs it.
    bool Exchange(const MsgHeadWrap& head, const void* body, MsgBuf& reply);
    bool Send(const MsgHeadWrap& head, const void* body);
    bool Recv(MsgBuf& reply);
    void Shutdown();

    // Test seam: the socket time-outs in ms (0 restores 5000 / 15000 / 5000).
    static void SetTimeouts(unsigned sendMs, unsigned recvMs, unsigned connectMs);
    static constexpr unsigned kFloorBytesPerSec = 64 * 1024;
    // Test seam: the floor rate (0 restores kFloorBytesPerSec).
    static void SetFloorRate(unsigned bytesPerSec);

private:
    kvsession::Link& s_;
    KVMsgChannel sock_;
    bool open_ = false;
};

// The largest message body a side connection of this session can carry: the 16 MiB limit,
// less the envelope block and the inner head when the session is enveloped.
uint32_t MaxSideBody(kvsession::Link& s);

// The opening head of a side connection and its 8-byte body {session id, 0}.
MsgHeadWrap OpeningHead(kvsession::Link& s, uint16_t type, uint32_t bodySize);

// True when reply answers head: same MsgType, MsgSubType and Seq.
inline bool Answers(const MsgHeadWrap& head, const MsgBuf& reply)
{
    return reply.head.MsgType == head.MsgType && reply.head.MsgSubType == head.MsgSubType &&
           reply.head.Seq == head.Seq;
}

} // namespace kvside
