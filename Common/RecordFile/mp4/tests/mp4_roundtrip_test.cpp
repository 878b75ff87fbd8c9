// Writer then reader: frames come back as they went in; seeks; refusals.
#include <gtest/gtest.h>

#include <functional>

extern "C" {
#include <spandsp.h>
}

#include "mp4_demuxer.h"
#include "mp4_muxer.h"
#include "mp4_test_util.h"

using namespace mp4test;

namespace {

using Frame = std::vector<uint8_t>;
constexpr uint64_t kT0 = 1700000000000000ull;

const std::vector<uint8_t> kSps = {0x67, 0x64, 0x00, 0x1E, 0xAC, 0xD9, 0x40, 0xB0, 0x4B, 0x42};
const std::vector<uint8_t> kPps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

Frame key(uint64_t t, uint8_t seed = 1, size_t n = 300)
{
    return video('I', t, annexb({kSps, kPps, {0x65, 0x88, 0x84}, bytes_of(n, seed)}));
}
Frame inter(char type, uint64_t t, uint8_t seed = 2, size_t n = 120)
{
    std::vector<uint8_t> slice = {0x41, 0x9A};
    std::vector<uint8_t> b = bytes_of(n, seed);
    slice.insert(slice.end(), b.begin(), b.end());
    return video(type, t, annexb({slice}));
}
// Audio payload of `blocks` blocks of `block` bytes, each with its block head.
std::vector<uint8_t> blocks_with_heads(uint16_t block, int blocks, uint8_t seed)
{
    std::vector<uint8_t> p;
    for (int i = 0; i < blocks; ++i) {
        p.insert(p.end(), {0x00, 0x01, uint8_t((block - 4) / 2), uint8_t(((block - 4) / 2) >> 8)});
        std::vector<uint8_t> b = bytes_of(block - 4, uint8_t(seed + i));
        p.insert(p.end(), b.begin(), b.end());
    }
    return p;
}

int write_all(const std::string& path, const std::vector<Frame>& frames, bool force64 = false)
{
    mp4_muxer m;
    int r = m.open(path.c_str());
    if (r != 0) return r;
    m.force_64bit_layout(force64);
    for (const Frame& f : frames)
        if (m.WriteFrame(f.data(), int(f.size())) != 0) return -100;
    return m.close();
}

std::vector<Frame> read_all(mp4_demuxer& d, int limit = 1000)
{
    std::vector<Frame> out;
    std::vector<uint8_t> buf(4 << 20);
    int size = 0;
    while (limit-- > 0 && d.ReadFrame(buf.data(), int(buf.size()), size) == 0)
        out.emplace_back(buf.begin(), buf.begin() + size);
    return out;
}

Frame with_mark(Frame f)
{
    f[7] |= 1;
    return f;
}

struct RoundTrip {
    const char* name;
    std::vector<Frame> in;
    std::vector<Frame> out;
};

std::vector<RoundTrip> round_trips()
{
    std::vector<RoundTrip> cases;
    {
        std::vector<Frame> f = {key(kT0), audio(0, kT0 + 1000, bytes_of(320, 9)),
                                inter('P', kT0 + 40000, 3), inter('P', kT0 + 80000, 4),
                                audio(0, kT0 + 41000, bytes_of(320, 10)), inter('V', kT0 + 120000, 5),
                                inter('P', kT0 + 160000, 6), audio(0, kT0 + 81000, bytes_of(320, 11))};
        cases.push_back({"IPPVPWithAudio", f, f});
    }
    {
        std::vector<Frame> f = {key(kT0), inter('V', kT0 + 40000), inter('P', kT0 + 80000)};
        std::vector<Frame> o = f;
        o[0] = with_mark(o[0]); // delivered only as the reference of the 'V' frame
        cases.push_back({"SecondFrameVirtual", f, o});
    }
    {
        std::vector<Frame> f = {key(kT0), audio(1, kT0, blocks_with_heads(164, 1, 20)),
                                audio(2, kT0 + 20000, bytes_of(160, 21)), inter('P', kT0 + 40000)};
        f[2][5] = 1; // one track, one coding
        cases.push_back({"AudioWithAndWithoutBlockHead", f, f});
    }
    {
        Frame a = audio(0, kT0, blocks_with_heads(84, 3, 30), 8000, 16, 84);
        Frame b = audio(0, kT0 + 30000, blocks_with_heads(84, 3, 40), 8000, 16, 84);
        b[40 + 84 + 1] = 7; // the second block's head does not match: nothing is removed
        cases.push_back({"MultiBlock", {key(kT0), a, b}, {key(kT0), a, b}});
    }
    {
        // 3-byte start codes come back as 4-byte codes; the head gives the new size.
        Frame in = video('I', kT0, annexb({kSps, kPps, {0x65, 0x11, 0x22}}, 3));
        Frame out = video('I', kT0, annexb({kSps, kPps, {0x65, 0x11, 0x22}}, 4));
        cases.push_back({"ThreeByteStartCodes", {in}, {out}});
    }
    return cases;
}

} // namespace

