// Record downloads against the simulator's store of recordings: the list download into
// .dat, .avi and .mp4 (read back by the record-file readers and by ffprobe), resumes after
// the device drops the connection, refusals, store failures; the named download's split
// names, end counts and codes; progress; stops.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "base_record_file.h"
#include "media_fixture.h"
#include "private_record_file.h"
#include "record_time.h"

using namespace kvmediatest;
using namespace kvrectest;
using std::chrono::milliseconds;

namespace {

struct Code {
    uint32_t code, value, index;
    std::chrono::steady_clock::time_point at;
};

struct DlRecorder {
    std::mutex mu;
    std::vector<Code> codes;
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};

    static void On4(uint32_t code, uint32_t value, uint32_t index, void* user)
    {
        auto* r = static_cast<DlRecorder*>(user);
        if (r->stopped)
            ++r->afterStop;
        std::lock_guard<std::mutex> l(r->mu);
        r->codes.push_back({code, value, index, std::chrono::steady_clock::now()});
    }
    static void On3(uint32_t code, uint32_t value, void* user) { On4(code, value, 0, user); }
    // Codes other than progress (295 with a value other than 1 left out when percent is false).
    std::vector<uint32_t> Main(bool withOpen = false)
    {
        std::lock_guard<std::mutex> l(mu);
        std::vector<uint32_t> out;
        for (auto& c : codes)
            if (c.code != 295 || (withOpen && c.value == 1))
                out.push_back(c.code);
        return out;
    }
    std::vector<Code> All()
    {
        std::lock_guard<std::mutex> l(mu);
        return codes;
    }
    bool Ended()
    {
        std::lock_guard<std::mutex> l(mu);
        for (auto& c : codes)
            if (c.code == 290)
                return true;
        return false;
    }
};

std::string MakeFrames(const kvtest::TempDir& dir, const std::string& name, int seconds, const char* t0)
{
    const std::string frm = dir.File(name);
    const std::string cmd = std::string("/usr/bin/python3 ") + KV_SOURCE_DIR + "/tests/media/make_media.py frames " +
                            frm + " --media " + dir.File("media") + " --seconds " + std::to_string(seconds) +
                            " --size 320x180 --t0 " + t0 + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 ? frm : std::string();
}

struct DevFrame {
    int rec;
    uint64_t time;
    char type;
    std::string sha;
};

// Frames the device sent per recording, each once, in order (a resumed connection
// repeats some).
std::map<int, std::vector<DevFrame>> DeviceFramesByRecording(const kvtest::SimProcess& sim)
{
    std::map<int, std::vector<DevFrame>> out;
    std::set<std::string> seen;
    for (auto& l : kvsess::Events(sim, "download-frame")) {
        DevFrame f{static_cast<int>(kvtest::JsonInt(l, "recording")), static_cast<uint64_t>(kvtest::JsonInt(l, "time")),
                   kvtest::JsonStr(l, "type")[0], kvtest::JsonStr(l, "sha256")};
        if (seen.insert(f.sha + std::to_string(f.time)).second)
            out[f.rec].push_back(f);
    }
    return out;
}

// The frames a record file keeps: from the first key frame on.
std::vector<DevFrame> FromFirstKey(const std::vector<DevFrame>& v)
{
    auto it = std::find_if(v.begin(), v.end(), [](const DevFrame& f) { return f.type == 'I'; });
    return std::vector<DevFrame>(it, v.end());
}

std::vector<DevFrame> ReadBack(const std::string& path, const char* password = nullptr)
{
    std::vector<DevFrame> out;
    std::unique_ptr<CBaseRecordFile> f(KVCreateRecordFile(path.c_str()));
    if (!f || f->Open(path.c_str(), true, password) != 0)
        return out;
    std::vector<uint8_t> buf(4 << 20);
    for (;;) {
        int size = static_cast<int>(buf.size());
        if (f->ReadFrame(buf.data(), size) != 0 || size < 40)
            break;
        const auto* h = reinterpret_cast<const KVFrameHead*>(buf.data());
        out.push_back({0, h->FrameTime, static_cast<char>(h->FrameType),
                       Sha256Hex(buf.data(), std::min<size_t>(size, 40 + h->FrameSize))});
    }
    f->Close();
    return out;
}

