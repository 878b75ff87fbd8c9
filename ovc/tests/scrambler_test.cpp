// The head and the scrambler: the edge table, round trips, and agreement with the Python codec.
#include <string.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "ovc_head.h"
#include "peer_util.h"

namespace {
std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = (uint8_t)rng();
  return v;
}
}  // namespace

TEST(OvcScrambler, ExtentEdgeTable) {
  std::mt19937 rng(1);
  struct Case {
    uint16_t length, scrambled;
    size_t changed_upto;  // bytes [0, changed_upto) differ in general, the rest equal the input
  };
  const Case cases[] = {
      {16, 16, 16}, {20, 20, 20}, {21, 21, 21}, {100, 64, 64}, {40, 64, 40}, {1500, 1500, 1500},
      {1500, 64, 64}, {15, 15, 15}, {3, 0, 0},
  };
  for (const auto& c : cases) {
    auto in = random_bytes(rng, c.length);
    std::vector<uint8_t> out(c.length, 0xEE), back(c.length, 0xDD);
    LuffyCore(in.data(), out.data(), c.length, c.scrambled);
    EXPECT_TRUE(std::equal(in.begin() + (long)c.changed_upto, in.end(), out.begin() + (long)c.changed_upto))
        << c.length << "/" << c.scrambled;
    if (c.changed_upto >= 16) {
      EXPECT_NE(memcmp(in.data(), out.data(), 16), 0);
    }
    ZoroCore(out.data(), back.data(), c.length, c.scrambled);
    EXPECT_EQ(in, back) << c.length << "/" << c.scrambled;
  }
  // Length 0 writes nothing.
  uint8_t src = 1, dst = 0x42;
  LuffyCore(&src, &dst, 0, 0);
  EXPECT_EQ(dst, 0x42);
}

TEST(OvcScrambler, TailsKeyedThenShuffledOnlyForTwoFourEight) {
  // A zero tail becomes the key bytes, then permuted for 2, 4 and 8 bytes.
  const char* key = "Tuvo3 Kmb Lyx9 Qfr Wen7 Dgh Zsp4";
  uint8_t zeros[16 + 15] = {};
  struct Case {
    int tail;
    std::vector<int> perm;
  };
  const Case cases[] = {{1, {0}}, {2, {1, 0}}, {3, {0, 1, 2}}, {4, {2, 3, 0, 1}}, {5, {0, 1, 2, 3, 4}},
                        {8, {7, 4, 3, 2, 1, 6, 5, 0}}, {15, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}}};
  for (const auto& c : cases) {
    uint8_t out[31];
    uint16_t len = (uint16_t)(16 + c.tail);
    LuffyCore(zeros, out, len, len);
    for (int i = 0; i < c.tail; ++i) EXPECT_EQ(out[16 + i], (uint8_t)key[c.perm[(size_t)i]]) << c.tail << ":" << i;
  }
}

TEST(OvcScrambler, GuardedEntriesDoNothingWithoutTheGuard) {
  uint8_t in[32] = {1, 2, 3}, out[32] = {}, ref[32];
  Luffy(in, out, 32, 32, 0x12345678u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 32), std::vector<uint8_t>(32, 0));
  Luffy(in, out, 32, 32, OVC_INTERNAL_GUARD);
  LuffyCore(in, ref, 32, 32);
  EXPECT_EQ(memcmp(out, ref, 32), 0);
  uint8_t back[32] = {};
  Zoro(out, back, 32, 32, 1);
  EXPECT_EQ(back[0], 0);
  Zoro(out, back, 32, 32, OVC_INTERNAL_GUARD);
  EXPECT_EQ(memcmp(back, in, 32), 0);
}

TEST(OvcScrambler, RoundTripEveryLengthBothExtents) {
  std::mt19937 rng(2);
  for (uint16_t n = 0; n <= 100; ++n) {
    for (uint16_t sl : {n, (uint16_t)64}) {
      auto in = random_bytes(rng, n);
      std::vector<uint8_t> s(n), b(n);
      LuffyCore(in.data(), s.data(), n, sl);
      ZoroCore(s.data(), b.data(), n, sl);
      EXPECT_EQ(in, b) << n << "/" << sl;
    }
  }
}

