// The lowest layer of the Orvan SDK: locks, conditions, threads, memory, time, random numbers,
// lists, trees, error codes and the local interface query. Plain functions over plain records.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>

#include "orvan_errno_table.h"

struct addrinfo;
struct ifaddrs;

// ---- Error codes ----------------------------------------------------------------------------
// 0xFEEFFF00 - k, k being the ordinal of the Linux error number of the same name.
constexpr int32_t orv_terror_from_ordinal(int k) { return (int32_t)(0xFEEFFF00u - (uint32_t)k); }
constexpr int orv_linux_errno_ordinal(int n) { return n <= 40 ? n - 1 : n <= 57 ? n - 2 : n - 3; }

constexpr int32_t TERROR_OK = 0;
#define ORV_DEFINE_TERROR(name, n) \
  constexpr int32_t TERROR_##name = orv_terror_from_ordinal(orv_linux_errno_ordinal(n));
ORV_LINUX_ERRNO_TABLE(ORV_DEFINE_TERROR)
#undef ORV_DEFINE_TERROR
constexpr int32_t TERROR_HOST_UNRESOLVED = (int32_t)0xFEEFFE86u;
constexpr int32_t TERROR_LIMIT = (int32_t)0xFEEFFE85u;
constexpr int32_t TERROR_BAD_STATE = (int32_t)0xFEEFFE84u;
constexpr int32_t TERROR_UNKNOWN = (int32_t)0xFEEFFE83u;

// OVC codes that this layer also returns.
constexpr int ORV_ERR_ARG = -46;
constexpr int ORV_ERR_NOMEM = -58;

int32_t tos_convert_error(int n);
const char* terror_to_string(int32_t code);

// ---- Mutexes and conditions -----------------------------------------------------------------
struct orv_mutex_t {
  pthread_mutex_t mutex;
  char name[65];
  uint8_t reserved;
  uint8_t initialised;
};

int orv_mutex_init(orv_mutex_t* m, const char* name);
int orv_mutex_destroy(orv_mutex_t* m);
int orv_mutex_lock(orv_mutex_t* m, int blocking);
int orv_mutex_unlock(orv_mutex_t* m);

