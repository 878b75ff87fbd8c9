#include "sync_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <sys/eventfd.h>
#include <thread>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "kv_log.h"

#define NET_ERR(op, err) KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", fd_.load(), op, (err))

SyncSocket::SyncSocket() : fd_(-1), peer_(nullptr), tcp_(true), firstSend_(true), firstRecv_(true)
{
}

SyncSocket::~SyncSocket()
{
    Close();
    if (peer_)
        freeaddrinfo(peer_);
}

namespace {

// Sets the port where the resolver left 0; false for a family the client cannot use.
bool FixPort(addrinfo* a, uint16_t port)
{
    if (a->ai_family == AF_INET) {
        auto* sin = reinterpret_cast<sockaddr_in*>(a->ai_addr);
        if (sin->sin_port == 0)
            sin->sin_port = htons(port);
        return true;
    }
    if (a->ai_family == AF_INET6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(a->ai_addr);
        if (sin6->sin6_port == 0)
            sin6->sin6_port = htons(port);
        return true;
    }
    return false;
}

int Lookup(addrinfo** list, const char* host, uint16_t port, bool tcp, int flags)
{
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = flags;
    return getaddrinfo(host ? host : "", service, &hints, list);
}

// Checks a finished lookup: logs a failure, frees a list of an unusable family.
bool Accept(addrinfo** list, int rc)
{
    if (rc != 0) {
        *list = nullptr;
        KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", 0, "FindAddr", rc);
        return false;
    }
    if (!*list || !FixPort(*list, 0)) {
        if (*list)
            freeaddrinfo(*list);
        *list = nullptr;
        return false;
    }
    return true;
}

// One lookup on a helper thread; whichever of the waiter and the helper comes last
// frees what is left, so a waiter that gives up never waits for the resolver.
struct PendingLookup {
    std::mutex mutex;
    addrinfo* result = nullptr;
    int rc = EAI_AGAIN;
    bool done = false;
    int doneFd = -1;
    ~PendingLookup()
    {
        if (result)
            freeaddrinfo(result);
        if (doneFd >= 0)
            close(doneFd);
    }
};

} // namespace

bool SyncSocket::FindAddr(addrinfo** list, const char* host, uint16_t port, bool tcp)
{
    if (*list) {
        freeaddrinfo(*list);
        *list = nullptr;
    }
    if (!Accept(list, Lookup(list, host, port, tcp, 0)))
        return false;
    FixPort(*list, port);
    return true;
}

