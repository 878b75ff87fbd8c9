// Port prediction: the port arithmetic, the try-port list, the knocks the task sends (read back
// from real UDP sockets on loopback, with their time-to-live) and the device's guessed
// registration port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ovc_predict.h"
#include "ovc_state.h"

int ovc_open_udp_socket();

bool ovc_server_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn, int overTcp, const ovc_netaddr_t& sender);

namespace {

// ---- Arithmetic -----------------------------------------------------------------------------

int rnd_max() { return 2147483647; }
int rnd_zero() { return 0; }
int g_seq_i = 0;
int rnd_low_then_mid() { return g_seq_i++ == 0 ? 5 : 1073741823; }  // first draw below 1025

struct PortCase {
  const char* name;
  uint32_t base;
  int32_t step;
  int (*rnd)();
  uint16_t want;
};

TEST(PortPrediction, StepsWalkAroundTheBaseAndStayInRange) {
  const PortCase cases[] = {
      {"step 0 base", 40000, 0, rnd_max, 40000},
      {"step 1 base - 0", 40000, 1, rnd_max, 40000},
      {"step 2 random, full-scale draw without overflow", 40000, 2, rnd_max, 65535},
      {"step 3 base + 1", 40000, 3, rnd_max, 40001},
      {"step 4 base - 1", 40000, 4, rnd_max, 39999},
      {"step 1023 base + 341", 40000, 1023, rnd_max, 40341},
      {"above 65535 wraps to the bottom", 65500, 300, rnd_max, 1025 + (65500 + 100 - 65536)},
      {"below 1025 wraps to the top", 1030, 31, rnd_max, 65531},
      {"a huge base stays in range", 0xFFFFFFFFu, 0, rnd_max, ovc_port_in_range(0xFFFFFFFFll)},
      {"random draws again below 1025", 40000, 5, rnd_low_then_mid, 32767},
  };
  for (const PortCase& c : cases) {
    g_seq_i = 0;
    uint16_t p = ovc_predicted_port(c.base, c.step, c.rnd);
    EXPECT_EQ(p, c.want) << c.name;
    EXPECT_GE(p, 1025) << c.name;
  }
  // A source that only gives 0 still ends with a usable port.
  EXPECT_GE(ovc_random_port(rnd_zero), 1025);
  for (int i = 0; i < 2000; ++i) EXPECT_GE(ovc_predicted_port(2000, 2 + 3 * i, nullptr), 1025);
}

struct GuessCase {
  const char* name;
  int64_t ms;
  uint32_t counter;
  int server;
  uint16_t want;
};

TEST(PortPrediction, GuessedRegistrationPortFollowsClockCounterAndServer) {
  const GuessCase cases[] = {
      {"no clock: 75", -1, 7, 10240, 10241 + 77},
      {"ms 0, counter 0: first port above the server", 0, 0, 10240, 10241},
      {"ms 59, counter 4: the 300th port", 59, 4, 10240, 10540},
      {"ms 60 is 0 again", 60, 3, 10240, 10244},
      {"counter counts mod 5", 1, 12, 10240, 10241 + 7},
      {"no server known: from 10002", 2, 0, -1, 10002 + 10},
      {"a top server port wraps into range", 59, 4, 65500, ovc_port_in_range(65501 + 299)},
      {"a large clock value", 0xFFFFFFFFll, 0, 10240, 10241 + (uint16_t)((0xFFFFFFFFu % 60) * 5)},
  };
  for (const GuessCase& c : cases) {
    uint16_t p = ovc_port_guess(c.ms, c.counter, c.server);
    EXPECT_EQ(p, c.want) << c.name;
    EXPECT_GE(p, 1025) << c.name;
  }
}

// ---- With the module ------------------------------------------------------------------------

std::string loop_ip(int host) { return "127.93." + std::to_string(getpid() % 200 + 20) + "." + std::to_string(host); }

ovc_netaddr_t addr(const std::string& ip, uint16_t port) {
  ovc_netaddr_t a;
  ovc_text_to_netaddr(ip.c_str(), htons(port), &a);
  return a;
}

struct Sock {
  int fd = -1;
  uint16_t port = 0;
  explicit Sock(const std::string& ip, uint16_t want = 0) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(want);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    if (bind(fd, (sockaddr*)&a, sizeof a) != 0) {
      close(fd);
      fd = -1;
      return;
    }
    socklen_t l = sizeof a;
    getsockname(fd, (sockaddr*)&a, &l);
    port = ntohs(a.sin_port);
  }
  ~Sock() {
    if (fd >= 0) close(fd);
  }
  struct Got {
    OvcReceived rx;
    int ttl;
    uint16_t fromPort;
  };
  // One datagram within ms, unscrambled; false on time-out.
  bool Recv(Got* g, int ms = 3000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    uint8_t buf[2048];
    char ctl[128];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof from;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    ssize_t n = recvmsg(fd, &m, 0);
    if (n <= 0) return false;
    g->ttl = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) memcpy(&g->ttl, CMSG_DATA(c), sizeof(int));
    g->fromPort = ntohs(from.sin_port);
    return ovc_unscramble_datagram(buf, (size_t)n, &g->rx) == 0;
  }
};

