// Two-way audio against the simulated device: what the device reassembles, what it
// echoes, the opening per mode, busy devices, the pass-through heartbeat and the lifetime
// rules shared with live preview.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "media_fixture.h"

using namespace kvmediatest;
using std::chrono::milliseconds;

namespace {

std::vector<uint8_t> AudioFrame(uint32_t no, uint32_t payload)
{
    std::vector<uint8_t> f(40 + payload);
    KVFrameHead h{};
    h.Magic = KV_FRAME_MAGIC;
    h.FrameType = KV_FRAME_A;
    h.EncodeType = KV_ENCODE_G711A;
    h.FrameNo = no;
    h.FrameSize = payload;
    h.Format.Audio.SampleRate = 8000;
    h.Format.Audio.Channels = 1;
    h.Format.Audio.Bits = 16;
    h.Format.Audio.BlockSize = 324;
    memcpy(f.data(), &h, 40);
    for (uint32_t i = 0; i < payload; ++i)
        f[40 + i] = static_cast<uint8_t>(i * 13 + no);
    return f;
}

KVNetDualtalkParam TalkParam(FrameRecorder& r)
{
    KVNetDualtalkParam p{};
    p.dataCallback = &FrameRecorder::OnFrame;
    p.msgCallback = &FrameRecorder::OnMsg;
    p.pUser = &r;
    return p;
}

// Queues a frame once the talk is active (the opening answer may still be on its way).
bool SendWhenActive(DevDualtalk* t, const std::vector<uint8_t>& f)
{
    return kvtest::WaitFor([&] { return KVNetSendDualtalkData(t, reinterpret_cast<const KVFrameHead*>(f.data())) == 1; },
                           milliseconds(8000));
}

} // namespace

TEST(Talk, DeviceReassemblesEveryFrameAndEchoesAudio)
{
    MediaTimingsScope mt(FastMedia());
    for (bool junk : {false, true}) {
        SCOPED_TRACE(junk);
        kvtest::SimProcess sim;
        std::vector<std::string> sc = {"device-kind=plain"};
        if (junk)
            sc.push_back("talk-junk");
        ASSERT_TRUE(StartSim(sim, sc));
        Session ss;
        ASSERT_TRUE(ss.Start(sim.tcp_port()));
        FrameRecorder r;
        KVNetDualtalkParam p = TalkParam(r);
        DevDualtalk* t = KVNetStartDualtalk(ss.s, &p);
        ASSERT_NE(t, nullptr);
        std::vector<std::vector<uint8_t>> sent;
        const uint32_t sizes[] = {324, 1360, 1361, 4000, 10, 2760};
        uint32_t no = 1;
        for (uint32_t n : sizes)
            sent.push_back(AudioFrame(no++, n));
        ASSERT_TRUE(SendWhenActive(t, sent[0]));
        for (size_t i = 1; i < sent.size(); ++i)
            ASSERT_EQ(KVNetSendDualtalkData(t, reinterpret_cast<const KVFrameHead*>(sent[i].data())), 1);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Frames() >= sent.size(); }, milliseconds(8000)));
        KVNetStopDualtalk(&t);
        EXPECT_EQ(t, nullptr);
        auto got = kvsess::Events(sim, "talk-frame");
        ASSERT_EQ(got.size(), sent.size());
        std::lock_guard<std::mutex> l(r.mu);
        for (size_t i = 0; i < sent.size(); ++i) {
            const std::string sha = Sha256Hex(sent[i].data(), sent[i].size());
            EXPECT_EQ(kvtest::JsonStr(got[i], "sha256"), sha) << i;
            // 1400-byte slices, the last one shorter.
            std::string slices;
            for (size_t left = sent[i].size(); left; left -= std::min<size_t>(left, 1400))
                slices += (slices.empty() ? "" : ",") + std::to_string(std::min<size_t>(left, 1400));
            std::string line = got[i];
            line.erase(std::remove(line.begin(), line.end(), ' '), line.end());
            EXPECT_NE(line.find("\"pack_sizes\":[" + slices + "]"), std::string::npos) << line;
            EXPECT_EQ(r.sha[i], sha) << "echo " << i;
        }
        EXPECT_EQ(kvsess::CodesText(r.codes), "350");
    }
}

TEST(Talk, OpeningPerModeCarriesTheSessionAndParameter)
{
    MediaTimingsScope mt(FastMedia());
    const struct {
        uint8_t pass, passRecv, alt;
        unsigned type;
    } cases[] = {{0, 0, 0, 141}, {1, 0, 0, 142}, {1, 1, 0, 143}, {1, 0, 1, 145}, {0, 0, 1, 145}};
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=srp"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    for (auto& c : cases) {
        SCOPED_TRACE(c.type);
        FrameRecorder r;
        KVNetDualtalkParam p = TalkParam(r);
        p.bPassthrough = c.pass;
        p.bPassthroughRecv = c.passRecv;
        p.bAlternative = c.alt;
        p.nParam = 0xABC;
        const size_t before = kvsess::Events(sim, "talk-open").size();
        DevDualtalk* t = KVNetStartDualtalk(ss.s, &p);
        ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(sim, "talk-open").size() > before; }, milliseconds(8000)));
        KVNetStopDualtalk(&t);
        auto ev = kvsess::Events(sim, "talk-open").back();
        EXPECT_EQ(kvtest::JsonField(ev, "type"), std::to_string(c.type));
        EXPECT_EQ(kvtest::JsonField(ev, "session_ok"), "true");
        EXPECT_EQ(kvtest::JsonField(ev, "envelope"), "true"); // the key exchange was repeated
        EXPECT_EQ(kvtest::JsonField(ev, "param"), c.type == 141 ? "0" : std::to_string(0xABC));
    }
}

