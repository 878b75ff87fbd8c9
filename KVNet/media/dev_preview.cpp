#include "dev_preview.h"

#include <cstring>
#include <ctime>

#include "dev_requests.h"
#include "kv_log.h"
#include "task_pool.h"

using kvmedia::PreviewClient;

namespace {
constexpr uint16_t kTypeOpenTcp = 71;
constexpr uint16_t kTypeOpenUdp = 81;
constexpr uint16_t kTypeUdpStream = 82;
constexpr uint16_t kTypeUdpClose = 83;

// The stream whose thread is running on this thread (callbacks check their own stream).
thread_local const DevConnection::DevPreview* tlsStream = nullptr;

int64_t NowSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

unsigned RefusalCode(uint16_t ack)
{
    switch (ack) {
    case 65: return KVNetMsgPreviewMaxPrevNumErr;
    case 322: return KVNetMsgRecordPlayDevicePlayback;
    case 68: return KVNetMsgNoBandWidth;
    case 408:
    case 50: return KVNetMsgNoPreviewAuth;
    case 409: return KVNetMsgPreviewActivateFail;
    default: return 0;
    }
}
} // namespace

DevConnection::DevPreview::DevPreview(DevConnection* session, const KVNetPreviewParam& p)
    : session_(session), protocol_(p.nProtocol == 1 ? 1 : 0), channel_(p.nChannel), streamType_(p.nStreamType),
      content_(p.nContent), timePos_(p.nTimePos), autoReconnect_(p.bAutoReconnect ? 1 : 0),
      keyAuto_(p.bAutoReconnect ? 1 : 0)
{
}

DevConnection::DevPreview::~DevPreview()
{
    StopAndJoin();
}

bool DevConnection::DevPreview::OnOwnThread() const
{
    return tlsStream == this;
}

bool DevConnection::DevPreview::Matches(const KVNetPreviewParam& p) const
{
    const uint32_t proto = p.nProtocol == 1 ? 1 : 0;
    return !sessionGone_.load() && !closing && channel_ == p.nChannel && streamType_ == p.nStreamType &&
           content_ == p.nContent && timePos_ == p.nTimePos && protocol_ == proto &&
           keyAuto_ == (p.bAutoReconnect ? 1 : 0);
}

PreviewClient* DevConnection::DevPreview::AddClient(const KVNetPreviewParam& p)
{
    ScopedLock l(clientMu_);
    auto c = std::make_unique<PreviewClient>();
    c->param = p;
    c->openNotice = !clients_.empty();
    c->stream = this;
    PreviewClient* out = c.get();
    const bool first = clients_.empty() && !running_.load();
    clients_.push_back(std::move(c));
    clientCount_ = clients_.size();
    if (first) {
        ended_.Reset();
        running_ = true;
        if (sl_task_add(&DevPreview::PreviewFun, this) != 0) {
            running_ = false;
            ended_.Set();
            clients_.pop_back();
            clientCount_ = clients_.size();
            return nullptr;
        }
    }
    return out;
}

size_t DevConnection::DevPreview::RemoveClient(PreviewClient* c)
{
    ScopedLock l(clientMu_);
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->get() == c) {
            clients_.erase(it);
            break;
        }
    }
    clientCount_ = clients_.size();
    return clients_.size();
}

void DevConnection::DevPreview::CloseStreamSocket()
{
    sock_.Shutdown();
    if (protocol_ == 1)
        wake_.Set();
}

void DevConnection::DevPreview::StopAndJoin()
{
    autoReconnect_ = 0;
    stop_.Set();
    CloseStreamSocket();
    wake_.Set();
    if (running_.load()) {
        ended_.Wait(SyncEvent::kInfinite);
        running_ = false;
    }
}

void DevConnection::DevPreview::SessionStopping()
{
    StopAndJoin();
    sessionGone_ = true;
}

bool DevConnection::DevPreview::Allowed(void* self)
{
    auto* s = static_cast<DevPreview*>(self);
    return s->session_->IsLoggedIn() && !s->stop_.Wait(0);
}

void* DevConnection::DevPreview::PreviewFun(void* arg)
{
    auto* s = static_cast<DevPreview*>(arg);
    tlsStream = s;
    s->Run();
    tlsStream = nullptr;
    // Last touch of the stream: the joiner may free it right after.
    s->ended_.Set();
    return nullptr;
}

