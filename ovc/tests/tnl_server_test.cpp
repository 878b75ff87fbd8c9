// The tunnel server's flat interface. Agent against server: this process is the agent, a
// second process (tnl_server_probe) is the device that logs in to the servers simulator and
// serves the tunnel; the session between them is an OVC LAN session on loopback, and the
// device reaches the independent echo service of tnlpeer.py. The token table of the
// direct-LAN probe is checked in this process against a server of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tunnel/tnl_agent_internal.h"
#include "Tunnel/tnl_auth.h"
#include "Tunnel/tnl_rct_stream.h"
#include "Tunnel/tnl_server.h"
#include "Tunnel/tnl_wire.h"
#include "lan_peer_proc.h"
#include "ovc_head.h"
#include "ovc_state.h"
#include "p2ptunnel_api.h"
#include "peer_util.h"
#include "rct_api.h"

namespace {

using ovc_test::LanPeer;
using Clock = std::chrono::steady_clock;

const char* kDevUid = "OVCTNLSERVER00000001";

// Each test process has masters of its own, so parallel runs never share a simulator.
std::string master_addr() { return "127.93." + std::to_string(getpid() % 200 + 20) + ".1"; }

int one_loopback(orvan_net_if_info_t* info) {
  memset(info, 0, sizeof *info);
  info->addr[0] = htonl(0x7F000001u);
  info->mask[0] = 0xFFFFFFFFu;
  return 1;
}

int connect_loopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(fd, (sockaddr*)&sa, sizeof sa);
  getsockname(fd, (sockaddr*)&sa, &len);
  close(fd);
  return ntohs(sa.sin_port);
}

uint16_t json_port(const std::string& line, const char* key) {
  size_t at = line.find(std::string("\"") + key + "\": ");
  return at == std::string::npos ? 0 : (uint16_t)std::stoi(line.substr(at + strlen(key) + 4));
}

uint16_t field_port(const std::string& line, const char* key) {
  size_t at = line.find(std::string(key) + "=");
  return at == std::string::npos ? 0 : (uint16_t)std::stoi(line.substr(at + strlen(key) + 1));
}