const char* kUid = "OVCPREDDEVICE0000001";

class Predict : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = loop_ip(1);
    ASSERT_EQ(OVC_Initialize_Internal(0, master_.c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
    ASSERT_EQ(ovc_open_udp_socket(), 0);
    ovc_set_try_port_rate(0);
    ovc_set_try_port_times(600000, 600000);  // the tests drive the task; nothing ends by time
  }
  void TearDown() override {
    gsConnectOption[1] = 0;
    ovc_set_try_port_rate(2000);
    ovc_set_try_port_times(0, 0);
    OVC_DeInitialize();
  }
  // One run of the task as the task thread makes it (with the session lock held).
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      OvcSessionLockGuard g;
      TryPortTaskCB(nullptr, 1, 0, nullptr, 0);
    }
  }
  std::vector<TryPortView> Nodes() {
    std::vector<TryPortView> v(16);
    int n = ovc_try_port_nodes(v.data(), 16);
    v.resize((size_t)std::min(n, 16));
    return v;
  }
  std::string master_;
};

void check_knock(const Sock::Got& g, const RandomID& key) {
  EXPECT_EQ(g.rx.head.type, 0x0401);
  EXPECT_EQ(g.rx.head.route, 0x33);
  EXPECT_EQ(g.rx.head.length, 28);
  EXPECT_EQ(memcmp(g.rx.bytes + 16, kUid, 20), 0);
  EXPECT_EQ(ovc_get_u32(g.rx.bytes + 36), key.idLow);
  EXPECT_EQ(ovc_get_u32(g.rx.bytes + 40), key.idHigh);
}

TEST_F(Predict, PredictingNodeKnocksAtBaseThenBaseMinusThenRandomThenBasePlusOne) {
  std::string ip = loop_ip(2);
  Sock base(ip), plus(ip, (uint16_t)(base.port + 1));
  ASSERT_GE(base.fd, 0);
  ASSERT_GE(plus.fd, 0) << "port above the base is taken";
  RandomID key{0x11223344, 0x55667788, 0};
  ovc_netaddr_t a = addr(ip, base.port);
  AddTryPort(&key, 3, &a, 1, 1, kUid);
  ASSERT_EQ(Nodes().size(), 1u);
  Tick(4);
  Sock::Got g;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(base.Recv(&g)) << "knock " << i << " at the base";
    check_knock(g, key);
    EXPECT_EQ(g.fromPort, gLocalUdpPort) << "predicted knocks leave from the main socket";
  }
  ASSERT_TRUE(plus.Recv(&g)) << "step 3 at base + 1";
  check_knock(g, key);
  EXPECT_EQ(Nodes()[0].step, 4);
}

