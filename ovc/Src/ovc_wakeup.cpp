// Wake-up and sleep. Device side: every registration the device sends is kept as a scrambled
// keep-alive entry per server, for a low-power companion that replays them while the device
// sleeps; a sleep request replaces the periodic registration with a short bed task that sends the
// sleep-mode registration until every server of the group answered. Client side: the wake-up
// request for a UID.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "ovc_state.h"
#include "ovc_wakeup.h"
#include "ovc_device_internal.h"

int FindGroupOfUid(const char* uid);
bool ovc_group_server_at(int group, int index, ovc_netaddr_t* out);
int ovc_build_registration(uint8_t* out, uint32_t options, uint32_t counterValue);
void ovc_device_stop_login_task();
extern std::atomic<uint8_t> AutoWakeUp;

std::atomic<bool> gTcpMode{false};  // the device reaches its servers over TCP

namespace {

std::atomic<OvcLoginPacketFn> gLoginPacketCb{nullptr};
std::atomic<OvcSleepReplyFn> gSleepReplyCb{nullptr};

uint8_t WakeUpActive = 0;
uint8_t WakeUpTcpMode = 0;
KeepAliveEntry* KeepAliveEntries = nullptr;
int32_t KeepAliveCount = 0;
// The recorded entries own their array; a sleep request hands the application a new one.
int32_t RecordedCount = 0;
// Entries of the array a sleep request handed out (freed by this count, not the recorded one's).
int32_t HandedCount = 0;
struct SleepServer {
  uint64_t addr;
  uint16_t port;
  uint8_t pad[6];
};
SleepServer SleepServers[32];
std::atomic<int32_t> SleepServerCount{0};
int32_t* SleepRandomId = nullptr;
OvcSleepPacketFn SleepCallback = nullptr;
void (*BedFinishCallback)() = nullptr;
std::atomic<uint8_t> BedDone{0};
int32_t* BedRandomId = nullptr;
std::atomic<orvan_task_t*> gThread_Sleep_Login{nullptr};
orv_mutex_t* wake_lock() {
  // The module's globals are touched by the sender, the connection thread and the task thread.
  static orv_mutex_t m;
  static bool once = (orv_mutex_init(&m, "wakeup"), true);
  (void)once;
  return &m;
}
struct WakeLock {
  WakeLock() { orv_mutex_lock(wake_lock(), 1); }
  ~WakeLock() { orv_mutex_unlock(wake_lock()); }
};

const char kWakeWord[] = "HwdyHvFda!!!";  // 12 characters

KeepAliveEntry* NewKeepAliveEntry(KeepAliveEntry* e, uint32_t length) {
  memset(e, 0, sizeof *e);
  e->datagram = static_cast<uint8_t*>(calloc(1, length ? length : 1));
  e->block = static_cast<uint8_t*>(calloc(1, 48));
  if (!e->datagram || !e->block) {
    free(e->datagram);
    free(e->block);
    memset(e, 0, sizeof *e);
    return nullptr;
  }
  return e;
}

void free_entries(KeepAliveEntry* entries, int32_t count) {
  if (!entries) return;
  for (int32_t i = 0; i < count; ++i) {
    free(entries[i].datagram);
    free(entries[i].block);
  }
  free(entries);
}

}  // namespace

void BuildKeepAliveEntry(KeepAliveEntry* e, const uint8_t* datagram, uint32_t length, uint32_t serverIPv4,
                         uint16_t serverPort) {
  e->serverAddr = serverIPv4;
  e->serverPort = serverPort;
  e->length = length;
  e->fixed25 = 25;
  e->blockLength = 48;
  uint8_t copy[OVC_DATAGRAM_MAX];
  uint32_t n = length < sizeof copy ? length : (uint32_t)sizeof copy;
  memcpy(copy, datagram, n);
  if (n >= OVC_HEAD_SIZE) {
    copy[3] |= OVC_FLAG_PE_AWARE;
    OVC_Head h = ovc_head_read(copy);
    // A recorded registration is replayed on the sleeping device's behalf: it says so.
    if (h.type == 0x0105 && n >= OVC_HEAD_SIZE + 208) copy[OVC_HEAD_SIZE + 204] |= 1;
  }
  uint16_t scrambled = (n >= 4 && (copy[3] & OVC_FLAG_PARTIAL)) ? 64 : (uint16_t)n;
  if (scrambled > n) scrambled = (uint16_t)n;
  LuffyCore(copy, e->datagram, (uint16_t)n, scrambled);
  uint8_t block[48] = {};
  if (n >= OVC_HEAD_SIZE + 20) memcpy(block + 16, datagram + OVC_HEAD_SIZE, 20);
  memcpy(block + 36, kWakeWord, 12);
  uint8_t out[48];
  LuffyCore(block, out, 48, 48);
  memset(e->block, 0, 48);
  memcpy(e->block + 32, out + 32, 16);
}

