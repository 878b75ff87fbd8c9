// Module start and end, settings, local network identity.
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "ovc_state.h"
#include "peer_util.h"

namespace {
// Every test runs in a clean working folder, so a stray "notimeout" file changes nothing.
class Module : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void TearDown() override {
    if (gOvcState != 0) OVC_DeInitialize();
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
};

int g_mode_calls_first = 0, g_mode_calls_second = 0;
}  // namespace

TEST_F(Module, InitialiseTwiceAndDeinitialiseTwice) {
  ASSERT_EQ(OVC_Initialize2(0), 0);
  EXPECT_EQ(gOvcState, 2);
  EXPECT_EQ(OVC_Initialize2(0), OVC_ER_ALREADY_INITIALIZED);
  EXPECT_EQ(OVC_Initialize(), OVC_ER_ALREADY_INITIALIZED);
  EXPECT_EQ(gOvcState, 2);
  EXPECT_FALSE(gNoTimeout);
  EXPECT_NE(gLocalRandomId, 0);
  EXPECT_GE(gPortGuessCounter, 0);
  EXPECT_LT(gPortGuessCounter, 127);
  EXPECT_EQ(OVC_DeInitialize(), 0);
  EXPECT_EQ(OVC_DeInitialize(), OVC_ER_NOT_INITIALIZED);
  EXPECT_EQ(OVC_Get_SessionID(), OVC_ER_NOT_INITIALIZED);
}

