// Port prediction: when one side's NAT keeps its mapped port for every destination (type 2) and
// the other's allocates a new one per destination (type 3), direct knocks miss. Then a try-port
// node per peer keeps knocking for up to a minute: the type-2 side walks the peer's ports
// around the ones the servers saw, the type-3 side knocks from many extra local sockets so that
// its NAT opens many mappings towards the peer. The device also sends its registration to a
// guessed port of the server that sent the punch information.
//
// Lock order: gSessionLock (held by the task thread and by the dispatcher), then gTryPortMu,
// then gSharedConnLock. Datagrams leave with none of the try-port state locked.
#include "ovc_predict.h"

#include <arpa/inet.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "ovc_state.h"

void SendRegistration(TConnection* conn, const char* addressText, uint16_t port, int callCallback);
int ovc_group_server_port_of(const ovc_netaddr_t& a);

namespace {

struct TryPortNode {
  int32_t id;
  int32_t step;
  ovc_netaddr_t addrs[8];  // port 0: unused slot
  uint32_t base[8];        // host order
  char uid[20];
  int32_t limit;
  int32_t rounds;
  bool predict;
  RandomID key;
  uint32_t refreshedMs;  // monotonic
};

std::recursive_mutex gTryPortMu;
std::vector<TryPortNode> gTryPortList;  // in order; gTryPortCurrent indexes it
size_t gTryPortCurrent = 0;
int32_t gTryPortNextId = 1;
bool gSharedFilled = false;
bool gSharedFillFailed = false;  // one failed set-up ends the filling for the module's life

orvan_task_t* gTryPortTask = nullptr;  // written under gSessionLock
std::atomic<bool> gTryPortRunning{false};

std::atomic<uint32_t> gLifetimeMs{60000};
std::atomic<uint32_t> gExpiryMs{60000};
std::atomic<uint32_t> gMaxRate{2000};
std::atomic<uint64_t> gKnocksSent{0};

// Send budget: a token bucket refilled at gMaxRate per second, burst of one second's worth
// at most, so a 1 ms task with eight addresses never floods a link.
double gTokens = 0;
uint32_t gTokensAt = 0;
bool gTokensInit = false;

bool same_addr(const ovc_netaddr_t& a, const ovc_netaddr_t& b) {
  return a.port == b.port && a.flag == b.flag && memcmp(a.addr, b.addr, a.flag ? 16 : 4) == 0;
}

bool same_key(const RandomID& a, const RandomID& b) { return a.idLow == b.idLow && a.idHigh == b.idHigh; }

bool take_tokens(int n) {
  uint32_t rate = gMaxRate;
  if (rate == 0) return true;
  uint32_t now = orv_monotonic_ms();
  if (!gTokensInit) {
    gTokensInit = true;
    gTokensAt = now;
    gTokens = rate / 10.0;  // a small start, not a full second's burst
  }
  gTokens += (double)orv_ms_elapsed(now, gTokensAt) * rate / 1000.0;
  gTokensAt = now;
  if (gTokens > rate) gTokens = rate;
  if (gTokens < n) return false;
  gTokens -= n;
  return true;
}

int platform_rand() { return orvan_platform_rand(); }

}  // namespace

// ---- Port arithmetic ------------------------------------------------------------------------

uint16_t ovc_port_in_range(int64_t v) {
  const int64_t lo = 1025, span = 65535 - 1025 + 1;
  int64_t r = (v - lo) % span;
  if (r < 0) r += span;
  return (uint16_t)(lo + r);
}

uint16_t ovc_random_port(int (*rnd)()) {
  // 64-bit product: rand x 65535 overflows 32 bits.
  for (int i = 0; i < 64; ++i) {
    int64_t r = rnd();
    if (r < 0) r = -r;
    int64_t p = r * 65535 / 2147483647;
    if (p >= 1025 && p <= 65535) return (uint16_t)p;
  }
  return ovc_port_in_range(rnd());  // a source that keeps giving low values still ends
}

