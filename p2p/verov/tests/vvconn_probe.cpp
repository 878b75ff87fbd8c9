// A NAT-client process with connections for the namespace tests. Prints JSON lines: the
// registration status when it changes, and every connection event. Commands on stdin:
//   connect ID [PASSWD]  -> {"connect": rc, "dest": type, "relayed": 0|1, "ms": elapsed}
//   frames               -> sends frames of 1 byte .. 64 KiB on the last connection and waits
//                           for the device's echo: {"frames": bytes, "sent": sha, "back": sha}
//   multi ID N           -> N connections at once, each echoing a few frames: {"multi": ok}
//   close                -> closes the last connection
//   novdt ID             -> a plain-datagram connection, answered like connect
//   msgs                 -> data messages of 1 .. 1400 bytes on the last connection, echoed:
//                           {"msgs": bytes, "sent": sha, "back": sha, "over": rc of 1401 bytes}
//   login USER PW        -> login request on the last connection: {"login_sent": rc}; the
//                           answer comes as {"event": "login", "ret": r}
//   connect_ex ID        -> takes the path's socket and pings the peer through it:
//                           {"connect_ex": sock, "ip": text, "port": p, "echoed": n}
//   vdtecho PORT [RELAY] -> (in the background) vdt alone on UDP PORT, with the connections'
//                           buffer sizes, echoing every byte; through RELAY (ip:port) when
//                           given, registered there as a pair with vdtbulk: {"vdtecho": PORT}
//   vdtbulk IP PORT BYTES [RELAY] -> BYTES in 64 KiB messages to a vdtecho, timed until all
//                           came back: {"vdt_bulk": sent, "back": bytes, "ms": elapsed}
//   quit (or EOF)
// A process started with --echo answers every frame it receives with the same frame.
// Usage: vvconn_probe [--inst 1|2] [--server ADDR] [--port P] [--uuid ID[@KEY]] [--scale K]
//                     [--reconnect N] [--timeout MS] [--passwd PW] [--echo 1] [--log FILE]
//                     [--conn-scale K] [--vdt-sndbuf BYTES] [--first-send 1]
//                     [--login USER:PW] [--onsocket 1] [--port-range LO:HI] [--occupy PORT]
// --login: incoming login requests get 1 for that pair, -1 otherwise; --onsocket: sockets
// handed over by accepted socket connections echo every datagram to its sender; --occupy
// binds that UDP port first (so that a one-port range finds it taken).
#include <openssl/evp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vv_instance.h"
#include "vv_nat.h"
#include "vv_nat_conn.h"
#include "vdt.h"
#include "vv_socket.h"

namespace {

int g_inst = 1;
std::mutex g_out;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  std::lock_guard<std::mutex> lock(g_out);
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  printf("\n");
  fflush(stdout);
}

long long mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int literal_only(const char* host, int family, sockaddr_storage* out, int max, void*) {
  if (max < 1) return 0;
  memset(out, 0, sizeof(*out));
  out->ss_family = static_cast<sa_family_t>(family);
  void* a = family == AF_INET ? static_cast<void*>(&reinterpret_cast<sockaddr_in*>(out)->sin_addr)
                              : static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(out)->sin6_addr);
  return inet_pton(family, host, a) == 1 ? 1 : 0;
}

std::string sha256(const std::vector<unsigned char>& v) {
  unsigned char md[32];
  unsigned int n = 0;
  EVP_Digest(v.data(), v.size(), md, &n, EVP_sha256(), nullptr);
  std::string s;
  char b[3];
  for (unsigned i = 0; i < n; ++i) {
    snprintf(b, sizeof(b), "%02x", md[i]);
    s += b;
  }
  return s;
}

struct Echo {
  int conn;
  unsigned short a, b;
  std::vector<unsigned char> data;
  bool msg = false;  // a data message: answered with one
};

