// Snapshots, the picture stream, stored pictures, the timing request and the alarm
// streams against the simulated device: files byte-equal to the device's picture and
// readable by ffprobe, no file after a failure, the codes of the picture stream, exactly
// one timing callback, only real alarm frames, the alarm-parameter channel's states.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "stills_fixture.h"

using namespace kvmediatest;
using namespace kvstillstest;
using std::chrono::milliseconds;

namespace {

KVNetCaptureParam CaptureParam(const std::string& path, uint32_t channel = 3)
{
    KVNetCaptureParam p{};
    p.nChannel = channel;
    snprintf(p.szPath, sizeof p.szPath, "%s", path.c_str());
    for (int i = 0; i < 8; ++i)
        p.devParam[i] = static_cast<uint8_t>(0xA0 + i);
    return p;
}

bool Logged(Session& ss, kvtest::SimProcess& sim, const std::vector<std::string>& sc)
{
    std::vector<std::string> all = {"device-kind=plain"};
    all.insert(all.end(), sc.begin(), sc.end());
    return StartSim(sim, all) && ss.Start(sim.tcp_port());
}

// A session logged in to a fresh simulator, with fast media and still timings; members
// end in reverse order, so the session closes before the simulator.
struct Device {
    explicit Device(const std::vector<std::string>& sc, const kvstills::StillTimings& t = FastStills())
        : st(t), ok(Logged(ss, sim, sc))
    {
    }
    MediaTimingsScope mt{FastMedia()};
    StillTimingsScope st;
    kvtest::SimProcess sim;
    Session ss;
    bool ok;
};

} // namespace

TEST(Snapshot, SyncFileIsTheDevicesPictureOrNothing)
{
    MediaTimingsScope mt(FastMedia());
    ASSERT_TRUE(Pics().ok);
    const std::string jpg = Pics().jpg;
    const std::string want = kvtest::ReadFile(jpg);
    struct Case {
        const char* name;
        std::vector<std::string> sc;
        uint8_t result;
    } cases[] = {
        {"whole", {"snap-file=" + jpg}, 1},
        {"length0", {"snap-file=" + jpg, "snap-length=0"}, 0},
        {"lying", {"snap-file=" + jpg, "snap-length=" + std::to_string(want.size() + 100)}, 0},
        {"close-mid", {"snap-file=" + jpg, "snap-close-mid"}, 0},
        {"refused", {"snap-file=" + jpg, "snap-refuse=7"}, 0},
        {"over-bound", {"snap-file=" + jpg, "snap-length=" + std::to_string(KVNET_PICTURE_MAX + 1)}, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim;
        Session ss;
        ASSERT_TRUE(Logged(ss, sim, c.sc));
        kvtest::TempDir dir("snap");
        const std::string out = dir.File("shot.jpg");
        KVNetCaptureParam p = CaptureParam(out);
        EXPECT_EQ(KVNetCapture(ss.s, &p), c.result);
        auto open = kvsess::Events(sim, "snap-open");
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(kvtest::JsonField(open[0], "session_ok"), "true");
        EXPECT_EQ(kvtest::JsonInt(open[0], "channel"), 3);
        EXPECT_EQ(kvtest::JsonStr(open[0], "param"), "a0a1a2a3a4a5a6a7");
        if (c.result) {
            EXPECT_EQ(kvtest::ReadFile(out), want);
            EXPECT_TRUE(FfprobeClean(out));
            EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"shot.jpg"});
        } else {
            EXPECT_TRUE(ListDir(dir.path()).empty()) << "a failed snapshot leaves no file, not even a temporary one";
        }
    }
    KVNetCaptureParam p = CaptureParam("/tmp/x");
    EXPECT_EQ(KVNetCapture(nullptr, &p), 0);
}

