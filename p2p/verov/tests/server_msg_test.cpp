// Server messages and the registration thread: the handler's rules on crafted datagrams, and
// whole registrations of both instances against the Python server simulator on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vv_crypto.h"
#include "vv_datagram.h"
#include "vv_instance.h"
#include "vv_nat.h"
#include "vv_socket.h"

namespace {

sockaddr_in from4(const char* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(7000);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

void deliver(VvInstance& in, std::vector<unsigned char> d, const char* ip) {
  sockaddr_in a = from4(ip);
  vv_server_msg(in, d.data(), static_cast<int>(d.size()), reinterpret_cast<sockaddr*>(&a), 16);
}

std::vector<unsigned char> head(uint16_t id, size_t size) {
  std::vector<unsigned char> d(size, 0);
  vv_put16(d.data(), VV_MAGIC);
  vv_put16(d.data() + 2, id);
  return d;
}

std::vector<unsigned char> server_list(const std::string& text, int extra_len = 0) {
  size_t padded = (text.size() + 7) / 8 * 8;
  auto d = head(VV_MSG_SVRLIST, 20 + padded);
  vv_put32(d.data() + 4, static_cast<uint32_t>(time(nullptr)));
  vv_put32(d.data() + 12, 0x5a5a1234);
  vv_put32(d.data() + 16, static_cast<uint32_t>(text.size() + extra_len));
  memcpy(d.data() + 20, text.data(), text.size());
  encrypt_ex(d.data() + 20, static_cast<int>(text.size()), d.data());
  return d;
}

std::vector<unsigned char> mapped(const char* ip, uint16_t port) {
  auto d = head(VV_MSG_MAPPED, 92);
  snprintf(reinterpret_cast<char*>(d.data() + 4), 16, "%s", ip);
  vv_put16(d.data() + 20, port);
  timeval tv;
  gettimeofday(&tv, nullptr);
  vv_put32(d.data() + 24, static_cast<uint32_t>(tv.tv_sec));
  vv_put32(d.data() + 28, static_cast<uint32_t>(tv.tv_usec));
  return d;
}

std::vector<unsigned char> key_reply(int status, uint32_t server_time, const char* key, int interval) {
  auto d = head(VV_MSG_HB_KEY_REPLY, 52);
  vv_put32(d.data() + 4, static_cast<uint32_t>(status));
  vv_put32(d.data() + 8, static_cast<uint32_t>(interval));
  vv_put32(d.data() + 12, server_time);
  snprintf(reinterpret_cast<char*>(d.data() + 16), 32, "%s", key);
  encrypt_ex(d.data() + 16, 32, d.data());
  vv_put32(d.data() + 48, 2);
  return d;
}

std::vector<unsigned char> checked(uint16_t id, int value, int check, int written_check) {
  auto d = head(id, 40);
  vv_put32(d.data() + 4, static_cast<uint32_t>(value));
  vv_put32(d.data() + 8, 3600);
  vv_put32(d.data() + 12, static_cast<uint32_t>(check));
  snprintf(reinterpret_cast<char*>(d.data() + 16), 24, "%d", written_check);
  encrypt_ex(d.data() + 16, 24, d.data());
  return d;
}

// Handler cases run on an instance without its thread, whose state the test sets.
class HandlerTest : public ::testing::TestWithParam<int> {
 protected:
  VvInstance& in() { return vv_instance(GetParam()); }
  vv_nat_state& st() { return in().st; }
  void SetUp() override {
    std::lock_guard<std::mutex> lock(in().mu);
    memset(&st(), 0, sizeof(st()));
    snprintf(st().svrip4_list, sizeof(st().svrip4_list), "127.0.0.10");
    st().hb_interval = 30;
    st().auth_ok = -1;
    st().pwcheck = 1;
  }
  void two_servers() {
    deliver(in(), server_list("127.0.0.10:7000||\n127.0.0.11:7000||"), "127.0.0.10");
    ASSERT_EQ(st().svrnum, 2);
  }
};

TEST_P(HandlerTest, ServerListLines) {
  struct {
    const char* text;
    int entries;
    const char* last_ip4;
  } cases[] = {
      {"127.0.0.10:7000||\n127.0.0.11:7001|::1|\nx\n127.0.0.12:7002||", 2, "127.0.0.11"},
      {"127.0.0.10|no-port||\n127.0.0.11:7001||", 1, "127.0.0.11"},
      {"1234567890123456:7000||\n127.0.0.11:7001||", 1, "127.0.0.11"},  // 16-character address
      {"127.0.0.10:0||\n127.0.0.11:70000||", 0, ""},
  };
  for (const auto& c : cases) {
    SetUp();
    deliver(in(), server_list(c.text), "127.0.0.10");
    EXPECT_EQ(st().svrnum, c.entries) << c.text;
    if (c.entries) EXPECT_STREQ(st().svrs[c.entries - 1].ip4, c.last_ip4) << c.text;
    EXPECT_EQ(st().nattype, c.entries == 1 ? -1 : 0) << "one server cannot test the NAT";
  }
  SetUp();
  std::string many;
  for (int i = 0; i < 51; ++i) many += "127.0.0." + std::to_string(10 + i) + ":7000||\n";
  deliver(in(), server_list(many), "127.0.0.10");
  EXPECT_EQ(st().svrnum, VV_MAX_SERVERS) << "the 51st entry is dropped";
  SetUp();
  deliver(in(), server_list("127.0.0.10:7000||", 8), "127.0.0.10");
  EXPECT_EQ(st().svrnum, 0) << "a body length beyond the datagram";
  SetUp();
  deliver(in(), server_list("127.0.0.10:7000||"), "127.0.0.99");
  EXPECT_EQ(st().svrnum, 0) << "from outside the server name's addresses";
  EXPECT_EQ(st().spoofed, 1);
}

TEST_P(HandlerTest, SecondListWithinFiveSecondsIsIgnored) {
  two_servers();
  deliver(in(), server_list("127.0.0.10:7000||"), "127.0.0.10");
  EXPECT_EQ(st().svrnum, 2);
  st().getsvrtime -= 5;
  deliver(in(), server_list("127.0.0.10:7000||"), "127.0.0.10");
  EXPECT_EQ(st().svrnum, 1);
}

TEST_P(HandlerTest, MappedAddressesSelectAndCount) {
  two_servers();
  deliver(in(), mapped("203.0.113.64", 4000), "127.0.0.11");
  EXPECT_EQ(st().checksvrs, 1);
  EXPECT_STREQ(st().svrip4, "127.0.0.11") << "the first to answer is selected";
  EXPECT_EQ(strlen(st().uuid), 32u) << "a uuid is made when none was given";
  deliver(in(), mapped("203.0.113.6", 4001), "127.0.0.10");
  EXPECT_EQ(st().checksvrs, 2);
  EXPECT_STREQ(st().svrip4, "127.0.0.11");
  EXPECT_STREQ(st().pubip_list, "203.0.113.64,") << "a substring of a listed address is not added";
  {
    std::lock_guard<std::mutex> lock(in().mu);
    bool differ = st().svrs[0].mapped_port != st().svrs[1].mapped_port;
    EXPECT_TRUE(differ);
  }
  if (GetParam() == 1) EXPECT_EQ(vv_nat_check_symmetric_nat(), 1);
  deliver(in(), mapped("203.0.113.64", 4000), "127.0.0.99");
  EXPECT_EQ(st().checksvrs, 2) << "a stranger's reply changes nothing";
}

TEST_P(HandlerTest, HeartbeatRepliesAndKeyCheck) {
  two_servers();
  snprintf(st().svrkey, sizeof(st().svrkey), "key");
  st().send_hb = 3;
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  struct {
    std::vector<unsigned char> d;
    int hb_interval, key_invalid;
    bool seen;
  } cases[] = {
      {key_reply(1, now - 11, "key", 20), 30, 0, false},  // 11 s old
      {key_reply(1, now + 2, "key", 20), 30, 0, false},   // from ahead of our clock
      {key_reply(1, now, "other", 20), 30, 0, false},
      {key_reply(1, now, "key", 121), 30, 0, true},
      {key_reply(1, now, "key", 20), 20, 0, true},
      {key_reply(0, now, "key", 20), 20, 1, false},
  };
  for (auto& c : cases) {
    st().hbtime = 0;
    st().send_hb = 3;
    deliver(in(), c.d, "127.0.0.10");
    EXPECT_EQ(st().hb_interval, c.hb_interval);
    EXPECT_EQ(st().key_invalid, c.key_invalid);
    EXPECT_EQ(st().hbtime != 0, c.seen);
    EXPECT_EQ(st().send_hb, c.seen ? 0 : 3);
  }
  auto hb = head(VV_MSG_HB_REPLY, 8);
  for (int interval : {0, 121, 45}) {
    vv_put32(hb.data() + 4, static_cast<uint32_t>(interval));
    deliver(in(), hb, "127.0.0.11");
  }
  EXPECT_EQ(st().hb_interval, 45);
  // A reply after a long silence has the parameters sent again.
  st().params_time = 77;
  st().hbtime = vv_nat_now() - 200;
  deliver(in(), hb, "127.0.0.11");
  EXPECT_EQ(st().params_time, 0);
}

TEST_P(HandlerTest, CheckedMessagesAndStrangers) {
  two_servers();
  struct {
    std::vector<unsigned char> d;
    const char* from;
    int auth_ok, pwcheck;
  } cases[] = {
      {checked(VV_MSG_AUTH_RESULT, 1, 55, 54), "127.0.0.10", -1, 1},
      {checked(VV_MSG_INCOMING, 0, 55, 56), "127.0.0.10", -1, 1},
      {checked(VV_MSG_AUTH_RESULT, 1, 55, 55), "127.0.0.99", -1, 1},
      {checked(VV_MSG_INCOMING, 0, 55, 55), "127.0.0.99", -1, 1},
      {checked(VV_MSG_AUTH_RESULT, 1, 55, 55), "127.0.0.11", 1, 1},
      {checked(VV_MSG_INCOMING, 0, 55, 55), "127.0.0.10", 1, 0},
  };
  for (auto& c : cases) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    deliver(in(), c.d, c.from);
    clock_gettime(CLOCK_MONOTONIC, &b);
    EXPECT_LT(b.tv_sec - a.tv_sec, 1) << "a forged result costs no pause";
    EXPECT_EQ(st().auth_ok, c.auth_ok);
    EXPECT_EQ(st().pwcheck, c.pwcheck);
  }
  EXPECT_EQ(st().auth_interval, 3600);
  auto uuid = head(VV_MSG_NEW_UUID, 104);
  memcpy(uuid.data() + 4, "FROM-SERVER", 11);
  deliver(in(), uuid, "127.0.0.99");
  EXPECT_STRNE(st().uuid, "FROM-SERVER");
  deliver(in(), uuid, "127.0.0.10");
  EXPECT_STREQ(st().uuid, "FROM-SERVER");
  auto ack = head(VV_MSG_PARAMS_ACK, 4);
  deliver(in(), ack, "127.0.0.10");
  EXPECT_GT(st().params_time, 0);
  st().conns[4].req_id = 9;
  auto result = head(VV_MSG_CONN_RESULT, 12);
  vv_put32(result.data() + 4, 9);
  vv_put32(result.data() + 8, 3);
  deliver(in(), result, "127.0.0.10");
  EXPECT_EQ(st().conns[4].conn_result, 3);
  EXPECT_EQ(st().spoofed, 3);
}

INSTANTIATE_TEST_SUITE_P(BothInstances, HandlerTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return "instance" + std::to_string(i.param);
                         });

