// The OVC module: its state, start and end, settings, the main UDP socket, local network
// information and the idle callback of the connection manager.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <fcntl.h>

#include <pthread.h>

#include <deque>
#include <vector>
#include <mutex>
#include <string>

#include "ovc_predict.h"
#include "ovc_state.h"

static_assert(sizeof(OVC_SessionInfo) == 156, "OVC_SessionInfo is 156 bytes");
static_assert(sizeof(OVC_SessionInfoShort) == 92, "OVC_SessionInfoShort is 92 bytes");
static_assert(sizeof(OVC_Capability) == 48, "OVC_Capability is 48 bytes");

std::atomic<uint8_t> gOvcState{0};
int gMaxSessionNumber = 128;
int gSessionTableSize = 0;
SessionInfo* gSessionInfo = nullptr;
PreSessionInfo* gPreSessionInfo = nullptr;
SessionInfo gLoginSession;
TConnManager* gOvcConnMgr = nullptr;
TConnection* gUdpConn = nullptr;
uint16_t gLocalUdpPort = 0;
bool gFixedPortGiven = false;
uint32_t gNatType = 0;
uint16_t gLocalRandomId = 0;
int32_t gPortGuessCounter = 0;
std::atomic<int32_t> gSessionAliveTimeout{60};
uint16_t gLanSearchPort = 32761;
bool gNoTimeout = false;
uint8_t gAdvanceMode = 0, gLiteMode = 0;
std::atomic<bool> gDeviceBlocked{false};
bool gErrorUpload = false;
char gDeviceName[129];
char gLocalUid[28];
LocalNetworkInfo gsLocalNetworkInfo;
bool gSetMACAddr = false;
char gstrV4MAC[18];
SharedConn gSharedConnTable[OVC_SHARED_CONNS];
orvan_task_t* gThread_SessionAlive = nullptr;
std::atomic<int> gChannelDataSeen{0};

// The thirteen locks of the module. They are made once and live as long as the process: a thread
// still inside an OVC call while the module stops must never meet a destroyed mutex.
orv_mutex_t gUidGroupLock, gSessionTaskLock, gServerTableLock, gMasterStateLock, gConnectStateLock,
    gMasterResolveLock1, gMasterResolveLock2, gSharedConnLock, gSearchLock1, gSearchLock2,
    gClosedIdLock, gMasterTcpLock;

static MasterAddr gP2PMasterAddrv6[12];
static int gMasterResolveState = 0;
static OVC_ConnModeChangeFn gConnModeChangeCb = nullptr;
static uint8_t gLocalCapFlags[7];
static uint8_t gLocalCapability[44];
static orvan_task_t* gNetWatchTask = nullptr;
static std::atomic<uint32_t> gCapabilityWaitMs{1000};
static bool gCapabilityOpened = false;
static std::atomic<int32_t> gCapabilityStatus{0};

OVC_ConnModeChangeFn ovc_conn_mode_cb() { return gConnModeChangeCb; }

// ---- Recently closed random IDs and small helpers --------------------------------------------

bool gTrackClosedIds = false;
// Bounded: only the most recent closes matter to the device side.
static std::deque<ClosedRandomId> RecentClosedRandomIDList;
constexpr size_t kRecentClosedMax = 64;

void ovc_note_closed_random_id(const RandomID& id) {
  if (!gTrackClosedIds) return;
  orv_mutex_lock(&gClosedIdLock, 1);
  RecentClosedRandomIDList.push_back(ClosedRandomId{id, orv_monotonic_ms()});
  while (RecentClosedRandomIDList.size() > kRecentClosedMax) RecentClosedRandomIDList.pop_front();
  orv_mutex_unlock(&gClosedIdLock);
}

