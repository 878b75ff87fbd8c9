// The device login beyond plain UDP, against tests/sim/ovc/servers.py on loopback with its TCP
// masters and servers: the login over TCP when UDP goes unanswered, the non-blocking login's
// states, the codes when nothing answers, the fallback servers, the daily own-group query and
// the renewal of the UDP socket. Long periods run on a scaled clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "lan_peer_proc.h"
#include "ovc_device_internal.h"
#include "ovc_wakeup.h"

void ovc_set_device_time_scale(uint32_t percent);
void ovc_set_device_round_ms(uint32_t ms);
void ovc_set_device_daily_ms(uint32_t dayMs, uint32_t queryMs);
int32_t ovc_device_login_state();

using ovc_test::LanPeer;

namespace {

const char* kDevUid = "OVCSDKDEVTCP00000001";

std::string base_addr() { return "127.94." + std::to_string(getpid() % 200 + 20) + "."; }
std::string master_addr() { return base_addr() + "1"; }
std::string dead_addr() { return base_addr() + "9"; }  // nothing listens there

// The renewal changes the port on the task thread, under the session lock.
uint16_t local_port() {
  OvcSessionLockGuard g;
  return gLocalUdpPort;
}

struct States {
  std::mutex mu;
  std::vector<std::pair<int, int>> seen;
};
States* gStates = nullptr;
void on_state(int state, int result, void* user) {
  auto* s = static_cast<States*>(user);
  std::lock_guard<std::mutex> g(s->mu);
  s->seen.emplace_back(state, result);
}

class DeviceTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_.SetScript("servers.py");
    std::string b = base_addr();
    ASSERT_TRUE(srv_.Start({"--master", master_addr(), "--p2p", b + "2:0," + b + "3:0", "--tcp", "--timeout", "300"}));
    ASSERT_NE(srv_.WaitFor({"\"ready\""}, 20000), "");
    ovc_set_device_time_scale(10);
  }
  void TearDown() override {
    OVC_DeInitialize();
    ovc_set_device_time_scale(100);
    ovc_set_device_round_ms(0);
    ovc_set_device_daily_ms(0, 0);
    ovc_set_fallback_servers(nullptr, 0);
    srv_.Stop();
  }
  void Init(const std::string& master) {
    OVC_DeInitialize();
    ASSERT_EQ(OVC_Initialize_Internal(0, master.c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
  }
  void Mode(const char* mode) {
    size_t from = srv_.Count();
    srv_.Send(std::string("mode ") + mode);
    ASSERT_NE(srv_.WaitFor({"\"mode\"", mode}, 5000, from), "");
  }
  bool WaitState(int state, int ms) {
    for (int i = 0; i < ms / 20; ++i) {
      if (ovc_device_login_state() == state) return true;
      usleep(20000);
    }
    return ovc_device_login_state() == state;
  }
  size_t CountLines(const std::vector<std::string>& texts, size_t from = 0) {
    std::vector<std::string> lines = srv_.Lines();
    size_t n = 0;
    for (size_t i = from; i < lines.size(); ++i)
      n += std::all_of(texts.begin(), texts.end(), [&](const std::string& t) { return lines[i].find(t) != std::string::npos; });
    return n;
  }
  LanPeer srv_;
};

TEST_F(DeviceTcp, LogsInOverTcpWhenUdpGoesUnanswered) {
  Init(master_addr());
  Mode("udp-blocked");
  size_t from = srv_.Count();
  ASSERT_EQ(OVC_Device_Login(kDevUid, "name", "password"), 0);
  EXPECT_TRUE(gTcpMode.load());
  EXPECT_EQ(gNatType, 10u);
  EXPECT_NE(srv_.WaitFor({"\"tcp_accept\"", "\"server\": \"master\"", "\"port\": 21047"}, 1000, from), "");
  EXPECT_NE(srv_.WaitFor({"\"query\"", kDevUid, "\"own\": true"}, 1000, from), "");
  // The registration goes over the stream to a server of the group, which acknowledges it there.
  EXPECT_NE(srv_.WaitFor({"\"tcp_accept\"", "\"port\": 21047", "\"server\": "}, 1000, from), "");
  EXPECT_NE(srv_.WaitFor({"\"register\"", kDevUid, "\"size\": 272"}, 5000, from), "");
  EXPECT_TRUE(WaitState(8, 5000)) << ovc_device_login_state();
  uint32_t flags = 0;
  OVC_Get_Login_Info(&flags);
  EXPECT_EQ(flags & 7u, 7u);
}

TEST_F(DeviceTcp, KeepAliveEntriesAreRefusedWhenTheRegistrationGoesOverTcp) {
  Init(master_addr());
  Mode("udp-blocked");
  OVC_WakeUp_Init();
  ASSERT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), 0);
  ASSERT_TRUE(gTcpMode.load());
  KeepAliveEntry* e = nullptr;
  int32_t n = -1;
  // The companion cannot replay a registration that went over a stream.
  EXPECT_EQ(OVC_WakeUp_Get_KeepAlivePacket(&e, &n), -65);
  EXPECT_EQ(n, -1);
  OVC_WakeUp_DeInit(nullptr);
}

struct NbCase {
  const char* mode;
  std::vector<int> states;
  int lastResult;
};

