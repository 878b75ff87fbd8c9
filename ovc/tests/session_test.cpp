// Sessions: datagrams decoded by the independent Python peer, write limits, reads and their
// time-outs, the alive time-out, status records, channels, close and the module's life cycle.
#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ovc_state.h"
#include "peer_util.h"

namespace {

class Sessions : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    OVC_Set_Max_Session_Number(1024);
    ASSERT_EQ(OVC_Initialize2(0), 0);
    ASSERT_EQ(ovc_open_udp_socket(), 0);
    // The tests run the alive passes themselves, so the task's own passes are taken away.
    orvan_TaskMng_Delete(gThread_SessionAlive);
    gThread_SessionAlive = nullptr;
  }
  void TearDown() override {
    if (gOvcState != 0) {
      EXPECT_EQ(OVC_DeInitialize(), 0);
    }
    OVC_Setup_Session_Alive_Timeout(60);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }

  // The test seam: a reserved record made connected on one path towards a loopback port.
  int install(int path, bool device, uint32_t kind, uint32_t idLow, uint32_t idHigh, uint16_t port,
              uint16_t relayId = 0) {
    int sid = OVC_Get_SessionID();
    EXPECT_GE(sid, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(ovc_set_send_path(path, sid, gUdpConn, reinterpret_cast<sockaddr*>(&peer)), 0);
    OvcSessionLockGuard g;
    SessionInfo* s = ovc_session_at(sid);
    s->isDevice = device ? 1 : 0;
    RandomIDValueUpdate(&s->randomId, kind, idLow, idHigh);
    s->relayRandomId = relayId;
    s->state = 2;
    return sid;
  }

  void run_alive_passes(int n) {
    for (int i = 0; i < n; ++i) ovc_session_alive_task(nullptr, 1000, 0, nullptr, 0);
  }
};

// A running Python peer: its port, then its decoded lines.
struct Peer {
  FILE* p = nullptr;
  uint16_t port = 0;
  explicit Peer(int count) {
    p = popen(ovc_test::peer_command("session_peer.py " + std::to_string(count) + " 20").c_str(), "r");
    char line[256];
    if (p && fgets(line, sizeof line, p)) sscanf(line, "PORT %hu", &port);
  }
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    char line[8192];
    while (p && fgets(line, sizeof line, p)) {
      std::string l(line);
      if (l.rfind("DONE", 0) == 0) break;
      out.push_back(l);
    }
    return out;
  }
  ~Peer() {
    if (p) pclose(p);
  }
};

// A small reader of the peer's flat JSON lines.
std::string field(const std::string& json, const std::string& key) {
  std::string k = "\"" + key + "\": ";
  size_t at = json.find(k);
  if (at == std::string::npos) return "";
  at += k.size();
  size_t end = json[at] == '"' ? json.find('"', at + 1) + 1 : json.find_first_of(",}", at);
  if (json[at] == '[') end = json.find(']', at) + 1;
  std::string v = json.substr(at, end - at);
  if (!v.empty() && v[0] == '"') v = v.substr(1, v.size() - 2);
  return v;
}
long num(const std::string& json, const std::string& key) { return std::stol(field(json, key)); }

std::string hex(const std::string& s) {
  std::string out;
  char b[3];
  for (unsigned char c : s) {
    snprintf(b, sizeof b, "%02x", c);
    out += b;
  }
  return out;
}
}  // namespace

