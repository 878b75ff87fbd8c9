#include "dev_record_play.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "date_time.h"
#include "frame_buf.h"
#include "kv_log.h"
#include "task_pool.h"

// The standard-output lines of the playback; a fuzz run would only be slowed by them.
#ifdef KV_FUZZ_BUILD
#define PLAY_STDOUT(...) ((void)0)
#else
#define PLAY_STDOUT(...) printf(__VA_ARGS__)
#endif

namespace {
constexpr uint16_t kOpenPlay = 121;
constexpr uint16_t kOpenCapture = 404;
constexpr uint16_t kMore = 122;
constexpr uint16_t kReposPlay = 123;
constexpr uint16_t kReposCapture = 405;
constexpr uint16_t kControl = 124;
constexpr uint16_t kKeepAlive = 32;

thread_local const DevRecordPlay* tlsPlay = nullptr;

bool Backward(unsigned code) { return code >= 20 && code <= 26; }

// "%04d-%02d-%02d %02d:%02d:%02d" of a frame time, UTC, to the nearest second.
void FrameTimeText(uint64_t us, char* out, size_t n)
{
    const DateTime d = kvmedia::DateTimeFromMicros(us + 500000u);
    snprintf(out, n, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour, d.minute, d.second);
}
} // namespace

DevRecordPlay::DevRecordPlay(DevConnection* session, const KVNetRecordPlayParamEx& p, Mode mode)
    : session_(session), param_(p), mode_(mode)
{
}

DevRecordPlay::~DevRecordPlay()
{
    StopAndJoin();
}

bool DevRecordPlay::OnOwnThread() const
{
    return tlsPlay == this;
}

bool DevRecordPlay::Start()
{
    ended_.Reset();
    started_ = true;
    if (sl_task_add(&DevRecordPlay::RecordPlayFun, this) != 0) {
        started_ = false;
        ended_.Set();
        return false;
    }
    return true;
}

void DevRecordPlay::StopAndJoin()
{
    running_ = false;
    stopping_ = true;
    stop_.Set();
    sock_.Shutdown();
    replay_.Set();
    sem_.Post(5);
    if (started_.load()) {
        ended_.Wait(SyncEvent::kInfinite);
        started_ = false;
    }
    // Callers still inside a reposition are released and leave before the object goes.
    reposDone_.Set();
    {
        std::unique_lock<std::mutex> l(callersMu_);
        callersCv_.wait(l, [&] { return callers_ == 0; });
    }
    std::lock_guard<std::mutex> l(queueMu_);
    queue_.clear();
    sem_.Drain();
}

void DevRecordPlay::SessionStopping()
{
    StopAndJoin();
    gone_ = true;
}

bool DevRecordPlay::Allowed(void* self)
{
    auto* p = static_cast<DevRecordPlay*>(self);
    return !p->stop_.Wait(0) && p->session_->IsLoggedIn();
}

void DevRecordPlay::Report(unsigned code)
{
    if (gEnableRecordPlayStatus) {
        std::string host;
        uint16_t port = 0;
        if (!gone_.load())
            session_->GetAddress(&host, &port);
        KV_LOG(gEnableRecordPlayStatus, "dev(%s,%u,ch%d) recordplay=%p %s\n", host.c_str(), port,
               static_cast<int>(param_.base.nChannel), static_cast<void*>(this), kvmedia::CodeName(code));
    }
    switch (code) {
    case 306:
    case 307:
    case 308:
    case 310:
    case 311:
    case 323: running_ = false; break;
    default: break;
    }
    const bool stopping = stop_.Wait(0);
    if (param_.base.pQuiet && !stopping)
        return;
    if (param_.base.msgCallback)
        param_.base.msgCallback(code, param_.base.pUser);
    else if (!stopping && !gone_.load())
        session_->DeliverMediaCode(code, param_.base.pUser);
}

void* DevRecordPlay::RecordPlayFun(void* arg)
{
    auto* p = static_cast<DevRecordPlay*>(arg);
    tlsPlay = p;
    p->Run();
    tlsPlay = nullptr;
    // Last touch of the object: the stop may free it right after.
    p->ended_.Set();
    return nullptr;
}

void* DevRecordPlay::SendFun(void* arg)
{
    auto* p = static_cast<DevRecordPlay*>(arg);
    p->Send();
    p->sendEnded_.Set();
    return nullptr;
}

bool DevRecordPlay::WaitLogin()
{
    if (!session_->IsLoggedIn())
        Report(KVNetMsgRecordPlayWaitLogin);
    const unsigned step = kvmedia::GetMediaTimings().loginPollMs;
    while (!session_->IsLoggedIn()) {
        if (stop_.Wait(step ? step : 100))
            return false;
    }
    return !stop_.Wait(0);
}

