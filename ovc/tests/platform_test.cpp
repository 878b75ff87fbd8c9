// The platform layer: error map, mutexes, deadlines, lists, trees, gcd, dirname, interfaces,
// the asynchronous resolver.
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "orvan_platform.h"

TEST(OrvanErrors, EveryLinuxErrnoMapsByItsOrdinal) {
  struct Case {
    int n;
    int32_t code;
  };
  const Case cases[] = {
      {EPERM, (int32_t)0xFEEFFF00u},       {ENOENT, TERROR_ENOENT},
      {EINVAL, (int32_t)0xFEEFFEEBu},      {ENOMEM, (int32_t)0xFEEFFEF5u},
      {ELOOP, orv_terror_from_ordinal(39)}, {ENOMSG, orv_terror_from_ordinal(40)},
      {ELNRNG, (int32_t)0xFEEFFED2u},      {EBADSLT, orv_terror_from_ordinal(55)},
      {EBFONT, orv_terror_from_ordinal(56)}, {ECONNREFUSED, orv_terror_from_ordinal(108)},
      {EMEDIUMTYPE, (int32_t)0xFEEFFE87u},
  };
  for (const auto& c : cases) EXPECT_EQ(tos_convert_error(c.n), c.code) << "errno " << c.n;
  // Every named code equals the conversion of the host's error number of that name.
#define CHECK_NAME(name, n)                                  \
  EXPECT_EQ(name, n);                                        \
  if (name != ENOSTR) {                                     \
    EXPECT_EQ(tos_convert_error(name), TERROR_##name) << #name; \
  }
  ORV_LINUX_ERRNO_TABLE(CHECK_NAME)
#undef CHECK_NAME
  // Distinct host errors give distinct codes, all above the SDK's own four.
  std::set<int32_t> seen;
  for (int n = 1; n <= 124; ++n) {
    int32_t c = tos_convert_error(n);
    if (c == TERROR_UNKNOWN) continue;
    EXPECT_TRUE(seen.insert(c).second) << n;
    EXPECT_GT((uint32_t)c, (uint32_t)TERROR_HOST_UNRESOLVED);
  }
  for (int n : {0, -1, 41, 58, 125, 4096, ENOSTR}) EXPECT_EQ(tos_convert_error(n), TERROR_UNKNOWN) << n;
  EXPECT_EQ(TERROR_HOST_UNRESOLVED, orv_terror_from_ordinal(122));
  EXPECT_STREQ(terror_to_string(0), "TERROR_OK");
  EXPECT_STREQ(terror_to_string(TERROR_EINVAL), "Orvan ERROR");
}

TEST(OrvanMutex, RecursiveAndRefusedWhenNotInitialised) {
  orv_mutex_t m{};
  EXPECT_EQ(orv_mutex_lock(&m, 1), -1);
  ASSERT_EQ(orv_mutex_init(&m, "a-name-longer-than-sixty-four-characters-is-cut-to-sixty-four-characters"), 0);
  EXPECT_EQ(strlen(m.name), 64u);
  EXPECT_EQ(orv_mutex_lock(&m, 1), 0);
  EXPECT_EQ(orv_mutex_lock(&m, 0), 0);  // recursive
  EXPECT_EQ(orv_mutex_unlock(&m), 0);
  EXPECT_EQ(orv_mutex_unlock(&m), 0);
  orv_mutex_destroy(&m);
  EXPECT_EQ(orv_mutex_lock(&m, 1), -1);
  EXPECT_EQ(orv_mutex_unlock(&m), -1);
  EXPECT_EQ(m.name[0], 0);
}

TEST(OrvanCondition, DeadlineCarriesNanosecondsIntoSeconds) {
  struct Case {
    time_t sec;
    long nsec;
    int64_t ms;
    time_t want_sec;
    long want_nsec;
  };
  const Case cases[] = {
      {100, 600000000, 1500, 102, 100000000},  // 1.1e9 ns wraps into the next second
      {100, 0, 999, 100, 999000000},
      {100, 1000, 0, 100, 1000},
      {100, 999999999, 1, 101, 999999},
      {100, 400000000, 600, 101, 0},  // exactly 1e9 also carries
      {5, 0, 86400000LL * 30, 5 + 86400 * 30, 0},
  };
  for (const auto& c : cases) {
    timespec now{c.sec, c.nsec};
    timespec d = orv_deadline_after(now, c.ms);
    EXPECT_EQ(d.tv_sec, c.want_sec) << c.ms;
    EXPECT_EQ(d.tv_nsec, c.want_nsec) << c.ms;
  }
}

TEST(OrvanCondition, TimedWaitTimesOutAndSignalWakes) {
  OVC_Condition_t c;
  ASSERT_EQ(OVC_Condition_Initialize(&c), 0);
  OVC_Condition_Lock(&c);
  EXPECT_EQ(OVC_Condition_TimedWait(&c, 20), ETIMEDOUT);
  OVC_Condition_Unlock(&c);
  std::atomic<bool> flag{false};
  int err = 0;
  struct Arg {
    OVC_Condition_t* c;
    std::atomic<bool>* flag;
  } arg{&c, &flag};
  OVC_Condition_Lock(&c);
  pthread_t t = orvan_platform_CreateTask(
      &err,
      [](void* p) -> void* {
        auto* a = static_cast<Arg*>(p);
        OVC_Condition_Lock(a->c);
        *a->flag = true;
        OVC_Condition_Signal(a->c);
        OVC_Condition_Unlock(a->c);
        return nullptr;
      },
      &arg, 0);
  ASSERT_EQ(err, 0);
  while (!flag) OVC_Condition_TimedWait(&c, 60000);
  OVC_Condition_Unlock(&c);
  EXPECT_EQ(orvan_platform_WaitForTaskExit(t), 0);
  EXPECT_EQ(OVC_Condition_Deinitialize(&c), 0);
}

TEST(OrvanTime, WrapSafeComparison) {
  EXPECT_EQ(orv_ms_elapsed(5, 0xFFFFFFFBu), 10u);
  EXPECT_TRUE(orv_ms_before(0xFFFFFFF0u, 16));
  EXPECT_FALSE(orv_ms_before(16, 0xFFFFFFF0u));
  uint64_t us = 0;
  EXPECT_EQ(orv_get_current_time(&us), 0);
  EXPECT_GT(us, 1600000000000000ull);
}

TEST(OrvanMemory, AllocAndFreeClearThePointer) {
  void* p = nullptr;
  ASSERT_EQ(orv_mem_alloc(32, &p), 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(orv_mem_free(&p), 0);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(orvan_platform_CreateMemPool(), -1);
  tm t{};
  time_t now = 0;
  EXPECT_EQ(orv_localtime(nullptr, &t), -46);
  EXPECT_EQ(orv_localtime(&now, &t), 0);
}

TEST(OrvanDirname, Table) {
  const std::string longdir(130, 'd');
  const std::string longpath = longdir + "/file";
  struct Case {
    std::string path;
    size_t length, size;
    int rc;
    std::string out;
  };
  const Case cases[] = {
      {"a/b/c", 5, 16, 0, "a/b"},
      {"abc", 3, 16, 0, "."},
      {"/abc", 4, 16, 0, ""},
      {"a/b/c", 5, 1, -46, ""},
      {"a/b/c", 3, 16, 0, "a"},          // only the first length characters count
      {"a/b/c", 16, 4, 0, "a/b"},        // nor more than size: "a/b/"
      {"a/b/c", 16, 3, 0, "a"},
      {"a/b", 40, 16, 0, "a"},           // the text ends before length
      {longpath, longpath.size(), 256, 0, longdir},  // over 127 characters
      {longpath, longpath.size(), 131, 0, longdir},  // the result fills the buffer exactly
  };
  for (const auto& c : cases) {
    std::vector<char> out(c.size > 1 ? c.size : 2, '#');
    EXPECT_EQ(orv_dirname(c.path.c_str(), c.length, c.size, out.data()), c.rc) << c.path;
    if (c.rc == 0) {
      EXPECT_EQ(std::string(out.data()), c.out) << c.path << " " << c.size;
    }
  }
  char out[4];
  EXPECT_EQ(orv_dirname(nullptr, 3, 4, out), -46);
  EXPECT_EQ(orv_dirname("a/b", 3, 4, nullptr), -46);
}

TEST(OrvanList, PositionsAndErrors) {
  int v[6];
  tlist_t* l = tlistNew();
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(tlistInsert(l, &v[0], 0), 0);  // position 0 on an empty list
  EXPECT_EQ(tlistInsert(l, &v[1], 1), TERROR_ELNRNG);  // position == length
  EXPECT_EQ(tlistAppend(l, &v[2]), 0);
  EXPECT_EQ(tlistAppend(l, &v[3]), 0);
  EXPECT_EQ(tlistInsert(l, &v[1], 1), 0);  // lands at 1
  EXPECT_EQ(tlistPrepend(l, &v[4]), 0);
  EXPECT_EQ(tlistInsert(l, &v[5], -1), TERROR_ELNRNG);
  // v4 v0 v1 v2 v3
  const int* want[] = {&v[4], &v[0], &v[1], &v[2], &v[3]};
  ASSERT_EQ(tlistLength(l), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(tlistAtIndex(l, i)->data, want[i]) << i;
  EXPECT_EQ(tlistAtIndex(l, 5), nullptr);
  EXPECT_EQ(tlistHead(l)->prev, nullptr);
  EXPECT_EQ(tlistTail(l)->next, nullptr);
  EXPECT_EQ(tlistTail(l)->data, &v[3]);
  EXPECT_EQ(tlistRemove(l, &v[5]), TERROR_ENOENT);
  EXPECT_EQ(tlistRemove(l, &v[4]), 0);
  EXPECT_EQ(tlistRemove(l, &v[3]), 0);
  EXPECT_EQ(tlistHead(l)->data, &v[0]);
  EXPECT_EQ(tlistTail(l)->data, &v[2]);
  EXPECT_EQ(tlistFind(l, &v[1]), tlistAtIndex(l, 1));
  int sum = 0;
  EXPECT_EQ(tlistForeach(l, [](void*, void* u) { ++*static_cast<int*>(u); }, &sum), 0);
  EXPECT_EQ(sum, 3);
  EXPECT_EQ(tlistForeach(l, nullptr, nullptr), TERROR_EINVAL);
  EXPECT_EQ(tlistRemoveall(l), 0);
  EXPECT_EQ(tlistLength(l), 0);
  EXPECT_EQ(tlistHead(l), nullptr);
  EXPECT_EQ(tlistTail(l), nullptr);
  EXPECT_EQ(tlistDestroy(l), 0);
  EXPECT_EQ(tlistAppend(nullptr, &v[0]), TERROR_EINVAL);
  EXPECT_EQ(tlistRemoveNode(nullptr, nullptr), TERROR_EINVAL);
  EXPECT_EQ(tlistLength(nullptr), 0);
  EXPECT_EQ(tlistFind(nullptr, &v[0]), nullptr);
}

namespace {
int cmp_int(const void* key, const void* data) {
  int a = *static_cast<const int*>(key), b = *static_cast<const int*>(data);
  return a < b ? -1 : a > b ? 1 : 0;
}
void collect_inorder(orvan_bst_node_t* n, std::vector<int>* out) {
  if (!n) return;
  collect_inorder(n->left, out);
  out->push_back(*static_cast<int*>(n->data));
  collect_inorder(n->right, out);
}
int* new_int(int v) {
  int* p = static_cast<int*>(malloc(sizeof(int)));
  *p = v;
  return p;
}
std::vector<int> g_visited;
int stop_at_root(orvan_bst_node_t* n, int32_t) {
  g_visited.push_back(*static_cast<int*>(n->data));
  return -1;
}
int count_odd(orvan_bst_node_t* n, int32_t action) {
  g_visited.push_back(*static_cast<int*>(n->data));
  return (*static_cast<int*>(n->data) % 2) * action;
}
}  // namespace

TEST(OrvanBst, AgreesWithStdSetUnderRandomInsertAndDelete) {
  std::mt19937 rng(7);
  orvan_bst_node_t* root = nullptr;
  std::set<int> ref;
  for (int step = 0; step < 5000; ++step) {
    int key = (int)(rng() % 300);
    if (rng() % 3 != 0) {
      int* data = new_int(key);
      orvan_bst_node_t* n = orvan_bst_insert(&root, cmp_int, data);
      if (!ref.insert(key).second) {
        EXPECT_NE(n->data, data);  // the existing node, the tree unchanged
        free(data);
      } else {
        EXPECT_EQ(n->data, data);
      }
    } else {
      orvan_bst_node_t** slot = orvan_bst_search(&root, cmp_int, &key);
      EXPECT_EQ(*slot != nullptr, ref.count(key) == 1);
      if (*slot) {
        void* data = (*slot)->data;
        orvan_bst_delete(slot);  // frees the node, not the data
        free(data);
        ref.erase(key);
      }
    }
  }
  std::vector<int> got;
  collect_inorder(root, &got);
  EXPECT_EQ(got, std::vector<int>(ref.begin(), ref.end()));
  int all = orvan_bst_walk_purge(&root, [](const void*) { return 1; });
  EXPECT_EQ(all, (int)ref.size());
  EXPECT_EQ(root, nullptr);
}

TEST(OrvanBst, WalksAndPurge) {
  orvan_bst_node_t* root = nullptr;
  for (int k : {50, 30, 70, 20, 40, 60, 80, 35}) orvan_bst_insert(&root, cmp_int, new_int(k));
  g_visited.clear();
  EXPECT_EQ(orvan_bst_walkpre(root, stop_at_root, 0), 1);
  EXPECT_EQ(g_visited, std::vector<int>{50});
  g_visited.clear();
  EXPECT_EQ(orvan_bst_walkpre(root, count_odd, 1), 1);  // only 35 is odd
  EXPECT_EQ(g_visited, (std::vector<int>{50, 30, 20, 40, 35, 70, 60, 80}));
  // Delete a node with two children: order kept, one node fewer.
  int key = 30;
  orvan_bst_node_t** slot = orvan_bst_search(&root, cmp_int, &key);
  void* data = (*slot)->data;
  orvan_bst_delete(slot);
  free(data);
  std::vector<int> got;
  collect_inorder(root, &got);
  EXPECT_EQ(got, (std::vector<int>{20, 35, 40, 50, 60, 70, 80}));
  // Purge the evens.
  EXPECT_EQ(orvan_bst_walk_purge(&root, [](const void* d) { return *static_cast<const int*>(d) % 2 == 0 ? 1 : 0; }), 6);
  got.clear();
  collect_inorder(root, &got);
  EXPECT_EQ(got, std::vector<int>{35});
  EXPECT_EQ(orvan_bst_walk_purge(&root, [](const void*) { return 1; }), 1);
}

TEST(OrvanGcd, Table) {
  const uint32_t cases[][3] = {{500, 1000, 500}, {1000, 0, 1000}, {0, 7, 7},  {500, 300, 100},
                               {100, 20, 20},    {17, 5, 1},      {1000, 1000, 1000}};
  for (const auto& c : cases) EXPECT_EQ(orvan_gcd(c[0], c[1]), c[2]) << c[0] << "," << c[1];
}

namespace {
// A fake interface list: lo, then eth0 with a link-level address and six IPv4 addresses.
struct FakeIfs {
  std::vector<ifaddrs> nodes;
  std::vector<sockaddr_storage> addrs, masks;
  void add(const char* name, unsigned flags, const sockaddr_storage* a, const sockaddr_storage* m) {
    ifaddrs n{};
    n.ifa_name = const_cast<char*>(name);
    n.ifa_flags = flags;
    addrs.push_back(a ? *a : sockaddr_storage{});
    masks.push_back(m ? *m : sockaddr_storage{});
    n.ifa_addr = a ? reinterpret_cast<sockaddr*>(1) : nullptr;  // fixed up in link()
    n.ifa_netmask = m ? reinterpret_cast<sockaddr*>(1) : nullptr;
    nodes.push_back(n);
  }
  ifaddrs* link() {
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].ifa_addr) nodes[i].ifa_addr = reinterpret_cast<sockaddr*>(&addrs[i]);
      if (nodes[i].ifa_netmask) nodes[i].ifa_netmask = reinterpret_cast<sockaddr*>(&masks[i]);
      nodes[i].ifa_next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
    }
    return nodes.empty() ? nullptr : &nodes[0];
  }
};
sockaddr_storage v4(const char* text) {
  sockaddr_storage s{};
  auto* sin = reinterpret_cast<sockaddr_in*>(&s);
  sin->sin_family = AF_INET;
  inet_pton(AF_INET, text, &sin->sin_addr);
  return s;
}
sockaddr_storage mac(const uint8_t* b, int len) {
  sockaddr_storage s{};
  auto* ll = reinterpret_cast<sockaddr_ll*>(&s);
  ll->sll_family = AF_PACKET;
  ll->sll_halen = (unsigned char)len;
  memcpy(ll->sll_addr, b, (size_t)len);
  return s;
}
}  // namespace

