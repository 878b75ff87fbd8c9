// The device's TCP leg, used when UDP to the masters goes unanswered: TCP connections to every
// master (one port per entry), the own-group query on them, one TCP connection to a server of the
// own group that then carries the registration, and a plain reachability test against the fixed
// fallback servers. Every message on these streams is a whole datagram, head first.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "ovc_device_internal.h"

extern orv_mutex_t gMasterTcpLock;
int ovc_master_entry(int i, char* host, size_t size, uint16_t* portNet);
bool ovc_group_server_at(int group, int index, ovc_netaddr_t* out);

std::atomic<uint16_t> TcpServerPort{0};
std::atomic<int32_t> gNbTcpStep{0};
std::atomic<int32_t> gFallbackState{0};

namespace {

constexpr uint16_t kMasterTcpPorts[5] = {21047, 8080, 80, 443, 8000};

std::atomic<int> masterTcpUp{0};
std::atomic<int> masterTcpPending{0};

// The chosen server connection and the attempts still open (guarded by gMasterTcpLock).
TConnection* gServerTcpConn = nullptr;
char gServerTcpText[64];
uint16_t gServerTcpPort = 0;
constexpr int kMaxAttempts = 32;
TConnection* gServerAttempts[kMaxAttempts];
int gServerAttemptCount = 0;
std::atomic<int> gServerPending{0};
std::atomic<int> gServerFailed{0};

// The fixed fallback servers: none unless configured, so a device never reaches out to
// addresses nobody chose.
char gFallbackHosts[4][64];
uint16_t gFallbackPort = 80;
TConnection* gFallbackConns[4];
std::atomic<int> gFallbackPending{0};
std::atomic<bool> gFallbackReached{false};

struct TcpLock {
  TcpLock() { orv_mutex_lock(&gMasterTcpLock, 1); }
  ~TcpLock() { orv_mutex_unlock(&gMasterTcpLock); }
};

void sleep_ms(uint32_t ms) {
  timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

void destroy(TConnection* c) {
  if (c && gOvcConnMgr) TConnManager_ops(gOvcConnMgr)->destroyConnection(gOvcConnMgr, c);
}

TConnection* new_tcp_client() {
  if (!gOvcConnMgr) return nullptr;
  TConnection* c = nullptr;
  if (TConnManager_ops(gOvcConnMgr)->createConnection(gOvcConnMgr, TCONN_TCP, TCONN_CLIENT, 0, &c) != 0) return nullptr;
  c->ops()->setRecvCallback(c, OVC_TCP_RecvCB, nullptr);
  return c;
}

void learn_local_addr(TConnection* c) {
  char text[64];
  uint16_t port = 0;
  if (c->ops()->getLocalAddress(c, text, sizeof text, &port) != 0) return;
  const char* v4 = strncmp(text, "::ffff:", 7) == 0 ? text + 7 : text;
  if (strchr(v4, ':')) return;
  in_addr a{};
  if (inet_pton(AF_INET, v4, &a) != 1) return;
  gsLocalNetworkInfo.valid = 1;
  if (gsLocalNetworkInfo.count == 0) gsLocalNetworkInfo.count = 1;
  gsLocalNetworkInfo.slots[0][1] = 2;
  memcpy(gsLocalNetworkInfo.slots[0] + 4, &a, 4);
}

// ---- Masters --------------------------------------------------------------------------------------

int master_index(SessionInfo* s, TConnection* c) {
  for (int i = 0; i < 12; ++i)
    if (s->masterTcpConn[i] == c) return i;
  return -1;
}

void master_ready(TConnection* c, void* user) {
  auto* s = static_cast<SessionInfo*>(user);
  {
    TcpLock g;
    int i = master_index(s, c);
    if (i < 0) return;
    s->masterTcpState[i] = 1;
    TcpServerPort = kMasterTcpPorts[i % 5];
  }
  masterTcpUp++;
  masterTcpPending--;
}

void master_failed(TConnection* c, int, void* user) {
  auto* s = static_cast<SessionInfo*>(user);
  TcpLock g;
  int i = master_index(s, c);
  if (i < 0) return;
  s->masterTcpState[i] = 2;
  masterTcpPending--;
}

// A master stream that ends later is only marked; the login thread closes it.
void master_error(TConnection* c, int, void* user) {
  auto* s = static_cast<SessionInfo*>(user);
  TcpLock g;
  int i = master_index(s, c);
  if (i >= 0) s->masterTcpState[i] = 0;
}

int ovc_start_master_tcp(SessionInfo* s) {
  masterTcpUp = 0;
  for (int i = 0; i < 12; ++i) {
    char host[128];
    uint16_t udpPort;
    if (!ovc_master_entry(i, host, sizeof host, &udpPort)) continue;
    TConnection* c = new_tcp_client();
    if (!c) return OVC_ER_RESOURCE;
    {
      TcpLock g;
      destroy(s->masterTcpConn[i]);
      s->masterTcpConn[i] = c;
      s->masterTcpState[i] = 0;
    }
    masterTcpPending++;
    c->ops()->setErrorCallback(c, master_error, s);
    uint16_t port = htons(kMasterTcpPorts[i % 5]);
    if (TConn_setup(c, host, &port, master_ready, s, master_failed, s) != 0) {
      TcpLock g;
      // The failure callback may have counted this attempt already.
      if (s->masterTcpState[i] != 2) masterTcpPending--;
      s->masterTcpState[i] = 2;
      continue;
    }
    int sixteen = OVC_HEAD_SIZE;
    c->ops()->setOption(c, 0, &sixteen);
  }
  return 0;
}

// ---- Servers of the own group ---------------------------------------------------------------------

void server_ready(TConnection* c, void*) {
  TcpLock g;
  gServerPending--;
  if (gServerTcpConn) return;  // a later one is closed when the attempts settle
  gServerTcpConn = c;
  sockaddr_storage peer = c->peerAddr;
  const void* a = nullptr;
  if (peer.ss_family == AF_INET) {
    auto* s4 = reinterpret_cast<sockaddr_in*>(&peer);
    a = &s4->sin_addr;
    gServerTcpPort = ntohs(s4->sin_port);
    inet_ntop(AF_INET, a, gServerTcpText, sizeof gServerTcpText);
  } else {
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&peer);
    gServerTcpPort = ntohs(s6->sin6_port);
    inet_ntop(AF_INET6, &s6->sin6_addr, gServerTcpText, sizeof gServerTcpText);
  }
}

void server_failed(TConnection*, int, void*) {
  gServerFailed++;
  gServerPending--;
}

void server_error(TConnection* c, int, void*) {
  TcpLock g;
  // The chosen stream ended: registrations go nowhere until a new one is chosen.
  if (gServerTcpConn == c) {
    for (int i = 0; i < gServerAttemptCount; ++i)
      if (gServerAttempts[i] == c) gServerAttempts[i] = nullptr;
    destroy(c);
    gServerTcpConn = nullptr;
  }
}

}  // namespace

