// vdt across a veth pair between two private namespaces: this library on both ends (a helper
// process of this binary in NAME-dev) or the Python endpoint, under loss set with nftables,
// with a blackout, and on a path of MTU 1000.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>

#include <thread>

#include "netns_test.h"
#include "vdt_peer_util.h"

namespace {

using namespace vdttest;

const char* kDevIp = "198.51.100.1";
const char* kCliIp = "198.51.100.2";

size_t EnvSize(const char* name, size_t dflt) {  // the helper's sizes
  const char* v = getenv(name);
  return v ? static_cast<size_t>(strtoull(v, nullptr, 10)) : dflt;
}

// The other end: started by the tests below in NAME-dev through this binary. It binds,
// learns its destination from the first datagram, receives VDT_H_RECV bytes while sending
// VDT_H_SEND, reports both digests, and reports "CLOSED" when the connection ends.
TEST(VdtHelper, DISABLED_Endpoint) {
  uint16_t port = 0;
  int s = UdpSocket(getenv("VDT_H_BIND"), 0, &port);
  ASSERT_GE(s, 0);
  printf("READY udp=%u\n", port);
  fflush(stdout);
  unsigned char b[4];
  sockaddr_in from{};
  socklen_t fl = sizeof(from);
  pollfd p{s, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 30000), 1);
  ASSERT_GE(recvfrom(s, b, sizeof(b), MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &fl), 0);
  char ip[32];
  inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
  vdt_init();
  int id = vdt_create(s, 65536, 512000);
  vdt_set_destaddr(id, ip, ntohs(from.sin_port));
  ASSERT_TRUE(WaitReady(id, 20000));
  size_t to_send = EnvSize("VDT_H_SEND", 0), to_recv = EnvSize("VDT_H_RECV", 0);
  std::thread tx([&] {
    std::string sha;
    if (to_send && SendStream(id, to_send, 11, &sha, 600000))
      printf("SENT %zu %s\n", to_send, sha.c_str()), fflush(stdout);
  });
  std::string sha;
  if (to_recv && ReceiveStream(id, to_recv, &sha, 600000))
    printf("RECEIVED %zu %s\n", to_recv, sha.c_str()), fflush(stdout);
  std::vector<unsigned char> buf(65536);
  for (;;) {  // keeps reading until the connection ends
    int n = vdt_recv(id, buf.data(), static_cast<int>(buf.size()));
    if (n < 0) break;
    if (n == 0) SleepMs(5);
  }
  printf("CLOSED\n");
  fflush(stdout);
  tx.join();
}

struct Helper {
  kvtest::PeerProcess proc;
  uint16_t port = 0;
  bool Start(size_t send, size_t recv) {
    std::vector<std::string> argv = kvtest::InNetnsSide("dev");
    argv.insert(argv.end(), {"/usr/bin/env", "VDT_H_BIND=" + std::string(kDevIp),
                             "VDT_H_SEND=" + std::to_string(send),
                             "VDT_H_RECV=" + std::to_string(recv), kvtest::SelfExe(),
                             "--gtest_also_run_disabled_tests",
                             "--gtest_filter=VdtHelper.DISABLED_Endpoint"});
    std::string ready;
    if (!proc.Launch(argv, &ready)) return false;
    port = kvtest::ReadyPort(ready, "udp");
    return port != 0;
  }
  bool Saw(const std::string& line, int timeout_ms) {
    int64_t end = NowMs() + timeout_ms;
    do {
      for (auto& l : proc.Lines())
        if (l == line) return true;
      SleepMs(20);
    } while (NowMs() < end);
    return false;
  }
};

int Connect(const Helper& h) {
  vdt_init();
  uint16_t port = 0;
  int s = UdpSocket(kCliIp, 0, &port);
  int id = vdt_create(s, 65536, 512000);
  vdt_set_destaddr(id, kDevIp, h.port);
  return id;
}

// Both directions at once through the veth, one loss level per row.
void Exchange(int loss, size_t bytes) {
  SCOPED_TRACE("loss " + std::to_string(loss) + " %");
  ASSERT_TRUE(kvtest::SetNetnsLoss("cli", loss));
  Helper h;
  ASSERT_TRUE(h.Start(bytes, bytes));
  int id = Connect(h);
  ASSERT_TRUE(WaitReady(id, 30000));
  std::string sent, got;
  bool ok_tx = false, ok_rx = false;
  std::thread tx([&] { ok_tx = SendStream(id, bytes, 5, &sent, 600000); });
  ok_rx = ReceiveStream(id, bytes, &got, 600000);
  tx.join();
  ASSERT_TRUE(ok_tx && ok_rx);
  EXPECT_TRUE(h.Saw("RECEIVED " + std::to_string(bytes) + " " + sent, 30000));
  EXPECT_TRUE(h.Saw("SENT " + std::to_string(bytes) + " " + got, 30000));
  vdt_close(id);
  EXPECT_TRUE(h.Saw("CLOSED", 10000));
  kvtest::SetNetnsLoss("cli", 0);
}

