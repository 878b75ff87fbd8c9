// The agent's direct-LAN mode over real OVC LAN sessions on loopback against the independent
// device peer (lanpeer.py --rct tunnel): the probe's outcome decides whether a mapping's bytes
// go straight to the device by TCP or through the reliable stream, and the peer's echo service
// tells which way each connection came. The relay keeps data intact and survives clients that
// vanish mid-transfer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tunnel/tnl_agent_internal.h"
#include "Tunnel/tnl_lan.h"
#include "lan_peer_proc.h"
#include "ovc_state.h"
#include "p2ptunnel_api.h"
#include "peer_util.h"

namespace {

int one_loopback(orvan_net_if_info_t* info) {
  memset(info, 0, sizeof *info);
  info->addr[0] = htonl(0x7F000001u);
  info->mask[0] = 0xFFFFFFFFu;
  return 1;
}

int connect_lo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t json_port(const std::string& line, const char* key) {
  size_t at = line.find(std::string("\"") + key + "\": ");
  return at == std::string::npos ? 0 : (uint16_t)std::stoi(line.substr(at + strlen(key) + 4));
}

uint8_t byte_at(uint64_t i) { return (uint8_t)(i * 131 + (i >> 11)); }

bool wait_until(const std::function<bool()>& pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Sends n pattern bytes and half-closes on one thread while this one reads the echo back and
// checks it; true when exactly n intact bytes and then the end came back.
bool echo_intact(int fd, uint64_t n) {
  std::thread w([&] {
    std::vector<uint8_t> buf(65536);
    for (uint64_t at = 0; at < n;) {
      size_t k = (size_t)std::min<uint64_t>(buf.size(), n - at);
      for (size_t i = 0; i < k; ++i) buf[i] = byte_at(at + i);
      ssize_t s = send(fd, buf.data(), k, MSG_NOSIGNAL);
      if (s <= 0) break;
      at += (uint64_t)s;
    }
    shutdown(fd, SHUT_WR);
  });
  std::vector<uint8_t> buf(65536);
  uint64_t got = 0;
  bool ok = true;
  for (;;) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 30000) <= 0) {
      ok = false;
      break;
    }
    ssize_t k = recv(fd, buf.data(), buf.size(), 0);
    if (k <= 0) break;
    for (ssize_t i = 0; i < k && ok; ++i) ok = buf[(size_t)i] == byte_at(got + (uint64_t)i);
    got += (uint64_t)k;
  }
  w.join();
  return ok && got == n;
}

std::vector<uint8_t> auth_block() {
  std::vector<uint8_t> b(128, 0);
  memcpy(b.data(), "camhost1", 8);
  memcpy(b.data() + 64, "Kv8 Wendrusq", 12);
  return b;
}

class TnlLanDirect : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  std::unique_ptr<ovc_test::LanPeer> peer;
  uint16_t echo = 0;
  std::string uid = "LANPEER00";
  int sid = -1;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    uid.resize(20, '0');
    // A silent device costs 5 idle reads, not 100; the TCP countdown gets room for a busy
    // machine's Python peer.
    tnl::SetLanProbeLimits(5, 20000);
  }
  // Agent up, peer up with the probe answered as mode says, session connected.
  void Connect(const std::string& probeMode) {
    ovc_set_interface_source(one_loopback);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    ASSERT_EQ(P2PTunnelAgentInitialize(4), 0);
    OVC_Setup_LANConnection_Timeout(3000);
    peer.reset(new ovc_test::LanPeer);
    ASSERT_TRUE(peer->Start({"--count", "1", "--rct", "tunnel", "--lan-probe", probeMode}));
    echo = json_port(peer->WaitFor({"services"}, 5000), "echo");
    ASSERT_NE(echo, 0);
    ASSERT_EQ(OVC_Set_LanSearchPort(peer->port()), 0);
    sid = P2PTunnelAgent_GetFreeSession();
    ASSERT_GE(sid, 0);
    std::vector<uint8_t> a = auth_block();
    ASSERT_EQ(P2PTunnelAgent_Connect_Parallel(uid.c_str(), sid, a.data(), 128, nullptr), sid);
  }
  void Disconnect() {
    P2PTunnelAgentDeInitialize();
    if (peer) peer->Stop();
  }
  void TearDown() override {
    Disconnect();
    tnl::SetLanProbeLimits(0, 0);
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  // The peer's record of the echo connection that carried n bytes: "direct" or "tunnel".
  std::string EchoVia(uint64_t n) {
    std::string line = peer->WaitFor({"echo-done", "\"bytes\": " + std::to_string(n) + ","}, 20000);
    if (line.find("\"via\": \"direct\"") != std::string::npos) return "direct";
    if (line.find("\"via\": \"tunnel\"") != std::string::npos) return "tunnel";
    return line.empty() ? "none" : line;
  }
};

}  // namespace