int OVC_TcpConnectToMaster(SessionInfo* s) {
  masterTcpPending = 0;
  if (ovc_start_master_tcp(s) != 0) return -1;
  for (;;) {
    if (masterTcpUp > 0) {
      gTcpMode = true;
      gNatType = 10;
      return 1;
    }
    if (masterTcpPending <= 0) return -1;
    if (s->callerSid ? s->stopConnect : ConnectStopFlag.load()) {
      ovc_close_master_tcp(s);
      return -1;
    }
    sleep_ms(30);
  }
}

static void MasterTcpWatchCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  if (masterTcpUp > 0 || masterTcpPending <= 0 || final) {
    gNbTcpStep = masterTcpUp > 0 ? 2 : 3;
    SessionTaskDeleteNode(&s->taskList, task, !final);
  }
}

int OVC_TcpConnectToMasterNB(SessionInfo* s) {
  gNbTcpStep = 1;
  masterTcpPending = 0;
  int rc = ovc_start_master_tcp(s);
  if (rc != 0) return rc;
  orvan_task_t* t = orvan_TaskMng_Create(30, 30000, 0, MasterTcpWatchCB, s);
  if (!t) return OVC_ER_RESOURCE;
  SessionTaskAddNode(&s->taskList, 4, t);
  return 0;
}

