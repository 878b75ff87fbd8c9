// Behaviour of logged-in sessions against the simulated device: envelopes verified by the
// device, heartbeats and silence, reconnection, the stored login reply, alarm reports,
// login bodies, one-shot sessions and side connections.
#include <gtest/gtest.h>

#include <algorithm>

#include "test_kit.h"
#include "session_fixture.h"

using namespace kvsess;
using std::chrono::milliseconds;

namespace {

bool StartSim(kvtest::SimProcess& sim, std::vector<std::string> scenarios)
{
    std::vector<std::string> args;
    for (auto& s : scenarios) {
        args.push_back("--scenario");
        args.push_back(s);
    }
    return sim.Start(args);
}

// Messages of one type the simulator logged (outer messages, not envelope events).
std::vector<std::string> Received(const kvtest::SimProcess& sim, unsigned type)
{
    std::vector<std::string> out;
    for (auto& l : sim.LogLines())
        if (l.find("\"event\"") == std::string::npos && JsonField(l, "type") == std::to_string(type))
            out.push_back(l);
    return out;
}

} // namespace

TEST(SessionSrp, DeviceVerifiesProofAndEveryEnvelopeHeartbeatsIncluded)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    EXPECT_EQ(s->MainMode(), kModeEnvelope);
    // Four heartbeat periods.
    ASSERT_TRUE(kvtest::WaitFor([&] { return Events(sim, "envelope").size() >= 5; }, milliseconds(3000)));
    KVNetConnectionStop(&s);
    EXPECT_EQ(CodesText(rec.Codes()), "0,1,100,101");

    auto probe = Events(sim, "login-probe");
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(JsonField(probe[0], "credentials_zero"), "true");
    auto hello = Events(sim, "srp-hello");
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(JsonField(hello[0], "identity_ok"), "true");
    EXPECT_EQ(JsonField(hello[0], "I").size(), 64u);
    EXPECT_LE(JsonField(hello[0], "A").size(), 256u);
    EXPECT_EQ(JsonField(hello[0], "seq"), "0");
    auto proof = Events(sim, "srp-proof");
    ASSERT_EQ(proof.size(), 1u);
    EXPECT_EQ(JsonField(proof[0], "ok"), "true");

    auto env = Events(sim, "envelope");
    size_t beats = 0;
    for (auto& e : env) {
        EXPECT_EQ(JsonField(e, "ok"), "true") << e;
        EXPECT_EQ(JsonField(e, "block"), "400");
        beats += e.find("\"type\":32") != std::string::npos;
    }
    EXPECT_GE(beats, 4u);
    // The first envelope carries the real login with its credentials.
    EXPECT_NE(env[0].find("\"type\":31"), std::string::npos);
    auto login = Events(sim, "login");
    ASSERT_EQ(login.size(), 1u);
    EXPECT_EQ(JsonField(login[0], "user"), "admin");
    EXPECT_EQ(JsonField(login[0], "envelope"), "true");
    // Nothing outside the exchange went plain.
    for (auto& l : sim.LogLines()) {
        if (l.find("\"event\"") != std::string::npos)
            continue;
        const std::string t = JsonField(l, "type");
        EXPECT_TRUE(t == "31" || t == "10000" || t == "10003") << l;
    }
}

TEST(SessionSrp, SideConnectionRepeatsTheKeyExchange)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));

    KVMsgChannel side;
    std::string addr;
    uint16_t port;
    s->GetAddress(&addr, &port);
    ASSERT_TRUE(side.Socket(addr.c_str(), port, true));
    ASSERT_TRUE(side.Connect(2000));
    MsgHeadWrap h;
    h.MsgType = 1234;
    h.MsgSize = 5;
    h.Seq = 77;
    auto reply = std::make_unique<MsgBuf>();
    kvlogin::Handshake login(s->SideCredentials());
    ASSERT_TRUE(login.Open(side, h, "hello", *reply, s->MainMode() == kModeEnvelope));
    EXPECT_EQ(side.mode(), kModeEnvelope);
    EXPECT_EQ(reply->head.MsgType, 1234);
    EXPECT_EQ(reply->head.Seq, 77u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply->body()), reply->head.MsgSize), "hello");
    EXPECT_EQ(Events(sim, "srp-proof").size(), 2u);
    KVNetConnectionStop(&s);
}

