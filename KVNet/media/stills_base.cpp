#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kv_log.h"
#include "stills.h"
#include "task_pool.h"

namespace kvstills {

namespace {
StaticMutex gTimingsMu;
StillTimings gTimings;
std::atomic<TunnelPredicate> gTunnel{nullptr};
thread_local const StillWorker* tlsOwner = nullptr;

unsigned Or(unsigned v, unsigned d) { return v ? v : d; }

bool IsDir(const char* p)
{
    struct stat st {};
    return ::stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// A temporary file beside path (same folder, so the rename cannot cross file systems).
int CreateTemp(const std::string& path, std::string* tmp)
{
    std::vector<char> t(path.begin(), path.end());
    const char suffix[] = ".partXXXXXX";
    t.insert(t.end(), suffix, suffix + sizeof suffix);
    const int fd = ::mkstemp(t.data());
    if (fd < 0)
        return -1;
    ::fchmod(fd, 0644);
    *tmp = t.data();
    return fd;
}

bool Finish(int fd, const std::string& tmp, const std::string& path, bool ok)
{
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(tmp.c_str());
    return false;
}
} // namespace

void SetStillTimings(const StillTimings& t)
{
    ScopedLock l(gTimingsMu);
    gTimings = t;
}

StillTimings GetStillTimings()
{
    ScopedLock l(gTimingsMu);
    StillTimings t = gTimings;
    const StillTimings d;
    t.loginPollMs = Or(t.loginPollMs, d.loginPollMs);
    t.retryPauseMs = Or(t.retryPauseMs, d.retryPauseMs);
    t.timingRecvMs = Or(t.timingRecvMs, d.timingRecvMs);
    t.alarmRefusedMs = Or(t.alarmRefusedMs, d.alarmRefusedMs);
    t.alarmRecvMs = Or(t.alarmRecvMs, d.alarmRecvMs);
    t.paramRecvMs = Or(t.paramRecvMs, d.paramRecvMs);
    t.heartbeatMs = Or(t.heartbeatMs, d.heartbeatMs);
    t.piecePauseMs = Or(t.piecePauseMs, d.piecePauseMs);
    return t;
}

bool TunnelledRequest(const KVNetConnectionParam& p)
{
    const int t = p.nLoginType;
    const char* addr = p.szAddr ? p.szAddr : "";
    if (t == 0 || !*addr)
        return false; // a direct address, or no device ID
    const char* idServer = "";
    if (t == 1 || t == 10 || t == 11)
        idServer = p.szIDServer ? p.szIDServer : "";
    else if (t == 23)
        idServer = addr;
    return !*idServer;
}

void SetTunnelPredicate(TunnelPredicate p)
{
    gTunnel = p;
}

bool SessionTunnelled(DevConnection* session)
{
    const TunnelPredicate p = gTunnel.load();
    return p ? p(session) : false;
}

bool MakeDirectoryPath(const char* path)
{
    if (!path || !*path)
        return false;
    if (IsDir(path))
        return true;
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s", path);
    size_t n = std::strlen(buf);
    while (n > 1 && buf[n - 1] == '/')
        buf[--n] = '\0';
    char* p = buf;
    while (*p == '/')
        ++p;
    for (; *p; ++p) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (!IsDir(buf) && ::mkdir(buf, 0777) != 0 && !IsDir(buf)) {
            *p = '/';
            return false;
        }
        *p = '/';
    }
    return (::mkdir(buf, 0777) == 0 || errno == EEXIST) && IsDir(buf);
}

bool WriteFileWhole(const std::string& path, const uint8_t* data, size_t n)
{
    std::string tmp;
    const int fd = CreateTemp(path, &tmp);
    if (fd < 0)
        return false;
    return Finish(fd, tmp, path, WriteAll(fd, data, n));
}

int CreateUniqueFile(const std::string& folder, const char* ext, std::string* name)
{
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    char buf[512];
    for (int tries = 0; tries < 100000; ++tries, ++ms) {
        std::snprintf(buf, sizeof buf, "%s/%lld%s", folder.c_str(), ms, ext);
        const int fd = ::open(buf, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            *name = buf;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool ReceiveToFile(KVMsgChannel& ch, uint32_t length, const std::string& path, const std::atomic<bool>* stop)
{
    if (length == 0 || length > kPictureMax)
        return false;
    std::string tmp;
    const int fd = CreateTemp(path, &tmp);
    if (fd < 0)
        return false;
    std::vector<uint8_t> chunk(std::min<uint32_t>(length, 256 * 1024));
    bool ok = true;
    for (uint32_t left = length; left && ok;) {
        const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(chunk.size()));
        ok = !(stop && stop->load()) && ch.Recv(chunk.data(), n) && WriteAll(fd, chunk.data(), n);
        left -= n;
    }
    return Finish(fd, tmp, path, ok);
}

// StillWorker

StillWorker::~StillWorker()
{
    StopAndJoin();
}

bool StillWorker::OnOwnThread() const
{
    return tlsOwner == this;
}

bool StillWorker::Launch(int threads)
{
    threads_ = threads;
    for (int i = 0; i < threads; ++i)
        ended_[i].Reset();
    for (int i = 0; i < threads; ++i) {
        if (sl_task_add(i == 0 ? &StillWorker::Thread0 : &StillWorker::Thread1, this) != 0) {
            for (int k = i; k < threads; ++k)
                ended_[k].Set();
            return false;
        }
    }
    return true;
}

void StillWorker::StopAndJoin()
{
    stop_ = true;
    wake_.Set();
    sock_.Shutdown();
    WakeOthers();
    for (int i = 0; i < threads_; ++i)
        ended_[i].Wait(SyncEvent::kInfinite);
    threads_ = 0;
}

void StillWorker::SessionStopping()
{
    StopAndJoin();
    gone_ = true;
}

void* StillWorker::Thread0(void* arg)
{
    static_cast<StillWorker*>(arg)->RunThread(0);
    return nullptr;
}

void* StillWorker::Thread1(void* arg)
{
    static_cast<StillWorker*>(arg)->RunThread(1);
    return nullptr;
}

void StillWorker::RunThread(int which)
{
    tlsOwner = this;
    Work(which);
    tlsOwner = nullptr;
    // Last touch: the joiner may free the object right after.
    ended_[which].Set();
}

bool StillWorker::Allowed(void* self)
{
    auto* w = static_cast<StillWorker*>(self);
    return !w->stop_.load() && w->session_->IsLoggedIn();
}

bool StillWorker::WaitLogin()
{
    const unsigned step = GetStillTimings().loginPollMs;
    while (!session_->IsLoggedIn()) {
        if (stop_.load() || wake_.Wait(step))
            return false;
    }
    return !stop_.load();
}

bool StillWorker::Pause(unsigned ms)
{
    if (stop_.load())
        return false;
    wake_.Wait(ms);
    return !stop_.load();
}

kvmedia::OpenResult StillWorker::Open(const kvmedia::SockOpts& o, uint16_t type, const void* body, uint32_t size,
                                      MsgBuf& reply, uint16_t* ack)
{
    *ack = 0;
    if (!sock_.Open(*session_, true, o, &StillWorker::Allowed, this))
        return kvmedia::OpenResult::kNoAnswer;
    const MsgHeadWrap head = kvmedia::Head(*session_, type, 0, size);
    return kvmedia::Exchange(*session_, sock_, head, body, reply, ack);
}

} // namespace kvstills
