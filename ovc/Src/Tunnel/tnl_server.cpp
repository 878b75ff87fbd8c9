// The device side of the tunnel: logs in as a device, takes the sessions agents open, checks
// each agent's authentication request (asking the application when it has a say) and then
// serves the session: every open message connects a TCP socket to the address it names. A
// small TCP listener answers the direct-LAN probe of agents on the same LAN.
#include "Tunnel/tnl_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Tunnel/tnl_agent_internal.h"
#include "Tunnel/tnl_auth.h"
#include "Tunnel/tnl_rct_stream.h"
#include "Tunnel/tnl_session.h"
#include "Tunnel/tnl_status.h"
#include "Tunnel/tnl_wire.h"
#include "ovc_api.h"
#include "p2ptunnel_api.h"
#include "rct_api.h"

namespace {

constexpr int kTokens = 64;
constexpr int kProbePlaces = 256;
constexpr uint32_t kInternalGuard = 0x5A3C91E7u;
constexpr int kListenStepMs = 200;  // OVC_Listen in short steps: a stop is never missed

struct ServerSession {
  std::thread handler;  // tnl_sessionhdlr
  std::atomic<bool> inUse{false};
  std::atomic<bool> running{false};   // the handler serves while it is set
  std::atomic<bool> reported{false};  // the loss went to the status callback
  // Under gMu: what Disconnect and the end of the library shut down.
  std::shared_ptr<tnl::RctStream> stream;
  std::shared_ptr<tnl::TunnelSession> session;
};

struct Token {
  bool used = false;
  uint32_t expect = 0;
  int sid = -1;
};

std::mutex gLifeMu;  // start and end of the library and of the server
std::mutex gMu;      // session pointers, tokens, authentication callback
std::atomic<bool> gInit{false}, gDeinit{false}, gRunning{false}, gStarted{false};
int gN = 0;
ServerSession* gSessions = nullptr;
Token gTokens[kTokens];
int gProbeFd = -1;
std::atomic<uint16_t> gProbePort{0};
uint32_t gProbeAddr = INADDR_ANY;
std::thread gListenThread, gAcceptThread;
P2PTunnelAuthFn gAuthCb = nullptr;
void* gAuthUser = nullptr;
int (*gOvcStart)(void) = nullptr;
std::atomic<int> gAuthTimeoutMs{90000}, gLingerMs{1000};
std::atomic<int> gProbeIdleMs{5000};  // a probe connection must send its value within this

void nap(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Sleeps up to ms, in short steps, while keep stays set.
void nap_while(int ms, const std::atomic<bool>& keep) {
  for (int t = 0; t < ms && keep.load(); t += 10) nap(10);
}

void mark_lost(int sid) {
  if (gSessions && sid >= 0 && sid < gN) gSessions[sid].reported.store(true);
}

uint16_t lan_probe(uint32_t expect, void* user) {
  int sid = (int)(intptr_t)user;
  std::lock_guard<std::mutex> g(gMu);
  for (Token& t : gTokens) {
    if (!t.used) {
      t.used = true;
      t.expect = expect;
      t.sid = sid;
      break;
    }
  }
  return gProbePort.load();
}

bool serving(const ServerSession& r, const tnl::TunnelSession& s) {
  return s.InUse() && r.running.load() && !r.reported.load() && !gDeinit.load();
}

// tnl_sessionhdlr: one per accepted session.
void session_handler(int sid) {
  ServerSession& r = gSessions[sid];
  int rct = RCT_Create(sid, 30000, 0);
  if (rct < 0) {
    OVC_Session_Close(sid);
    r.inUse.store(false);
    r.running.store(false);
    return;
  }
  OVC_Session_Check_ByCallBackFn(sid, Tunnel_SessionStatusCB);
  auto stream = std::make_shared<tnl::RctStream>(rct);
  {
    std::lock_guard<std::mutex> g(gMu);
    r.stream = stream;
  }
  P2PTunnelAuthInfo who{};
  OVC_SessionInfoShort info{};
  int auth = -1;
  if (r.running.load() && OVC_Session_Check(sid, &info) >= 0) {
    who.sessionId = sid;
    who.mode = info.mode;
    who.remoteNatType = info.remoteNatType;
    snprintf(who.remoteAddr, sizeof who.remoteAddr, "%.15s", info.remoteIp);
    who.remotePort = info.remotePort;
    P2PTunnelAuthFn cb;
    void* user;
    {
      std::lock_guard<std::mutex> g(gMu);
      cb = gAuthCb;
      user = gAuthUser;
    }
    auth = tnl::ServerAuthenticate(*stream, cb, user, who, gAuthTimeoutMs.load());
  }
  std::shared_ptr<tnl::TunnelSession> session;
  if (auth == 0) {
    tnl::SessionConfig cfg;
    cfg.role = tnl::Role::kServer;
    cfg.lanProbe = lan_probe;
    cfg.lanUser = (void*)(intptr_t)sid;
    session = std::make_shared<tnl::TunnelSession>(stream.get(), cfg);
    if (session->Start()) {
      std::lock_guard<std::mutex> g(gMu);
      r.session = session;
    } else {
      session.reset();
    }
  }
  if (session) {
    while (serving(r, *session)) nap(20);
    session->Stop();
    std::lock_guard<std::mutex> g(gMu);
    r.session.reset();
  }
  {
    std::lock_guard<std::mutex> g(gMu);
    r.stream.reset();
  }
  r.inUse.store(false);
  r.running.store(false);
  // A rejected agent still gets its verdict: the orderly end delivers it first. Everything
  // else ends at once.
  if (auth == 1) RCT_Destroy(rct);
  else RCT_Abort(rct);
  stream->Shutdown();
  nap_while(gLingerMs.load(), gInit);
  OVC_Session_Close(sid);
}

// tnl_ovc_listen: hands every new device session to a handler of its own.
void listen_loop() {
  while (gRunning.load()) {
    int sid = OVC_Listen(kListenStepMs);
    if (sid == OVC_ER_NO_FREE_SESSION) {
      nap_while(2000, gRunning);
      continue;
    }
    if (sid < 0) {
      if (sid != OVC_ER_TIMEOUT && sid != OVC_ER_LISTEN_EXIT) nap_while(50, gRunning);
      continue;
    }
    if (sid >= gN || !gRunning.load()) {
      OVC_Session_Close(sid);
      continue;
    }
    ServerSession& r = gSessions[sid];
    // The sid was free in OVC, so its previous handler is at most in its last pause.
    if (r.handler.joinable()) r.handler.join();
    r.reported.store(false);
    r.running.store(true);
    r.inUse.store(true);
    try {
      r.handler = std::thread(session_handler, sid);
    } catch (...) {
      r.inUse.store(false);
      r.running.store(false);
      OVC_Session_Close(sid);
    }
  }
}

// tnl_dev_accept: answers the direct-LAN probe. A connection sends the 4-byte value its
// session's reply promised; the right value gets f(value) back once, anything else a close.
void accept_loop(int lfd) {
  struct Place {
    int fd = -1;
    uint8_t got[4];
    int n = 0;
    std::chrono::steady_clock::time_point since;
  };
  std::vector<Place> places(kProbePlaces);
  std::vector<pollfd> pfds;
  std::vector<int> who;
  auto drop = [](Place& p) {
    close(p.fd);
    p.fd = -1;
    p.n = 0;
  };
  while (gRunning.load()) {
    pfds.assign(1, pollfd{lfd, POLLIN, 0});
    who.assign(1, -1);
    for (int i = 0; i < kProbePlaces; ++i) {
      if (places[i].fd < 0) continue;
      pfds.push_back(pollfd{places[i].fd, POLLIN, 0});
      who.push_back(i);
    }
    int k = poll(pfds.data(), pfds.size(), 10);
    if (k < 0) {
      if (errno != EINTR) nap(100);
      continue;
    }
    // Connections that never send their value would hold every place and shut the direct
    // path for the agents that follow: they are let go after a while.
    const auto now = std::chrono::steady_clock::now();
    const auto idle = std::chrono::milliseconds(gProbeIdleMs.load());
    for (size_t i = 1; i < pfds.size(); ++i) {
      Place& p = places[(size_t)who[i]];
      if (now - p.since > idle) {
        drop(p);
        pfds[i].revents = 0;
      }
    }
    if (k == 0) continue;
    if (pfds[0].revents & POLLIN) {
      int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        Place* free = nullptr;
        for (Place& p : places)
          if (p.fd < 0) {
            free = &p;
            break;
          }
        // With every place taken the connection is closed, not left waiting unserved.
        if (free) {
          free->fd = fd;
          free->since = std::chrono::steady_clock::now();
        } else {
          close(fd);
        }
      }
    }
    for (size_t i = 1; i < pfds.size(); ++i) {
      if (!pfds[i].revents) continue;
      Place& p = places[(size_t)who[i]];
      ssize_t n = recv(p.fd, p.got + p.n, (size_t)(4 - p.n), MSG_DONTWAIT);
      if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) drop(p);
        continue;
      }
      if (n == 0) {  // the agent went away before its value was complete
        drop(p);
        continue;
      }
      p.n += (int)n;
      if (p.n < 4) continue;  // a partial value is completed, never taken as one
      uint32_t v;
      memcpy(&v, p.got, 4);
      bool known = false;
      {
        std::lock_guard<std::mutex> g(gMu);
        for (Token& t : gTokens) {
          if (t.used && t.expect == v) {
            t.used = false;
            known = true;
            break;
          }
        }
      }
      if (known) {
        uint32_t answer = tnl::lan_step(v);
        (void)!send(p.fd, &answer, 4, MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      drop(p);
    }
  }
  for (Place& p : places)
    if (p.fd >= 0) close(p.fd);
}

// Ends the server's own threads; sessions keep running. Called with gLifeMu held.
void stop_locked() {
  gRunning.store(false);
  OVC_Listen_Exit();
  if (gListenThread.joinable()) gListenThread.join();
  if (gAcceptThread.joinable()) gAcceptThread.join();
  if (gProbeFd >= 0) close(gProbeFd);
  gProbeFd = -1;
  gProbePort.store(0);
  gStarted.store(false);
}

}  // namespace