class Mp4RoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(Mp4RoundTrip, FramesComeBackAsWritten)
{
    const RoundTrip& c = GetParam();
    std::string p = temp_path(std::string(c.name) + ".mp4");
    ASSERT_EQ(write_all(p, c.in), 0);
    mp4_demuxer d;
    ASSERT_EQ(d.open(p.c_str()), 0);
    std::vector<Frame> got = read_all(d);
    ASSERT_EQ(got.size(), c.out.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], c.out[i]) << "frame " << i;
    d.close();
    unlink(p.c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, Mp4RoundTrip, ::testing::ValuesIn(round_trips()),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(Mp4Writer, G726IsStoredAsPcmWithAFixedHead)
{
    for (int encode : {4, 5, 6, 7}) {
        int bits = encode - 2;
        std::vector<uint8_t> codes = bytes_of(80, uint8_t(encode));
        std::vector<uint8_t> payload = {0x00, 0x01, 40, 0};
        payload.insert(payload.end(), codes.begin(), codes.end());
        std::string p = temp_path("g726.mp4");
        ASSERT_EQ(write_all(p, {key(kT0), audio(encode, kT0, payload, 8000, uint8_t(bits), 84)}), 0);
        mp4_demuxer d;
        ASSERT_EQ(d.open(p.c_str()), 0);
        std::vector<Frame> got = read_all(d);
        ASSERT_EQ(got.size(), 2u);
        const Frame& a = got[1];
        size_t pcm = 80 * 8 / bits * 2;
        EXPECT_EQ(a[5], 0) << "encode type";
        EXPECT_EQ(a[37], 16) << "bits";
        EXPECT_EQ(rd_le32(&a[12]), pcm);
        ASSERT_EQ(a.size(), 40 + pcm);
        // The same codes through a fresh decoder: the stored PCM is their decoding.
        g726_state_t* s = g726_init(nullptr, bits * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
        std::vector<int16_t> ref(pcm / 2 + 1);
        int n = g726_decode(s, ref.data(), codes.data(), int(codes.size()));
        g726_free(s);
        ASSERT_EQ(size_t(n) * 2, pcm);
        for (int i = 0; i < n; ++i) ASSERT_EQ(int16_t(rd_le16(&a[40 + 2 * i])), ref[i]) << i;
        unlink(p.c_str());
    }
}

namespace {
// Key frames at 0, 120 and 240 ms ('I', 'I', 'V' referring to the second 'I').
std::vector<Frame> seek_stream()
{
    std::vector<Frame> f;
    const char types[] = "IPPIPPVPP";
    for (int i = 0; i < 9; ++i) {
        uint64_t t = kT0 + 40000ull * i;
        f.push_back(types[i] == 'I' ? key(t, uint8_t(i)) : inter(types[i], t, uint8_t(i)));
        f.push_back(audio(1, t + 5000, bytes_of(160, uint8_t(50 + i))));
    }
    return f;
}
uint64_t time_of(const Frame& f) { return rd_le64(&f[16]); }
}

class Mp4Seek : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = temp_path("seek.mp4");
        frames = seek_stream();
        ASSERT_EQ(write_all(path, frames), 0);
        ASSERT_EQ(d.open(path.c_str()), 0);
    }
    void TearDown() override
    {
        d.close();
        unlink(path.c_str());
    }
    Frame next()
    {
        std::vector<uint8_t> buf(1 << 16);
        int size = 0;
        if (d.ReadFrame(buf.data(), int(buf.size()), size) != 0) return {};
        return Frame(buf.begin(), buf.begin() + size);
    }
    std::string path;
    std::vector<Frame> frames;
    mp4_demuxer d;
};

TEST_F(Mp4Seek, ByTimeLandsOnTheFirstKeyFrameNotEarlier)
{
    struct Case { uint64_t t; int result; int frame; bool mark; };
    const Case cases[] = {
        {kT0, 0, 0, false},
        {kT0 + 1, 0, 6, false},           // between two key frames: the later one
        {kT0 + 120000, 0, 6, false},
        {kT0 + 150000, 0, 6, true},        // a 'V' frame: its reference first, marked
        {kT0 + 240001, -1, 0, false},      // after the last key frame
    };
    for (const Case& c : cases) {
        ASSERT_EQ(d.SeekByTime(c.t), c.result) << c.t - kT0;
        if (c.result) continue;
        Frame f = next();
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(f, c.mark ? with_mark(frames[c.frame]) : frames[c.frame]) << c.t - kT0;
        if (c.mark) {
            EXPECT_EQ(next(), frames[12]) << "the 'V' frame follows its reference";
            EXPECT_EQ(next(), frames[13]) << "then the frames behind the 'V' frame";
        }
    }
}

