// Port forwarding over real VERov connections, for the namespace tests. Two roles:
//   --role client: the forwarding layer maps --dev's port --rport (0: SOCKS) to a local port;
//                  prints {"status": s, "port": L, "proxy": p} whenever the status changes.
//   --role device: a registered device whose frames are handed to the device peer
//                  (t2upeer.py) over its carrier on 127.0.0.1:--carrier, one carrier
//                  connection per VERov connection, and whose carrier frames go back.
//   --role search: one LAN search, printed as {"found": n, "list": "..."}.
// Both end at the end of standard input.
// Usage: t2u_probe --role client|device|search [--inst 1|2] [--server ADDR] [--port P] [--uuid ID]
//                  [--dev ID] [--rport P] [--carrier P] [--scale K] [--conn-scale K] [--key K]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "t2u.h"
#include "vv_nat.h"
#include "vv_nat_conn.h"
#include "vv_socket.h"

namespace {

int g_inst = 1;
uint16_t g_carrier = 0;
std::mutex g_out;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  std::lock_guard<std::mutex> l(g_out);
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  printf("\n");
  fflush(stdout);
}

int literal_only(const char* host, int family, sockaddr_storage* out, int max, void*) {
  if (max < 1) return 0;
  memset(out, 0, sizeof(*out));
  out->ss_family = static_cast<sa_family_t>(family);
  void* a = family == AF_INET ? static_cast<void*>(&reinterpret_cast<sockaddr_in*>(out)->sin_addr)
                              : static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(out)->sin6_addr);
  return inet_pton(family, host, a) == 1 ? 1 : 0;
}