bool g_echo = false;
std::string g_login;
bool g_first_send = false;
std::mutex g_mu;
std::condition_variable g_cv;
std::deque<Echo> g_echoes;
std::vector<unsigned char> g_back;
size_t g_back_by_conn[101];

void on_connect(int id) { say("{\"event\": \"connect\", \"id\": %d}", id); }
void on_disconnect(int id, int reason) {
  say("{\"event\": \"disconnect\", \"id\": %d, \"reason\": %d}", id, reason);
}
int on_frame(int id, unsigned short a, unsigned short b, const void* data, int len) {
  std::lock_guard<std::mutex> lock(g_mu);
  const unsigned char* p = static_cast<const unsigned char*>(data);
  if (g_echo)
    g_echoes.push_back(Echo{id, a, b, std::vector<unsigned char>(p, p + len)});
  else
    g_back.insert(g_back.end(), p, p + len);
  if (id >= 1 && id <= 100) g_back_by_conn[id] += static_cast<size_t>(len);
  g_cv.notify_all();
  return 0;
}
void on_recv(int id, const void* data, int len) { on_frame(id, 0, 0, data, len); }
void on_recv_msg(int id, int dtype, const void* data, int len) {
  std::lock_guard<std::mutex> lock(g_mu);
  const unsigned char* p = static_cast<const unsigned char*>(data);
  if (g_echo)
    g_echoes.push_back(Echo{id, 0, static_cast<unsigned short>(dtype), std::vector<unsigned char>(p, p + len), true});
  else
    g_back.insert(g_back.end(), p, p + len);
  if (id >= 1 && id <= 100) g_back_by_conn[id] += static_cast<size_t>(len);
  g_cv.notify_all();
}
int on_login_request(int id, const char* user, const char* passwd) {
  int ret = g_login == std::string(user) + ":" + passwd ? 1 : -1;
  say("{\"event\": \"login_request\", \"id\": %d, \"ret\": %d}", id, ret);
  return ret;
}
void on_login_result(int id, int ret) { say("{\"event\": \"login\", \"id\": %d, \"ret\": %d}", id, ret); }

// A handed-over socket: every datagram goes back to where it came from.
void on_socket(int sock, const char* ip, unsigned short port) {
  say("{\"event\": \"socket\", \"sock\": %d, \"ip\": \"%s\", \"port\": %d}", sock, ip, port);
  std::thread([sock] {
    unsigned char buf[2048];
    for (;;) {
      sockaddr_storage from{};
      socklen_t fl = sizeof(from);
      pollfd p{sock, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      ssize_t n = recvfrom(sock, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n > 0) sendto(sock, buf, static_cast<size_t>(n), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from), fl);
    }
  }).detach();
}

// Pings through a taken socket; datagrams that are not the ping's echo are skipped.
int ping_through(int sock, const char* ip, unsigned short port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (inet_pton(AF_INET, ip, &to.sin_addr) != 1) return -1;
  int echoed = 0;
  for (int i = 0; i < 3; ++i) {
    char ping[32];
    int len = snprintf(ping, sizeof(ping), "ping-%d", i);
    sendto(sock, ping, static_cast<size_t>(len), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    long long until = mono_ms() + 10000;
    bool got = false;
    while (!got && mono_ms() < until) {
      pollfd p{sock, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) {
        sendto(sock, ping, static_cast<size_t>(len), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        continue;
      }
      char buf[2048];
      ssize_t n = recv(sock, buf, sizeof(buf), 0);
      got = n == len && memcmp(buf, ping, static_cast<size_t>(len)) == 0;
    }
    if (got) echoed += 1;
  }
  return echoed;
}

// --- vdt alone over the same path, for the benchmark's comparison ---------------------------

int bound_udp(int port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return -1;
  return s;
}

bool parse_ep(const char* text, sockaddr_in* out) {
  char ip[64];
  int port = 0;
  if (!text || sscanf(text, "%63[0-9.]:%d", ip, &port) != 2) return false;
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, ip, &out->sin_addr) == 1;
}

// Registers the socket with the relay as one side of the pair (a, b); true on the answer.
bool relay_register(int s, const sockaddr_in& relay, const char* own, int own_id, const char* peer, int peer_id) {
  unsigned char d[212] = {};
  d[0] = 0x12;
  d[1] = 0x20;
  d[2] = 3001 & 0xff;
  d[3] = 3001 >> 8;
  memcpy(d + 4, own, strlen(own));
  memcpy(d + 104, &own_id, 4);
  memcpy(d + 108, peer, strlen(peer));
  memcpy(d + 208, &peer_id, 4);
  for (int i = 0; i < 20; ++i) {
    sendto(s, d, sizeof(d), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&relay), sizeof(relay));
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 500) == 1) {
      unsigned char r[64];
      ssize_t n = recv(s, r, sizeof(r), 0);
      if (n >= 4 && r[2] == (3002 & 0xff) && r[3] == (3002 >> 8)) return true;
    }
  }
  return false;
}

