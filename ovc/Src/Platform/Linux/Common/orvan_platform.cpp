// Locks, conditions, threads, memory, time, random numbers, text, error codes and interfaces.
#include "orvan_platform.h"

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netpacket/packet.h>
#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

// ---- Error codes ----------------------------------------------------------------------------

int32_t tos_convert_error(int n) {
  // ENOSTR has no counterpart among the SDK's codes; ENOTSUP is EOPNOTSUPP on Linux.
  if (n <= 0 || n > 124 || n == 41 || n == 58 || n == ENOSTR) return TERROR_UNKNOWN;
  return orv_terror_from_ordinal(orv_linux_errno_ordinal(n));
}

const char* terror_to_string(int32_t code) { return code == 0 ? "TERROR_OK" : "Orvan ERROR"; }

// ---- Mutexes --------------------------------------------------------------------------------

static int init_recursive(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

int orv_mutex_init(orv_mutex_t* m, const char* name) {
  if (!m) return ORV_ERR_ARG;
  init_recursive(&m->mutex);
  memset(m->name, 0, sizeof m->name);
  if (name) strncpy(m->name, name, 64);
  m->reserved = 0;
  m->initialised = 1;
  return 0;
}

int orv_mutex_destroy(orv_mutex_t* m) {
  if (!m) return ORV_ERR_ARG;
  if (m->initialised) pthread_mutex_destroy(&m->mutex);
  memset(m->name, 0, sizeof m->name);
  m->reserved = 0;
  m->initialised = 0;
  return 0;
}

int orv_mutex_lock(orv_mutex_t* m, int blocking) {
  if (!m || !m->initialised) return -1;
  return blocking ? pthread_mutex_lock(&m->mutex) : pthread_mutex_trylock(&m->mutex);
}

int orv_mutex_unlock(orv_mutex_t* m) {
  if (!m || !m->initialised) return -1;
  return pthread_mutex_unlock(&m->mutex);
}

// ---- Conditions -----------------------------------------------------------------------------

int OVC_Condition_Initialize(OVC_Condition_t* c) {
  if (init_recursive(&c->mutex) != 0) return 1;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  int rc = pthread_cond_init(&c->cond, &attr);
  pthread_condattr_destroy(&attr);
  return rc;
}

int OVC_Condition_Deinitialize(OVC_Condition_t* c) {
  if (pthread_mutex_destroy(&c->mutex) != 0) return 1;
  return pthread_cond_destroy(&c->cond);
}

int OVC_Condition_Lock(OVC_Condition_t* c) { return pthread_mutex_lock(&c->mutex); }
int OVC_Condition_Unlock(OVC_Condition_t* c) { return pthread_mutex_unlock(&c->mutex); }
int OVC_Condition_Trylock(OVC_Condition_t* c) { return pthread_mutex_trylock(&c->mutex); }
int OVC_Condition_Wait(OVC_Condition_t* c) { return pthread_cond_wait(&c->cond, &c->mutex); }
int OVC_Condition_Signal(OVC_Condition_t* c) { return pthread_cond_signal(&c->cond); }
int OVC_Condition_Broadcast(OVC_Condition_t* c) { return pthread_cond_broadcast(&c->cond); }

timespec orv_deadline_after(const timespec& now, int64_t ms) {
  if (ms < 0) ms = 0;
  timespec t;
  t.tv_sec = now.tv_sec + (time_t)(ms / 1000);
  long ns = now.tv_nsec + (long)(ms % 1000) * 1000000L;
  if (ns >= 1000000000L) {
    ns -= 1000000000L;
    t.tv_sec += 1;
  }
  t.tv_nsec = ns;
  return t;
}

int OVC_Condition_TimedWait(OVC_Condition_t* c, int64_t ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  timespec deadline = orv_deadline_after(now, ms);
  return pthread_cond_timedwait(&c->cond, &c->mutex, &deadline);
}

int orvan_platform_rwlock_init(pthread_rwlock_t* lock) { return pthread_rwlock_init(lock, nullptr); }
int orvan_platform_rwlock_destroy(pthread_rwlock_t* lock) { return pthread_rwlock_destroy(lock); }

// ---- Threads --------------------------------------------------------------------------------

pthread_t orvan_platform_CreateTask(int* error, void* (*body)(void*), void* arg, int detach) {
  pthread_t t;
  if (pthread_create(&t, nullptr, body, arg) != 0) {
    if (error) *error = -1;
    return (pthread_t)-1;
  }
  if (detach) pthread_detach(t);
  if (error) *error = 0;
  return t;
}

int orvan_platform_WaitForTaskExit(pthread_t handle) { return pthread_join(handle, nullptr); }

void orvan_platform_set_thread_name(const char* name) {
  char n[16];
  snprintf(n, sizeof n, "%s", name ? name : "");
  pthread_setname_np(pthread_self(), n);
}

// ---- Memory, time, random, text --------------------------------------------------------------

int orv_mem_alloc(int32_t size, void** out) {
  if (!out || size < 0) return ORV_ERR_ARG;
  void* p = malloc(size > 0 ? (size_t)size : 1);
  if (!p) return ORV_ERR_NOMEM;
  *out = p;
  return 0;
}

int orv_mem_free(void** p) {
  if (p) {
    free(*p);
    *p = nullptr;
  }
  return 0;
}

int orvan_platform_CreateMemPool() { return -1; }

int orv_get_current_time(uint64_t* out) {
  timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return errno;
  if (out) *out = (uint64_t)tv.tv_sec * 1000000u + (uint64_t)tv.tv_usec;
  return 0;
}

int orv_localtime(const time_t* t, struct tm* out) {
  if (!t || !out) return ORV_ERR_ARG;
  localtime_r(t, out);
  return 0;
}

uint32_t orv_monotonic_ms() {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0xFFFFFFFFu;
  return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void orvan_platform_srand() { srand((unsigned)(time(nullptr) + getpid())); }
int orvan_platform_rand() { return rand(); }

int orvan_platform_snprintf(char* buf, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

const char* orvan_platform_inet_ntop(int family, const void* addr, char* buf, socklen_t size) {
  return inet_ntop(family, addr, buf, size);
}

int orv_dirname(const char* path, size_t length, size_t size, char* out) {
  if (size < 2 || !path || !out) return ORV_ERR_ARG;
  size_t n = length < size ? length : size;
  n = strnlen(path, n);
  size_t slash = n;
  for (size_t i = 0; i < n; ++i)
    if (path[i] == '/') slash = i;
  if (slash == n) {
    out[0] = '.';
    out[1] = 0;
    return 0;
  }
  // slash < n <= size, so the text and its terminator fit the caller's size.
  memcpy(out, path, slash);
  out[slash] = 0;
  return 0;
}

// ---- Network information --------------------------------------------------------------------

int orvan_Net_InterfaceInfoFromList(const struct ifaddrs* list, orvan_net_if_info_t* info) {
  if (!info) return -1;
  info->count = 0;
  info->cleared = 0;
  bool mac_decided = false;
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr) continue;
    if (!(a->ifa_flags & IFF_UP)) continue;
    // Loopback is skipped by its flag, so the MAC-derived identity does not depend on names.
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    if (!mac_decided) {
      mac_decided = true;
      if (a->ifa_addr->sa_family == AF_PACKET) {
        auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
        if (ll->sll_halen == 6) {
          memcpy(info->mac, ll->sll_addr, 6);
          snprintf(info->mac_text, sizeof info->mac_text, "%02x:%02x:%02x:%02x:%02x:%02x",
                   ll->sll_addr[0], ll->sll_addr[1], ll->sll_addr[2], ll->sll_addr[3],
                   ll->sll_addr[4], ll->sll_addr[5]);
        }
      }
    }
    if (a->ifa_addr->sa_family == AF_INET && info->count < 4) {
      info->addr[info->count] = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
      info->mask[info->count] =
          a->ifa_netmask ? reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr : 0;
      info->count++;
    }
  }
  return info->count;
}

int orvan_Net_GetInterfaceInfo(orvan_net_if_info_t* info) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  int n = orvan_Net_InterfaceInfoFromList(list, info);
  freeifaddrs(list);
  return n;
}

