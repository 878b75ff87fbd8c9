// The shared port helpers, handles and map of the tunnels, the placeholder tunnel and
// the choice of tunnel by login type.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "orvan_tunnel.h"
#include "tavix_tunnel.h"
#include "test_kit.h"
#include "tunnel_select.h"
#include "vvsee_tunnel.h"

using namespace std::chrono;

namespace {

struct Answers {
    std::atomic<int> calls{0};
    std::atomic<int> port{-1};
    std::atomic<uint64_t> handBack{0};
    std::atomic<void*> user{nullptr};
    static void Callback(uint16_t port, _P2P_INFO_* info)
    {
        auto* a = static_cast<Answers*>(info->pUser);
        a->port = port;
        a->handBack = info->handBack;
        a->user = info->pUser;
        ++a->calls;
    }
};

_P2P_REQUEST_INFO_ Request(Answers* a, uint64_t handBack)
{
    _P2P_REQUEST_INFO_ r;
    memset(&r, 0, sizeof r);
    strcpy(r.szDevID, "KVP2P0001");
    r.nDevPort = 8000;
    r.nLoginType = 5;
    r.pUser = a;
    r.callback = &Answers::Callback;
    r.handBack = handBack;
    return r;
}

} // namespace

TEST(TunnelPorts, AvailablePortNeverGivesTheQueryPortOrAListedOne)
{
    CTavixP2PTunnel t;
    std::set<uint16_t> listed;
    for (int i = 0; i < 500; ++i)
        listed.insert(t.GetAvailablePort());
    ASSERT_EQ(listed.size(), 500u) << "drawn ports never repeat while listed";
    for (int i = 0; i < 100000; ++i) {
        const uint16_t p = t.GetAvailablePort();
        ASSERT_GE(p, 10000);
        ASSERT_LE(p, 60000);
        ASSERT_NE(p, 50000);
        ASSERT_EQ(listed.count(p), 0u) << p;
        t.ClearPortFromVec(p);
    }
    EXPECT_EQ(t.PortsInUse().size(), 500u);
}

TEST(TunnelPorts, ClearKeepsTheDrawOrder)
{
    CTavixP2PTunnel t;
    std::vector<uint16_t> drawn;
    for (int i = 0; i < 6; ++i)
        drawn.push_back(t.GetAvailablePort());
    EXPECT_EQ(t.PortsInUse(), drawn);
    t.ClearPortFromVec(drawn[2]);
    drawn.erase(drawn.begin() + 2);
    EXPECT_EQ(t.PortsInUse(), drawn);
    t.ClearPortFromVec(0);
    EXPECT_EQ(t.PortsInUse(), drawn);
    uint16_t absent = 10000;
    while (std::find(drawn.begin(), drawn.end(), absent) != drawn.end())
        ++absent;
    t.ClearPortFromVec(absent);
    EXPECT_EQ(t.PortsInUse(), drawn);
    t.ClearPortFromVec(drawn.front());
    t.ClearPortFromVec(drawn.back());
    EXPECT_EQ(t.PortsInUse(), std::vector<uint16_t>(drawn.begin() + 1, drawn.end() - 1));
}

TEST(TunnelPorts, RandPortStaysInItsRange)
{
    CTavixP2PTunnel t;
    struct Range {
        int low, high;
    } ranges[] = {{10000, 60000}, {1, 1}, {0, 65535}, {20000, 20003}};
    for (const Range& r : ranges)
        for (int i = 0; i < 20000; ++i) {
            const int p = t.GetRandPort(r.low, r.high);
            ASSERT_GE(p, r.low);
            ASSERT_LE(p, r.high);
        }
}

TEST(TunnelPlaceholder, RefusesEverything)
{
    CTavixP2PTunnel t;
    Answers a;
    _P2P_REQUEST_INFO_ r = Request(&a, 7);
    EXPECT_EQ(t.InitP2PTunnel(), 0);
    EXPECT_EQ(t.StartGetIPAndPort(&r), 0);
    EXPECT_EQ(t.StopGetIPAndPort(1), 0);
    EXPECT_EQ(t.UnInitP2PTunnel(), 0);
    EXPECT_EQ(t.BackgroundDestroy(), 0);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(a.calls.load(), 0);
}