void vdt_buffers(int* snd, int* rcv) {
  std::lock_guard<std::mutex> lock(vv_instance(g_inst).mu);
  *snd = vv_instance(g_inst).st.vdt_sndbuf;
  *rcv = vv_instance(g_inst).st.vdt_rcvbuf;
}

// Queues all of data, waiting while the send buffer is full; false when the stream closed.
bool vdt_send_all(int id, const unsigned char* data, int len) {
  int done = 0;
  while (done < len) {
    int n = vdt_send(id, data + done, len - done);
    if (n < 0) return false;
    if (n == 0) poll(nullptr, 0, 1);
    done += n;
  }
  return true;
}

void vdt_echo(int port, std::string relay_text) {
  int s = bound_udp(port);
  sockaddr_in relay{}, peer{};
  bool via = !relay_text.empty() && parse_ep(relay_text.c_str(), &relay);
  if (s < 0 || (via && !relay_register(s, relay, "VDTB", 2, "VDTA", 1))) {
    say("{\"vdtecho\": -1}");
    return;
  }
  say("{\"vdtecho\": %d}", port);
  pollfd p{s, POLLIN, 0};
  if (poll(&p, 1, 120000) != 1) return;
  socklen_t fl = sizeof(peer);
  unsigned char b[4];
  recvfrom(s, b, sizeof(b), MSG_PEEK, reinterpret_cast<sockaddr*>(&peer), &fl);
  if (via) peer = relay;
  char ip[32];
  inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
  int snd, rcv;
  vdt_buffers(&snd, &rcv);
  vdt_init();
  int id = vdt_create(s, snd, rcv);
  if (id <= 0) return;
  vdt_set_destaddr(id, ip, ntohs(peer.sin_port));
  std::vector<unsigned char> buf(65536);
  for (;;) {
    int n = vdt_recv(id, buf.data(), static_cast<int>(buf.size()));
    if (n < 0) break;
    if (n == 0) {
      poll(nullptr, 0, 1);
      continue;
    }
    if (!vdt_send_all(id, buf.data(), n)) break;
  }
  vdt_close(id);
}

