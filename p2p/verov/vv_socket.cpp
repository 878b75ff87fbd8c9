#include "vv_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

const char* const vv_nat64_probe_name = "ipv4only.arpa";

namespace {

std::mutex g_resolver_mutex;
vv_resolver_fn g_resolver = nullptr;
void* g_resolver_ctx = nullptr;

std::atomic<int> g_send_retries{600};
std::atomic<int> g_send_step_ms{5};

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll() for one event with a deadline on the monotonic clock, restarting after signals.
// timeout_ms < 0 waits without limit. Returns >0 ready, 0 time-out, -1 failure.
int wait_for(int fd, short events, long long timeout_ms) {
  const long long deadline = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      long long left = deadline - now_ms();
      if (left < 0) left = 0;
      wait_ms = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
    }
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, wait_ms);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

long long us_to_ms_ceil(long us) { return (static_cast<long long>(us) + 999) / 1000; }

int literal_address(const char* host, int family, sockaddr_storage* out) {
  memset(out, 0, sizeof(*out));
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    if (inet_pton(AF_INET, host, &a->sin_addr) != 1) return 0;
    a->sin_family = AF_INET;
    return 1;
  }
  auto* a6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, host, &a6->sin6_addr) != 1) return 0;
  a6->sin6_family = AF_INET6;
  return 1;
}

int builtin_resolver(const char* host, int family, sockaddr_storage* out, int max, void*) {
  if (max <= 0) return 0;
  if (literal_address(host, family, out)) return 1;
  if (strcmp(host, "localhost") == 0)
    return literal_address(family == AF_INET ? "127.0.0.1" : "::1", family, out);
  // Names are configuration; asking the system resolver from the machine's own namespace
  // would send queries to the real network, so only a private namespace may do it.
  if (!vv_in_private_netns()) return 0;
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return 0;
  int n = 0;
  for (addrinfo* r = res; r && n < max; r = r->ai_next) {
    if (r->ai_family != family || r->ai_addrlen > sizeof(sockaddr_storage)) continue;
    memset(&out[n], 0, sizeof(out[n]));
    memcpy(&out[n], r->ai_addr, r->ai_addrlen);
    ++n;
  }
  freeaddrinfo(res);
  return n;
}

int resolve(const char* host, int family, sockaddr_storage* out, int max) {
  if (!host || !*host) return 0;
  vv_resolver_fn fn;
  void* ctx;
  {
    std::lock_guard<std::mutex> lock(g_resolver_mutex);
    fn = g_resolver ? g_resolver : builtin_resolver;
    ctx = g_resolver_ctx;
  }
  int n = fn(host, family, out, max, ctx);
  if (n > max) n = max;
  // A resolver that hands back another family is ignored rather than trusted.
  int kept = 0;
  for (int i = 0; i < n; ++i)
    if (out[i].ss_family == family) out[kept++] = out[i];
  return kept;
}

}  // namespace

void vv_set_resolver(vv_resolver_fn fn, void* ctx) {
  std::lock_guard<std::mutex> lock(g_resolver_mutex);
  g_resolver = fn;
  g_resolver_ctx = ctx;
}

int vv_in_private_netns(void) {
  struct stat own, init;
  if (stat("/proc/self/ns/net", &own) != 0) return 0;
  // The kernel gives the initial namespace a fixed inode; decide that first, since
  // PID 1 may itself run in a namespace of its own, or be hidden from us.
  if (own.st_ino == 0xEFFFFFF9u) return 0;
  if (stat("/proc/1/ns/net", &init) == 0) return own.st_ino != init.st_ino ? 1 : 0;
  return 1;
}

void vv_sock_set_send_retry(int max_retries, int step_ms) {
  g_send_retries = max_retries < 0 ? 0 : max_retries;
  g_send_step_ms = step_ms < 0 ? 0 : step_ms;
}

int CreateSocket(int type) {
  int fd = socket(AF_INET, type, 0);
  return fd < 0 ? -1 : fd;
}

int CreateSocket6(int type) {
  int fd = socket(AF_INET6, type, 0);
  return fd < 0 ? -1 : fd;
}

void CloseSocket(int* fd) {
  if (!fd) return;
  if (*fd > 0) {
    shutdown(*fd, SHUT_RDWR);
    close(*fd);
  }
  *fd = 0;
}

