// Remote playback and key-frame capture against the simulated device's recordings:
// pacing, repositions (closed, open, unconfirmed, from the callback, during a stop), the
// control at the opening, reopening after a drop, refusals and the end packs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <algorithm>
#include <future>
#include <thread>

#include "media_fixture.h"
#include "record_time.h"

using namespace kvmediatest;
using kvrectest::At;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

// One recording of 10 s at 5 frames per second, a key frame every second.
const char* kRec = "rec=2024-03-10T08:00:00,10,5,5";

struct Player {
    std::mutex mu;
    std::vector<std::string> sha;
    std::vector<uint64_t> times;
    std::vector<char> types;
    std::vector<unsigned> codes;
    std::atomic<int> nulls{0};
    std::atomic<int> bare{0};
    std::atomic<bool> result{true};
    std::atomic<int> reposFromCallback{-1};
    std::atomic<int> reqFromCallback{-1};
    std::atomic<DevRecordPlay*> self{nullptr};   // set for the callback's own calls

    static bool OnData(const KVFrameHead* f, uint32_t size, void* user)
    {
        auto* p = static_cast<Player*>(user);
        if (!f) {
            ++p->nulls;
            return p->result.load();
        }
        if (size == 0) {
            ++p->bare;
            return true;
        }
        DevRecordPlay* self = p->self.load();
        if (self && p->reposFromCallback.load() < 0) {
            const DateTime span[2] = {At(8, 0, 5), At(8, 0, 6)};
            p->reqFromCallback = KVNetReqRecordData(self);
            p->reposFromCallback = KVNetReposRecordData(self, span);
        }
        std::lock_guard<std::mutex> l(p->mu);
        p->sha.push_back(Sha256Hex(f, size));
        p->times.push_back(f->FrameTime);
        p->types.push_back(static_cast<char>(f->FrameType));
        return p->result.load();
    }
    static void OnMsg(unsigned code, void* user)
    {
        auto* p = static_cast<Player*>(user);
        std::lock_guard<std::mutex> l(p->mu);
        p->codes.push_back(code);
    }
    size_t Frames()
    {
        std::lock_guard<std::mutex> l(mu);
        return sha.size();
    }
    bool Has(unsigned code)
    {
        std::lock_guard<std::mutex> l(mu);
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }
};

KVNetRecordPlayParam Param(Player& p, DateTime from, DateTime to)
{
    KVNetRecordPlayParam r{};
    r.nChannel = 1;
    r.nParam = 7;
    r.start = from;
    r.end = to;
    r.dataCallback = &Player::OnData;
    r.msgCallback = &Player::OnMsg;
    r.pUser = &p;
    r.nByte = 5;
    return r;
}

// (type, subtype) of the playback requests the device received, in order.
std::vector<std::pair<int, int>> Requests(const kvtest::SimProcess& sim)
{
    std::vector<std::pair<int, int>> out;
    for (auto& l : kvsess::Events(sim, "play-request"))
        out.emplace_back(static_cast<int>(kvtest::JsonInt(l, "type")), static_cast<int>(kvtest::JsonInt(l, "subtype")));
    return out;
}

std::vector<std::string> PlayedFrames(const kvtest::SimProcess& sim, int opening = 0)
{
    std::vector<std::string> out;
    for (auto& l : kvsess::Events(sim, "play-frame"))
        if (!opening || kvtest::JsonInt(l, "opening") == opening)
            out.push_back(kvtest::JsonStr(l, "sha256"));
    return out;
}

uint64_t Micros(int h, int m, int s, int ms = 0)
{
    tm t{};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 10;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return static_cast<uint64_t>(timegm(&t)) * 1000000u + static_cast<uint64_t>(ms) * 1000u;
}

kvmedia::MediaTimings Fast(unsigned reposMs = 5000)
{
    kvmedia::MediaTimings t = FastMedia();
    t.reposWaitMs = reposMs;
    return t;
}

struct Fixture {
    kvtest::SimProcess sim;
    Session ss;
    bool Start(std::vector<std::string> sc)
    {
        sc.insert(sc.begin(), "device-kind=plain");
        return StartSim(sim, sc) && ss.Start(sim.tcp_port());
    }
};