// ---- Callback slots ---------------------------------------------------------------------------

void OVC_Register_LoginPacketCallback(OvcLoginPacketFn fn, uint32_t guard) {
  if (!fn || guard != OVC_INTERNAL_GUARD) return;
  OvcLoginPacketFn none = nullptr;
  gLoginPacketCb.compare_exchange_strong(none, fn);
}
void OVC_UnRegister_LoginPacketCallback(uint32_t guard) {
  if (guard == OVC_INTERNAL_GUARD) gLoginPacketCb = nullptr;
}
void OVC_Register_LoginR_SleepCallback(OvcSleepReplyFn fn, uint32_t guard) {
  if (!fn || guard != OVC_INTERNAL_GUARD) return;
  OvcSleepReplyFn none = nullptr;
  gSleepReplyCb.compare_exchange_strong(none, fn);
}
void OVC_UnRegister_LoginR_SleepCallback(uint32_t guard) {
  if (guard == OVC_INTERNAL_GUARD) gSleepReplyCb = nullptr;
}

void ovc_call_login_packet_cb(const uint8_t* datagram, uint32_t length, const char* addressText, uint16_t port,
                              int tcpMode) {
  OvcLoginPacketFn fn = gLoginPacketCb.load();
  if (!fn) return;
  in_addr a{};
  inet_pton(AF_INET, addressText ? addressText : "", &a);
  fn(datagram, length, a.s_addr, port, tcpMode);
}

bool ovc_call_sleep_reply_cb(const char* addressText, uint16_t port) {
  OvcSleepReplyFn fn = gSleepReplyCb.load();
  if (!fn) return false;
  in_addr a{};
  inet_pton(AF_INET, addressText ? addressText : "", &a);
  fn(a.s_addr, port);
  return true;
}

bool ovc_sleep_task_running() { return gThread_Sleep_Login.load() != nullptr; }

void OVC_Setup_Auto_WakeUp_Internal(int on, uint32_t guard) {
  if (guard == OVC_INTERNAL_GUARD) AutoWakeUp = (uint8_t)(on & 0xFF);
}
void OVC_WakeUp_Setup_Auto_WakeUp(int on) { OVC_Setup_Auto_WakeUp_Internal(on, OVC_INTERNAL_GUARD); }

uint32_t OVC_Get_RandomID32(uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return 9999;
  uint64_t now = (uint64_t)time(nullptr);
  uint32_t a = (uint32_t)((now + (uint32_t)orvan_platform_rand()) % 65535u);
  uint32_t b = (uint32_t)((now + (uint32_t)orvan_platform_rand()) % 65535u);
  if (a == 0) a = 1;
  if (b == 0) b = 1;
  return (a << 16) | b;
}

int OVC_Get_SleepingDevicePacket(uint8_t** packet, int32_t* length, int32_t value, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return 9999;
  if (!packet || !length) return OVC_ER_INVALID_ARG;
  uint8_t* p = static_cast<uint8_t*>(calloc(1, 40));
  if (!p) return OVC_ER_NO_MEMORY;
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.length = 24;
  h.type = 0x0114;
  h.route = 0x14;
  ovc_head_write(h, p);
  memcpy(p + 16, gLocalUid, 20);
  ovc_put_u32(p + 36, (uint32_t)value);
  *packet = p;
  *length = 40;
  return 0;
}

// ---- Wake-up request (client side) ---------------------------------------------------------------

static bool isOVC_Feature_Enable() { return true; }

int OVC_Send_WakeUp_Internal(const char* uid, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD || !uid) return OVC_ER_FAIL;
  if (!isOVC_Feature_Enable()) return -63;
  int g = FindGroupOfUid(uid);
  if (g < 0) return OVC_ER_FAIL;
  uint8_t d[16 + 32] = {};
  ovc_build_head(d, 0x0228, 0x24, 32);
  strncpy(reinterpret_cast<char*>(d + 16), uid, 20);
  memcpy(d + 36, kWakeWord, 12);
  int servers = 0, failed = 0;
  ovc_netaddr_t a;
  for (int i = 0; ovc_group_server_at(g, i, &a); ++i) {
    char text[64];
    uint16_t port;
    if (!ovc_netaddr_to_text(a, text, sizeof text, &port)) continue;
    ++servers;
    uint8_t copy[sizeof d];
    memcpy(copy, d, sizeof d);
    // A request that did not go out is a failure, not a wake-up on its way.
    if (ovc_SendMessage(gUdpConn, copy, sizeof copy, text, port) != (int)sizeof copy) ++failed;
  }
  if (servers == 0 || failed) return OVC_ER_FAIL;
  return 0;
}

