// Thumbnails of recordings and of channels against the simulated device: result codes in
// item order, files byte-equal to the device's pictures and readable by ffprobe, the
// reopening with the items not yet answered, faulty answers, folders, start refusals.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "stills_fixture.h"

using namespace kvmediatest;
using namespace kvstillstest;
using std::chrono::milliseconds;

namespace {

struct ThumbRecorder {
    std::mutex mu;
    std::vector<uint32_t> results;
    std::vector<std::string> files;
    std::vector<uint32_t> frameSizes;
    int ends = 0;
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};

    void Add(uint32_t result, const char* file, uint32_t frameSize)
    {
        if (stopped)
            ++afterStop;
        std::lock_guard<std::mutex> l(mu);
        results.push_back(result);
        files.push_back(file ? file : "");
        frameSizes.push_back(frameSize);
    }
    static void OnPlayback(const ThumbnailResult* r, void* u)
    {
        auto* t = static_cast<ThumbRecorder*>(u);
        if (!r) {
            std::lock_guard<std::mutex> l(t->mu);
            ++t->ends;
            return;
        }
        t->Add(r->nResult, r->szFile, r->pFrame->FrameSize);
    }
    static void OnChannel(const ChannelThumbnailResult* r, void* u)
    {
        auto* t = static_cast<ThumbRecorder*>(u);
        if (!r) {
            std::lock_guard<std::mutex> l(t->mu);
            ++t->ends;
            return;
        }
        t->Add(r->nResult, r->szFile, r->pRsp->picSize);
    }
    bool Ended()
    {
        std::lock_guard<std::mutex> l(mu);
        return ends > 0;
    }
};

std::vector<NewRecordDetailRsp> PlaybackItems(int n)
{
    std::vector<NewRecordDetailRsp> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        v[i].StructSize = 48;
        v[i].Start = DateTime{2024, 3, 10, 8, 0, 0, 0};
        v[i].Attributes = static_cast<uint32_t>(i); // the simulator's row index
    }
    return v;
}

std::vector<SnapPicForP2PReq> ChannelItems(int n)
{
    std::vector<SnapPicForP2PReq> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        v[i].structSize = 56;
        const uint32_t idx = static_cast<uint32_t>(i);
        memcpy(v[i].dev, &idx, 4);
    }
    return v;
}

struct ThumbRun {
    std::vector<uint32_t> results;
    std::vector<std::string> files;
    int ends = 0;
};

ThumbRun Playback(Session& ss, const std::string& folder, int n, ThumbRecorder& r)
{
    auto items = PlaybackItems(n);
    KVNetThumbnailsParam p{};
    p.pItems = items.data();
    p.nCount = n;
    p.callback.playback = &ThumbRecorder::OnPlayback;
    p.pUser = &r;
    p.szPath = folder.c_str();
    CThumbnailsConn* h = KVNetStartGetPlaybackThumbnails(ss.s, &p);
    EXPECT_NE(h, nullptr);
    if (!h)
        return {};
    EXPECT_TRUE(kvtest::WaitFor([&] { return r.Ended(); }, milliseconds(10000)));
    KVNetStopGetPlaybackThumbnails(&h);
    EXPECT_EQ(h, nullptr);
    return {r.results, r.files, r.ends};
}

bool Logged(Session& ss, kvtest::SimProcess& sim, const std::vector<std::string>& sc)
{
    std::vector<std::string> all = {"device-kind=plain", "thumb-jpg=" + Pics().jpg, "thumb-png=" + Pics().png};
    all.insert(all.end(), sc.begin(), sc.end());
    return StartSim(sim, all) && ss.Start(sim.tcp_port());
}

} // namespace

