// Connect by UID through the servers on loopback: the masters and P2P servers of
// tests/sim/ovc/servers.py and the device of devpeer.py, each on an address of its own in
// 127.0.0.0/8 (the masters' port is fixed). The client learns the device's group from the master,
// says hello, pre-checks, and comes up by knocking (P2P) or through the relay; each session
// carries reliable messages to the device. Server refusals give their error codes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "lan_peer_proc.h"
#include "ovc_state.h"

using ovc_test::LanPeer;

namespace {

std::string loop_addr(int host) {
  return "127.91." + std::to_string(getpid() % 200 + 20) + "." + std::to_string(host);
}

const char* kUid = "OVCSRVDEVICE00000001";

class Servers : public ::testing::Test {
 protected:
  void StartAll(const std::vector<std::string>& devArgs = {}) {
    master_ = loop_addr(1);
    srv_.SetScript("servers.py");
    ASSERT_TRUE(srv_.Start({"--master", master_, "--p2p", master_ + ":0," + master_ + ":0", "--timeout", "280"}));
    ASSERT_NE(srv_.WaitFor({"\"ready\""}, 20000), "");
    dev_.SetScript("devpeer.py");
    std::vector<std::string> a = {"--uid", kUid, "--master", master_, "--bind", loop_addr(2), "--period", "0.2",
                                  "--timeout", "280"};
    a.insert(a.end(), devArgs.begin(), devArgs.end());
    ASSERT_TRUE(dev_.Start(a));
    ASSERT_NE(dev_.WaitFor({"\"registered\""}, 20000), "");
    ASSERT_EQ(OVC_Initialize_Internal(0, master_.c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
    OVC_Setup_LANConnection_Timeout(0);
  }
  void TearDown() override {
    OVC_DeInitialize();
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Setup_P2PConnection_Timeout(-1);
    dev_.Stop();
    srv_.Stop();
  }
  int Mode(int sid) {
    OvcSessionLockGuard g;
    SessionInfo* s = ovc_session_at(sid);
    return s ? s->connectMode : -1;
  }
  // Writes count reliable messages (a counter and filler) and waits until all are acknowledged;
  // then the device reports how many arrived in order.
  void SendReliable(int sid, int count) {
    ovc_set_reliable_resend_limit(1000000);
    std::vector<uint8_t> msg(200, 'g');
    for (int i = 0; i < count;) {
      memcpy(msg.data(), &i, 4);
      int w = OVC_Session_Write_Reliable_NB(sid, msg.data(), (int)msg.size(), 0);
      if (w == 0) ++i;
      else if (w == OVC_ER_QUEUE_FULL) usleep(1000);
      else FAIL() << "write " << w;
    }
    for (int i = 0; i < 120000 && OVC_Reliable_All_MSG_Is_Sent(sid, 0) == 0; ++i) usleep(1000);
    ASSERT_NE(OVC_Reliable_All_MSG_Is_Sent(sid, 0), 0);
    size_t from = dev_.Count();
    dev_.Send("stats");
    std::string st = dev_.WaitFor({"\"stats\""}, 10000, from);
    EXPECT_NE(st.find("\"rel_delivered\": {\"0\": " + std::to_string(count) + "}"), std::string::npos) << st;
    EXPECT_NE(st.find("\"rel_order_ok\": true"), std::string::npos) << st;
  }
  std::string master_;
  LanPeer srv_, dev_;
};

TEST_F(Servers, KnocksThroughThePunchInformationAndCarriesReliableMessages) {
  StartAll();
  int sid = OVC_Connect_ByUID(kUid);
  ASSERT_GE(sid, 0) << sid;
  EXPECT_EQ(Mode(sid), 0);
  EXPECT_NE(dev_.WaitFor({"\"connected\"", "\"direct\""}, 5000), "");
  // The servers saw the query, the pre-check and the P2P request, and got the connect report.
  EXPECT_NE(srv_.WaitFor({"\"query\"", kUid}, 1000), "");
  EXPECT_NE(srv_.WaitFor({"\"precheck\"", "\"known\": true"}, 1000), "");
  EXPECT_NE(srv_.WaitFor({"\"p2p_request\"", "\"size\": 272"}, 1000), "");
  EXPECT_NE(srv_.WaitFor({"\"report_connect\"", "\"result\": 0"}, 5000), "");
  SendReliable(sid, 2000);
  OVC_Session_Close(sid);
}

TEST_F(Servers, RelayCarriesTheSessionWhenKnocksGoNowhere) {
  StartAll({"--no-direct"});
  int sid = OVC_Connect_ByUID(kUid);
  ASSERT_GE(sid, 0) << sid;
  EXPECT_EQ(Mode(sid), 1);
  EXPECT_NE(dev_.WaitFor({"\"connected\"", "\"relay\""}, 5000), "");
  EXPECT_NE(dev_.WaitFor({"\"announce\""}, 1000), "");
  EXPECT_NE(srv_.WaitFor({"\"relay_confirm\""}, 5000), "");
  SendReliable(sid, 2000);
  OVC_Session_Close(sid);
  EXPECT_NE(srv_.WaitFor({"\"relay_close\""}, 5000), "");
}

struct RefusalCase {
  const char* mode;
  int code;
  bool noPunch;
  bool reported;  // the device's servers are known by then, so the failure is reported to them
};

TEST_F(Servers, ServerRefusalsEndTheConnectWithTheirCodes) {
  StartAll();
  const RefusalCase cases[] = {
      {"refuse-uid", OVC_ER_INVALID_UID, false, false},     {"unknown", OVC_ER_DEVICE_UNKNOWN, false, true},
      {"duplicate", OVC_ER_DUPLICATE_LOGIN, false, false},  {"asleep", OVC_ER_DEVICE_ASLEEP, false, true},
      {"relay-refused", OVC_ER_RELAY_REFUSED, true, true},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.mode);
    size_t from = srv_.Count();
    srv_.Send(std::string("mode ") + c.mode);
    ASSERT_NE(srv_.WaitFor({"\"mode\"", c.mode}, 5000, from), "");
    OVC_Setup_P2PConnection_Timeout(c.noPunch ? 0 : -1);
    EXPECT_EQ(OVC_Connect_ByUID(kUid), c.code);
    // A failed connect reports its code to the servers.
    if (c.reported)
      EXPECT_NE(srv_.WaitFor({"\"report_connect\"", "\"result\": " + std::to_string(c.code)}, 5000, from), "");
  }
}

TEST_F(Servers, StopEndsAConnectWhoseMastersAreSilent) {
  StartAll();
  srv_.Send("mode silent-master");
  ASSERT_NE(srv_.WaitFor({"\"mode\"", "silent-master"}, 5000), "");
  std::atomic<int> r{1};
  std::thread t([&] { r = OVC_Connect_ByUID(kUid); });
  ASSERT_NE(srv_.WaitFor({"\"query\"", kUid, "\"own\": false"}, 5000), "");
  OVC_Connect_Stop();
  t.join();
  EXPECT_EQ(r.load(), OVC_ER_CONNECT_STOPPED);
}

}  // namespace

// ---- Answers fed straight to the handler (no socket, nothing sent) ---------------------------

bool ovc_server_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn, int overTcp, const ovc_netaddr_t& sender);
bool ovc_parse_query_options(const uint8_t* body, uint32_t blen, int16_t key[3], bool* haveKey, const uint8_t** list,
                             int* listCount, const uint8_t** bitmap, int* bitmapLen);
