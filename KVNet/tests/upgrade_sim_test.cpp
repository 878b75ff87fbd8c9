// The upgrade task against the simulated device, on loopback. The upgrade is bound to
// the device directly here (session id, security bits and logged-in state given by the
// test); the tests through a real login live in upgrade_session_test.cpp.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <algorithm>
#include <unistd.h>

#include "test_kit.h"
#include "KVNet.h"
#include "upgrade_fw_util.h"
#include "upgrade_sim_util.h"

using namespace kvtest;
using Clock = std::chrono::steady_clock;

namespace {

class DirectSession : public kvsession::Link {
public:
    DirectSession(std::string host, uint16_t port, uint32_t sid = 0x1234, uint8_t sec = 0)
        : host_(std::move(host)), port_(port), sid_(sid), sec_(sec)
    {
    }
    bool IsLoggedIn() override { return loggedIn; }
    uint32_t SessionId() override { return sid_; }
    uint8_t HeadSecurityBits() override { return sec_; }
    bool PeerAddress(std::string* h, uint16_t* p) override
    {
        *h = host_;
        *p = port_;
        return true;
    }
    bool loggedIn = true;

private:
    std::string host_;
    uint16_t port_;
    uint32_t sid_;
    uint8_t sec_;
};

struct Upgrade {
    std::vector<uint8_t> file;
    uint32_t type = 3;
    uint32_t mask = 0;
    uint32_t masks[8] = {};
    uint32_t pauseMs = 0;
    uint8_t security = 0;
    bool loggedIn = true;
    std::string name = "fw_image.bin";
};

class UpgradeSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = TempPath("fwdir");
        mkdir(path_.c_str(), 0700);
    }
    void TearDown() override
    {
        for (auto& f : files_)
            unlink(f.c_str());
        rmdir(path_.c_str());
    }

    // Starts the simulator with the upgrade's file and the given scenarios.
    bool StartSim(const Upgrade& u, std::vector<std::string> scenarios)
    {
        const std::string file = path_ + "/" + u.name;
        if (!WriteFileBytes(file, u.file))
            return false;
        files_.push_back(file);
        std::vector<std::string> args{"--scenario", "upgrade-file=" + file};
        for (auto& s : scenarios) {
            args.push_back("--scenario");
            args.push_back(s);
        }
        return sim.Start(args);
    }

    DevRemoteUpgrade* Begin(UpgradeRecorder& r, const Upgrade& u, uint16_t port = 0)
    {
        KVUpgradeRequest req;
        req.path = path_ + "/" + u.name;
        req.callback = &UpgradeRecorder::Callback;
        req.user = &r;
        req.type = u.type;
        req.mask = u.mask;
        memcpy(req.masks, u.masks, sizeof req.masks);
        req.pauseMs = u.pauseMs;
        auto s = std::make_unique<DirectSession>("127.0.0.1", port ? port : sim.tcp_port(), 0x1234, u.security);
        s->loggedIn = u.loggedIn;
        auto* up = new DevRemoteUpgrade(std::move(s), req);
        EXPECT_TRUE(up->Start());
        return up;
    }

    // Runs an upgrade against a fresh simulator to its final code and stops it.
    std::vector<unsigned> RunWith(UpgradeRecorder& r, const Upgrade& u, std::vector<std::string> scenarios)
    {
        sim.Stop();
        EXPECT_TRUE(StartSim(u, scenarios));
        DevRemoteUpgrade* up = Begin(r, u);
        EXPECT_TRUE(r.final.Wait(15000)) << "no final code";
        DevRemoteUpgrade::StopAndFree(&up);
        EXPECT_EQ(up, nullptr);
        return r.Milestones();
    }
    std::vector<unsigned> Run(const Upgrade& u, std::vector<std::string> scenarios)
    {
        return RunWith(rec, u, scenarios);
    }

    std::vector<SimMsg> Msgs() { return SimMessages(sim); }
    std::vector<SimMsg> Data()
    {
        std::vector<SimMsg> d;
        for (auto& m : Msgs())
            if (m.subtype == 761)
                d.push_back(m);
        return d;
    }

    ShortUpgradeTimings timings{3000};
    SimProcess sim;
    UpgradeRecorder rec;
    std::string path_;
    std::vector<std::string> files_;
};

