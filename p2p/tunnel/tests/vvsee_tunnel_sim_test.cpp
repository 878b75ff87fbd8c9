// The VERov tunnel over the port-forwarding library, with the device half played by
// tests/sim/verov/t2upeer.py (echo and HTTP services, the media-port service beside it) and
// the frames carried on loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "t2u.h"
#include "t2u_pipe.h"
#include "t2u_transport.h"
#include "test_kit.h"
#include "vvsee_tunnel.h"

using namespace std::chrono;

namespace {

struct Answer {
    std::atomic<int> calls{0};
    std::atomic<int> port{-1};
    std::atomic<int> path{-1};
    static void Callback(uint16_t port, _P2P_INFO_* info)
    {
        auto* a = static_cast<Answer*>(info->pUser);
        a->port = port;
        a->path = info->nPathFlag;
        ++a->calls;
    }
};

_P2P_REQUEST_INFO_ Request(Answer* a, const char* id, uint16_t devPort, uint8_t loginType)
{
    _P2P_REQUEST_INFO_ r;
    memset(&r, 0, sizeof r);
    snprintf(r.szDevID, sizeof r.szDevID, "%s", id);
    r.nDevPort = devPort;
    r.nLoginType = loginType;
    r.pUser = a;
    r.callback = &Answer::Callback;
    return r;
}

std::string Echo(uint16_t port, const std::string& text)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return "";
    }
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::string back;
    char b[4096];
    while (back.size() < text.size()) {
        ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            break;
        back.append(b, static_cast<size_t>(n));
    }
    close(fd);
    return back;
}

// Both instances over the carrier to one device peer; the media-port service answers the
// echo port as the device's media port.
class VVSeeTunnelSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string ready;
        ASSERT_TRUE(media.Launch({KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/mediaport.py", "--media-port", "1"},
                                 &ready));
        const uint16_t mediaTcp = kvtest::ReadyPort(ready, "tcp");
        ASSERT_TRUE(peer.Launch({KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/verov/t2upeer.py", "--stdin-watch",
                                 "--remap", "50000=" + std::to_string(mediaTcp), "--hold", "DEV-HOLD", "--offline",
                                 "DEV-OFF"},
                                &ready));
        carrier = kvtest::ReadyPort(ready, "carrier");
        echo = kvtest::ReadyPort(ready, "echo");
        http = kvtest::ReadyPort(ready, "http");
        ASSERT_NE(carrier, 0);
        // The media-port service answers with the echo port.
        media.Stop();
        ASSERT_TRUE(media.Launch({KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/mediaport.py", "--media-port",
                                  std::to_string(echo), "--tcp-port", std::to_string(mediaTcp)},
                                 &ready));
        t2upipe::st().port = carrier;
        t2upipe::st().status = 1;
        t2upipe::st().offline = {"DEV-OFF"};
        t2upipe::st().info_port.clear();
        t2u_set_transport(1, t2upipe::transport<1>());
        t2u_set_transport(2, t2upipe::transport<2>());
        CVVSeeP2PTunnel::SetStepMs(20);
    }
    void TearDown() override
    {
        CVVSeeP2PTunnel::SetStepMs(0);
        t2u_set_transport(1, nullptr);
        t2u_set_transport(2, nullptr);
    }
    kvtest::PeerProcess media, peer;
    uint16_t carrier = 0, echo = 0, http = 0;
};

TEST_F(VVSeeTunnelSim, DevicePortFromServerInformation)
{
    t2upipe::st().info_port["DEV-A"] = echo;
    CVVSeeP2PTunnel t(12);
    Answer a;
    _P2P_REQUEST_INFO_ r = Request(&a, "DEV-A", 0, 12);
    const long h = t.StartGetIPAndPort(&r);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(kvtest::WaitFor([&] { return a.calls.load() == 1; }, seconds(20)));
    ASSERT_GT(a.port.load(), 0);
    EXPECT_EQ(a.path.load(), 0);
    EXPECT_EQ(t.LocalPortOf(h), a.port.load());
    EXPECT_EQ(t2u_port_status(static_cast<uint16_t>(a.port.load()), nullptr), 1) << "type 12: first instance";
    EXPECT_EQ(Echo(static_cast<uint16_t>(a.port.load()), "through the tunnel"), "through the tunnel");
    EXPECT_EQ(t.StopGetIPAndPort(h), 1);
    ASSERT_TRUE(kvtest::WaitFor(
        [&] { return t2u_port_status(static_cast<uint16_t>(a.port.load()), nullptr) == -1; }, seconds(10)));
    EXPECT_TRUE(t.PortsInUse().empty());
}

