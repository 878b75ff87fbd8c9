// Remote commands end to end: PTZ, remote tests and their passthrough, simple commands,
// control requests and the log query over a side connection.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "requests_fixture.h"

namespace {

using kvreqtest::Received;
using kvreqtest::Session;
using kvreqtest::U32;
using Bytes = std::vector<uint8_t>;

struct Replies {
    std::mutex mu;
    std::vector<unsigned> types;
    std::vector<Bytes> data;
    size_t Count()
    {
        std::lock_guard<std::mutex> g(mu);
        return types.size();
    }
};

void OnReply(unsigned short type, void* data, unsigned size, void* user)
{
    auto* r = static_cast<Replies*>(user);
    std::lock_guard<std::mutex> g(r->mu);
    r->types.push_back(type);
    auto* p = static_cast<uint8_t*>(data);
    r->data.emplace_back(p, p + size);
}

TEST(CommandsE2E, Ptz)
{
    for (int ack : {0, 50, 9}) {
        SCOPED_TRACE(ack);
        Session s;
        ASSERT_TRUE(s.Start({"ptz-ack=" + std::to_string(ack)}));
        uint8_t block[44] = {};
        EXPECT_EQ(KVNetPTZControl(s.h, 100, block), ack == 0 ? 1 : ack == 50 ? 2 : 0);
        auto sent = Received(s.sim, 101);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].subtype, 100u);
        EXPECT_EQ(sent[0].body, Bytes(44, 0));
        if (ack)
            continue;
        // Command 52: bytes 4..23 take the device's 20-byte answer, the rest stays.
        std::memset(block, 0xEE, sizeof block);
        ASSERT_EQ(KVNetPTZControl(s.h, 52, block), 1);
        EXPECT_EQ(block[3], 0xEE);
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(block[4 + i], 0xC0 + i);
        EXPECT_EQ(block[24], 0xEE);
        EXPECT_EQ(KVNetPTZControl(nullptr, 100, block), 0);
    }
}