uint16_t ovc_predicted_port(uint32_t base, int32_t step, int (*rnd)()) {
  int64_t s = step < 0 ? 0 : step;
  switch (s % 3) {
    case 0: return ovc_port_in_range((int64_t)base + s / 3);
    case 1: return ovc_port_in_range((int64_t)base - s / 3);
    default: return ovc_random_port(rnd ? rnd : platform_rand);
  }
}

uint16_t ovc_port_guess(int64_t wallMs, uint32_t counter, int serverPortHost) {
  uint32_t t = wallMs < 0 ? 75 : (uint32_t)((uint32_t)(uint64_t)wallMs % 60) * 5;
  int64_t first = serverPortHost > 0 ? (int64_t)serverPortHost + 1 : 10002;
  return ovc_port_in_range(first + (int64_t)((t + counter % 5) % 300));
}

// ---- Messages -------------------------------------------------------------------------------

void SendKnockFromPort(TConnection* conn, const char* addressText, uint16_t port, const char* uid,
                       const RandomID* key) {
  if (!conn || !addressText || !key) return;
  uint8_t d[16 + 28] = {};
  ovc_build_head(d, 0x0401, 0x33, 28);
  memcpy(d + 16, uid, strnlen(uid, 20));
  ovc_put_u32(d + 36, key->idLow);
  ovc_put_u32(d + 40, key->idHigh);
  ovc_SendMessage(conn, d, sizeof d, addressText, port);
  gKnocksSent++;
}

void ovc_port_guess_registration(const char* senderText, uint16_t senderPortNet, const ovc_netaddr_t& sender) {
  if (!gUdpConn || !senderText) return;
  (void)senderPortNet;
  uint64_t us = 0;
  int64_t ms = orv_get_current_time(&us) == 0 ? (int64_t)(uint32_t)(us / 1000) : -1;
  uint16_t port = ovc_port_guess(ms, (uint32_t)gPortGuessCounter, ovc_group_server_port_of(sender));
  SendRegistration(gUdpConn, senderText, htons(port), 0);
  gPortGuessCounter++;
}

// ---- Shared sockets -------------------------------------------------------------------------

static void null_ready(TConnection*, void*) {}
static void null_fail(TConnection*, int, void*) {}

// Fills the shared socket table once; every entry gains one reference for the try-port engine.
static bool fill_shared_locked() {
  if (gSharedFilled) return true;
  if (gSharedFillFailed || !gOvcConnMgr) return false;
  const TConnManagerOps* mops = TConnManager_ops(gOvcConnMgr);
  orv_mutex_lock(&gSharedConnLock, 1);
  bool ok = true;
  for (auto& e : gSharedConnTable) {
    if (!e.conn) {
      TConnection* c = nullptr;
      if (mops->createConnection(gOvcConnMgr, TCONN_UDP, TCONN_SERVER, 0, &c) != 0 || !c) {
        ok = false;
        break;
      }
      c->ops()->setRecvCallback(c, OVC_UDP_RecvCB, nullptr);
      uint16_t port = 0;
      int size = 1388;
      if (TConn_setup(c, nullptr, &port, null_ready, nullptr, null_fail, nullptr) != 0 ||
          c->ops()->setOption(c, 0, &size) != 0) {
        mops->destroyConnection(gOvcConnMgr, c);
        ok = false;
        break;
      }
      e.conn = c;
      e.refs = 0;
    }
    e.refs++;
  }
  if (!ok) {
    // Entries that already gained the engine's reference keep it until the engine lets go.
    gSharedFillFailed = true;
  }
  gSharedFilled = true;
  orv_mutex_unlock(&gSharedConnLock);
  return ok;
}

static void release_shared_locked() {
  if (!gSharedFilled) return;
  orv_mutex_lock(&gSharedConnLock, 1);
  for (auto& e : gSharedConnTable) {
    if (e.conn && e.refs > 0 && --e.refs == 0) {
      if (gOvcConnMgr) TConnManager_ops(gOvcConnMgr)->destroyConnection(gOvcConnMgr, e.conn);
      e.conn = nullptr;
    }
  }
  orv_mutex_unlock(&gSharedConnLock);
  gSharedFilled = false;
}

