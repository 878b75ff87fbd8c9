// The device side: login to the servers over UDP (own group from the masters, hello to the
// group's servers, registration until acknowledged), the periodic registration and keep-NAT
// tasks, the answers the servers send to a device, and handing the device sessions that clients
// open to the application (listen, accept, status).
#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "ovc_state.h"
#include "ovc_wakeup.h"
#include "ovc_device_internal.h"

int ovc_master_entry(int i, char* host, size_t size, uint16_t* portNet);
int ovc_master_state();
extern "C" int _IsUIDVaild(const char* uid);
int FindGroupOfUid(const char* uid);
int ovc_group_server_count(int group);
void ovc_reflexive_table(uint8_t out[8][16], uint32_t flags[8]);
bool ovc_group_server_at(int group, int index, ovc_netaddr_t* out);
extern std::atomic<uint8_t> gHelloAnswered;
extern std::atomic<uint8_t> TcpRelayOnly;

std::atomic<bool> gLoginCalled{false};
std::atomic<int> gBadUidCount{0};
std::atomic<bool> gUidRefused{false};
std::atomic<bool> gNoPermission{false};
std::atomic<uint32_t> gLoginInfoFlags{0};
std::atomic<int32_t> gLoginReplyCount{0};
static std::atomic<int32_t> gLoginState{0};  // 1 started, 2 sockets, 8 acknowledged, 16 lost, 32 asleep, -1 failed
static std::atomic<bool> gListening{false};
static std::atomic<bool> gListenExit{false};
static char gDeviceNamePWD[2][25];
static uint16_t gRegistrationInterval = 40;
static uint32_t gRegistrationCounter = 0;
static orvan_task_t* gThread_Login = nullptr;
static orvan_task_t* gThread_KeepNAT = nullptr;
static orvan_task_t* gUpdateVPGTask = nullptr;
static std::atomic<bool> gDailyQuery{false};
static std::atomic<bool> gRenewed{false};
static std::atomic<uint32_t> gDeviceTimeScale{100};

static std::atomic<uint32_t> gLoginRoundMs{40000};
void ovc_set_device_time_scale(uint32_t percent) { gDeviceTimeScale = percent ? percent : 100; }
// The registration round's period (40 s), for tests.
void ovc_set_device_round_ms(uint32_t ms) { gLoginRoundMs = ms ? ms : 40000; }
static uint32_t scaled(uint32_t ms) { return (uint32_t)((uint64_t)ms * gDeviceTimeScale / 100u); }
uint32_t ovc_device_scaled(uint32_t ms) { return scaled(ms); }

// Every change of the login state reaches the non-blocking login's callback (once per change).
void ovc_device_report_state(int32_t state, int32_t error) {
  // The record's fields are shared by the task thread, the connection thread and the caller.
  OvcSessionLockGuard g;
  int32_t old = gLoginState.exchange(state);
  gLoginSession.nbState = state;
  gLoginSession.nbError = error;
  OvcNbCallback cb = gLoginSession.nbCallback;
  if (cb && (old != state || state == -1)) cb(state, error, gLoginSession.nbUser);
}