TEST(Snapshot, AsyncShowsOnlyTheWholeFile)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    const std::string jpg = Pics().jpg;
    const std::string want = kvtest::ReadFile(jpg);
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused);
        kvtest::SimProcess sim;
        Session ss;
        std::vector<std::string> sc = {"snap-file=" + jpg, "reply-delay=50"};
        if (refused)
            sc.push_back("snap-refuse=9");
        ASSERT_TRUE(Logged(ss, sim, sc));
        kvtest::TempDir dir("asnap");
        const std::string out = dir.File("shot.jpg");
        KVNetCaptureParam p = CaptureParam(out);
        CAsyncDeviceCapture* h = KVNetAsyncCapture(ss.s, &p);
        ASSERT_NE(h, nullptr);
        // A caller polling for the file sees it whole or not at all.
        bool seenPartial = false;
        const bool appeared = kvtest::WaitFor(
            [&] {
                if (!Exists(out))
                    return false;
                seenPartial |= kvtest::ReadFile(out) != want;
                return true;
            },
            milliseconds(refused ? 1500 : 8000));
        KVNetStopCapture(&h);
        EXPECT_EQ(h, nullptr);
        EXPECT_FALSE(seenPartial);
        EXPECT_EQ(appeared, !refused);
        EXPECT_EQ(ListDir(dir.path()).size(), refused ? 0u : 1u);
    }
    EXPECT_EQ(KVNetAsyncCapture(nullptr, nullptr), nullptr);
}

namespace {

struct PicRecorder {
    std::mutex mu;
    std::vector<unsigned> codes;
    std::vector<std::string> sha;
    std::vector<uint32_t> types;
    std::vector<uint64_t> times;
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    static void OnPic(const PictureInfo* i, void* u)
    {
        auto* r = static_cast<PicRecorder*>(u);
        if (r->stopped)
            ++r->afterStop;
        std::lock_guard<std::mutex> l(r->mu);
        r->sha.push_back(Sha256Hex(i->pData, i->nSize));
        r->types.push_back(i->nPicType);
        r->times.push_back(i->nFrameTime);
    }
    static void OnMsg(unsigned code, void* u)
    {
        auto* r = static_cast<PicRecorder*>(u);
        if (r->stopped)
            ++r->afterStop;
        std::lock_guard<std::mutex> l(r->mu);
        r->codes.push_back(code);
    }
    bool Ended()
    {
        std::lock_guard<std::mutex> l(mu);
        return !codes.empty() && codes.back() == 300;
    }
};

std::vector<uint8_t> PicRequest(uint32_t size)
{
    std::vector<uint8_t> req(size < 4 ? 4 : size);
    memcpy(req.data(), &size, 4);
    for (size_t i = 4; i < req.size(); ++i)
        req[i] = static_cast<uint8_t>(i);
    return req;
}

} // namespace

TEST(PictureStream, CodesAttemptsAndPictures)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    const std::string jpg = Pics().jpg;
    const std::string sha = Sha256Hex(kvtest::ReadFile(jpg).data(), kvtest::ReadFile(jpg).size());
    struct Case {
        const char* name;
        std::vector<std::string> sc;
        std::vector<unsigned> codes;
        size_t openings;
        std::vector<uint32_t> types;
    } cases[] = {
        {"end-at-once", {"pic-pack=3"}, {309, 300}, 1, {}},
        {"no-data", {"pic-pack=2"}, {301, 300}, 1, {}},
        {"refused-407", {"pic-ack=407"}, {310, 310, 300}, 3, {}},
        {"refused-68", {"pic-ack=68"}, {308, 308, 300}, 3, {}},
        {"refused-other", {"pic-ack=5"}, {300}, 3, {}},
        {"types", {"pic-file=" + jpg, "pic-encodes=5,1,0,5"}, {309, 300}, 1, {5, 1, 1, 5}},
        // The second picture loses a pack: the later ones still arrive.
        {"bad-then-good", {"pic-file=" + jpg, "pic-encodes=1,1,1,1", "pic-damage=1"}, {309, 300}, 1, {1, 1, 1}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim;
        Session ss;
        ASSERT_TRUE(Logged(ss, sim, c.sc));
        PicRecorder r;
        const auto req = PicRequest(40);
        KVNetGetPictureParam p{req.data(), &PicRecorder::OnPic, &PicRecorder::OnMsg, &r};
        GetDevicePicture* h = KVNetStartGetPicture(ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Ended(); }, milliseconds(10000)));
        KVNetStopGetPicture(&h);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(r.codes, c.codes);
        auto open = kvsess::Events(sim, "pic-open");
        EXPECT_EQ(open.size(), c.openings);
        ASSERT_FALSE(open.empty());
        EXPECT_EQ(kvtest::JsonField(open[0], "session_ok"), "true");
        EXPECT_EQ(kvtest::JsonInt(open[0], "size"), 40);
        EXPECT_EQ(r.types, c.types);
        for (auto& s : r.sha)
            EXPECT_EQ(s, sha);
    }
}