// Every outcome of the probe: only a device that completes the countdown over TCP moves the
// session's mappings to the direct path; every failure leaves them on the reliable stream.
TEST_F(TnlLanDirect, ProbeOutcomeChoosesTheMappingPath) {
  struct Case {
    const char* mode;
    bool direct;
  } cases[] = {
      {"accept", true},     // countdown answered
      {"refuse", false},    // the named TCP port is closed
      {"wrong", false},     // the reply carries a wrong answer
      {"badcount", false},  // the TCP countdown answers wrongly
      {"ignore", false},    // no reply on the stream
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Connect(c.mode);
    if (HasFatalFailure()) return;
    EXPECT_FALSE(peer->WaitFor({"lan-request"}, 5000).empty());
    int idx = P2PTunnelAgent_PortMapping(sid, 0, echo);
    ASSERT_GE(idx, 0);
    EXPECT_EQ(idx >= 10000, c.direct);
    uint16_t local = tnl_mapping_local_port(idx);
    ASSERT_NE(local, 0);
    int fd = connect_lo(local);
    ASSERT_GE(fd, 0);
    const uint64_t n = 65536 + 17;
    EXPECT_TRUE(echo_intact(fd, n));
    close(fd);
    EXPECT_EQ(EchoVia(n), c.direct ? "direct" : "tunnel");
    EXPECT_EQ(P2PTunnelAgent_StopPortMapping(idx), 0);
    EXPECT_LT(connect_lo(local), 0);
    EXPECT_EQ(P2PTunnelAgent_Abort(sid), 0);
    Disconnect();
  }
}

TEST_F(TnlLanDirect, SixteenMiBIntactOverTheDirectPath) {
  Connect("accept");
  int idx = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_GE(idx, 10000);
  int fd = connect_lo(tnl_mapping_local_port(idx));
  ASSERT_GE(fd, 0);
  const uint64_t n = 16u << 20;
  EXPECT_TRUE(echo_intact(fd, n));  // the end arrives after the last byte: half close carried
  close(fd);
  EXPECT_EQ(EchoVia(n), "direct");
  EXPECT_TRUE(wait_until([&] { return tnl::LanConnections(sid) == 0; }, 10000));
  EXPECT_GT(tnl::LanLastIO(sid), 0u);  // direct traffic counts as the session's I/O
  EXPECT_GE(P2PTunnel_LastIOTime(sid), (int)tnl::LanLastIO(sid));
}

TEST_F(TnlLanDirect, ClientsVanishingMidTransferLeaveTheRelayServing) {
  Connect("accept");
  int idx = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_GE(idx, 10000);
  const uint16_t local = tnl_mapping_local_port(idx);
  std::vector<int> fds;
  std::vector<uint8_t> chunk(256 * 1024, 0x5A);
  for (int i = 0; i < 8; ++i) {
    int fd = connect_lo(local);
    ASSERT_GE(fd, 0);
    ASSERT_GT(send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT), 0);
    fds.push_back(fd);
  }
  ASSERT_TRUE(wait_until([&] { return tnl::LanConnections(sid) == 8; }, 10000));
  for (int fd : fds) {  // reset with bytes still in flight both ways
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
  }
  EXPECT_TRUE(wait_until([&] { return tnl::LanConnections(sid) == 0; }, 20000));
  int fd = connect_lo(local);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(echo_intact(fd, 1u << 20));
  close(fd);
  EXPECT_EQ(EchoVia(1u << 20), "direct");
}

