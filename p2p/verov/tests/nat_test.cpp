// The NAT client's start, stop, configuration and blocking queries, for both instances,
// against the independent Python peer on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "vv_crypto.h"
#include "vv_datagram.h"
#include "vv_instance.h"
#include "vv_nat.h"
#include "vv_socket.h"

namespace {

// One name family: the same behaviour is checked through both.
struct Api {
  int index;
  int (*init)(const char*, int, const char*, int, const vv_nat_callbacks*);
  int (*exit)(void);
  int (*set_server)(const char*, int);
  int (*get_status)(void);
  int (*set_param)(const void*, int);
  int (*run_param)(char*, int);
  int (*query)(const char*, int, const int*, char*, int, char*, int);
  int (*get_param_ex)(const char*, int, int, const char*, void*, int, char*);
  int (*query_upnp)(const char*, int, const int*, char*, int);
  int (*conn_status)(int, vv_nat_conn_stat*);
  int (*get_num)(void);
  int (*send2svr)(int, int, const char*);
  void (*set_passwd)(const char*);
  int port_lo, port_hi;
};

const Api kApis[] = {
    {1, vv_nat_init, vv_nat_exit, vv_nat_set_server, vv_nat_get_status, vv_nat_set_param,
     vv_nat_run_param, vv_nat_query, vv_nat_get_param_ex, vv_nat_query_upnp, vv_nat_conn_status,
     vv_nat_get_num, vv_nat_send2svr_B, vv_nat_set_passwd, 1024, 60000},
    {2, vv2_nat_init, vv2_nat_exit, vv2_nat_set_server, vv2_nat_get_status, vv2_nat_set_param,
     vv2_nat_run_param, vv2_nat_query, vv2_nat_get_param_ex, vv2_nat_query_upnp,
     vv2_nat_conn_status, vv2_nat_get_num, vv2_nat_send2svr, vv2_nat_set_passwd, 1024, 2000},
};

std::atomic<int64_t> g_now{1000};
int64_t fake_now() { return g_now.load(); }

// The Python peer as a child process; it leaves when its stdin closes.
class PythonPeer {
 public:
  explicit PythonPeer(const std::string& table) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::string script = std::string(VV_SIM_DIR) + "/vvcrypt.py";
      execl(VV_PYTHON, VV_PYTHON, script.c_str(), "peer", table.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    FILE* f = fdopen(out[0], "r");
    char line[128] = "";
    if (f && fgets(line, sizeof(line), f)) sscanf(line, "READY %d", &port_);
    if (f) fclose(f);
  }
  ~PythonPeer() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};

const char* kTable = R"({
 "ID-ON": {"online": 1, "addr": "203.0.113.64:5000", "params": "0a0b0c0d0e"},
 "ID-PREF": {"online": 1, "addr": "203.0.113.64:5000", "preferred": "198.51.100.3"},
 "ID-OFF": {"online": 0},
 "ID-WRONG": {"online": 1, "fault": "wrong_id"},
 "ID-DROP": {"fault": "drop"},
 "ID-BIG": {"online": 1, "addr": "203.0.113.65:1", "params": "01020304050607080900", "plen": 10},
 "ID-SHORT": {"online": 1, "addr": "203.0.113.65:1", "params": "0102030405060708", "fault": "short"},
 "ID-HUGE": {"online": 1, "addr": "203.0.113.65:1", "params": "01", "plen": 60000},
 "ID-UPNP": {"result": 3, "ip": "203.0.113.64", "port": 8080},
 "ID-UPNP-OTHER": {"result": 3, "fault": "uuid_mismatch"},
 "ID-UPNP-PAD": {"result": 3, "fault": "bad_pad"},
 "ID-UPNP-ID": {"result": 3, "fault": "wrong_id"}
})";

class NatTest : public ::testing::TestWithParam<Api> {
 protected:
  const Api& api() { return GetParam(); }
  VvInstance& inst() { return vv_instance(GetParam().index); }
  // These tests drive the registration state by hand: no thread competes with them.
  void SetUp() override { vv_nat_manual_start(true); }
  void TearDown() override {
    api().exit();
    vv_nat_set_clock(nullptr);
    vv_nat_manual_start(false);
  }
  std::string run_param() {
    char buf[2048];
    api().run_param(buf, sizeof(buf));
    return buf;
  }
  // Registration is the thread's work; these tests put the instance into its registered state.
  void mark_registered() {
    std::lock_guard<std::mutex> lock(inst().mu);
    inst().st.auth_ok = 1;
    inst().st.hbtime = vv_nat_now();
  }
};

}  // namespace

