// LAN search, connect by UID over the LAN and session traffic against the independent Python
// LAN devices (tests/sim/ovc/lanpeer.py) on loopback. The "directed broadcasts" go to the
// devices' own loopback addresses (each a /32 network), so nothing leaves the host.
#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lan_peer_proc.h"
#include "ovc_state.h"
#include "peer_util.h"

namespace {

int g_ifcount = 3;
int loopback_interfaces(orvan_net_if_info_t* info) {
  memset(info, 0, sizeof *info);
  for (int i = 0; i < g_ifcount && i < 4; ++i) {
    info->addr[i] = htonl(0x7F000001u + (uint32_t)i);
    info->mask[i] = 0xFFFFFFFFu;
  }
  return g_ifcount;
}

using Clock = std::chrono::steady_clock;
static int ms_since(Clock::time_point t) {
  return (int)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class Lan : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  ovc_test::LanPeer peer;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    g_ifcount = 3;
    ovc_set_interface_source(loopback_interfaces);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    ASSERT_EQ(OVC_Initialize2(0), 0);
    OVC_Setup_LANConnection_Timeout(3000);
  }
  void TearDown() override {
    peer.Stop();
    if (gOvcState != 0) EXPECT_EQ(OVC_DeInitialize(), 0);
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    ovc_set_connect_time_scale(100);
    OVC_Setup_Session_Alive_Timeout(60);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  void StartPeer(std::vector<std::string> args) {
    ASSERT_TRUE(peer.Start(args));
    ASSERT_EQ(OVC_Set_LanSearchPort(peer.port()), 0);
  }
  std::string Uid(int i) {
    char b[32];
    snprintf(b, sizeof b, "LANPEER%02d", i);
    std::string s = b;
    s.resize(20, '0');
    return s;
  }
  int Connect(int i) {
    int sid = OVC_Connect_ByUID(Uid(i).c_str());
    return sid;
  }
};

TEST_F(Lan, Search2FindsEveryDeviceWithItsAddressPortAndName) {
  StartPeer({"--count", "3"});
  OVC_LanSearchEntry2 r[8];
  int n = OVC_Lan_Search2(r, 8, 300);
  ASSERT_EQ(n, 3);
  std::map<std::string, const OVC_LanSearchEntry2*> by_uid;
  for (int i = 0; i < n; ++i) by_uid[r[i].uid] = &r[i];
  for (int i = 0; i < 3; ++i) {
    auto it = by_uid.find(Uid(i));
    ASSERT_NE(it, by_uid.end()) << Uid(i);
    char ip[32];
    snprintf(ip, sizeof ip, "127.0.0.%d", i + 1);
    EXPECT_STREQ(it->second->ip, ip);
    EXPECT_EQ(it->second->port, peer.port());
    EXPECT_EQ(std::string(it->second->name), "lanpeer device " + std::to_string(i));
  }
  // The plain form converts to dotted IPv4 as well; a full array ignores further devices.
  OVC_LanSearchEntry small[2];
  EXPECT_EQ(OVC_Lan_Search(small, 2, 200), 2);
  EXPECT_EQ(OVC_Lan_Search(nullptr, 2, 200), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_Lan_Search2(r, 0, 200), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_Lan_Search2_Ex(r, 4, 200, 0), OVC_ER_INVALID_ARG);
}

TEST_F(Lan, RequestsCarryTokensInTurnAndExSendsItsRounds) {
  g_ifcount = 1;
  StartPeer({"--count", "1", "--token", "9"});
  OVC_LanSearchEntry2 r[4];
  auto t0 = Clock::now();
  OVC_Lan_Search2(r, 4, 120);
  EXPECT_GE(ms_since(t0), 140);
  ASSERT_NE(peer.WaitFor({"\"token\": 2"}, 2000), "");
  std::vector<std::string> searches;
  for (auto& l : peer.Lines())
    if (l.find("\"search\"") != std::string::npos) searches.push_back(l);
  ASSERT_EQ(searches.size(), 3u);
  EXPECT_NE(searches[0].find("\"type\": 1537"), std::string::npos);  // 0x0601
  EXPECT_NE(searches[0].find("\"marker\": 1"), std::string::npos);
  EXPECT_NE(searches[1].find("\"type\": 1539"), std::string::npos);  // 0x0603
  EXPECT_NE(searches[1].find("\"token\": 1"), std::string::npos);
  EXPECT_NE(searches[2].find("\"token\": 2"), std::string::npos);
  // A device whose token is 9 answered only the plain request; the answer still counts.
  size_t before = peer.Lines().size();
  EXPECT_EQ(OVC_Lan_Search2_Ex(r, 4, 1000, 300), 1);
  usleep(100000);
  int rounds = 0;
  auto lines = peer.Lines();
  for (size_t i = before; i < lines.size(); ++i)
    if (lines[i].find("\"search\"") != std::string::npos) ++rounds;
  EXPECT_EQ(rounds, 4);
}

TEST_F(Lan, BackgroundSearchModesAndCodes) {
  StartPeer({"--count", "2"});
  EXPECT_EQ(OVC_Search_Device_Start(-1, 0), OVC_ER_INVALID_ARG);
  ASSERT_EQ(OVC_Search_Device_Start(0, 5), 0);
  EXPECT_EQ(OVC_Search_Device_Start(0, 0), OVC_ER_SEARCH_RUNNING);
  OVC_SearchDeviceEntry out[8];
  EXPECT_EQ(OVC_Search_Device_Result(out, 8, 2), OVC_ER_INVALID_ARG);
  int got = 0;
  for (int i = 0; i < 100 && got < 2; ++i) {
    usleep(20000);
    int n = OVC_Search_Device_Result(out + got, 8 - got, 0);
    ASSERT_GE(n, 0);
    got += n;
  }
  EXPECT_EQ(got, 2);
  EXPECT_EQ(OVC_Search_Device_Result(out, 8, 0), 0);  // each device once in mode 0
  EXPECT_EQ(OVC_Search_Device_Result(out, 8, 1), 2);  // all so far in mode 1
  EXPECT_STREQ(out[0].ip[0] == '1' ? "ok" : out[0].ip, "ok");
  EXPECT_EQ(OVC_Search_Device_Stop(), 0);
  EXPECT_EQ(OVC_Search_Device_Result(out, 8, 1), OVC_ER_SEARCH_NOT_RUNNING);
  EXPECT_EQ(OVC_Search_Device_Stop(), OVC_ER_SEARCH_NOT_RUNNING);
  // A lifetime ends the search by itself.
  ASSERT_EQ(OVC_Search_Device_Start(200, 50), 0);
  int rc = 0;
  for (int i = 0; i < 500 && rc >= 0; ++i) {
    usleep(20000);
    rc = OVC_Search_Device_Result(out, 8, 1);
  }
  EXPECT_EQ(rc, OVC_ER_SEARCH_NOT_RUNNING);
}

TEST_F(Lan, SearchesWhoseLifetimeEndsAtOnceLeaveNoStaleTask) {
  StartPeer({"--count", "1"});
  // A lifetime of 1 ms ends the task on its second run; the start must have stored or deleted
  // the task before then (ASan catches a delete of a task the task thread already freed).
  OVC_SearchDeviceEntry out[4];
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(OVC_Search_Device_Start(1, 10), 0);
    int rc = 0;
    for (int i = 0; i < 500 && rc >= 0; ++i) {
      usleep(2000);
      rc = OVC_Search_Device_Result(out, 4, 1);
    }
    EXPECT_EQ(rc, OVC_ER_SEARCH_NOT_RUNNING);
  }
  EXPECT_EQ(OVC_Search_Device_Stop(), OVC_ER_SEARCH_NOT_RUNNING);
}