static void sleep_ms(uint32_t ms) {
  timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int32_t ovc_device_login_state() { return gLoginState; }

// ---- Messages -------------------------------------------------------------------------------

int ovc_build_registration(uint8_t* out, uint32_t options, uint32_t counterValue) {
  memset(out, 0, 16 + 272);
  ovc_build_head(out, 0x0105, 0x14, 272);
  uint8_t* b = out + 16;
  memcpy(b, gLocalUid, 20);
  // The local address of the server connection: this host's address with the UDP port.
  if (gsLocalNetworkInfo.valid && gsLocalNetworkInfo.count > 0) {
    memcpy(b + 20, gsLocalNetworkInfo.slots[0], 16);
    b[20] = 0;
    b[21] = 2;
    uint16_t p = htons(gLocalUdpPort);
    memcpy(b + 22, &p, 2);
  }
  ovc_put_u32(b + 36, gNatType);
  ovc_put_u32(b + 40, OVC_VERSION_WORD);
  uint8_t refl[8][16];
  uint32_t flags[8];
  ovc_reflexive_table(refl, flags);
  static const uint8_t zero[16] = {};
  if (memcmp(refl[0], zero, 16) != 0) {
    memcpy(b + 44, refl, sizeof refl);
    for (int i = 0; i < 8; ++i) ovc_put_u32(b + 172 + 4 * i, flags[i]);
  }
  ovc_put_u32(b + 204, options);
  ovc_put_u32(b + 220, counterValue);
  memcpy(b + 224, &gLocalRandomId, 2);
  memcpy(b + 226, &gRegistrationInterval, 2);
  if (gsLocalNetworkInfo.valid && gsLocalNetworkInfo.count > 0) {
    b[228] = 1;
    memcpy(b + 230, gsLocalNetworkInfo.macs, 6);
  }
  return 16 + 272;
}

extern std::atomic<bool> gTcpMode;

void SendRegistration(TConnection* conn, const char* addressText, uint16_t port, int withCallback) {
  uint8_t d[16 + 272];
  int len = ovc_build_registration(d, 0, gRegistrationCounter++);
  // The wake-up module records what goes to each server, unscrambled, before it is sent.
  if (withCallback) ovc_call_login_packet_cb(d, (uint32_t)len, addressText, port, gTcpMode ? 1 : 0);
  if (conn && addressText) ovc_SendMessage(conn, d, len, addressText, port);
}

static int own_group() { return FindGroupOfUid(gLocalUid); }
int ovc_device_own_group() { return own_group(); }

static void send_to_own_servers(void (*fn)(const char* text, uint16_t port)) {
  int g = own_group();
  ovc_netaddr_t a;
  for (int i = 0; g >= 0 && ovc_group_server_at(g, i, &a); ++i) {
    char text[64];
    uint16_t port;
    if (ovc_netaddr_to_text(a, text, sizeof text, &port)) fn(text, port);
  }
}

void ovc_device_send_registration() {
  if (!gTcpMode) {
    send_to_own_servers([](const char* text, uint16_t port) { SendRegistration(gUdpConn, text, port, 1); });
    return;
  }
  // TCP mode: the one chosen server stream carries it.
  uint8_t d[16 + 272];
  int len = ovc_build_registration(d, 0, gRegistrationCounter++);
  ovc_call_login_packet_cb(d, (uint32_t)len, "", 0, 1);
  ovc_send_on_server_tcp(d, len);
}

static void send_own_query() {
  for (int i = 0; i < 12; ++i) {
    char host[128];
    uint16_t p;
    if (ovc_master_entry(i, host, sizeof host, &p)) _OVC_SendQuryDevice5(gUdpConn, host, 0, gLocalUid, 1, p);
  }
}

void ovc_device_send_own_query() {
  if (gTcpMode) ovc_send_own_query_tcp(&gLoginSession);
  else send_own_query();
}

static void hello_every_server() {
  for (int g = 0; g < 32; ++g) {
    ovc_netaddr_t a;
    for (int i = 0; ovc_group_server_at(g, i, &a); ++i) {
      uint8_t d[16 + 8] = {};
      ovc_build_head(d, 0x8003, 0x3F, 8);
      memcpy(d + 20, &gLocalRandomId, 2);
      d[22] = 1;
      char text[64];
      uint16_t port;
      if (ovc_netaddr_to_text(a, text, sizeof text, &port)) ovc_SendMessage(gUdpConn, d, sizeof d, text, port);
    }
  }
}

// ---- Login ----------------------------------------------------------------------------------

static int query_own_group() {
  int g = own_group();
  if (g >= 0) return g;
  bool sentTcp = false;
  for (int pass = 0; pass < 50; ++pass) {
    if (gTcpMode) {
      // Each master stream gets the query once it is up.
      if (!sentTcp) sentTcp = ovc_send_own_query_tcp(&gLoginSession) > 0;
    } else if (pass % 5 == 0) {
      send_own_query();
    }
    sleep_ms(scaled(100));
    if (gUidRefused) {
      ovc_close_master_tcp(&gLoginSession);
      return OVC_ER_INVALID_UID;
    }
    if (gNoPermission.exchange(false) || gLoginSession.failNoPermission) {
      ovc_close_master_tcp(&gLoginSession);
      return OVC_ER_NO_PERMISSION;
    }
    g = own_group();
    if (g >= 0) return g;
  }
  ovc_close_master_tcp(&gLoginSession);
  return OVC_ER_MASTER_SILENT;
}

static int check_server() {
  for (int pass = 0; pass < 50; ++pass) {
    if (pass % 10 == 0) hello_every_server();
    sleep_ms(scaled(100));
    if (gHelloAnswered) return 0;
  }
  return -1;
}

static int login_to_server() {
  if (gDeviceBlocked) return OVC_ER_DEVICE_BLOCKED;
  for (uint32_t t = 0; t <= scaled(5000); t += scaled(50)) {
    if (t % scaled(1000) == 0) ovc_device_send_registration();
    sleep_ms(scaled(50));
    // The block comes with the acknowledgement: a blocked device is not logged in.
    if (gDeviceBlocked) return OVC_ER_DEVICE_BLOCKED;
    if (gLoginInfoFlags & 4) return 0;
  }
  return -1;
}

void ovc_clear_reflexive_table();

// The old UDP connection after a renewal: destroyed one round later, when no sender that read
// the global before the swap can still be using it.
static TConnection* gRetiredUdpConn = nullptr;

// True when no session or pre-session may still send through the current UDP connection.
static bool udp_conn_unused() {
  for (int i = 0; i < gSessionTableSize; ++i) {
    const SessionInfo& r = gSessionInfo[i];
    if (r.state == 0) continue;
    if (r.state == 1 || r.state == 2) return false;
    if (r.sendConn == gUdpConn || r.p2pConn == gUdpConn || r.lanConn == gUdpConn || r.relayConn == gUdpConn)
      return false;
  }
  for (int i = 0; gPreSessionInfo && i < OVC_PRESESSIONS; ++i)
    if (gPreSessionInfo[i].state != 0) return false;
  return true;
}

// A device that heard nothing for 150 rounds moves to a fresh UDP socket (a NAT mapping or a
// socket gone bad); the old one goes once nothing holds it.
static void renew_udp_socket() {
  TConnection* old = gUdpConn;
  uint16_t oldPort = gLocalUdpPort;
  gUdpConn = nullptr;
  gLocalUdpPort = 0;
  if (ovc_open_udp_socket() != 0) {
    gUdpConn = old;
    gLocalUdpPort = oldPort;
    return;
  }
  gRetiredUdpConn = old;
  ovc_clear_reflexive_table();
  gRenewed = true;
}

static void LoginRoundCB(orvan_task_t*, uint32_t, uint16_t, void*, int final) {
  if (final) return;
  if (gRetiredUdpConn && gOvcConnMgr) {
    TConnManager_ops(gOvcConnMgr)->destroyConnection(gOvcConnMgr, gRetiredUdpConn);
    gRetiredUdpConn = nullptr;
  }
  if (gDeviceBlocked) return;
  int32_t n = gLoginReplyCount.load();
  // Six passes without an answer: the registration is lost, reported once.
  if (n == 6) {
    gLoginInfoFlags &= ~4u;
    ovc_device_report_state(16, 0);
  }
  gLoginReplyCount = n + 1;
  if (!gFixedPortGiven) {
    if (n + 1 < 150) gRenewed = false;
    else if (n + 1 == 150 && !gRenewed && !gTcpMode) {
      OvcSessionLockGuard g;
      if (udp_conn_unused()) renew_udp_socket();
    }
  }
  if (gUidRefused) {
    orvan_task_t* t = gThread_Login;
    gThread_Login = nullptr;
    if (t) orvan_TaskMng_Delete(t);
    return;
  }
  ovc_device_send_registration();
}

static void KeepNatCB(orvan_task_t*, uint32_t, uint16_t, void*, int final) {
  if (final || gTcpMode) return;
  send_to_own_servers([](const char* text, uint16_t port) {
    uint8_t keep[4] = {0xCC, 0xAA, 0xAB, 0xAB};
    int len = 4;
    if (gUdpConn) gUdpConn->ops()->sendTo(gUdpConn, text, port, keep, &len);
  });
}

// Sends the own query every 20 s while the daily query is open (its answer closes it).
static std::atomic<bool> gDailySender{false};
static void DailySendQueryCB(orvan_task_t* task, uint32_t, uint16_t, void*, int final) {
  if (final) {
    gDailySender = false;
    return;
  }
  if (!gLoginCalled || !gDailyQuery) {
    gDailyQuery = false;
    gDailySender = false;
    orvan_TaskMng_Delete(task);
    return;
  }
  ovc_device_send_own_query();
}

static std::atomic<bool> gDailyRanOnce{false};
static std::atomic<uint32_t> gDailyPeriodMs{86400000};
static std::atomic<uint32_t> gDailyQueryPeriodMs{20000};
// The daily task's and its query sender's periods, for tests.
void ovc_set_device_daily_ms(uint32_t dayMs, uint32_t queryMs) {
  gDailyPeriodMs = dayMs ? dayMs : 86400000;
  gDailyQueryPeriodMs = queryMs ? queryMs : 20000;
}

static void DailyTaskCB(orvan_task_t*, uint32_t, uint16_t, void*, int final) {
  if (final) return;
  if (!gDailyRanOnce.exchange(true)) return;
  gDailyQuery = true;
  // One sender at a time: an unanswered day's sender simply goes on.
  if (gDailySender.exchange(true)) return;
  if (gTcpMode && OVC_TcpConnectToMasterNB(&gLoginSession) != 0) {
    gDailySender = false;
    return;
  }
  if (!orvan_TaskMng_Create(gDailyQueryPeriodMs, gDailyPeriodMs, 0, DailySendQueryCB, nullptr)) gDailySender = false;
}

// A sleep request ends the periodic registration; a new login starts it again.
void ovc_device_stop_login_task() {
  orvan_task_t* t = gThread_Login;
  gThread_Login = nullptr;
  if (t) orvan_TaskMng_Delete(t);
}

static void delete_login_tasks() {
  for (orvan_task_t** t : {&gThread_Login, &gThread_KeepNAT, &gUpdateVPGTask}) {
    if (*t) orvan_TaskMng_Delete(*t);
    *t = nullptr;
  }
}

int ovc_device_start_periodic_tasks(uint32_t roundMs, uint16_t interval) {
  delete_login_tasks();
  gRegistrationInterval = interval;
  gDailyRanOnce = false;
  gThread_Login = orvan_TaskMng_Create(roundMs, 0, 0, LoginRoundCB, nullptr);
  gUpdateVPGTask = orvan_TaskMng_Create(gDailyPeriodMs, 0, 0, DailyTaskCB, nullptr);
  gThread_KeepNAT = orvan_TaskMng_Create(scaled(5000), 0, 0, KeepNatCB, nullptr);
  if (!gThread_Login || !gThread_KeepNAT || !gUpdateVPGTask) return OVC_ER_RESOURCE;
  gLoginInfoFlags |= 2;
  return 0;
}

static int undo(int code) {
  gLoginInfoFlags = 0;
  ovc_device_report_state(-1, code);
  ovc_close_master_tcp(&gLoginSession);
  gLoginCalled = false;
  return code;
}

void ovc_device_store_identity(const char* uid, const char* name, const char* password) {
  memset(gLocalUid, 0, sizeof gLocalUid);
  for (int i = 0; i < 20 && uid[i]; ++i) gLocalUid[i] = (char)toupper((unsigned char)uid[i]);
  memcpy(gLoginSession.uid, gLocalUid, 20);
  gLoginSession.isDevice = 1;
  if (name && password) {
    // Always terminated, whatever the given lengths.
    snprintf(gDeviceNamePWD[0], sizeof gDeviceNamePWD[0], "%.24s", name);
    snprintf(gDeviceNamePWD[1], sizeof gDeviceNamePWD[1], "%.24s", password);
  }
}

// Masters known, or resolved now; -2 or -41 (not even a fallback server answers over TCP).
static int masters_resolved() {
  if (gOvcState == 1) return 0;
  OVC_Resolve_MasterServer_Name();
  if (ovc_resolve_master_all() == 0) return 0;
  return ovc_device_tcp_fallback() < 0 ? OVC_ER_NO_SERVER : OVC_ER_MASTER_UNRESOLVED;
}

int OVC_Device_Login(const char* uid, const char* name, const char* password) {
  if (gBadUidCount > 2) return OVC_ER_INVALID_UID;
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (gLoginCalled.exchange(true)) return OVC_ER_LOGIN_STARTED;
  if (!_IsUIDVaild(uid)) {
    gBadUidCount++;
    gLoginCalled = false;
    return OVC_ER_INVALID_UID;
  }
  gUidRefused = false;
  gNoPermission = false;
  gTrackClosedIds = true;
  ovc_close_master_tcp(&gLoginSession);
  {
    OvcSessionLockGuard g;
    SessionTaskCleanAllNodes(&gLoginSession.taskList);
    ovc_session_reset(&gLoginSession);
  }
  gTcpMode = false;
  ovc_device_store_identity(uid, name, password);
  gLoginState = 1;
  int rc = ovc_open_udp_socket();
  if (rc != 0) return undo(rc);
  gLoginState = 2;
  gLoginInfoFlags |= 1;
  gLoginReplyCount = 0;
  rc = masters_resolved();
  if (rc != 0) return undo(rc);
  int g = TcpRelayOnly ? OVC_ER_MASTER_SILENT : query_own_group();
  if (g == OVC_ER_MASTER_SILENT && !TcpRelayOnly) g = query_own_group();
  if (g == OVC_ER_MASTER_SILENT) {
    // UDP to the masters goes unanswered: over TCP to them, if anything answers over TCP.
    if (OVC_TcpConnectToMaster(&gLoginSession) < 0 && ovc_device_tcp_fallback() < 0) return undo(OVC_ER_NO_SERVER);
    g = query_own_group();
    if (g == OVC_ER_MASTER_SILENT) {
      if (gOvcState != 1 && ovc_resolve_master_all() < 0) return undo(OVC_ER_MASTER_UNRESOLVED);
      g = query_own_group();
    }
    if (g == OVC_ER_MASTER_SILENT) {
      if (OVC_TcpConnectToMaster(&gLoginSession) < 0) return undo(OVC_ER_MASTER_TCP);
      g = query_own_group();
    }
  }
  if (g < 0) return undo(g);
  ovc_close_master_tcp(&gLoginSession);
  if (ovc_group_server_count(g) == 0) return undo(OVC_ER_NO_SERVER_LIST);
  if (!gTcpMode) {
    if (check_server() < 0) return undo(-1);
    rc = login_to_server();
    if (rc != 0) return undo(rc == OVC_ER_DEVICE_BLOCKED ? rc : -1);
  } else {
    if (ovc_device_tcp_to_servers(1, 0) < 0) return undo(OVC_ER_SERVER_TCP);
    // The first registration goes at once instead of one round later.
    ovc_device_send_registration();
  }
  rc = ovc_device_start_periodic_tasks(gLoginRoundMs, 40);
  if (rc != 0) return undo(rc);
  return 0;
}

int OVC_Get_Login_Info(uint32_t* flags) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (flags) *flags = gLoginInfoFlags;
  return gLoginReplyCount;
}