// Nothing more for a while (a check that something does NOT happen).
template <class F> bool Stays(F f, milliseconds d = milliseconds(400))
{
    const auto end = Clock::now() + d;
    while (Clock::now() < end) {
        if (!f())
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

} // namespace

TEST(RecordPlay, PacingAsksForMoreOnlyWhenTheCallbackSaysSo)
{
    MediaTimingsScope mt(Fast());
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec, "play-pace=3"}));
    Player p;
    p.result = false;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 9));
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    ASSERT_NE(h, nullptr);
    // 122/121 at the opening gives 3 frames; the first false asks once (122/122): 3 more.
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.Frames() >= 6; }, milliseconds(8000)));
    EXPECT_TRUE(Stays([&] { return p.Frames() == 6; }));
    EXPECT_EQ(Requests(fx.sim), (std::vector<std::pair<int, int>>{{122, 121}, {122, 122}}));
    // The caller asks again: one request, and the next false one more.
    EXPECT_EQ(KVNetReqRecordData(h), 1);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.Frames() >= 12; }, milliseconds(8000)));
    EXPECT_TRUE(Stays([&] { return p.Frames() == 12; }));
    KVNetStopRecordPlay(&h);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(Requests(fx.sim), (std::vector<std::pair<int, int>>{{122, 121}, {122, 122}, {122, 121}, {122, 122}}));
    EXPECT_EQ(p.sha, PlayedFrames(fx.sim));
    const auto open = kvsess::Events(fx.sim, "play-open");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(kvtest::JsonStr(open[0], "start"), "2024-03-10 08:00:00");
    EXPECT_EQ(kvtest::JsonInt(open[0], "param"), 7);
    EXPECT_EQ(kvtest::JsonInt(open[0], "byte"), 5);
    EXPECT_EQ(kvtest::JsonField(open[0], "zeros_ok"), "true");
    EXPECT_EQ(kvtest::JsonInt(open[0], "type"), 121);
    EXPECT_EQ(p.codes.front(), 303u);
    EXPECT_EQ(p.codes[1], 304u);
    EXPECT_EQ(p.codes[2], 324u);
}

TEST(RecordPlay, CaptureSendsNoPacingAndEndsWithTheKeyFrameRun)
{
    MediaTimingsScope mt(Fast());
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec}));
    Player p;
    p.result = false;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 2), At(8, 0, 6));
    DevRecordPlay* h = KVNetStartCaptureIFrame(fx.ss.s, &prm);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
    EXPECT_TRUE(p.Has(309u));
    EXPECT_TRUE(Stays([&] { return Requests(fx.sim).empty(); }));
    KVNetStopCaptureIFrame(&h);
    EXPECT_EQ(kvtest::JsonInt(kvsess::Events(fx.sim, "play-open").at(0), "type"), 404);
    EXPECT_EQ(p.types, (std::vector<char>{'I', 'I', 'I', 'I', 'I'}));
    EXPECT_EQ(p.times.front(), Micros(8, 0, 2));
    EXPECT_EQ(p.sha, PlayedFrames(fx.sim));
}

TEST(RecordPlay, EndOfDataGivesTheNullFrameAndAFalseResultAsksAgain)
{
    MediaTimingsScope mt(Fast());
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 1), At(8, 0, 2));
    prm.bAnnounce = 1;
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
    EXPECT_TRUE(p.Has(301u));
    EXPECT_EQ(p.bare.load(), 1);
    EXPECT_EQ(p.Frames(), 6u); // 1.0 s to 2.0 s inclusive
    // The opening's request only: the callback said true every time. The device streams
    // without waiting for it, so its log line may come after the frames.
    ASSERT_TRUE(kvtest::WaitFor([&] { return !Requests(fx.sim).empty(); }, milliseconds(3000)));
    EXPECT_TRUE(Stays([&] { return Requests(fx.sim).size() == 1; }, milliseconds(200)));
    EXPECT_EQ(Requests(fx.sim), (std::vector<std::pair<int, int>>{{122, 121}}));
    // A false answer to the null frame asks once more (122/122).
    p.result = false;
    const DateTime span[2] = {At(8, 0, 4), At(8, 0, 4)};
    std::thread t([&] { EXPECT_EQ(KVNetReposRecordData(h, span), 1); });
    t.join();
    KVNetReplayRecordData(h);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 2; }, milliseconds(8000)));
    ASSERT_TRUE(kvtest::WaitFor([&] { return Requests(fx.sim).back() == std::make_pair(122, 122); },
                                milliseconds(3000)));
    KVNetStopRecordPlay(&h);
}