TEST_F(VVSeeTunnelSim, DevicePortThroughTheMediaPortService)
{
    CVVSeeP2PTunnel t(5);  // second instance
    Answer a;
    _P2P_REQUEST_INFO_ r = Request(&a, "DEV-M", 0, 5);
    ASSERT_GT(t.StartGetIPAndPort(&r), 0);
    ASSERT_TRUE(kvtest::WaitFor([&] { return a.calls.load() == 1; }, seconds(30)));
    ASSERT_GT(a.port.load(), 0);
    EXPECT_EQ(t2u2_port_status(static_cast<uint16_t>(a.port.load()), nullptr), 1);
    EXPECT_EQ(Echo(static_cast<uint16_t>(a.port.load()), "media"), "media");
    EXPECT_EQ(t.PortsInUse().size(), 1u) << "the query's port went back";
}

TEST_F(VVSeeTunnelSim, OfflineDeviceAnswersZeroAndKeepsTheRecord)
{
    CVVSeeP2PTunnel t(7);
    Answer a;
    _P2P_REQUEST_INFO_ r = Request(&a, "DEV-OFF", 80, 7);
    const long h = t.StartGetIPAndPort(&r);
    ASSERT_TRUE(kvtest::WaitFor([&] { return a.calls.load() == 1; }, seconds(20)));
    EXPECT_EQ(a.port.load(), 0);
    EXPECT_EQ(t.Running(), 1u);
    EXPECT_EQ(t.LocalPortOf(h), 0);
    t.StopGetIPAndPort(h);
    EXPECT_EQ(t.Running(), 0u);
}

TEST_F(VVSeeTunnelSim, StopDuringPollingGivesNoCallbackAndRemovesTheMapping)
{
    // The real step: the mapping polls for 50 of them, so it is still polling (not given
    // up on its own) when the stop comes, however busy the machine.
    CVVSeeP2PTunnel::SetStepMs(200);
    CVVSeeP2PTunnel t(12);
    Answer a;
    _P2P_REQUEST_INFO_ r = Request(&a, "DEV-HOLD", 80, 12);
    const long h = t.StartGetIPAndPort(&r);
    uint16_t L = 0;
    int st = -100;
    size_t n = 0;
    ASSERT_TRUE(kvtest::WaitFor(
        [&] {
            const auto inUse = t.PortsInUse();
            n = inUse.size();
            L = inUse.size() == 1 ? inUse[0] : 0;
            st = L ? t2u_port_status(L, nullptr) : -100;
            return L && st == 0;
        },
        seconds(10)))
        << "ports in use " << n << ", last status " << st << ", calls " << a.calls.load();
    t.StopGetIPAndPort(h);
    ASSERT_TRUE(kvtest::WaitFor([&] { return t2u_port_status(L, nullptr) == -1; }, seconds(10)));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(a.calls.load(), 0);
    EXPECT_TRUE(t.PortsInUse().empty());
}

TEST_F(VVSeeTunnelSim, ConcurrentRequestsGetTheirOwnDevicePorts)
{
    t2upipe::st().info_port["DEV-E"] = echo;
    t2upipe::st().info_port["DEV-H"] = http;
    CVVSeeP2PTunnel t(12);
    for (int round = 0; round < 3; ++round) {
        Answer e, w;
        _P2P_REQUEST_INFO_ re = Request(&e, "DEV-E", 0, 12);
        _P2P_REQUEST_INFO_ rw = Request(&w, "DEV-H", 0, 21);
        const long he = t.StartGetIPAndPort(&re);
        const long hw = t.StartGetIPAndPort(&rw);
        ASSERT_TRUE(kvtest::WaitFor([&] { return e.calls.load() == 1 && w.calls.load() == 1; }, seconds(30)));
        ASSERT_GT(e.port.load(), 0);
        ASSERT_GT(w.port.load(), 0);
        EXPECT_EQ(Echo(static_cast<uint16_t>(e.port.load()), "echo me"), "echo me");
        const std::string page = Echo(static_cast<uint16_t>(w.port.load()), "GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(page.rfind("HTTP/1.", 0), 0u) << page;
        t.StopGetIPAndPort(he);
        t.StopGetIPAndPort(hw);
    }
}

TEST_F(VVSeeTunnelSim, StartStopStorm)
{
    t2upipe::st().info_port["DEV-S"] = echo;
    CVVSeeP2PTunnel t(12);
    std::vector<std::unique_ptr<Answer>> answers;
    for (int i = 0; i < 100; ++i) {
        answers.push_back(std::make_unique<Answer>());
        _P2P_REQUEST_INFO_ r = Request(answers.back().get(), "DEV-S", 0, i % 2 ? 12 : 5);
        const long h = t.StartGetIPAndPort(&r);
        if (i % 3)
            std::this_thread::sleep_for(milliseconds(i % 7));
        t.StopGetIPAndPort(h);
    }
    ASSERT_TRUE(kvtest::WaitFor([&] { return t.PortsInUse().empty(); }, seconds(60)));
    for (auto& a : answers)
        EXPECT_LE(a->calls.load(), 1);
}

}  // namespace