TEST(VdtNetns, CppBothEndsUnderLoss) {
  KV_IN_PRIVATE_NETNS();
  for (int loss : {0, 1, 5, 10}) Exchange(loss, 8 << 20);
}

TEST(VdtNetns, CppBothEnds64MiBUnderLossSlow) {
  KV_IN_PRIVATE_NETNS();
  for (int loss : {0, 1, 5, 10}) Exchange(loss, 64 << 20);
}

void PeerUnderLoss(size_t bytes) {
  for (int loss : {0, 5}) {
    SCOPED_TRACE("loss " + std::to_string(loss) + " %");
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", loss));
    PeerRun r;
    r.local_ip = kCliIp;
    r.peer_ip = kDevIp;
    r.prefix = kvtest::InNetnsSide("dev");
    r.to_peer = r.from_peer = bytes;
    r.timeout_ms = 600000;
    RunAgainstPeer(r);
  }
  kvtest::SetNetnsLoss("cli", 0);
}

TEST(VdtNetns, PythonPeerUnderLoss) {
  KV_IN_PRIVATE_NETNS();
  PeerUnderLoss(2 << 20);
}

TEST(VdtNetns, PythonPeer16MiBUnderLossSlow) {
  KV_IN_PRIVATE_NETNS();
  PeerUnderLoss(16 << 20);
}

// Six seconds without a datagram close the connection; four do not.
TEST(VdtNetns, BlackoutOfSixSecondsClosesFourDoesNot) {
  KV_IN_PRIVATE_NETNS();
  struct Case {
    int blackout_ms;
    bool closes;
  } cases[] = {{4000, false}, {6000, true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.blackout_ms);
    Helper h;
    ASSERT_TRUE(h.Start(0, 0));
    int id = Connect(h);
    ASSERT_TRUE(WaitReady(id, 30000));
    std::atomic<bool> stop{false};
    std::thread ticker([&] {  // a message every 100 ms, as an idle session's keep-alives
      while (!stop.load()) {
        vdt_send(id, "tick", 4);
        SleepMs(100);
      }
    });
    SleepMs(500);
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 100));
    SleepMs(k.blackout_ms);
    ASSERT_TRUE(kvtest::SetNetnsLoss("cli", 0));
    if (k.closes) {
      EXPECT_FALSE(vdt_is_open(id));
    } else {
      SleepMs(1000);
      EXPECT_TRUE(vdt_is_open(id));
      int64_t end = NowMs() + 10000;
      while (!vdt_all_acked(id) && NowMs() < end) SleepMs(10);
      EXPECT_TRUE(vdt_all_acked(id));  // what waited through the blackout got across
    }
    stop = true;
    ticker.join();
    vdt_close(id);
  }
}

TEST(VdtNetns, MtuSettlesBelowThePath) {
  KV_IN_PRIVATE_NETNS();
  const char* pair = kvtest::NetnsPair();
  ASSERT_EQ(kvtest::Sh("ip link set kv0 mtu 1000"), 0);
  ASSERT_EQ(kvtest::Sh(std::string("ip netns exec ") + pair + "-dev ip link set kv0 mtu 1000"), 0);
  Helper h;
  ASSERT_TRUE(h.Start(1 << 20, 1 << 20));
  int id = Connect(h);
  ASSERT_TRUE(WaitReady(id, 30000));
  int payload = 0;
  vdt_get_free_size(id, &payload);
  EXPECT_LT(payload + 16 + 28, 1000 + 1);  // packet, UDP and IP heads within the MTU
  EXPECT_GE(payload + 16, 1000 - 28 - 64);  // and no more than one step below it
  std::string sent, got;
  std::thread tx([&] { SendStream(id, 1 << 20, 5, &sent, 60000); });
  EXPECT_TRUE(ReceiveStream(id, 1 << 20, &got, 60000));
  tx.join();
  EXPECT_TRUE(h.Saw("RECEIVED " + std::to_string(1 << 20) + " " + sent, 30000));
  vdt_close(id);
}

}  // namespace
