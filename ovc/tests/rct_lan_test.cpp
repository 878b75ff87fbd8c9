// RCT channels over real OVC LAN sessions on loopback, against the independent Python RCT
// endpoint (tests/sim/ovc/rctpeer.py inside lanpeer.py --rct echo): data intact both ways, the
// orderly and the immediate end, creation edges, the heartbeat watchdog, and ends racing a
// blocked writer and a polling reader.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lan_peer_proc.h"
#include "ovc_state.h"
#include "peer_util.h"
#include "rct_internal.h"

namespace {

int one_loopback(orvan_net_if_info_t* info) {
  memset(info, 0, sizeof *info);
  info->addr[0] = htonl(0x7F000001u);
  info->mask[0] = 0xFFFFFFFFu;
  return 1;
}

using Clock = std::chrono::steady_clock;
int ms_since(Clock::time_point t) {
  return (int)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A stream that both ends can check without sharing it.
std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed | 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = (uint8_t)x;
  }
  return v;
}

class RctLan : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  ovc_test::LanPeer peer;
  int sid = -1;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void Start(bool notimeout = false, std::vector<std::string> peerArgs = {}) {
    if (notimeout) {
      FILE* f = fopen("notimeout", "w");
      ASSERT_NE(f, nullptr);
      fclose(f);
    }
    ovc_set_interface_source(one_loopback);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    ASSERT_EQ(OVC_Initialize2(0), 0);
    OVC_Setup_LANConnection_Timeout(3000);
    ASSERT_EQ(RCT_Initialize(), 128);
    peerArgs.insert(peerArgs.begin(), {"--count", "1", "--rct", "echo"});
    ASSERT_TRUE(peer.Start(peerArgs));
    ASSERT_EQ(OVC_Set_LanSearchPort(peer.port()), 0);
    std::string uid = "LANPEER00";
    uid.resize(20, '0');
    for (int i = 0; i < 3 && sid < 0; ++i) sid = OVC_Connect_ByUID(uid.c_str());
    ASSERT_GE(sid, 0);
    OVC_Set_Partial_Encryption(sid, 1);
  }
  void TearDown() override {
    RCT_DeInitialize();
    rct_set_heartbeat_ms(1000);
    peer.Stop();
    if (gOvcState != 0) OVC_DeInitialize();
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  // Writes the whole buffer while a second thread reads the echo; true when it came back intact.
  bool EchoRoundTrip(int id, const std::vector<uint8_t>& out) {
    std::vector<uint8_t> in;
    in.reserve(out.size());
    std::atomic<int> readErr{0};
    std::thread reader([&] {
      std::vector<uint8_t> buf(65536);
      while (in.size() < out.size()) {
        int n = RCT_Read(id, buf.data(), (int)buf.size(), 20000);
        if (n <= 0) {
          readErr = n;
          return;
        }
        in.insert(in.end(), buf.begin(), buf.begin() + n);
      }
    });
    size_t off = 0;
    int w = 0;
    while (off < out.size()) {
      size_t n = std::min<size_t>(50000, out.size() - off);
      w = RCT_Write(id, out.data() + off, (unsigned)n);
      if (w != (int)n) break;
      off += n;
    }
    EXPECT_EQ(RCT_Flush(id), 0);
    reader.join();
    EXPECT_EQ(off, out.size()) << "write " << w;
    EXPECT_EQ(readErr.load(), 0);
    return in == out;
  }
};

TEST_F(RctLan, DataComesBackIntactThroughTheEcho) {
  Start();
  int id = RCT_Create(sid, 5000, 1);
  ASSERT_GE(id, 0);
  EXPECT_EQ(RCT_Create(sid, 100, 1), RCT_ER_CHANNEL_TAKEN);
  EXPECT_TRUE(EchoRoundTrip(id, pattern(4 << 20, 11)));
  RCT_StatusEx ex;
  ASSERT_EQ(RCT_Private_Status_Check(RCT_PRIVATE_GUARD, id, &ex), 0);
  EXPECT_GE(ex.cwnd, 1);
  // The orderly end: the peer sees the FIN once everything was acknowledged.
  EXPECT_EQ(RCT_Destroy(id), 0);
  peer.Send("rct");
  std::string l = peer.WaitFor({"\"rct\"", "\"ended\": \"fin\""}, 5000);
  EXPECT_NE(l, "");
  EXPECT_NE(l.find("\"rx\": 4194304"), std::string::npos) << l;
  EXPECT_EQ(RCT_Abort(id), RCT_ER_INVALID_ID);  // the record is free
}