TEST_F(Predict, SameKeyWithNewAddressPutsItFirstAndRaisesTheLimit) {
  RandomID key{1, 2, 0};
  ovc_netaddr_t first[8];
  for (int i = 0; i < 8; ++i) first[i] = addr(loop_ip(3), (uint16_t)(20000 + i));
  AddTryPort(&key, 3, first, 8, 1, kUid);
  ovc_netaddr_t zero = addr(loop_ip(3), 0);
  AddTryPort(&key, 3, &zero, 1, 1, kUid);  // port 0: nothing
  RandomID other{9, 9, 0};
  AddTryPort(&other, 1, &zero, 1, 0, "OTHERUID000000000001");
  ASSERT_EQ(Nodes().size(), 1u);
  Tick(1024);  // one round: rounds 1
  ASSERT_EQ(Nodes().size(), 1u);
  EXPECT_EQ(Nodes()[0].rounds, 1);
  ovc_netaddr_t fresh = addr(loop_ip(3), 30000);
  AddTryPort(&key, 3, &fresh, 1, 1, kUid);
  std::vector<TryPortView> v = Nodes();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(ntohs(v[0].addrs[0].port), 30000);
  EXPECT_EQ(v[0].base[0], 30000u);
  for (int i = 1; i < 8; ++i) EXPECT_EQ(ntohs(v[0].addrs[i].port), 20000 + i - 1) << i;
  EXPECT_EQ(v[0].limit, 1 + 3);
  // A many-sockets node gains one round per refresh; a predicting one does not.
  RandomID ms{5, 6, 0};
  ovc_netaddr_t b = addr(loop_ip(4), 40000);
  AddTryPort(&ms, 1, &b, 1, 0, "MANYSOCKETS000000001");
  AddTryPort(&ms, 1, &b, 1, 0, "MANYSOCKETS000000001");
  v = Nodes();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1].limit, 2);
  EXPECT_FALSE(v[1].predict);
}

TEST_F(Predict, RoundsResetTheBasesToOwnPortsThenToOneSharedRandomPort) {
  RandomID key{7, 8, 0};
  ovc_netaddr_t a[2] = {addr(loop_ip(5), 21000), addr(loop_ip(5), 22000)};
  AddTryPort(&key, 5, a, 2, 1, kUid);
  uint64_t before = ovc_try_port_knocks();
  Tick(1024);
  auto v = Nodes();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].rounds, 1);
  EXPECT_EQ(v[0].step, 0);
  EXPECT_EQ(v[0].base[0], 21000u);
  EXPECT_EQ(v[0].base[1], 22000u);
  EXPECT_EQ(ovc_try_port_knocks() - before, 2048u);
  Tick(2048);
  v = Nodes();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].rounds, 3);
  EXPECT_EQ(v[0].base[0], v[0].base[1]) << "rounds 2: one random port for all";
  for (uint32_t b : v[0].base) {
    EXPECT_GE(b, 1025u);
    EXPECT_LE(b, 65535u);
  }
  Tick(2 * 1024);  // rounds reach the limit of 5
  EXPECT_EQ(Nodes().size(), 0u);
}

TEST_F(Predict, NodeWithoutRefreshForLongerThanTheExpiryGoesAfterItsNextUse) {
  ovc_set_try_port_times(600000, 60000);
  RandomID key{3, 4, 0};
  ovc_netaddr_t a = addr(loop_ip(6), 23000);
  AddTryPort(&key, 3, &a, 1, 1, kUid);
  ovc_try_port_age(0, 59000);
  Tick(1);
  EXPECT_EQ(Nodes().size(), 1u);
  ovc_try_port_age(0, 2000);  // 61 s
  Tick(1);
  EXPECT_EQ(Nodes().size(), 0u);
  Tick(1);  // an empty list ends the engine
  EXPECT_FALSE(ovc_try_port_running());
}

