// The Orvan tunnel with its agent running on loopback (the OVC layer's interfaces pinned to
// 127.0.0.1) against the independent device peer lanpeer.py --rct tunnel: a request gets a
// local port that reaches the device's service with path flag 2 (LAN); a stop during the
// connect cancels it with no callback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tunnel/tnl_lan.h"
#include "lan_peer_proc.h"
#include "orvan_tunnel.h"
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

struct Answer {
  std::atomic<int> calls{0};
  std::atomic<int> port{-1};
  std::atomic<int> path{-1};
};

void on_port(uint16_t port, _P2P_INFO_* info) {
  auto* a = static_cast<Answer*>(info->pUser);
  a->port = port;
  a->path = info->nPathFlag;
  a->calls++;
}

// Ports the tunnel draws for its local listeners, in order (tests choose them).
std::mutex gDrawMu;
std::vector<uint16_t> gDraws;
uint16_t next_draw() {
  std::lock_guard<std::mutex> g(gDrawMu);
  if (gDraws.empty()) return 0;
  uint16_t p = gDraws.front();
  gDraws.erase(gDraws.begin());
  return p;
}

// A listening loopback socket on a port the kernel chose; its port through *port.
int listen_any(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, (sockaddr*)&sa, sizeof sa) != 0 || listen(fd, 1) != 0) return -1;
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr*)&sa, &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

bool wait_until(const std::function<bool()>& pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class OrvanLan : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  ovc_test::LanPeer peer;
  uint16_t echo = 0;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    ovc_set_interface_source(one_loopback);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    OVC_Setup_LANConnection_Timeout(3000);
    kv_orvan_set_agent_start(nullptr);  // the real agent, confined to loopback above
    tnl::SetLanProbeLimits(0, 20000);   // room for a busy machine's Python peer
  }
  void StartPeer(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--count", "1", "--rct", "tunnel"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(peer.Start(args));
    std::string svc = peer.WaitFor({"services"}, 5000);
    size_t at = svc.find("\"echo\": ");
    ASSERT_NE(at, std::string::npos);
    echo = (uint16_t)std::stoi(svc.substr(at + 8));
    ASSERT_EQ(OVC_Set_LanSearchPort(peer.port()), 0);
  }
  void TearDown() override {
    peer.Stop();
    CP2PTunnel::SetPortDrawForTest(nullptr);
    tnl::SetLanProbeLimits(0, 0);
    kv_orvan_set_agent_start([](int) { return -30000; });
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  _P2P_REQUEST_INFO_ Request(Answer* a, uint16_t port) {
    _P2P_REQUEST_INFO_ r;
    memset(&r, 0, sizeof r);
    std::string uid = "LANPEER00";
    uid.resize(20, '0');
    snprintf(r.szDevID, sizeof r.szDevID, "%s", uid.c_str());
    r.nDevPort = port;
    r.nLoginType = 2;
    r.pUser = a;
    r.callback = on_port;
    r.handBack = 7;
    return r;
  }
};

}  // namespace

TEST_F(OrvanLan, RequestMapsALocalPortToTheDeviceOverTheLan) {
  StartPeer();
  {
    COrvanP2PTunnel t;
    ASSERT_TRUE(t.Started());
    Answer a;
    _P2P_REQUEST_INFO_ r = Request(&a, echo);
    long h = t.StartGetIPAndPort(&r);
    ASSERT_EQ(h, 1);
    ASSERT_TRUE(wait_until([&] { return a.calls.load() == 1; }, 20000));
    ASSERT_GT(a.port.load(), 0);
    EXPECT_EQ(a.path.load(), 2);
    EXPECT_FALSE(peer.WaitFor({"\"auth\"", "Kv8 Wendrusq"}, 5000).empty());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)a.port.load());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, (sockaddr*)&sa, sizeof sa), 0);
    const char msg[] = "login type 2";
    ASSERT_EQ(send(fd, msg, sizeof msg, MSG_NOSIGNAL), (ssize_t)sizeof msg);
    char back[sizeof msg];
    ASSERT_EQ(recv(fd, back, sizeof back, MSG_WAITALL), (ssize_t)sizeof back);
    EXPECT_EQ(memcmp(back, msg, sizeof msg), 0);
    // The local client vanishes mid-use; the process goes on.
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
    EXPECT_EQ(t.StopGetIPAndPort(h), 1);
    EXPECT_TRUE(wait_until([&] { return t.ConnectedAgents() == 0; }, 10000));
    EXPECT_EQ(a.calls.load(), 1);
    t.BackgroundDestroy();
  }
}