TEST_P(NatTest, InitCopiesTheUuidAndRefusesASecondStart) {
  const char uuid[] = "ID123@secret";
  ASSERT_EQ(api().init("127.0.0.1", 7000, uuid, 0, nullptr), 1);
  EXPECT_STREQ(uuid, "ID123@secret") << "the caller's text is left alone";
  std::string rp = run_param();
  EXPECT_NE(rp.find("uuid:ID123\n"), std::string::npos) << rp;
  EXPECT_NE(rp.find("skey:secret\n"), std::string::npos);
  EXPECT_NE(rp.find("run:1\n"), std::string::npos);
  EXPECT_NE(rp.find("auth_ok:-1\n"), std::string::npos);
  EXPECT_EQ(api().get_status(), 0) << "authentication pending";
  int port = inst().st.port;
  EXPECT_GE(port, api().port_lo);
  EXPECT_LE(port, api().port_hi);
  EXPECT_EQ(api().init("127.0.0.1", 7000, "other", 0, nullptr), 0) << "already running";
  EXPECT_NE(run_param().find("uuid:ID123\n"), std::string::npos);
  EXPECT_EQ(api().exit(), 1);
  EXPECT_EQ(api().get_status(), -1) << "no socket after exit";
  EXPECT_EQ(api().init("127.0.0.1", 7000, nullptr, 0, nullptr), 1) << "a stopped instance starts again";
  EXPECT_NE(run_param().find("auth_ok:1\n"), std::string::npos);
  EXPECT_EQ(api().get_status(), 0) << "no uuid: 0 (not -3) until heartbeat replies";
}

TEST_P(NatTest, InitOnAPortInUseFails) {
  int busy = UdpListen(0);
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  getsockname(busy, reinterpret_cast<sockaddr*>(&a), &l);
  EXPECT_EQ(api().init("127.0.0.1", 7000, nullptr, ntohs(a.sin_port), nullptr), 0);
  EXPECT_EQ(api().get_status(), -1);
  EXPECT_NE(run_param().find("run:0\n"), std::string::npos);
  CloseSocket(&busy);
}

TEST_P(NatTest, StatusFollowsTheHeartbeatWindow) {
  vv_nat_set_clock(fake_now);
  g_now = 5000;
  ASSERT_EQ(api().init("127.0.0.1", 7000, "ID@k", 0, nullptr), 1);
  mark_registered();
  struct { int64_t advance; int want; } steps[] = {{0, 1}, {44, 1}, {1, 0}, {-46, 0}};
  int64_t base = g_now;
  for (const auto& s : steps) {
    g_now += s.advance;
    EXPECT_EQ(api().get_status(), s.want) << "at hbtime + " << (g_now - base);
  }
  g_now = base;
  {
    std::lock_guard<std::mutex> lock(inst().mu);
    inst().st.auth_ok = 0;
  }
  EXPECT_EQ(api().get_status(), -3);
  {
    std::lock_guard<std::mutex> lock(inst().mu);
    inst().st.key_invalid = 1;
  }
  EXPECT_EQ(api().get_status(), -2);
}

