// The connect through the servers: the server tables the masters' answers fill, the NAT type
// learned from reflexive addresses, the query-phase tasks (device query, hello, pre-check), the
// punch and relay tasks, and the handling of the server answers, the punch information, the
// relay announcements and the knock exchange between the peers.
//
// Everything here runs either on the task thread (tasks, with gSessionLock held) or on the
// connection thread (answers); both take gSessionLock first and the server-table lock inside it.
#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "ovc_predict.h"
#include "ovc_state.h"

// Helpers of the dispatcher.
int ovc_move_pre_session(int pre);
void ovc_record_path(int sid, int type, TConnection* conn, const char* text, uint16_t port);
bool ovc_lan_path_allowed(const char* addressText);
bool ovc_recently_closed(const RandomID& k);
void ovc_hold_shared_conn(TConnection* c);
void RemoveTryPortOfSession(int sid);
int ovc_master_entry(int i, char* host, size_t size, uint16_t* portNet);
extern std::atomic<int32_t> P2PConnectTimeout;
extern std::atomic<uint8_t> AutoWakeUp;

// ---- Tables ---------------------------------------------------------------------------------

namespace {
struct ServerRec {
  ovc_netaddr_t addr;
  uint8_t wan[16];  // this host's public address as the server reported it; port 0: none yet
  int32_t portChanges;
  uint8_t version;
};
struct Group {
  int16_t key[3];
  std::vector<ServerRec> servers;  // empty: free group
};
struct UidGroup {
  char uid[20];
  int16_t key[3];
  bool used;
};
}  // namespace

static std::recursive_mutex gServerTableMu;
static Group gGroups[32];
static std::mutex gUidGroupMu;
static UidGroup gUidGroups[64];
static int gUidGroupNext = 0;

// Reflexive addresses, most recent first, with their flag words.
static uint8_t gReflexive[8][16];
static uint32_t gReflexiveFlags[8];
static uint16_t gLastReflexivePort = 0;
static uint32_t gSecondNat = 0;
std::atomic<uint8_t> gHelloAnswered{0};
std::atomic<uint8_t> gUdpReachable{0};

static bool same_addr(const ovc_netaddr_t& a, const ovc_netaddr_t& b) {
  return a.port == b.port && memcmp(a.addr, b.addr, 16) == 0;
}

// Every reader takes the port at byte 2 and the IPv4 address at byte 4.
static bool sockaddr16_to_netaddr(const uint8_t* b, ovc_netaddr_t* out) {
  memset(out, 0, sizeof *out);
  out->flag = 1;
  out->addr[10] = out->addr[11] = 0xFF;
  memcpy(&out->port, b + 2, 2);
  memcpy(out->addr + 12, b + 4, 4);
  static const uint8_t zero[4] = {};
  return out->port != 0 && memcmp(b + 4, zero, 4) != 0;
}

void ovc_servers_reset() {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  for (Group& gr : gGroups) gr = Group{};
  {
    std::lock_guard<std::mutex> u(gUidGroupMu);
    memset(gUidGroups, 0, sizeof gUidGroups);
    gUidGroupNext = 0;
  }
  memset(gReflexive, 0, sizeof gReflexive);
  memset(gReflexiveFlags, 0, sizeof gReflexiveFlags);
  gLastReflexivePort = 0;
  gSecondNat = 0;
  gHelloAnswered = 0;
  gUdpReachable = 0;
}

static void StoreUidGroup(const char* uid, const int16_t key[3]) {
  std::lock_guard<std::mutex> g(gUidGroupMu);
  for (UidGroup& r : gUidGroups)
    if (r.used && strncmp(r.uid, uid, 20) == 0) {
      memcpy(r.key, key, sizeof r.key);
      return;
    }
  UidGroup& r = gUidGroups[gUidGroupNext];
  gUidGroupNext = (gUidGroupNext + 1) % 64;
  memset(&r, 0, sizeof r);
  memcpy(r.uid, uid, strnlen(uid, 20));
  memcpy(r.key, key, sizeof r.key);
  r.used = true;
}

static void MergeGroupServers(const int16_t key[3], const uint8_t* list, int count) {
  if (count <= 0) return;
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  Group* target = nullptr;
  for (Group& gr : gGroups)
    if (!gr.servers.empty() && memcmp(gr.key, key, sizeof gr.key) == 0) target = &gr;
  if (!target)
    for (Group& gr : gGroups)
      if (gr.servers.empty()) {
        target = &gr;
        memcpy(gr.key, key, sizeof gr.key);
        break;
      }
  if (!target) return;
  for (int i = 0; i < count; ++i) {
    ServerRec r{};
    if (!sockaddr16_to_netaddr(list + 16 * i, &r.addr)) continue;
    bool dup = false;
    for (const ServerRec& e : target->servers) dup = dup || same_addr(e.addr, r.addr);
    if (!dup) target->servers.push_back(r);
  }
}

static int find_group_of_key(const int16_t key[3]) {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  for (int i = 0; i < 32; ++i)
    if (!gGroups[i].servers.empty() && memcmp(gGroups[i].key, key, sizeof gGroups[i].key) == 0) return i;
  return -1;
}

int FindGroupOfUid(const char* uid) {
  int16_t key[3];
  {
    std::lock_guard<std::mutex> g(gUidGroupMu);
    const UidGroup* r = nullptr;
    for (const UidGroup& e : gUidGroups)
      if (e.used && strncmp(e.uid, uid, 20) == 0) r = &e;
    if (!r) return -1;
    memcpy(key, r->key, sizeof key);
  }
  return find_group_of_key(key);
}

static void CopyGroupServersToSession(SessionInfo* s) {
  int gi = FindGroupOfUid(s->uid);
  if (gi < 0) return;
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  const Group& gr = gGroups[gi];
  for (size_t i = 0; i < gr.servers.size() && i < (size_t)OVC_SESSION_SERVERS; ++i) {
    bool known = false;
    for (const SessionServerEntry& e : s->servers) known = known || same_addr(e.udpAddr, gr.servers[i].addr);
    if (!known) s->servers[i].udpAddr = gr.servers[i].addr;
  }
}