bool read_full(int fd, void* p, size_t n) {
  auto* b = static_cast<uint8_t*>(p);
  while (n) {
    ssize_t r = recv(fd, b, n, 0);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool write_frame(int fd, uint16_t a, uint16_t b, const void* d, int len) {
  std::vector<uint8_t> out(8 + static_cast<size_t>(len));
  uint32_t l = htonl(static_cast<uint32_t>(len + 4));
  uint16_t na = htons(a), nb = htons(b);
  memcpy(&out[0], &l, 4);
  memcpy(&out[4], &na, 2);
  memcpy(&out[6], &nb, 2);
  if (len) memcpy(&out[8], d, static_cast<size_t>(len));
  size_t at = 0;
  while (at < out.size()) {
    ssize_t r = send(fd, out.data() + at, out.size() - at, MSG_NOSIGNAL);
    if (r <= 0) return false;
    at += static_cast<size_t>(r);
  }
  return true;
}

// ---- device role: one carrier connection per VERov connection
struct Bridge {
  int fd = -1;
  std::mutex wmu;
};
std::mutex g_mu;
std::map<int, std::shared_ptr<Bridge>> g_bridges;

// The whole frame body, in as many frames as the connection's window takes at a time.
int dev_send(int conn, uint16_t a, uint16_t b, const void* d, int len) {
  const auto* p = static_cast<const uint8_t*>(d);
  int left = len;
  do {
    int r = g_inst == 2 ? vv2_nat_send_v3(conn, a, b, p, left, 1)
                        : (a == 0xFFFF ? vv_nat_send_v3(conn, a, b, p, left, 1)
                                       : vv_nat_send_v5(conn, a, b, p, left));
    if (r < 0) return r;
    if (r == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // window full
      continue;
    }
    p += r;
    left -= r;
  } while (left > 0);
  return len;
}

void carrier_reader(int conn, std::shared_ptr<Bridge> br) {
  uint8_t head[8];
  std::vector<uint8_t> body;
  bool hello = true;
  while (read_full(br->fd, head, 8)) {
    uint32_t len;
    memcpy(&len, head, 4);
    len = ntohl(len);
    if (len < 4 || len > (1u << 20)) break;
    body.resize(len - 4);
    if (!body.empty() && !read_full(br->fd, body.data(), body.size())) break;
    if (hello) {  // the peer's "OK"
      hello = false;
      continue;
    }
    uint16_t a, b;
    memcpy(&a, head + 4, 2);
    memcpy(&b, head + 6, 2);
    if (dev_send(conn, ntohs(a), ntohs(b), body.data(), static_cast<int>(body.size())) < 0) break;
  }
}

std::shared_ptr<Bridge> bridge_for(int conn) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_bridges.find(conn);
  if (it != g_bridges.end()) return it->second;
  auto br = std::make_shared<Bridge>();
  br->fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(g_carrier);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(br->fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return nullptr;
  write_frame(br->fd, 0, 0, "device", 6);
  g_bridges[conn] = br;
  std::thread(carrier_reader, conn, br).detach();
  return br;
}

void dev_on_connect(int id) { say("{\"event\": \"connect\", \"id\": %d}", id); }
void dev_on_disconnect(int id, int reason) {
  say("{\"event\": \"disconnect\", \"id\": %d, \"reason\": %d}", id, reason);
  std::shared_ptr<Bridge> br;
  {
    std::lock_guard<std::mutex> l(g_mu);
    auto it = g_bridges.find(id);
    if (it == g_bridges.end()) return;
    br = it->second;
    g_bridges.erase(it);
  }
  shutdown(br->fd, SHUT_RDWR);
}
int dev_on_frame(int id, unsigned short a, unsigned short b, const void* data, int len) {
  auto br = bridge_for(id);
  if (!br) return 0;
  std::lock_guard<std::mutex> l(br->wmu);
  write_frame(br->fd, a, b, data, len);
  return 0;
}

bool stdin_open(int ms) {
  pollfd p{0, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return true;
  char b[256];
  return read(0, b, sizeof(b)) > 0;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 7000, scale = 1;
  std::string role = "client", server = "203.0.113.10", uuid = "CLI1", dev = "DEV1";
  int rport = 0;
  std::string key;  // the server key (keyed heartbeats; the server may then ask for connect logs)
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--role") role = v;
    else if (k == "--inst") g_inst = atoi(v);
    else if (k == "--server") server = v;
    else if (k == "--port") port = atoi(v);
    else if (k == "--uuid") uuid = v;
    else if (k == "--dev") dev = v;
    else if (k == "--rport") rport = atoi(v);
    else if (k == "--carrier") g_carrier = static_cast<uint16_t>(atoi(v));
    else if (k == "--scale") scale = atoi(v);
    else if (k == "--conn-scale") vv_nat_set_conn_time_scale(atoi(v));
    else if (k == "--key") key = v;
  }
  vv_set_resolver(literal_only, nullptr);
  vv_nat_set_time_scale(scale);
  if (role == "device") {
    vv_nat_callbacks cbs{};
    cbs.OnConnect = reinterpret_cast<vv_nat_cb>(dev_on_connect);
    cbs.OnDisconnect = reinterpret_cast<vv_nat_cb>(dev_on_disconnect);
    cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(dev_on_frame);
    int ok = g_inst == 2 ? vv2_nat_init(server.c_str(), port, uuid.c_str(), 0, &cbs)
                         : vv_nat_init(server.c_str(), port, uuid.c_str(), 0, &cbs);
    if (!ok) {
      say("{\"error\": \"init\"}");
      return 1;
    }
    if (!key.empty()) (g_inst == 2 ? vv2_nat_set_server_key : vv_nat_set_server_key)(key.c_str());
    int last = -99;
    while (stdin_open(20)) {
      int st = g_inst == 2 ? vv2_nat_get_status() : vv_nat_get_status();
      if (st != last) say("{\"status\": %d}", last = st);
    }
    g_inst == 2 ? vv2_nat_exit() : vv_nat_exit();
    return 0;
  }
  if (role == "search") {
    char list[4096];
    int n = t2u_search(list, sizeof(list));
    std::string esc;
    for (const char* c = list; *c; ++c) esc += *c == '\n' ? std::string("\\n") : std::string(1, *c);
    say("{\"found\": %d, \"list\": \"%s\"}", n, esc.c_str());
    return 0;
  }
  // Client role: the forwarding layer over the NAT client.
  (g_inst == 2 ? t2u2_init : t2u_init)(server.c_str(), port, key.c_str());
  int local = (g_inst == 2 ? t2u2_add_port : t2u_add_port)(dev.c_str(), static_cast<uint16_t>(rport), 0);
  int last = -99, last_reg = -99;
  while (stdin_open(20)) {
    int reg = g_inst == 2 ? t2u2_status() : t2u_status();
    if (reg != last_reg) say("{\"registered\": %d}", last_reg = reg);
    _T2U_NET_STAT ns{};
    int st = (g_inst == 2 ? t2u2_port_status : t2u_port_status)(static_cast<uint16_t>(local), &ns);
    if (st != last) {
      last = st;
      say("{\"status\": %d, \"port\": %d, \"proxy\": %d, \"remote\": \"%s\"}", st, local, ns.proxy,
          ns.remote_ip);
    }
  }
  (g_inst == 2 ? t2u2_exit : t2u_exit)();
  return 0;
}