void ovc_device_close_connections();
// Called at the module's end before the connection manager goes.
void ovc_device_end() {
  ovc_device_close_connections();
  if (gRetiredUdpConn && gOvcConnMgr) TConnManager_ops(gOvcConnMgr)->destroyConnection(gOvcConnMgr, gRetiredUdpConn);
  gRetiredUdpConn = nullptr;
}

// Called by the module's end: the login's tasks go with the task manager.
void ovc_wakeup_reset();
void ovc_device_reset() {
  ovc_wakeup_reset();
  gLoginCalled = false;
  gDeviceBlocked = false;
  gBadUidCount = 0;
  gListening = false;
  gLoginInfoFlags = 0;
  gLoginReplyCount = 0;
  gLoginState = 0;
  gThread_Login = gThread_KeepNAT = gUpdateVPGTask = nullptr;
  gRetiredUdpConn = nullptr;
  gDailyQuery = false;
  gDailySender = false;
  gRenewed = false;
  ovc_device_tcp_reset();
  gUidRefused = false;
  gNoPermission = false;
}

// ---- Answers to the device ------------------------------------------------------------------

static bool own_uid(const uint8_t* body, uint32_t blen) {
  return blen >= 20 && gLocalUid[0] && strncmp(reinterpret_cast<const char*>(body), gLocalUid, 20) == 0;
}