bool SyncSocket::FindAddrInterruptible(addrinfo** list, const char* host, uint16_t port, bool tcp, int wakeFd)
{
    *list = nullptr;
    // An address literal needs no resolver: no thread for the common case.
    if (Lookup(list, host, port, tcp, AI_NUMERICHOST) == 0) {
        if (!Accept(list, 0))
            return false;
        FixPort(*list, port);
        return true;
    }
    *list = nullptr;
    auto pending = std::make_shared<PendingLookup>();
    pending->doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (pending->doneFd < 0)
        return false;
    std::string name = host ? host : "";
    try {
        std::thread([pending, name, port, tcp] {
            addrinfo* result = nullptr;
            int rc = Lookup(&result, name.c_str(), port, tcp, 0);
            std::lock_guard<std::mutex> l(pending->mutex);
            pending->rc = rc;
            pending->result = rc == 0 ? result : nullptr;
            pending->done = true;
            uint64_t one = 1;
            ssize_t n = write(pending->doneFd, &one, sizeof one);
            (void)n;
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    pollfd p[2] = {{pending->doneFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int rc = poll(p, wakeFd >= 0 ? 2 : 1, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> l(pending->mutex);
        if (!pending->done) {
            if (rc < 0 || (p[1].revents & POLLIN))
                return false; // the helper's late result goes with the last reference
            continue;
        }
        *list = pending->result;
        pending->result = nullptr;
        if (!Accept(list, pending->rc))
            return false;
        FixPort(*list, port);
        return true;
    }
}

bool SyncSocket::Socket(const char* host, uint16_t port, bool tcp)
{
    if (!FindAddr(&peer_, host, port, tcp))
        return false;
    return Socket(nullptr, tcp);
}

bool SyncSocket::Socket(addrinfo* resolved, bool tcp)
{
    if (resolved) {
        if (peer_)
            freeaddrinfo(peer_);
        peer_ = resolved;
    }
    if (!peer_)
        return false;
    int fd = ::socket(peer_->ai_family, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", 0, "Socket", errno);
        return false;
    }
    // Linux has no SO_NOSIGPIPE: every send passes MSG_NOSIGNAL instead.
    fd_.store(fd);
    KV_LOG(gEnableNetErr, "create sock = %d\n", fd);
    tcp_ = tcp;
    return true;
}

bool SyncSocket::Bind(const char* host, uint16_t port)
{
    addrinfo* scratch = nullptr;
    if (!FindAddr(&scratch, host, port, false))
        return false;
    int rc = ::bind(fd_.load(), scratch->ai_addr, scratch->ai_addrlen);
    int err = errno;
    freeaddrinfo(scratch);
    if (rc != 0) {
        NET_ERR("Bind", err);
        return false;
    }
    return true;
}

uint16_t SyncSocket::GetFreePort()
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        KV_LOG(gEnableNetErr, "create sock = %d\n", s);
        return 0;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool SyncSocket::SetSockOpt(int option, const int* value, int level)
{
    if (::setsockopt(fd_.load(), level, option, value, sizeof(int)) != 0) {
        NET_ERR("SetSockOpt", errno);
        return false;
    }
    return true;
}

bool SyncSocket::GetSockopt(int option, int* value, int level)
{
    socklen_t len = sizeof(int);
    if (::getsockopt(fd_.load(), level, option, value, &len) != 0) {
        NET_ERR("GetSockopt", errno);
        return false;
    }
    return true;
}

bool SyncSocket::SetNonBlock(bool on)
{
    int fd = fd_.load();
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool SyncSocket::Connect_()
{
    if (!peer_)
        return false;
    if (::connect(fd_.load(), peer_->ai_addr, peer_->ai_addrlen) == 0 || errno == EINPROGRESS)
        return true;
    NET_ERR("Connect_", errno);
    return false;
}

bool SyncSocket::Select(bool forWrite, int timeoutMs, int* timedOut)
{
    pollfd p{};
    p.fd = fd_.load();
    p.events = forWrite ? POLLOUT : POLLIN;
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) {
        if (timedOut)
            *timedOut = rc == 0 ? 1 : 0;
        NET_ERR("Select", rc == 0 ? 0 : errno);
        return false;
    }
    int soErr = 0;
    if (!GetSockopt(SO_ERROR, &soErr))
        return false;
    if (soErr != 0) {
        errno = soErr;
        NET_ERR("Select", soErr);
        return false;
    }
    return true;
}

bool SyncSocket::Connect(int timeoutMs)
{
    firstSend_ = true;
    firstRecv_ = true;
    return SetNonBlock(true) && Connect_() && Select(true, timeoutMs) && SetNonBlock(false);
}

bool SyncSocket::Send(const void* data, size_t len)
{
    firstSend_ = false;
    if (sendDeadline_ && tcp_) {
        iovec iov{const_cast<void*>(data), len};
        return SendAllV(&iov, 1, "Send");
    }
    ssize_t n;
    do {
        n = ::send(fd_.load(), data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<size_t>(n) != len) {
        NET_ERR("Send", n < 0 ? errno : 0);
        return false;
    }
    return true;
}

uint64_t SyncSocket::MonoMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool SyncSocket::WaitDeadline(short events, uint64_t deadline, const char* op)
{
    if (!deadline)
        return true;
    for (;;) {
        const uint64_t now = MonoMs();
        if (now >= deadline)
            break;
        const uint64_t left = deadline - now;
        pollfd p{fd_.load(), events, 0};
        const int rc = ::poll(&p, 1, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left));
        if (rc > 0)
            return true; // ready, or an error the transfer itself will report
        if (rc < 0 && errno != EINTR) {
            NET_ERR(op, errno);
            return false;
        }
    }
    NET_ERR(op, ETIMEDOUT);
    errno = ETIMEDOUT;
    return false;
}

bool SyncSocket::SendAllV(iovec* iov, int count, const char* op)
{
    // A blocking send returns short only when a signal or the send time-out cut it: the
    // rest follows in further calls (a time-out then fails). Under a deadline the calls
    // do not block and poll waits instead.
    const int flags = sendDeadline_ ? MSG_NOSIGNAL | MSG_DONTWAIT : MSG_NOSIGNAL;
    while (count > 0 && iov->iov_len == 0) {
        ++iov;
        --count;
    }
    while (count > 0) {
        if (!WaitDeadline(POLLOUT, sendDeadline_, op))
            return false;
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<size_t>(count > 1024 ? 1024 : count);
        const ssize_t n = ::sendmsg(fd_.load(), &mh, flags);
        if (n < 0) {
            if (errno == EINTR || (sendDeadline_ && (errno == EAGAIN || errno == EWOULDBLOCK)))
                continue;
            NET_ERR(op, errno);
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

bool SyncSocket::SendTo(const void* data, size_t len)
{
    firstSend_ = false;
    if (!peer_)
        return false;
    ssize_t n;
    do {
        n = ::sendto(fd_.load(), data, len, MSG_NOSIGNAL, peer_->ai_addr, peer_->ai_addrlen);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<size_t>(n) != len) {
        NET_ERR("SendTo", n < 0 ? errno : 0);
        return false;
    }
    return true;
}

bool SyncSocket::SendV(const iovec* iov, int count)
{
    firstSend_ = false;
    size_t len = 0;
    for (int i = 0; i < count; ++i)
        len += iov[i].iov_len;
    msghdr mh{};
    mh.msg_iov = const_cast<iovec*>(iov);
    mh.msg_iovlen = static_cast<size_t>(count);
    if (!tcp_) {
        if (!peer_)
            return false;
        mh.msg_name = peer_->ai_addr;
        mh.msg_namelen = peer_->ai_addrlen;
    }
    if (tcp_) {
        // Several buffers (an upgrade sends many slots at once): a short send continues.
        iovec local[64];
        std::vector<iovec> big;
        iovec* rest = local;
        if (count > 64) {
            big.assign(iov, iov + count);
            rest = big.data();
        } else {
            std::copy(iov, iov + count, local);
        }
        return SendAllV(rest, count, "Send");
    }
    ssize_t n;
    do {
        n = ::sendmsg(fd_.load(), &mh, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<size_t>(n) != len) {
        NET_ERR(tcp_ ? "Send" : "SendTo", n < 0 ? errno : 0);
        return false;
    }
    return true;
}

bool SyncSocket::Recv(void* buf, size_t n)
{
    if (n > kMaxRecv)
        return false;
    if (n == 0)
        return true;
    firstRecv_ = false;
    return RecvSome(buf, n, static_cast<int>(n));
}

bool SyncSocket::RecvFrom(void* buf, int* size, sockaddr* from, socklen_t* fromLen)
{
    if (*size <= 0)
        return *size == 0;
    firstRecv_ = false;
    ssize_t n;
    do {
        n = ::recvfrom(fd_.load(), buf, static_cast<size_t>(*size), 0, from, fromLen);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        *size = static_cast<int>(n);
        return true;
    }
    if (n < 0)
        NET_ERR("RecvFrom", errno);
    KV_LOG(gEnableNetErr, "%s recv 0 bytes\n", "RecvFrom");
    return false;
}

bool SyncSocket::RecvSome(void* buf, size_t room, int wanted)
{
    firstRecv_ = false;
    if (wanted <= 0)
        return true;
    auto* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < static_cast<size_t>(wanted)) {
        if (got >= room)
            return false;
        if (!WaitDeadline(POLLIN, recvDeadline_, "Recv"))
            return false;
        ssize_t n = ::recv(fd_.load(), p + got, room - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            NET_ERR("Recv", errno);
            return false;
        }
        if (n == 0) {
            KV_LOG(gEnableNetErr, "%s recv 0 bytes  socket=%d error:%d\n", "Recv", fd_.load(), errno);
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool SyncSocket::RecvUntil(void* buf, size_t room, const char* terminator, size_t* received)
{
    firstRecv_ = false;
    const size_t tlen = terminator ? strlen(terminator) : 0;
    if (tlen == 0)
        return false;
    // Knuth-Morris-Pratt failure table; the match state carries across receptions.
    std::vector<size_t> fail(tlen, 0);
    for (size_t i = 1, k = 0; i < tlen; ++i) {
        while (k && terminator[i] != terminator[k])
            k = fail[k - 1];
        if (terminator[i] == terminator[k])
            ++k;
        fail[i] = k;
    }
    auto* p = static_cast<char*>(buf);
    size_t got = 0, matched = 0;
    while (got < room) {
        if (!WaitDeadline(POLLIN, recvDeadline_, "Recv"))
            return false;
        ssize_t n = ::recv(fd_.load(), p + got, room - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            NET_ERR("Recv", errno);
            return false;
        }
        if (n == 0) {
            KV_LOG(gEnableNetErr, "%s recv 0 bytes  socket=%d error:%d\n", "Recv", fd_.load(), errno);
            return false;
        }
        for (size_t i = got; i < got + static_cast<size_t>(n); ++i) {
            while (matched && p[i] != terminator[matched])
                matched = fail[matched - 1];
            if (p[i] == terminator[matched] && ++matched == tlen) {
                got += static_cast<size_t>(n);
                if (received)
                    *received = got;
                return true;
            }
        }
        got += static_cast<size_t>(n);
    }
    if (received)
        *received = got;
    return false;
}

int SyncSocket::Shutdown()
{
    int fd = fd_.load();
    if (fd < 0)
        return -1;
    KV_LOG(gEnableNetErr, "kill sock = %d\n", fd);
    return ::shutdown(fd, SHUT_RDWR);
}

int SyncSocket::Close()
{
    int fd = fd_.load();
    if (fd < 0)
        return -1;
    Shutdown();
    fd_.store(-1);
    return ::close(fd);
}
