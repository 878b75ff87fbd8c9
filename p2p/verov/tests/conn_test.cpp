// Connection pieces that need no second party: the vdt frame reader, and packet mode of a
// connected record whose path leads to a loopback socket of the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <vector>

#include "vv_crypto.h"
#include "vv_datagram.h"
#include "vv_nat.h"
#include "vv_nat_conn.h"

namespace {

std::vector<unsigned char> frame(uint16_t a, uint16_t b, uint32_t len, int data) {
  std::vector<unsigned char> f = {static_cast<unsigned char>(a), static_cast<unsigned char>(a >> 8),
                                  static_cast<unsigned char>(b), static_cast<unsigned char>(b >> 8)};
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<unsigned char>(len >> (8 * i)));
  f.resize(f.size() + static_cast<size_t>(data), 0x33);
  return f;
}

TEST(FrameFeed, Table) {
  struct Case {
    const char* name;
    std::vector<std::vector<unsigned char>> chunks;
    std::vector<int> delivered;  // bytes per chunk; -1 where the stream breaks
  };
  std::vector<Case> cases = {
      {"whole frame", {frame(1, 2, 5, 5)}, {5}},
      {"split over two sends", {frame(1, 2, 10, 4), std::vector<unsigned char>(6, 1)}, {4, 6}},
      {"empty frame then next", {frame(1, 2, 0, 0), frame(3, 4, 1, 1)}, {0, 1}},
      {"short head", {std::vector<unsigned char>(7, 0)}, {-1}},
      {"more data than the frame", {frame(1, 2, 3, 4)}, {-1}},
      {"second part too long", {frame(1, 2, 5, 2), std::vector<unsigned char>(4, 1)}, {2, -1}},
      {"length above the cap", {frame(1, 2, VV_FRAME_MAX + 1u, 0)}, {-1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vv_frame_state st{};
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      uint16_t a = 0, b = 0;
      const unsigned char* d = nullptr;
      int n = -7;
      int rc = vv_frame_feed(&st, c.chunks[i].data(), static_cast<int>(c.chunks[i].size()), &a, &b, &d, &n);
      if (c.delivered[i] < 0) {
        EXPECT_EQ(rc, -1);
        break;
      }
      ASSERT_EQ(rc, 1);
      EXPECT_EQ(n, c.delivered[i]);
      EXPECT_EQ(a, i == 1 && c.chunks.size() == 2 && c.delivered[0] == 0 ? 3 : 1);
    }
  }
}

// A record of instance 2 whose path sends from `sink_` to the test's `cap_` socket.
class PacketMode : public ::testing::Test {
 protected:
  void SetUp() override {
    cap_ = bound();
    sink_ = bound();
    sockaddr_in a{};
    socklen_t l = sizeof(a);
    getsockname(cap_, reinterpret_cast<sockaddr*>(&a), &l);
    port_ = ntohs(a.sin_port);
    vv_nat_conn_prepare_test_port(2, 5, "DEV1", 77, "127.0.0.1", port_, 1, 35, sink_);
  }
  void TearDown() override {
    vv_nat_conn_prepare_test_port(2, 5, "DEV1", 77, "127.0.0.1", port_, 0, 35, 0);
    close(cap_);
    close(sink_);
  }
  static int bound() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    return s;
  }
  // Datagrams that arrive within `ms`.
  std::vector<std::vector<unsigned char>> take(int ms, size_t want = 100) {
    std::vector<std::vector<unsigned char>> out;
    pollfd p{cap_, POLLIN, 0};
    while (out.size() < want && poll(&p, 1, ms) > 0) {
      std::vector<unsigned char> d(2048);
      ssize_t n = recv(cap_, d.data(), d.size(), 0);
      if (n <= 0) break;
      d.resize(static_cast<size_t>(n));
      out.push_back(d);
    }
    return out;
  }
  void inject(std::vector<unsigned char> d) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(port_);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    vv_nat_on_peer_message_test(2, 5, d.data(), static_cast<int>(d.size()), &from, 16, 0);
  }
  int cap_ = -1, sink_ = -1;
  int port_ = 0;
};