TEST(PictureStream, RequestSizeAndArguments)
{
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"pic-pack=3"}));
    PicRecorder r;
    for (uint32_t size : {0u, 4u, 35u, 65u, 1000u}) {
        const auto req = PicRequest(size);
        KVNetGetPictureParam p{req.data(), &PicRecorder::OnPic, &PicRecorder::OnMsg, &r};
        EXPECT_EQ(KVNetStartGetPicture(ss.s, &p), nullptr) << size;
    }
    for (uint32_t size : {36u, 64u}) {
        const auto req = PicRequest(size);
        KVNetGetPictureParam p{req.data(), nullptr, nullptr, nullptr};
        GetDevicePicture* h = KVNetStartGetPicture(ss.s, &p);
        EXPECT_NE(h, nullptr) << size;
        KVNetStopGetPicture(&h);
    }
    KVNetGetPictureParam none{nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(KVNetStartGetPicture(ss.s, &none), nullptr);
    EXPECT_EQ(KVNetStartGetPicture(ss.s, nullptr), nullptr);
    KVNetStopGetPicture(nullptr);
}

namespace {
struct ItemRecorder {
    std::mutex mu;
    std::vector<RecordDetailRsp> items;
    int ends = 0;
    unsigned delAck = 999;
    static void OnItem(void* item, void* u)
    {
        auto* r = static_cast<ItemRecorder*>(u);
        std::lock_guard<std::mutex> l(r->mu);
        if (item)
            r->items.push_back(*static_cast<RecordDetailRsp*>(item));
        else
            ++r->ends;
    }
};
std::atomic<unsigned> gDelAck{999};
void OnDelete(unsigned ack, const void*)
{
    gDelAck = ack;
}
} // namespace

TEST(StoredPictures, ListAndDeleteThroughTheAsynchronousTable)
{
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {}));
    ItemRecorder r;
    KVNetQueryRecordParam p{};
    p.nSubType = KVNET_RECORD_PICTURES;
    p.req.Start = DateTime{2024, 3, 10, 0, 0, 0, 0};
    p.req.End = DateTime{2024, 3, 10, 23, 59, 59, 0};
    p.fileCallback = &ItemRecorder::OnItem;
    p.second.del = &OnDelete;
    p.pUser = &r;
    EXPECT_NE(KVNetQueryOrDelPicture(ss.s, &p), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { std::lock_guard<std::mutex> l(r.mu); return r.ends == 1; }, milliseconds(8000)));
    EXPECT_EQ(r.items.size(), 4u);
    EXPECT_EQ(gDelAck.load(), 999u) << "a list never reaches the delete callback";

    p.nSubType = KVNET_RECORD_DEL_PICTURES;
    EXPECT_NE(KVNetQueryOrDelPicture(ss.s, &p), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return gDelAck.load() == 0; }, milliseconds(8000)));
    EXPECT_EQ(r.ends, 1);

    // A stopped request delivers nothing.
    p.nSubType = KVNET_RECORD_PICTURES;
    const unsigned req = KVNetQueryOrDelPicture(ss.s, &p);
    KVNetQueryOrDelPictureStop(ss.s, req);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LE(r.ends, 2);
    auto q = kvsess::Events(sim, "record-query");
    ASSERT_GE(q.size(), 2u);
    EXPECT_EQ(KVNetQueryOrDelPicture(nullptr, &p), 0u);
}

