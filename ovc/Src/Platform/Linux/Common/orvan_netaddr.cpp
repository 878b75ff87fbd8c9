// OVC address records, host lookup and socket-address helpers. IPv6 first: an IPv4 address to
// send to becomes the IPv6 form under which this host reaches it (mapped, or NAT64).
#include "orvan_netaddr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
static const uint8_t kNat64Prefix[12] = {0x00, 0x64, 0xFF, 0x9B, 0, 0, 0, 0, 0, 0, 0, 0};

int ovc_netaddr_put_content(const char* host, uint16_t port, ovc_netaddr_t* out) {
  if (!out) return ORV_ERR_ARG;
  memset(out, 0, sizeof *out);
  if (!host) return ORV_ERR_ARG;
  char service[8];
  snprintf(service, sizeof service, "%u", (unsigned)port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (orv_getaddrinfo(host, service, &hints, &res) != 0 || !res) return ORV_ERR_ARG;
  int rc = 0;
  if (res->ai_family == AF_INET6 && res->ai_addrlen >= sizeof(sockaddr_in6)) {
    out->flag = 1;
    memcpy(out->addr, &reinterpret_cast<sockaddr_in6*>(res->ai_addr)->sin6_addr, 16);
  } else if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(sockaddr_in)) {
    out->flag = 0;
    memcpy(out->addr, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, 4);
  } else {
    rc = ORV_ERR_ARG;
  }
  orv_freeaddrinfo(res);
  if (rc == 0) out->port = port;
  return rc;
}

int ovc_netaddr_get_content(const ovc_netaddr_t* a, int size, char* text, uint16_t* port,
                            uint8_t* flag) {
  if (!a) return ORV_ERR_ARG;
  if (size > 0 && text) {
    const uint8_t* b = a->addr;
    if (a->flag == 0) {
      snprintf(text, (size_t)size, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    } else if (a->flag == 1) {
      snprintf(text, (size_t)size,
               "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0],
               b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
               b[14], b[15]);
    } else {
      return ORV_ERR_ARG;
    }
  }
  if (port) *port = a->port;
  if (flag) *flag = a->flag;
  return 0;
}

// The host's own answer for a dotted IPv4 text: IPv4 itself, or an IPv6 address on a NAT64 network.
static int host_answer_for(const sockaddr_in* sa, sockaddr_storage* ss) {
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text)) return -1;
  return orv_host_get_sockaddr(text, 1, 0, ss) == 0 ? 0 : -1;
}

int ovc_sockaddr_to_ip_addr(const sockaddr_in* sa, int nat64, ovc_netaddr_t* out) {
  if (!sa || !out) return -1;
  sockaddr_storage ss{};
  if (host_answer_for(sa, &ss) != 0) return -1;
  if (ss.ss_family == AF_INET6) {
    memcpy(out->addr, &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr, 16);
  } else {
    memcpy(out->addr, nat64 ? kNat64Prefix : kMappedPrefix, 12);
    memcpy(out->addr + 12, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr, 4);
  }
  out->flag = 1;
  out->reserved = 0;
  out->port = sa->sin_port;
  return 0;
}

int ovc_sockaddr_to_ip_string(const sockaddr_in* sa, size_t size, char* out) {
  if (!sa || !out || size == 0) return -1;
  sockaddr_storage ss{};
  if (host_answer_for(sa, &ss) != 0) return -1;
  char text[INET6_ADDRSTRLEN];
  if (ss.ss_family == AF_INET6) {
    if (!inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr, text, sizeof text))
      return -1;
    snprintf(out, size, "%s", text);
  } else {
    if (!inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr, text, sizeof text))
      return -1;
    snprintf(out, size, "::ffff:%s", text);
  }
  return 0;
}

int ovc_convert_to_IPv4_addr(char* text, size_t size) {
  if (!text) return -2;
  addrinfo* res = nullptr;
  if (orv_getaddrinfo(text, nullptr, nullptr, &res) != 0 || !res) return -2;
  int rc = -2;
  if (res->ai_family == AF_INET) {
    rc = 0;
  } else if (res->ai_family == AF_INET6 && res->ai_addrlen >= sizeof(sockaddr_in6)) {
    const uint8_t* b = reinterpret_cast<sockaddr_in6*>(res->ai_addr)->sin6_addr.s6_addr;
    if (memcmp(b, kMappedPrefix, 12) == 0) {
      char v4[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, b + 12, v4, sizeof v4);
      if (strlen(v4) < size) {
        snprintf(text, size, "%s", v4);
        rc = 2;
      } else {
        rc = ORV_ERR_ARG;  // the caller's buffer cannot hold the dotted text
      }
    } else {
      rc = 1;
    }
  }
  orv_freeaddrinfo(res);
  return rc;
}

