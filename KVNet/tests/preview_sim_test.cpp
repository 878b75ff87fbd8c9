// Live preview over TCP against the simulated device: the frames delivered are the
// device's, streams are shared by key, joins and key-frame requests, refusals, the bit-8
// rule, the bit rate, enveloped sessions and the lifetime rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "media_fixture.h"

using namespace kvmediatest;
using std::chrono::milliseconds;

namespace {

// The device's list, less a trailing 'I' frame that may stay held (nothing announced
// its end).
void ExpectSameFrames(const kvtest::SimProcess& sim, FrameRecorder& r)
{
    std::vector<std::string> types;
    auto dev = DeviceFrames(sim, &types);
    ASSERT_FALSE(dev.empty());
    if (types.back() == "I" && r.Frames() + 1 == dev.size())
        dev.pop_back();
    std::lock_guard<std::mutex> l(r.mu);
    EXPECT_EQ(r.sha, dev);
}

struct StreamCase {
    const char* name;
    std::vector<std::string> scenarios;
};

} // namespace

TEST(PreviewTcp, DeliveredFramesAreTheDevicesTable)
{
    MediaTimingsScope mt(FastMedia());
    const StreamCase cases[] = {
        {"plain, 1400 slots", {"device-kind=plain"}},
        {"reversed packs", {"device-kind=plain", "media-reverse"}},
        {"8192 slots with extension", {"device-kind=plain", "media-slot=8192", "media-ext=8"}},
        {"every pack twice", {"device-kind=plain", "media-repeat"}},
        {"audio between video", {"device-kind=plain", "media-audio=3"}},
        {"scrambled session", {"device-kind=scrambled"}},
        {"enveloped session", {"device-kind=srp"}},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim;
        auto sc = c.scenarios;
        sc.push_back("media-frames=40");
        ASSERT_TRUE(StartSim(sim, sc));
        Session ss;
        ASSERT_TRUE(ss.Start(sim.tcp_port()));
        FrameRecorder r;
        KVNetPreviewParam p = PreviewParam(r);
        KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "media-end").empty(); }, milliseconds(10000)));
        const size_t want = DeviceFrames(sim).size();
        kvtest::WaitFor([&] { return r.Frames() >= want; }, milliseconds(3000));
        KVNetStopPreview(ss.s, &h);
        EXPECT_EQ(h, nullptr);
        ExpectSameFrames(sim, r);
        auto codes = r.Codes();
        ASSERT_GE(codes.size(), 3u);
        EXPECT_EQ(codes[0], 201u);
        EXPECT_EQ(codes[1], 202u);
        EXPECT_EQ(codes[2], 209u);
        auto open = kvsess::Events(sim, "media-open");
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(kvtest::JsonField(open[0], "session_ok"), "true");
        EXPECT_EQ(kvtest::JsonField(open[0], "envelope"), c.scenarios[0] == "device-kind=srp" ? "true" : "false");
    }
}

TEST(PreviewTcp, FrameFileOfRealMediaPacedByItsFrameTimes)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::TempDir dir("media");
    const std::string frm = dir.path() + "/h264_alaw.frm";
    const std::string cmd = std::string("/usr/bin/python3 ") + KV_SOURCE_DIR + "/tests/media/make_media.py frames " +
                            frm + " --seconds 2 --size 320x180 >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-file=" + frm, "media-pace", "media-slot=8192"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetPreviewParam p = PreviewParam(r);
    const auto t0 = std::chrono::steady_clock::now();
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "media-end").empty(); }, milliseconds(15000)));
    // Two seconds of media take about two seconds.
    EXPECT_GT(std::chrono::steady_clock::now() - t0, milliseconds(1500));
    const size_t want = DeviceFrames(sim).size();
    kvtest::WaitFor([&] { return r.Frames() + 1 >= want; }, milliseconds(3000));
    KVNetStopPreview(ss.s, &h);
    ExpectSameFrames(sim, r);
    std::vector<std::string> types;
    DeviceFrames(sim, &types);
    EXPECT_NE(std::find(types.begin(), types.end(), "A"), types.end());
}

