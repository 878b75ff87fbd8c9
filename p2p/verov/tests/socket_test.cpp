// Socket helpers against real loopback sockets; names come from an injected resolver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vv_socket.h"

namespace {

struct FakeName {
  const char* host;
  int family;
  std::vector<const char*> addrs;
};

// A table-driven resolver: answers only the names it holds, counts every question.
struct FakeResolver {
  std::vector<FakeName> names;
  int calls = 0;
  static int fn(const char* host, int family, sockaddr_storage* out, int max, void* ctx) {
    auto* self = static_cast<FakeResolver*>(ctx);
    ++self->calls;
    int n = 0;
    for (const auto& e : self->names) {
      if (strcmp(e.host, host) != 0 || e.family != family) continue;
      for (const char* a : e.addrs) {
        if (n >= max) break;
        memset(&out[n], 0, sizeof(out[n]));
        if (family == AF_INET) {
          auto* s = reinterpret_cast<sockaddr_in*>(&out[n]);
          s->sin_family = AF_INET;
          inet_pton(AF_INET, a, &s->sin_addr);
        } else {
          auto* s = reinterpret_cast<sockaddr_in6*>(&out[n]);
          s->sin6_family = AF_INET6;
          inet_pton(AF_INET6, a, &s->sin6_addr);
        }
        ++n;
      }
    }
    return n;
  }
};

class ResolverTest : public ::testing::Test {
 protected:
  FakeResolver fake;
  void SetUp() override { vv_set_resolver(&FakeResolver::fn, &fake); }
  void TearDown() override { vv_set_resolver(nullptr, nullptr); }
};

std::string text4(const sockaddr_in& a) {
  char t[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a.sin_addr, t, sizeof(t));
  return t;
}
std::string text6(const sockaddr_in6& a) {
  char t[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, &a.sin6_addr, t, sizeof(t));
  return t;
}

unsigned short local_port(int fd) {
  sockaddr_storage a{};
  socklen_t l = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  return a.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port)
                                : ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
}

// A loopback TCP listener on an ephemeral port.
int tcp_listener(unsigned short* port) {
  int fd = Listen(0, "127.0.0.1");
  *port = local_port(fd);
  return fd;
}

}  // namespace

TEST(VvSocket, IsIpaddrTable) {
  struct { const char* text; int want; } cases[] = {
      {"1.2.3.4", 1},       {"255.255.255.255", 1}, {"0.1.2.3", 0},   {"1.2.3.256", 0},
      {"1.2.3.-1", 0},      {"server.example", 0},  {"1.2.3", 0},     {"1.2.3.4x", 0},
      {"", 0},              {nullptr, 0},           {"203.0.113.10", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(is_ipaddr(c.text), c.want) << (c.text ? c.text : "(null)");
}

TEST_F(ResolverTest, GetHostByNameLiteralNameAndBroadcast) {
  fake.names = {{"p2p.example", AF_INET, {"203.0.113.10", "203.0.113.11"}},
                {"255.255.255.255", AF_INET, {"255.255.255.255"}}};
  sockaddr_in a{};
  ASSERT_EQ(GetHostByName("198.51.100.7", 5000, &a), 1);
  EXPECT_EQ(text4(a), "198.51.100.7");
  EXPECT_EQ(ntohs(a.sin_port), 5000);
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(fake.calls, 0) << "a dotted address needs no resolver";

  ASSERT_EQ(GetHostByName("p2p.example", 5001, &a), 1);
  EXPECT_EQ(text4(a), "203.0.113.10") << "the first result is taken";
  EXPECT_EQ(ntohs(a.sin_port), 5001);

  // The broadcast address is not taken directly: it goes through the resolver.
  int before = fake.calls;
  ASSERT_EQ(GetHostByName("255.255.255.255", 9, &a), 1);
  EXPECT_EQ(fake.calls, before + 1);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_BROADCAST));

  EXPECT_EQ(GetHostByName("unknown.example", 1, &a), 0);
  EXPECT_EQ(GetHostByName(nullptr, 1, &a), 0);
}

TEST(VvSocket, BuiltinResolverNeverAsksTheRealNetwork) {
  vv_set_resolver(nullptr, nullptr);
  sockaddr_in a{};
  EXPECT_EQ(GetHostByName("localhost", 7, &a), 1);
  EXPECT_EQ(text4(a), "127.0.0.1");
  sockaddr_in6 a6{};
  EXPECT_EQ(GetHostByName6("::1", 7, &a6), 1);
  if (!vv_in_private_netns()) {
    EXPECT_EQ(GetHostByName("p2p.invalid", 7, &a), 0);
    EXPECT_EQ(GetHostByName64("203.0.113.1", 7, &a6), 0) << "the NAT64 probe stays local";
  }
}