namespace {
struct TimingRecorder {
    std::mutex mu;
    int calls = 0;
    bool null = false;
    std::vector<uint8_t> body;
    static void On(const void* body, void* u)
    {
        auto* r = static_cast<TimingRecorder*>(u);
        std::lock_guard<std::mutex> l(r->mu);
        ++r->calls;
        r->null = body == nullptr;
        if (body) {
            uint32_t n = 0;
            memcpy(&n, body, 4);
            // Reads as far as the body's own size says.
            const auto* b = static_cast<const uint8_t*>(body);
            r->body.assign(b, b + std::max<uint32_t>(n, 4));
        }
    }
    int Calls()
    {
        std::lock_guard<std::mutex> l(mu);
        return calls;
    }
};
} // namespace

TEST(Timing, ExactlyOneCallback)
{
    MediaTimingsScope mt(FastMedia());
    kvstills::StillTimings t = FastStills();
    t.timingRecvMs = 600;
    StillTimingsScope st(t);
    struct Case {
        const char* name;
        std::vector<std::string> sc;
        bool null;
        std::string body; // hex of what the callback may read
    } cases[] = {
        {"answer", {}, false, "0800000017710000"},
        // The body claims 16 bytes but carries 6: zero-extended.
        {"short-body", {"timing-body=100000000102"}, false, "10000000010200000000000000000000"},
        {"refused", {"timing-ack=5"}, true, ""},
        {"silent", {"timing-silent"}, true, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim;
        Session ss;
        ASSERT_TRUE(Logged(ss, sim, c.sc));
        TimingRecorder r;
        const uint8_t req[12] = {12, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
        KVNetTimingParam p{&TimingRecorder::On, &r, req, {}};
        CTimingConn* h = KVNetStartTiming(ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Calls() > 0; }, milliseconds(8000)));
        std::this_thread::sleep_for(milliseconds(100));
        KVNetStopTiming(&h);
        EXPECT_EQ(r.calls, 1);
        EXPECT_EQ(r.null, c.null);
        std::string hex;
        char b[3];
        for (uint8_t x : r.body) {
            snprintf(b, sizeof b, "%02x", x);
            hex += b;
        }
        EXPECT_EQ(hex, c.body);
        auto open = kvsess::Events(sim, "timing-open");
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(kvtest::JsonStr(open[0], "body"), "0c0000000102030405060708");
    }
}

TEST(Timing, StopBeforeTheAnswerGivesOneNullCallback)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"timing-silent"}));
    TimingRecorder r;
    const uint8_t req[4] = {4, 0, 0, 0};
    KVNetTimingParam p{&TimingRecorder::On, &r, req, {}};
    CTimingConn* h = KVNetStartTiming(ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !kvsess::Events(sim, "timing-open").empty(); }, milliseconds(8000)));
    const auto t0 = std::chrono::steady_clock::now();
    KVNetStopTiming(&h);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000)) << "the stop does not wait out the 35 s";
    EXPECT_EQ(r.calls, 1);
    EXPECT_TRUE(r.null);
    const uint8_t bad[4] = {2, 0, 0, 0};
    KVNetTimingParam q{&TimingRecorder::On, &r, bad, {}};
    EXPECT_EQ(KVNetStartTiming(ss.s, &q), nullptr);
    q.pReq = req;
    q.callback = nullptr;
    EXPECT_EQ(KVNetStartTiming(ss.s, &q), nullptr);
}