// The device process: output lines collected, commands written to its standard input.
class DeviceProc {
 public:
  ~DeviceProc() { Stop(); }
  bool Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TNL_SERVER_PROBE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      std::vector<char*> a;
      for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
      a.push_back(nullptr);
      execv(a[0], a.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    inFd_ = in[1];
    outFd_ = out[0];
    reader_ = std::thread([this] { Read(); });
    return true;
  }
  void Send(const std::string& line) {
    std::string l = line + "\n";
    if (inFd_ >= 0) (void)!write(inFd_, l.data(), l.size());
  }
  // Ends it as its user would; the exit status, or -1 when it had to be killed.
  int Stop() {
    int status = -1;
    if (inFd_ >= 0) {
      Send("quit");
      close(inFd_);
      inFd_ = -1;
    }
    if (pid_ > 0) {
      for (int i = 0; i < 1000 && pid_ > 0; ++i) {
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
          pid_ = -1;
          status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        } else {
          usleep(20000);
        }
      }
      if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
      }
    }
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) close(outFd_);
    outFd_ = -1;
    return status;
  }
  std::string WaitFor(const std::string& text, int timeoutMs, size_t from = 0) {
    std::unique_lock<std::mutex> lk(mu_);
    std::string found;
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].find(text) != std::string::npos) {
          found = lines_[i];
          return true;
        }
      return done_;
    });
    return found;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
  }

 private:
  void Read() {
    std::string acc;
    char buf[4096];
    for (;;) {
      ssize_t n = read(outFd_, buf, sizeof buf);
      if (n <= 0) break;
      acc.append(buf, (size_t)n);
      size_t nl;
      while ((nl = acc.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> g(mu_);
        lines_.push_back(acc.substr(0, nl));
        acc.erase(0, nl + 1);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> g(mu_);
    done_ = true;
    cv_.notify_all();
  }
  pid_t pid_ = -1;
  int inFd_ = -1, outFd_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool done_ = false;
};

std::vector<uint8_t> auth_block() {
  std::vector<uint8_t> b(128, 0);
  memcpy(b.data(), "camhost1", 8);
  memcpy(b.data() + 64, "Kv8 Wendrusq", 12);
  return b;
}

uint8_t pattern_byte(uint64_t i) { return (uint8_t)((i % 65536) * 7); }

// conns connections through port at once, each sending `each` bytes of the pattern, half
// closing and reading the echo to its end.
void echo_many(uint16_t port, int conns, size_t each) {
  struct Conn {
    int fd;
    size_t sent = 0, got = 0;
    bool shut = false, eof = false;
  };
  std::vector<Conn> cs;
  for (int i = 0; i < conns; ++i) {
    int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    cs.push_back(Conn{fd});
  }
  std::vector<uint8_t> out(65536), in(65536);
  for (size_t i = 0; i < out.size(); ++i) out[i] = pattern_byte(i);
  for (size_t done = 0; done < cs.size();) {
    std::vector<pollfd> pf;
    for (Conn& c : cs) pf.push_back({c.fd, (short)((c.eof ? 0 : POLLIN) | (c.shut ? 0 : POLLOUT)), 0});
    ASSERT_GT(poll(pf.data(), pf.size(), 60000), 0) << "transfer stalled";
    done = 0;
    for (size_t i = 0; i < cs.size(); ++i) {
      Conn& c = cs[i];
      if ((pf[i].revents & POLLOUT) && !c.shut) {
        size_t off = c.sent % out.size();
        ssize_t k = send(c.fd, out.data() + off, std::min(each - c.sent, out.size() - off), MSG_NOSIGNAL);
        if (k > 0) c.sent += (size_t)k;
        if (c.sent == each) {
          shutdown(c.fd, SHUT_WR);
          c.shut = true;
        }
      }
      if (pf[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t k = recv(c.fd, in.data(), in.size(), 0);
        if (k > 0) {
          for (ssize_t j = 0; j < k; ++j)
            ASSERT_EQ(in[j], pattern_byte(c.got + j)) << "conn " << i << " at " << c.got + j;
          c.got += (size_t)k;
        } else if (k == 0) {
          c.eof = true;
        }
      }
      if (c.eof) {
        EXPECT_EQ(c.got, each) << "conn " << i;
        ++done;
      }
    }
  }
  for (Conn& c : cs) close(c.fd);
}

// The servers simulator on this process's own loopback master.
class Servers {
 public:
  bool Start() {
    srv_.SetScript("servers.py");
    std::string m = master_addr();
    if (!srv_.Start({"--master", m, "--p2p", m + ":0," + m + ":0", "--timeout", "300"})) return false;
    return !srv_.WaitFor({"\"ready\""}, 20000).empty();
  }
  void Stop() { srv_.Stop(); }
  bool Mode(const std::string& mode) {
    size_t from = srv_.Count();
    srv_.Send("mode " + mode);
    return !srv_.WaitFor({"\"mode\"", mode}, 5000, from).empty();
  }

 private:
  LanPeer srv_;
};

// The agent here, the device in its own process.
class TnlServer : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  Servers servers;
  std::unique_ptr<DeviceProc> dev;
  LanPeer services;  // tnlpeer.py, for its echo service only
  uint16_t echo = 0;
  bool agentUp = false, bareUp = false;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    ASSERT_TRUE(servers.Start());
    ASSERT_TRUE(services.Start({}, {}, "tnlpeer.py"));
    echo = json_port(services.WaitFor({"services"}, 5000), "echo");
    ASSERT_NE(echo, 0);
  }
  DeviceProc& device() { return *dev; }
  // Starts the device with the given verdict (none, accept=N, reject=N) and the agent (the
  // library's, or with lib false only the OVC module and RCT under it).
  void Start(const std::string& verdict, bool lib = true) {
    dev.reset(new DeviceProc);
    ASSERT_TRUE(device().Start({master_addr(), kDevUid, verdict}));
    std::string start = device().WaitFor("START", 30000);
    ASSERT_NE(start.find("START 0 "), std::string::npos) << start;
    uint16_t udp = field_port(start, "udp");
    ASSERT_NE(udp, 0);
    ovc_set_interface_source(one_loopback);
    const uint32_t nets[1] = {htonl(0x7F000000u)};
    const int prefixes[1] = {8};
    ovc_set_lan_networks(nets, prefixes, 1);
    if (lib) {
      ASSERT_EQ(P2PTunnelAgentInitialize(4), 0);
      agentUp = true;
    } else {
      ASSERT_EQ(OVC_Initialize2(0), 0);
      ASSERT_GE(RCT_Initialize(), 0);
      bareUp = true;
    }
    OVC_Setup_LANConnection_Timeout(3000);
    ASSERT_EQ(OVC_Set_LanSearchPort(udp), 0);
  }
  int Connect(int* result, const std::vector<uint8_t>& auth = auth_block()) {
    int sid = P2PTunnelAgent_GetFreeSession();
    EXPECT_GE(sid, 0);
    int rc = -1;
    for (int i = 0; i < 3; ++i) {
      rc = P2PTunnelAgent_Connect_Parallel(kDevUid, sid, auth.empty() ? nullptr : auth.data(), (int)auth.size(),
                                           result);
      if (rc != OVC_ER_TIMEOUT && rc != OVC_ER_DEVICE_NOT_FOUND) break;
    }
    return rc;
  }
  // Ends the agent and the device; both can start again.
  void StopBoth() {
    if (agentUp) EXPECT_EQ(P2PTunnelAgentDeInitialize(), 0);
    if (bareUp) {
      RCT_DeInitialize();
      OVC_DeInitialize();
    }
    agentUp = bareUp = false;
    if (dev) {
      EXPECT_EQ(dev->Stop(), 0);
      EXPECT_NE(dev->WaitFor("END 0", 1000), "");
    }
    dev.reset();
  }
  void TearDown() override {
    StopBoth();
    services.Stop();
    servers.Stop();
    ovc_set_interface_source(nullptr);
    ovc_set_lan_networks(nullptr, nullptr, 0);
    OVC_Setup_LANConnection_Timeout(-1);
    OVC_Set_LanSearchPort(32761);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
};

}  // namespace

// The application's verdict reaches the agent with its result, and it saw the agent's data.
TEST_F(TnlServer, AgentAcceptedOrRejectedWithTheApplicationsResult) {
  struct Case {
    const char* verdict;
    bool parallel;  // the reserved-session connect, or the older one
    int connect;    // the sid (>= 0) or the agent's code
    int result;
  };
  const Case cases[] = {
      {"accept=3", true, 0, 3},
      {"reject=-5", true, TNL_ER_AUTH_REJECTED, -5},
      {"none", true, 0, 0},
      {"accept=4", false, 0, 4},
      {"reject=-7", false, TNL_ER_AUTH_REJECTED, -7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verdict) + (c.parallel ? " parallel" : " plain"));
    Start(c.verdict);
    int result = 99;
    int rc = -1;
    if (c.parallel) {
      rc = Connect(&result);
    } else {
      std::vector<uint8_t> a = auth_block();
      for (int i = 0; i < 3; ++i) {
        rc = P2PTunnelAgent_Connect(kDevUid, a.data(), 128, &result);
        if (rc != OVC_ER_TIMEOUT && rc != OVC_ER_DEVICE_NOT_FOUND) break;
      }
    }
    if (c.connect >= 0) {
      EXPECT_GE(rc, 0);
    } else {
      EXPECT_EQ(rc, c.connect);
    }
    EXPECT_EQ(result, c.result);
    if (std::string(c.verdict) != "none") {
      std::string a = device().WaitFor("AUTH", 5000);
      EXPECT_NE(a.find("mode=2 n=128 version=0301052a head=camhost1 addr=127.0.0.1"), std::string::npos) << a;
    }
    if (rc >= 0) P2PTunnelAgent_Disconnect(rc);
    StopBoth();
  }
}

