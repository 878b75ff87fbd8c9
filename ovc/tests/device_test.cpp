// The device side on loopback: this process logs in as a device to the servers of
// tests/sim/ovc/servers.py and takes the sessions that a client process (ovc_srv_probe) opens
// by knocking; the server modes give the refusals and the lost registration. The login's long
// periods run on a scaled clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "lan_peer_proc.h"
#include "ovc_state.h"

void ovc_set_device_time_scale(uint32_t percent);
void ovc_set_device_round_ms(uint32_t ms);
int32_t ovc_device_login_state();

using ovc_test::LanPeer;

namespace {

const char* kDevUid = "OVCSDKDEVICE00000001";

std::string master_addr() { return "127.92." + std::to_string(getpid() % 200 + 20) + ".1"; }

class DeviceSide : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_.SetScript("servers.py");
    std::string m = master_addr();
    // The masters also take TCP (so silent masters are silent on both), the P2P servers sit on
    // addresses of their own for their TCP port.
    std::string base = m.substr(0, m.size() - 1);
    ASSERT_TRUE(srv_.Start({"--master", m, "--p2p", base + "2:0," + base + "3:0", "--tcp", "--relay-delay", "1000",
                            "--timeout", "200"}));
    ASSERT_NE(srv_.WaitFor({"\"ready\""}, 20000), "");
    ASSERT_EQ(OVC_Initialize_Internal(0, m.c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
    ovc_set_device_time_scale(10);
  }
  void TearDown() override {
    OVC_DeInitialize();
    ovc_set_device_time_scale(100);
    srv_.Stop();
  }
  void Mode(const char* mode) {
    size_t from = srv_.Count();
    srv_.Send(std::string("mode ") + mode);
    ASSERT_NE(srv_.WaitFor({"\"mode\"", mode}, 5000, from), "");
  }
  LanPeer srv_;
};

TEST_F(DeviceSide, LogsInOverUdpAndHandsOutTheSessionAClientOpens) {
  ASSERT_EQ(OVC_Device_Login(kDevUid, "name", "password"), 0);
  EXPECT_EQ(ovc_device_login_state(), 8);
  OVC_DeviceStatus st;
  OVC_Get_Device_Status(&st);
  EXPECT_EQ(st.status, 3);
  EXPECT_NE(srv_.WaitFor({"\"register\"", kDevUid, "\"size\": 272"}, 1000), "");
  EXPECT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), OVC_ER_LOGIN_STARTED);
  EXPECT_EQ(OVC_Listen(100), OVC_ER_TIMEOUT);

  // The client is another process: it knocks at this device through the punch information.
  std::string cmd = std::string(OVC_SRV_PROBE_PATH) + " connect " + master_addr() + " " + kDevUid + " 1 50 plain";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int sid = OVC_Listen(20000);
  ASSERT_GE(sid, 0) << sid;
  int got = 0, inOrder = 0;
  for (int k = 0; k < 50; ++k) {
    int v = -1;
    int n = OVC_Session_Read(sid, &v, sizeof v, 2000, 0);
    if (n != (int)sizeof v) break;
    inOrder += v == got;
    ++got;
  }
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(pclose(p), 0) << out;
  EXPECT_NE(out.find("CONNECT 0 0 "), std::string::npos) << out;
  EXPECT_EQ(got, 50);
  EXPECT_EQ(inOrder, 50);
  int again = 0;
  EXPECT_EQ(OVC_Accept(&again), 0);
  EXPECT_EQ(again, -1) << "a session is handed out once";
}

TEST_F(DeviceSide, SixUnansweredRegistrationsLoseTheLoginOnce) {
  ovc_set_device_round_ms(200);
  ASSERT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), 0);
  Mode("silent-register");
  // A round every 200 ms: the seventh unanswered round reports the loss.
  for (int i = 0; i < 400 && ovc_device_login_state() != 16; ++i) usleep(50000);
  ovc_set_device_round_ms(0);
  EXPECT_EQ(ovc_device_login_state(), 16);
  uint32_t flags = 0;
  EXPECT_GE(OVC_Get_Login_Info(&flags), 7);
  EXPECT_EQ(flags & 4u, 0u);
}

struct LoginRefusal {
  const char* mode;
  int code;
};

TEST_F(DeviceSide, RefusalsEndTheLoginWithTheirCodes) {
  const LoginRefusal cases[] = {
      {"blocked", OVC_ER_DEVICE_BLOCKED},
      {"refuse-uid", OVC_ER_INVALID_UID},
      {"silent-master", OVC_ER_MASTER_SILENT},
  };
  for (const LoginRefusal& c : cases) {
    SCOPED_TRACE(c.mode);
    OVC_DeInitialize();
    ASSERT_EQ(OVC_Initialize_Internal(0, master_addr().c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
    Mode(c.mode);
    EXPECT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), c.code);
  }
}

}  // namespace
