// Bare frame records, the day-change test and the base class's refusals.
#include <gtest/gtest.h>
#include <string.h>

#include "base_record_file.h"
#include "test_util.h"

namespace {

// Lets the tests call the protected day check.
class DayProbe : public CBaseRecordFile {
public:
    bool Check(uint64_t t) { return CrossDay(t); }
};

uint64_t Utc(int y, int mo, int d, int h, int mi, int s)
{
    struct tm t;
    memset(&t, 0, sizeof(t));
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return (uint64_t)timegm(&t) * 1000000u;
}

}  // namespace

TEST(BaseRecordFile, RecordLengthsArePaddedToEight)
{
    TempDir tmp;
    const struct { uint32_t payload; int record; } rows[] = {{1, 48}, {8, 48}, {13, 56}, {0, 40}, {7, 48}};
    CBaseRecordFile w;
    ASSERT_EQ(0, w.Open(tmp.Path("bare").c_str(), false));
    std::vector<TestFrame> frames;
    for (const auto& r : rows) {
        frames.push_back(MakeFrame('P', (uint32_t)frames.size() + 1, T0(), r.payload));
        int size = (int)frames.back().bytes.size();
        ASSERT_EQ(0, w.WriteFrame(frames.back().bytes.data(), size));
        EXPECT_EQ(r.record, size) << r.payload;
        EXPECT_EQ((uint64_t)r.record, w.LastStoredBytes());
    }
    ASSERT_EQ(0, w.Close());
    EXPECT_EQ(48u + 48 + 56 + 40 + 48, ReadFileBytes(tmp.Path("bare")).size());

    CBaseRecordFile r;
    ASSERT_EQ(0, r.Open(tmp.Path("bare").c_str(), true));
    std::vector<uint8_t> buf(256);
    for (size_t i = 0; i < frames.size(); i++) {
        int size = (int)buf.size();
        ASSERT_EQ(0, r.ReadFrame(buf.data(), size));
        EXPECT_EQ(rows[i].record, size);
        EXPECT_EQ(0, memcmp(buf.data(), frames[i].bytes.data(), frames[i].bytes.size()));
        for (int k = (int)frames[i].bytes.size(); k < size; k++)
            EXPECT_EQ(0, buf[(size_t)k]) << "padding";
    }
    int size = (int)buf.size();
    EXPECT_EQ(-1, r.ReadFrame(buf.data(), size)) << "end of file";
    // The independent reader sees the same records.
    EXPECT_EQ(FrameLines(frames), Oracle("frames " + tmp.Path("bare")));
}

TEST(BaseRecordFile, ReadRefusals)
{
    TempDir tmp;
    TestFrame big = MakeFrame('I', 1, T0(), 100);
    std::vector<uint8_t> good(big.bytes);
    good.resize(144, 0);  // record 40 + 100 + 4 padding

    struct Row {
        const char* name;
        std::vector<uint8_t> file;
        int capacity;
        int want;
    };
    std::vector<uint8_t> badMagic = good;
    badMagic[0] = 'X';
    std::vector<uint8_t> cut(good.begin(), good.begin() + 120);  // payload cut
    std::vector<uint8_t> noPad(good.begin(), good.begin() + 140);  // payload whole, padding lost
    std::vector<uint8_t> huge = good;
    uint32_t nearMax = 0x7FFFFFF0u;  // FrameSize near 2^31: no allocation, no read, -1
    memcpy(&huge[12], &nearMax, 4);
    std::vector<uint8_t> wrap = good;
    uint32_t allOnes = 0xFFFFFFFFu;  // + 47 would wrap in 32 bits
    memcpy(&wrap[12], &allOnes, 4);
    std::vector<uint8_t> shortHead(good.begin(), good.begin() + 39);
    const Row rows[] = {
        {"whole record", good, 144, 0},
        {"capacity one short", good, 143, -1},
        {"magic", badMagic, 144, -1},
        {"truncated payload", cut, 144, -1},
        {"missing padding only", noPad, 144, 0},
        {"FrameSize near 2^31", huge, 1 << 20, -1},
        {"FrameSize 2^32-1", wrap, 1 << 20, -1},
        {"short head", shortHead, 144, -1},
        {"empty file", {}, 144, -1},
    };
    for (const Row& row : rows) {
        WriteFileBytes(tmp.Path("f"), row.file);
        CBaseRecordFile r;
        ASSERT_EQ(0, r.Open(tmp.Path("f").c_str(), true));
        std::vector<uint8_t> buf((size_t)row.capacity, 0xEE);
        int size = row.capacity;
        EXPECT_EQ(row.want, r.ReadFrame(buf.data(), size)) << row.name;
        if (row.want == 0) {
            EXPECT_EQ(144, size) << row.name;
            EXPECT_EQ(0, memcmp(buf.data(), good.data(), 144)) << row.name;
        }
    }
}