// 64 connections of 1 MiB each through one mapping, echoed intact; a mapping toward a port
// where nothing listens hands the local client its end.
TEST_F(TnlServer, EchoThroughTheServerAndAnOpenToAClosedPort) {
  Start("accept=0");
  int result = -1;
  int sid = Connect(&result);
  ASSERT_GE(sid, 0);
  int idx = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_GE(idx, 0);
  echo_many(tnl_mapping_local_port(idx), 64, 1 << 20);

  int dead = P2PTunnelAgent_PortMapping(sid, 0, free_tcp_port());
  ASSERT_GE(dead, 0);
  int fd = connect_loopback(tnl_mapping_local_port(dead));
  ASSERT_GE(fd, 0);
  pollfd pf{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 20000), 1);
  char b;
  EXPECT_EQ(recv(fd, &b, 1, 0), 0);
  close(fd);
  // The session still carries traffic after the failed open.
  echo_many(tnl_mapping_local_port(idx), 2, 4096);
  P2PTunnelAgent_StopPortMapping(idx);
  P2PTunnelAgent_StopPortMapping(dead);
  EXPECT_EQ(P2PTunnelAgent_Disconnect(sid), 0);
}

// The device's status callback hears of each lost session once, with -30006 and its sid, and
// the server takes the next agent's session afterwards.
TEST_F(TnlServer, StatusCallbackReportsEachLostSessionOnce) {
  Start("accept=0");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    size_t before = device().Lines().size();
    int result = -1;
    int sid = Connect(&result);
    ASSERT_GE(sid, 0);
    std::string auth = device().WaitFor("AUTH", 5000, before);
    ASSERT_FALSE(auth.empty());
    int devSid = std::stoi(auth.substr(auth.find("sid=") + 4));
    EXPECT_EQ(P2PTunnelAgent_Disconnect(sid), 0);
    std::string st = device().WaitFor("STATUS", 20000, before);
    EXPECT_EQ(st, "STATUS -30006 " + std::to_string(devSid));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int reports = 0;
  for (const std::string& l : device().Lines()) reports += l.rfind("STATUS", 0) == 0;
  EXPECT_EQ(reports, 2);
}