void DevRecordPlay::Run()
{
    while (running_.load() && !stop_.Wait(0)) {
        if (!WaitLogin())
            break;
        Report(KVNetMsgRecordPlayOpenStream);
        if (!OpenStream()) {
            Report(KVNetMsgRecordPlayOpenStreamFail);
            if (running_.load())
                stop_.Wait(kvmedia::GetMediaTimings().openRetryMs);
            continue;
        }
        Report(KVNetMsgRecordPlayOpenStreamSuccess);
        sendEnded_.Reset();
        const bool sending = sl_task_add(&DevRecordPlay::SendFun, this) == 0;
        if (!sending)
            sendEnded_.Set();
        {
            std::lock_guard<std::mutex> l(queueMu_);
            active_ = sending;
        }
        bool controlQueued = false;
        unsigned ctrl;
        {
            std::lock_guard<std::mutex> l(queueMu_);
            ctrl = param_.base.nControl;
        }
        if (ctrl >= 1 && ctrl <= 9) {
            controlQueued = QueueMsg(kControl, static_cast<uint16_t>(ctrl), nullptr, 0);
        } else if (Backward(ctrl)) {
            DateTime span[2];
            {
                std::lock_guard<std::mutex> l(queueMu_);
                span[0] = param_.base.start;
                span[1] = param_.base.end;
            }
            controlQueued = QueueMsg(kControl, static_cast<uint16_t>(ctrl), span, sizeof span);
        }
        if (sending)
            RecvStream(controlQueued);
        Report(KVNetMsgRecordPlayClosed);
        {
            std::lock_guard<std::mutex> l(queueMu_);
            active_ = false;
            std::lock_guard<std::mutex> r(reposMu_);
            if (reposPending_) {
                // Reopen at the reposition's span.
                lastKey_ = 0;
                dataDue_ = true;
                reposPending_ = false;
            }
        }
        reposDone_.Set();
        sem_.Post(100);
        sendEnded_.Wait(SyncEvent::kInfinite);
        // Closed only now: the send thread may have been using the descriptor.
        sock_.Close();
        std::lock_guard<std::mutex> l(queueMu_);
        queue_.clear();
        sem_.Drain();
    }
}

bool DevRecordPlay::OpenStream()
{
    firstNoticed_ = false;
    if (!sock_.Open(*session_, true, kvmedia::kPlayOpts, &DevRecordPlay::Allowed, this)) {
        sock_.Close();
        return false;
    }
    uint8_t body[68] = {};
    DateTime span[2];
    bool backward;
    {
        std::lock_guard<std::mutex> l(queueMu_);
        backward = Backward(param_.base.nControl);
        if (const uint64_t key = lastKey_.exchange(0)) {
            param_.base.start = kvmedia::DateTimeFromMicros(key);
            param_.base.start.reserved = 0;
        }
        span[0] = param_.base.start;
        span[1] = param_.base.end;
    }
    if (backward) {
        span[0].hour = 0;
        span[0].minute = 0;
        span[0].second = 0;
    }
    const uint32_t sid = session_->SessionId();
    memcpy(body, &sid, 4);
    memcpy(body + 4, &param_.base.nChannel, 4);
    memcpy(body + 8, &param_.base.nParam, 4);
    memcpy(body + 12, span, 16);
    body[28] = param_.base.nByte;
    if (!running_.load()) {
        sock_.Close();
        return false;
    }
    const MsgHeadWrap head =
        kvmedia::Head(*session_, mode_ == kPlayback ? kOpenPlay : kOpenCapture, 0, sizeof body);
    auto reply = std::make_unique<MsgBuf>();
    uint16_t ack = 0;
    const kvmedia::OpenResult r = kvmedia::Exchange(*session_, sock_, head, body, *reply, &ack);
    if (r == kvmedia::OpenResult::kOpened) {
        PLAY_STDOUT("===kestrova start remote playback channel:%d, %04d-%02d-%02d %02d:%02d:%02d\n",
               static_cast<int>(param_.base.nChannel), span[0].year, span[0].month, span[0].day, span[0].hour,
               span[0].minute, span[0].second);
        return true;
    }
    if (r == kvmedia::OpenResult::kRefused) {
        if (const unsigned code = kvmedia::PlaybackRefusalCode(ack))
            Report(code);
    }
    sock_.Close();
    return false;
}

