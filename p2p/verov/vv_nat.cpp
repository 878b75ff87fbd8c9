// Start, stop, configuration and status of a NAT-client instance.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "vdt.h"
#include "vdt_nat.h"
#include "vv_crypto.h"
#include "vv_instance.h"
#include "vv_socket.h"

namespace {

const VvFlags kFlags1 = {1, "VVNAT", true, true, 1024, 58976, 200, 512000, true, 6};
const VvFlags kFlags2 = {2, nullptr, false, false, 1024, 976, 100, 65536, false, 7};

std::atomic<int64_t (*)(void)> g_clock{nullptr};
std::atomic<int> g_scale{1};
std::atomic<bool> g_manual{false};

void copy_text(char* dst, size_t cap, const char* src) {
  if (!src) src = "";
  snprintf(dst, cap, "%s", src);
}

// Both main sockets on one port; a random port is tried until the IPv4 socket binds.
void open_main_sockets(VvInstance& in, vv_nat_state& st, int port, std::mt19937& rng) {
  if (port > 0) {
    st.sock = UdpListen(static_cast<unsigned short>(port));
    if (st.sock > 0) {
      int s6 = UdpListen6(static_cast<unsigned short>(port));
      st.sock6 = s6 > 0 ? s6 : 0;
      st.port = static_cast<uint16_t>(port);
    }
    return;
  }
  for (int i = 0; i < in.flags.port_tries && st.sock <= 0; ++i) {
    int p = in.flags.port_base + static_cast<int>(rng() % static_cast<unsigned>(in.flags.port_span + 1));
    st.sock = UdpListen(static_cast<unsigned short>(p));
    int s6 = UdpListen6(static_cast<unsigned short>(p));
    if (st.sock > 0) {
      st.sock6 = s6 > 0 ? s6 : 0;
      st.port = static_cast<uint16_t>(p);
    } else if (s6 > 0) {
      CloseSocket(&s6);
    }
  }
}

void write_log(VvInstance& in, int level, const char* fmt, va_list ap) {
  if (!in.flags.log_tag) return;
  char path[256];
  int log_level;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    log_level = in.st.log_level;
    memcpy(path, in.st.log_path, sizeof(path));
  }
  if (log_level == 0 || level < log_level || !path[0]) return;
  char text[10240];
  vsnprintf(text, sizeof(text), fmt, ap);
  char stamp[32];
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof(stamp), "%Y%m%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(in.log_mu);
  struct stat sb;
  const char* mode = stat(path, &sb) == 0 && sb.st_size > 1048576 ? "w+" : "a+";
  FILE* f = fopen(path, mode);
  if (!f) return;
  fprintf(f, "[%s][%s] %s", stamp, in.flags.log_tag, text);
  fclose(f);
}