TEST_F(Sessions, PeerDecodesDataAliveAndCloseOnEveryPath) {
  struct Case {
    int path;
    bool device;
    uint32_t kind, idLow, idHigh;
    uint16_t relayId;
    long dataType, aliveType, closeType, route;
    int closes;
  };
  const Case cases[] = {
      {0, false, 1, 0x1234, 0, 0, 0x0407, 0x0427, 0x0417, 0x21, 3},
      {1, true, 0, 0xA1B2C3D4u, 0x01020304u, 0, 0x0408, 0x0428, 0x0418, 0x12, 3},
      {2, false, 1, 0x4321, 0, 0x7777, 0x0504, 0x0524, 0x0514, 0x24, 5},
      {3, true, 0, 0x55667788u, 0x99AABBCCu, 0x0102, 0x0502, 0x0522, 0x0512, 0x14, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("path " + std::to_string(c.path));
    Peer peer(3 + c.closes);
    ASSERT_NE(peer.port, 0);
    int sid = install(c.path, c.device, c.kind, c.idLow, c.idHigh, peer.port, c.relayId);
    const std::string small = "hello";
    std::string big(1388, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = (char)(i * 7);
    ASSERT_EQ(OVC_Session_Channel_ON(sid, 5), 0);
    EXPECT_EQ(OVC_Session_Write(sid, small.data(), (unsigned)small.size(), 0), 5);
    EXPECT_EQ(OVC_Session_Write(sid, big.data(), (unsigned)big.size(), 5), 1388);
    EXPECT_EQ(OVC_Session_Write(sid, big.data(), 1389, 5), OVC_ER_INVALID_ARG);
    run_alive_passes(2);  // a fresh session sends an alive every second pass
    OVC_Session_Close(sid);
    EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_INVALID_SID);
    auto lines = peer.lines();
    ASSERT_EQ(lines.size(), (size_t)(3 + c.closes));
    for (auto& l : lines) ASSERT_EQ(field(l, "error"), "") << l;
    bool longId = c.kind == 0;
    uint16_t expectId = c.path >= 2 ? c.relayId : (uint16_t)c.idLow;
    // Data: type, route, id, channel, seq, payload; a long ID adds its 12-byte extension.
    EXPECT_EQ(num(lines[0], "type"), c.dataType);
    EXPECT_EQ(num(lines[0], "route"), c.route);
    EXPECT_EQ(num(lines[0], "randomId"), expectId);
    EXPECT_EQ(num(lines[0], "channel"), 0);
    EXPECT_EQ(num(lines[0], "seq"), 0);
    EXPECT_EQ(num(lines[0], "flags") & 0x0A, longId ? 0x0A : 0x02);
    EXPECT_EQ(num(lines[0], "size"), 16 + (longId ? 12 : 0) + 5);
    EXPECT_EQ(field(lines[0], "payload"), hex(small));
    EXPECT_EQ(num(lines[1], "channel"), 5);
    EXPECT_EQ(num(lines[1], "size"), 16 + (longId ? 12 : 0) + 1388);
    EXPECT_EQ(field(lines[1], "payload"), hex(big));
    if (longId) {
      EXPECT_EQ(field(lines[0], "long_id"), "[" + std::to_string(c.idLow) + ", " + std::to_string(c.idHigh) + "]");
    }
    // Alive: no id on direct paths, the relay id on relayed ones; the long ID as an 8-byte body.
    EXPECT_EQ(num(lines[2], "type"), c.aliveType);
    EXPECT_EQ(num(lines[2], "route"), c.route);
    EXPECT_EQ(num(lines[2], "randomId"), c.path >= 2 ? c.relayId : 0);
    EXPECT_EQ(num(lines[2], "length"), longId ? 8 : 0);
    for (int i = 0; i < c.closes; ++i) {
      const std::string& l = lines[3 + (size_t)i];
      EXPECT_EQ(num(l, "type"), c.closeType);
      EXPECT_EQ(num(l, "route"), c.route);
      EXPECT_EQ(num(l, "randomId"), expectId);
      EXPECT_EQ(num(l, "length"), longId ? 8 : 0);
    }
  }
}

TEST_F(Sessions, WriteRefusals) {
  int sid = install(0, false, 1, 1, 0, 9);
  char b[4] = {};
  EXPECT_EQ(OVC_Session_Write(sid, b, 4, 3), OVC_ER_CHANNEL_OFF);
  EXPECT_EQ(OVC_Session_Write(sid, b, 4, 32), OVC_ER_CHANNEL_OFF);
  EXPECT_EQ(OVC_Session_Write(-1, b, 4, 0), OVC_ER_INVALID_SID);
  EXPECT_EQ(OVC_Session_Write(1024, b, 4, 0), OVC_ER_INVALID_SID);
  int bare = OVC_Get_SessionID();
  {
    OvcSessionLockGuard g;
    ovc_session_at(bare)->state = 2;  // connected but without a path
  }
  EXPECT_EQ(OVC_Session_Write(bare, b, 4, 0), OVC_ER_NO_PATH);
  EXPECT_EQ(OVC_Session_Channel_OFF(sid, 0), 0);
  EXPECT_EQ(OVC_Session_Channel_Check_ON_OFF(sid, 0), 1);  // channel 0 stays on
  EXPECT_EQ(OVC_Session_Channel_Check_ON_OFF(sid, 32), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_Session_Channel_ON(sid, 32), OVC_ER_CHANNEL_OFF);
  EXPECT_EQ(OVC_Set_Partial_Encryption(sid, 1), OVC_ER_NO_PARTIAL_ENCRYPTION);
}

TEST_F(Sessions, ReadsTimeOutDetectLossAndBoundTheQueue) {
  int sid = install(0, false, 1, 1, 0, 9);
  char buf[16];
  EXPECT_EQ(OVC_Session_Read(sid, buf, sizeof buf, 0, 0), 0);
  EXPECT_EQ(OVC_Session_Read(sid, buf, 0, 0, 0), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_Session_Read(sid, buf, -5, 0, 0), OVC_ER_INVALID_ARG);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OVC_Session_Read(sid, buf, sizeof buf, 100, 0), OVC_ER_TIMEOUT);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 100);
  const uint8_t a[] = "first", b[] = "second-and-much-longer-than-the-buffer";
  ASSERT_EQ(__Fill_ReadBuf(sid, a, 5, 0, 0), 0);
  ASSERT_EQ(__Fill_ReadBuf(sid, b, sizeof b, 2, 0), 0);  // seq 1 was lost
  uint16_t seq = 0;
  uint8_t lost = 9;
  EXPECT_EQ(OVC_Session_Read_Check_Lost(sid, buf, sizeof buf, 0, &seq, &lost, 0), 5);
  EXPECT_EQ(seq, 0);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(OVC_Session_Read_Check_Lost(sid, buf, sizeof buf, 0, &seq, &lost, 0), 16);  // cut to the buffer
  EXPECT_EQ(seq, 2);
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(memcmp(buf, b, 16), 0);
  EXPECT_EQ(__Fill_ReadBuf(sid, a, 5, 0, 7), -1);  // channel off
  for (uint32_t i = 0; i < OVC_READ_QUEUE_LIMIT; ++i) ASSERT_EQ(__Fill_ReadBuf(sid, a, 5, (uint16_t)i, 0), 0);
  EXPECT_EQ(__Fill_ReadBuf(sid, a, 5, 0, 0), -2);
  EXPECT_EQ(ovc_session_at(sid)->readDrops[0], 1u);
  OVC_SessionInfo info;
  info.size = 156;
  ASSERT_EQ(OVC_Session_Check_Ex(sid, &info), 0);
  EXPECT_EQ(info.rxPackets, 2u + OVC_READ_QUEUE_LIMIT);
}

