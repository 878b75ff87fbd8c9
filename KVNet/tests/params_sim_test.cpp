// Parameter calls end to end against the simulator: caller sizes, lists, refusals, bodies
// checked byte for byte on the device side, JSON calls, time-outs and late replies.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "test_kit.h"
#include "dev_requests.h"
#include "requests_fixture.h"

namespace {

using kvreqtest::Received;
using kvreqtest::Session;
using kvreqtest::U32;
using Bytes = std::vector<uint8_t>;

Bytes Block(uint32_t size, uint8_t fill)
{
    Bytes b(size, fill);
    std::memcpy(b.data(), &size, 4);
    return b;
}

TEST(ParamsE2E, QueryExFitsStructureAndList)
{
    Session s;
    ASSERT_TRUE(s.Start({"param-struct=502:600", "param-list=505:6:272", "param-struct=524:120"}));
    struct Case {
        uint32_t type, bufSize, wantStructSize, deviceSize;
    } cases[] = {{502, 588, 588, 600}, {524, 160, 120, 120}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Bytes buf = Block(c.bufSize, 0xCC);
        KVNetQueryParamParamEx q{};
        q.nParamType = c.type;
        q.pStruct = buf.data();
        q.nStructSize = c.bufSize;
        ASSERT_EQ(KVNetQueryParamEx(s.h, &q), 1);
        EXPECT_EQ(U32(buf.data()), c.wantStructSize);
        // The simulator's structure: StructSize, then bytes (0x11 + i).
        for (uint32_t i = 4; i < c.bufSize; ++i)
            ASSERT_EQ(buf[i], i < c.deviceSize ? static_cast<uint8_t>(0x11 + i) : 0) << i;
    }
    // A list of six into room for four: four copied, the rest of the buffer untouched.
    Bytes st(48), list(5 * 272, 0xCC);
    KVNetQueryParamParamEx q{};
    q.nParamType = 505;
    q.pStruct = st.data();
    q.nStructSize = 48;
    q.pList = list.data();
    q.nElemSize = 272;
    q.nListCapacity = 4;
    ASSERT_EQ(KVNetQueryParamEx(s.h, &q), 1);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(U32(list.data() + k * 272), 272u);
        EXPECT_EQ(list[k * 272 + 4], static_cast<uint8_t>(0x20 * (k + 1) + 4));
    }
    EXPECT_EQ(Bytes(list.begin() + 4 * 272, list.end()), Bytes(272, 0xCC));
    // The default-query forms send the caller's message type instead of 211.
    Bytes def = Block(160, 0);
    KVNetQueryParamParamEx d{};
    d.nParamType = 524;
    d.pStruct = def.data();
    d.nStructSize = 160;
    EXPECT_EQ(KVNetQueryDefaultParamEx(s.h, &d, 211), 1);
    EXPECT_EQ(U32(def.data()), 120u);
    KVNetQueryParamParam dq{};
    dq.nParamType = 524;
    EXPECT_EQ(KVNetQueryDefaultParam(s.h, &dq, 600), 0); // echoed empty: not a parameter reply
    EXPECT_EQ(Received(s.sim, 600).size(), 1u);
    // Queries without a blob are head-only.
    for (const auto& m : Received(s.sim, 211))
        EXPECT_EQ(m.size, 0u);
}

TEST(ParamsE2E, QueryWithCallbacksAndBlob)
{
    Session s;
    ASSERT_TRUE(s.Start({}));
    struct Got {
        int structs = 0;
        std::vector<std::string> users;
    } got;
    KVNetQueryParamParam q{};
    q.nParamType = 505;
    Bytes blob = Block(12, 0x5A);
    q.pReqData = blob.data();
    q.nStructSize = 48;
    q.structCallback = [](void*, void* u) { ++static_cast<Got*>(u)->structs; };
    q.nElemSize = sizeof(UserAccountRecord);
    q.elemCallback = [](void* e, void* u) {
        static_cast<Got*>(u)->users.push_back(static_cast<UserAccountRecord*>(e)->szUserLong);
    };
    q.pUser = &got;
    ASSERT_EQ(KVNetQueryParam(s.h, &q), 1);
    EXPECT_EQ(got.structs, 1);
    EXPECT_EQ(got.users, (std::vector<std::string>{"admin", "guest"}));
    auto sent = Received(s.sim, 211);
    ASSERT_EQ(sent.size(), 1u);
    Bytes want = {12, 0, 0, 0};
    want.insert(want.end(), blob.begin(), blob.end());
    EXPECT_EQ(sent[0].body, want);
    EXPECT_EQ(sent[0].subtype, 505u);
}