namespace {
struct AlarmRecorder {
    std::mutex mu;
    std::vector<std::string> sha;
    std::vector<uint32_t> sizes;
    std::vector<std::string> formats;
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    static void On(const void* data, uint32_t size, const void* fmt, void* u)
    {
        auto* r = static_cast<AlarmRecorder*>(u);
        if (r->stopped)
            ++r->afterStop;
        std::lock_guard<std::mutex> l(r->mu);
        r->sha.push_back(Sha256Hex(data, size));
        r->sizes.push_back(size);
        r->formats.push_back(std::string(static_cast<const char*>(fmt), 7));
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> l(mu);
        return sha.size();
    }
};
} // namespace

TEST(AlarmInfo, OnlyRealAlarmFramesAndReconnection)
{
    Device d({"alarm-end=close"});
    ASSERT_TRUE(d.ok);
    AlarmRecorder r;
    KVNetAlarmRequestInfoParam p{&AlarmRecorder::On, nullptr, &r};
    CAlarmRequestInfo* h = KVNetStartAlarmRequestInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    // Three real frames per connection; the device closes after them and the stream comes back.
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Count() >= 6; }, milliseconds(8000)));
    r.stopped = true;
    KVNetStopAlarmRequestInfo(&h);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(r.afterStop.load(), 0);
    std::vector<std::string> want;
    std::vector<uint32_t> sizes;
    for (auto& l : kvsess::Events(d.sim, "alarm-frame")) {
        if (kvtest::JsonStr(l, "type") == "I" && kvtest::JsonInt(l, "size") > 0) {
            want.push_back(kvtest::JsonStr(l, "sha256"));
            sizes.push_back(static_cast<uint32_t>(kvtest::JsonInt(l, "size")));
        }
    }
    ASSERT_GE(want.size(), r.sha.size());
    for (size_t i = 0; i < r.sha.size(); ++i) {
        EXPECT_EQ(r.sha[i], want[i]) << i;
        EXPECT_EQ(r.sizes[i], sizes[i]) << i;
        EXPECT_EQ(r.formats[i], "ALRMfmt");
    }
    EXPECT_GE(kvsess::Events(d.sim, "alarm-open").size(), 2u);
}

TEST(AlarmInfo, RefusalPausesThenRetries)
{
    kvstills::StillTimings t = FastStills();
    t.alarmRefusedMs = 400;
    Device d({"alarm-ack=9"}, t);
    ASSERT_TRUE(d.ok);
    AlarmRecorder r;
    KVNetAlarmRequestInfoParam p{&AlarmRecorder::On, nullptr, &r};
    CAlarmRequestInfo* h = KVNetStartAlarmRequestInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(d.sim, "alarm-open").size() >= 3; }, milliseconds(8000)));
    KVNetStopAlarmRequestInfo(&h);
    // Openings are spaced by the pause (at least 400 ms each, two gaps).
    auto opens = kvsess::Events(d.sim, "alarm-open");
    EXPECT_LE(opens.size(), 8u);
    EXPECT_EQ(r.Count(), 0u);
    KVNetAlarmRequestInfoParam none{nullptr, nullptr, nullptr};
    EXPECT_EQ(KVNetStartAlarmRequestInfo(d.ss.s, &none), nullptr);
}

namespace {
struct ParamRecorder {
    std::mutex mu;
    std::vector<std::string> texts;
    std::vector<uint32_t> states;
    static void OnJson(const void* text, uint32_t size, void* u)
    {
        auto* r = static_cast<ParamRecorder*>(u);
        std::lock_guard<std::mutex> l(r->mu);
        r->texts.emplace_back(static_cast<const char*>(text), size);
    }
    static void OnState(uint32_t s, void* u)
    {
        auto* r = static_cast<ParamRecorder*>(u);
        std::lock_guard<std::mutex> l(r->mu);
        r->states.push_back(s);
    }
    size_t Texts()
    {
        std::lock_guard<std::mutex> l(mu);
        return texts.size();
    }
    std::vector<uint32_t> States()
    {
        std::lock_guard<std::mutex> l(mu);
        return states;
    }
};

std::string Json(size_t n, char seed)
{
    std::string s = "{\"k\":\"";
    while (s.size() + 2 < n)
        s += static_cast<char>('a' + (s.size() * 7 + seed) % 26);
    s += "\"}";
    return s.substr(0, n);
}
} // namespace

