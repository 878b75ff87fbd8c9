// Message framing across a veth pair made worse: packet loss (nftables) and a relay that
// delays and cuts the stream. Runs inside the client side of a private namespace pair.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "msg_channel.h"
#include "netns_test.h"
#include "test_kit.h"

namespace {

// Scrambled round trips with bodies of every size class; each reply must be the request.
void exchange_many(KVMsgChannel& w, int rounds)
{
    auto reply = std::make_unique<MsgBuf>();
    for (int i = 0; i < rounds; ++i) {
        uint32_t size = static_cast<uint32_t>((i * 7919) % 150000);
        std::vector<uint8_t> body(size);
        for (uint32_t k = 0; k < size; ++k)
            body[k] = static_cast<uint8_t>(k * 31 + i);
        MsgHeadWrap h;
        h.flags = i == 0 ? 2 : 0;
        h.MsgType = 9300; // no simulator handler: echoed
        h.MsgSize = size;
        h.Seq = static_cast<uint32_t>(i + 1);
        ASSERT_TRUE(w.SendAndRecvMsg(h, body.data(), *reply, false)) << "round " << i;
        ASSERT_EQ(reply->head.Seq, h.Seq);
        ASSERT_EQ(reply->body_size(), size);
        if (size)
            ASSERT_EQ(memcmp(reply->body(), body.data(), size), 0) << "round " << i;
    }
}

TEST(FramingNetns, RunsInsideAPrivatePair)
{
    KV_IN_PRIVATE_NETNS();
    EXPECT_TRUE(kvtest::InPrivateNetns());
}

TEST(FramingNetns, ScrambledExchangesSurvivePacketLoss)
{
    KV_IN_PRIVATE_NETNS(true);
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--bind", "198.51.100.1"}, kvtest::InNetnsSide("dev")));
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 10));
    KVMsgChannel w;
    ASSERT_TRUE(w.Socket("198.51.100.1", sim.tcp_port(), true));
    ASSERT_TRUE(w.Connect(5000));
    exchange_many(w, 40);
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 0));
}

TEST(FramingNetns, ExchangesSurviveADelayingChunkingRelay)
{
    KV_IN_PRIVATE_NETNS(true);
    kvtest::SimProcess sim, relay;
    ASSERT_TRUE(sim.Start({"--bind", "127.0.0.1"}, kvtest::InNetnsSide("dev")));
    ASSERT_TRUE(relay.StartRelay({"--tcp", "198.51.100.1:0=127.0.0.1:" + std::to_string(sim.tcp_port()),
                                  "--delay-ms", "20", "--tcp-chunk", "977"},
                                 kvtest::InNetnsSide("dev")));
    KVMsgChannel w;
    ASSERT_TRUE(w.Socket("198.51.100.1", relay.tcp_port(), true));
    ASSERT_TRUE(w.Connect(5000));
    exchange_many(w, 10);
}

} // namespace