TEST_F(Sessions, SilentPeerTimesOutThroughStatusAndReads) {
  OVC_Setup_Session_Alive_Timeout(1);
  int sid = install(0, false, 1, 1, 0, 9);
  static int status_code = 0;
  status_code = 0;
  ASSERT_EQ(OVC_Session_Check_ByCallBackFn(sid, [](int, int code) { status_code = code; }), 0);
  const uint8_t a[] = "queued";
  ASSERT_EQ(__Fill_ReadBuf(sid, a, 6, 0, 0), 0);  // also resets the alive count
  run_alive_passes(2);
  EXPECT_EQ(OVC_Check_Session_Status(sid), 0);
  EXPECT_EQ(AT(sid, OVC_INTERNAL_GUARD), 2);
  EXPECT_EQ(AT(sid, 1), 255);
  run_alive_passes(1);
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_CLOSED_TIMEOUT);
  EXPECT_EQ(status_code, OVC_ER_CLOSED_TIMEOUT);
  char buf[8];
  EXPECT_EQ(OVC_Session_Read(sid, buf, sizeof buf, 0, 0), OVC_ER_CLOSED_TIMEOUT);
  OVC_Session_Close(sid);
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_INVALID_SID);
}

TEST_F(Sessions, StatusRecordsAndTheirSizes) {
  int sid = install(0, false, 1, 1, 0, 4321);
  OVC_SessionInfo info;
  memset(&info, 0xEE, sizeof info);
  info.size = 100;
  EXPECT_EQ(OVC_Session_Check_Ex(sid, &info), OVC_ER_INVALID_ARG);
  info.size = 156;
  ASSERT_EQ(OVC_Session_Check_Ex(sid, &info), 0);
  EXPECT_EQ(info.mode, 2);
  EXPECT_EQ(info.relayKind, 0);
  EXPECT_STREQ(info.remoteIp, "127.0.0.1");
  EXPECT_EQ(info.remotePort, 4321);
  // A 92-byte caller record: nothing written past it.
  uint8_t raw[156];
  memset(raw, 0xEE, sizeof raw);
  uint32_t size = 92;
  memcpy(raw, &size, 4);
  ASSERT_EQ(OVC_Session_Check_Ex(sid, reinterpret_cast<OVC_SessionInfo*>(raw)), 0);
  for (int i = 92; i < 156; ++i) ASSERT_EQ(raw[i], 0xEE) << i;
  EXPECT_EQ(raw[4], 2);
  OVC_SessionInfoShort shortInfo;
  ASSERT_EQ(OVC_Session_Check(sid, &shortInfo), 0);
  EXPECT_EQ(shortInfo.mode, 2);
  EXPECT_STREQ(shortInfo.remoteIp, "127.0.0.1");
  EXPECT_EQ(shortInfo.remotePort, 4321);
  int relayed = install(3, true, 1, 1, 0, 4322);
  info.size = 156;
  ASSERT_EQ(OVC_Session_Check_Ex(relayed, &info), 0);
  EXPECT_EQ(info.mode, 1);
  EXPECT_EQ(info.relayKind, 2);
  EXPECT_EQ(info.isDevice, 1);
  int unused = OVC_Get_SessionID();
  ASSERT_EQ(OVC_Session_Check_Ex(unused, &info), OVC_ER_INVALID_SID);
  EXPECT_EQ(info.mode, 255);
}