TEST_F(Predict, ManySocketsNodeKnocksFromEachExtraSocketWithTimeToLive12) {
  std::string ip = loop_ip(7);
  Sock peer(ip);
  ASSERT_GE(peer.fd, 0);
  RandomID key{0xAABBCCDD, 0x01020304, 0};
  ovc_netaddr_t a = addr(ip, peer.port);
  AddTryPort(&key, 1, &a, 1, 0, kUid);
  Tick(5);
  std::set<uint16_t> sources;
  for (int i = 0; i < 5; ++i) {
    Sock::Got g;
    ASSERT_TRUE(peer.Recv(&g)) << i;
    check_knock(g, key);
    EXPECT_EQ(g.ttl, 12);
    EXPECT_NE(g.fromPort, gLocalUdpPort);
    sources.insert(g.fromPort);
  }
  EXPECT_EQ(sources.size(), 5u) << "each tick uses the next extra socket";
  EXPECT_EQ(Nodes()[0].step, 5);
  // Reopening the sockets ends the engine first: no node, no extra socket left open.
  {
    OvcSessionLockGuard g;
    ovc_start_try_port(1);
  }
  ASSERT_EQ(ReopenP2PSocket(0), 0);
  EXPECT_TRUE(Nodes().empty());
  EXPECT_FALSE(ovc_try_port_running());
  int open = 0;
  for (auto& e : gSharedConnTable) open += e.conn != nullptr;
  EXPECT_EQ(open, 0);
}

std::vector<uint8_t> sockaddr16(const std::string& ip, uint16_t port) {
  std::vector<uint8_t> a(16, 0);
  a[0] = 2;
  a[2] = (uint8_t)(port >> 8);
  a[3] = (uint8_t)port;
  inet_pton(AF_INET, ip.c_str(), &a[4]);
  return a;
}

void feed(uint16_t type, const std::vector<uint8_t>& body, const std::string& from, uint16_t port) {
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.type = type;
  h.tag = 20;
  h.length = (uint16_t)body.size();
  ovc_netaddr_t s;
  ovc_text_to_netaddr(from.c_str(), htons(port), &s);
  ovc_server_packet(h, body.data(), (uint32_t)body.size(), from.c_str(), htons(port), nullptr, 0, s);
}

// A long punch information for this device: the client at `peer`, peer NAT type `nat`.
std::vector<uint8_t> punch_info(const std::string& peerIp, uint16_t peerPort, uint8_t nat, const RandomID& key) {
  std::vector<uint8_t> b(116, 0);
  memcpy(b.data(), kUid, 20);
  auto p = sockaddr16(peerIp, peerPort);
  std::copy(p.begin(), p.end(), b.begin() + 20);
  ovc_put_u32(b.data() + 100, key.idLow);
  ovc_put_u32(b.data() + 104, key.idHigh);
  b[108] = nat;
  ovc_put_u32(b.data() + 112, nat);
  return b;
}

struct PunchCase {
  const char* name;
  uint32_t ownNat;
  uint8_t peerNat;
  bool option1;
  int nodes;
  bool predict;
  int limit;
};

TEST_F(Predict, DevicePunchInformationAddsTheNodeTheNatTypesCallFor) {
  const PunchCase cases[] = {
      {"own 2, peer 3: predicting, limit 3", 2, 3, false, 1, true, 3},
      {"own 3, peer 2: many sockets, limit 1", 3, 2, false, 1, false, 1},
      {"own 2, peer 2: plain knocks only", 2, 2, false, 0, false, 0},
      {"own 0 (unknown), peer 5 (bogus): nothing, though they add up to 5", 0, 5, false, 0, false, 0},
      {"own 1, peer 4: nothing", 1, 4, false, 0, false, 0},
      {"connect option 1: no node", 2, 3, true, 0, false, 0},
  };
  std::string peerIp = loop_ip(8);
  uint32_t n = 1;
  for (const PunchCase& c : cases) {
    memcpy(gLocalUid, kUid, 21);
    gNatType = c.ownNat;
    gsConnectOption[1] = c.option1 ? 1 : 0;
    RandomID key{0x100 + n, 0x200 + n, 0};
    ++n;
    feed(0x0301, punch_info(peerIp, 24000, c.peerNat, key), master_, 10240);
    auto v = Nodes();
    ASSERT_EQ((int)v.size(), c.nodes) << c.name;
    if (c.nodes) {
      EXPECT_EQ(v[0].predict, c.predict) << c.name;
      EXPECT_EQ(v[0].limit, c.limit) << c.name;
      EXPECT_EQ(v[0].key.idLow, key.idLow) << c.name;
      EXPECT_TRUE(ovc_try_port_running()) << c.name;
      ovc_remove_try_port_key(key);
      EXPECT_TRUE(Nodes().empty()) << c.name;
    }
  }
}

