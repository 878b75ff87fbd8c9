// The upgrade through the flat interface, after a real login to the simulated device:
// the session id of the login reply, the session's security mode, and the key exchange
// repeated on the upgrade's own connection when the session is enveloped.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "KVNet.h"
#include "session_fixture.h"
#include "upgrade_fw_util.h"
#include "upgrade_sim_util.h"

using namespace kvtest;

namespace {

constexpr uint32_t kSid = 0x0A0B0C0D;

class UpgradeSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = TempPath("fwsess");
        mkdir(dir_.c_str(), 0700);
    }
    void TearDown() override
    {
        if (session_)
            KVNetConnectionStop(&session_);
        for (auto& f : files_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    std::string Write(const std::string& name, const std::vector<uint8_t>& data)
    {
        const std::string p = dir_ + "/" + name;
        EXPECT_TRUE(WriteFileBytes(p, data));
        files_.push_back(p);
        return p;
    }

    // A simulator of the given kind whose login reply carries kSid, and a logged-in session.
    bool Login(const std::string& kind, const std::string& file, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"--scenario", "device-kind=" + kind, "--scenario", "session-id=" + std::to_string(kSid),
                                      "--scenario", "upgrade-session=" + std::to_string(kSid),
                                      "--scenario", "upgrade-file=" + file};
        for (auto& e : extra) {
            args.push_back("--scenario");
            args.push_back(e);
        }
        if (!sim.Start(args))
            return false;
        {
            std::lock_guard<std::mutex> l(srec.mu);
            srec.codes.clear();
        }
        session_ = kvsess::StartSession(srec, sim.tcp_port(), "admin", "admin123", false);
        return session_ && WaitFor([&] { return srec.Has(101); }, std::chrono::seconds(10));
    }

    std::vector<unsigned> RunUpgrade(KVNetRemoteUpgradeParamEx p)
    {
        p.callback = &UpgradeRecorder::Callback;
        p.user = &rec;
        DevRemoteUpgrade* up = KVNetStartRemoteUpgradeEx(session_, &p);
        EXPECT_NE(up, nullptr);
        EXPECT_TRUE(rec.final.Wait(20000));
        KVNetStopRemoteUpgrade(&up);
        EXPECT_EQ(up, nullptr);
        return rec.Milestones();
    }

    ShortUpgradeTimings timings{5000};
    SimProcess sim;
    kvsess::Recorder srec;
    UpgradeRecorder rec;
    DevConnection* session_ = nullptr;
    std::string dir_;
    std::vector<std::string> files_;
};

int ConnOfFirst(const std::vector<SimMsg>& msgs, unsigned type)
{
    for (auto& m : msgs)
        if (m.type == type)
            return m.conn;
    return -1;
}

} // namespace

TEST_F(UpgradeSession, PartUpgradeAfterLoginOfEachDeviceKind)
{
    for (const char* kind : {"plain", "scrambled", "srp"}) {
        SCOPED_TRACE(kind);
        sim.Stop();
        if (session_)
            KVNetConnectionStop(&session_);
        UpgradeRecorder fresh;
        const auto file = BuildPartFile({{9000, 0}, {100, 4}});
        const std::string path = Write("fw-" + std::string(kind) + ".bin", file);
        ASSERT_TRUE(Login(kind, path));

        UpgradeRecorder& r = fresh;
        KVNetRemoteUpgradeParam p{};
        p.path = path.c_str();
        p.callback = &UpgradeRecorder::Callback;
        p.user = &r;
        p.type = 3;
        DevRemoteUpgrade* up = KVNetStartRemoteUpgrade(session_, &p);
        ASSERT_NE(up, nullptr);
        ASSERT_TRUE(r.final.Wait(20000));
        KVNetStopRemoteUpgrade(&up);
        EXPECT_EQ(r.Milestones(), (std::vector<unsigned>{764, 391}));

        // The device found the session id of its login reply, the bytes and the CRC right.
        auto checks = SimMessages(sim, true);
        EXPECT_TRUE(kvsess::Events(sim, "upgrade-fault").empty());
        auto verdicts = kvsess::Events(sim, "upgrade-check");
        ASSERT_EQ(verdicts.size(), 1u);
        EXPECT_EQ(JsonInt(verdicts[0], "faults"), 0);
        EXPECT_EQ(JsonInt(verdicts[0], "sid"), kSid);
        EXPECT_EQ(JsonInt(verdicts[0], "received"), 9100);

        auto msgs = SimMessages(sim);
        const int mainConn = ConnOfFirst(msgs, 31) >= 0 ? ConnOfFirst(msgs, 31) : ConnOfFirst(msgs, 617);
        const int upConn = ConnOfFirst(msgs, 5139) >= 0 ? ConnOfFirst(msgs, 5139) : -1;
        ASSERT_GE(upConn, 0);
        EXPECT_NE(mainConn, upConn); // a connection of its own
        // Data pieces are plain messages on the upgrade's connection in every mode.
        int pieces = 0;
        for (auto& m : msgs)
            if (m.conn == upConn && m.type == 5139 && m.subtype == 761) {
                ++pieces;
                EXPECT_EQ(m.flags, 0u);
            }
        EXPECT_EQ(pieces, 4); // 4096 + 4096 + 808 of part 0, then the 100 of part 1
        if (std::string(kind) == "srp") {
            // The key exchange ran again on the upgrade's connection, and the start
            // request, 763 and 762 travelled in envelopes there.
            auto hellos = kvsess::Events(sim, "srp-hello");
            ASSERT_EQ(hellos.size(), 2u);
            EXPECT_EQ(JsonInt(hellos[1], "conn"), upConn);
            std::vector<unsigned> inner;
            for (auto& e : checks)
                if (e.event == "envelope" && e.conn == upConn)
                    inner.push_back(e.subtype);
            EXPECT_EQ(inner, (std::vector<unsigned>{0, 763, 762}));
        } else if (std::string(kind) == "scrambled") {
            for (auto& m : msgs) {
                if (m.conn == upConn && m.subtype != 761) {
                    EXPECT_EQ(m.flags & 3, 2u) << m.subtype;
                }
            }
        }
    }
}

