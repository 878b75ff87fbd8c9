#include "scripted_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kvtest {

namespace {

struct Conn {
    int fd = -1;
    const ScriptedDevice::Answer* answer = nullptr;
    std::string out;
    size_t off = 0;
    std::string head; // the client's first head, while the answer waits for its Seq
    bool waiting = false;
    bool sentAll = false;
};

} // namespace

ScriptedDevice::ScriptedDevice() : listener_(64)
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
}

ScriptedDevice::~ScriptedDevice()
{
    Stop();
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
}

void ScriptedDevice::Start(std::vector<Answer> answers)
{
    Stop();
    listener_.DropPending();
    char b[64];
    while (read(wake_[0], b, sizeof b) > 0) {
    }
    answers_ = std::move(answers);
    {
        std::lock_guard<std::mutex> l(mu_);
        closed_ = 0;
    }
    thread_ = std::thread([this] { Run(); });
}

bool ScriptedDevice::WaitServed(int timeoutMs)
{
    std::unique_lock<std::mutex> l(mu_);
    size_t want = 0;
    for (const Answer& a : answers_)
        want += a.closeAfter ? 1 : 0;
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return closed_ >= want; });
}

void ScriptedDevice::Stop()
{
    if (!thread_.joinable())
        return;
    (void)!write(wake_[1], "x", 1);
    thread_.join();
}

void ScriptedDevice::Run()
{
    std::vector<Conn> conns;
    size_t accepted = 0;
    char sink[65536];
    for (;;) {
        std::vector<pollfd> p;
        p.push_back({wake_[0], POLLIN, 0});
        p.push_back({listener_.fd(), POLLIN, 0});
        for (Conn& c : conns) {
            short ev = POLLIN;
            if (!c.waiting && !c.sentAll)
                ev |= POLLOUT;
            p.push_back({c.fd, ev, 0});
        }
        if (poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents)
            break;
        const size_t polled = conns.size();
        if (p[1].revents & POLLIN) {
            int fd = listener_.Accept(0);
            if (fd >= 0 && accepted >= answers_.size()) {
                close(fd);
            } else if (fd >= 0) {
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
                Conn c;
                c.fd = fd;
                c.answer = &answers_[accepted++];
                c.out = c.answer->bytes;
                c.waiting = c.answer->seqFromRequest && c.out.size() >= 16;
                c.sentAll = !c.waiting && c.out.empty();
                if (c.sentAll && c.answer->closeAfter)
                    shutdown(fd, SHUT_WR);
                conns.push_back(std::move(c));
            }
        }
        for (size_t i = 0; i < polled; ++i) {
            Conn& c = conns[i];
            const short re = p[2 + i].revents;
            bool gone = false;
            if (re & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = recv(c.fd, sink, sizeof sink, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    gone = true;
                if (n > 0 && c.waiting) {
                    c.head.append(sink, static_cast<size_t>(n) < 16 - c.head.size() ? n : 16 - c.head.size());
                    if (c.head.size() == 16) {
                        memcpy(&c.out[12], &c.head[12], 4);
                        c.waiting = false;
                    }
                }
            }
            if (!gone && !c.waiting && !c.sentAll && (re & POLLOUT)) {
                ssize_t n = send(c.fd, c.out.data() + c.off, c.out.size() - c.off, MSG_NOSIGNAL);
                if (n > 0)
                    c.off += static_cast<size_t>(n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    c.off = c.out.size();
                if (c.off == c.out.size()) {
                    c.sentAll = true;
                    if (c.answer->closeAfter)
                        shutdown(c.fd, SHUT_WR);
                }
            }
            if (gone) {
                close(c.fd);
                c.fd = -1;
                std::lock_guard<std::mutex> l(mu_);
                closed_ += c.answer->closeAfter ? 1 : 0;
                cv_.notify_all();
            }
        }
        conns.erase(std::remove_if(conns.begin(), conns.end(), [](const Conn& c) { return c.fd < 0; }),
                    conns.end());
    }
    for (Conn& c : conns)
        close(c.fd);
}

} // namespace kvtest