TEST_F(Lan, LateAnswersNeverReachAReturnedArray) {
  StartPeer({"--count", "3"});
  // The array is poisoned after the call; answers still arriving must not touch it (ASan would
  // also catch a write into the freed copy).
  for (int round = 0; round < 5; ++round) {
    auto* r = new OVC_LanSearchEntry2[4];
    OVC_Lan_Search2(r, 4, 50);
    memset(r, 0x5A, sizeof(OVC_LanSearchEntry2) * 4);
    std::vector<uint8_t> snap(reinterpret_cast<uint8_t*>(r), reinterpret_cast<uint8_t*>(r) + sizeof(OVC_LanSearchEntry2) * 4);
    usleep(60000);
    EXPECT_EQ(memcmp(snap.data(), r, snap.size()), 0);
    delete[] r;
  }
}

TEST_F(Lan, ConnectByUidOverTheLanWithEmptyMasters) {
  StartPeer({"--count", "3"});
  auto t0 = Clock::now();
  int sid = Connect(1);
  int took = ms_since(t0);
  ASSERT_GE(sid, 0) << sid;
  EXPECT_LT(took, 3000);  // the LAN answer comes within a round of the search task
  OVC_SessionInfo info;
  memset(&info, 0, sizeof info);
  info.size = 156;
  ASSERT_EQ(OVC_Session_Check_Ex(sid, &info), 0);
  EXPECT_EQ(info.mode, 2);
  EXPECT_STREQ(info.remoteIp, "127.0.0.2");
  EXPECT_EQ(info.remotePort, peer.port());
  EXPECT_NE(peer.WaitFor({"\"connected\"", "\"dev\": 1"}, 2000), "");
  OVC_Session_Close(sid);
  EXPECT_NE(peer.WaitFor({"\"closed\"", "\"dev\": 1"}, 2000), "");
}