TEST(OrvanInterfaces, LoopbackSkippedMacFromFirstEntryAtMostFourAddresses) {
  const uint8_t lomac[6] = {0, 0, 0, 0, 0, 0}, ethmac[6] = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
  FakeIfs f;
  auto lo = mac(lomac, 6), eth = mac(ethmac, 6), m24 = v4("255.255.255.0"), lo4 = v4("127.0.0.1");
  f.add("lo", IFF_UP | IFF_LOOPBACK, &lo, nullptr);
  f.add("eth0", IFF_UP, &eth, nullptr);
  f.add("lo", IFF_UP | IFF_LOOPBACK, &lo4, &m24);
  f.add("down0", 0, &lo4, &m24);
  f.add("eth0", IFF_UP, nullptr, nullptr);  // no address
  std::vector<sockaddr_storage> six;
  const char* texts[] = {"198.51.100.2", "198.51.100.3", "198.51.100.4",
                         "203.0.113.2",  "203.0.113.3",  "203.0.113.4"};
  for (const char* t : texts) six.push_back(v4(t));
  for (auto& a : six) f.add("eth0", IFF_UP, &a, &m24);
  orvan_net_if_info_t info;
  memset(&info, 0x5a, sizeof info);
  EXPECT_EQ(orvan_Net_InterfaceInfoFromList(f.link(), &info), 4);
  EXPECT_EQ(info.count, 4);
  EXPECT_EQ(info.cleared, 0);
  EXPECT_STREQ(info.mac_text, "00:11:22:aa:bb:cc");
  EXPECT_EQ(memcmp(info.mac, ethmac, 6), 0);
  for (int i = 0; i < 4; ++i) {
    char t[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &info.addr[i], t, sizeof t);
    EXPECT_STREQ(t, texts[i]);
    EXPECT_EQ(info.mask[i], htonl(0xFFFFFF00u));
  }
  // A first passing entry without a link-level address decides "no MAC".
  FakeIfs g;
  g.add("eth1", IFF_UP, &six[0], &m24);
  g.add("eth1", IFF_UP, &eth, nullptr);
  memset(&info, 0, sizeof info);
  EXPECT_EQ(orvan_Net_InterfaceInfoFromList(g.link(), &info), 1);
  EXPECT_STREQ(info.mac_text, "");
  EXPECT_GE(orvan_Net_GetInterfaceInfo(&info), 0);
  EXPECT_EQ(orvan_Net_IsNetworkReachable(), 1);
}