TEST(Nat64Form, UsesTheFirstInstancesPrefix) {
  VvInstance& one = vv_instance(1);
  char out[64] = "";
  {
    std::lock_guard<std::mutex> lock(one.mu);
    one.st.nat64 = 0;
  }
  EXPECT_EQ(ipv4_to_nat64("203.0.113.7", out, sizeof(out)), 0);
  {
    std::lock_guard<std::mutex> lock(one.mu);
    one.st.nat64 = 1;
    inet_pton(AF_INET6, "64:ff9b::c000:aa", &one.st.nat64_prefix.sin6_addr);
  }
  EXPECT_EQ(ipv4_to_nat64("203.0.113.7", out, sizeof(out)), 1);
  EXPECT_STREQ(out, "64:ff9b::cb00:7107");
  EXPECT_EQ(ipv4_to_nat64("not.an.address", out, sizeof(out)), 0);
  std::lock_guard<std::mutex> lock(one.mu);
  one.st.nat64 = 0;
}

// The simulator as a child process on loopback; it leaves when its stdin closes.
class Simulator {
 public:
  explicit Simulator(const std::string& config) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::string script = std::string(VV_SIM_DIR) + "/vvserver.py";
      execl(VV_PYTHON, VV_PYTHON, script.c_str(), config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    out_ = fdopen(out[0], "r");
    char line[64] = "";
    ready_ = out_ && fgets(line, sizeof(line), out_) && strncmp(line, "READY", 5) == 0;
  }
  ~Simulator() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    if (out_) fclose(out_);
  }
  bool ready() const { return ready_; }
  void command(const std::string& json) {
    std::string l = json + "\n";
    (void)!write(stdin_, l.data(), l.size());
    char line[64];
    if (out_) (void)!fgets(line, sizeof(line), out_);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
  bool ready_ = false;
};