void tnl_server_set_ovc_start(int (*start)(void)) { gOvcStart = start; }

void tnl_server_set_timing(int authTimeoutMs, int lingerMs) {
  gAuthTimeoutMs.store(authTimeoutMs > 0 ? authTimeoutMs : 90000);
  gLingerMs.store(lingerMs > 0 ? lingerMs : 1000);
}

void tnl_server_set_probe_address(uint32_t addrNet) { gProbeAddr = addrNet; }

void tnl_server_set_probe_idle_ms(int ms) { gProbeIdleMs.store(ms > 0 ? ms : 5000); }

uint16_t tnl_server_probe_port() { return gProbePort.load(); }

int tnl_server_lan_request(uint32_t token, int sid) {
  {
    std::lock_guard<std::mutex> g(gMu);
    bool room = false;
    for (const Token& t : gTokens) room = room || !t.used;
    if (!room) return -1;
  }
  return lan_probe(tnl::lan_step(tnl::lan_step(token)), (void*)(intptr_t)sid);
}

bool tnl_server_initialized() { return gInit.load(); }

// The session of a server sid under gMu, or null.
static tnl::TunnelSession* server_session_locked(int sid) {
  if (!gInit.load() || sid < 0 || sid >= gN) return nullptr;
  tnl::TunnelSession* s = gSessions[sid].session.get();
  return s && s->InUse() ? s : nullptr;
}

