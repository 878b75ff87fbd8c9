// The box library: the boxes a track builds, their sizes and the buffered file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "mp4_atoms.h"
#include "mp4_test_util.h"
#include "mp4file.h"

using namespace mp4test;

namespace {

struct BuiltTrack {
    mp4file file;
    atom_trak* trak;
    std::unique_ptr<atom_basic> root{new atom_basic(&file, "")};
    explicit BuiltTrack(int kind, uint32_t timescale = 90000)
    {
        trak = static_cast<atom_trak*>(root->add_child(new atom_trak(&file)));
        trak->kind = kind;
        trak->timescale = timescale;
        trak->track_id = 1;
    }
    void build()
    {
        trak->build_chunks_write();
        trak->build_atoms(true, false);
        root->write();
        root->update_size();
    }
    std::vector<uint8_t> box(const char* type)
    {
        atom_basic* a = root->find_child_atom(type);
        if (!a || !a->bytes()) return {};
        return std::vector<uint8_t>(a->bytes(), a->bytes() + a->length());
    }
};

std::vector<uint32_t> fields(const std::vector<uint8_t>& box, size_t from)
{
    std::vector<uint32_t> out;
    for (size_t at = from; at + 4 <= box.size(); at += 4) out.push_back(be32(&box[at]));
    return out;
}

} // namespace

TEST(Mp4Boxes, SameSizedSamplesGiveStszWithoutTable)
{
    BuiltTrack t(0);
    for (int i = 0; i < 10; ++i) t.trak->update_samle_info(1000 + 100 * i, 100, 40000u * i, i == 0);
    t.build();
    std::vector<uint8_t> stsz = t.box("stsz");
    ASSERT_EQ(stsz.size(), 20u);
    EXPECT_EQ(be32(&stsz[0]), 20u);
    EXPECT_EQ(fields(stsz, 12), (std::vector<uint32_t>{100, 10}));
}

TEST(Mp4Boxes, StssOnlyWhenSomeSamplesAreNotKey)
{
    struct Case { int samples; std::vector<int> keys; bool has; std::vector<uint32_t> entries; };
    const Case cases[] = {
        {25, {}, false, {}},
        {5, {0, 1, 2, 3, 4}, false, {}},
        {25, {0}, true, {1, 1}},
        {25, {0, 10, 20}, true, {3, 1, 11, 21}},
    };
    for (const Case& c : cases) {
        BuiltTrack t(0);
        for (int i = 0; i < c.samples; ++i)
            t.trak->update_samle_info(100 * i, 100 + i, 40000u * i,
                                      std::find(c.keys.begin(), c.keys.end(), i) != c.keys.end());
        t.build();
        std::vector<uint8_t> stss = t.box("stss");
        EXPECT_EQ(!stss.empty(), c.has) << c.samples << " samples";
        if (c.has) {
            EXPECT_EQ(fields(stss, 12), c.entries);
        }
    }
}

TEST(Mp4Boxes, SttsRunsComeFromFrameTimes)
{
    struct Case { std::vector<uint64_t> times_us; uint32_t timescale; std::vector<uint32_t> stts; };
    const Case cases[] = {
        // 25 frames 40 ms apart: one run, the last repeating the one before.
        {[] { std::vector<uint64_t> v; for (int i = 0; i < 25; ++i) v.push_back(1000000 + 40000u * i); return v; }(),
         90000, {1, 25, 3600}},
        {{0, 0, 40000, 80000, 113334, 146668}, 90000, {3, 1, 0, 2, 3600, 3, 3000}},
        // A gap that runs backwards keeps the previous duration.
        {{0, 40000, 20000, 60000}, 90000, {1, 4, 3600}},
        // A gap beyond 2^31 ticks keeps the previous duration.
        {{0, 40000, 40000 + 30000000000ull, 30000080000ull}, 90000, {1, 4, 3600}},
        {{0}, 8000, {1, 1, 0}},
        // No drift: the sample times stay on the frame times (0, 2, 5, 8 ticks).
        {{0, 333, 666, 1000}, 8000, {2, 1, 2, 3, 3}},
    };
    for (const Case& c : cases) {
        BuiltTrack t(1, c.timescale);
        for (size_t i = 0; i < c.times_us.size(); ++i) t.trak->update_samle_info(10 * i, 10, c.times_us[i], false);
        t.build();
        EXPECT_EQ(fields(t.box("stts"), 12), c.stts);
    }
}

TEST(Mp4Boxes, LongDurationsSwitchToVersionOne)
{
    struct Case { uint64_t duration; size_t size; uint8_t version; };
    const Case cases[] = {{0x7FFFFFFE, 32, 0}, {0x7FFFFFFF, 44, 1}, {0x100000000ull, 44, 1}};
    for (const Case& c : cases) {
        mp4file f;
        atom_mdhd m(&f);
        m.timescale = 90000;
        m.duration = c.duration;
        m.write();
        m.update_size();
        ASSERT_EQ(m.length(), c.size);
        EXPECT_EQ(be32(m.bytes()), c.size);
        EXPECT_EQ(m.bytes()[8], c.version);
    }
}

