// The AVI record file: header and chunks checked by the independent RIFF walker, read
// back by the C++ reader, and by ffprobe where it is installed.
#include <gtest/gtest.h>
#include <string.h>

#include "avi_record_file.h"
#include "test_util.h"

namespace {

uint32_t Le32(const std::vector<uint8_t>& d, size_t at)
{
    uint32_t v;
    memcpy(&v, &d[at], 4);
    return v;
}

int WriteAvi(const std::string& path, const std::vector<TestFrame>& frames,
             std::vector<int>* results = nullptr)
{
    CKVAVIRecordFile w;
    if (w.Open(path.c_str(), false) != 0)
        return -100;
    WriteAll(w, frames, results);
    return w.Close();
}

// The frames as the AVI reader gives them back: audio frames become one frame per block.
std::vector<TestFrame> AsStored(const std::vector<TestFrame>& frames)
{
    std::vector<TestFrame> out;
    for (const TestFrame& f : FromFirstKey(frames)) {
        if (f.type() != 'A') {
            out.push_back(f);
            continue;
        }
        uint32_t block = f.head.Format.Audio.BlockSize;
        if (block < 5 || block > f.head.FrameSize)
            continue;
        for (uint32_t b = 0; b < f.head.FrameSize / block; b++) {
            TestFrame one = f;
            one.head.FrameSize = block;
            one.bytes.assign(f.bytes.begin(), f.bytes.begin() + 40);
            memcpy(one.bytes.data(), &one.head, 40);
            one.bytes.insert(one.bytes.end(), f.bytes.begin() + 40 + (long)b * block,
                             f.bytes.begin() + 40 + (long)(b + 1) * block);
            out.push_back(one);
        }
    }
    return out;
}

std::string Ffprobe(const std::string& args)
{
    return RunCmd("ffprobe -hide_banner " + args + " 2>&1");
}

}  // namespace

TEST(AviRecordFile, RoundTripAndHeaderFieldByField)
{
    const char* rows[] = {"h264_alaw.frm", "h265_mulaw.frm", "h264_pcm.frm", "h264_vframes.frm",
                          "h265_startv.frm", "h264_g726_16.frm", "h264_g726_40.frm",
                          "h264_slices.frm"};
    for (const char* media : rows) {
        SCOPED_TRACE(media);
        TempDir tmp;
        std::vector<TestFrame> frames = LoadFrames(MediaPath(media));
        std::string path = tmp.Path("rec.avi");
        std::vector<int> results;
        ASSERT_EQ(0, WriteAvi(path, frames, &results));
        for (int rc : results)
            ASSERT_EQ(0, rc);

        int st = -1;
        std::string check = Oracle("avi-check " + path, &st);
        EXPECT_EQ(0, st) << check;

        std::vector<TestFrame> want = AsStored(frames);
        bool startV = std::string(media).find("startv") != std::string::npos;
        if (startV)
            want[0].bytes[7] |= 1;
        CKVAVIRecordFile r;
        ASSERT_EQ(0, r.Open(path.c_str(), true));
        std::vector<TestFrame> back = ReadAll(r);
        ASSERT_EQ(want.size(), back.size());
        for (size_t i = 0; i < want.size(); i++)
            ASSERT_EQ(want[i].bytes, back[i].bytes) << "frame " << i;
        // The oracle's walk over the chunks gives the same frames (without the mark).
        if (!startV) {
            EXPECT_EQ(Oracle("avi-frames " + path), FrameLines(back));
        }
        uint64_t first = 0, last = 0;
        EXPECT_EQ(0, r.GetTimeRange(first, last));
        uint64_t lastVideo = 0, firstVideo = 0;
        for (const TestFrame& f : want) {
            if (f.type() != 'A') {
                lastVideo = f.head.FrameTime;
                if (!firstVideo || (startV && f.type() == 'V' && firstVideo == want[0].head.FrameTime))
                    firstVideo = f.head.FrameTime;
            }
        }
        EXPECT_EQ(firstVideo, first);
        EXPECT_EQ(lastVideo, last);
        EXPECT_EQ(0, r.GetKeyFrameCount());
        EXPECT_EQ(-1, r.SeekByKeyFrameIndex(0));
    }
}