Upgrade PartUpgrade(uint32_t type = 3)
{
    Upgrade u;
    u.type = type;
    u.file = BuildPartFile({{5000, 0}, {3000, 1}, {9000, 2}});
    return u;
}

Upgrade PlainFile(uint32_t type, size_t size)
{
    Upgrade u;
    u.type = type;
    u.file = Pattern(size, type);
    return u;
}

} // namespace

TEST_F(UpgradeSim, PartFileSucceedsThroughFlashForTypes3And6)
{
    for (uint32_t type : {3u, 6u}) {
        SCOPED_TRACE(type);
        UpgradeRecorder r;
        Upgrade u = PartUpgrade(type);
        EXPECT_EQ(RunWith(r, u, {}), (std::vector<unsigned>{764, 391}));
        // The sending percentage ends at 100, then the device's flash progress.
        auto pct = r.Percents();
        ASSERT_GE(pct.size(), 4u);
        EXPECT_EQ(std::vector<uintptr_t>(pct.end() - 4, pct.end()), (std::vector<uintptr_t>{100, 30, 60, 100}));

        const uint16_t msgType = type == 3 ? 5139 : 729;
        auto msgs = Msgs();
        ASSERT_FALSE(msgs.empty());
        // Start request: session id, the file's head and table, the file name field.
        EXPECT_EQ(msgs[0].type, msgType);
        EXPECT_EQ(msgs[0].subtype, 0u);
        EXPECT_EQ(msgs[0].seq, 0u);
        EXPECT_EQ(msgs[0].size, 536u + 3 * 92);
        EXPECT_EQ(msgs[0].body.substr(0, 8), "34120000");
        EXPECT_EQ(msgs[0].body.substr(8, 2 * (276 + 3 * 92)), Hex(u.file.data(), 276 + 3 * 92));
        EXPECT_EQ(msgs[0].body.substr(2 * (280 + 3 * 92), 2 * 13), Hex("fw_image.bin", 13));
        // Data: 17000 bytes in pieces of at most 4096, Seq 1, 2, ...; then 763 and 762.
        uint32_t seq = 0, total = 0;
        size_t i = 1;
        for (; i < msgs.size() && msgs[i].subtype == 761; ++i) {
            EXPECT_EQ(msgs[i].seq, ++seq);
            EXPECT_LE(msgs[i].size, 4096u);
            EXPECT_EQ(msgs[i].flags, 0u);
            total += msgs[i].size;
        }
        EXPECT_EQ(total, 17000u);
        ASSERT_EQ(msgs.size(), i + 2);
        EXPECT_EQ(msgs[i].subtype, 763u);
        EXPECT_EQ(msgs[i].seq, seq + 1);
        EXPECT_EQ(msgs[i + 1].subtype, 762u);
        EXPECT_EQ(msgs[i + 1].seq, seq + 2);
        // (The simulator checked the bytes and the CRC: a fault would have given 390.)
    }
}

TEST_F(UpgradeSim, ScrambledConnectionSendsDataRawAndClosingMessagesScrambled)
{
    Upgrade u = PartUpgrade(3);
    u.security = 2;
    EXPECT_EQ(Run(u, {}), (std::vector<unsigned>{764, 391}));
    auto msgs = Msgs();
    ASSERT_GE(msgs.size(), 3u);
    EXPECT_EQ(msgs.front().flags & 3, 2u);
    EXPECT_EQ(msgs[msgs.size() - 1].flags & 3, 2u); // 762
    EXPECT_EQ(msgs[msgs.size() - 2].flags & 3, 2u); // 763
    for (auto& d : Data())
        EXPECT_EQ(d.flags, 0u);
}

TEST_F(UpgradeSim, PartMaskSelectsPartsAndSimulatorChecksBytesAndCrc)
{
    Upgrade u = PartUpgrade(3);
    // Parts 0 and 2 only (bits 0 and 2); the device checks the bytes against the file.
    EXPECT_EQ(Run(u, {"upgrade-mask=5"}), (std::vector<unsigned>{764, 391}));
    uint32_t total = 0;
    for (auto& d : Data())
        total += d.size;
    EXPECT_EQ(total, 5000u + 9000u);
    // The CRC the client sent is the CRC of the sent bytes as zlib gives it.
    auto msgs = Msgs();
    std::vector<uint8_t> sent(u.file.begin() + 276 + 3 * 92, u.file.begin() + 276 + 3 * 92 + 5000);
    sent.insert(sent.end(), u.file.end() - 9000, u.file.end());
    const uint32_t crc = BitwiseCrc(0, sent.data(), sent.size());
    EXPECT_EQ(msgs.back().body, Hex(&crc, 4));
}