TEST(CommandsE2E, RemoteTests)
{
    Session s;
    ASSERT_TRUE(s.Start({}));
    Replies r;
    KVNetRemoteTestParam reboot{303, nullptr, 0, &r, OnReply};
    const unsigned seq = KVNetRemoteTest(s.h, &reboot);
    ASSERT_NE(seq, 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Count() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(r.types[0], 303u);
    EXPECT_EQ(r.data[0], (Bytes{'d', 'o', 'n', 'e', ':'}));

    // Passthrough: the data travels length-prefixed as a 211/723 query; the reply's list
    // elements arrive joined.
    Bytes data(24, 0x3C);
    data[0] = 24;
    data[1] = data[2] = data[3] = 0;
    KVNetRemoteTestParam pass{723, data.data(), 0, &r, OnReply};
    ASSERT_NE(KVNetRemoteTestEx(s.h, &pass), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Count() == 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(r.types[1], 723u);
    ASSERT_EQ(r.data[1].size(), 48u);
    EXPECT_EQ(U32(r.data[1].data()), 24u);
    EXPECT_EQ(r.data[1][4], 0x34);
    EXPECT_EQ(r.data[1][28], 0x64);

    auto sent = Received(s.sim);
    Bytes head303, body723;
    bool saw303 = false;
    for (const auto& m : sent) {
        if (m.type == 303) {
            saw303 = true;
            EXPECT_EQ(m.size, 0u);
            EXPECT_EQ(m.seq, seq);
        }
        if (m.type == 211 && m.subtype == 723)
            body723 = m.body;
    }
    EXPECT_TRUE(saw303);
    ASSERT_EQ(body723.size(), 28u);
    EXPECT_EQ(U32(body723.data()), 24u);
    EXPECT_EQ(U32(body723.data() + 4), 24u);

    // Stop: seq 0 does nothing; otherwise the entry goes and the record's message is sent.
    EXPECT_EQ(KVNetRemoteTestStopEx(s.h, &reboot, 0), 0);
    const Bytes stopData = {7, 7, 7};
    KVNetRemoteTestParam stop{302, stopData.data(), 3, nullptr, nullptr};
    EXPECT_EQ(KVNetRemoteTestStopEx(s.h, &stop, 12345), 1);
    EXPECT_EQ(KVNetRemoteTestStopEx(s.h, nullptr, 12345), 0);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !Received(s.sim, 302).empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(Received(s.sim, 302)[0].body, stopData);
    EXPECT_EQ(Received(s.sim, 302)[0].subtype, 0u);
}

struct AckReplies {
    std::mutex mu;
    std::vector<std::pair<unsigned, unsigned>> got; // type, ack
    std::vector<Bytes> data;
    size_t Count()
    {
        std::lock_guard<std::mutex> g(mu);
        return got.size();
    }
};

void OnAckReply(unsigned short type, unsigned short ack, void* data, unsigned size, void* user)
{
    auto* r = static_cast<AckReplies*>(user);
    std::lock_guard<std::mutex> g(r->mu);
    r->got.emplace_back(type, ack);
    auto* p = static_cast<uint8_t*>(data);
    r->data.emplace_back(p, p + size);
}

// The variant that passes the reply's AckFlag on sends the same bytes as the plain call.
TEST(CommandsE2E, RemoteTestWithAck)
{
    struct Case {
        std::vector<std::string> scenarios;
        unsigned ack;
        Bytes body;
    };
    const Bytes done = {'d', 'o', 'n', 'e', ':'};
    const Case cases[] = {
        {{}, 0, done},
        {{"reboot-refuse=1"}, 1, {}},
        {{"reboot-refuse=50"}, 50, {}},
        {{"remote-ack=9"}, 9, done},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenarios.empty() ? std::string("plain") : c.scenarios[0]);
        Session s;
        ASSERT_TRUE(s.Start(c.scenarios));
        AckReplies r;
        KVNetRemoteTestAckParam reboot{303, nullptr, 0, &r, OnAckReply};
        const unsigned seq = KVNetRemoteTestAck(s.h, &reboot);
        ASSERT_NE(seq, 0u);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Count() == 1; }, std::chrono::seconds(5)));
        EXPECT_EQ(r.got[0].first, 303u);
        EXPECT_EQ(r.got[0].second, c.ack);
        EXPECT_EQ(r.data[0], c.body);
        auto sent = Received(s.sim, 303);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].size, 0u);
        EXPECT_EQ(sent[0].subtype, 0u);
        EXPECT_EQ(sent[0].seq, seq);
    }

    // Refusing the reboot leaves the other remote tests answered as usual; the plain
    // callback still sees only the type.
    Session s;
    ASSERT_TRUE(s.Start({"reboot-refuse=3"}));
    Replies plain;
    KVNetRemoteTestParam reboot{303, nullptr, 0, &plain, OnReply};
    ASSERT_NE(KVNetRemoteTest(s.h, &reboot), 0u);
    AckReplies r;
    KVNetRemoteTestAckParam other{301, nullptr, 0, &r, OnAckReply};
    ASSERT_NE(KVNetRemoteTestAck(s.h, &other), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return plain.Count() == 1 && r.Count() == 1; },
                                std::chrono::seconds(5)));
    EXPECT_EQ(plain.types[0], 303u);
    EXPECT_EQ(r.got[0], (std::pair<unsigned, unsigned>(301, 0)));
    EXPECT_EQ(r.data[0], done);

    // A session that ends with the reboot pending reports 0xFFFF in type and ack.
    AckReplies pending;
    Session silent;
    ASSERT_TRUE(silent.Start({"remote-silent"}));
    KVNetRemoteTestAckParam p{303, nullptr, 0, &pending, OnAckReply};
    ASSERT_NE(KVNetRemoteTestAck(silent.h, &p), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !Received(silent.sim, 303).empty(); }, std::chrono::seconds(5)));
    silent.Stop();
    ASSERT_TRUE(kvtest::WaitFor([&] { return pending.Count() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(pending.got[0], (std::pair<unsigned, unsigned>(0xFFFF, 0xFFFF)));
    EXPECT_EQ(KVNetRemoteTestAck(nullptr, &p), 0u);
    EXPECT_EQ(KVNetRemoteTestAck(s.h, nullptr), 0u);
}

TEST(CommandsE2E, SimpleAndControl)
{
    Session s;
    ASSERT_TRUE(s.Start({"reply-size=40"}));
    Bytes blob = {8, 0, 0, 0, 'a', 'b', 'c', 'd'};
    KVNetSimpleCmdParam simple{650, 3, blob.data()};
    KVNetSimpleCmd(s.h, &simple);
    Bytes rsp(16 + 8, 0xCC);
    Bytes req = {1, 2, 3};
    KVNetReqControlParam c{651, 1, req.data(), 3, rsp.data(), 16, 0};
    ASSERT_EQ(KVNetReqControl(s.h, &c), 1);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(rsp[i], static_cast<uint8_t>((i * 7 + 3) & 0xFF));
    EXPECT_EQ(Bytes(rsp.begin() + 16, rsp.end()), Bytes(8, 0xCC));
    auto sent = Received(s.sim, 650);
    ASSERT_EQ(sent.size(), 1u);
    Bytes want = {8, 0, 0, 0};
    want.insert(want.end(), blob.begin(), blob.end());
    EXPECT_EQ(sent[0].body, want);
    EXPECT_EQ(Received(s.sim, 651).at(0).body, req);
}

TEST(CommandsE2E, ControlRefusedIsZero)
{
    Session s;
    ASSERT_TRUE(s.Start({"ack=50"}));
    KVNetReqControlParam c{651, 1, nullptr, 0, nullptr, 0, 0};
    EXPECT_EQ(KVNetReqControl(s.h, &c), 0);
}

class LogQuery : public ::testing::TestWithParam<const char*> {};

TEST_P(LogQuery, OverASideConnection)
{
    Session s;
    ASSERT_TRUE(s.Start({"session-id=0x1234abcd"}, GetParam()));
    uint8_t query[24];
    for (int i = 0; i < 24; ++i)
        query[i] = static_cast<uint8_t>(0x90 + i);
    struct Got {
        Bytes data;
        int calls = 0;
    } got;
    KVNetQueryLogParam p{query, &got, [](const void* d, unsigned n, void* u) {
                             auto* g = static_cast<Got*>(u);
                             ++g->calls;
                             g->data.assign(static_cast<const uint8_t*>(d), static_cast<const uint8_t*>(d) + n);
                         }};
    ASSERT_EQ(KVNetQueryLog(s.h, &p), 1);
    EXPECT_EQ(got.calls, 1);
    ASSERT_EQ(got.data.size(), 96u);
    EXPECT_EQ(got.data[0], 'A');
    auto sent = Received(s.sim, 328);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].body.size(), 32u);
    EXPECT_EQ(U32(sent[0].body.data()), 0x1234abcdu);
    EXPECT_EQ(U32(sent[0].body.data() + 4), 0u);
    EXPECT_EQ(Bytes(sent[0].body.begin() + 8, sent[0].body.end()), Bytes(query, query + 24));
    // The main session is untouched.
    uint8_t block[44] = {};
    EXPECT_EQ(KVNetPTZControl(s.h, 100, block), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, LogQuery, ::testing::Values("plain", "scrambled", "srp"));

TEST(CommandsE2E, LogQueryRefused)
{
    Session s;
    ASSERT_TRUE(s.Start({"log-ack=50"}));
    uint8_t query[24] = {};
    KVNetQueryLogParam p{query, nullptr, nullptr};
    EXPECT_EQ(KVNetQueryLog(s.h, &p), 0);
}

} // namespace