// Every frame byte-equal (private container and AVI); MP4 keeps samples: types and times.
void ExpectSameFrames(const std::vector<DevFrame>& want, const std::vector<DevFrame>& got, bool exact)
{
    std::vector<DevFrame> w = want, g = got;
    if (!exact) {
        auto video = [](const DevFrame& f) { return f.type == 'A'; };
        w.erase(std::remove_if(w.begin(), w.end(), video), w.end());
        g.erase(std::remove_if(g.begin(), g.end(), video), g.end());
    }
    ASSERT_EQ(w.size(), g.size());
    for (size_t i = 0; i < w.size(); ++i) {
        ASSERT_EQ(w[i].time, g[i].time) << "frame " << i;
        ASSERT_EQ(w[i].type, g[i].type) << "frame " << i;
        if (exact)
            ASSERT_EQ(w[i].sha, g[i].sha) << "frame " << i;
    }
}

bool Exists(const std::string& p)
{
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

long long FfprobeVideoPackets(const std::string& path)
{
    const std::string cmd = "ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets "
                            "-of csv=p=0 '" + path + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char line[64] = {};
    const bool got = fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    return got ? atoll(line) : -1;
}

struct Downloading {
    kvtest::SimProcess sim;
    Session ss;
    DlRecorder rec;
    bool Start(const std::vector<std::string>& scenarios)
    {
        std::vector<std::string> sc = {"device-kind=plain", "dl-log-frames"};
        sc.insert(sc.end(), scenarios.begin(), scenarios.end());
        return StartSim(sim, sc) && ss.Start(sim.tcp_port());
    }
    bool WaitEnd(int ms = 30000)
    {
        return kvtest::WaitFor([&] { return rec.Ended(); }, milliseconds(ms));
    }
};

kvmedia::MediaTimings Fast()
{
    kvmedia::MediaTimings t = FastMedia();
    t.recvScale = 3000;
    return t;
}

// Three recordings of real media an hour apart; the second is served empty.
struct ThreeRecordings {
    kvtest::TempDir dir{"dl"};
    std::string a, b, c;
    bool Make()
    {
        a = MakeFrames(dir, "a.frm", 6, "2024-03-10T08:00:00");
        b = MakeFrames(dir, "b.frm", 2, "2024-03-10T09:00:00");
        c = MakeFrames(dir, "c.frm", 6, "2024-03-10T10:00:00");
        return !a.empty() && !b.empty() && !c.empty();
    }
    std::vector<std::string> Scenarios() const
    {
        return {"rec-file=" + a + ",2024-03-10T08:00:00", "rec-file=" + b + ",2024-03-10T09:00:00",
                "rec-file=" + c + ",2024-03-10T10:00:00", "dl-empty=1"};
    }
    std::vector<RecordDetailRsp> Items() const
    {
        return {Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 6)),
                Item(Dt(2024, 3, 10, 9, 0, 0), Dt(2024, 3, 10, 9, 0, 2)),
                Item(Dt(2024, 3, 10, 10, 0, 0), Dt(2024, 3, 10, 10, 0, 6))};
    }
};

KVNetDownloadRecordExParam ListParam(std::vector<RecordDetailRsp>& items, std::vector<DownloadPathEntry>& paths,
                                     DlRecorder& r)
{
    KVNetDownloadRecordExParam p{};
    p.nA = 7;
    p.pItems = items.data();
    p.pPaths = paths.data();
    p.nCount = static_cast<uint32_t>(items.size());
    p.callback = &DlRecorder::On4;
    p.pUser = &r;
    return p;
}

