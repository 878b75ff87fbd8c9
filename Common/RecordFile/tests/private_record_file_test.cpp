// The private container against generated media and the independent Python reader/writer.
#include <gtest/gtest.h>
#include <string.h>

#include "private_record_file.h"
#include "test_util.h"

#include <zlib.h>

namespace {

unsigned long BlockCrc(const void* b)
{
    return crc32(0, static_cast<const uint8_t*>(b), 512);
}

// What the C++ reader sees in a private file, in the oracle's "private-read" text.
std::string Describe(const std::string& path, const char* password = nullptr, bool check = false)
{
    CKVPrivateRecordFile r;
    int rc = r.Open(path.c_str(), true, password, check);
    if (rc != 0)
        return "open " + std::to_string(rc) + "\n";
    std::string s;
    const KVPrivateFileHead& h = r.Head();
    if (h.Magic[0] == 0)
        s += "bare\n";
    else
        s += "magic " + std::string(h.Magic, 8) + " state " + std::string(h.State, 4) + "\n";
    uint64_t first = 0, last = 0;
    r.GetTimeRange(first, last);
    s += "times " + std::to_string(first) + " " + std::to_string(last) + "\n";
    s += "index " + std::to_string(r.GetKeyFrameCount()) + "\n";
    for (const KVFileFrameIndexItem& e : r.Index())
        s += "entry " + std::to_string(e.time) + " " + std::to_string(e.offset) + "\n";
    if (const backupspecialinfo_t* b = r.Block()) {
        char hex[80];
        const uint8_t* p = reinterpret_cast<const uint8_t*>(b);
        std::string a, c;
        for (int i = 0; i < 16; i++) {
            snprintf(hex, sizeof(hex), "%02x", p[i]);
            a += hex;
            snprintf(hex, sizeof(hex), "%02x", p[112 + i]);
            c += hex;
        }
        s += "block " + a + " " + c + " " + std::to_string(BlockCrc(b)) + "\n";
    }
    s += FrameLines(ReadAll(r));
    return s;
}

backupspecialinfo_t CallerBlock()
{
    backupspecialinfo_t b;
    uint8_t* p = reinterpret_cast<uint8_t*>(&b);
    for (size_t i = 0; i < sizeof(b); i++)
        p[i] = (uint8_t)(i * 13 + 5);
    return b;
}

int WriteFile(const std::string& path, const std::vector<TestFrame>& frames,
              const char* password = nullptr, const backupspecialinfo_t* block = nullptr,
              std::vector<int>* results = nullptr)
{
    CKVPrivateRecordFile w;
    if (w.Open(path.c_str(), false, password, false, block) != 0)
        return -100;
    WriteAll(w, frames, results);
    return w.Close();
}

}  // namespace