void HoldSharedConn(TConnection* conn) {
  if (!conn || conn == gUdpConn) return;
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  orv_mutex_lock(&gSharedConnLock, 1);
  for (auto& e : gSharedConnTable)
    if (e.conn == conn) e.refs++;
  orv_mutex_unlock(&gSharedConnLock);
}

// ---- The list -------------------------------------------------------------------------------

static bool has_addr(const TryPortNode& n, const ovc_netaddr_t& a) {
  for (const ovc_netaddr_t& x : n.addrs)
    if (x.port && same_addr(x, a)) return true;
  return false;
}

static void refresh(TryPortNode& n, bool predict) {
  if (!predict) n.limit++;
  n.refreshedMs = orv_monotonic_ms();
}

void AddTryPort(const RandomID* key, int limit, const ovc_netaddr_t* addrs, int count, int predict, const char* uid) {
  if (!key || !addrs || count <= 0 || addrs[0].port == 0) return;
  if (count > 8) count = 8;
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  if (!gSharedFilled && !gSharedFillFailed && gOvcConnMgr && !fill_shared_locked()) return;
  if (gSharedFillFailed && !gSharedFilled) return;
  for (TryPortNode& n : gTryPortList) {
    bool mine = same_key(n.key, *key) || strncmp(n.uid, uid, 20) == 0;
    if (!mine) {
      bool all = true;
      for (int i = 0; i < count && all; ++i) all = has_addr(n, addrs[i]);
      if (!all) continue;
      refresh(n, predict != 0);
      return;
    }
    for (int i = 0; i < count; ++i) {
      if (addrs[i].port == 0 || has_addr(n, addrs[i])) continue;
      memmove(&n.addrs[1], &n.addrs[0], sizeof n.addrs[0] * 7);
      memmove(&n.base[1], &n.base[0], sizeof n.base[0] * 7);
      n.addrs[0] = addrs[i];
      n.base[0] = ntohs(addrs[i].port);
      n.limit = n.rounds + limit;
      n.refreshedMs = orv_monotonic_ms();
    }
    refresh(n, predict != 0);
    return;
  }
  TryPortNode n{};
  n.id = gTryPortNextId++;
  for (int i = 0; i < count; ++i) {
    n.addrs[i] = addrs[i];
    n.base[i] = ntohs(addrs[i].port);
  }
  memcpy(n.uid, uid, strnlen(uid, 20));
  n.limit = limit;
  n.predict = predict != 0;
  n.key = *key;
  n.refreshedMs = orv_monotonic_ms();
  gTryPortList.push_back(n);
}

static void remove_at_locked(size_t i) {
  gTryPortList.erase(gTryPortList.begin() + (long)i);
  // The node after the removed one becomes current; past the end wraps to the head.
  if (gTryPortCurrent > i) gTryPortCurrent--;
  if (gTryPortCurrent >= gTryPortList.size()) gTryPortCurrent = 0;
}

void RemoveTryPortOfSession(int sid) {
  SessionInfo* s = ovc_session_at(sid);
  if (s) ovc_remove_try_port_key(s->randomId);
}

void ovc_remove_try_port_key(const RandomID& key) {
  if (key.idLow == 0 && key.idHigh == 0) return;
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  for (size_t i = 0; i < gTryPortList.size(); ++i)
    if (same_key(gTryPortList[i].key, key)) {
      remove_at_locked(i);
      return;
    }
}

// ---- The task -------------------------------------------------------------------------------

static void end_engine_locked() {
  gTryPortList.clear();
  gTryPortCurrent = 0;
  release_shared_locked();
  gTryPortRunning = false;
}

static void advance_predict(TryPortNode& n, int (*rnd)()) {
  if (++n.step <= 1023) return;
  n.step = 0;
  if (n.rounds < 2 || (n.rounds & 1)) {
    for (int i = 0; i < 8; ++i) n.base[i] = ntohs(n.addrs[i].port);
  } else {
    uint16_t p = ovc_random_port(rnd);
    for (uint32_t& b : n.base) b = p;
  }
  n.rounds++;
}

