// Connect by UID: set-up, the LAN phase task, the decision functions that read the session's
// state fields, the blocking loop and the non-blocking driver, stop requests and options.
//
// The state fields are written by the dispatcher and the tasks under gSessionLock; the loops
// read them under it too.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "ovc_state.h"

uint8_t gsConnectOption[4] = {1, 0, 0, 0};
std::atomic<int32_t> LanConnectTimeout{-1};
std::atomic<int32_t> P2PConnectTimeout{-1};
std::atomic<int32_t> DetectNetworkTimeout{10000};
std::atomic<uint8_t> ConnectStopFlag{0};
std::atomic<uint8_t> TcpRelayOnly{0};
std::atomic<uint8_t> AutoWakeUp{0};
static std::recursive_mutex ConnectLock;
static uint32_t gConnectCounter[3];
static std::atomic<int> gTimeScale{100};

void ovc_set_connect_time_scale(int percent) { gTimeScale = percent > 0 ? percent : 100; }
static uint32_t scaled(uint32_t ms) { return (uint32_t)((uint64_t)ms * (uint32_t)gTimeScale / 100u); }

int ovc_master_entry(int i, char* host, size_t size, uint16_t* portNet);
int AddUDPQueryDeviceInfoTask(SessionInfo* s);
int AddUDPP2PConnectTask(SessionInfo* s, int defaultLifetime);
int AddUDPRelayConnectTask(SessionInfo* s);
void ovc_query_phase_step(SessionInfo* s);

// The masters are given as address texts at initialisation; without any there is nothing to
// resolve: the state says "failed" so the LAN phase decides alone.
int ovc_master_state() {
  char host[128];
  for (int i = 0; i < 12; ++i)
    if (ovc_master_entry(i, host, sizeof host, nullptr)) return 1;
  return 2;
}

void ovc_connect_reset() {
  ConnectStopFlag = 0;
  TcpRelayOnly = 0;
}

// ---- Options and setters --------------------------------------------------------------------

int OVC_Set_Connection_Option(const uint8_t option[4]) {
  if (!option) return OVC_ER_INVALID_ARG;
  for (int i = 0; i < 4; ++i) {
    if (option[i] > 1) return OVC_ER_INVALID_ARG;
    gsConnectOption[i] = option[i];
  }
  return 0;
}

void OVC_TCPRelayOnly_TurnOn(void) { TcpRelayOnly = 1; }
void OVC_Setup_LANConnection_Timeout(int ms) { LanConnectTimeout = ms; }
void OVC_Setup_P2PConnection_Timeout(int ms) { P2PConnectTimeout = ms; }
void OVC_Setup_DetectNetwork_Timeout(int ms) { DetectNetworkTimeout = ms; }

extern "C" int OVC_Get_Nat_Type(uint32_t guard) { return guard == OVC_INTERNAL_GUARD ? (int)gNatType : 99999; }

void OVC_Connect_Stop(void) { ConnectStopFlag = 1; }

int OVC_Connect_Stop_BySID(int sid) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (sid < 0 || sid >= gMaxSessionNumber) return OVC_ER_INVALID_SID;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  s->stopConnect = 1;
  return 0;
}

// ---- Reports --------------------------------------------------------------------------------

