// The byte handling of the port-forwarding layer, as tables of literal inputs and results.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "t2u_frames.h"

namespace {
using Bytes = std::vector<uint8_t>;

TEST(T2uFrames, DestBodyLayout) {
  uint8_t b[T2U_CTRL_BODY];
  t2u_pack_dest(b, 0x1234, "10.0.0.5", 80);
  const Bytes want = {0x12, 0x34, '1', '0', '.', '0', '.', '0', '.', '5', 0, 0, 0, 0, 0, 0,
                      0,    0,    0,   0,   0,   0,   0x00, 0x50};
  EXPECT_EQ(Bytes(b, b + sizeof(b)), want);
  uint16_t id = 0, port = 0;
  char host[T2U_HOST_TEXT];
  ASSERT_TRUE(t2u_unpack_dest(b, sizeof(b), &id, host, &port));
  EXPECT_EQ(id, 0x1234);
  EXPECT_STREQ(host, "10.0.0.5");
  EXPECT_EQ(port, 80);
  // A host longer than the field keeps 19 characters and its NUL.
  t2u_pack_dest(b, 1, "abcdefghijklmnopqrstuvwxyz", 1);
  ASSERT_TRUE(t2u_unpack_dest(b, sizeof(b), &id, host, &port));
  EXPECT_EQ(std::string(host), "abcdefghijklmnopqrs");
}

TEST(T2uFrames, DestBodyRefusals) {
  uint8_t b[T2U_CTRL_BODY];
  t2u_pack_dest(b, 7, "h", 9);
  uint16_t id, port;
  char host[T2U_HOST_TEXT];
  EXPECT_FALSE(t2u_unpack_dest(b, 23, &id, host, &port));  // short
  memset(b + 2, 'x', T2U_HOST_TEXT);                        // host without NUL
  EXPECT_FALSE(t2u_unpack_dest(b, sizeof(b), &id, host, &port));
}

TEST(T2uFrames, CloseBodyAndNotice) {
  uint8_t b[T2U_CTRL_BODY];
  t2u_pack_close(b, 0xFFFE);
  EXPECT_EQ(b[0], 0xFF);
  EXPECT_EQ(b[1], 0xFE);
  for (int i = 2; i < T2U_CTRL_BODY; ++i) EXPECT_EQ(b[i], 0);
  struct { size_t len; bool ok; } cases[] = {{0, false}, {1, false}, {2, true}, {24, true}};
  for (auto& c : cases) {
    uint16_t id = 0;
    EXPECT_EQ(t2u_unpack_close(b, c.len, &id), c.ok) << c.len;
    if (c.ok) {
      EXPECT_EQ(id, 0xFFFE);
    }
  }
  EXPECT_TRUE(t2u_is_close_notice(reinterpret_cast<const uint8_t*>("CLOSE"), 6));
  EXPECT_FALSE(t2u_is_close_notice(reinterpret_cast<const uint8_t*>("CLOSE"), 5));
  EXPECT_FALSE(t2u_is_close_notice(reinterpret_cast<const uint8_t*>("CLOSEX"), 6));
}

TEST(T2uFrames, Socks4Table) {
  struct Case {
    Bytes in;
    int result;
    const char* host;
    uint16_t port;
    size_t consumed;
  } cases[] = {
      {{4, 1, 0, 80, 10, 0, 0, 5}, T2U_SOCKS_OK, "10.0.0.5", 80, 8},
      {{4, 1, 0x1F, 0x90, 203, 0, 113, 7, 'u', 0, 'D', 'A'}, T2U_SOCKS_OK, "203.0.113.7", 8080, 10},
      {{4, 1, 0, 80, 0, 0, 0, 1, 0, 'd', 'e', 'v', 0}, T2U_SOCKS_OK, "dev", 80, 13},  // 4a
      {{4, 1, 0, 80, 10, 0}, T2U_SOCKS_MORE, nullptr, 0, 0},
      {{4, 1, 0, 80, 10, 0, 0, 5, 'u', 's'}, T2U_SOCKS_MORE, nullptr, 0, 0},
      {{4, 1, 0, 80, 0, 0, 0, 1}, T2U_SOCKS_MORE, nullptr, 0, 0},
      {{5, 1, 0}, T2U_SOCKS_BAD, nullptr, 0, 0},
      {{4, 2, 0, 80, 10, 0, 0, 5}, T2U_SOCKS_BAD, nullptr, 0, 0},  // BIND
      {{'G', 'E', 'T', ' '}, T2U_SOCKS_BAD, nullptr, 0, 0},
  };
  for (auto& c : cases) {
    T2uSocksRequest r;
    ASSERT_EQ(t2u_parse_socks4(c.in.data(), c.in.size(), &r), c.result) << c.in.size();
    if (c.result != T2U_SOCKS_OK) continue;
    EXPECT_STREQ(r.host, c.host);
    EXPECT_EQ(r.port, c.port);
    EXPECT_EQ(r.consumed, c.consumed);
    EXPECT_EQ(r.reply[0], 0);
    EXPECT_EQ(r.reply[1], 90);
    EXPECT_EQ(0, memcmp(r.reply + 2, c.in.data() + 2, 6));
  }
  // A user id that never ends is refused once it passes 255 bytes.
  Bytes longid = {4, 1, 0, 80, 10, 0, 0, 5};
  longid.resize(8 + 300, 'u');
  T2uSocksRequest r;
  EXPECT_EQ(t2u_parse_socks4(longid.data(), longid.size(), &r), T2U_SOCKS_BAD);
}

Bytes reply(const std::string& id, size_t pad = 0, uint16_t word = 32) {
  Bytes b = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
  for (char ch : id) b.push_back(static_cast<uint8_t>(ch));
  b.push_back(0);
  b.resize(b.size() + pad, 0);
  return b;
}

TEST(T2uFrames, SearchRepliesTable) {
  char buf[128] = "";
  struct Case {
    Bytes in;
    const char* ip;
    int result;
  } cases[] = {
      {reply("DEV-1"), "198.51.100.9", T2U_SEARCH_ADDED},
      {reply("DEV-1", 200), "198.51.100.9", T2U_SEARCH_IGNORED},     // duplicate
      {reply("DEV-10"), "198.51.100.10", T2U_SEARCH_ADDED},          // prefix of no other
      {reply("DEV-2", 0, 16), "198.51.100.11", T2U_SEARCH_IGNORED},  // a request, not a reply
      {reply(""), "198.51.100.12", T2U_SEARCH_IGNORED},
      {reply("A,ip=1.2.3.4\nuuid=B"), "198.51.100.13", T2U_SEARCH_IGNORED},
      {reply(std::string(120, 'L')), "198.51.100.14", T2U_SEARCH_IGNORED},  // over-long ID
      {{32, 0, 'N', 'O', 'N', 'U', 'L'}, "198.51.100.15", T2U_SEARCH_IGNORED},
      {{32, 0}, "198.51.100.16", T2U_SEARCH_IGNORED},
      {reply("DEV-3"), "198.51.100.17", T2U_SEARCH_ADDED},
      {reply("DEV-FOURTH-WITH-A-LONG-NAME"), "198.51.100.18", T2U_SEARCH_FULL},
  };
  for (auto& c : cases)
    EXPECT_EQ(t2u_search_add_reply(c.in.data(), c.in.size(), c.ip, buf, sizeof(buf)), c.result)
        << c.in.size();
  EXPECT_STREQ(buf,
               "uuid=DEV-1,ip=198.51.100.9\nuuid=DEV-10,ip=198.51.100.10\n"
               "uuid=DEV-3,ip=198.51.100.17\n");
  uint8_t req[T2U_SEARCH_REQUEST];
  t2u_search_request(req);
  EXPECT_EQ(req[0], 16);
  for (int i = 1; i < T2U_SEARCH_REQUEST; ++i) EXPECT_EQ(req[i], 0);
}

TEST(T2uFrames, UpnpRequestAndReply) {
  char req[256];
  int n = t2u_upnp_request(req, sizeof(req), "127.0.0.1", 554);
  EXPECT_EQ(std::string(req, n),
            "CONNECT 127.0.0.1:554 HTTP/1.1\r\nHost: 127.0.0.1:554\r\nT2uClient: 118\r\n"
            "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(t2u_upnp_request(req, 20, "127.0.0.1", 554), -1);
  struct Case {
    std::string in;
    int result;
    size_t header;
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\nDATA", T2U_UPNP_OK, 39},
      {"HTTP/1.0 200\r\n\r\n", T2U_UPNP_OK, 16},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", T2U_UPNP_REFUSED, 0},
      {"HTTP/1.1 2000 x\r\n\r\n", T2U_UPNP_REFUSED, 0},
      {"HTTP/1.1 200 OK\r\n", T2U_UPNP_MORE, 0},
      {"SSH-2.0-x\r\n\r\n", T2U_UPNP_REFUSED, 0},
      {"HTT", T2U_UPNP_MORE, 0},
      {"HTTP/1.1 200 " + std::string(1100, 'x'), T2U_UPNP_REFUSED, 0},
  };
  for (auto& c : cases) {
    size_t h = 0;
    EXPECT_EQ(t2u_upnp_reply(reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size(), &h),
              c.result)
        << c.in;
    if (c.result == T2U_UPNP_OK) {
      EXPECT_EQ(h, c.header);
    }
  }
}
}  // namespace
