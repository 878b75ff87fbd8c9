// The upgrade's pieces that need no device: CRC, file access, firmware validation,
// request layouts, code tables, progress records and the progress throttle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crc32.h"
#include "kv_file.h"
#include "test_kit.h"
#include "upgrade_fw_util.h"
#include "upgrade_proto.h"

using namespace kvupg;

namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t off)
{
    uint32_t v;
    memcpy(&v, b.data() + off, 4);
    return v;
}

} // namespace

TEST(UpgradeCrc, KnownValuesAndPieceByPiece)
{
    EXPECT_EQ(kv_crc32_update(0, "abc", 3), 0xCA6598D0u);
    EXPECT_EQ(kv_crc32_update(0, "123456789", 9), 0x2DFD2D88u); // zlib: crc32(d, ~0) ^ ~0
    EXPECT_EQ(kv_crc32_update(0, nullptr, 0), 0u);
    // Every length and alignment against the bitwise reference, and continued in two
    // pieces cut anywhere (the upgrade runs it piece by piece).
    const auto data = kvtest::Pattern(300, 1);
    for (size_t start = 0; start < 8; ++start)
        for (size_t len = 0; start + len <= data.size(); len += 7) {
            const uint32_t ref = kvtest::BitwiseCrc(0, data.data() + start, len);
            ASSERT_EQ(kv_crc32_update(0, data.data() + start, len), ref) << start << "+" << len;
            const size_t cut = len / 3;
            ASSERT_EQ(kv_crc32_update(kv_crc32_update(0, data.data() + start, cut), data.data() + start + cut,
                                      len - cut),
                      ref);
        }
}

TEST(UpgradeFile, CKVFileResults)
{
    CKVFile none;
    uint64_t size = 0;
    char buf[8];
    EXPECT_EQ(none.Seek(0, SEEK_SET), 1);
    EXPECT_EQ(none.GetSize(&size), 1);
    EXPECT_EQ(none.Read(buf, 1), 1);
    EXPECT_EQ(none.Create("/nonexistent-dir/x", true), 1);
    EXPECT_EQ(none.Close(), 0);

    const std::string path = kvtest::TempPath("kvfile");
    {
        CKVFile w;
        ASSERT_EQ(w.Create(path.c_str(), false), 0);
        ASSERT_EQ(w.Write("0123456789", 10), 0);
    }
    CKVFile f;
    ASSERT_EQ(f.Create(path.c_str(), true), 0);
    ASSERT_EQ(f.Seek(4, SEEK_SET), 0);
    ASSERT_EQ(f.GetSize(&size), 0);
    EXPECT_EQ(size, 6u); // from the position, which stays
    size_t got = 0;
    ASSERT_EQ(f.Read(buf, 2, &got), 0);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, 2), "45");
    // A block that meets the end still succeeds; the count tells it was short.
    EXPECT_EQ(f.Read(buf, 8, &got), 0);
    EXPECT_EQ(got, 4u);
    unlink(path.c_str());
}

TEST(UpgradeFirmware, ValidationTable)
{
    const auto good = kvtest::BuildPartFile({{100, 0}, {50, 35}, {7, 2}});
    std::vector<Part> parts;
    ASSERT_EQ(ValidateFirmware(3, good.data(), good.size(), &parts), FileError::kNone);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].offset, 276u + 3 * 92);
    EXPECT_EQ(parts[0].length, 100u);
    EXPECT_EQ(parts[1].bit, 3u); // 35 mod 32
    EXPECT_EQ(parts[2].offset, 276u + 3 * 92 + 150);
    EXPECT_EQ(FileCheckValue(good.data(), good.size()), U32(good, 4));

    auto withCount = [&](uint32_t n) {
        auto f = good;
        kvtest::PutU32(f, 12, n);
        kvtest::FixCheck(f);
        return f;
    };
    auto withPart = [&](uint32_t off, uint32_t len) {
        auto f = good;
        kvtest::PutU32(f, 276 + 92 + 8, off);
        kvtest::PutU32(f, 276 + 92 + 12, len);
        kvtest::FixCheck(f);
        return f;
    };
    struct Case {
        const char* what;
        uint32_t type;
        std::vector<uint8_t> file;
        FileError want;
    };
    const std::vector<Case> cases = {
        {"type 6 takes the same file", 6, good, FileError::kNone},
        {"wrong check value", 3, kvtest::BuildPartFile({{10, 0}}, false), FileError::kCheckValue},
        {"one flipped data byte", 3,
         [&] {
             auto f = good;
             f.back() ^= 0x80;
             return f;
         }(),
         FileError::kCheckValue},
        {"shorter than the head", 3, std::vector<uint8_t>(275, 1), FileError::kShortHead},
        {"empty", 3, {}, FileError::kEmpty},
        {"empty plain", 7, {}, FileError::kEmpty},
        {"table beyond the file", 3, withCount(40), FileError::kPartTable},
        {"count near 2^32", 3, withCount(0xFFFFFFFFu), FileError::kPartTable},
        {"part end beyond the file", 3, withPart(276 + 3 * 92, static_cast<uint32_t>(good.size())),
         FileError::kPartRange},
        {"offset + length wraps 32 bits", 3, withPart(0xFFFFFFF0u, 0x20), FileError::kPartRange},
        {"part ending exactly at the end", 3, withPart(static_cast<uint32_t>(good.size()) - 7, 7), FileError::kNone},
        {"no parts at all", 3, withCount(0), FileError::kNone},
        {"unknown type 2", 2, good, FileError::kUnknownType},
        {"unknown type 8", 8, good, FileError::kUnknownType},
        {"plain types take any bytes", 7, std::vector<uint8_t>(1, 0), FileError::kNone},
        {"multi-channel type 4", 4, std::vector<uint8_t>(5, 0), FileError::kNone},
        {"multi-channel type 5", 5, std::vector<uint8_t>(5, 0), FileError::kNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ValidateFirmware(c.type, c.file.data(), c.file.size(), nullptr), c.want) << c.what;
    // Sizes of 4 GiB and more are refused before anything is read from the image.
    EXPECT_EQ(ValidateFirmware(7, good.data(), 0x100000000ull, nullptr), FileError::kTooLarge);
}

