// Reassembly of frames from packs: one table of pack sequences and what comes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "count_semaphore.h"
#include "date_time.h"
#include "frame_buf.h"

namespace {

struct Frame {
    std::vector<uint8_t> bytes; // head + payload
};

Frame MakeFrame(char type, uint32_t no, uint32_t payload, uint32_t claimed = UINT32_MAX)
{
    Frame f;
    f.bytes.resize(40 + payload);
    KVFrameHead h{};
    h.Magic = KV_FRAME_MAGIC;
    h.FrameType = static_cast<uint8_t>(type);
    h.FrameNo = no;
    h.FrameSize = claimed == UINT32_MAX ? payload : claimed;
    memcpy(f.bytes.data(), &h, 40);
    for (uint32_t i = 0; i < payload; ++i)
        f.bytes[40 + i] = static_cast<uint8_t>(i * 31 + no);
    return f;
}

// The frame cut into packs of `slot` bytes (flags 1 selects 8192).
std::vector<PackBuf> Cut(const Frame& f, uint32_t slot, uint32_t no)
{
    std::vector<PackBuf> out;
    const size_t total = f.bytes.size();
    const uint16_t n = static_cast<uint16_t>((total + slot - 1) / slot);
    for (uint16_t i = 0; i < n; ++i) {
        PackBuf p{};
        p.head.flags = slot == 8192 ? 1 : 0;
        p.head.PackNum = n;
        p.head.FrameNo = no;
        p.head.PackNo = i;
        const size_t off = size_t{i} * slot;
        p.head.PackSize = static_cast<uint16_t>(std::min<size_t>(slot, total - off));
        memcpy(p.data, f.bytes.data() + off, p.head.PackSize);
        out.push_back(p);
    }
    return out;
}

PackBuf Signal(uint8_t type)
{
    PackBuf p{};
    p.head.PackType = type;
    return p;
}

// One step of a sequence: a pack, and whether it must complete a frame of that type.
struct Step {
    PackBuf pack;
    char delivers; // 0: nothing handed on
};

struct Case {
    std::string name;
    std::vector<Step> steps;
    bool check = true;
};

std::vector<Step> Whole(char type, uint32_t no, uint32_t payload, uint32_t slot = 1400, bool delivered = true)
{
    std::vector<Step> s;
    auto packs = Cut(MakeFrame(type, no, payload), slot, no);
    for (size_t i = 0; i < packs.size(); ++i)
        s.push_back({packs[i], i + 1 == packs.size() && delivered ? type : '\0'});
    return s;
}

void Append(std::vector<Step>& a, const std::vector<Step>& b) { a.insert(a.end(), b.begin(), b.end()); }

std::vector<Case> Cases()
{
    std::vector<Case> cs;
    {
        Case c{"in order and reversed", {}};
        Append(c.steps, Whole('I', 1, 5000));
        auto rev = Whole('P', 2, 5000);
        std::reverse(rev.begin(), rev.end());
        for (auto& s : rev)
            s.delivers = 0;
        rev.back().delivers = 'P';
        Append(c.steps, rev);
        cs.push_back(c);
    }
    for (char lost : {'I', 'V', 'P'}) {
        Case c{std::string("second of three lost, frame ") + lost, {}};
        Append(c.steps, Whole('I', 1, 100));
        auto three = Whole(lost, 2, 3000);
        c.steps.push_back({three[0].pack, 0});
        c.steps.push_back({three[2].pack, 0});
        Append(c.steps, Whole('P', 3, 2000, 1400, lost == 'P'));
        Append(c.steps, Whole('I', 4, 2000));
        cs.push_back(c);
    }
    {
        Case c{"non-data pack mid-frame", {}};
        auto f = Whole('P', 1, 3000);
        c.steps.push_back({f[0].pack, 0});
        c.steps.push_back({Signal(3), 0});
        Append(c.steps, Whole('P', 2, 100, 1400, false));
        Append(c.steps, Whole('V', 3, 100));
        cs.push_back(c);
    }
    {
        Case c{"short frame dropped, longer delivered", {}};
        auto shortF = Cut(MakeFrame('I', 1, 100, 200), 1400, 1);
        c.steps.push_back({shortF[0], 0});
        Append(c.steps, Whole('P', 2, 100, 1400, false)); // waiting after the short one
        auto longF = Cut(MakeFrame('I', 3, 300, 100), 1400, 3);
        c.steps.push_back({longF[0], 'I'});
        cs.push_back(c);
    }
    {
        Case c{"slot 1400, 46 packs, pack 45 of 8192 bytes", {}};
        auto f = Whole('I', 1, 46 * 1400 - 40);
        for (size_t i = 0; i + 1 < f.size(); ++i)
            c.steps.push_back({f[i].pack, 0});
        PackBuf big = f.back().pack;
        big.head.PackSize = 8192;
        c.steps.push_back({big, 0});
        Append(c.steps, Whole('P', 2, 100, 1400, false)); // abandoned key frame: wait
        Append(c.steps, Whole('I', 3, 100));
        cs.push_back(c);
    }
    {
        Case c{"duplicate masks no hole", {}};
        auto f = Whole('P', 1, 3000);
        c.steps.push_back({f[0].pack, 0});
        c.steps.push_back({f[0].pack, 0});
        c.steps.push_back({f[2].pack, 0});
        c.steps.push_back({f[2].pack, 0});
        c.steps.push_back({f[1].pack, 'P'});
        c.steps.push_back({f[1].pack, 0}); // a late repeat is no new frame
        Append(c.steps, Whole('P', 2, 100));
        cs.push_back(c);
    }
    {
        // Audio and video numbered independently: an 'A' frame with the id of the video
        // frame before it is a frame of its own.
        Case c{"audio sharing the id of the frame before", {}};
        Append(c.steps, Whole('I', 5, 3000));
        Append(c.steps, Whole('A', 5, 320));
        Append(c.steps, Whole('P', 6, 100));
        cs.push_back(c);
    }
    {
        Case c{"changed PackNum abandons", {}};
        auto f = Whole('I', 1, 3000);
        c.steps.push_back({f[0].pack, 0});
        PackBuf odd = f[1].pack;
        odd.head.PackNum = 4;
        c.steps.push_back({odd, 0});
        c.steps.push_back({f[2].pack, 0}); // starts over: no pack 0 now
        Append(c.steps, Whole('P', 2, 100, 1400, false));
        Append(c.steps, Whole('I', 3, 100));
        cs.push_back(c);
    }
    {
        Case c{"missing pack 0 of an I frame", {}};
        auto f = Whole('I', 1, 3000);
        c.steps.push_back({f[1].pack, 0});
        c.steps.push_back({f[2].pack, 0});
        Append(c.steps, Whole('P', 2, 100, 1400, false));
        Append(c.steps, Whole('V', 3, 100));
        cs.push_back(c);
    }
    {
        Case c{"audio passes during the wait", {}};
        c.steps.push_back({Signal(2), 0});
        Append(c.steps, Whole('A', 1, 320));
        Append(c.steps, Whole('P', 2, 100, 1400, false));
        Append(c.steps, Whole('I', 3, 100));
        Append(c.steps, Whole('P', 4, 100));
        cs.push_back(c);
    }
    {
        Case c{"8192 slots", {}};
        Append(c.steps, Whole('I', 7, 30000, 8192));
        cs.push_back(c);
    }
    {
        Case c{"check false: no size check, repeats ignored", {}, false};
        auto shortF = Cut(MakeFrame('P', 1, 100, 5000), 1400, 1);
        c.steps.push_back({shortF[0], 'P'});
        c.steps.push_back({shortF[0], 0});
        cs.push_back(c);
    }
    {
        Case c{"invalid packs dropped", {}};
        PackBuf p = Whole('I', 1, 10)[0].pack;
        p.head.PackNo = 1; // not below PackNum
        c.steps.push_back({p, 0});
        p.head.PackNo = 0;
        p.head.PackNum = 0;
        c.steps.push_back({p, 0});
        Append(c.steps, Whole('P', 2, 100));
        cs.push_back(c);
    }
    return cs;
}

TEST(FrameBuf, Table)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        FrameBuf fb;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            const bool got = fb.AddPack(s.pack, c.check);
            ASSERT_EQ(got, s.delivers != 0) << "step " << i;
            if (!got)
                continue;
            EXPECT_EQ(fb.head()->FrameType, static_cast<uint8_t>(s.delivers)) << "step " << i;
            // The frame is the bytes that were cut: the head travels in the packs.
            const Frame want = MakeFrame(s.delivers, fb.head()->FrameNo, fb.head()->FrameSize);
            if (c.name.rfind("short", 0) != 0 && c.check) {
                EXPECT_EQ(0, memcmp(fb.data(), want.bytes.data(), want.bytes.size())) << "step " << i;
            }
        }
    }
}