// Nodes 20 s old or more are dropped on the way; a node of the same kind matches by its words.
bool ovc_recent_closed_match(const RandomID& id, uint32_t maxAgeMs) {
  uint32_t now = orv_monotonic_ms();
  bool hit = false;
  orv_mutex_lock(&gClosedIdLock, 1);
  for (auto it = RecentClosedRandomIDList.begin(); it != RecentClosedRandomIDList.end();) {
    if (orv_ms_elapsed(now, it->closedAtMs) >= maxAgeMs) {
      it = RecentClosedRandomIDList.erase(it);
      continue;
    }
    if (!hit && RandomIDCompare(&it->id, &id)) hit = true;
    ++it;
  }
  orv_mutex_unlock(&gClosedIdLock);
  return hit;
}

// Test seam: a closed ID recorded as closed ageMs ago.
void ovc_note_closed_random_id_aged(const RandomID& id, uint32_t ageMs) {
  orv_mutex_lock(&gClosedIdLock, 1);
  RecentClosedRandomIDList.push_back(ClosedRandomId{id, orv_monotonic_ms() - ageMs});
  orv_mutex_unlock(&gClosedIdLock);
}

size_t ovc_recent_closed_count() {
  orv_mutex_lock(&gClosedIdLock, 1);
  size_t n = RecentClosedRandomIDList.size();
  orv_mutex_unlock(&gClosedIdLock);
  return n;
}

void PrintRecentClosedRandomID() {
  orv_mutex_lock(&gClosedIdLock, 1);
  for (const ClosedRandomId& e : RecentClosedRandomIDList)
    printf("randomID[%d], mac[%d], ver[%d]\n", (int)e.id.idLow, (int)e.id.idHigh, (int)e.id.kind);
  orv_mutex_unlock(&gClosedIdLock);
}

const char* ipAddrInt2Str(uint32_t addr) {
  static thread_local char text[16];
  snprintf(text, sizeof text, "%d.%d.%d.%d", (int)(addr & 0xFF), (int)(addr >> 8 & 0xFF),
           (int)(addr >> 16 & 0xFF), (int)(addr >> 24 & 0xFF));
  return text;
}

void make_ipv4_sockaddr(sockaddr_in* sa, const char* ip, uint16_t port) {
  if (!sa) return;
  memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = port;
  if (ip) inet_pton(AF_INET, ip, &sa->sin_addr);
}

bool is_valid_fd(int fd) { return !(fcntl(fd, F_GETFL) == -1 && errno == EBADF); }

bool ovc_initialized() {
  uint8_t s = gOvcState;
  return s == 1 || s == 2;
}

bool ovc_valid_sid(int sid) { return sid >= 0 && sid < gSessionTableSize && sid < gMaxSessionNumber; }

static void init_locks() {
  struct Named {
    orv_mutex_t* m;
    const char* name;
  };
  const Named all[] = {
      {&gSessionLock, "gSessionLock"},       {&gUidGroupLock, "uid_group"},
      {&gSessionTaskLock, "session_tasks"},  {&gServerTableLock, "server_table"},
      {&gMasterStateLock, "master_state"},   {&gConnectStateLock, "connect_state"},
      {&gMasterResolveLock1, "master_res1"}, {&gMasterResolveLock2, "master_res2"},
      {&gSharedConnLock, "shared_conn"},     {&gSearchLock1, "search1"},
      {&gSearchLock2, "search2"},            {&gClosedIdLock, "closed_ids"},
      {&gMasterTcpLock, "master_tcp"},
  };
  for (const Named& n : all)
    if (!n.m->initialised) orv_mutex_init(n.m, n.name);
}

// ---- Settings -------------------------------------------------------------------------------

void OVC_Set_Max_Session_Number(int n) {
  // The table is sized at initialisation; a change while it exists would outgrow it.
  if (n > 0 && gOvcState == 0) gMaxSessionNumber = n;
}

void OVC_Get_Version(uint32_t* out) {
  if (out) *out = OVC_VERSION_WORD;
}

