// Address records and conversions, with a stand-in resolver for the NAT64 and lookup cases.
#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "orvan_netaddr.h"

namespace {
// Answers for names and numeric texts; everything else fails as the host would.
std::map<std::string, std::vector<std::string>> g_answers;

addrinfo* make_ai(const std::string& text, int socktype) {
  auto* a = static_cast<addrinfo*>(calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in6)));
  auto* sa = reinterpret_cast<sockaddr*>(a + 1);
  if (text.find(':') != std::string::npos) {
    auto* s6 = reinterpret_cast<sockaddr_in6*>(sa);
    s6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, text.c_str(), &s6->sin6_addr);
    a->ai_family = AF_INET6;
    a->ai_addrlen = sizeof(sockaddr_in6);
  } else {
    auto* s4 = reinterpret_cast<sockaddr_in*>(sa);
    s4->sin_family = AF_INET;
    inet_pton(AF_INET, text.c_str(), &s4->sin_addr);
    a->ai_family = AF_INET;
    a->ai_addrlen = sizeof(sockaddr_in);
  }
  a->ai_socktype = socktype;
  a->ai_addr = sa;
  return a;
}

int fake_resolve(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  if (!node) return getaddrinfo(node, service, hints, res);
  auto it = g_answers.find(node);
  if (it == g_answers.end()) return EAI_NONAME;
  addrinfo* head = nullptr;
  for (auto r = it->second.rbegin(); r != it->second.rend(); ++r) {
    addrinfo* a = make_ai(*r, hints ? hints->ai_socktype : 0);
    a->ai_next = head;
    head = a;
  }
  *res = head;
  return 0;
}
void fake_free(addrinfo* a) {
  // Answers for a null node came from the host.
  if (a && a->ai_addr != reinterpret_cast<sockaddr*>(a + 1)) return freeaddrinfo(a);
  while (a) {
    addrinfo* n = a->ai_next;
    free(a);
    a = n;
  }
}

class Resolver : public ::testing::Test {
 protected:
  void SetUp() override {
    g_answers.clear();
    orv_set_resolver(fake_resolve, fake_free);
  }
  void TearDown() override { orv_set_resolver(nullptr, nullptr); }
};

sockaddr_in sin4(const char* text, uint16_t port_host) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = htons(port_host);
  inet_pton(AF_INET, text, &s.sin_addr);
  return s;
}

std::string hex(const uint8_t* b, size_t n) {
  std::string s;
  char t[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(t, sizeof t, "%02x", b[i]);
    s += t;
  }
  return s;
}
}  // namespace

TEST(OvcNetaddr, PutAndGetContent) {
  ovc_netaddr_t a;
  EXPECT_EQ(ovc_netaddr_put_content("198.51.100.7", 0x1234, &a), 0);
  EXPECT_EQ(a.flag, 0);
  EXPECT_EQ(a.port, 0x1234);
  EXPECT_EQ(hex(a.addr, 16), "c6336407000000000000000000000000");
  char text[64];
  uint16_t port = 0;
  uint8_t flag = 9;
  EXPECT_EQ(ovc_netaddr_get_content(&a, sizeof text, text, &port, &flag), 0);
  EXPECT_STREQ(text, "198.51.100.7");
  EXPECT_EQ(port, 0x1234);
  EXPECT_EQ(flag, 0);

  EXPECT_EQ(ovc_netaddr_put_content("fe80::1:2", 7, &a), 0);
  EXPECT_EQ(a.flag, 1);
  EXPECT_EQ(ovc_netaddr_get_content(&a, sizeof text, text, nullptr, nullptr), 0);
  EXPECT_STREQ(text, "fe80:0000:0000:0000:0000:0000:0001:0002");

  // A name is not numeric: refused, the record cleared.
  memset(&a, 0x77, sizeof a);
  EXPECT_EQ(ovc_netaddr_put_content("localhost", 7, &a), -46);
  ovc_netaddr_t zero{};
  EXPECT_EQ(memcmp(&a, &zero, sizeof a), 0);

  // An unknown flag writes nothing; without a text buffer only port and flag come back.
  a.flag = 5;
  a.port = 99;
  strcpy(text, "untouched");
  EXPECT_EQ(ovc_netaddr_get_content(&a, sizeof text, text, &port, &flag), -46);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(ovc_netaddr_get_content(&a, 0, nullptr, &port, &flag), 0);
  EXPECT_EQ(port, 99);
  EXPECT_EQ(flag, 5);
  EXPECT_EQ(ovc_netaddr_get_content(nullptr, 0, nullptr, &port, &flag), -46);
  // The output size is honoured.
  EXPECT_EQ(ovc_netaddr_put_content("203.0.113.200", 1, &a), 0);
  char small[6];
  EXPECT_EQ(ovc_netaddr_get_content(&a, sizeof small, small, nullptr, nullptr), 0);
  EXPECT_STREQ(small, "203.0");
}

