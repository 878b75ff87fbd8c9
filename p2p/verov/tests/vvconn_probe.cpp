// A NAT-client process with connections for the namespace tests. Prints JSON lines: the
// registration status when it changes, and every connection event. Commands on stdin:
//   connect ID [PASSWD]  -> {"connect": rc, "dest": type, "relayed": 0|1, "ms": elapsed}
//   frames               -> sends frames of 1 byte .. 64 KiB on the last connection and waits
//                           for the device's echo: {"frames": bytes, "sent": sha, "back": sha}
//   multi ID N           -> N connections at once, each echoing a few frames: {"multi": ok}
//   close                -> closes the last connection
//   quit (or EOF)
// A process started with --echo answers every frame it receives with the same frame.
// Usage: vvconn_probe [--inst 1|2] [--server ADDR] [--port P] [--uuid ID[@KEY]] [--scale K]
//                     [--reconnect N] [--timeout MS] [--passwd PW] [--echo 1] [--log FILE]
//                     [--conn-scale K] [--vdt-sndbuf BYTES] [--first-send 1]
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
};

bool g_echo = false;
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

void echo_worker() {
  for (;;) {
    Echo e;
    {
      std::unique_lock<std::mutex> lock(g_mu);
      g_cv.wait(lock, [] { return !g_echoes.empty(); });
      e = std::move(g_echoes.front());
      g_echoes.pop_front();
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
  }
  vv_set_resolver(literal_only, nullptr);
  vv_nat_set_time_scale(scale);
  vv_nat_callbacks cbs{};
  cbs.OnConnect = reinterpret_cast<vv_nat_cb>(on_connect);
  cbs.OnDisconnect = reinterpret_cast<vv_nat_cb>(on_disconnect);
  cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(on_frame);
  cbs.OnRecv = reinterpret_cast<vv_nat_cb>(on_recv);
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