static ovc_host_list_t* new_host_list(const char* mutex_name) {
  auto* l = static_cast<ovc_host_list_t*>(calloc(1, sizeof(ovc_host_list_t)));
  if (l) orv_mutex_init(&l->mutex, mutex_name);
  return l;
}

static int append_host(ovc_host_list_t* l, const ovc_netaddr_t& a) {
  auto* n = static_cast<ovc_host_node_t*>(calloc(1, sizeof(ovc_host_node_t)));
  if (!n) return ORV_ERR_NOMEM;
  n->addr = a;
  orv_mutex_lock(&l->mutex, 1);
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
  orv_mutex_unlock(&l->mutex);
  return 0;
}

int ovc_free_host_list(ovc_host_list_t* l) {
  if (!l) return -1;
  ovc_host_node_t* n = l->head;
  while (n) {
    ovc_host_node_t* next = n->next;
    free(n);
    l->count--;
    if (!next || next == l->head) break;
    n = next;
  }
  orv_mutex_destroy(&l->mutex);
  free(l);
  return 0;
}

static bool same_address(const addrinfo* a, const addrinfo* b) {
  if (a->ai_family != b->ai_family) return false;
  if (a->ai_family == AF_INET)
    return memcmp(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr,
                  &reinterpret_cast<sockaddr_in*>(b->ai_addr)->sin_addr, 4) == 0;
  if (a->ai_family == AF_INET6)
    return memcmp(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr,
                  &reinterpret_cast<sockaddr_in6*>(b->ai_addr)->sin6_addr, 16) == 0;
  return false;
}