TEST_F(UpgradeSim, DeviceThatWantsNothingGetsNoDataAndNoPercent)
{
    Upgrade u = PartUpgrade(6);
    EXPECT_EQ(Run(u, {"upgrade-want=0", "upgrade-flash=", "upgrade-check-body="}), (std::vector<unsigned>{391}));
    EXPECT_TRUE(Data().empty());
    EXPECT_TRUE(rec.Percents().empty());
    auto msgs = Msgs();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[1].subtype, 763u);
    EXPECT_EQ(msgs[1].seq, 1u);
    EXPECT_EQ(msgs[2].body, "00000000");
}

TEST_F(UpgradeSim, StartRefusalsOfPartAndMultiChannelTypes)
{
    const std::pair<int, unsigned> table[] = {{60, 396}, {61, 395}, {63, 397}, {64, 398}, {67, 399}, {1, 390}};
    for (uint32_t type : {3u, 6u, 4u}) {
        for (auto [ack, code] : table) {
            SCOPED_TRACE(std::to_string(type) + "/" + std::to_string(ack));
            UpgradeRecorder r;
            Upgrade u = type == 4 ? PlainFile(4, 3000) : PartUpgrade(type);
            u.mask = 1;
            RunWith(r, u, {"upgrade-start-ack=" + std::to_string(ack)});
            EXPECT_EQ(r.Codes(), (std::vector<unsigned>{code}));
            EXPECT_TRUE(Data().empty());
        }
    }
}

TEST_F(UpgradeSim, CheckEndAndFlashOutcomes)
{
    struct Case {
        std::vector<std::string> scenarios;
        std::vector<unsigned> want;
        unsigned closeRecvMs;
    };
    const Case cases[] = {
        {{"upgrade-check-ack=5"}, {390}, 3000},
        {{"upgrade-check-body="}, {391}, 3000},
        {{"upgrade-check-body=00"}, {390}, 3000},
        {{"upgrade-flash-end=765"}, {764, 391}, 3000},
        {{"upgrade-flash-end=bad"}, {764, 390}, 3000},
        {{"upgrade-flash-end=close"}, {764, 391}, 3000},
        {{"upgrade-flash-end=silent"}, {764, 391}, 300}, // the flash wait's silence
        {{"upgrade-stall=check"}, {390}, 300},           // no verdict at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenarios[0]);
        UpgradeRecorder r;
        kvnet_upgrade_timings().closeRecvMs = c.closeRecvMs;
        EXPECT_EQ(RunWith(r, PartUpgrade(3), c.scenarios), c.want);
    }
}

TEST_F(UpgradeSim, PausedPiecesOf4096And4096And1808)
{
    Upgrade u = PlainFile(5, 10000);
    u.pauseMs = 50;
    u.mask = 1;
    const auto t0 = Clock::now();
    EXPECT_EQ(Run(u, {}), (std::vector<unsigned>{764, 391}));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(150 - kvtest::kClockSlackMs)); // a pause after each piece
    auto d = Data();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].size, 4096u);
    EXPECT_EQ(d[1].size, 4096u);
    EXPECT_EQ(d[2].size, 1808u);
    // (The simulator's log times are when it got round to each piece, too loose to
    // check each pause; the client's elapsed time above covers them.)
    // No 394 before the end: all within the first 300 ms, then the 100.
    EXPECT_EQ(rec.Percents(), (std::vector<uintptr_t>{100}));
    // Multi-channel: no 763 before the 762.
    auto msgs = Msgs();
    EXPECT_EQ(msgs.back().subtype, 762u);
    EXPECT_EQ(msgs[msgs.size() - 2].subtype, 761u);
}