TEST_F(Lan, AbsentUidFailsAfterTheLanTimeoutAndStopEndsWith27) {
  StartPeer({"--count", "1"});
  OVC_Setup_LANConnection_Timeout(400);
  auto t0 = Clock::now();
  EXPECT_EQ(OVC_Connect_ByUID("ABSENTDEVICE00000000"), OVC_ER_MASTER_UNRESOLVED);
  EXPECT_GE(ms_since(t0), 350);
  EXPECT_EQ(OVC_Connect_ByUID("SHORT"), OVC_ER_INVALID_UID);
  EXPECT_EQ(OVC_Connect_ByUID("ABSENTDEVICE-0000000"), OVC_ER_INVALID_UID);
  EXPECT_EQ(OVC_Connect_ByUID_Parallel(Uid(0).c_str(), 5), OVC_ER_INVALID_SID);
  EXPECT_EQ(OVC_Connect_ByUID_Parallel(Uid(0).c_str(), -3), OVC_ER_INVALID_SID);
  // Stop from another thread while a connect to an absent device runs.
  OVC_Setup_LANConnection_Timeout(5000);
  // The stop is repeated until the connect returns: a connect clears the flag as it starts.
  std::atomic<bool> returned{false};
  std::thread stopper([&returned] {
    while (!returned) {
      usleep(100000);
      OVC_Connect_Stop();
    }
  });
  EXPECT_EQ(OVC_Connect_ByUID("ABSENTDEVICE00000000"), OVC_ER_CONNECT_STOPPED);
  returned = true;
  stopper.join();
  // A caller-reserved session is stopped by its own flag only.
  int sid = OVC_Get_SessionID();
  ASSERT_GE(sid, 0);
  std::thread stopper2([sid] {
    usleep(200000);
    OVC_Connect_Stop_BySID(sid);  // the session's own flag is never cleared by its connect
  });
  EXPECT_EQ(OVC_Connect_ByUID_Parallel("ABSENTDEVICE00000000", sid), OVC_ER_CONNECT_STOPPED);
  stopper2.join();
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_INVALID_SID);  // released
}

struct NbLog {
  std::mutex mu;
  std::vector<std::pair<int, int>> calls;
};
void nb_cb(int state, int error, void* user) {
  auto* l = static_cast<NbLog*>(user);
  std::lock_guard<std::mutex> g(l->mu);
  l->calls.emplace_back(state, error);
}