std::vector<DownloadPathEntry> Paths(const kvtest::TempDir& dir, const std::string& ext, size_t n)
{
    std::vector<DownloadPathEntry> out(n);
    for (size_t i = 0; i < n; ++i)
        snprintf(out[i].path, sizeof out[i].path, "%s/file%zu%s", dir.path().c_str(), i, ext.c_str());
    return out;
}

} // namespace

TEST(DownloadList, ThreeEntriesTheSecondEmptyIntoEachFormat)
{
    MediaTimingsScope mt(Fast());
    ThreeRecordings recs;
    ASSERT_TRUE(recs.Make());
    const bool probe = std::system("command -v ffprobe >/dev/null 2>&1") == 0;
    for (const char* ext : {".dat", ".avi", ".mp4"}) {
        SCOPED_TRACE(ext);
        Downloading d;
        ASSERT_TRUE(d.Start(recs.Scenarios()));
        auto items = recs.Items();
        auto paths = Paths(recs.dir, std::string("_l") + ext, 3);
        KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
        DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(d.WaitEnd());
        KVNetStopDownloadRecord(&h);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(d.rec.Main(), (std::vector<uint32_t>{291, 292, 291, 290}));
        auto req = kvsess::Events(d.sim, "download-request");
        ASSERT_EQ(req.size(), 1u);
        EXPECT_EQ(kvtest::JsonInt(req[0], "type"), 131);
        EXPECT_EQ(kvtest::JsonInt(req[0], "head_size"), 12);
        EXPECT_EQ(kvtest::JsonInt(req[0], "a"), 7);
        EXPECT_EQ(kvtest::JsonField(req[0], "session_ok"), "true");
        EXPECT_EQ(kvtest::JsonInt(req[0], "by_time"), 0);
        auto dev = DeviceFramesByRecording(d.sim);
        EXPECT_FALSE(Exists(paths[1].path)); // nothing came for it
        for (int k : {0, 2}) {
            auto want = FromFirstKey(dev[k]);
            ASSERT_GT(want.size(), 100u);
            ExpectSameFrames(want, ReadBack(paths[k].path), std::string(ext) != ".mp4");
            if (probe && std::string(ext) != ".dat") {
                const long long v = std::count_if(want.begin(), want.end(), [](auto& f) { return f.type != 'A'; });
                EXPECT_EQ(FfprobeVideoPackets(paths[k].path), v);
            }
        }
    }
}

TEST(DownloadList, DeviceDropsInTheFirstAndThirdFileEveryFrameStoredOnce)
{
    MediaTimingsScope mt(Fast());
    ThreeRecordings recs;
    ASSERT_TRUE(recs.Make());
    std::ifstream fa(recs.a, std::ios::binary | std::ios::ate), fc(recs.c, std::ios::binary | std::ios::ate);
    const long long half = static_cast<long long>(fa.tellg()) / 2, third = static_cast<long long>(fc.tellg()) / 3;
    for (const char* ext : {".dat", ".avi", ".mp4"}) {
        SCOPED_TRACE(ext);
        Downloading d;
        auto sc = recs.Scenarios();
        sc.push_back("dl-drop=0:" + std::to_string(half));
        sc.push_back("dl-drop=2:" + std::to_string(third));
        ASSERT_TRUE(d.Start(sc));
        auto items = recs.Items();
        auto paths = Paths(recs.dir, std::string("_d") + ext, 3);
        KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
        DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(d.WaitEnd());
        KVNetStopDownloadRecord(&h);
        EXPECT_EQ(d.rec.Main(), (std::vector<uint32_t>{291, 292, 291, 290}));
        auto req = kvsess::Events(d.sim, "download-request");
        ASSERT_EQ(req.size(), 3u);
        EXPECT_EQ(kvtest::JsonInt(req[1], "by_time"), 1);
        EXPECT_EQ(kvtest::JsonInt(req[2], "by_time"), 1);
        EXPECT_EQ(kvsess::Events(d.sim, "download-drop").size(), 2u);
        // The resumed requests start one second before a key frame the file holds.
        for (int k : {1, 2}) {
            const std::string start = kvtest::JsonStr(req[k], "start");
            EXPECT_NE(start, k == 1 ? "2024-03-10T08:00:00" : "2024-03-10T10:00:00");
        }
        auto dev = DeviceFramesByRecording(d.sim);
        ASSERT_GT(dev[0].size(), 100u);
        ASSERT_GT(dev[2].size(), 100u);
        for (int k : {0, 2})
            ExpectSameFrames(FromFirstKey(dev[k]), ReadBack(paths[k].path), std::string(ext) != ".mp4");
    }
}