bool eventually(const std::function<bool()>& f, int seconds = 20) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (f()) return true;
    poll(nullptr, 0, 20);
  }
  return f();
}

std::vector<std::string> log_lines(const std::string& path) {
  std::ifstream f(path);
  std::vector<std::string> v;
  for (std::string l; std::getline(f, l);) v.push_back(l);
  return v;
}

int count_in(const std::vector<std::string>& log, int id, const char* extra = "") {
  int n = 0;
  std::string key = "\"dir\": \"in\", \"id\": " + std::to_string(id) + ",";
  for (const auto& l : log) n += l.find(key) != std::string::npos && l.find(extra) != std::string::npos;
  return n;
}

struct Scenario {
  const char* name;
  int index;
  const char* config;  // extra configuration keys of the simulator
  const char* uuid;
  const char* svrkey;
  int status;   // the status the instance must reach
  int nattype;  // 99: any
};

class RegistrationSim : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override { vv_nat_set_time_scale(10); }
  void TearDown() override {
    vv_nat_exit();
    vv2_nat_exit();
    vv_nat_set_time_scale(1);
    unlink(log_.c_str());
  }
  std::string config(const char* extra, int port) {
    char b[1024];
    snprintf(b, sizeof(b), R"({"addrs": ["127.0.0.10", "127.0.0.11"], "port": %d, "log": "%s"%s%s})", port,
             log_.c_str(), extra[0] ? ", " : "", extra);
    return b;
  }
  std::string log_ = "/tmp/vvreg-sim-" + std::to_string(getpid()) + ".jsonl";
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const Scenario kScenarios[] = {
    {"plain1", 1, "", "C1@k", nullptr, 1, 2},
    {"plain2", 2, "", "C2@k", nullptr, 1, 2},
    {"NoUuid", 1, "", nullptr, nullptr, 1, 2},
    {"OneServer", 2, R"("list": ["127.0.0.10:7200||"])", "C2@k", nullptr, 1, -1},
    {"KeyedHeartbeat1", 1, R"("svrkey": "sk", "connlog": 2)", "C1@k", "sk", 1, 2},
    {"KeyedHeartbeat2", 2, R"("svrkey": "sk")", "C2@k", "sk", 1, 2},
    {"WrongKey", 1, R"("svrkey": "sk")", "C1@k", "other", -2, 99},
    {"Rejected", 2, R"("keys": {"C2": "right"})", "C2@wrong", nullptr, -3, 99},
    {"DuplicatedAndLate", 1, R"("faults": {"5001": "dup", "1000": "delay:300", "1023": "dup"})", "C1@k",
     nullptr, 1, 2},
    {"StaleKeyReply", 1, R"("svrkey": "sk", "faults": {"1012": "stale"})", "C1@k", "sk", 0, 99},
};