TEST_F(Lan, NonBlockingConnectReportsEachStateOnce) {
  StartPeer({"--count", "2"});
  NbLog ok;
  int sid = OVC_Connect_ByUIDNB(Uid(0).c_str(), nb_cb, &ok);
  ASSERT_GE(sid, 0);
  NbLog absent;
  OVC_Setup_LANConnection_Timeout(300);
  int sid2 = OVC_Connect_ByUIDNB("ABSENTDEVICE00000000", nb_cb, &absent);
  ASSERT_GE(sid2, 0);
  NbLog stopped;
  OVC_Setup_LANConnection_Timeout(5000);
  int sid3 = OVC_Get_SessionID();
  ASSERT_EQ(OVC_Connect_ByUID_ParallelNB("ABSENTDEVICE00000001", sid3, nb_cb, &stopped), sid3);
  OVC_Connect_Stop_BySID(sid3);
  auto done = [](NbLog& l) {
    std::lock_guard<std::mutex> g(l.mu);
    return l.calls.size() >= 3;
  };
  for (int i = 0; i < 1000 && !(done(ok) && done(absent) && done(stopped)); ++i) usleep(10000);
  usleep(100000);  // room for a wrong fourth call
  auto check = [](NbLog& l, int last, int err) {
    std::lock_guard<std::mutex> g(l.mu);
    ASSERT_EQ(l.calls.size(), 3u);
    EXPECT_EQ(l.calls[0], std::make_pair(0, 0));
    EXPECT_EQ(l.calls[1], std::make_pair(1, 0));
    EXPECT_EQ(l.calls[2], std::make_pair(last, err));
  };
  check(ok, 2, 0);
  check(absent, -1, OVC_ER_MASTER_UNRESOLVED);
  check(stopped, -1, OVC_ER_CONNECT_STOPPED);
  EXPECT_EQ(OVC_Check_Session_Status(sid), 0);
  EXPECT_EQ(OVC_Check_Session_Status(sid2), OVC_ER_INVALID_SID);
}

TEST_F(Lan, OnLineCheckReportsOnceAndReleasesOnlyItsOwnSession) {
  StartPeer({"--count", "2"});
  OVC_Setup_LANConnection_Timeout(400);
  int connected = Connect(1);
  ASSERT_GE(connected, 0);
  NbLog present, absent, stopped;
  auto cb = [](int result, void* user) { nb_cb(result, 0, user); };
  ASSERT_EQ(OVC_Check_Device_On_Line(Uid(0).c_str(), 3000, cb, &present), 0);
  ASSERT_EQ(OVC_Check_Device_On_Line("ABSENTDEVICE00000000", 3000, cb, &absent), 0);
  // The check of a device whose session is up elsewhere must leave that session alone.
  ASSERT_EQ(OVC_Check_Device_On_Line(Uid(1).c_str(), 300, cb, &stopped), 0);
  EXPECT_EQ(OVC_Check_Device_On_Line("bad", 300, cb, &stopped), OVC_ER_INVALID_UID);
  auto count = [](NbLog& l) {
    std::lock_guard<std::mutex> g(l.mu);
    return l.calls.size();
  };
  for (int i = 0; i < 1000 && (count(present) == 0 || count(absent) == 0 || count(stopped) == 0); ++i) usleep(10000);
  usleep(100000);  // room for a wrong second report
  auto only = [](NbLog& l) {
    std::lock_guard<std::mutex> g(l.mu);
    return l.calls.size() == 1 ? l.calls[0].first : 999;
  };
  EXPECT_EQ(only(present), 0);
  EXPECT_EQ(only(absent), OVC_ER_MASTER_UNRESOLVED);
  EXPECT_EQ(only(stopped), 0);
  EXPECT_EQ(OVC_Check_Session_Status(connected), 0);
  // Every check let its own record go: only the connected session is taken.
  int taken = 0;
  for (int i = 0; i < gSessionTableSize; ++i) taken += gSessionInfo[i].state != 0;
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(NetworkDetectTest(), -1);
}

// ---- Session traffic ------------------------------------------------------------------------

