// TEA, MD5 and text messages against the independent Python packer (tests/sim/verov).
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "vv_crypto.h"
#include "vv_datagram.h"

namespace {

std::string hex(const void* p, size_t n) {
  static const char h[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    unsigned char b = static_cast<const unsigned char*>(p)[i];
    s += h[b >> 4];
    s += h[b & 15];
  }
  return s;
}

std::vector<unsigned char> unhex(const std::string& s) {
  std::vector<unsigned char> v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return v;
}

// The value of "key" in one JSON answer line: a string without its quotes, or the raw token.
std::string field(const std::string& line, const std::string& key) {
  size_t p = line.find("\"" + key + "\": ");
  if (p == std::string::npos) return "";
  p += key.size() + 4;
  if (line[p] == '"') {
    std::string out;
    for (size_t i = p + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      out += line[i];
    }
    return out;
  }
  size_t e = line.find_first_of(",}", p);
  return line.substr(p, e - p);
}

// Runs one batch of JSON requests through the Python packer; one answer line per request.
std::vector<std::string> python_batch(const std::vector<std::string>& requests) {
  char path[] = "/tmp/vvcrypt-XXXXXX";
  int fd = mkstemp(path);
  std::string all;
  for (const auto& r : requests) all += r + "\n";
  EXPECT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  close(fd);
  std::string cmd = std::string(VV_PYTHON) + " " + VV_SIM_DIR + "/vvcrypt.py batch < " + path;
  FILE* p = popen(cmd.c_str(), "r");
  std::vector<std::string> out;
  char line[8192];
  while (p && fgets(line, sizeof(line), p)) out.emplace_back(line);
  if (p) pclose(p);
  unlink(path);
  return out;
}

std::string json_text(const std::string& s) {
  std::string o = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o + "\"";
}

}  // namespace

TEST(VvTea, KnownAnswerAndRoundTrip) {
  uint32_t v[2] = {0, 0}, k[4] = {0, 0, 0, 0};
  tea_encrypt(v, k);
  EXPECT_EQ(v[0], 0x41EA3A0Au);
  EXPECT_EQ(v[1], 0x94BAA940u);
  tea_decrypt(v, k);
  EXPECT_EQ(v[0], 0u);
  EXPECT_EQ(v[1], 0u);
  uint32_t w[2] = {0, 0};
  vv2_tea_encrypt(w, k);
  EXPECT_EQ(w[0], 0x41EA3A0Au) << "the second instance's copy gives the same bytes";
}

TEST(VvTea, AgreesWithPythonOnRandomBlocks) {
  std::mt19937 rng(22);
  struct Case { unsigned char key[16], block[8]; };
  std::vector<Case> cases(1000);
  std::vector<std::string> req;
  for (auto& c : cases) {
    for (auto& b : c.key) b = static_cast<unsigned char>(rng());
    for (auto& b : c.block) b = static_cast<unsigned char>(rng());
    req.push_back("{\"op\": \"tea\", \"key\": \"" + hex(c.key, 16) + "\", \"block\": \"" +
                  hex(c.block, 8) + "\"}");
  }
  auto ans = python_batch(req);
  ASSERT_EQ(ans.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    unsigned char b[8];
    memcpy(b, cases[i].block, 8);
    ASSERT_EQ(encrypt_ex(b, 8, cases[i].key), 8);
    ASSERT_EQ(hex(b, 8), field(ans[i], "enc")) << "case " << i;
    decrypt_ex(b, 8, cases[i].key);
    ASSERT_EQ(memcmp(b, cases[i].block, 8), 0);
  }
}

TEST(VvMd5, AgreesWithPythonOnRandomData) {
  std::mt19937 rng(1321);
  std::vector<std::vector<unsigned char>> data(1000);
  std::vector<std::string> req;
  for (size_t i = 0; i < data.size(); ++i) {
    // Every length around the 56- and 64-byte padding edges, then random ones.
    size_t len = i < 200 ? i : rng() % 3000;
    data[i].resize(len);
    for (auto& b : data[i]) b = static_cast<unsigned char>(rng());
    req.push_back("{\"op\": \"md5\", \"data\": \"" + hex(data[i].data(), len) + "\"}");
  }
  auto ans = python_batch(req);
  ASSERT_EQ(ans.size(), data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    char out[33];
    vv_Md5String(data[i].data(), static_cast<int>(data[i].size()), out);
    ASSERT_EQ(std::string(out), field(ans[i], "md5")) << "length " << data[i].size();
  }
}