TEST(OvcHead, WireLayoutAndReceiveRule) {
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.flags = 0x0B;
  h.length = 0x0102;
  h.seq = 0x0304;
  h.type = 0x0407;
  h.route = 0x0221;
  h.randomId = 0xBEEF;
  h.channel = 31;
  h.reserved = 7;
  uint8_t b[16];
  ovc_head_write(h, b);
  const uint8_t want[16] = {0x04, 0x02, 0x14, 0x0B, 0x02, 0x01, 0x04, 0x03,
                            0x07, 0x04, 0x21, 0x02, 0xEF, 0xBE, 31, 7};
  EXPECT_EQ(memcmp(b, want, 16), 0);
  OVC_Head r = ovc_head_read(b);
  EXPECT_EQ(memcmp(&r, &h, 16), 0);

  // A partial datagram of 100 bytes: the receiver unscrambles the head, then 48 more bytes.
  std::mt19937 rng(3);
  auto body = random_bytes(rng, 84);
  h.flags = OVC_FLAG_PARTIAL | OVC_FLAG_PE_AWARE;
  h.length = 84;
  std::vector<uint8_t> plain(16);
  ovc_head_write(h, plain.data());
  plain.insert(plain.end(), body.begin(), body.end());
  std::vector<uint8_t> wire(100);
  LuffyCore(plain.data(), wire.data(), 100, 64);
  OvcReceived rx;
  ASSERT_EQ(ovc_unscramble_datagram(wire.data(), wire.size(), &rx), 0);
  EXPECT_EQ(rx.size, 100u);
  EXPECT_EQ(memcmp(rx.bytes, plain.data(), 100), 0);
  // A length beyond what arrived, short and oversized datagrams are dropped.
  EXPECT_EQ(ovc_unscramble_datagram(wire.data(), 99, &rx), -1);
  EXPECT_EQ(ovc_unscramble_datagram(wire.data(), 15, &rx), -1);
  std::vector<uint8_t> big(1501);
  EXPECT_EQ(ovc_unscramble_datagram(big.data(), big.size(), &rx), -1);
}

TEST(OvcScrambler, AgreesWithTheIndependentPythonCodec) {
  ovc_test::TempDir dir;
  std::mt19937 rng(4);
  const int kCount = 10000;
  std::vector<std::vector<uint8_t>> plains;
  {
    std::ofstream f(dir.file("cpp.bin"), std::ios::binary);
    for (int i = 0; i < kCount; ++i) {
      uint16_t n = (uint16_t)(rng() % 1501);
      uint16_t sl = (i % 2) ? 64 : n;  // both extents
      auto in = random_bytes(rng, n);
      std::vector<uint8_t> out(n);
      LuffyCore(in.data(), out.data(), n, sl);
      uint16_t hdr[2] = {n, sl};
      f.write(reinterpret_cast<char*>(hdr), 4);
      f.write(reinterpret_cast<char*>(in.data()), n);
      f.write(reinterpret_cast<char*>(out.data()), n);
    }
  }
  std::string out;
  int rc = ovc_test::run_capture(ovc_test::peer_command("codec.py crosscheck " + dir.file("cpp.bin") +
                                                        " " + dir.file("py.bin") + " 10000 5"),
                                 &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("checked 10000 bad 0"), std::string::npos) << out;
  // Python's own output: C++ produces the same bytes and restores the input.
  std::ifstream f(dir.file("py.bin"), std::ios::binary);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t pos = 0;
  int records = 0, bad = 0;
  while (pos + 4 <= data.size()) {
    uint16_t n = (uint16_t)(data[pos] | data[pos + 1] << 8), sl = (uint16_t)(data[pos + 2] | data[pos + 3] << 8);
    pos += 4;
    ASSERT_LE(pos + 2u * n, data.size());
    const uint8_t* plain = &data[pos];
    const uint8_t* wire = &data[pos + n];
    std::vector<uint8_t> s(n), b(n);
    LuffyCore(plain, s.data(), n, sl);
    ZoroCore(wire, b.data(), n, sl);
    if (n && (memcmp(s.data(), wire, n) != 0 || memcmp(b.data(), plain, n) != 0)) ++bad;
    pos += 2u * n;
    ++records;
  }
  EXPECT_EQ(records, kCount);
  EXPECT_EQ(bad, 0);
}