void vdt_bulk(const char* ip, int port, long long bytes, const char* relay_text) {
  int s = bound_udp(0);
  sockaddr_in relay{};
  bool via = relay_text && relay_text[0] && parse_ep(relay_text, &relay);
  if (s < 0 || (via && !relay_register(s, relay, "VDTA", 1, "VDTB", 2))) {
    say("{\"vdt_bulk\": -1}");
    return;
  }
  int snd, rcv;
  vdt_buffers(&snd, &rcv);
  vdt_init();
  int id = vdt_create(s, snd, rcv);
  if (id <= 0) {
    say("{\"vdt_bulk\": -2}");
    return;
  }
  if (via) {
    char rip[32];
    inet_ntop(AF_INET, &relay.sin_addr, rip, sizeof(rip));
    vdt_set_destaddr(id, rip, ntohs(relay.sin_port));
  } else {
    vdt_set_destaddr(id, ip, port);
  }
  int payload = 0;
  for (int i = 0; i < 3000 && !(vdt_get_free_size(id, &payload) > 0 && payload > 0); ++i) poll(nullptr, 0, 10);
  std::atomic<long long> back{0};
  std::thread reader([&] {
    std::vector<unsigned char> buf(65536);
    long long until = mono_ms() + 300000;
    while (back.load() < bytes && mono_ms() < until) {
      int n = vdt_recv(id, buf.data(), static_cast<int>(buf.size()));
      if (n < 0) break;
      if (n == 0) poll(nullptr, 0, 1);
      else back += n;
    }
  });
  std::vector<unsigned char> msg(65536, 0x5a);
  long long t0 = mono_ms(), sent = 0;
  while (sent < bytes) {
    int k = static_cast<int>(std::min<long long>(static_cast<long long>(msg.size()), bytes - sent));
    if (!vdt_send_all(id, msg.data(), k)) break;
    sent += k;
  }
  reader.join();
  say("{\"vdt_bulk\": %lld, \"back\": %lld, \"ms\": %lld}", sent, back.load(), mono_ms() - t0);
  vdt_close(id);
}

// Data messages of several sizes, each echoed by the device; plus one above the limit.
void msgs(int conn) {
  static const int kSizes[] = {1, 12, 100, 1000, 1399, 1400};
  std::mt19937 rng(11);
  std::vector<unsigned char> all;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_back.clear();
  }
  auto send = g_inst == 2 ? vv2_nat_send_v2 : vv_nat_send_v2;
  unsigned dtype = 1;
  for (int n : kSizes) {
    std::vector<unsigned char> f(static_cast<size_t>(n));
    for (auto& c : f) c = static_cast<unsigned char>(rng());
    int rc = send(conn, dtype++, f.data(), n);
    if (rc <= 0) {
      say("{\"msgs\": -1, \"rc\": %d, \"size\": %d}", rc, n);
      return;
    }
    all.insert(all.end(), f.begin(), f.end());
    // One at a time, so that the echoes come back in order.
    std::unique_lock<std::mutex> lock(g_mu);
    g_cv.wait_for(lock, std::chrono::seconds(10), [&] { return g_back.size() >= all.size(); });
  }
  std::vector<unsigned char> big(1401, 1);
  int over = send(conn, 1, big.data(), 1401);
  std::lock_guard<std::mutex> lock(g_mu);
  say("{\"msgs\": %zu, \"back_bytes\": %zu, \"sent\": \"%s\", \"back\": \"%s\", \"over\": %d}", all.size(),
      g_back.size(), sha256(all).c_str(), sha256(g_back).c_str(), over);
}

void echo_worker() {
  for (;;) {
    Echo e;
    {
      std::unique_lock<std::mutex> lock(g_mu);
      g_cv.wait(lock, [] { return !g_echoes.empty(); });
      e = std::move(g_echoes.front());
      g_echoes.pop_front();
    }
    if (e.msg) {
      (g_inst == 2 ? vv2_nat_send_v2 : vv_nat_send_v2)(e.conn, e.b, e.data.data(),
                                                       static_cast<int>(e.data.size()));
      continue;
    }
    auto send = g_inst == 2 ? vv2_nat_send_v3 : vv_nat_send_v3;
    send(e.conn, e.a, e.b, e.data.data(), static_cast<int>(e.data.size()), 1);
  }
}