TEST_P(RegistrationSim, ReachesItsStatus) {
  const Scenario& s = GetParam();
  int k = 0;
  while (strcmp(kScenarios[k].name, s.name) != 0) ++k;
  int port = 7200 + 10 * k;  // each scenario on ports of its own
  std::string cfg = config(s.config, port);
  // The one-server list names the scenario's own port.
  if (strstr(s.config, "7200")) {
    std::string from = "7200||", to = std::to_string(port) + "||";
    cfg.replace(cfg.find(from), from.size(), to);
  }
  Simulator sim(cfg);
  ASSERT_TRUE(sim.ready());
  auto init = s.index == 1 ? vv_nat_init : vv2_nat_init;
  auto status = s.index == 1 ? vv_nat_get_status : vv2_nat_get_status;
  ASSERT_EQ(init("127.0.0.10", port, s.uuid, 0, nullptr), 1);
  if (s.svrkey) (s.index == 1 ? vv_nat_set_server_key : vv2_nat_set_server_key)(s.svrkey);
  if (s.status == 0) {
    // Authenticated and sending heartbeats whose replies are all refused.
    EXPECT_TRUE(eventually([&] { return count_in(log_lines(log_), 1012) >= 2; }));
    EXPECT_EQ(status(), 0);
  } else {
    EXPECT_TRUE(eventually([&] { return status() == s.status; })) << "status " << status();
  }
  VvInstance& in = vv_instance(s.index);
  int nattype;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    nattype = in.st.nattype;
  }
  if (s.nattype != 99) EXPECT_EQ(nattype, s.nattype);
  auto log = log_lines(log_);
  if (!s.uuid) EXPECT_EQ(count_in(log, 1023), 0) << "no uuid: no authentication";
  if (s.index == 2 && !s.svrkey && s.status == 1) EXPECT_GT(count_in(log, 1021), 0) << "second heartbeat form";
  if (s.svrkey && s.status == 1) EXPECT_GT(count_in(log, 1012), 0);
  if (strcmp(s.name, "KeyedHeartbeat1") == 0) {
    EXPECT_GT(vv_nat_send_connect_log(3, "PEER", 2, 118, 0, 250, 1), 0);
    EXPECT_GT(vv_nat_send_disconnect_log(3, "PEER", 60, 1), 0);
    EXPECT_TRUE(eventually([&] {
      auto l = log_lines(log_);
      return count_in(l, 1103, "\"len\": 108") == 1 && count_in(l, 1104, "\"len\": 88") == 1;
    }));
  }
  if (strcmp(s.name, "plain1") == 0) EXPECT_EQ(vv_nat_send_connect_log(3, "PEER", 2, 118, 0, 250, 1), 0)
      << "the server did not ask for connect logs";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RegistrationSim, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& i) { return std::string(i.param.name); });