TEST_F(Resolver, SockaddrToIpAddrMappedNat64AndSynthesised) {
  g_answers["198.51.100.9"] = {"198.51.100.9"};
  g_answers["203.0.113.9"] = {"64:ff9b::cb00:7109"};  // a NAT64 network answers with IPv6
  struct Case {
    const char* ip;
    int nat64;
    const char* want;
  };
  const Case cases[] = {
      {"198.51.100.9", 0, "00000000000000000000ffffc6336409"},
      {"198.51.100.9", 1, "0064ff9b0000000000000000c6336409"},
      {"203.0.113.9", 0, "0064ff9b0000000000000000cb007109"},
  };
  for (const auto& c : cases) {
    sockaddr_in s = sin4(c.ip, 5000);
    ovc_netaddr_t out{};
    ASSERT_EQ(ovc_sockaddr_to_ip_addr(&s, c.nat64, &out), 0) << c.ip;
    EXPECT_EQ(out.flag, 1);
    EXPECT_EQ(out.port, htons(5000));
    EXPECT_EQ(hex(out.addr, 16), c.want) << c.ip << " " << c.nat64;
  }
  sockaddr_in bad = sin4("198.51.100.250", 1);
  ovc_netaddr_t out{};
  EXPECT_EQ(ovc_sockaddr_to_ip_addr(&bad, 0, &out), -1);
  EXPECT_EQ(ovc_sockaddr_to_ip_addr(nullptr, 0, &out), -1);

  char text[64];
  sockaddr_in s = sin4("198.51.100.9", 1);
  EXPECT_EQ(ovc_sockaddr_to_ip_string(&s, sizeof text, text), 0);
  EXPECT_STREQ(text, "::ffff:198.51.100.9");
  s = sin4("203.0.113.9", 1);
  EXPECT_EQ(ovc_sockaddr_to_ip_string(&s, sizeof text, text), 0);
  EXPECT_STREQ(text, "64:ff9b::cb00:7109");
  char small[8];
  EXPECT_EQ(ovc_sockaddr_to_ip_string(&s, sizeof small, small), 0);
  EXPECT_STREQ(small, "64:ff9b");
}

TEST_F(Resolver, ConvertToIPv4) {
  g_answers["::ffff:198.51.100.5"] = {"::ffff:198.51.100.5"};
  g_answers["198.51.100.5"] = {"198.51.100.5"};
  g_answers["2001:db8::5"] = {"2001:db8::5"};
  char buf[64];
  strcpy(buf, "::ffff:198.51.100.5");
  EXPECT_EQ(ovc_convert_to_IPv4_addr(buf, sizeof buf), 2);
  EXPECT_STREQ(buf, "198.51.100.5");
  EXPECT_EQ(ovc_convert_to_IPv4_addr(buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "198.51.100.5");
  strcpy(buf, "2001:db8::5");
  EXPECT_EQ(ovc_convert_to_IPv4_addr(buf, sizeof buf), 1);
  strcpy(buf, "nowhere.invalid");
  EXPECT_EQ(ovc_convert_to_IPv4_addr(buf, sizeof buf), -2);
}

TEST_F(Resolver, LookupHostDeduplicatesIntoTheIPv6List) {
  g_answers["dev.example.invalid"] = {"203.0.113.4", "2001:db8::4", "203.0.113.4", "2001:db8::4"};
  ovc_host_list_t *first = nullptr, *second = nullptr;
  ASSERT_EQ(ovc_lookup_host("dev.example.invalid", &first, &second), 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->count, 0);
  EXPECT_EQ(first->head, nullptr);
  ASSERT_EQ(second->count, 2);
  EXPECT_STREQ(second->mutex.name, "sample_ipv6_list");
  EXPECT_EQ(hex(second->head->addr.addr, 16), "00000000000000000000ffffcb007104");
  EXPECT_EQ(hex(second->head->next->addr.addr, 16), "20010db8000000000000000000000004");
  EXPECT_EQ(second->head->next->next, second->head);  // circular
  EXPECT_EQ(second->head->prev, second->head->next);
  EXPECT_EQ(second->head->addr.flag, 1);
  EXPECT_EQ(second->head->addr.port, 0);
  EXPECT_EQ(ovc_free_host_list(first), 0);
  EXPECT_EQ(ovc_free_host_list(second), 0);
  EXPECT_EQ(ovc_free_host_list(nullptr), -1);
  first = second = nullptr;
  EXPECT_EQ(ovc_lookup_host("nowhere.invalid", &first, &second), -2);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);

  sockaddr_in out{};
  out.sin_port = 77;
  EXPECT_EQ(orv_lookup_hostname("dev.example.invalid", &out), 0);
  EXPECT_EQ(out.sin_family, AF_INET);
  EXPECT_EQ(out.sin_port, 77);
  EXPECT_EQ(ntohl(out.sin_addr.s_addr), 0xCB007104u);
  g_answers["v6only.invalid"] = {"2001:db8::4"};
  EXPECT_EQ(orv_lookup_hostname("v6only.invalid", &out), -2);
}