int OVC_Setup_Session_Alive_Timeout(unsigned seconds) {
  if (seconds == 0) seconds = 1;
  if (seconds > 0x7FFFFFFF) seconds = 0x7FFFFFFF;
  gSessionAliveTimeout = (int32_t)seconds;
  return (int)seconds;
}

int OVC_Set_LanSearchPort(unsigned port) {
  if (port > 65535) return OVC_ER_INVALID_ARG;
  gLanSearchPort = (uint16_t)port;
  return 0;
}

int OVC_SetMACAddr(const char* mac, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return 9999;
  if (!mac || strlen(mac) > 17) return OVC_ER_INVALID_ARG;
  memset(gstrV4MAC, 0, sizeof gstrV4MAC);
  memcpy(gstrV4MAC, mac, strlen(mac));
  gSetMACAddr = true;
  return 0;
}

void OVC_Set_Device_Name(const char* name) {
  if (!name) return;
  memset(gDeviceName, 0, sizeof gDeviceName);
  strncpy(gDeviceName, name, 128);
}

void OVC_Setup_ErrorUpload(int on) { gErrorUpload = on != 0; }

void OVC_Set_Anvance_Mode(uint32_t guard, int mode) {
  if (guard == OVC_INTERNAL_GUARD) gAdvanceMode = (uint8_t)mode;
}

int OVC_IsLiteMode(uint32_t guard) { return guard == OVC_INTERNAL_GUARD ? gLiteMode : 1; }

void OVC_ConnModeChange_CallBack(OVC_ConnModeChangeFn fn) {
  if (fn && !gConnModeChangeCb) gConnModeChangeCb = fn;
}

void OVC_Set_Log_Path(void) {}

void setCapability(uint8_t* record, uint8_t v) {
  memset(record, 0, 44);
  memset(record + 44, v, 7);
}

void setCapability2(uint8_t* record, uint8_t v) {
  memset(record, 0, 32);
  memset(record + 32, v, 7);
  memset(record + 39, 0, 9);
}

uint16_t GenShortRandomID() {
  uint32_t v = (uint32_t)((uint64_t)time(nullptr) + (uint64_t)orvan_platform_rand()) % 65535u;
  return v ? (uint16_t)v : 1;
}

void setIdleTimeOut(int ms) {
  if (gOvcConnMgr) TConnManager_ops(gOvcConnMgr)->setTimeout(gOvcConnMgr, (uint32_t)ms);
}

void ovc_set_capability_wait_ms(uint32_t ms) { gCapabilityWaitMs = ms; }

// ---- Local network information --------------------------------------------------------------