TEST(SessionHeartbeat, SilentDeviceGetsFourHeartbeatsThenClosed)
{
    KVSessionTimings t = FastTimings();
    t.heartbeatMs = 120;
    TimingsScope ts(t);
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "silent-after-login"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(s->WaitTaskEnded(10000));
    // Plain device: the probe round, then the login round, silence and code 3.
    EXPECT_EQ(CodesText(rec.Codes()), "0,1,100,0,1,100,101,3");
    auto beats = Received(sim, 32);
    EXPECT_EQ(beats.size(), 4u);
    KVNetConnectionStop(&s);
    // Code 3 comes at the fifth due time: about 5 periods after 101.
    std::lock_guard<std::mutex> l(rec.mu);
    auto at101 = std::find(rec.codes.begin(), rec.codes.end(), 101u) - rec.codes.begin();
    auto gap = std::chrono::duration_cast<milliseconds>(rec.times[at101 + 1] - rec.times[at101]).count();
    EXPECT_GE(gap, 5 * 120 - kvtest::kClockSlackMs);
    EXPECT_LT(gap, 5 * 120 + kvtest::kLoadSlackMs);
}

TEST(SessionHeartbeat, AnsweringDeviceStaysLoggedIn)
{
    KVSessionTimings t = FastTimings();
    t.heartbeatMs = 60;
    TimingsScope ts(t);
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(1000)); // more than 16 periods
    EXPECT_TRUE(s->IsLoggedIn());
    EXPECT_EQ(CodesText(rec.Codes()), "0,1,100,101");
    EXPECT_GE(Received(sim, 10003).size(), 10u);
    KVNetConnectionStop(&s);
}

TEST(SessionHeartbeat, DeviceClosingMidReplyEndsTheSession)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp", "close-mid-reply"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(s->WaitTaskEnded(10000));
    EXPECT_EQ(CodesText(rec.Codes()), "0,1,100,101,3,0,1,100,101,3");
    KVNetConnectionStop(&s);
}

// Real periods: heartbeats at 5, 10, 15 and 20 s after the login, code 3 at 25 s.
TEST(SessionHeartbeatSlow, SilentDeviceRealPeriods)
{
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp", "silent-after-login"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(3); }, milliseconds(40000)));
    KVNetConnectionStop(&s);
    std::vector<double> beats;
    double login = 0;
    for (auto& l : sim.LogLines()) {
        if (l.find("\"event\":\"login\"") != std::string::npos)
            login = std::stod(JsonField(l, "time"));
        if (l.find("\"event\":\"envelope\"") != std::string::npos && l.find("\"type\":32") != std::string::npos)
            beats.push_back(std::stod(JsonField(l, "time")));
    }
    ASSERT_EQ(beats.size(), 4u);
    for (size_t i = 0; i < beats.size(); ++i) {
        // The period runs from the end of the login, which the device logs before.
        EXPECT_GE(beats[i] - login, 5.0 * (i + 1) - kvtest::kClockSlackMs / 1000.0);
        EXPECT_LT(beats[i] - login, 5.0 * (i + 1) + kvtest::kLoadSlackMs / 1000.0);
    }
    std::lock_guard<std::mutex> l(rec.mu);
    auto gap = std::chrono::duration_cast<milliseconds>(rec.times[4] - rec.times[3]).count();
    EXPECT_GE(gap, 25000 - kvtest::kClockSlackMs);
    EXPECT_LT(gap, 25000 + kvtest::kLoadSlackMs);
}