// Returns true when the message was the device's.
bool ovc_device_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn) {
  switch (h.type) {
    case 0x1005:
      // The answer to the own query closes the daily query; the group tables take it next.
      if (own_uid(body, blen)) gDailyQuery = false;
      return false;
    case 0x0008:
      if (!own_uid(body, blen)) return false;
      gLoginInfoFlags &= ~2u;
      gUidRefused = true;
      return true;
    case 0x000A:
      if (!gTrackClosedIds) return false;
      gNoPermission = true;
      return true;
    case 0x0102:
    case 0x0106:
      if (h.type == 0x0106 && blen >= 272) {
        if (body[268] & 1) gDeviceBlocked = true;
        if (body[204] & 1) {  // a sleep answer: the server keeps the sleeping registration
          ovc_call_sleep_reply_cb(text, port);
          return true;
        }
      }
      if (!own_uid(body, blen)) return true;
      // While the bed task runs, plain answers do not bring the device back to "registered".
      if (h.type == 0x0106 && ovc_sleep_task_running()) return true;
      gLoginInfoFlags |= 4;
      ovc_device_report_state(8, 0);
      gLoginReplyCount = 0;
      return true;
    case 0x0109:
      if (!own_uid(body, blen)) return true;
      gLoginInfoFlags |= 8;
      ovc_device_report_state(32, 0);
      return true;
    case 0x010A:
      if (!own_uid(body, blen)) return true;
      gLoginInfoFlags &= ~8u;
      ovc_device_report_state(8, 0);
      return true;
    case 0x0103: {
      // A client announces itself through the server: reserve a pre-session for its key.
      if (blen < 28) return true;
      RandomID key{ovc_get_u32(body + 20), ovc_get_u32(body + 24), 0};
      int32_t result = 0;
      if (!own_uid(body, blen) || IsNoFreeSession()) {
        result = -1;
      } else if (FindSessionByRandomID(&key, 1) >= 0) {
        return true;
      } else if (FindSessionByRandomID(&key, 0) < 0 && FindPreSessionByRandomID(&key, 2) < 0) {
        OvcSessionLockGuard g;
        int pre = AllocPreSession();
        if (pre < 0) return true;
        PreSessionInfo& p = gPreSessionInfo[pre];
        p.isDevice = 1;
        memcpy(p.uid, body, 20);
        p.randomId = key;
        AddPreSessionTimeoutTask(&p);
      }
      uint8_t d[16 + 32] = {};
      ovc_build_head(d, 0x0103, 0x14, 32);
      memcpy(d + 16, body, 20);
      ovc_put_u32(d + 36, (uint32_t)result);
      ovc_put_u32(d + 40, key.idLow);
      ovc_put_u32(d + 44, key.idHigh);
      (void)conn;
      if (gUdpConn) ovc_SendMessage(gUdpConn, d, sizeof d, text, port);
      return true;
    }
    default:
      return false;
  }
}

