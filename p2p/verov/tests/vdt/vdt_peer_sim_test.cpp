// A vdt connection of this library against the independent Python endpoint on loopback,
// plainly and with each of the peer's lies.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>

#include "vdt_peer_util.h"

namespace {

using namespace vdttest;

TEST(VdtPeer, StreamsBothWays) {
  PeerRun r;
  r.to_peer = 4 << 20;
  r.from_peer = 2 << 20;
  RunAgainstPeer(r);
}

TEST(VdtPeer, LiesAreDroppedOrCappedAndTheConnectionLives) {
  struct Case {
    const char* lie;
  } cases[] = {{"mtu-huge"}, {"ack-overcount"}, {"seq-far"}, {"third-hello"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.lie);
    PeerRun r;
    r.lies = {k.lie};
    int payload = 0;
    auto lines = RunAgainstPeer(r, &payload);
    EXPECT_LE(payload, 1384);  // a huge MTU reply is capped at the slot
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("REFLECTED")), 0);
  }
}

}  // namespace

namespace {

using namespace vdttest;

// Two connections of this library through tests/netns/relay.py, which duplicates and
// reorders datagrams both ways.
void ThroughRelay(size_t bytes) {
  vdt_init();
  uint16_t pa = 0, pb = 0;
  int sa = UdpSocket("127.0.0.1", 0, &pa);
  int sb = UdpSocket("127.0.0.1", 0, &pb);
  kvtest::PeerProcess relay;
  std::string ready;
  ASSERT_TRUE(relay.Launch({"/usr/bin/python3", std::string(KV_TESTS_DIR) + "/netns/relay.py", "--udp",
                            "127.0.0.1:0=127.0.0.1:" + std::to_string(pb), "--dup", "5", "--reorder",
                            "5", "--seed", "3"},
                           &ready));
  int a = vdt_create(sa, 65536, 512000);
  vdt_set_destaddr(a, "127.0.0.1", kvtest::ReadyPort(ready, "udp"));
  // The relay talks to B from a port of its own: B learns it from the first datagram.
  pollfd p{sb, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  sockaddr_in from{};
  socklen_t fl = sizeof(from);
  char peek[4];
  ASSERT_GE(recvfrom(sb, peek, sizeof(peek), MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &fl), 0);
  int b = vdt_create(sb, 65536, 512000);
  vdt_set_destaddr(b, "127.0.0.1", ntohs(from.sin_port));
  ASSERT_TRUE(WaitReady(a, 20000));
  ASSERT_TRUE(WaitReady(b, 20000));
  std::string s1, s2, r1, r2;
  bool ok[4] = {};
  std::thread t1([&] { ok[0] = SendStream(a, bytes, 21, &s1, 600000); });
  std::thread t2([&] { ok[1] = SendStream(b, bytes, 22, &s2, 600000); });
  std::thread t3([&] { ok[2] = ReceiveStream(b, bytes, &r1, 600000); });
  ok[3] = ReceiveStream(a, bytes, &r2, 600000);
  t1.join(), t2.join(), t3.join();
  EXPECT_TRUE(ok[0] && ok[1] && ok[2] && ok[3]);
  EXPECT_EQ(s1, r1);
  EXPECT_EQ(s2, r2);
  vdt_close(a);
  vdt_close(b);
}

TEST(VdtRelay, DuplicatedAndReorderedStreamsArriveIntact) { ThroughRelay(4 << 20); }

TEST(VdtRelay, DuplicatedAndReordered64MiBSlow) { ThroughRelay(64 << 20); }

}  // namespace