TEST_P(NatTest, ParametersAndPassword) {
  ASSERT_EQ(api().init("127.0.0.1", 7000, nullptr, 0, nullptr), 1);
  unsigned char p[1025];
  memset(p, 7, sizeof(p));
  struct { const void* bytes; int size; int want; int kept; } cases[] = {
      {p, 1024, 1, 1024}, {p, 1025, 0, 1024}, {nullptr, 5, 0, 1024}, {p, 0, 0, 1024}, {p, 3, 1, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(api().set_param(c.bytes, c.size), c.want) << c.size;
    EXPECT_EQ(inst().st.params_size, c.kept);
  }
  api().set_passwd("open sesame");
  char md5[33];
  vv_Md5String("open sesame", 11, md5);
  EXPECT_STREQ(inst().st.passwd_md5, md5);
  api().set_passwd(nullptr);
  EXPECT_STREQ(inst().st.passwd_md5, "");
}

TEST_P(NatTest, StatusQueriesAgainstThePeer) {
  PythonPeer peer(kTable);
  ASSERT_GT(peer.port(), 0);
  ASSERT_EQ(api().init("127.0.0.1", peer.port(), nullptr, 0, nullptr), 1);
  ASSERT_EQ(api().set_server("127.0.0.1", peer.port()), 1);
  int run = 1;
  struct {
    const char* uuid;
    int want;
    const char* addr;
    int copied;  // parameter bytes that must land in the caller's buffer
  } cases[] = {
      {"ID-ON", 1, "203.0.113.64", 5},   {"ID-PREF", 1, "198.51.100.3", 0},
      {"ID-OFF", 0, "", 0},              {"ID-WRONG", -1, "", 0},
      {"ID-BIG", 1, "203.0.113.65", 0},  // longer than the caller's 8 bytes: nothing copied
      {"ID-SHORT", 1, "203.0.113.65", 0},  // claims more than arrived: nothing copied
      {"ID-DROP", -1, "", 0},
  };
  for (const auto& c : cases) {
    char info[8];
    memset(info, 0x55, sizeof(info));
    char addr[40] = "";
    EXPECT_EQ(api().query(c.uuid, 1, &run, info, sizeof(info), addr, sizeof(addr)), c.want) << c.uuid;
    EXPECT_STREQ(addr, c.addr) << c.uuid;
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(static_cast<unsigned char>(info[i]), i < c.copied ? 0x0a + i : 0x55) << c.uuid << i;
  }
  run = 0;
  EXPECT_EQ(api().query("ID-ON", 5, &run, nullptr, 0, nullptr, 0), -1) << "run flag cleared";
}

TEST_P(NatTest, ParameterQueryChecksLengths) {
  PythonPeer peer(kTable);
  ASSERT_GT(peer.port(), 0);
  struct { const char* uuid; int size; int want; const char* addr; } cases[] = {
      {"ID-ON", 64, 5, "203.0.113.64:5000"}, {"ID-ON", 3, 3, "203.0.113.64:5000"},
      {"ID-OFF", 64, -1, ""},                {"ID-WRONG", 64, -2, ""},
      {"ID-DROP", 64, -2, ""},               {"ID-SHORT", 64, -2, "203.0.113.65:1"},
      {"ID-HUGE", 64, -2, "203.0.113.65:1"}, {"ID-PREF", 64, 0, "203.0.113.64:5000"},
  };
  for (const auto& c : cases) {
    unsigned char buf[64] = {};
    char addr[40] = "";
    EXPECT_EQ(api().get_param_ex("127.0.0.1", peer.port(), 1, c.uuid, buf, c.size, addr), c.want) << c.uuid;
    EXPECT_STREQ(addr, c.addr) << c.uuid;
    if (c.want > 0) {
      EXPECT_EQ(buf[0], 0x0a);
    }
  }
  unsigned char b[4];
  EXPECT_EQ(api().get_param_ex("127.0.0.1", peer.port(), 1, nullptr, b, 4, nullptr), -3);
  EXPECT_EQ(api().get_param_ex("127.0.0.1", peer.port(), 1, "ID-ON", b, 0, nullptr), -3);
}

TEST_P(NatTest, UpnpQueryChecksItsReply) {
  PythonPeer peer(kTable);
  ASSERT_GT(peer.port(), 0);
  ASSERT_EQ(api().init("127.0.0.1", peer.port(), nullptr, 0, nullptr), 1);
  ASSERT_EQ(api().set_server("127.0.0.1", peer.port()), 1);
  char out[64] = "";
  EXPECT_EQ(api().query_upnp("ID-UPNP", 1, nullptr, out, sizeof(out)), -1) << "not registered";
  mark_registered();
  struct { const char* uuid; int want; const char* out; } cases[] = {
      {"ID-UPNP", 3, "203.0.113.64|8080"}, {"ID-UPNP-OTHER", -5, ""}, {"ID-UPNP-PAD", -4, ""},
      {"ID-UPNP-ID", -3, ""},              {"ID-DROP", -3, ""},
  };
  for (const auto& c : cases) {
    out[0] = '\0';
    EXPECT_EQ(api().query_upnp(c.uuid, 1, nullptr, out, sizeof(out)), c.want) << c.uuid;
    EXPECT_STREQ(out, c.out) << c.uuid;
  }
}

TEST_P(NatTest, TextMessageReachesTheSelectedServer) {
  PythonPeer peer(kTable);
  ASSERT_GT(peer.port(), 0);
  ASSERT_EQ(api().init("127.0.0.1", peer.port(), nullptr, 0, nullptr), 1);
  ASSERT_EQ(api().set_server("127.0.0.1", peer.port()), 1);
  int sock = inst().st.sock;
  ASSERT_GT(api().send2svr(sock, 1023, "ID123|key|118"), 0);
  unsigned char buf[2048];
  int n = Recv(sock, buf, sizeof(buf), 5000000);
  ASSERT_GT(n, 0);
  uint16_t id = 0;
  const char* text = nullptr;
  ASSERT_GE(vv_text_decode(buf, n, &id, &text), 0);
  EXPECT_EQ(id, 1024);
  EXPECT_STREQ(text, "echo|ID123|key|118");
}

TEST_P(NatTest, ConnectionStatusBounds) {
  ASSERT_EQ(api().init("127.0.0.1", 7000, nullptr, 0, nullptr), 1);
  vv_nat_conn_stat s{};
  EXPECT_EQ(api().conn_status(0, &s), -1);
  EXPECT_EQ(api().conn_status(101, &s), -1);
  EXPECT_EQ(api().conn_status(1, &s), 0);
  EXPECT_EQ(api().get_num(), 0);
  {
    std::lock_guard<std::mutex> lock(inst().mu);
    vv_nat_conn& c = inst().st.conns[99];
    c.established = 1;
    c.via_ipv6 = 1;
    c.peer_port4 = 1;
    c.peer_port6 = 6000;
    snprintf(c.peer_ip4, sizeof(c.peer_ip4), "203.0.113.65");
    inst().st.nattype = 2;
  }
  EXPECT_EQ(api().conn_status(100, nullptr), 1);
  EXPECT_EQ(api().conn_status(100, &s), 1);
  EXPECT_EQ(s.port, 6000) << "the IPv6 port when the peer was reached over IPv6";
  EXPECT_STREQ(s.ip, "203.0.113.65");
  EXPECT_EQ(s.nattype, 2);
  EXPECT_EQ(api().get_num(), 1);
}

INSTANTIATE_TEST_SUITE_P(BothInstances, NatTest, ::testing::ValuesIn(kApis),
                         [](const ::testing::TestParamInfo<Api>& i) {
                           return std::string("instance") + std::to_string(i.param.index);
                         });

TEST(NatInstanceOne, LogFileAndConnectionLimit) {
  vv_nat_manual_start(true);
  char dir[] = "/tmp/vvnat-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/vvnat.log";
  ASSERT_EQ(vv_nat_init_v2("127.0.0.1", 7000, nullptr, 0, nullptr, path.c_str()), 1);
  vv_nat_log(1, "dropped below the level\n");
  vv_nat_log(2, "kept %d\n", 42);
  std::ifstream f(path);
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("][VVNAT] Vudevavi init, main listen port: "), std::string::npos) << all;
  EXPECT_NE(all.find("][VVNAT] kept 42\n"), std::string::npos);
  EXPECT_EQ(all.find("dropped"), std::string::npos);
  // Past 1 MB the file starts over.
  { std::ofstream big(path, std::ios::app); big << std::string(1100000, 'z'); }
  vv_nat_log(2, "fresh\n");
  std::ifstream g(path);
  std::string after((std::istreambuf_iterator<char>(g)), std::istreambuf_iterator<char>());
  EXPECT_LT(after.size(), 200u);
  EXPECT_NE(after.find("fresh"), std::string::npos);

  for (int n : {0, 101, -1}) {
    vv_nat_set_maxconn(n);
    EXPECT_EQ(vv_instance(1).st.maxconn, 100) << n;
  }
  vv_nat_set_maxconn(7);
  EXPECT_EQ(vv_instance(1).st.maxconn, 7);
  vv_nat_exit();
  vv_nat_manual_start(false);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(NatInstanceTwo, WritesNoLogAndKeepsItsOwnState) {
  vv_nat_manual_start(true);
  ASSERT_EQ(vv2_nat_init("127.0.0.1", 7000, "TWO", 0, nullptr), 1);
  ASSERT_EQ(vv_nat_init("127.0.0.1", 7001, "ONE", 0, nullptr), 1);
  EXPECT_STREQ(vv_instance(2).st.uuid, "TWO");
  EXPECT_STREQ(vv_instance(1).st.uuid, "ONE");
  EXPECT_EQ(vv_instance(2).st.vdt_rcvbuf, 65536);
  EXPECT_EQ(vv_instance(1).st.vdt_rcvbuf, 512000);
  EXPECT_NE(vv_instance(1).st.port, vv_instance(2).st.port);
  EXPECT_EQ(vv_nat_version(), 118);
  EXPECT_EQ(vv2_nat_version(), 118);
  vv_nat_exit();
  EXPECT_GT(vv_instance(2).st.sock, 0) << "stopping one leaves the other running";
  vv2_nat_exit();
  vv_nat_manual_start(false);
}

namespace {

// Answers the server name and, when asked, the NAT64 probe; records every question.
struct ServerNames {
  std::vector<std::string> asked;
  bool nat64 = true;
  static int fn(const char* host, int family, sockaddr_storage* out, int max, void* ctx) {
    auto* self = static_cast<ServerNames*>(ctx);
    self->asked.emplace_back(host);
    if (max < 1) return 0;
    memset(out, 0, sizeof(*out));
    std::string h = host;
    if (h == "p2p.example" && family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(out);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, "203.0.113.10", &a->sin_addr);
      if (max < 2) return 1;
      auto* b = reinterpret_cast<sockaddr_in*>(out + 1);
      b->sin_family = AF_INET;
      inet_pton(AF_INET, "203.0.113.11", &b->sin_addr);
      return 2;
    }
    if ((h == "p2p.example" || (h == vv_nat64_probe_name && self->nat64)) && family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(out);
      a->sin6_family = AF_INET6;
      inet_pton(AF_INET6, h == "p2p.example" ? "2001:db8::10" : "64:ff9b::c000:aa", &a->sin6_addr);
      return 1;
    }
    return 0;
  }
};

}  // namespace