TEST(PrivateRecordFile, RoundTripAgreesWithOracle)
{
    backupspecialinfo_t block = CallerBlock();
    struct Row {
        const char* media;
        const char* password;
        bool block;
    };
    const Row rows[] = {
        {"h264_alaw.frm", nullptr, false},
        {"h264_alaw.frm", "secret", true},
        {"h265_mulaw.frm", nullptr, true},
        {"h265_mulaw.frm", "a-password-longer-than-16", false},
        {"h264_vframes.frm", nullptr, false},
        {"h265_startv.frm", "pw", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.media) + (row.password ? " password" : "") +
                     (row.block ? " block" : ""));
        TempDir tmp;
        std::vector<TestFrame> frames = LoadFrames(MediaPath(row.media));
        ASSERT_GT(frames.size(), 100u);
        std::string path = tmp.Path("rec.dat");
        std::vector<int> results;
        ASSERT_EQ(0, WriteFile(path, frames, row.password, row.block ? &block : nullptr, &results));
        for (int rc : results)
            EXPECT_EQ(0, rc) << "a recording inside one UTC day never reports 2";

        // Heads and payloads come back unchanged; the mark bit only on a leading reference.
        CKVPrivateRecordFile r;
        ASSERT_EQ(0, r.Open(path.c_str(), true, row.password, true));
        std::vector<TestFrame> back = ReadAll(r);
        ASSERT_EQ(frames.size(), back.size());
        bool startV = frames.size() > 2 && frames[2].type() == 'V';
        for (size_t i = 0; i < frames.size(); i++) {
            TestFrame want = frames[i];
            if (i == 0 && startV)
                want.bytes[7] |= 1;
            ASSERT_EQ(want.bytes, back[i].bytes) << "frame " << i;
        }
        size_t keys = 0;
        for (const TestFrame& f : frames)
            keys += f.type() == 'I' || f.type() == 'V';
        EXPECT_EQ((int)keys, r.GetKeyFrameCount());
        if (row.block) {
            ASSERT_NE(nullptr, r.Block());
            EXPECT_EQ(0, memcmp(block.User1, r.Block()->User1, sizeof(block.User1)));
            EXPECT_EQ(0, memcmp(block.User2, r.Block()->User2, sizeof(block.User2)));
            EXPECT_EQ(512u, (uint32_t)r.Block()->Size);
            EXPECT_EQ((uint64_t)frames[0].head.FrameTime, (uint64_t)r.Block()->FirstTime);
        } else {
            EXPECT_EQ(nullptr, r.Block());
        }
        r.Close();

        // The independent reader agrees on head, times, index, block and frames.
        std::string args = "private-read " + path;
        if (row.password)
            args += std::string(" --check --password ") + row.password;
        std::string oracle = Oracle(args);
        if (row.password)
            oracle = oracle.substr(oracle.find('\n') + 1);  // its "password ok" line
        EXPECT_EQ(oracle, Describe(path, row.password, true));
    }
}

TEST(PrivateRecordFile, PasswordBlockIsAes128OfbOfTheText)
{
    TempDir tmp;
    const char* rows[] = {"x", "secret", "exactly16chars!!", "a-password-longer-than-16"};
    TestFrame f = MakeFrame('I', 1, T0(), 16);
    for (const char* pw : rows) {
        ASSERT_EQ(0, WriteFile(tmp.Path("p"), {f}, pw));
        std::vector<uint8_t> d = ReadFileBytes(tmp.Path("p"));
        ASSERT_GE(d.size(), 56u);
        EXPECT_EQ(0, memcmp(d.data(), "QTRVFile", 8));
        std::string hex;
        char b[3];
        for (int i = 24; i < 40; i++) {
            snprintf(b, sizeof(b), "%02x", d[(size_t)i]);
            hex += b;
        }
        EXPECT_EQ(Oracle(std::string("password-block ") + pw), hex + "\n") << pw;
    }
}

TEST(PrivateRecordFile, PasswordChecks)
{
    TempDir tmp;
    TestFrame f = MakeFrame('I', 1, T0(), 16);
    struct Row {
        const char* written;
        const char* given;
        bool check;
        int want;
    };
    const Row rows[] = {
        {"secret", nullptr, false, 0},
        {"secret", "wrong", false, 0},
        {"secret", "secret", true, 0},
        {"secret", "secret1", true, -4},
        {"secret", "secre", true, -4},
        {"secret", "", true, -4},
        {"secret", nullptr, true, -4},
        // Only the first 16 bytes count, on both sides.
        {"0123456789abcdefTAIL", "0123456789abcdefTAIL", true, 0},
        {"0123456789abcdefTAIL", "0123456789abcdef", true, 0},
        {"0123456789abcdefTAIL", "0123456789abcde", true, -4},
        {nullptr, nullptr, true, 0},
        {"", "anything", true, 0},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(0, WriteFile(tmp.Path("p"), {f}, row.written));
        CKVPrivateRecordFile r;
        EXPECT_EQ(row.want, r.Open(tmp.Path("p").c_str(), true, row.given, row.check))
            << (row.written ? row.written : "(none)") << " / " << (row.given ? row.given : "(null)");
        EXPECT_EQ(row.want == 0, r.IsOpen());
    }
}