TEST(VvMd5, PiecewiseUpdateAndFinalClearsState) {
  char one[33];
  vv_Md5String("abc", 3, one);
  EXPECT_STREQ(one, "900150983cd24fb0d6963f7d28e17f72");
  vv_Md5String(nullptr, 0, one);
  EXPECT_STREQ(one, "d41d8cd98f00b204e9800998ecf8427e");
  std::string msg(1000, 'q');
  vv_MD5_CTX ctx;
  vv_MD5Init(&ctx);
  for (size_t off = 0; off < msg.size(); off += 37)
    vv_MD5Update(&ctx, msg.data() + off, static_cast<uint32_t>(std::min<size_t>(37, msg.size() - off)));
  unsigned char d[16];
  vv_MD5Final(d, &ctx);
  char whole[33];
  vv_Md5String(msg.data(), static_cast<int>(msg.size()), whole);
  EXPECT_EQ(hex(d, 16), whole);
  for (uint32_t s : ctx.state) EXPECT_EQ(s, 0u);
  unsigned char words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  vv_MD5Decode(words, 2);
  uint32_t w[2];
  memcpy(w, words, 8);
  EXPECT_EQ(w[0], 0x04030201u);
  EXPECT_EQ(w[1], 0x08070605u);
}

TEST(VvTea, EcbLengths) {
  unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  unsigned char buf[16], orig[16];
  for (int i = 0; i < 16; ++i) orig[i] = buf[i] = static_cast<unsigned char>(i * 13);
  EXPECT_EQ(encrypt_ex(buf, 0, key), 0);
  EXPECT_EQ(encrypt_ex(buf, -3, key), 0);
  EXPECT_EQ(memcmp(buf, orig, 16), 0) << "nothing enciphered";
  EXPECT_EQ(encrypt_ex2(buf, 12, key), 12);
  EXPECT_NE(memcmp(buf, orig, 8), 0);
  EXPECT_EQ(memcmp(buf + 8, orig + 8, 4), 0) << "the short tail stays plain";
  decrypt_ex2(buf, 12, key);
  EXPECT_EQ(memcmp(buf, orig, 16), 0);
  EXPECT_EQ(encrypt_ex(buf, 9, key), 16) << "a partial block is padded to a whole one";
  EXPECT_EQ(vv2_encrypt_ex(orig, 9, key), 16);
  EXPECT_EQ(memcmp(buf, orig, 16), 0);
}

// Every padding case: both directions against Python, lengths checked on the wire.
TEST(VvTextMessage, PaddingCasesBothWays) {
  struct { int chars; int tl; int padded; } cases[] = {
      {0, 1, 8},   {1, 2, 8},    {6, 7, 8},     {7, 8, 8},      {8, 9, 16},
      {15, 16, 16}, {16, 17, 24}, {100, 101, 104}, {1499, 1500, 1504},
  };
  std::vector<std::string> texts, req;
  for (const auto& c : cases) {
    std::string t;
    for (int i = 0; i < c.chars; ++i) t += static_cast<char>(i % 5 == 4 ? '|' : 'a' + i % 26);
    texts.push_back(t);
  }
  std::vector<std::vector<unsigned char>> built;
  for (size_t i = 0; i < texts.size(); ++i) {
    std::vector<unsigned char> d(VV_TEXT_DGRAM_MAX);
    const unsigned char unset[4] = {0xde, 0xad, 0xbe, 0xef};
    int n = vv_text_build(d.data(), static_cast<int>(d.size()), 1023, texts[i].c_str(), 1700000000u,
                          123456u + static_cast<uint32_t>(i), unset);
    ASSERT_EQ(n, 20 + cases[i].padded);
    EXPECT_EQ(vv_get16(&d[16]), cases[i].tl);
    EXPECT_EQ(vv_get16(&d[18]), cases[i].padded);
    d.resize(static_cast<size_t>(n));
    built.push_back(d);
    req.push_back("{\"op\": \"text_parse\", \"dgram\": \"" + hex(d.data(), d.size()) + "\"}");
    req.push_back("{\"op\": \"text_build\", \"id\": 1100, \"text\": " + json_text(texts[i]) +
                  ", \"sec\": 5, \"usec\": " + std::to_string(i) + ", \"unset\": \"01020304\"}");
  }
  auto ans = python_batch(req);
  ASSERT_EQ(ans.size(), req.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(field(ans[2 * i], "ok"), "true") << texts[i].size();
    EXPECT_EQ(field(ans[2 * i], "id"), "1023");
    EXPECT_EQ(field(ans[2 * i], "text"), texts[i]);
    auto d = unhex(field(ans[2 * i + 1], "dgram"));
    uint16_t id = 0;
    const char* text = nullptr;
    ASSERT_EQ(vv_text_decode(d.data(), static_cast<int>(d.size()), &id, &text),
              static_cast<int>(texts[i].size()));
    EXPECT_EQ(id, 1100);
    EXPECT_EQ(std::string(text), texts[i]);
  }
  std::string too_long(1500, 'x');
  unsigned char big[VV_TEXT_DGRAM_MAX + 16];
  EXPECT_EQ(vv_text_build(big, sizeof(big), 1023, too_long.c_str(), 1, 1, nullptr), -1);
  EXPECT_EQ(vv_text_build(big, 27, 1023, "1234567", 1, 1, nullptr), -1) << "capacity checked";
  EXPECT_EQ(vv_text_build(big, 28, 1023, "1234567", 1, 1, nullptr), 28);
}

