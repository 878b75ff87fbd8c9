// LAN search: the request and its send queue, the directed broadcasts, the three search calls,
// the background search, the client's handling of answers (results and the LAN connect) and the
// device's token.
//
// The result collection belongs to one call at a time. It is set up, written and taken down
// under the search lock, so an answer that arrives after a call returned never reaches the
// caller's array.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "ovc_state.h"

// ---- Interfaces and broadcasts ---------------------------------------------------------------

static std::atomic<OvcInterfaceSource> gInterfaceSource{nullptr};
void ovc_set_interface_source(OvcInterfaceSource fn) { gInterfaceSource = fn; }

static TConnection* hold_udp() {
  OvcSessionLockGuard g;
  TConnection* c = gUdpConn;
  if (c) c->ops()->incRef(c);
  return c;
}

int Broadcast_Message_By_Netmask(TConnection* conn, uint8_t* datagram, int length, uint16_t port) {
  if (!conn || !datagram) return -1;
  orvan_net_if_info_t info;
  memset(&info, 0, sizeof info);
  OvcInterfaceSource src = gInterfaceSource;
  int n = src ? src(&info) : orvan_Net_GetInterfaceInfo(&info);
  int sent = 0;
  for (int i = 0; i < n && i < 4; ++i) {
    if (info.addr[i] == 0) continue;
    in_addr b;
    b.s_addr = info.addr[i] | ~info.mask[i];
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &b, text, sizeof text)) continue;
    // The send scrambles a copy; the caller's datagram is reused for the next network.
    if (ovc_SendMessage(conn, datagram, length, text, port) > 0) ++sent;
  }
  return sent;
}

// ---- Requests -------------------------------------------------------------------------------

static std::atomic<int> gLanToken{0};
int ovc_lan_token() {
  int t = gLanToken;
  if (t == 0) {
    int drawn = 1 + orvan_platform_rand() % 15;
    gLanToken.compare_exchange_strong(t, drawn);
    t = gLanToken;
  }
  return t;
}

void SendLanSearchRequest(uint8_t marker, const char* uid, const RandomID* key, int kind, const char* addressText,
                          uint16_t port, int token) {
  uint8_t d[16 + 72] = {};
  bool tokened = kind == 0 && token != 0;
  int len = tokened ? 72 : 52;
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.type = tokened ? 0x0603 : 0x0601;
  h.route = 0x21;
  h.length = (uint16_t)len;
  h.reserved = marker;
  ovc_head_write(h, d);
  uint8_t* b = d + 16;
  if (uid) memcpy(b, uid, strnlen(uid, 20));
  ovc_put_u32(b + 36, OVC_VERSION_WORD);
  if (key) {
    ovc_put_u32(b + 40, key->idLow);
    ovc_put_u32(b + 44, key->idHigh);
  }
  ovc_put_u32(b + 48, (uint32_t)kind);
  if (tokened) ovc_put_u32(b + 52, (uint32_t)token);
  TConnection* c = hold_udp();
  if (!c) return;
  if (addressText) ovc_SendMessage(c, d, 16 + len, addressText, port);
  else Broadcast_Message_By_Netmask(c, d, 16 + len, htons(gLanSearchPort));
  c->ops()->decRef(c);
}

// ---- Send queue -----------------------------------------------------------------------------

namespace {
struct SendEntry {
  RandomID key;
  char uid[20];
  int32_t kind;
  int32_t delay;
  char target[64];
  uint16_t port;
  int32_t token;
  uint8_t inUse, hasTarget, hasKey, answer;
};
}  // namespace
static SendEntry gSendLANSearchArray[100];
static int gnSendLANSearchCount = 0;
static orvan_task_t* gtSendLANSearchTask = nullptr;
static orv_mutex_t gLanSendLock;
static std::atomic<bool> gLanSendLockMade{false};