TEST_F(Module, InternalInitialisationGuardsAndMasters) {
  EXPECT_EQ(OVC_Initialize_Internal(0, "m1.example.invalid", nullptr, nullptr, nullptr, 1), 99999);
  EXPECT_EQ(OVC_Initialize_Internal(0, nullptr, nullptr, "m3", nullptr, OVC_INTERNAL_GUARD), OVC_ER_NO_MASTER);
  ASSERT_EQ(OVC_Initialize_Internal(0, "m1.example.invalid", nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
  EXPECT_EQ(gOvcState, 1);
  EXPECT_LT(gPortGuessCounter, 300);
  EXPECT_EQ(OVC_Initialize_Internal(0, "m1", "m2", nullptr, nullptr, OVC_INTERNAL_GUARD),
            OVC_ER_ALREADY_INITIALIZED);
  EXPECT_EQ(OVC_DeInitialize(), 0);
}

TEST_F(Module, NotimeoutMarkerFileInTheWorkingFolder) {
  FILE* f = fopen("notimeout", "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_EQ(OVC_Initialize2(0), 0);
  EXPECT_TRUE(gNoTimeout);
  EXPECT_EQ(OVC_DeInitialize(), 0);
  unlink("notimeout");
  ASSERT_EQ(OVC_Initialize2(0), 0);
  EXPECT_FALSE(gNoTimeout);
}

TEST_F(Module, SettersTable) {
  EXPECT_EQ(OVC_Setup_Session_Alive_Timeout(0), 1);
  EXPECT_EQ(gSessionAliveTimeout, 1);
  EXPECT_EQ(OVC_Setup_Session_Alive_Timeout(60), 60);
  EXPECT_EQ(OVC_Set_LanSearchPort(65536), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_Set_LanSearchPort(65535), 0);
  EXPECT_EQ(gLanSearchPort, 65535);
  EXPECT_EQ(OVC_Set_LanSearchPort(32761), 0);
  EXPECT_EQ(OVC_IsLiteMode(1), 1);
  EXPECT_EQ(OVC_IsLiteMode(OVC_INTERNAL_GUARD), 0);
  OVC_Set_Anvance_Mode(1, 7);
  EXPECT_EQ(gAdvanceMode, 0);
  OVC_Set_Anvance_Mode(OVC_INTERNAL_GUARD, 0x107);
  EXPECT_EQ(gAdvanceMode, 7);
  OVC_Set_Anvance_Mode(OVC_INTERNAL_GUARD, 0);
  uint32_t v = 0;
  OVC_Get_Version(nullptr);
  OVC_Get_Version(&v);
  EXPECT_EQ(v, 0x0301052Au);
  std::string longname(200, 'n');
  OVC_Set_Device_Name(longname.c_str());
  EXPECT_EQ(strlen(gDeviceName), 128u);
  OVC_Set_Device_Name(nullptr);
  EXPECT_EQ(strlen(gDeviceName), 128u);
  OVC_ConnModeChange_CallBack([](int, int) { ++g_mode_calls_first; });
  OVC_ConnModeChange_CallBack([](int, int) { ++g_mode_calls_second; });
  ASSERT_EQ(OVC_Initialize2(0), 0);
  int sid = OVC_Get_SessionID();
  ASSERT_GE(sid, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(9);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ovc_open_udp_socket();
  // The callback is process-wide: other tests' connects may have counted already.
  g_mode_calls_first = 0;
  g_mode_calls_second = 0;
  ovc_set_send_path(1, sid, gUdpConn, reinterpret_cast<sockaddr*>(&peer));
  ovc_set_send_path(2, sid, gUdpConn, reinterpret_cast<sockaddr*>(&peer));  // worse: not current
  ovc_set_send_path(0, sid, gUdpConn, reinterpret_cast<sockaddr*>(&peer));
  EXPECT_EQ(g_mode_calls_first, 2);
  EXPECT_EQ(g_mode_calls_second, 0);
  EXPECT_EQ(_GetSendPath(sid, nullptr, nullptr), 0);
  uint8_t rec51[51], rec48[48];
  memset(rec51, 0xAA, sizeof rec51);
  memset(rec48, 0xAA, sizeof rec48);
  setCapability(rec51, 3);
  setCapability2(rec48, 5);
  for (int i = 0; i < 51; ++i) EXPECT_EQ(rec51[i], i < 44 ? 0 : 3) << i;
  for (int i = 0; i < 48; ++i) EXPECT_EQ(rec48[i], (i >= 32 && i < 39) ? 5 : 0) << i;
}

TEST_F(Module, MacTextsGiveTheLocalIdentity) {
  struct Case {
    const char* mac;
    int rc;
    uint32_t idHigh, idLow16;
  };
  const Case cases[] = {
      {"00:11:22:33:44:55", 0, 0x22334455u, 0x0011u},
      {"aa-bb-cc-dd-ee-ff", 0, 0xccddeeffu, 0xaabbu},
      {"00:11:22:33:44:55:", OVC_ER_INVALID_ARG, 0, 0},  // 18 characters
  };
  EXPECT_EQ(OVC_SetMACAddr("00:11:22:33:44:55", 1), 9999);
  for (const auto& c : cases) {
    EXPECT_EQ(OVC_SetMACAddr(c.mac, OVC_INTERNAL_GUARD), c.rc) << c.mac;
    if (c.rc != 0) continue;
    orvan_net_if_info_t info;
    memset(&info, 0, sizeof info);
    info.count = 1;
    info.addr[0] = htonl(0xC6336402u);
    gLocalUdpPort = 4000;
    UpdateLocalNetworkInfoFrom(&info, 1);
    EXPECT_EQ(gsLocalNetworkInfo.valid, 1);
    EXPECT_EQ(gsLocalNetworkInfo.count, 1);
    EXPECT_EQ(gsLocalNetworkInfo.idHigh, c.idHigh) << c.mac;
    EXPECT_EQ(gsLocalNetworkInfo.idLow16, c.idLow16) << c.mac;
    uint16_t port;
    memcpy(&port, &gsLocalNetworkInfo.slots[0][2], 2);
    EXPECT_EQ(ntohs(port), 4000);
    EXPECT_EQ(memcmp(&gsLocalNetworkInfo.slots[0][4], &info.addr[0], 4), 0);
  }
  // No interface at all: random, non-zero identity.
  UpdateLocalNetworkInfoFrom(nullptr, 0);
  EXPECT_EQ(gsLocalNetworkInfo.valid, 0);
  EXPECT_NE(gsLocalNetworkInfo.idHigh, 0u);
  EXPECT_NE(gsLocalNetworkInfo.idLow16, 0u);
  gSetMACAddr = false;
  gLocalUdpPort = 0;
}

TEST_F(Module, ReopenDetachesSessionsAndBindsAgain) {
  ASSERT_EQ(OVC_Initialize2(0), 0);
  ASSERT_EQ(ovc_open_udp_socket(), 0);
  uint16_t first = gLocalUdpPort;
  EXPECT_NE(first, 0);
  int sid = OVC_Get_SessionID();
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(9);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ovc_set_send_path(0, sid, gUdpConn, reinterpret_cast<sockaddr*>(&peer));
  EXPECT_EQ(ReopenP2PSocket(0), 0);
  EXPECT_NE(gUdpConn, nullptr);
  EXPECT_EQ(ovc_session_at(sid)->sendConn, nullptr);
  EXPECT_EQ(ovc_session_at(sid)->sendPathType, -1);
  OVC_ReInitSocket(0);
  EXPECT_NE(gUdpConn, nullptr);
}

TEST_F(Module, CapabilityQueryGoesToTheLocalDeviceOnly) {
  ovc_set_capability_wait_ms(10);
  OVC_Capability cap;
  memset(&cap, 0x11, sizeof cap);
  EXPECT_EQ(OVC_Get_Capability("UID", &cap, 1), -9999);
  ASSERT_EQ(OVC_Initialize2(0), 0);
  EXPECT_EQ(OVC_Get_Capability(std::string(28, 'u').c_str(), &cap, OVC_INTERNAL_GUARD), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_Get_Capability("ABCD-123456-EFGHI", &cap, OVC_INTERNAL_GUARD), 0);
  EXPECT_STREQ(gLocalUid, "ABCD-123456-EFGHI");
  EXPECT_EQ(cap.status, 0x11111111);  // no answer: nothing written
  ovc_set_capability_wait_ms(1000);
}

TEST_F(Module, SendMessageRefusesBeforeTouchingTheCallersHead) {
  uint8_t d[1600] = {};
  d[3] = 0x01;
  EXPECT_EQ(ovc_SendMessage(nullptr, d, 20, "127.0.0.1", htons(9)), 0);
  EXPECT_EQ(d[3], 0x01);  // flags unchanged
  ASSERT_EQ(OVC_Initialize2(0), 0);
  ASSERT_EQ(ovc_open_udp_socket(), 0);
  EXPECT_EQ(ovc_SendMessage(gUdpConn, d, 1501, "127.0.0.1", htons(9)), 0);  // beyond the buffer
  EXPECT_EQ(ovc_SendMessage(gUdpConn, d, 15, "127.0.0.1", htons(9)), 0);
  EXPECT_EQ(ovc_SendMessage(gUdpConn, d, 20, nullptr, htons(9)), 0);
  EXPECT_EQ(d[3], 0x01);
  EXPECT_EQ(ovc_SendMessage(gUdpConn, d, 1500, "127.0.0.1", htons(9)), 1500);
  EXPECT_EQ(d[3], 0x03);  // the caller's flags gain bit 1
}

TEST_F(Module, IdleCallbackVisitsFlaggedChannelsOnce) {
  ASSERT_EQ(OVC_Initialize2(0), 0);
  int sid = OVC_Get_SessionID();
  static int idle_calls = 0;
  idle_calls = 0;
  OVC_Session_Set_Channel_RcvIdleCb(sid, 4, [](int, uint8_t ch) { idle_calls += ch; }, OVC_INTERNAL_GUARD);
  breakTimeCallBack(gOvcConnMgr, nullptr);
  EXPECT_EQ(idle_calls, 0);  // nothing received since the last pass
  {
    OvcSessionLockGuard g;
    ovc_session_at(sid)->idleFlag[4] = 1;
  }
  gChannelDataSeen = 1;
  breakTimeCallBack(gOvcConnMgr, nullptr);
  EXPECT_EQ(idle_calls, 4);
  EXPECT_EQ(ovc_session_at(sid)->idleFlag[4], 0u);
  breakTimeCallBack(gOvcConnMgr, nullptr);
  EXPECT_EQ(idle_calls, 4);
}

TEST_F(Module, RandomIdsRoundTripTimesAndClosedIds) {
  struct Case {
    RandomID a, b;
    bool equal;
  };
  const Case cases[] = {
      {{1, 2, 0}, {1, 2, 0}, true},  {{1, 2, 0}, {1, 3, 0}, false}, {{1, 0, 1}, {1, 9, 1}, true},
      {{1, 0, 1}, {1, 0, 0}, false}, {{1, 2, 2}, {1, 2, 2}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(RandomIDCompare(&c.a, &c.b), c.equal);
  RandomID r{};
  RandomIDValueUpdate(&r, 1, 0x12345, 7);
  EXPECT_EQ(r.idLow, 0x2345u);
  EXPECT_EQ(r.idHigh, 0u);
  ASSERT_EQ(OVC_Initialize2(0), 0);
  int sid = OVC_Get_SessionID();
  const uint32_t rtts[][2] = {{0, 10}, {2, 10}, {3, 13}, {1000, 1010}, {1001, 500}};
  EXPECT_EQ(RT(sid, OVC_INTERNAL_GUARD), 0);  // not measured
  EXPECT_EQ(RT(sid, 1), 99999);
  for (auto& row : rtts) {
    {
      OvcSessionLockGuard g;
      ovc_session_at(sid)->rttValid = 1;
      ovc_session_at(sid)->rtt = row[0];
    }
    EXPECT_EQ(RT(sid, OVC_INTERNAL_GUARD), (int)row[1]) << row[0];
  }
  EXPECT_EQ(XD(), -1);
  EXPECT_EQ(FindSID_BySessionInfo(ovc_session_at(sid)), sid);
  EXPECT_EQ(FindSID_BySessionInfo(&gLoginSession), -1);
  gTrackClosedIds = true;
  {
    OvcSessionLockGuard g;
    ovc_session_at(sid)->state = 2;
  }
  OVC_Session_Close(sid);
  EXPECT_EQ(ovc_recent_closed_count(), 1u);
  EXPECT_STREQ(ipAddrInt2Str(htonl(0xC6336401u)), "198.51.100.1");
  sockaddr_in sa;
  make_ipv4_sockaddr(&sa, "203.0.113.5", htons(7));
  EXPECT_EQ(ntohl(sa.sin_addr.s_addr), 0xCB007105u);
  EXPECT_TRUE(is_valid_fd(0));
  EXPECT_FALSE(is_valid_fd(1 << 20));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OVC_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OVC_UNDER_SANITIZER 1
#endif
#endif

TEST_F(Module, FailedInitialisationLeavesNothingBehind) {
#ifdef OVC_UNDER_SANITIZER
  GTEST_SKIP() << "the sanitizers' allocators refuse the oversized table instead of failing it";
#else
  OVC_Set_Max_Session_Number(0x7FFFFFFF);  // a table no allocator grants
  EXPECT_EQ(OVC_Initialize2(0), OVC_ER_NO_MEMORY);
  EXPECT_EQ(gOvcState, 0);
  EXPECT_EQ(gSessionInfo, nullptr);
  EXPECT_EQ(gOvcConnMgr, nullptr);
  OVC_Set_Max_Session_Number(128);
  ASSERT_EQ(OVC_Initialize2(0), 0);
  EXPECT_EQ(OVC_DeInitialize(), 0);
#endif
}
