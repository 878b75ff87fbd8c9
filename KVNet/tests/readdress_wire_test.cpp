// The two re-addressing body forms and the matching of answers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_kit.h"
#include "KVNet.h"
#include "readdress.h"
#include "search_wire.h"

namespace {

KVNetSetNewDevInfoExParam Filled()
{
    KVNetSetNewDevInfoExParam p;
    auto* b = reinterpret_cast<uint8_t*>(&p);
    for (size_t i = 0; i < sizeof p; ++i)
        b[i] = static_cast<uint8_t>(i * 13 + 5);
    return p;
}

std::vector<uint8_t> Answer(uint16_t type, uint32_t seq, uint16_t ack, const std::string& body, uint32_t size = ~0u)
{
    MsgHeadWrap h;
    h.MsgType = type;
    h.Seq = seq;
    h.AckFlag = ack;
    h.MsgSize = size == ~0u ? static_cast<uint32_t>(body.size()) : size;
    std::vector<uint8_t> d(sizeof h + body.size());
    memcpy(d.data(), &h, sizeof h);
    memcpy(d.data() + sizeof h, body.data(), body.size());
    return d;
}

} // namespace

TEST(ReaddressWire, LegacyBodyTakesItsFieldsFromTheRequest)
{
    const KVNetSetNewDevInfoExParam p = Filled();
    const auto* in = reinterpret_cast<const uint8_t*>(&p);
    uint8_t out[116];
    kv_readdress_build_legacy(p, out);
    struct Field {
        size_t at, width, from;
    } fields[] = {{0, 16, 0},    {16, 10, 16},  {26, 14, 80},  {40, 16, 144}, {56, 4, 160}, {60, 4, 164},
                  {64, 2, 216},  {66, 2, 220},  {68, 3, 224},  {72, 8, 208},  {80, 36, 168}};
    for (const Field& f : fields)
        EXPECT_EQ(memcmp(out + f.at, in + f.from, f.width), 0) << "offset " << f.at;
    EXPECT_EQ(out[71], 0);
}

TEST(ReaddressWire, LegacyFormIsSentUnlessBothCredentialsAreTooLong)
{
    struct Case {
        size_t user, pwd;
        bool legacy;
    } cases[] = {{5, 0, true},   {5, 63, true},  {12, 16, false}, {12, 8, true},  {9, 63, true},
                 {10, 14, false}, {10, 13, true}, {63, 63, false}, {0, 0, true},   {64, 64, false}};
    for (const Case& c : cases) {
        KVNetSetNewDevInfoExParam p{};
        memset(p.szUser, 'u', c.user);
        memset(p.szPwd, 'p', c.pwd);
        EXPECT_EQ(kv_readdress_sends_legacy(p), c.legacy) << c.user << "/" << c.pwd;
    }
}

TEST(ReaddressWire, LegacyRecordWidensToTheFullRequest)
{
    KVNetSetNewDevInfoParam in;
    auto* b = reinterpret_cast<uint8_t*>(&in);
    for (size_t i = 0; i < sizeof in; ++i)
        b[i] = static_cast<uint8_t>('A' + i % 26);
    in.nMediaPort = 0xBEEF;
    in.nWebPort = 80;
    KVNetSetNewDevInfoExParam out;
    kv_readdress_from_legacy(in, &out);
    EXPECT_EQ(memcmp(out.szToken, in.szToken, 16), 0);
    // Full fields: texts get their terminator in the wider field.
    EXPECT_EQ(std::string(out.szUser), std::string(in.szUser, 10));
    EXPECT_EQ(std::string(out.szPwd), std::string(in.szPwd, 14));
    EXPECT_EQ(memcmp(out.CurIP, in.CurIP, 24), 0);
    EXPECT_EQ(out.nMediaPort, 0xBEEFu);
    EXPECT_EQ(out.nWebPort, 80u);
    EXPECT_EQ(out.nNetMode, in.nNetMode);
    EXPECT_EQ(out.nFlag, in.nFlag);
    EXPECT_EQ(out.nByte226, in.nByte226);
    EXPECT_EQ(memcmp(out.carry, in.carry, 8), 0);
    EXPECT_EQ(memcmp(out.szMac, in.szMac, 36), 0);
    EXPECT_EQ(memcmp(out.zero0, in.tail, 4), 0);
    EXPECT_EQ(out.bUnicast, 0);
    const uint8_t zeros[516] = {};
    EXPECT_EQ(memcmp(out.zero1, zeros, sizeof zeros), 0);
}

TEST(ReaddressWire, AnswerMatching)
{
    MsgHeadWrap req;
    req.MsgType = 13;
    req.Seq = 41;
    const char token[16] = "12";
    char emptyToken[16] = {};
    char fullToken[16];
    memset(fullToken, 'T', 16); // no terminator: compared over all 16
    struct Case {
        const char* name;
        std::vector<uint8_t> dg;
        const char* tok;
        int want;
    } cases[] = {
        {"acknowledged", Answer(13, 41, 0, "12\0\0"), token, 0},
        {"AckFlag 50", Answer(13, 41, 50, "12"), token, -1},
        {"token mismatch", Answer(13, 41, 0, "13"), token, -2},
        {"token longer than the body", Answer(13, 41, 0, "1"), token, -2},
        {"token beyond the datagram", Answer(13, 41, 0, "1", 16), token, -2},
        {"other Seq", Answer(13, 40, 0, "12"), token, -2},
        {"other type", Answer(12, 41, 0, "12"), token, -2},
        {"empty token matches any body", Answer(13, 41, 0, ""), emptyToken, 0},
        {"16-character token", Answer(13, 41, 0, std::string(16, 'T') + "x"), fullToken, 0},
        {"16-character token, 15 sent", Answer(13, 41, 0, std::string(15, 'T')), fullToken, -2},
        {"head only", Answer(13, 41, 0, ""), token, -2},
        {"short datagram", std::vector<uint8_t>(10, 0), emptyToken, -2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kv_readdress_match(c.dg.data(), c.dg.size(), req, c.tok), c.want) << c.name;
}

TEST(Readdress, NullAndNoOpCalls)
{
    EXPECT_EQ(KVNetSetNewDevInfoEx(nullptr), 0);
    EXPECT_EQ(KVNetSetNewDevInfo(nullptr), 0);
    EXPECT_EQ(KVNetSetDevInfo(), 0);
}

TEST(Readdress, SendersThatCannotStartCountAsNotAcknowledged)
{
    // No thread starts, so nothing is sent: safe outside a namespace.
    kv_readdress_fail_thread_start(true);
    KVNetSetNewDevInfoExParam p{};
    strcpy(p.szUser, "admin");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KVNetSetNewDevInfoEx(&p), 0);
    kv_readdress_fail_thread_start(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500 + kvtest::kLoadSlackMs));
}
