// The receive side in the process: the UDP checks, TCP reassembly over arbitrary reads, the
// private-address test, recently closed IDs, pre-session promotion, the device's LAN and
// capability answers, and the connect's decision functions as tables.
#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ovc_state.h"
#include "peer_util.h"

void ovc_note_closed_random_id_aged(const RandomID& id, uint32_t ageMs);

namespace {

std::vector<std::string> g_payloads;
std::vector<int> g_codes;
void collect(int, uint8_t, const uint8_t* d, uint32_t n, int status) {
  if (status != 0 || !d) {
    g_codes.push_back(status);
    return;
  }
  g_payloads.emplace_back(reinterpret_cast<const char*>(d), n);
}

std::vector<uint8_t> head(uint16_t type, uint16_t length, uint8_t flags = OVC_FLAG_PE_AWARE, uint16_t rid = 0,
                          uint8_t tag = OVC_HEAD_TAG, uint16_t route = 0x12) {
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = tag;
  h.flags = flags;
  h.length = length;
  h.type = type;
  h.route = route;
  h.randomId = rid;
  std::vector<uint8_t> out(16);
  ovc_head_write(h, out.data());
  return out;
}

std::vector<uint8_t> scramble(std::vector<uint8_t> plain) {
  std::vector<uint8_t> w(plain.size());
  uint16_t n = (uint16_t)plain.size();
  LuffyCore(plain.data(), w.data(), n, (plain[3] & OVC_FLAG_PARTIAL) ? 64 : n);
  return w;
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back((uint8_t)(x >> (8 * i)));
}

class Dispatch : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  int sid = -1;
  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    ASSERT_EQ(OVC_Initialize2(0), 0);
    ASSERT_EQ(ovc_open_udp_socket(), 0);
    g_payloads.clear();
    g_codes.clear();
    // A client session talking to a device at 127.0.0.1:7000 with short random ID 0x1234.
    sid = OVC_Get_SessionID();
    sockaddr_storage ss;
    ASSERT_TRUE(ovc_text_to_sockaddr("127.0.0.1", htons(7000), &ss));
    ASSERT_EQ(ovc_set_send_path(0, sid, gUdpConn, reinterpret_cast<sockaddr*>(&ss)), 0);
    OvcSessionLockGuard g;
    SessionInfo& s = gSessionInfo[sid];
    RandomIDValueUpdate(&s.randomId, 1, 0x1234, 0);
    s.state = 2;
    s.recvCb[0] = collect;
  }
  void TearDown() override {
    if (gOvcState != 0) EXPECT_EQ(OVC_DeInitialize(), 0);
    gTrackClosedIds = false;
    ovc_set_lan_networks(nullptr, nullptr, 0);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  void udp(const std::vector<uint8_t>& wire, const char* from = "127.0.0.1", uint16_t port = 7000) {
    std::vector<uint8_t> copy = wire;
    OVC_UDP_RecvCB(gUdpConn, from, htons(port), copy.data(), (uint32_t)copy.size(), nullptr);
  }
  std::vector<uint8_t> data(const std::string& payload, uint16_t length_override = 0xFFFF, uint8_t flags = OVC_FLAG_PE_AWARE) {
    auto v = head(0x0408, length_override == 0xFFFF ? (uint16_t)payload.size() : length_override, flags, 0x1234);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
  }
};

TEST_F(Dispatch, UdpChecksLengthsAndPartialScrambling) {
  auto empty = scramble(data(""));
  udp(std::vector<uint8_t>(empty.begin(), empty.begin() + 15));
  EXPECT_TRUE(g_payloads.empty());  // 15 bytes
  udp(scramble(data("")));
  ASSERT_EQ(g_payloads.size(), 1u);  // a 16-byte datagram with length 0 reaches its channel
  std::string ninety(90, 'n');
  udp(scramble(data(ninety, 100)));
  EXPECT_EQ(g_payloads.size(), 1u);  // says 100, carries 90
  // Partial: only 64 bytes are scrambled; the rest arrives as sent and is delivered as such.
  std::string long_payload;
  for (int i = 0; i < 200; ++i) long_payload.push_back((char)('a' + i % 26));
  udp(scramble(data(long_payload, 0xFFFF, OVC_FLAG_PE_AWARE | OVC_FLAG_PARTIAL)));
  ASSERT_EQ(g_payloads.size(), 2u);
  EXPECT_EQ(g_payloads[1], long_payload);
  // A wrong magic is dropped.
  auto bad = data("x");
  bad[0] = 0x05;
  bad[1] = 0x03;
  udp(scramble(bad));
  EXPECT_EQ(g_payloads.size(), 2u);
}