bool DevRecordPlay::QueueMsg(uint16_t type, uint16_t sub, const void* body, uint32_t size)
{
    {
        std::lock_guard<std::mutex> l(queueMu_);
        if (!active_)
            return false;
    }
    Queued q;
    q.head = kvmedia::Head(*session_, type, sub, size);
    if (size)
        q.body.assign(static_cast<const uint8_t*>(body), static_cast<const uint8_t*>(body) + size);
    std::lock_guard<std::mutex> l(queueMu_);
    if (!active_)
        return false;
    queue_.push_back(std::move(q));
    sem_.Post(1);
    return true;
}

void DevRecordPlay::Send()
{
    while (!stop_.Wait(0)) {
        sem_.Wait(CountSemaphore::kInfinite);
        Queued q;
        {
            std::lock_guard<std::mutex> l(queueMu_);
            if (!active_)
                break;
            if (queue_.empty())
                continue;
            q = std::move(queue_.front());
            queue_.pop_front();
        }
        if (!sock_.ch().SendMsg(q.head, q.body.empty() ? nullptr : q.body.data())) {
            const int err = errno;
            KV_LOG(gEnableRecordPlayStatus, "recordplay=%p send %u failed, errno %d\n", static_cast<void*>(this),
                   static_cast<unsigned>(q.head.MsgType), err);
            sock_.Shutdown();
            break;
        }
    }
}

bool DevRecordPlay::AskMore(uint16_t sub)
{
    return QueueMsg(kMore, sub, nullptr, 0);
}

bool DevRecordPlay::ReqData()
{
    // From the data callback (which holds the data mutex) the answer is its result.
    return !OnOwnThread() && AskIfIdle();
}

bool DevRecordPlay::AskIfIdle()
{
    if (mode_ != kPlayback)
        return false;
    std::unique_lock<std::mutex> l(dataMu_, std::try_to_lock);
    if (!l.owns_lock())
        return false; // a data callback runs: it asks by returning false
    if (endReached_.load())
        return false;
    dataDue_ = true;
    return AskMore(121);
}

void DevRecordPlay::RecvStream(bool controlAtOpening)
{
    RecvState st;
    auto pack = std::make_unique<PackBuf>();
    int misses = 0;
    if (dataDue_.load() && mode_ == kPlayback) {
        AskIfIdle();
        misses = 1;
    }
    st.exempt = controlAtOpening; // the opening's own control is not held for Replay
    while (!stop_.Wait(0) && session_->IsLoggedIn()) {
        errno = 0;
        if (!sock_.ch().RecvPack(*pack)) {
            // errno 0: the peer closed (or the pack was malformed), not a time-out.
            const int err = errno;
            if (err != EAGAIN && err != EWOULDBLOCK && err != ETIMEDOUT) {
                KV_LOG(gEnableRecordPlayStatus, "recordplay=%p receive ended, errno %d\n", static_cast<void*>(this),
                       err);
                break;
            }
            bool pending;
            {
                std::lock_guard<std::mutex> r(reposMu_);
                pending = reposPending_;
            }
            if (pending) {
                dataDue_ = true;
                break;
            }
            if (misses > 1)
                break;
            if (dataDue_.load() && mode_ == kPlayback) {
                AskMore(121);
                ++misses;
            } else {
                QueueMsg(kKeepAlive, 0, nullptr, 0);
            }
            continue;
        }
        misses = 0;
        const Confirm c = HandlePack(st, *pack);
        if (c == Confirm::kHeld)
            replay_.Reset();
        if (c != Confirm::kNone)
            reposDone_.Set();
        if (c == Confirm::kHeld)
            replay_.Wait(SyncEvent::kInfinite);
    }
    sock_.Shutdown();
}

void DevRecordPlay::FeedPacks(KVMsgChannel& ch)
{
    RecvState st;
    auto pack = std::make_unique<PackBuf>();
    while (ch.RecvPack(*pack))
        HandlePack(st, *pack);
}

