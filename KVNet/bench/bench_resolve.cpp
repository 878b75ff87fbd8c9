// Address resolution of login types 1, 10 and 23 against the local lookup peer
// (tests/sim/idsrv.py on loopback ports), from session start to the connect start that
// follows the resolution, beside the bound: one bare TCP connect, request and reply to
// the same peer. The replies send every resolved session to a dead loopback port.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "resolve_config.h"
#include "test_kit.h"

namespace {

struct Peer {
    kvtest::PeerProcess proc;
    uint16_t http = 0, dir = 0, dead = 0;
    Peer()
    {
        dead = SyncSocket::GetFreePort();
        std::string ready;
        proc.Launch({KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/idsrv.py", "--http-port", "0", "--dir-port", "0",
                     "--addr", "127.0.0.1", "--port", std::to_string(dead), "--location",
                     "http://127.0.0.1:" + std::to_string(dead) + "/x"},
                    &ready);
        http = kvtest::ReadyPort(ready, "http");
        dir = kvtest::ReadyPort(ready, "dir");
        kv_resolve_set_ports(http, dir);
        kv_resolve_set_dir_hosts({"127.0.0.1"});
    }
};

Peer& ThePeer()
{
    static Peer p;
    return p;
}

struct Waiter {
    std::mutex mu;
    std::condition_variable cv;
    bool started = false, failed = false;
    static void OnMsg(unsigned code, void* user)
    {
        auto* w = static_cast<Waiter*>(user);
        std::lock_guard<std::mutex> l(w->mu);
        if (code == KVNetMsgConnectStart)
            w->started = true;
        else if (code == KVNetMsgConnectFail)
            w->failed = true;
        w->cv.notify_all();
    }
};

void BM_Resolve(benchmark::State& state)
{
    Peer& peer = ThePeer();
    if (!peer.http) {
        state.SkipWithError("no lookup peer");
        return;
    }
    const int type = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Waiter w;
        KVNetConnectionParam p{};
        p.szAddr = type == 23 ? "127.0.0.1" : "KV0123456789";
        p.nPort = peer.dead;
        p.szUser = "admin";
        p.szPwd = "";
        p.pUser = &w;
        p.msgCallback = &Waiter::OnMsg;
        p.nLoginType = type;
        p.szIDServer = "127.0.0.1";
        DevConnection* s = KVNetConnectionStartEx(&p);
        {
            std::unique_lock<std::mutex> l(w.mu);
            w.cv.wait(l, [&] { return w.started || w.failed; });
        }
        state.PauseTiming();
        KVNetConnectionStop(&s);
        if (!w.started)
            state.SkipWithError("resolution failed");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Resolve)->Arg(1)->Arg(10)->Arg(23)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The bound: one connect, the same request and its whole reply on a fresh socket.
void BM_BareExchange(benchmark::State& state)
{
    Peer& peer = ThePeer();
    const int type = static_cast<int>(state.range(0));
    const std::string req =
        type == 1 ? "GET /queryinfo.php?DevID=KV0123456789? HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nHost: "
                    "127.0.0.1\r\n\r\n"
        : type == 10 ? "DIRGETSVRINFO BMSP/0.3\r\nID:KV0123456789\r\n\r\n\r\n"
                     : "GET / HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nHost: 127.0.0.1\r\n\r\n";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(type == 10 ? peer.dir : peer.http);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<char> buf(8192);
    for (auto _ : state) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
            close(fd);
            state.SkipWithError("exchange failed");
            break;
        }
        // The peer closes after its reply.
        while (recv(fd, buf.data(), buf.size(), 0) > 0) {
        }
        close(fd);
    }
}
BENCHMARK(BM_BareExchange)->Arg(1)->Arg(10)->Arg(23)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