int FindGroupOfUid(const char* uid);
int ovc_group_server_count(int group);
uint64_t ovc_server_answers_dropped();

namespace {

const char* kMaster = "127.0.0.31";

void feed(uint16_t type, const std::vector<uint8_t>& body, const char* from, uint16_t port) {
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.type = type;
  h.tag = 20;
  h.length = (uint16_t)body.size();
  ovc_netaddr_t s;
  ovc_text_to_netaddr(from, htons(port), &s);
  ovc_server_packet(h, body.data(), (uint32_t)body.size(), from, htons(port), nullptr, 0, s);
}

std::vector<uint8_t> sockaddr16(const char* ip, uint16_t port) {
  std::vector<uint8_t> a(16, 0);
  a[0] = 2;
  a[2] = (uint8_t)(port >> 8);
  a[3] = (uint8_t)port;
  inet_pton(AF_INET, ip, &a[4]);
  return a;
}

// A 0x1008 body: uid, reflexive address, a group key record and a server-list record.
std::vector<uint8_t> query_answer(const char* uid, const std::vector<std::vector<uint8_t>>& servers) {
  std::vector<uint8_t> b(56, 0);
  memcpy(b.data(), uid, 20);
  auto r = sockaddr16("198.51.100.2", 5000);
  std::copy(r.begin(), r.end(), b.begin() + 36);
  b[54] = 2;
  std::vector<uint8_t> rec = {1, 0, 6, 0, 4, 0, 5, 0, 6, 0};
  b.insert(b.end(), rec.begin(), rec.end());
  uint16_t len = (uint16_t)(16 * servers.size());
  b.push_back(2), b.push_back(0), b.push_back((uint8_t)len), b.push_back((uint8_t)(len >> 8));
  for (auto& s : servers) b.insert(b.end(), s.begin(), s.end());
  return b;
}

class ServerAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OVC_Initialize_Internal(0, kMaster, nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
  }
  void TearDown() override { OVC_DeInitialize(); }
};