std::mutex g_results_mu;  // the callback runs on the registration thread
std::vector<std::string> g_results;
std::vector<std::string> results() {
  std::lock_guard<std::mutex> lock(g_results_mu);
  return g_results;
}
void on_query_result(const char* uuid, int online, const char* addr, const unsigned char*, int len) {
  std::lock_guard<std::mutex> lock(g_results_mu);
  g_results.push_back(std::string(uuid) + "|" + std::to_string(online) + "|" + addr + "|" + std::to_string(len));
}

TEST(RegistrationSimQueries, UpnpParametersAndAsynchronousStatus) {
  vv_nat_set_time_scale(10);
  std::string log = "/tmp/vvreg-q-" + std::to_string(getpid()) + ".jsonl";
  Simulator sim(R"({"addrs": ["127.0.0.10", "127.0.0.11"], "port": 7400, "log": ")" + log + "\"}");
  ASSERT_TRUE(sim.ready());
  vv_nat_callbacks cbs{};
  cbs.OnQueryResult = on_query_result;
  ASSERT_EQ(vv2_nat_init("127.0.0.10", 7400, "DEV9@k", 0, nullptr), 1);
  vv2_nat_set_upnp("203.0.113.64", 8080, 80);
  const unsigned char params[] = {0x50, 0x00, 7, 7};
  vv2_nat_set_param(params, sizeof(params));
  ASSERT_EQ(vv_nat_init("127.0.0.10", 7400, "CLI9@k", 0, &cbs), 1);
  ASSERT_TRUE(eventually([] { return vv_nat_get_status() == 1 && vv2_nat_get_status() == 1; }));
  int run = 1;
  unsigned char info[16] = {};
  ASSERT_TRUE(eventually([&] {
    return vv_nat_query("DEV9", 1, &run, reinterpret_cast<char*>(info), sizeof(info), nullptr, 0) == 1 &&
           info[2] == 7;
  }));
  char out[64] = "";
  EXPECT_TRUE(eventually([&] { return vv_nat_query_upnp("DEV9", 1, nullptr, out, sizeof(out)) == 1; }));
  EXPECT_STREQ(out, "203.0.113.64|8080");
  EXPECT_EQ(vv_nat_get_param_v3("DEV9"), 1);
  EXPECT_TRUE(eventually([] { return !results().empty(); }));
  int dev_port;
  {
    std::lock_guard<std::mutex> lock(vv_instance(2).mu);
    dev_port = vv_instance(2).st.port;
  }
  EXPECT_EQ(results().at(0), "DEV9|1|127.0.0.1:" + std::to_string(dev_port) + "|4");
  vv_nat_exit();
  vv2_nat_exit();
  vv_nat_set_time_scale(1);
  unlink(log.c_str());
}

}  // namespace