TEST_F(ResolverTest, Nat64ProbeBuildsTheAddressFromThePrefix) {
  fake.names = {{vv_nat64_probe_name, AF_INET6, {"64:ff9b::c000:aa"}}};
  sockaddr_in6 a{};
  ASSERT_EQ(GetHostByName64("198.51.100.2", 6000, &a), 1);
  EXPECT_EQ(text6(a), "64:ff9b::c633:6402");
  EXPECT_EQ(ntohs(a.sin6_port), 6000);
  EXPECT_EQ(GetHostByName64("p2p.example", 6000, &a), 0) << "only a dotted IPv4 text";
  fake.names.clear();
  EXPECT_EQ(GetHostByName64("198.51.100.2", 6000, &a), 0) << "no NAT64 on this network";
}

TEST_F(ResolverTest, JoinedAddressListsKeepWithinSize) {
  fake.names = {{"two.example", AF_INET, {"203.0.113.100", "203.0.113.101"}},
                {"v6.example", AF_INET6, {"2001:db8::1", "2001:db8::2"}}};
  char out[64];
  EXPECT_EQ(GetHostByNameV2("two.example", out, sizeof(out)), 2);
  EXPECT_STREQ(out, "203.0.113.100|203.0.113.101");
  EXPECT_EQ(GetHostByNameV2("203.0.113.5", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "203.0.113.5");
  char small[10];
  memset(small, 'x', sizeof(small));
  EXPECT_EQ(GetHostByNameV2("two.example", small, sizeof(small)), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(GetHostByNameV2("1.2.3.4", small, 5), 1);
  EXPECT_STREQ(small, "1.2.");
  EXPECT_EQ(GetHostByName6V2("v6.example", out, sizeof(out)), 2);
  EXPECT_STREQ(out, "2001:db8::1|2001:db8::2");
  EXPECT_EQ(GetHostByNameV2("none.example", out, sizeof(out)), 0);
}

TEST(VvSocket, SockaddrTranByLength) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(1234);
  inet_pton(AF_INET, "203.0.113.9", &a.sin_addr);
  char t[64];
  unsigned short port = 0;
  ASSERT_NE(sockaddr_tran(reinterpret_cast<sockaddr*>(&a), 16, t, sizeof(t), &port), nullptr);
  EXPECT_STREQ(t, "203.0.113.9");
  EXPECT_EQ(port, 1234);
  sockaddr_in6 b{};
  b.sin6_family = AF_INET6;
  b.sin6_port = htons(4321);
  inet_pton(AF_INET6, "2001:db8::5", &b.sin6_addr);
  ASSERT_NE(sockaddr_tran(reinterpret_cast<sockaddr*>(&b), 28, t, sizeof(t), &port), nullptr);
  EXPECT_STREQ(t, "2001:db8::5");
  EXPECT_EQ(port, 4321);
  EXPECT_EQ(sockaddr_tran(reinterpret_cast<sockaddr*>(&b), 28, t, 4, nullptr), nullptr);
}

TEST(VvSocket, CloseSocketAndListenResults) {
  int zero = 0;
  CloseSocket(&zero);
  EXPECT_EQ(zero, 0);
  int fd = UdpListen(0);
  ASSERT_GT(fd, 0);
  CloseSocket(&fd);
  EXPECT_EQ(fd, 0);

  int a = UdpListen6(0);
  ASSERT_GT(a, 0);
  EXPECT_EQ(UdpListen6(local_port(a)), -3) << "port in use";
  int b = UdpListen(0);
  EXPECT_EQ(UdpListen(local_port(b)), 0);
  EXPECT_EQ(Listen(0, "not-an-address"), 0);
  CloseSocket(&a);
  CloseSocket(&b);
}

TEST(VvSocket, BufferAndBroadcastOptions) {
  int fd = CreateSocket(SOCK_DGRAM);
  ASSERT_GT(fd, 0);
  EXPECT_EQ(Set_Socket_Bufsize(fd, 0, 0), -1);
  EXPECT_EQ(Set_Socket_Bufsize(fd, 65536, 131072), 0);
  int v = 0;
  socklen_t l = sizeof(v);
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &l);
  EXPECT_GE(v, 131072);
  EXPECT_EQ(Set_Broadcast(fd), 1);
  l = sizeof(v);
  getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &v, &l);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(Set_Multicast(fd), 1);
  EXPECT_EQ(Join_MultiCast(fd, "not-a-group"), 0);
  EXPECT_EQ(Get_Socket_Err(fd), 0);
  CloseSocket(&fd);
}

TEST(VvSocket, ConnectSucceedsOrFailsWithinItsTime) {
  unsigned short port = 0;
  int lfd = tcp_listener(&port);
  ASSERT_GT(lfd, 0);
  int c = CreateSocket(SOCK_STREAM);
  EXPECT_EQ(Connect(c, "127.0.0.1", port, 5), 1);
  sockaddr_in peer{};
  int s = AcceptEx(lfd, &peer, 2000000);
  EXPECT_GT(s, 0);
  EXPECT_EQ(text4(peer), "127.0.0.1");
  EXPECT_EQ(AcceptEx(lfd, &peer, 20000), 0) << "nobody else connects";
  CloseSocket(&s);
  CloseSocket(&c);

  // Nothing listens on the port just freed: refused, well inside the time-out.
  CloseSocket(&lfd);
  c = CreateSocket(SOCK_STREAM);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Connect(c, "127.0.0.1", port, 10), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
  CloseSocket(&c);

  vv_set_resolver(nullptr, nullptr);
  c = CreateSocket(SOCK_STREAM);
  EXPECT_EQ(Connect(c, "", port, 1), 0);
  EXPECT_EQ(Connect_NonBlock(c, "", port), -1);
  CloseSocket(&c);
}