TEST_F(ServerAnswers, HelloAnswersTeachTheNatType) {
  feed(0x1008, query_answer(kUid, {sockaddr16("127.0.0.32", 10240), sockaddr16("127.0.0.33", 10240)}), kMaster, 10240);
  // The query answer's own reflexive address is the first report.
  EXPECT_EQ(OVC_Get_Nat_Type(OVC_INTERNAL_GUARD), 0);
  feed(0x8004, sockaddr16("198.51.100.2", 5000), "127.0.0.32", 10240);
  EXPECT_EQ(OVC_Get_Nat_Type(OVC_INTERNAL_GUARD), 2);
  feed(0x8004, sockaddr16("198.51.100.2", 5000), "127.0.0.33", 10240);
  EXPECT_EQ(OVC_Get_Nat_Type(OVC_INTERNAL_GUARD), 2);
  feed(0x8004, sockaddr16("198.51.100.2", 6001), "127.0.0.33", 10240);
  EXPECT_EQ(OVC_Get_Nat_Type(OVC_INTERNAL_GUARD), 3);
  feed(0x8004, sockaddr16("198.51.100.2", 6001), "127.0.0.33", 10240);
  EXPECT_EQ(OVC_Get_Nat_Type(OVC_INTERNAL_GUARD), 3) << "a symmetric NAT stays symmetric";
}

TEST_F(ServerAnswers, GroupListsKeepEachServerOnceAndStrangersAreNotHeard) {
  uint64_t before = ovc_server_answers_dropped();
  feed(0x1008, query_answer(kUid, {sockaddr16("127.0.0.32", 10240)}), "127.0.0.99", 10240);
  EXPECT_EQ(FindGroupOfUid(kUid), -1);
  EXPECT_EQ(ovc_server_answers_dropped(), before + 1);
  auto s = sockaddr16("127.0.0.32", 10240);
  feed(0x1008, query_answer(kUid, {s, s, s, sockaddr16("127.0.0.33", 10240)}), kMaster, 10240);
  int g = FindGroupOfUid(kUid);
  ASSERT_GE(g, 0);
  EXPECT_EQ(ovc_group_server_count(g), 2);
  // A known server is heard too.
  feed(0x8004, sockaddr16("198.51.100.2", 5000), "127.0.0.32", 10240);
  EXPECT_EQ(ovc_server_answers_dropped(), before + 1);
}

struct OptionCase {
  const char* name;
  int cut;            // bytes removed from the end of a well-formed answer
  int countOverride;  // option count written at 54, or -1
  int listLenOverride;
  bool whole;
  int listCount;
};

TEST(QueryOptions, RecordsStayInsideTheBody) {
  const OptionCase cases[] = {
      {"well-formed", 0, -1, -1, true, 2},
      {"count beyond the records", 0, 9, -1, false, 2},
      {"list longer than the body", 0, -1, 48, false, 0},
      {"cut inside the list", 8, -1, -1, false, 0},
      {"cut inside a record head", 30, -1, -1, false, 0},
      {"no records", 0, 0, -1, true, 0},
  };
  for (const OptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto b = query_answer(kUid, {sockaddr16("127.0.0.32", 10240), sockaddr16("127.0.0.33", 10240)});
    if (c.countOverride >= 0) b[54] = (uint8_t)c.countOverride;
    if (c.listLenOverride >= 0) b[56 + 10 + 2] = (uint8_t)c.listLenOverride;
    b.resize(b.size() - (size_t)c.cut);
    int16_t key[3];
    bool haveKey;
    const uint8_t *list, *bitmap;
    int n, bl;
    bool whole = ovc_parse_query_options(b.data(), (uint32_t)b.size(), key, &haveKey, &list, &n, &bitmap, &bl);
    EXPECT_EQ(whole, c.whole);
    EXPECT_EQ(n, c.listCount);
    EXPECT_TRUE(haveKey || c.countOverride == 0);
    if (list) EXPECT_LE(list + 16 * n, b.data() + b.size());
  }
}

}  // namespace
