// Sessions against the simulated device: the exact code sequences of the round logic and
// the login, per device kind, credentials and automatic reconnection.
#include <gtest/gtest.h>

#include "session_fixture.h"

using namespace kvsess;
using std::chrono::milliseconds;

namespace {

struct Row {
    const char* name;
    std::vector<std::string> scenarios; // empty: nothing listening
    const char* user;
    const char* pwd;
    bool autoRe;
    std::vector<unsigned> codes;        // exact sequence; ends the task unless `stays`
    bool stays;                         // logged in: stop after the codes
};

void RunRow(const Row& r)
{
    SCOPED_TRACE(r.name);
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    uint16_t port = DeadPort();
    if (!r.scenarios.empty()) {
        std::vector<std::string> args;
        for (auto& s : r.scenarios) {
            args.push_back("--scenario");
            args.push_back(s);
        }
        ASSERT_TRUE(sim.Start(args));
        port = sim.tcp_port();
    }
    Recorder rec;
    DevConnection* s = StartSession(rec, port, r.user, r.pwd, r.autoRe);
    ASSERT_NE(s, nullptr);
    if (r.stays) {
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Count() >= r.codes.size(); }, milliseconds(10000)));
        std::this_thread::sleep_for(milliseconds(400)); // nothing else arrives while logged in
        EXPECT_TRUE(s->IsLoggedIn());
    } else {
        ASSERT_TRUE(s->WaitTaskEnded(15000)) << CodesText(rec.Codes());
    }
    EXPECT_EQ(CodesText(rec.Codes()), CodesText(r.codes));
    KVNetConnectionStop(&s);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(CodesText(rec.Codes()), CodesText(r.codes)) << "no code after stop";
}

} // namespace

TEST(SessionCodes, TableOfDeviceKindsCredentialsAndReconnection)
{
    const Row rows[] = {
        {"nothing listening", {}, "admin", "admin123", false, {0, 2, 0, 2}, false},
        {"plain, good", {"device-kind=plain"}, "admin", "admin123", false, {0, 1, 100, 0, 1, 100, 101}, true},
        {"plain, wrong password", {"device-kind=plain"}, "admin", "nope", false, {0, 1, 100, 0, 1, 100, 104}, false},
        {"plain, no such user", {"device-kind=plain"}, "bob", "admin123", false, {0, 1, 100, 0, 1, 100, 103}, false},
        {"scrambled, good", {"device-kind=scrambled"}, "admin", "admin123", false, {0, 1, 100, 0, 1, 100, 101}, true},
        {"srp, good", {"device-kind=srp"}, "admin", "admin123", false, {0, 1, 100, 101}, true},
        {"srp, empty password", {"device-kind=srp", "password="}, "admin", "", false, {0, 1, 100, 101}, true},
        {"srp, wrong password", {"device-kind=srp"}, "admin", "bad", false, {0, 1, 100, 104, 0, 1, 100, 104}, false},
        {"srp, no such user", {"device-kind=srp"}, "eve", "admin123", false, {0, 1, 100, 103, 0, 1, 100, 103}, false},
        {"srp, wrong M2", {"device-kind=srp", "srp-bad-m2"}, "admin", "admin123", false, {0, 1, 100, 104, 0, 1, 100, 104},
         false},
        {"srp, hello refused 12", {"device-kind=srp", "srp-hello-ack=12"}, "admin", "admin123", false,
         {0, 1, 100, 104, 0, 1, 100, 104}, false},
        {"srp, envelope digest wrong", {"device-kind=srp", "srp-bad-digest"}, "admin", "admin123", false,
         {0, 1, 100, 105, 0, 1, 100, 105}, false},
        {"close on accept", {"device-kind=plain", "close-on-accept"}, "admin", "admin123", false, {0, 1, 100, 105, 0, 1, 100, 105}, false},
    };
    for (const Row& r : rows)
        RunRow(r);
}