// The VERov and Orvan tunnels without their libraries: handles from 1, one failure
// answer per request from the worker, values handed back; stops of unknown handles
// return 1.
template <class T>
void LibraryNotStarted(T& t)
{
    std::vector<Answers> answers(5);
    for (size_t i = 0; i < answers.size(); ++i) {
        _P2P_REQUEST_INFO_ r = Request(&answers[i], 100 + i);
        EXPECT_EQ(t.StartGetIPAndPort(&r), static_cast<long>(i + 1));
    }
    for (Answers& a : answers)
        ASSERT_TRUE(kvtest::WaitFor([&] { return a.calls.load() == 1; }, seconds(10)));
    std::this_thread::sleep_for(milliseconds(20));
    for (size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i].calls.load(), 1);
        EXPECT_EQ(answers[i].port.load(), 0);
        EXPECT_EQ(answers[i].handBack.load(), 100 + i);
        EXPECT_EQ(answers[i].user.load(), &answers[i]);
    }
    EXPECT_EQ(t.StopGetIPAndPort(1), 1);
    EXPECT_EQ(t.StopGetIPAndPort(99), 1);
    EXPECT_EQ(t.StopGetIPAndPort(1), 1);
    Answers b;
    _P2P_REQUEST_INFO_ r = Request(&b, 0);
    EXPECT_EQ(t.StartGetIPAndPort(&r), 6) << "handles are never reused";
}

TEST(TunnelSkeleton, VERovWithoutServerAnswersZero)
{
    // The instances start but never register: each request answers 0 after the readiness wait.
    CVVSeeP2PTunnel::SetStepMs(1);
    {
        CVVSeeP2PTunnel t(12);
        EXPECT_TRUE(t.Started());
        EXPECT_EQ(t.LoginType(), 12);
        LibraryNotStarted(t);
    }
    CVVSeeP2PTunnel::SetStepMs(0);
}

TEST(TunnelSkeleton, OrvanFailsInTheWorker)
{
    COrvanP2PTunnel t;
    EXPECT_FALSE(t.Started());
    LibraryNotStarted(t);
}

TEST(TunnelSkeleton, DestroyedWithRequestsInFlight)
{
    // Requests queued right before the tunnel goes: the destructor waits for their
    // workers, which then find nothing and call nothing.
    for (int round = 0; round < 50; ++round) {
        Answers a;
        {
            COrvanP2PTunnel t;
            for (int i = 0; i < 4; ++i) {
                _P2P_REQUEST_INFO_ r = Request(&a, 0);
                t.StartGetIPAndPort(&r);
            }
        }
        EXPECT_LE(a.calls.load(), 4);
    }
}

TEST(TunnelChoice, ByLoginType)
{
    for (int type : {0, 1, 3, 6, 8, 9, 10, 11, 23, 24, 100, -1})
        EXPECT_EQ(kv_p2p_tunnel_for(type), nullptr) << type;
    EXPECT_NE(dynamic_cast<CTavixP2PTunnel*>(kv_p2p_tunnel_for(4)), nullptr);
    auto* orvan = dynamic_cast<COrvanP2PTunnel*>(kv_p2p_tunnel_for(2));
    ASSERT_NE(orvan, nullptr);
    EXPECT_EQ(kv_p2p_tunnel_for(22), orvan);
    auto* vv = dynamic_cast<CVVSeeP2PTunnel*>(kv_p2p_tunnel_for(7));
    ASSERT_NE(vv, nullptr);
    EXPECT_EQ(vv->LoginType(), 7) << "made with the first type that needs it";
    for (int type : {5, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21})
        EXPECT_EQ(kv_p2p_tunnel_for(type), vv) << type;
    // The seam answers for its type only, and goes again.
    CTavixP2PTunnel mine;
    kv_p2p_set_test_tunnel(3, &mine);
    kv_p2p_set_test_tunnel(5, &mine);
    EXPECT_EQ(kv_p2p_tunnel_for(3), &mine);
    EXPECT_EQ(kv_p2p_tunnel_for(5), &mine);
    EXPECT_EQ(kv_p2p_tunnel_for(7), vv);
    kv_p2p_set_test_tunnel(3, nullptr);
    kv_p2p_set_test_tunnel(5, nullptr);
    EXPECT_EQ(kv_p2p_tunnel_for(3), nullptr);
    EXPECT_EQ(kv_p2p_tunnel_for(5), vv);
}

TEST(TunnelChoice, SingletonMadeOnceUnderRace)
{
    // Many first users at once get one instance.
    std::vector<std::thread> th;
    std::vector<CP2PTunnel*> got(8);
    for (size_t i = 0; i < got.size(); ++i)
        th.emplace_back([&, i] { got[i] = kv_p2p_tunnel_for(22); });
    for (auto& t : th)
        t.join();
    for (CP2PTunnel* p : got)
        EXPECT_EQ(p, got[0]);
}
