// A 32 MiB upgrade across a veth pair that drops 5 % of the client side's packets
// (nftables): logged in through a real session, the device must receive every byte in
// order and the CRC that matches them. Runs inside the client side of a private pair.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "KVNet.h"
#include "session_fixture.h"
#include "upgrade_fw_util.h"
#include "upgrade_sim_util.h"
#include "netns_test.h"

TEST(UpgradeNetnsSlow, ThirtyTwoMiBUnderFivePercentLossArrivesWithTheRightCrc)
{
    KV_IN_PRIVATE_NETNS(true);
    const std::string dir = kvtest::TempPath("fwloss");
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/big.bin";
    const auto file = kvtest::BuildPartFile({{16u << 20, 0}, {4096, 1}, {(16u << 20) - 4096, 2}});
    ASSERT_TRUE(kvtest::WriteFileBytes(path, file));

    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--bind", "198.51.100.1", "--scenario", "device-kind=scrambled", "--scenario",
                           "session-id=4242", "--scenario", "upgrade-session=4242", "--scenario",
                           "upgrade-file=" + path},
                          kvtest::InNetnsSide("dev")));
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 5));

    kvsess::Recorder srec;
    DevConnection* session =
        kvsess::StartSession(srec, sim.tcp_port(), "admin", "admin123", true, 0, 0, "198.51.100.1");
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return srec.Has(101); }, std::chrono::seconds(60)));

    kvtest::UpgradeRecorder rec;
    KVNetRemoteUpgradeParam p{};
    p.path = path.c_str();
    p.callback = &kvtest::UpgradeRecorder::Callback;
    p.user = &rec;
    p.type = 3;
    DevRemoteUpgrade* up = KVNetStartRemoteUpgrade(session, &p);
    ASSERT_NE(up, nullptr);
    EXPECT_TRUE(rec.final.Wait(600000));
    KVNetStopRemoteUpgrade(&up);
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 0));
    KVNetConnectionStop(&session);

    EXPECT_EQ(rec.Milestones(), (std::vector<unsigned>{764, 391}));
    // Progress rose through the transfer, never faster than once per 300 ms.
    auto pct = rec.Percents();
    ASSERT_GE(pct.size(), 2u);
    for (size_t i = 1; i < pct.size() && pct[i - 1] != 100; ++i)
        EXPECT_GT(pct[i], pct[i - 1]);
    EXPECT_TRUE(kvsess::Events(sim, "upgrade-fault").empty());
    auto checks = kvsess::Events(sim, "upgrade-check");
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(kvtest::JsonInt(checks[0], "received"), static_cast<long long>(32u << 20));
    EXPECT_EQ(kvtest::JsonInt(checks[0], "faults"), 0);
    const uint32_t crc = kvtest::BitwiseCrc(0, file.data() + 276 + 3 * 92, 32u << 20);
    EXPECT_EQ(kvtest::JsonInt(checks[0], "crc"), crc);

    unlink(path.c_str());
    rmdir(dir.c_str());
}