TEST_P(NatTest, ServerResolutionFillsListsAndProbesNat64InInstanceOneOnly) {
  ServerNames names;
  vv_set_resolver(&ServerNames::fn, &names);
  ASSERT_EQ(api().init("p2p.example", 7000, nullptr, 0, nullptr), 1);
  {
    std::lock_guard<std::mutex> lock(inst().mu);
    inst().st.nattype = 3;
    inst().st.hbtime = 99;
  }
  EXPECT_EQ(api().set_server("p2p.example", 7000), 1);
  EXPECT_STREQ(inst().st.svrip4_list, "203.0.113.10|203.0.113.11");
  EXPECT_STREQ(inst().st.svrip6_list, "2001:db8::10");
  EXPECT_EQ(inst().st.nattype, 0) << "the search starts over";
  EXPECT_EQ(inst().st.hbtime, 0);
  bool probed = false;
  for (const auto& h : names.asked) probed |= h == vv_nat64_probe_name;
  EXPECT_EQ(probed, api().index == 1);
  EXPECT_EQ(inst().st.nat64, api().index == 1 ? 1 : 0);

  // A name that does not resolve leaves the registration state alone.
  {
    std::lock_guard<std::mutex> lock(inst().mu);
    inst().st.nattype = 4;
  }
  EXPECT_EQ(api().set_server("nothing.example", 7000), 0);
  EXPECT_EQ(inst().st.nattype, 4);
  vv_set_resolver(nullptr, nullptr);
}