TEST(AlarmParams, TextsRoundTripWhileOpen)
{
    Device d({"alarm-param-push={\"dev\":1}"});
    ASSERT_TRUE(d.ok);
    ParamRecorder r;
    KVNetAlarmParamInfoParam p{&ParamRecorder::OnJson, &ParamRecorder::OnState, &r};
    CAlarmParamInfo* h = KVNetStartAlarmParamInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Texts() >= 1; }, milliseconds(8000)));
    EXPECT_EQ(r.States(), std::vector<uint32_t>{1});
    const std::vector<std::string> sent = {Json(2, 'a'), Json(1000, 'b'), Json(1 << 20, 'c')};
    for (auto& s : sent) {
        KVNetAlarmParamJson j{s.data(), static_cast<int32_t>(s.size())};
        EXPECT_EQ(KVNetSendAlarmParamJson(h, &j), 1);
    }
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Texts() >= 1 + sent.size(); }, milliseconds(15000)));
    KVNetStopAlarmParamInfo(&h);
    EXPECT_EQ(h, nullptr);
    ASSERT_EQ(r.texts.size(), 1 + sent.size());
    EXPECT_EQ(r.texts[0], "{\"dev\":1}");
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(r.texts[1 + i], sent[i]) << i;
    auto got = kvsess::Events(d.sim, "param-text");
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(kvtest::JsonStr(got[i], "sha256"), Sha256Hex(sent[i].data(), sent[i].size()));
    EXPECT_EQ(r.States(), (std::vector<uint32_t>{1, 2}));
}

TEST(AlarmParams, RefusedSizesAndClosedChannel)
{
    Device d({"alarm-param-ack=4"});
    ASSERT_TRUE(d.ok);
    ParamRecorder r;
    KVNetAlarmParamInfoParam p{&ParamRecorder::OnJson, &ParamRecorder::OnState, &r};
    CAlarmParamInfo* h = KVNetStartAlarmParamInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return kvsess::Events(d.sim, "param-open").size() >= 2; }, milliseconds(8000)));
    // Never open: dropped.
    const std::string s = "{}";
    KVNetAlarmParamJson j{s.data(), 2};
    EXPECT_EQ(KVNetSendAlarmParamJson(h, &j), 0);
    for (int32_t bad : {0, -1, KVNET_ALARM_JSON_MAX + 1}) {
        KVNetAlarmParamJson b{s.data(), bad};
        EXPECT_EQ(KVNetSendAlarmParamJson(h, &b), 0) << bad;
    }
    KVNetStopAlarmParamInfo(&h);
    EXPECT_TRUE(r.States().empty());
    EXPECT_TRUE(kvsess::Events(d.sim, "param-text").empty());
    KVNetAlarmParamInfoParam none{nullptr, nullptr, nullptr};
    EXPECT_EQ(KVNetStartAlarmParamInfo(d.ss.s, &none), nullptr);
    EXPECT_EQ(KVNetSendAlarmParamJson(nullptr, &j), 0);
}

TEST(AlarmParams, SilentDeviceClosesAfterFourMissedHeartbeats)
{
    kvstills::StillTimings t = FastStills();
    t.heartbeatMs = 150;
    t.paramRecvMs = 100;
    Device d({"alarm-param-deaf"}, t);
    ASSERT_TRUE(d.ok);
    ParamRecorder r;
    KVNetAlarmParamInfoParam p{&ParamRecorder::OnJson, &ParamRecorder::OnState, &r};
    CAlarmParamInfo* h = KVNetStartAlarmParamInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.States().size() >= 3; }, milliseconds(10000)));
    KVNetStopAlarmParamInfo(&h);
    auto st2 = r.States();
    EXPECT_EQ((std::vector<uint32_t>(st2.begin(), st2.begin() + 3)), (std::vector<uint32_t>{1, 2, 1}));
    EXPECT_GE(kvsess::Events(d.sim, "param-open").size(), 2u);
    EXPECT_GE(kvsess::Events(d.sim, "param-beat").size(), 4u);
}