int OVC_WakeUp_WakeDevice(const char* uid) { return OVC_Send_WakeUp_Internal(uid, OVC_INTERNAL_GUARD); }

// ---- Keep-alive entries (device side) ---------------------------------------------------------

static void WakeUpLoginPacketCB(const uint8_t* datagram, uint32_t length, uint32_t address, uint16_t port,
                                int tcpMode) {
  WakeLock g;
  WakeUpTcpMode = tcpMode ? 1 : 0;
  if (tcpMode || !datagram || length == 0 || length > OVC_DATAGRAM_MAX) return;
  for (int32_t i = 0; i < RecordedCount; ++i)
    if (KeepAliveEntries[i].serverAddr == address) return;
  KeepAliveEntry e;
  if (!NewKeepAliveEntry(&e, length)) return;
  BuildKeepAliveEntry(&e, datagram, length, address, port);
  auto* grown = static_cast<KeepAliveEntry*>(realloc(KeepAliveEntries, sizeof(KeepAliveEntry) * (size_t)(RecordedCount + 1)));
  if (!grown) {
    free(e.datagram);
    free(e.block);
    free_entries(KeepAliveEntries, RecordedCount);
    KeepAliveEntries = nullptr;
    RecordedCount = KeepAliveCount = 0;
    return;
  }
  KeepAliveEntries = grown;
  KeepAliveEntries[RecordedCount++] = e;
  KeepAliveCount = RecordedCount;
}

void OVC_WakeUp_Init() {
  {
    WakeLock g;
    KeepAliveEntries = nullptr;
    KeepAliveCount = RecordedCount = 0;
    WakeUpTcpMode = 0;
    memset(SleepServers, 0, sizeof SleepServers);
    SleepServerCount = 0;
  }
  OVC_Register_LoginPacketCallback(WakeUpLoginPacketCB, OVC_INTERNAL_GUARD);
  WakeUpActive = 1;
}

int OVC_WakeUp_Get_KeepAlivePacket(KeepAliveEntry** entries, int32_t* count) {
  WakeLock g;
  if (!WakeUpActive) return -66;
  if (WakeUpTcpMode) return -65;
  // The recorded array with its own count (a sleep request's count describes another array).
  if (count) *count = RecordedCount;
  if (entries) *entries = KeepAliveEntries;
  return 0;
}

void OVC_WakeUp_DeInit(KeepAliveEntry* entries) {
  OVC_UnRegister_LoginPacketCallback(OVC_INTERNAL_GUARD);
  OVC_UnRegister_LoginR_SleepCallback(OVC_INTERNAL_GUARD);
  orvan_task_t* bed = gThread_Sleep_Login.exchange(nullptr);
  if (bed) orvan_TaskMng_Delete(bed);
  WakeLock g;
  // Each array is freed by its own count: the recorded one, and the one a sleep request handed out.
  if (entries && entries != KeepAliveEntries) free_entries(entries, HandedCount);
  HandedCount = 0;
  free_entries(KeepAliveEntries, RecordedCount);
  KeepAliveEntries = nullptr;
  KeepAliveCount = RecordedCount = 0;
  free(SleepRandomId);
  SleepRandomId = nullptr;
  WakeUpActive = 0;
}

// ---- Sleep request --------------------------------------------------------------------------------

int ovc_send_sleep_registration(TConnection* conn, const char* addressText, uint16_t port, uint32_t value) {
  uint8_t d[16 + 272];
  int len = ovc_build_registration(d, 1, value);
  ovc_call_login_packet_cb(d, (uint32_t)len, addressText, port, gTcpMode ? 1 : 0);
  return ovc_SendMessage(conn, d, len, addressText, port);
}