struct RxLog {
  std::mutex mu;
  std::atomic<int> data{0};
  std::map<int, std::vector<int>> codes;  // channel -> status codes of empty deliveries
};
RxLog* g_rx = nullptr;
void rx_cb(int, uint8_t ch, const uint8_t* d, uint32_t n, int status) {
  if (!g_rx) return;
  if (status != 0 || !d) {
    std::lock_guard<std::mutex> g(g_rx->mu);
    g_rx->codes[ch].push_back(status);
    return;
  }
  (void)n;
  g_rx->data++;
}

TEST_F(Lan, HundredThousandChannelMessagesBothWays) {
  StartPeer({"--count", "1"});
  int sid = Connect(0);
  ASSERT_GE(sid, 0);
  RxLog log;
  g_rx = &log;
  OVC_Session_Set_Channel_RcvCb(sid, 0, rx_cb, OVC_INTERNAL_GUARD);
  const int total = 100000;
  uint8_t msg[32] = {};
  int sent = 0;
  // A window keeps loopback buffers from overflowing: at most 200 messages in flight.
  auto t0 = Clock::now();
  while (sent < total && ms_since(t0) < 120000) {
    if (sent - log.data < 200) {
      memcpy(msg, &sent, 4);
      ASSERT_EQ(OVC_Session_Write(sid, msg, sizeof msg, 0), (int)sizeof msg);
      ++sent;
    } else {
      usleep(200);
    }
  }
  for (int i = 0; i < 500 && log.data < total; ++i) usleep(10000);
  EXPECT_EQ(log.data.load(), total);
  peer.Send("stats");
  std::string st = peer.WaitFor({"\"stats\""}, 3000);
  EXPECT_NE(st.find("\"rx_data\": {\"0\": 100000}"), std::string::npos) << st;
  OVC_SessionInfo info;
  memset(&info, 0, sizeof info);
  info.size = 156;
  ASSERT_EQ(OVC_Session_Check_Ex(sid, &info), 0);
  EXPECT_EQ(info.txPackets, (uint32_t)total);
  EXPECT_EQ(info.rxPackets, (uint32_t)total);
  g_rx = nullptr;
}

TEST_F(Lan, PeerCloseReachesEveryChannelOnce) {
  StartPeer({"--count", "1"});
  int sid = Connect(0);
  ASSERT_GE(sid, 0);
  RxLog log;
  g_rx = &log;
  ASSERT_EQ(OVC_Session_Channel_ON(sid, 3), 0);
  OVC_Session_Set_Channel_RcvCb(sid, 0, rx_cb, OVC_INTERNAL_GUARD);
  OVC_Session_Set_Channel_RcvCb(sid, 3, rx_cb, OVC_INTERNAL_GUARD);
  peer.Send("close");  // three copies
  for (int i = 0; i < 200 && OVC_Check_Session_Status(sid) == 0; ++i) usleep(10000);
  usleep(100000);
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_CLOSED_BY_PEER);
  std::lock_guard<std::mutex> g(log.mu);
  EXPECT_EQ(log.codes[0], std::vector<int>{OVC_ER_CLOSED_BY_PEER});
  EXPECT_EQ(log.codes[3], std::vector<int>{OVC_ER_CLOSED_BY_PEER});
  g_rx = nullptr;
}

TEST_F(Lan, SilentPeerTimesOut) {
  StartPeer({"--count", "1"});
  OVC_Setup_Session_Alive_Timeout(1);
  int sid = Connect(0);
  ASSERT_GE(sid, 0);
  RxLog log;
  g_rx = &log;
  OVC_Session_Set_Channel_RcvCb(sid, 0, rx_cb, OVC_INTERNAL_GUARD);
  // While the peer answers alive messages the session stays; once silent it ends.
  usleep(2500000);
  EXPECT_EQ(OVC_Check_Session_Status(sid), 0);
  peer.Send("silent");
  for (int i = 0; i < 600 && OVC_Check_Session_Status(sid) == 0; ++i) usleep(10000);
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_CLOSED_TIMEOUT);
  usleep(50000);
  std::lock_guard<std::mutex> g(log.mu);
  EXPECT_EQ(log.codes[0], std::vector<int>{OVC_ER_CLOSED_TIMEOUT});
  g_rx = nullptr;
}

