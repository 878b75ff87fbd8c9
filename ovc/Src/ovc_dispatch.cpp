// The receive side of the OVC layer: the UDP and TCP receive callbacks, the dispatch over the
// message types, the session lookups, the pre-session table and the handling of session traffic
// (data, alive, close), LAN requests and answers and the capability exchange.
//
// Every lookup and every write of a session field here runs under gSessionLock. Channel and
// status callbacks are gathered while the lock is held and run after it is released, so a
// callback may call back into the module.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <vector>

#include "ovc_state.h"

void ovc_note_closed_random_id(const RandomID& id);
bool ovc_recent_closed_match(const RandomID& id, uint32_t maxAgeMs);
void ovc_store_capability(const uint8_t* body, uint8_t tag);
void ovc_capability_answer_fields(uint8_t* body48, const uint8_t* requestUid);
void ovc_hold_shared_conn(TConnection* c);
void RemoveTryPortOfSession(int sid);

static std::atomic<uint64_t> gDispatchDrops{0};
uint64_t ovc_dispatch_drops() { return gDispatchDrops; }
static void dropped() { gDispatchDrops++; }

// ---- Small wire helpers ---------------------------------------------------------------------

uint32_t ovc_get_u32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
void ovc_put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

void ovc_build_head(uint8_t* out, uint16_t type, uint16_t route, uint16_t length) {
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.type = type;
  h.route = route;
  h.length = length;
  ovc_head_write(h, out);
}

// Addresses are kept in one form: 16 bytes, IPv4 as ::ffff:a.b.c.d, so records compare whole.
bool ovc_text_to_netaddr(const char* text, uint16_t port, ovc_netaddr_t* out) {
  if (!text || !out) return false;
  memset(out, 0, sizeof *out);
  out->flag = 1;
  out->port = port;
  in_addr a4;
  if (inet_pton(AF_INET, text, &a4) == 1) {
    out->addr[10] = out->addr[11] = 0xFF;
    memcpy(out->addr + 12, &a4, 4);
    return true;
  }
  return inet_pton(AF_INET6, text, out->addr) == 1;
}

bool ovc_text_to_sockaddr(const char* text, uint16_t port, sockaddr_storage* out) {
  ovc_netaddr_t na;
  if (!out || !ovc_text_to_netaddr(text, port, &na)) return false;
  memset(out, 0, sizeof *out);
  auto* s6 = reinterpret_cast<sockaddr_in6*>(out);
  s6->sin6_family = AF_INET6;
  s6->sin6_port = port;
  memcpy(&s6->sin6_addr, na.addr, 16);
  return true;
}

bool ovc_netaddr_to_text(const ovc_netaddr_t& a, char* text, size_t size, uint16_t* port) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  const char* r;
  if (a.flag == 1 && memcmp(a.addr, mapped, 12) == 0) r = inet_ntop(AF_INET, a.addr + 12, text, (socklen_t)size);
  else if (a.flag == 1) r = inet_ntop(AF_INET6, a.addr, text, (socklen_t)size);
  else r = inet_ntop(AF_INET, a.addr, text, (socklen_t)size);
  if (port) *port = a.port;
  return r != nullptr;
}

static bool same_addr(const ovc_netaddr_t& a, const ovc_netaddr_t& b) {
  return a.port == b.port && memcmp(a.addr, b.addr, 16) == 0;
}

// ---- Deferred callbacks ---------------------------------------------------------------------

struct OvcDeferredCalls {
  struct Call {
    int kind;  // 0 recv, 1 status
    int sid;
    uint8_t channel;
    OVC_ChannelRecvFn recv;
    OVC_SessionStatusFn status;
    const uint8_t* data;
    uint32_t length;
    int code;
  };
  Call calls[OVC_CHANNELS + 1];
  int count = 0;
  bool idle = false;
  void recv(OVC_ChannelRecvFn fn, int sid, uint8_t ch, const uint8_t* d, uint32_t n, int code) {
    if (fn && count < (int)(sizeof calls / sizeof calls[0])) calls[count++] = Call{0, sid, ch, fn, nullptr, d, n, code};
  }
  void status(OVC_SessionStatusFn fn, int sid, int code) {
    if (fn && count < (int)(sizeof calls / sizeof calls[0])) calls[count++] = Call{1, sid, 0, nullptr, fn, nullptr, 0, code};
  }
  void run() {
    if (idle) setIdleTimeOut(500);
    for (int i = 0; i < count; ++i) {
      const Call& c = calls[i];
      if (c.kind == 0) c.recv(c.sid, c.channel, c.data, c.length, c.code);
      else c.status(c.sid, c.code);
    }
    count = 0;
  }
};

// ---- Lookups --------------------------------------------------------------------------------

static bool state_matches(uint8_t state, int mode) {
  return mode == 2 || (mode == 0 && state == 1) || (mode == 1 && state == 2);
}

