// The media-port query against the device's media-port service (tests/sim/mediaport.py).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tavix_tunnel.h"
#include "test_kit.h"

using namespace std::chrono;

namespace {

struct QueryTimeout {
    explicit QueryTimeout(int ms) { CP2PTunnel::SetMediaQueryTimeoutMs(ms); }
    ~QueryTimeout() { CP2PTunnel::SetMediaQueryTimeoutMs(0); }
};

} // namespace

TEST(MediaPortQuery, AgainstTheDeviceService)
{
    QueryTimeout limit(500);
    struct Row {
        const char* scenario;
        const char* mediaPort;
        uint16_t want;
        bool requestSeen;
    } rows[] = {
        {"ok", "9000", 9000, true},
        {"ok", "65535", 65535, true},
        {"wrong-code", "9000", 0, true},
        {"short", "9000", 0, true},
        {"silence", "9000", 0, true},
        {"refuse", "9000", 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.scenario) + " " + r.mediaPort);
        kvtest::TempDir dir("mediaport");
        const std::string log = dir.File("log.jsonl");
        kvtest::PeerProcess peer;
        std::string ready;
        ASSERT_TRUE(peer.Launch({KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/mediaport.py", "--scenario", r.scenario,
                                 "--media-port", r.mediaPort, "--log", log},
                                &ready));
        const uint16_t port = kvtest::ReadyPort(ready, "tcp");
        ASSERT_NE(port, 0);
        CTavixP2PTunnel t;
        const auto t0 = steady_clock::now();
        EXPECT_EQ(t.GetMediaPortFromDevice(port), r.want);
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 500 + kvtest::kLoadSlackMs);
        if (r.requestSeen) {
            ASSERT_TRUE(kvtest::WaitFor([&] { return !kvtest::ReadSimLog(log).empty(); }, seconds(5)));
            const auto lines = kvtest::ReadSimLog(log);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(kvtest::JsonStr(lines[0], "raw"), "0100000000000000");
        }
    }
}

TEST(MediaPortQuery, ReplyBytes)
{
    struct Row {
        const char* name;
        std::vector<uint8_t> reply;
        uint16_t want;
    } rows[] = {
        {"port 9000", {1, 9, 9, 9, 9, 9, 9, 9, 0x28, 0x23, 7, 7, 7, 7, 7, 7}, 9000},
        {"code 0", {0, 0, 0, 0, 0, 0, 0, 0, 0x28, 0x23, 0, 0, 0, 0, 0, 0}, 0},
        {"code 2", {2, 0, 0, 0, 0, 0, 0, 0, 0x28, 0x23, 0, 0, 0, 0, 0, 0}, 0},
        {"15 bytes", {1, 0, 0, 0, 0, 0, 0, 0, 0x28, 0x23, 0, 0, 0, 0, 0}, 0},
        {"empty", {}, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(kv_p2p_media_port_from_reply(r.reply.data(), r.reply.size()), r.want) << r.name;
}