static void send_lock() {
  if (!gLanSendLockMade.exchange(true)) orv_mutex_init(&gLanSendLock, "lan_send");
  orv_mutex_lock(&gLanSendLock, 1);
}
static void send_unlock() { orv_mutex_unlock(&gLanSendLock); }

static void SendLanSearchTaskCB(orvan_task_t* task, uint32_t, uint16_t, void*, int) {
  SendEntry due[100];
  int n = 0;
  send_lock();
  if (gnSendLANSearchCount == 0) {
    if (gtSendLANSearchTask == task) gtSendLANSearchTask = nullptr;
    send_unlock();
    orvan_TaskMng_Delete(task);
    return;
  }
  for (SendEntry& e : gSendLANSearchArray) {
    if (!e.inUse) continue;
    if (e.delay > 0) {
      e.delay--;
      continue;
    }
    if (gnSendLANSearchCount > 0) gnSendLANSearchCount--;
    due[n++] = e;
    e.inUse = 0;
  }
  send_unlock();
  for (int i = 0; i < n; ++i) {
    const SendEntry& e = due[i];
    if (e.answer) {
      SendLanSearchAnswer(e.target, e.port, e.hasKey ? &e.key : nullptr, e.kind == 1 ? 1 : 0);
    } else {
      char uid[21] = {};
      memcpy(uid, e.uid, 20);
      SendLanSearchRequest(0, uid[0] ? uid : nullptr, e.hasKey ? &e.key : nullptr, e.kind,
                           e.hasTarget ? e.target : nullptr, e.port, e.token);
    }
  }
}

void AddSendLANSearch(const char* uid, const RandomID* key, int kind, const char* addressText, uint16_t port,
                      int delay, uint8_t answer, int token) {
  send_lock();
  SendEntry* free_slot = nullptr;
  for (SendEntry& e : gSendLANSearchArray) {
    if (!e.inUse) {
      free_slot = &e;
      break;
    }
    bool same = e.kind == kind && e.token == token && e.answer == answer &&
                (!key || (e.hasKey && RandomIDCompare(&e.key, key))) &&
                (!addressText || (e.hasTarget && strcmp(e.target, addressText) == 0 && e.port == port)) &&
                (!uid || strncmp(e.uid, uid, 20) == 0);
    if (same) {
      send_unlock();
      return;
    }
  }
  if (free_slot) {
    SendEntry& e = *free_slot;
    memset(&e, 0, sizeof e);
    if (key) e.key = *key, e.hasKey = 1;
    if (uid) memcpy(e.uid, uid, strnlen(uid, 20));
    e.kind = kind;
    e.delay = delay;
    if (addressText) {
      snprintf(e.target, sizeof e.target, "%s", addressText);
      e.hasTarget = 1;
    }
    e.port = port;
    e.token = token;
    e.answer = answer;
    e.inUse = 1;
    gnSendLANSearchCount++;
  }
  bool need_task = gtSendLANSearchTask == nullptr;
  send_unlock();
  if (need_task) {
    orvan_task_t* t = orvan_TaskMng_Create(10, 0, 0, SendLanSearchTaskCB, nullptr);
    send_lock();
    if (gtSendLANSearchTask == nullptr) {
      gtSendLANSearchTask = t;
      t = nullptr;
    }
    send_unlock();
    if (t) orvan_TaskMng_Delete(t);
  }
}

// ---- Result collection ----------------------------------------------------------------------

namespace {
enum ArrayKind { kNone, kFixed42, kFixed174, kBackground };
struct Collection {
  ArrayKind kind = kNone;
  void* array = nullptr;
  int capacity = 0;
  int count = 0;
  bool collecting = false;
};
}  // namespace
static Collection gCol;            // the synchronous calls, under gSearchLock1
static Collection gBg;             // the background search, under gSearchLock2
static bool gBgRunning = false;    // under gSearchLock2
static orvan_task_t* gtSearchDeviceTask = nullptr;
static uint32_t gnSearchDeviceChannelCount = 0;
using SearchDeviceCB = void (*)(OVC_SearchDeviceEntry* entries, int count);
static SearchDeviceCB gSearchDeviceCB = nullptr;