TEST(AlarmParams, AnsweredHeartbeatsKeepTheChannel)
{
    kvstills::StillTimings t = FastStills();
    t.heartbeatMs = 100;
    t.paramRecvMs = 100;
    Device d({}, t);
    ASSERT_TRUE(d.ok);
    ParamRecorder r;
    KVNetAlarmParamInfoParam p{&ParamRecorder::OnJson, &ParamRecorder::OnState, &r};
    CAlarmParamInfo* h = KVNetStartAlarmParamInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !r.States().empty(); }, milliseconds(8000)));
    // Well over four periods of heartbeats, all answered.
    std::this_thread::sleep_for(milliseconds(1200));
    EXPECT_EQ(r.States(), std::vector<uint32_t>{1});
    KVNetStopAlarmParamInfo(&h);
    EXPECT_EQ(kvsess::Events(d.sim, "param-open").size(), 1u);
}

TEST(AlarmParams, SlowSilentDeviceAtTheRealPeriod)
{
    MediaTimingsScope mt(FastMedia());
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"alarm-param-deaf"}));
    ParamRecorder r;
    KVNetAlarmParamInfoParam p{&ParamRecorder::OnJson, &ParamRecorder::OnState, &r};
    CAlarmParamInfo* h = KVNetStartAlarmParamInfo(ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !r.States().empty(); }, milliseconds(8000)));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.States().size() >= 2; }, milliseconds(40000)));
    const auto took = std::chrono::steady_clock::now() - t0;
    KVNetStopAlarmParamInfo(&h);
    // Four heartbeats 5 s apart, then at most one receive time-out.
    EXPECT_GE(took, milliseconds(19000));
    EXPECT_LE(took, milliseconds(32000));
}

namespace {
std::atomic<bool> gTunnelled{false};
bool TunnelSeam(DevConnection*)
{
    return gTunnelled.load();
}
} // namespace

TEST(AlarmParams, LargeTextGoesInPausedPiecesOnlyThroughATunnel)
{
    kvstills::SetTunnelPredicate(&TunnelSeam);
    Device d({});
    ASSERT_TRUE(d.ok);
    ParamRecorder r;
    KVNetAlarmParamInfoParam p{&ParamRecorder::OnJson, &ParamRecorder::OnState, &r};
    CAlarmParamInfo* h = KVNetStartAlarmParamInfo(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return !r.States().empty(); }, milliseconds(8000)));
    std::chrono::steady_clock::duration took[2];
    for (bool tunnel : {false, true}) {
        gTunnelled = tunnel;
        const std::string text = Json(200000, tunnel ? 't' : 'd');
        const size_t before = r.Texts();
        KVNetAlarmParamJson j{text.data(), static_cast<int32_t>(text.size())};
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(KVNetSendAlarmParamJson(h, &j), 1);
        ASSERT_TRUE(kvtest::WaitFor([&] { return r.Texts() > before; }, milliseconds(15000)));
        took[tunnel] = std::chrono::steady_clock::now() - t0;
        std::lock_guard<std::mutex> l(r.mu);
        EXPECT_EQ(r.texts.back(), text);
    }
    KVNetStopAlarmParamInfo(&h);
    kvstills::SetTunnelPredicate(nullptr);
    // 200 016 bytes: 196 pieces of 1024 bytes, each followed by 5 ms.
    EXPECT_GE(took[1], milliseconds(196 * 5));
    EXPECT_LT(took[0], milliseconds(900)) << "a direct session sends at once";
}