TEST(SessionReconnect, FailedConnectsRetryAfterThePauseAndResolveAgainEveryFifth)
{
    EXPECT_EQ(KVSessionTimings{}.retryMs, 1000u);
    EXPECT_EQ(KVSessionTimings{}.heartbeatMs, 5000u);
    TimingsScope ts(FastTimings()); // retry 100 ms
    Recorder rec;
    DevConnection* s = StartSession(rec, DeadPort(), "admin", "admin123", true);
    ASSERT_TRUE(kvtest::WaitFor(
        [&] {
            std::lock_guard<std::mutex> l(rec.mu);
            return std::count(rec.codes.begin(), rec.codes.end(), 2u) >= 11;
        },
        milliseconds(10000)));
    const unsigned resolves = s->ResolveCount();
    KVNetConnectionStop(&s);
    std::lock_guard<std::mutex> l(rec.mu);
    std::vector<std::chrono::steady_clock::time_point> starts;
    for (size_t i = 0; i < rec.codes.size(); ++i)
        if (rec.codes[i] == 0)
            starts.push_back(rec.times[i]);
    for (size_t i = 1; i < starts.size(); ++i) {
        auto gap = std::chrono::duration_cast<milliseconds>(starts[i] - starts[i - 1]).count();
        EXPECT_GE(gap, 100 - kvtest::kClockSlackMs);
        EXPECT_LT(gap, 100 + kvtest::kLoadSlackMs);
    }
    // Attempts 1, 6 and 11 resolve first.
    EXPECT_EQ(resolves, 3u);
}

TEST(SessionReconnect, SetIPAndPortTakesEffectAtTheNextAttempt)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, DeadPort(), "admin", "admin123", true);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(2); }, milliseconds(3000)));
    EXPECT_EQ(KVNetSetIPAndPort(&s, "127.0.0.1", sim.tcp_port() | 0x10000), 1);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    // Side connections follow the live main connection, not the next attempt's address.
    EXPECT_EQ(KVNetSetIPAndPort(&s, "127.0.0.9", 9), 1);
    std::string addr;
    uint16_t port = 0;
    s->GetAddress(&addr, &port);
    EXPECT_EQ(addr, "127.0.0.1");
    EXPECT_EQ(port, sim.tcp_port());
    KVNetConnectionStop(&s);
}

TEST(SessionReconnect, ResetConnectionStartsAgainWithTheSameRequest)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    KVNetResetConnection(s);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Count() >= 8; }, milliseconds(5000)));
    EXPECT_EQ(CodesText(rec.Codes()), "0,1,100,101,0,1,100,101");
    EXPECT_EQ(Events(sim, "login").size(), 2u);
    KVNetConnectionStop(&s);
}

TEST(SessionDevInfo, StoredReplyWithAndWithoutExtension)
{
    TimingsScope ts(FastTimings());
    struct R {
        int size, ext, len;
        int copied;
    } rows[] = {{1500, 200, 1232, 1232}, {1300, 200, 1232, 1100}, {1232, 0, 1232, 1232}, {1300, 2000, 1232, 1232}};
    for (const R& r : rows) {
        SCOPED_TRACE(r.size);
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=srp", "login-reply-size=" + std::to_string(r.size),
                                   "login-ext=" + std::to_string(r.ext), "session-id=4660"}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
        std::vector<uint8_t> before(1232, 0xEE);
        EXPECT_EQ(KVNetGetDevInfo(s, before.data(), 1232), 0); // not logged in yet
        EXPECT_EQ(before[0], 0xEE);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
        std::vector<uint8_t> info(r.len, 0xEE);
        ASSERT_EQ(KVNetGetDevInfo(s, info.data(), r.len), 1);
        const auto nonZeroTail = std::find_if(info.begin() + r.copied, info.end(), [](uint8_t b) { return b != 0; });
        EXPECT_EQ(nonZeroTail, info.end());
        uint16_t magic;
        memcpy(&magic, info.data() + 6, 2);
        EXPECT_EQ(magic, 0x4B56);
        EXPECT_EQ(s->SessionId(), 4660u);
        {
            std::lock_guard<std::mutex> l(rec.mu);
            EXPECT_EQ(rec.devInfoAt101.size(), 1232u) << "KVNetGetDevInfo from the code-101 callback";
        }
        std::vector<uint8_t> ext(300, 0xEE);
        ASSERT_EQ(KVNetGetDevInfoEx(s, ext.data(), 300), 1);
        if (r.ext <= r.size && r.ext > 0) {
            // Byte i of the reply is (i*13+5)&0xFF outside the fields the device sets.
            const int from = r.size - r.ext;
            EXPECT_EQ(ext[0], static_cast<uint8_t>(((from % 256) * 13 + 5) & 0xFF));
        }
        EXPECT_EQ(KVNetGetDevInfo(s, info.data(), 0), 0);
        EXPECT_EQ(KVNetGetDevInfo(s, info.data(), -5), 0);
        KVNetConnectionStop(&s);
    }
}