int FindConnectingSessionByUID(const char* uid) {
  if (!uid) return -1;
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i)
    if (gSessionInfo[i].state == 1 && strncmp(gSessionInfo[i].uid, uid, 20) == 0) return i;
  return -1;
}

int FindSessionByRandomID(const RandomID* key, int mode) {
  if (!key || key->idLow == 0) return -1;
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    const SessionInfo& s = gSessionInfo[i];
    if (s.state != 0 && state_matches(s.state, mode) && RandomIDCompare(&s.randomId, key)) return i;
  }
  return -1;
}

int FindPreSessionByRandomID(const RandomID* key, int mode) {
  if (!key || key->idLow == 0) return -1;
  OvcSessionLockGuard g;
  if (!gPreSessionInfo) return -1;
  for (int i = 0; i < OVC_PRESESSIONS; ++i) {
    const PreSessionInfo& p = gPreSessionInfo[i];
    if (p.state != 0 && state_matches(p.state, mode) && RandomIDCompare(&p.randomId, key)) return i;
  }
  return -1;
}

int FindSessionByAddrShortID(const ovc_netaddr_t* addr, uint16_t shortId, int mode) {
  if (!addr || (mode != 0 && mode != 1)) return -1;
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    const SessionInfo& s = gSessionInfo[i];
    if (s.state == 0 || s.relayRandomId != shortId) continue;
    if (same_addr(mode == 1 ? s.tcpRelayAddr : s.relayAddr, *addr)) return i;
  }
  return -1;
}

int FindSessionBySendPathAddr(const char* addressText, uint16_t port) {
  ovc_netaddr_t a;
  if (!ovc_text_to_netaddr(addressText, port, &a)) return -1;
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    const SessionInfo& s = gSessionInfo[i];
    if (s.state == 2 && s.sendPathType >= 0 && same_addr(s.sendAddr, a)) return i;
  }
  return -1;
}

int IsRecentClosedRandomID(uint64_t idPair, int kind) {
  if (!gTrackClosedIds) return 0;
  RandomID id{(uint32_t)idPair, (uint32_t)(idPair >> 32), (uint32_t)kind};
  return ovc_recent_closed_match(id, 20000) ? 1 : 0;
}

bool ovc_recently_closed(const RandomID& k) { return IsRecentClosedRandomID((uint64_t)k.idHigh << 32 | k.idLow, (int)k.kind) != 0; }
static bool recently_closed(const RandomID& k) {
  return IsRecentClosedRandomID((uint64_t)k.idHigh << 32 | k.idLow, (int)k.kind) != 0;
}

int IsNoFreeSession() {
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i)
    if (gSessionInfo[i].state == 0) return 0;
  return 1;
}

// ---- Pre-sessions ---------------------------------------------------------------------------

int AllocPreSession() {
  OvcSessionLockGuard g;
  if (!gPreSessionInfo) return -1;
  for (int i = 0; i < OVC_PRESESSIONS; ++i) {
    PreSessionInfo& p = gPreSessionInfo[i];
    if (p.state == 0) {
      memset(&p, 0, sizeof p);
      p.preSessionFlag = 1;
      p.state = 1;
      return i;
    }
  }
  return -1;
}

void ClearPreSession(PreSessionInfo* record) {
  if (!record) return;
  OvcSessionLockGuard g;
  memset(record, 0, sizeof *record);
}

static void PreSessionTimeoutCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  OvcSessionLockGuard g;
  auto* p = static_cast<PreSessionInfo*>(user);
  if (!p) return;
  if (!final) {
    if (p->state == 2) SessionTaskDeleteNode(&p->taskList, task, true);
    return;
  }
  SessionTaskDeleteNode(&p->taskList, task, false);
  if (p->state == 1 && p->isDevice == 1) {
    if (p->preSessionFlag == 1) {
      SessionTaskCleanAllNodes(&p->taskList);
      ClearPreSession(p);
    } else {
      ovc_session_release(reinterpret_cast<SessionInfo*>(p));
    }
  }
}

int AddPreSessionTimeoutTask(PreSessionInfo* record) {
  orvan_task_t* t = orvan_TaskMng_Create(10000, 60000, 0, PreSessionTimeoutCB, record);
  if (!t) return -61;
  SessionTaskAddNode(&record->taskList, 10, t);
  return 0;
}

// A pre-session moved into a free session slot; the pre-session record is cleared. -1 when no
// slot is free (the pre-session stays).
int ovc_move_pre_session(int pre);
static int move_pre_session(int pre) { return ovc_move_pre_session(pre); }
int ovc_move_pre_session(int pre) {
  int sid = ovc_get_free_session();
  if (sid < 0) return -1;
  SessionInfo& s = gSessionInfo[sid];
  PreSessionInfo& p = gPreSessionInfo[pre];
  memcpy(&s, &p, OVC_SESSION_HEAD_SIZE);
  // The pre-session timeout task was made for the pre-session record; its nodes go with the
  // record, so the task is dropped instead of left pointing at a cleared record.
  SessionTaskCleanNodesWithType(&s.taskList, 10);
  memset(&p, 0, sizeof p);
  return sid;
}

