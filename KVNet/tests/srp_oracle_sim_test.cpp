// The SRP-6a client and the envelope against the independent Python device arithmetic
// (tests/sim/srp_oracle.py): M1, M2, key, IV and envelope bytes must agree.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <openssl/srp.h>
#include <string>
#include <vector>

#include "msg_types.h"
#include "srp6/kv_envelope.h"
#include "srp6/kv_srp6_client.h"
#include "test_kit.h"

namespace {

using Case = std::map<std::string, std::string>;

// The oracle prints flat JSON objects of strings and integers.
Case ParseFlat(const std::string& line)
{
    Case c;
    size_t i = 0;
    auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == ',' || line[i] == '{' || line[i] == '}' ||
                                   line[i] == '\n'))
            ++i;
    };
    auto str = [&] {
        std::string s;
        ++i; // opening quote
        while (i < line.size() && line[i] != '"') {
            if (line[i] == '\\' && i + 1 < line.size())
                ++i;
            s += line[i++];
        }
        ++i;
        return s;
    };
    for (skip(); i < line.size() && line[i] == '"'; skip()) {
        std::string k = str();
        while (i < line.size() && (line[i] == ':' || line[i] == ' '))
            ++i;
        if (line[i] == '"') {
            c[k] = str();
        } else {
            size_t j = i;
            while (j < line.size() && line[j] != ',' && line[j] != '}')
                ++j;
            c[k] = line.substr(i, j - i);
            i = j;
        }
    }
    return c;
}

std::vector<Case> RunOracle(int count, int seed)
{
    std::string cmd = std::string(KV_PYTHON) + " " + KV_SOURCE_DIR + "/tests/sim/srp_oracle.py gen " +
                      std::to_string(count) + " " + std::to_string(seed);
    std::vector<Case> out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    std::string line;
    char buf[8192];
    while (fgets(buf, sizeof buf, f)) {
        line += buf;
        if (!line.empty() && line.back() == '\n') {
            out.push_back(ParseFlat(line));
            line.clear();
        }
    }
    pclose(f);
    return out;
}

std::vector<uint8_t> Unhex(const std::string& h)
{
    std::vector<uint8_t> v(h.size() / 2);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>(std::stoul(h.substr(2 * i, 2), nullptr, 16));
    return v;
}

string_piece SP(const std::string& s)
{
    return {s.data(), static_cast<uint32_t>(s.size())};
}

} // namespace

TEST(SrpOracle, ClientAgreesWithPythonDeviceIn200Cases)
{
    const auto cases = RunOracle(200, 20261210);
    ASSERT_EQ(cases.size(), 200u);
    int leadingS = 0, leadingM1 = 0, emptyPwd = 0, longUser = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("user=" + c.at("user") + " P=" + c.at("P"));
        kv_srp6_client cl;
        cl.set_private_for_test(c.at("a"));
        ASSERT_TRUE(cl.init_user_password(SP(c.at("I")), SP(c.at("P")), "1024"));
        string_piece A;
        ASSERT_TRUE(cl.get_A(&A));
        EXPECT_EQ(std::string(A.data, A.len), c.at("A"));
        string_piece M1;
        ASSERT_TRUE(cl.get_M1(SP(c.at("B")), SP(c.at("salt")), &M1));
        EXPECT_EQ(std::string(M1.data, M1.len), c.at("M1"));
        EXPECT_EQ(std::string(cl.M2_text()), c.at("M2"));
        ASSERT_TRUE(cl.authenticated(SP(c.at("M2"))));
        EXPECT_EQ(kvtest::Hex(cl.key(), 16), c.at("key"));
        EXPECT_EQ(kvtest::Hex(cl.iv(), 16), c.at("iv"));

        // Seal the same inner message with the same counter: identical bytes.
        const auto inner = Unhex(c.at("inner"));
        std::vector<uint8_t> buf(kvenv::kBlock + inner.size(), 0);
        const uint32_t L = kvenv::kBlock, counter = static_cast<uint32_t>(std::stoul(c.at("counter")));
        memcpy(buf.data(), &L, 4);
        memcpy(buf.data() + 4, &counter, 4);
        memcpy(buf.data() + kvenv::kBlock, inner.data(), inner.size());
        ASSERT_TRUE(kvenv::Seal(cl.key(), cl.iv(), buf.data(), buf.size()));
        EXPECT_EQ(kvtest::Hex(buf.data(), buf.size()), c.at("envelope"));

        // And open the Python envelope.
        auto env = Unhex(c.at("envelope"));
        size_t off = 0, len = 0;
        ASSERT_TRUE(kvenv::OpenBody(cl.key(), cl.iv(), env.data(), env.size(), &off, &len));
        EXPECT_EQ(off, kvenv::kBlock);
        EXPECT_EQ(kvtest::Hex(env.data() + off, len), c.at("inner"));

        leadingS += c.at("S").size() < 256;
        leadingM1 += c.at("M1").size() < 40;
        emptyPwd += c.at("P").empty();
        longUser += c.at("user").size() > 100;
    }
    EXPECT_GE(leadingS, 2);
    EXPECT_GE(leadingM1, 2);
    EXPECT_GE(emptyPwd, 1);
    EXPECT_GE(longUser, 1);
}