// Reads as the connection manager does them: each read takes at most what the callback asked
// for and appends when it kept a partial datagram.
struct TcpFeeder {
  TConnection* c = nullptr;
  TcpFeeder() { TConnection_new(TCONN_TCP, TCONN_CLIENT, 0, &c); }
  ~TcpFeeder() { c->ops()->decRef(c); }
  void feed(const std::vector<uint8_t>& stream, std::mt19937& rng, int maxCut) {
    size_t pos = 0;
    while (pos < stream.size()) {
      uint8_t* at;
      long room;
      if (c->appendFlag == 1) {
        c->appendFlag = 0;
        at = c->buf + c->bufLen;
        room = TCONN_BUFFER_SIZE - c->bufLen;
      } else {
        c->bufLen = 0;
        at = c->buf;
        room = TCONN_BUFFER_SIZE;
      }
      long take = std::min<long>({(long)c->recvSize, room, (long)(stream.size() - pos), 1 + (long)(rng() % (unsigned)maxCut)});
      memcpy(at, stream.data() + pos, (size_t)take);
      pos += (size_t)take;
      c->bufLen += take;
      OVC_TCP_RecvCB(c, "127.0.0.1", htons(7000), c->buf, (uint32_t)c->bufLen, nullptr);
    }
  }
};

TEST_F(Dispatch, TcpReassemblyOverAnyChunkingAndResynchronisation) {
  std::vector<uint8_t> stream;
  std::vector<std::string> sent;
  for (int i = 0; i < 40; ++i) {
    std::string p(i * 31 % 700, (char)('A' + i % 26));
    p += std::to_string(i);
    sent.push_back(p);
    auto w = scramble(data(p));
    stream.insert(stream.end(), w.begin(), w.end());
    if (i % 7 == 3) {
      // Garbage between datagrams: skipped without losing what follows.
      for (int k = 0; k < 5 + i; ++k) stream.push_back((uint8_t)(0x33 + k));
    }
  }
  struct Case {
    int maxCut;
    unsigned seed;
  };
  for (const Case& cs : {Case{1, 1}, Case{7, 2}, Case{16, 3}, Case{100, 4}, Case{1540, 5}}) {
    g_payloads.clear();
    TcpFeeder f;
    std::mt19937 rng(cs.seed);
    f.feed(stream, rng, cs.maxCut);
    EXPECT_EQ(g_payloads, sent) << "cut " << cs.maxCut;
  }
}

TEST_F(Dispatch, TcpSmallReadsAskForTheRest) {
  TcpFeeder f;
  auto w = scramble(data("twenty bytes payload"));
  memcpy(f.c->buf, w.data(), 10);
  f.c->bufLen = 10;
  OVC_TCP_RecvCB(f.c, "127.0.0.1", htons(7000), f.c->buf, 10, nullptr);
  EXPECT_EQ(f.c->appendFlag, 1);
  EXPECT_EQ(f.c->recvSize.load(), 6);
  memcpy(f.c->buf + 10, w.data() + 10, 6);
  f.c->bufLen = 16;
  OVC_TCP_RecvCB(f.c, "127.0.0.1", htons(7000), f.c->buf, 16, nullptr);
  EXPECT_EQ(f.c->recvSize.load(), 20);  // the body
  // Two whole datagrams in one read are both handled, in order.
  auto a = scramble(data("first")), b = scramble(data("second"));
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  f.c->appendFlag = 0;
  memcpy(f.c->buf, both.data(), both.size());
  f.c->bufLen = (long)both.size();
  OVC_TCP_RecvCB(f.c, "127.0.0.1", htons(7000), f.c->buf, (uint32_t)both.size(), nullptr);
  ASSERT_EQ(g_payloads.size(), 2u);
  EXPECT_EQ(g_payloads[0], "first");
  EXPECT_EQ(g_payloads[1], "second");
  EXPECT_EQ(f.c->recvSize.load(), 16);
}