TEST(PreviewTcp, DamagedStreamsWaitForTheNextKeyFrame)
{
    MediaTimingsScope mt(FastMedia());
    // Frame 0 is 'I'; frames 1-9 'P'; 10 'I'. A lost pack of frame 0 spoils 1-9; a
    // signal pack in frame 3 spoils 3-9; a lost pack of 'P' frame 4 spoils only 4.
    struct {
        const char* name;
        std::string scenario;
        std::vector<int> missing; // device indexes not delivered
    } cases[] = {
        {"key frame pack lost", "media-drop=0:2", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"signal mid-frame", "media-signal=3:3", {3, 4, 5, 6, 7, 8, 9}},
        // Without its first pack the frame's type is unknown: it counts as a key frame.
        {"first pack of a predicted frame lost", "media-drop=4:0", {4, 5, 6, 7, 8, 9}},
        {"every pack twice and reversed", "media-repeat", {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-frames=21", c.scenario}));
        Session ss;
        ASSERT_TRUE(ss.Start(sim.tcp_port()));
        FrameRecorder r;
        KVNetPreviewParam p = PreviewParam(r);
        KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "media-end").empty(); }, milliseconds(10000)));
        auto dev = DeviceFrames(sim);
        std::vector<std::string> want;
        for (int i = 0; i < 20; ++i) // frame 20 is a trailing 'I'
            if (std::find(c.missing.begin(), c.missing.end(), i) == c.missing.end())
                want.push_back(dev[static_cast<size_t>(i)]);
        kvtest::WaitFor([&] { return r.Frames() >= want.size(); }, milliseconds(3000));
        KVNetStopPreview(ss.s, &h);
        std::lock_guard<std::mutex> l(r.mu);
        // The trailing 'I' is handed on when a repeated pack follows it.
        if (r.sha.size() == want.size() + 1 && r.sha.back() == dev[20])
            r.sha.pop_back();
        EXPECT_EQ(r.sha, want);
    }
}

TEST(PreviewTcp, KeyFrameFollowedByAFarVirtualFrameGetsBit8)
{
    MediaTimingsScope mt(FastMedia());
    // 'I' numbered 1, then 'V' numbered 1 + 1 + skip.
    for (int skip : {4, 0}) {
        SCOPED_TRACE(skip);
        const int v = skip ? 5 : 1;
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-frames=12", "media-v=1",
                                   "media-skip=1:" + std::to_string(skip)}));
        Session ss;
        ASSERT_TRUE(ss.Start(sim.tcp_port()));
        FrameRecorder r;
        KVNetPreviewParam p = PreviewParam(r);
        KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Frames() >= 10; }, milliseconds(10000)));
        KVNetStopPreview(ss.s, &h);
        std::lock_guard<std::mutex> l(r.mu);
        ASSERT_EQ(r.types[0], 'I');
        EXPECT_EQ((r.flags[0] & KV_FRAME_FLAG_REF_MARK) != 0, v == 1 ? false : true);
        // Only the flag differs from what the device sent.
        EXPECT_EQ(r.sha[0] == DeviceFrames(sim)[0], v == 1);
    }
}

TEST(PreviewTcp, SharedByKeyJoinerGetsNoticesAndAKeyFrameFirst)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-loop", "media-fps=100", "media-gop=5"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder a, b, c;
    KVNetPreviewParam pa = PreviewParam(a), pb = PreviewParam(b), pc = PreviewParam(c, 1, 1);
    pb.reserved0 = 0x7E;
    KVNetPreviewHandle ha = KVNetStartPreview(ss.s, &pa);
    ASSERT_TRUE(kvtest::WaitFor([&] { return a.Frames() >= 3; }, milliseconds(8000)));
    KVNetPreviewHandle hb = KVNetStartPreview(ss.s, &pb);
    ASSERT_NE(hb, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return b.Frames() >= 3; }, milliseconds(8000)));
    EXPECT_EQ(kvsess::Events(sim, "media-open").size(), 1u);
    {
        auto codes = b.Codes();
        ASSERT_GE(codes.size(), 2u);
        EXPECT_EQ(codes[0], 202u);
        EXPECT_EQ(codes[1], 209u);
        std::lock_guard<std::mutex> l(b.mu);
        EXPECT_EQ(b.types[0], 'I');
    }
    ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "iframe-request").empty(); }, milliseconds(3000)));
    auto req = kvsess::Events(sim, "iframe-request");
    EXPECT_EQ(kvtest::JsonField(req[0], "size"), "8");
    EXPECT_EQ(kvtest::JsonStr(req[0], "body"), "01000000" "0001007e");
    // Differing only in auto-reconnect: a second connection.
    KVNetPreviewHandle hc = KVNetStartPreview(ss.s, &pc);
    ASSERT_TRUE(kvtest::WaitFor([&] { return c.Frames() >= 1; }, milliseconds(8000)));
    EXPECT_EQ(kvsess::Events(sim, "media-open").size(), 2u);
    // The first of two clients leaves: the stream goes on for the other.
    KVNetStopPreview(ss.s, &ha);
    const size_t nb = b.Frames();
    ASSERT_TRUE(kvtest::WaitFor([&] { return b.Frames() >= nb + 5; }, milliseconds(5000)));
    KVNetStopPreview(ss.s, &hb);
    KVNetStopPreview(ss.s, &hc);
    // Force a key frame: 87 with 12 bytes.
    EXPECT_EQ(KVNetForceIFrame(ss.s, 3, 1), 1);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(sim, "iframe-request").size() >= 2; }, milliseconds(3000)));
    auto force = kvsess::Events(sim, "iframe-request").back();
    EXPECT_EQ(kvtest::JsonField(force, "size"), "12");
    EXPECT_EQ(kvtest::JsonStr(force, "body"), "030000000100000000000000");
    EXPECT_EQ(KVNetForceIFrame(nullptr, 3, 1), 0);
}