// The connect report goes to the device's servers of version 12 or more; with no servers known
// (the LAN road) there is nobody to tell.
void SendConnectResult(int sid, int result, int pathKind, const char* addressText, uint16_t port, bool viaTcp) {
  (void)addressText;
  (void)port;
  (void)viaTcp;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return;
  uint8_t d[16 + 528] = {};
  ovc_build_head(d, 0x0804, 0x24, 528);
  uint8_t* b = d + 16;
  memcpy(b, s->uid, 20);
  memcpy(b + 20, s->sendAddr.addr, 16);
  b[36] = s->remoteNatType;
  b[37] = (uint8_t)gNatType;
  b[38] = (uint8_t)pathKind;
  ovc_put_u32(b + 40, (uint32_t)result);
  ovc_put_u32(b + 44, s->remoteVersion);
  ovc_put_u32(b + 48, OVC_VERSION_WORD);
  ovc_put_u32(b + 52, s->randomId.idLow);
  ovc_put_u32(b + 56, s->randomId.idHigh);
  memcpy(b + 60, gsLocalNetworkInfo.slots, 64);
  ovc_put_u32(b + 524, orv_monotonic_ms() - s->startMs);
  for (const SessionServerEntry& e : s->servers) {
    if (e.version < 12 || e.udpAddr.port == 0 || e.tcpConn) continue;
    char text[64];
    uint16_t p;
    if (ovc_netaddr_to_text(e.udpAddr, text, sizeof text, &p) && gUdpConn) ovc_SendMessage(gUdpConn, d, sizeof d, text, p);
  }
}

// ---- Decisions ------------------------------------------------------------------------------

static bool any_server_known(const SessionInfo& s) {
  for (const SessionServerEntry& e : s.servers)
    if ((e.udpAddr.port || e.tcpAddr.port) && e.answerKind != 237) return true;
  return false;
}

bool IsDeviceSleeping(SessionInfo* s, int graceMs) {
  if (!s) return false;
  if (s->relayState > 2 || s->tcpState == 15 || s->tcpState == 16 || s->tcpState == 18) return false;
  if (s->onlineCheckState == 0 && AutoWakeUp == 1) return false;
  uint32_t d = s->firstAnswerMs ? orv_monotonic_ms() - s->firstAnswerMs : 0;
  bool allNew = true;
  for (const SessionServerEntry& e : s->servers)
    if (e.version != 0 && e.version < 18) allNew = false;
  if (allNew) {
    bool any = false, all192 = true;
    for (const SessionServerEntry& e : s->servers) {
      if (!(e.udpAddr.port || e.tcpAddr.port)) continue;
      any = true;
      if (e.answerKind != 192) all192 = false;
    }
    if (any && all192) return true;
    if (d > 2000) {
      const SessionServerEntry* best = nullptr;
      for (const SessionServerEntry& e : s->servers) {
        if (!e.udpAddr.port || e.answerValue == -1 || e.answerValue >= 600000) continue;
        if (e.answerKind != 192 && e.answerKind != 255) continue;
        if (!best || e.answerValue < best->answerValue) best = &e;
      }
      return best && best->answerKind == 192;
    }
    return false;
  }
  bool some192 = false, other = false;
  for (const SessionServerEntry& e : s->servers) {
    if (!(e.udpAddr.port || e.tcpAddr.port)) continue;
    if (e.answerKind == 192) some192 = true;
    else other = true;
  }
  if (some192 && (int64_t)d > graceMs) return true;
  return some192 && !other;
}

int CheckConnectErrors(int sid) {
  if (!ovc_initialized() || !gSessionInfo) return OVC_ER_NOT_INITIALIZED;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_NOT_INITIALIZED;
  if (s->callerSid ? s->stopConnect : ConnectStopFlag.load()) return OVC_ER_CONNECT_STOPPED;
  if (s->failDeviceRefused) return s->remoteProtocolVersion < 7 ? OVC_ER_OLD_PROTOCOL : OVC_ER_SESSION_LIMIT;
  if (s->failSessionLimit) return OVC_ER_SESSION_LIMIT;
  if (s->failUidRefused) return OVC_ER_INVALID_UID;
  if (s->failAdvanceRefused) return OVC_ER_NO_PERMISSION;
  if (s->failDuplicateLogin) return OVC_ER_DUPLICATE_LOGIN;
  // A refusal leaves the UDP relay at "requested" (1): counting only the later states would make
  // the refusal wait out the relay's whole lifetime and end as a set-up time-out instead.
  if (s->failRelayRefused && (s->relayState >= 1 || s->tcpState >= 13)) return OVC_ER_RELAY_REFUSED;
  return IsDeviceSleeping(s, 2000) ? OVC_ER_DEVICE_ASLEEP : 0;
}