TEST_F(Dispatch, PrivateAddressTable) {
  struct Case {
    const char* text;
    int want;
  };
  const Case cases[] = {
      {"172.31.0.5", 1},         {"172.32.0.5", 0},      {"172.15.255.1", 0},  {"10.0.0.1", 1},
      {"192.168.1.1", 1},        {"192.169.1.1", 0},     {"fe80::1", 1},       {"::ffff:10.1.2.3", 1},
      {"::ffff:203.0.113.5", 0}, {"64:ff9b::c0a8:101", 1}, {"64:ff9b::a01:203", 1}, {"64:ff9b::ac10:1", 1},
      {"64:ff9b::a000:1", 0},    {"2001:db8::1", 0},     {"garbage", 0},       {"", 0},
      {"198.51.100.3", 0},       {"::ffff:c0a8", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPrivateAddress(c.text), c.want) << c.text;
  EXPECT_EQ(IsPrivateAddress(nullptr), 0);
  const uint32_t nets[2] = {htonl(0xC6336400u), htonl(0xC6336440u)};  // the two LAN /26s
  const int pre[2] = {26, 26};
  ovc_set_lan_networks(nets, pre, 2);
  EXPECT_EQ(IsPrivateAddress("198.51.100.3"), 1);
  EXPECT_EQ(IsPrivateAddress("::ffff:198.51.100.66"), 1);
  EXPECT_EQ(IsPrivateAddress("198.51.100.130"), 0);
  EXPECT_EQ(IsPrivateAddress("203.0.113.64"), 0);
}

TEST_F(Dispatch, RecentlyClosedIdsAgeOutAtTwentySeconds) {
  RandomID a{0x11, 0x22, 0}, b{0x33, 0, 1};
  gTrackClosedIds = true;
  ovc_note_closed_random_id_aged(a, 19000);
  ovc_note_closed_random_id_aged(b, 20000);
  EXPECT_EQ(IsRecentClosedRandomID((uint64_t)0x22 << 32 | 0x11, 0), 1);
  EXPECT_EQ(IsRecentClosedRandomID((uint64_t)0x23 << 32 | 0x11, 0), 0);  // other high word
  EXPECT_EQ(IsRecentClosedRandomID(0x33, 1), 0);                          // aged out, removed
  EXPECT_EQ(IsRecentClosedRandomID((uint64_t)0x22 << 32 | 0x11, 1), 0);  // other kind
  gTrackClosedIds = false;
  EXPECT_EQ(IsRecentClosedRandomID((uint64_t)0x22 << 32 | 0x11, 0), 0);  // not a device: no test
}

TEST_F(Dispatch, PreSessionPromotedOnFirstTrafficWithTheLanPath) {
  const uint32_t nets[1] = {htonl(0x7F000000u)};
  const int pre[1] = {8};
  int p = AllocPreSession();
  ASSERT_GE(p, 0);
  {
    OvcSessionLockGuard g;
    PreSessionInfo& r = gPreSessionInfo[p];
    r.isDevice = 1;
    r.lanState = 5;
    RandomIDValueUpdate(&r.randomId, 0, 0xAAAA0001, 0xBBBB);
    ASSERT_EQ(AddPreSessionTimeoutTask(&r), 0);
  }
  auto v = head(0x0407, 12 + 3, OVC_FLAG_PE_AWARE | OVC_FLAG_LONG_ID, 0x0001, 20, 0x21);
  put32(v, 12);
  put32(v, 0xAAAA0001);
  put32(v, 0xBBBB);
  v.push_back('a');
  v.push_back('b');
  v.push_back('c');
  // From 10.x.x.x the session comes up on the LAN path; the pre-session record is cleared.
  std::vector<uint8_t> copy = v;
  _OVC_Packet_Handler(copy.data(), "10.9.8.7", htons(6000), gUdpConn, 0);
  RandomID k{0xAAAA0001, 0xBBBB, 0};
  int s = FindSessionByRandomID(&k, 1);
  ASSERT_GE(s, 0);
  EXPECT_EQ(FindPreSessionByRandomID(&k, 2), -1);
  OvcSessionLockGuard g;
  EXPECT_EQ(gSessionInfo[s].sendPathType, 0);
  EXPECT_EQ(gSessionInfo[s].connectMode, 2);
  EXPECT_EQ(gSessionInfo[s].remoteProtocolVersion, 20);
  EXPECT_EQ(SessionTaskCount(&gSessionInfo[s].taskList, -1), 0);
  (void)nets;
  (void)pre;
}

TEST_F(Dispatch, CloseOnlyForConnectedSessionsAndOnlyFromThePeer) {
  OVC_Session_Set_Channel_RcvCb(sid, 0, collect, OVC_INTERNAL_GUARD);
  auto c = head(0x0418, 0, OVC_FLAG_PE_AWARE, 0x1234);
  udp(scramble(c), "127.0.0.9", 7000);  // a stranger
  EXPECT_EQ(OVC_Check_Session_Status(sid), 0);
  udp(scramble(c));
  udp(scramble(c));
  EXPECT_EQ(OVC_Check_Session_Status(sid), OVC_ER_CLOSED_BY_PEER);
  EXPECT_EQ(g_codes, std::vector<int>{OVC_ER_CLOSED_BY_PEER});
  // A reserved (connecting) session is left alone.
  int s2 = OVC_Get_SessionID();
  {
    OvcSessionLockGuard g;
    RandomIDValueUpdate(&gSessionInfo[s2].randomId, 1, 0x4444, 0);
  }
  udp(scramble(head(0x0418, 0, OVC_FLAG_PE_AWARE, 0x4444)));
  OvcSessionLockGuard g;
  EXPECT_EQ(gSessionInfo[s2].state, 1);
}

// A local socket that receives what the module answers.
struct Catcher {
  int fd;
  uint16_t port = 0;
  Catcher() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    port = ntohs(a.sin_port);
  }
  ~Catcher() { close(fd); }
  // The unscrambled datagram, or empty after waitMs.
  std::vector<uint8_t> next(int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return {};
    uint8_t buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 16) return {};
    OvcReceived rx;
    if (ovc_unscramble_datagram(buf, (size_t)n, &rx) != 0) return {};
    return std::vector<uint8_t>(rx.bytes, rx.bytes + rx.size);
  }
};

