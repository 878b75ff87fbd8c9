// Master-server resolution: the configured master names are looked up by one detached thread per
// region and their addresses appended to the master table; a name that does not resolve brings
// in the fixed fallback addresses. Callers wait on the master-resolution state.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "ovc_state.h"

extern orv_mutex_t gMasterStateLock;

namespace {

struct MasterName {
  uint8_t region;
  char name[43];
};

// No built-in names: a process that wants resolved masters names them, so nothing is looked up
// (and no packet leaves) unless asked for.
MasterName master_name[3] = {{0, ""}, {1, ""}, {0, ""}};
char gFallbackMasters[7][60] = {"203.0.113.11", "203.0.113.12", "203.0.113.13", "203.0.113.14",
                                "203.0.113.15", "203.0.113.16", "203.0.113.17"};
char CustomMasterNames[4][128];
int MasterAddrCount = 0;  // guarded by gMasterStateLock
// Atomic so that the end of one region's thread can see whether the other still runs without a
// second lock (the last one to end decides a failure).
std::atomic<uint8_t> gRunning[2];  // CN, GLOBAL
std::atomic<OvcMasterLookupFn> gLookup{ovc_lookup_host};

constexpr uint8_t kPort10240[2] = {0x28, 0x00};

struct TableLock {
  TableLock() { orv_mutex_lock(&gMasterStateLock, 1); }
  ~TableLock() { orv_mutex_unlock(&gMasterStateLock); }
};

void fill_entry(MasterAddr& e, const char* text, uint8_t region, uint8_t family) {
  memset(&e, 0, sizeof e);
  memcpy(e.host, text, strnlen(text, 59));  // at most 59 characters, the rest stays zero
  e.region = region;
  e.family = family;
  memcpy(&e.port, kPort10240, 2);
}

void sleep_10ms() {
  timespec ts{0, 10 * 1000000L};
  nanosleep(&ts, nullptr);
}

bool other_region_running(int region) { return gRunning[region == 0 ? 1 : 0].load() != 0; }

// A resolution with nothing in the table fails only when no other region can still add addresses.
void settle_state(int region) {
  TableLock g;
  int* st = ovc_master_state_slot();
  if (MasterAddrCount > 0) {
    *st = 1;
  } else if (region < 0 || !other_region_running(region)) {
    *st = 2;
  }
}

}  // namespace

void ovc_set_master_lookup(OvcMasterLookupFn fn) { gLookup = fn ? fn : ovc_lookup_host; }

void ovc_set_master_names(const char* region0, const char* region1) {
  TableLock g;  // resolver threads read the names
  snprintf(master_name[0].name, sizeof master_name[0].name, "%s", region0 ? region0 : "");
  snprintf(master_name[1].name, sizeof master_name[1].name, "%s", region1 ? region1 : "");
}

void ovc_set_fallback_masters(const char* const texts[7]) {
  for (int i = 0; i < 7; ++i) snprintf(gFallbackMasters[i], sizeof gFallbackMasters[i], "%s", texts[i] ? texts[i] : "");
}

void ovc_set_custom_master_names(const char* const names[4]) {
  for (int i = 0; i < 4; ++i) snprintf(CustomMasterNames[i], sizeof CustomMasterNames[i], "%s", names && names[i] ? names[i] : "");
}

int ovc_master_addr_count() {
  TableLock g;
  return MasterAddrCount;
}

int ovc_get_master_state() {
  TableLock g;
  return *ovc_master_state_slot();
}

void ovc_set_master_state(int state) {
  TableLock g;
  *ovc_master_state_slot() = state;
  if (state == 0) MasterAddrCount = 0;
}

int ovc_update_ip(uint8_t region, ovc_host_list_t* list, MasterAddr* t, int capacity, int* count) {
  if (!list || !count || !t) return -1;
  if (*count >= capacity) return -1;
  int n = list->count;
  ovc_host_node_t* node = list->head;
  for (int i = 0; i < n && node; ++i, node = node->next) {
    char text[60];
    uint16_t port = 0;
    uint8_t flag = 0;
    if (ovc_netaddr_get_content(&node->addr, sizeof text, text, &port, &flag) != 0) continue;
    fill_entry(t[*count], text, region, node->addr.flag);
    *count += 1;
    if (*count >= capacity) return -1;
  }
  return 0;
}