static int sleeping_or(SessionInfo* s, int code) { return IsDeviceSleeping(s, 0) ? OVC_ER_DEVICE_ASLEEP : code; }

int CheckPreConnectState(int sid, bool refused) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  if (s->lanState == -1 && ovc_master_state() == 2) return OVC_ER_MASTER_UNRESOLVED;
  if ((s->lanState == -1 || s->lanState == 2) && s->queryState < 0) {
    int t = s->tcpState;
    if (s->queryState == -3) {
      if (t == 3 || t == 6 || t == 8 || t == 11) return sleeping_or(s, OVC_ER_DEVICE_NOT_FOUND);
      if (t == 10) return 3;
    } else if (s->queryState == -2) {
      if (t == 3 || t == 6 || t == 8 || t == 11) return OVC_ER_FAIL;
      if (t == 10) return 3;
    } else if (s->queryState == -1) {
      if (t == 3 || t == 6) return s->netCheckState == 3 ? OVC_ER_NO_SERVER : s->netCheckState == 4 ? OVC_ER_MASTER_SILENT : OVC_ER_SERVER_TCP;
      if (t == 8) return OVC_ER_SERVER_TCP;
      if (t == 10) return 3;
      if (t == 11) return sleeping_or(s, OVC_ER_DEVICE_NOT_FOUND);
    }
  }
  if (!refused && s->tcpState == 10) {
    if (s->queryState == 1 || s->queryState == 2 || s->queryState == 3 || s->tcpWait >= 5000) {
      if (s->connectStrategy == 1 || s->lanState == -1 || s->lanState == 2) return 3;
    }
    s->tcpWait += 10;
  }
  if ((s->queryState == 5 || s->tcpState == 9) && !any_server_known(*s)) return OVC_ER_DEVICE_UNKNOWN;
  if (TcpRelayOnly) {
    int t = s->tcpState;
    if (t == 3 || t == 6) return OVC_ER_MASTER_TCP;
    if (t == 8) return OVC_ER_SERVER_TCP;
    if (t == 10) return 3;
    if (t == 11) return sleeping_or(s, OVC_ER_DEVICE_NOT_FOUND);
  }
  ovc_query_phase_step(s);
  if (s->queryState == 6) return (s->connectStrategy == 1 || s->lanState == -1 || s->lanState == 2) ? 2 : 0;
  return 0;
}

int CheckUDPParellelConnectState(int sid) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  if ((s->p2pState == 2 || s->p2pState < 0) && s->relayState == -1) return OVC_ER_RELAY_SETUP;
  if (s->queryState == 6 && s->p2pState == 0) {
    if (s->remoteNatType == 10) s->p2pState = 2;
    else AddUDPP2PConnectTask(s, 60000);
    AddUDPRelayConnectTask(s);
  }
  return s->p2pState == 3 ? 4 : s->relayState == 5 ? 5 : 0;
}

int CheckUDPSequentialConnectState(int sid) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  if (s->relayState == -1) return OVC_ER_RELAY_SETUP;
  if (s->queryState == 6 && s->p2pState == 0) {
    if ((uint32_t)s->remoteNatType + gNatType > 4) s->p2pState = 2;
    else AddUDPP2PConnectTask(s, 6000);
  }
  if (s->p2pState == -1 || s->p2pState == 2) {
    if (s->relayState != 0) return s->relayState == 5 ? 5 : 0;
    AddUDPRelayConnectTask(s);
  }
  return s->p2pState == 3 ? 4 : s->relayState == 5 ? 5 : 0;
}

int CheckTCPConnectState(int sid) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  if (s->tcpState == 14 || s->tcpState == 17) return OVC_ER_RELAY_SETUP;
  if (s->tcpState == 18) return 6;
  return s->failNoPermission ? OVC_ER_NO_PERMISSION : 0;
}

// ---- LAN phase ------------------------------------------------------------------------------