// The client sends its LAN connect datagram once. When it is lost, the session's first traffic
// carrying the offered key opens the session at the device, so the channel still comes up.
TEST_F(RctLan, ChannelComesUpWhenTheConnectDatagramIsLost) {
  Start(false, {"--drop-connect", "1"});
  int id = RCT_Create(sid, 5000, 1);
  ASSERT_GE(id, 0);
  EXPECT_TRUE(EchoRoundTrip(id, pattern(256 << 10, 5)));
  EXPECT_EQ(RCT_Destroy(id), 0);
}

TEST_F(RctLan, TwoChannelsOfOneSessionStaySeparate) {
  Start();
  int a = RCT_Create(sid, 5000, 2);
  int b = RCT_Create(sid, 5000, 3);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  std::vector<uint8_t> pa = pattern(300000, 3), pb = pattern(300000, 4);
  bool okA = false, okB = false;
  std::thread ta([&] { okA = EchoRoundTrip(a, pa); });
  okB = EchoRoundTrip(b, pb);
  ta.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
  EXPECT_EQ(RCT_Abort(a), 0);
  EXPECT_EQ(RCT_Abort(b), 0);
  EXPECT_EQ(RCT_Abort(a), RCT_ER_INVALID_ID);
  peer.Send("rct");
  EXPECT_NE(peer.WaitFor({"\"rct\"", "\"ended\": \"abort\""}, 5000), "");
}

TEST_F(RctLan, CreateGivesUpOnSilenceAndOnCreateExit) {
  Start();
  peer.Send("rctsilent");
  usleep(50000);
  auto t0 = Clock::now();
  EXPECT_EQ(RCT_Create(sid, 300, 4), RCT_ER_TIMEOUT);
  EXPECT_GE(ms_since(t0), 290);
  // The record was freed: the pair can be created again, and a create-exit ends that wait.
  std::atomic<int> r{1};
  std::thread t([&] { r = RCT_Create(sid, 0, 4); });
  int exitRc = RCT_ER_INVALID_ID;
  for (int i = 0; i < 400 && exitRc == RCT_ER_INVALID_ID; ++i) {
    exitRc = RCT_Create_Exit(sid, 4);
    if (exitRc == RCT_ER_INVALID_ID) usleep(5000);
  }
  t.join();
  EXPECT_EQ(exitRc, 0);
  EXPECT_EQ(r.load(), RCT_ER_CREATE_EXIT);
}

TEST_F(RctLan, WatchdogEndsASilentChannel) {
  rct_set_heartbeat_ms(5);
  Start();
  int id = RCT_Create(sid, 5000, 5);
  ASSERT_GE(id, 0);
  peer.Send("rctsilent");
  char buf[16];
  int r = 0;
  auto t0 = Clock::now();
  while (ms_since(t0) < 60000 && (r = RCT_Read(id, buf, sizeof buf, 50)) == RCT_ER_TIMEOUT) {
  }
  EXPECT_EQ(r, RCT_ER_CLOSED);
  EXPECT_EQ(RCT_Write(id, "x", 1), RCT_ER_INVALID_ID);
  EXPECT_EQ(RCT_Destroy(id), 0);
}

TEST_F(RctLan, NoWatchdogWithTheMarkerFile) {
  rct_set_heartbeat_ms(5);
  Start(true);
  EXPECT_EQ(rct_debug_mode(), 1);
  int id = RCT_Create(sid, 5000, 5);
  ASSERT_GE(id, 0);
  peer.Send("rctsilent");
  // 600 heartbeat periods: five times what would end the channel without the file.
  usleep(3000 * 1000);
  RctView v{};
  ASSERT_EQ(rct_view(id, &v), 0);
  EXPECT_EQ(v.recvState, 2);
  EXPECT_EQ(RCT_Write(id, "x", 1), 1);
  EXPECT_EQ(RCT_Abort(id), 0);
}