TEST_F(PacketMode, FragmentLengths) {
  struct Case {
    int len;
    int rc;
    std::vector<size_t> sizes;
  };
  std::vector<Case> cases = {
      {1300, 1300, {1320}},
      {1301, 1301, {1320, 21}},
      {10400, 10400, std::vector<size_t>(8, 1320)},
      {10401, -2, {}},
  };
  std::vector<unsigned char> data(10401, 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    EXPECT_EQ(vv2_nat_send_v3b(5, 1, 2, data.data(), c.len, 0, 0), c.rc);
    auto got = take(200, c.sizes.size());
    std::vector<size_t> sizes;
    for (auto& d : got) sizes.push_back(d.size());
    EXPECT_EQ(sizes, c.sizes);
    for (auto& d : got) EXPECT_EQ(d[13], 1) << "first send count";
  }
}

TEST_F(PacketMode, EncryptsWholeBlocksOnly) {
  unsigned char data[13];
  for (int i = 0; i < 13; ++i) data[i] = static_cast<unsigned char>(i + 1);
  ASSERT_EQ(vv2_nat_send_v3b(5, 1, 2, data, 13, 0, 1), 13);
  auto got = take(200, 1);
  ASSERT_EQ(got.size(), 1u);
  auto& d = got[0];
  ASSERT_EQ(d.size(), 33u);
  EXPECT_EQ(d[14], 1);
  EXPECT_NE(memcmp(d.data() + 20, data, 8), 0);
  EXPECT_EQ(memcmp(d.data() + 28, data + 8, 5), 0) << "the 5-byte tail stays plain";
  unsigned char key[16];
  memcpy(key, d.data(), 16);
  key[13] = 0;
  uint32_t k[4], v[2];
  for (int i = 0; i < 4; ++i) k[i] = vv_get32(key + 4 * i);
  v[0] = vv_get32(d.data() + 20);
  v[1] = vv_get32(d.data() + 24);
  vv2_tea_decrypt(v, k);
  unsigned char plain[8];
  vv_put32(plain, v[0]);
  vv_put32(plain + 4, v[1]);
  EXPECT_EQ(memcmp(plain, data, 8), 0);
}

TEST_F(PacketMode, AckWithGapResendsExactlyTheMissingFragment) {
  std::vector<unsigned char> data(3000, 9);
  auto sent = std::async(std::launch::async, [&] { return vv2_nat_send_v3b(5, 1, 2, data.data(), 3000, 1, 0); });
  auto first = take(500, 4);  // three fragments and the first acknowledgement request
  ASSERT_EQ(first.size(), 4u);
  auto& req = first[3];
  ASSERT_EQ(req.size(), 20u);
  EXPECT_EQ(req[7], 3) << "index = count";
  uint16_t id = vv_get16(req.data() + 4);
  std::vector<unsigned char> ack = {0x12, 0x20, 0xd6, 0x07, static_cast<unsigned char>(id),
                                    static_cast<unsigned char>(id >> 8), 3, req[13], 0xA0, 0};
  inject(ack);  // fragments 0 and 2 arrived, 1 did not
  auto again = take(300, 2);
  ASSERT_GE(again.size(), 2u);
  EXPECT_EQ(again[0][7], 1) << "only fragment 1 again";
  EXPECT_EQ(again[0][13], 2);
  EXPECT_EQ(again[1][7], 3);
  EXPECT_EQ(again[1][13], req[13] + 1) << "the new request counts one more";
  ack[7] = again[1][13];
  ack[8] = 0xE0;
  inject(ack);
  EXPECT_EQ(sent.get(), 3000);
}

TEST_F(PacketMode, DataMessageLimits) {
  unsigned char d[1401] = {};
  EXPECT_EQ(vv2_nat_send_msg(5, 0, d, 10), -3);
  EXPECT_EQ(vv2_nat_send_v2(5, 1, d, 1401), -2);
  EXPECT_EQ(vv2_nat_send_v2(5, 1, d, 1400), 1400);
  EXPECT_EQ(vv2_nat_send_v2(0, 1, d, 10), -1);
  auto got = take(200, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 1412u);
}

}  // namespace