// A server-side disconnect ends the agent's session: the agent's status callback hears of it
// and its local clients see their end.
TEST_F(TnlServer, ServerDisconnectEndsTheSession) {
  Start("accept=0");
  static struct Heard {
    std::mutex mu;
    std::vector<std::pair<int, int>> reports;
  } heard;
  heard.reports.clear();
  P2PTunnelAgent_GetStatus(
      [](int code, int sid, void* user) {
        auto* h = static_cast<Heard*>(user);
        std::lock_guard<std::mutex> g(h->mu);
        h->reports.emplace_back(code, sid);
      },
      &heard);
  int result = -1;
  int sid = Connect(&result);
  ASSERT_GE(sid, 0);
  std::string auth = device().WaitFor("AUTH", 5000);
  int devSid = std::stoi(auth.substr(auth.find("sid=") + 4));
  int idx = P2PTunnelAgent_PortMapping(sid, 0, echo);
  ASSERT_GE(idx, 0);
  int fd = connect_loopback(tnl_mapping_local_port(idx));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "ping", 4, MSG_NOSIGNAL), 4);
  char b[4];
  ASSERT_EQ(recv(fd, b, 4, MSG_WAITALL), 4);
  // The buffer and I/O-time calls reach the server's sessions.
  const std::string d = std::to_string(devSid);
  const std::pair<std::string, std::string> calls[] = {
      {"bufsize " + d + " 1000", "BUFSIZE 0"},
      {"bufsize " + d + " 0", "BUFSIZE -30021"},
      {"bufsize 7 1000", "BUFSIZE -30010"},
      {"bufsize 8 1000", "BUFSIZE -30021"},
      {"lastio 7", "LASTIO -30010"},
  };
  for (const auto& c : calls) {
    size_t from = device().Lines().size();
    device().Send(c.first);
    EXPECT_EQ(device().WaitFor(c.second.substr(0, 6), 5000, from), c.second) << c.first;
  }
  size_t from = device().Lines().size();
  device().Send("lastio " + d);
  std::string io = device().WaitFor("LASTIO", 5000, from);
  ASSERT_NE(io, "");
  EXPECT_NEAR(std::stoll(io.substr(7)), (long long)time(nullptr), 60) << "seconds of the wall clock";
  device().Send("disconnect " + std::to_string(devSid));
  EXPECT_EQ(device().WaitFor("DISCONNECT", 5000), "DISCONNECT 0");
  pollfd pf{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 30000), 1);
  EXPECT_LE(recv(fd, b, 1, 0), 0);
  close(fd);
  for (int i = 0; i < 2000; ++i) {
    std::lock_guard<std::mutex> g(heard.mu);
    if (!heard.reports.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> g(heard.mu);
    ASSERT_EQ(heard.reports.size(), 1u);
    EXPECT_EQ(heard.reports[0], std::make_pair(-30006, sid));
  }
  P2PTunnelAgent_StopPortMapping(idx);
}