TEST_P(NatTest, FifthUnansweredSendRenewsSocketsAndCyclesThePortOffset) {
  ServerNames names;
  vv_set_resolver(&ServerNames::fn, &names);
  ASSERT_EQ(api().init("p2p.example", 7000, nullptr, 0, nullptr), 1);
  ASSERT_EQ(vv_nat_resolve_server(inst(), 1), 1);
  {
    std::lock_guard<std::mutex> lock(inst().mu);
    inst().st.send_hb = 4;
  }
  int sock = inst().st.sock;
  EXPECT_EQ(vv_nat_resolve_server(inst(), 0), 1);
  EXPECT_EQ(inst().st.sock, sock) << "four unanswered sends: nothing to do";
  int offsets[3];
  for (int& off : offsets) {
    {
      std::lock_guard<std::mutex> lock(inst().mu);
      inst().st.send_hb = 5;
    }
    EXPECT_EQ(vv_nat_resolve_server(inst(), 0), 1);
    EXPECT_GT(inst().st.sock, 0);
    EXPECT_GE(inst().st.port, 1024);
    EXPECT_LE(inst().st.port, 2000);
    EXPECT_EQ(inst().st.send_hb, 0) << "the search restarts";
    off = inst().st.svrport_offset;
  }
  EXPECT_EQ(offsets[0], 1);
  EXPECT_EQ(offsets[1], 2);
  EXPECT_EQ(offsets[2], 0);
  EXPECT_NE(run_param().find("svrport:7000\n"), std::string::npos);
  vv_set_resolver(nullptr, nullptr);
}