TEST_F(Lan, EveryLieIsDroppedWithTheSessionAlive) {
  StartPeer({"--count", "1"});
  int sid = Connect(0);
  ASSERT_GE(sid, 0);
  RxLog log;
  g_rx = &log;
  OVC_Session_Set_Channel_RcvCb(sid, 0, rx_cb, OVC_INTERNAL_GUARD);
  uint64_t drops = ovc_dispatch_drops();
  for (const char* lie : {"length", "offset", "offpath", "shortext"}) {
    peer.Send(std::string("lie ") + lie);
    ASSERT_NE(peer.WaitFor({"\"lied\"", lie}, 2000), "");
  }
  usleep(200000);
  EXPECT_EQ(OVC_Check_Session_Status(sid), 0);
  OVC_SessionInfo info;
  memset(&info, 0, sizeof info);
  info.size = 156;
  ASSERT_EQ(OVC_Session_Check_Ex(sid, &info), 0);
  EXPECT_EQ(info.remotePort, peer.port());  // the stranger did not move the path
  EXPECT_GE(ovc_dispatch_drops() - drops, 5u);
  // The stranger's data carried the right key, so it is delivered, but nothing else is.
  EXPECT_LE(log.data.load(), 1);
  g_rx = nullptr;
}

// ---- Reliable queue -------------------------------------------------------------------------

TEST_F(Lan, ReliableQueueLimitsAndChecks) {
  StartPeer({"--count", "1", "--no-ack"});
  int sid = Connect(0);
  ASSERT_GE(sid, 0);
  uint8_t big[1385] = {};
  EXPECT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 1385, 0), OVC_ER_TOO_LONG);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 1384, 0), 0) << i;
  EXPECT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 10, 0), OVC_ER_QUEUE_FULL);
  EXPECT_EQ(OVC_Reliable_All_MSG_Is_Sent(sid, 0), 0);
  EXPECT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 10, 7), OVC_ER_CHANNEL_OFF);
  // Aborted with messages still unacknowledged: the stream ends, its callback hears it.
  RxLog log;
  g_rx = &log;
  OVC_Session_Set_Channel_RcvCb(sid, 0, rx_cb, OVC_INTERNAL_GUARD);
  EXPECT_EQ(OVC_Session_Write_Reliable_NB_Abort(sid, 0), 0);
  EXPECT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 10, 0), OVC_ER_RELIABLE_ABORTING);
  usleep(200000);
  EXPECT_EQ(OVC_Reliable_All_MSG_Is_Sent(sid, 0), 1);
  EXPECT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 10, 0), OVC_ER_RELIABLE_ABORTING);
  {
    std::lock_guard<std::mutex> g(log.mu);
    EXPECT_EQ(log.codes[0], std::vector<int>{OVC_ER_RELIABLE_ABORTING});
  }
  // An older peer does not take reliable messages.
  {
    OvcSessionLockGuard g;
    gSessionInfo[sid].remoteProtocolVersion = 9;
  }
  EXPECT_EQ(OVC_Session_Write_Reliable_NB(sid, big, 10, 0), OVC_ER_RELIABLE_UNSUPPORTED);
  g_rx = nullptr;
}

static void reliable_run(Lan* t, ovc_test::LanPeer& peer, int sid, int total, int* goodputKBs) {
  uint8_t msg[64];
  memset(msg, 'w', sizeof msg);
  auto t0 = Clock::now();
  for (int i = 0; i < total;) {
    memcpy(msg, &i, 4);
    int rc = OVC_Session_Write_Reliable_NB(sid, msg, sizeof msg, 0);
    if (rc == 0) ++i;
    else if (rc == OVC_ER_QUEUE_FULL) usleep(2000);
    else FAIL() << rc;
    if (ms_since(t0) > 240000) FAIL() << "too slow at " << i;
  }
  while (OVC_Reliable_All_MSG_Is_Sent(sid, 0) == 0 && ms_since(t0) < 240000) usleep(5000);
  if (goodputKBs) *goodputKBs = (int)((int64_t)total * 64 / (ms_since(t0) + 1));
  (void)t;
  peer.Send("stats");
}