// ---- The server in this process: edges of its interface and of the direct-LAN token table ---

namespace {

Servers* gTableServers = nullptr;
int start_loopback_ovc() {
  return OVC_Initialize_Internal(0, master_addr().c_str(), nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD);
}

class TnlServerHere : public ::testing::Test {
 protected:
  Servers servers;
  void SetUp() override {
    ASSERT_TRUE(servers.Start());
    gTableServers = &servers;
    tnl_server_set_ovc_start(start_loopback_ovc);
    tnl_server_set_probe_address(htonl(INADDR_LOOPBACK));
    tnl_server_set_timing(2000, 50);
  }
  void TearDown() override {
    P2PTunnelServerDeInitialize();
    tnl_server_set_ovc_start(nullptr);
    tnl_server_set_probe_address(INADDR_ANY);
    tnl_server_set_timing(0, 0);
    servers.Stop();
  }
};

// Sends v to the probe port (in two pieces, so a partial value must be completed) and returns
// the answer, or -1 when the connection ended without one.
int64_t probe(uint16_t port, uint32_t v) {
  int fd = connect_loopback(port);
  if (fd < 0) return -2;
  send(fd, &v, 2, MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  send(fd, (uint8_t*)&v + 2, 2, MSG_NOSIGNAL);
  uint32_t a = 0;
  pollfd pf{fd, POLLIN, 0};
  int64_t r = -3;
  if (poll(&pf, 1, 10000) == 1) r = recv(fd, &a, 4, MSG_WAITALL) == 4 ? (int64_t)a : -1;
  close(fd);
  return r;
}

}  // namespace

TEST_F(TnlServerHere, InterfaceEdges) {
  EXPECT_EQ(P2PTunnelServer_Start(kDevUid), TNL_ER_NOT_INITIALIZED);
  EXPECT_EQ(P2PTunnelServerDeInitialize(), TNL_ER_NOT_INITIALIZED);
  EXPECT_EQ(P2PTunnelServer_Disconnect(0), TNL_ER_SERVER_NOT_RUNNING);
  ASSERT_EQ(P2PTunnelServerInitialize(4), 0);
  EXPECT_EQ(P2PTunnelServerInitialize(4), TNL_ER_ALREADY_INITIALIZED);
  EXPECT_EQ(P2PTunnelAgentInitialize(4), TNL_ER_ALREADY_INITIALIZED) << "one library state for both roles";
  ASSERT_EQ(P2PTunnelServer_Start(kDevUid), 0);
  EXPECT_NE(tnl_server_probe_port(), 0);
  EXPECT_EQ(P2PTunnelServer_Disconnect(-1), TNL_ER_INVALID_ARG);
  EXPECT_EQ(P2PTunnelServer_Disconnect(4), TNL_ER_INVALID_ARG);
  EXPECT_EQ(P2PTunnelServer_Disconnect(0), TNL_ER_SESSION_NOT_IN_USE);
  // A restart makes a new probe listener and new threads; the login already runs.
  uint16_t first = tnl_server_probe_port();
  EXPECT_EQ(P2PTunnelServer_Stop(), 0);
  EXPECT_EQ(tnl_server_probe_port(), 0);
  EXPECT_EQ(connect_loopback(first), -1);
  EXPECT_EQ(P2PTunnelServer_Start(kDevUid), OVC_ER_LOGIN_STARTED);
  EXPECT_NE(tnl_server_probe_port(), 0);
  EXPECT_EQ(P2PTunnelServerDeInitialize(), 0);
  EXPECT_EQ(P2PTunnelAgentInitialize(4), 0) << "the roles alternate once the server is gone";
  EXPECT_EQ(P2PTunnelServerInitialize(4), TNL_ER_ALREADY_INITIALIZED);
  EXPECT_EQ(P2PTunnelAgentDeInitialize(), 0);
}

// A refused login comes back with the server's codes; the probe listener stays up until the
// stop, as the server threads do.
TEST_F(TnlServerHere, RefusedLoginsReturnTheirCodes) {
  struct Case {
    const char* mode;
    int code;
  };
  const Case cases[] = {{"refuse-uid", TNL_ER_UID_INVALID}, {"blocked", OVC_ER_DEVICE_BLOCKED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(servers.Mode(c.mode));
    ASSERT_EQ(P2PTunnelServerInitialize(4), 0);
    EXPECT_EQ(P2PTunnelServer_Start(kDevUid), c.code);
    uint16_t port = tnl_server_probe_port();
    EXPECT_NE(port, 0);
    int fd = connect_loopback(port);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(P2PTunnelServerDeInitialize(), 0);
  }
}

TEST_F(TnlServerHere, TokenTableAnswersEachRegisteredValueOnce) {
  ASSERT_EQ(P2PTunnelServerInitialize(4), 0);
  ASSERT_EQ(P2PTunnelServer_Start(kDevUid), 0);
  uint16_t port = tnl_server_probe_port();
  ASSERT_NE(port, 0);
  // 64 entries; the 65th request gets its reply without an entry.
  for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(tnl_server_lan_request(1000 + i, 0), port) << i;
  EXPECT_EQ(tnl_server_lan_request(5000, 0), -1);
  EXPECT_EQ(probe(port, tnl::lan_step(tnl::lan_step(5000))), -1) << "the unregistered token";

  struct Case {
    uint32_t value;
    int64_t answer;  // -1: closed without an answer
  };
  const Case cases[] = {
      {1000 - 20, 1000 - 30},   // f(f(1000)) = 980 -> f(980) = 970
      {1000 - 20, -1},          // each entry answers once
      {12345, -1},              // nobody expects it
      {1063 - 20, 1063 - 30},   // the last entry
  };
  for (const Case& c : cases) EXPECT_EQ(probe(port, c.value), c.answer) << c.value;
  // An answered entry is free again for the next request.
  EXPECT_EQ(tnl_server_lan_request(90, 1), port);
  EXPECT_EQ(probe(port, 91), 91) << "f(f(90)) = 91, f(91) = 91";
  // A connection that leaves before its value is complete costs nothing.
  for (int i = 0; i < 300; ++i) {
    int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    send(fd, "x", 1, MSG_NOSIGNAL);
    close(fd);
  }
  EXPECT_EQ(tnl_server_lan_request(2000, 1), port);
  EXPECT_EQ(probe(port, 1980), 1970);
}

// An agent that goes on after its rejection, or that opens a channel before it asked to be
// let in, gets nothing: the device ends the session instead of serving the opens.
TEST_F(TnlServer, UnauthenticatedAgentCannotOpenChannels) {
  Start("reject=-5", false);
  for (bool authFirst : {true, false}) {
    SCOPED_TRACE(authFirst ? "after a rejection" : "open as the first message");
    int sid = -1;
    for (int i = 0; i < 3 && sid < 0; ++i) sid = OVC_Connect_ByUID(kDevUid);
    ASSERT_GE(sid, 0);
    int rct = RCT_Create(sid, 10000, 0);
    ASSERT_GE(rct, 0);
    tnl::RctStream stream(rct);
    if (authFirst) {
      std::vector<uint8_t> a = auth_block();
      int result = 0;
      ASSERT_EQ(tnl::AgentAuthenticate(stream, a.data(), 128, &result, 10000), TNL_ER_AUTH_REJECTED);
      EXPECT_EQ(result, -5);
    }
    // The open names a listener of this process.
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(lfd, (sockaddr*)&sa, sizeof sa), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    getsockname(lfd, (sockaddr*)&sa, &len);
    uint8_t body[16];
    tnl::put_open_body(body, INADDR_LOOPBACK, ntohs(sa.sin_port));
    std::vector<uint8_t> open = tnl::make_msg(1, 1, body, sizeof body);
    stream.Write(open.data(), open.size());
    // Nothing comes back; the stream ends from the device's side.
    uint8_t b[16];
    int r = 0;
    auto until = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < until && (r = stream.Read(b, sizeof b, 200)) == 0) {
    }
    EXPECT_LT(r, 0) << "the device kept the session";
    pollfd pf{lfd, POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, 500), 0) << "the device connected for an agent it did not let in";
    close(lfd);
    RCT_Abort(rct);
    OVC_Session_Close(sid);
  }
}