static void LanSearchTaskCB(orvan_task_t* task, uint32_t period, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  if (!s) return;
  s->lanElapsed += (int32_t)period;
  int32_t lt = LanConnectTimeout;
  int32_t limit = lt > 0 ? lt : 1500;
  if (final) {
    s->lanState = -1;
    SessionTaskDeleteNode(&s->taskList, task, false);
    return;
  }
  if ((s->queryState == 6 || s->tcpState == 10) && s->connectStrategy == 2 && s->lanState == 1 && s->lanElapsed >= limit) {
    s->lanState = -1;
    SessionTaskDeleteNode(&s->taskList, task, true);
    return;
  }
  if (s->lanState == 1 || s->lanState == 3) {
    char uid[21];
    memcpy(uid, s->uid, 21);
    RandomID key = s->randomId;
    SendLanSearchRequest(0, uid, &key, 1, nullptr, 0, 0);
    AddSendLANSearch(uid, &key, 1, nullptr, 0, orvan_platform_rand() % 6, 0, 0);
  } else if (s->lanState == 6) {
    SessionTaskDeleteNode(&s->taskList, task, true);
  }
}

int AddLanSearchTask(SessionInfo* s) {
  int32_t lt = LanConnectTimeout;
  OvcSessionLockGuard g;
  if (lt == 0) {
    s->lanState = 2;
    return 0;
  }
  s->lanState = 1;
  orvan_task_t* t = orvan_TaskMng_Create(100, lt > 0 ? (uint32_t)lt : 60000u, 0, LanSearchTaskCB, s);
  if (!t) return -1;
  SessionTaskAddNode(&s->taskList, 0, t);
  return 0;
}

// ---- Set-up ---------------------------------------------------------------------------------

static bool uid_valid(const char* uid) {
  if (!uid) return false;
  for (int i = 0; i < 20; ++i)
    if (!isalnum((unsigned char)uid[i]) || (unsigned char)uid[i] > 127) return false;
  return true;
}

extern "C" int _IsUIDVaild(const char* uid) { return uid_valid(uid) ? 1 : 0; }

static uint32_t next_counter(int which) {
  uint32_t& c = gConnectCounter[which];
  if (c == 0) {
    c = (uint32_t)(((uint64_t)time(nullptr) + (uint64_t)orvan_platform_rand()) % 65535u);
    if (c == 0) c = 1;
  } else {
    ++c;
  }
  return c;
}

// Steps shared by both forms once the session is reserved: UID, socket, random ID, states,
// the LAN task. Returns 0 or the socket's error.
static int setup_session(int sid, const char* uid, int which) {
  SessionInfo* s = ovc_session_at(sid);
  {
    OvcSessionLockGuard g;
    for (int i = 0; i < 20; ++i) s->uid[i] = (char)toupper((unsigned char)uid[i]);
    s->uid[20] = 0;
    s->startMs = orv_monotonic_ms();
  }
  int rc;
  {
    std::lock_guard<std::recursive_mutex> lk(ConnectLock);
    if (!s->callerSid) ConnectStopFlag = 0;
    rc = ovc_open_udp_socket();
    if (rc != 0) return rc;
    OvcSessionLockGuard g;
    s->isDevice = 0;
    UpdateLocalPort();
    uint32_t c = next_counter(which);
    RandomIDValueUpdate(&s->randomId, 0, c + gsLocalNetworkInfo.idLow16 * 65536u, gsLocalNetworkInfo.idHigh);
  }
  OvcSessionLockGuard g;
  s->peerReached = 1;
  s->lanState = s->queryState = s->p2pState = s->relayState = 0;
  s->serverGroup = -1;
  s->firstAnswerServer = -1;
  for (SessionServerEntry& e : s->servers) e.answerValue = -1;
  AddLanSearchTask(s);
  return 0;
}

