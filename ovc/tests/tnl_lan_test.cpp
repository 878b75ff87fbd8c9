// Tunnel sessions over real OVC LAN sessions and RCT channel 0 on loopback, against the
// independent device peer (lanpeer.py --rct tunnel, which serves the tunnel with tnlpeer.py
// on its own RCT endpoint).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tunnel/tnl_agent_internal.h"
#include "Tunnel/tnl_auth.h"
#include "Tunnel/tnl_rct_stream.h"
#include "Tunnel/tnl_session.h"
#include "lan_peer_proc.h"
#include "ovc_state.h"
#include "peer_util.h"
#include "p2ptunnel_api.h"
#include "rct_api.h"

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

uint8_t pattern_byte(uint64_t i) { return (uint8_t)((i % 65536) * 7); }

class TnlLan : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  ovc_test::LanPeer peer;
  int sid = -1, rct = -1;
  uint16_t echo = 0, source = 0;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void Start(const std::vector<std::string>& extra = {}) {
    ovc_set_interface_source(one_loopback);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    ASSERT_EQ(OVC_Initialize2(0), 0);
    OVC_Setup_LANConnection_Timeout(3000);
    ASSERT_EQ(RCT_Initialize(), 128);
    std::vector<std::string> args = {"--count", "1", "--rct", "tunnel"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(peer.Start(args));
    std::string svc = peer.WaitFor({"services"}, 5000);
    echo = json_port(svc, "echo");
    source = json_port(svc, "source");
    ASSERT_EQ(OVC_Set_LanSearchPort(peer.port()), 0);
    std::string uid = "LANPEER00";
    uid.resize(20, '0');
    for (int i = 0; i < 3 && sid < 0; ++i) sid = OVC_Connect_ByUID(uid.c_str());
    ASSERT_GE(sid, 0);
    rct = RCT_Create(sid, 5000, 0);
    ASSERT_GE(rct, 0);
  }
  void TearDown() override {
    if (rct >= 0) RCT_Abort(rct);
    RCT_DeInitialize();
    peer.Stop();
    if (gOvcState != 0) OVC_DeInitialize();
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
};

std::vector<uint8_t> auth_block() {
  std::vector<uint8_t> b(128, 0);
  memcpy(b.data(), "camhost1", 8);
  memcpy(b.data() + 64, "Kv8 Wendrusq", 12);
  return b;
}

}  // namespace

TEST_F(TnlLan, RejectedWithTheDevicesResult) {
  Start({"--auth", "reject=-5"});
  tnl::RctStream stream(rct);
  std::vector<uint8_t> a = auth_block();
  int result = 0;
  EXPECT_EQ(tnl::AgentAuthenticate(stream, a.data(), 128, &result, 10000), -30008);
  EXPECT_EQ(result, -5);
}