void DevConnection::DevPreview::Run()
{
    const kvmedia::MediaTimings t = kvmedia::GetMediaTimings();
    do {
        if (!WaitLogin() || stop_.Wait(0))
            break;
        Report(KVNetMsgPreviewOpenStream);
        const bool opened = OpenStream();
        if (opened) {
            Report(KVNetMsgPreviewOpenStreamSuccess);
            ResetBitRate();
            RecvStream();
        } else {
            Report(KVNetMsgPreviewOpenStreamFail);
            if (autoReconnect_.load())
                stop_.Wait(t.openRetryMs);
        }
        ResetBitRate();
        if (udpOpened_) {
            SendClose83();
            udpOpened_ = false;
        }
        if (opened)
            Report(KVNetMsgPreviewStreamClosed);
    } while (autoReconnect_.load() && !stop_.Wait(0));
    if (udpOpened_) {
        SendClose83();
        udpOpened_ = false;
    }
}

bool DevConnection::DevPreview::WaitLogin()
{
    if (!session_->IsLoggedIn())
        Report(KVNetMsgPreviewWaitLogin);
    const unsigned step = kvmedia::GetMediaTimings().loginPollMs;
    while (!session_->IsLoggedIn()) {
        if (stop_.Wait(step ? step : 100))
            return false;
    }
    return true;
}

bool DevConnection::DevPreview::OpenStream()
{
    firstNoticed_ = false;
    return protocol_ == 1 ? OpenUdp() : OpenTcp();
}

bool DevConnection::DevPreview::OpenTcp()
{
    if (!sock_.Open(*session_, true, kvmedia::kPreviewOpts, &DevPreview::Allowed, this)) {
        sock_.Close();
        return false;
    }
    uint8_t body[12] = {};
    memcpy(body, &channel_, 4);
    body[4] = streamType_;
    body[5] = content_;
    body[6] = timePos_;
    const uint32_t sid = session_->SessionId();
    memcpy(body + 8, &sid, 4);
    const MsgHeadWrap head = kvmedia::Head(*session_, kTypeOpenTcp, 0, sizeof body);
    auto reply = std::make_unique<MsgBuf>();
    uint16_t ack = 0;
    const kvmedia::OpenResult r = kvmedia::Exchange(*session_, sock_, head, body, *reply, &ack);
    if (r == kvmedia::OpenResult::kOpened)
        return true;
    if (r == kvmedia::OpenResult::kRefused) {
        if (const unsigned code = RefusalCode(ack))
            Report(code);
        if (autoReconnect_.load())
            stop_.Wait(kvmedia::GetMediaTimings().refusedPauseMs);
    }
    sock_.Close();
    return false;
}

bool DevConnection::DevPreview::OpenUdp()
{
    if (!sock_.Open(*session_, false, kvmedia::kPreviewOpts, &DevPreview::Allowed, this)) {
        sock_.Close();
        return false;
    }
    auto reply = std::make_unique<MsgBuf>();
    const MsgHeadWrap h81 = kvmedia::Head(*session_, kTypeOpenUdp, 0, 0);
    if (!sock_.ch().SendAndRecvMsg(h81, nullptr, *reply) || reply->head.MsgType != h81.MsgType ||
        reply->head.MsgSubType != h81.MsgSubType || reply->head.Seq != h81.Seq || reply->head.MsgSize < 64) {
        sock_.Close();
        return false;
    }
    uint8_t body[72] = {};
    memcpy(body, reply->body(), 64);
    memcpy(body + 64, &channel_, 4);
    body[68] = streamType_;
    body[69] = content_;
    body[70] = timePos_;
    kvreq::SessionRequests* req = kvreq::RequestsOf(session_);
    wake_.Reset();
    if (!req || stop_.Wait(0)) {
        sock_.Close();
        return false;
    }
    const MsgHeadWrap h82 = kvmedia::Head(*session_, kTypeUdpStream, 0, sizeof body);
    auto answer = std::make_unique<MsgBuf>();
    kvreq::SyncWaiter w;
    w.request = &h82;
    w.event = &wake_;
    w.reply = answer.get();
    req->AddSyncWaiter(&w);
    bool sent = kvreq::Send(*req, h82, body);
    if (sent)
        wake_.Wait(kvmedia::GetMediaTimings().udpOpenMs);
    req->RemoveSyncWaiter(&w);
    if (sent && w.answered && answer->head.AckFlag == 0 && answer->head.MsgSize >= 4) {
        memcpy(&streamId_, answer->body(), 4);
        udpOpened_ = true;
        return true;
    }
    if (sent && w.answered) {
        if (answer->head.AckFlag == 65)
            Report(KVNetMsgPreviewMaxPrevNumErr);
        if (autoReconnect_.load())
            stop_.Wait(kvmedia::GetMediaTimings().refusedPauseMs);
    }
    sock_.Close();
    return false;
}

void DevConnection::DevPreview::SendClose83()
{
    const MsgHeadWrap h = kvmedia::Head(*session_, kTypeUdpClose, 0, 4);
    session_->SendOnMain(h, &streamId_);
}