TEST(PlaybackThumbs, ResultsInItemOrderAndFilesOfTheDevicesPictures)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    const std::string jpg = kvtest::ReadFile(Pics().jpg);
    const std::string png = kvtest::ReadFile(Pics().png);
    struct Case {
        const char* name;
        std::string plan;
        std::vector<uint32_t> results;
        std::vector<std::string> content; // per result: the file's bytes, or empty for none
    } cases[] = {
        {"jpg-none-jpg", "jpg,none,jpg", {5, 3, 5}, {jpg, "", jpg}},
        {"png-jpg", "png,jpg", {6, 5}, {png, jpg}},
        {"format7", "fmt7,jpg", {1, 5}, {"", jpg}},
        {"badsize-next", "badsize,jpg", {2, 5}, {"", jpg}},
        {"orphan-next", "orphan,png", {2, 6}, {"", png}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::SimProcess sim;
        Session ss;
        ASSERT_TRUE(Logged(ss, sim, {"thumb-plan=" + c.plan, "thumb-end"}));
        kvtest::TempDir dir("thumbs");
        ThumbRecorder r;
        ThumbRun run = Playback(ss, dir.path(), static_cast<int>(c.results.size()), r);
        EXPECT_EQ(run.results, c.results);
        EXPECT_EQ(run.ends, 1);
        size_t files = 0;
        for (size_t i = 0; i < run.results.size() && i < c.content.size(); ++i) {
            if (c.content[i].empty()) {
                EXPECT_TRUE(run.files[i].empty()) << i;
                continue;
            }
            ++files;
            EXPECT_EQ(kvtest::ReadFile(run.files[i]), c.content[i]) << i;
            EXPECT_TRUE(FfprobeClean(run.files[i])) << run.files[i];
            EXPECT_EQ(run.files[i].rfind(dir.path() + "/", 0), 0u);
        }
        EXPECT_EQ(ListDir(dir.path()).size(), files) << "no file for items without a valid picture";
    }
}

TEST(PlaybackThumbs, ReopensWithTheItemsNotYetAnswered)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"thumb-plan=jpg,png,jpg", "thumb-drop-after=1", "thumb-end"}));
    kvtest::TempDir dir("thumbs");
    ThumbRecorder r;
    ThumbRun run = Playback(ss, dir.path(), 3, r);
    EXPECT_EQ(run.results, (std::vector<uint32_t>{5, 6, 5}));
    auto open = kvsess::Events(sim, "thumb-open");
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(kvtest::JsonInt(open[0], "items"), 3);
    EXPECT_EQ(kvtest::JsonInt(open[0], "first"), 0);
    EXPECT_EQ(kvtest::JsonInt(open[1], "items"), 2);
    EXPECT_EQ(kvtest::JsonInt(open[1], "first"), 1);
}

TEST(PlaybackThumbs, RefusedEveryTimeEndsWithTheFinalCallOnly)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"thumb-ack=50"}));
    kvtest::TempDir dir("thumbs");
    ThumbRecorder r;
    ThumbRun run = Playback(ss, dir.path(), 2, r);
    EXPECT_TRUE(run.results.empty());
    EXPECT_EQ(run.ends, 1);
    EXPECT_EQ(kvsess::Events(sim, "thumb-open").size(), 3u);
}

TEST(ChannelThumbs, ResultsFilesAndFaultyAnswers)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    const std::string jpg = kvtest::ReadFile(Pics().jpg);
    const std::string png = kvtest::ReadFile(Pics().png);
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"thumb-plan=jpg,none,png,badsize,orphan,jpg", "thumb-drop-after=2", "thumb-end"}));
    kvtest::TempDir dir("cthumbs");
    auto items = ChannelItems(6);
    ThumbRecorder r;
    KVNetThumbnailsParam p{};
    p.pItems = items.data();
    p.nCount = 6;
    p.callback.channel = &ThumbRecorder::OnChannel;
    p.szPath = dir.path().c_str();
    p.pUser = &r;
    CChannelThumbnailsConn* h = KVNetStartGetChannelThumbnails(ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r.Ended(); }, milliseconds(10000)));
    KVNetStopGetChannelThumbnails(&h);
    EXPECT_EQ(r.results, (std::vector<uint32_t>{5, 3, 6, 2, 2, 5}));
    EXPECT_EQ(r.ends, 1);
    EXPECT_EQ(kvtest::ReadFile(r.files[0]), jpg);
    EXPECT_EQ(kvtest::ReadFile(r.files[2]), png);
    EXPECT_EQ(kvtest::ReadFile(r.files[5]), jpg);
    EXPECT_EQ(r.files[2].substr(r.files[2].size() - 4), ".png");
    EXPECT_EQ(ListDir(dir.path()).size(), 3u);
    auto open = kvsess::Events(sim, "thumb-open");
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(kvtest::JsonInt(open[1], "first"), 2);
    EXPECT_EQ(kvtest::JsonInt(open[1], "type"), 812);
}