uint32_t UpdateLocalNetworkInfoFrom(const orvan_net_if_info_t* info, int count) {
  LocalNetworkInfo& r = gsLocalNetworkInfo;
  memset(&r, 0, sizeof r);
  char mac_text[72];
  memset(mac_text, 0, sizeof mac_text);
  if (info) memcpy(mac_text, info->mac_text, sizeof mac_text - 1);
  if (gSetMACAddr) snprintf(mac_text, sizeof mac_text, "%s", gstrV4MAC);
  if (count > 0 && info) {
    r.valid = 1;
    r.count = count > 4 ? 4 : count;
    for (int i = 0; i < r.count; ++i) {
      uint16_t port = htons(gLocalUdpPort);
      memcpy(&r.slots[i][2], &port, 2);
      memcpy(&r.slots[i][4], &info->addr[i], 4);
    }
    unsigned m[6] = {0, 0, 0, 0, 0, 0};
    sscanf(mac_text, "%2x%*1s%2x%*1s%2x%*1s%2x%*1s%2x%*1s%2x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]);
    for (int i = 0; i < r.count; ++i) memcpy(r.macs + 6 * i, info->mac, 6);
    r.idHigh = (uint32_t)(m[2] & 0xFF) << 24 | (uint32_t)(m[3] & 0xFF) << 16 | (uint32_t)(m[4] & 0xFF) << 8 |
               (uint32_t)(m[5] & 0xFF);
    r.idLow16 = (uint32_t)(m[0] & 0xFF) << 8 | (uint32_t)(m[1] & 0xFF);
  }
  uint32_t result = r.idHigh;
  if (r.idHigh == 0) {
    r.idHigh = (uint32_t)GenShortRandomID() << 16 | GenShortRandomID();
    result = r.idHigh;
  }
  if (r.idLow16 == 0) r.idLow16 = GenShortRandomID();
  return result;
}

uint32_t UpdateLocalNetworkInfo() {
  if (gsLocalNetworkInfo.valid && gLocalUdpPort == 0) return gsLocalNetworkInfo.idHigh;
  orvan_net_if_info_t info;
  memset(&info, 0, sizeof info);
  int n = orvan_Net_GetInterfaceInfo(&info);
  return UpdateLocalNetworkInfoFrom(&info, n < 0 ? 0 : n);
}

void UpdateLocalPort() {
  if (gLocalUdpPort == 0) return;
  uint16_t port = htons(gLocalUdpPort);
  for (int i = 0; i < gsLocalNetworkInfo.count && i < 4; ++i) memcpy(&gsLocalNetworkInfo.slots[i][2], &port, 2);
}

// Refreshes the record when the host's addresses change (a new lease, a cable moved).
static void ovc_netinfo_watch_task(orvan_task_t*, uint32_t, uint16_t, void*, int) {
  orvan_net_if_info_t info;
  memset(&info, 0, sizeof info);
  int n = orvan_Net_GetInterfaceInfo(&info);
  if (n < 0) return;
  bool same = n == gsLocalNetworkInfo.count || (n == 0 && !gsLocalNetworkInfo.valid);
  for (int i = 0; same && i < n && i < 4; ++i) same = memcmp(&gsLocalNetworkInfo.slots[i][4], &info.addr[i], 4) == 0;
  if (!same) UpdateLocalNetworkInfoFrom(&info, n);
}

// ---- Main UDP socket ------------------------------------------------------------------------

static void ovc_null_ready(TConnection*, void*) {}
static void ovc_null_fail(TConnection*, int, void*) {}

// A connection the session table shares (punching sockets): one more session holds it.
void ovc_hold_shared_conn(TConnection* c) {
  if (!c) return;
  orv_mutex_lock(&gSharedConnLock, 1);
  for (auto& e : gSharedConnTable)
    if (e.conn == c) {
      e.refs++;
      break;
    }
  orv_mutex_unlock(&gSharedConnLock);
}


int ovc_open_udp_socket() {
  if (!gOvcConnMgr || gUdpConn) return 0;
  const TConnManagerOps* mops = TConnManager_ops(gOvcConnMgr);
  TConnection* c = nullptr;
  if (mops->createConnection(gOvcConnMgr, TCONN_UDP, TCONN_SERVER, 0, &c) != 0) return OVC_ER_SOCKET;
  c->ops()->setRecvCallback(c, OVC_UDP_RecvCB, nullptr);
  uint16_t port = htons(gLocalUdpPort);
  int size = 1416;
  if (TConn_setup(c, nullptr, &port, ovc_null_ready, nullptr, ovc_null_fail, nullptr) != 0 ||
      c->ops()->setOption(c, 0, &size) != 0) {
    mops->destroyConnection(gOvcConnMgr, c);
    return OVC_ER_SOCKET;
  }
  gLocalUdpPort = ntohs(port);
  UpdateLocalPort();
  gUdpConn = c;
  return 0;
}

static void close_conn(TConnection** c) {
  if (*c && gOvcConnMgr) TConnManager_ops(gOvcConnMgr)->destroyConnection(gOvcConnMgr, *c);
  *c = nullptr;
}

int ReopenP2PSocket(uint16_t port) {
  if (!gOvcConnMgr) return OVC_ER_SOCKET;
  {
    // Sessions let go of the old connections first, so none sends on a closed socket.
    OvcSessionLockGuard g;
    for (int i = 0; i < gSessionTableSize; ++i) {
      SessionInfo& s = gSessionInfo[i];
      s.p2pConn = s.lanConn = s.relayConn = s.tcpRelayConn = s.sendConn = nullptr;
      s.sendPathType = -1;
    }
    ovc_predict_stop();  // its knocks use the sockets closed here
    close_conn(&gUdpConn);
  }
  gLocalUdpPort = port;
  orv_mutex_lock(&gSharedConnLock, 1);
  for (auto& e : gSharedConnTable) {
    close_conn(&e.conn);
    e.refs = 0;
  }
  orv_mutex_unlock(&gSharedConnLock);
  return ovc_open_udp_socket();
}

void OVC_ReInitSocket(uint16_t port) {
  gNatType = 0;
  ReopenP2PSocket(port);
}

// ---- Idle callback --------------------------------------------------------------------------

void breakTimeCallBack(TConnManager*, void*) {
  if (!gChannelDataSeen.exchange(0)) return;
  setIdleTimeOut(50);
  struct Call {
    OVC_ChannelIdleFn fn;
    int sid;
    uint8_t ch;
  };
  std::vector<Call> calls;
  {
    OvcSessionLockGuard g;
    for (int i = 0; i < gSessionTableSize; ++i) {
      SessionInfo& s = gSessionInfo[i];
      for (int ch = 0; ch < OVC_CHANNELS; ++ch) {
        if (s.idleCb[ch] && s.idleFlag[ch]) {
          s.idleFlag[ch] = 0;
          calls.push_back(Call{s.idleCb[ch], i, (uint8_t)ch});
        }
      }
    }
  }
  // Outside the session lock, so an idle callback may call back into the module.
  for (const Call& c : calls) c.fn(c.sid, c.ch);
}

// ---- Capability -----------------------------------------------------------------------------

// The 0x0803 answer body: our UID, the status for the asker's UID and our flags.
void ovc_capability_answer_fields(uint8_t* body, const uint8_t* requestUid) {
  memset(body, 0, 48);
  memcpy(body, gLocalUid, 28);
  int32_t st = strncmp(reinterpret_cast<const char*>(requestUid), gLocalUid, 20) != 0 ? -1 : 1;
  for (int i = 0; i < 4; ++i) body[28 + i] = (uint8_t)((uint32_t)st >> (8 * i));
  memcpy(body + 32, gLocalCapFlags, 7);
}

void ovc_store_capability(const uint8_t* body, uint8_t tag) {
  if (tag <= 5) gCapabilityStatus = -2;
  int32_t st = (int32_t)((uint32_t)body[28] | (uint32_t)body[29] << 8 | (uint32_t)body[30] << 16 |
                         (uint32_t)body[31] << 24);
  if (st < 1) return;
  if (strncmp(reinterpret_cast<const char*>(body), gLocalUid, 20) != 0) return;
  OvcSessionLockGuard g;
  memcpy(gLocalCapFlags, body + 32, 7);
  gCapabilityStatus = st;
}

int OVC_Get_Capability(const char* text, OVC_Capability* out, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return -9999;
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (!text || strlen(text) >= sizeof gLocalUid) return OVC_ER_INVALID_ARG;  // 28 bytes with its zero
  if (!gCapabilityOpened) {
    gLocalUdpPort = 0;
    int rc = ovc_open_udp_socket();
    if (rc != 0) return rc;
    gCapabilityOpened = true;
    memset(gLocalUid, 0, sizeof gLocalUid);
    memcpy(gLocalUid, text, strlen(text));
  }
  uint8_t dgram[16 + 28] = {};
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.length = 28;
  h.type = 0x0802;
  h.route = 0x21;
  ovc_head_write(h, dgram);
  memcpy(dgram + 16, text, strlen(text));
  // The device process on this host answers; the request never leaves the loopback. The
  // connection is held while it is used, so a socket renewal cannot free it under the send.
  TConnection* conn = nullptr;
  {
    OvcSessionLockGuard g;
    conn = gUdpConn;
    if (conn) conn->ops()->incRef(conn);
  }
  if (conn) {
    ovc_SendMessage(conn, dgram, sizeof dgram, "127.0.0.1", htons(gLanSearchPort));
    conn->ops()->decRef(conn);
  }
  uint32_t wait = gCapabilityWaitMs;
  timespec ts{(time_t)(wait / 1000), (long)(wait % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
  int32_t status = gCapabilityStatus;
  if (out && status > 0) {
    memset(out, 0, sizeof *out);
    memcpy(out->uid, gLocalUid, sizeof out->uid);
    out->status = status;
    OvcSessionLockGuard g;
    memcpy(out->caps, gLocalCapFlags, 7);
  } else if (out && status < 0) {
    out->status = status;
  }
  return 0;
}

// ---- Start and end --------------------------------------------------------------------------

static void check_notimeout_file() { gNoTimeout = access("notimeout", F_OK) == 0; }

// Undoes whatever a failed initialisation had started.
static void undo_init() {
  if (gThread_SessionAlive) orvan_TaskMng_Delete(gThread_SessionAlive);
  if (gNetWatchTask) orvan_TaskMng_Delete(gNetWatchTask);
  gThread_SessionAlive = gNetWatchTask = nullptr;
  orvan_SockTaskMng_DeInit();
  if (gOvcConnMgr) {
    TConnManager_ops(gOvcConnMgr)->setBreakTimeCallBack(gOvcConnMgr, nullptr, nullptr);
    TConnManager_ops(gOvcConnMgr)->decRef(gOvcConnMgr);
    gOvcConnMgr = nullptr;
  }
  free(gSessionInfo);
  free(gPreSessionInfo);
  gSessionInfo = nullptr;
  gPreSessionInfo = nullptr;
  gSessionTableSize = 0;
}

void ovc_servers_reset();
void ovc_device_reset();
void ovc_device_end();
static int initialize(uint16_t udpPort, bool internal, const char* const masters[4]) {
  gFixedPortGiven = udpPort != 0;
  orvan_platform_srand();
  gNatType = 0;
  gSessionInfo = static_cast<SessionInfo*>(calloc((size_t)gMaxSessionNumber, sizeof(SessionInfo)));
  gPreSessionInfo = static_cast<PreSessionInfo*>(calloc(OVC_PRESESSIONS, sizeof(PreSessionInfo)));
  if (!gSessionInfo || !gPreSessionInfo) {
    undo_init();
    return OVC_ER_NO_MEMORY;
  }
  gSessionTableSize = gMaxSessionNumber;
  memset(gP2PMasterAddrv6, 0, internal ? sizeof gP2PMasterAddrv6 : 4 * sizeof(MasterAddr));
  ovc_servers_reset();
  ovc_device_reset();
  if (internal) {
    for (int i = 0; i < 4; ++i) {
      if (masters[i]) snprintf(gP2PMasterAddrv6[i].host, sizeof gP2PMasterAddrv6[i].host, "%s", masters[i]);
      const uint8_t port_bytes[2] = {0x28, 0x00};  // 10240 in network order
      memcpy(&gP2PMasterAddrv6[i].port, port_bytes, 2);
    }
  }
  memset(&gLoginSession, 0, sizeof gLoginSession);
  for (int i = 0; i < gSessionTableSize; ++i) {
    SessionInfo& s = gSessionInfo[i];
    memset(s.capability, 0, sizeof s.capability);
    memset(s.capFlags, 1, sizeof s.capFlags);
    s.channelOn[0] = 1;
    s.sendPathType = -1;
  }
  memset(gLocalCapability, 0, sizeof gLocalCapability);
  memset(gLocalCapFlags, 1, sizeof gLocalCapFlags);
  check_notimeout_file();
  gLocalRandomId = GenShortRandomID();
  memset(gLocalUid, 0, sizeof gLocalUid);
  gsLocalNetworkInfo.valid = 0;
  UpdateLocalNetworkInfo();
  init_locks();
  if (internal) {
    orv_mutex_lock(&gMasterStateLock, 1);
    gMasterResolveState = 1;
    orv_mutex_unlock(&gMasterStateLock);
  }
  if (TConnManager_create(&gOvcConnMgr) != 0) {
    gOvcConnMgr = nullptr;
    undo_init();
    return internal ? OVC_ER_SOCKET : OVC_ER_RESOURCE;
  }
  const TConnManagerOps* mops = TConnManager_ops(gOvcConnMgr);
  if (mops->setBreakTimeCallBack(gOvcConnMgr, breakTimeCallBack, nullptr) != 0 ||
      mops->setTimeout(gOvcConnMgr, 500) != 0) {
    undo_init();
    return OVC_ER_RESOURCE;
  }
  gLocalUdpPort = udpPort;
  gPortGuessCounter = orvan_platform_rand() % (internal ? 300 : 127);
  if (orvan_SockTaskMng_Init() != 0) {
    undo_init();
    return OVC_ER_RESOURCE;
  }
  gThread_SessionAlive = orvan_TaskMng_Create(1000, 0, 0, ovc_session_alive_task, nullptr);
  gNetWatchTask = orvan_TaskMng_Create(5000, 0, 0, ovc_netinfo_watch_task, nullptr);
  if (!gThread_SessionAlive || !gNetWatchTask) {
    undo_init();
    return OVC_ER_RESOURCE;
  }
  memset(gSharedConnTable, 0, sizeof gSharedConnTable);
  gCapabilityOpened = false;
  gCapabilityStatus = 0;
  gOvcState = internal ? 1 : 2;
  return 0;
}

// Serialises start and end against each other.
static std::mutex g_lifecycle_mu;

static std::string gStartMasters[2];

void ovc_set_start_masters(const char* m1, const char* m2) {
  std::lock_guard<std::mutex> g(g_lifecycle_mu);
  gStartMasters[0] = m1 ? m1 : "";
  gStartMasters[1] = m2 ? m2 : "";
}

int OVC_Initialize2(uint16_t udpPort) {
  std::lock_guard<std::mutex> g(g_lifecycle_mu);
  if (gOvcState != 0) return OVC_ER_ALREADY_INITIALIZED;
  if (!gStartMasters[0].empty() || !gStartMasters[1].empty()) {
    const char* given[4] = {gStartMasters[0].empty() ? nullptr : gStartMasters[0].c_str(),
                            gStartMasters[1].empty() ? nullptr : gStartMasters[1].c_str(), nullptr, nullptr};
    return initialize(udpPort, true, given);
  }
  const char* none[4] = {nullptr, nullptr, nullptr, nullptr};
  return initialize(udpPort, false, none);
}

int OVC_Initialize(void) { return OVC_Initialize2(0); }

int OVC_Initialize_Internal(uint16_t udpPort, const char* m1, const char* m2, const char* m3,
                            const char* m4, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return 99999;
  std::lock_guard<std::mutex> g(g_lifecycle_mu);
  if (gOvcState != 0) return OVC_ER_ALREADY_INITIALIZED;
  if (!m1 && !m2) return OVC_ER_NO_MASTER;
  const char* masters[4] = {m1, m2, m3, m4};
  return initialize(udpPort, true, masters);
}

// The module's own threads: ending the module from one of them would wait for itself.
static bool on_module_thread() {
  char name[32] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return false;
  return strcmp(name, "ovc_conn_hdlr") == 0 || strcmp(name, "ovc_sktaskmgr") == 0;
}

int OVC_DeInitialize(void) {
  if (on_module_thread()) return OVC_ER_FAIL;
  std::lock_guard<std::mutex> g(g_lifecycle_mu);
  uint8_t st = gOvcState;
  if (st == 0 || st == 3) return OVC_ER_NOT_INITIALIZED;
  if (!gOvcConnMgr) return OVC_ER_RESOURCE;
  gOvcState = 3;
  orvan_TaskMng_Delete(gThread_SessionAlive);
  orvan_TaskMng_Delete(gNetWatchTask);
  gThread_SessionAlive = gNetWatchTask = nullptr;
  {
    // Each session's close callbacks run once (a close may have run them already), outside the
    // session lock so they may call back into the module.
    struct Pending {
      OVC_ChannelCloseFn fn;
      int sid;
      uint8_t ch;
    };
    std::vector<Pending> calls;
    {
      OvcSessionLockGuard lk;
      for (int i = 0; i < gSessionTableSize; ++i) {
        SessionInfo& s = gSessionInfo[i];
        if (s.state == 0 || s.closeNotified) continue;
        s.closeNotified = 1;
        for (int ch = 0; ch < OVC_CHANNELS; ++ch)
          if (s.closeCb[ch]) calls.push_back(Pending{s.closeCb[ch], i, (uint8_t)ch});
      }
    }
    for (const Pending& p : calls) p.fn(p.sid, p.ch, 1);
  }
  ovc_lan_reset();
  ovc_connect_reset();
  ovc_predict_reset();
  // Session tasks and reliable queues go while the task manager still runs.
  ovc_sessions_drop_tasks();
  ovc_device_end();  // the device's streams, before the login record is cleared
  ovc_session_release(&gLoginSession);
  orvan_SockTaskMng_DeInit();
  close_conn(&gUdpConn);
  orv_mutex_lock(&gSharedConnLock, 1);
  for (auto& e : gSharedConnTable) {
    close_conn(&e.conn);
    e.refs = 0;
  }
  orv_mutex_unlock(&gSharedConnLock);
  // Sessions let go of their connections before the manager goes.
  ovc_sessions_release_all(1);
  const TConnManagerOps* mops = TConnManager_ops(gOvcConnMgr);
  mops->setBreakTimeCallBack(gOvcConnMgr, nullptr, nullptr);
  mops->decRef(gOvcConnMgr);
  gOvcConnMgr = nullptr;
  {
    OvcSessionLockGuard lk;
    free(gSessionInfo);
    free(gPreSessionInfo);
    gSessionInfo = nullptr;
    gPreSessionInfo = nullptr;
    gSessionTableSize = 0;
  }
  orv_mutex_lock(&gMasterStateLock, 1);  // a resolver thread may still read it
  gMasterResolveState = 0;
  orv_mutex_unlock(&gMasterStateLock);
  gTrackClosedIds = false;
  orv_mutex_lock(&gClosedIdLock, 1);
  RecentClosedRandomIDList.clear();  // the next start knows no closed sessions
  orv_mutex_unlock(&gClosedIdLock);
  gNatType = 0;
  gLocalUdpPort = 0;
  gChannelDataSeen = 0;
  gOvcState = 0;
  return 0;
}

MasterAddr* ovc_master_table() { return gP2PMasterAddrv6; }
int* ovc_master_state_slot() { return &gMasterResolveState; }

// A master entry's address text and port (network order); false for an unused entry. Read under
// the master table's lock.
int ovc_master_entry(int i, char* host, size_t size, uint16_t* portNet) {
  if (i < 0 || i >= 12 || !host || size == 0) return 0;
  orv_mutex_lock(&gMasterStateLock, 1);
  const MasterAddr& m = gP2PMasterAddrv6[i];
  bool used = m.port != 0 && m.host[0] != 0;
  if (used) {
    snprintf(host, size, "%s", m.host);
    if (portNet) *portNet = m.port;
  }
  orv_mutex_unlock(&gMasterStateLock);
  return used ? 1 : 0;
}