TEST(AviRecordFile, ThreeKeyFramesFivePredicted)
{
    TempDir tmp;
    std::vector<TestFrame> in;
    const char types[] = "IPPIPPIP";
    for (int i = 0; i < 8; i++)
        in.push_back(MakeFrame(types[i], (uint32_t)i + 1, T0() + (uint64_t)i * 40000, 100 + i));
    ASSERT_EQ(0, WriteAvi(tmp.Path("a.avi"), in));
    std::vector<uint8_t> d = ReadFileBytes(tmp.Path("a.avi"));
    EXPECT_EQ(1u, Le32(d, 56)) << "streams";
    EXPECT_EQ(8u, Le32(d, 48)) << "frames";
    EXPECT_EQ(0, memcmp(&d[112], "H264", 4));
    // 8 chunks, then idx1 with 8 entries, then the time table "JUNK" of 64 bytes.
    size_t pos = 2048, db = 0, dc = 0;
    for (int i = 0; i < 8; i++) {
        db += memcmp(&d[pos], "00db", 4) == 0;
        dc += memcmp(&d[pos], "00dc", 4) == 0;
        uint32_t size = Le32(d, pos + 4);
        pos += 8 + size + 40 + ((size + 40) & 1);
    }
    EXPECT_EQ(3u, db);
    EXPECT_EQ(5u, dc);
    ASSERT_EQ(0, memcmp(&d[pos], "idx1", 4));
    EXPECT_EQ(8u * 16, Le32(d, pos + 4));
    pos += 8 + 128;
    ASSERT_EQ(0, memcmp(&d[pos], "JUNK", 4));
    EXPECT_EQ(64u, Le32(d, pos + 4));
    EXPECT_EQ(d.size(), pos + 8 + 64);
    int st = -1;
    EXPECT_EQ(0, (Oracle("avi-check " + tmp.Path("a.avi"), &st), st));
}

TEST(AviRecordFile, CompressorByEncodeType)
{
    const struct { uint8_t encode; const char* fourcc; } rows[] = {
        {0, "H264"}, {2, "H264"}, {7, "H265"}, {8, "H265"}, {9, "H264"}};
    for (const auto& row : rows) {
        TempDir tmp;
        ASSERT_EQ(0, WriteAvi(tmp.Path("c.avi"), {MakeFrame('I', 1, T0(), 10, row.encode)}));
        std::vector<uint8_t> d = ReadFileBytes(tmp.Path("c.avi"));
        EXPECT_EQ(0, memcmp(&d[112], row.fourcc, 4)) << (int)row.encode;
        EXPECT_EQ(0, memcmp(&d[188], row.fourcc, 4)) << (int)row.encode;
    }
}

