#include "dev_dualtalk.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "frame_buf.h"
#include "kv_log.h"
#include "task_pool.h"

namespace {
uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
thread_local const DevDualtalk* tlsTalk = nullptr;
} // namespace

bool DevDualtalk::OnOwnThread() const
{
    return tlsTalk == this;
}

DevDualtalk::DevDualtalk(DevConnection* session, const KVNetDualtalkParam& p) : session_(session), param_(p) {}

DevDualtalk::~DevDualtalk()
{
    StopAndJoin();
}

bool DevDualtalk::Start()
{
    recvEnded_.Reset();
    sendEnded_.Reset();
    started_ = true;
    if (sl_task_add(&DevDualtalk::SendFun, this) != 0) {
        sendEnded_.Set();
        recvEnded_.Set();
        return false;
    }
    if (sl_task_add(&DevDualtalk::RecvFun, this) != 0) {
        recvEnded_.Set();
        return false;
    }
    return true;
}

bool DevDualtalk::Active()
{
    ScopedLock l(queueMu_);
    return active_;
}

bool DevDualtalk::Queue(const KVFrameHead* frame)
{
    if (frame->FrameSize > kvmsg::kMaxBody)
        return false;
    ScopedLock l(queueMu_);
    if (!active_ || queue_.size() >= kQueueMax)
        return false;
    const size_t n = kvmsg::kFrameHeadSize + frame->FrameSize;
    const auto* b = reinterpret_cast<const uint8_t*>(frame);
    queue_.emplace_back(b, b + n);
    sem_.Post(1);
    return true;
}

void DevDualtalk::StopAndJoin()
{
    {
        ScopedLock l(queueMu_);
        active_ = false;
    }
    stop_ = true;
    sock_.Shutdown();
    sem_.Post(5);
    if (started_.load()) {
        sendEnded_.Wait(SyncEvent::kInfinite);
        recvEnded_.Wait(SyncEvent::kInfinite);
        started_ = false;
    }
    ScopedLock l(queueMu_);
    queue_.clear();
}

void DevDualtalk::SessionStopping()
{
    StopAndJoin();
    gone_ = true;
}

bool DevDualtalk::Allowed(void* self)
{
    auto* t = static_cast<DevDualtalk*>(self);
    return !t->stop_.load() && t->session_->IsLoggedIn();
}

void DevDualtalk::Report(unsigned code)
{
    if (param_.msgCallback)
        param_.msgCallback(code, param_.pUser);
    else if (!param_.pNoFallback && !stop_.load())
        session_->DeliverMediaCode(code, param_.pUser);
}

void* DevDualtalk::RecvFun(void* arg)
{
    auto* t = static_cast<DevDualtalk*>(arg);
    tlsTalk = t;
    t->Recv();
    tlsTalk = nullptr;
    t->recvEnded_.Set();
    return nullptr;
}

void* DevDualtalk::SendFun(void* arg)
{
    auto* t = static_cast<DevDualtalk*>(arg);
    t->Send();
    t->sendEnded_.Set();
    return nullptr;
}

void DevDualtalk::Recv()
{
    uint16_t type = 141;
    uint8_t body[16] = {};
    uint32_t size = 4;
    const uint32_t sid = session_->SessionId();
    if (param_.bAlternative || param_.bPassthrough) {
        type = param_.bAlternative ? 145 : (param_.bPassthroughRecv ? 143 : 142);
        const uint32_t words[4] = {16, sid, param_.nParam, 0};
        memcpy(body, words, sizeof words);
        size = 16;
    } else {
        memcpy(body, &sid, 4);
    }
    std::string host;
    uint16_t port = 0;
    session_->GetAddress(&host, &port);
    const MsgHeadWrap head = kvmedia::Head(*session_, type, 0, size);
    auto reply = std::make_unique<MsgBuf>();
    uint16_t ack = 0;
    kvmedia::OpenResult r = kvmedia::OpenResult::kNoAnswer;
    if (sock_.Open(*session_, true, kvmedia::kTalkOpenOpts, &DevDualtalk::Allowed, this))
        r = kvmedia::Exchange(*session_, sock_, head, body, *reply, &ack);
    reply.reset();
    if (r == kvmedia::OpenResult::kOpened && sock_.SetTimeouts(kvmedia::kTalkRunOpts)) {
        {
            ScopedLock l(queueMu_);
            active_ = !stop_.load();
        }
        FrameBuf fb(false); // audio only: no key-frame wait
        auto pack = std::make_unique<PackBuf>();
        const bool sendOnly = SendOnly();
        while (!stop_.load() && session_->IsLoggedIn()) {
            if (!sock_.ch().RecvPack(*pack))
                break;
            if (sendOnly) {
                if (pack->head.PackType == 6)
                    printf("======recv TalkPassthroughHeart\n");
                continue;
            }
            if (fb.AddPack(*pack, true) && param_.dataCallback)
                param_.dataCallback(fb.head(), fb.size(), param_.pUser);
        }
    } else if (r == kvmedia::OpenResult::kRefused && ack == 20) {
        KV_LOG(gEnableDualtalkStatus, "dev(%s,%u) dualtalk=%p %s\n", host.c_str(), port, static_cast<void*>(this),
               kvmedia::CodeName(KVNetEDualtalkBusy));
        Report(KVNetEDualtalkBusy);
    }
    {
        ScopedLock l(queueMu_);
        active_ = false;
    }
    sock_.Shutdown();
    KV_LOG(gEnableDualtalkStatus, "dev(%s,%u) dualtalk=%p %s\n", host.c_str(), port, static_cast<void*>(this),
           kvmedia::CodeName(KVNetMsgDualtalkClosed));
    Report(KVNetMsgDualtalkClosed);
}

void DevDualtalk::Send()
{
    const unsigned period = kvmedia::GetMediaTimings().talkHeartbeatMs;
    uint64_t lastBeat = NowMs();
    const bool sendOnly = SendOnly();
    while (!stop_.load()) {
        sem_.Wait(period);
        std::vector<uint8_t> frame;
        bool active;
        {
            ScopedLock l(queueMu_);
            active = active_;
            if (!queue_.empty()) {
                frame.swap(queue_.front());
                queue_.pop_front();
            }
        }
        if (!frame.empty() && !stop_.load() && active) {
            if (!sock_.ch().SendFrame(frame.data()))
                break;
        }
        const uint64_t now = NowMs();
        if (now - lastBeat >= period) {
            if (sendOnly && active && !stop_.load()) {
                const PackHead beat{0, 6, 0, 0, 0, 0};
                if (!sock_.ch().Send(&beat, sizeof beat))
                    break;
            }
            lastBeat = now;
        }
    }
    // Frames queued from now on are refused: nothing would send them.
    ScopedLock l(queueMu_);
    active_ = false;
}