// ---- Listen and accept ----------------------------------------------------------------------

static int take_device_session() {
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    SessionInfo& s = gSessionInfo[i];
    if ((s.state == 2 || s.state == 3 || s.state == 4) && s.isDevice == 1 && !s.accepted) {
      s.accepted = 1;
      return i;
    }
  }
  return -1;
}

int OVC_Listen(unsigned timeoutMs) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (gListening) return OVC_ER_LISTENING;
  int sid = take_device_session();
  if (sid >= 0) return sid;
  if (IsNoFreeSession()) return OVC_ER_NO_FREE_SESSION;
  if (gDeviceBlocked) return OVC_ER_DEVICE_BLOCKED;
  if (gListening.exchange(true)) return OVC_ER_LISTENING;
  gListenExit = false;
  for (unsigned i = 1;; ++i) {
    if (timeoutMs && i > timeoutMs / 10) break;
    if (gListenExit) {
      gListening = false;
      return OVC_ER_LISTEN_EXIT;
    }
    sleep_ms(10);
    if (gDeviceBlocked) {
      gListening = false;
      return OVC_ER_DEVICE_BLOCKED;
    }
    sid = take_device_session();
    if (!ovc_initialized()) return OVC_ER_TIMEOUT;
    if (sid >= 0) {
      gListening = false;
      return sid;
    }
  }
  gListening = false;
  return OVC_ER_TIMEOUT;
}