static void BedTaskCB(orvan_task_t* task, uint32_t, uint16_t, void* user, int final) {
  int32_t value = user ? *static_cast<int32_t*>(user) : 0;
  int g = FindGroupOfUid(gLocalUid);
  int servers = 0;
  ovc_netaddr_t a;
  for (int i = 0; g >= 0 && ovc_group_server_at(g, i, &a); ++i) {
    ++servers;
    char text[64];
    uint16_t port;
    if (!gTcpMode && ovc_netaddr_to_text(a, text, sizeof text, &port) && port)
      ovc_send_sleep_registration(gUdpConn, text, port, (uint32_t)value);
  }
  if (gTcpMode && g >= 0) {
    // TCP mode: the one server stream carries the sleep-mode registration.
    uint8_t d[16 + 272];
    int len = ovc_build_registration(d, 1, (uint32_t)value);
    ovc_call_login_packet_cb(d, (uint32_t)len, "", 0, 1);
    ovc_send_on_server_tcp(d, len);
  }
  if (!final && (g < 0 || SleepServerCount.load() != servers)) return;
  uint8_t expected = 0;
  if (!BedDone.compare_exchange_strong(expected, 1)) return;
  orvan_task_t* bed = gThread_Sleep_Login.exchange(nullptr);
  if (bed && !final) orvan_TaskMng_Delete(bed);
  (void)task;
  if (BedFinishCallback) BedFinishCallback();
}

int OVC_Replace_LoginThread_With_OMWBedThread(void (*finish)(), const int32_t* value, int lifetimeMs) {
  if (value) {
    if (!BedRandomId) BedRandomId = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    if (BedRandomId) *BedRandomId = *value;
  }
  ovc_device_stop_login_task();
  orvan_task_t* old = gThread_Sleep_Login.exchange(nullptr);
  if (old) orvan_TaskMng_Delete(old);
  BedFinishCallback = finish;
  BedDone = 0;
  orvan_task_t* t = orvan_TaskMng_Create(200, (uint32_t)lifetimeMs, 0, BedTaskCB, BedRandomId);
  if (!t) return OVC_ER_TASK_CREATE;
  gThread_Sleep_Login = t;
  return 0;
}

void OVC_LoginR_Sleep_CallBack(uint32_t serverIPv4, uint16_t serverPort) {
  WakeLock g;
  int32_t n = SleepServerCount.load();
  for (int32_t i = 0; i < n; ++i)
    if (SleepServers[i].addr == serverIPv4 && SleepServers[i].port == serverPort) return;
  if (n >= 32) return;
  SleepServers[n].addr = serverIPv4;
  SleepServers[n].port = serverPort;
  SleepServerCount = n + 1;
}

void OVC_WakeUp_OMWBedThreadTimeout() {
  OvcSleepPacketFn cb;
  KeepAliveEntry* entries = nullptr;
  int32_t count = 0;
  {
    WakeLock g;
    cb = SleepCallback;
    KeepAliveCount = 0;
    count = SleepServerCount.load();
    if (count > 0) {
      uint8_t* packet = nullptr;
      int32_t length = 0;
      if (OVC_Get_SleepingDevicePacket(&packet, &length, BedRandomId ? *BedRandomId : 0, OVC_INTERNAL_GUARD) == 0) {
        entries = static_cast<KeepAliveEntry*>(calloc((size_t)count, sizeof(KeepAliveEntry)));
        int32_t made = 0;
        for (int32_t i = 0; entries && i < count; ++i) {
          if (!NewKeepAliveEntry(&entries[made], (uint32_t)length)) continue;
          BuildKeepAliveEntry(&entries[made], packet, (uint32_t)length, (uint32_t)SleepServers[i].addr,
                              SleepServers[i].port);
          ++made;
        }
        count = made;
        free(packet);
      }
      KeepAliveCount = HandedCount = count;
    }
  }
  if (!cb) return;
  if (count == 0 || !entries) {
    free(entries);
    cb(nullptr, 0, OVC_ER_TIMEOUT);
    return;
  }
  cb(entries, (uint32_t)count, 0);
}

int OVC_WakeUp_Get_SleepPacket(OvcSleepPacketFn callback, int lifetimeMs) {
  if (!callback || lifetimeMs < 0) return OVC_ER_INVALID_ARG;
  {
    WakeLock g;
    free(SleepRandomId);
    SleepRandomId = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    if (SleepRandomId) *SleepRandomId = (int32_t)OVC_Get_RandomID32(OVC_INTERNAL_GUARD);
    SleepServerCount = 0;
    memset(SleepServers, 0, sizeof SleepServers);
    SleepCallback = callback;
  }
  OVC_Register_LoginR_SleepCallback(OVC_LoginR_Sleep_CallBack, OVC_INTERNAL_GUARD);
  return OVC_Replace_LoginThread_With_OMWBedThread(OVC_WakeUp_OMWBedThreadTimeout, SleepRandomId,
                                                   lifetimeMs ? lifetimeMs : 6000);
}

int OVC_WakeUp_ResponsedServerNum() { return SleepServerCount.load(); }

// Called at the module's start: a bed task of an earlier run went with its task manager.
void ovc_wakeup_reset() {
  gThread_Sleep_Login = nullptr;
  BedDone = 0;
  gTcpMode = false;
}