TEST(PreviewTcp, RefusalsReportTheirCodes)
{
    MediaTimingsScope mt(FastMedia());
    const struct {
        unsigned ack;
        std::vector<unsigned> codes;
    } cases[] = {
        {65, {201, 208, 203}}, {322, {201, 306, 203}}, {68, {201, 308, 203}}, {408, {201, 309, 203}},
        {50, {201, 309, 203}}, {409, {201, 323, 203}}, {99, {201, 203}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.ack);
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-ack=" + std::to_string(c.ack)}));
        Session ss;
        ASSERT_TRUE(ss.Start(sim.tcp_port()));
        FrameRecorder r;
        KVNetPreviewParam p = PreviewParam(r);
        KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Has(203); }, milliseconds(8000)));
        KVNetStopPreview(ss.s, &h);
        EXPECT_EQ(kvsess::CodesText(r.Codes()), kvsess::CodesText(c.codes));
    }
    // Wrong Seq, wrong subtype, silence: no answer, no refusal code.
    for (const char* sc : {"media-wrong-seq", "media-wrong-subtype", "media-silent"}) {
        SCOPED_TRACE(sc);
        kvmedia::MediaTimings t = FastMedia();
        t.recvScale = 300;
        MediaTimingsScope m2(t);
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=plain", sc}));
        Session ss;
        ASSERT_TRUE(ss.Start(sim.tcp_port()));
        FrameRecorder r;
        KVNetPreviewParam p = PreviewParam(r);
        KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Has(203); }, milliseconds(8000)));
        KVNetStopPreview(ss.s, &h);
        EXPECT_EQ(kvsess::CodesText(r.Codes()), "201,203");
    }
}

TEST(PreviewTcp, RefusalWithAutoReconnectRetriesAfterBothPauses)
{
    kvmedia::MediaTimings t = FastMedia();
    t.refusedPauseMs = 600;
    t.openRetryMs = 300;
    MediaTimingsScope mt(t);
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-ack=65"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetPreviewParam p = PreviewParam(r, 1, 1);
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(sim, "media-open").size() >= 2; }, milliseconds(10000)));
    KVNetStopPreview(ss.s, &h);
    auto opens = kvsess::Events(sim, "media-open");
    const double gap = kvtest::JsonDouble(opens[1], "time") - kvtest::JsonDouble(opens[0], "time");
    // 600 + 300 ms of pauses; wide margin above for a busy machine.
    EXPECT_GE(gap, 0.85);
    EXPECT_LT(gap, 5.0);
}

TEST(PreviewTcp, BitRateOfAKnownByteCount)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-frames=30"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetPreviewParam p = PreviewParam(r);
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "media-end").empty(); }, milliseconds(10000)));
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Frames() >= 29; }, milliseconds(5000)));
    // Bytes on the wire: every frame's packs, 12-byte heads included.
    uint64_t bytes = 0;
    for (auto& l : kvsess::Events(sim, "media-frame")) {
        const uint64_t total = 40 + static_cast<uint64_t>(kvtest::JsonInt(l, "size"));
        bytes += total + 12 * ((total + 1399) / 1400);
    }
    const int64_t rate = KVNetGetPreviewBitRate(ss.s, h);
    // The stream opened less than a couple of seconds ago: bytes x 8 over 1 or 2 s.
    EXPECT_TRUE(rate == static_cast<int64_t>(bytes * 8) || rate == static_cast<int64_t>(bytes * 8 / 2) ||
                rate == static_cast<int64_t>(bytes * 8 / 3))
        << rate << " for " << bytes << " bytes";
    // Nothing since: the second call in the same second gives 0.
    EXPECT_EQ(KVNetGetPreviewBitRate(ss.s, h), 0);
    EXPECT_EQ(KVNetGetPreviewBitRate(nullptr, h), 0);
    KVNetStopPreview(ss.s, &h);
}