TEST(DownloadList, RecordingAcrossMidnightIsOneFile)
{
    MediaTimingsScope mt(Fast());
    kvtest::TempDir dir("dlmid");
    const std::string frm = MakeFrames(dir, "m.frm", 6, "2024-03-09T23:59:57");
    ASSERT_FALSE(frm.empty());
    for (const char* ext : {".dat", ".avi", ".mp4"}) {
        SCOPED_TRACE(ext);
        Downloading d;
        ASSERT_TRUE(d.Start({"rec-file=" + frm + ",2024-03-09T23:59:57"}));
        std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 9, 23, 59, 57), Dt(2024, 3, 10, 0, 0, 3))};
        auto paths = Paths(dir, ext, 1);
        KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
        DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
        ASSERT_TRUE(d.WaitEnd());
        KVNetStopDownloadRecord(&h);
        EXPECT_EQ(d.rec.Main(), (std::vector<uint32_t>{291, 290}));
        auto dev = DeviceFramesByRecording(d.sim);
        ASSERT_GT(dev[0].size(), 100u);
        ExpectSameFrames(FromFirstKey(dev[0]), ReadBack(paths[0].path), std::string(ext) != ".mp4");
    }
}

TEST(DownloadList, RefusalsAndStoreFailures)
{
    MediaTimingsScope mt(Fast());
    kvtest::TempDir dir("dlref");
    struct Case {
        const char* name;
        std::vector<std::string> scenarios;
        const char* file;
        std::vector<uint32_t> codes;
        bool fileMade;
    } cases[] = {
        {"AckFlag 360", {"dl-ack=360"}, "r.dat", {311, 290}, false},
        {"AckFlag 68 once, then served", {"dl-ack-first=68"}, "b.dat", {308, 291, 290}, true},
        {"AckFlag 325 once, then served", {"dl-ack-first=325"}, "h.dat", {307, 291, 290}, true},
        {"name without a dot", {}, "noext", {294, 293, 290}, false},
        {"folder that does not exist", {}, "missing/x.dat", {294, 293, 290}, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Downloading d;
        auto sc = c.scenarios;
        sc.push_back("rec=2024-03-10T08:00:00,2");
        ASSERT_TRUE(d.Start(sc));
        std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 2))};
        std::vector<DownloadPathEntry> paths(1);
        snprintf(paths[0].path, sizeof paths[0].path, "%s/%s", dir.path().c_str(), c.file);
        KVNetDownloadRecordParam p{};
        p.pItem = items.data();
        p.pPath = paths.data();
        p.callback = &DlRecorder::On3;
        p.pUser = &d.rec;
        DevDownloadRecord* h = KVNetStartDownloadRecord(d.ss.s, &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(d.WaitEnd());
        KVNetStopDownloadRecord(&h);
        EXPECT_EQ(d.rec.Main(), c.codes);
        EXPECT_EQ(Exists(paths[0].path), c.fileMade);
    }
}

TEST(DownloadList, NullArgumentsGiveNoHandle)
{
    KVNetDownloadRecordExParam p{};
    EXPECT_EQ(KVNetStartDownloadRecordEx(nullptr, &p), nullptr);
    KVNetDownloadByTimeParam t{};
    EXPECT_EQ(KVNetStartDownloadByTime(nullptr, &t), nullptr);
    DevDownloadRecord* h = nullptr;
    KVNetStopDownloadRecord(&h);
    KVNetStopDownloadRecord(nullptr);
    DownloadRecord* n = nullptr;
    KVNetStopDownloadFile(&n);
}