void ovc_close_master_tcp(SessionInfo* s) {
  TcpLock g;
  for (int i = 0; i < 12; ++i) {
    destroy(s->masterTcpConn[i]);
    s->masterTcpConn[i] = nullptr;
    if (s->masterTcpState[i] != 1) s->masterTcpState[i] = 2;
  }
}

int ovc_send_own_query_tcp(SessionInfo* s) {
  int sent = 0;
  TcpLock g;
  for (int i = 0; i < 12; ++i) {
    if (!s->masterTcpConn[i] || s->masterTcpState[i] != 1) continue;
    char host[128];
    uint16_t p;
    if (!ovc_master_entry(i, host, sizeof host, &p)) continue;
    if (_OVC_SendQuryDevice5(s->masterTcpConn[i], host, 0, gLocalUid, 1, kMasterTcpPorts[i % 5]) > 0) ++sent;
  }
  return sent;
}

int ovc_device_tcp_servers_start() {
  int g = ovc_device_own_group();
  if (g < 0) return -1;
  uint16_t tcpPort = TcpServerPort ? TcpServerPort.load() : kMasterTcpPorts[0];
  TcpLock lk;
  if (gServerTcpConn) return 0;
  gServerFailed = 0;
  gServerPending = 0;
  int started = 0;
  ovc_netaddr_t a;
  for (int i = 0; ovc_group_server_at(g, i, &a) && gServerAttemptCount < kMaxAttempts; ++i) {
    char text[64];
    uint16_t udpPort;
    if (!ovc_netaddr_to_text(a, text, sizeof text, &udpPort)) continue;
    TConnection* c = new_tcp_client();
    if (!c) break;
    gServerAttempts[gServerAttemptCount++] = c;
    c->ops()->setErrorCallback(c, server_error, nullptr);
    gServerPending++;
    uint16_t port = htons(tcpPort);
    if (TConn_setup(c, text, &port, server_ready, nullptr, server_failed, nullptr) != 0) {
      gServerPending--;
      gServerFailed++;
      continue;
    }
    int sixteen = OVC_HEAD_SIZE;
    c->ops()->setOption(c, 0, &sixteen);
    ++started;
  }
  return started > 0 ? 0 : -1;
}

int ovc_device_tcp_servers_state() {
  TcpLock g;
  if (gServerTcpConn) return 1;
  return gServerPending <= 0 ? 2 : 0;
}

void ovc_device_tcp_servers_settle() {
  TcpLock g;
  for (int i = 0; i < gServerAttemptCount; ++i) {
    if (gServerAttempts[i] && gServerAttempts[i] != gServerTcpConn) destroy(gServerAttempts[i]);
    gServerAttempts[i] = nullptr;
  }
  gServerAttemptCount = 0;
  if (gServerTcpConn) gServerAttempts[gServerAttemptCount++] = gServerTcpConn;
}

int ovc_device_tcp_to_servers(int wait, int) {
  if (ovc_device_tcp_servers_start() != 0) return -1;
  if (!wait) return 0;
  uint32_t limit = ovc_device_scaled(90000);
  for (uint32_t t = 0; t < limit; t += 10) {
    int st = ovc_device_tcp_servers_state();
    if (st != 0) break;
    sleep_ms(10);
  }
  int st = ovc_device_tcp_servers_state();
  ovc_device_tcp_servers_settle();
  return st == 1 ? 1 : -1;
}

int ovc_send_on_server_tcp(uint8_t* d, int len) {
  TcpLock g;
  if (!gServerTcpConn) return 0;
  return ovc_SendMessage(gServerTcpConn, d, len, gServerTcpText, gServerTcpPort);
}

bool ovc_device_owns_tcp_conn(TConnection* c) {
  if (!c) return false;
  TcpLock g;
  if (c == gServerTcpConn) return true;
  for (int i = 0; i < gServerAttemptCount; ++i)
    if (gServerAttempts[i] == c) return true;
  return master_index(&gLoginSession, c) >= 0;
}

// ---- Fallback servers -----------------------------------------------------------------------------