// The task thread waits 20 ms after a cycle in which tasks ran, so a 1 ms task runs about every
// 20 ms: each run makes up the steps its period missed (32 at most), still within the send
// budget.
static uint32_t gLastRunMs = 0;
static bool gLastRunSet = false;

static int steps_due(uint32_t period) {
  uint32_t now = orv_monotonic_ms();
  uint32_t e = gLastRunSet ? orv_ms_elapsed(now, gLastRunMs) : period;
  gLastRunMs = now;
  gLastRunSet = true;
  uint32_t n = period ? e / period : 1;
  return n < 1 ? 1 : n > 32 ? 32 : (int)n;
}

void TryPortTaskCB(orvan_task_t* task, uint32_t period, uint16_t, void*, int final) {
  struct Knock {
    TConnection* conn;
    ovc_netaddr_t to;
    uint16_t portNet;
  };
  std::vector<Knock> knocks;
  char uid[21] = {};
  RandomID key{};
  bool wrapped = false;
  {
    std::lock_guard<std::recursive_mutex> g(gTryPortMu);
    if (gTryPortList.empty() || !ovc_initialized() || final) {
      end_engine_locked();
      if (task == gTryPortTask) gTryPortTask = nullptr;
      if (task && !final) orvan_TaskMng_Delete(task);  // a final run's task goes by itself
      return;
    }
    int due = task ? steps_due(period) : 1;
    for (int k = 0; k < due && !gTryPortList.empty() && !wrapped; ++k) {
      if (gTryPortCurrent >= gTryPortList.size()) gTryPortCurrent = 0;
      TryPortNode& n = gTryPortList[gTryPortCurrent];
      int used = 0;
      for (const ovc_netaddr_t& a : n.addrs) used += a.port != 0;
      if (!take_tokens(used ? used : 1)) break;  // over budget: the rest waits
      if (k > 0 && (memcmp(uid, n.uid, 20) != 0 || !same_key(key, n.key))) {
        // Knocks of one call carry one node's identity; another node waits for the next call.
        if (gMaxRate) gTokens += used ? used : 1;
        break;
      }
      memcpy(uid, n.uid, 20);
      key = n.key;
      if (n.predict) {
        for (int i = 0; i < 8; ++i)
          if (n.addrs[i].port) knocks.push_back({gUdpConn, n.addrs[i], htons(ovc_predicted_port(n.base[i], n.step, nullptr))});
        advance_predict(n, platform_rand);
      } else {
        TConnection* c = nullptr;
        orv_mutex_lock(&gSharedConnLock, 1);
        if (n.step >= 0 && n.step < OVC_SHARED_CONNS) c = gSharedConnTable[n.step].conn;
        orv_mutex_unlock(&gSharedConnLock);
        if (c)
          for (const ovc_netaddr_t& a : n.addrs)
            if (a.port) knocks.push_back({c, a, a.port});
        if (++n.step >= OVC_SHARED_CONNS) {
          n.step = 0;
          wrapped = true;
        }
      }
      size_t used_at = gTryPortCurrent;
      gTryPortCurrent = gTryPortList.size() > 1 ? (gTryPortCurrent + 1) % gTryPortList.size() : 0;
      TryPortNode& u = gTryPortList[used_at];
      uint32_t now = orv_monotonic_ms();
      uint32_t age = orv_ms_elapsed(now, u.refreshedMs);
      // A clock that went back shows a huge age: it counts as expired too.
      bool stale = age > gExpiryMs;
      if (stale || u.rounds >= u.limit) remove_at_locked(used_at);
    }
  }
  // The shared sockets stay open while the engine holds its reference (released only by this
  // task), so they are safe to use without the lock.
  for (const Knock& k : knocks) {
    char text[64];
    uint16_t ignored;
    if (!ovc_netaddr_to_text(k.to, text, sizeof text, &ignored)) continue;
    bool extra = k.conn != gUdpConn;
    if (extra && k.conn->ops()->setTTL) k.conn->ops()->setTTL(k.conn, 12);
    SendKnockFromPort(k.conn, text, k.portNet, uid, &key);
    if (extra && k.conn->ops()->setTTL) k.conn->ops()->setTTL(k.conn, 128);
  }
  if (wrapped && task && task == gTryPortTask) {
    // After one pass over the extra sockets the rest of the minute knocks slowly.
    orvan_TaskMng_Delete(task);
    gTryPortTask = orvan_TaskMng_Create(5001, gLifetimeMs, 0, TryPortTaskCB, nullptr);
    if (!gTryPortTask) {
      std::lock_guard<std::recursive_mutex> g(gTryPortMu);
      end_engine_locked();
    }
  }
}