namespace {
// A resolver standing in for the host's: names that start with "two." give two IPv4 addresses.
int fake_resolve(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  if (!node || strncmp(node, "two.", 4) != 0) return EAI_NONAME;
  addrinfo* head = nullptr;
  for (int i = 2; i >= 0; --i) {
    auto* a = static_cast<addrinfo*>(calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in)));
    auto* sin = reinterpret_cast<sockaddr_in*>(a + 1);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(0xCB007100u + 10 + i);  // 203.0.113.10+i
    a->ai_family = AF_INET;
    a->ai_addr = reinterpret_cast<sockaddr*>(sin);
    a->ai_addrlen = sizeof(sockaddr_in);
    a->ai_next = head;
    head = a;
  }
  *res = head;
  return 0;
}
void fake_free(addrinfo* a) {
  while (a) {
    addrinfo* n = a->ai_next;
    free(a);
    a = n;
  }
}
// The resolver thread is detached and its callback takes no context, so what it reports goes to
// process-wide state. That state is never destroyed: a thread left running by a timed-out or
// repeated run must never meet a sink torn down at exit. Each run starts from an empty sink and
// waits for both of its own reports, so a repeat in the same process starts with no thread left.
struct DnsSink {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<orvan_dns_result_t> results;
};
DnsSink& dns_sink() {
  static DnsSink* sink = new DnsSink;
  return *sink;
}
}  // namespace