TEST_F(UpgradeSim, MultiChannelProgressRecordsEndWithFinalCode)
{
    Upgrade u = PlainFile(4, 20000);
    u.mask = (1u << 1) | (1u << 3);
    u.masks[1] = 1; // channel 32
    EXPECT_EQ(Run(u, {}), (std::vector<unsigned>{764, 391}));
    auto codes = rec.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 402u), 6);
    ASSERT_EQ(rec.records.size(), 6u);
    auto chan = [&](size_t i) {
        uint32_t c;
        memcpy(&c, rec.records[i].data() + 4, 4);
        return c;
    };
    EXPECT_EQ(chan(0), 1u);
    EXPECT_EQ(chan(2), 32u);
    EXPECT_EQ(rec.records[0][8], 0); // running
    EXPECT_EQ(rec.records[0][9], 50);
    EXPECT_EQ(chan(5), 32u);
    EXPECT_EQ(rec.records[5][8], 1); // finished
    // The start request carried the masks.
    auto msgs = Msgs();
    EXPECT_EQ(msgs[0].type, 5140u);
    EXPECT_EQ(msgs[0].size, 304u);
    EXPECT_EQ(msgs[0].body.substr(16, 8), "0a000000");
    EXPECT_EQ(msgs[0].body.substr(2 * 276, 8), "01000000");
}

TEST_F(UpgradeSim, MultiChannelMalformedOrUnfinishedProgressEndsWith390)
{
    struct Case {
        std::vector<std::string> scenarios;
        size_t records;
    };
    const Case cases[] = {
        {{"upgrade-record-len=0"}, 0},
        {{"upgrade-record-len=4000"}, 0},
        {{"upgrade-channels=1:0:10,1:0:20"}, 2},          // never finishes; device closes
        {{"upgrade-channels=1:1:100;", "upgrade-channels-end=silent"}, 1}, // channel 2 silent
        {{"upgrade-channels=77777:1:100,1:0:5"}, 2},      // an unknown channel is bounded
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenarios[0]);
        UpgradeRecorder r;
        kvnet_upgrade_timings().closeRecvMs = 300;
        Upgrade u = PlainFile(5, 100);
        u.mask = 0x6; // channels 1 and 2
        EXPECT_EQ(RunWith(r, u, c.scenarios), (std::vector<unsigned>{764, 390}));
        EXPECT_EQ(r.records.size(), c.records);
    }
}

TEST_F(UpgradeSim, PlainFileOutcomes)
{
    struct Case {
        std::vector<std::string> scenarios;
        std::vector<unsigned> want;
        bool data;
    };
    const Case cases[] = {
        {{}, {391}, true},
        {{"upgrade-plain-ack=1"}, {390}, true},
        {{"upgrade-plain-ack=2"}, {393}, true},
        {{"upgrade-plain-ack=60"}, {396}, true},
        {{"upgrade-plain-ack=67"}, {399}, true},
        {{"upgrade-plain-ack=9"}, {390}, true},
        {{"upgrade-start-ack=1"}, {390}, false},
        {{"upgrade-start-ack=2"}, {393}, false},
        {{"upgrade-start-ack=60"}, {396}, false},
        {{"upgrade-start-ack=67"}, {399}, false},
        {{"upgrade-start-ack=8"}, {390}, false},
        {{"upgrade-stall=plain"}, {390}, true}, // no final message
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenarios.empty() ? "ok" : c.scenarios[0]);
        UpgradeRecorder r;
        kvnet_upgrade_timings().plainRecvMs = 500;
        Upgrade u = PlainFile(7, 9000);
        u.name = "plain-name.img";
        EXPECT_EQ(RunWith(r, u, c.scenarios), c.want);
        EXPECT_EQ(r.Percents(), c.data ? std::vector<uintptr_t>{100} : std::vector<uintptr_t>{});
        auto msgs = Msgs();
        ASSERT_FALSE(msgs.empty());
        EXPECT_EQ(msgs[0].type, 730u);
        EXPECT_EQ(msgs[0].size, 328u);
        EXPECT_EQ(msgs[0].body.substr(80, 28), Hex("plain-name.img", 14));
        EXPECT_EQ(msgs[0].body.substr(2 * 296, 8), "28230000"); // 9000
        EXPECT_EQ(msgs.size(), 1u);                             // the data has no heads
    }
}

