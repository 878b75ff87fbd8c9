// Reply datagrams to search records, and the search request head.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scrambler.h"
#include "search_wire.h"

namespace {

std::vector<uint8_t> Datagram(const MsgHeadWrap& h, const std::vector<uint8_t>& extAndBody)
{
    std::vector<uint8_t> d(sizeof h + extAndBody.size());
    memcpy(d.data(), &h, sizeof h);
    if (!extAndBody.empty())
        memcpy(d.data() + sizeof h, extAndBody.data(), extAndBody.size());
    return d;
}

std::vector<uint8_t> Body(size_t n)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 1);
    return b;
}

MsgHeadWrap Reply(uint16_t type, uint32_t seq, uint32_t size)
{
    MsgHeadWrap h = kv_search_request(type, seq);
    h.MsgSize = size;
    return h;
}

} // namespace

TEST(SearchWire, VariantTypes)
{
    const uint16_t want[] = {11, 618, 11, 620, 623, 11, 625, 628, 11};
    for (int v = 0; v <= 8; ++v)
        EXPECT_EQ(kv_search_msg_type(static_cast<uint8_t>(v)), want[v]) << v;
    EXPECT_EQ(kv_search_msg_type(255), 11);
}

TEST(SearchWire, RequestIsAPlainHeadWithoutBody)
{
    MsgHeadWrap h = kv_search_request(620, 0xFFFFFFFF);
    const uint8_t want[16] = {0, 0, 0, 0, 0x6C, 0x02, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(memcmp(&h, want, 16), 0);
}

TEST(SearchWire, DatagramToRecord)
{
    const MsgHeadWrap req = kv_search_request(11, 77);
    struct Case {
        const char* name;
        MsgHeadWrap head;
        size_t bodyBytes;   // bytes after the head (extension included)
        bool match;
        size_t copied;      // record bytes taken from the body
        size_t bodyOffset;  // where the body starts in those bytes
    } cases[] = {
        {"full record", Reply(11, 77, 448), 448, true, 448, 0},
        {"short record zero-extended", Reply(11, 77, 100), 100, true, 100, 0},
        {"longer record cut at 448", Reply(11, 77, 600), 600, true, 448, 0},
        {"MsgSize beyond the datagram", Reply(11, 77, 5000), 300, true, 300, 0},
        {"MsgSize below what came", Reply(11, 77, 20), 448, true, 20, 0},
        {"empty body", Reply(11, 77, 0), 0, true, 0, 0},
        {"huge MsgSize", Reply(11, 77, 0xFFFFFFFF), 448, true, 448, 0},
        {"AckFlag is not looked at", [] { MsgHeadWrap h = Reply(11, 77, 448); h.AckFlag = 50; return h; }(), 448, true, 448, 0},
        {"stale Seq", Reply(11, 76, 448), 448, false, 0, 0},
        {"other type", Reply(618, 77, 448), 448, false, 0, 0},
        {"other subtype", [] { MsgHeadWrap h = Reply(11, 77, 448); h.MsgSubType = 1; return h; }(), 448, false, 0, 0},
        {"extension skipped", [] { MsgHeadWrap h = Reply(11, 77, 448); h.flags = 8; return h; }(), 456, true, 448, 8},
        {"extension past the end", [] { MsgHeadWrap h = Reply(11, 77, 0); h.flags = 0xFC; return h; }(), 100, false, 0, 0},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> body = Body(c.bodyBytes);
        const std::vector<uint8_t> dg = Datagram(c.head, body);
        SearchDevRsp rec;
        memset(&rec, 0xEE, sizeof rec);
        ASSERT_EQ(kv_search_reply_to_record(dg.data(), dg.size(), req, &rec), c.match) << c.name;
        if (!c.match)
            continue;
        const auto* r = reinterpret_cast<const uint8_t*>(&rec);
        for (size_t i = 0; i < sizeof rec; ++i) {
            const uint8_t want = i < c.copied ? body[c.bodyOffset + i] : 0;
            ASSERT_EQ(r[i], want) << c.name << " at " << i;
        }
    }
}

TEST(SearchWire, TruncatedDatagramsNeverMatch)
{
    const MsgHeadWrap req = kv_search_request(11, 5);
    const std::vector<uint8_t> dg = Datagram(Reply(11, 5, 448), Body(448));
    SearchDevRsp rec;
    for (size_t n = 0; n < sizeof(MsgHeadWrap); ++n)
        EXPECT_FALSE(kv_search_reply_to_record(dg.data(), n, req, &rec)) << n;
    EXPECT_FALSE(kv_search_reply_to_record(nullptr, 0, req, &rec));
    EXPECT_TRUE(kv_search_reply_to_record(dg.data(), 16, req, &rec)); // head alone: empty record
}

TEST(SearchWire, ScrambledReplyIsUnscrambled)
{
    const MsgHeadWrap req = kv_search_request(11, 9);
    MsgHeadWrap h = Reply(11, 9, 448);
    h.flags = 2;
    std::vector<uint8_t> body = Body(448);
    std::vector<uint8_t> dg = Datagram(h, body);
    ASSERT_TRUE(kv_scramble(dg.data() + 2, 14));
    ASSERT_TRUE(kv_scramble(dg.data() + 16, 448));
    SearchDevRsp rec;
    ASSERT_TRUE(kv_search_reply_to_record(dg.data(), dg.size(), req, &rec));
    EXPECT_EQ(memcmp(&rec, body.data(), 448), 0);
}