TEST(ParamsE2E, SetBodiesAndResults)
{
    Session s;
    ASSERT_TRUE(s.Start({"param-ack=600:50", "param-ack=601:7"}));
    KVNet_RestoreDefault_t def{};
    def.StructSize = 12;
    def.Display = def.Intel = 1;
    KVNetSetParamParam p{};
    p.nParamType = 521;
    p.pStruct = &def;
    ASSERT_EQ(KVNetSetParam(s.h, &p), 1);

    Bytes st = Block(280, 0x31), list = Block(272, 0x41), second = Block(272, 0x42);
    list.insert(list.end(), second.begin(), second.end());
    KVNetSetParamParam p2{511, st.data(), list.data(), 2, 0};
    ASSERT_EQ(KVNetSetParam(s.h, &p2), 1);
    KVNetSetParamParam p3{512, nullptr, nullptr, 0, 0};
    ASSERT_EQ(KVNetSetParam(s.h, &p3), 1);
    KVNetSetParamParam refused{600, &def, nullptr, 0, 0}, other{601, &def, nullptr, 0, 0};
    EXPECT_EQ(KVNetSetParam(s.h, &refused), 2);
    EXPECT_EQ(KVNetSetParam(s.h, &other), 0);

    // Caller-typed set: wrapped like a set, or the data unchanged.
    KVNet_KeyBoardID_t key{};
    key.StructSize = 32;
    key.KeyID = 0x1A2B;
    key.Marker = 0xFF;
    KVNetSetParamExParam ex{216, 582, &key, 32, nullptr, 0, 1};
    ASSERT_EQ(KVNetSetParamEx(s.h, &ex), 1);
    KVNetSetParamExParam raw{216, 583, &key, 32, nullptr, 0, 0};
    ASSERT_EQ(KVNetSetParamEx(s.h, &raw), 1);

    auto sent = Received(s.sim, 216);
    ASSERT_EQ(sent.size(), 7u);
    Bytes b521 = {12, 0, 0, 0};
    b521.insert(b521.end(), reinterpret_cast<uint8_t*>(&def), reinterpret_cast<uint8_t*>(&def) + 12);
    EXPECT_EQ(sent[0].body, b521);
    EXPECT_EQ(sent[0].size, 16u);
    ASSERT_EQ(sent[1].body.size(), 4u + 280 + 4 + 2 * 276);
    EXPECT_EQ(U32(sent[1].body.data()), 836u);
    EXPECT_EQ(Bytes(sent[1].body.begin() + 4, sent[1].body.begin() + 284), st);
    EXPECT_EQ(U32(sent[1].body.data() + 284), 552u);
    EXPECT_EQ(U32(sent[1].body.data() + 288), 272u);
    EXPECT_EQ(Bytes(sent[1].body.begin() + 292 + 276, sent[1].body.end()), second);
    EXPECT_EQ(sent[2].size, 0u);
    EXPECT_TRUE(sent[2].body.empty());
    EXPECT_EQ(sent[5].subtype, 582u);
    EXPECT_EQ(sent[5].body.size(), 36u);
    EXPECT_EQ(U32(sent[5].body.data()), 32u);
    EXPECT_EQ(sent[6].body, Bytes(reinterpret_cast<uint8_t*>(&key), reinterpret_cast<uint8_t*>(&key) + 32));

    // What was set is what a later query reads.
    KVNet_RestoreDefault_t back{};
    back.StructSize = 12;
    KVNetQueryParamParamEx q{};
    q.nParamType = 521;
    q.pStruct = &back;
    q.nStructSize = 12;
    ASSERT_EQ(KVNetQueryParamEx(s.h, &q), 1);
    EXPECT_EQ(std::memcmp(&back, &def, 12), 0);
}