TEST(PreviewTcp, StreamClosedByTheDeviceReopensWithAutoReconnect)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-frames=8", "media-end=close"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetPreviewParam p = PreviewParam(r, 1, 1);
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::CodesText(r.Codes()).find("204,201,202") != std::string::npos; },
                                milliseconds(10000)));
    KVNetStopPreview(ss.s, &h);
    auto codes = kvsess::CodesText(r.Codes());
    EXPECT_EQ(codes.rfind("201,202,209,204,201,202", 0), 0u) << codes;
}

TEST(PreviewTcp, ConnectionStopEndsLiveStreamsThenStopOnlyFrees)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-loop", "media-fps=200"}));
    auto ss = std::make_unique<Session>();
    ASSERT_TRUE(ss->Start(sim.tcp_port()));
    FrameRecorder r1, r2;
    KVNetPreviewParam p1 = PreviewParam(r1, 1, 1), p2 = PreviewParam(r2, 2, 0);
    KVNetPreviewHandle h1 = KVNetStartPreview(ss->s, &p1);
    KVNetPreviewHandle h2 = KVNetStartPreview(ss->s, &p2);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r1.Frames() >= 5 && r2.Frames() >= 5; }, milliseconds(8000)));
    const auto t0 = std::chrono::steady_clock::now();
    KVNetConnectionStop(&ss->s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(2000));
    r1.stopped = true;
    r2.stopped = true;
    std::this_thread::sleep_for(milliseconds(200));
    KVNetStopPreview(nullptr, &h1);
    KVNetStopPreview(nullptr, &h2);
    EXPECT_EQ(h1, nullptr);
    EXPECT_EQ(r1.afterStop.load() + r2.afterStop.load(), 0);
}

TEST(PreviewTcp, StopFromOwnCallbackIsRefusedOtherStreamAllowed)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-loop", "media-fps=100"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    struct Ctx {
        DevConnection* s;
        std::atomic<KVNetPreviewHandle> self{nullptr};
        KVNetPreviewHandle other = nullptr;
        std::atomic<int> tries{0};
        std::atomic<bool> otherStopped{false};
    } ctx{ss.s};
    FrameRecorder ro;
    KVNetPreviewParam po = PreviewParam(ro, 2);
    ctx.other = KVNetStartPreview(ss.s, &po);
    KVNetPreviewParam p{};
    p.nChannel = 1;
    p.pUser = &ctx;
    p.pQuiet = &ctx; // no message callback: codes would go to the session's with this user pointer
    p.dataCallback = [](const KVFrameHead*, uint32_t, void* u) {
        auto* c = static_cast<Ctx*>(u);
        KVNetPreviewHandle h = c->self.load();
        if (!h)
            return; // the start has not returned yet
        if (c->tries++ == 0) {
            KVNetStopPreview(c->s, &h); // own stream: refused
            KVNetStopPreview(c->s, &c->other);
            c->otherStopped = c->other == nullptr;
        }
    };
    ctx.self = KVNetStartPreview(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return ctx.tries.load() >= 3; }, milliseconds(8000)));
    EXPECT_TRUE(ctx.otherStopped.load());
    KVNetPreviewHandle self = ctx.self.load();
    KVNetStopPreview(ss.s, &self);
    EXPECT_EQ(self, nullptr);
}

TEST(PreviewTcp, SessionDroppedByTheDeviceWaitsForTheLoginAndReopens)
{
    MediaTimingsScope mt(FastMedia());
    // Each heartbeat of the main connection is answered with a cut message and the
    // connection closed: the session drops every 700 ms and logs in again.
    KVSessionTimings st = kvsess::FastTimings();
    st.heartbeatMs = 700;
    kvsess::TimingsScope ts(st);
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "close-mid-reply", "media-loop", "media-fps=100"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    FrameRecorder r;
    KVNetPreviewParam p = PreviewParam(r, 1, 1);
    KVNetPreviewHandle h = KVNetStartPreview(ss.s, &p);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::CodesText(r.Codes()).find("204,200,201,202") != std::string::npos; },
                                milliseconds(10000)))
        << kvsess::CodesText(r.Codes());
    KVNetStopPreview(ss.s, &h);
    EXPECT_GE(kvsess::Events(sim, "media-open").size(), 2u);
}

