// Live preview over UDP across a private namespace pair: 2 % loss on the client's veth,
// duplicated and reordered datagrams from a relay in front of the device's UDP port.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "media_fixture.h"
#include "netns_test.h"

using namespace kvmediatest;
using std::chrono::milliseconds;

namespace {

struct UdpCase {
    const char* name;
    int loss;
    const char* dup;
    const char* reorder;
};

} // namespace

TEST(PreviewUdpNetns, OnlyDeviceFramesNoPredictedFrameAfterALostKeyFrame)
{
    KV_IN_PRIVATE_NETNS();
    MediaTimingsScope mt(FastMedia());
    const UdpCase cases[] = {
        {"clean path", 0, "0", "0"},
        {"2 % loss, duplicates, reordering", 2, "5", "5"},
    };
    for (const UdpCase& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim, relay;
        // The simulator listens on every address of the device side; the UDP opening goes
        // to the session's port, where the relay passes it on to the simulator's UDP port.
        ASSERT_TRUE(sim.Start({"--bind", "0.0.0.0", "--scenario", "device-kind=plain", "--scenario", "media-frames=300",
                               "--scenario", "media-fps=150", "--scenario", "media-gop=10"},
                              kvtest::InNetnsSide("dev")));
        ASSERT_TRUE(relay.StartRelay({"--udp",
                                      "198.51.100.1:" + std::to_string(sim.tcp_port()) + "=127.0.0.1:" +
                                          std::to_string(sim.udp_port()),
                                      "--dup", c.dup, "--reorder", c.reorder, "--seed", "3"},
                                     kvtest::InNetnsSide("dev")));
        ASSERT_TRUE(kvtest::SetNetnsLoss("cli", c.loss));
        Session ss;
        ss.s = kvsess::StartSession(ss.rec, sim.tcp_port(), "admin", "admin123", true, 0, 0, "198.51.100.1");
        ASSERT_TRUE(kvtest::WaitFor([&] { return ss.rec.Has(101); }, milliseconds(10000)));
        FrameRecorder r;
        // Reconnecting: the UDP opening is one datagram exchange, which the lossy path
        // can lose; the stream then opens again instead of ending the case.
        KVNetPreviewParam p = PreviewParam(r, 1, 1, 1);
        KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "media-end").empty(); }, milliseconds(60000)))
            << "codes " << kvsess::CodesText(r.Codes()) << "; udp-open " << kvsess::Events(sim, "udp-open").size()
            << ", udp-stream " << kvsess::Events(sim, "udp-stream").size();
        std::this_thread::sleep_for(milliseconds(300));
        KVNetStopPreview(ss.s, &h);
        ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 0));
        ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "udp-close").empty(); }, milliseconds(5000)));
        auto close = kvsess::Events(sim, "udp-close");
        EXPECT_EQ(kvtest::JsonField(close[0], "stream_id"), std::to_string(0x51D));
        EXPECT_EQ(kvtest::JsonField(close[0], "known"), "true");

        std::vector<std::string> types;
        auto dev = DeviceFrames(sim, &types);
        std::lock_guard<std::mutex> l(r.mu);
        // Reordering near frame boundaries abandons frames as well: a share arrives.
        ASSERT_GT(r.sha.size(), 10u) << "too little arrived";
        std::set<uint32_t> deliveredKeys;
        size_t pos = 0;
        for (size_t i = 0; i < r.sha.size(); ++i) {
            // In the device's order, each one of its frames.
            while (pos < dev.size() && dev[pos] != r.sha[i])
                ++pos;
            ASSERT_LT(pos, dev.size()) << "frame " << i << " is not one of the device's, or out of order";
            ++pos;
            if (r.types[i] == 'I')
                deliveredKeys.insert(r.nos[i]);
            // A 'P' only when its group's key frame was delivered.
            if (r.types[i] == 'P')
                EXPECT_TRUE(deliveredKeys.count(r.nos[i] - (r.nos[i] - 1) % 10)) << "P " << r.nos[i];
        }
        if (c.loss == 0 && std::string(c.dup) == "0")
            EXPECT_GE(r.sha.size() + 1, dev.size());
        std::printf("%s: %zu of %zu frames delivered\n", c.name, r.sha.size(), dev.size());
    }
}

// The device takes the UDP opening (81) but refuses the stream (82, AckFlag 65): 208,
// then 203; after the pause the stream opens again from a fresh 81, and no close (83) is
// ever sent for a stream that was never granted.
TEST(PreviewUdpNetns, RefusedStreamReports208AndOpensAgainAfterThePause)
{
    KV_IN_PRIVATE_NETNS();
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim, relay;
    ASSERT_TRUE(sim.Start({"--bind", "0.0.0.0", "--scenario", "device-kind=plain", "--scenario", "udp-stream-ack=65"},
                          kvtest::InNetnsSide("dev")));
    ASSERT_TRUE(relay.StartRelay(
        {"--udp", "198.51.100.1:" + std::to_string(sim.tcp_port()) + "=127.0.0.1:" + std::to_string(sim.udp_port())},
        kvtest::InNetnsSide("dev")));
    Session ss;
    ss.s = kvsess::StartSession(ss.rec, sim.tcp_port(), "admin", "admin123", true, 0, 0, "198.51.100.1");
    ASSERT_TRUE(kvtest::WaitFor([&] { return ss.rec.Has(101); }, milliseconds(10000)));
    FrameRecorder r;
    KVNetPreviewParam p = PreviewParam(r, 1, 1, 1);
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(sim, "udp-stream").size() >= 3; }, milliseconds(20000)))
        << "codes " << kvsess::CodesText(r.Codes());
    KVNetStopPreview(ss.s, &h);
    // A token is good for one stream request: each attempt came with a fresh 81.
    for (const std::string& e : kvsess::Events(sim, "udp-stream"))
        EXPECT_EQ(kvtest::JsonField(e, "known"), "true");
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(kvsess::Events(sim, "udp-close").empty());
    const std::vector<unsigned> codes = r.Codes();
    ASSERT_GE(codes.size(), 6u) << kvsess::CodesText(codes);
    for (size_t i = 0; i + 2 < 6; i += 3) {
        EXPECT_EQ(codes[i], 201u) << kvsess::CodesText(codes);
        EXPECT_EQ(codes[i + 1], 208u) << kvsess::CodesText(codes);
        EXPECT_EQ(codes[i + 2], 203u) << kvsess::CodesText(codes);
    }
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 202u), 0) << kvsess::CodesText(codes);
}