TEST(Talk, BusyDeviceReportsBusyThenClosed)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "talk-busy"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetDualtalkParam p = TalkParam(r);
    DevDualtalk* t = KVNetStartDualtalk(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Has(350); }, milliseconds(8000)));
    auto f = AudioFrame(1, 100);
    EXPECT_EQ(KVNetSendDualtalkData(t, reinterpret_cast<const KVFrameHead*>(f.data())), 0);
    KVNetStopDualtalk(&t);
    EXPECT_EQ(kvsess::CodesText(r.Codes()), kvsess::CodesText({KVNetEDualtalkBusy, 350}));
}

TEST(Talk, FramesBeforeTheAnswerAreDiscardedOversizeRefused)
{
    kvmedia::MediaTimings mtim = FastMedia();
    mtim.recvScale = 1500;
    MediaTimingsScope mt(mtim);
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-silent"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetDualtalkParam p = TalkParam(r);
    DevDualtalk* t = KVNetStartDualtalk(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "talk-open").empty(); }, milliseconds(8000)));
    auto f = AudioFrame(1, 100);
    EXPECT_EQ(KVNetSendDualtalkData(t, reinterpret_cast<const KVFrameHead*>(f.data())), 0);
    KVFrameHead huge{};
    huge.FrameSize = (16u << 20) + 1;
    EXPECT_EQ(KVNetSendDualtalkData(t, &huge), 0);
    EXPECT_EQ(KVNetSendDualtalkData(t, nullptr), 0);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Has(350); }, milliseconds(8000)));
    KVNetStopDualtalk(&t);
    EXPECT_EQ(kvsess::CodesText(r.Codes()), "350");
    EXPECT_TRUE(kvsess::Events(sim, "talk-frame").empty());
}

TEST(Talk, ConnectionStopEndsTalkAndPreviewWithoutLaterCallbacks)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-loop", "media-fps=100", "talk-heartbeat=50"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder rt, rp;
    KVNetDualtalkParam tp = TalkParam(rt);
    DevDualtalk* t = KVNetStartDualtalk(ss.s, &tp);
    KVNetPreviewParam pp = PreviewParam(rp, 1, 1);
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &pp);
    auto f = AudioFrame(1, 500);
    ASSERT_TRUE(SendWhenActive(t, f));
    ASSERT_TRUE(kvtest::WaitFor([&] { return rt.Frames() >= 1 && rp.Frames() >= 3; }, milliseconds(8000)));
    KVNetConnectionStop(&ss.s);
    rt.stopped = true;
    rp.stopped = true;
    // Starting on a stopped session is impossible (the handle is null now); the media
    // Stops only free.
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(KVNetSendDualtalkData(t, reinterpret_cast<const KVFrameHead*>(f.data())), 0);
    KVNetStopDualtalk(&t);
    KVNetStopPreview(nullptr, &h);
    EXPECT_EQ(rt.afterStop.load() + rp.afterStop.load(), 0);
}

TEST(Talk, QueueHoldsAtMost256Frames)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "talk-stall"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetDualtalkParam p = TalkParam(r);
    DevDualtalk* t = KVNetStartDualtalk(ss.s, &p);
    auto f = AudioFrame(1, 64 * 1024);
    ASSERT_TRUE(SendWhenActive(t, f));
    // The device reads nothing: once the socket buffers are full the send thread blocks
    // and the queue fills up to its cap.
    int accepted = 1, refused = 0;
    for (int i = 0; i < 1000; ++i) {
        if (KVNetSendDualtalkData(t, reinterpret_cast<const KVFrameHead*>(f.data())))
            ++accepted;
        else
            ++refused;
    }
    std::printf("queued %d of %d frames of 64 KiB\n", accepted, accepted + refused);
    const auto t0 = std::chrono::steady_clock::now();
    KVNetStopDualtalk(&t);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(2000));
    EXPECT_GT(refused, 0);
    // The cap plus what the socket buffers took before the send blocked (64 KiB frames).
    EXPECT_LE(accepted, 256 + 200) << accepted;
}

TEST(TalkSlow, PassThroughHeartbeatEveryFiveSeconds)
{
    kvmedia::MediaTimings mtim = FastMedia();
    mtim.talkHeartbeatMs = 5000;
    MediaTimingsScope mt(mtim);
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetDualtalkParam p = TalkParam(r);
    p.bPassthrough = 1;
    DevDualtalk* t = KVNetStartDualtalk(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(sim, "talk-heartbeat").size() >= 3; }, milliseconds(20000)));
    KVNetStopDualtalk(&t);
    auto beats = kvsess::Events(sim, "talk-heartbeat");
    for (size_t i = 1; i < beats.size(); ++i) {
        const double gap = kvtest::JsonDouble(beats[i], "mono") - kvtest::JsonDouble(beats[i - 1], "mono");
        EXPECT_NEAR(gap, 5.0, 0.5) << i;
    }
}