TEST(DownloadPictures, StoredAsBareFrameRecords)
{
    MediaTimingsScope mt(Fast());
    kvtest::TempDir dir("dlpic");
    Downloading d;
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,1,5,1"}));
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 1))};
    auto paths = Paths(dir, ".pic", 1);
    KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
    DevDownloadRecord* h = KVNetStartDownloadPictureEx(d.ss.s, &p);
    ASSERT_TRUE(d.WaitEnd());
    KVNetStopDownloadPicture(&h);
    EXPECT_EQ(d.rec.Main(), (std::vector<uint32_t>{291, 290}));
    auto req = kvsess::Events(d.sim, "download-request");
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(kvtest::JsonInt(req[0], "type"), 406);
    // Bare records: read back by the base class.
    CBaseRecordFile f;
    ASSERT_EQ(f.Open(paths[0].path, true), 0);
    std::vector<uint8_t> buf(1 << 20);
    auto dev = DeviceFramesByRecording(d.sim)[0];
    size_t n = 0;
    for (;; ++n) {
        int size = static_cast<int>(buf.size());
        if (f.ReadFrame(buf.data(), size) != 0)
            break;
        ASSERT_LT(n, dev.size());
        EXPECT_EQ(Sha256Hex(buf.data(), 40 + reinterpret_cast<KVFrameHead*>(buf.data())->FrameSize), dev[n].sha);
    }
    EXPECT_EQ(n, dev.size());
}

// Named downloads.

namespace {
KVNetDownloadByTimeParam ByTime(const std::string& name, DateTime s, DateTime e, uint32_t endCount, DlRecorder& r)
{
    KVNetDownloadByTimeParam p{};
    p.nA = 3;
    p.nB = 4;
    p.nC = 5;
    p.Start = s;
    p.End = e;
    snprintf(p.szName, sizeof p.szName, "%s", name.c_str());
    p.nEndCount = endCount;
    p.nTotalSize = 50u << 20;
    p.callback = &DlRecorder::On4;
    p.pUser = &r;
    return p;
}

std::vector<std::string> Listing(const std::string& dir)
{
    std::vector<std::string> out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("ls -1 '" + dir + "'").c_str(), "r"), pclose);
    char line[512];
    while (p && fgets(line, sizeof line, p.get())) {
        std::string s(line);
        s.erase(s.find_last_not_of("\n") + 1);
        out.push_back(s);
    }
    return out;
}
} // namespace

TEST(DownloadNamed, SplitAt10MiBNamesPiecesInUtc)
{
    MediaTimingsScope mt(Fast());
    const char* oldTz = getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    kvtest::TempDir dir("dlsplit");
    Downloading d;
    // About 17 MiB: 25 fps, a key frame every 25 frames of ~200 KB, P frames of ~20 KB.
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,25,25,25,0,200000,20000"}));
    const std::string name = dir.File("cut.dat");
    KVNetDownloadByTimeParam p = ByTime(name, Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 25), 1, d.rec);
    p.nSplitMiB = 10;
    DownloadRecord* h = KVNetStartDownloadByTime(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(d.WaitEnd(60000));
    KVNetStopDownloadFile(&h);
    EXPECT_EQ(d.rec.Main(true), (std::vector<uint32_t>{295, 290}));
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    // The piece starts at the first key frame after 10 MiB: its UTC time names it.
    auto dev = DeviceFramesByRecording(d.sim)[0];
    auto req = kvsess::Events(d.sim, "download-frame");
    uint64_t bytes = 0, cut = 0;
    for (auto& l : req) {
        const char t = kvtest::JsonStr(l, "type")[0];
        if (t == 'I' && bytes > (10u << 20)) {
            cut = static_cast<uint64_t>(kvtest::JsonInt(l, "time"));
            break;
        }
        bytes += 40 + static_cast<uint64_t>(kvtest::JsonInt(l, "size"));
    }
    ASSERT_NE(cut, 0u);
    const time_t secs = static_cast<time_t>((cut + 500000) / 1000000);
    tm t{};
    gmtime_r(&secs, &t);
    char piece[64];
    strftime(piece, sizeof piece, "cut_%Y-%m-%d_%H-%M-%S.dat", &t);
    auto listing = Listing(dir.path());
    std::sort(listing.begin(), listing.end());
    EXPECT_EQ(listing, (std::vector<std::string>{"cut.dat", piece}));
    auto first = ReadBack(name), second = ReadBack(dir.File(piece));
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.front().time, cut);
    EXPECT_EQ(second.front().type, 'I');
    first.insert(first.end(), second.begin(), second.end());
    ExpectSameFrames(dev, first, true);
}