DevRecordPlay::Confirm DevRecordPlay::HandlePack(RecvState& st, const PackBuf& pack)
{
    const auto cb = param_.base.dataCallback;
    void* user = param_.base.pUser;
    FrameBuf& fb = st.fb;
    const uint8_t type = pack.head.PackType;
    if (type == 1 || type == 7) {
        const bool hold = !st.exempt;
        st.exempt = false;
        {
            std::lock_guard<std::mutex> d(dataMu_);
            lastKey_ = 0;
            dataDue_ = true;
            endReached_ = false;
            std::lock_guard<std::mutex> r(reposMu_);
            reposPending_ = false;
        }
        st.printNext = true;
        fb.AddPack(pack, true); // a signal: the frame in progress is abandoned
        return hold ? Confirm::kHeld : Confirm::kGoOn;
    }
    if (type == 2 || type == 4) {
        Report(type == 2 ? KVNetMsgRecordPlayNoData : KVNetMsgRecordPlayIFrameEnd);
        bool more = true;
        if (cb) {
            std::lock_guard<std::mutex> d(dataMu_);
            more = cb(nullptr, 0, user);
        }
        if (!more && mode_ == kPlayback)
            AskMore(122);
        endReached_ = true;
        dataDue_ = false;
        fb.AddPack(pack, true);
        return Confirm::kNone;
    }
    if (!fb.AddPack(pack, true) || !cb)
        return Confirm::kNone;
    const KVFrameHead* f = fb.head();
    char when[32];
    if (!firstNoticed_) {
        firstNoticed_ = true;
        Report(KVNetMsgRecordPlayNetworkFrameArrive);
        FrameTimeText(f->FrameTime, when, sizeof when);
        PLAY_STDOUT("===kestrova receive remote playback channel:%d, %s, type:%c\n", static_cast<int>(param_.base.nChannel),
               when, f->FrameType);
        if (param_.base.bAnnounce) {
            KVFrameHead bare{};
            bare.Magic = f->Magic;
            bare.FrameType = f->FrameType;
            bare.EncodeType = f->EncodeType;
            bare.Flags = f->Flags;
            param_.base.bAnnounce = 0;
            std::lock_guard<std::mutex> d(dataMu_);
            cb(&bare, 0, user);
        }
    }
    endReached_ = false;
    if (f->FrameType == 'I' || f->FrameType == 'V')
        lastKey_ = f->FrameTime;
    if (st.printNext) {
        st.printNext = false;
        FrameTimeText(f->FrameTime, when, sizeof when);
        PLAY_STDOUT("===kestrova repos receive remote playback channel:%d, %s, type:%c\n",
               static_cast<int>(param_.base.nChannel), when, f->FrameType);
    }
    bool more;
    {
        std::lock_guard<std::mutex> d(dataMu_);
        more = cb(f, fb.size(), user);
    }
    if (mode_ == kPlayback) {
        if (!more && dataDue_.exchange(false))
            AskMore(122);
    } else {
        dataDue_ = false;
    }
    return Confirm::kNone;
}

bool DevRecordPlay::Reposition(const DateTime span[2], uint16_t code)
{
    const uint16_t type = code ? kControl : (mode_ == kCapture ? kReposCapture : kReposPlay);
    if (OnOwnThread())
        return false; // the data mutex is held by this very thread
    {
        std::lock_guard<std::mutex> l(callersMu_);
        if (stopping_.load())
            return false;
        ++callers_;
    }
    bool queued = false;
    {
        std::unique_lock<std::mutex> d(dataMu_);
        bool active;
        {
            std::lock_guard<std::mutex> q(queueMu_);
            param_.base.start = span[0];
            param_.base.end = span[1];
            if (type == kControl)
                param_.base.nControl = static_cast<uint8_t>(code);
            active = active_;
            if (active) {
                // Pending before the message can reach the device: its confirmation may
                // arrive before this thread runs again.
                std::lock_guard<std::mutex> r(reposMu_);
                reposPending_ = true;
            }
        }
        if (!active) {
            lastKey_ = 0;
        } else {
            reposDone_.Reset();
            d.unlock();
            queued = QueueMsg(type, code, span, 16);
            if (!queued) {
                std::lock_guard<std::mutex> r(reposMu_);
                reposPending_ = false;
            }
            PLAY_STDOUT("===kestrova repos remote playback channel:%d, %04d-%02d-%02d %02d:%02d:%02d, result:%d\n",
                   static_cast<int>(param_.base.nChannel), span[0].year, span[0].month, span[0].day, span[0].hour,
                   span[0].minute, span[0].second, queued ? 1 : 0);
            if (queued)
                KV_LOG(gEnableRecordPlayStatus, "repos record %u:%u:%u\n", span[0].hour, span[0].minute,
                       span[0].second);
        }
    }
    if (queued && !reposDone_.Wait(kvmedia::GetMediaTimings().reposWaitMs)) {
        // No confirmation: the connection is given up with the reposition pending, so the
        // playback reopens at the new span.
        KV_LOG(gEnableRecordPlayStatus, "recordplay=%p reposition not confirmed\n", static_cast<void*>(this));
        sock_.Shutdown();
    }
    std::lock_guard<std::mutex> l(callersMu_);
    --callers_;
    callersCv_.notify_all();
    return true;
}

bool DevRecordPlay::Control(uint32_t code)
{
    if (!QueueMsg(kControl, static_cast<uint16_t>(code), nullptr, 0))
        return false;
    {
        std::lock_guard<std::mutex> q(queueMu_);
        param_.base.nControl = static_cast<uint8_t>(code);
    }
    std::lock_guard<std::mutex> r(reposMu_);
    dataDue_ = true;
    return true;
}