TEST(VvTextMessage, KeyIsTheHeadItself) {
  unsigned char a[64], b[64];
  int na = vv_text_build(a, sizeof(a), 1101, "same text", 100, 1, nullptr);
  int nb = vv_text_build(b, sizeof(b), 1101, "same text", 100, 2, nullptr);
  ASSERT_EQ(na, nb);
  EXPECT_NE(memcmp(a + 20, b + 20, static_cast<size_t>(na - 20)), 0)
      << "a microsecond apart, the bodies differ";
  a[13] ^= 0x40;  // one of the unset head bytes: key material
  const char* text = nullptr;
  int r = vv_text_decode(a, na, nullptr, &text);
  EXPECT_TRUE(r < 0 || std::string(text) != "same text");
}

// Length fields from the wire are checked against the bytes that arrived.
TEST(VvTextMessage, DecoderRefusesBadLengths) {
  unsigned char good[64];
  int n = vv_text_build(good, sizeof(good), 1102, "abc|1|2|3", 9, 9, nullptr);  // tl 10, pad 16
  ASSERT_EQ(n, 36);
  struct { const char* what; int len; int off; uint16_t value; int want; } cases[] = {
      {"whole", 36, -1, 0, 9},
      {"longer datagram", 40, -1, 0, 9},
      {"head only", 19, -1, 0, VV_TEXT_SHORT},
      {"no magic", 36, 0, 0x2013, VV_TEXT_SHORT},
      {"text length 0", 36, 16, 0, VV_TEXT_BAD_LEN},
      {"text length 1501", 36, 16, 1501, VV_TEXT_BAD_LEN},
      {"padded not multiple of 8", 36, 18, 12, VV_TEXT_BAD_PAD},
      {"padded below text", 36, 18, 8, VV_TEXT_BAD_PAD},
      {"padded beyond datagram", 36, 18, 24, VV_TEXT_BAD_PAD},
      {"truncated body", 35, -1, 0, VV_TEXT_BAD_PAD},
      {"text length short of the NUL", 36, 16, 5, VV_TEXT_NO_NUL},
      {"text length past the NUL", 36, 16, 12, VV_TEXT_NO_NUL},
  };
  for (const auto& c : cases) {
    unsigned char d[64] = {};
    memcpy(d, good, sizeof(good));
    if (c.off >= 0) vv_put16(d + c.off, c.value);
    const char* text = nullptr;
    EXPECT_EQ(vv_text_decode(d, c.len, nullptr, &text), c.want) << c.what;
  }
  EXPECT_EQ(vv_text_decode(nullptr, 36, nullptr, nullptr), VV_TEXT_SHORT);
}

TEST(VvDivstr, FieldsTable) {
  struct { const char* text; int max; std::vector<std::string> want; } cases[] = {
      {"a||b", 8, {"a", "", "b"}},
      {"", 8, {}},
      {"a|", 8, {"a", ""}},
      {"|", 8, {"", ""}},
      {"uuid|7|203.0.113.5|80", 8, {"uuid", "7", "203.0.113.5", "80"}},
      {"a|b|c|d|e", 3, {"a", "b", "c|d|e"}},  // bounded: the rest stays in the last field
      {"a|b", 1, {"a|b"}},
      {"a|b", 0, {}},
  };
  for (const auto& c : cases) {
    std::string buf = c.text;
    char* fields[8] = {};
    int n = vv_divstr(&buf[0], fields, c.max, '|');
    ASSERT_EQ(n, static_cast<int>(c.want.size())) << c.text;
    for (int i = 0; i < n; ++i) EXPECT_EQ(std::string(fields[i]), c.want[static_cast<size_t>(i)]) << c.text;
  }
  char t[] = "x,y";
  char* f[2];
  EXPECT_EQ(vv2_divstr(t, f, 2, ','), 2);
}

TEST(VvTimeLag, PastFutureAndEmpty) {
  timeval now;
  gettimeofday(&now, nullptr);
  timeval zero{0, 5};
  EXPECT_EQ(vv_nat_time_lag(zero), 0u);
  timeval future = now;
  future.tv_sec += 100;
  EXPECT_EQ(vv_nat_time_lag(future), 0u);
  timeval past = now;
  past.tv_sec -= 2;
  uint32_t lag = vv2_nat_time_lag(past);
  EXPECT_GE(lag, 2000000u);
  EXPECT_LT(lag, 60000000u);  // generous: a busy machine may stall
}