TEST_F(Lan, TenThousandReliableMessagesExactlyOnceInOrderAtTwentyPercentLoss) {
  StartPeer({"--count", "1", "--loss", "20", "--seed", "3"});
  int sid = -1;
  for (int tries = 0; tries < 5 && sid < 0; ++tries) sid = Connect(0);  // the set-up is lossy too
  ASSERT_GE(sid, 0);
  ovc_set_reliable_resend_limit(100000);
  reliable_run(this, peer, sid, 10000, nullptr);
  std::string st = peer.WaitFor({"\"stats\""}, 5000);
  EXPECT_NE(st.find("\"rel_delivered\": {\"0\": 10000}"), std::string::npos) << st;
  EXPECT_NE(st.find("\"rel_order_ok\": true"), std::string::npos) << st;
  // The other way: the peer's reliable messages reach the read queue once each, in order.
  peer.Send("reliable 2000 0");
  uint8_t buf[256];
  int got = 0;
  bool ordered = true;
  auto t0 = Clock::now();
  while (got < 2000 && ms_since(t0) < 120000) {
    int n = OVC_Session_Read(sid, buf, sizeof buf, 200, 0);
    if (n <= 0) continue;
    int counter;
    memcpy(&counter, buf, 4);
    if (counter != got) ordered = false;
    ++got;
  }
  EXPECT_EQ(got, 2000);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(OVC_Session_Read(sid, buf, sizeof buf, 300, 0), OVC_ER_TIMEOUT);  // no repeats
  ovc_set_reliable_resend_limit(600);
}

}  // namespace

namespace {

std::atomic<int> g_close_calls{0};
void close_again(int sid, uint8_t, int) {
  g_close_calls++;
  OVC_Session_Close(sid);  // from inside its own close callback
}

std::atomic<int> g_deinit_result{0};
std::atomic<int> g_status_in_cb{1};
void nb_reenter(int state, int, void*) {
  if (state != 2) return;
  g_status_in_cb = OVC_Check_Session_Status(0) == 0 ? 0 : 1;  // takes the session lock
  g_deinit_result = OVC_DeInitialize();                        // on the task thread: refused
}

TEST_F(Lan, CallbacksRunOutsideTheLockOnceAndCannotEndTheModuleUnderThemselves) {
  StartPeer({"--count", "1"});
  // A close callback that closes again runs once.
  int sid = Connect(0);
  ASSERT_GE(sid, 0);
  g_close_calls = 0;
  OVC_Session_Set_CloseCb(sid, 0, close_again, OVC_INTERNAL_GUARD);
  OVC_Session_Close(sid);
  EXPECT_EQ(g_close_calls.load(), 1);
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_INVALID_SID);
  // The non-blocking callback may call into the module; de-initialising there is refused.
  g_deinit_result = 0;
  g_status_in_cb = 1;
  ASSERT_GE(OVC_Connect_ByUIDNB(Uid(0).c_str(), nb_reenter, nullptr), 0);
  for (int i = 0; i < 300 && g_deinit_result == 0; ++i) usleep(10000);
  EXPECT_EQ(g_deinit_result.load(), OVC_ER_FAIL);
  EXPECT_EQ(g_status_in_cb.load(), 0);
  EXPECT_EQ(gOvcState.load(), 2);
  // Close racing de-initialisation: each session's callback still runs once.
  int s2 = Connect(0);
  ASSERT_GE(s2, 0);
  g_close_calls = 0;
  OVC_Session_Set_CloseCb(s2, 0, close_again, OVC_INTERNAL_GUARD);
  std::thread closer([s2] { OVC_Session_Close(s2); });
  EXPECT_EQ(OVC_DeInitialize(), 0);
  closer.join();
  EXPECT_EQ(g_close_calls.load(), 1);
}

}  // namespace