TEST(StillStops, AtAnyMomentPromptWithNoCallbackAfter)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim,
                       {"pic-file=" + Pics().jpg, "pic-encodes=1,1,1,1,1,1,1,1", "snap-file=" + Pics().jpg,
                        "alarm-end=close", "alarm-param-push={}", "reply-delay=5"}));
    kvtest::TempDir dir("stops");
    for (int delay : {0, 1, 3, 8, 20, 50}) {
        SCOPED_TRACE(delay);
        PicRecorder pr;
        AlarmRecorder ar;
        ParamRecorder par;
        TimingRecorder tr;
        const auto req = PicRequest(40);
        KVNetGetPictureParam pp{req.data(), &PicRecorder::OnPic, &PicRecorder::OnMsg, &pr};
        KVNetAlarmRequestInfoParam ap{&AlarmRecorder::On, nullptr, &ar};
        KVNetAlarmParamInfoParam pap{&ParamRecorder::OnJson, &ParamRecorder::OnState, &par};
        const uint8_t treq[4] = {4, 0, 0, 0};
        KVNetTimingParam tp{&TimingRecorder::On, &tr, treq, {}};
        KVNetCaptureParam cp = CaptureParam(dir.File("s" + std::to_string(delay) + ".jpg"));
        GetDevicePicture* ph = KVNetStartGetPicture(ss.s, &pp);
        CAlarmRequestInfo* ah = KVNetStartAlarmRequestInfo(ss.s, &ap);
        CAlarmParamInfo* pah = KVNetStartAlarmParamInfo(ss.s, &pap);
        CTimingConn* th = KVNetStartTiming(ss.s, &tp);
        CAsyncDeviceCapture* ch = KVNetAsyncCapture(ss.s, &cp);
        ASSERT_TRUE(ph && ah && pah && th && ch);
        std::this_thread::sleep_for(milliseconds(delay));
        const auto t0 = std::chrono::steady_clock::now();
        KVNetStopGetPicture(&ph);
        pr.stopped = true;
        KVNetStopAlarmRequestInfo(&ah);
        ar.stopped = true;
        KVNetStopAlarmParamInfo(&pah);
        KVNetStopTiming(&th);
        KVNetStopCapture(&ch);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(5000));
        std::this_thread::sleep_for(milliseconds(30));
        EXPECT_EQ(pr.afterStop.load(), 0);
        EXPECT_EQ(ar.afterStop.load(), 0);
        EXPECT_EQ(tr.calls, 1);
        // A snapshot file is whole or absent.
        const std::string f = dir.File("s" + std::to_string(delay) + ".jpg");
        if (Exists(f))
            EXPECT_EQ(kvtest::ReadFile(f), kvtest::ReadFile(Pics().jpg));
    }
}

TEST(StillStops, SessionStopFirstThenTheObjectsOnlyFree)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    kvtest::SimProcess sim;
    auto ss = std::make_unique<Session>();
    ASSERT_TRUE(Logged(*ss, sim, {"alarm-count=50", "thumb-plan=jpg,jpg", "thumb-jpg=" + Pics().jpg}));
    AlarmRecorder ar;
    ParamRecorder par;
    KVNetAlarmRequestInfoParam ap{&AlarmRecorder::On, nullptr, &ar};
    KVNetAlarmParamInfoParam pap{&ParamRecorder::OnJson, &ParamRecorder::OnState, &par};
    CAlarmRequestInfo* ah = KVNetStartAlarmRequestInfo(ss->s, &ap);
    CAlarmParamInfo* pah = KVNetStartAlarmParamInfo(ss->s, &pap);
    ASSERT_TRUE(ah && pah);
    ASSERT_TRUE(kvtest::WaitFor([&] { return ar.Count() > 0 && !par.States().empty(); }, milliseconds(8000)));
    ss.reset(); // the session's stop ends both objects' work
    ar.stopped = true;
    const size_t states = par.States().size();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(ar.afterStop.load(), 0);
    EXPECT_EQ(par.States().size(), states);
    KVNetStopAlarmRequestInfo(&ah);
    KVNetStopAlarmParamInfo(&pah);
    EXPECT_EQ(ah, nullptr);
    EXPECT_EQ(pah, nullptr);
}
