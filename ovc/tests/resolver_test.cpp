// Master-name resolution without any name service: the look-up is replaced by a table of names
// and the addresses they stand for (or a failure, or a slow answer), so the resolver threads,
// the fallback addresses, the table limits and the merge are checked on their own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "ovc_state.h"

int ovc_master_entry(int i, char* host, size_t size, uint16_t* portNet);

namespace {

struct FakeName {
  std::vector<std::string> addrs;  // empty: the look-up fails
  int delayMs;
};
std::map<std::string, FakeName>* gNames = nullptr;
std::atomic<int> gLookups{0};

ovc_host_list_t* make_list(const std::vector<std::string>& texts) {
  auto* l = static_cast<ovc_host_list_t*>(calloc(1, sizeof(ovc_host_list_t)));
  orv_mutex_init(&l->mutex, "fake_list");
  for (const std::string& t : texts) {
    auto* n = static_cast<ovc_host_node_t*>(calloc(1, sizeof(ovc_host_node_t)));
    EXPECT_EQ(ovc_netaddr_put_content(t.c_str(), 0, &n->addr), 0) << t;
    if (!l->head) {
      n->prev = n->next = n;
      l->head = n;
    } else {
      ovc_host_node_t* tail = l->head->prev;
      n->prev = tail;
      n->next = l->head;
      tail->next = n;
      l->head->prev = n;
    }
    l->count++;
  }
  return l;
}

int fake_lookup(const char* name, ovc_host_list_t** first, ovc_host_list_t** second) {
  gLookups++;
  auto it = gNames->find(name);
  if (it == gNames->end()) return -2;
  if (it->second.delayMs) usleep((useconds_t)it->second.delayMs * 1000);
  if (it->second.addrs.empty()) return -2;
  *first = make_list(it->second.addrs);
  *second = make_list({});
  return 0;
}

std::vector<std::string> range(const char* prefix, int from, int n) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i) v.push_back(std::string(prefix) + std::to_string(from + i));
  return v;
}

const char* kFallback[7] = {"198.51.100.201", "198.51.100.202", "198.51.100.203", "198.51.100.204",
                            "198.51.100.205", "198.51.100.206", "198.51.100.207"};

class MasterResolver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OVC_Initialize2(0), 0);
    gNames = &names_;
    gLookups = 0;
    ovc_set_master_lookup(fake_lookup);
    ovc_set_fallback_masters(kFallback);
    memset(ovc_master_table(), 0, 12 * sizeof(MasterAddr));
    ovc_set_master_state(0);
  }
  void TearDown() override {
    ovc_set_master_names("", "");
    ovc_set_custom_master_names(nullptr);
    ovc_set_master_lookup(nullptr);
    // Resolver threads may still hold the fake table; they end quickly.
    for (int i = 0; i < 300 && ovc_get_master_state() == 0; ++i) usleep(10000);
    usleep(50000);
    OVC_DeInitialize();
    gNames = nullptr;
  }
  std::vector<std::string> table() {
    std::vector<std::string> v;
    for (int i = 0; i < 12; ++i) {
      char host[128];
      uint16_t port = 0;
      if (ovc_master_entry(i, host, sizeof host, &port)) {
        const uint8_t* pb = reinterpret_cast<const uint8_t*>(&port);
        EXPECT_EQ(pb[0], 0x28);  // 10240 in network order
        EXPECT_EQ(pb[1], 0x00);
        v.push_back(host);
      }
    }
    return v;
  }
  std::map<std::string, FakeName> names_;
};

int ovc_master_entry_region(int i) { return ovc_master_table()[i].region; }

