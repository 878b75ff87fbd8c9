// Sessions of the tunnel login types against scripted tunnels; the tunnel's local port
// is the device simulator's, so a session that resolves logs in through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "resolve_fixture.h"
#include "scripted_tunnel.h"
#include "test_kit.h"

using namespace std::chrono;
using kvresolvetest::Recorder;
using kvtunneltest::Script;
using kvtunneltest::ScriptedTunnel;
using kvtunneltest::TunnelScope;

namespace {

struct TimingsScope {
    explicit TimingsScope(const KVSessionTimings& t) { kvnet_set_session_timings(t); }
    ~TimingsScope() { kvnet_set_session_timings(KVSessionTimings{}); }
};

KVSessionTimings Fast(unsigned tunnelWaitMs = 400)
{
    KVSessionTimings t;
    t.retryMs = 50;
    t.resolveRetryMs = 50;
    t.connectMs = 1000;
    t.tunnelWaitMs = tunnelWaitMs;
    return t;
}

bool Contains(const std::vector<unsigned>& v, unsigned c)
{
    return std::find(v.begin(), v.end(), c) != v.end();
}

} // namespace

TEST(TunnelSession, ScriptedAnswers)
{
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--scenario", "device-kind=plain"}));
    const uint16_t simPort = sim.tcp_port();
    TimingsScope timings(Fast());
    const uint16_t kDevPort = 8000;
    struct Row {
        const char* name;
        int type;
        Script script;
        uint16_t devPort;
        bool loggedIn;
        int pathCode; // 121, 122 or 0 (none)
        size_t stops; // by the session while it runs
    } rows[] = {
        {"direct path", 5, {Script::kAnswer, 20, simPort, 0}, kDevPort, true, 121, 0},
        {"relayed path", 7, {Script::kAnswer, 20, simPort, 1}, kDevPort, true, 122, 0},
        {"local path", 2, {Script::kAnswer, 0, simPort, 2}, kDevPort, true, 0, 0},
        {"answer at once on another type", 22, {Script::kAnswer, 0, simPort, 0}, kDevPort, true, 121, 0},
        {"local port equal to the device port", 12, {Script::kAnswer, 30, simPort, 1}, simPort, true, 122, 0},
        {"port 0", 21, {Script::kAnswer, 10, 0, 0}, kDevPort, false, 0, 2},
        {"handle 0", 5, {Script::kRefuse, 0, 0, 0}, kDevPort, false, 0, 0},
        {"no answer (short wait)", 13, {Script::kNever, 0, 0, 0}, kDevPort, false, 0, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ScriptedTunnel tunnel(r.script);
        TunnelScope scope(r.type, &tunnel);
        Recorder rec;
        DevConnection* s = kvresolvetest::StartTyped(rec, r.type, "KVP2P0001", r.devPort, "", false, "admin", "admin123");
        ASSERT_NE(s, nullptr);
        if (r.loggedIn) {
            EXPECT_TRUE(kvtest::WaitFor([&] { return rec.Has(KVNetMsgLoginSuccess); }, seconds(20)))
                << kvresolvetest::CodesText(rec.Codes());
            const std::vector<unsigned> codes = rec.Codes();
            ASSERT_FALSE(codes.empty());
            if (r.pathCode)
                EXPECT_EQ(codes[0], unsigned(r.pathCode)) << kvresolvetest::CodesText(codes);
            EXPECT_FALSE(Contains(codes, r.pathCode == 121 ? 122u : 121u)) << kvresolvetest::CodesText(codes);
            EXPECT_EQ(rec.FirstTarget(), std::make_pair(std::string("127.0.0.1"), simPort));
        } else {
            EXPECT_TRUE(s->WaitTaskEnded(20000));
            EXPECT_EQ(rec.Codes(), (std::vector<unsigned>{KVNetMsgConnectFail, KVNetMsgConnectFail}));
        }
        const std::vector<_P2P_REQUEST_INFO_> reqs = tunnel.Requests();
        ASSERT_FALSE(reqs.empty());
        EXPECT_STREQ(reqs[0].szDevID, "KVP2P0001");
        EXPECT_EQ(reqs[0].nDevPort, r.devPort);
        EXPECT_EQ(reqs[0].nLoginType, r.type);
        EXPECT_EQ(reqs[0].pUser, static_cast<void*>(s));
        EXPECT_EQ(reqs[0].callback, &DevConnection::P2PTunnelCallbackFunc);
        EXPECT_EQ(reqs[0].handBack, 0u);
        EXPECT_EQ(tunnel.StopCalls().size(), r.stops) << "stops while the session runs";
        KVNetConnectionStop(&s);
        // Every started request is stopped exactly once, whoever stops it.
        std::vector<long> stops = tunnel.StopCalls();
        std::sort(stops.begin(), stops.end());
        std::vector<long> started;
        if (r.script.mode != Script::kRefuse)
            for (long h = 1; h <= static_cast<long>(reqs.size()); ++h)
                started.push_back(h);
        EXPECT_EQ(stops, started);
        EXPECT_EQ(tunnel.Running(), 0u);
    }
}

TEST(TunnelSession, TheRequestCarriesTheFirst63Characters)
{
    TimingsScope timings(Fast());
    ScriptedTunnel tunnel({Script::kAnswer, 0, 0, 0});
    TunnelScope scope(16, &tunnel);
    const std::string id(80, 'Q');
    Recorder rec;
    DevConnection* s = kvresolvetest::StartTyped(rec, 16, id.c_str(), 8000, "");
    ASSERT_TRUE(s->WaitTaskEnded(20000));
    KVNetConnectionStop(&s);
    const auto reqs = tunnel.Requests();
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(std::string(reqs[0].szDevID), id.substr(0, 63));
    EXPECT_EQ(reqs[0].szDevID[63], '\0');
    EXPECT_EQ(reqs[0].nLoginType, 16);
}

TEST(TunnelSession, TypesWithoutAWorkingTunnelFail)
{
    TimingsScope timings(Fast(5000));
    // 3, 6, 8, 9, 24 and -1 have no tunnel; 4 has the placeholder (handle 0); the
    // VERov and Orvan tunnels without their libraries answer port 0 from their worker.
    for (int type : {3, 6, 8, 9, 24, -1, 4, 2, 5, 20, 22}) {
        SCOPED_TRACE(type);
        Recorder rec;
        const auto t0 = steady_clock::now();
        DevConnection* s = kvresolvetest::StartTyped(rec, type, "KVP2P0001", 8000, "");
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(s->WaitTaskEnded(20000));
        // None of them waits out the tunnel wait.
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 5000 - kvtest::kClockSlackMs);
        EXPECT_EQ(rec.Codes(), (std::vector<unsigned>{KVNetMsgConnectFail, KVNetMsgConnectFail}));
        EXPECT_EQ(s->ResolveCount(), 2u);
        KVNetConnectionStop(&s);
    }
}

