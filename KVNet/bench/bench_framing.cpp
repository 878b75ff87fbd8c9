// Message framing over loopback beside raw sockets doing the same work:
// round trips (request and equal-sized reply) and a one-way pump of messages.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_kit.h"
#include "msg_channel.h"

namespace {

bool read_all(int fd, void* p, size_t n)
{
    auto* c = static_cast<char*>(p);
    while (n) {
        ssize_t r = recv(fd, c, n, 0);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const void* p, size_t n)
{
    auto* c = static_cast<const char*>(p);
    while (n) {
        ssize_t r = send(fd, c, n, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A plain-mode peer in raw socket code: echoes each message, or pumps messages of a size.
class Peer {
public:
    enum Kind { kEcho, kPump };
    Peer(Kind kind, uint32_t size) : kind_(kind), size_(size)
    {
        th_ = std::thread([this] { Run(); });
    }
    ~Peer()
    {
        stop_ = true;
        listener_.Shutdown();
        if (cfd_ >= 0)
            shutdown(cfd_, SHUT_RDWR);
        th_.join();
        if (cfd_ >= 0)
            close(cfd_);
    }
    uint16_t port() const { return listener_.port(); }

private:
    void Run()
    {
        cfd_ = listener_.Accept();
        if (cfd_ < 0)
            return;
        int one = 1;
        setsockopt(cfd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<uint8_t> buf(16 + static_cast<size_t>(size_));
        MsgHeadWrap h;
        h.MsgType = 1;
        h.MsgSize = size_;
        memcpy(buf.data(), &h, 16);
        while (!stop_) {
            if (kind_ == kEcho) {
                if (!read_all(cfd_, buf.data(), 16))
                    return;
                memcpy(&h, buf.data(), 16);
                if (!read_all(cfd_, buf.data() + 16, h.MsgSize) || !write_all(cfd_, buf.data(), 16 + h.MsgSize))
                    return;
            } else if (!write_all(cfd_, buf.data(), buf.size())) {
                return;
            }
        }
    }
    Kind kind_;
    uint32_t size_;
    kvtest::LoopbackListener listener_;
    int cfd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread th_;
};

int raw_connect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void BM_FramingRoundTrip(benchmark::State& st)
{
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    Peer peer(Peer::kEcho, size);
    KVMsgChannel w;
    w.Socket("127.0.0.1", peer.port(), true);
    w.Connect(1000);
    int one = 1;
    w.SetSockOpt(TCP_NODELAY, &one, IPPROTO_TCP);
    std::vector<uint8_t> body(size, 0x42);
    auto reply = std::make_unique<MsgBuf>();
    MsgHeadWrap h;
    h.MsgType = 1;
    h.MsgSize = size;
    for (auto _ : st) {
        h.Seq++;
        if (!w.SendMsg(h, body.data()) || !w.RecvMsg(*reply)) {
            st.SkipWithError("exchange failed");
            break;
        }
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * size * 2);
}
BENCHMARK(BM_FramingRoundTrip)->Arg(0)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

void BM_RawRoundTrip(benchmark::State& st)
{
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    Peer peer(Peer::kEcho, size);
    int fd = raw_connect(peer.port());
    std::vector<uint8_t> buf(16 + static_cast<size_t>(size), 0x42);
    MsgHeadWrap h;
    h.MsgType = 1;
    h.MsgSize = size;
    memcpy(buf.data(), &h, 16);
    for (auto _ : st) {
        if (!write_all(fd, buf.data(), buf.size()) || !read_all(fd, buf.data(), buf.size())) {
            st.SkipWithError("exchange failed");
            break;
        }
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * size * 2);
    close(fd);
}
BENCHMARK(BM_RawRoundTrip)->Arg(0)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

void BM_FramingReceive(benchmark::State& st)
{
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    Peer peer(Peer::kPump, size);
    KVMsgChannel w;
    w.Socket("127.0.0.1", peer.port(), true);
    w.Connect(1000);
    auto msg = std::make_unique<MsgBuf>();
    for (auto _ : st)
        if (!w.RecvMsg(*msg)) {
            st.SkipWithError("receive failed");
            break;
        }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * size);
}
BENCHMARK(BM_FramingReceive)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

void BM_RawReceive(benchmark::State& st)
{
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    Peer peer(Peer::kPump, size);
    int fd = raw_connect(peer.port());
    std::vector<uint8_t> buf(16 + static_cast<size_t>(size));
    for (auto _ : st)
        if (!read_all(fd, buf.data(), buf.size())) {
            st.SkipWithError("receive failed");
            break;
        }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * size);
    close(fd);
}
BENCHMARK(BM_RawReceive)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