TEST_F(Predict, PortGuessRegistrationGoesAboveTheServersPort) {
  // The server's port decides the range: a group server at ip:10240 (learned from the master).
  std::string ip = loop_ip(9);
  std::vector<std::unique_ptr<Sock>> socks;
  for (int p = 10241; p <= 10540; ++p) {
    socks.emplace_back(new Sock(ip, (uint16_t)p));
    ASSERT_GE(socks.back()->fd, 0) << p;
  }
  std::vector<uint8_t> q(56, 0);
  memcpy(q.data(), kUid, 20);
  auto r = sockaddr16("198.51.100.2", 5000);
  std::copy(r.begin(), r.end(), q.begin() + 36);
  q[54] = 2;
  std::vector<uint8_t> rec = {1, 0, 6, 0, 4, 0, 5, 0, 6, 0, 2, 0, 16, 0};
  q.insert(q.end(), rec.begin(), rec.end());
  auto s = sockaddr16(ip, 10240);
  q.insert(q.end(), s.begin(), s.end());
  feed(0x1008, q, master_, 10240);
  memcpy(gLocalUid, kUid, 21);
  int32_t counter = gPortGuessCounter;
  ovc_port_guess_registration(ip.c_str(), htons(10240), addr(ip, 10240));
  EXPECT_EQ(gPortGuessCounter, counter + 1);
  std::vector<pollfd> pf;
  for (auto& k : socks) pf.push_back({k->fd, POLLIN, 0});
  ASSERT_EQ(poll(pf.data(), pf.size(), 3000), 1);
  for (size_t i = 0; i < pf.size(); ++i)
    if (pf[i].revents & POLLIN) {
      Sock::Got g;
      ASSERT_TRUE(socks[i]->Recv(&g, 0));
      EXPECT_EQ(g.rx.head.type, 0x0105);
      EXPECT_EQ(g.rx.size, 288u);
      EXPECT_EQ(memcmp(g.rx.bytes + 16, kUid, 20), 0);
    }
}


TEST_F(Predict, SendCapHoldsTheKnockRate) {
  const uint32_t rate = 200;
  ovc_set_try_port_rate(rate);
  RandomID key{11, 12, 0};
  ovc_netaddr_t a[8];
  for (int i = 0; i < 8; ++i) a[i] = addr(loop_ip(10), (uint16_t)(25000 + 100 * i));
  AddTryPort(&key, 3, a, 8, 1, kUid);
  uint64_t before = ovc_try_port_knocks();
  uint32_t t0 = orv_monotonic_ms();
  Tick(500);  // 4000 knocks uncapped
  uint32_t ms = orv_monotonic_ms() - t0;
  uint64_t sent = ovc_try_port_knocks() - before;
  // A start of a tenth of a second's worth, then the rate over the time taken.
  EXPECT_LE(sent, rate / 10 + (uint64_t)rate * (ms + 1) / 1000 + 8) << ms << " ms";
  EXPECT_GE(sent, 8u);
}

TEST_F(Predict, EngineEndsWithItsLifetimeAndClosesTheExtraSockets) {
  ovc_set_try_port_times(300, 600000);
  RandomID key{13, 14, 0};
  ovc_netaddr_t a = addr(loop_ip(11), 26000);
  AddTryPort(&key, 100, &a, 1, 1, kUid);  // any first node fills the extra sockets
  int open = 0;
  for (auto& e : gSharedConnTable) open += e.conn != nullptr;
  EXPECT_EQ(open, OVC_SHARED_CONNS);
  {
    OvcSessionLockGuard g;
    ASSERT_EQ(ovc_start_try_port(1), 0);
  }
  for (int i = 0; i < 1000 && ovc_try_port_running(); ++i) usleep(10000);
  EXPECT_FALSE(ovc_try_port_running());
  EXPECT_TRUE(Nodes().empty());
  open = 0;
  for (auto& e : gSharedConnTable) open += e.conn != nullptr;
  EXPECT_EQ(open, 0) << "no session holds them, so the engine's release closes them";
}

}  // namespace
