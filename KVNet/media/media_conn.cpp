#include "media_conn.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>

#include "KVNet.h"
#include "kv_globals.h"
#include "kv_log.h"
#include "login_handshake.h"

namespace kvmedia {

namespace {
StaticMutex gTimingsMutex;
MediaTimings gTimings;

unsigned Or(unsigned v, unsigned d) { return v ? v : d; }
} // namespace

void SetMediaTimings(const MediaTimings& t)
{
    ScopedLock l(gTimingsMutex);
    gTimings = t;
}

MediaTimings GetMediaTimings()
{
    ScopedLock l(gTimingsMutex);
    return gTimings;
}

const char* CodeName(unsigned code)
{
    switch (code) {
    case 200: return "KVNetMsgPreviewWaitLogin";
    case 201: return "KVNetMsgPreviewOpenStream";
    case 202: return "KVNetMsgPreviewOpenStreamSuccess";
    case 203: return "KVNetMsgPreviewOpenStreamFail";
    case 204: return "KVNetMsgPreviewStreamClosed";
    case 208: return "KVNetMsgPreviewMaxPrevNumErr";
    case 209: return "KVNetMsgPreviewNetworkFrameArrive";
    case 290: return "KVNetMsgDownloadRecordClosed";
    case 291: return "KVNetMsgDownloadRecordOK";
    case 292: return "KVNetMsgDownloadRecordNoFile";
    case 293: return "KVNetMsgDownloadRecordFail";
    case 294: return "KVNetMsgDownloadRecordStoreFail";
    case 295: return "KVNetMsgDownloadRecordPercent";
    case 300: return "KVNetMsgRecordPlayClosed";
    case 301: return "KVNetMsgRecordPlayNoData";
    case 302: return "KVNetMsgRecordPlayWaitLogin";
    case 303: return "KVNetMsgRecordPlayOpenStream";
    case 304: return "KVNetMsgRecordPlayOpenStreamSuccess";
    case 305: return "KVNetMsgRecordPlayOpenStreamFail";
    case 306: return "KVNetMsgRecordPlayDevicePlayback";
    case 307: return "KVNetMsgRecordPlayHDDFormat";
    case 308: return "KVNetMsgNoBandWidth";
    case 309: return "KVNetMsgNoPreviewAuth";
    case 310: return "KVNetMsgNoPlaybackAuth";
    case 311: return "KVNetMsgIsModifyHdd";
    case 323: return "KVMetMsgPreviewActivateFaile";
    case 324: return "KVNetMsgRecordPlayNetworkFrameArrive";
    case 350: return "KVNetMsgDualtalkClosed";
    case KVNetEDualtalkBusy: return "KVNetEDualtalkBusy";
    default: return "";
    }
}

MsgHeadWrap Head(kvsession::Link& s, uint16_t type, uint16_t subType, uint32_t size)
{
    MsgHeadWrap h;
    h.flags = s.HeadSecurityBits();
    h.MsgType = type;
    h.MsgSubType = subType;
    h.MsgSize = size;
    h.Seq = kvnet_next_seq();
    return h;
}

bool MediaSocket::SetTimeouts(const SockOpts& o)
{
    const MediaTimings t = GetMediaTimings();
    const unsigned recvMs = Or(t.recvScale, o.recvMs);
    ScopedLock l(mu_);
    const int fd = sock_->fd();
    if (fd < 0)
        return false;
    for (auto [opt, ms] : {std::pair<int, unsigned>{SO_SNDTIMEO, o.sendMs}, {SO_RCVTIMEO, recvMs}}) {
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
        if (::setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv) != 0) {
            KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", fd, "SetSockOpt", errno);
            return false;
        }
    }
    return true;
}

bool MediaSocket::Open(kvsession::Link& s, bool tcp, const SockOpts& o, bool (*allowed)(void*), void* arg)
{
    std::string host;
    uint16_t port = 0;
    {
        ScopedLock l(mu_);
        if (!allowed(arg) || !s.PeerAddress(&host, &port))
            return false;
        if (sock_->fd() >= 0)
            sock_->Close();
        sock_ = std::make_unique<KVMsgChannel>();
        if (!sock_->Socket(host.c_str(), port, tcp))
            return false;
    }
    if (!SetTimeouts(o))
        return false;
    // The window is negotiated during the handshake: the buffer must be set before connect.
    if (o.rcvBuf && !sock_->SetSockOpt(SO_RCVBUF, &o.rcvBuf))
        return false;
    if (!sock_->Connect(static_cast<int>(Or(GetMediaTimings().connectMs, 5000))))
        return false;
    // A stop that came during the connect found no connection to shut down (shutdown of a
    // connecting socket does nothing): ask again, now that a later stop will reach it.
    ScopedLock l(mu_);
    return allowed(arg);
}

void MediaSocket::Shutdown()
{
    ScopedLock l(mu_);
    if (sock_->fd() >= 0)
        sock_->Shutdown();
}

void MediaSocket::Close()
{
    ScopedLock l(mu_);
    if (sock_->fd() >= 0)
        sock_->Close();
}

OpenResult Exchange(kvsession::Link& s, MediaSocket& m, const MsgHeadWrap& head, const void* body, MsgBuf& reply,
                    uint16_t* ack)
{
    *ack = 0;
    if (!s.IsLoggedIn())
        return OpenResult::kNoAnswer;
    kvlogin::Handshake handshake(s.SideCredentials());
    if (!handshake.Open(m.ch(), head, body, reply, s.MainMode() == kModeEnvelope))
        return OpenResult::kNoAnswer;
    // An answer to another request is no answer to this one.
    if (reply.head.MsgType != head.MsgType || reply.head.MsgSubType != head.MsgSubType || reply.head.Seq != head.Seq)
        return OpenResult::kNoAnswer;
    *ack = reply.head.AckFlag;
    return reply.head.AckFlag == 0 ? OpenResult::kOpened : OpenResult::kRefused;
}

} // namespace kvmedia

unsigned kvmedia::PlaybackRefusalCode(uint16_t ack)
{
    switch (ack) {
    case 50:
    case 407: return KVNetMsgNoPlaybackAuth;
    case 68: return KVNetMsgNoBandWidth;
    case 322: return KVNetMsgRecordPlayDevicePlayback;
    case 325: return KVNetMsgRecordPlayHDDFormat;
    case 360: return KVNetMsgIsModifyHdd;
    case 409: return KVNetMsgPreviewActivateFail;
    default: return 0;
    }
}