void OVC_Listen_Exit(void) { gListenExit = true; }

int OVC_Accept(int* sid) {
  if (!sid) return OVC_ER_INVALID_ARG;
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  {
    OvcSessionLockGuard g;
    bool room = false;
    for (int i = 0; i < gSessionTableSize && !room; ++i) {
      const SessionInfo& s = gSessionInfo[i];
      room = s.state == 0 || ((s.state == 2 || s.state == 3 || s.state == 4) && !s.accepted);
    }
    if (!room) return OVC_ER_NO_FREE_SESSION;
  }
  if (gDeviceBlocked) return OVC_ER_DEVICE_BLOCKED;
  *sid = take_device_session();
  return 0;
}

int OVC_Get_Device_Status(OVC_DeviceStatus* out) {
  if (!out) return 0;
  memset(out, 0, sizeof *out);
  if (!ovc_initialized()) return 0;
  out->status = 1;
  if (gDeviceBlocked) {
    out->status = -1;
    out->errorCode = OVC_ER_DEVICE_BLOCKED;
    return 0;
  }
  int32_t st = gLoginState;
  if (st > 0) out->status = st == 8 ? 3 : 2;
  else if (st == -1) out->status = -2;
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    const SessionInfo& s = gSessionInfo[i];
    if (s.state == 1) out->status = 4;
    if ((s.state == 2 || s.state == 3 || s.state == 4) && s.isDevice == 1) {
      out->deviceSessions++;
      if (out->status != 4) out->status = 5;
      if (!s.accepted) out->waitingSessions++;
    }
  }
  return 0;
}