TEST(AviRecordFile, AudioParametersByEncodeType)
{
    struct Row {
        uint8_t encode;
        uint16_t block;
        uint32_t blocks;
        uint16_t tag;
        uint16_t bits;
        uint32_t byteRate;  // bit rate / 8
    };
    const Row rows[] = {
        {0, 324, 1, 1, 16, 8000 * 16 / 8},       // PCM: the head's bits
        {1, 324, 1, 6, 8, 64000 / 8},
        {2, 324, 1, 7, 8, 64000 / 8},
        {3, 324, 1, 17, 4, 320 * 8000 / 40 / 8},
        {35, 324, 1, 17, 4, 320 * 8000 / 40 / 8},
        {4, 84, 2, 100, 4, 80 * 8000 / 40 / 8},
        {5, 324, 1, 100, 4, 8000},
        {6, 324, 1, 100, 4, 8000},
        {7, 248, 1, 100, 4, 244 * 8000 / 60 / 8},
        {8, 324, 1, 0, 4, 8000},
        {10, 324, 1, 0, 4, 8000},
        {11, 324, 1, 6, 4, 8000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE((int)row.encode);
        TempDir tmp;
        TestFrame a = MakeAudio(row.encode, 1, T0() + 1, row.block, row.blocks);
        ASSERT_EQ(0, WriteAvi(tmp.Path("a.avi"), {MakeFrame('I', 1, T0(), 10), a}));
        std::vector<uint8_t> d = ReadFileBytes(tmp.Path("a.avi"));
        EXPECT_EQ(2u, Le32(d, 56));
        uint16_t tag, bits, align;
        memcpy(&tag, &d[304], 2);
        memcpy(&align, &d[316], 2);
        memcpy(&bits, &d[318], 2);
        EXPECT_EQ(row.tag, tag);
        EXPECT_EQ(row.bits, bits);
        EXPECT_EQ(row.block - 4u, align);
        EXPECT_EQ(row.byteRate, Le32(d, 312));
        EXPECT_EQ(row.byteRate, Le32(d, 256));
        EXPECT_EQ(8000u, Le32(d, 308));
        EXPECT_EQ(row.blocks, Le32(d, 264)) << "audio length in blocks";
        int st = -1;
        std::string out = Oracle("avi-check " + tmp.Path("a.avi"), &st);
        EXPECT_EQ(0, st) << out;
    }
}

TEST(AviRecordFile, UnusableAudioBlockIsDropped)
{
    struct Row {
        const char* name;
        uint16_t block;
        uint32_t payload;
        bool stored;
    };
    const Row rows[] = {
        {"block 0", 0, 324, false},
        {"block 4", 4, 324, false},
        {"block 5", 5, 10, true},
        {"block above FrameSize", 400, 324, false},
        {"block = FrameSize", 324, 324, true},
        {"rest ignored", 100, 250, true},
    };
    for (const Row& row : rows) {
        TempDir tmp;
        CKVAVIRecordFile w;
        ASSERT_EQ(0, w.Open(tmp.Path("b.avi").c_str(), false));
        TestFrame i = MakeFrame('I', 1, T0(), 10);
        int size = (int)i.bytes.size();
        ASSERT_EQ(0, w.WriteFrame(i.bytes.data(), size));
        TestFrame a = MakeFrame('A', 1, T0() + 5, row.payload, 1);
        a.head.Format.Audio.BlockSize = row.block;
        a.head.Format.Audio.SampleRate = 8000;
        a.head.Format.Audio.Bits = 16;
        a.head.Format.Audio.Channels = 1;
        memcpy(a.bytes.data(), &a.head, 40);
        size = (int)a.bytes.size();
        EXPECT_EQ(0, w.WriteFrame(a.bytes.data(), size)) << row.name;
        EXPECT_EQ(row.stored, w.LastStoredBytes() > 0) << row.name;
        // Another video frame still goes in: the download is not ended.
        TestFrame p = MakeFrame('P', 2, T0() + 40000, 10);
        size = (int)p.bytes.size();
        EXPECT_EQ(0, w.WriteFrame(p.bytes.data(), size)) << row.name;
        EXPECT_EQ(10u, w.LastStoredBytes());
        ASSERT_EQ(0, w.Close());
        std::vector<uint8_t> d = ReadFileBytes(tmp.Path("b.avi"));
        EXPECT_EQ(row.stored ? 2u : 1u, Le32(d, 56)) << row.name;
        int st = -1;
        std::string out = Oracle("avi-check " + tmp.Path("b.avi"), &st);
        EXPECT_EQ(0, st) << row.name << out;
    }
}

TEST(AviRecordFile, SmallBufferLosesOneFrameOnly)
{
    TempDir tmp;
    std::vector<TestFrame> in = {MakeFrame('I', 1, T0(), 500), MakeFrame('P', 2, T0() + 40000, 20),
                                 MakeAudio(1, 1, T0() + 50000, 324, 1), MakeFrame('P', 3, T0() + 80000, 30)};
    ASSERT_EQ(0, WriteAvi(tmp.Path("s.avi"), in));
    CKVAVIRecordFile r;
    ASSERT_EQ(0, r.Open(tmp.Path("s.avi").c_str(), true));
    std::vector<uint8_t> buf(400);
    struct Step { int capacity; int want; uint32_t no; } steps[] = {
        {400, -1, 0}, {400, 0, 2}, {300, -1, 0}, {400, 0, 3}, {400, -1, 0}};
    for (const Step& s : steps) {
        int size = s.capacity;
        ASSERT_EQ(s.want, r.ReadFrame(buf.data(), size));
        if (s.want == 0) {
            KVFrameHead h;
            memcpy(&h, buf.data(), 40);
            EXPECT_EQ(s.no, (uint32_t)h.FrameNo);
            EXPECT_EQ((int)h.FrameSize + 40, size);
        }
    }
}

TEST(AviRecordFile, SeekByTime)
{
    TempDir tmp;
    uint64_t t = T0();
    std::vector<TestFrame> in = {
        MakeFrame('I', 1, t, 30),          MakeFrame('P', 2, t + 40000, 11),
        MakeFrame('P', 3, t + 80000, 12),  MakeFrame('V', 4, t + 120000, 13),
        MakeAudio(1, 1, t + 130000, 324, 1), MakeFrame('P', 5, t + 160000, 14),
        MakeFrame('I', 6, t + 200000, 31), MakeFrame('P', 7, t + 240000, 15),
    };
    SetRefDistance(in[3], 3);
    ASSERT_EQ(0, WriteAvi(tmp.Path("t.avi"), in));
    CKVAVIRecordFile r;
    ASSERT_EQ(0, r.Open(tmp.Path("t.avi").c_str(), true));
    struct Row {
        const char* name;
        uint64_t time;
        std::vector<uint32_t> next;  // audio as 1000 + no
        bool marked;
    };
    const Row rows[] = {
        {"before the second video frame", t + 40000, {1, 2}, false},
        {"before everything", 0, {1, 2}, false},
        {"just after the 'V'", t + 120001, {1, 4, 1001, 5}, true},
        {"after the second 'I'", t + 200001, {6, 7}, false},
        {"far after the end", t + 99000000, {6, 7}, false},
    };
    std::vector<uint8_t> buf(4096);
    for (const Row& row : rows) {
        EXPECT_EQ(0, r.SeekByTime(row.time));
        for (size_t i = 0; i < row.next.size(); i++) {
            int size = (int)buf.size();
            ASSERT_EQ(0, r.ReadFrame(buf.data(), size)) << row.name;
            KVFrameHead h;
            memcpy(&h, buf.data(), 40);
            EXPECT_EQ(row.next[i], h.FrameType == 'A' ? 1000 + h.FrameNo : h.FrameNo) << row.name << i;
            EXPECT_EQ(i == 0 && row.marked, (h.Flags & KV_FRAME_FLAG_REF_MARK) != 0) << row.name << i;
        }
    }
}

TEST(AviRecordFile, SizeLimitEndsWritingWithAConsistentFile)
{
    TempDir tmp;
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    AVI_set_size_limit(200000);
    CKVAVIRecordFile w;
    ASSERT_EQ(0, w.Open(tmp.Path("l.avi").c_str(), false));
    int rc = 0;
    size_t n = 0;
    for (; n < frames.size() && rc == 0; n++) {
        int size = (int)frames[n].bytes.size();
        rc = w.WriteFrame(frames[n].bytes.data(), size);
    }
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(1, AVI_errno);
    EXPECT_EQ(std::string("avilib - AVI file size limit reached"), AVI_strerror());
    EXPECT_EQ(0u, w.LastStoredBytes());
    EXPECT_EQ(0, w.Close());
    AVI_set_size_limit(0);
    EXPECT_LE(ReadFileBytes(tmp.Path("l.avi")).size(), 200000u);
    int st = -1;
    std::string out = Oracle("avi-check " + tmp.Path("l.avi"), &st);
    EXPECT_EQ(0, st) << out;
}

TEST(AviRecordFile, RepairOfUnfinishedFiles)
{
    TempDir tmp;
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    // Snapshot of the file while its writer is still open: no idx1, no time table.
    std::string path = tmp.Path("w.avi");
    CKVAVIRecordFile w;
    ASSERT_EQ(0, w.Open(path.c_str(), false));
    WriteAll(w, std::vector<TestFrame>(frames.begin(), frames.begin() + 120));
    std::vector<uint8_t> open = ReadFileBytes(path);
    ASSERT_EQ(0, w.Close());
    const std::vector<uint8_t> closed = ReadFileBytes(path);
    ASSERT_EQ(0, memcmp(open.data(), "RIFF", 4)) << "a valid header from the first chunk on";
    ASSERT_EQ(0, memcmp(&open[112], "H264", 4));

    // Where each stored frame's chunk ends in the unfinished file.
    std::vector<TestFrame> stored = AsStored(std::vector<TestFrame>(frames.begin(), frames.begin() + 120));
    std::vector<size_t> ends;
    size_t pos = 2048;
    for (const TestFrame& f : stored) {
        size_t data = f.type() == 'A' ? f.head.FrameSize - 4 : f.head.FrameSize;
        size_t rec = f.type() == 'A' ? 48 : 40;
        pos += 8 + data + rec + ((data + rec) & 1);
        ends.push_back(pos);
    }
    ASSERT_EQ(open.size(), ends.back());

    struct Row {
        const char* name;
        size_t cut;
        size_t frames;
    };
    const Row rows[] = {
        {"whole", open.size(), stored.size()},
        {"cut in a chunk", ends[60] + 100, 61},
        {"cut in a record", ends[30] - 10, 30},
        {"cut at a chunk end", ends[10], 11},
        {"first chunk only", ends[0], 1},
    };
    for (const Row& row : rows) {
        std::string p = tmp.Path("r.avi");
        WriteFileBytes(p, std::vector<uint8_t>(open.begin(), open.begin() + (long)row.cut));
        ASSERT_EQ(0, AVI_repair(p.c_str())) << row.name;
        int st = -1;
        std::string out = Oracle("avi-check " + p, &st);
        EXPECT_EQ(0, st) << row.name << "\n" << out;
        CKVAVIRecordFile r;
        ASSERT_EQ(0, r.Open(p.c_str(), true)) << row.name;
        std::vector<TestFrame> back = ReadAll(r);
        EXPECT_EQ(FrameLines(std::vector<TestFrame>(stored.begin(), stored.begin() + (long)row.frames)),
                  FrameLines(back)) << row.name;
        if (row.cut == open.size()) {
            EXPECT_EQ(closed, ReadFileBytes(p)) << "repair gives what close gives";
        }
    }
    // A closed file is left alone.
    ASSERT_EQ(0, AVI_repair(path.c_str()));
    EXPECT_EQ(closed, ReadFileBytes(path));
    EXPECT_EQ(-1, AVI_repair(tmp.Path("missing.avi").c_str()));
    EXPECT_EQ(2, AVI_errno);
}

TEST(AviRecordFile, ErrorTexts)
{
    const char* texts[] = {
        "avilib - No Error",
        "avilib - AVI file size limit reached",
        nullptr, nullptr, nullptr, nullptr, nullptr,
        "avilib - Operation (read/write) not permitted",
        "avilib - Out of memory (malloc failed)",
        "avilib - Not an AVI file",
        "avilib - AVI file has no header list (corrupted?)",
        "avilib - AVI file has no MOVI list (corrupted?)",
        "avilib - AVI file has no video data",
        "avilib - operation needs an index",
        "avilib - Unkown Error",
    };
    for (int e = 0; e <= 15; e++) {
        AVI_errno = e;
        errno = ENOENT;
        std::string s = AVI_strerror();
        if (e >= 2 && e <= 6) {
            EXPECT_NE(std::string::npos, s.find(" - No such file or directory")) << s;
            EXPECT_EQ(0u, s.find("avilib - ")) << s;
        } else {
            EXPECT_EQ(texts[e > 14 ? 14 : e], s) << e;
        }
    }
    AVI_errno = 9;
    EXPECT_EQ(nullptr, AVI_open_input_file("/dev/null", 1));
    EXPECT_EQ(3, AVI_errno) << "short read";
    EXPECT_EQ(nullptr, AVI_open_input_file("/nonexistent", 1));
    EXPECT_EQ(2, AVI_errno);
}

TEST(AviRecordFile, DevFullGivesANegativeResult)
{
    CKVAVIRecordFile w;
    ASSERT_EQ(0, w.Open("/dev/full", false));
    TestFrame f = MakeFrame('I', 1, T0(), 1000);
    int size = (int)f.bytes.size();
    int rc = w.WriteFrame(f.bytes.data(), size);
    int closeRc = w.Close();
    EXPECT_TRUE(rc < 0 || closeRc < 0);
    EXPECT_EQ(-1, rc);
}

TEST(AviRecordFile, FfprobeReadsWhatWasWritten)
{
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg"))
        GTEST_SKIP() << "ffprobe not installed";
    struct Row {
        const char* media;
        const char* vfmt;
        const char* afmt;
        const char* araw;  // source samples to compare a decode with
    };
    const Row rows[] = {
        {"h264_alaw.frm", "h264", "alaw", nullptr},
        {"h265_mulaw.frm", "hevc", "mulaw", nullptr},
        {"h264_pcm.frm", "h264", "s16le", "media/pcm.raw"},
        {"h264_vframes.frm", "h264", "alaw", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.media);
        TempDir tmp;
        std::vector<TestFrame> frames = LoadFrames(MediaPath(row.media));
        std::string avi = tmp.Path("f.avi");
        ASSERT_EQ(0, WriteAvi(avi, frames));
        EXPECT_EQ("", Ffprobe("-v error -show_entries format=nb_streams -of csv=p=0 " + avi + " >/dev/null"));
        EXPECT_EQ("", RunCmd("ffprobe -v error " + avi + " 2>&1"));

        std::vector<uint8_t> video, audio;
        size_t nVideo = 0;
        for (const TestFrame& f : frames) {
            if (f.type() == 'A')
                audio.insert(audio.end(), f.bytes.begin() + 44, f.bytes.end());
            else {
                video.insert(video.end(), f.bytes.begin() + 40, f.bytes.end());
                nVideo++;
            }
        }
        std::string count = RunCmd("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                "stream=nb_read_frames -of csv=p=0 " + avi);
        EXPECT_EQ(std::to_string(nVideo) + "\n", count);
        RunCmd("ffmpeg -v error -y -i " + avi + " -map 0:v -c copy -f " + row.vfmt + " " + tmp.Path("v.out"));
        EXPECT_TRUE(video == ReadFileBytes(tmp.Path("v.out"))) << "video bytes differ";
        if (row.araw) {
            // PCM declared with the head's bits decodes to the source samples.
            RunCmd("ffmpeg -v error -y -i " + avi + " -map 0:a -f s16le " + tmp.Path("a.out"));
            std::vector<uint8_t> src = ReadFileBytes(MediaPath(row.araw));
            src.resize(audio.size());
            EXPECT_TRUE(src == ReadFileBytes(tmp.Path("a.out"))) << "decoded samples differ";
            EXPECT_TRUE(audio == src);
        } else {
            RunCmd("ffmpeg -v error -y -i " + avi + " -map 0:a -c copy -f " + row.afmt + " " + tmp.Path("a.out"));
            EXPECT_TRUE(audio == ReadFileBytes(tmp.Path("a.out"))) << "audio bytes differ";
        }
    }
}