TEST_F(RctLan, UrgentDataIsAcknowledgedAndDelivered) {
  Start();
  int id = RCT_Create(sid, 5000, 8);
  ASSERT_GE(id, 0);
  ASSERT_EQ(RCT_Write(id, "head-", 5), 5);
  RCT_Write_UrgentData(RCT_PRIVATE_GUARD, id, "URGENT", 6);
  // The write buffer went out first, then the urgent packet; both come back in that order.
  char buf[32];
  std::string got;
  for (int i = 0; i < 50 && got.size() < 11; ++i) {
    int n = RCT_Read(id, buf, sizeof buf, 100);
    if (n > 0) got.append(buf, (size_t)n);
  }
  EXPECT_EQ(got, "head-URGENT");
  RCT_Status st{};
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(RCT_Status_Check(id, &st), 0);
    if (st.sendBytes == 0) break;
    usleep(10000);
  }
  EXPECT_EQ(st.sendBytes, 0u);
  EXPECT_EQ(RCT_Destroy(id), 0);
}

TEST_F(RctLan, ASessionClosedByThePeerEndsTheChannelWithItsCode) {
  Start();
  int id = RCT_Create(sid, 5000, 9);
  ASSERT_GE(id, 0);
  peer.Send("close");
  char buf[16];
  int r = RCT_ER_TIMEOUT;
  for (int i = 0; i < 100 && r == RCT_ER_TIMEOUT; ++i) r = RCT_Read(id, buf, sizeof buf, 50);
  EXPECT_EQ(r, OVC_ER_CLOSED_BY_PEER);
  EXPECT_EQ(RCT_Write(id, "x", 1), OVC_ER_CLOSED_BY_PEER);
  EXPECT_EQ(RCT_Abort(id), 0);
}

// Destroy, abort or de-initialisation while one thread is blocked in a write (nothing is
// acknowledged, so the send list stays full) and another polls for data.
enum class End { Destroy, Abort, DeInit };
class RctEnds : public RctLan, public ::testing::WithParamInterface<End> {};

TEST_P(RctEnds, RaceWithABlockedWriteAndAPollingRead) {
  Start();
  int id = RCT_Create(sid, 5000, 6);
  ASSERT_GE(id, 0);
  peer.Send("rctsilent");
  usleep(50000);
  std::atomic<bool> blocked{false};
  std::atomic<int> wr{1}, rd{1};
  std::thread writer([&] {
    std::vector<uint8_t> chunk(256 * 1024, 'w');
    for (;;) {
      RCT_Status st{};
      if (RCT_Status_Check(id, &st) == 0 && st.sendBytes > RCT_DEFAULT_SEND_LIMIT) blocked = true;
      int n = RCT_Write(id, chunk.data(), (unsigned)chunk.size());
      if (n < 0) {
        wr = n;
        return;
      }
    }
  });
  std::thread reader([&] {
    char buf[256];
    for (;;) {
      int n = RCT_Read(id, buf, sizeof buf, 20);
      if (n != RCT_ER_TIMEOUT) {
        rd = n;
        return;
      }
    }
  });
  for (int i = 0; i < 500 && !blocked; ++i) usleep(10000);
  EXPECT_TRUE(blocked.load());
  usleep(150000);
  auto t0 = Clock::now();
  switch (GetParam()) {
    case End::Destroy: EXPECT_EQ(RCT_Destroy(id), 0); break;
    case End::Abort: EXPECT_EQ(RCT_Abort(id), 0); break;
    case End::DeInit: EXPECT_EQ(RCT_DeInitialize(), 0); break;
  }
  writer.join();
  reader.join();
  // Destroy waits out the watchdog's short count (5 heartbeats) for the silent peer.
  EXPECT_LT(ms_since(t0), 20000);
  EXPECT_LT(wr.load(), 0);
  EXPECT_LT(rd.load(), 0);
  EXPECT_NE(rd.load(), RCT_ER_TIMEOUT);
}

std::string EndName(const ::testing::TestParamInfo<End>& i) {
  static const char* const names[] = {"Destroy", "Abort", "DeInit"};
  return names[(int)i.param];
}
INSTANTIATE_TEST_SUITE_P(Each, RctEnds, ::testing::Values(End::Destroy, End::Abort, End::DeInit), EndName);

TEST_F(RctLan, WatchdogEndsASilentChannelAfterTwoMinutesSlow) {
  Start();
  int id = RCT_Create(sid, 5000, 7);
  ASSERT_GE(id, 0);
  peer.Send("rctsilent");
  auto t0 = Clock::now();
  char buf[16];
  int r = 0;
  while (ms_since(t0) < 200000 && (r = RCT_Read(id, buf, sizeof buf, 1000)) == RCT_ER_TIMEOUT) {
  }
  int ms = ms_since(t0);
  EXPECT_EQ(r, RCT_ER_CLOSED);
  EXPECT_GE(ms, 110000);
  EXPECT_LE(ms, 180000);
}

}  // namespace