TEST_F(MasterResolver, NamesFillTheTableAndFailuresBringTheFallbackAddresses) {
  struct Case {
    const char* what;
    FakeName n0, n1;
    std::vector<std::string> want;
  };
  std::vector<std::string> fallback(kFallback, kFallback + 7);
  std::vector<std::string> both = {"198.51.100.1", "198.51.100.2", "203.0.113.1"};
  std::vector<std::string> keep = {"198.51.100.1", "198.51.100.2"};
  keep.insert(keep.end(), fallback.begin(), fallback.end());
  const Case cases[] = {
      {"both names resolve", {{"198.51.100.1", "198.51.100.2"}, 0}, {{"203.0.113.1"}, 50}, both},
      {"no name resolves: the seven fallback texts", {{}, 0}, {{}, 0}, fallback},
      // A region that fails after the other found addresses adds to them, it does not replace them.
      {"one name fails later", {{"198.51.100.1", "198.51.100.2"}, 0}, {{}, 100}, keep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    memset(ovc_master_table(), 0, 12 * sizeof(MasterAddr));
    ovc_set_master_state(0);
    names_.clear();
    names_["m0.test"] = c.n0;
    names_["m1.test"] = c.n1;
    ovc_set_master_names("m0.test", "m1.test");
    EXPECT_EQ(ovc_resolve_master_all(), 0);
    // The state turns 1 with the first region; the other may still append.
    for (int i = 0; i < 300 && (int)table().size() < (int)c.want.size(); ++i) usleep(10000);
    usleep(150000);
    EXPECT_EQ(ovc_get_master_state(), 1);
    // The two regions append in whatever order their threads finish.
    std::vector<std::string> got = table(), want = c.want;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(ovc_master_addr_count(), (int)c.want.size());
    for (int i = 0; i < (int)c.want.size(); ++i) {
      bool isFallback = std::find(kFallback, kFallback + 7, std::string(ovc_master_table()[i].host)) != kFallback + 7;
      bool fromRegion1 = std::string(ovc_master_table()[i].host).rfind("203.", 0) == 0;
      EXPECT_EQ(ovc_master_entry_region(i), isFallback || fromRegion1 ? 1 : 0) << i;
    }
  }
}

TEST_F(MasterResolver, NoNameAndNothingFoundFailsInsteadOfWaitingForever) {
  ovc_set_master_names("", "");
  EXPECT_EQ(ovc_resolve_master_all(), OVC_ER_MASTER_UNRESOLVED);
  EXPECT_EQ(ovc_get_master_state(), 2);
  EXPECT_EQ(gLookups.load(), 0);
  EXPECT_TRUE(table().empty());
}

TEST_F(MasterResolver, AnEmptyRegionDoesNotFailWhileTheOtherIsStillResolving) {
  names_["slow.test"] = FakeName{{"203.0.113.9"}, 300};
  ovc_set_master_names("", "slow.test");
  EXPECT_EQ(ovc_resolve_master_all(), 0);
  EXPECT_EQ(ovc_get_master_state(), 1);
  EXPECT_EQ(table(), std::vector<std::string>{"203.0.113.9"});
}

TEST_F(MasterResolver, TheTableKeepsTwelveAddressesAndTheFillingAppendReportsIt) {
  int count = 0;
  MasterAddr t[12];
  memset(t, 0, sizeof t);
  ovc_host_list_t* a = make_list(range("198.51.100.", 1, 8));
  ovc_host_list_t* b = make_list(range("203.0.113.", 1, 8));
  EXPECT_EQ(ovc_update_ip(0, a, t, 12, &count), 0);
  EXPECT_EQ(count, 8);
  EXPECT_EQ(ovc_update_ip(1, b, t, 12, &count), -1);
  EXPECT_EQ(count, 12);
  EXPECT_STREQ(t[7].host, "198.51.100.8");
  EXPECT_STREQ(t[8].host, "203.0.113.1");
  EXPECT_STREQ(t[11].host, "203.0.113.4");
  EXPECT_EQ(t[11].region, 1);
  // A full table takes nothing more; missing list or count are refused.
  EXPECT_EQ(ovc_update_ip(1, b, t, 12, &count), -1);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(ovc_update_ip(1, nullptr, t, 12, &count), -1);
  EXPECT_EQ(ovc_update_ip(1, b, t, 12, nullptr), -1);
  ovc_free_host_list(a);
  ovc_free_host_list(b);
  ovc_set_master_state(2);
}

TEST_F(MasterResolver, MergeWritesCustomisedAddressesIntoFreeEntriesOnly) {
  names_["m0.test"] = FakeName{range("198.51.100.", 1, 10), 0};
  names_["c1.test"] = FakeName{{"203.0.113.50", "203.0.113.51", "203.0.113.52"}, 0};
  ovc_set_master_names("m0.test", "");
  ASSERT_EQ(ovc_resolve_master_all(), 0);
  const char* custom[4] = {"c1.test", "", "", ""};
  ovc_set_custom_master_names(custom);
  ovc_merge_customize_master();
  std::vector<std::string> want = range("198.51.100.", 1, 10);
  want.push_back("203.0.113.50");
  want.push_back("203.0.113.51");
  EXPECT_EQ(table(), want);
  EXPECT_EQ(ovc_master_entry_region(10), 1);
  EXPECT_EQ(ovc_master_addr_count(), 10);  // merged entries are found by their port
}

TEST_F(MasterResolver, ConnectStartResolvesInTheBackground) {
  names_["m0.test"] = FakeName{{"198.51.100.77"}, 100};
  ovc_set_master_names("m0.test", "");
  EXPECT_EQ(OVC_Resolve_MasterServer_Name(), 0);
  for (int i = 0; i < 500 && ovc_get_master_state() == 0; ++i) usleep(10000);
  EXPECT_EQ(ovc_get_master_state(), 1);
  EXPECT_EQ(table(), std::vector<std::string>{"198.51.100.77"});
  // A second start while nothing runs resolves again; the table is rewritten from entry 0.
  names_["m0.test"] = FakeName{{"198.51.100.78"}, 0};
  EXPECT_EQ(OVC_Resolve_MasterServer_Name(), 0);
  for (int i = 0; i < 500 && ovc_get_master_state() == 0; ++i) usleep(10000);
  EXPECT_EQ(table(), std::vector<std::string>{"198.51.100.78"});
}

TEST(MasterResolverGiven, MastersGivenAtStartAreNeverLookedUp) {
  gLookups = 0;
  std::map<std::string, FakeName> names;
  gNames = &names;
  ovc_set_master_lookup(fake_lookup);
  ovc_set_master_names("m0.test", "m1.test");
  ASSERT_EQ(OVC_Initialize_Internal(0, "127.0.0.1", nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD), 0);
  EXPECT_EQ(OVC_Resolve_MasterServer_Name(), 0);
  EXPECT_EQ(ovc_get_master_state(), 1);
  usleep(50000);
  EXPECT_EQ(gLookups.load(), 0);
  OVC_DeInitialize();
  ovc_set_master_names("", "");
  ovc_set_master_lookup(nullptr);
  gNames = nullptr;
}

}  // namespace