// ---- Private addresses ----------------------------------------------------------------------

static std::mutex g_lan_mu;
static uint32_t g_lan_nets[8];
static int g_lan_prefix[8];
static int g_lan_count = 0;

void ovc_set_lan_networks(const uint32_t* nets, const int* prefixes, int count) {
  std::lock_guard<std::mutex> g(g_lan_mu);
  g_lan_count = 0;
  for (int i = 0; i < count && i < 8 && nets && prefixes; ++i) {
    if (prefixes[i] < 0 || prefixes[i] > 32) continue;
    g_lan_nets[g_lan_count] = nets[i];
    g_lan_prefix[g_lan_count++] = prefixes[i];
  }
}

static bool private_v4(const uint8_t* a) {
  if (a[0] == 10 || (a[0] == 192 && a[1] == 168) || (a[0] == 172 && a[1] >= 16 && a[1] <= 31)) return true;
  uint32_t v = (uint32_t)a[0] << 24 | (uint32_t)a[1] << 16 | (uint32_t)a[2] << 8 | a[3];
  std::lock_guard<std::mutex> g(g_lan_mu);
  for (int i = 0; i < g_lan_count; ++i) {
    uint32_t mask = g_lan_prefix[i] == 0 ? 0 : 0xFFFFFFFFu << (32 - g_lan_prefix[i]);
    if ((v & mask) == (ntohl(g_lan_nets[i]) & mask)) return true;
  }
  return false;
}

// IPv4 texts by their first bytes; IPv6 texts parsed whole: link-local, an IPv4-mapped address,
// or an IPv4 address carried in the low 32 bits or in bits 32-63 (the translator forms).
int IsPrivateAddress(const char* addressText) {
  if (!addressText) return 0;
  char text[64];
  snprintf(text, sizeof text, "%s", addressText);
  char* pct = strchr(text, '%');
  if (pct) *pct = 0;
  uint8_t a[16];
  if (!strchr(text, ':')) return inet_pton(AF_INET, text, a) == 1 && private_v4(a) ? 1 : 0;
  if (inet_pton(AF_INET6, text, a) != 1) return 0;
  if (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) return 1;
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(a, mapped, 12) == 0) return private_v4(a + 12) ? 1 : 0;
  // Only the classic private ranges count inside translated forms.
  auto classic = [](const uint8_t* b) {
    return b[0] == 10 || (b[0] == 192 && b[1] == 168) || (b[0] == 172 && b[1] >= 16 && b[1] <= 31);
  };
  return classic(a + 12) || classic(a + 4) ? 1 : 0;
}

bool ovc_lan_path_allowed(const char* addressText);
static bool lan_path_allowed(const char* addressText) { return ovc_lan_path_allowed(addressText); }
bool ovc_lan_path_allowed(const char* addressText) {
  return gsConnectOption[3] == 0 && IsPrivateAddress(addressText);
}

// ---- Session path helpers -------------------------------------------------------------------

void ovc_record_path(int sid, int type, TConnection* conn, const char* text, uint16_t port);
static void record_path(int sid, int type, TConnection* conn, const char* text, uint16_t port) {
  ovc_record_path(sid, type, conn, text, port);
}
void ovc_record_path(int sid, int type, TConnection* conn, const char* text, uint16_t port) {
  sockaddr_storage ss;
  if (ovc_text_to_sockaddr(text, port, &ss)) ovc_set_send_path(type, sid, conn, reinterpret_cast<sockaddr*>(&ss));
}

void _OVC_LAN_Connection_Check(int sid, TConnection* conn, const char* addressText, uint16_t port) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s || s->state != 1 || s->lanState != 5) return;
  s->state = 2;
  record_path(sid, 0, conn, addressText, port);
  s->lanState = 6;
}

// The sender is a known address of the session, reached on a socket the session uses.
static bool known_candidate(const SessionInfo& s, const ovc_netaddr_t& sender, TConnection* conn) {
  bool addr = (s.sendPathType >= 0 && same_addr(s.sendAddr, sender)) || same_addr(s.p2pAddr, sender) ||
              same_addr(s.lanAddr, sender);
  bool sock = conn == gUdpConn || conn == s.sendConn || conn == s.p2pConn || conn == s.lanConn;
  return addr && sock;
}

void UpdateP2PAddr(int sid, const ovc_netaddr_t* sender) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s || !sender) return;
  s->p2pAddr = *sender;
  if (s->sendPathType == 1) {
    s->sendAddr = *sender;
  } else if (s->sendPathType == 2 || s->sendPathType == 3) {
    s->sendAddr = *sender;
    s->sendPathType = 1;
  }
}

static void follow_peer(int sid, const ovc_netaddr_t& sender, TConnection* conn) {
  SessionInfo& s = gSessionInfo[sid];
  if (known_candidate(s, sender, conn)) UpdateP2PAddr(sid, &sender);
}