TEST(SrpOracle, GroupIsTheRfc5054Group)
{
    SRP_gN* gN = SRP_get_default_gN("1024");
    ASSERT_NE(gN, nullptr);
    char* n = BN_bn2hex(gN->N);
    EXPECT_EQ(std::string(n).substr(0, 16), "EEAF0AB9ADB38DD6");
    EXPECT_EQ(BN_get_word(gN->g), 2u);
    OPENSSL_free(n);
}

// Fixed vectors (the private value injected): the texts the client must produce.
TEST(SrpOracle, FixedVector)
{
    const auto cases = RunOracle(6, 1);
    ASSERT_EQ(cases.size(), 6u);
    const Case& c = cases[5];
    kv_srp6_client cl;
    cl.set_private_for_test(c.at("a"));
    ASSERT_TRUE(cl.init_user_password(SP(c.at("I")), SP(c.at("P")), "1024"));
    string_piece M1;
    ASSERT_TRUE(cl.get_M1(SP(c.at("B")), SP(c.at("salt")), &M1));
    // The vector is pinned here so a change of the oracle cannot hide a change of both.
    EXPECT_EQ(c.at("I"), "99AEA43AF7F987B49B8DCC553B01BFB482F5054EFBC1EE692740D8704C43C5F8");
    EXPECT_EQ(c.at("P"), "");
    EXPECT_EQ(std::string(M1.data, M1.len), c.at("M1"));
    EXPECT_EQ(std::string(cl.M2_text()), c.at("M2"));
}

TEST(SrpClient, RefusesBadDeviceNumbers)
{
    kv_srp6_client cl;
    const std::string I(64, 'A'), P = "pw";
    ASSERT_TRUE(cl.init_user_password(SP(I), SP(P), "1024"));
    SRP_gN* gN = SRP_get_default_gN("1024");
    char* n = BN_bn2hex(gN->N);
    const std::string N = n;
    OPENSSL_free(n);
    string_piece out;
    struct Row {
        const char* what;
        std::string B, salt;
    } rows[] = {
        {"B = 0", "00", "01"},
        {"B = N", N, "01"},
        {"B = 2N (above N)", "01" + N, "01"},
        {"not hex", "12G4", "01"},
        {"sign", "-1234", "01"},
        {"empty B", "", "01"},
        {"empty salt", "1234", ""},
        {"salt = N", "1234", N},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_FALSE(cl.get_M1(SP(r.B), SP(r.salt), &out));
    }
    EXPECT_FALSE(cl.init_user_password({"", 0}, SP(P), "1024"));
    EXPECT_FALSE(cl.init_user_password(SP(I), {nullptr, 0}, "1024"));
    EXPECT_TRUE(cl.init_user_password(SP(I), {"", 0}, "1024")); // empty password is allowed
}

TEST(SrpClient, M2DifferingInCaseIsRefused)
{
    const auto cases = RunOracle(1, 3);
    ASSERT_EQ(cases.size(), 1u);
    const Case& c = cases[0];
    kv_srp6_client cl;
    cl.set_private_for_test(c.at("a"));
    ASSERT_TRUE(cl.init_user_password(SP(c.at("I")), SP(c.at("P")), "1024"));
    string_piece M1;
    ASSERT_TRUE(cl.get_M1(SP(c.at("B")), SP(c.at("salt")), &M1));
    std::string lower = c.at("M2");
    for (char& ch : lower)
        ch = static_cast<char>(tolower(ch));
    ASSERT_NE(lower, c.at("M2"));
    EXPECT_FALSE(cl.authenticated(SP(lower)));
    EXPECT_FALSE(cl.authenticated(SP(c.at("M2").substr(1))));
    EXPECT_TRUE(cl.authenticated(SP(c.at("M2"))));
}