TEST_F(Mp4Seek, ByKeyFrameIndexCountsVirtualFrames)
{
    EXPECT_EQ(d.GetKeyFrameCount(), 3);
    EXPECT_EQ(d.SeekByKeyFrameIndex(3), -1);
    EXPECT_EQ(d.SeekByKeyFrameIndex(-1), -1);
    ASSERT_EQ(d.SeekByKeyFrameIndex(1), 0);
    EXPECT_EQ(time_of(next()), kT0 + 120000);
    ASSERT_EQ(d.SeekByKeyFrameIndex(2), 0);
    EXPECT_EQ(next(), with_mark(frames[6]));
    EXPECT_EQ(next(), frames[12]);
    ASSERT_EQ(d.SeekByKeyFrameIndex(0), 0);
    EXPECT_EQ(next(), frames[0]);
}

TEST_F(Mp4Seek, TimeRangeAndSmallBuffersChangeNothing)
{
    uint64_t first = 0, last = 0;
    ASSERT_EQ(d.GetTimeRange(first, last), 0);
    EXPECT_EQ(first, kT0);
    EXPECT_EQ(last, kT0 + 8 * 40000);
    std::vector<uint8_t> small(100);
    int size = 0;
    EXPECT_EQ(d.ReadFrame(small.data(), int(small.size()), size), -1);
    EXPECT_EQ(next(), frames[0]) << "a frame that did not fit is still the next one";
    EXPECT_EQ(next(), frames[1]);
}

TEST(Mp4Reader, FileStartingWithAReferenceStartsAtItsVirtualFrame)
{
    std::string p = temp_path("vstart.mp4");
    std::vector<Frame> f = {key(kT0), inter('V', kT0 + 40000), inter('P', kT0 + 80000)};
    ASSERT_EQ(write_all(p, f), 0);
    mp4_demuxer d;
    ASSERT_EQ(d.open(p.c_str()), 0);
    for (int i = 0; i < 2; ++i) {
        uint64_t first = 0, last = 0;
        ASSERT_EQ(d.GetTimeRange(first, last), 0);
        EXPECT_EQ(first, kT0 + 40000);
        EXPECT_EQ(last, kT0 + 80000);
    }
    ASSERT_EQ(d.SeekByTime(kT0), 0);
    std::vector<Frame> got = read_all(d);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], with_mark(f[0]));
    EXPECT_EQ(got[1], f[1]);
    unlink(p.c_str());
}

// ---- refusals ----

namespace {
std::vector<uint8_t> good_file()
{
    std::string p = temp_path("good.mp4");
    std::vector<Frame> f = seek_stream();
    EXPECT_EQ(write_all(p, f), 0);
    std::vector<uint8_t> b = read_file(p);
    unlink(p.c_str());
    return b;
}
int open_bytes(const std::vector<uint8_t>& b)
{
    std::string p = temp_path("case.mp4");
    write_file(p, b);
    mp4_demuxer d;
    int r = d.open(p.c_str());
    if (r == 0) read_all(d); // must not crash either
    unlink(p.c_str());
    return r;
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v >> 24); b[at + 1] = uint8_t(v >> 16); b[at + 2] = uint8_t(v >> 8); b[at + 3] = uint8_t(v);
}
// Boxes nested `depth` deep as "moov", then a trailing "free" box without records.
std::vector<uint8_t> nested(int depth)
{
    std::vector<uint8_t> b;
    uint32_t inner = 0;
    for (int i = 0; i < depth; ++i) inner += 8;
    for (int i = 0; i < depth; ++i) {
        b.insert(b.end(), {0, 0, 0, 0, 'm', 'o', 'o', 'v'});
        put32(b, b.size() - 8, inner - 8 * i);
    }
    std::vector<uint8_t> free_box = {0, 0, 0, 64, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 0};
    free_box.resize(64, 0);
    std::memcpy(&free_box[40], "KVFm", 4);
    b.insert(b.end(), free_box.begin(), free_box.end());
    return b;
}
}