TEST(UpgradeRequests, StartBodiesAndNames)
{
    EXPECT_STREQ(FileName("/a/b/fw.bin"), "fw.bin");
    EXPECT_STREQ(FileName("C:\\dir\\fw.bin"), "fw.bin");
    EXPECT_STREQ(FileName("mixed\\dir/x.img"), "x.img");
    EXPECT_STREQ(FileName("fw.bin"), "fw.bin");
    EXPECT_STREQ(FileName("dir/"), "");

    const auto file = kvtest::BuildPartFile({{10, 0}, {20, 1}});
    auto parts = PartsStartBody(0xA1B2C3D4, file.data(), 2, "fw.bin");
    ASSERT_EQ(parts.size(), 536u + 2 * 92);
    EXPECT_EQ(U32(parts, 0), 0xA1B2C3D4u);
    EXPECT_EQ(0, memcmp(parts.data() + 4, file.data(), 276 + 2 * 92));
    EXPECT_STREQ(reinterpret_cast<const char*>(parts.data() + 280 + 2 * 92), "fw.bin");

    // A name of 256 characters or more fills the field without a terminator.
    const std::string longName(300, 'n');
    auto plain = PlainStartBody(7, 123456, longName.c_str());
    ASSERT_EQ(plain.size(), 328u);
    EXPECT_EQ(U32(plain, 0), 328u);
    EXPECT_EQ(U32(plain, 4), 7u);
    for (size_t i = 8; i < 40; ++i)
        ASSERT_EQ(plain[i], 0) << i;
    EXPECT_EQ(std::string(plain.begin() + 40, plain.begin() + 296), std::string(256, 'n'));
    EXPECT_EQ(U32(plain, 296), 123456u);
    for (size_t i = 300; i < 328; ++i)
        ASSERT_EQ(plain[i], 0) << i;

    const uint32_t masks[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto multi = MultiStartBody(9, 5000, 0x8001, masks, "m.bin");
    ASSERT_EQ(multi.size(), 304u);
    EXPECT_EQ(U32(multi, 0), 9u);
    EXPECT_EQ(U32(multi, 4), 5000u);
    EXPECT_EQ(U32(multi, 8), 0x8001u);
    EXPECT_EQ(U32(multi, 12), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(multi.data() + 16), "m.bin");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(U32(multi, 272 + 4 * i), masks[i]);

    const MsgHeadWrap d = DataHead(5139, 4096, 3);
    EXPECT_EQ(d.flags, 0);
    EXPECT_EQ(d.MsgSubType, 761);
    EXPECT_EQ(d.MsgSize, 4096u);
    EXPECT_EQ(d.Seq, 3u);
    const MsgHeadWrap c = CloseHead(729, 762, 2, 9);
    EXPECT_EQ(c.flags, 2);
    EXPECT_EQ(c.MsgSize, 4u);
    EXPECT_EQ(CloseHead(729, 763, 0, 8).MsgSize, 0u);
    EXPECT_EQ(StartHead(5140, 0xFF, 304).flags, 3); // only the security bits
}

TEST(UpgradeCodes, AckTables)
{
    const std::pair<uint16_t, unsigned> start[] = {
        {0, 0}, {60, 396}, {61, 395}, {63, 397}, {64, 398}, {67, 399}, {1, 390}, {62, 390}, {65535, 390}};
    for (auto [ack, code] : start)
        EXPECT_EQ(StartAckCode(ack), code) << ack;
    const std::pair<uint16_t, unsigned> plain[] = {{0, 391}, {1, 390}, {2, 393}, {60, 396}, {67, 399},
                                                   {3, 390}, {61, 390}};
    for (auto [ack, code] : plain)
        EXPECT_EQ(PlainAckCode(ack, nullptr), code) << ack;
    EXPECT_EQ(MsgTypeFor(3), 5139);
    EXPECT_EQ(MsgTypeFor(6), 729);
    EXPECT_EQ(MsgTypeFor(4), 5140);
    EXPECT_EQ(MsgTypeFor(5), 5140);
    EXPECT_EQ(MsgTypeFor(7), 730);
    EXPECT_EQ(MsgTypeFor(0), 0);
    EXPECT_STREQ(CodeName(764), "MsgRemoteUpgradeWriteFlashInProgress");
    EXPECT_STREQ(CodeName(402), "KVNetMsgRemoteUpgradeIPCPercent");
}

TEST(UpgradeProgress, RecordsAndChannelMask)
{
    auto rec = [](uint32_t len, uint32_t ch, uint8_t st, uint8_t pr) {
        std::vector<uint8_t> r(12, 0);
        kvtest::PutU32(r, 0, len);
        kvtest::PutU32(r, 4, ch);
        r[8] = st;
        r[9] = pr;
        return r;
    };
    std::vector<uint8_t> two = rec(12, 3, 0, 40);
    auto second = rec(99, 40, 1, 100); // only the first record's length counts
    two.insert(two.end(), second.begin(), second.end());
    two.push_back(0xEE); // a tail shorter than a record is left alone

    std::vector<ProgressRecord> out;
    ASSERT_TRUE(SplitProgress(two.data(), static_cast<uint32_t>(two.size()), &out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].channel, 3u);
    EXPECT_EQ(out[0].progress, 40);
    EXPECT_EQ(out[1].channel, 40u);
    EXPECT_EQ(out[1].state, 1);
    EXPECT_EQ(out[1].data, two.data() + 12);

    struct Bad {
        const char* what;
        std::vector<uint8_t> body;
    };
    const Bad bad[] = {{"length 0", rec(0, 1, 1, 1)},
                       {"length below a record", rec(9, 1, 1, 1)},
                       {"length beyond the body", rec(13, 1, 1, 1)},
                       {"shorter than a record", std::vector<uint8_t>(9, 0)},
                       {"empty", {}}};
    for (const auto& b : bad)
        EXPECT_FALSE(SplitProgress(b.body.data(), static_cast<uint32_t>(b.body.size()), &out)) << b.what;

    ChannelMask m;
    m.first = (1u << 3) | (1u << 31);
    m.words[0] = 0; // array word 0 is never cleared by a record: leave it empty here
    m.words[1] = 1u << 8;
    m.words[7] = 1u << 31;
    m.Finish(3);
    m.Finish(31);
    m.Finish(40);
    m.Finish(0xFFFFFFFFu); // beyond the array: ignored, no out-of-range write
    m.Finish(256);
    EXPECT_FALSE(m.Empty());
    m.Finish(255);
    EXPECT_TRUE(m.Empty());

    ChannelMask w0;
    w0.words[0] = 1;
    w0.Finish(0);
    EXPECT_FALSE(w0.Empty());
}

TEST(UpgradeProgress, ThrottleOncePerChangeAndInterval)
{
    ProgressThrottle t;
    unsigned pct = 0;
    t.Reset(1000, 0, 300);
    EXPECT_FALSE(t.Add(100, 100, &pct));  // 10 %, but too soon after the start
    EXPECT_FALSE(t.Add(0, 300, &pct));    // exactly 300 ms: not more than the interval
    EXPECT_TRUE(t.Add(0, 301, &pct));
    EXPECT_EQ(pct, 10u);
    EXPECT_FALSE(t.Add(5, 2000, &pct));   // still 10 %
    EXPECT_TRUE(t.Add(895, 2001, &pct));  // 100 %
    EXPECT_EQ(pct, 100u);
    EXPECT_FALSE(t.Finish(&pct));         // already reported

    t.Reset(0, 0, 300); // a device that wants nothing gets no percentage
    EXPECT_FALSE(t.Add(4096, 10000, &pct));

    t.Reset(100, 0, 0); // more than the base stays at 100
    EXPECT_TRUE(t.Add(250, 1, &pct));
    EXPECT_EQ(pct, 100u);

    t.Reset(0xFFFFFFFFull, 0, 0); // 64-bit arithmetic near 4 GiB
    EXPECT_TRUE(t.Add(0xFFFFFFFEull, 1, &pct));
    EXPECT_EQ(pct, 99u);
    EXPECT_TRUE(t.Finish(&pct));
    EXPECT_EQ(pct, 100u);
}
