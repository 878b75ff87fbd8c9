// Wake-up and sleep: the byte layout of the sleep-mode registration and of the sleeping-device
// packet, the keep-alive entries recorded from the registrations, and a sleep request against
// the servers of tests/sim/ovc/servers.py on loopback (all answer, one answers, none answers),
// plus the client's wake-up request as the servers log it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "lan_peer_proc.h"
#include "ovc_state.h"
#include "ovc_wakeup.h"

void ovc_set_device_time_scale(uint32_t percent);
int32_t ovc_device_login_state();
int ovc_build_registration(uint8_t* out, uint32_t options, uint32_t counterValue);
void SendRegistration(TConnection* conn, const char* addressText, uint16_t port, int withCallback);
extern std::atomic<bool> gTcpMode;

using ovc_test::LanPeer;

namespace {

const char* kDevUid = "OVCSDKWAKEUP00000001";

std::string master_addr() { return "127.93." + std::to_string(getpid() % 200 + 20) + ".1"; }

std::vector<uint8_t> unscramble(const uint8_t* d, size_t n) {
  OvcReceived rx;
  EXPECT_EQ(ovc_unscramble_datagram(d, n, &rx), 0);
  return std::vector<uint8_t>(rx.bytes, rx.bytes + rx.size);
}

uint32_t u32_at(const std::vector<uint8_t>& v, size_t off) {
  return (uint32_t)v[off] | (uint32_t)v[off + 1] << 8 | (uint32_t)v[off + 2] << 16 | (uint32_t)v[off + 3] << 24;
}

TEST(WakeUpBytes, SleepRegistrationAndSleepingDevicePacketLayouts) {
  ASSERT_EQ(OVC_Initialize_Internal(0, "127.0.0.1", nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
  memcpy(gLocalUid, kDevUid, 20);
  uint8_t reg[288], sleep[288];
  ASSERT_EQ(ovc_build_registration(reg, 0, 7), 288);
  ASSERT_EQ(ovc_build_registration(sleep, 1, 0xA1B2C3D4u), 288);
  struct Field {
    const char* what;
    size_t off;
    uint32_t regular, sleepMode;
  };
  const Field fields[] = {
      {"type", 8, 0x0105, 0x0105},  // u16 at 8, read with its neighbour route 0x14
      {"length", 4, 272, 272},
      {"version word", 16 + 40, 0x0301052A, 0x0301052A},
      {"option bits (sleep bit 0)", 16 + 204, 0, 1},
      {"counter or caller's value", 16 + 220, 7, 0xA1B2C3D4u},
  };
  std::vector<uint8_t> r(reg, reg + 288), s(sleep, sleep + 288);
  for (const Field& f : fields) {
    SCOPED_TRACE(f.what);
    uint32_t mask = f.off == 8 || f.off == 4 ? 0xFFFFu : 0xFFFFFFFFu;
    EXPECT_EQ(u32_at(r, f.off) & mask, f.regular);
    EXPECT_EQ(u32_at(s, f.off) & mask, f.sleepMode);
  }
  EXPECT_EQ(memcmp(sleep + 16, kDevUid, 20), 0);

  uint8_t* p = nullptr;
  int32_t len = 0;
  EXPECT_EQ(OVC_Get_SleepingDevicePacket(&p, &len, 0x11223344, 1), 9999);
  ASSERT_EQ(OVC_Get_SleepingDevicePacket(&p, &len, 0x11223344, OVC_INTERNAL_GUARD), 0);
  ASSERT_EQ(len, 40);
  const uint8_t head[16] = {0x04, 0x02, 0x14, 0, 24, 0, 0, 0, 0x14, 0x01, 0x14, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(p, head, 16), 0);
  EXPECT_EQ(memcmp(p + 16, kDevUid, 20), 0);
  EXPECT_EQ(u32_at(std::vector<uint8_t>(p, p + 40), 36), 0x11223344u);
  free(p);
  EXPECT_EQ(OVC_Get_RandomID32(0), 9999u);
  uint32_t id = OVC_Get_RandomID32(OVC_INTERNAL_GUARD);
  EXPECT_NE(id & 0xFFFF, 0u);
  EXPECT_NE(id >> 16, 0u);
  OVC_DeInitialize();
}

std::vector<std::pair<uint32_t, uint16_t>> gSeen;
void first_cb(const uint8_t*, uint32_t, uint32_t a, uint16_t p, int) { gSeen.emplace_back(a, p); }

TEST(WakeUpEntries, RegistrationsBecomeOneScrambledEntryPerServer) {
  ASSERT_EQ(OVC_Initialize_Internal(0, "127.0.0.1", nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
  memcpy(gLocalUid, kDevUid, 20);
  EXPECT_EQ(OVC_WakeUp_Get_KeepAlivePacket(nullptr, nullptr), -66);
  OVC_WakeUp_Init();
  // The module's callback came first: another one, or a wrong guard, changes nothing.
  OVC_Register_LoginPacketCallback(first_cb, OVC_INTERNAL_GUARD);
  OVC_UnRegister_LoginPacketCallback(1);
  // No connection: the callback sees the registration, nothing is sent anywhere.
  SendRegistration(nullptr, "198.51.100.10", 10001, 1);
  SendRegistration(nullptr, "198.51.100.10", 10001, 1);
  SendRegistration(nullptr, "198.51.100.11", 10002, 1);
  SendRegistration(nullptr, "198.51.100.12", 10003, 0);  // not asked to call back
  EXPECT_TRUE(gSeen.empty());
  KeepAliveEntry* e = nullptr;
  int32_t n = -1;
  ASSERT_EQ(OVC_WakeUp_Get_KeepAlivePacket(&e, &n), 0);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(e[0].serverAddr, (uint64_t)inet_addr("198.51.100.10"));
  EXPECT_EQ(e[0].serverPort, 10001);
  EXPECT_EQ(e[1].serverAddr, (uint64_t)inet_addr("198.51.100.11"));
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(e[i].length, 288u);
    EXPECT_EQ(e[i].fixed25, 25u);
    EXPECT_EQ(e[i].blockLength, 48u);
    std::vector<uint8_t> d = unscramble(e[i].datagram, e[i].length);
    ASSERT_EQ(d.size(), 288u);
    EXPECT_EQ(d[3] & OVC_FLAG_PE_AWARE, OVC_FLAG_PE_AWARE);
    EXPECT_EQ(d[16 + 204] & 1, 1) << "a replayed registration carries the sleep bit";
    EXPECT_EQ(memcmp(d.data() + 16, kDevUid, 20), 0);
    static const uint8_t zero[32] = {};
    EXPECT_EQ(memcmp(e[i].block, zero, 32), 0);
  }
  EXPECT_EQ(memcmp(e[0].block + 32, e[1].block + 32, 16), 0);

  // The block follows the UID's last four characters only.
  KeepAliveEntry a{}, b{}, c{};
  uint8_t reg[288];
  ovc_build_registration(reg, 0, 0);
  for (KeepAliveEntry* k : {&a, &b, &c}) {
    k->datagram = static_cast<uint8_t*>(calloc(1, 288));
    k->block = static_cast<uint8_t*>(calloc(1, 48));
  }
  BuildKeepAliveEntry(&a, reg, 288, 1, 1);
  memcpy(reg + 16, "XXXXXXXXXXXXXXXX", 16);
  BuildKeepAliveEntry(&b, reg, 288, 1, 1);
  reg[16 + 19] ^= 1;
  BuildKeepAliveEntry(&c, reg, 288, 1, 1);
  EXPECT_EQ(memcmp(a.block, b.block, 48), 0);
  EXPECT_NE(memcmp(a.block, c.block, 48), 0);
  for (KeepAliveEntry* k : {&a, &b, &c}) {
    free(k->datagram);
    free(k->block);
  }

  // A registration that goes out in TCP mode is not recorded and says so.
  gTcpMode = true;
  SendRegistration(nullptr, "198.51.100.13", 10004, 1);
  gTcpMode = false;
  EXPECT_EQ(OVC_WakeUp_Get_KeepAlivePacket(&e, &n), -65);
  OVC_WakeUp_DeInit(nullptr);
  EXPECT_EQ(OVC_WakeUp_Get_KeepAlivePacket(&e, &n), -66);
  OVC_DeInitialize();
}

struct SleepResult {
  std::mutex mu;
  bool called = false;
  int result = 1;
  std::vector<std::vector<uint8_t>> packets;
  KeepAliveEntry* entries = nullptr;
};
SleepResult* gSleep = nullptr;

long sleep_cb(KeepAliveEntry* entries, uint32_t count, int result) {
  std::lock_guard<std::mutex> g(gSleep->mu);
  gSleep->called = true;
  gSleep->result = result;
  gSleep->entries = entries;
  for (uint32_t i = 0; i < count; ++i) gSleep->packets.push_back(unscramble(entries[i].datagram, entries[i].length));
  return 0;
}

class WakeUpServers : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_.SetScript("servers.py");
    std::string m = master_addr();
    ASSERT_TRUE(srv_.Start({"--master", m, "--p2p", m + ":0," + m + ":0", "--timeout", "200"}));
    ASSERT_NE(srv_.WaitFor({"\"ready\""}, 20000), "");
    ASSERT_EQ(OVC_Initialize_Internal(0, m.c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
    ovc_set_device_time_scale(10);
    ASSERT_EQ(OVC_Device_Login(kDevUid, nullptr, nullptr), 0);
    gSleep = &result_;
  }
  void TearDown() override {
    OVC_DeInitialize();
    ovc_set_device_time_scale(100);
    srv_.Stop();
    gSleep = nullptr;
  }
  void Mode(const char* mode) {
    size_t from = srv_.Count();
    srv_.Send(std::string("mode ") + mode);
    ASSERT_NE(srv_.WaitFor({"\"mode\"", mode}, 5000, from), "");
  }
  bool WaitCalled(int ms) {
    for (int i = 0; i < ms / 20; ++i) {
      {
        std::lock_guard<std::mutex> g(result_.mu);
        if (result_.called) return true;
      }
      usleep(20000);
    }
    return false;
  }
  LanPeer srv_;
  SleepResult result_;
};

TEST_F(WakeUpServers, EveryServerAnsweringEndsTheBedTaskWithOneEntryEach) {
  OVC_WakeUp_Init();
  size_t from = srv_.Count();
  EXPECT_EQ(OVC_WakeUp_Get_SleepPacket(nullptr, 0), OVC_ER_INVALID_ARG);
  EXPECT_EQ(OVC_WakeUp_Get_SleepPacket(sleep_cb, -1), OVC_ER_INVALID_ARG);
  // Lifetime 0 means 6 s; both servers answer long before.
  ASSERT_EQ(OVC_WakeUp_Get_SleepPacket(sleep_cb, 0), 0);
  ASSERT_TRUE(WaitCalled(5000));
  std::string line = srv_.WaitFor({"\"sleep_register\"", kDevUid}, 2000, from);
  ASSERT_NE(line, "");
  EXPECT_EQ(OVC_WakeUp_ResponsedServerNum(), 2);
  std::lock_guard<std::mutex> g(result_.mu);
  EXPECT_EQ(result_.result, 0);
  ASSERT_EQ(result_.packets.size(), 2u);
  for (const auto& p : result_.packets) {
    ASSERT_EQ(p.size(), 40u);
    EXPECT_EQ(p[8] | p[9] << 8, 0x0114);
    EXPECT_EQ(memcmp(p.data() + 16, kDevUid, 20), 0);
    // The packet carries the value the sleep-mode registration carried.
    EXPECT_NE(line.find("\"value\": " + std::to_string(u32_at(p, 36))), std::string::npos) << line;
  }
  // The sleep answers did not bring the login back to "registered" meanwhile; the handed-out
  // array and the recorded one are freed each by its own count.
  OVC_WakeUp_DeInit(result_.entries);
}

struct PartialCase {
  const char* mode;
  int lifetimeMs;
  size_t entries;
  int result;
};

TEST_F(WakeUpServers, TheLifetimeEndsTheBedTaskWithWhatAnswered) {
  const PartialCase cases[] = {
      {"sleep-one", 1500, 1, 0},
      {"sleep-silent", 1000, 0, OVC_ER_TIMEOUT},
  };
  for (const PartialCase& c : cases) {
    SCOPED_TRACE(c.mode);
    Mode(c.mode);
    {
      std::lock_guard<std::mutex> g(result_.mu);
      result_.called = false;
      result_.packets.clear();
      result_.entries = nullptr;
    }
    OVC_WakeUp_Init();
    ASSERT_EQ(OVC_WakeUp_Get_SleepPacket(sleep_cb, c.lifetimeMs), 0);
    ASSERT_TRUE(WaitCalled(c.lifetimeMs + 10000));
    std::lock_guard<std::mutex> g(result_.mu);
    EXPECT_EQ(result_.result, c.result);
    EXPECT_EQ(result_.packets.size(), c.entries);
    OVC_WakeUp_DeInit(result_.entries);
  }
}

TEST_F(WakeUpServers, WakeUpRequestGoesToEveryServerOfTheGroup) {
  EXPECT_EQ(OVC_Send_WakeUp_Internal(kDevUid, 1), OVC_ER_FAIL);
  EXPECT_EQ(OVC_Send_WakeUp_Internal("OVCSDKUNKNOWN0000009", OVC_INTERNAL_GUARD), OVC_ER_FAIL);
  size_t from = srv_.Count();
  EXPECT_EQ(OVC_WakeUp_WakeDevice(kDevUid), 0);
  EXPECT_NE(srv_.WaitFor({"\"wakeup\"", "\"server\": 0", kDevUid, "HwdyHvFda!!!", "\"size\": 32"}, 5000, from), "");
  EXPECT_NE(srv_.WaitFor({"\"wakeup\"", "\"server\": 1", kDevUid}, 5000, from), "");
  // A request that cannot go out is a failure.
  // (Swapped under the session lock, which the periodic senders hold.)
  OvcSessionLockGuard g;
  TConnection* saved = gUdpConn;
  gUdpConn = nullptr;
  EXPECT_EQ(OVC_WakeUp_WakeDevice(kDevUid), OVC_ER_FAIL);
  gUdpConn = saved;
}

}  // namespace