int ovc_lookup_host(const char* name, ovc_host_list_t** first, ovc_host_list_t** second) {
  ovc_host_list_t* l4 = new_host_list("sample_ipv4_list");
  ovc_host_list_t* l6 = new_host_list("sample_ipv6_list");
  if (!l4 || !l6) {
    ovc_free_host_list(l4);
    ovc_free_host_list(l6);
    return ORV_ERR_NOMEM;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (!name || orv_getaddrinfo(name, nullptr, &hints, &res) != 0) {
    ovc_free_host_list(l4);
    ovc_free_host_list(l6);
    return -2;
  }
  int rc = 0;
  for (addrinfo* a = res; a && rc == 0; a = a->ai_next) {
    bool dup = false;
    for (addrinfo* b = res; b != a; b = b->ai_next)
      if (same_address(a, b)) dup = true;
    if (dup) continue;
    ovc_netaddr_t na{};
    na.flag = 1;
    if (a->ai_family == AF_INET && first && a->ai_addrlen >= sizeof(sockaddr_in)) {
      memcpy(na.addr, kMappedPrefix, 12);
      memcpy(na.addr + 12, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    } else if (a->ai_family == AF_INET6 && second && a->ai_addrlen >= sizeof(sockaddr_in6)) {
      memcpy(na.addr, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    rc = append_host(l6, na);
  }
  orv_freeaddrinfo(res);
  if (rc != 0) {
    ovc_free_host_list(l4);
    ovc_free_host_list(l6);
    return rc;
  }
  // A list whose pointer is missing is not handed out, so it is freed here.
  if (first) *first = l4;
  else ovc_free_host_list(l4);
  if (second) *second = l6;
  else ovc_free_host_list(l6);
  return 0;
}

int orv_lookup_hostname(const char* name, sockaddr_in* out) {
  if (!name || !out) return -2;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (orv_getaddrinfo(name, nullptr, &hints, &res) != 0) return -2;
  int rc = -2;
  for (addrinfo* a = res; a; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
      out->sin_family = AF_INET;
      out->sin_addr = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr;
      rc = 0;
      break;
    }
  }
  orv_freeaddrinfo(res);
  return rc;
}

int orv_host_get_sockaddr(const char* host, int transport, uint16_t port, sockaddr_storage* out) {
  if (transport != 0 && transport != 1) return ORV_ERR_ARG;
  if (!out) return ORV_ERR_ARG;
  char service[8];
  snprintf(service, sizeof service, "%u", (unsigned)ntohs(port));
  addrinfo hints{};
  hints.ai_socktype = transport == 0 ? SOCK_STREAM : SOCK_DGRAM;
  if (host) {
    hints.ai_family = AF_UNSPEC;
  } else {
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_PASSIVE;
  }
  addrinfo* res = nullptr;
  if (orv_getaddrinfo(host, service, &hints, &res) != 0 || !res) return TERROR_HOST_UNRESOLVED;
  int rc = 0;
  memset(out, 0, sizeof *out);
  if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(sockaddr_in)) {
    memcpy(out, res->ai_addr, sizeof(sockaddr_in));
    reinterpret_cast<sockaddr_in*>(out)->sin_port = port;
  } else if (res->ai_family == AF_INET6 && res->ai_addrlen >= sizeof(sockaddr_in6)) {
    memcpy(out, res->ai_addr, sizeof(sockaddr_in6));
    reinterpret_cast<sockaddr_in6*>(out)->sin6_port = port;
  } else {
    rc = TERROR_HOST_UNRESOLVED;
  }
  orv_freeaddrinfo(res);
  return rc;
}

static socklen_t sockaddr_len(const sockaddr* sa) {
  return sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
         : sa->sa_family == AF_INET ? sizeof(sockaddr_in)
                                    : sizeof(sockaddr_storage);
}

int orv_sockaddr_get_content(const sockaddr* sa, int size, char* text, uint16_t* port) {
  if (!sa) return ORV_ERR_ARG;
  if (size > 0 && text) {
    char host[NI_MAXHOST];
    if (getnameinfo(sa, sockaddr_len(sa), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
      snprintf(host, sizeof host, "?ipaddr?");
    host[32] = 0;  // at most 32 characters
    snprintf(text, (size_t)size, "%s", host);
  }
  if (port) {
    if (sa->sa_family == AF_INET6) *port = ntohs(reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port);
    else if (sa->sa_family == AF_INET) *port = ntohs(reinterpret_cast<const sockaddr_in*>(sa)->sin_port);
    else *port = 0;
  }
  return 0;
}

int orv_sockaddr_get_name(const sockaddr* sa, int size, char* text) {
  if (size <= 0 || !sa || !text) return ORV_ERR_ARG;
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  if (getnameinfo(sa, sockaddr_len(sa), host, sizeof host, serv, sizeof serv,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    snprintf(text, (size_t)size, "?ipaddr?:?port?");
    return 0;
  }
  const char* fmt = sa->sa_family == AF_INET6 ? "[%s]:%s" : sa->sa_family == AF_INET ? "%s:%s" : "(%s):%s";
  snprintf(text, (size_t)size, fmt, host, serv);
  return 0;
}

int orv_ipaddr_str2bin(const char* text, sockaddr_in* out) {
  if (!text || !out) return ORV_ERR_ARG;
  int v[4];
  if (sscanf(text, "%d.%d.%d.%d", &v[0], &v[1], &v[2], &v[3]) != 4) return ORV_ERR_ARG;
  for (int x : v)
    if (x < 0 || x > 255) return ORV_ERR_ARG;
  out->sin_family = AF_INET;
  uint8_t* b = reinterpret_cast<uint8_t*>(&out->sin_addr);
  for (int i = 0; i < 4; ++i) b[i] = (uint8_t)v[i];
  return 0;
}

static std::atomic<int> g_scope_id{-1};

void orv_sockaddr_reset_scope_id() { g_scope_id = -1; }

int orv_sockaddr_get_scope_id() {
  if (g_scope_id != -1) return g_scope_id;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || !(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
    if (a->ifa_addr->sa_family != AF_INET6) continue;
    auto* s6 = reinterpret_cast<sockaddr_in6*>(a->ifa_addr);
    // Any link-local interface serves (Linux names are not en*); Linux gives its scope id.
    if (!IN6_IS_ADDR_LINKLOCAL(&s6->sin6_addr)) continue;
    int id = s6->sin6_scope_id ? (int)s6->sin6_scope_id : (int)if_nametoindex(a->ifa_name);
    if (id > 0) {
      g_scope_id = id;
      break;
    }
  }
  freeifaddrs(list);
  return g_scope_id;
}