TEST(SrpHelpers, HexAndSha256)
{
    char out[8];
    const uint8_t b[] = {0x0a, 0xbc, 0xff};
    EXPECT_TRUE(hex_to_string(b, 3, out, sizeof out));
    EXPECT_STREQ(out, "0ABCFF");
    EXPECT_FALSE(hex_to_string(b, 3, out, 6)); // 2*3 >= 6: no room for the NUL
    EXPECT_FALSE(hex_to_string(b, 0, out, sizeof out));
    uint8_t d[4] = {9, 9, 9, 9};
    EXPECT_EQ(string_to_hex("0aBc", 4, d, sizeof d), 2u);
    EXPECT_EQ(d[0], 0x0a);
    EXPECT_EQ(d[1], 0xbc);
    EXPECT_EQ(string_to_hex("abc", 3, d, sizeof d), 0u);         // odd
    EXPECT_EQ(string_to_hex("0011223344", 10, d, 4), 0u);        // longer than 2*room
    EXPECT_EQ(sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

namespace {
std::vector<uint8_t> SealOne(uint32_t counter, const std::string& body)
{
    static const uint8_t key[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
    static const uint8_t iv[16] = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5};
    std::vector<uint8_t> buf(kvenv::kBlock + sizeof(MsgHeadWrap) + body.size(), 0);
    const uint32_t L = kvenv::kBlock;
    memcpy(buf.data(), &L, 4);
    memcpy(buf.data() + 4, &counter, 4);
    MsgHeadWrap h;
    h.MsgType = 32;
    h.MsgSize = static_cast<uint32_t>(body.size());
    memcpy(buf.data() + kvenv::kBlock, &h, sizeof h);
    memcpy(buf.data() + kvenv::kBlock + sizeof h, body.data(), body.size());
    kvenv::Seal(key, iv, buf.data(), buf.size());
    return buf;
}
bool OpenOne(std::vector<uint8_t> b)
{
    static const uint8_t key[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
    static const uint8_t iv[16] = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5};
    size_t off, len;
    return kvenv::OpenBody(key, iv, b.data(), b.size(), &off, &len);
}
} // namespace

TEST(Envelope, DigestCounterKeyStreamAndBounds)
{
    const auto a = SealOne(5, "same content");
    const auto b = SealOne(999, "same content");
    // The key stream restarts with every message: only the counter and digest differ.
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        const bool counterOrDigest = i >= 4 && i < 8 + 40;
        if (!counterOrDigest) {
            EXPECT_EQ(a[i], b[i]) << i;
        }
    }
    // Any counter value is accepted (it is not checked on receipt).
    EXPECT_TRUE(OpenOne(a));
    EXPECT_TRUE(OpenOne(b));
    // One digest digit altered (under the key stream): refused.
    auto c = a;
    c[8 + 17] ^= ('A' ^ 'B');
    EXPECT_FALSE(OpenOne(c));
    // A body byte altered: refused.
    auto d = a;
    d[d.size() - 1] ^= 1;
    EXPECT_FALSE(OpenOne(d));
    // Truncations and a block length beyond the body.
    for (size_t n : {size_t(0), size_t(100), size_t(159), a.size() - 1}) {
        std::vector<uint8_t> t(a.begin(), a.begin() + n);
        EXPECT_FALSE(OpenOne(t)) << n;
    }
    auto e = a;
    e[1] ^= 0x10; // L = 400 ^ 0x1000 under the key stream: beyond the body
    EXPECT_FALSE(OpenOne(e));
    auto f = a;
    f[0] ^= 0x90 ^ 0x64; // L = 356: inside the body, but the digest no longer matches
    EXPECT_FALSE(OpenOne(f));
}

TEST(SrpExchange, ReplyParserBounds)
{
    auto hello = [](const std::string& B, const std::string& s, int lbDelta = 0, int lsDelta = 0) {
        std::string b(4, '\0');
        uint32_t lb = static_cast<uint32_t>(B.size() + 1 + lbDelta), ls = static_cast<uint32_t>(s.size() + 1 + lsDelta);
        b.append(reinterpret_cast<char*>(&lb), 4).append(B).push_back('\0');
        b.append(reinterpret_cast<char*>(&ls), 4).append(s).push_back('\0');
        return b;
    };
    std::string B, s;
    auto parse = [&](const std::string& b) {
        return kvenv::ParseHelloReply(reinterpret_cast<const uint8_t*>(b.data()), b.size(), &B, &s);
    };
    EXPECT_TRUE(parse(hello("ABCDEF", "0102")));
    EXPECT_EQ(B, "ABCDEF");
    EXPECT_EQ(s, "0102");
    EXPECT_FALSE(parse(hello(std::string("AB\0D", 4), "01"))); // NUL inside B
    EXPECT_FALSE(parse(hello("ABXD", "01")));              // not hex
    EXPECT_FALSE(parse(hello("", "01")));                  // empty B
    EXPECT_FALSE(parse(hello(std::string(257, 'A'), "01"))); // longer than N can be
    EXPECT_TRUE(parse(hello(std::string(256, 'A'), "01")));
    EXPECT_FALSE(parse(hello("ABCD", "01", 1000)));        // B length beyond the body
    EXPECT_FALSE(parse(hello("ABCD", "01", 0, 1000)));     // salt length beyond the body
    EXPECT_FALSE(parse(hello("ABCD", "01", 0xFFFFFFF0)));  // wrapping length
    const std::string ok = hello("ABCD", "0102");
    for (size_t n = 0; n < ok.size(); ++n)
        EXPECT_FALSE(parse(ok.substr(0, n))) << n;
    std::string M2;
    std::string proof = std::string(8, '\0') + "ABC";
    EXPECT_FALSE(kvenv::ParseProofReply(reinterpret_cast<const uint8_t*>(proof.data()), proof.size(), &M2));
    proof.push_back('\0');
    EXPECT_TRUE(kvenv::ParseProofReply(reinterpret_cast<const uint8_t*>(proof.data()), proof.size(), &M2));
    EXPECT_EQ(M2, "ABC");
}