TEST(SessionCodes, AckFlagTableOfThePlainLogin)
{
    struct AckRow {
        unsigned ack;
        int code; // -1: no code
    } rows[] = {{3, 150},  {10, 102},   {11, 103},   {12, 104},   {13, 107},   {14, 110},
                {15, 111}, {16, 112},   {50, 106},   {66, 108},   {10001, 104}, {10002, 104},
                {10004, 103}, {10005, 104}, {7, 105}, {18, -1}};
    TimingsScope ts(FastTimings());
    for (const AckRow& r : rows) {
        SCOPED_TRACE("AckFlag " + std::to_string(r.ack));
        kvtest::SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", "device-kind=plain", "--scenario", "login-ack=" + std::to_string(r.ack)}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
        ASSERT_TRUE(s->WaitTaskEnded(10000));
        std::vector<unsigned> want = {0, 1, 100, 0, 1, 100};
        if (r.code >= 0)
            want.push_back(static_cast<unsigned>(r.code));
        if (r.ack == 10001 || r.ack == 10002) // the probe comes back: the second round probes again
            want = {0, 1, 100, 0, 1, 100, 104};
        EXPECT_EQ(CodesText(rec.Codes()), CodesText(want));
        if (r.ack == 18) {
            std::lock_guard<std::mutex> l(rec.mu);
            ASSERT_EQ(rec.data.size(), 1u);
            EXPECT_EQ(rec.data[0].first, 113u);
            EXPECT_EQ(rec.data[0].second.size(), 40u);
        }
        KVNetConnectionStop(&s);
    }
}

TEST(SessionCodes, LoginReplyChecks)
{
    struct R {
        std::vector<std::string> sc;
        unsigned code;
    } rows[] = {
        {{"--scenario", "login-reply-size=3281"}, 105},
        {{"--scenario", "login-reply-size=3280"}, 101},
        {{"--scenario", "login-no-magic"}, 105},
        {{"--scenario", "login-reply-size=7"}, 105},
        {{"--scenario", "login-reply-size=8"}, 101},
    };
    TimingsScope ts(FastTimings());
    for (const R& r : rows) {
        SCOPED_TRACE(r.sc[1]);
        kvtest::SimProcess sim;
        std::vector<std::string> args = r.sc;
        args.insert(args.end(), {"--scenario", "device-kind=plain"});
        ASSERT_TRUE(sim.Start(args));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Count() >= 7; }, milliseconds(10000)));
        EXPECT_EQ(rec.Codes()[6], r.code);
        KVNetConnectionStop(&s);
    }
}

TEST(SessionCodes, EmptyUserNameGivesEvent60000AndNoCode)
{
    Recorder rec;
    DevConnection* s = StartSession(rec, 4321, "", "x", true);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(s->WaitTaskEnded(5000));
    EXPECT_TRUE(rec.Codes().empty());
    {
        std::lock_guard<std::mutex> l(rec.mu);
        ASSERT_EQ(rec.data.size(), 1u);
        EXPECT_EQ(rec.data[0].first, 60000u);
        const std::string& b = rec.data[0].second;
        ASSERT_EQ(b.size(), 136u);
        uint32_t v[2];
        memcpy(v, b.data(), 8);
        EXPECT_EQ(v[0], 136u);
        EXPECT_EQ(v[1], 4321u);
        EXPECT_EQ(b.find_first_not_of('\0', 8), std::string::npos);
    }
    KVNetConnectionStop(&s);
}

TEST(SessionCodes, StartRefusals)
{
    KVNetConnectionParam p{};
    p.szAddr = "127.0.0.1";
    p.nPort = 65536;
    p.szUser = "a";
    p.szPwd = "b";
    EXPECT_EQ(KVNetConnectionStartEx(&p), nullptr);
    EXPECT_EQ(KVNetConnectionStartEx(nullptr), nullptr);
    p.nPort = 65535;
    DevConnection* s = KVNetConnectionStartEx(&p);
    EXPECT_NE(s, nullptr);
    KVNetConnectionStop(&s);
    KVNetConnectionStop(&s); // null handle: nothing
    KVNetConnectionStop(nullptr);
    EXPECT_EQ(KVNetSetIPAndPort(nullptr, "1.2.3.4", 1), 0);
    KVNetPushParam pp{};
    pp.szAddr = "127.0.0.1";
    pp.nPort = 1;
    EXPECT_EQ(KVNetStartSendPushParam(&pp), nullptr); // no payload
    const char blob[4] = {1, 2, 3, 4};
    pp.pPayload = blob;
    pp.nPayloadLen = 0;
    EXPECT_EQ(KVNetStartSendPushParam(&pp), nullptr);
    EXPECT_EQ(KVNetStartSavePasword(nullptr), nullptr);
    EXPECT_EQ(KVNetGetDevInfo(nullptr, nullptr, 0), 0);
}