TEST_F(Dispatch, DeviceAnswersLanRequestsAndCapabilityQueries) {
  memcpy(gLocalUid, "DEVICEUID00000000001", 20);
  Catcher cat;
  auto req = [&](uint16_t type, int32_t kind, uint32_t idLow, uint32_t token = 0, uint8_t tag = 20) {
    auto v = head(type, type == 0x0603 ? 72 : 52, OVC_FLAG_PE_AWARE, 0, tag, 0x21);
    const char* u = "DEVICEUID00000000001";
    v.insert(v.end(), u, u + 20);
    v.resize(16 + 36, 0);
    put32(v, OVC_VERSION_WORD);
    put32(v, idLow);
    put32(v, 0x99);
    put32(v, (uint32_t)kind);
    if (type == 0x0603) {
      put32(v, token);
      v.resize(16 + 72, 0);
    }
    _OVC_Packet_Handler(v.data(), "127.0.0.1", htons(cat.port), gUdpConn, 0);
  };
  auto result_of = [](const std::vector<uint8_t>& a) {
    return a.size() >= 16 + 184 ? (int32_t)ovc_get_u32(a.data() + 16 + 180) : 99;
  };
  req(0x0601, 1, 0x500);
  auto a = cat.next(1000);
  ASSERT_EQ(a.size(), 16u + 184);
  EXPECT_EQ(ovc_head_read(a.data()).type, 0x0602);
  EXPECT_EQ(result_of(a), 1);
  EXPECT_EQ(ovc_get_u32(a.data() + 16 + 172), 0x500u);
  EXPECT_EQ(memcmp(a.data() + 16, "DEVICEUID00000000001", 20), 0);
  EXPECT_TRUE(cat.next(200).empty());
  // The wrong token gets nothing; the device's own token is answered like 0x0601.
  int token = ovc_lan_token();
  req(0x0603, 0, 0, (uint32_t)(token % 15 + 1));
  auto wrong = cat.next(200);
  EXPECT_TRUE(wrong.empty()) << token << " " << (wrong.empty() ? 0 : ovc_head_read(wrong.data()).type) << " " << result_of(wrong);
  req(0x0603, 0, 0, (uint32_t)token);
  EXPECT_EQ(result_of(cat.next(1000)), 0);
  while (!cat.next(300).empty()) {
  }
  // Every slot busy: a new key gets result 3.
  while (OVC_Get_SessionID() >= 0) {
  }
  req(0x0601, 1, 0x501);
  EXPECT_EQ(result_of(cat.next(1000)), 3);
  // Capability: older peers get nothing; a newer one gets -1 for a UID that is not ours.
  auto q = head(0x0802, 28, OVC_FLAG_PE_AWARE, 0, 5, 0x21);
  q.resize(16 + 28, 'Z');
  _OVC_Packet_Handler(q.data(), "127.0.0.1", htons(cat.port), gUdpConn, 0);
  EXPECT_TRUE(cat.next(200).empty());
  q = head(0x0802, 28, OVC_FLAG_PE_AWARE, 0, 20, 0x21);
  q.resize(16 + 28, 'Z');
  _OVC_Packet_Handler(q.data(), "127.0.0.1", htons(cat.port), gUdpConn, 0);
  auto cap = cat.next(1000);
  ASSERT_EQ(cap.size(), 16u + 48);
  EXPECT_EQ(ovc_head_read(cap.data()).type, 0x0803);
  EXPECT_EQ((int32_t)ovc_get_u32(cap.data() + 16 + 28), -1);
}