int do_init(VvInstance& in, const char* svraddr, int svrport, const char* uuid, int port,
            const vv_nat_callbacks* cbs, const char* log_path) {
  std::lock_guard<std::mutex> life(in.life_mu);
  // A second start would clear the state under the running threads.
  if (in.run.load()) return 0;
  timeval tv;
  gettimeofday(&tv, nullptr);
  std::mt19937 rng(static_cast<uint32_t>(tv.tv_usec) ^ static_cast<uint32_t>(in.flags.index << 20));
  {
    std::lock_guard<std::mutex> lock(in.mu);
    vv_nat_state& st = in.st;
    memset(&st, 0, sizeof(st));
    copy_text(st.svraddr, sizeof(st.svraddr), svraddr);
    st.svrport = static_cast<uint16_t>(svrport);
    if (in.flags.log_tag && log_path && *log_path) {
      copy_text(st.log_path, sizeof(st.log_path), log_path);
      st.log_level = 2;
    }
    if (uuid) {
      // The caller's text stays as it was: the id and the key are copied apart.
      const char* at = strchr(uuid, '@');
      size_t idlen = at ? static_cast<size_t>(at - uuid) : strlen(uuid);
      if (idlen >= sizeof(st.uuid)) idlen = sizeof(st.uuid) - 1;
      memcpy(st.uuid, uuid, idlen);
      st.uuid[idlen] = '\0';
      if (at) copy_text(st.skey, sizeof(st.skey), at + 1);
      st.auth_interval = 3600;
      st.auth_ok = -1;
    } else {
      st.auth_interval = 0;
      st.auth_ok = 1;
    }
    st.random_id = 1 + static_cast<int>(rng() % 65534u);
    st.hb_interval = 30;
    st.pwcheck = 1;
    open_main_sockets(in, st, port, rng);
    st.vdt_rcvbuf = in.flags.vdt_rcvbuf;
    st.vdt_sndbuf = 65536;
    st.maxconn = VV_MAX_CONNS;
    if (st.sock <= 0) {
      st.sock = 0;
      return 0;
    }
    if (cbs) st.callbacks = *cbs;
  }
  vv_log(in, 2, "==========================================================================\n");
  int port_now;
  char name_now[100];
  {
    std::lock_guard<std::mutex> lock(in.mu);
    port_now = in.st.port;
    memcpy(name_now, in.st.svraddr, sizeof(name_now));
  }
  vv_log(in, 2, "Vudevavi init, main listen port: %d server: %s:%d\n", port_now, name_now, svrport);
  if (in.wake[0] < 0 && pipe2(in.wake, O_CLOEXEC | O_NONBLOCK) != 0) in.wake[0] = in.wake[1] = -1;
  char drain[64];
  while (in.wake[0] >= 0 && read(in.wake[0], drain, sizeof(drain)) > 0) {
  }
  vv_conn_attach(in);
  in.run = 1;
  if (!g_manual.load()) in.main_thread = std::thread([&in] { vv_nat_main_body(in); });
  return 1;
}

int do_exit(VvInstance& in) {
  std::lock_guard<std::mutex> life(in.life_mu);
  in.run = 0;
  if (in.wake[1] >= 0) (void)!write(in.wake[1], "x", 1);
  // Threads first: they may still be inside a receive on the main sockets.
  if (in.main_thread.joinable()) in.main_thread.join();
  if (in.on_exit) in.on_exit(in);
  std::unique_lock<std::shared_mutex> socks(in.sock_mu);
  std::lock_guard<std::mutex> lock(in.mu);
  CloseSocket(&in.st.sock);
  CloseSocket(&in.st.sock6);
  for (auto& c : in.st.conns) c.established = 0;
  if (in.flags.calls_vdt_exit) vdt_exit();  // instance 2 leaves the shared layer up
  return 1;
}

// New main sockets on a fresh port in 1024..2000, after five sends went unanswered.
void renew_sockets(VvInstance& in) {
  std::unique_lock<std::shared_mutex> socks(in.sock_mu);
  int old4, old6;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    old4 = in.st.sock;
    old6 = in.st.sock6;
    in.st.sock = in.st.sock6 = 0;
  }
  CloseSocket(&old4);
  CloseSocket(&old6);
  timeval tv;
  gettimeofday(&tv, nullptr);
  std::mt19937 rng(static_cast<uint32_t>(tv.tv_usec) * 2654435761u);
  int s4 = 0, s6 = 0, port = 0;
  for (int i = 0; i < 100 && s4 <= 0; ++i) {
    port = 1024 + static_cast<int>(rng() % 977u);
    s4 = UdpListen(static_cast<unsigned short>(port));
    s6 = UdpListen6(static_cast<unsigned short>(port));
    if (s4 <= 0 && s6 > 0) CloseSocket(&s6);
  }
  std::lock_guard<std::mutex> lock(in.mu);
  if (s4 <= 0 && s6 > 0) CloseSocket(&s6);
  in.st.sock = s4 > 0 ? s4 : 0;
  in.st.sock6 = s4 > 0 && s6 > 0 ? s6 : 0;
  if (s4 > 0) in.st.port = static_cast<uint16_t>(port);
  // The server port tried cycles base, base + 1, base + 2.
  in.st.svrport_offset = in.st.svrport_offset + 1 > 2 ? 0 : in.st.svrport_offset + 1;
}