TEST_F(Sessions, ChannelsAndCallbackSetters) {
  int sid = install(0, false, 1, 1, 0, 9);
  for (int ch = 1; ch < 31; ++ch) ASSERT_EQ(OVC_Session_Get_Free_Channel(sid), ch);
  EXPECT_EQ(OVC_Session_Get_Free_Channel(sid), 31);
  EXPECT_EQ(OVC_Session_Get_Free_Channel(sid), OVC_ER_NO_FREE_CHANNEL);
  EXPECT_EQ(OVC_Session_Channel_OFF(sid, 7), 0);
  EXPECT_EQ(OVC_Session_Channel_Check_ON_OFF(sid, 7), 0);
  EXPECT_EQ(OVC_Session_Get_Free_Channel(sid), 7);
  // Setters ignore a wrong guard, a channel past 31 and a bad sid.
  auto cb = [](int, uint8_t, int) {};
  OVC_Session_Set_CloseCb(sid, 32, cb, OVC_INTERNAL_GUARD);
  OVC_Session_Set_CloseCb(-1, 0, cb, OVC_INTERNAL_GUARD);
  OVC_Session_Set_CloseCb(5000, 0, cb, OVC_INTERNAL_GUARD);
  OVC_Session_Set_CloseCb(sid, 0, cb, 1);
  EXPECT_EQ(ovc_session_at(sid)->closeCb[0], nullptr);
  OVC_Session_Set_CloseCb(sid, 31, cb, OVC_INTERNAL_GUARD);
  EXPECT_NE(ovc_session_at(sid)->closeCb[31], nullptr);
  static int closes = 0;
  closes = 0;
  OVC_Session_Set_CloseCb(sid, 3, [](int, uint8_t ch, int reason) { closes += reason * 100 + ch; }, OVC_INTERNAL_GUARD);
  OVC_Session_Close(sid);
  EXPECT_EQ(closes, 203);
  OVC_Session_Close(sid);  // a free record: nothing
  EXPECT_EQ(closes, 203);
}

TEST_F(Sessions, EveryIdUpTo1023ClosesWithinItsTables) {
  std::vector<int> sids;
  for (int i = 0; i < 1024; ++i) {
    int sid = OVC_Get_SessionID();
    ASSERT_EQ(sid, i);
    sids.push_back(sid);
  }
  EXPECT_EQ(OVC_Get_SessionID(), OVC_ER_NO_FREE_SESSION);
  for (int sid : sids) {
    OvcSessionLockGuard g;
    ovc_session_at(sid)->state = 2;
  }
  for (int sid : sids) OVC_Session_Close(sid);
  for (int sid : sids) EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_INVALID_SID);
  EXPECT_EQ(OVC_Get_SessionID(), 0);
}

TEST_F(Sessions, HundredInitDeinitCyclesWithOpenSessions) {
  static int deinit_closes = 0;
  deinit_closes = 0;
  for (int cycle = 0; cycle < 100; ++cycle) {
    if (gOvcState == 0) {
      ASSERT_EQ(OVC_Initialize2(0), 0) << cycle;
      ASSERT_EQ(ovc_open_udp_socket(), 0);
    }
    int sid = install(cycle % 4, cycle % 2, cycle % 2, 5, 6, 9);
    OVC_Session_Set_CloseCb(sid, 0, [](int, uint8_t, int reason) { deinit_closes += reason; }, OVC_INTERNAL_GUARD);
    ASSERT_EQ(OVC_Session_Channel_ON(sid, 4), 0);
    const uint8_t a[] = "pending";
    ASSERT_EQ(__Fill_ReadBuf(sid, a, 7, 0, 4), 0);
    ASSERT_GE(OVC_Get_SessionID(), 0);  // a reserved record too
    ASSERT_EQ(OVC_DeInitialize(), 0);
  }
  EXPECT_EQ(deinit_closes, 100);
}