TEST(PrivateRecordFile, KeyFrameGateAndBrokenVirtualFrames)
{
    TempDir tmp;
    std::vector<TestFrame> in;
    uint64_t t = T0();
    in.push_back(MakeFrame('P', 1, t, 10));
    in.push_back(MakeFrame('V', 2, t + 1, 10));
    in.push_back(MakeAudio(1, 1, t + 2, 324, 1));
    in.push_back(MakeFrame('I', 10, t + 40000, 20));   // first frame of the file
    in.back().head.Flags = 0x0155;                       // bits 0-6 = 0x55 go to the block
    memcpy(in.back().bytes.data(), &in.back().head, 40);
    in.push_back(MakeFrame('P', 11, t + 80000, 10));
    in.push_back(MakeFrame('V', 12, t + 120000, 10));
    SetRefDistance(in.back(), 2);                        // refers to 10: kept
    in.push_back(MakeFrame('V', 13, t + 160000, 10));
    SetRefDistance(in.back(), 1);                        // refers to 12: broken
    in.push_back(MakeFrame('P', 14, t + 200000, 10));    // dropped up to the next 'I'
    in.push_back(MakeAudio(1, 2, t + 200001, 324, 1));   // dropped
    in.push_back(MakeFrame('I', 15, t + 240000, 20));    // a new first frame
    in.back().head.Flags = 0x0023;                       // its bits are stored again
    memcpy(in.back().bytes.data(), &in.back().head, 40);
    in.push_back(MakeFrame('P', 16, t + 280000, 10));
    const bool stored[] = {false, false, false, true, true, true, false, false, false, true, true};

    backupspecialinfo_t block = CallerBlock();
    CKVPrivateRecordFile w;
    ASSERT_EQ(0, w.Open(tmp.Path("g").c_str(), false, nullptr, false, &block));
    std::vector<TestFrame> kept;
    for (size_t i = 0; i < in.size(); i++) {
        int size = (int)in[i].bytes.size();
        EXPECT_EQ(0, w.WriteFrame(in[i].bytes.data(), size)) << i;
        EXPECT_EQ(stored[i], w.LastStoredBytes() > 0) << i;
        if (stored[i]) {
            EXPECT_EQ((in[i].bytes.size() + 7) & ~7u, w.LastStoredBytes()) << i;
            kept.push_back(in[i]);
        }
    }
    uint64_t first = 0, last = 0;
    w.GetTimeRange(first, last);
    EXPECT_EQ(t + 240000, first) << "the 'I' after a broken reference starts again";
    EXPECT_EQ(t + 240000, last);
    ASSERT_EQ(0, w.Close());

    CKVPrivateRecordFile r;
    ASSERT_EQ(0, r.Open(tmp.Path("g").c_str(), true));
    EXPECT_EQ(FrameLines(kept), FrameLines(ReadAll(r)));
    EXPECT_EQ(3, r.GetKeyFrameCount());
    ASSERT_NE(nullptr, r.Block());
    EXPECT_EQ(0x23u, (uint32_t)r.Block()->FirstKeyFlags);
}