int do_set_server(VvInstance& in, const char* svraddr, int svrport) {
  {
    std::lock_guard<std::mutex> lock(in.mu);
    copy_text(in.st.svraddr, sizeof(in.st.svraddr), svraddr);
    in.st.svrport = static_cast<uint16_t>(svrport);
  }
  int r = vv_nat_resolve_server(in, 1);
  std::lock_guard<std::mutex> lock(in.mu);
  in.st.hbtime = 0;
  in.st.params_time = 0;
  in.st.auth_time = 0;
  return r;
}

int do_get_status(VvInstance& in) {
  std::lock_guard<std::mutex> lock(in.mu);
  const vv_nat_state& st = in.st;
  if (st.sock <= 0) return -1;
  if (st.key_invalid) return -2;
  if (st.auth_ok == 0) return -3;
  if (st.auth_ok < 0) return 0;
  int64_t now = vv_nat_now();
  if (st.hbtime == 0 || st.hbtime > now || now >= st.hbtime + st.hb_interval + 15) return 0;
  return 1;
}

int do_get_server(VvInstance& in, char* buf, int size) {
  if (do_get_status(in) != 1 || !buf || size <= 0) return -1;
  std::lock_guard<std::mutex> lock(in.mu);
  copy_text(buf, static_cast<size_t>(size), in.st.ipv6svr ? in.st.svrip6 : in.st.svrip4);
  return 0;
}

int do_run_param(VvInstance& in, char* buf, int size) {
  if (!buf || size <= 0) return 0;
  std::lock_guard<std::mutex> lock(in.mu);
  const vv_nat_state& st = in.st;
  int n = snprintf(
      buf, static_cast<size_t>(size),
      "uuid:%s\nrun:%d\nsock:%d\nsock6:%d\nport:%d\nsvraddr:%s\nsvrport:%d\nsvrkey:%s\n"
      "key_invalid:%d\nskey:%s\nsvrnum:%d\nsvrip4:%s\nsvrip6:%s\nipv6svr:%d\ntimestamp:%d\n"
      "hbtime:%d\nsend_hb:%d\ngetsvrtime:%d\nnattype:%d\nchecksvrs:%d\nauth_time:%d\nauth_ok:%d\n",
      st.uuid, in.run.load(), st.sock, st.sock6, st.port, st.svraddr, st.svrport + st.svrport_offset,
      st.svrkey, st.key_invalid, st.skey, st.svrnum, st.svrip4, st.svrip6, st.ipv6svr,
      static_cast<int>(vv_nat_now()), static_cast<int>(st.hbtime), st.send_hb,
      static_cast<int>(st.getsvrtime), st.nattype, st.checksvrs, static_cast<int>(st.auth_time),
      st.auth_ok);
  return n < 0 ? 0 : (n >= size ? size - 1 : n);
}

int do_set_param(VvInstance& in, const void* bytes, int size) {
  if (!bytes || size < 1 || size > VV_PARAMS_MAX) return 0;
  std::lock_guard<std::mutex> lock(in.mu);
  memcpy(in.st.params, bytes, static_cast<size_t>(size));
  in.st.params_size = size;
  in.st.params_time = 0;  // the server gets them again
  return 1;
}

int do_get_num(VvInstance& in) {
  std::lock_guard<std::mutex> lock(in.mu);
  int n = 0;
  for (const auto& c : in.st.conns) n += c.established ? 1 : 0;
  return n;
}

int do_conn_status(VvInstance& in, int conn_id, vv_nat_conn_stat* out) {
  if (conn_id < 1 || conn_id > VV_MAX_CONNS) return -1;
  std::lock_guard<std::mutex> lock(in.mu);
  const vv_nat_conn& c = in.st.conns[conn_id - 1];
  if (!c.established) return 0;
  if (!out) return 1;
  memset(out, 0, sizeof(*out));
  copy_text(out->ip, sizeof(out->ip), c.peer_ip4);
  out->port = c.via_ipv6 ? c.peer_port6 : c.peer_port4;
  out->relayed = c.relayed;
  out->loss = c.loss;
  out->bandwidth = c.bandwidth;
  out->peer_nattype = c.peer_nattype;
  out->nattype = in.st.nattype;
  out->peer_version = c.peer_version;
  out->vdt_id = c.vdt_id;
  copy_text(out->ip6, sizeof(out->ip6), c.peer_ip6);
  out->dest_type = c.dest_type;
  return 1;
}