TEST(ParamsE2E, RefusalsAndMalformedReplies)
{
    // total field 9 for an 8-byte body: refused before any callback.
    Session s;
    ASSERT_TRUE(s.Start({"param-ack=505:50", "param-ack=506:3", "param-raw=507:0900000004000000aabbccdd"}));
    int calls = 0;
    KVNetQueryParamParam q{};
    q.nStructSize = 8;
    q.structCallback = [](void*, void* u) { ++*static_cast<int*>(u); };
    q.pUser = &calls;
    q.nParamType = 505;
    EXPECT_EQ(KVNetQueryParam(s.h, &q), 2);
    q.nParamType = 506;
    EXPECT_EQ(KVNetQueryParam(s.h, &q), 0);
    q.nParamType = 507;
    EXPECT_EQ(KVNetQueryParam(s.h, &q), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(KVNetQueryParam(nullptr, &q), 0);
    EXPECT_EQ(KVNetQueryParam(s.h, nullptr), 0);
}

TEST(ParamsE2E, TimeOutsAndLateReplies)
{
    Session s;
    ASSERT_TRUE(s.Start({"param-silent=600", "reply-delay=300"}));
    // A time-out of 0 means the default, not "return at once" (shortened for the test).
    kvreq::SetDefaultTimeoutOverride(200);
    KVNetQueryParamParam q{};
    q.nParamType = 600;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KVNetQueryParam(s.h, &q), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200 - kvtest::kClockSlackMs));
    kvreq::SetDefaultTimeoutOverride(0);

    // The reply comes 300 ms after a 100 ms time-out: the canary-guarded buffer stays.
    Bytes buf(64 + 16, 0xC5);
    std::memcpy(buf.data(), "\x40\0\0\0", 4);
    KVNetQueryParamParamEx ex{};
    ex.nParamType = 524;
    ex.pStruct = buf.data();
    ex.nStructSize = 64;
    ex.nTimeoutMs = 100;
    const Bytes before = buf;
    EXPECT_EQ(KVNetQueryParamEx(s.h, &ex), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(buf, before);
    // The session is still usable and the late reply went nowhere.
    ex.nTimeoutMs = 3000;
    EXPECT_EQ(KVNetQueryParamEx(s.h, &ex), 1);
    EXPECT_EQ(U32(buf.data()), 64u);
    EXPECT_EQ(Bytes(buf.begin() + 64, buf.end()), Bytes(16, 0xC5));
}

TEST(ParamsE2E, TemporaryQuery)
{
    // Type 600 is echoed by the simulator: the request is the reply.
    Session s;
    ASSERT_TRUE(s.Start({}));
    Bytes req = {24, 0, 0, 0};
    Bytes st = Block(20, 0x70);
    req.insert(req.end(), st.begin(), st.end());
    req.insert(req.end(), {1, 2, 3, 4, 5, 6});
    Bytes dest(32 + 4 + 8, 0xCC);
    const uint32_t cap = 4;
    std::memcpy(dest.data() + 32, &cap, 4);
    KVNetQueryTemporaryParamParam p{};
    p.MsgType = 600;
    p.pReqData = req.data();
    p.nReqSize = static_cast<uint32_t>(req.size());
    p.pDest = dest.data();
    p.nStructSize = 32;
    ASSERT_EQ(KVNetQueryTemporaryParam(s.h, &p), 1);
    EXPECT_EQ(U32(dest.data()), 32u);
    EXPECT_EQ(Bytes(dest.begin() + 36, dest.begin() + 40), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(dest.begin() + 40, dest.end()), Bytes(4, 0xCC));
    // Another subtype: the first min(S, size) bytes, unparsed.
    Bytes d2(16, 0xCC);
    p.MsgSubType = 9;
    p.pDest = d2.data();
    p.nStructSize = 8;
    ASSERT_EQ(KVNetQueryTemporaryParam(s.h, &p), 1);
    EXPECT_EQ(Bytes(d2.begin(), d2.begin() + 8), Bytes(req.begin(), req.begin() + 8));
    EXPECT_EQ(Bytes(d2.begin() + 8, d2.end()), Bytes(8, 0xCC));
    // A destination without a size: the device would choose how much is written. Refused,
    // the buffer untouched.
    p.nStructSize = 0;
    std::fill(d2.begin(), d2.end(), 0xCC);
    EXPECT_EQ(KVNetQueryTemporaryParam(s.h, &p), 0);
    EXPECT_EQ(d2, Bytes(16, 0xCC));
    EXPECT_EQ(Received(s.sim, 600).back().body, req);
}