int SetNonBlock(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int SetBlock(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int Set_Broadcast(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) == 0 ? 1 : 0;
}

int Set_Multicast(int fd) {
  unsigned char ttl = 1;
  return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0 ? 1 : 0;
}

static int multicast_membership(int fd, const char* group, int option) {
  if (!group) return 0;
  ip_mreq m{};
  if (inet_pton(AF_INET, group, &m.imr_multiaddr) != 1) return 0;
  m.imr_interface.s_addr = htonl(INADDR_ANY);
  return setsockopt(fd, IPPROTO_IP, option, &m, sizeof(m)) == 0 ? 1 : 0;
}

int Join_MultiCast(int fd, const char* group) {
  return multicast_membership(fd, group, IP_ADD_MEMBERSHIP);
}

int Quit_MultiCast(int fd, const char* group) {
  return multicast_membership(fd, group, IP_DROP_MEMBERSHIP);
}

int Set_Socket_Bufsize(int fd, int sndsize, int rcvsize) {
  int r = -1;
  if (sndsize > 0) r = setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndsize, sizeof(sndsize));
  if (rcvsize > 0) r = setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvsize, sizeof(rcvsize));
  return r;
}

void Get_Socket_Bufsize(int fd) {
  int v = 0;
  socklen_t l = sizeof(v);
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, &l) == 0) printf("Sockfd : %d SNDBUF:%d\n", fd, v);
  l = sizeof(v);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &l) == 0) printf("Sockfd : %d RCVBUF:%d\n", fd, v);
}

int Get_Socket_Err(int fd) {
  int err = 0;
  socklen_t l = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0) return 0;
  return err;
}

int Bind(int fd, unsigned short port, const char* addr) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (addr) {
    if (inet_pton(AF_INET, addr, &a.sin_addr) != 1) return 0;
  } else {
    a.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 ? 1 : 0;
}

int Listen(unsigned short port, const char* addr) {
  int fd = CreateSocket(SOCK_STREAM);
  if (fd <= 0) return 0;
  if (!Bind(fd, port, addr) || listen(fd, 5) != 0) {
    close(fd);
    return 0;
  }
  return fd;
}

int UdpListen(unsigned short port) {
  int fd = CreateSocket(SOCK_DGRAM);
  if (fd <= 0) return 0;
  if (!Bind(fd, port, nullptr)) {
    close(fd);
    return 0;
  }
  return fd;
}

int UdpListen6(unsigned short port) {
  int fd = CreateSocket6(SOCK_DGRAM);
  if (fd < 0) return -1;
  int on = 1;
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) {
    close(fd);
    return -2;
  }
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_any;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -3;
  }
  return fd;
}

int Accept(int fd, sockaddr_in* addr) {
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  int r = accept(fd, reinterpret_cast<sockaddr*>(&a), &l);
  if (addr) *addr = a;
  return r;
}

int AcceptEx(int fd, sockaddr_in* addr, long timeout_us) {
  if (fd <= 0) return 0;
  if (timeout_us != 0) {
    SetNonBlock(fd);
    if (wait_for(fd, POLLIN, us_to_ms_ceil(timeout_us)) <= 0) return 0;
  }
  return Accept(fd, addr);
}

int Connect(int fd, const char* host, unsigned short port, int seconds) {
  sockaddr_in a{};
  if (!GetHostByName(host, port, &a)) return 0;
  SetNonBlock(fd);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return 1;
  if (errno != EINPROGRESS && errno != EINTR) return 0;
  if (wait_for(fd, POLLOUT, seconds < 0 ? 0 : static_cast<long long>(seconds) * 1000) <= 0)
    return 0;
  return Get_Socket_Err(fd) == 0 ? 1 : 0;
}

int Connect_NonBlock(int fd, const char* host, unsigned short port) {
  sockaddr_in a{};
  if (!GetHostByName(host, port, &a)) return -1;
  SetNonBlock(fd);
  (void)connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return 0;
}

int blockUntilReadable(int fd, const timeval* timeout) {
  if (fd < 0) return -1;
  long long ms = -1;
  if (timeout) ms = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
  return wait_for(fd, POLLIN, ms);
}

int blockUntilReadable0(int fd, long timeout_us) {
  if (fd < 0) return -1;
  return wait_for(fd, POLLIN, us_to_ms_ceil(timeout_us));
}