// One step of the state machine, shared by the blocking loop and the driver. Returns a result:
// 4..6 success, < 0 failure, else go on. lanUp tells a connected LAN path.
static int connect_step(int sid, uint8_t* preDone, uint8_t* tcpMode, bool* lanUp) {
  int r = CheckConnectErrors(sid);
  if (r < 0) return r;
  if (ovc_master_state() == 1 && !TcpRelayOnly) {
    OvcSessionLockGuard g;
    if (gSessionInfo[sid].queryState == 0) AddUDPQueryDeviceInfoTask(&gSessionInfo[sid]);
  }
  if (!*preDone) {
    int p = CheckPreConnectState(sid, gSessionInfo[sid].failNoPermission != 0);
    if (p == 3) {
      OvcSessionLockGuard g;
      SessionTaskCleanNodesWithType(&gSessionInfo[sid].taskList, 1);
      *preDone = *tcpMode = 1;
      r = 3;
    } else if (p > 0) {
      OvcSessionLockGuard g;
      SessionTaskCleanNodesWithType(&gSessionInfo[sid].taskList, 4);
      *preDone = 1;
      r = p;
    } else if (p < 0) {
      return p;
    } else {
      r = 0;
    }
  }
  if (*preDone && *tcpMode) {
    r = CheckTCPConnectState(sid);
  } else if (*preDone) {
    int strategy;
    {
      OvcSessionLockGuard g;
      strategy = gSessionInfo[sid].connectStrategy;
    }
    if (gsConnectOption[0] != 1 || strategy == 2) r = CheckUDPSequentialConnectState(sid);
    else if (strategy == 1) r = CheckUDPParellelConnectState(sid);
  }
  OvcSessionLockGuard g;
  *lanUp = gSessionInfo[sid].lanState == 6 && gSessionInfo[sid].state == 2;
  return r;
}

static void fail_cleanup(int sid, int result) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return;
  SessionTaskCleanAllNodes(&s->taskList);
  SendConnectResult(sid, result, -1, nullptr, 0, true);
  ovc_session_release(s);
}

static void success_cleanup(int sid) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return;
  SessionTaskCleanNodesWithType(&s->taskList, 1);
  SessionTaskCleanNodesWithType(&s->taskList, 4);
  SessionTaskCleanNodesWithType(&s->taskList, 7);
  SendConnectSuccess(s);
}

int OVC_Connect_UDP(const char* uid, int sid) {
  uint8_t st = gOvcState;
  if (st == 0 || st == 3) return OVC_ER_NOT_INITIALIZED;
  if (!uid_valid(uid)) {
    if (sid >= 0) {
      SessionInfo* s = ovc_session_at(sid);
      if (s) ovc_session_release(s);
    }
    return OVC_ER_INVALID_UID;
  }
  std::unique_lock<std::recursive_mutex> whole(ConnectLock, std::defer_lock);
  if (sid < 0) {
    whole.lock();
    sid = ovc_get_free_session();
    if (sid < 0) return OVC_ER_NO_FREE_SESSION;
  } else {
    OvcSessionLockGuard g;
    gSessionInfo[sid].callerSid = 1;
  }
  int rc = setup_session(sid, uid, 0);
  if (rc != 0) {
    ovc_session_release(&gSessionInfo[sid]);
    return rc;
  }
  // An overall deadline, as the non-blocking form has, so a connect never blocks for ever.
  const uint32_t deadline = scaled(65000);
  const uint32_t start = orv_monotonic_ms();
  uint8_t preDone = 0, tcpMode = 0;
  int r = 0;
  for (;;) {
    if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
    bool lanUp = false;
    r = connect_step(sid, &preDone, &tcpMode, &lanUp);
    if (r >= 4 && r <= 6) break;
    if (r < 0) break;
    if (lanUp) break;
    if (orv_ms_elapsed(orv_monotonic_ms(), start) >= deadline) {
      r = OVC_ER_TIMEOUT;
      break;
    }
    timespec ts{0, 10 * 1000000L};
    nanosleep(&ts, nullptr);
  }
  if (r < 0) {
    if (r != OVC_ER_NOT_INITIALIZED) fail_cleanup(sid, r);
    return r;
  }
  success_cleanup(sid);
  return sid;
}