void ovc_set_fallback_servers(const char* const hosts[4], uint16_t port) {
  for (int i = 0; i < 4; ++i) snprintf(gFallbackHosts[i], sizeof gFallbackHosts[i], "%s", hosts && hosts[i] ? hosts[i] : "");
  gFallbackPort = port ? port : 80;
}

static void fallback_ready(TConnection* c, void*) {
  gFallbackReached = true;
  int st = gFallbackState;
  gFallbackState = st <= 1 ? 1 : 3;
  gFallbackPending--;
  if (!gsLocalNetworkInfo.valid) learn_local_addr(c);
}

static void fallback_failed(TConnection*, int, void*) {
  int st = gFallbackState;
  if (st != 1) gFallbackState = st == 0 ? 2 : 3;
  gFallbackPending--;
}

static int start_fallback() {
  int started = 0;
  TcpLock g;
  for (int i = 0; i < 4; ++i) {
    destroy(gFallbackConns[i]);
    gFallbackConns[i] = nullptr;
    if (!gFallbackHosts[i][0]) continue;
    TConnection* c = new_tcp_client();
    if (!c) return OVC_ER_RESOURCE;
    gFallbackConns[i] = c;
    gFallbackPending++;
    uint16_t port = htons(gFallbackPort);
    if (TConn_setup(c, gFallbackHosts[i], &port, fallback_ready, nullptr, fallback_failed, nullptr) != 0) {
      gFallbackPending--;
      continue;
    }
    ++started;
  }
  return started;
}

static void close_fallback() {
  TcpLock g;
  for (TConnection*& c : gFallbackConns) {
    destroy(c);
    c = nullptr;
  }
}

int ovc_device_tcp_fallback() {
  gFallbackReached = false;
  gFallbackPending = 0;
  if (start_fallback() <= 0) {
    close_fallback();
    return -1;
  }
  int rc = -1;
  for (uint32_t t = 0; t < ovc_device_scaled(10000); t += 100) {
    if (gFallbackReached) {
      rc = 0;
      break;
    }
    if (gFallbackPending <= 0 || ConnectStopFlag) break;
    sleep_ms(100);
  }
  close_fallback();
  return rc;
}

static void FallbackCloseCB(orvan_task_t* task, uint32_t, uint16_t, void*, int final) {
  if (gFallbackState == 1 || gFallbackPending <= 0 || final) {
    close_fallback();
    if (!final) orvan_TaskMng_Delete(task);
  }
}

int ovc_device_tcp_fallback_nb() {
  gFallbackState = 0;
  gFallbackPending = 0;
  int n = start_fallback();
  if (n < 0) return n;
  if (n == 0) {
    // Nothing to try: the test has failed at once.
    gFallbackState = 3;
    return 0;
  }
  orvan_task_t* t = orvan_TaskMng_Create(100, 65000, 0, FallbackCloseCB, nullptr);
  return t ? 0 : OVC_ER_RESOURCE;
}

// Called at the module's end while the connection manager still runs: every stream goes.
void ovc_device_close_connections() {
  ovc_close_master_tcp(&gLoginSession);
  TcpLock g;
  for (int i = 0; i < gServerAttemptCount; ++i) destroy(gServerAttempts[i]);
  if (gServerTcpConn) {
    bool listed = false;
    for (int i = 0; i < gServerAttemptCount; ++i) listed = listed || gServerAttempts[i] == gServerTcpConn;
    if (!listed) destroy(gServerTcpConn);
  }
  gServerTcpConn = nullptr;
  gServerAttemptCount = 0;
  for (TConnection*& c : gFallbackConns) {
    destroy(c);
    c = nullptr;
  }
}

// Called at the module's start (before its locks exist): the connections went with the manager.
void ovc_device_tcp_reset() {
  gServerTcpConn = nullptr;
  gServerAttemptCount = 0;
  memset(gServerAttempts, 0, sizeof gServerAttempts);
  memset(gFallbackConns, 0, sizeof gFallbackConns);
  gTcpMode = false;
  TcpServerPort = 0;
  gNbTcpStep = 0;
  gFallbackState = 0;
  masterTcpUp = masterTcpPending = 0;
}
