// vdt datagrams on the wire: literal bytes in, records out, and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vdt_packet.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<unsigned char>(x));
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(VdtPacket, TypeOfTheHead) {
  struct Case {
    Bytes d;
    int type;
  } cases[] = {
      {B({0x12, 0x01, 0x10, 0x00}), VDT_HELLO},
      {B({0x12, 0x01, 0x10, 0x07}), VDT_CLOSE},
      {B({0x12, 0x01, 0x10, 0x08}), -1},
      {B({0x12, 0x01, 0x00, 0x10}), -1},  // big-endian: 0x0010 is no type
      {B({0x12, 0x02, 0x10, 0x00}), -1},
      {B({0x12, 0x01, 0x10}), -1},
      {B({0x12, 0x20, 0xd0, 0x07}), -1},  // a VERov message
  };
  for (const auto& k : cases) EXPECT_EQ(vdt_packet_type(k.d.data(), k.d.size()), k.type);
  Bytes vv = B({0x12, 0x20, 0xd0, 0x07});
  EXPECT_EQ(vdt_is_vvnat_hello(vv.data(), vv.size()), 1);
}

TEST(VdtPacket, DataHeadRoundTripAndLengthChecks) {
  unsigned char buf[VDT_DGRAM_MAX];
  VdtDataHead h{0x01020304, 3, 1, 2, 9};
  vdt_encode_data_head(buf, h);
  EXPECT_EQ(Bytes(buf, buf + 16),
            B({0x12, 0x01, 0x10, 0x02, 1, 2, 3, 4, 0, 3, 1, 2, 9, 0, 0, 0}));
  VdtDataHead out;
  EXPECT_TRUE(vdt_decode_data(buf, 19, &out));
  EXPECT_EQ(out.seq, 0x01020304u);
  EXPECT_EQ(out.ack_every, 9);
  EXPECT_FALSE(vdt_decode_data(buf, 18, &out));  // payload beyond the datagram
  EXPECT_FALSE(vdt_decode_data(buf, 15, &out));
  h.len = 1385;
  vdt_encode_data_head(buf, h);
  EXPECT_FALSE(vdt_decode_data(buf, VDT_DGRAM_MAX, &out));  // more than a slot holds
}

TEST(VdtPacket, AckCountMustFitTheDatagram) {
  Bytes head = B({0x12, 0x01, 0x10, 0x03, 0x01, 0x63, 0, 2, 0, 0, 0, 9, 0, 0, 0, 0});
  Bytes two = Cat(head, B({0, 0, 0, 4, 0, 0, 0, 7}));
  VdtAck a;
  ASSERT_TRUE(vdt_decode_ack(two.data(), two.size(), &a));
  EXPECT_EQ(a.free_slots, 355);
  EXPECT_EQ(a.highest, 9u);
  EXPECT_EQ(vdt_ack_missing(a, 1), 7u);
  EXPECT_FALSE(vdt_decode_ack(two.data(), two.size() - 1, &a));
  std::vector<uint32_t> many(1000, 5);
  unsigned char buf[VDT_DGRAM_MAX];
  size_t len = vdt_encode_ack(buf, 1, 2, many.data(), many.size());
  EXPECT_EQ(len, static_cast<size_t>(VDT_DGRAM_MAX));
  ASSERT_TRUE(vdt_decode_ack(buf, len, &a));
  EXPECT_EQ(a.n, VDT_ACK_MISSING_MAX);
}

TEST(VdtPacket, MtuProbeAndReply) {
  unsigned char probe[VDT_DGRAM_MAX];
  struct Case {
    uint16_t size;
    size_t len;
  } sizes[] = {{1400, 1400}, {512, 512}, {3000, 1400}, {4, 16}};
  for (const auto& k : sizes) {
    VdtStamp s{0, 5, 6, k.size};
    EXPECT_EQ(vdt_encode_check_mtu(probe, s), k.len);
  }
  VdtStamp s{0, 5, 6, 1336};
  vdt_encode_check_mtu(probe, s);
  unsigned char re[16];
  vdt_encode_check_mtu_re(re, probe);
  VdtStamp got;
  ASSERT_TRUE(vdt_decode_check_mtu_re(re, 16, &got));
  EXPECT_EQ(got.size, 1336);
  EXPECT_EQ(got.sec, 5u);
  vdt_put16(re + 12, 65535);
  ASSERT_TRUE(vdt_decode_check_mtu_re(re, 16, &got));
  EXPECT_EQ(got.size, VDT_DGRAM_MAX);
  vdt_put16(re + 12, 511);
  EXPECT_FALSE(vdt_decode_check_mtu_re(re, 16, &got));
  EXPECT_FALSE(vdt_decode_check_mtu_re(re, 15, &got));
}

TEST(VdtPacket, ShortDatagramsAreRefused) {
  struct Case {
    Bytes d;
  } cases[] = {
      {B({0x12, 0x01, 0x10, 0x00, 0, 0, 0, 1})},  // hello of 8 bytes
      {B({0x12, 0x01, 0x10, 0x04, 0, 0, 0, 1})},  // ask of 8
      {B({0x12, 0x01, 0x10, 0x07, 0, 0, 0, 1})},  // close of 8
  };
  VdtHello h;
  VdtStamp s;
  EXPECT_FALSE(vdt_decode_hello(cases[0].d.data(), cases[0].d.size(), &h));
  EXPECT_FALSE(vdt_decode_ask(cases[1].d.data(), cases[1].d.size(), &s));
  EXPECT_FALSE(vdt_decode_close(cases[2].d.data(), cases[2].d.size(), &s));
  unsigned char vv[119] = {0x12, 0x20, 0xd0, 0x07};
  EXPECT_FALSE(vdt_make_vvnat_hello_reply(vv, sizeof(vv), 3, "id"));
  unsigned char vv2[120] = {0x12, 0x20, 0xd0, 0x07};
  ASSERT_TRUE(vdt_make_vvnat_hello_reply(vv2, sizeof(vv2), 3, "ID-1"));
  EXPECT_EQ(vv2[2], 0xd1);  // 2001, little-endian like the rest of the library
  EXPECT_EQ(vv2[4], 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(vv2 + 8)), "ID-1");
  EXPECT_EQ(vv2[112], 118);
}

}  // namespace