TEST(FrameBuf, LongerFrameKeepsItsRealLength)
{
    FrameBuf fb;
    auto p = Cut(MakeFrame('I', 1, 300, 100), 1400, 1);
    ASSERT_TRUE(fb.AddPack(p[0], true));
    EXPECT_EQ(fb.size(), 340u);
}

TEST(FrameBuf, BufferGrowsInBlocksAndIsReused)
{
    FrameBuf fb;
    auto big = Cut(MakeFrame('I', 1, 47 * 1400 - 40), 1400, 1);
    ASSERT_EQ(big.size(), 47u);
    for (size_t i = 0; i < big.size(); ++i)
        EXPECT_EQ(fb.AddPack(big[i], true), i + 1 == big.size());
    EXPECT_EQ(fb.capacity(), 131072);
    for (uint32_t no = 2; no < 50; ++no)
        for (auto& p : Cut(MakeFrame('P', no, 10 * 1400 - 40), 1400, no))
            fb.AddPack(p, true);
    EXPECT_EQ(fb.capacity(), 131072);
    EXPECT_EQ(fb.allocations(), 1u);
}

TEST(FrameBuf, HugePackNumIsCapped)
{
    FrameBuf fb;
    PackBuf p{};
    p.head.flags = 1;
    p.head.PackNum = 0xFFFF;
    p.head.PackNo = 0xFFFE;
    p.head.PackSize = 8192;
    EXPECT_FALSE(fb.AddPack(p, true));
    EXPECT_LE(fb.capacity(), static_cast<int32_t>(FrameBuf::kMaxBytes));
    p.head.PackNo = 0;
    EXPECT_FALSE(fb.AddPack(p, true));
    EXPECT_LE(fb.capacity(), static_cast<int32_t>(FrameBuf::kMaxBytes));
}

