// The client of the Orvan tunnel's namespace cases (tests/sim/ovc/test_orvan_netns.py), run in
// the client namespace of tests/netns/p2pnet.sh; it refuses the machine's own namespace, since
// the agent's connects search the local network by broadcast. The OVC module the agent starts
// uses MASTER as its master server. One JSON line per event on standard output.
//
//   orvan_probe login MASTER UID DEVPORT TYPE [SECONDS]
//       a device session of login type TYPE (2 or 22) to UID, user admin: every message code
//       as {"code": n}; after the login one parameter query {"param": result}; then
//       {"end": 1, "last": code}.
//   orvan_probe stop MASTER UID DEVPORT
//       a tunnel request; on the line "stop" from standard input the request is stopped:
//       {"stopped": 1, "calls": callbacks, "agents": count, "ended": 1 when the worker ended,
//       "ms": time until it ended}.
//   orvan_probe reset MASTER UID ECHOPORT SOCKETS
//       maps the echo service; SOCKETS clients start a transfer and vanish with a reset; then a
//       fresh client's 1 MiB echo is checked: {"echo": ok, "bytes": n}. The agent stops with
//       the mapping still in place.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "KVNet.h"
#include "netns.h"
#include "orvan_tunnel.h"
#include "ovc_state.h"
#include "tunnel_select.h"

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void out(const std::string& line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::atomic<int> g_last{-1};
std::atomic<bool> g_done{false};

void OnMsg(unsigned code, void*)
{
    out("{\"code\": " + std::to_string(code) + "}");
    g_last = static_cast<int>(code);
    if (code == 101 || (code >= 102 && code <= 112) || code == 150)
        g_done = true;
}

int Login(const char* uid, int devPort, int type, int seconds)
{
    KVNetConnectionParam p;
    memset(&p, 0, sizeof p);
    p.szAddr = uid;
    p.nPort = static_cast<uint32_t>(devPort);
    p.szUser = "admin";
    p.szPwd = "admin123";
    p.bAutoReconnect = 1;
    p.msgCallback = &OnMsg;
    p.nLoginType = type;
    DevConnection* c = KVNetConnectionStartEx(&p);
    if (!c) {
        out("{\"error\": \"start\"}");
        return 1;
    }
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!g_done && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (g_last == 101) {
        KVNetQueryParamParam q{};
        q.nParamType = 505;
        q.nTimeoutMs = 20000;
        out("{\"param\": " + std::to_string(KVNetQueryParam(c, &q)) + "}");
    }
    out("{\"end\": 1, \"last\": " + std::to_string(g_last.load()) + "}");
    KVNetConnectionStop(&c);
    return 0;
}

struct Answer {
    std::atomic<int> calls{0};
    std::atomic<int> port{-1};
    std::atomic<int> path{-1};
};

void OnPort(uint16_t port, _P2P_INFO_* info)
{
    auto* a = static_cast<Answer*>(info->pUser);
    a->port = port;
    a->path = info->nPathFlag;
    a->calls++;
}

_P2P_REQUEST_INFO_ Request(const char* uid, int devPort, Answer* a)
{
    _P2P_REQUEST_INFO_ r;
    memset(&r, 0, sizeof r);
    snprintf(r.szDevID, sizeof r.szDevID, "%s", uid);
    r.nDevPort = static_cast<uint16_t>(devPort);
    r.nLoginType = 2;
    r.pUser = a;
    r.callback = &OnPort;
    return r;
}

COrvanP2PTunnel* Tunnel()
{
    return static_cast<COrvanP2PTunnel*>(kv_p2p_tunnel_for(2));
}

bool WaitFor(const std::function<bool()>& pred, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Stop(const char* uid, int devPort)
{
    COrvanP2PTunnel* t = Tunnel();
    Answer a;
    _P2P_REQUEST_INFO_ r = Request(uid, devPort, &a);
    const long h = t->StartGetIPAndPort(&r);
    out("{\"started\": " + std::to_string(h) + "}");
    std::string line;
    while (std::getline(std::cin, line) && line != "stop") {
    }
    const auto t0 = Clock::now();
    const long rc = t->StopGetIPAndPort(h);
    const bool ended = WaitFor([&] { return t->TasksRunning() == 0; }, 30000);
    const long ms = ms_since(t0);
    // A callback would come at once after the connect failed; give it room to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    out("{\"stopped\": " + std::to_string(rc) + ", \"calls\": " + std::to_string(a.calls.load()) +
        ", \"agents\": " + std::to_string(t->ConnectedAgents()) + ", \"ended\": " + (ended ? "1" : "0") +
        ", \"ms\": " + std::to_string(ms) + "}");
    return 0;
}

int ConnectLocal(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void ResetClose(int fd)
{
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

// Reads until n bytes arrived, the peer closed, or 60 s without progress.
size_t ReadSome(int fd, std::vector<uint8_t>* into, size_t n)
{
    size_t got = 0;
    uint8_t buf[65536];
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0)
            break;
        const ssize_t k = recv(fd, buf, std::min(sizeof buf, n - got), 0);
        if (k <= 0)
            break;
        if (into)
            into->insert(into->end(), buf, buf + k);
        got += static_cast<size_t>(k);
    }
    return got;
}

int MapOne(COrvanP2PTunnel* t, const char* uid, int devPort, Answer* a)
{
    _P2P_REQUEST_INFO_ r = Request(uid, devPort, a);
    if (t->StartGetIPAndPort(&r) <= 0)
        return -1;
    if (!WaitFor([&] { return a->calls.load() > 0; }, 120000))
        return -1;
    return a->port.load();
}

int Reset(const char* uid, int echoPort, int sockets)
{
    COrvanP2PTunnel* t = Tunnel();
    Answer a;
    const int le = MapOne(t, uid, echoPort, &a);
    out("{\"port\": " + std::to_string(le) + ", \"path\": " + std::to_string(a.path.load()) + "}");
    if (le <= 0)
        return 1;
    // Clients that vanish mid-transfer: each sends 64 KiB, reads the first 16 KiB of the
    // echo, and ends with a reset while the rest is still on its way in both directions.
    std::vector<int> fds;
    std::vector<uint8_t> chunk(64 << 10, 0x5A);
    for (int i = 0; i < sockets; ++i) {
        const int e = ConnectLocal(le);
        if (e < 0)
            continue;
        send(e, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ReadSome(e, nullptr, 16 << 10);
        fds.push_back(e);
    }
    out("{\"opened\": " + std::to_string(fds.size()) + "}");
    for (int fd : fds)
        ResetClose(fd);
    // The tunnel still serves: 1 MiB comes back intact on a fresh client.
    const int e = ConnectLocal(le);
    bool echoOk = false;
    size_t got = 0;
    if (e >= 0) {
        std::vector<uint8_t> msg(1 << 20);
        for (size_t i = 0; i < msg.size(); ++i)
            msg[i] = static_cast<uint8_t>(i * 13 + (i >> 16));
        std::thread w([&] {
            size_t off = 0;
            while (off < msg.size()) {
                const ssize_t k = send(e, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
                if (k <= 0)
                    break;
                off += static_cast<size_t>(k);
            }
        });
        std::vector<uint8_t> back;
        got = ReadSome(e, &back, msg.size());
        shutdown(e, SHUT_RDWR);  // a stalled writer ends too
        w.join();
        echoOk = back == msg;
        close(e);
    }
    // The mapping stays until the agent stops at the end.
    out(std::string("{\"echo\": ") + (echoOk ? "1" : "0") + ", \"bytes\": " + std::to_string(got) + "}");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: orvan_probe login|stop|reset MASTER UID ...\n");
        return 2;
    }
    if (!kvtest::InPrivateNetns()) {
        fprintf(stderr, "orvan_probe: refusing to run outside a private network namespace\n");
        return 3;
    }
    // The test topology's LANs count as private networks; its master is the agent's.
    const uint32_t nets[1] = {htonl(0xC6336400u)};
    const int pre[1] = {24};
    ovc_set_lan_networks(nets, pre, 1);
    ovc_set_start_masters(argv[2], nullptr);
    KVNetInit();
    // ORVAN_PROBE_LOG=FILE: the tunnel's log lines go to FILE.
    if (const char* dir = getenv("ORVAN_PROBE_LOG")) {
        KVNetLogParam lp;
        memset(&lp, 0, sizeof lp);
        lp.gEnableP2PStatus = 1;
        snprintf(lp.szLogPath, sizeof lp.szLogPath, "%s", dir);
        KVNetInitLog(&lp);
    }
    const std::string mode = argv[1];
    int rc = 2;
    if (mode == "login" && argc >= 6)
        rc = Login(argv[3], atoi(argv[4]), atoi(argv[5]), argc > 6 ? atoi(argv[6]) : 60);
    else if (mode == "stop")
        rc = Stop(argv[3], atoi(argv[4]));
    else if (mode == "reset" && argc >= 6)
        rc = Reset(argv[3], atoi(argv[4]), atoi(argv[5]));
    // The agent's session threads must end before the program's statics go.
    Tunnel()->BackgroundDestroy();
    KVNetRelease();
    return rc;
}