bool ovc_group_server_at(int group, int index, ovc_netaddr_t* out) {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  if (group < 0 || group >= 32 || index < 0 || (size_t)index >= gGroups[group].servers.size()) return false;
  *out = gGroups[group].servers[(size_t)index].addr;
  return true;
}

int ovc_group_server_count(int group) {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  return group >= 0 && group < 32 ? (int)gGroups[group].servers.size() : 0;
}

// ---- NAT type -------------------------------------------------------------------------------

static void RecordReflexiveAddr(const uint8_t* r) {
  bool stop = false;
  for (int i = 0; i < 8 && !stop; ++i) {
    uint8_t* e = gReflexive[i];
    static const uint8_t zero[4] = {};
    if (memcmp(e + 4, zero, 4) == 0) break;
    if (memcmp(e + 4, r + 4, 4) != 0) continue;
    bool samePort = memcmp(e + 2, r + 2, 2) == 0;
    if (gNatType == 3 && !samePort) {
      gReflexiveFlags[i] |= 1;
      memcpy(e, r, 16);
    }
    if (gNatType == 3 || samePort) stop = true;
  }
  if (stop) return;
  memmove(gReflexive[1], gReflexive[0], 7 * 16);
  memcpy(gReflexive[0], r, 16);
}

static void UpdateNatTypeByReflexive(const uint8_t* r) {
  gUdpReachable = 1;
  uint16_t port;
  memcpy(&port, r + 2, 2);
  if (gLastReflexivePort != 0) {
    if (port == gLastReflexivePort && memcmp(r + 4, gReflexive[0] + 4, 4) == 0) {
      if (gNatType != 3 && !(gSecondNat == 1 && gNatType != 0)) gNatType = 2;
    } else {
      gNatType = 3;
    }
  }
  gLastReflexivePort = port;
  RecordReflexiveAddr(r);
}

// A renewed socket has new public addresses: what the servers reported is forgotten.
void ovc_clear_reflexive_table() {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  memset(gReflexive, 0, sizeof gReflexive);
  memset(gReflexiveFlags, 0, sizeof gReflexiveFlags);
  gLastReflexivePort = 0;
}

// The port (host order) of the group server at a, or -1 when a is no group server.
int ovc_group_server_port_of(const ovc_netaddr_t& a) {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  for (const Group& gr : gGroups)
    for (const ServerRec& r : gr.servers)
      if (same_addr(r.addr, a)) return ntohs(r.addr.port);
  return -1;
}

void ovc_reflexive_table(uint8_t out[8][16], uint32_t flags[8]) {
  memcpy(out, gReflexive, sizeof gReflexive);
  memcpy(flags, gReflexiveFlags, sizeof gReflexiveFlags);
}

// 0 same, 1 first report, 2 new port (counted), 3 new address; -1 unknown server.
static int CheckDeviceWANAddrLocked(const ovc_netaddr_t& server, const uint8_t* seen, int* outCount) {
  for (Group& gr : gGroups)
    for (ServerRec& r : gr.servers) {
      if (!same_addr(r.addr, server)) continue;
      uint16_t wport;
      memcpy(&wport, r.wan + 2, 2);
      if (wport == 0) {
        memcpy(r.wan, seen, 16);
        return 1;
      }
      if (memcmp(r.wan + 4, seen + 4, 4) == 0) {
        if (memcmp(r.wan + 2, seen + 2, 2) == 0) return 0;
        r.portChanges++;
        if (outCount) *outCount = r.portChanges;
        return 2;
      }
      memcpy(r.wan, seen, 16);
      return 3;
    }
  return -1;
}

static void UpdateServerProtoVer(const ovc_netaddr_t& server, uint8_t version) {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  for (Group& gr : gGroups)
    for (ServerRec& r : gr.servers)
      if (same_addr(r.addr, server)) {
        r.version = version;
        break;
      }
}

// Answers are taken only from the masters or from servers of a known group.
static bool is_known_server(const ovc_netaddr_t& a) {
  {
    std::lock_guard<std::recursive_mutex> g(gServerTableMu);
    for (const Group& gr : gGroups)
      for (const ServerRec& r : gr.servers)
        if (same_addr(r.addr, a)) return true;
  }
  for (int i = 0; i < 12; ++i) {
    char host[128];
    uint16_t p;
    ovc_netaddr_t m;
    if (ovc_master_entry(i, host, sizeof host, &p) && ovc_text_to_netaddr(host, p, &m) && same_addr(m, a)) return true;
  }
  return false;
}

// ---- Senders --------------------------------------------------------------------------------

static void send_to(TConnection* conn, uint8_t* d, int len, const char* text, uint16_t port) {
  if (conn && text) ovc_SendMessage(conn, d, len, text, port);
}

static void send_netaddr(TConnection* conn, uint8_t* d, int len, const ovc_netaddr_t& a) {
  char text[64];
  uint16_t port;
  if (a.port && ovc_netaddr_to_text(a, text, sizeof text, &port)) send_to(conn, d, len, text, port);
}

static void for_each_group_server(int group, void (*fn)(const ovc_netaddr_t&, uint8_t version, void*), void* user) {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  if (group < 0 || group >= 32) return;
  for (const ServerRec& r : gGroups[group].servers) fn(r.addr, r.version, user);
}

static void send_hello(const ovc_netaddr_t& a, uint8_t value) {
  static std::atomic<uint32_t> counter{0};
  uint8_t d[16 + 8] = {};
  ovc_build_head(d, 0x8003, 0x3F, 8);
  ovc_put_u32(d + 16, counter++);
  memcpy(d + 20, &gLocalRandomId, 2);
  d[22] = value;
  send_netaddr(gUdpConn, d, sizeof d, a);
}

static void hello_all_servers() {
  std::lock_guard<std::recursive_mutex> g(gServerTableMu);
  for (const Group& gr : gGroups)
    for (const ServerRec& r : gr.servers) send_hello(r.addr, 0);
}

void StartRttTimer(int sid) {
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return;  // a negative id or one past the table
  if (s->rttValid != 2) {
    s->rtt = orv_monotonic_ms();
    s->rttValid = 2;
  }
}

static void rtt_done(SessionInfo& s) {
  s.rtt = s.rttValid == 2 ? orv_monotonic_ms() - s.rtt : 0;
  s.rttValid = 1;
}

