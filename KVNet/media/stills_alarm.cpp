// The timing request (721), the alarm-information stream (71, stream type 5) and the
// alarm-parameter channel (282, texts 283, heartbeats 32).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "stills.h"

namespace {
constexpr uint16_t kTypeTiming = 721;
constexpr uint16_t kTypeAlarmOpen = 71;
constexpr uint16_t kTypeParamOpen = 282;
constexpr uint16_t kTypeParamText = 283;
constexpr uint16_t kTypeParamBeat = 32;
constexpr uint8_t kAlarmStreamType = 5;
constexpr unsigned kMissLimit = 4;

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
} // namespace

// Timing

CTimingConn::CTimingConn(DevConnection* s, const KVNetTimingParam& p, const uint8_t* req, uint32_t size)
    : StillWorker(s), param_(p), req_(req, req + size)
{
}

void CTimingConn::Work(int)
{
    sock_.Close();
    std::vector<uint8_t> body;
    bool answered = false;
    if (WaitLogin()) {
        const kvmedia::SockOpts o{5000, kvstills::GetStillTimings().timingRecvMs, 4096};
        auto reply = std::make_unique<MsgBuf>();
        uint16_t ack = 0;
        if (Open(o, kTypeTiming, req_.data(), static_cast<uint32_t>(req_.size()), *reply, &ack) ==
            kvmedia::OpenResult::kOpened) {
            answered = true;
            const uint32_t n = reply->body_size();
            uint32_t declared = 0;
            if (n >= 4)
                std::memcpy(&declared, reply->body(), 4);
            // A caller trusting the body's own size field never reads past the buffer.
            const size_t room = std::max<size_t>({4, n, std::min<uint32_t>(declared, kvmsg::kMaxBody)});
            body.assign(room, 0);
            if (n)
                std::memcpy(body.data(), reply->body(), n);
        }
    }
    sock_.Shutdown();
    sock_.Close();
    param_.callback(answered ? body.data() : nullptr, param_.pUser);
}

// Alarm information

void CAlarmRequestInfo::Work(int)
{
    const kvstills::StillTimings t = kvstills::GetStillTimings();
    const kvmedia::SockOpts o{3000, t.alarmRecvMs, 1 << 20};
    while (!Stopping() && retries_ > 0) {
        sock_.Close();
        if (!WaitLogin())
            break;
        uint8_t body[12] = {};
        body[4] = kAlarmStreamType;
        const uint32_t sid = session_->SessionId();
        std::memcpy(body + 8, &sid, 4);
        auto reply = std::make_unique<MsgBuf>();
        uint16_t ack = 0;
        const kvmedia::OpenResult r = Open(o, kTypeAlarmOpen, body, sizeof body, *reply, &ack);
        reply.reset();
        if (r != kvmedia::OpenResult::kOpened) {
            if (!Pause(t.alarmRefusedMs))
                break;
            continue;
        }
        FrameBuf fb(false);
        auto pack = std::make_unique<PackBuf>();
        while (!Stopping() && session_->IsLoggedIn()) {
            errno = 0;
            if (!sock_.ch().RecvPack(*pack)) {
                if (errno == 0)
                    --retries_; // closed by the device
                break;
            }
            if (!fb.AddPack(*pack, true))
                continue;
            const KVFrameHead* f = fb.head();
            // FrameSize payload bytes (the frame check saw that many arrive), never the
            // reassembled length, which may carry padding.
            if (f->FrameType == KV_FRAME_I && f->FrameSize > 0 && !Stopping())
                param_.alarmCallback(fb.data() + kvmsg::kFrameHeadSize, f->FrameSize, f->Format.Raw, param_.pUser);
        }
    }
    sock_.Close();
}

// Alarm parameters

void CAlarmParamInfo::WakeOthers()
{
    {
        ScopedLock l(queueMu_);
        open_ = false;
    }
    sem_.Post(5);
}

void CAlarmParamInfo::Work(int which)
{
    if (which == 0)
        Receive();
    else
        Send();
}

void CAlarmParamInfo::State(uint32_t s)
{
    if (param_.stateCallback)
        param_.stateCallback(s, param_.pUser);
}