TEST(SessionLogin, BodiesFlagsAndAlarmSubscription)
{
    TimingsScope ts(FastTimings());
    const std::string longName(40, 'n');
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "user=" + longName.substr(0, 35), "alarm-after-login=7"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), longName.c_str(), "admin123", false, 2, 1, "127.0.0.1", 0xA5);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    ASSERT_TRUE(kvtest::WaitFor([&] { std::lock_guard<std::mutex> l(rec.mu); return !rec.data.empty(); },
                                milliseconds(2000)));
    {
        std::lock_guard<std::mutex> l(rec.mu);
        EXPECT_EQ(rec.data[0].first, 7u); // the alarm report's subtype
        EXPECT_EQ(rec.data[0].second.size(), 24u);
    }
    auto login = Events(sim, "login");
    ASSERT_EQ(login.size(), 1u);
    EXPECT_EQ(JsonField(login[0], "user"), longName.substr(0, 35));
    EXPECT_EQ(JsonField(login[0], "flags"), std::to_string(0xA5000003u)); // alarm, variant 2, flag byte
    // The probe of the first round: type 31, credentials cleared.
    EXPECT_EQ(JsonField(Events(sim, "login-probe")[0], "credentials_zero"), "true");

    KVNetAlarmSubscribe(s, 0x100); // low byte 0: off
    ASSERT_TRUE(kvtest::WaitFor([&] { return !Events(sim, "alarm-subscribe").empty(); }, milliseconds(2000)));
    EXPECT_EQ(JsonField(Events(sim, "alarm-subscribe")[0], "subtype"), "198");
    EXPECT_EQ(JsonField(Events(sim, "alarm-subscribe")[0], "size"), "0");
    // A reset starts again from the saved request: the alarm bit the caller asked for
    // comes back, whatever the subscription said meanwhile.
    KVNetResetConnection(s);
    ASSERT_TRUE(kvtest::WaitFor([&] { return Events(sim, "login").size() >= 2; }, milliseconds(5000)));
    auto second = Events(sim, "login")[1];
    EXPECT_EQ(std::stoul(JsonField(second, "flags")) & 1u, 1u) << "a reset starts from the saved request";
    KVNetConnectionStop(&s);
}

TEST(SessionLogin, SessionIdOfThePreviousLoginAndAlarmOff)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp", "session-id=305419896"}));
    Recorder rec;
    DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", true, 0, 1);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    KVNetAlarmSubscribe(s, 0);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !Events(sim, "alarm-subscribe").empty(); }, milliseconds(2000)));
    // Break the connection from the device side: the next round logs in again.
    sim.Stop();
    kvtest::SimProcess sim2;
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(3); }, milliseconds(5000)));
    ASSERT_TRUE(sim2.Start({"--tcp-port", std::to_string(sim.tcp_port()), "--scenario", "device-kind=srp"}));
    ASSERT_TRUE(kvtest::WaitFor([&] { return !Events(sim2, "login").empty(); }, milliseconds(5000)));
    auto login = Events(sim2, "login")[0];
    EXPECT_EQ(JsonField(login, "session_id"), "305419896");
    EXPECT_EQ(std::stoul(JsonField(login, "flags")) & 1u, 0u);
    KVNetConnectionStop(&s);
}

TEST(SessionLogin, HashedVariantAndVariantTypes)
{
    TimingsScope ts(FastTimings());
    struct V {
        uint8_t variant;
        const char* type;
        const char* sub;
    } rows[] = {{5, "31", "621"}, {1, "617", "0"}, {3, "619", "0"}, {4, "622", "0"}, {6, "624", "0"}, {7, "627", "0"},
                {9, "31", "0"}};
    for (const V& v : rows) {
        SCOPED_TRACE(int(v.variant));
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false, v.variant);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000))) << CodesText(rec.Codes());
        auto login = Events(sim, "login")[0];
        EXPECT_EQ(JsonField(login, "type"), v.type);
        EXPECT_EQ(JsonField(login, "subtype"), v.sub);
        EXPECT_EQ(JsonField(login, "hashed"), v.variant == 5 ? "true" : "false");
        KVNetConnectionStop(&s);
    }
}