int Recv(int fd, void* buf, int size, long timeout_us) {
  if (size < 0) return -1;
  if (timeout_us != 0) {
    SetNonBlock(fd);
    if (wait_for(fd, POLLIN, us_to_ms_ceil(timeout_us)) <= 0) return 0;
  }
  return static_cast<int>(recv(fd, buf, static_cast<size_t>(size), 0));
}

int RecvFrom(int fd, void* buf, int size, sockaddr_in* from, long timeout_us) {
  if (size < 0) return -1;
  if (timeout_us != 0 && wait_for(fd, POLLIN, us_to_ms_ceil(timeout_us)) <= 0) return 0;
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  int r = static_cast<int>(recvfrom(fd, buf, static_cast<size_t>(size), 0,
                                    reinterpret_cast<sockaddr*>(&a), &l));
  if (from) *from = a;
  return r;
}

int Send(int fd, const void* data, int len) {
  if (fd <= 0) return -1;
  if (len <= 0) return 0;
  const char* p = static_cast<const char*>(data);
  int sent = 0;
  int retries = 0;
  while (sent < len) {
    ssize_t n = send(fd, p + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<int>(n);
      retries = 0;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)) {
      if (++retries > g_send_retries.load()) return -1;
      // Wait for room instead of sleeping blind: a drained buffer resumes at once.
      wait_for(fd, POLLOUT, g_send_step_ms.load());
      continue;
    }
    return -2;
  }
  return len;
}

int SendToA(int fd, const void* data, int len, const sockaddr_in* to) {
  if (!to || len < 0) return -1;
  return static_cast<int>(sendto(fd, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(to), sizeof(sockaddr_in)));
}

int SendToA6(int fd, const void* data, int len, const sockaddr_in6* to) {
  if (!to || len < 0) return -1;
  return static_cast<int>(sendto(fd, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(to), sizeof(sockaddr_in6)));
}

int SendTo(int fd, const void* data, int len, const char* host, unsigned short port) {
  sockaddr_in a{};
  if (!GetHostByName(host, port, &a)) return -1;
  return SendToA(fd, data, len, &a);
}

int SendTo6(int fd, const void* data, int len, const char* host, unsigned short port) {
  sockaddr_in6 a{};
  if (!GetHostByName6(host, port, &a)) return -1;
  return SendToA6(fd, data, len, &a);
}

int SendBroadCast(int fd, const void* data, int len, unsigned short port) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0 || !list) return -1;
  int targets = 0;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
    auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    auto* m = reinterpret_cast<sockaddr_in*>(i->ifa_netmask);
    if (a->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) continue;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = a->sin_addr.s_addr | ~m->sin_addr.s_addr;
    (void)SendToA(fd, data, len, &to);
    ++targets;
  }
  freeifaddrs(list);
  (void)targets;
  return 0;
}

int is_ipaddr(const char* text) {
  if (!text) return 0;
  int a, b, c, d, end = -1;
  if (sscanf(text, "%d.%d.%d.%d%n", &a, &b, &c, &d, &end) != 4) return 0;
  // Trailing text ("1.2.3.4x") is a name, not an address.
  if (end < 0 || text[end] != '\0') return 0;
  if (a < 1 || a > 255) return 0;
  for (int v : {b, c, d})
    if (v < 0 || v > 255) return 0;
  return 1;
}

int GetHostByName(const char* host, unsigned short port, sockaddr_in* out) {
  if (!out || !host) return 0;
  sockaddr_in a{};
  in_addr direct{};
  if (is_ipaddr(host) && inet_pton(AF_INET, host, &direct) == 1 &&
      direct.s_addr != htonl(INADDR_BROADCAST)) {
    a.sin_addr = direct;
  } else {
    sockaddr_storage r[1];
    if (resolve(host, AF_INET, r, 1) < 1) return 0;
    a.sin_addr = reinterpret_cast<sockaddr_in*>(&r[0])->sin_addr;
  }
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  *out = a;
  return 1;
}

int GetHostByName6(const char* host, unsigned short port, sockaddr_in6* out) {
  if (!out || !host) return 0;
  sockaddr_storage r[1];
  if (resolve(host, AF_INET6, r, 1) < 1) return 0;
  sockaddr_in6 a = *reinterpret_cast<sockaddr_in6*>(&r[0]);
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  *out = a;
  return 1;
}