bool CAlarmParamInfo::Queue(const char* text, int32_t size)
{
    if (!text || size <= 0 || size > KVNET_ALARM_JSON_MAX)
        return false;
    const MsgHeadWrap h = kvmedia::Head(*session_, kTypeParamText, 0, static_cast<uint32_t>(size));
    std::vector<uint8_t> m(sizeof h + static_cast<size_t>(size));
    std::memcpy(m.data(), &h, sizeof h);
    std::memcpy(m.data() + sizeof h, text, static_cast<size_t>(size));
    {
        ScopedLock l(queueMu_);
        if (!open_ || Stopping())
            return false;
        queue_.push_back(std::move(m));
    }
    sem_.Post(1);
    return true;
}

void CAlarmParamInfo::Receive()
{
    const kvstills::StillTimings t = kvstills::GetStillTimings();
    const kvmedia::SockOpts o{3000, t.paramRecvMs, 1 << 20};
    auto msg = std::make_unique<MsgBuf>();
    while (!Stopping() && retries_ > 0) {
        sock_.Close();
        {
            ScopedLock l(queueMu_);
            misses_ = 0;
            queue_.clear();
        }
        if (!WaitLogin())
            break;
        uint8_t body[264] = {};
        const uint32_t words[2] = {264, session_->SessionId()};
        std::memcpy(body, words, sizeof words);
        uint16_t ack = 0;
        if (Open(o, kTypeParamOpen, body, sizeof body, *msg, &ack) != kvmedia::OpenResult::kOpened) {
            if (!Pause(t.alarmRefusedMs))
                break;
            continue;
        }
        {
            ScopedLock l(queueMu_);
            open_ = !Stopping();
        }
        State(1);
        while (!Stopping() && session_->IsLoggedIn()) {
            {
                ScopedLock l(queueMu_);
                if (misses_ >= kMissLimit)
                    break;
            }
            errno = 0;
            if (!sock_.ch().RecvMsg(*msg)) {
                if (errno == EAGAIN || errno == ETIMEDOUT)
                    continue;
                ScopedLock l(queueMu_);
                --retries_;
                break;
            }
            {
                ScopedLock l(queueMu_);
                misses_ = 0;
            }
            if (msg->head.MsgType == kTypeParamBeat)
                continue;
            if (msg->head.MsgType == kTypeParamText) {
                if (param_.jsonCallback && !Stopping())
                    param_.jsonCallback(msg->body(), msg->body_size(), param_.pUser);
            } else {
                printf("************CAlarmParamInfo recv unknown msg:%d\n", msg->head.MsgType);
            }
        }
        msg->free_heap();
        sock_.Shutdown(); // a send in progress ends now
        {
            ScopedLock s(sendMu_);
            ScopedLock l(queueMu_);
            open_ = false;
        }
        State(2);
    }
    sock_.Close();
}

void CAlarmParamInfo::Send()
{
    const kvstills::StillTimings t = kvstills::GetStillTimings();
    uint64_t last = NowMs();
    while (!Stopping()) {
        sem_.Wait(t.heartbeatMs);
        std::deque<std::vector<uint8_t>> batch;
        bool open;
        {
            ScopedLock l(queueMu_);
            const uint64_t now = NowMs();
            if (now - last >= t.heartbeatMs) {
                const MsgHeadWrap h = kvmedia::Head(*session_, kTypeParamBeat, 0, 0);
                const auto* b = reinterpret_cast<const uint8_t*>(&h);
                queue_.emplace_back(b, b + sizeof h);
                ++misses_;
                last = now;
            }
            batch.swap(queue_);
            open = open_;
        }
        for (auto& m : batch) {
            // The receive thread replaces the connection only after clearing the open
            // flag under this mutex: a send never runs on a connection being replaced.
            ScopedLock s(sendMu_);
            {
                ScopedLock l(queueMu_);
                open = open_;
            }
            if (Stopping() || !open)
                break;
            MsgHeadWrap h;
            std::memcpy(&h, m.data(), sizeof h);
            h.flags = static_cast<uint8_t>((h.flags & ~0x03u) | (session_->HeadSecurityBits() & 0x03u));
            const bool pieces = m.size() >= kvstills::kPiecewiseFrom && kvstills::SessionTunnelled(session_);
            const bool sent = sock_.ch().SendMsg(h, m.data() + sizeof h, false, pieces ? kvstills::kPieceSize : 0,
                                                 pieces ? t.piecePauseMs : 0);
            if (!sent)
                sock_.Shutdown(); // the receive side sees the loss and reconnects
        }
    }
}
