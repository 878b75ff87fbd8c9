// A carrier for the port-forwarding layer's frames in tests: each "connection" is a TCP
// connection to the device peer (tests/sim/verov/t2upeer.py) on loopback, frames go as
// [u32 length][u16 a][u16 b][body] (big-endian). Like the real connection it never blocks the
// layer: data frames enter a bounded send buffer (0 = try again when it is full) that a writer
// thread drains, and a refused frame from the device is offered again 1 ms later.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "t2u.h"
#include "t2u_transport.h"

namespace t2upipe {

struct Conn {
  int fd = -1;
  int instance = 1;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<uint8_t> out;
  std::atomic<bool> open{true};
  // Set once the device said "OK": a connection still being set up has no status yet, as
  // with the real carrier, so a mapping of an unanswered device keeps polling.
  std::atomic<bool> up{false};
  std::thread reader, writer;
};

struct State {
  uint16_t port = 0;        // the device peer's carrier port
  int dest_type = 0;        // 1: the device is on the LAN (direct connects allowed)
  int relayed = 0;
  std::atomic<int> status{1};
  size_t out_limit = 256 * 1024;
  // What the server would answer to queries: offline IDs, and the port in the device's
  // information bytes (0 when not listed).
  std::set<std::string> offline;
  std::map<std::string, uint16_t> info_port;
  std::mutex mu;
  std::map<int, std::shared_ptr<Conn>> conns;
  std::vector<std::shared_ptr<Conn>> all;
  int next = 1;
};
inline State& st() {
  static State s;
  return s;
}

inline bool read_full(int fd, void* p, size_t n) {
  auto* b = static_cast<uint8_t*>(p);
  while (n) {
    ssize_t r = recv(fd, b, n, 0);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

inline void frame(std::vector<uint8_t>& out, uint16_t a, uint16_t b, const void* d, int len) {
  uint32_t l = htonl(static_cast<uint32_t>(len + 4));
  uint16_t na = htons(a), nb = htons(b);
  size_t at = out.size();
  out.resize(at + 8 + static_cast<size_t>(len));
  memcpy(&out[at], &l, 4);
  memcpy(&out[at + 4], &na, 2);
  memcpy(&out[at + 6], &nb, 2);
  if (len) memcpy(&out[at + 8], d, static_cast<size_t>(len));
}

inline void on_connect(int in, int id) { in == 2 ? t2u2_OnConnect(id) : t2u_OnConnect(id); }
inline void on_disconnect(int in, int id, int r) {
  in == 2 ? t2u2_OnDisconnect(id, r) : t2u_OnDisconnect(id, r);
}
inline int on_frame(int in, int id, uint16_t a, uint16_t b, const void* d, int n) {
  return in == 2 ? t2u2_OnRecvFrame(id, a, b, d, n) : t2u_OnRecvFrame(id, a, b, d, n);
}

inline void reader(int id, std::shared_ptr<Conn> c, std::string uuid) {
  std::vector<uint8_t> hello;
  frame(hello, 0, 0, uuid.data(), static_cast<int>(uuid.size()));
  {
    std::lock_guard<std::mutex> l(c->mu);
    c->out.insert(c->out.begin(), hello.begin(), hello.end());
  }
  c->cv.notify_all();
  uint8_t head[8];
  if (!read_full(c->fd, head, 8)) {
    if (c->open) on_disconnect(c->instance, id, 7);
    return;
  }
  uint32_t len;
  memcpy(&len, head, 4);
  len = ntohl(len);
  std::vector<uint8_t> body(len > 4 ? len - 4 : 0);
  if (!body.empty() && !read_full(c->fd, body.data(), body.size())) return;
  if (std::string(body.begin(), body.end()) != "OK") {
    on_disconnect(c->instance, id, 1);
    return;
  }
  c->up = true;
  on_connect(c->instance, id);
  for (;;) {
    if (!read_full(c->fd, head, 8)) break;
    memcpy(&len, head, 4);
    len = ntohl(len);
    if (len < 4 || len > (1u << 20)) break;
    body.resize(len - 4);
    if (!body.empty() && !read_full(c->fd, body.data(), body.size())) break;
    uint16_t a, b;
    memcpy(&a, head + 4, 2);
    memcpy(&b, head + 6, 2);
    while (on_frame(c->instance, id, ntohs(a), ntohs(b), body.data(), static_cast<int>(body.size())) < 0) {
      if (!c->open) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (c->open.exchange(false)) on_disconnect(c->instance, id, 4);
}

inline void writer(std::shared_ptr<Conn> c) {
  std::vector<uint8_t> chunk;
  for (;;) {
    {
      std::unique_lock<std::mutex> l(c->mu);
      c->cv.wait(l, [&] { return !c->out.empty() || !c->open; });
      if (!c->open && c->out.empty()) return;
      chunk.swap(c->out);
      c->out.clear();
    }
    c->cv.notify_all();
    size_t at = 0;
    while (at < chunk.size()) {
      ssize_t r = send(c->fd, chunk.data() + at, chunk.size() - at, MSG_NOSIGNAL);
      if (r <= 0) {
        c->open = false;
        return;
      }
      at += static_cast<size_t>(r);
    }
    chunk.clear();
  }
}

inline std::shared_ptr<Conn> find(int id) {
  std::lock_guard<std::mutex> l(st().mu);
  auto it = st().conns.find(id);
  return it == st().conns.end() ? nullptr : it->second;
}

template <int N>
inline int connect_(const char* uuid, const char*, int) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(st().port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  auto c = std::make_shared<Conn>();
  c->fd = fd;
  c->instance = N;
  int id;
  {
    std::lock_guard<std::mutex> l(st().mu);
    id = st().next++;
    st().conns[id] = c;
    st().all.push_back(c);
  }
  c->writer = std::thread(writer, c);
  c->reader = std::thread(reader, id, c, std::string(uuid));
  return id;
}

inline int close_(int id) {
  auto c = find(id);
  if (!c) return -1;
  {
    std::lock_guard<std::mutex> l(c->mu);
    c->open = false;
  }
  c->cv.notify_all();
  shutdown(c->fd, SHUT_RDWR);
  std::lock_guard<std::mutex> l(st().mu);
  st().conns.erase(id);
  return 0;
}

inline int send_(int id, uint16_t a, uint16_t b, const void* d, int len, int) {
  auto c = find(id);
  if (!c || !c->open) return -1;
  {
    std::lock_guard<std::mutex> l(c->mu);
    // Control frames always go; data waits while the buffer is full.
    if (a != 0xFFFF && c->out.size() >= st().out_limit) return 0;
    frame(c->out, a, b, d, len);
  }
  c->cv.notify_all();
  return len;
}

inline int sendable_(int id) {
  auto c = find(id);
  return c && c->open ? 1 : 0;
}

inline int conn_status_(int id, vv_nat_conn_stat* s) {
  auto c = find(id);
  if (!c || !c->open || !c->up) return 0;
  memset(s, 0, sizeof(*s));
  snprintf(s->ip, sizeof(s->ip), "127.0.0.1");
  s->port = st().port;
  s->relayed = st().relayed;
  s->dest_type = st().dest_type;
  s->peer_nattype = 2;
  s->nattype = 3;
  s->peer_version = 118;
  return 1;
}

inline int exit_() {
  std::vector<std::shared_ptr<Conn>> all;
  {
    std::lock_guard<std::mutex> l(st().mu);
    all.swap(st().all);
    st().conns.clear();
  }
  for (auto& c : all) {
    {
      std::lock_guard<std::mutex> l(c->mu);
      c->open = false;
    }
    c->cv.notify_all();
    shutdown(c->fd, SHUT_RDWR);
    if (c->reader.joinable()) c->reader.join();
    if (c->writer.joinable()) c->writer.join();
    close(c->fd);
  }
  return 0;
}

inline int query_(const char* uuid, int, const int*, char* info, int isz, char*, int) {
  std::string id(uuid ? uuid : "");
  if (st().offline.count(id)) return 0;
  auto it = st().info_port.find(id);
  uint16_t p = it == st().info_port.end() ? 0 : it->second;
  if (info && isz >= 2) {
    info[0] = static_cast<char>(p & 0xff);
    info[1] = static_cast<char>(p >> 8);
  }
  return 1;
}

// The carrier for instance N (1 or 2).
template <int N = 1>
inline const T2uTransport* transport() {
  static T2uTransport t = [] {
    T2uTransport x{};
    x.query = query_;
    x.exit = exit_;
    x.get_status = [] { return st().status.load(); };
    x.conn_status = conn_status_;
    x.connect = connect_<N>;
    x.close = close_;
    x.sendable = sendable_;
    x.send = send_;
    return x;
  }();
  return &t;
}

}  // namespace t2upipe