int orvan_Net_IsNetworkReachable() { return 1; }

// ---- Name resolution ------------------------------------------------------------------------

static std::atomic<orv_resolver_fn> g_resolver{nullptr};
static std::atomic<orv_resolver_free_fn> g_resolver_free{nullptr};

void orv_set_resolver(orv_resolver_fn fn, orv_resolver_free_fn free_fn) {
  g_resolver = fn;
  g_resolver_free = free_fn;
}

int orv_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                    struct addrinfo** res) {
  orv_resolver_fn fn = g_resolver;
  return fn ? fn(node, service, hints, res) : getaddrinfo(node, service, hints, res);
}

void orv_freeaddrinfo(struct addrinfo* res) {
  if (!res) return;
  orv_resolver_free_fn fn = g_resolver_free;
  if (fn) fn(res);
  else freeaddrinfo(res);
}

namespace {
struct DnsBlock {
  orvan_dns_callback_t cb;
  uint16_t count;
  char names[1][128];  // count slots follow
};
}  // namespace

static void* net_dns_resolve_thread(void* arg) {
  orvan_platform_set_thread_name("ovc_dnsresolve");
  auto* block = static_cast<DnsBlock*>(arg);
  for (unsigned i = 0; i < block->count; ++i) {
    orvan_dns_result_t r;
    memset(&r, 0, sizeof r);
    memcpy(r.host, block->names[i], sizeof r.host);
    r.host[sizeof r.host - 1] = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = orv_getaddrinfo(r.host, nullptr, &hints, &res);
    r.error = rc;
    if (rc == 0) {
      for (addrinfo* a = res; a && r.count < 2; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        r.addr[r.count].sin_family = AF_INET;
        r.addr[r.count].sin_addr = sin->sin_addr;
        r.count++;
      }
      orv_freeaddrinfo(res);
    }
    if (block->cb) block->cb(r);
  }
  free(block);
  return nullptr;
}

pthread_t orvan_Net_DnsResolve(const orvan_dns_request_t* req, orvan_dns_callback_t cb) {
  unsigned count = req ? req->count : 0;
  size_t bytes = offsetof(DnsBlock, names) + (size_t)(count ? count : 1) * 128;
  auto* block = static_cast<DnsBlock*>(calloc(1, bytes));
  if (!block) return 0;
  block->cb = cb;
  block->count = (uint16_t)count;
  if (count) memcpy(block->names, req->names, (size_t)count * 128);
  int err = 0;
  pthread_t t = orvan_platform_CreateTask(&err, net_dns_resolve_thread, block, 1);
  if (err != 0) {
    free(block);
    return (pthread_t)-1;
  }
  return t;
}
