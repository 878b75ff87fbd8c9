#include "loopback_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace kvtest {

namespace {

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

} // namespace

LoopbackListener::LoopbackListener(int backlog, int type)
{
    fd_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd_, backlog) != 0) ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        Close();
        return;
    }
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() { Close(); }

int LoopbackListener::Accept(int timeoutMs) const
{
    if (fd_ < 0)
        return -1;
    pollfd p{fd_, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (rc != 1)
        return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

int LoopbackListener::DropPending() const
{
    int n = 0;
    for (int c; (c = Accept(0)) >= 0; ++n)
        close(c);
    return n;
}

bool LoopbackListener::FillBacklog()
{
    // Connect until one connection stays pending: then the queue is full.
    const sockaddr_in a = Loopback(port_);
    for (int i = 0; i < 64; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (c < 0)
            return false;
        fillers_.push_back(c);
        if (connect(c, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
            continue;
        if (errno != EINPROGRESS)
            return false;
        pollfd p{c, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0)
            return true;
    }
    return false;
}

void LoopbackListener::Shutdown()
{
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
}

void LoopbackListener::Close()
{
    for (int c : fillers_)
        close(c);
    fillers_.clear();
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        fd_ = -1;
    }
}

int ConnectLoopback(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace kvtest