template <typename F>
void with_state(VvInstance& in, F f) {
  std::lock_guard<std::mutex> lock(in.mu);
  f(in.st);
}

}  // namespace

int vv_nat_resolve_server(VvInstance& in, int first_time) {
  if (!first_time) {
    int send_hb;
    {
      std::lock_guard<std::mutex> lock(in.mu);
      send_hb = in.st.send_hb;
    }
    if (send_hb < 5) return 1;
    if (send_hb == 5) {
      renew_sockets(in);
      int s4, s6, port;
      {
        std::lock_guard<std::mutex> lock(in.mu);
        s4 = in.st.sock;
        s6 = in.st.sock6;
        port = in.st.port;
      }
      vv_log(in, 2, "Recreate socket:%d %d Port:%d\n", s4, s6, port);
    }
  }
  char name[100];
  {
    std::lock_guard<std::mutex> lock(in.mu);
    memcpy(name, in.st.svraddr, sizeof(name));
  }
  vv_log(in, 2, "Server domain: %s\n", name);
  // Lookups run outside the lock: a slow resolver must not stall the status calls.
  char list4[200] = "", list6[200] = "";
  int n4 = GetHostByNameV2(name, list4, sizeof(list4));
  int n6 = GetHostByName6V2(name, list6, sizeof(list6));
  sockaddr_in6 prefix{};
  int nat64 = 0;
  if (in.flags.uses_nat64) nat64 = GetHostByName6(vv_nat64_probe_name, 0, &prefix) ? 1 : 0;
  vv_log(in, 2, "Got DNS result: %s -> %s IPV6 -> %s [%d %d] NAT64:%d\n", name, list4, list6,
           n4, n6, nat64);
  std::lock_guard<std::mutex> lock(in.mu);
  vv_nat_state& st = in.st;
  copy_text(st.svrip4_list, sizeof(st.svrip4_list), n4 > 0 ? list4 : "");
  copy_text(st.svrip6_list, sizeof(st.svrip6_list), n6 > 0 ? list6 : "");
  if (in.flags.uses_nat64) {
    st.nat64 = nat64;
    if (nat64) st.nat64_prefix = prefix;
  }
  if (n4 <= 0 && n6 <= 0) return 0;
  st.svrnum = 0;
  st.own_ip6[0] = '\0';
  st.pubip_list[0] = '\0';
  st.hbtime = 0;
  st.send_hb = 0;
  st.nattype = 0;
  st.ipv6svr = 0;
  st.checksvrs = 0;
  // Until a mapped-address reply picks the server, the first address of the name stands in,
  // so that the queries have somewhere to go.
  if (n4 > 0) {
    char first[32];
    copy_text(first, sizeof(first), list4);
    if (char* bar = strchr(first, '|')) *bar = '\0';
    copy_text(st.svrip4, sizeof(st.svrip4), first);
    GetHostByName(first, st.svrport, &st.sel_addr4);
  }
  return 1;
}

VvInstance& vv_instance(int index) {
  static VvInstance one(kFlags1);
  static VvInstance two(kFlags2);
  return index == 2 ? two : one;
}

void vv_nat_set_clock(int64_t (*now_s)(void)) { g_clock = now_s; }

void vv_nat_set_time_scale(int k) { g_scale = k < 1 ? 1 : k; }

void vv_nat_manual_start(bool manual) { g_manual = manual; }

int vv_scaled_ms(int ms) {
  int r = ms / g_scale.load();
  return r < 1 ? 1 : r;
}

int64_t vv_nat_now_ms(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  return ms * g_scale.load() + 1;
}

int64_t vv_nat_now(void) {
  if (auto fn = g_clock.load()) return fn();
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  return ms * g_scale.load() / 1000 + 1;  // never 0, which means "none"
}

void vv_log(VvInstance& in, int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  write_log(in, level, fmt, ap);
  va_end(ap);
}

int vv_nat_spoofed_count(void) {
  std::lock_guard<std::mutex> lock(vv_instance(1).mu);
  return vv_instance(1).st.spoofed;
}