TEST(BaseRecordFile, WriteRefusesSizeThatDisagreesWithHead)
{
    TempDir tmp;
    CBaseRecordFile w;
    ASSERT_EQ(0, w.Open(tmp.Path("f").c_str(), false));
    TestFrame f = MakeFrame('I', 1, T0(), 10);
    int size = 49;  // head says 50
    EXPECT_EQ(-1, w.WriteFrame(f.bytes.data(), size));
    size = 20;
    EXPECT_EQ(-1, w.WriteFrame(f.bytes.data(), size));
    EXPECT_EQ(0u, w.LastStoredBytes());
    EXPECT_EQ(0, w.Close());
    EXPECT_EQ(0u, ReadFileBytes(tmp.Path("f")).size());
}

TEST(BaseRecordFile, BaseOperationsAnswerMinusOne)
{
    CBaseRecordFile b;
    uint64_t a = 1, z = 2;
    EXPECT_EQ(-1, b.SeekByTime(0));
    EXPECT_EQ(-1, b.GetTimeRange(a, z));
    EXPECT_EQ(-1, b.GetKeyFrameCount());
    EXPECT_EQ(-1, b.SeekByKeyFrameIndex(0));
    uint8_t buf[64];
    int size = 64;
    EXPECT_EQ(-1, b.ReadFrame(buf, size)) << "closed";
    TestFrame f = MakeFrame('I', 1, 0, 4);
    size = (int)f.bytes.size();
    EXPECT_EQ(-1, b.WriteFrame(f.bytes.data(), size)) << "closed";
    EXPECT_EQ(-1, b.Open("/nonexistent-dir/x", false));
}

TEST(BaseRecordFile, DayChangeIsTestedEveryFifthCall)
{
    struct Row {
        const char* name;
        std::vector<uint64_t> times;
        std::vector<int> changed;  // indexes of calls that report a change
    };
    std::vector<uint64_t> minutes;
    for (int i = 0; i < 10; i++)
        minutes.push_back(Utc(2024, 3, 9, 23, 55, 0) + (uint64_t)i * 60000000u);
    std::vector<uint64_t> oneDay;
    for (int i = 0; i < 20; i++)
        oneDay.push_back(Utc(2024, 3, 9, 1, 0, 0) + (uint64_t)i * 3600000000u);
    std::vector<uint64_t> gap;
    for (int i = 0; i < 5; i++)
        gap.push_back(Utc(2024, 3, 9, 12, 0, 0));
    for (int i = 0; i < 5; i++)
        gap.push_back(Utc(2024, 3, 13, 12, 0, 0));
    std::vector<uint64_t> yearEnd;
    for (int i = 0; i < 5; i++)
        yearEnd.push_back(Utc(2023, 12, 31, 23, 0, 0));
    for (int i = 0; i < 5; i++)
        yearEnd.push_back(Utc(2024, 1, 1, 0, 30, 0));
    const Row rows[] = {
        {"minutes across midnight", minutes, {9}},
        {"one UTC day", oneDay, {}},
        {"gap of days", gap, {9}},
        {"year end", yearEnd, {9}},
    };
    for (const Row& row : rows) {
        DayProbe p;
        for (size_t i = 0; i < row.times.size(); i++) {
            bool want = std::find(row.changed.begin(), row.changed.end(), (int)i) != row.changed.end();
            EXPECT_EQ(want, p.Check(row.times[i])) << row.name << " call " << i;
        }
    }
}

TEST(BaseRecordFile, DevFullFailsOnWriteOrClose)
{
    CBaseRecordFile w;
    ASSERT_EQ(0, w.Open("/dev/full", false));
    TestFrame f = MakeFrame('I', 1, T0(), 1000);
    int worst = 0;
    for (int i = 0; i < 20; i++) {
        int size = (int)f.bytes.size();
        int rc = w.WriteFrame(f.bytes.data(), size);
        worst = std::min(worst, rc);
    }
    int rc = w.Close();
    EXPECT_TRUE(worst < 0 || rc < 0) << "a full device must not look like success";
}

TEST(BaseRecordFile, GeneratedMediaRoundTrip)
{
    for (const char* media : {"h264_alaw.frm", "h265_mulaw.frm"}) {
        SCOPED_TRACE(media);
        TempDir tmp;
        std::vector<TestFrame> frames = LoadFrames(MediaPath(media));
        CBaseRecordFile w;
        ASSERT_EQ(0, w.Open(tmp.Path("bare").c_str(), false));
        std::vector<int> results;
        WriteAll(w, frames, &results);
        ASSERT_EQ(0, w.Close());
        for (int rc : results)
            ASSERT_EQ(0, rc);
        // Bare records are the frame file's own layout, byte for byte.
        EXPECT_TRUE(ReadFileBytes(MediaPath(media)) == ReadFileBytes(tmp.Path("bare")));
        CBaseRecordFile r;
        ASSERT_EQ(0, r.Open(tmp.Path("bare").c_str(), true));
        std::vector<TestFrame> back = ReadAll(r);
        ASSERT_EQ(frames.size(), back.size());
        for (size_t i = 0; i < frames.size(); i++)
            ASSERT_EQ(frames[i].bytes, back[i].bytes) << i;
        EXPECT_EQ(Oracle("frames " + tmp.Path("bare")), FrameLines(back));
    }
}
