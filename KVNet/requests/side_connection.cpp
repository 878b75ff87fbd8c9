#include "side_connection.h"

#include <atomic>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>

#include "dev_requests.h"
#include "kv_log.h"
#include "login_handshake.h"

namespace kvside {

namespace {
std::atomic<unsigned> gSendMs{0}, gRecvMs{0}, gConnectMs{0}, gFloor{0};

unsigned Or(const std::atomic<unsigned>& v, unsigned d)
{
    const unsigned x = v.load();
    return x ? x : d;
}

bool SetTimeout(int fd, int opt, unsigned ms)
{
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    if (::setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv) != 0) {
        KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", fd, "SetSockOpt", errno);
        return false;
    }
    return true;
}
} // namespace

void SideConnection::SetTimeouts(unsigned sendMs, unsigned recvMs, unsigned connectMs)
{
    gSendMs = sendMs;
    gRecvMs = recvMs;
    gConnectMs = connectMs;
}

void SideConnection::SetFloorRate(unsigned bytesPerSec)
{
    gFloor = bytesPerSec;
}

SideConnection::SideConnection(kvsession::Link& s) : s_(s) {}

SideConnection::~SideConnection()
{
    Shutdown();
    if (sock_.fd() >= 0)
        sock_.Close();
}

void SideConnection::Shutdown()
{
    if (sock_.fd() >= 0)
        sock_.Shutdown();
}

bool SideConnection::Open(int rcvBuf)
{
    std::string host;
    uint16_t port = 0;
    if (!s_.IsLoggedIn() || !s_.PeerAddress(&host, &port))
        return false;
    if (!sock_.Socket(host.c_str(), port, true))
        return false;
    const int fd = sock_.fd();
    if (!SetTimeout(fd, SO_SNDTIMEO, Or(gSendMs, 5000)) || !SetTimeout(fd, SO_RCVTIMEO, Or(gRecvMs, 15000)))
        return false;
    // The window is negotiated during the handshake: the buffer must be set before connect.
    if (rcvBuf && !sock_.SetSockOpt(SO_RCVBUF, &rcvBuf))
        return false;
    if (!sock_.Connect(static_cast<int>(Or(gConnectMs, 5000))))
        return false;
    const unsigned floor = Or(gFloor, kFloorBytesPerSec);
    sock_.SetRecvRule(Or(gRecvMs, 15000), floor);
    sock_.SetSendRule(Or(gSendMs, 5000), floor);
    open_ = true;
    return s_.IsLoggedIn();
}

bool SideConnection::Exchange(const MsgHeadWrap& head, const void* body, MsgBuf& reply)
{
    if (!open_)
        return false;
    kvlogin::Handshake handshake(s_.SideCredentials());
    return handshake.Open(sock_, head, body, reply, s_.MainMode() == kModeEnvelope);
}

bool SideConnection::Send(const MsgHeadWrap& head, const void* body)
{
    return open_ && sock_.SendMsg(head, body);
}

bool SideConnection::Recv(MsgBuf& reply)
{
    return open_ && sock_.RecvMsg(reply);
}

uint32_t MaxSideBody(kvsession::Link& s)
{
    constexpr uint32_t kEnvelopeOverhead = 400 + sizeof(MsgHeadWrap);
    return s.MainMode() == kModeEnvelope ? kvmsg::kMaxBody - kEnvelopeOverhead : kvmsg::kMaxBody;
}

MsgHeadWrap OpeningHead(kvsession::Link& s, uint16_t type, uint32_t bodySize)
{
    return kvreq::MakeHead(s, type, 0, bodySize);
}

} // namespace kvside