int vv2_nat_spoofed_count(void) {
  std::lock_guard<std::mutex> lock(vv_instance(2).mu);
  return vv_instance(2).st.spoofed;
}

int vv_nat_init_v2(const char* svraddr, int svrport, const char* uuid, int port,
                   const vv_nat_callbacks* cbs, const char* log_path) {
  return do_init(vv_instance(1), svraddr, svrport, uuid, port, cbs, log_path);
}

void vv_nat_set_maxconn(int n) {
  if (n >= 1 && n <= VV_MAX_CONNS) with_state(vv_instance(1), [n](vv_nat_state& st) { st.maxconn = n; });
}

void vv_nat_log(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  write_log(vv_instance(1), level, fmt, ap);
  va_end(ap);
}

#define VV_NAT_DEFINE(P, N)                                                                     \
  int P##exit(void) { return do_exit(vv_instance(N)); }                                        \
  int P##set_server(const char* a, int p) { return do_set_server(vv_instance(N), a, p); }      \
  void P##set_server_key(const char* key) {                                                    \
    with_state(vv_instance(N), [key](vv_nat_state& st) {                                       \
      copy_text(st.svrkey, sizeof(st.svrkey), key);                                            \
      st.key_invalid = 0;                                                                      \
    });                                                                                        \
  }                                                                                            \
  void P##set_passwd(const char* pw) {                                                         \
    char md5[33] = "";                                                                         \
    if (pw && *pw) vv_Md5String(pw, static_cast<int>(strlen(pw)), md5);                        \
    with_state(vv_instance(N), [&md5](vv_nat_state& st) { memcpy(st.passwd_md5, md5, 33); });  \
  }                                                                                            \
  void P##set_timeout(int ms) {                                                                \
    with_state(vv_instance(N), [ms](vv_nat_state& st) { st.conn_timeout = ms; });              \
  }                                                                                            \
  void P##set_upnp(const char* ip, int port, int lport) {                                      \
    with_state(vv_instance(N), [=](vv_nat_state& st) {                                         \
      copy_text(st.upnp_ip, sizeof(st.upnp_ip), ip);                                           \
      st.upnp_port = port;                                                                     \
      st.upnp_lport = lport;                                                                   \
    });                                                                                        \
  }                                                                                            \
  void P##set_reconnect(int v) {                                                               \
    with_state(vv_instance(N), [v](vv_nat_state& st) { st.reconnect = v; });                   \
  }                                                                                            \
  void P##set_port_range(uint16_t lo, uint16_t hi) {                                           \
    with_state(vv_instance(N), [=](vv_nat_state& st) {                                         \
      st.port_lo = lo;                                                                         \
      st.port_hi = hi;                                                                         \
    });                                                                                        \
  }                                                                                            \
  int P##set_param(const void* b, int s) { return do_set_param(vv_instance(N), b, s); }        \
  int P##get_status(void) { return do_get_status(vv_instance(N)); }                            \
  int P##get_server(char* b, int s) { return do_get_server(vv_instance(N), b, s); }            \
  int P##version(void) { return VV_NAT_VERSION; }                                              \
  int P##run_param(char* b, int s) { return do_run_param(vv_instance(N), b, s); }              \
  int P##get_num(void) { return do_get_num(vv_instance(N)); }                                  \
  int P##conn_status(int id, vv_nat_conn_stat* s) { return do_conn_status(vv_instance(N), id, s); } \
  void P##set_rate(int id, int rate) { P##conn_vdt_rate(id, rate); }

VV_NAT_DEFINE(vv_nat_, 1)
VV_NAT_DEFINE(vv2_nat_, 2)

int vv_nat_init(const char* svraddr, int svrport, const char* uuid, int port,
                const vv_nat_callbacks* cbs) {
  return do_init(vv_instance(1), svraddr, svrport, uuid, port, cbs, nullptr);
}

int vv2_nat_init(const char* svraddr, int svrport, const char* uuid, int port,
                 const vv_nat_callbacks* cbs) {
  return do_init(vv_instance(2), svraddr, svrport, uuid, port, cbs, nullptr);
}