TEST(Mp4Boxes, HeaderBoxSizesMatchTheirLayout)
{
    mp4file f;
    atom_mvhd mvhd(&f);
    atom_tkhd tkhd(&f);
    atom_hdlr hdlr(&f);
    atom_vmhd vmhd(&f);
    atom_smhd smhd(&f);
    atom_dref dref(&f);
    atom_ftyp ftyp_avc(&f, true), ftyp_hevc(&f, false);
    atom_audio ima(&f, 3), alaw(&f, 1), other(&f, 35);
    atom_video avc1(&f, true);
    struct Case { atom_basic* a; size_t size; };
    const Case cases[] = {{&mvhd, 108}, {&tkhd, 92}, {&hdlr, 45}, {&vmhd, 20}, {&smhd, 16}, {&dref, 28},
                          {&ftyp_avc, 32}, {&ftyp_hevc, 28}, {&ima, 52}, {&alaw, 36}, {&other, 36}, {&avc1, 86}};
    for (const Case& c : cases) {
        c.a->write();
        EXPECT_EQ(c.a->update_size(), c.size) << c.a->type();
    }
    tkhd.duration_ms = 0x7FFFFFFF;
    tkhd.write();
    EXPECT_EQ(tkhd.update_size(), 104u);
    mvhd.duration_ms = 0xFFFFFFFFull;
    mvhd.write();
    EXPECT_EQ(mvhd.update_size(), 120u);
    EXPECT_EQ(std::memcmp(alaw.bytes() + 4, "alaw", 4), 0);
    EXPECT_EQ(ima.bytes()[16 + 1], 1); // version 1
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(other.bytes() + 4, zero, 4), 0);
}

TEST(Mp4Boxes, FindChildDepthFirstAndDeleteAll)
{
    BuiltTrack t(0);
    t.trak->update_samle_info(0, 10, 0, true);
    t.build();
    atom_basic* stts = t.trak->find_child_atom("stts");
    ASSERT_NE(stts, nullptr);
    EXPECT_STREQ(stts->parent()->type(), "stbl");
    EXPECT_STREQ(stts->parent()->parent()->type(), "minf");
    EXPECT_EQ(t.trak->find_child_atom("co64"), nullptr);
    std::vector<atom_basic*> all;
    t.root->find_all_child_atom("stbl", all);
    EXPECT_EQ(all.size(), 1u);
    t.trak->delete_child_atom();
    EXPECT_TRUE(t.trak->children().empty());
}

TEST(Mp4Boxes, ChunksStopAtContiguityAndOneMebibyte)
{
    BuiltTrack t(0);
    // 15 contiguous samples of 100 000 bytes, then one that starts elsewhere.
    for (int i = 0; i < 15; ++i) t.trak->update_samle_info(1000 + 100000ull * i, 100000, 40000u * i, i == 0);
    t.trak->update_samle_info(5000000, 10, 15 * 40000u, false);
    t.trak->build_chunks_write();
    ASSERT_EQ(t.trak->chunks.size(), 3u);
    EXPECT_EQ(t.trak->chunks[0].samples, 10u); // 1 000 000 bytes; an 11th would pass 0xFFFFF
    EXPECT_EQ(t.trak->chunks[1].samples, 5u);
    EXPECT_EQ(t.trak->chunks[1].offset, 1000 + 1000000u);
    EXPECT_EQ(t.trak->chunks[2].samples, 1u);
}

TEST(Mp4File, OpenCodes)
{
    mp4file f;
    EXPECT_EQ(f.open(nullptr, true), -1);
    EXPECT_EQ(f.open("/nonexistent-dir-kv/missing.mp4", true), -2);
    EXPECT_EQ(f.open("/nonexistent-dir-kv/missing.mp4", false), -2);
    EXPECT_EQ(f.write("x", 1), -2);
    EXPECT_EQ(f.ftell(), -2);
    if (geteuid() != 0) {
        std::string p = temp_path("noaccess.mp4");
        write_file(p, {1, 2, 3});
        chmod(p.c_str(), 0);
        EXPECT_EQ(f.open(p.c_str(), true), -3);
        unlink(p.c_str());
    }
}

TEST(Mp4File, BufferedAndDirectWritesKeepOrder)
{
    std::string p = temp_path("buf.bin");
    mp4file f;
    ASSERT_EQ(f.open(p.c_str(), false), 0);
    std::vector<uint8_t> expect;
    const size_t sizes[] = {1, 1000, mp4file::kBufferSize - 1, mp4file::kBufferSize, 3, mp4file::kBufferSize + 5, 7};
    uint8_t seed = 0;
    for (size_t n : sizes) {
        std::vector<uint8_t> b = bytes_of(n, seed++);
        EXPECT_EQ(f.write(b.data(), int64_t(n)), int64_t(n));
        expect.insert(expect.end(), b.begin(), b.end());
        EXPECT_EQ(f.ftell(), int64_t(expect.size()));
    }
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(read_file(p), expect);
    unlink(p.c_str());
}