TEST(SessionOneShot, CodesOfPushParameterAndSavePassword)
{
    TimingsScope ts(FastTimings());
    struct R {
        bool push;
        std::vector<std::string> sc;
        std::string codes;
    } rows[] = {
        {true, {}, "0,1,123"},
        {true, {"oneshot-ack=5"}, "0,1,124"},
        {false, {}, "0,1,125"},
        {false, {"oneshot-ack=1"}, "0,1,126"},
        {true, {"oneshot-stray-alarm"}, "0,1,123"},
        {false, {"silent"}, "0,1,126"},
    };
    const uint8_t blob[6] = {1, 2, 3, 4, 5, 6};
    for (const R& r : rows) {
        SCOPED_TRACE(r.codes);
        kvtest::SimProcess sim;
        std::vector<std::string> sc = r.sc;
        sc.push_back("device-kind=plain");
        ASSERT_TRUE(StartSim(sim, sc));
        Recorder rec;
        KVNetPushParam p{};
        p.szAddr = "127.0.0.1";
        p.nPort = sim.tcp_port();
        p.pUser = &rec;
        p.msgCallback = &Recorder::OnMsg;
        p.pPayload = blob;
        p.nPayloadLen = sizeof blob;
        DevConnection* s = r.push ? KVNetStartSendPushParam(&p) : KVNetStartSavePasword(&p);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(s->WaitTaskEnded(8000));
        EXPECT_EQ(CodesText(rec.Codes()), r.codes);
        if (r.sc.empty()) {
            auto one = Events(sim, "one-shot");
            ASSERT_EQ(one.size(), 1u);
            EXPECT_EQ(JsonField(one[0], "payload"), "010203040506");
            EXPECT_EQ(JsonField(one[0], "type"), r.push ? "335" : "416");
        }
        r.push ? KVNetStopSendPushParam(&s) : KVNetStopSavePasword(&s);
        EXPECT_EQ(s, nullptr);
    }
    // Nothing listening: one failed connect and the task ends.
    Recorder rec;
    KVNetPushParam p{};
    p.szAddr = "127.0.0.1";
    p.nPort = DeadPort();
    p.pUser = &rec;
    p.msgCallback = &Recorder::OnMsg;
    p.pPayload = blob;
    p.nPayloadLen = sizeof blob;
    DevConnection* s = KVNetStartSendPushParam(&p);
    ASSERT_TRUE(s->WaitTaskEnded(5000));
    EXPECT_EQ(CodesText(rec.Codes()), "0,2");
    KVNetStopSendPushParam(&s);
}

namespace {
struct SelfCheck {
    Recorder rec;
    std::atomic<int> onTask{-1};
    static void OnMsg(unsigned code, void* user)
    {
        auto* c = static_cast<SelfCheck*>(user);
        DevConnection* s = c->rec.session.load();
        if (code == 101 && s)
            c->onTask = s->OnConnectionTask() ? 1 : 0;
        Recorder::OnMsg(code, &c->rec);
    }
};
} // namespace

TEST(SessionThreads, CallbacksRunOnTheConnectionTask)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    SelfCheck c;
    KVNetConnectionParam p{};
    p.szAddr = "127.0.0.1";
    p.nPort = sim.tcp_port();
    p.szUser = "admin";
    p.szPwd = "admin123";
    p.pUser = &c;
    p.msgCallback = &SelfCheck::OnMsg;
    DevConnection* s = KVNetConnectionStartEx(&p);
    c.rec.session = s;
    ASSERT_TRUE(kvtest::WaitFor([&] { return c.onTask.load() >= 0; }, milliseconds(5000)));
    EXPECT_EQ(c.onTask.load(), 1);
    EXPECT_FALSE(s->OnConnectionTask());
    KVNetConnectionStop(&s);
}