namespace {
std::atomic<int> gNullUserEnds{0};
void OnChannelNoUser(const ChannelThumbnailResult* r, void* u)
{
    if (!r && !u)
        ++gNullUserEnds;
}
} // namespace

TEST(Thumbs, StartRefusalsAndFolders)
{
    kvtest::SimProcess sim;
    Session ss;
    ASSERT_TRUE(Logged(ss, sim, {"thumb-plan=jpg", "thumb-end"}));
    kvtest::TempDir dir("tfold");
    ThumbRecorder r;
    auto items = PlaybackItems(2);
    const std::string folder = dir.path();
    KVNetThumbnailsParam good{};
    good.pItems = items.data();
    good.nCount = 2;
    good.callback.playback = &ThumbRecorder::OnPlayback;
    good.pUser = &r;
    good.szPath = folder.c_str();
    const std::string longPath = folder + "/" + std::string(260, 'x');
    auto big = items;
    big[1].StructSize = 49;
    struct Case {
        const char* name;
        KVNetThumbnailsParam p;
    } cases[] = {
        {"count0", [&] { auto p = good; p.nCount = 0; return p; }()},
        {"count-1", [&] { auto p = good; p.nCount = -1; return p; }()},
        {"no-items", [&] { auto p = good; p.pItems = nullptr; return p; }()},
        {"no-callback", [&] { auto p = good; p.callback.playback = nullptr; return p; }()},
        {"no-user", [&] { auto p = good; p.pUser = nullptr; return p; }()},
        {"no-path", [&] { auto p = good; p.szPath = nullptr; return p; }()},
        {"long-path", [&] { auto p = good; p.szPath = longPath.c_str(); return p; }()},
        {"item-49", [&] { auto p = good; p.pItems = big.data(); return p; }()},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KVNetStartGetPlaybackThumbnails(ss.s, &c.p), nullptr);
    }
    EXPECT_EQ(KVNetStartGetPlaybackThumbnails(nullptr, &good), nullptr);
    EXPECT_EQ(ListDir(folder).size(), 0u) << "the long path was refused, not cut and made";
    // Channel snapshots accept a null user pointer; the folder is made on the way.
    auto citems = ChannelItems(1);
    const std::string nested = folder + "/a/b/";
    KVNetThumbnailsParam cp{};
    cp.pItems = citems.data();
    cp.nCount = 1;
    cp.callback.channel = &OnChannelNoUser;
    cp.szPath = nested.c_str();
    cp.pUser = nullptr;
    CChannelThumbnailsConn* h = KVNetStartGetChannelThumbnails(ss.s, &cp);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Exists(folder + "/a/b"));
    KVNetStopGetChannelThumbnails(&h);
    EXPECT_EQ(gNullUserEnds.load(), 1);
    KVNetStopGetChannelThumbnails(nullptr);
}

TEST(Thumbs, StopAtAnyMomentIsPromptAndFinal)
{
    MediaTimingsScope mt(FastMedia());
    StillTimingsScope st(FastStills());
    ASSERT_TRUE(Pics().ok);
    kvtest::SimProcess sim;
    Session ss;
    std::string plan;
    for (int i = 0; i < 40; ++i)
        plan += i ? ",jpg" : "jpg";
    ASSERT_TRUE(Logged(ss, sim, {"thumb-plan=" + plan, "reply-delay=20"}));
    for (int delay : {0, 5, 20, 40, 80, 150}) {
        SCOPED_TRACE(delay);
        kvtest::TempDir dir("tstop");
        auto items = PlaybackItems(40);
        ThumbRecorder r;
        KVNetThumbnailsParam p{};
        p.pItems = items.data();
        p.nCount = 40;
        p.callback.playback = &ThumbRecorder::OnPlayback;
        p.pUser = &r;
        p.szPath = dir.path().c_str();
        CThumbnailsConn* h = KVNetStartGetPlaybackThumbnails(ss.s, &p);
        ASSERT_NE(h, nullptr);
        std::this_thread::sleep_for(milliseconds(delay));
        const auto t0 = std::chrono::steady_clock::now();
        KVNetStopGetPlaybackThumbnails(&h);
        r.stopped = true;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000));
        std::this_thread::sleep_for(milliseconds(50));
        EXPECT_EQ(r.afterStop.load(), 0);
        EXPECT_EQ(r.ends, 1) << "the final call comes once, before the stop returns";
    }
}
