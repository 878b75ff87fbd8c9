#include "download_base.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <ctime>
#include <memory>

#include "date_time.h"
#include "kv_log.h"
#include "task_pool.h"

namespace kvdl {

namespace {
thread_local const Worker* tlsWorker = nullptr;
}

uint64_t MonoMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

bool ResumeFilter::ResumeStart(DateTime* start) const
{
    if (lastKey < 1000000u)
        return false;
    const DateTime d = kvmedia::DateTimeFromMicros(lastKey - 1000000u);
    if (!kvmedia::DateTimeValid(d))
        return false;
    *start = d;
    return true;
}

bool ProgressGate::Due(uint64_t done, uint64_t size, uint64_t nowMs, bool cap, uint32_t* pct)
{
    if (size == 0 || nowMs - last_ < kProgressGapMs)
        return false;
    uint64_t p = done >= UINT64_MAX / 100 ? done / size * 100 : done * 100 / size;
    if (cap && p > 100)
        p = 100;
    if (p > UINT32_MAX - 1)
        p = UINT32_MAX - 1;
    if (p == value_)
        return false;
    value_ = static_cast<uint32_t>(p);
    last_ = nowMs;
    *pct = value_;
    return true;
}

std::string SplitName(const std::string& given, uint64_t frameUs, std::set<std::string>& used)
{
    const size_t dot = given.rfind('.');
    if (dot == std::string::npos)
        return {};
    const std::string stem = given.substr(0, dot), ext = given.substr(dot + 1);
    const time_t secs = static_cast<time_t>((frameUs + 500000u) / 1000000u);
    tm t{};
    gmtime_r(&secs, &t);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "_%04d-%02d-%02d_%02d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
    std::string name = stem + stamp + "." + ext;
    for (unsigned n = 2; used.count(name); ++n)
        name = stem + stamp + "_" + std::to_string(n) + "." + ext;
    used.insert(name);
    return name;
}

MsgHeadWrap RequestHead(kvsession::Link& s, uint16_t type, bool byTime, uint32_t size)
{
    MsgHeadWrap h = kvmedia::Head(s, type, 0, size);
    h.second = byTime ? 1 : 0;
    return h;
}

bool Worker::OnOwnThread() const
{
    return tlsWorker == this;
}

bool Worker::Start()
{
    ended_.Reset();
    started_ = true;
    if (sl_task_add(&Worker::Thread, this) != 0) {
        ended_.Set();
        return false;
    }
    return true;
}

void* Worker::Thread(void* arg)
{
    auto* w = static_cast<Worker*>(arg);
    tlsWorker = w;
    w->Run();
    w->sock_.Close();
    tlsWorker = nullptr;
    w->ended_.Set();
    return nullptr;
}

void Worker::StopAndJoin()
{
    stop_ = true;
    sock_.Shutdown();
    wake_.Set();
    if (started_.load()) {
        ended_.Wait(SyncEvent::kInfinite);
        started_ = false;
    }
}

bool Worker::Allowed(void* self)
{
    auto* w = static_cast<Worker*>(self);
    return !w->stop_.load() && w->session_->IsLoggedIn();
}

bool Worker::Pause(unsigned ms)
{
    if (!stop_.load())
        wake_.Wait(ms);
    return !stop_.load();
}

bool Worker::WaitLogin()
{
    const unsigned step = kvmedia::GetMediaTimings().loginPollMs;
    bool logged = false;
    while (!stop_.load() && !(logged = session_->IsLoggedIn())) {
        sock_.Close();
        Pause(step ? step : 100);
    }
    return logged && !stop_.load();
}

kvmedia::OpenResult Worker::Open(const MsgHeadWrap& head, const std::vector<uint8_t>& body, uint16_t* ack)
{
    *ack = 0;
    reader_.Reset();
    if (!sock_.Open(*session_, true, kOpenOpts, &Worker::Allowed, this))
        return kvmedia::OpenResult::kNoAnswer;
    auto reply = std::make_unique<MsgBuf>();
    return kvmedia::Exchange(*session_, sock_, head, body.data(), *reply, ack);
}

bool PackReader::Fill(int fd, size_t need, bool* closed)
{
    while (end_ - pos_ < need) {
        if (pos_ + need > buf_.size()) {
            memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        const ssize_t n = ::recv(fd, buf_.data() + end_, buf_.size() - end_, 0);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // 0: the device closed the connection; else the receive time-out or an error.
        *closed = n == 0;
        return false;
    }
    return true;
}

bool PackReader::Next(int fd, PackBuf& pack, bool* closed)
{
    *closed = false;
    if (fd < 0 || !Fill(fd, sizeof(PackHead), closed))
        return false;
    memcpy(&pack.head, buf_.data() + pos_, sizeof(PackHead));
    const PackHead& h = pack.head;
    if (h.PackSize > kvmsg::kPackData || (h.PackType == 0 && h.PackNo >= h.PackNum)) {
        *closed = true;
        return false;
    }
    const size_t body = h.ext_len() + h.PackSize;
    if (!Fill(fd, sizeof(PackHead) + body, closed))
        return false;
    memcpy(pack.data, buf_.data() + pos_ + sizeof(PackHead), body);
    pos_ += sizeof(PackHead) + body;
    return true;
}

bool Worker::Recv(PackBuf& pack, bool* closed)
{
    return reader_.Next(sock_.ch().fd(), pack, closed);
}

void Worker::Log(const char* what)
{
    if (!gEnableDownloadRecordStatus || !session_)
        return;
    std::string host;
    uint16_t port = 0;
    session_->GetAddress(&host, &port);
    KV_LOG(gEnableDownloadRecordStatus, "dev(%s,%u) DownloadRecord=%p %s\n", host.c_str(), port,
           static_cast<const void*>(this), what);
}

} // namespace kvdl