namespace {
// Runs a stop on its own thread; a stop that hangs ends the test program with a message
// rather than leaving it to the outer time-out.
void StopWithin(std::function<void()> stop, milliseconds limit, const char* what)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([stop, done] {
        stop();
        *done = true;
    });
    if (!kvtest::WaitFor([&] { return done->load(); }, limit)) {
        std::fprintf(stderr, "%s did not return: deadlock\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
    t.join();
}

struct CrossCtx {
    DevConnection** s = nullptr;
    std::atomic<KVNetPreviewHandle> self{nullptr};
    KVNetPreviewHandle other = nullptr;
    std::atomic<bool> go{false};
    std::atomic<int> acted{0};
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    bool stopSession = false; // else: stop the other stream
};

void CrossCallback(const KVFrameHead*, uint32_t, void* u)
{
    auto* c = static_cast<CrossCtx*>(u);
    ++c->calls;
    if (!c->go.load() || c->acted.load() != 0)
        return;
    if (c->stopSession) {
        DevConnection* s = *c->s;
        KVNetConnectionStop(&s); // waits for this very thread: refused
        c->acted = s ? 1 : 2;
        return;
    }
    // Give the session's stop time to begin: it is ending this stream meanwhile.
    c->inside = true;
    std::this_thread::sleep_for(milliseconds(300));
    KVNetStopPreview(nullptr, &c->other);
    c->acted = c->other == nullptr ? 1 : 2;
}
} // namespace

// A callback that stops another stream while the session's stop is ending its own stream,
// and a session stop from a stream's callback: neither may hang.
TEST(PreviewTcp, StopsFromCallbacksDuringSessionStopNeverHang)
{
    for (const bool stopSession : {false, true}) {
        SCOPED_TRACE(stopSession ? "session stop from a callback" : "other stream stopped from a callback");
        MediaTimingsScope mt(FastMedia());
        kvtest::SimProcess sim;
        ASSERT_TRUE(StartSim(sim, {"device-kind=plain", "media-loop", "media-fps=100"}));
        auto ss = std::make_unique<Session>();
        ASSERT_TRUE(ss->Start(sim.tcp_port()));
        CrossCtx ctx;
        ctx.s = &ss->s;
        ctx.stopSession = stopSession;
        KVNetPreviewParam p{};
        p.nChannel = 1;
        p.pUser = &ctx;
        p.pQuiet = &ctx;
        p.dataCallback = &CrossCallback;
        ctx.self = KVNetStartPreview(ss->s, &p); // attached first: ended first
        FrameRecorder ro;
        KVNetPreviewParam po = PreviewParam(ro, 2);
        ctx.other = KVNetStartPreview(ss->s, &po);
        ASSERT_TRUE(ctx.self.load() && ctx.other);
        ASSERT_TRUE(kvtest::WaitFor([&] { return ro.Frames() >= 2 && ctx.calls.load() >= 2; }, milliseconds(8000)));
        ctx.go = true;
        if (stopSession) {
            if (!kvtest::WaitFor([&] { return ctx.acted.load() != 0; }, milliseconds(10000))) {
                std::fprintf(stderr, "KVNetConnectionStop from a callback did not return: deadlock\n");
                std::fflush(stderr);
                std::_Exit(1);
            }
            EXPECT_EQ(ctx.acted.load(), 1); // refused: the handle stayed
        }
        if (!stopSession) {
            ASSERT_TRUE(kvtest::WaitFor([&] { return ctx.inside.load(); }, milliseconds(8000)));
        }
        StopWithin([&] { KVNetConnectionStop(&ss->s); }, milliseconds(10000), "KVNetConnectionStop");
        EXPECT_EQ(ss->s, nullptr);
        if (!stopSession) {
            EXPECT_EQ(ctx.acted.load(), 1);
        }
        KVNetPreviewHandle self = ctx.self.load();
        KVNetStopPreview(nullptr, &self);
        KVNetStopPreview(nullptr, &ctx.other);
    }
}