TEST_F(UpgradeSession, PlainAndMultiChannelThroughTheExtendedStartOnEnvelopedSession)
{
    const std::string plain = Write("plain.img", Pattern(10000, 9));
    ASSERT_TRUE(Login("srp", plain));
    KVNetRemoteUpgradeParamEx p{};
    p.path = plain.c_str();
    p.type = 7;
    p.pauseMs = 20;
    EXPECT_EQ(RunUpgrade(p), (std::vector<unsigned>{391}));
    auto verdicts = kvsess::Events(sim, "upgrade-check");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(JsonInt(verdicts[0], "faults"), 0);
    EXPECT_EQ(JsonInt(verdicts[0], "received"), 10000);
    EXPECT_EQ(kvsess::Events(sim, "srp-hello").size(), 2u);

    // Multi-channel on the same enveloped session: channels 0 and 33.
    sim.Stop();
    KVNetConnectionStop(&session_);
    const std::string multi = Write("multi.img", Pattern(9000, 4));
    ASSERT_TRUE(Login("srp", multi));
    UpgradeRecorder r2;
    KVNetRemoteUpgradeParamEx m{};
    m.path = multi.c_str();
    m.type = 4;
    m.mask = 1;
    m.masks[1] = 2;
    m.callback = &UpgradeRecorder::Callback;
    m.user = &r2;
    DevRemoteUpgrade* up = KVNetStartRemoteUpgradeEx(session_, &m);
    ASSERT_NE(up, nullptr);
    ASSERT_TRUE(r2.final.Wait(20000));
    KVNetStopRemoteUpgrade(&up);
    EXPECT_EQ(r2.Milestones(), (std::vector<unsigned>{764, 391}));
    EXPECT_EQ(r2.records.size(), 4u);
    verdicts = kvsess::Events(sim, "upgrade-check");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(JsonInt(verdicts[0], "faults"), 0);
}

TEST_F(UpgradeSession, WrongSessionIdIsRefusedByTheDevice)
{
    const std::string path = Write("fw.bin", BuildPartFile({{500, 0}}));
    ASSERT_TRUE(Login("plain", path, {"upgrade-session=77"}));
    KVNetRemoteUpgradeParamEx p{};
    p.path = path.c_str();
    p.type = 6;
    EXPECT_EQ(RunUpgrade(p), (std::vector<unsigned>{390}));
}

TEST_F(UpgradeSession, InterfaceArgumentsAndSessionNotLoggedIn)
{
    const std::string path = Write("fw.bin", BuildPartFile({{500, 0}}));
    KVNetRemoteUpgradeParam p{};
    p.path = path.c_str();
    p.type = 3;
    KVNetRemoteUpgradeParamEx px{};
    EXPECT_EQ(KVNetStartRemoteUpgrade(nullptr, &p), nullptr);
    EXPECT_EQ(KVNetStartRemoteUpgradeEx(nullptr, &px), nullptr);
    KVNetStopRemoteUpgrade(nullptr);
    DevRemoteUpgrade* none = nullptr;
    KVNetStopRemoteUpgrade(&none);

    // A session to a port where nothing listens never logs in: 390, no connection.
    ASSERT_TRUE(sim.Start({}));
    session_ = kvsess::StartSession(srec, kvsess::DeadPort(), "admin", "admin123", true);
    ASSERT_NE(session_, nullptr);
    EXPECT_EQ(KVNetStartRemoteUpgrade(session_, nullptr), nullptr);
    KVNetRemoteUpgradeParam nopath = p;
    nopath.path = nullptr;
    EXPECT_EQ(KVNetStartRemoteUpgrade(session_, &nopath), nullptr);
    p.callback = &UpgradeRecorder::Callback;
    p.user = &rec;
    DevRemoteUpgrade* up = KVNetStartRemoteUpgrade(session_, &p);
    ASSERT_NE(up, nullptr);
    ASSERT_TRUE(rec.final.Wait(5000));
    KVNetStopRemoteUpgrade(&up);
    EXPECT_EQ(rec.Codes(), (std::vector<unsigned>{390}));
}