static bool mapped_to_v4(const char* text, char* out, size_t size) {
  ovc_netaddr_t a;
  if (!ovc_text_to_netaddr(text, 0, &a)) return false;
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(a.addr, mapped, 12) != 0) return false;
  return inet_ntop(AF_INET, a.addr + 12, out, (socklen_t)size) != nullptr;
}

static void copy_text(char* dst, size_t field, const char* src) {
  memset(dst, 0, field);
  size_t n = strnlen(src, field - 1);
  memcpy(dst, src, n);
}

// Stores into the array of the call that runs; the caller holds the lock of that collection.
static void add_result_locked(Collection& c, const char* uid, const char* text, uint16_t portHost, const char* name) {
  if (!c.collecting || !c.array) return;
  if (c.kind == kFixed42 || c.kind == kFixed174) {
    char v4[INET_ADDRSTRLEN];
    if (!mapped_to_v4(text, v4, sizeof v4)) return;  // IPv6 answers are not kept in these arrays
    if (c.count >= c.capacity) return;
    for (int i = 0; i < c.count; ++i) {
      const char* e = static_cast<char*>(c.array) + (size_t)i * (c.kind == kFixed42 ? 42 : 174);
      uint16_t p;
      memcpy(&p, e + 38, 2);
      if (strncmp(e, uid, 20) == 0 && strcmp(e + 21, v4) == 0 && p == portHost) return;
    }
    char* e = static_cast<char*>(c.array) + (size_t)c.count * (c.kind == kFixed42 ? 42 : 174);
    copy_text(e, 21, uid);
    copy_text(e + 21, 17, v4);
    memcpy(e + 38, &portHost, 2);
    if (c.kind == kFixed174) copy_text(e + 40, 133, name);
    c.count++;
    return;
  }
  // Background: a growing array of 208-byte entries.
  auto* a = static_cast<OVC_SearchDeviceEntry*>(c.array);
  for (int i = 0; i < c.count; ++i)
    if (strncmp(a[i].uid, uid, 20) == 0 && strcmp(a[i].ip, text) == 0 && a[i].port == portHost) return;
  if (c.count == c.capacity) {
    auto* grown = static_cast<OVC_SearchDeviceEntry*>(calloc((size_t)c.capacity + 10, sizeof(OVC_SearchDeviceEntry)));
    if (!grown) return;
    memcpy(grown, a, (size_t)c.count * sizeof *grown);
    free(a);
    c.array = a = grown;
    c.capacity += 10;
  }
  OVC_SearchDeviceEntry& e = a[c.count];
  memset(&e, 0, sizeof e);
  copy_text(e.uid, 21, uid);
  copy_text(e.ip, 47, text);
  e.port = portHost;
  copy_text(e.name, 133, name);
  e.isNew = 1;
  if (gSearchDeviceCB) {
    gSearchDeviceCB(a, c.count + 1);
    e.isNew = 0;
  }
  c.count++;
}

// True when a search call or the background search takes this answer.
static bool feed_results(const char* uid, const char* text, uint16_t port, const char* name, bool* fixedCall) {
  bool any = false;
  orv_mutex_lock(&gSearchLock1, 1);
  if (gCol.collecting) {
    add_result_locked(gCol, uid, text, ntohs(port), name);
    any = true;
    *fixedCall = true;
  }
  orv_mutex_unlock(&gSearchLock1);
  orv_mutex_lock(&gSearchLock2, 1);
  if (gBgRunning && gBg.array) {
    add_result_locked(gBg, uid, text, ntohs(port), name);
    any = true;
  }
  orv_mutex_unlock(&gSearchLock2);
  return any;
}

// ---- Answers on the client ------------------------------------------------------------------