TEST(DownloadNamed, EndCountOneAndThree)
{
    MediaTimingsScope mt(Fast());
    for (uint32_t endCount : {1u, 3u}) {
        SCOPED_TRACE(endCount);
        kvtest::TempDir dir("dlend");
        Downloading d;
        ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,1", "rec=2024-03-10T08:00:10,1", "rec=2024-03-10T08:00:20,1"}));
        KVNetDownloadByTimeParam p =
            ByTime(dir.File("span.dat"), Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 30), endCount, d.rec);
        DownloadRecord* h = KVNetStartDownloadByTime(d.ss.s, &p);
        ASSERT_TRUE(d.WaitEnd());
        KVNetStopDownloadFile(&h);
        EXPECT_EQ(d.rec.Main(true), (std::vector<uint32_t>{295, 290}));
        auto req = kvsess::Events(d.sim, "download-request");
        ASSERT_EQ(req.size(), 1u);
        EXPECT_EQ(kvtest::JsonInt(req[0], "by_time"), 1);
        EXPECT_EQ(kvtest::JsonInt(req[0], "head_size"), 24);
        EXPECT_EQ(kvtest::JsonInt(req[0], "b"), 4);
        EXPECT_EQ(kvtest::JsonInt(req[0], "struct_size"), 48);
        auto dev = DeviceFramesByRecording(d.sim);
        std::vector<DevFrame> want;
        for (uint32_t k = 0; k < endCount; ++k)
            want.insert(want.end(), dev[static_cast<int>(k)].begin(), dev[static_cast<int>(k)].end());
        ExpectSameFrames(want, ReadBack(dir.File("span.dat")), true);
    }
}