int tnl_server_set_buf_size(int sid, int size) {
  if (!gInit.load() || sid < 0 || sid >= gN || size <= 0) return TNL_ER_INVALID_ARG;
  std::lock_guard<std::mutex> g(gMu);
  tnl::TunnelSession* s = server_session_locked(sid);
  return s ? s->SetBufSize(size) : TNL_ER_SESSION_NOT_IN_USE;
}

int tnl_server_last_io_time(int sid) {
  if (!gInit.load() || sid < 0 || sid >= gN) return TNL_ER_INVALID_ARG;
  std::lock_guard<std::mutex> g(gMu);
  tnl::TunnelSession* s = server_session_locked(sid);
  return s ? (int)s->LastIOTime() : TNL_ER_SESSION_NOT_IN_USE;
}

extern "C" {

int P2PTunnelServerInitialize(int maxSessions) {
  std::lock_guard<std::mutex> life(gLifeMu);
  if (gInit.load() || tnl_agent_initialized()) return TNL_ER_ALREADY_INITIALIZED;
  if (maxSessions <= 0) return TNL_ER_INVALID_ARG;
  OVC_Set_Max_Session_Number(maxSessions);
  int r = gOvcStart ? gOvcStart() : OVC_Initialize2(0);
  if (r < 0) return r;
  r = RCT_Initialize();
  if (r < 0) {
    OVC_DeInitialize();
    return r;
  }
  tnl::CheckNoTimeoutFile();
  gN = maxSessions;
  gSessions = new ServerSession[(size_t)maxSessions];
  {
    std::lock_guard<std::mutex> g(gMu);
    for (Token& t : gTokens) t = Token{};
  }
  tnl::SetLossMark(mark_lost);
  gInit.store(true);
  return 0;
}

int P2PTunnelServerDeInitialize(void) {
  std::lock_guard<std::mutex> life(gLifeMu);
  if (!gInit.load() || gDeinit.exchange(true)) return TNL_ER_NOT_INITIALIZED;
  if (gStarted.load()) stop_locked();
  tnl::EndStatusReports();
  tnl::SetLossMark(nullptr);
  for (int sid = 0; sid < gN; ++sid) {
    ServerSession& r = gSessions[sid];
    r.running.store(false);
    {
      std::lock_guard<std::mutex> g(gMu);
      if (r.stream) r.stream->Shutdown();  // wakes a wait for the authentication request
    }
    if (r.inUse.load()) RCT_Create_Exit(sid, 0);
  }
  gInit.store(false);  // cuts the handlers' last pause short
  for (int sid = 0; sid < gN; ++sid)
    if (gSessions[sid].handler.joinable()) gSessions[sid].handler.join();
  delete[] gSessions;
  gSessions = nullptr;
  gN = 0;
  RCT_DeInitialize();
  OVC_DeInitialize();
  gDeinit.store(false);
  return 0;
}

int P2PTunnelServer_Start(const char* uid) {
  if (!gInit.load() || gDeinit.load()) return TNL_ER_NOT_INITIALIZED;
  {
    std::lock_guard<std::mutex> life(gLifeMu);
    if (!gInit.load()) return TNL_ER_NOT_INITIALIZED;
    if (!gStarted.load()) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) return TNL_ER_SOCKET;
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = gProbeAddr;
      socklen_t len = sizeof sa;
      if (bind(fd, (sockaddr*)&sa, sizeof sa) != 0 || getsockname(fd, (sockaddr*)&sa, &len) != 0 ||
          listen(fd, 64) != 0) {
        close(fd);
        return TNL_ER_BIND;
      }
      gProbeFd = fd;
      gProbePort.store(ntohs(sa.sin_port));
      gRunning.store(true);
      try {
        gListenThread = std::thread(listen_loop);
        gAcceptThread = std::thread(accept_loop, fd);
      } catch (...) {
        stop_locked();
        return TNL_ER_THREAD;
      }
      gStarted.store(true);
    }
  }
  int r = OVC_Device_Login(uid, nullptr, nullptr);
  bool lite = r >= 0 && OVC_IsLiteMode(kInternalGuard) != 0;
  if (lite) P2PTunnelServer_Stop();
  if (r == OVC_ER_NO_PERMISSION || lite) return TNL_ER_NO_PERMISSION;
  if (r == OVC_ER_INVALID_UID) return TNL_ER_UID_INVALID;
  return r < 0 ? r : 0;
}