// An agent that stops its connect while the device's application still decides leaves the
// device serving: the next agent is let in.
TEST_F(TnlServer, ConnectStoppedDuringTheVerdictLeavesTheDeviceServing) {
  Start("hold=3000");
  for (bool parallel : {true, false}) {
    SCOPED_TRACE(parallel ? "parallel" : "plain");
    size_t from = device().Lines().size();
    int sid = P2PTunnelAgent_GetFreeSession();
    ASSERT_GE(sid, 0);
    std::vector<uint8_t> a = auth_block();
    std::atomic<int> rc{1};
    std::thread t([&] {
      rc = parallel ? P2PTunnelAgent_Connect_Parallel(kDevUid, sid, a.data(), 128, nullptr)
                    : P2PTunnelAgent_Connect(kDevUid, a.data(), 128, nullptr);
    });
    EXPECT_NE(device().WaitFor("AUTH", 15000, from), "");
    auto t0 = Clock::now();
    EXPECT_EQ(parallel ? P2PTunnelAgent_Connect_Stop_Parallel(kDevUid, sid) : P2PTunnelAgent_Connect_Stop(kDevUid), 0);
    t.join();
    EXPECT_EQ(rc.load(), TNL_ER_CONNECT_STOPPED);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(2000)) << "the stop waited for the verdict";
  }
  size_t from = device().Lines().size();
  int result = -1;
  int next = Connect(&result);
  EXPECT_GE(next, 0);
  EXPECT_NE(device().WaitFor("AUTH", 15000, from), "");
  if (next >= 0) EXPECT_EQ(P2PTunnelAgent_Disconnect(next), 0);
}