namespace {

// A status query sent while the registration renews its sockets leaves from one of the
// instance's own sockets: never from a descriptor that was closed and handed to someone else.
TEST(MainSocketRenewal, QueriesNeverSendFromAnotherSocket) {
  vv_nat_manual_start(true);
  int rx = UdpListen(0);
  sockaddr_in ra{};
  socklen_t rl = sizeof(ra);
  getsockname(rx, reinterpret_cast<sockaddr*>(&ra), &rl);
  int rport = ntohs(ra.sin_port);
  ASSERT_EQ(vv_nat_init("127.0.0.1", rport, "Q@k", 0, nullptr), 1);
  ASSERT_EQ(vv_nat_set_server("127.0.0.1", rport), 1);
  VvInstance& in = vv_instance(1);
  std::mutex ports_mu;
  std::vector<int> ports;
  auto registered = [&] {
    std::lock_guard<std::mutex> lock(in.mu);
    in.st.auth_ok = 1;
    in.st.hbtime = vv_nat_now();
    std::lock_guard<std::mutex> p(ports_mu);
    ports.push_back(in.st.port);
  };
  registered();
  std::atomic<bool> stop{false};
  std::thread renew([&] {
    while (!stop) {
      {
        std::lock_guard<std::mutex> lock(in.mu);
        in.st.send_hb = 5;
      }
      vv_nat_resolve_server(in, 0);
      registered();
    }
  });
  // Takes every descriptor number renewal frees, bound to a port of its own.
  std::thread noise([&] {
    while (!stop) {
      int s = UdpListen(0);
      poll(nullptr, 0, 0);
      CloseSocket(&s);
    }
  });
  std::thread sender([&] {
    while (!stop) vv_nat_get_param_v3("SOMEONE");
  });
  std::vector<int> sources;
  const long long deadline = time(nullptr) + 10;
  for (;;) {
    size_t renewals;
    {
      std::lock_guard<std::mutex> p(ports_mu);
      renewals = ports.size();
    }
    if ((sources.size() >= 200 && renewals >= 20) || time(nullptr) > deadline) stop = true;
    bool done = stop;  // once stopped, read what is left
    sockaddr_in from{};
    unsigned char buf[256];
    int n = RecvFrom(rx, buf, sizeof(buf), &from, done ? 200000 : 50000);
    if (n > 0)
      sources.push_back(ntohs(from.sin_port));
    else if (done)
      break;
  }
  renew.join();
  noise.join();
  sender.join();
  vv_nat_exit();
  vv_nat_manual_start(false);
  CloseSocket(&rx);
  EXPECT_GE(sources.size(), 200u);
  std::lock_guard<std::mutex> p(ports_mu);
  EXPECT_GE(ports.size(), 20u) << "the sockets were renewed meanwhile";
  for (int s : sources) EXPECT_NE(std::find(ports.begin(), ports.end(), s), ports.end()) << s;
}

}  // namespace