TEST(OrvanDns, ResolverThreadReportsEachNameWithAtMostTwoAddresses) {
  DnsSink& s = dns_sink();
  {
    std::lock_guard<std::mutex> g(s.mu);
    s.results.clear();
  }
  orv_set_resolver(fake_resolve, fake_free);
  static const char names[2][128] = {"two.example.invalid", "none.invalid"};
  orvan_dns_request_t req{2, names};
  pthread_t t = orvan_Net_DnsResolve(&req, [](orvan_dns_result_t r) {
    DnsSink& sk = dns_sink();
    std::lock_guard<std::mutex> g(sk.mu);
    sk.results.push_back(r);
    sk.cv.notify_all();
  });
  EXPECT_NE(t, (pthread_t)-1);
  std::unique_lock<std::mutex> g(s.mu);
  s.cv.wait_for(g, std::chrono::seconds(30), [&] { return s.results.size() >= 2; });
  orv_set_resolver(nullptr, nullptr);
  ASSERT_EQ(s.results.size(), 2u);
  EXPECT_STREQ(s.results[0].host, "two.example.invalid");
  EXPECT_EQ(s.results[0].error, 0);
  EXPECT_EQ(s.results[0].count, 2);
  EXPECT_EQ(ntohl(s.results[0].addr[1].sin_addr.s_addr), 0xCB007100u + 11);
  EXPECT_EQ(s.results[0].addr[0].sin_port, 0);
  EXPECT_STREQ(s.results[1].host, "none.invalid");
  EXPECT_NE(s.results[1].error, 0);
  EXPECT_EQ(s.results[1].count, 0);
}