static void clear_channel_counters(SessionInfo& s) {
  s.txCount[0] = 0;
  s.rxCount[0] = 0;
}

static int PromotePreSessionOnTraffic(const OVC_Head& h, TConnection* conn, const char* text, uint16_t port,
                                      const RandomID* key) {
  int pre = FindPreSessionByRandomID(key, 0);
  if (pre < 0) return -1;
  int sid = move_pre_session(pre);
  if (sid < 0) return -1;
  SessionInfo& s = gSessionInfo[sid];
  s.state = 2;
  if (lan_path_allowed(text)) {
    s.connectMode = 2;
    s.lanState = 6;
    record_path(sid, 0, conn, text, port);
    SessionTaskCleanAllNodes(&s.taskList);
  } else {
    s.connectMode = 0;
    record_path(sid, 1, conn, text, port);
    SessionTaskCleanNodesWithType(&s.taskList, 10);
  }
  s.p2pState = 3;
  s.relayRandomId = 0;
  clear_channel_counters(s);
  s.remoteProtocolVersion = h.tag;
  s.peSupported = (h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
  if (conn != gUdpConn) ovc_hold_shared_conn(conn);
  RemoveTryPortOfSession(sid);
  return sid;
}

static void ConnectOnDeviceTraffic(int sid, const OVC_Head& h, TConnection* conn, const char* text, uint16_t port) {
  SessionInfo& s = gSessionInfo[sid];
  s.rttValid = 1;
  s.rtt = orv_monotonic_ms() - s.startMs;
  s.state = 2;
  if (lan_path_allowed(text)) {
    s.connectMode = 2;
    record_path(sid, 0, conn, text, port);
  } else {
    s.connectMode = 0;
    record_path(sid, 1, conn, text, port);
  }
  s.p2pState = 3;
  s.relayRandomId = 0;
  clear_channel_counters(s);
  s.remoteProtocolVersion = h.tag;
  s.peSupported = (h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
  SessionTaskCleanNodesWithType(&s.taskList, 10);
  SendConnectResult(sid, 0, s.connectMode, nullptr, 0, false);
  if (conn != gUdpConn) ovc_hold_shared_conn(conn);
  RemoveTryPortOfSession(sid);
}

static void peer_closed_locked(int sid, OvcDeferredCalls* d) {
  SessionInfo* s = ovc_session_at(sid);
  if (!s || s->state != 2) return;
  s->state = 3;
  memset(s->readSeq, 0, sizeof s->readSeq);
  d->status(s->statusCb, sid, OVC_ER_CLOSED_BY_PEER);
  for (int ch = 0; ch < OVC_CHANNELS; ++ch) d->recv(s->recvCb[ch], sid, (uint8_t)ch, nullptr, 0, OVC_ER_CLOSED_BY_PEER);
}

void OnPeerClosed(int sid) {
  OvcDeferredCalls d;
  {
    OvcSessionLockGuard g;
    peer_closed_locked(sid, &d);
  }
  d.run();
}

// ---- Session traffic ------------------------------------------------------------------------

namespace {
struct Rx {
  OVC_Head h;
  const uint8_t* dg;
  const uint8_t* body;
  uint32_t blen;
  const char* text;
  uint16_t port;
  TConnection* conn;
  int overTcp;
  ovc_netaddr_t sender;
};
}  // namespace

static bool is_relay_type(uint16_t t) { return (t & 0xFF00) == 0x0500; }

static void handle_data(const Rx& r) {
  const OVC_Head& h = r.h;
  const bool relay = is_relay_type(h.type);
  const bool reliable = h.flags & OVC_FLAG_RELIABLE;
  const bool longId = h.flags & OVC_FLAG_LONG_ID;
  OvcDeferredCalls d;
  {
    OvcSessionLockGuard g;
    if (!gSessionInfo) return;
    int sid = -1;
    uint32_t off = 0;
    if (reliable) {
      off = longId ? 16 : 12;
      if (r.blen < off) return dropped();
      if (longId) {
        RandomID k{ovc_get_u32(r.body + 4), ovc_get_u32(r.body + 12), 0};
        sid = FindSessionByRandomID(&k, 2);
      } else if (h.type == 0x0407 || h.type == 0x0408) {
        RandomID k{ovc_get_u32(r.body + 4) & 0xFFFF, 0, 1};
        sid = FindSessionByRandomID(&k, 1);
        if (sid < 0 && h.type == 0x0408) sid = FindSessionByAddrShortID(&r.sender, h.randomId, r.overTcp);
      } else {
        sid = FindSessionByAddrShortID(&r.sender, h.randomId, r.overTcp);
      }
      if (sid >= 0 && h.type == 0x0407) _OVC_LAN_Connection_Check(sid, r.conn, r.text, r.port);
    } else if (longId) {
      if (r.blen < 12) return dropped();
      off = ovc_get_u32(r.body);
      // The payload offset comes from the wire: it must lie inside the body, after the words.
      if (off < 12 || off > r.blen) return dropped();
      RandomID k{ovc_get_u32(r.body + 4), ovc_get_u32(r.body + 8), 0};
      if (relay) {
        sid = FindSessionByRandomID(&k, 1);
      } else if (h.type == 0x0407) {
        sid = FindSessionByRandomID(&k, 2);
        if (sid < 0) sid = PromotePreSessionOnTraffic(h, r.conn, r.text, r.port, &k);
        else _OVC_LAN_Connection_Check(sid, r.conn, r.text, r.port);
      } else {
        if (recently_closed(k)) return dropped();
        sid = FindSessionByRandomID(&k, 1);
        if (sid < 0) {
          sid = FindSessionByRandomID(&k, 0);
          if (sid >= 0) ConnectOnDeviceTraffic(sid, h, r.conn, r.text, r.port);
        }
      }
    } else if (relay) {
      sid = FindSessionByAddrShortID(&r.sender, h.randomId, r.overTcp);
    } else if (h.randomId) {
      RandomID k{h.randomId, 0, 1};
      sid = FindSessionByRandomID(&k, 1);
    } else {
      sid = FindSessionBySendPathAddr(r.text, r.port);
    }
    if (sid < 0) return dropped();
    SessionInfo& s = gSessionInfo[sid];
    if (s.state != 2 || h.channel >= OVC_CHANNELS) return dropped();
    if (h.type == 0x0408) s.directTrafficSeen = 1;
    if (reliable) {
      OVC_Reliable_RecvPacket(static_cast<OVC_Reliance*>(s.reliance[h.channel]), r.dg, &r.sender, sid);
      return;
    }
    const uint8_t* payload = r.body + off;
    uint32_t plen = r.blen - off;
    uint8_t ch = h.channel;
    s.aliveCount = 0;
    if (s.recvCb[ch]) {
      s.idleFlag[ch] = 1;
      gChannelDataSeen = 1;
      d.idle = true;
      s.rxDelivered[ch]++;
      s.rxCount[ch]++;
      d.recv(s.recvCb[ch], sid, ch, payload, plen, 0);
    } else if (plen > 0) {
      __Fill_ReadBuf(sid, payload, plen, h.seq, ch);
    }
    if (!relay) follow_peer(sid, r.sender, r.conn);
  }
  d.run();
}

static bool relay_sender_ok(const SessionInfo& s, const ovc_netaddr_t& sender, int overTcp) {
  return same_addr(overTcp ? s.tcpRelayAddr : s.relayAddr, sender);
}

static void handle_close(const Rx& r) {
  const OVC_Head& h = r.h;
  OvcDeferredCalls d;
  {
    OvcSessionLockGuard g;
    if (!gSessionInfo) return;
    int sid = -1;
    if (is_relay_type(h.type)) {
      if (r.blen == 8) {
        RandomID k{ovc_get_u32(r.body), ovc_get_u32(r.body + 4), 0};
        sid = FindSessionByRandomID(&k, 1);
        if (sid >= 0 && !relay_sender_ok(gSessionInfo[sid], r.sender, r.overTcp)) return dropped();
      } else {
        sid = FindSessionByAddrShortID(&r.sender, h.randomId, r.overTcp);
      }
    } else {
      if (h.flags & OVC_FLAG_LONG_ID) {
        if (r.blen < 8) return dropped();
        RandomID k{ovc_get_u32(r.body), ovc_get_u32(r.body + 4), 0};
        sid = FindSessionByRandomID(&k, 2);
      } else if (h.randomId) {
        RandomID k{h.randomId, 0, 1};
        sid = FindSessionByRandomID(&k, 2);
      } else {
        sid = FindSessionBySendPathAddr(r.text, r.port);
      }
      // A close from an address the session never used is a stranger's, not the peer's.
      if (sid >= 0 && !known_candidate(gSessionInfo[sid], r.sender, r.conn)) return dropped();
    }
    if (sid < 0) return dropped();
    peer_closed_locked(sid, &d);
  }
  d.run();
}

static void handle_alive(const Rx& r) {
  const OVC_Head& h = r.h;
  OvcSessionLockGuard g;
  if (!gSessionInfo) return;
  const bool longId = h.flags & OVC_FLAG_LONG_ID;
  RandomID k{0, 0, 0};
  if (longId) {
    if (r.blen < 8) return dropped();
    k = RandomID{ovc_get_u32(r.body), ovc_get_u32(r.body + 4), 0};
  }
  int sid = -1;
  if (is_relay_type(h.type)) {
    sid = longId ? FindSessionByRandomID(&k, 1) : FindSessionByAddrShortID(&r.sender, h.randomId, r.overTcp);
    if (sid < 0 || !relay_sender_ok(gSessionInfo[sid], r.sender, r.overTcp)) return dropped();
    gSessionInfo[sid].aliveCount = 0;
    return;
  }
  if (h.type == 0x0427) {
    if (longId) {
      sid = FindSessionByRandomID(&k, 2);
      if (sid < 0) sid = PromotePreSessionOnTraffic(h, r.conn, r.text, r.port, &k);
      else _OVC_LAN_Connection_Check(sid, r.conn, r.text, r.port);
    } else if (h.randomId) {
      RandomID sk{h.randomId, 0, 1};
      sid = FindSessionByRandomID(&sk, 1);
    }
    if (sid < 0 && !longId) sid = FindSessionBySendPathAddr(r.text, r.port);
    if (sid < 0) return dropped();
    SessionInfo& s = gSessionInfo[sid];
    if (!known_candidate(s, r.sender, r.conn)) return dropped();
    s.aliveCount = 0;
    s.rttValid = 1;
    follow_peer(sid, r.sender, r.conn);
    return;
  }
  // 0x0428, from a device.
  if (longId) {
    if (recently_closed(k)) return dropped();
    sid = FindSessionByRandomID(&k, 1);
    if (sid < 0) {
      sid = FindSessionByRandomID(&k, 0);
      if (sid < 0) return dropped();
      ConnectOnDeviceTraffic(sid, h, r.conn, r.text, r.port);
    }
  } else {
    if (h.randomId) {
      RandomID sk{h.randomId, 0, 1};
      sid = FindSessionByRandomID(&sk, 1);
    }
    if (sid < 0) sid = FindSessionBySendPathAddr(r.text, r.port);
  }
  if (sid < 0) return dropped();
  SessionInfo& s = gSessionInfo[sid];
  if (!known_candidate(s, r.sender, r.conn)) return dropped();
  s.aliveCount = 0;
  s.directTrafficSeen = 1;
  follow_peer(sid, r.sender, r.conn);
}

// ---- LAN requests on the device -------------------------------------------------------------

static uint8_t sockaddr_v4_of(const char* text, uint16_t port, uint8_t out[16]) {
  memset(out, 0, 16);
  ovc_netaddr_t a;
  if (!ovc_text_to_netaddr(text, port, &a)) return 0;
  out[1] = 2;
  memcpy(out + 2, &port, 2);
  memcpy(out + 4, a.addr + 12, 4);
  return 1;
}

static void send_udp(uint8_t* dgram, int len, const char* text, uint16_t port) {
  TConnection* c = nullptr;
  {
    OvcSessionLockGuard g;
    c = gUdpConn;
    if (c) c->ops()->incRef(c);
  }
  if (!c) return;
  ovc_SendMessage(c, dgram, len, text, port);
  c->ops()->decRef(c);
}

void SendLanSearchAnswer(const char* addressText, uint16_t port, const RandomID* key, int32_t result) {
  uint8_t d[16 + 184] = {};
  ovc_build_head(d, 0x0602, 0x12, 184);
  uint8_t* b = d + 16;
  memcpy(b, gLocalUid, 20);
  memcpy(b + 36, gDeviceName, 128);
  ovc_put_u32(b + 168, OVC_VERSION_WORD);
  if (key) {
    ovc_put_u32(b + 172, key->idLow);
    ovc_put_u32(b + 176, key->idHigh);
  }
  ovc_put_u32(b + 180, (uint32_t)result);
  send_udp(d, sizeof d, addressText, port);
}

static void send_short_answer(const char* text, uint16_t port) {
  uint8_t d[16 + 168] = {};
  ovc_build_head(d, 0x0602, 0x12, 168);
  uint8_t* b = d + 16;
  memcpy(b, gLocalUid, 20);
  sockaddr_v4_of(text, port, b + 20);
  memcpy(b + 36, gDeviceName, 128);
  send_udp(d, sizeof d, text, port);
}

static void handle_lan_request(const Rx& r) {
  const uint8_t* b = r.body;
  if (r.h.type == 0x0603) {
    if (r.blen < 72) return dropped();
    if (ovc_get_u32(b + 52) != (uint32_t)ovc_lan_token()) return dropped();
  }
  if (gLocalUid[0] == 0) return dropped();  // not a device
  if (r.blen <= 51) {
    send_short_answer(r.text, r.port);
    return;
  }
  RandomID key{ovc_get_u32(b + 40), ovc_get_u32(b + 44), 0};
  int32_t kind = (int32_t)ovc_get_u32(b + 48);
  if (kind == 0) {
    SendLanSearchAnswer(r.text, r.port, nullptr, 0);
    AddSendLANSearch(gLocalUid, nullptr, 0, r.text, r.port, orvan_platform_rand() % 6, 1, 0);
    return;
  }
  if (kind != 1 && kind != 2) return dropped();
  if (strncmp((const char*)b, gLocalUid, 20) != 0) return dropped();
  if (recently_closed(key)) return dropped();
  OvcSessionLockGuard g;
  if (!gSessionInfo) return;
  int sid = FindSessionByRandomID(&key, 2);
  if (kind == 1) {
    if (sid >= 0) {
      if (gSessionInfo[sid].state >= 3) return dropped();
    } else {
      int pre = FindPreSessionByRandomID(&key, 2);
      if (pre >= 0) {
        const PreSessionInfo& p = gPreSessionInfo[pre];
        if (p.state >= 3 || p.lanState != 5) return dropped();
      } else {
        pre = AllocPreSession();
        if (pre < 0) return SendLanSearchAnswer(r.text, r.port, &key, 3);
        PreSessionInfo& p = gPreSessionInfo[pre];
        if (IsNoFreeSession()) {
          ClearPreSession(&p);
          return SendLanSearchAnswer(r.text, r.port, &key, 3);
        }
        if (AddPreSessionTimeoutTask(&p) != 0) {
          ClearPreSession(&p);
          return;
        }
        p.isDevice = 1;
        p.lanState = 5;
        memcpy(p.uid, gLocalUid, 20);
        p.randomId = key;
        ovc_text_to_netaddr(r.text, r.port, &p.lanAddr);
        return SendLanSearchAnswer(r.text, r.port, &key, 1);
      }
    }
    SendLanSearchAnswer(r.text, r.port, &key, 1);
    AddSendLANSearch(gLocalUid, &key, 1, r.text, r.port, orvan_platform_rand() % 6, 1, 0);
    return;
  }
  // Kind 2: the client connects over the LAN.
  if (sid >= 0) {
    SessionInfo& s = gSessionInfo[sid];
    if (s.state >= 3 || s.lanState == 6) return dropped();
    if (s.state == 1) s.state = 2;
    record_path(sid, 0, r.conn, r.text, r.port);
    s.lanState = 6;
    return;
  }
  int pre = FindPreSessionByRandomID(&key, 2);
  if (pre < 0) return dropped();
  PreSessionInfo& p = gPreSessionInfo[pre];
  if (p.state >= 3 || p.lanState == 6) return dropped();
  SessionTaskCleanAllNodes(&p.taskList);
  sid = move_pre_session(pre);
  if (sid < 0) return dropped();
  SessionInfo& s = gSessionInfo[sid];
  s.state = 2;
  record_path(sid, 0, r.conn, r.text, r.port);
  s.lanState = 6;
  s.peSupported = (r.h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
  s.remoteVersion = ovc_get_u32(b + 36);
  s.remoteProtocolVersion = r.h.tag;
  s.connectMode = 2;
  s.relayRandomId = 0;
  clear_channel_counters(s);
}

// ---- Capability -----------------------------------------------------------------------------

static void handle_capability_query(const Rx& r) {
  if (r.h.tag <= 5) return dropped();
  uint8_t d[16 + 48] = {};
  ovc_build_head(d, 0x0803, 0x12, 48);
  uint8_t uid[20] = {};
  memcpy(uid, r.body, r.blen < 20 ? r.blen : 20);
  ovc_capability_answer_fields(d + 16, uid);
  send_udp(d, sizeof d, r.text, r.port);
}

// ---- Dispatch -------------------------------------------------------------------------------

bool ovc_server_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn, int overTcp, const ovc_netaddr_t& sender);

void _OVC_Packet_Handler(const uint8_t* datagram, const char* addressText, uint16_t port, TConnection* conn,
                         int overTcp) {
  if (!datagram || !addressText) return;
  Rx r;
  r.h = ovc_head_read(datagram);
  r.dg = datagram;
  r.body = datagram + OVC_HEAD_SIZE;
  r.blen = r.h.length;
  if (r.blen > OVC_RECV_BUFFER - OVC_HEAD_SIZE) return dropped();
  r.text = addressText;
  r.port = port;
  r.conn = conn;
  r.overTcp = overTcp;
  if (!ovc_text_to_netaddr(addressText, port, &r.sender)) return dropped();
  switch (r.h.type) {
    case 0x0407: case 0x0408: case 0x0501: case 0x0503:
      return handle_data(r);
    case 0x0417: case 0x0418: case 0x0511: case 0x0513:
      return handle_close(r);
    case 0x0427: case 0x0428: case 0x0521: case 0x0523:
      return handle_alive(r);
    case 0x0601: case 0x0603:
      return handle_lan_request(r);
    case 0x0602:
      return ovc_lan_client_answer(r.h, r.body, addressText, port, conn);
    case 0x0802:
      return handle_capability_query(r);
    case 0x0803:
      if (r.blen < 39) return dropped();
      return ovc_store_capability(r.body, r.h.tag);
    default:
      // Server answers and the set-up messages of punching and relays.
      if (ovc_server_packet(r.h, r.body, r.blen, addressText, port, conn, overTcp, r.sender)) return;
      return dropped();
  }
}


extern "C" void _OVC_Packet_Handler_V6(const uint8_t* datagram) {
  if (!datagram) return;
  if (ovc_head_read(datagram).type == 0x100A) {
    printf("OVC_Handler_MSG_QUERY_DEVICE6_R\n");
    fflush(stdout);
  }
}

// ---- Receive callbacks ----------------------------------------------------------------------

void OVC_UDP_RecvCB(TConnection* c, const char* peer, uint16_t port, uint8_t* data, uint32_t len, void*) {
  if (!data || len < OVC_HEAD_SIZE) return dropped();
  uint8_t buf[OVC_RECV_BUFFER];
  memset(buf, 0, sizeof buf);
  uint32_t n = len > OVC_RECV_BUFFER ? (uint32_t)OVC_RECV_BUFFER : len;
  ZoroCore(data, buf, OVC_HEAD_SIZE, OVC_HEAD_SIZE);
  uint16_t rest = (uint16_t)(n - OVC_HEAD_SIZE);
  ZoroCore(data + OVC_HEAD_SIZE, buf + OVC_HEAD_SIZE, rest, (buf[3] & OVC_FLAG_PARTIAL) ? (rest < 48 ? rest : 48) : rest);
  OVC_Head h = ovc_head_read(buf);
  if (h.magic != OVC_HEAD_MAGIC || (uint32_t)h.length + OVC_HEAD_SIZE > len || (uint32_t)h.length + OVC_HEAD_SIZE > n)
    return dropped();
  _OVC_Packet_Handler(buf, peer, port, c, 0);
}

// The TCP stream: whole datagrams are handled one by one through a bounded buffer; a partial one
// is kept at the front of the connection's buffer for the next read; bytes that do not start a
// datagram are skipped one at a time until a head with the magic appears.
void OVC_TCP_RecvCB(TConnection* c, const char* peer, uint16_t port, uint8_t* data, uint32_t len, void*) {
  if (!c || !data) return;
  uint32_t pos = 0;
  uint8_t buf[OVC_RECV_BUFFER];
  for (;;) {
    uint32_t held = len - pos;
    int want = 0;
    if (held >= OVC_HEAD_SIZE) {
      uint8_t head[OVC_HEAD_SIZE];
      ZoroCore(data + pos, head, OVC_HEAD_SIZE, OVC_HEAD_SIZE);
      OVC_Head h = ovc_head_read(head);
      uint32_t whole = (uint32_t)h.length + OVC_HEAD_SIZE;
      if (h.magic != OVC_HEAD_MAGIC || whole > OVC_RECV_BUFFER) {
        dropped();
        ++pos;
        continue;
      }
      if (whole <= held) {
        memset(buf, 0, sizeof buf);
        memcpy(buf, head, OVC_HEAD_SIZE);
        uint16_t body = h.length;
        ZoroCore(data + pos + OVC_HEAD_SIZE, buf + OVC_HEAD_SIZE, body,
                 (h.flags & OVC_FLAG_PARTIAL) ? (body < 48 ? body : 48) : body);
        pos += whole;
        _OVC_Packet_Handler(buf, peer, port, c, 1);
        if (pos == len) {
          int sixteen = OVC_HEAD_SIZE;
          c->ops()->setOption(c, 0, &sixteen);
          return;
        }
        continue;
      }
      want = (int)(whole - held);
    } else {
      want = (int)(OVC_HEAD_SIZE - held);
    }
    // Keep what is held, moved to the front, and ask for the rest.
    if (pos > 0) {
      memmove(data, data + pos, held);
      c->bufLen = held;
    }
    if (held == 0) {
      int sixteen = OVC_HEAD_SIZE;
      c->ops()->setOption(c, 0, &sixteen);
      return;
    }
    if (c->ops()->keepPartial(c) != 0) return;
    c->ops()->setOption(c, 0, &want);
    return;
  }
}

// ---- Closed random IDs ----------------------------------------------------------------------

void ovc_notify_peer_closed(int sid, int) { OnPeerClosed(sid); }

// ---- Device side: repeated LAN answers to a searching client -------------------------------

static void PrecheckRTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* p = static_cast<PreSessionInfo*>(user);
  OvcSessionLockGuard g;
  if (!p) return;
  if (final) {
    p->lanState = -1;
    SessionTaskDeleteNode(&p->taskList, task, false);
    if (p->state == 1 && p->isDevice == 1) {
      SessionTaskCleanAllNodes(&p->taskList);
      ClearPreSession(p);
    }
    return;
  }
  if (p->lanState == 6) {
    SessionTaskDeleteNode(&p->taskList, task, true);
    return;
  }
  char text[64];
  uint16_t port;
  if (ovc_netaddr_to_text(p->lanAddr, text, sizeof text, &port)) SendLanSearchAnswer(text, port, &p->randomId, 1);
}

int AddLanSearchPrecheckRTask(PreSessionInfo* record) {
  if (!record) return -1;
  orvan_task_t* t = orvan_TaskMng_Create(100, 30000, 0, PrecheckRTaskCB, record);
  if (!t) return -1;
  SessionTaskAddNode(&record->taskList, 0, t);
  return 0;
}