void ovc_lan_client_answer(const OVC_Head& h, const uint8_t* b, const char* text, uint16_t port, TConnection* conn) {
  uint32_t blen = h.length;
  char uid[21] = {};
  memcpy(uid, b, blen < 20 ? blen : 20);
  int32_t result = blen >= 184 ? (int32_t)ovc_get_u32(b + 180) : 0;
  if (blen < 184 || result == 0) {
    char name[133] = {};
    bool takes = true;
    if (blen >= 168) {
      // The name runs from 36 to the end of the body at most; a 168-byte answer's last byte ends it.
      size_t room = blen - 36 - (blen < 184 ? 1 : 0);
      if (room > 132) room = 132;
      memcpy(name, b + 36, strnlen(reinterpret_cast<const char*>(b + 36), room));
    } else if (blen == 36) {
      name[0] = ' ';
    } else {
      takes = false;
    }
    bool fixedCall = false;
    if (takes && feed_results(uid, text, port, name, &fixedCall) && fixedCall) return;
  }
  if (blen < 184) return;  // the old device's short answer leads to a knock, not served here
  RandomID key{ovc_get_u32(b + 172), ovc_get_u32(b + 176), 0};
  if (IsRecentClosedRandomID((uint64_t)key.idHigh << 32 | key.idLow, 0)) return;
  bool connected = false;
  int sid = -1;
  {
    OvcSessionLockGuard g;
    if (!gSessionInfo) return;
    sid = FindSessionByRandomID(&key, 2);
    if (sid < 0) return;
    SessionInfo& s = gSessionInfo[sid];
    if (strncmp(s.uid, uid, 20) != 0) return;
    if (s.onlineCheckState == 1 || s.onlineCheckState == 2) {
      s.onlineCheckState = 2;
      return;
    }
    if (result == 3) {
      if (s.lanState == 1) {
        s.failSessionLimit = 1;
        s.remoteProtocolVersion = h.tag;
      }
      return;
    }
    if (result != 1) return;
    if (s.lanState == -1 || s.lanState == 0 || s.lanState == 2 || s.lanState == 6) return;
    if (s.connectStrategy == 2 ? !(s.peerReached == 1 && s.state == 1) : (s.state == 3 || s.state == 4)) return;
    if (h.route & 0x0200) {
      if (h.tag < 7) s.failDeviceRefused = 1;
      else s.failSessionLimit = 1;
      s.remoteProtocolVersion = h.tag;
      return;
    }
    SendLanSearchRequest(0, s.uid, &s.randomId, 2, text, port, 0);
    if (s.lanState == 6) return;
    if (s.state == 1) {
      s.peerReached = 2;
      s.rttValid = 1;
      s.rtt = orv_monotonic_ms() - s.startMs;
      s.state = 2;
      if (IsPrivateAddress(text) && gsConnectOption[3] == 0) s.connectMode = 2;
      memcpy(s.uid, uid, 20);
      s.txCount[0] = s.rxCount[0] = 0;
      s.remoteProtocolVersion = h.tag;
      s.isDevice = 0;
      s.peSupported = (h.flags & OVC_FLAG_PE_AWARE) ? 1 : 0;
      s.remoteVersion = ovc_get_u32(b + 168);
    }
    sockaddr_storage ss;
    if (ovc_text_to_sockaddr(text, port, &ss)) ovc_set_send_path(0, sid, conn, reinterpret_cast<sockaddr*>(&ss));
    s.lanState = 6;
    connected = true;
  }
  if (connected) SendConnectResult(sid, 0, 0, nullptr, 0, false);
}

// ---- Synchronous search calls ---------------------------------------------------------------