struct JsonLog {
    std::mutex mu;
    std::vector<std::string> replies;
    std::vector<int> oks;
};

TEST(ParamsE2E, JsonCalls)
{
    Session s;
    ASSERT_TRUE(s.Start({"json-replies=3"}));
    const std::string text = "{\"get\":\"osd\"}";
    JsonLog log;
    KVNetParamJsonParam p{429, text.data(), static_cast<uint32_t>(text.size()),
                          [](const void* d, unsigned n, void* u) {
                              auto* l = static_cast<JsonLog*>(u);
                              std::lock_guard<std::mutex> g(l->mu);
                              l->replies.emplace_back(static_cast<const char*>(d) + 4, n - 4);
                          },
                          &log};
    ASSERT_EQ(KVNetQueryParamJson(s.h, &p), 1);
    ASSERT_EQ(log.replies.size(), 1u);
    EXPECT_EQ(log.replies[0], "{\"n\":0,\"echo\":" + text + "}");
    EXPECT_EQ(KVNetSetParamJson(s.h, &p), 1);
    KVNetParamJsonParam noCb = p;
    noCb.callback = nullptr;
    EXPECT_EQ(KVNetQueryParamJson(s.h, &noCb), 0);

    // Asynchronous: without the single-reply byte every reply arrives until the stop.
    KVNetAsyncParamJsonParam a{};
    a.MsgType = 429;
    a.pData = text.data();
    a.nDataSize = static_cast<uint32_t>(text.size());
    a.callback.query = p.callback;
    a.pUser = &log;
    log.replies.clear();
    // The two remaining synchronous-call replies (json-replies=3) were dropped or went to
    // no one; wait until they are gone before counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const unsigned seq = KVNetAsyncStartQueryParamJson(s.h, &a);
    ASSERT_NE(seq, 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { std::lock_guard<std::mutex> g(log.mu); return log.replies.size() == 3; },
                                std::chrono::seconds(5)));
    KVNetAsyncStopQueryParamJson(s.h, seq);
    a.bSingleReply = 1;
    a.callback.set = [](int ok, const void*, unsigned, void* u) {
        auto* l = static_cast<JsonLog*>(u);
        std::lock_guard<std::mutex> g(l->mu);
        l->oks.push_back(ok);
    };
    ASSERT_NE(KVNetAsyncStartSetParamJson(s.h, &a), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { std::lock_guard<std::mutex> g(log.mu); return !log.oks.empty(); },
                                std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> g(log.mu);
    EXPECT_EQ(log.oks, std::vector<int>{1});
    EXPECT_EQ(log.replies.size(), 3u);
}

TEST(ParamsE2E, NotLoggedInFailsAtOnce)
{
    // A session to a port where nothing listens never logs in.
    KVNetConnectionParam p{};
    p.szAddr = "127.0.0.1";
    p.nPort = 1;
    p.szUser = "admin";
    p.szPwd = "x";
    DevConnection* h = KVNetConnectionStartEx(&p);
    ASSERT_NE(h, nullptr);
    KVNetAsyncParamJsonParam a{};
    a.MsgType = 429;
    a.callback.set = [](int, const void*, unsigned, void*) {};
    EXPECT_EQ(KVNetAsyncStartSetParamJson(h, &a), 0u);
    KVNetQueryParamParam q{};
    q.nParamType = 505;
    EXPECT_EQ(KVNetQueryParam(h, &q), 0);
    KVNetExportBackupParam e{nullptr, [](void*, unsigned, void*) {}};
    EXPECT_EQ(KVNetExportBackupNew(h, &e), 0);
    KVNetConnectionStop(&h);
}

} // namespace