TEST_F(Dispatch, DeviceRepeatsItsLanAnswerUntilTheClientConnects) {
  memcpy(gLocalUid, "DEVICEUID00000000001", 20);
  Catcher cat;
  int p = AllocPreSession();
  ASSERT_GE(p, 0);
  PreSessionInfo* r = &gPreSessionInfo[p];
  {
    OvcSessionLockGuard g;
    r->isDevice = 1;
    r->lanState = 5;
    RandomIDValueUpdate(&r->randomId, 0, 0x777, 0x888);
    ovc_text_to_netaddr("127.0.0.1", htons(cat.port), &r->lanAddr);
  }
  ASSERT_EQ(AddLanSearchPrecheckRTask(r), 0);
  for (int i = 0; i < 2; ++i) {
    auto a = cat.next(1000);
    ASSERT_EQ(a.size(), 16u + 184);
    EXPECT_EQ(ovc_get_u32(a.data() + 16 + 172), 0x777u);
    EXPECT_EQ((int32_t)ovc_get_u32(a.data() + 16 + 180), 1);
  }
  {
    OvcSessionLockGuard g;
    r->lanState = 6;
  }
  usleep(250000);
  while (!cat.next(50).empty()) {
  }
  EXPECT_TRUE(cat.next(300).empty());
  OvcSessionLockGuard g;
  EXPECT_EQ(SessionTaskCount(&r->taskList, -1), 0);
}

TEST_F(Dispatch, V6HandlerPrintsOnlyForItsType) {
  testing::internal::CaptureStdout();
  auto a = head(0x100A, 0);
  auto b = head(0x1005, 0);
  _OVC_Packet_Handler_V6(a.data());
  _OVC_Packet_Handler_V6(b.data());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "OVC_Handler_MSG_QUERY_DEVICE6_R\n");
}

// ---- Decisions ------------------------------------------------------------------------------

struct Fields {
  int lanState, queryState, tcpState, netCheckState, strategy;
  bool tcpOnly;
  uint8_t answerKind;  // of the one server entry (0: no entry)
};

