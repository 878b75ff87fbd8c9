// The record downloads' own rules, without a device: request bodies byte by byte, the
// progress gate in 64 bits, the resume filter per frame kind, split names.
#include <gtest/gtest.h>

#include <cstring>

#include "dev_download_record.h"
#include "download_record.h"
#include "record_time.h"

namespace {
using kvrectest::Dt;
// The attributes are the device's own and must reach the request unchanged.
RecordDetailRsp Item(DateTime s, DateTime e, uint32_t size)
{
    return kvrectest::Item(s, e, size, 0x77);
}
KVFrameHead Head(char type, uint64_t us)
{
    KVFrameHead h{};
    h.FrameType = static_cast<uint8_t>(type);
    h.FrameTime = us;
    return h;
}
constexpr uint64_t kMidnight = 1710028800ull * 1000000; // 2024-03-10 00:00:00 UTC
} // namespace

TEST(DownloadRules, ListRequestBodies)
{
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 10, 8, 0, 0), Dt(2024, 3, 10, 8, 15, 0), 100),
                                       Item(Dt(2024, 3, 10, 9, 0, 0), Dt(2024, 3, 10, 9, 30, 0), 200)};
    std::vector<DownloadFileEntry> files(2);
    struct Case {
        bool whole, ext;
        size_t size;
    } cases[] = {{false, false, 12 + 56}, {false, true, 24 + 56}, {true, false, 12 + 28}, {true, true, 24 + 28}};
    for (auto& c : cases) {
        DevDownloadRecord d(nullptr, 0xA1B2C3D4, items, files, c.whole, c.ext, false, nullptr, nullptr, nullptr);
        bool byTime = true;
        auto body = d.RequestBody(0x5E55107D, &byTime);
        ASSERT_EQ(body.size(), c.size);
        const uint32_t head[3] = {c.ext ? 24u : 12u, 0x5E55107D, 0xA1B2C3D4};
        EXPECT_EQ(0, memcmp(body.data(), head, 12));
        EXPECT_EQ(byTime, c.whole);
        const uint8_t* p = body.data() + (c.ext ? 24 : 12);
        if (c.ext) {
            EXPECT_EQ(body[12], 1);
            for (int i = 13; i < 24; ++i)
                EXPECT_EQ(body[i], 0);
        }
        if (c.whole) {
            // One item over the whole span: StructSize 0, first start, last end, the rest 0.
            RecordDetailRsp span{};
            span.Start = items[0].Start;
            span.End = items[1].End;
            EXPECT_EQ(0, memcmp(p, &span, 28));
        } else {
            EXPECT_EQ(0, memcmp(p, items.data(), 56));
        }
    }
}

TEST(DownloadRules, ResumeAsksFromASecondBeforeTheLastStoredKeyFrame)
{
    // A key frame at midnight asks from 23:59:59 of the day before; without a stored key
    // frame the item's own start stays (never 0 - 1 s).
    std::vector<RecordDetailRsp> items{Item(Dt(2024, 3, 9, 23, 0, 0), Dt(2024, 3, 10, 1, 0, 0), 100)};
    kvdl::ResumeFilter f;
    DateTime st = items[0].Start;
    EXPECT_FALSE(f.ResumeStart(&st));
    EXPECT_EQ(st.hour, 23);
    f.Stored(Head('I', kMidnight));
    f.Stored(Head('P', kMidnight + 40000));
    ASSERT_TRUE(f.ResumeStart(&st));
    const DateTime want = Dt(2024, 3, 9, 23, 59, 59);
    EXPECT_EQ(0, memcmp(&st, &want, 8));
}

TEST(DownloadRules, ResumeSkipsPerFrameKind)
{
    kvdl::ResumeFilter f;
    f.Stored(Head('I', 1000));
    f.Stored(Head('A', 1010));
    f.Stored(Head('P', 1040));
    f.Arm();
    struct {
        char type;
        uint64_t t;
        bool skip;
    } cases[] = {{'I', 1000, true}, {'P', 1040, true}, {'P', 1080, false}, {'A', 1010, true},
                 // audio later than the last stored audio but earlier than the last video
                 {'A', 1030, false}, {'V', 1041, false}};
    for (auto& c : cases)
        EXPECT_EQ(f.Skip(Head(c.type, c.t)), c.skip) << c.type << " " << c.t;
    kvdl::ResumeFilter none;
    EXPECT_FALSE(none.Skip(Head('P', 1)));
}

TEST(DownloadRules, ProgressIn64BitsAtMostEvery301Ms)
{
    kvdl::ProgressGate g;
    uint32_t pct = 0;
    const uint64_t fiveGiB = 5ull << 30;
    g.Restart(1000);
    EXPECT_FALSE(g.Due(fiveGiB / 2, fiveGiB, 1300, true, &pct)); // 300 ms: too early
    ASSERT_TRUE(g.Due(fiveGiB / 2, fiveGiB, 1301, true, &pct));
    EXPECT_EQ(pct, 50u);
    EXPECT_FALSE(g.Due(fiveGiB / 2 + 10, fiveGiB, 2000, true, &pct)); // unchanged
    ASSERT_TRUE(g.Due(fiveGiB / 10 * 9, fiveGiB, 2001, true, &pct));
    EXPECT_EQ(pct, 90u);
    EXPECT_FALSE(g.Due(100, 0, 9000, true, &pct)); // size 0: never
    ASSERT_TRUE(g.Due(3 * fiveGiB, fiveGiB, 9000, true, &pct));
    EXPECT_EQ(pct, 100u); // capped
    kvdl::ProgressGate u;
    u.Restart(0);
    ASSERT_TRUE(u.Due(3 * fiveGiB, fiveGiB, 400, false, &pct));
    EXPECT_EQ(pct, 300u); // the list download may pass 100
    ASSERT_TRUE(u.Due(UINT64_MAX, 1, 800, false, &pct)); // no overflow, clamped
}

TEST(DownloadRules, SplitNamesInUtcWithACounterForRepeats)
{
    std::set<std::string> used;
    const uint64_t t = kMidnight + 8 * 3600 * 1000000ull + 1499999; // 08:00:01.499999
    EXPECT_EQ(kvdl::SplitName("/x/a.b/rec.mp4", t, used), "/x/a.b/rec_2024-03-10_08-00-01.mp4");
    EXPECT_EQ(kvdl::SplitName("/x/a.b/rec.mp4", t + 1, used), "/x/a.b/rec_2024-03-10_08-00-02.mp4"); // rounded
    EXPECT_EQ(kvdl::SplitName("/x/a.b/rec.mp4", t, used), "/x/a.b/rec_2024-03-10_08-00-01_2.mp4");
    EXPECT_EQ(kvdl::SplitName("/x/a.b/rec.mp4", t, used), "/x/a.b/rec_2024-03-10_08-00-01_3.mp4");
    EXPECT_EQ(kvdl::SplitName("noext", t, used), "");
}