TEST(PrivateRecordFile, SeeksAndTheVirtualKeyFrameJump)
{
    // One 'I', three 'P', a 'V' referring to the 'I', two audio frames, and a second GOP.
    TempDir tmp;
    uint64_t t = T0();
    std::vector<TestFrame> in = {
        MakeFrame('I', 1, t, 30),         MakeFrame('P', 2, t + 40000, 11),
        MakeFrame('P', 3, t + 80000, 12), MakeFrame('P', 4, t + 120000, 13),
        MakeFrame('V', 5, t + 160000, 14), MakeAudio(1, 1, t + 170000, 324, 1),
        MakeAudio(1, 2, t + 180000, 324, 1), MakeFrame('P', 6, t + 200000, 15),
        MakeFrame('I', 7, t + 240000, 31), MakeFrame('P', 8, t + 280000, 16),
    };
    SetRefDistance(in[4], 4);
    ASSERT_EQ(0, WriteFile(tmp.Path("s"), in));
    CKVPrivateRecordFile r;
    ASSERT_EQ(0, r.Open(tmp.Path("s").c_str(), true));
    ASSERT_EQ(3, r.GetKeyFrameCount());

    struct Row {
        const char* name;
        int keyIndex;     // -2: seek by time instead
        uint64_t time;
        int want;
        std::vector<uint32_t> next;  // FrameNo of the next frames (audio shows as 1000+no)
        bool marked;                 // first of them carries the mark bit
    };
    const Row rows[] = {
        {"time before everything", -2, 0, 0, {1, 2}, false},
        {"time on the 'I'", -2, t, 0, {1, 2}, false},
        {"time between 'V' and next 'I'", -2, t + 200000, 0, {1, 5, 1001}, true},
        {"time after the last entry", -2, t + 999999, 0, {7, 8}, false},
        {"key index 0", 0, 0, 0, {1, 2}, false},
        {"key index 1 ('V')", 1, 0, 0, {1, 5}, true},
        {"key index 2 (last)", 2, 0, 0, {7, 8}, false},
        {"key index 3", 3, 0, -1, {}, false},
        {"key index -1", -1, 0, -1, {}, false},
    };
    std::vector<uint8_t> buf(4096);
    for (const Row& row : rows) {
        int rc = row.keyIndex == -2 ? r.SeekByTime(row.time) : r.SeekByKeyFrameIndex(row.keyIndex);
        EXPECT_EQ(row.want, rc) << row.name;
        for (size_t i = 0; i < row.next.size(); i++) {
            int size = (int)buf.size();
            ASSERT_EQ(0, r.ReadFrame(buf.data(), size)) << row.name;
            KVFrameHead h;
            memcpy(&h, buf.data(), 40);
            uint32_t no = h.FrameType == 'A' ? 1000 + h.FrameNo : h.FrameNo;
            EXPECT_EQ(row.next[i], no) << row.name << " #" << i;
            EXPECT_EQ(i == 0 && row.marked, (h.Flags & KV_FRAME_FLAG_REF_MARK) != 0)
                << row.name << " #" << i;
        }
    }
}

TEST(PrivateRecordFile, ReadsTheOraclesFiles)
{
    TempDir tmp;
    std::string frames = MediaPath("h264_vframes.frm");
    backupspecialinfo_t block = CallerBlock();
    WriteFileBytes(tmp.Path("block"), std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&block),
                                                           reinterpret_cast<uint8_t*>(&block) + 512));
    struct Row {
        const char* name;
        std::string args;
        const char* password;
    };
    const Row rows[] = {
        {"plain", "", nullptr},
        {"password", "--password hunter2", "hunter2"},
        {"skip bytes", "--skip 24", nullptr},
        {"entry size 24", "--entry-size 24", nullptr},
        {"entry size 32", "--entry-size 32", nullptr},
        {"foreign tag first", "--foreign-tag --skip 8 --entry-size 32", nullptr},
        {"block", "--block " + tmp.Path("block"), nullptr},
        {"unfinished", "--unfinished", nullptr},
    };
    std::vector<TestFrame> want = LoadFrames(frames);
    for (const Row& row : rows) {
        std::string path = tmp.Path("o.dat");
        int st = -1;
        Oracle("private-write " + frames + " " + path + " " + row.args, &st);
        ASSERT_EQ(0, st) << row.name;
        CKVPrivateRecordFile r;
        ASSERT_EQ(0, r.Open(path.c_str(), true, row.password, true)) << row.name;
        EXPECT_EQ(FrameLines(want), FrameLines(ReadAll(r))) << row.name;
        r.Close();
        std::string args = "private-read " + path;
        std::string oracle = Oracle(args);
        EXPECT_EQ(oracle, Describe(path)) << row.name;
    }
}