TEST(RecordPlay, RepositionWhileClosedIsUsedByTheNextOpening)
{
    kvmedia::MediaTimings t = Fast(20000);
    t.openRetryMs = 1500;
    MediaTimingsScope mt(t);
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec, "play-ack-first=99"}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 9));
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    const DateTime span[2] = {At(8, 0, 6), At(8, 0, 7)};
    const auto t0 = Clock::now();
    EXPECT_EQ(KVNetReposRecordData(h, span), 1);
    EXPECT_LT(Clock::now() - t0, milliseconds(5000)); // at once, not after the 20 s wait
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.Frames() >= 6; }, milliseconds(10000)));
    KVNetStopRecordPlay(&h);
    const auto open = kvsess::Events(fx.sim, "play-open");
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(kvtest::JsonStr(open[1], "start"), "2024-03-10 08:00:06");
    EXPECT_EQ(kvtest::JsonStr(open[1], "end"), "2024-03-10 08:00:07");
    EXPECT_EQ(p.times.front(), Micros(8, 0, 6));
    EXPECT_EQ(p.codes[0], 303u);
    EXPECT_EQ(p.codes[1], 305u); // AckFlag 99: no code of its own, and a retry
}

TEST(RecordPlay, RepositionWhileOpenWaitsForTheDeviceAndHoldsFramesUntilReplay)
{
    MediaTimingsScope mt(Fast(20000));
    for (bool capture : {false, true}) {
        SCOPED_TRACE(capture ? "capture" : "playback");
        Fixture fx;
        ASSERT_TRUE(fx.Start({kRec}));
        Player p;
        KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
        DevRecordPlay* h = capture ? KVNetStartCaptureIFrame(fx.ss.s, &prm) : KVNetStartRecordPlay(fx.ss.s, &prm);
        ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
        const size_t before = p.Frames();
        const DateTime span[2] = {At(8, 0, 7), At(8, 0, 8)};
        EXPECT_EQ(capture ? KVNetReposIFrameData(h, span) : KVNetReposRecordData(h, span), 1);
        // Returned: the device confirmed (pack 1 or 7 logged), and nothing of the new span yet.
        bool confirmed = false;
        for (auto& l : kvsess::Events(fx.sim, "play-signal"))
            confirmed |= kvtest::JsonInt(l, "pack_type") == (capture ? 7 : 1);
        EXPECT_TRUE(confirmed);
        EXPECT_TRUE(Stays([&] { return p.Frames() == before; }));
        capture ? KVNetReplayIFrameData(h) : KVNetReplayRecordData(h);
        ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 2; }, milliseconds(8000)));
        KVNetStopRecordPlay(&h);
        EXPECT_EQ(p.times.at(before), Micros(8, 0, 7));
        const auto reqs = Requests(fx.sim);
        EXPECT_NE(std::find(reqs.begin(), reqs.end(), std::make_pair(capture ? 405 : 123, 0)), reqs.end());
        EXPECT_EQ(p.sha, PlayedFrames(fx.sim));
        EXPECT_EQ(kvsess::Events(fx.sim, "play-open").size(), 1u);
    }
}