TEST(VvSocket, RecvAndRecvFromWaitThenDeliver) {
  int a = UdpListen(0), b = CreateSocket(SOCK_DGRAM);
  ASSERT_GT(a, 0);
  char buf[64];
  EXPECT_EQ(Recv(a, buf, sizeof(buf), 20000), 0) << "nothing arrived";
  EXPECT_EQ(blockUntilReadable0(a, 10000), 0);
  EXPECT_EQ(blockUntilReadable(-1, nullptr), -1);
  ASSERT_EQ(SendTo(b, "hello", 5, "127.0.0.1", local_port(a)), 5);
  EXPECT_EQ(blockUntilReadable0(a, 2000000), 1);
  sockaddr_in from{};
  EXPECT_EQ(RecvFrom(a, buf, sizeof(buf), &from, 2000000), 5);
  EXPECT_EQ(memcmp(buf, "hello", 5), 0);
  EXPECT_EQ(ntohs(from.sin_port), local_port(b));
  ASSERT_EQ(SendTo(b, "x", 1, "127.0.0.1", local_port(a)), 1);
  EXPECT_EQ(Recv(a, buf, sizeof(buf), 2000000), 1);
  EXPECT_EQ(SendTo(b, "x", 1, "", 1), -1);
  CloseSocket(&a);
  CloseSocket(&b);
}

TEST(VvSocket, SendDeliversEverythingToAReadingPeer) {
  unsigned short port = 0;
  int lfd = tcp_listener(&port);
  int c = CreateSocket(SOCK_STREAM);
  ASSERT_EQ(Connect(c, "127.0.0.1", port, 5), 1);  // leaves c non-blocking: partial sends
  int s = Accept(lfd, nullptr);
  std::vector<unsigned char> data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + (i >> 13));
  std::vector<unsigned char> got;
  std::thread reader([&] {
    unsigned char b[65536];
    while (got.size() < data.size()) {
      ssize_t n = recv(s, b, sizeof(b), 0);
      if (n <= 0) break;
      got.insert(got.end(), b, b + n);
    }
  });
  EXPECT_EQ(Send(c, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  reader.join();
  EXPECT_EQ(got, data);
  EXPECT_EQ(Send(0, data.data(), 1), -1);
  EXPECT_EQ(Send(c, data.data(), 0), 0);
  CloseSocket(&s);
  CloseSocket(&c);
  CloseSocket(&lfd);
}

TEST(VvSocket, SendGivesUpOnAStalledPeerAndSurvivesAClosedOne) {
  unsigned short port = 0;
  int lfd = tcp_listener(&port);
  int c = CreateSocket(SOCK_STREAM);
  ASSERT_EQ(Connect(c, "127.0.0.1", port, 5), 1);
  int s = Accept(lfd, nullptr);
  Set_Socket_Bufsize(c, 4096, 0);
  Set_Socket_Bufsize(s, 0, 4096);
  vv_sock_set_send_retry(20, 5);  // 100 ms instead of 3 s
  std::vector<char> data(8 << 20, 'a');
  EXPECT_EQ(Send(c, data.data(), static_cast<int>(data.size())), -1) << "peer never reads";

  // The peer goes away: the send fails (no SIGPIPE ends the process).
  CloseSocket(&s);
  int r = 0;
  for (int i = 0; i < 50 && r != -2; ++i) r = Send(c, data.data(), 1 << 16);
  EXPECT_EQ(r, -2);
  vv_sock_set_send_retry(600, 5);
  CloseSocket(&c);
  CloseSocket(&lfd);
}

TEST(VvSocket, LocalAddressListSkipsLoopbackAndRespectsSize) {
  char out[512];
  memset(out, 'x', sizeof(out));
  int n = Get_local_ips(out, sizeof(out));
  EXPECT_GE(n, 0);
  std::string all(out);
  EXPECT_EQ(all.find("127.0.0.1"), std::string::npos);
  int fields = all.empty() ? 0 : 1;
  for (char ch : all) fields += ch == ',';
  EXPECT_EQ(fields, n);
  char tiny[4];
  memset(tiny, 'x', sizeof(tiny));
  EXPECT_EQ(Get_local_ips(tiny, sizeof(tiny)), 0) << "no IPv4 address fits in 3 characters";
  EXPECT_STREQ(tiny, "");
  EXPECT_EQ(GetIfIP("lo"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(GetIfIP("no-such-if0"), 0u);
  EXPECT_EQ(GetIfIP("a-name-longer-than-fifteen"), 0u);
}