void SetPeerSrcAddr(int sid, const uint8_t* a16) {
  SessionInfo* s = ovc_session_at(sid);
  if (!s || s->peerSrcAddr.sin_port != 0) return;
  s->peerSrcAddr.sin_family = AF_INET;
  memcpy(&s->peerSrcAddr.sin_port, a16 + 2, 2);
  memcpy(&s->peerSrcAddr.sin_addr, a16 + 4, 4);
}

static int build_knock(uint8_t* d, uint16_t type, const char* uid, const RandomID* key, int form, bool device,
                       uint16_t seq) {
  int len = form >= 10 ? 28 : 24;
  memset(d, 0, 16 + (size_t)len);
  uint16_t route = 0x33;
  if (device && IsNoFreeSession()) route = 0x233;
  ovc_build_head(d, type, route, (uint16_t)len);
  d[6] = (uint8_t)seq;
  d[7] = (uint8_t)(seq >> 8);
  memcpy(d + 16, uid, strnlen(uid, 20));
  if (key) {
    ovc_put_u32(d + 36, key->idLow);
    if (form >= 10) ovc_put_u32(d + 40, key->idHigh);
  }
  return 16 + len;
}

static void send_priming(uint8_t* knock, const char* text, uint16_t port) {
  if (gsConnectOption[1]) return;
  uint8_t p[16 + 24];
  memcpy(p, knock, 16 + 24);
  p[8] = 0xFF;
  p[9] = 0xFF;
  p[4] = 24;
  p[5] = 0;
  uint8_t copy[sizeof p];
  for (int i = 0; i < 2; ++i) {
    memcpy(copy, p, sizeof p);
    send_to(gUdpConn, copy, sizeof copy, text, port);
  }
}

void SendKnock(const char* text, uint16_t port, const char* uid, const RandomID* key, int form, bool device) {
  uint8_t d[16 + 28];
  RandomID k{0, 0, 1};
  if (form < 10) {
    int sid = FindConnectingSessionByUID(uid);
    if (sid >= 0) k.idLow = gSessionInfo[sid].randomId.idLow;
    key = &k;
  }
  int len = build_knock(d, 0x0401, uid, key, form, device, 0);
  send_priming(d, text, port);
  send_to(gUdpConn, d, len, text, port);
}

void SendKnockAnswer(TConnection* conn, const char* text, uint16_t port, const char* uid, const RandomID* key, int form,
                     bool device) {
  uint8_t d[16 + 28];
  const RandomID* k = form < 10 && device ? nullptr : key;
  int len = build_knock(d, 0x0402, uid, k, form, device, 0);
  send_priming(d, text, port);
  send_to(conn, d, len, text, port);
}

static void SendKnockAck(TConnection* conn, int sid, const char* text, uint16_t port, const char* uid,
                         const RandomID* key, int form, bool device, uint16_t seq) {
  if (sid < 0) return;
  uint8_t d[16 + 28];
  int len = build_knock(d, 0x0404, uid, key, form, device, seq);
  send_to(conn, d, len, text, port);
}

void SendRelaySessionInfoRequest(TConnection* conn, const char* text, uint16_t port, SessionInfo* s,
                                 const RandomID* key, uint8_t value, int form) {
  (void)value;
  uint8_t d[16 + 44] = {};
  int len = form >= 10 ? 44 : 20;
  ovc_build_head(d, 0x0209, 0x24, (uint16_t)len);
  memcpy(d + 16, s->uid, strnlen(s->uid, 20));
  if (form >= 10 && key) {
    ovc_put_u32(d + 36, key->idLow);
    ovc_put_u32(d + 40, key->idHigh);
    ovc_put_u32(d + 48, OVC_VERSION_WORD);
    ovc_put_u32(d + 52, 20);
    ovc_put_u32(d + 56, gNatType);
  }
  send_to(conn, d, 16 + len, text, port);
}

// ---- Query-phase tasks ----------------------------------------------------------------------

static void send_device_query_all(const char* uid) {
  for (int i = 0; i < 12; ++i) {
    char host[128];
    uint16_t p;
    if (ovc_master_entry(i, host, sizeof host, &p)) _OVC_SendQuryDevice5(gUdpConn, host, 0, uid, 0, p);
  }
}

static void QueryDeviceInfoTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (final) {
    s->queryState = -1;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  if (s->queryState != 1) {
    SessionTaskDeleteNode(&s->taskList, task, true);
    return;
  }
  send_device_query_all(s->uid);
}

int AddUDPQueryDeviceInfoTask(SessionInfo* s) {
  OvcSessionLockGuard g;
  s->queryState = 1;
  s->serverGroup = -1;
  send_device_query_all(s->uid);
  orvan_task_t* t = orvan_TaskMng_Create(1000, 60000, 0, QueryDeviceInfoTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 1, t);
  return 0;
}

static void HelloServerTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (final) {
    if (s->tcpState <= 8 && s->queryState == 3) s->queryState = -2;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  hello_all_servers();
  if (gHelloAnswered) {
    if (s->queryState == 3) s->queryState = 4;
    SessionTaskDeleteNode(&s->taskList, task, true);
  }
}

int AddHelloServerTask(SessionInfo* s) {
  OvcSessionLockGuard g;
  s->queryState = 3;
  hello_all_servers();
  orvan_task_t* t = orvan_TaskMng_Create(1000, 60000, 0, HelloServerTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 1, t);
  return 0;
}

static void send_precheck_all(SessionInfo* s) {
  struct Ctx {
    SessionInfo* s;
  } ctx{s};
  for_each_group_server(
      s->serverGroup,
      [](const ovc_netaddr_t& a, uint8_t, void* u) {
        uint8_t d[16 + 24];
        int len = ovc_build_precheck(d, static_cast<Ctx*>(u)->s, false);
        send_netaddr(gUdpConn, d, len, a);
      },
      &ctx);
}

static void PreCheckTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (final) {
    if (s->queryState == 5) s->queryState = -3;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  if (s->queryState == 6 && s->precheckDoneMs == 0) s->precheckDoneMs = orv_monotonic_ms() | 1;
  if (s->precheckDoneMs == 0 || orv_ms_elapsed(orv_monotonic_ms(), s->precheckDoneMs) <= 2000) {
    send_precheck_all(s);
    return;
  }
  SessionTaskDeleteNode(&s->taskList, task, true);
}