void DevConnection::DevPreview::RecvStream()
{
    FrameBuf fb(true);
    auto pack = std::make_unique<PackBuf>();
    bool ready = false; // a completed 'I' frame waits for the first pack of the next frame
    bool lost = true;
    uint32_t lastNo = 0;
    while (true) {
        if (!sock_.ch().RecvPack(*pack))
            break;
        {
            ScopedLock l(rateMu_);
            rateBytes_ += pack->head.PackSize + sizeof(PackHead);
        }
        if (ready) {
            // Whatever comes next, the waiting frame goes first: it is never replaced unseen.
            const bool begins = pack->head.PackType == 0 && pack->head.PackSize >= kvmsg::kFrameHeadSize &&
                                memcmp(pack->payload(), "KVFm", 4) == 0;
            HandOn(fb, begins ? pack.get() : nullptr, lost, lastNo);
            ready = false;
        }
        if (fb.AddPack(*pack, true)) {
            if (fb.head()->FrameType == KV_FRAME_I)
                ready = true;
            else
                HandOn(fb, nullptr, lost, lastNo);
        }
        if (stop_.Wait(0) || !session_->IsLoggedIn())
            break;
    }
    sock_.Close();
}

void DevConnection::DevPreview::HandOn(FrameBuf& fb, const PackBuf* next, bool& lost, uint32_t& lastNo)
{
    if (!firstNoticed_) {
        firstNoticed_ = true;
        Report(KVNetMsgPreviewNetworkFrameArrive);
    }
    auto* frame = const_cast<KVFrameHead*>(fb.head());
    if (frame->FrameType == KV_FRAME_I) {
        lost = false;
        lastNo = frame->FrameNo;
        if (next) {
            KVFrameHead nh;
            memcpy(&nh, const_cast<PackBuf*>(next)->payload(), sizeof nh);
            if (nh.FrameType == KV_FRAME_V && nh.FrameNo - frame->FrameNo > 1)
                frame->Flags |= KV_FRAME_FLAG_REF_MARK;
        }
    } else if (frame->FrameType == KV_FRAME_P) {
        if (lost || frame->FrameNo != lastNo + 1) {
            std::string host;
            uint16_t port = 0;
            session_->GetAddress(&host, &port);
            KV_LOG(gEnablePreviewStatus, "======lost frame: preview=%p ip:%s port:%d channel:%d FrameNo:%d",
                   static_cast<void*>(this), host.c_str(), port, channel_, static_cast<int>(frame->FrameNo));
            lost = true;
        }
        lastNo = frame->FrameNo;
    }
    ScopedLock l(clientMu_);
    for (auto& c : clients_) {
        if (c->openNotice) {
            if (!c->param.pQuiet && c->param.msgCallback) {
                c->param.msgCallback(KVNetMsgPreviewOpenStreamSuccess, c->param.pUser);
                c->param.msgCallback(KVNetMsgPreviewNetworkFrameArrive, c->param.pUser);
            }
            c->openNotice = false;
        }
        if (!c->param.dataCallback)
            continue;
        if (c->waitKey) {
            if (frame->FrameType != KV_FRAME_I)
                continue;
            c->waitKey = false;
        }
        c->param.dataCallback(frame, fb.size(), c->param.pUser);
    }
}

void DevConnection::DevPreview::Report(unsigned code)
{
    if (gEnablePreviewStatus) {
        std::string host;
        uint16_t port = 0;
        session_->GetAddress(&host, &port);
        KV_LOG(gEnablePreviewStatus,
               "dev(%s,%u) preview=%p protocol=%u, channel=%u, type=%u, content=%u, timepos:%u, autoreconnect=%d %s\n",
               host.c_str(), port, static_cast<void*>(this), protocol_, channel_, streamType_, content_, timePos_,
               keyAuto_, kvmedia::CodeName(code));
    }
    ScopedLock l(clientMu_);
    for (auto& c : clients_) {
        c->openNotice = false;
        if (c->param.pQuiet)
            continue;
        if (c->param.msgCallback)
            c->param.msgCallback(code, c->param.pUser);
        else
            session_->DeliverMediaCode(code, c->param.pUser);
    }
}

void DevConnection::DevPreview::ResetBitRate()
{
    ScopedLock l(rateMu_);
    rateBytes_ = 0;
    rateReset_ = NowSeconds();
}

int64_t DevConnection::DevPreview::BitRate()
{
    ScopedLock l(rateMu_);
    const int64_t now = NowSeconds();
    int64_t elapsed = now - rateReset_;
    if (elapsed <= 0)
        elapsed = 1;
    const int64_t r = static_cast<int64_t>(rateBytes_ * 8) / elapsed;
    rateBytes_ = 0;
    rateReset_ = now;
    return r;
}
