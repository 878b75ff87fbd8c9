// Message framing across a veth pair made worse: packet loss (nftables) and a relay that
// delays and cuts the stream. Runs inside the client side of a private namespace pair.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "msg_channel.h"
#include "test_util.h"

namespace {

const char* pair_name()
{
    const char* n = getenv("KVNETNS");
    return n ? n : "";
}

std::vector<std::string> in_dev()
{
    return {"ip", "netns", "exec", std::string(pair_name()) + "-dev"};
}

void set_loss(int percent)
{
    std::string cmd = std::string(KV_SOURCE_DIR) + "/tests/netns/kvnetns.sh loss " + pair_name() + "-cli " +
                      std::to_string(percent);
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

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
    ASSERT_STRNE(pair_name(), "");
}

TEST(FramingNetns, ScrambledExchangesSurvivePacketLoss)
{
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--bind", "198.51.100.1"}, in_dev()));
    set_loss(10);
    KVMsgChannel w;
    ASSERT_TRUE(w.Socket("198.51.100.1", sim.tcp_port(), true));
    ASSERT_TRUE(w.Connect(5000));
    exchange_many(w, 40);
    set_loss(0);
}

TEST(FramingNetns, ExchangesSurviveADelayingChunkingRelay)
{
    kvtest::SimProcess sim, relay;
    ASSERT_TRUE(sim.Start({"--bind", "127.0.0.1"}, in_dev()));
    ASSERT_TRUE(relay.StartRelay({"--tcp", "198.51.100.1:0=127.0.0.1:" + std::to_string(sim.tcp_port()),
                                  "--delay-ms", "20", "--tcp-chunk", "977"},
                                 in_dev()));
    KVMsgChannel w;
    ASSERT_TRUE(w.Socket("198.51.100.1", relay.tcp_port(), true));
    ASSERT_TRUE(w.Connect(5000));
    exchange_many(w, 10);
}

} // namespace