int OVC_Connect_ByUID(const char* uid) { return OVC_Connect_UDP(uid, -1); }

static int check_caller_sid(int sid) {
  if (sid == -64) return 0;
  if (sid < 0 || sid >= gMaxSessionNumber) return OVC_ER_INVALID_SID;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  return s && s->state == 1 ? 0 : OVC_ER_INVALID_SID;
}

int OVC_Connect_ByUID_Parallel(const char* uid, int sid) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int rc = check_caller_sid(sid);
  if (rc != 0) return rc;
  return OVC_Connect_UDP(uid, sid == -64 ? -64 : sid);
}

// ---- Non-blocking form ----------------------------------------------------------------------

// Reports the outcome once and lets the session go on failure. Runs on the task thread.
static void nb_finish(int sid, orvan_task_t* task, int state, int error) {
  OvcNbCallback cb = nullptr;
  void* user = nullptr;
  {
    OvcSessionLockGuard g;
    SessionInfo* s = ovc_session_at(sid);
    if (!s || s->nbReported) return;
    s->nbReported = 1;
    s->nbState = state;
    s->nbError = error;
    cb = s->nbCallback;
    user = s->nbUser;
    SessionTaskDeleteNode(&s->taskList, task, true);
    if (state == 2) {
      success_cleanup(sid);
    } else if (s->state == 1) {
      fail_cleanup(sid, error);
    }
  }
  if (cb) orvan_TaskMng_Defer([cb, state, error, user] { cb(state, error, user); });
}

static void ConnectNBTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  int sid = (int)(intptr_t)user;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return;
  if (final) {
    OvcSessionLockGuard g;
    s->queryState = -1;
  }
  int state;
  {
    OvcSessionLockGuard g;
    state = s->state;
  }
  if (state != 1) {
    if (state == 2) return nb_finish(sid, task, 2, 0);
    return nb_finish(sid, task, -1, state == 3 ? OVC_ER_CLOSED_BY_PEER : state == 4 ? OVC_ER_CLOSED_TIMEOUT : OVC_ER_INVALID_SID);
  }
  bool lanUp = false;
  int r = connect_step(sid, &s->nbPreDone, &s->nbTcpMode, &lanUp);
  if ((r >= 4 && r <= 6) || lanUp) return nb_finish(sid, task, 2, 0);
  if (r < 0) return nb_finish(sid, task, -1, r);
  if (final) nb_finish(sid, task, -1, OVC_ER_TIMEOUT);
}

int OVC_Connect_UDPNB(const char* uid, int sid, OVC_ConnectNBFn cb, void* user) {
  uint8_t st = gOvcState;
  if (st == 0 || st == 3) return OVC_ER_NOT_INITIALIZED;
  if (!uid_valid(uid)) return OVC_ER_INVALID_UID;
  if (sid < 0) {
    sid = ovc_get_free_session();
    if (sid < 0) return OVC_ER_NO_FREE_SESSION;
  } else {
    OvcSessionLockGuard g;
    gSessionInfo[sid].callerSid = 1;
  }
  {
    OvcSessionLockGuard g;
    SessionInfo& s = gSessionInfo[sid];
    s.nbCallback = cb;
    s.nbUser = user;
    s.nbState = s.nbError = 0;
  }
  if (cb) cb(0, 0, user);
  int rc = setup_session(sid, uid, 1);
  if (rc != 0) {
    // The outcome comes once: a failure here is the callback's last word too.
    if (cb) cb(-1, rc, user);
    ovc_session_release(&gSessionInfo[sid]);
    return rc;
  }
  {
    OvcSessionLockGuard g;
    gSessionInfo[sid].nbState = 1;
  }
  if (cb) cb(1, 0, user);
  orvan_task_t* t = nullptr;
  {
    // Made and listed under the lock, so the driver's first run finds its node.
    OvcSessionLockGuard g;
    t = orvan_TaskMng_Create(10, scaled(65000), 0, ConnectNBTaskCB, (void*)(intptr_t)sid);
    if (t) SessionTaskAddNode(&gSessionInfo[sid].taskList, 6, t);
  }
  if (!t) {
    // The outcome still comes once, and the session is let go.
    {
      OvcSessionLockGuard g;
      gSessionInfo[sid].nbReported = 1;
      fail_cleanup(sid, OVC_ER_RESOURCE);
    }
    if (cb) cb(-1, OVC_ER_RESOURCE, user);
    return OVC_ER_RESOURCE;
  }
  return sid;
}