TEST_F(DeviceTcp, NonBlockingLoginReportsEveryState) {
  const NbCase cases[] = {
      {"normal", {1, 2, 4, 8}, 0},
      {"udp-blocked", {1, 2, 4, 8}, 0},
      {"udp-blocked-tcp-silent", {1, 2, -1}, OVC_ER_MASTER_SILENT},
      {"refuse-uid", {1, 2, -1}, OVC_ER_INVALID_UID},
      {"silent-register", {1, 2, 4, 16}, 0},
  };
  for (const NbCase& c : cases) {
    SCOPED_TRACE(c.mode);
    Init(master_addr());
    Mode(c.mode);
    States st;
    ASSERT_EQ(OVC_Device_LoginNB(kDevUid, "name", "password", on_state, &st), 0);
    // A second login while one runs changes nothing and calls nothing back.
    States other;
    EXPECT_EQ(OVC_Device_LoginNB(kDevUid, nullptr, nullptr, on_state, &other), OVC_ER_LOGIN_STARTED);
    int last = c.states.back();
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard<std::mutex> g(st.mu);
        if (!st.seen.empty() && st.seen.back().first == last) break;
      }
      usleep(20000);
    }
    std::lock_guard<std::mutex> g(st.mu);
    std::vector<int> got;
    for (auto& p : st.seen) got.push_back(p.first);
    EXPECT_EQ(got, c.states);
    if (!st.seen.empty()) EXPECT_EQ(st.seen.back().second, c.lastResult);
    EXPECT_TRUE(other.seen.empty());
  }
}

struct NoAnswerCase {
  const char* what;
  bool deadMaster;  // nothing listens at the master address at all
  const char* mode;
  int code;
};

TEST_F(DeviceTcp, NothingAnsweringEndsTheLoginWithItsCode) {
  const NoAnswerCase cases[] = {
      {"masters take TCP but stay silent", false, "udp-blocked-tcp-silent", OVC_ER_MASTER_SILENT},
      {"no master over UDP or TCP, no fallback server", true, "normal", OVC_ER_NO_SERVER},
  };
  for (const NoAnswerCase& c : cases) {
    SCOPED_TRACE(c.what);
    Init(c.deadMaster ? dead_addr() : master_addr());
    Mode(c.mode);
    EXPECT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), c.code);
    EXPECT_EQ(ovc_device_login_state(), -1);
  }
}

TEST_F(DeviceTcp, UnresolvedMastersTellNoNamesFromNoNetwork) {
  struct Case {
    const char* what;
    std::string fallback;
    int code;
  };
  // The simulator's master takes TCP on port 80: a reachable fallback server.
  const Case cases[] = {
      {"a fallback server answers", master_addr(), OVC_ER_MASTER_UNRESOLVED},
      {"no fallback server answers", dead_addr(), OVC_ER_NO_SERVER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OVC_DeInitialize();
    ASSERT_EQ(OVC_Initialize2(0), 0);  // no master names: nothing resolves
    const char* hosts[4] = {c.fallback.c_str(), nullptr, nullptr, nullptr};
    ovc_set_fallback_servers(hosts, 80);
    EXPECT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), c.code);
    States st;
    ASSERT_EQ(OVC_Device_LoginNB(kDevUid, nullptr, nullptr, on_state, &st), 0);
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> g(st.mu);
        if (!st.seen.empty() && st.seen.back().first == -1) break;
      }
      usleep(20000);
    }
    std::lock_guard<std::mutex> g(st.mu);
    ASSERT_FALSE(st.seen.empty());
    EXPECT_EQ(st.seen.back(), std::make_pair(-1, c.code));
  }
}

TEST_F(DeviceTcp, DailyQueryAsksTheMastersAgainUntilAnswered) {
  Init(master_addr());
  ovc_set_device_daily_ms(400, 50);
  ASSERT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), 0);
  size_t from = srv_.Count();
  usleep(2000000);
  // About one answered query per "day" (the first tick only marks the task as started); a
  // query sender that did not stop on the answer would send every 50 ms.
  size_t n = CountLines({"\"query\"", kDevUid, "\"own\": true"}, from);
  EXPECT_GE(n, 2u);
  EXPECT_LE(n, 12u);
  Mode("silent-master");
  from = srv_.Count();
  usleep(1500000);
  // Unanswered, the daily query keeps asking every 50 ms.
  EXPECT_GE(CountLines({"\"query\"", kDevUid, "\"own\": true"}, from), 8u);
}

TEST_F(DeviceTcp, UnansweredDeviceRenewsItsSocketOnlyWhenNothingUsesIt) {
  for (bool busy : {true, false}) {
    SCOPED_TRACE(busy ? "a session is being set up" : "no session");
    Init(master_addr());
    Mode("normal");
    ovc_set_device_round_ms(20);
    ASSERT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), 0);
    uint16_t before = local_port();
    if (busy) {
      OvcSessionLockGuard g;
      gSessionInfo[0].state = 1;
    }
    Mode("silent-register");
    // 150 unanswered rounds of 20 ms.
    for (int i = 0; i < 1000 && OVC_Get_Login_Info(nullptr) < 155; ++i) usleep(10000);
    ASSERT_GE(OVC_Get_Login_Info(nullptr), 155);
    if (busy) {
      EXPECT_EQ(local_port(), before);
      OvcSessionLockGuard g;
      gSessionInfo[0].state = 0;
      continue;
    }
    EXPECT_NE(local_port(), before);
    // The servers hear the registration from the new port and, once they answer again, the
    // device is registered again.
    EXPECT_NE(srv_.WaitFor({"\"register\"", kDevUid, ", " + std::to_string(local_port()) + "]"}, 5000), "");
    Mode("normal");
    EXPECT_TRUE(WaitState(8, 5000));
  }
}

}  // namespace