TEST_F(UpgradeSim, BadFileGives393WithoutConnection)
{
    const std::vector<uint8_t> badCheck = BuildPartFile({{100, 0}}, false);
    auto badTable = BuildPartFile({{100, 0}});
    PutU32(badTable, 276 + 8, 0xFFFFFF00u);
    FixCheck(badTable);
    struct Case {
        const char* what;
        uint32_t type;
        std::vector<uint8_t> file;
        unsigned code;
    };
    const Case cases[] = {
        {"check value", 3, badCheck, 393},
        {"part outside", 6, badTable, 393},
        {"short head", 3, std::vector<uint8_t>(100, 1), 393},
        {"empty plain", 7, {}, 393},
        {"unknown type", 9, Pattern(100, 1), 393},
    };
    ASSERT_TRUE(sim.Start({}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeRecorder r;
        const std::string file = path_ + "/bad.bin";
        ASSERT_TRUE(WriteFileBytes(file, c.file));
        files_.push_back(file);
        KVUpgradeRequest req;
        req.path = file;
        req.callback = &UpgradeRecorder::Callback;
        req.user = &r;
        req.type = c.type;
        auto* up = new DevRemoteUpgrade(std::make_unique<DirectSession>("127.0.0.1", sim.tcp_port()), req);
        ASSERT_TRUE(up->Start());
        ASSERT_TRUE(r.final.Wait(5000));
        DevRemoteUpgrade::StopAndFree(&up);
        EXPECT_EQ(r.Codes(), (std::vector<unsigned>{c.code}));
    }
    // A file that cannot be opened.
    UpgradeRecorder r;
    KVUpgradeRequest req;
    req.path = path_ + "/missing.bin";
    req.callback = &UpgradeRecorder::Callback;
    req.user = &r;
    req.type = 7;
    auto* up = new DevRemoteUpgrade(std::make_unique<DirectSession>("127.0.0.1", sim.tcp_port()), req);
    ASSERT_TRUE(up->Start());
    ASSERT_TRUE(r.final.Wait(5000));
    DevRemoteUpgrade::StopAndFree(&up);
    EXPECT_EQ(r.Codes(), (std::vector<unsigned>{392}));
    // Nothing reached the device.
    usleep(100000);
    EXPECT_TRUE(sim.LogLines().empty());
}

TEST_F(UpgradeSim, LoggedOutSessionGives390WithoutConnection)
{
    Upgrade u = PartUpgrade(3);
    u.loggedIn = false;
    EXPECT_EQ(Run(u, {}), (std::vector<unsigned>{390}));
    usleep(100000);
    EXPECT_TRUE(sim.LogLines().empty());
}

TEST_F(UpgradeSim, ResetMidDataGives390Then392)
{
    for (uint32_t type : {3u, 6u, 5u, 7u}) {
        SCOPED_TRACE(type);
        sim.Stop();
        UpgradeRecorder r;
        Upgrade u = type == 3 || type == 6 ? PartUpgrade(type) : PlainFile(type, 256 * 1024);
        if (type == 3 || type == 6)
            u.file = BuildPartFile({{256 * 1024, 0}});
        u.pauseMs = 2;
        u.mask = 1;
        ASSERT_TRUE(StartSim(u, {"upgrade-reset-after=20000"}));
        DevRemoteUpgrade* up = Begin(r, u);
        // A failed data send is the one case of two final codes: 390, then 392.
        EXPECT_TRUE(WaitFor([&] { return r.Milestones().size() >= 2; }, std::chrono::seconds(10)));
        DevRemoteUpgrade::StopAndFree(&up);
        EXPECT_EQ(r.Milestones(), (std::vector<unsigned>{390, 392}));
    }
}

TEST_F(UpgradeSim, FileNameFieldTable)
{
    // The name field is the path after its last '/' or '\', NUL-padded to 256 bytes.
    const std::string longName(255, 'L'); // the longest a file name can be here
    struct Case {
        std::string file;   // name of the file in the test's folder
        std::string field;  // expected start of the field
    };
    const Case cases[] = {
        {"fw.bin", "fw.bin"},
        {"win\\dir\\fw2.bin", "fw2.bin"},
        {longName, longName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 20));
        UpgradeRecorder r;
        Upgrade u = PlainFile(7, 100);
        u.name = c.file;
        EXPECT_EQ(RunWith(r, u, {}), (std::vector<unsigned>{391}));
        auto msgs = Msgs();
        ASSERT_FALSE(msgs.empty());
        std::string field = msgs[0].body.substr(80, 512);
        std::string want = Hex(c.field.data(), c.field.size());
        want.resize(512, '0');
        EXPECT_EQ(field, want);
    }
}