TEST_F(TnlLan, ChannelsCarryEchoAndASourceThroughRct) {
  Start({"--auth", "accept=0", "--source-bytes", std::to_string(4 << 20)});
  tnl::RctStream stream(rct);
  std::vector<uint8_t> a = auth_block();
  int result = 9;
  ASSERT_EQ(tnl::AgentAuthenticate(stream, a.data(), 128, &result, 10000), 0);
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(peer.WaitFor({"Kv8 Wendrusq"}, 5000).empty());
  tnl::TunnelSession session(&stream, tnl::SessionConfig{});
  ASSERT_TRUE(session.Start());

  // Echo on 8 channels at once, each 256 KiB, half-closed after sending.
  std::vector<std::thread> ts;
  std::vector<size_t> got(8, 0);
  for (int i = 0; i < 8; ++i) {
    ts.emplace_back([&, i] {
      int sv[2];
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
      ASSERT_GE(session.OpenChannel(sv[0], 0x7F000001, echo), 0);
      const size_t each = 256 * 1024;
      std::thread w([&] {
        std::vector<uint8_t> out(each);
        for (size_t j = 0; j < each; ++j) out[j] = pattern_byte(j + i);
        EXPECT_EQ(send(sv[1], out.data(), each, MSG_NOSIGNAL), (ssize_t)each);
        shutdown(sv[1], SHUT_WR);
      });
      std::vector<uint8_t> in(65536);
      for (;;) {
        ssize_t k = recv(sv[1], in.data(), in.size(), 0);
        if (k <= 0) break;
        for (ssize_t j = 0; j < k; ++j) ASSERT_EQ(in[j], pattern_byte(got[i] + j + i));
        got[i] += (size_t)k;
      }
      w.join();
      close(sv[1]);
    });
  }
  for (auto& t : ts) t.join();
  for (size_t g : got) EXPECT_EQ(g, 256u * 1024);

  // The source's 4 MiB to a reader that stalls first: paused, resumed, nothing lost.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  ASSERT_GE(session.OpenChannel(sv[0], 0x7F000001, source), 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (session.Stats().pausesSent.load() == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(session.Stats().pausesSent.load(), 1u);
  std::vector<uint8_t> in(65536);
  size_t total = 0;
  for (;;) {
    ssize_t k = recv(sv[1], in.data(), in.size(), 0);
    if (k <= 0) break;
    for (ssize_t j = 0; j < k; ++j) ASSERT_EQ(in[j], pattern_byte(total + j));
    total += (size_t)k;
  }
  EXPECT_EQ(total, 4u << 20);
  EXPECT_GE(session.Stats().resumesSent.load(), 1u);
  close(sv[1]);

  // An open that the device sends is refused.
  peer.Send("tnlopen 77 " + std::to_string(echo));
  EXPECT_FALSE(peer.WaitFor({"\"refused\"", "\"c\": 77"}, 10000).empty());
  EXPECT_TRUE(session.InUse());
  session.Stop();
}

// The agent's flat interface over the same LAN sessions: connect by UID with the fixed
// authentication block, map a local port, stop it, end the session; and a cancel at each of
// the three stages of a connect.
namespace {

class TnlAgentApi : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  ovc_test::LanPeer peer;
  uint16_t echo = 0;
  std::string uid = "LANPEER00";

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    uid.resize(20, '0');
  }
  void Start(const std::vector<std::string>& extra = {}, int lanTimeoutMs = 3000) {
    ovc_set_interface_source(one_loopback);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    ASSERT_EQ(P2PTunnelAgentInitialize(4), 0);
    EXPECT_EQ(P2PTunnelAgentInitialize(4), TNL_ER_ALREADY_INITIALIZED);
    OVC_Setup_LANConnection_Timeout(lanTimeoutMs);
    std::vector<std::string> args = {"--count", "1", "--rct", "tunnel"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(peer.Start(args));
    echo = json_port(peer.WaitFor({"services"}, 5000), "echo");
    ASSERT_EQ(OVC_Set_LanSearchPort(peer.port()), 0);
  }
  void TearDown() override {
    P2PTunnelAgentDeInitialize();
    tnl_set_auth_timeout_ms(0);
    peer.Stop();
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  // Connects on a thread and cancels once the peer shows the stage was reached.
  int ConnectAndCancel(const std::string& id, const char* stageEvent, int* elapsedMs) {
    int sid = P2PTunnelAgent_GetFreeSession();
    EXPECT_GE(sid, 0);
    std::vector<uint8_t> a = auth_block();
    std::atomic<int> rc{1};
    auto t0 = std::chrono::steady_clock::now();
    std::thread t([&] { rc = P2PTunnelAgent_Connect_Parallel(id.c_str(), sid, a.data(), 128, nullptr); });
    if (stageEvent) EXPECT_FALSE(peer.WaitFor({stageEvent}, 10000).empty());
    else std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(P2PTunnelAgent_Connect_Stop_Parallel(id.c_str(), sid), 0);
    t.join();
    *elapsedMs = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - t0).count();
    return rc.load();
  }
};

}  // namespace