// The condition runs on the monotonic clock, so a change of the wall clock moves no deadline.
struct OVC_Condition_t {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

int OVC_Condition_Initialize(OVC_Condition_t* c);
int OVC_Condition_Deinitialize(OVC_Condition_t* c);
int OVC_Condition_Lock(OVC_Condition_t* c);
int OVC_Condition_Unlock(OVC_Condition_t* c);
int OVC_Condition_Trylock(OVC_Condition_t* c);
int OVC_Condition_Wait(OVC_Condition_t* c);
int OVC_Condition_TimedWait(OVC_Condition_t* c, int64_t ms);
int OVC_Condition_Signal(OVC_Condition_t* c);
int OVC_Condition_Broadcast(OVC_Condition_t* c);

// The absolute deadline ms after now, nanoseconds carried into the seconds.
timespec orv_deadline_after(const timespec& now, int64_t ms);

int orvan_platform_rwlock_init(pthread_rwlock_t* lock);
int orvan_platform_rwlock_destroy(pthread_rwlock_t* lock);

// ---- Threads --------------------------------------------------------------------------------
pthread_t orvan_platform_CreateTask(int* error, void* (*body)(void*), void* arg, int detach);
int orvan_platform_WaitForTaskExit(pthread_t handle);
void orvan_platform_set_thread_name(const char* name);

// ---- Memory, time, random, text --------------------------------------------------------------
int orv_mem_alloc(int32_t size, void** out);
int orv_mem_free(void** p);
int orvan_platform_CreateMemPool();

int orv_get_current_time(uint64_t* out_us);
int orv_localtime(const time_t* t, struct tm* out);
// Milliseconds on the monotonic clock, truncated to 32 bits; compare with orv_ms_elapsed.
uint32_t orv_monotonic_ms();
// now - then on the wrapping 32-bit millisecond clock.
inline uint32_t orv_ms_elapsed(uint32_t now, uint32_t then) { return now - then; }
// a is before b on the wrapping clock (they are less than 2^31 ms apart).
inline bool orv_ms_before(uint32_t a, uint32_t b) { return (int32_t)(a - b) < 0; }

void orvan_platform_srand();
int orvan_platform_rand();

int orvan_platform_snprintf(char* buf, size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
const char* orvan_platform_inet_ntop(int family, const void* addr, char* buf, socklen_t size);

int orv_dirname(const char* path, size_t length, size_t size, char* out);

// ---- Lists ----------------------------------------------------------------------------------
struct tlist_node_t {
  void* data;
  tlist_node_t* next;
  tlist_node_t* prev;
};
struct tlist_t {
  tlist_node_t* head;
  tlist_node_t* tail;
  int32_t length;
};

tlist_t* tlistNew();
int tlistDestroy(tlist_t* l);
int tlistRemoveall(tlist_t* l);
int tlistAppend(tlist_t* l, void* data);
int tlistPrepend(tlist_t* l, void* data);
int tlistInsert(tlist_t* l, void* data, int position);
tlist_node_t* tlistFind(tlist_t* l, const void* data);
int tlistRemoveNode(tlist_t* l, tlist_node_t* node);
int tlistRemove(tlist_t* l, const void* data);
int tlistLength(const tlist_t* l);
tlist_node_t* tlistHead(tlist_t* l);
tlist_node_t* tlistTail(tlist_t* l);
tlist_node_t* tlistAtIndex(tlist_t* l, int i);
int tlistForeach(tlist_t* l, void (*fn)(void* data, void* user), void* user);

// ---- Binary search tree ---------------------------------------------------------------------
struct orvan_bst_node_t {
  void* data;
  orvan_bst_node_t* left;
  orvan_bst_node_t* right;
};
using orvan_bst_compare_fn = int (*)(const void* key, const void* node_data);
using orvan_bst_visit_fn = int (*)(orvan_bst_node_t* node, int32_t action);
using orvan_bst_pred_fn = int (*)(const void* data);

orvan_bst_node_t* orvan_bst_new_node(void* data);
void orvan_bst_free_node(orvan_bst_node_t* node);
orvan_bst_node_t** orvan_bst_search(orvan_bst_node_t** slot, orvan_bst_compare_fn cmp,
                                    const void* key);
orvan_bst_node_t* orvan_bst_insert(orvan_bst_node_t** slot, orvan_bst_compare_fn cmp, void* data);
void orvan_bst_delete(orvan_bst_node_t** slot);
int orvan_bst_walkpre(orvan_bst_node_t* node, orvan_bst_visit_fn visit, int32_t action);
int orvan_bst_walk_purge(orvan_bst_node_t** slot, orvan_bst_pred_fn pred);
uint32_t orvan_gcd(uint32_t a, uint32_t b);

// ---- Network information --------------------------------------------------------------------
struct orvan_net_if_info_t {
  uint8_t count;
  char mac_text[72];
  uint8_t mac[6];
  uint8_t unused1[21];
  uint32_t addr[4];  // network byte order
  uint32_t mask[4];  // network byte order
  uint8_t cleared;
  uint8_t unused2[67];
};
static_assert(sizeof(orvan_net_if_info_t) == 200, "interface record is 200 bytes");

int orvan_Net_GetInterfaceInfo(orvan_net_if_info_t* info);
// The same walk over a given interface list (the host's, or a test's).
int orvan_Net_InterfaceInfoFromList(const struct ifaddrs* list, orvan_net_if_info_t* info);
int orvan_Net_IsNetworkReachable();

struct orvan_dns_request_t {
  uint16_t count;
  const char (*names)[128];
};
struct orvan_dns_result_t {
  char host[128];
  int32_t error;
  uint16_t count;
  sockaddr_in addr[2];
  uint8_t reserved[36];
};
using orvan_dns_callback_t = void (*)(orvan_dns_result_t result);
// Returns the resolver thread's handle, 0 when memory is short, (pthread_t)-1 when no thread.
pthread_t orvan_Net_DnsResolve(const orvan_dns_request_t* req, orvan_dns_callback_t cb);

// ---- Name resolution ------------------------------------------------------------------------
// Every lookup of the SDK goes through this resolver, so a test can stand in for a NAT64 network.
using orv_resolver_fn = int (*)(const char* node, const char* service, const struct addrinfo* hints,
                                struct addrinfo** res);
using orv_resolver_free_fn = void (*)(struct addrinfo* res);
// nullptr restores getaddrinfo/freeaddrinfo.
void orv_set_resolver(orv_resolver_fn fn, orv_resolver_free_fn free_fn);
int orv_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                    struct addrinfo** res);
void orv_freeaddrinfo(struct addrinfo* res);