int P2PTunnelServer_Stop(void) {
  std::lock_guard<std::mutex> life(gLifeMu);
  if (gStarted.load()) stop_locked();
  gRunning.store(false);
  return 0;
}

int P2PTunnelServer_Disconnect(int sid) {
  if (!gRunning.load() || !gInit.load()) return TNL_ER_SERVER_NOT_RUNNING;
  if (sid < 0 || sid >= gN) return TNL_ER_INVALID_ARG;
  ServerSession& r = gSessions[sid];
  if (!r.inUse.load()) return TNL_ER_SESSION_NOT_IN_USE;
  r.running.store(false);
  r.inUse.store(false);
  {
    std::lock_guard<std::mutex> g(gMu);
    if (r.stream) r.stream->Shutdown();
  }
  return OVC_Check_Session_Status(sid) < 0 ? TNL_ER_SESSION_NOT_IN_USE : 0;
}

int P2PTunnelServer_GetSessionInfo(P2PTunnelAuthFn cb, void* user) {
  std::lock_guard<std::mutex> g(gMu);
  gAuthCb = cb;
  gAuthUser = user;
  return 0;
}

void P2PTunnelServer_GetStatus(P2PTunnelStatusFn cb, void* user) { tnl::SetStatusCallback(cb, user); }

}  // extern "C"