TEST(PrivateRecordFile, UnfinishedAndDamagedFiles)
{
    TempDir tmp;
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    std::string full = tmp.Path("full.dat");
    ASSERT_EQ(0, WriteFile(full, frames));
    const std::vector<uint8_t> good = ReadFileBytes(full);
    uint64_t indexOffset;
    memcpy(&indexOffset, &good[16], 8);

    // Complete records of the first n bytes of the frame area.
    auto recordsIn = [&](uint64_t end) {
        std::vector<TestFrame> out;
        uint64_t pos = 56;
        for (const TestFrame& f : frames) {
            if (pos + f.bytes.size() > end)
                break;
            out.push_back(f);
            pos += (f.bytes.size() + 7) & ~7u;
        }
        return out;
    };
    auto patch = [](std::vector<uint8_t> d, size_t at, const void* p, size_t n) {
        memcpy(&d[at], p, n);
        return d;
    };
    std::vector<uint8_t> data(good.begin(), good.begin() + (long)indexOffset);
    data = patch(data, 12, "Data", 4);
    uint64_t zero = 0;
    data = patch(data, 16, &zero, 8);
    std::vector<uint8_t> noTimes = patch(patch(data, 40, &zero, 8), 48, &zero, 8);

    struct Row {
        const char* name;
        std::vector<uint8_t> file;
        int want;
        std::vector<TestFrame> frames;
    };
    std::vector<Row> rows;
    rows.push_back({"closed", good, 0, frames});
    // Killed in Close after the index and times but before "Full": read by the walk.
    rows.push_back({"interrupted close", patch(good, 12, "Data", 4), 0, frames});
    rows.push_back({"unfinished, times in head", data, 0, frames});
    rows.push_back({"unfinished", noTimes, 0, frames});
    std::vector<uint8_t> cut(noTimes.begin(), noTimes.begin() + (long)(noTimes.size() - 1000));
    rows.push_back({"unfinished, last record cut", cut, 0, recordsIn(cut.size())});
    // One GOP: a single key frame is enough to read what is there.
    std::vector<uint8_t> oneGop(noTimes.begin(), noTimes.begin() + 60000);
    rows.push_back({"one-GOP crash", oneGop, 0, recordsIn(oneGop.size())});
    std::vector<uint8_t> headOnly(noTimes.begin(), noTimes.begin() + 56);
    rows.push_back({"head only", headOnly, -1, {}});
    std::vector<uint8_t> shortHead(noTimes.begin(), noTimes.begin() + 30);
    rows.push_back({"short head", shortHead, -1, {}});
    uint64_t far = good.size() + 100;
    rows.push_back({"index beyond the end", patch(good, 16, &far, 8), -1, {}});
    uint32_t bigInfo = 0x7FFFFFFF;
    rows.push_back({"information length beyond the end", patch(good, 8, &bigInfo, 4), -1, {}});
    uint32_t smallInfo = 8;
    rows.push_back({"information length 8", patch(good, 8, &smallInfo, 4), -1, {}});
    uint16_t skip = 0xFFFF;
    rows.push_back({"skip above length", patch(good, indexOffset + 8, &skip, 2), -1, {}});
    uint16_t esize = 8;
    rows.push_back({"entry size 8", patch(good, indexOffset + 10, &esize, 2), -1, {}});
    uint32_t bigLen = 0xFFFFFFF0u;
    rows.push_back({"index length beyond the end", patch(good, indexOffset + 12, &bigLen, 4), -1, {}});
    // An indexed offset that points at a 'P' frame record.
    uint64_t pOffset = 56 + ((frames[0].bytes.size() + 7) & ~7u) + ((frames[1].bytes.size() + 7) & ~7u);
    ASSERT_EQ('P', frames[2].type());
    rows.push_back({"index points at a 'P'", patch(good, indexOffset + 16 + 8, &pOffset, 8), -1, {}});

    for (const Row& row : rows) {
        WriteFileBytes(tmp.Path("x.dat"), row.file);
        CKVPrivateRecordFile r;
        ASSERT_EQ(row.want, r.Open(tmp.Path("x.dat").c_str(), true)) << row.name;
        if (row.want != 0)
            continue;
        EXPECT_EQ(FrameLines(row.frames), FrameLines(ReadAll(r))) << row.name;
        uint64_t first = 0, last = 0;
        r.GetTimeRange(first, last);
        EXPECT_EQ((uint64_t)frames[0].head.FrameTime, first) << row.name;
        // The walk agrees with the independent reader.
        if (std::string(row.name) != "closed") {
            std::string o = Oracle("private-read " + tmp.Path("x.dat"));
            EXPECT_EQ(o, Describe(tmp.Path("x.dat"))) << row.name;
        }
    }
}