TEST(RecordPlay, BackwardControlAtTheOpeningIsNotHeld)
{
    MediaTimingsScope mt(Fast());
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 7), At(8, 0, 9));
    prm.nControl = 22;
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    // After the confirmation, key frames 7, 6, ... 0 s backwards, without any Replay.
    std::vector<uint64_t> back;
    for (int k = 7; k >= 0; --k)
        back.push_back(Micros(8, 0, k));
    auto hasRun = [&] {
        std::lock_guard<std::mutex> l(p.mu);
        return std::search(p.times.begin(), p.times.end(), back.begin(), back.end()) != p.times.end();
    };
    EXPECT_TRUE(kvtest::WaitFor(hasRun, milliseconds(8000)));
    KVNetStopRecordPlay(&h);
    const auto open = kvsess::Events(fx.sim, "play-open");
    EXPECT_EQ(kvtest::JsonStr(open.at(0), "start"), "2024-03-10 00:00:00");
    const auto ctl = kvsess::Events(fx.sim, "play-request");
    ASSERT_FALSE(ctl.empty());
    EXPECT_EQ(kvtest::JsonInt(ctl[0], "type"), 124);
    EXPECT_EQ(kvtest::JsonInt(ctl[0], "subtype"), 22);
    EXPECT_EQ(kvtest::JsonStr(ctl[0], "start"), "2024-03-10 08:00:07");
}

TEST(RecordPlay, ReopensAfterADropFromTheLastKeyFrameInUtc)
{
    // The local zone must not leak into the request.
    const char* oldTz = getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    {
        MediaTimingsScope mt(Fast());
        Fixture fx;
        ASSERT_TRUE(fx.Start({kRec, "play-close-after=8"}));
        Player p;
        KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 3));
        DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
        ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(fx.sim, "play-open").size() >= 2; },
                                    milliseconds(10000)));
        ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
        KVNetStopRecordPlay(&h);
        const auto open = kvsess::Events(fx.sim, "play-open");
        // Frames 0.0 ... 1.4 s went before the drop: the last key frame was at 1 s.
        EXPECT_EQ(kvtest::JsonStr(open[1], "start"), "2024-03-10 08:00:01");
        EXPECT_EQ(kvtest::JsonStr(open[1], "end"), "2024-03-10 08:00:03");
        EXPECT_TRUE(p.Has(300u));
        EXPECT_EQ(p.times.at(8), Micros(8, 0, 1));
    }
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(RecordPlay, RefusalsEndThePlaybackWithoutReopening)
{
    MediaTimingsScope mt(Fast());
    const struct {
        int ack;
        unsigned code; // 0: only 305, and the playback retries
    } cases[] = {{407, 310}, {50, 310}, {68, 308}, {322, 306}, {325, 307}, {360, 311}, {409, 323}, {99, 0}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.ack);
        Fixture fx;
        ASSERT_TRUE(fx.Start({kRec, "play-ack=" + std::to_string(c.ack)}));
        Player p;
        KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
        DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
        ASSERT_TRUE(kvtest::WaitFor([&] { return p.Has(305u); }, milliseconds(8000)));
        if (c.code) {
            EXPECT_TRUE(Stays([&] { return kvsess::Events(fx.sim, "play-open").size() == 1; }, milliseconds(600)));
            std::lock_guard<std::mutex> l(p.mu);
            EXPECT_EQ(p.codes, (std::vector<unsigned>{303, c.code, 305}));
        } else {
            EXPECT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(fx.sim, "play-open").size() >= 2; },
                                        milliseconds(8000)));
        }
        KVNetStopRecordPlay(&h);
    }
}

TEST(RecordPlay, UnconfirmedRepositionReleasesTheCallerAndReopensAtTheNewSpan)
{
    MediaTimingsScope mt(Fast(400));
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec, "play-ignore-repos"}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
    const DateTime span[2] = {At(8, 0, 5), At(8, 0, 6)};
    EXPECT_EQ(KVNetReposRecordData(h, span), 1);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(fx.sim, "play-open").size() >= 2; }, milliseconds(8000)));
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 2; }, milliseconds(8000)));
    KVNetStopRecordPlay(&h);
    EXPECT_EQ(kvtest::JsonStr(kvsess::Events(fx.sim, "play-open")[1], "start"), "2024-03-10 08:00:05");
    EXPECT_EQ(p.times.back(), Micros(8, 0, 6));
}