static void sleep_ms(int ms) {
  timespec ts{ms / 1000, (long)(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

static int begin_call(ArrayKind kind, void* array, int capacity, size_t entry) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int rc = ovc_open_udp_socket();
  if (rc != 0) return rc;
  orv_mutex_lock(&gSearchLock1, 1);
  if (gCol.collecting) {
    // One call at a time: a second caller waits for nothing and finds nothing.
    orv_mutex_unlock(&gSearchLock1);
    return 1;
  }
  memset(array, 0, (size_t)capacity * entry);
  gCol.kind = kind;
  gCol.array = array;
  gCol.capacity = capacity;
  gCol.count = 0;
  gCol.collecting = true;
  orv_mutex_unlock(&gSearchLock1);
  return 0;
}

static int end_call() {
  orv_mutex_lock(&gSearchLock1, 1);
  int n = gCol.count;
  gCol = Collection{};
  orv_mutex_unlock(&gSearchLock1);
  return n;
}

static int run_search(ArrayKind kind, void* results, int capacity, int timeoutMs, size_t entry) {
  if (!results || capacity <= 0 || timeoutMs <= 0) return OVC_ER_INVALID_ARG;
  int rc = begin_call(kind, results, capacity, entry);
  if (rc < 0) return rc;
  if (rc == 1) return 0;
  int rounds = (timeoutMs + 49) / 50;
  for (int i = 0; i < rounds; ++i) {
    SendLanSearchRequest(1, nullptr, nullptr, 0, nullptr, 0, i % 16);
    sleep_ms(50);
  }
  return end_call();
}

int OVC_Lan_Search(OVC_LanSearchEntry* results, int capacity, int timeoutMs) {
  // Stored entries already carry the dotted IPv4 form.
  return run_search(kFixed42, results, capacity, timeoutMs, sizeof(OVC_LanSearchEntry));
}

int OVC_Lan_Search2(OVC_LanSearchEntry2* results, int capacity, int timeoutMs) {
  return run_search(kFixed174, results, capacity, timeoutMs, sizeof(OVC_LanSearchEntry2));
}

int OVC_Lan_Search2_Ex(OVC_LanSearchEntry2* results, int capacity, int timeoutMs, int intervalMs) {
  if (!results || capacity <= 0 || timeoutMs <= 0 || intervalMs <= 0) return OVC_ER_INVALID_ARG;
  int rc = begin_call(kFixed174, results, capacity, sizeof(OVC_LanSearchEntry2));
  if (rc < 0) return rc;
  if (rc == 1) return 0;
  int remaining = timeoutMs;
  for (;;) {
    SendLanSearchRequest(1, nullptr, nullptr, 0, nullptr, 0, 0);
    sleep_ms(intervalMs);
    if (intervalMs >= remaining) break;
    remaining -= intervalMs;
  }
  return end_call();
}

// ---- Background search ----------------------------------------------------------------------

static void SearchDeviceCleanup() {
  orvan_task_t* t = nullptr;
  orv_mutex_lock(&gSearchLock2, 1);
  free(gBg.array);
  gBg = Collection{};
  gnSearchDeviceChannelCount = 0;
  gSearchDeviceCB = nullptr;
  t = gtSearchDeviceTask;
  gtSearchDeviceTask = nullptr;
  gBgRunning = false;
  orv_mutex_unlock(&gSearchLock2);
  if (t) orvan_TaskMng_Delete(t);
}

static void SearchDeviceTaskCB(orvan_task_t* task, uint32_t, uint16_t, void*, int final) {
  if (final) {
    orv_mutex_lock(&gSearchLock2, 1);
    if (gtSearchDeviceTask == task) gtSearchDeviceTask = nullptr;
    gBgRunning = false;
    orv_mutex_unlock(&gSearchLock2);
    return;
  }
  orv_mutex_lock(&gSearchLock2, 1);
  int token = (int)(gnSearchDeviceChannelCount & 15);
  gnSearchDeviceChannelCount++;
  orv_mutex_unlock(&gSearchLock2);
  SendLanSearchRequest(1, nullptr, nullptr, 0, nullptr, 0, token);
}

int OVC_Search_Device_Start(int lifetimeMs, int periodMs) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (lifetimeMs < 0 || periodMs < 0) return OVC_ER_INVALID_ARG;
  orv_mutex_lock(&gSearchLock2, 1);
  if (gBgRunning || gBg.array) {
    bool running = gBgRunning;
    orv_mutex_unlock(&gSearchLock2);
    if (running) return OVC_ER_SEARCH_RUNNING;
    SearchDeviceCleanup();  // results of an ended search nobody read
    orv_mutex_lock(&gSearchLock2, 1);
  }
  int rc = ovc_open_udp_socket();
  if (rc != 0) {
    orv_mutex_unlock(&gSearchLock2);
    return rc;
  }
  gBg.kind = kBackground;
  gBg.capacity = 10;
  gBg.count = 0;
  gBg.collecting = true;
  gBg.array = calloc(10, sizeof(OVC_SearchDeviceEntry));
  gBgRunning = gBg.array != nullptr;
  orv_mutex_unlock(&gSearchLock2);
  if (!gBgRunning) {
    SearchDeviceCleanup();
    return OVC_ER_NO_MEMORY;
  }
  // Tasks are made outside the search lock: the task thread takes gSessionLock before it. The
  // session lock is held from the creation to the decision below: tasks run only under it, so a
  // short lifetime cannot end the task (and free it) before its handle is stored or deleted.
  uint32_t period = periodMs == 0 ? 50 : periodMs < 10 ? 10 : (uint32_t)periodMs;
  OvcSessionLockGuard hold;
  orvan_task_t* t = orvan_TaskMng_Create(period, (uint32_t)lifetimeMs, 0, SearchDeviceTaskCB, nullptr);
  if (!t) {
    SearchDeviceCleanup();
    return OVC_ER_NO_MEMORY;
  }
  orv_mutex_lock(&gSearchLock2, 1);
  bool keep = gBgRunning && !gtSearchDeviceTask;
  if (keep) gtSearchDeviceTask = t;
  orv_mutex_unlock(&gSearchLock2);
  if (!keep) orvan_TaskMng_Delete(t);
  return 0;
}

int OVC_Search_Device_Result(OVC_SearchDeviceEntry* out, int capacity, int mode) {
  orv_mutex_lock(&gSearchLock2, 1);
  if ((mode != 0 && mode != 1) || !out || capacity <= 0) {
    orv_mutex_unlock(&gSearchLock2);
    return OVC_ER_INVALID_ARG;
  }
  if (!gBgRunning) {
    orv_mutex_unlock(&gSearchLock2);
    SearchDeviceCleanup();
    return OVC_ER_SEARCH_NOT_RUNNING;
  }
  auto* a = static_cast<OVC_SearchDeviceEntry*>(gBg.array);
  int copied = 0;
  for (int j = 0; j < gBg.count && a && copied < capacity; ++j) {
    if (mode == 1 || a[j].isNew == 1) {
      out[copied] = a[j];
      char v4[INET_ADDRSTRLEN];
      if (mapped_to_v4(a[j].ip, v4, sizeof v4)) copy_text(out[copied].ip, 47, v4);
      ++copied;
    }
    a[j].isNew = 0;
  }
  orv_mutex_unlock(&gSearchLock2);
  return copied;
}

int OVC_Search_Device_Stop(void) {
  orv_mutex_lock(&gSearchLock2, 1);
  bool running = gBgRunning;
  orv_mutex_unlock(&gSearchLock2);
  if (!running) return OVC_ER_SEARCH_NOT_RUNNING;
  SearchDeviceCleanup();
  return 0;
}

void ovc_lan_reset() {
  SearchDeviceCleanup();
  // Under the session lock the send task cannot run: otherwise, seeing the queue emptied, it
  // could delete and free itself between our read of its pointer and our delete. The order
  // (session, then send) is the task's own.
  OvcSessionLockGuard g;
  send_lock();
  orvan_task_t* t = gtSendLANSearchTask;
  gtSendLANSearchTask = nullptr;
  memset(gSendLANSearchArray, 0, sizeof gSendLANSearchArray);
  gnSendLANSearchCount = 0;
  send_unlock();
  if (t) orvan_TaskMng_Delete(t);
}