TEST(TunnelSession, StopDuringTheWait)
{
    TimingsScope timings(Fast(15000));
    // The answer would come long after the stop: it must not come at all.
    ScriptedTunnel tunnel({Script::kAnswer, 10000, 9, 0});
    TunnelScope scope(14, &tunnel);
    for (int i = 0; i < 500; ++i) {
        Recorder rec;
        DevConnection* s = kvresolvetest::StartTyped(rec, 14, "KVP2P0001", 8000, "", true);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return tunnel.Requests().size() == static_cast<size_t>(i + 1); }, seconds(10)));
        const auto t0 = steady_clock::now();
        KVNetConnectionStop(&s);
        const long ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
        ASSERT_LT(ms, 100 + kvtest::kLoadSlackMs) << i;
        ASSERT_TRUE(rec.Codes().empty()) << i;
        ASSERT_EQ(tunnel.StopCalls().size(), static_cast<size_t>(i + 1)) << i;
    }
    EXPECT_EQ(tunnel.Callbacks(), 0u);
}

TEST(TunnelSession, NoAnswerWaitsTheFullTunnelWaitSlow)
{
    TimingsScope timings(Fast(15000));
    ScriptedTunnel tunnel({Script::kNever, 0, 0, 0});
    TunnelScope scope(15, &tunnel);
    Recorder rec;
    const auto t0 = steady_clock::now();
    DevConnection* s = kvresolvetest::StartTyped(rec, 15, "KVP2P0001", 8000, "");
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(KVNetMsgConnectFail); }, seconds(40)));
    const long ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_GE(ms, 15000 - kvtest::kClockSlackMs);
    EXPECT_EQ(tunnel.StopCalls(), (std::vector<long>{1}));
    KVNetConnectionStop(&s);
}