TEST(RecordPlay, RepositionFromTheDataCallbackFailsAtOnce)
{
    MediaTimingsScope mt(Fast(20000));
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
    // The handle is known only after the start: the callback tries once it is set.
    p.reposFromCallback = 2;
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    p.self = h;
    p.reposFromCallback = -1;
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
    const DateTime span[2] = {At(8, 0, 3), At(8, 0, 4)};
    std::thread([&] { KVNetReposRecordData(h, span); }).join();
    KVNetReplayRecordData(h);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.reposFromCallback.load() >= 0; }, milliseconds(8000)));
    EXPECT_EQ(p.reposFromCallback.load(), 0);
    EXPECT_EQ(p.reqFromCallback.load(), 0);
    KVNetStopRecordPlay(&h);
}

TEST(RecordPlay, StopReleasesACallerWaitingInAReposition)
{
    MediaTimingsScope mt(Fast(60000));
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec, "play-ignore-repos"}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
    const DateTime span[2] = {At(8, 0, 5), At(8, 0, 6)};
    auto waiting = std::async(std::launch::async, [hp = h, &span] { return KVNetReposRecordData(hp, span); });
    ASSERT_TRUE(kvtest::WaitFor(
        [&] { return !kvsess::Events(fx.sim, "play-request").empty() && Requests(fx.sim).back().first == 123; },
        milliseconds(8000)));
    const auto t0 = Clock::now();
    KVNetStopRecordPlay(&h);
    EXPECT_LT(Clock::now() - t0, milliseconds(10000));
    ASSERT_EQ(waiting.wait_for(milliseconds(100)), std::future_status::ready);
    EXPECT_EQ(h, nullptr);
}

TEST(RecordPlay, IdleConnectionSendsKeepAlives)
{
    kvmedia::MediaTimings t = Fast();
    t.recvScale = 200;
    MediaTimingsScope mt(t);
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    ASSERT_TRUE(kvtest::WaitFor(
        [&] {
            int n = 0;
            for (auto& r : Requests(fx.sim))
                n += r.first == 32;
            return n >= 3;
        },
        milliseconds(10000)));
    KVNetStopRecordPlay(&h);
    // The end of data cleared the request: time-outs keep the connection, no reopening.
    EXPECT_EQ(kvsess::Events(fx.sim, "play-open").size(), 1u);
}

TEST(RecordPlay, NullArgumentsAndStops)
{
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
    EXPECT_EQ(KVNetStartRecordPlay(nullptr, &prm), nullptr);
    EXPECT_EQ(KVNetStartCaptureIFrame(nullptr, &prm), nullptr);
    EXPECT_EQ(KVNetStartRecordPlayEx(nullptr, nullptr), nullptr);
    KVNetStopRecordPlay(nullptr);
    DevRecordPlay* none = nullptr;
    KVNetStopRecordPlay(&none);
    EXPECT_EQ(KVNetReqRecordData(nullptr), 0);
    EXPECT_EQ(KVNetReverseRecordData(nullptr, nullptr, 22), 0);
    EXPECT_EQ(KVNetReqRecordPlayCtrol(nullptr, 3), 0);
}

TEST(RecordPlaySlow, IgnoredRepositionReleasesTheCallerAfterFifteenSeconds)
{
    MediaTimingsScope mt(FastMedia()); // the real reposition wait
    Fixture fx;
    ASSERT_TRUE(fx.Start({kRec, "play-ignore-repos"}));
    Player p;
    KVNetRecordPlayParam prm = Param(p, At(8, 0, 0), At(8, 0, 1));
    DevRecordPlay* h = KVNetStartRecordPlay(fx.ss.s, &prm);
    ASSERT_TRUE(kvtest::WaitFor([&] { return p.nulls.load() >= 1; }, milliseconds(8000)));
    const DateTime span[2] = {At(8, 0, 5), At(8, 0, 6)};
    const auto t0 = Clock::now();
    EXPECT_EQ(KVNetReposRecordData(h, span), 1);
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, milliseconds(14500));
    EXPECT_LT(waited, milliseconds(40000));
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(fx.sim, "play-open").size() >= 2; }, milliseconds(8000)));
    KVNetStopRecordPlay(&h);
}