int OVC_Connect_ByUIDNB(const char* uid, OVC_ConnectNBFn cb, void* user) { return OVC_Connect_UDPNB(uid, -1, cb, user); }

int OVC_Connect_ByUID_ParallelNB(const char* uid, int sid, OVC_ConnectNBFn cb, void* user) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int rc = check_caller_sid(sid);
  if (rc != 0) return rc;
  return OVC_Connect_UDPNB(uid, sid == -64 ? -1 : sid, cb, user);
}

void OVC_SendErrorCode(int sid, int code, const char* text, const void* data, int length) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (s) SendConnectErrorCode_inner(s, code, text, data, length, !gTrackClosedIds);
}

// ---- On-line check --------------------------------------------------------------------------

// The check works on the record it reserved and on nothing else: it never reports on, or
// releases, another connect's session.
static void online_report(SessionInfo* s, orvan_task_t* task, int result) {
  OvcCheckCallback cb = s->checkCb;
  void* user = s->checkUser;
  s->checkCb = nullptr;
  SessionTaskDeleteNode(&s->taskList, task, false);
  SessionTaskCleanAllNodes(&s->taskList);
  orvan_TaskMng_Delete(task);
  ovc_session_release(s);
  if (cb) orvan_TaskMng_Defer([cb, result, user] { cb(result, user); });
}

static void DeviceOnLineCheckCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  auto* s = static_cast<SessionInfo*>(user);
  OvcSessionLockGuard g;
  // The check's record may have gone on to a LAN connect (state 2) before this task saw the
  // answer: it still reports, or its caller would wait for ever and the record stay taken.
  if (!s || s->state == 0 || !s->checkCb) return;
  int sid = s->sid;
  int r = CheckConnectErrors(sid);
  if (r < 0) return online_report(s, task, r);
  int p = CheckPreConnectState(sid, s->failNoPermission != 0);
  if (p > 0) {
    SessionTaskCleanNodesWithType(&s->taskList, 4);
    if (p == 2 || p == 3) s->onlineCheckState = 2;
  }
  if (s->onlineCheckState == 2) return online_report(s, task, 0);
  if (p < 0) return online_report(s, task, p);
  if (final) online_report(s, task, OVC_ER_TIMEOUT);
}

int OVC_Check_Device_On_Line(const char* uid, int lifetimeMs, void (*callback)(int result, void* user), void* user) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (!uid_valid(uid)) return OVC_ER_INVALID_UID;
  int sid = ovc_get_free_session();
  if (sid < 0) return OVC_ER_NO_FREE_SESSION;
  int rc = setup_session(sid, uid, 2);
  if (rc != 0) {
    ovc_session_release(&gSessionInfo[sid]);
    return rc;
  }
  OvcSessionLockGuard g;
  SessionInfo& s = gSessionInfo[sid];
  s.checkCb = callback;
  s.checkUser = user;
  s.onlineCheckState = 1;
  orvan_task_t* t = orvan_TaskMng_Create(10, lifetimeMs > 0 ? (uint32_t)lifetimeMs : 0, 0, DeviceOnLineCheckCB, &s);
  if (!t) {
    // Not left reserved: nothing would ever release it.
    ovc_session_release(&s);
    return OVC_ER_NO_MEMORY;
  }
  SessionTaskAddNode(&s.taskList, 12, t);
  return 0;
}

// The Internet check it would run belongs to the server paths, which this build does not have.
int NetworkDetectTest() { return -1; }
