// Tunnel messages, the authentication exchange and the channel buffer, as byte tables.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "Tunnel/tnl_socket_buffer.h"
#include "Tunnel/tnl_wire.h"
#include "p2ptunnel_api.h"

using Bytes = std::vector<uint8_t>;

TEST(TnlWire, MessagesEncodeLittleEndianHeads) {
  struct Case {
    uint8_t type, channel;
    Bytes body;
    Bytes wire;
  } cases[] = {
      {tnl::kData, 7, {0xAA, 0xBB}, {2, 7, 2, 0, 0xAA, 0xBB}},
      {tnl::kHalfClose, 255, {}, {3, 255, 0, 0}},
      {tnl::kClose, 0, {}, {4, 0, 0, 0}},
      {tnl::kPause, 3, {}, {5, 3, 0, 0}},
      {tnl::kResume, 3, {}, {6, 3, 0, 0}},
      {tnl::kFlow, 9, {}, {7, 9, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tnl::make_msg(c.type, c.channel, c.body.data(), c.body.size()), c.wire);
    tnl::Head h;
    ASSERT_TRUE(tnl::read_head(c.wire.data(), c.wire.size(), &h));
    EXPECT_EQ(h.type, c.type);
    EXPECT_EQ(h.channel, c.channel);
    EXPECT_EQ(h.length, c.body.size());
  }
  tnl::Head h;
  EXPECT_FALSE(tnl::read_head((const uint8_t*)"\x02\x01\x00", 3, &h));
}

TEST(TnlWire, OpenBodyIsSockaddrInLayout) {
  uint8_t b[16];
  tnl::put_open_body(b, 0x7F000001, 50000);
  const Bytes want = {0, 2, 0xC3, 0x50, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(b, b + 16), want);
  uint32_t ip;
  uint16_t port;
  b[1] = 9;  // the family byte is forced, not trusted
  ASSERT_TRUE(tnl::read_open_body(b, 16, &ip, &port));
  EXPECT_EQ(ip, 0x7F000001u);
  EXPECT_EQ(port, 50000);
  EXPECT_FALSE(tnl::read_open_body(b, 15, &ip, &port));
  EXPECT_FALSE(tnl::read_open_body(b, 17, &ip, &port));
}

TEST(TnlWire, AuthRequestLimitsAndLayout) {
  Bytes out;
  const uint8_t key[3] = {'a', 'b', 'c'};
  ASSERT_TRUE(tnl::make_auth_request(key, 3, &out));
  const Bytes want = {7, 0, 11, 0, 0x2A, 0x05, 0x01, 0x03, 3, 0, 0, 0, 'a', 'b', 'c'};
  EXPECT_EQ(out, want);
  Bytes big(1000, 1);
  EXPECT_TRUE(tnl::make_auth_request(big.data(), 1000, &out));
  EXPECT_EQ(out.size(), 1012u);
  Bytes bigger(1001, 1);
  EXPECT_FALSE(tnl::make_auth_request(bigger.data(), 1001, &out));
  EXPECT_FALSE(tnl::make_auth_request(nullptr, 5, &out));
  EXPECT_FALSE(tnl::make_auth_request(key, 0, &out));
  EXPECT_TRUE(tnl::make_auth_request(nullptr, 0, &out));
  EXPECT_EQ(out, (Bytes{7, 0, 8, 0, 0x2A, 0x05, 0x01, 0x03, 0, 0, 0, 0}));
}

TEST(TnlWire, ServerParsesOnlyConsistentAuthRequests) {
  Bytes ok;
  Bytes key(1000, 0x5C);
  ASSERT_TRUE(tnl::make_auth_request(key.data(), key.size(), &ok));
  tnl::AuthRequest req;
  ASSERT_TRUE(tnl::parse_auth_request(ok.data(), ok.size(), &req));
  EXPECT_EQ(req.version, 0x0301052Au);
  EXPECT_EQ(req.n, 1000u);
  EXPECT_EQ(memcmp(req.data, key.data(), 1000), 0);

  struct Bad {
    const char* why;
    Bytes wire;
  } bad[] = {
      {"not type 7", {8, 0, 8, 0, 0x2A, 5, 1, 3, 0, 0, 0, 0}},
      {"n beyond what arrived", {7, 0, 12, 0, 0x2A, 5, 1, 3, 4, 0, 0, 0, 1, 2}},
      {"head length disagrees with n", {7, 0, 9, 0, 0x2A, 5, 1, 3, 0, 0, 0, 0}},
      {"n above 1000", {7, 0, 0xF1, 0x03, 0x2A, 5, 1, 3, 0xE9, 0x03, 0, 0}},
      {"huge n", {7, 0, 8, 0, 0x2A, 5, 1, 3, 0xF8, 0xFF, 0xFF, 0xFF}},
      {"truncated", {7, 0, 8, 0, 0x2A, 5}},
      {"trailing bytes", {7, 0, 8, 0, 0x2A, 5, 1, 3, 0, 0, 0, 0, 9}},
  };
  for (const Bad& b : bad)
    EXPECT_FALSE(tnl::parse_auth_request(b.wire.data(), b.wire.size(), &req)) << b.why;
}

TEST(TnlWire, AuthReplyVerdicts) {
  struct Case {
    Bytes wire;
    int bodyLen;
    tnl::AuthVerdict verdict;
    int32_t result;
  } cases[] = {
      {{8, 0, 0, 0}, 0, tnl::AuthVerdict::kAccepted, 0},
      {{8, 0, 4, 0, 0, 0, 0, 0}, 4, tnl::AuthVerdict::kAccepted, 0},
      {{9, 0, 4, 0, 0xFB, 0xFF, 0xFF, 0xFF}, 4, tnl::AuthVerdict::kRejected, -5},
      {{9, 0, 0, 0}, -1, tnl::AuthVerdict::kMalformed, 0},
      {{8, 0, 5, 0, 1, 2, 3, 4, 5}, -1, tnl::AuthVerdict::kMalformed, 0},
      {{2, 0, 4, 0, 1, 2, 3, 4}, -1, tnl::AuthVerdict::kMalformed, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tnl::auth_reply_body_length(c.wire.data()), c.bodyLen);
    int32_t result = 77;  // stale value must not survive
    EXPECT_EQ(tnl::parse_auth_reply(c.wire.data(), c.wire.data() + 4, c.wire.size() - 4, &result),
              c.verdict);
    EXPECT_EQ(result, c.result);
  }
  EXPECT_EQ(tnl::make_auth_reply(false, true, -5), (Bytes{9, 0, 4, 0, 0xFB, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(tnl::make_auth_reply(true, false, 0), (Bytes{8, 0, 0, 0}));
}

TEST(TnlWire, LanProbeCountdown) {
  struct {
    uint32_t x, fx;
  } steps[] = {{150, 140}, {101, 91}, {100, 91}, {40, 91}, {0, 91}, {0xFFFFFFFF, 0xFFFFFFF5}};
  for (auto s : steps) EXPECT_EQ(tnl::lan_step(s.x), s.fx) << s.x;
  // T = 150: the reply carries 140, the agent sends 130 and expects 120.
  EXPECT_EQ(tnl::lan_step(tnl::lan_step(150)), 130u);
  EXPECT_EQ(tnl::lan_step(130), 120u);
  // T = 105: 95, 91, 91.
  EXPECT_EQ(tnl::lan_step(105), 95u);
  EXPECT_EQ(tnl::lan_step(95), 91u);
  EXPECT_EQ(tnl::lan_step(91), 91u);

  Bytes reply = tnl::make_lan_reply(140, 40000);
  EXPECT_EQ(reply, (Bytes{11, 0, 8, 0, 140, 0, 0, 0, 0, 0, 0x40, 0x9C}));
  uint32_t answer;
  uint16_t port;
  ASSERT_TRUE(tnl::parse_lan_reply(reply.data(), reply.size(), &answer, &port));
  EXPECT_EQ(answer, 140u);
  EXPECT_EQ(port, 40000);
  reply[0] = 10;
  EXPECT_FALSE(tnl::parse_lan_reply(reply.data(), reply.size(), &answer, &port));
  EXPECT_FALSE(tnl::parse_lan_reply(reply.data(), 11, &answer, &port));
  Bytes req = tnl::make_lan_request(150, 0);
  uint32_t t, z;
  ASSERT_TRUE(tnl::parse_lan_request(req.data() + 4, 8, &t, &z));
  EXPECT_EQ(t, 150u);
  EXPECT_FALSE(tnl::parse_lan_request(req.data() + 4, 7, &t, &z));
}

static Bytes held(const SocketBuffer& b) {
  Bytes out(b.size);
  SocketBuffer_Peek(&b, out.data(), out.size());
  return out;
}

TEST(TnlSocketBuffer, GrowingKeepsWrappedBytesInOrder) {
  SocketBuffer b;
  ASSERT_EQ(SocketBuffer_Initialize(&b, 0), 1);
  EXPECT_EQ(SocketBuffer_Capacity(&b), 16u);
  // 10 bytes held from offset 12: 4 at 12..15, 6 at 0..5.
  uint8_t fill[12] = {};
  ASSERT_EQ(SocketBuffer_Push(&b, fill, 12), 0);
  SocketBuffer_Pop(&b, 12);
  b.offset = 12;  // the pop of everything rewinds; place the ring where the case needs it
  const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(SocketBuffer_Push(&b, ten, 10), 0);
  EXPECT_EQ(b.data[15], 4);
  EXPECT_EQ(b.data[0], 5);
  const uint8_t more[10] = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  ASSERT_EQ(SocketBuffer_Push(&b, more, 10), 0);
  EXPECT_EQ(SocketBuffer_Capacity(&b), 32u);
  EXPECT_EQ(b.offset, 28u);  // 12..15 moved to 28..31
  Bytes want;
  for (int i = 1; i <= 20; ++i) want.push_back((uint8_t)i);
  EXPECT_EQ(held(b), want);
  SocketBuffer_Pop(&b, 25);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(b.offset, 0u);
  SocketBuffer_Deinitialize(&b);
  EXPECT_EQ(SocketBuffer_Push(&b, ten, 1), -1);
}

TEST(TnlSocketBuffer, LimitRefusesAndLeavesBufferIntact) {
  SocketBuffer b;
  ASSERT_EQ(SocketBuffer_Initialize(&b, 16, 64), 1);
  Bytes chunk(40, 0x33);
  ASSERT_EQ(SocketBuffer_Push(&b, chunk.data(), 40), 0);
  EXPECT_EQ(SocketBuffer_Push(&b, chunk.data(), 40), 1);
  EXPECT_EQ(b.size, 40u);
  EXPECT_EQ(SocketBuffer_Push(&b, chunk.data(), 24), 0);
  EXPECT_EQ(SocketBuffer_Push(&b, chunk.data(), 1), 1);
  EXPECT_EQ(held(b), Bytes(64, 0x33));
  SocketBuffer_Deinitialize(&b);
}

TEST(TnlSocketBuffer, SendWritesWrappedBytesInOrderToARealSocket) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  SocketBuffer b;
  ASSERT_EQ(SocketBuffer_Initialize(&b, 16), 1);
  uint8_t x[12] = {};
  SocketBuffer_Push(&b, x, 12);
  SocketBuffer_Pop(&b, 8);  // 4 held from offset 8
  const uint8_t abc[10] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
  ASSERT_EQ(SocketBuffer_Push(&b, abc, 10), 0);  // wraps: ends at 6
  EXPECT_EQ(SocketBuffer_Send(&b, sv[0]), 14);
  EXPECT_EQ(SocketBuffer_Size(&b), 0u);
  uint8_t got[14];
  ASSERT_EQ(read(sv[1], got, 14), 14);
  EXPECT_EQ(memcmp(got + 4, abc, 10), 0);
  EXPECT_EQ(SocketBuffer_Send(&b, sv[0]), 0);
  SocketBuffer_Deinitialize(&b);
  close(sv[0]);
  close(sv[1]);
}