int AddUDPPreCheckTask(SessionInfo* s) {
  OvcSessionLockGuard g;
  s->queryState = 5;
  send_precheck_all(s);
  orvan_task_t* t = orvan_TaskMng_Create(500, 60000, 0, PreCheckTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 1, t);
  return 0;
}

// ---- Punch and relay tasks ------------------------------------------------------------------

static void send_p2p_requests(SessionInfo* s) {
  for (const SessionServerEntry& e : s->servers) {
    if (e.udpAddr.port == 0 || (s->knockForm >= 10 && e.version < 10)) continue;
    char text[64];
    uint16_t port;
    if (ovc_netaddr_to_text(e.udpAddr, text, sizeof text, &port)) SendP2PRequest(e.version, text, port, s, &s->randomId, s->knockForm);
  }
}

static void P2PConnectTaskCB(orvan_task_t* task, uint32_t period, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (final) {
    if (s->p2pState == 1) s->p2pState = -1;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  if (s->p2pState == 3) {
    SessionTaskDeleteNode(&s->taskList, task, true);
    return;
  }
  if (!s->punchInfoSeen || s->p2pElapsed % 500 == 0) send_p2p_requests(s);
  s->p2pElapsed += (int32_t)period;
}

int AddUDPP2PConnectTask(SessionInfo* s, int defaultLifetime) {
  OvcSessionLockGuard g;
  int n = (int)s->remoteNatType + (int)gNatType;
  if (P2PConnectTimeout == 0 || (s->knockForm < 10 && (n == 5 || n == 6))) {
    s->p2pState = 2;
    return 0;
  }
  const SessionServerEntry& e0 = s->servers[0];
  char text[64];
  uint16_t port;
  if (e0.udpAddr.port && ovc_netaddr_to_text(e0.udpAddr, text, sizeof text, &port))
    SendP2PRequest(e0.version, text, port, s, &s->randomId, s->knockForm);
  s->p2pState = 1;
  s->p2pElapsed = 0;
  int32_t pt = P2PConnectTimeout;
  uint32_t life = n == 6 ? 400 : pt > 0 ? (uint32_t)pt : (uint32_t)defaultLifetime;
  orvan_task_t* t = orvan_TaskMng_Create(200, life, 0, P2PConnectTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 2, t);
  return 0;
}

static void SendRelayRequests(SessionInfo* s) {
  for (SessionServerEntry& e : s->servers) {
    if ((e.relayStep != 0 && e.relayStep != 1) || e.udpAddr.port == 0) continue;
    if (s->knockForm >= 10 && e.version < 10) continue;
    char text[64];
    uint16_t port;
    if (!ovc_netaddr_to_text(e.udpAddr, text, sizeof text, &port)) continue;
    if (AutoWakeUp && e.version >= 20) SendRelayRequest2(gUdpConn, text, port, s, &s->randomId, s->knockForm);
    else SendRelayRequest(gUdpConn, text, port, s, &s->randomId, s->knockForm);
    if (e.relayStep == 0) e.relayStep = 1;
  }
}

static void RelayConnectTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (final) {
    if (s->relayState < 3) s->relayState = -1;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  if (s->relayState == 3 || s->relayState >= 4) {
    SessionTaskDeleteNode(&s->taskList, task, true);
    return;
  }
  SendRelayRequests(s);
}

int AddUDPRelayConnectTask(SessionInfo* s) {
  OvcSessionLockGuard g;
  if (s->relayState != 0) return -1;
  s->relayState = 1;
  SendRelayRequests(s);
  orvan_task_t* t = orvan_TaskMng_Create(500, 60000, 0, RelayConnectTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 3, t);
  return 0;
}

static void SendRelayInfoRequests(SessionInfo* s) {
  for (SessionServerEntry& e : s->servers) {
    if (e.relayStep != 3 || !(e.version > 9 || e.relayInfoFlag)) continue;
    char text[64];
    uint16_t port;
    if (ovc_netaddr_to_text(e.udpAddr, text, sizeof text, &port))
      SendRelaySessionInfoRequest(gUdpConn, text, port, s, &s->randomId, e.relayInfoFlag, s->knockForm);
  }
}

static void RelayInfoTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (final) {
    if (s->relayState != 5) s->relayState = -1;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  if (s->relayState == 5 || s->state == 2) {
    SessionTaskDeleteNode(&s->taskList, task, true);
    return;
  }
  SendRelayInfoRequests(s);
}

int AddUDPRelaySessionInfoRequestTask(SessionInfo* s) {
  SendRelayInfoRequests(s);
  orvan_task_t* t = orvan_TaskMng_Create(500, 60000, 0, RelayInfoTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 3, t);
  return 0;
}

// ---- Answers --------------------------------------------------------------------------------

namespace {
struct Msg {
  OVC_Head h;
  const uint8_t* body;
  uint32_t blen;
  const char* text;
  uint16_t port;
  TConnection* conn;
  int overTcp;
  ovc_netaddr_t sender;
};
}  // namespace

static void copy_uid(char out[21], const uint8_t* body) {
  memcpy(out, body, 20);
  out[20] = 0;
}

static void query_state_step(SessionInfo* s) {
  if (s->queryState == 1) {
    int gi = FindGroupOfUid(s->uid);
    if (gi >= 0) {
      s->serverGroup = gi;
      CopyGroupServersToSession(s);
    }
    s->queryState = 2;
  }
  CopyGroupServersToSession(s);
}

static void on_refusal(const Msg& m) {
  if (m.blen < 20) return;
  char uid[21];
  copy_uid(uid, m.body);
  int sid = FindConnectingSessionByUID(uid);
  if (sid < 0) return;
  SessionInfo& s = gSessionInfo[sid];
  if (m.h.type == 0x0008) s.failUidRefused = 1;
  else if (m.h.type == 0x000A) s.failNoPermission = 1;
  else if (m.h.type == 0x0213 && m.blen >= 24 && (int32_t)ovc_get_u32(m.body + 20) == -6 && s.peerReached == 1)
    s.failDuplicateLogin = 1;
}

static void on_hello_answer(const Msg& m) {
  gHelloAnswered = 1;
  if (!m.overTcp && m.blen >= 16) {
    UpdateNatTypeByReflexive(m.body);
    std::lock_guard<std::recursive_mutex> g(gServerTableMu);
    CheckDeviceWANAddrLocked(m.sender, m.body, nullptr);
  }
  UpdateServerProtoVer(m.sender, m.h.tag);
  for (int i = 0; i < gSessionTableSize; ++i)
    if (gSessionInfo[i].queryState == 3) gSessionInfo[i].queryState = 4;
}

// The option records of the device-query answer, bounded by the datagram. Returns false when a
// record reaches past the end (the records before it still count).
bool ovc_parse_query_options(const uint8_t* body, uint32_t blen, int16_t key[3], bool* haveKey, const uint8_t** list,
                             int* listCount, const uint8_t** bitmap, int* bitmapLen) {
  *haveKey = false;
  *list = nullptr;
  *listCount = 0;
  *bitmap = nullptr;
  *bitmapLen = 0;
  if (blen < 56) return false;
  uint16_t n = (uint16_t)(body[54] | body[55] << 8);
  uint32_t pos = 56;
  for (uint16_t i = 0; i < n; ++i) {
    if (pos + 4 > blen) return false;
    uint8_t kind = body[pos];
    uint16_t len = (uint16_t)(body[pos + 2] | body[pos + 3] << 8);
    const uint8_t* v = body + pos + 4;
    if (pos + 4 + len > blen) return false;
    if (kind == 1 && len >= 5) {
      key[0] = (int8_t)v[0];
      key[1] = (int8_t)v[2];
      key[2] = (int8_t)v[4];
      *haveKey = true;
    } else if (kind == 2) {
      *list = v;
      *listCount = len / 16;
    } else if (kind == 3) {
      *bitmap = v;
      *bitmapLen = len;
    }
    pos += 4 + len;
  }
  return true;
}

static void on_query_answer(const Msg& m) {
  if (m.blen < 20) return;
  char uid[21];
  copy_uid(uid, m.body);
  int sid = FindConnectingSessionByUID(uid);
  SessionInfo* s = sid >= 0 ? &gSessionInfo[sid] : nullptr;
  int16_t key[3] = {};
  const uint8_t* list = nullptr;
  int count = 0;
  const uint8_t* refl = nullptr;
  if (m.h.type == 0x1008) {
    bool haveKey;
    const uint8_t* bitmap;
    int bitmapLen;
    ovc_parse_query_options(m.body, m.blen, key, &haveKey, &list, &count, &bitmap, &bitmapLen);
    if (m.blen >= 52) refl = m.body + 36;
  } else if (m.h.type == 0x1005) {
    if (m.blen < 60) return;
    if (gAdvanceMode && !(m.h.route & 0x0400)) {
      if (s) s->failAdvanceRefused = 1;
      return;
    }
    memcpy(key, m.body + 20, 6);
    count = m.body[26] | m.body[27] << 8;
    refl = m.body + 28;
    list = m.body + 60;
    if (60 + (uint32_t)count * 16 > m.blen) count = (int)((m.blen - 60) / 16);
  } else {  // 0x000C
    if (m.blen < 92) return;
    if (gAdvanceMode && !(m.h.route & 0x0400)) {
      if (s) s->failAdvanceRefused = 1;
      return;
    }
    memcpy(key, m.body + 68, 6);
    count = m.body[74] | m.body[75] << 8;
    refl = m.body + 76;
    list = m.body + 92;
    if (92 + (uint32_t)count * 16 > m.blen) count = (int)((m.blen - 92) / 16);
  }
  if (refl && !m.overTcp) UpdateNatTypeByReflexive(refl);
  if (!list || count <= 0) return;
  StoreUidGroup(uid, key);
  MergeGroupServers(key, list, count);
  if (!s) return;
  if (!m.overTcp || m.h.type == 0x1008) query_state_step(s);
  if (m.overTcp && s->tcpState == 4) s->tcpState = 5;
}

static SessionServerEntry* entry_of(SessionInfo& s, const ovc_netaddr_t& a, bool tcp) {
  for (SessionServerEntry& e : s.servers)
    if (same_addr(tcp ? e.tcpAddr : e.udpAddr, a) && (tcp ? e.tcpAddr.port : e.udpAddr.port)) return &e;
  return nullptr;
}

static void mark_answer(SessionInfo& s, const Msg& m, int32_t value) {
  for (SessionServerEntry& e : s.servers) {
    if (!((e.udpAddr.port && same_addr(e.udpAddr, m.sender)) || (e.tcpAddr.port && same_addr(e.tcpAddr, m.sender))))
      continue;
    e.answerKind = m.h.type == 0x0227 ? 237 : m.h.type == 0x0229 ? 192 : 255;
    e.answerValue = value;
    e.version = m.h.tag;
    if (s.firstAnswerMs == 0) s.firstAnswerMs = orv_monotonic_ms() | 1;
    return;
  }
}

static void record_answer(SessionInfo& s, const Msg& m) {
  SessionServerEntry* e = entry_of(s, m.sender, m.overTcp != 0);
  if (!e) return;
  e->version = m.h.tag;
  if (!m.overTcp && s.firstAnswerServer < 0) s.firstAnswerServer = (int32_t)(e - s.servers);
}

static void on_precheck_answer(const Msg& m) {
  if (m.blen < 20) return;
  char uid[21];
  copy_uid(uid, m.body);
  int sid = FindConnectingSessionByUID(uid);
  if (sid < 0) return;
  SessionInfo& s = gSessionInfo[sid];
  UpdateServerProtoVer(m.sender, m.h.tag);
  if (m.h.type == 0x0227 || m.h.type == 0x0229) {
    // The time is a whole u32 at 24: a body of 25 to 27 bytes has none.
    int32_t v = m.h.type == 0x0229 && m.blen >= 28 ? (int32_t)(ovc_get_u32(m.body + 24) * 1000) : -1;
    mark_answer(s, m, v);
    record_answer(s, m);
    return;
  }
  if (m.blen < 44) return;
  record_answer(s, m);
  uint32_t devVersion = ovc_get_u32(m.body + 40);
  if (s.connectStrategy == 0 && (s.queryState == 5 || s.tcpState == 9)) {
    if (m.h.tag < 10 || devVersion < 0x010E0000u) {
      s.knockForm = 0;
      s.connectStrategy = 2;
    } else {
      s.knockForm = 10;
      s.connectStrategy = 1;
    }
  }
  if (!m.overTcp && s.queryState == 5) s.queryState = 6;
  mark_answer(s, m, (int32_t)(ovc_get_u32(m.body + 20) * 1000));
  s.remoteNatType = m.body[36];
  s.remoteVersion = devVersion;
}

// The connected state shared by the knock answer and acknowledgement.
static void become_connected(int sid, const Msg& m, bool report) {
  SessionInfo& s = gSessionInfo[sid];
  rtt_done(s);
  s.state = 2;
  s.relayRandomId = 0;
  s.txCount[0] = s.rxCount[0] = 0;
  s.remoteProtocolVersion = m.h.tag;
  s.peSupported = (m.h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
  if (ovc_lan_path_allowed(m.text)) {
    s.connectMode = 2;
    s.lanState = 6;
    ovc_record_path(sid, 0, m.conn, m.text, m.port);
  } else {
    s.connectMode = 0;
    ovc_record_path(sid, 1, m.conn, m.text, m.port);
  }
  s.p2pState = 3;
  SessionTaskCleanNodesWithType(&s.taskList, 10);
  if (report) SendConnectResult(sid, 0, s.connectMode, nullptr, 0, false);
  if (m.conn != gUdpConn) ovc_hold_shared_conn(m.conn);
  RemoveTryPortOfSession(sid);
}

static void on_punch_info(const Msg& m) {
  if (m.blen < 36) return;
  char uid[21];
  copy_uid(uid, m.body);
  if (m.blen < 116) {
    int sid = FindConnectingSessionByUID(uid);
    bool device;
    if (sid < 0) {
      if (strncmp(uid, gLocalUid, 20) != 0 || !gLocalUid[0]) return;
      device = true;
    } else if (gSessionInfo[sid].isDevice == 1) {
      device = true;
    } else if (gSessionInfo[sid].isDevice != 0) {
      return;
    } else {
      device = false;
      SessionInfo& s = gSessionInfo[sid];
      StartRttTimer(sid);
      s.punchInfoSeen = 1;
      if (s.randomId.kind == 0) s.randomId = RandomID{s.randomId.idLow & 0xFFFF, 0, 1};
    }
    ovc_netaddr_t peer;
    char text[64];
    uint16_t port;
    if (sockaddr16_to_netaddr(m.body + 20, &peer) && ovc_netaddr_to_text(peer, text, sizeof text, &port))
      SendKnock(text, port, uid, nullptr, 0, device);
    if (device) ovc_port_guess_registration(m.text, m.port, m.sender);
    return;
  }
  RandomID key{ovc_get_u32(m.body + 100), ovc_get_u32(m.body + 104), 0};
  if (ovc_recently_closed(key)) return;
  ovc_netaddr_t list[8];
  int n = 0;
  if (sockaddr16_to_netaddr(m.body + 20, &list[0])) n = 1;
  if (m.blen >= 292)
    for (int i = 0; i < 8 && n < 8; ++i) {
      ovc_netaddr_t a;
      if (!sockaddr16_to_netaddr(m.body + 116 + 16 * i, &a)) break;
      bool dup = false;
      for (int j = 0; j < n; ++j) dup = dup || same_addr(list[j], a);
      if (!dup) list[n++] = a;
    }
  int sid = FindSessionByRandomID(&key, 1);
  bool device = false;
  if (sid >= 0) {
    SessionInfo& s = gSessionInfo[sid];
    if (s.p2pState == 3 && s.sendAddr.port) {
      char text[64];
      uint16_t port;
      if (ovc_netaddr_to_text(s.sendAddr, text, sizeof text, &port)) SendKnock(text, port, uid, &key, 10, s.isDevice == 1);
      return;
    }
  } else {
    sid = FindSessionByRandomID(&key, 0);
    if (sid >= 0) {
      SessionInfo& s = gSessionInfo[sid];
      if (s.p2pState == 2 || s.p2pState == -1) return;
      if (s.isDevice == 1) {
        s.remoteNatType = m.body[108];
        device = true;
      } else {
        StartRttTimer(sid);
        s.punchInfoSeen = 1;
      }
    } else {
      // Device side: a pre-session waits for the client's knock.
      if (strncmp(uid, gLocalUid, 20) != 0 || !gLocalUid[0]) return;
      int pre = FindPreSessionByRandomID(&key, 2);
      if (pre < 0) {
        pre = AllocPreSession();
        if (pre < 0) return;
        PreSessionInfo& p = gPreSessionInfo[pre];
        p.isDevice = 1;
        p.knockForm = 10;
        memcpy(p.uid, uid, 20);
        p.randomId = key;
        AddPreSessionTimeoutTask(&p);
      }
      gPreSessionInfo[pre].remoteNatType = m.body[108];
      device = true;
    }
  }
  ovc_punch_try_ports(key, list, n, device, device ? m.body[108] : ovc_get_u32(m.body + 112), uid);
  for (int i = 0; i < n; ++i) {
    char text[64];
    uint16_t port;
    if (ovc_netaddr_to_text(list[i], text, sizeof text, &port)) SendKnock(text, port, uid, &key, 10, device);
    if (i == 0 && LanConnectTimeout != 0)
      for (int j = 0; j < 4; ++j) {
        ovc_netaddr_t la;
        if (sockaddr16_to_netaddr(m.body + 36 + 16 * j, &la) && ovc_netaddr_to_text(la, text, sizeof text, &port))
          SendKnock(text, port, uid, &key, 10, device);
      }
  }
  if (device && !gsConnectOption[1]) ovc_port_guess_registration(m.text, m.port, m.sender);
}

static void on_knock(const Msg& m) {
  if (m.blen < 24) return;
  char uid[21];
  copy_uid(uid, m.body);
  const bool longForm = m.blen >= 28;
  RandomID key = longForm ? RandomID{ovc_get_u32(m.body + 20), ovc_get_u32(m.body + 24), 0}
                          : RandomID{ovc_get_u32(m.body + 20) & 0xFFFF, 0, 1};
  if (longForm && ovc_recently_closed(key)) return;
  const bool refusedRoute = m.h.tag > 6 && (m.h.route & 0x0200);
  const uint16_t t = m.h.type;
  int sid = FindSessionByRandomID(&key, 1);
  int connecting = sid < 0 ? FindSessionByRandomID(&key, 0) : -1;
  if (!longForm && sid < 0 && connecting < 0) connecting = FindConnectingSessionByUID(uid);
  if (t == 0x0401) {
    int rec = sid >= 0 ? sid : connecting;
    if (rec >= 0) {
      SessionInfo& s = gSessionInfo[rec];
      if (rec == connecting && s.isDevice == 0) {
        if (s.p2pState == 2 || s.p2pState == -1) return;
        if (refusedRoute) {
          s.failSessionLimit = 1;
          s.remoteProtocolVersion = m.h.tag;
          return;
        }
        if (s.p2pState != 3) StartRttTimer(rec);
      }
      SendKnockAnswer(m.conn, m.text, m.port, uid, &s.randomId, s.isDevice == 1 ? 10 : s.knockForm, s.isDevice == 1);
      return;
    }
    int pre = FindPreSessionByRandomID(&key, 2);
    if (pre < 0) return;
    SendKnockAnswer(m.conn, m.text, m.port, uid, &gPreSessionInfo[pre].randomId, 10, true);
    return;
  }
  // 0x0402 and 0x0404: this side becomes connected.
  bool report = true;
  bool device = false;
  if (sid >= 0) {
    SessionInfo& s = gSessionInfo[sid];
    if (s.p2pState == 3) {
      if (t == 0x0402)
        SendKnockAck(m.conn, sid, m.text, m.port, uid, &s.randomId, s.isDevice == 1 ? 10 : s.knockForm,
                     s.isDevice == 1, m.h.seq);
      return;
    }
    device = s.isDevice == 1;
  } else if (connecting >= 0) {
    sid = connecting;
    SessionInfo& s = gSessionInfo[sid];
    device = s.isDevice == 1;
    if (device) {
      report = false;
    } else {
      if (s.isDevice != 0 || s.p2pState == 2 || s.p2pState == -1) return;
      if (refusedRoute) {
        s.failDeviceRefused = 1;
        s.remoteProtocolVersion = m.h.tag;
        return;
      }
      s.peerReached = 2;
    }
  } else {
    int pre = FindPreSessionByRandomID(&key, 2);
    if (pre < 0) return;
    SessionTaskCleanNodesWithType(&gPreSessionInfo[pre].taskList, 10);
    sid = ovc_move_pre_session(pre);
    if (sid < 0) return;
    device = true;
    report = false;
  }
  SessionInfo& s = gSessionInfo[sid];
  memcpy(s.uid, uid, 20);
  s.uid[20] = 0;
  become_connected(sid, m, report);
  if (t == 0x0404) s.directTrafficSeen = 1;
  if (t == 0x0402)
    SendKnockAck(m.conn, sid, m.text, m.port, uid, &s.randomId, device ? 10 : s.knockForm, device, m.h.seq);
}

static void OnRelayAnswerUdp(SessionInfo& s, const ovc_netaddr_t& sender, int result) {
  SessionServerEntry* e = entry_of(s, sender, false);
  if (!e) return;
  if (e->relayStep == 1) {
    if (result == -7) {
      e->relayStep = 2;
      return;
    }
    if (result != 0) return;
    e->relayStep = 3;
    if (s.relayState != 1 && s.relayState != 2) return;
  } else if (e->relayStep == 2) {
    if (result != 0) return;
    e->relayStep = 3;
    if (s.relayState != 2) return;
  } else {
    return;
  }
  s.relayState = 3;
  bool any = false;
  for (const SessionServerEntry& x : s.servers) any = any || x.relayInfoFlag;
  if (!any) e->relayInfoFlag = 1;
  s.relayState = 4;
  AddUDPRelaySessionInfoRequestTask(&s);
}

static void on_relay_answer(const Msg& m) {
  if (m.blen < 24) return;
  char uid[21];
  copy_uid(uid, m.body);
  int32_t result = (int32_t)ovc_get_u32(m.body + 20);
  int sid;
  if (m.blen < 32 && m.h.type == 0x0206) {
    sid = FindConnectingSessionByUID(uid);
  } else {
    if (m.blen < 32) return;
    RandomID key{ovc_get_u32(m.body + 24), ovc_get_u32(m.body + 28), 0};
    if (ovc_recently_closed(key)) return;
    sid = FindSessionByRandomID(&key, 2);
    if (sid >= 0) {
      SessionInfo& s = gSessionInfo[sid];
      if (s.state == 3 || s.state == 4 || (s.state == 2 && s.connectStrategy == 2)) return;
    }
  }
  if (sid < 0) return;
  SessionInfo& s = gSessionInfo[sid];
  if (result == 0 || result == -7) {
    if (m.overTcp) return;  // the TCP relay is not built here
    if (result == 0 && s.peerReached == 1) rtt_done(s);
    if (result == -7 && s.relayState == 1) s.relayState = 2;
    if (s.relayState == 1 || s.relayState == 2) s.peSupported = (m.h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
    OnRelayAnswerUdp(s, m.sender, result);
  } else if (result == -6) {
    s.failDuplicateLogin = 1;
  } else if (result == -5) {
    s.failRelayRefused = 1;
  } else if (result == -1) {
    s.failSessionLimit = 1;
  }
}

static void on_relay_open(const Msg& m) {
  if (m.blen < 56 || m.overTcp) return;
  char uid[21];
  copy_uid(uid, m.body);
  uint16_t rid = (uint16_t)(m.body[20] | m.body[21] << 8);
  const bool longForm = m.blen >= 80;
  int sid = -1;
  bool client = false;
  if (!longForm) {
    for (int i = 0; i < gSessionTableSize; ++i)
      if (gSessionInfo[i].state != 0 && gSessionInfo[i].relayRandomId == rid && same_addr(gSessionInfo[i].relayAddr, m.sender))
        return;
    sid = FindConnectingSessionByUID(uid);
    if (sid < 0) return;
    SessionInfo& s = gSessionInfo[sid];
    if (s.isDevice == 1) {
      s.relayState = 5;
    } else if (s.isDevice == 0) {
      if (s.relayState != 4) return;
      s.relayState = 5;
      client = true;
    } else {
      return;
    }
    s.randomId = RandomID{0, 0, 1};
  } else {
    RandomID key{ovc_get_u32(m.body + 56), ovc_get_u32(m.body + 60), 0};
    if (ovc_recently_closed(key)) return;
    uint8_t d[16 + 28];
    sid = FindSessionByRandomID(&key, 1);
    if (sid >= 0) {
      SessionInfo& s = gSessionInfo[sid];
      if (s.isDevice == 0) {
        SessionServerEntry* e = entry_of(s, m.sender, false);
        if (e && e->relayStep == 3) e->relayStep = 5;
        memset(d, 0, sizeof d);
        ovc_build_head(d, 0x030C, 0x24, 28);
        d[12] = (uint8_t)rid;
        d[13] = (uint8_t)(rid >> 8);
        memcpy(d + 16, s.uid, 20);
        ovc_put_u32(d + 36, key.idLow);
        ovc_put_u32(d + 40, key.idHigh);
        send_to(m.conn, d, sizeof d, m.text, m.port);
      }
      return;
    }
    sid = FindSessionByRandomID(&key, 0);
    if (sid >= 0) {
      SessionInfo& s = gSessionInfo[sid];
      if (s.relayState == 5) return;
      if (s.isDevice == 1) {
        s.remoteVersion = ovc_get_u32(m.body + 64);
        SetPeerSrcAddr(sid, m.body + 24);
      } else {
        if (s.isDevice != 0 || s.connectStrategy == 2) return;
        if (s.relayState != 4) return;
        s.peerReached = 2;
        s.remoteVersion = ovc_get_u32(m.body + 68);
        s.remoteProtocolVersion = m.body[76];
        if (m.blen >= 88) s.remoteNatType = m.body[84];
        s.relayState = 5;
        SessionServerEntry* e = entry_of(s, m.sender, false);
        if (e && e->relayStep == 3) e->relayStep = 5;
        client = true;
      }
    } else {
      int pre = FindPreSessionByRandomID(&key, 2);
      if (pre < 0) return;
      if (m.blen >= 88) gPreSessionInfo[pre].remoteNatType = m.body[80];
      SessionTaskCleanNodesWithType(&gPreSessionInfo[pre].taskList, 10);
      sid = ovc_move_pre_session(pre);
      if (sid < 0) return;
      SessionInfo& s = gSessionInfo[sid];
      s.remoteVersion = ovc_get_u32(m.body + 64);
      s.remoteProtocolVersion = m.body[72];
      SetPeerSrcAddr(sid, m.body + 24);
      s.relayState = 5;
    }
  }
  SessionInfo& s = gSessionInfo[sid];
  rtt_done(s);
  s.state = 2;
  s.connectMode = 1;
  s.relayRandomId = rid;
  memcpy(s.uid, uid, 20);
  s.uid[20] = 0;
  s.txCount[0] = s.rxCount[0] = 0;
  s.reliableSupported = longForm || m.h.tag > 9;
  s.relayPeerTag = m.h.tag;
  s.peSupported = (m.h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
  SessionTaskCleanNodesWithType(&s.taskList, 10);
  ovc_record_path(sid, 2, m.conn, m.text, m.port);
  if (client) {
    SendConnectResult(sid, 0, 1, m.text, m.port, false);
    SetPeerSrcAddr(sid, m.body + 40);
    if (longForm) {
      uint8_t d[16 + 28] = {};
      ovc_build_head(d, 0x030C, 0x24, 28);
      d[12] = (uint8_t)rid;
      d[13] = (uint8_t)(rid >> 8);
      memcpy(d + 16, s.uid, 20);
      ovc_put_u32(d + 36, s.randomId.idLow);
      ovc_put_u32(d + 40, s.randomId.idHigh);
      send_to(m.conn, d, sizeof d, m.text, m.port);
    }
  } else {
    SetPeerSrcAddr(sid, m.body + 24);
  }
}

std::atomic<uint64_t> gServerAnswersDropped{0};
bool ovc_device_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn);
bool ovc_device_owns_tcp_conn(TConnection* c);

// Server answers and the set-up messages between the peers. Returns false for a type that is
// not one of them.
bool ovc_server_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn, int overTcp, const ovc_netaddr_t& sender) {
  Msg m{h, body, blen, text, port, conn, overTcp, sender};
  const uint16_t t = h.type;
  const bool peer = t == 0x0401 || t == 0x0402 || t == 0x0404;
  // A stream the device opened to a master or a server of its group is known by the connection.
  if (!peer && !is_known_server(sender) && !(overTcp && ovc_device_owns_tcp_conn(conn))) {
    gServerAnswersDropped++;
    return true;
  }
  if (ovc_device_packet(h, body, blen, text, port, conn)) return true;
  OvcSessionLockGuard g;
  if (!gSessionInfo) return true;
  switch (t) {
    case 0x0008: case 0x000A: case 0x0213: on_refusal(m); break;
    case 0x0A02: case 0x8004: on_hello_answer(m); break;
    case 0x0A03: case 0x8005:
      gHelloAnswered = 1;
      for (int i = 0; i < gSessionTableSize; ++i)
        if (gSessionInfo[i].queryState == 3) gSessionInfo[i].queryState = 4;
      break;
    case 0x000D: case 0x0108: case 0x1006: case 0x1009:
      if (!overTcp) {
        gUdpReachable = 1;
        gNatType = 1;
        gSecondNat = 1;
      }
      break;
    case 0x000C: case 0x1005: case 0x1008: on_query_answer(m); break;
    case 0x0212: case 0x0215: case 0x0227: case 0x0229: on_precheck_answer(m); break;
    case 0x0301: on_punch_info(m); break;
    case 0x0401: case 0x0402: case 0x0404: on_knock(m); break;
    case 0x0206: case 0x0208: on_relay_answer(m); break;
    case 0x0303: on_relay_open(m); break;
    default: return false;
  }
  return true;
}

// ---- Connect hooks --------------------------------------------------------------------------

// The query phase's next task, from the session's state (called by the pre-connect check).
void ovc_query_phase_step(SessionInfo* s) {
  if (s->queryState == 2) AddHelloServerTask(s);
  if (s->queryState == 4) AddUDPPreCheckTask(s);
}

uint64_t ovc_server_answers_dropped() { return gServerAnswersDropped; }