TEST_F(Dispatch, PreConnectDecisionTable) {
  struct Case {
    Fields f;
    bool refused;
    int want;
  };
  const Case cases[] = {
      {{-1, 0, 0, 0, 0, false, 0}, false, -2},     // LAN over, masters failed
      {{2, -3, 3, 0, 0, false, 0}, false, -19},    // pre-check timed out, TCP failed
      {{2, -3, 10, 0, 0, false, 0}, false, 3},     // ... but TCP pre-check answered
      {{2, -2, 6, 0, 0, false, 0}, false, -1},     // hello timed out
      {{2, -1, 3, 3, 0, false, 0}, false, -41},    // device query timed out, no check host
      {{2, -1, 6, 4, 0, false, 0}, false, -60},    // ... check hosts reached, masters not
      {{2, -1, 3, 2, 0, false, 0}, false, -33},
      {{2, -1, 8, 0, 0, false, 0}, false, -33},
      {{2, 5, 0, 0, 0, false, 237}, false, -90},   // every server: unknown device
      {{2, 5, 0, 0, 0, false, 255}, false, 0},
      {{1, 0, 3, 0, 0, true, 0}, false, -32},      // TCP relay only, masters unreachable
      {{1, 0, 8, 0, 0, true, 0}, false, -33},
      {{1, 6, 0, 0, 1, false, 255}, false, 2},     // pre-check answered, parallel
      {{1, 6, 0, 0, 2, false, 255}, false, 0},     // sequential waits for the LAN phase
      {{2, 6, 0, 0, 2, false, 255}, false, 2},
      {{1, 2, 10, 0, 1, false, 0}, false, 3},      // TCP pre-check answered first, parallel
      {{1, 2, 10, 0, 1, false, 0}, true, 0},       // ... unless refused
  };
  for (const Case& c : cases) {
    int s = OVC_Get_SessionID();
    ASSERT_GE(s, 0);
    {
      OvcSessionLockGuard g;
      SessionInfo& r = gSessionInfo[s];
      r.lanState = c.f.lanState;
      r.queryState = c.f.queryState;
      r.tcpState = c.f.tcpState;
      r.netCheckState = c.f.netCheckState;
      r.connectStrategy = c.f.strategy;
      if (c.f.answerKind) {
        r.servers[0].udpAddr.port = htons(1);
        r.servers[0].answerKind = c.f.answerKind;
      }
    }
    if (c.f.tcpOnly) OVC_TCPRelayOnly_TurnOn();
    EXPECT_EQ(CheckPreConnectState(s, c.refused), c.want)
        << "lan " << c.f.lanState << " query " << c.f.queryState << " tcp " << c.f.tcpState;
    ovc_connect_reset();
    OvcSessionLockGuard g;
    ovc_session_release(&gSessionInfo[s]);
  }
}

