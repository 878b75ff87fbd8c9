// The connect's requests and reports, checked byte for byte by an independent Python reader of
// the message table (tests/sim/ovc/bodies_peer.py).
#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovc_state.h"
#include "peer_util.h"

namespace {

TEST(Senders, EveryBodyMatchesTheTable) {
  ovc_test::TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  ASSERT_EQ(OVC_Initialize2(0), 0);
  ASSERT_EQ(ovc_open_udp_socket(), 0);
  const char* uid = "ABCDEFGHIJ0123456789";
  FILE* p = popen(ovc_test::peer_command(std::string("bodies_peer.py 14 ") + uid + " 0x11223344 0x55667788").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512];
  uint16_t port = 0;
  ASSERT_TRUE(fgets(line, sizeof line, p));
  sscanf(line, "PORT %hu", &port);
  ASSERT_NE(port, 0);
  const uint16_t np = htons(port);
  int sid = OVC_Get_SessionID();
  {
    OvcSessionLockGuard g;
    SessionInfo& s = gSessionInfo[sid];
    memcpy(s.uid, uid, 20);
    RandomIDValueUpdate(&s.randomId, 0, 0x11223344, 0x55667788);
    ovc_text_to_netaddr("127.0.0.1", np, &s.servers[0].udpAddr);
    s.servers[0].version = 11;
    s.servers[1].udpAddr = s.servers[0].udpAddr;
    s.servers[1].version = 12;
    s.firstAnswerServer = 0;
    s.serverGroup = 0;
    s.connectMode = 0;
  }
  SessionInfo* s = &gSessionInfo[sid];
  const uint8_t noGuess[4] = {1, 1, 0, 0};
  OVC_Set_Connection_Option(noGuess);
  SendP2PRequest(18, "127.0.0.1", np, s, &s->randomId, 9);
  SendP2PRequest(10, "127.0.0.1", np, s, &s->randomId, 10);
  SendP2PRequest(11, "127.0.0.1", np, s, &s->randomId, 10);
  SendRelayRequest(gUdpConn, "127.0.0.1", np, s, &s->randomId, 9);
  SendRelayRequest(gUdpConn, "127.0.0.1", np, s, &s->randomId, 10);
  SendRelayRequest2(gUdpConn, "127.0.0.1", np, s, &s->randomId, 10);
  uint8_t d[16 + 1400];
  ovc_SendMessage(gUdpConn, d, ovc_build_precheck(d, s, false), "127.0.0.1", np);
  ovc_SendMessage(gUdpConn, d, ovc_build_precheck(d, s, true), "127.0.0.1", np);
  sockaddr_in own{};
  own.sin_family = AF_INET;
  own.sin_port = htons(4242);
  inet_pton(AF_INET, "203.0.113.7", &own.sin_addr);
  _OVC_Send_Punch_To("127.0.0.1", np, uid, reinterpret_cast<sockaddr*>(&own));
  SendConnectSuccess(s);                   // server 0 is of version 11
  SendConnectResult(sid, -33, 0xFF, nullptr, 0, true);  // server 1 is of version 12
  OVC_Setup_ErrorUpload(1);
  std::string data(40, 'D');
  {
    OvcSessionLockGuard g;
    s->servers[1].udpAddr.port = 0;  // one copy of the error report
  }
  OVC_SendErrorCode(sid, -41, "report text", data.data(), (int)data.size());
  _OVC_SendQuryDevice5(gUdpConn, "127.0.0.1", 0, "abcdefghij0123456789", 3, np);
  _OVC_SendQuryDevice2(gUdpConn, "127.0.0.1", 0, "abcdefghij0123456789", 3, np);
  std::vector<std::string> out;
  while (fgets(line, sizeof line, p) && strncmp(line, "DONE", 4) != 0) out.push_back(line);
  pclose(p);
  ASSERT_EQ(out.size(), 14u);
  for (const std::string& l : out) EXPECT_NE(l.find("\"ok\": true"), std::string::npos) << l;
  const uint8_t def[4] = {1, 0, 0, 0};
  OVC_Set_Connection_Option(def);
  OVC_Setup_ErrorUpload(0);
  EXPECT_EQ(OVC_DeInitialize(), 0);
  EXPECT_EQ(chdir(cwd), 0);
}

}  // namespace