TEST_F(TnlAgentApi, ConnectMapStopAndEnd) {
  Start();
  int sid = P2PTunnelAgent_GetFreeSession();
  ASSERT_GE(sid, 0);
  std::vector<uint8_t> a = auth_block();
  int result = 5;
  ASSERT_EQ(P2PTunnelAgent_Connect_Parallel(uid.c_str(), sid, a.data(), 128, &result), sid);
  EXPECT_EQ(result, 0);
  int idx = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_GE(idx, 0);
  uint16_t local = tnl_mapping_local_port(idx);
  ASSERT_NE(local, 0);
  EXPECT_EQ(P2PTunnelAgent_PortMapping(sid, local, echo), TNL_ER_BIND);  // port taken; no slot kept
  int fd = connect_lo(local);
  ASSERT_GE(fd, 0);
  const char msg[] = "through the tunnel";
  ASSERT_EQ(send(fd, msg, sizeof msg, MSG_NOSIGNAL), (ssize_t)sizeof msg);
  char back[sizeof msg];
  ASSERT_EQ(recv(fd, back, sizeof back, MSG_WAITALL), (ssize_t)sizeof back);
  EXPECT_EQ(memcmp(back, msg, sizeof msg), 0);
  close(fd);
  EXPECT_EQ(P2PTunnelAgent_StopPortMapping(idx + 10000), 0);
  EXPECT_LT(connect_lo(local), 0);
  EXPECT_EQ(P2PTunnel_SetBufSize(sid, 1000), 0);
  EXPECT_EQ(P2PTunnel_SetBufSize(sid, 0), TNL_ER_INVALID_ARG);
  EXPECT_GT(P2PTunnel_LastIOTime(sid), 0);
  EXPECT_EQ(P2PTunnelAgent_Abort(sid), 0);
  EXPECT_EQ(P2PTunnelAgent_Abort(4), TNL_ER_INVALID_ARG);
  EXPECT_EQ(P2PTunnel_LastIOTime(sid), TNL_ER_SESSION_NOT_IN_USE);
  EXPECT_EQ(P2PTunnelAgent_Connect_Stop_Parallel("NOBODY", sid), TNL_ER_NOT_CONNECTING);
  std::vector<uint8_t> big(1001, 1);
  EXPECT_EQ(P2PTunnelAgent_Connect_Parallel(uid.c_str(), sid, big.data(), 1001, nullptr), TNL_ER_INVALID_ARG);
  EXPECT_EQ(P2PTunnelAgent_Connect_Parallel(uid.c_str(), sid, nullptr, 5, nullptr), TNL_ER_INVALID_ARG);
}

TEST_F(TnlAgentApi, CancelWhileWaitingForTheVerdict) {
  Start({"--auth", "silent"});
  int ms = 0;
  EXPECT_EQ(ConnectAndCancel(uid, "\"auth\"", &ms), TNL_ER_CONNECT_STOPPED);
  EXPECT_LT(ms, 10000);  // far below the 30 s verdict wait
}

TEST_F(TnlAgentApi, CancelWhileTheReliableChannelIsCreated) {
  Start();
  peer.Send("rctsilent");
  int ms = 0;
  EXPECT_EQ(ConnectAndCancel(uid, "\"connected\"", &ms), RCT_ER_CREATE_EXIT);
  EXPECT_LT(ms, 10000);  // far below the 30 s create wait
}

TEST_F(TnlAgentApi, CancelDuringTheSessionConnect) {
  Start({}, 20000);
  std::string nobody = "NOBODY000";
  nobody.resize(20, '0');
  int ms = 0;
  EXPECT_LT(ConnectAndCancel(nobody, nullptr, &ms), 0);
  EXPECT_LT(ms, 15000);  // far below the 20 s LAN connect wait
}