// With the process-wide encryption switch on, logins ask for scrambled messages: a plain
// device then talks scrambled, an SRP device still runs its exchange.
TEST(SessionCodes, EncryptionSwitchOn)
{
    TimingsScope ts(FastTimings());
    KVNetSetEncription(1);
    struct R {
        const char* kind;
        const char* codes;
    } rows[] = {{"device-kind=plain", "0,1,100,0,1,100,101"}, {"device-kind=srp", "0,1,100,101"}};
    for (const R& r : rows) {
        SCOPED_TRACE(r.kind);
        kvtest::SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", r.kind}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", false);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000))) << CodesText(rec.Codes());
        std::this_thread::sleep_for(milliseconds(400)); // a few heartbeats
        EXPECT_TRUE(s->IsLoggedIn());
        EXPECT_EQ(CodesText(rec.Codes()), r.codes);
        auto lines = sim.LogLines();
        bool scrambledBeat = false;
        for (auto& l : lines)
            scrambledBeat |= JsonField(l, "type") == "32" && JsonField(l, "scrambled") == "true";
        EXPECT_EQ(scrambledBeat, std::string(r.kind) == "device-kind=plain");
        KVNetConnectionStop(&s);
    }
    KVNetSetEncription(0);
}

TEST(SessionCodes, OlderRequestStartsWithLoginTypeZero)
{
    TimingsScope ts(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--scenario", "device-kind=srp"}));
    Recorder rec;
    KVNetConnectionParamV1 p{};
    p.szAddr = "127.0.0.1";
    p.nPort = sim.tcp_port();
    p.szUser = "admin";
    p.szPwd = "admin123";
    p.pUser = &rec;
    p.msgCallback = &Recorder::OnMsg;
    DevConnection* s = KVNetConnectionStart(&p);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
    KVNetConnectionStop(&s);
    EXPECT_EQ(KVNetConnectionStart(nullptr), nullptr);
}

// Only the direct address resolves for now: every other login type fails its resolution
// cleanly (code 2), and a one-shot session gives up at the fourth failure.
TEST(SessionCodes, OtherLoginTypesFailResolutionCleanly)
{
    TimingsScope ts(FastTimings());
    {
        Recorder rec;
        KVNetConnectionParam p{};
        p.szAddr = "DEVICE-ID-1";
        p.nPort = 5000;
        p.szUser = "admin";
        p.szPwd = "x";
        p.pUser = &rec;
        p.msgCallback = &Recorder::OnMsg;
        p.nLoginType = 2;
        DevConnection* s = KVNetConnectionStartEx(&p);
        ASSERT_TRUE(s->WaitTaskEnded(5000));
        EXPECT_EQ(CodesText(rec.Codes()), "2,2");
        KVNetConnectionStop(&s);
    }
    {
        Recorder rec;
        const char blob[3] = {1, 2, 3};
        KVNetPushParam p{};
        p.szAddr = "DEVICE-ID-2";
        p.nPort = 5000;
        p.nLoginType = 1;
        p.szIDServer = "ids.example";
        p.pUser = &rec;
        p.msgCallback = &Recorder::OnMsg;
        p.pPayload = blob;
        p.nPayloadLen = 3;
        DevConnection* s = KVNetStartSavePasword(&p);
        ASSERT_TRUE(s->WaitTaskEnded(5000));
        EXPECT_EQ(CodesText(rec.Codes()), "2,2,2,2,126");
        KVNetStopSavePasword(&s);
    }
}