TEST_F(Resolver, HostGetSockaddrContentAndName) {
  g_answers["127.0.0.1"] = {"127.0.0.1"};
  g_answers["::1"] = {"::1"};
  sockaddr_storage ss;
  EXPECT_EQ(orv_host_get_sockaddr("127.0.0.1", 2, htons(1), &ss), -46);
  ASSERT_EQ(orv_host_get_sockaddr("127.0.0.1", 1, htons(4242), &ss), 0);
  EXPECT_EQ(ss.ss_family, AF_INET);
  char text[64];
  uint16_t port = 0;
  EXPECT_EQ(orv_sockaddr_get_content(reinterpret_cast<sockaddr*>(&ss), sizeof text, text, &port), 0);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(port, 4242);
  EXPECT_EQ(orv_sockaddr_get_name(reinterpret_cast<sockaddr*>(&ss), sizeof text, text), 0);
  EXPECT_STREQ(text, "127.0.0.1:4242");
  ASSERT_EQ(orv_host_get_sockaddr(nullptr, 0, htons(4243), &ss), 0);  // passive wildcard
  EXPECT_EQ(ss.ss_family, AF_INET6);
  EXPECT_EQ(orv_sockaddr_get_name(reinterpret_cast<sockaddr*>(&ss), sizeof text, text), 0);
  EXPECT_STREQ(text, "[::]:4243");
  ASSERT_EQ(orv_host_get_sockaddr("::1", 0, htons(80), &ss), 0);
  EXPECT_EQ(ss.ss_family, AF_INET6);
  EXPECT_EQ(orv_host_get_sockaddr("nowhere.invalid", 1, 1, &ss), TERROR_HOST_UNRESOLVED);
  EXPECT_EQ(orv_sockaddr_get_name(reinterpret_cast<sockaddr*>(&ss), 0, text), -46);
  EXPECT_EQ(orv_sockaddr_get_content(nullptr, sizeof text, text, &port), -46);
}

TEST(OvcSockaddr, Str2BinRejectsOutOfRangeOctets) {
  struct Case {
    const char* text;
    int rc;
    uint32_t addr;
  };
  const Case cases[] = {
      {"198.51.100.1", 0, 0xC6336401u}, {"0.0.0.0", 0, 0},       {"255.255.255.255", 0, 0xFFFFFFFFu},
      {"256.1.1.1", -46, 0},            {"1.2.3.300", -46, 0},   {"1.2.3", -46, 0},
      {"-1.2.3.4", -46, 0},             {"a.b.c.d", -46, 0},
  };
  for (const auto& c : cases) {
    sockaddr_in s{};
    EXPECT_EQ(orv_ipaddr_str2bin(c.text, &s), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(s.sin_family, AF_INET);
      EXPECT_EQ(ntohl(s.sin_addr.s_addr), c.addr) << c.text;
    }
  }
}

TEST(OvcSockaddr, ScopeIdIsStableBetweenCalls) {
  orv_sockaddr_reset_scope_id();
  int a = orv_sockaddr_get_scope_id();
  int b = orv_sockaddr_get_scope_id();
  EXPECT_EQ(a, b);
  EXPECT_TRUE(a == -1 || a > 0);
}