TEST_F(TnlLanDirect, StoppingOneMappingClosesOnlyItsConnections) {
  Connect("accept");
  int a = P2PTunnelAgent_PortMapping(sid, 0, echo);
  int b = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_EQ(a, 10000);  // the first direct-LAN mapping
  ASSERT_EQ(b, 10001);
  int fa = connect_lo(tnl_mapping_local_port(a));
  int fb = connect_lo(tnl_mapping_local_port(b));
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  ASSERT_TRUE(wait_until([&] { return tnl::LanConnections(sid) == 2; }, 10000));
  EXPECT_EQ(P2PTunnelAgent_StopPortMapping(a), 0);
  EXPECT_EQ(tnl::LanConnections(sid), 1);  // the stop returns once its connection is closed
  char c;
  pollfd pf{fa, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 10000), 1);
  EXPECT_LE(recv(fa, &c, 1, 0), 0);
  close(fa);
  EXPECT_TRUE(echo_intact(fb, 4096));
  close(fb);
  // A plain index never stops a direct-LAN mapping.
  EXPECT_EQ(P2PTunnelAgent_StopPortMapping(1), 0);
  EXPECT_NE(tnl_mapping_local_port(b), 0);
  EXPECT_EQ(P2PTunnelAgent_Abort(sid), 0);  // the session's end takes its mappings along
  EXPECT_EQ(tnl_mapping_local_port(b), 0);
}

// A device port nobody listens on: the local client's connection is closed (no half-open
// pair is kept) and the relay goes on serving the session's other mapping.
TEST_F(TnlLanDirect, UnreachableDevicePortClosesTheLocalConnection) {
  Connect("accept");
  int closedPort = 0;
  {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, (sockaddr*)&sa, sizeof sa), 0);
    socklen_t len = sizeof sa;
    getsockname(s, (sockaddr*)&sa, &len);
    closedPort = ntohs(sa.sin_port);
    close(s);
  }
  int dead = P2PTunnelAgent_PortMapping(sid, 0, (uint16_t)closedPort);
  int live = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_GE(dead, 10000);
  ASSERT_GE(live, 10000);
  for (int i = 0; i < 3; ++i) {
    int fd = connect_lo(tnl_mapping_local_port(dead));
    ASSERT_GE(fd, 0);
    pollfd pf{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 10000), 1);
    char c;
    EXPECT_LE(recv(fd, &c, 1, 0), 0);
    close(fd);
  }
  EXPECT_TRUE(wait_until([&] { return tnl::LanConnections(sid) == 0; }, 10000));
  int fd = connect_lo(tnl_mapping_local_port(live));
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(echo_intact(fd, 100000));
  close(fd);
}

// A cancel while the probe waits for a device that never replies ends the connect at once
// with "stopped", not after the probe's full wait.
TEST_F(TnlLanDirect, CancelDuringTheProbe) {
  tnl::SetLanProbeLimits(100, 0);  // ten seconds of idle reads
  ovc_set_interface_source(one_loopback);
  const uint32_t nets[1] = {htonl(0x7F000000u)};
  const int prefixes[1] = {8};
  ovc_set_lan_networks(nets, prefixes, 1);
  ASSERT_EQ(P2PTunnelAgentInitialize(4), 0);
  OVC_Setup_LANConnection_Timeout(3000);
  peer.reset(new ovc_test::LanPeer);
  ASSERT_TRUE(peer->Start({"--count", "1", "--rct", "tunnel", "--lan-probe", "ignore"}));
  ASSERT_FALSE(peer->WaitFor({"services"}, 5000).empty());
  ASSERT_EQ(OVC_Set_LanSearchPort(peer->port()), 0);
  sid = P2PTunnelAgent_GetFreeSession();
  ASSERT_GE(sid, 0);
  std::vector<uint8_t> a = auth_block();
  std::atomic<int> rc{1};
  std::thread t([&] { rc = P2PTunnelAgent_Connect_Parallel(uid.c_str(), sid, a.data(), 128, nullptr); });
  EXPECT_FALSE(peer->WaitFor({"lan-request"}, 10000).empty());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(P2PTunnelAgent_Connect_Stop_Parallel(uid.c_str(), sid), 0);
  t.join();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(rc.load(), TNL_ER_CONNECT_STOPPED);
  EXPECT_LT(ms, 7000);  // the probe alone would wait ten seconds
}