TEST(Mp4Reader, RefusesFilesThatAreNotOurs)
{
    std::vector<uint8_t> good = good_file();
    ASSERT_EQ(open_bytes(good), 0);
    std::vector<uint8_t> imkh = good;
    std::memcpy(&imkh[50], "IMKH", 4);
    std::vector<uint8_t> small(63, 0);
    std::memcpy(&small[20], "KVFm", 4);
    long moov = find_box(good, "moov");
    ASSERT_GT(moov, 0);
    std::vector<uint8_t> unfinished(good.begin(), good.begin() + moov); // the writer never closed
    std::vector<uint8_t> cut(good.begin(), good.end() - 100);           // the end is missing
    struct Case { const char* name; std::vector<uint8_t> bytes; int result; };
    const Case cases[] = {
        {"IMKH in the first 64 bytes", imkh, -5},
        {"under 64 bytes", small, -6},
        {"writer stopped before closing", unfinished, -6},
        {"empty", {}, -6},
    };
    for (const Case& c : cases) EXPECT_EQ(open_bytes(c.bytes), c.result) << c.name;
    EXPECT_LT(open_bytes(cut), 0);
    mp4_demuxer d;
    EXPECT_EQ(d.open("/nonexistent-dir-kv/x.mp4"), -2);
}

TEST(Mp4Reader, InconsistentBoxesGiveMinusOne)
{
    std::vector<uint8_t> good = good_file();
    auto at = [&](const char* type) {
        long a = find_deep(good, type);
        EXPECT_GT(a, 0) << type;
        return size_t(a);
    };
    struct Case { const char* name; std::function<void(std::vector<uint8_t>&)> change; int result; };
    const std::vector<Case> cases = {
        {"moov beyond the file", [&](auto& b) { put32(b, at("moov"), 0x7FFFFFF0); }, -1},
        {"stbl beyond its parent", [&](auto& b) { put32(b, at("stbl"), be32(&b[at("minf")]) + 8); }, -1},
        {"size 0", [&](auto& b) { put32(b, at("mvhd"), 0); }, -1},
        {"size 5", [&](auto& b) { put32(b, at("mvhd"), 5); }, -1},
        {"stss sample 0", [&](auto& b) { put32(b, at("stss") + 16, 0); }, -1},
        {"stss beyond the samples", [&](auto& b) { put32(b, at("stss") + 16, 10); }, -1},
        {"stts count beyond the box", [&](auto& b) { put32(b, at("stts") + 12, 0x10000000); }, -1},
        {"stsz table beyond the box", [&](auto& b) { put32(b, at("stsz") + 16, 0x40000000); }, -1},
        {"stco count beyond the box", [&](auto& b) { put32(b, at("stco") + 12, 0x40000000); }, -1},
        // A run that claims more samples than "stsz" holds ends the table.
        {"stsc run too long", [&](auto& b) { put32(b, at("stsc") + 20, 0x7FFFFFFF); }, 0},
        {"hdlr of another kind", [&](auto& b) { std::memcpy(&b[at("hdlr") + 16], "text", 4); }, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = good;
        c.change(b);
        EXPECT_EQ(open_bytes(b), c.result) << c.name;
    }
    // nested(n) holds n - 1 containers around an empty box.
    EXPECT_EQ(open_bytes(nested(17)), 0);
    EXPECT_EQ(open_bytes(nested(18)), -1);
    EXPECT_EQ(open_bytes(nested(40)), -1);
}

TEST(Mp4Reader, SampleCountsAndSavedHeadsThatDisagree)
{
    std::vector<uint8_t> good = good_file();
    // A common sample size claimed for 2^32-1 samples: they cannot lie in the file.
    std::vector<uint8_t> b = good;
    std::vector<long> stsz;
    for (size_t from = 0;;) {
        long a = find_deep(b, "stsz", from);
        if (a < 0) break;
        stsz.push_back(a);
        break;
    }
    ASSERT_FALSE(stsz.empty());
    put32(b, size_t(stsz[0]) + 12, 1);
    put32(b, size_t(stsz[0]) + 16, 0xFFFFFFFF);
    EXPECT_EQ(open_bytes(b), -1);
    // Fewer saved heads than samples: only samples with a head come back.
    std::string p = temp_path("fewer.mp4");
    std::vector<Frame> f;
    for (int i = 0; i < 6; ++i) f.push_back(i ? inter('P', kT0 + 40000 * i) : key(kT0));
    ASSERT_EQ(write_all(p, f), 0);
    b = read_file(p);
    long fr = find_box(b, "free", size_t(find_box(b, "moov")));
    ASSERT_GT(fr, 0);
    put32(b, size_t(fr) + 16 + 8, 48 * 3); // the record keeps 3 heads
    write_file(p, b);
    mp4_demuxer d;
    ASSERT_EQ(d.open(p.c_str()), 0);
    std::vector<Frame> got = read_all(d);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], f[2]);
    EXPECT_EQ(d.GetKeyFrameCount(), 1);
    d.close();
    unlink(p.c_str());
}
