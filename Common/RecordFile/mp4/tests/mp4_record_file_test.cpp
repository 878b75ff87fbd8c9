// CKVMP4RecordFile: the key-frame gate, the day check, modes, the factory and failures of
// the disk underneath.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include "avi_record_file.h"
#include "mp4_bytes.h"
#include "mp4_record_file.h"
#include "mp4_test_util.h"
#include "private_record_file.h"

using namespace mp4test;

namespace {
const std::vector<uint8_t> kSps = {0x67, 0x42, 0x00, 0x1E, 0xAC, 0xD9, 0x40, 0xB0};
const std::vector<uint8_t> kPps = {0x68, 0xCE, 0x38, 0x80};

std::vector<uint8_t> key(uint64_t t, size_t n = 200) { return video('I', t, annexb({kSps, kPps, {0x65, 0x10}, bytes_of(n, 1)})); }
std::vector<uint8_t> pframe(uint64_t t, size_t n = 100) { return video('P', t, annexb({{0x41, 0x20}, bytes_of(n, 2)})); }

int put(CBaseRecordFile& f, std::vector<uint8_t> frame)
{
    int size = int(frame.size());
    return f.WriteFrame(frame.data(), size);
}
uint64_t utc(int y, int mo, int d, int h, int mi)
{
    struct tm tm = {};
    tm.tm_year = y - 1900; tm.tm_mon = mo - 1; tm.tm_mday = d; tm.tm_hour = h; tm.tm_min = mi;
    return uint64_t(timegm(&tm)) * 1000000;
}
} // namespace

TEST(Mp4RecordFile, FactoryChoosesByTheThreeCharactersAfterTheLastDot)
{
    enum Kind { None, Avi, Mp4, Private };
    struct Case { const char* name; Kind kind; };
    const Case cases[] = {{"a.avi", Avi}, {"a.mp4", Mp4}, {"a.mp4x", Mp4}, {"dir.mp4/file", Mp4},
                          {"a.AVI", Private}, {"a.MP4", Private}, {"a.dat", Private}, {"a.mp", Private},
                          {"a.b.avi", Avi}, {"noext", None}, {nullptr, None}};
    for (const Case& c : cases) {
        std::unique_ptr<CBaseRecordFile> f(KVCreateRecordFile(c.name));
        Kind got = !f ? None
                   : dynamic_cast<CKVAVIRecordFile*>(f.get()) ? Avi
                   : dynamic_cast<CKVMP4RecordFile*>(f.get()) ? Mp4
                   : dynamic_cast<CKVPrivateRecordFile*>(f.get()) ? Private : None;
        EXPECT_EQ(got, c.kind) << (c.name ? c.name : "(null)");
    }
}

TEST(Mp4RecordFile, NothingBeforeTheFirstKeyFrame)
{
    std::string p = temp_path("gate.mp4");
    CKVMP4RecordFile f;
    ASSERT_EQ(f.Open(p.c_str(), false), 0);
    EXPECT_EQ(put(f, pframe(1000)), 0);
    EXPECT_EQ(put(f, video('V', 2000, annexb({{0x41, 1}}))), 0);
    EXPECT_EQ(put(f, audio(1, 3000, bytes_of(160, 3))), 0);
    EXPECT_EQ(f.LastStoredBytes(), 0u);
    uint64_t first = 1, last = 1;
    EXPECT_EQ(f.GetTimeRange(first, last), 0);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(put(f, key(40000)), 0);
    EXPECT_GT(f.LastStoredBytes(), 200u);
    EXPECT_EQ(put(f, audio(1, 50000, bytes_of(160, 3))), 0);
    EXPECT_EQ(f.LastStoredBytes(), 160u);
    EXPECT_EQ(put(f, pframe(80000)), 0);
    EXPECT_EQ(f.GetTimeRange(first, last), 0);
    EXPECT_EQ(first, 40000u);
    EXPECT_EQ(last, 80000u);
    EXPECT_EQ(f.GetKeyFrameCount(), 0);
    EXPECT_EQ(f.SeekByTime(40000), -1);
    EXPECT_EQ(f.SeekByKeyFrameIndex(0), 0);
    std::vector<uint8_t> buf(4096);
    int size = int(buf.size());
    EXPECT_EQ(f.ReadFrame(buf.data(), size), -1);
    ASSERT_EQ(f.Close(), 0);

    CKVMP4RecordFile r;
    ASSERT_EQ(r.Open(p.c_str(), true), 0);
    EXPECT_EQ(put(r, key(1)), -1);
    size = int(buf.size());
    ASSERT_EQ(r.ReadFrame(buf.data(), size), 0);
    EXPECT_EQ(rd_le64(&buf[16]), 40000u);
    EXPECT_EQ(buf[4], 'I');
    size = 0;
    EXPECT_EQ(r.ReadFrame(buf.data(), size), -1) << "no capacity";
    EXPECT_EQ(r.GetKeyFrameCount(), 1);
    r.Close();
    unlink(p.c_str());
}