// A device that answers the direct-LAN probe: the request's port reaches the service by a
// direct TCP connection (the peer's echo service says so), still with path flag 2.
TEST_F(OrvanLan, DeviceAnsweringTheProbeIsReachedDirectly) {
  StartPeer({"--lan-probe", "accept"});
  COrvanP2PTunnel t;
  ASSERT_TRUE(t.Started());
  Answer a;
  _P2P_REQUEST_INFO_ r = Request(&a, echo);
  long h = t.StartGetIPAndPort(&r);
  ASSERT_EQ(h, 1);
  ASSERT_TRUE(wait_until([&] { return a.calls.load() == 1; }, 20000));
  ASSERT_GT(a.port.load(), 0);
  EXPECT_EQ(a.path.load(), 2);
  EXPECT_FALSE(peer.WaitFor({"lan-probe", "\"ok\": true"}, 5000).empty());
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)a.port.load());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, (sockaddr*)&sa, sizeof sa), 0);
  const char msg[] = "login type 22";
  ASSERT_EQ(send(fd, msg, sizeof msg, MSG_NOSIGNAL), (ssize_t)sizeof msg);
  char back[sizeof msg];
  ASSERT_EQ(recv(fd, back, sizeof back, MSG_WAITALL), (ssize_t)sizeof back);
  EXPECT_EQ(memcmp(back, msg, sizeof msg), 0);
  close(fd);
  EXPECT_FALSE(peer.WaitFor({"echo-done", "\"via\": \"direct\""}, 10000).empty());
  EXPECT_EQ(t.StopGetIPAndPort(h), 1);
  EXPECT_TRUE(wait_until([&] { return t.ConnectedAgents() == 0; }, 10000));
  t.BackgroundDestroy();
}

// A drawn local port that another socket of the machine holds is drawn again instead of
// failing the request (two processes seeded in the same millisecond draw the same ports).
TEST_F(OrvanLan, ATakenLocalPortIsDrawnAgain) {
  StartPeer();
  uint16_t taken = 0, freePort = 0;
  int holder = listen_any(&taken);
  ASSERT_GE(holder, 0);
  int probe = listen_any(&freePort);
  ASSERT_GE(probe, 0);
  close(probe);  // free again; the kernel does not hand it out at once
  {
    std::lock_guard<std::mutex> g(gDrawMu);
    gDraws = {taken, taken, freePort};  // a port given back may be drawn again
  }
  CP2PTunnel::SetPortDrawForTest(next_draw);
  COrvanP2PTunnel t;
  ASSERT_TRUE(t.Started());
  Answer a;
  _P2P_REQUEST_INFO_ r = Request(&a, echo);
  long h = t.StartGetIPAndPort(&r);
  ASSERT_EQ(h, 1);
  ASSERT_TRUE(wait_until([&] { return a.calls.load() == 1; }, 20000));
  EXPECT_EQ(a.port.load(), freePort);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(freePort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, (sockaddr*)&sa, sizeof sa), 0);
  const char msg[] = "drawn again";
  ASSERT_EQ(send(fd, msg, sizeof msg, MSG_NOSIGNAL), (ssize_t)sizeof msg);
  char back[sizeof msg];
  ASSERT_EQ(recv(fd, back, sizeof back, MSG_WAITALL), (ssize_t)sizeof back);
  EXPECT_EQ(memcmp(back, msg, sizeof msg), 0);
  close(fd);
  close(holder);
  EXPECT_EQ(t.StopGetIPAndPort(h), 1);
  EXPECT_TRUE(wait_until([&] { return t.ConnectedAgents() == 0; }, 10000));
  t.BackgroundDestroy();
}

TEST_F(OrvanLan, StopDuringTheConnectCancelsItWithoutCallback) {
  StartPeer({"--auth", "silent"});
  COrvanP2PTunnel t;
  ASSERT_TRUE(t.Started());
  Answer a;
  _P2P_REQUEST_INFO_ r = Request(&a, echo);
  long h = t.StartGetIPAndPort(&r);
  ASSERT_GT(h, 0);
  ASSERT_FALSE(peer.WaitFor({"\"auth\""}, 10000).empty());
  EXPECT_EQ(t.StopGetIPAndPort(h), 1);
  // The worker's connect ends well before the 30 s verdict wait, and no callback follows.
  EXPECT_TRUE(wait_until([&] { return t.ConnectedAgents() == 0; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(a.calls.load(), 0);
  // The stop and the cancelled worker count the request out once between them.
  EXPECT_TRUE(wait_until([&] { return t.TasksRunning() == 0; }, 10000));
  EXPECT_EQ(t.ConnectedAgents(), 0);
  t.BackgroundDestroy();
}