int ovc_resolve_master(int region) {
  if (region < 0 || region > 2) return OVC_ER_MASTER_UNRESOLVED;
  MasterName e;
  {
    TableLock g;
    e = master_name[region];
  }
  if (e.name[0]) {
    ovc_host_list_t* first = nullptr;
    ovc_host_list_t* second = nullptr;
    OvcMasterLookupFn lookup = gLookup.load();
    if (lookup(e.name, &first, &second) == 0) {
      TableLock g;
      if (ovc_update_ip(e.region, first, ovc_master_table(), 12, &MasterAddrCount) == 0)
        ovc_update_ip(e.region, second, ovc_master_table(), 12, &MasterAddrCount);
      ovc_free_host_list(first);
      ovc_free_host_list(second);
    } else {
      ovc_free_host_list(first);
      ovc_free_host_list(second);
      // The fallback addresses join what the other region found instead of overwriting it;
      // an address already present is not added twice.
      TableLock g;
      MasterAddr* t = ovc_master_table();
      for (int i = 0; i < 7 && MasterAddrCount < 12; ++i) {
        if (!gFallbackMasters[i][0]) continue;
        bool dup = false;
        for (int k = 0; k < MasterAddrCount && !dup; ++k) dup = strcmp(t[k].host, gFallbackMasters[i]) == 0;
        if (!dup) fill_entry(t[MasterAddrCount++], gFallbackMasters[i], 1, 0);
      }
    }
  }
  TableLock g;
  if (MasterAddrCount == 0) {
    if (!other_region_running(region)) *ovc_master_state_slot() = 2;
    return OVC_ER_MASTER_UNRESOLVED;
  }
  MasterAddr* t = ovc_master_table();
  for (int i = MasterAddrCount; i < 12; ++i) memset(&t[i], 0, sizeof t[i]);
  *ovc_master_state_slot() = 1;
  return 0;
}

static void* ovc_thread_resolve_master_name_new(void* arg) {
  orvan_platform_set_thread_name("ovc_rslvmtr_new");
  int region = *static_cast<int*>(arg);
  free(arg);
  // Every started region appends what it finds, also after the other set the state to 1.
  ovc_resolve_master(region);
  gRunning[region] = 0;
  // Decided after the flag is down, so that of two failing regions the later one sets "failed".
  settle_state(region);
  return nullptr;
}

int ovc_resolve_master_all() {
  // Both flags go up before either thread starts, so a region that ends at once with nothing
  // cannot declare a failure while the other has not even begun.
  bool start[2] = {false, false};
  for (int region = 0; region < 2; ++region) {
    uint8_t expected = 0;
    start[region] = gRunning[region].compare_exchange_strong(expected, 1);
  }
  for (int region = 0; region < 2; ++region) {
    if (!start[region]) continue;
    int* arg = static_cast<int*>(malloc(sizeof(int)));
    int err = -1;
    if (arg) {
      *arg = region;
      orvan_platform_CreateTask(&err, ovc_thread_resolve_master_name_new, arg, 1);
    }
    if (err != 0) {
      // A thread that cannot start must not leave the waiters polling for good.
      free(arg);
      gRunning[region] = 0;
      settle_state(region);
    }
  }
  while (ovc_get_master_state() == 0) sleep_10ms();
  return ovc_master_addr_count() > 0 ? 0 : OVC_ER_MASTER_UNRESOLVED;
}

static void* ovc_thread_resolve_master_name(void*) {
  orvan_platform_set_thread_name("ovc_rslv_mstr");
  if (ovc_get_master_state() != 1) ovc_resolve_master_all();
  return nullptr;
}

int OVC_Resolve_MasterServer_Name() {
  if (gOvcState == 1) {
    TableLock g;
    *ovc_master_state_slot() = 1;
    return 0;
  }
  ovc_set_master_state(0);
  int st = ovc_get_master_state();
  if (st != 0 && st != 2) return 0;
  int err = -1;
  orvan_platform_CreateTask(&err, ovc_thread_resolve_master_name, nullptr, 1);
  if (err != 0) settle_state(-1);
  return err;
}

// Starts the resolver thread without resetting the state (the non-blocking login's start).
int ovc_start_master_resolver_thread() {
  int err = -1;
  orvan_platform_CreateTask(&err, ovc_thread_resolve_master_name, nullptr, 1);
  if (err != 0) settle_state(-1);
  return err;
}

void resolve_customize_master(const char* name, MasterAddr* t, int* count) {
  if (!name || !name[0] || !t || !count) return;
  ovc_host_list_t* first = nullptr;
  ovc_host_list_t* second = nullptr;
  OvcMasterLookupFn lookup = gLookup.load();
  if (lookup(name, &first, &second) == 0) {
    if (ovc_update_ip(1, first, t, 12, count) == 0) ovc_update_ip(1, second, t, 12, count);
  }
  ovc_free_host_list(first);
  ovc_free_host_list(second);
}

void ovc_merge_customize_master() {
  if (!CustomMasterNames[0][0]) return;
  int a = -1;
  {
    TableLock g;
    MasterAddr* t = ovc_master_table();
    for (int i = 0; i < 12 && a < 0; ++i)
      if (!t[i].host[0]) a = i;
  }
  if (a < 0) return;
  MasterAddr tmp[12];
  memset(tmp, 0, sizeof tmp);
  int n = 0;
  for (int i = 0; i < 4; ++i) resolve_customize_master(CustomMasterNames[i], tmp, &n);
  TableLock g;
  MasterAddr* t = ovc_master_table();
  for (int i = 0; i < n && a + i < 12; ++i) fill_entry(t[a + i], tmp[i].host, 1, 0);
}

// Called by the module's end: the next start resolves afresh.
void ovc_resolver_reset() {
  TableLock g;
  MasterAddrCount = 0;
}