// With the marker file in the device's working folder, lost sessions are not reported.
TEST_F(TnlServer, NoTimeoutMarkerSilencesLossReports) {
  FILE* f = fopen("notimeout", "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  Start("accept=0");
  int result = -1;
  int sid = Connect(&result);
  ASSERT_GE(sid, 0);
  ASSERT_NE(device().WaitFor("AUTH", 5000), "");
  EXPECT_EQ(P2PTunnelAgent_Disconnect(sid), 0);
  // A report comes within about a second without the marker (the case above).
  EXPECT_EQ(device().WaitFor("STATUS", 4000), "");
  remove("notimeout");
}

// Connections that take every place and never send their value are let go, so the probe of
// a real agent is answered afterwards.
TEST_F(TnlServerHere, IdleProbeConnectionsDoNotShutTheDirectPath) {
  tnl_server_set_probe_idle_ms(300);
  ASSERT_EQ(P2PTunnelServerInitialize(4), 0);
  ASSERT_EQ(P2PTunnelServer_Start(kDevUid), 0);
  uint16_t port = tnl_server_probe_port();
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) {
    int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  // Every idle connection sees its end.
  for (int fd : idle) {
    pollfd pf{fd, POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, 20000), 1);
    char b;
    EXPECT_LE(recv(fd, &b, 1, 0), 0);
    close(fd);
  }
  EXPECT_EQ(tnl_server_lan_request(3000, 0), port);
  EXPECT_EQ(probe(port, 2980), 2970);
  tnl_server_set_probe_idle_ms(0);
}