namespace {

std::atomic<int64_t> g_fake_now{100000};
int64_t fake_clock() { return g_fake_now.load(); }

// The periodic sends follow the registration clock, here injected and moved by the test while
// the thread's waits run fifty times faster.
TEST(RegistrationSpacing, FollowsTheClock) {
  std::string log = "/tmp/vvreg-clock-" + std::to_string(getpid()) + ".jsonl";
  Simulator sim(R"({"addrs": ["127.0.0.10", "127.0.0.11"], "port": 7450, "log": ")" + log + "\"}");
  ASSERT_TRUE(sim.ready());
  vv_nat_set_clock(fake_clock);
  vv_nat_set_time_scale(50);
  ASSERT_EQ(vv_nat_init("127.0.0.10", 7450, "CLOCK@k", 0, nullptr), 1);
  const unsigned char params[] = {1, 2, 3};
  vv_nat_set_param(params, sizeof(params));
  // Every first send is answered, so the registration needs no time to pass.
  ASSERT_TRUE(eventually([] { return vv_nat_get_status() == 1; }));
  ASSERT_TRUE(eventually([&] { return count_in(log_lines(log), 1008) == 1; }));
  auto sent = [&](int id) { return count_in(log_lines(log), id); };
  int hb = sent(1012);
  EXPECT_EQ(hb, 1);
  struct {
    int64_t move;
    int heartbeats;  // heartbeats sent in all once the clock moved
    int params;      // parameter messages sent in all
    const char* why;
  } steps[] = {
      {29, 1, 1, "29 s after the reply: nothing is due"},
      {1, 2, 1, "30 s: the heartbeat is due"},
      {-100, 3, 1, "the clock went back: every slot lies ahead, the heartbeat goes at once"},
      {61, 4, 2, "a reply after more than 60 s of silence has the parameters sent again"},
  };
  for (const auto& s : steps) {
    g_fake_now += s.move;
    EXPECT_TRUE(eventually([&] { return sent(1012) == s.heartbeats && sent(1008) == s.params; }, 5))
        << s.why << ": " << sent(1012) << " heartbeats, " << sent(1008) << " parameter messages";
    poll(nullptr, 0, 300);  // and no more than that
    EXPECT_EQ(sent(1012), s.heartbeats) << s.why;
    EXPECT_EQ(sent(1008), s.params) << s.why;
  }
  EXPECT_EQ(sent(5001), 1);
  EXPECT_EQ(sent(1023), 2) << "an authentication stamped ahead of the clock is due again";
  vv_nat_exit();
  vv_nat_set_clock(nullptr);
  vv_nat_set_time_scale(1);
  unlink(log.c_str());
}

}  // namespace