TEST_F(UpgradeSim, LogTellsFlashSilenceFromTheDeviceClose)
{
    const std::string log = TempPath("upg.log");
    KVNetLogParam p{};
    snprintf(p.szLogPath, sizeof p.szLogPath, "%s", log.c_str());
    p.gEnableRemoteUpgradeStatus = 1;
    KVNetInitLog(&p);
    kvnet_upgrade_timings().closeRecvMs = 300;
    UpgradeRecorder a, b;
    EXPECT_EQ(RunWith(a, PartUpgrade(3), {"upgrade-flash-end=silent"}), (std::vector<unsigned>{764, 391}));
    EXPECT_EQ(RunWith(b, PartUpgrade(3), {"upgrade-flash-end=close"}), (std::vector<unsigned>{764, 391}));
    KVNetRelease();
    const std::string text = ReadFile(log);
    unlink(log.c_str());
    const size_t silent = text.find("flash: no message from the device within 300 ms");
    const size_t closed = text.find("flash: the device closed the connection");
    ASSERT_NE(silent, std::string::npos) << text;
    ASSERT_NE(closed, std::string::npos) << text;
    EXPECT_LT(silent, closed);
    EXPECT_NE(text.find("KVNetMsgRemoteUpgradeOK param=0"), std::string::npos);
    EXPECT_NE(text.find("Rsp want 17000 data"), std::string::npos);
}

namespace {

// A listener whose backlog is full: a connect to it stays pending.
struct FullListener : kvtest::LoopbackListener {
    FullListener() : kvtest::LoopbackListener(0) { EXPECT_TRUE(FillBacklog()); }
};

} // namespace

