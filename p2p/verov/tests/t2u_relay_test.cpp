// The port-forwarding layer end to end on loopback: local clients of a mapping, frames over a
// carrier socket to the Python device peer (t2upeer.py), which connects to services on the
// device side (echo, HTTP) like a device does.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "t2u.h"
#include "t2u_frames.h"
#include "t2u_pipe.h"
#include "t2u_transport.h"

namespace {

using Clock = std::chrono::steady_clock;

uint16_t free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t l = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  close(fd);
  return ntohs(a.sin_port);
}

struct Peer {
  pid_t pid = -1;
  uint16_t port = 0;
  uint16_t echo = 0;
  uint16_t http = 0;
  bool start(std::vector<std::string> extra = {}) {
    int p[2];
    if (pipe(p) != 0) return false;
    std::vector<std::string> args = {VV_PYTHON, std::string(VV_SIM_DIR) + "/t2upeer.py"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid = fork();
    if (pid == 0) {
      dup2(p[1], 1);
      close(p[0]);
      std::vector<char*> av;
      for (auto& s : args) av.push_back(const_cast<char*>(s.c_str()));
      av.push_back(nullptr);
      execv(av[0], av.data());
      _exit(127);
    }
    close(p[1]);
    FILE* f = fdopen(p[0], "r");
    char line[128] = "";
    bool ok = fgets(line, sizeof(line), f) &&
              sscanf(line, "READY carrier=%hu echo=%hu http=%hu", &port, &echo, &http) == 3;
    fclose(f);
    return ok;
  }
  ~Peer() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

int connect_local(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool read_n(int fd, uint8_t* p, size_t n, int timeout_ms = 20000) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (n) {
    pollfd q{fd, POLLIN, 0};
    if (poll(&q, 1, 100) <= 0) {
      if (Clock::now() > end) return false;
      continue;
    }
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 g(seed);
  for (auto& b : v) b = static_cast<uint8_t>(g());
  return v;
}

struct Api {
  int n;
  int (*init)(const char*, int, const char*);
  int (*exit)();
  int (*add)(const char*, uint16_t, uint16_t);
  int (*add_udp)(const char*, uint16_t, uint16_t);
  int (*del)(uint16_t);
  int (*status)(uint16_t, _T2U_NET_STAT*);
  int (*set_callback)(const t2u_callbacks*);
};
const Api kOne{1, t2u_init, t2u_exit, t2u_add_port, t2u_add_udp_port, t2u_del_port,
               t2u_port_status, t2u_set_callback};
const Api kTwo{2, t2u2_init, t2u2_exit, t2u2_add_port, t2u2_add_udp_port, t2u2_del_port,
               t2u2_port_status, t2u2_set_callback};

// One instance over the carrier to a fresh device peer.
class Relay {
 public:
  explicit Relay(const Api& api, std::vector<std::string> extra = {}) : a(api) {
    ok = peer.start(extra);
    t2upipe::st().port = peer.port;
    t2upipe::st().dest_type = 0;
    t2upipe::st().status = 1;
    t2u_set_transport(a.n, a.n == 2 ? t2upipe::transport<2>() : t2upipe::transport<1>());
    a.init("127.0.0.1", 1, "");
  }
  ~Relay() {
    a.set_callback(nullptr);
    a.exit();
    t2u_set_transport(a.n, nullptr);
  }
  // Waits until the mapping's connection is up; its final status.
  int wait_status(uint16_t port, int want = 1, int ms = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    int s = 0;
    while (Clock::now() < end) {
      s = a.status(port, nullptr);
      if (s == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return s;
  }
  const Api& a;
  Peer peer;
  bool ok = false;
};

// Sends `data` and reads the echo at the same time; true when every byte came back in order.
bool echo_roundtrip(uint16_t port, const std::vector<uint8_t>& data, size_t step = 65536) {
  int fd = connect_local(port);
  if (fd < 0) return false;
  std::vector<uint8_t> back(data.size());
  bool got = false;
  std::thread r([&] { got = read_n(fd, back.data(), back.size(), 60000); });
  for (size_t at = 0; at < data.size();) {
    ssize_t n = send(fd, data.data() + at, std::min(step, data.size() - at), MSG_NOSIGNAL);
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  r.join();
  close(fd);
  return got && back == data;
}

class T2uRelay : public ::testing::TestWithParam<const Api*> {};

TEST_P(T2uRelay, EchoBothWaysKeepsEveryByte) {
  Relay r(*GetParam());
  ASSERT_TRUE(r.ok);
  int port = r.a.add("DEV-ECHO", r.peer.echo, 0);
  ASSERT_GE(port, 2000);
  ASSERT_EQ(r.wait_status(port), 1);
  auto data = pattern(8 << 20, 1);
  EXPECT_TRUE(echo_roundtrip(port, data));
  // Two clients at once get their own streams.
  auto d2 = pattern(1 << 20, 2), d3 = pattern(1 << 20, 3);
  bool ok2 = false, ok3 = false;
  std::thread t2([&] { ok2 = echo_roundtrip(port, d2, 1000); });
  std::thread t3([&] { ok3 = echo_roundtrip(port, d3, 7777); });
  t2.join();
  t3.join();
  EXPECT_TRUE(ok2);
  EXPECT_TRUE(ok3);
}

// The local client writes megabytes without reading while the echo comes back: the queue
// towards it fills, the device is held back, and once it reads nothing is missing.
TEST_P(T2uRelay, FloodWhileQueueFullLosesNothing) {
  Relay r(*GetParam());
  ASSERT_TRUE(r.ok);
  int port = r.a.add("DEV-FLOOD", r.peer.echo, 0);
  ASSERT_EQ(r.wait_status(port), 1);
  int fd = connect_local(port);
  ASSERT_GE(fd, 0);
  auto data = pattern(3 << 20, 4);
  std::atomic<size_t> sent{0};
  std::thread w([&] {
    for (size_t at = 0; at < data.size();) {
      ssize_t n = send(fd, data.data() + at, std::min<size_t>(32768, data.size() - at),
                       MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
      sent = at;
    }
  });
  // Wait until the writer stalls (everything between is full) or finished.
  size_t last = 0;
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (sent == last && last > 0) break;
    last = sent;
  }
  std::vector<uint8_t> back(data.size());
  EXPECT_TRUE(read_n(fd, back.data(), back.size(), 60000));
  w.join();
  EXPECT_TRUE(back == data);
  close(fd);
}

TEST_P(T2uRelay, Socks4ReachesDeviceHttpServer) {
  Relay r(*GetParam());
  ASSERT_TRUE(r.ok);
  int port = r.a.add("DEV-SOCKS", 0, 0);
  ASSERT_EQ(r.wait_status(port), 1);
  int fd = connect_local(port);
  ASSERT_GE(fd, 0);
  uint8_t req[] = {4, 1, static_cast<uint8_t>(r.peer.http >> 8),
                   static_cast<uint8_t>(r.peer.http), 127, 0, 0, 1, 'u', 0};
  std::string get = "GET / HTTP/1.0\r\n\r\n";
  std::vector<uint8_t> first(req, req + sizeof(req));
  first.insert(first.end(), get.begin(), get.end());  // request and data in one write
  ASSERT_EQ(send(fd, first.data(), first.size(), MSG_NOSIGNAL), (ssize_t)first.size());
  uint8_t reply[8];
  ASSERT_TRUE(read_n(fd, reply, 8));
  EXPECT_EQ(reply[0], 0);
  EXPECT_EQ(reply[1], 90);
  EXPECT_EQ(0, memcmp(reply + 2, req + 2, 6));
  std::string page;
  char b[512];
  ssize_t n;
  while ((n = recv(fd, b, sizeof(b), 0)) > 0) page.append(b, static_cast<size_t>(n));
  EXPECT_NE(page.find("200"), std::string::npos);
  EXPECT_NE(page.find("device page"), std::string::npos);
  close(fd);
  // Not a SOCKS request: the client is closed.
  fd = connect_local(port);
  ASSERT_GE(fd, 0);
  send(fd, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
  uint8_t one;
  EXPECT_LE(recv(fd, &one, 1, 0), 0);
  close(fd);
}

TEST_P(T2uRelay, UdpMappingEchoes) {
  Relay r(*GetParam());
  ASSERT_TRUE(r.ok);
  int port = r.a.add_udp("DEV-UDP", r.peer.echo, 0);
  ASSERT_GE(port, 2000);
  // The UDP mapping's status comes from its connection as well.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool got = false;
  for (int i = 0; i < 100 && !got; ++i) {
    std::string msg = "ping " + std::to_string(i);
    sendto(fd, msg.data(), msg.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    pollfd q{fd, POLLIN, 0};
    if (poll(&q, 1, 100) > 0) {
      char b[64];
      ssize_t n = recv(fd, b, sizeof(b), 0);
      got = n > 0 && std::string(b, static_cast<size_t>(n)).rfind("ping ", 0) == 0;
    }
  }
  EXPECT_TRUE(got);
  // A silent peer loses its client after the idle time (shortened here from 60 s).
  t2u_set_udp_idle_seconds(r.a.n, 1);
  EXPECT_GE(t2u_client_count(r.a.n), 1);
  auto end = Clock::now() + std::chrono::seconds(15);
  while (t2u_client_count(r.a.n) > 0 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(t2u_client_count(r.a.n), 0);
  t2u_set_udp_idle_seconds(r.a.n, 60);
  close(fd);
}

std::atomic<int> g_disc_status{1};
std::atomic<int> g_conn_ms{-1};

TEST_P(T2uRelay, OfflineDeviceGivesStatusAndCallback) {
  Relay r(*GetParam(), {"--offline", "DEV-GONE"});
  ASSERT_TRUE(r.ok);
  t2u_callbacks cb{[](uint16_t, int ms) -> long { g_conn_ms = ms; return 0; },
                   [](uint16_t, int s) -> long { g_disc_status = s; return 0; }};
  r.a.set_callback(&cb);
  g_disc_status = 1;
  int port = r.a.add("DEV-GONE", 80, 0);
  EXPECT_EQ(r.wait_status(port, -4), -4);
  for (int i = 0; i < 200 && g_disc_status == 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(g_disc_status, -4);
  // A local client of a mapping without connection waits in the backlog and gets nothing.
  g_conn_ms = -1;
  int other = r.a.add("DEV-OK", r.peer.echo, 0);
  EXPECT_EQ(r.wait_status(other), 1);
  for (int i = 0; i < 200 && g_conn_ms < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(g_conn_ms, 0);
}

TEST_P(T2uRelay, AddAndDeleteDuringTraffic) {
  Relay r(*GetParam());
  ASSERT_TRUE(r.ok);
  int port = r.a.add("DEV-STORM", r.peer.echo, 0);
  ASSERT_EQ(r.wait_status(port), 1);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      int p = r.a.add("DEV-CHURN", r.peer.echo, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (p > 0) r.a.del(static_cast<uint16_t>(p));
    }
  });
  auto data = pattern(2 << 20, 5);
  EXPECT_TRUE(echo_roundtrip(port, data));
  stop = true;
  churn.join();
  // Deleting the mapping under a live client ends that client.
  int fd = connect_local(port);
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  r.a.del(static_cast<uint16_t>(port));
  send(fd, "x", 1, MSG_NOSIGNAL);
  uint8_t one;
  pollfd q{fd, POLLIN, 0};
  EXPECT_GT(poll(&q, 1, 10000), 0);
  EXPECT_LE(recv(fd, &one, 1, 0), 0);
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Instances, T2uRelay, ::testing::Values(&kOne, &kTwo),
                         [](const auto& info) { return info.param->n == 1 ? "One" : "Two"; });

// Mapping bookkeeping without any device.
TEST(T2uMappings, AddDeleteStatusTable) {
  t2upipe::st().status = 0;  // registration never ready: nothing connects
  t2u_set_transport(1, t2upipe::transport());
  ASSERT_EQ(t2u_init("127.0.0.1", 1, ""), 0);
  EXPECT_EQ(t2u_init("127.0.0.2", 2, ""), 1);
  uint16_t fixed = free_port();
  EXPECT_EQ(t2u_add_port("DEV-A", 80, fixed), fixed);
  EXPECT_EQ(t2u_add_port("DEV-B", 81, fixed), 0);
  EXPECT_EQ(t2u_add_udp_port("DEV-A", 80, fixed), fixed);  // another kind: its own port space
  EXPECT_EQ(t2u_port_status(fixed, nullptr), 0);
  EXPECT_EQ(t2u_del_port(80), 0);
  EXPECT_EQ(t2u_port_status(fixed, nullptr), 0);
  EXPECT_EQ(t2u_del_port(fixed), 0);
  EXPECT_EQ(t2u_port_status(fixed, nullptr), -1);
  EXPECT_EQ(t2u_add_port("DEV-A", 80, fixed), fixed);
  int any = t2u_add_port("DEV-C", 80, 0);
  ASSERT_GE(any, 2000);
  ASSERT_LE(any, 65535);
  // The listener serves this host only.
  int lfd = connect_local(static_cast<uint16_t>(any));
  EXPECT_GE(lfd, 0);
  close(lfd);
  struct { int secs; int result; } iv[] = {{4, -1}, {5, 0}, {300, 0}, {301, -1}};
  for (auto& c : iv) EXPECT_EQ(t2u_set_reconnect_interval(c.secs), c.result) << c.secs;
  _T2U_RATE_STAT rs{};
  EXPECT_EQ(t2u_get_rate(0, &rs), 0);
  EXPECT_EQ(t2u_get_rate(1, &rs), -1);
  EXPECT_EQ(t2u_search_dvr(), 0);
  t2u_exit();
  EXPECT_EQ(t2u_exit(), 0);
  t2u_set_transport(1, nullptr);
  t2upipe::st().status = 1;
}

TEST(T2uMappings, FramesForUnknownClientsAndBadCloseBodies) {
  t2u_set_transport(1, t2upipe::transport());
  ASSERT_EQ(t2u_init("127.0.0.1", 1, ""), 0);
  // No connection 99: nothing to close, nothing crashes; the close notice goes nowhere.
  EXPECT_EQ(t2u_OnRecvFrame(99, 7, 0, "abc", 3), 0);
  uint8_t shortbody[1] = {0};
  EXPECT_EQ(t2u_OnRecvFrame(99, 0xFFFF, 0xFF02, shortbody, 1), 0);
  EXPECT_EQ(t2u_OnRecvFrame(99, 0xFFFF, 0xFF02, nullptr, 0), 0);
  EXPECT_EQ(t2u_OnRecvFrame(99, 5, 0, nullptr, 5), 0);
  t2u_OnDisconnect(0, 2);
  t2u_OnConnect(-1);
  t2u_exit();
  t2u_set_transport(1, nullptr);
}

}  // namespace