int GetHostByName64(const char* ipv4, unsigned short port, sockaddr_in6* out) {
  if (!out || !is_ipaddr(ipv4)) return 0;
  in_addr v4{};
  if (inet_pton(AF_INET, ipv4, &v4) != 1) return 0;
  sockaddr_in6 a{};
  if (!GetHostByName6(vv_nat64_probe_name, port, &a)) return 0;
  memcpy(&a.sin6_addr.s6_addr[12], &v4, 4);
  *out = a;
  return 1;
}

static int join_resolved(const char* host, int family, char* out, int size) {
  enum { kMax = 32 };
  sockaddr_storage r[kMax];
  int n = resolve(host, family, r, kMax);
  if (n < 1) return 0;
  out[0] = '\0';
  int appended = 0;
  for (int i = 0; i < n; ++i) {
    char text[INET6_ADDRSTRLEN];
    const void* src = family == AF_INET
                          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&r[i])->sin_addr)
                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&r[i])->sin6_addr);
    if (!inet_ntop(family, src, text, sizeof(text))) continue;
    int cur = static_cast<int>(strlen(out));
    int add = static_cast<int>(strlen(text)) + (appended ? 1 : 0);
    if (cur + add >= size - 2) continue;
    if (appended) strcat(out, "|");
    strcat(out, text);
    ++appended;
  }
  return appended;
}

int GetHostByNameV2(const char* host, char* out, int size) {
  if (!host || !out || size <= 0) return 0;
  if (is_ipaddr(host)) {
    snprintf(out, static_cast<size_t>(size), "%s", host);
    return 1;
  }
  return join_resolved(host, AF_INET, out, size);
}

int GetHostByName6V2(const char* host, char* out, int size) {
  if (!host || !out || size <= 0) return 0;
  return join_resolved(host, AF_INET6, out, size);
}

char* sockaddr_tran(const sockaddr* addr, int addrlen, char* out, int size, unsigned short* port) {
  if (!addr || !out || size <= 0) return nullptr;
  const char* r;
  if (addrlen == static_cast<int>(sizeof(sockaddr_in6))) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(addr);
    r = inet_ntop(AF_INET6, &a->sin6_addr, out, static_cast<socklen_t>(size));
    if (port) *port = ntohs(a->sin6_port);
  } else {
    auto* a = reinterpret_cast<const sockaddr_in*>(addr);
    r = inet_ntop(AF_INET, &a->sin_addr, out, static_cast<socklen_t>(size));
    if (port) *port = ntohs(a->sin_port);
  }
  return r ? out : nullptr;
}

const char* inet_ntop_ex(int family, const void* addr, char* text, int size) {
  if (size <= 0) return nullptr;
  return inet_ntop(family, addr, text, static_cast<socklen_t>(size));
}

int inet_pton_ex(int family, const char* text, void* addr) {
  return inet_pton(family, text, addr);
}

unsigned int GetIfIP(const char* ifname) {
  if (!ifname || strlen(ifname) >= IFNAMSIZ) return 0;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  ifreq req{};
  memcpy(req.ifr_name, ifname, strlen(ifname));
  unsigned int ip = 0;
  if (ioctl(fd, SIOCGIFADDR, &req) == 0 && req.ifr_addr.sa_family == AF_INET)
    ip = reinterpret_cast<sockaddr_in*>(&req.ifr_addr)->sin_addr.s_addr;
  close(fd);
  return ip;
}

int Get_local_ips(char* out, int size) {
  if (!out || size <= 0) return 0;
  out[0] = '\0';  // never append to whatever the caller's buffer held
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0 || !list) return 0;
  int count = 0;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    if (a->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text))) continue;
    size_t cur = strlen(out);
    size_t add = strlen(text) + (cur ? 1 : 0);
    if (cur + add + 1 > static_cast<size_t>(size)) break;
    if (cur) strcat(out, ",");
    strcat(out, text);
    ++count;
  }
  freeifaddrs(list);
  return count;
}

int GetMacAddrs(void*, int) { return 0; }

int vv_ip4_of(const char* text, unsigned short port, struct sockaddr_in* out) {
  memset(out, 0, sizeof(*out));
  if (!text[0] || inet_pton(AF_INET, text, &out->sin_addr) != 1) return 0;
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return 1;
}

int vv_ip6_of(const char* text, unsigned short port, struct sockaddr_in6* out) {
  memset(out, 0, sizeof(*out));
  if (!text[0] || inet_pton(AF_INET6, text, &out->sin6_addr) != 1) return 0;
  out->sin6_family = AF_INET6;
  out->sin6_port = htons(port);
  return 1;
}