int ovc_start_try_port(uint32_t periodMs) {
  if (gTryPortRunning && gTryPortTask) return 0;
  gTryPortTask = orvan_TaskMng_Create(periodMs, gLifetimeMs, 0, TryPortTaskCB, nullptr);
  if (!gTryPortTask) return -5;
  gTryPortRunning = true;
  return 0;
}

void ovc_punch_try_ports(const RandomID& key, const ovc_netaddr_t* list, int n, bool device, uint32_t peerNat,
                         const char* bodyUid) {
  // Only the pair of a port-keeping NAT (2) and a port-changing one (3) calls for prediction;
  // an unknown type (0) beside a bogus 5 adds up to 5 as well and must not start it. Without the
  // main socket this process has no UDP path at all.
  bool pair = (gNatType == 2 && peerNat == 3) || (gNatType == 3 && peerNat == 2);
  if (gsConnectOption[1] || n <= 0 || !pair || !gUdpConn) return;
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  size_t before = gTryPortList.size();
  uint32_t period;
  if (device) {
    if (gNatType == 2) {
      AddTryPort(&key, 3, list, n, 1, gLocalUid);
      period = 20;
    } else {
      AddTryPort(&key, 1, list, n, 0, gLocalUid);
      period = 1;
    }
  } else {
    AddTryPort(&key, gNatType == 3 ? 1 : 3, list, n, gNatType != 3 ? 1 : 0, bodyUid);
    period = 1;
  }
  if (gTryPortList.empty() && before == 0) return;
  ovc_start_try_port(period);
}

// ---- Test seams -----------------------------------------------------------------------------

void ovc_set_try_port_times(uint32_t lifetimeMs, uint32_t expiryMs) {
  gLifetimeMs = lifetimeMs ? lifetimeMs : 60000;
  gExpiryMs = expiryMs ? expiryMs : 60000;
}

void ovc_set_try_port_rate(uint32_t perSecond) {
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  gMaxRate = perSecond;
  gTokensInit = false;
}

uint64_t ovc_try_port_knocks() { return gKnocksSent; }

int ovc_try_port_nodes(TryPortView* out, int max) {
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  int n = 0;
  for (const TryPortNode& x : gTryPortList) {
    if (n < max && out) {
      TryPortView& v = out[n];
      v.id = x.id;
      v.step = x.step;
      memcpy(v.addrs, x.addrs, sizeof v.addrs);
      memcpy(v.base, x.base, sizeof v.base);
      v.limit = x.limit;
      v.rounds = x.rounds;
      v.predict = x.predict;
      v.key = x.key;
    }
    n++;
  }
  return n;
}

void ovc_try_port_age(int index, uint32_t ms) {
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  if (index >= 0 && (size_t)index < gTryPortList.size()) gTryPortList[(size_t)index].refreshedMs -= ms;
}

bool ovc_try_port_running() {
  OvcSessionLockGuard g;  // the task handle changes under it
  return gTryPortRunning && gTryPortTask;
}

void ovc_predict_stop() {
  OvcSessionLockGuard s;  // no run of the task is under way meanwhile
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  if (gTryPortTask) orvan_TaskMng_Delete(gTryPortTask);
  gTryPortTask = nullptr;
  end_engine_locked();
}

void ovc_predict_reset() {
  std::lock_guard<std::recursive_mutex> g(gTryPortMu);
  gTryPortList.clear();
  gTryPortCurrent = 0;
  gSharedFilled = false;
  gSharedFillFailed = false;
  gTryPortTask = nullptr;
  gTryPortRunning = false;
  gTokensInit = false;
  gLastRunSet = false;
}