TEST(FrameBuf, StreamWithoutVideoNeverWaits)
{
    FrameBuf fb(false);
    EXPECT_FALSE(fb.AddPack(Signal(6), true)); // a heartbeat
    auto shortA = Cut(MakeFrame('A', 1, 10, 500), 1400, 1);
    EXPECT_FALSE(fb.AddPack(shortA[0], true));
    auto a = Cut(MakeFrame('A', 2, 320), 1400, 2);
    EXPECT_TRUE(fb.AddPack(a[0], true));
    EXPECT_FALSE(fb.waiting());
}

TEST(CountSemaphore, CountsAndTimesOut)
{
    CountSemaphore s;
    EXPECT_FALSE(s.Wait(0));
    s.Post(3);
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(CountSemaphore::kInfinite));
    EXPECT_TRUE(s.Wait(10));
    EXPECT_FALSE(s.Wait(20));
    s.Post(5);
    s.Drain();
    EXPECT_EQ(s.count(), 0);
}

TEST(DateTime, FromMicrosAndBack)
{
    struct {
        uint64_t us;
        uint16_t y;
        uint8_t mo, d, h, mi, s;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0},
        {951782400ull * 1000000 + 999999, 2000, 2, 29, 0, 0, 0},
        {1798761599ull * 1000000, 2026, 12, 31, 23, 59, 59},
    };
    for (auto& c : cases) {
        DateTime d = kvmedia::DateTimeFromMicros(c.us);
        EXPECT_EQ(d.year, c.y);
        EXPECT_EQ(d.month, c.mo);
        EXPECT_EQ(d.day, c.d);
        EXPECT_EQ(d.hour, c.h);
        EXPECT_EQ(d.minute, c.mi);
        EXPECT_EQ(d.second, c.s);
        EXPECT_EQ(kvmedia::DateTimeToSeconds(d), static_cast<int64_t>(c.us / 1000000));
    }
    DateTime bad{};
    bad.year = 2023;
    bad.month = 2;
    bad.day = 29;
    EXPECT_EQ(kvmedia::DateTimeToSeconds(bad), -1);
}

} // namespace