void frames(int conn) {
  static const int kSizes[] = {1, 2, 7, 8, 9, 100, 1000, 1400, 1401, 4096, 10000, 10401, 32768, 65535, 65536};
  std::mt19937 rng(7);
  std::vector<unsigned char> all;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_back.clear();
  }
  auto send = g_inst == 2 ? vv2_nat_send_v3 : vv_nat_send_v3;
  int b = 0;
  for (int n : kSizes) {
    std::vector<unsigned char> f(static_cast<size_t>(n));
    for (auto& c : f) c = static_cast<unsigned char>(rng());
    int rc = send(conn, 1, static_cast<unsigned>(b++), f.data(), n, 1);
    if (rc != n) {
      say("{\"frames\": -1, \"rc\": %d, \"size\": %d}", rc, n);
      return;
    }
    all.insert(all.end(), f.begin(), f.end());
  }
  std::unique_lock<std::mutex> lock(g_mu);
  g_cv.wait_for(lock, std::chrono::seconds(60), [&] { return g_back.size() >= all.size(); });
  say("{\"frames\": %zu, \"back_bytes\": %zu, \"sent\": \"%s\", \"back\": \"%s\"}", all.size(),
      g_back.size(), sha256(all).c_str(), sha256(g_back).c_str());
}

// N connections at once to one device, each carrying a few frames and waiting for their echo.
void multi(const char* id, int n) {
  std::vector<std::thread> ts;
  std::atomic<int> ok{0};
  bool two = g_inst == 2;
  for (int i = 0; i < n; ++i)
    ts.emplace_back([&, i] {
      int c = (two ? vv2_nat_connect_v3 : vv_nat_connect_v3)(id, "", 1);
      if (c <= 0) return;
      static const int kSizes[] = {1, 1400, 65536};
      std::vector<unsigned char> f(65536, static_cast<unsigned char>(i));
      size_t total = 0;
      for (int sz : kSizes) {
        if ((two ? vv2_nat_send_v3 : vv_nat_send_v3)(c, 1, 0, f.data(), sz, 1) != sz) return;
        total += static_cast<size_t>(sz);
      }
      {
        std::unique_lock<std::mutex> lock(g_mu);
        if (!g_cv.wait_for(lock, std::chrono::seconds(60), [&] { return g_back_by_conn[c] >= total; }))
          return;
        g_back_by_conn[c] = 0;
      }
      (two ? vv2_nat_close : vv_nat_close)(c);
      ok += 1;
    });
  for (auto& t : ts) t.join();
  say("{\"multi\": %d, \"of\": %d}", ok.load(), n);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 7000, scale = 1, reconnect = -1, timeout = 0;
  const char* server = "203.0.113.10";
  const char* uuid = nullptr;
  const char* passwd = nullptr;
  const char* log = nullptr;
  int vdt_sndbuf = 0;
  bool onsocket = false;
  int port_lo = 0, port_hi = 0, occupy = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--inst") g_inst = atoi(v);
    else if (k == "--server") server = v;
    else if (k == "--port") port = atoi(v);
    else if (k == "--uuid") uuid = v;
    else if (k == "--scale") scale = atoi(v);
    else if (k == "--reconnect") reconnect = atoi(v);
    else if (k == "--timeout") timeout = atoi(v);
    else if (k == "--passwd") passwd = v;
    else if (k == "--echo") g_echo = atoi(v) != 0;
    else if (k == "--log") log = v;
    else if (k == "--first-send") g_first_send = atoi(v) != 0;
    else if (k == "--vdt-sndbuf") vdt_sndbuf = atoi(v);
    else if (k == "--conn-scale") vv_nat_set_conn_time_scale(atoi(v));
    else if (k == "--login") g_login = v;
    else if (k == "--onsocket") onsocket = atoi(v) != 0;
    else if (k == "--port-range") sscanf(v, "%d:%d", &port_lo, &port_hi);
    else if (k == "--occupy") occupy = atoi(v);
  }
  vv_set_resolver(literal_only, nullptr);
  vv_nat_set_time_scale(scale);
  vv_nat_callbacks cbs{};
  cbs.OnConnect = reinterpret_cast<vv_nat_cb>(on_connect);
  cbs.OnDisconnect = reinterpret_cast<vv_nat_cb>(on_disconnect);
  cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(on_frame);
  cbs.OnRecv = reinterpret_cast<vv_nat_cb>(on_recv);
  cbs.OnRecvMsg = reinterpret_cast<vv_nat_cb>(on_recv_msg);
  if (!g_login.empty()) cbs.OnLoginRequest = reinterpret_cast<vv_nat_cb>(on_login_request);
  cbs.OnLoginResult = reinterpret_cast<vv_nat_cb>(on_login_result);
  if (onsocket) cbs.OnSocket = reinterpret_cast<vv_nat_cb>(on_socket);
  if (occupy > 0) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(occupy));
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      say("{\"error\": \"occupy\"}");
      return 1;
    }
  }
  bool two = g_inst == 2;
  int ok = two ? vv2_nat_init(server, port, uuid, 0, &cbs)
               : vv_nat_init_v2(server, port, uuid, 0, &cbs, log);
  if (!ok) {
    say("{\"error\": \"init\"}");
    return 1;
  }
  if (reconnect >= 0) (two ? vv2_nat_set_reconnect : vv_nat_set_reconnect)(reconnect);
  if (timeout > 0) (two ? vv2_nat_set_timeout : vv_nat_set_timeout)(timeout);
  if (passwd) (two ? vv2_nat_set_passwd : vv_nat_set_passwd)(passwd);
  if (port_lo > 0 && port_hi > 0)
    (two ? vv2_nat_set_port_range : vv_nat_set_port_range)(static_cast<uint16_t>(port_lo),
                                                           static_cast<uint16_t>(port_hi));
  if (vdt_sndbuf > 0) {
    // A send buffer below one vdt slot: every vdt creation fails (bypasses the clamp).
    std::lock_guard<std::mutex> lock(vv_instance(g_inst).mu);
    vv_instance(g_inst).st.vdt_sndbuf = vdt_sndbuf;
  }
  if (g_echo) std::thread(echo_worker).detach();
  int last_status = -99, conn = 0;
  char line[512];
  size_t have = 0;
  for (;;) {
    int st = (two ? vv2_nat_get_status : vv_nat_get_status)();
    if (st != last_status) {
      last_status = st;
      say("{\"status\": %d}", st);
    }
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    ssize_t got = read(0, line + have, sizeof(line) - 1 - have);
    if (got <= 0) break;
    have += static_cast<size_t>(got);
    line[have] = '\0';
    char* nl;
    bool quit = false;
    while ((nl = strchr(line, '\n')) != nullptr) {
      *nl = '\0';
      if (strncmp(line, "connect ", 8) == 0) {
        char id[100] = "", pw[100] = "";
        sscanf(line + 8, "%99s %99s", id, pw);
        long long t0 = mono_ms();
        conn = (two ? vv2_nat_connect_v3 : vv_nat_connect_v3)(id, pw, 1);
        int dest = conn > 0 ? (two ? vv2_nat_conn_dest_type : vv_nat_conn_dest_type)(conn) : -1;
        vv_nat_conn_stat cs{};
        if (conn > 0) (two ? vv2_nat_conn_status : vv_nat_conn_status)(conn, &cs);
        // The first send right after the connect returned: it must find the path's carrier.
        int first = -99;
        if (g_first_send && conn > 0) {
          unsigned char one = 0x5a;
          first = (two ? vv2_nat_send_v3 : vv_nat_send_v3)(conn, 1, 0, &one, 1, 1);
        }
        say("{\"connect\": %d, \"dest\": %d, \"relayed\": %d, \"ms\": %lld, \"first_send\": %d, "
            "\"ip6\": \"%s\"}",
            conn, dest, cs.relayed, mono_ms() - t0, first, cs.ip6);
      } else if (strncmp(line, "novdt ", 6) == 0 && !two) {
        char id[100] = "";
        sscanf(line + 6, "%99s", id);
        long long t0 = mono_ms();
        conn = vv_nat_connect_novdt(id, 1);
        int dest = conn > 0 ? vv_nat_conn_dest_type(conn) : -1;
        vv_nat_conn_stat cs{};
        if (conn > 0) vv_nat_conn_status(conn, &cs);
        say("{\"connect\": %d, \"dest\": %d, \"relayed\": %d, \"ms\": %lld, \"vdt\": %d}", conn, dest,
            cs.relayed, mono_ms() - t0, cs.vdt_id);
      } else if (strncmp(line, "connect_ex ", 11) == 0) {
        char id[100] = "", ip[64] = "";
        unsigned short pport = 0;
        sscanf(line + 11, "%99s", id);
        int s = (two ? vv2_nat_connect_ex : vv_nat_connect_ex)(id, ip, &pport);
        int echoed = s > 0 ? ping_through(s, ip, pport) : 0;
        say("{\"connect_ex\": %d, \"ip\": \"%s\", \"port\": %d, \"echoed\": %d}", s, ip, pport, echoed);
      } else if (strncmp(line, "vdtecho ", 8) == 0) {
        int vport = 0;
        char relay[64] = "";
        sscanf(line + 8, "%d %63s", &vport, relay);
        std::thread(vdt_echo, vport, std::string(relay)).detach();
      } else if (strncmp(line, "vdtbulk ", 8) == 0) {
        char ip[64] = "", relay[64] = "";
        int vport = 0;
        long long n = 0;
        sscanf(line + 8, "%63s %d %lld %63s", ip, &vport, &n, relay);
        vdt_bulk(ip, vport, n, relay);
      } else if (strcmp(line, "msgs") == 0) {
        msgs(conn);
      } else if (strncmp(line, "login ", 6) == 0) {
        char user[100] = "", pw[100] = "";
        sscanf(line + 6, "%99s %99s", user, pw);
        say("{\"login_sent\": %d}", (two ? vv2_nat_p2p_login : vv_nat_p2p_login)(conn, user, pw));
      } else if (strncmp(line, "multi ", 6) == 0) {
        char id[100] = "";
        int n = 0;
        sscanf(line + 6, "%99s %d", id, &n);
        multi(id, n);
      } else if (strncmp(line, "bulk ", 5) == 0) {
        // N bytes as 64 KiB frames, timed until the device echoed all of them back.
        long long n = atoll(line + 5), sent = 0;
        std::vector<unsigned char> f(65536, 0xa5);
        {
          std::lock_guard<std::mutex> lock(g_mu);
          g_back.clear();
          if (conn > 0) g_back_by_conn[conn] = 0;
        }
        long long t0 = mono_ms();
        while (sent < n) {
          int k = static_cast<int>(std::min<long long>(65536, n - sent));
          if ((two ? vv2_nat_send_v3 : vv_nat_send_v3)(conn, 1, 0, f.data(), k, 1) != k) break;
          sent += k;
          std::lock_guard<std::mutex> lock(g_mu);
          g_back.clear();  // only the count matters here
        }
        {
          std::unique_lock<std::mutex> lock(g_mu);
          g_cv.wait_for(lock, std::chrono::seconds(120), [&] {
            return conn > 0 && static_cast<long long>(g_back_by_conn[conn]) >= sent;
          });
          g_back.clear();
        }
        say("{\"bulk_sent\": %lld, \"back\": %zu, \"ms\": %lld}", sent,
            conn > 0 ? g_back_by_conn[conn] : 0, mono_ms() - t0);
      } else if (strcmp(line, "frames") == 0) {
        frames(conn);
      } else if (strcmp(line, "close") == 0) {
        (two ? vv2_nat_close : vv_nat_close)(conn);
        say("{\"closed\": %d}", conn);
      } else if (strcmp(line, "quit") == 0) {
        quit = true;
      }
      size_t rest = have - static_cast<size_t>(nl + 1 - line);
      memmove(line, nl + 1, rest);
      have = rest;
      line[have] = '\0';
    }
    if (quit || have >= sizeof(line) - 1) break;
  }
  (two ? vv2_nat_exit : vv_nat_exit)();
  fflush(stdout);
  _exit(0);  // the echo worker may still wait
}