TEST_F(UpgradeSim, StopInEachPhaseIsPromptAndSilent)
{
    kvnet_upgrade_timings() = KVUpgradeTimings{}; // the protocol's long limits
    struct Case {
        const char* phase;
        uint32_t type;
        std::vector<std::string> scenarios;
        uint32_t pauseMs;
        size_t size;
        unsigned waitForCode; // stop once this code arrived (0: after a delay)
    };
    const Case cases[] = {
        {"connect", 3, {}, 0, 0, 0},
        {"start", 3, {"upgrade-stall=start"}, 0, 0, 0},
        {"data", 3, {"upgrade-stall=data"}, 0, 8 << 20, 0},
        {"pause", 4, {}, 10000, 20000, 0},
        {"check", 6, {"upgrade-stall=check"}, 0, 0, 0},
        {"flash", 3, {"upgrade-flash-end=silent"}, 0, 0, 764},
        {"channels", 5, {"upgrade-channels=1:0:1", "upgrade-channels-end=silent"}, 0, 0, 402},
        {"plain data", 7, {"upgrade-stall=data"}, 0, 8 << 20, 0},
        {"plain verdict", 7, {"upgrade-stall=plain"}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phase);
        sim.Stop();
        UpgradeRecorder r;
        Upgrade u = c.type == 3 || c.type == 6 ? PartUpgrade(c.type) : PlainFile(c.type, 20000);
        if (c.size)
            u.file = c.type == 3 ? BuildPartFile({{c.size, 0}}) : Pattern(c.size, 3);
        u.type = c.type;
        u.pauseMs = c.pauseMs;
        u.mask = 2;
        ASSERT_TRUE(StartSim(u, c.scenarios));
        std::unique_ptr<FullListener> full;
        if (std::string(c.phase) == "connect")
            full.reset(new FullListener);
        KVUpgradeRequest req;
        req.path = path_ + "/" + u.name;
        req.callback = &UpgradeRecorder::Callback;
        req.user = &r;
        req.type = c.type;
        req.mask = u.mask;
        req.pauseMs = u.pauseMs;
        auto* up = new DevRemoteUpgrade(
            std::make_unique<DirectSession>("127.0.0.1", full ? full->port() : sim.tcp_port()), req);
        ASSERT_TRUE(up->Start());
        if (c.waitForCode) {
            ASSERT_TRUE(WaitFor(
                [&] {
                    auto codes = r.Codes();
                    return std::find(codes.begin(), codes.end(), c.waitForCode) != codes.end();
                },
                std::chrono::seconds(10)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        const auto t0 = Clock::now();
        DevRemoteUpgrade::StopAndFree(&up);
        const auto took = Clock::now() - t0;
        r.returned = true;
        EXPECT_LT(took, std::chrono::milliseconds(kvtest::kLoadSlackMs));
        EXPECT_FALSE(r.final.Wait(0)) << "the upgrade ended before the stop";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(r.afterStop.load(), 0);
    }
}

TEST_F(UpgradeSim, StopFromInsideTheCallbackDoesNotDeadlock)
{
    Upgrade u = PartUpgrade(3);
    u.file = BuildPartFile({{2 << 20, 0}});
    u.pauseMs = 1;
    ASSERT_TRUE(StartSim(u, {}));
    kvnet_upgrade_timings().progressMs = 0;
    DevRemoteUpgrade* up = nullptr;
    SyncEvent stopped(true, false);
    SyncEvent assigned(true, false);
    std::atomic<int> after{0};
    rec.hook = [&](unsigned code) {
        if (stopped.Wait(0)) {
            after++;
            return;
        }
        if (code == 394) {
            assigned.Wait(5000);
            DevRemoteUpgrade::StopAndFree(&up); // returns at once on the upgrade's thread
            EXPECT_EQ(up, nullptr);
            stopped.Set();
        }
    };
    up = Begin(rec, u);
    assigned.Set();
    ASSERT_TRUE(stopped.Wait(10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(after.load(), 0);
    // The task freed the upgrade itself (ASan reports a leak or a use after free).
}

// The image is read again from the file for the data: a file replaced after its check
// (here while the device delays its start reply) fails with 392 and no data is sent.
TEST_F(UpgradeSim, FileChangedAfterItsCheckGives392WithoutData)
{
    ASSERT_TRUE(sim.Start({"--scenario", "reply-delay=1500"}));
    const std::string file = path_ + "/changing.bin";
    ASSERT_TRUE(WriteFileBytes(file, Pattern(10000, 3)));
    files_.push_back(file);
    UpgradeRecorder r;
    KVUpgradeRequest req;
    req.path = file;
    req.callback = &UpgradeRecorder::Callback;
    req.user = &r;
    req.type = 7;
    auto* up = new DevRemoteUpgrade(std::make_unique<DirectSession>("127.0.0.1", sim.tcp_port()), req);
    ASSERT_TRUE(up->Start());
    usleep(300000);
    // Same size, other bytes, another modification time.
    ASSERT_TRUE(WriteFileBytes(file, Pattern(10000, 4)));
    const timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    ASSERT_TRUE(r.final.Wait(10000));
    DevRemoteUpgrade::StopAndFree(&up);
    EXPECT_EQ(r.Codes(), (std::vector<unsigned>{392}));
}

// The data are read from the file while they are sent: a file rewritten in place during
// the transfer (same size, other bytes) must not be passed off as a finished upgrade of
// a mix of the two images; the upgrade fails with 392 before its closing messages.
TEST_F(UpgradeSim, FileRewrittenDuringTheTransferGives392)
{
    const std::string file = path_ + "/rewritten.bin";
    const size_t size = 40 * 4096;
    ASSERT_TRUE(WriteFileBytes(file, Pattern(size, 3)));
    files_.push_back(file);
    ASSERT_TRUE(sim.Start({"--scenario", "upgrade-file=" + file}));
    UpgradeRecorder r;
    KVUpgradeRequest req;
    req.path = file;
    req.callback = &UpgradeRecorder::Callback;
    req.user = &r;
    req.type = 5;
    req.mask = 1;
    req.pauseMs = 50; // about 2 s of data: the rewrite falls inside it
    auto* up = new DevRemoteUpgrade(std::make_unique<DirectSession>("127.0.0.1", sim.tcp_port()), req);
    ASSERT_TRUE(up->Start());
    ASSERT_TRUE(WaitFor([&] { return !Data().empty(); }, std::chrono::milliseconds(10000)));
    const std::vector<uint8_t> other = Pattern(size, 4);
    const int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    const timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    const bool ended = r.final.Wait(15000);
    EXPECT_LT(Data().size(), size / 4096) << "data went on after the file changed";
    DevRemoteUpgrade::StopAndFree(&up);
    ASSERT_TRUE(ended);
    const auto codes = r.Codes();
    EXPECT_EQ(codes.back(), 392u);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 391u), 0);
    // No closing message after the data.
    for (const SimMsg& m : Msgs())
        EXPECT_NE(m.subtype, 762u);
}