TEST(DownloadNamed, TwoEntriesAResumeAndTheCallersBlock)
{
    MediaTimingsScope mt(Fast());
    kvtest::TempDir dir("dlnamed");
    Downloading d;
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,4,25,25,0,20000,3000", "rec=2024-03-10T09:00:00,4,25,25,0,20000,3000",
                         "dl-drop=1:250000"}));
    std::vector<NewRecordDetailRsp> items(2);
    for (int k = 0; k < 2; ++k) {
        items[k].StructSize = 48;
        items[k].Start = Dt(2024, 3, 10, 8 + k, 0, 0);
        items[k].End = Dt(2024, 3, 10, 8 + k, 0, 4);
        items[k].Size = 0; // no percentage, no crash
    }
    std::vector<char> names(2 * 512, 'x'); // the second entry fills all 512 bytes: the copy is bounded
    snprintf(names.data(), 512, "%s", dir.File("one.dat").c_str());
    snprintf(names.data() + 512, 512, "%s", dir.File("two.dat").c_str());
    backupspecialinfo_t block{};
    memset(block.User1, 0x5A, sizeof block.User1);
    memset(block.User2, 0xA5, sizeof block.User2);
    KVNetDownloadByFileParam p{};
    p.nA = 9;
    p.nItemKind = 2;
    p.pItems = items.data();
    p.pNames = names.data();
    p.nCount = 2;
    p.callback = &DlRecorder::On4;
    p.pUser = &d.rec;
    p.pBackup = &block;
    DownloadRecord* h = KVNetStartDownloadByFile(d.ss.s, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(d.WaitEnd());
    KVNetStopDownloadFile(&h);
    EXPECT_EQ(d.rec.Main(true), (std::vector<uint32_t>{295, 291, 295, 291, 290}));
    for (auto& c : d.rec.All())
        if (c.code == 295)
            EXPECT_EQ(c.value, 1u);
    auto req = kvsess::Events(d.sim, "download-request");
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(kvtest::JsonInt(req[0], "k"), 1);
    EXPECT_EQ(kvtest::JsonInt(req[0], "item_size"), 48);
    // The resume asks for the second entry only, from one second before its last stored key frame.
    EXPECT_EQ(kvtest::JsonInt(req[1], "by_time"), 0);
    EXPECT_EQ(kvtest::JsonStr(req[1], "start"), "2024-03-10T09:00:01");
    EXPECT_EQ(kvtest::JsonStr(req[1], "end"), "2024-03-10T09:00:04");
    auto dev = DeviceFramesByRecording(d.sim);
    ASSERT_EQ(dev[0].size(), 100u);
    ASSERT_EQ(dev[1].size(), 100u);
    EXPECT_EQ(kvsess::Events(d.sim, "download-drop").size(), 1u);
    ExpectSameFrames(dev[0], ReadBack(dir.File("one.dat")), true);
    ExpectSameFrames(dev[1], ReadBack(dir.File("two.dat")), true);
    CKVPrivateRecordFile f;
    ASSERT_EQ(f.Open(dir.File("one.dat").c_str(), true), 0);
    ASSERT_NE(f.Block(), nullptr);
    EXPECT_EQ(0, memcmp(f.Block()->User1, block.User1, sizeof block.User1));
    EXPECT_EQ(0, memcmp(f.Block()->User2, block.User2, sizeof block.User2));
}

TEST(DownloadNamed, StartRefusals)
{
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    DlRecorder r;
    KVNetDownloadByTimeParam t = ByTime("/nonexistent/x.dat", Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 1), 1, r);
    t.nTotalSize = 0;
    EXPECT_EQ(KVNetStartDownloadByTime(ss.s, &t), nullptr);
    t.nTotalSize = 1;
    t.callback = nullptr;
    EXPECT_EQ(KVNetStartDownloadByTime(ss.s, &t), nullptr);
    RecordDetailRsp item{};
    char name[512] = "x.dat";
    for (uint32_t kind : {0u, 3u}) {
        KVNetDownloadByFileParam f{};
        f.nItemKind = kind;
        f.pItems = &item;
        f.pNames = name;
        f.nCount = 1;
        f.callback = &DlRecorder::On4;
        EXPECT_EQ(KVNetStartDownloadByFile(ss.s, &f), nullptr);
    }
}

TEST(DownloadProgress, ReportsAtLeast301MsApartAndRight)
{
    MediaTimingsScope mt(Fast());
    kvtest::TempDir dir("dlprog");
    Downloading d;
    // 3 s of 25 fps sent at 100 frames per second: about 0.75 s of download.
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,6,25,25,0,8000,2000", "dl-fps=100"}));
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 6), 60000)};
    auto paths = Paths(dir, ".dat", 1);
    KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
    DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
    ASSERT_TRUE(d.WaitEnd());
    KVNetStopDownloadRecord(&h);
    auto all = d.rec.All();
    std::vector<Code> pct;
    for (auto& c : all)
        if (c.code == 295)
            pct.push_back(c);
    ASSERT_GE(pct.size(), 2u);
    for (size_t i = 1; i < pct.size(); ++i) {
        EXPECT_GE(pct[i].at - pct[i - 1].at, milliseconds(300));
        EXPECT_GT(pct[i].value, pct[i - 1].value);
    }
    EXPECT_GT(pct.back().value, 100u); // the declared size was small: the percentage may pass 100
}