TEST(Mp4RecordFile, OnlyAudioWritesNothingAtAll)
{
    std::string p = temp_path("audio_only.mp4");
    CKVMP4RecordFile f;
    ASSERT_EQ(f.Open(p.c_str(), false), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(put(f, audio(2, 40000u * i, bytes_of(160, 1))), 0);
    ASSERT_EQ(f.Close(), 0);
    EXPECT_TRUE(read_file(p).empty());
    CKVMP4RecordFile r;
    EXPECT_EQ(r.Open(p.c_str(), true), -6);
    unlink(p.c_str());
}

TEST(Mp4RecordFile, EveryFifthFrameChecksTheUtcDay)
{
    std::string p = temp_path("day.mp4");
    CKVMP4RecordFile f;
    ASSERT_EQ(f.Open(p.c_str(), false), 0);
    uint64_t t0 = utc(2024, 3, 9, 23, 55);
    for (int i = 0; i < 12; ++i) {
        uint64_t t = t0 + uint64_t(i) * 60000000;
        int r = put(f, i ? (i % 2 ? audio(1, t, bytes_of(160, 2)) : pframe(t)) : key(t));
        EXPECT_EQ(r, i == 9 ? 2 : 0) << "frame " << i + 1; // 10th frame: 00:04 of the next day
    }
    EXPECT_EQ(f.Close(), 0);
    unlink(p.c_str());
}

TEST(Mp4RecordFile, OpenCodes)
{
    CKVMP4RecordFile f;
    EXPECT_EQ(f.Open("/nonexistent-dir-kv/x.mp4", true), -2);
    EXPECT_EQ(f.Open("/nonexistent-dir-kv/x.mp4", false), -2);
    std::string p = temp_path("imkh.mp4");
    std::vector<uint8_t> b(200, 0);
    std::memcpy(&b[10], "IMKH", 4);
    std::memcpy(&b[180], "KVFm", 4);
    write_file(p, b);
    EXPECT_EQ(f.Open(p.c_str(), true), -5);
    unlink(p.c_str());
}

TEST(Mp4WriteFailure, DevFullIsReported)
{
    {
        CKVMP4RecordFile f;
        ASSERT_EQ(f.Open("/dev/full", false), 0);
        EXPECT_EQ(put(f, key(0)), 0); // still in the write buffer
        EXPECT_EQ(put(f, pframe(40000)), 0);
        EXPECT_EQ(f.Close(), -1);
    }
    {
        // A frame of 512 KiB or more goes to the disk at once and fails at once.
        CKVMP4RecordFile f;
        ASSERT_EQ(f.Open("/dev/full", false), 0);
        EXPECT_EQ(put(f, key(0, 600000)), -1);
        EXPECT_EQ(f.Close(), -1);
    }
}

// Runs inside a private mount namespace with a 1 MiB tmpfs at KVMP4_TMPFS_DIR.
TEST(Mp4WriteFailure, InsideSmallTmpfs)
{
    const char* dir = std::getenv("KVMP4_TMPFS_DIR");
    if (!dir) GTEST_SKIP() << "started by SmallTmpfsIsReported";
    CKVMP4RecordFile f;
    ASSERT_EQ(f.Open((std::string(dir) + "/full.mp4").c_str(), false), 0);
    int worst = 0;
    for (int i = 0; i < 200 && worst >= 0; ++i) worst = std::min(worst, put(f, i ? pframe(40000u * i, 20000) : key(0)));
    int closed = f.Close();
    EXPECT_TRUE(worst < 0 || closed < 0) << "4 MB into a 1 MiB file system reported success";
}

TEST(Mp4WriteFailure, SmallTmpfsIsReported)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    if (std::system("command -v unshare >/dev/null 2>&1") != 0) GTEST_SKIP() << "no unshare";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    std::string dir = temp_path("tmpfs");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string cmd = "unshare -m sh -c 'mount -t tmpfs -o size=1m kvmp4 " + dir + " && KVMP4_TMPFS_DIR=" + dir +
                      " exec " + self + " --gtest_filter=Mp4WriteFailure.InsideSmallTmpfs' >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(rc, 0);
}

TEST(Mp4RecordFile, BlockHeadsAreStoredOnlyWhenEveryBlockHasOne)
{
    auto blocks = [](int n, bool spoil_second) {
        std::vector<uint8_t> p;
        for (int i = 0; i < n; ++i) {
            p.insert(p.end(), {0x00, 0x01, 40, 0});
            std::vector<uint8_t> b = bytes_of(80, uint8_t(i));
            p.insert(p.end(), b.begin(), b.end());
        }
        if (spoil_second && n > 1) p[84 + 2] = 41;
        return p;
    };
    struct Case { const char* name; std::vector<uint8_t> payload; uint16_t block; uint64_t stored; };
    const Case cases[] = {
        {"one block, head removed", blocks(1, false), 0, 80},
        {"three blocks, three heads removed", blocks(3, false), 84, 240},
        {"a block without its head: all kept", blocks(3, true), 84, 252},
        {"block size that does not divide the frame: kept whole", blocks(3, false), 100, 252},
        {"no head", bytes_of(96, 5), 0, 96},
    };
    for (const Case& c : cases) {
        std::string p = temp_path("blocks.mp4");
        CKVMP4RecordFile f;
        ASSERT_EQ(f.Open(p.c_str(), false), 0);
        ASSERT_EQ(put(f, key(0)), 0);
        std::vector<uint8_t> a = audio(1, 1000, c.payload, 8000, 8, c.block);
        ASSERT_EQ(put(f, a), 0);
        EXPECT_EQ(f.LastStoredBytes(), c.stored) << c.name;
        ASSERT_EQ(f.Close(), 0);
        CKVMP4RecordFile r;
        ASSERT_EQ(r.Open(p.c_str(), true), 0);
        std::vector<uint8_t> buf(4096);
        int size = int(buf.size());
        ASSERT_EQ(r.ReadFrame(buf.data(), size), 0);
        size = int(buf.size());
        ASSERT_EQ(r.ReadFrame(buf.data(), size), 0);
        EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + size), a) << c.name;
        unlink(p.c_str());
    }
}