TEST(PrivateRecordFile, LeadingReferenceFrameIsMarked)
{
    TempDir tmp;
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h265_startv.frm"));
    ASSERT_EQ('I', frames[0].type());
    size_t v = 1;
    while (frames[v].type() == 'A')
        v++;
    ASSERT_EQ('V', frames[v].type());
    ASSERT_EQ(0, WriteFile(tmp.Path("f.dat"), frames));
    std::vector<uint8_t> d = ReadFileBytes(tmp.Path("f.dat"));
    uint64_t idx;
    memcpy(&idx, &d[16], 8);
    std::vector<uint8_t> unfinished(d.begin(), d.begin() + (long)idx);
    memcpy(&unfinished[12], "Data", 4);
    memset(&unfinished[40], 0, 16);
    WriteFileBytes(tmp.Path("u.dat"), unfinished);
    for (const char* name : {"f.dat", "u.dat"}) {
        CKVPrivateRecordFile r;
        ASSERT_EQ(0, r.Open(tmp.Path(name).c_str(), true)) << name;
        uint64_t first = 0, last = 0;
        r.GetTimeRange(first, last);
        EXPECT_EQ((uint64_t)frames[v].head.FrameTime, first) << name;
        std::vector<TestFrame> back = ReadAll(r, 3);
        ASSERT_EQ(3u, back.size());
        EXPECT_TRUE(back[0].head.Flags & KV_FRAME_FLAG_REF_MARK) << name;
        EXPECT_FALSE(back[1].head.Flags & KV_FRAME_FLAG_REF_MARK) << name;
        EXPECT_FALSE(back[2].head.Flags & KV_FRAME_FLAG_REF_MARK) << name;
        ASSERT_TRUE(r.Index()[0].refOnly);
    }
}

TEST(PrivateRecordFile, BareFrameFileOpensFromOffsetZero)
{
    TempDir tmp;
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    CBaseRecordFile w;
    ASSERT_EQ(0, w.Open(tmp.Path("bare").c_str(), false));
    WriteAll(w, frames);
    ASSERT_EQ(0, w.Close());
    CKVPrivateRecordFile r;
    ASSERT_EQ(0, r.Open(tmp.Path("bare").c_str(), true));
    EXPECT_EQ(5, r.GetKeyFrameCount());
    EXPECT_EQ(FrameLines(frames), FrameLines(ReadAll(r)));
    ASSERT_EQ(0, r.SeekByKeyFrameIndex(4));
    std::vector<TestFrame> tail = ReadAll(r, 1);
    ASSERT_EQ(1u, tail.size());
    EXPECT_EQ('I', tail[0].type());
    EXPECT_EQ(Oracle("private-read " + tmp.Path("bare")), Describe(tmp.Path("bare")));
}

TEST(PrivateRecordFile, EmptyWriterLeavesAnUnreadableHead)
{
    TempDir tmp;
    CKVPrivateRecordFile w;
    ASSERT_EQ(0, w.Open(tmp.Path("e").c_str(), false));
    TestFrame p = MakeFrame('P', 1, T0(), 10);
    int size = (int)p.bytes.size();
    EXPECT_EQ(0, w.WriteFrame(p.bytes.data(), size));
    EXPECT_EQ(0, w.Close());
    std::vector<uint8_t> d = ReadFileBytes(tmp.Path("e"));
    ASSERT_EQ(56u, d.size());
    EXPECT_EQ(0, memcmp(&d[12], "Data", 4));
    CKVPrivateRecordFile r;
    EXPECT_EQ(-1, r.Open(tmp.Path("e").c_str(), true));
    EXPECT_EQ(-1, r.SeekByTime(0));
    EXPECT_EQ(-1, r.SeekByKeyFrameIndex(0));
}

TEST(PrivateRecordFile, DevFullGivesANegativeResult)
{
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    CKVPrivateRecordFile w;
    // The head goes into stdio's buffer, so Open itself may still succeed.
    int rc = w.Open("/dev/full", false);
    if (rc != 0) {
        EXPECT_EQ(-1, rc);
        return;
    }
    std::vector<int> results;
    WriteAll(w, frames, &results);
    int worst = *std::min_element(results.begin(), results.end());
    int closeRc = w.Close();
    EXPECT_TRUE(worst < 0 || closeRc < 0);
    EXPECT_EQ(-1, closeRc) << "the index cannot have been written";
}