TEST(DownloadStop, AtRandomMomentsReturnsPromptlyWithNoCallbackAfter)
{
    MediaTimingsScope mt(Fast());
    kvtest::TempDir dir("dlstop");
    Downloading d;
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,4,25,25,0,8000,2000", "dl-fps=50"}));
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 4))};
    for (int delay : {0, 1, 5, 30, 120, 400}) {
        SCOPED_TRACE(delay);
        DlRecorder r;
        auto paths = Paths(dir, "_" + std::to_string(delay) + ".mp4", 1);
        KVNetDownloadRecordExParam p = ListParam(items, paths, r);
        DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
        ASSERT_NE(h, nullptr);
        std::this_thread::sleep_for(milliseconds(delay));
        const auto t0 = std::chrono::steady_clock::now();
        r.stopped = true;
        KVNetStopDownloadRecord(&h);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000));
        EXPECT_EQ(r.afterStop.load(), 0);
    }
    // Offline: the session is gone; the download waits for a login and a stop ends it.
    kvtest::SimProcess sim;
    ASSERT_TRUE(StartSim(sim, {"device-kind=plain"}));
    Session ss;
    ASSERT_TRUE(ss.Start(sim.tcp_port()));
    sim.Stop();
    DlRecorder r;
    KVNetDownloadByTimeParam t = ByTime(dir.File("off.dat"), Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 1), 1, r);
    DownloadRecord* n = KVNetStartDownloadByTime(ss.s, &t);
    ASSERT_NE(n, nullptr);
    std::this_thread::sleep_for(milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    r.stopped = true;
    KVNetStopDownloadFile(&n);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000));
    EXPECT_EQ(r.afterStop.load(), 0);
}

// Store failure on a full file system: a 1 MiB tmpfs in a private mount namespace.
TEST(DownloadList, InsideSmallTmpfs)
{
    const char* dir = std::getenv("KVDL_TMPFS_DIR");
    if (!dir)
        GTEST_SKIP() << "started by SmallTmpfsGives294";
    MediaTimingsScope mt(Fast());
    Downloading d;
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,10,25,25,0,200000,20000"}));
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 10))};
    std::vector<DownloadPathEntry> paths(1);
    snprintf(paths[0].path, sizeof paths[0].path, "%s/full.dat", dir);
    KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
    DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
    ASSERT_TRUE(d.WaitEnd());
    KVNetStopDownloadRecord(&h);
    EXPECT_EQ(d.rec.Main(), (std::vector<uint32_t>{294, 293, 290}));
}

TEST(DownloadList, SmallTmpfsGives294)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    if (std::system("command -v unshare >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no unshare";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    kvtest::TempDir dir("dltmpfs");
    const std::string cmd = "unshare -m sh -c 'mount -t tmpfs -o size=1m kvdl " + dir.path() +
                            " && KVDL_TMPFS_DIR=" + dir.path() + " exec " + self +
                            " --gtest_filter=DownloadList.InsideSmallTmpfs' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// The real receive time-out: the device answers and then sends nothing; after 5 s the
// download asks again (a time-out is no device close) and completes.
TEST(DownloadSlow, SilentDeviceAfterTheAnswerIsAskedAgainAfterTheRealTimeOut)
{
    kvmedia::MediaTimings t = FastMedia(); // receive time-outs as they are
    MediaTimingsScope mt(t);
    kvtest::TempDir dir("dlslow");
    Downloading d;
    ASSERT_TRUE(d.Start({"rec=2024-03-10T08:00:00,2", "dl-stall-first"}));
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 0, 2))};
    auto paths = Paths(dir, ".dat", 1);
    KVNetDownloadRecordExParam p = ListParam(items, paths, d.rec);
    const auto t0 = std::chrono::steady_clock::now();
    DevDownloadRecord* h = KVNetStartDownloadRecordEx(d.ss.s, &p);
    ASSERT_TRUE(d.WaitEnd(30000));
    KVNetStopDownloadRecord(&h);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(4500));
    EXPECT_EQ(d.rec.Main(), (std::vector<uint32_t>{291, 290}));
    EXPECT_EQ(kvsess::Events(d.sim, "download-request").size(), 2u);
}