TEST_F(Dispatch, ConnectErrorAndSleepTables) {
  int s = OVC_Get_SessionID();
  auto with = [&](auto set) {
    OvcSessionLockGuard g;
    SessionInfo& r = gSessionInfo[s];
    uint8_t callerSid = r.callerSid;
    ovc_session_reset(&r);
    r.callerSid = callerSid;
    set(r);
  };
  struct Case {
    void (*set)(SessionInfo&);
    int want;
  };
  const Case cases[] = {
      {[](SessionInfo&) {}, 0},
      {[](SessionInfo& r) { r.failDeviceRefused = 1, r.remoteProtocolVersion = 6; }, -24},
      {[](SessionInfo& r) { r.failDeviceRefused = 1, r.remoteProtocolVersion = 7; }, -48},
      {[](SessionInfo& r) { r.failSessionLimit = 1; }, -48},
      {[](SessionInfo& r) { r.failUidRefused = 1; }, -10},
      {[](SessionInfo& r) { r.failAdvanceRefused = 1; }, -40},
      {[](SessionInfo& r) { r.failDuplicateLogin = 1; }, -45},
      {[](SessionInfo& r) { r.failRelayRefused = 1; }, 0},
      {[](SessionInfo& r) { r.failRelayRefused = 1, r.relayState = 2; }, -43},
      {[](SessionInfo& r) { r.callerSid = 1, r.stopConnect = 1; }, -27},
      // Sleep by server versions: every new server says asleep.
      {[](SessionInfo& r) {
         r.servers[0].udpAddr.port = 1, r.servers[0].version = 18, r.servers[0].answerKind = 192;
         r.servers[1].tcpAddr.port = 1, r.servers[1].version = 19, r.servers[1].answerKind = 192;
       }, -64},
      {[](SessionInfo& r) {
         r.servers[0].udpAddr.port = 1, r.servers[0].version = 18, r.servers[0].answerKind = 192;
         r.servers[1].udpAddr.port = 1, r.servers[1].version = 18, r.servers[1].answerKind = 255;
       }, 0},
      // An older server saying asleep, with no other kind: asleep at once.
      {[](SessionInfo& r) { r.servers[0].udpAddr.port = 1, r.servers[0].version = 12, r.servers[0].answerKind = 192; }, -64},
      {[](SessionInfo& r) {
         r.servers[0].udpAddr.port = 1, r.servers[0].version = 12, r.servers[0].answerKind = 192;
         r.servers[1].udpAddr.port = 1, r.servers[1].version = 12, r.servers[1].answerKind = 255;
         r.firstAnswerMs = orv_monotonic_ms();
       }, 0},
      // A relay that is up never counts as asleep.
      {[](SessionInfo& r) {
         r.servers[0].udpAddr.port = 1, r.servers[0].version = 12, r.servers[0].answerKind = 192;
         r.relayState = 3;
       }, 0},
  };
  int i = 0;
  for (const Case& c : cases) {
    with([&](SessionInfo& r) { c.set(r); });
    EXPECT_EQ(CheckConnectErrors(s), c.want) << "case " << i;
    ++i;
  }
  // The other checks.
  with([](SessionInfo& r) { r.relayState = -1; });
  EXPECT_EQ(CheckUDPSequentialConnectState(s), -42);
  with([](SessionInfo& r) { r.p2pState = 3; });
  EXPECT_EQ(CheckUDPSequentialConnectState(s), 4);
  with([](SessionInfo& r) { r.p2pState = 2, r.relayState = 5; });
  EXPECT_EQ(CheckUDPParellelConnectState(s), 5);
  with([](SessionInfo& r) { r.p2pState = -1, r.relayState = -1; });
  EXPECT_EQ(CheckUDPParellelConnectState(s), -42);
  with([](SessionInfo& r) { r.tcpState = 17; });
  EXPECT_EQ(CheckTCPConnectState(s), -42);
  with([](SessionInfo& r) { r.tcpState = 18; });
  EXPECT_EQ(CheckTCPConnectState(s), 6);
  with([](SessionInfo& r) { r.failNoPermission = 1; });
  EXPECT_EQ(CheckTCPConnectState(s), -40);
}

TEST_F(Dispatch, ConnectionOptionsAndGuards) {
  const uint8_t bad[4] = {1, 2, 0, 0};
  const uint8_t zero[4] = {0, 0, 0, 0};
  ASSERT_EQ(OVC_Set_Connection_Option(zero), 0);
  EXPECT_EQ(OVC_Set_Connection_Option(bad), OVC_ER_INVALID_ARG);
  EXPECT_EQ(gsConnectOption[0], 1);  // stored before the bad byte
  EXPECT_EQ(gsConnectOption[1], 0);
  const uint8_t def[4] = {1, 0, 0, 0};
  OVC_Set_Connection_Option(def);
  EXPECT_EQ(OVC_Get_Nat_Type(1), 99999);
  EXPECT_EQ(OVC_Get_Nat_Type(OVC_INTERNAL_GUARD), (int)gNatType);
  EXPECT_EQ(OVC_Connect_Stop_BySID(-1), OVC_ER_INVALID_SID);
  EXPECT_EQ(OVC_Connect_Stop_BySID(gMaxSessionNumber), OVC_ER_INVALID_SID);
}

}  // namespace
