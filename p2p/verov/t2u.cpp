// The port-forwarding layer: instance state, mappings, clients, the four threads and the
// callbacks of the NAT client. Both instances run this code; their flags tell them apart.
//
// Records are shared pointers: every walk of the mapping or client list holds the list's
// mutex (mapping before client), and a thread or callback that needs a record after the walk
// keeps its own reference, so a removal never frees what another thread still uses.
#include "t2u.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "t2u_frames.h"
#include "t2u_transport.h"
#include "vdt_nat.h"
#include "vv_nat_conn.h"
#include "vv_queue2.h"
#include "vv_socket.h"

namespace {

enum { kTcp = 0, kUdp = 1 };
constexpr uint32_t kToLocalBytes = 512000;
constexpr uint32_t kToRemoteBytes = 204800;
constexpr uint32_t kToRemoteChunks = 1000000;
constexpr int kPollMs = 20;
constexpr int kConnectMs = 1000;
// A UDP datagram for a local peer that cannot be sent is retried this many times, then dropped.
constexpr int kUdpSendTries = 3;

int64_t now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}
int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Rate {
  std::mutex mu;
  int64_t start = 0, wstart = 0;
  int64_t trecv = 0, tsend = 0, wrecv = 0, wsend = 0;
  float wr = 0, ws = 0, wsum = 0, ar = 0, as = 0, asum = 0;
  void begin() {
    std::lock_guard<std::mutex> l(mu);
    start = wstart = now_s();
    trecv = tsend = wrecv = wsend = 0;
    wr = ws = wsum = ar = as = asum = 0;
  }
  void update(int64_t recv, int64_t sent) {
    std::lock_guard<std::mutex> l(mu);
    if (recv > 0) { trecv += recv; wrecv += recv; }
    if (sent > 0) { tsend += sent; wsend += sent; }
    int64_t t = now_s();
    if (t - wstart < 2) return;
    double e = static_cast<double>(t - wstart);
    wr = static_cast<float>(wrecv / 1024.0 / e);
    ws = static_cast<float>(wsend / 1024.0 / e);
    wsum = wr + ws;
    int64_t all = t - start > 0 ? t - start : 1;
    ar = static_cast<float>((trecv / 1024) / all);
    as = static_cast<float>((tsend / 1024) / all);
    asum = ar + as;
    wstart = t;
    wrecv = wsend = 0;
  }
  void report(_T2U_RATE_STAT* r) {
    std::lock_guard<std::mutex> l(mu);
    r->total_recv = trecv;
    r->total_send = tsend;
    r->win_recv = wr; r->win_send = ws; r->win_sum = wsum;
    r->avg_recv = ar; r->avg_send = as; r->avg_sum = asum;
    r->seconds = static_cast<int>(now_s() - start);
  }
};

struct Mapping {
  std::atomic<int> conn_id{0};
  int reason = 0;
  int connected = 0;
  int64_t conn_time = 0;  // seconds of the last attempt; 0 = never tried
  int64_t conn_start_ms = 0;
  char passwd[36] = {};
  int kind = kTcp;
  int fd = -1;
  uint16_t lport = 0;
  uint16_t upnp_port = 0;
  char upnp_ip[24] = {};
  int64_t upnp_time = 0;
  bool upnp_tried = false;
  char dev_addr[20] = {};
  int dest_type = 0;
  char uuid[100] = {};
  char dhost[20] = {};
  uint16_t dport = 0;
  Rate rate;
};
using MappingP = std::shared_ptr<Mapping>;

// How a client reaches its destination without the connection, while that is being set up.
enum DirectState { kDirectNone, kDirectTcp, kDirectUpnp, kDirectUpnpReply };

struct Client {
  int local_fd = -1;
  int direct_fd = -1;
  std::atomic<int> conn_id{0};
  uint16_t id = 0;
  int kind = kTcp;
  sockaddr_in peer{};
  char dhost[20] = {};
  uint16_t dport = 0;
  Queue2* to_local = nullptr;
  Queue2* to_remote = nullptr;
  std::atomic<int> dest_set{0};
  std::atomic<int> closing{0};
  std::atomic<int64_t> last{0};
  std::atomic<bool> socks_wait{false};  // destination port 0: the first bytes are a SOCKS request
  // The local side ended; the client closes once its queued bytes reached the device.
  std::atomic<int> local_eof{0};
  // Direct path set-up, driven by the receive thread without blocking.
  DirectState dstate = kDirectNone;
  int64_t ddeadline = 0;
  bool dfallback = false;  // on failure, go on through the connection
  std::vector<uint8_t> dbuf;  // router reply so far; then bytes for the local side
  int udp_tries = 0;
  std::weak_ptr<Mapping> map;
  // Held by the sender towards the device, which works without the client mutex: a send on a
  // connection may wait for room, and the connection's own thread needs the client mutex to
  // deliver frames (and acknowledgements) meanwhile. Removal and closes take it after the
  // client mutex.
  std::mutex io_mu;
  ~Client() {
    Queue2Release(to_local);
    Queue2Release(to_remote);
  }
};
using ClientP = std::shared_ptr<Client>;

struct Flags {
  int index;
  bool logs;
  uint32_t to_local_chunks;
  bool fixed_reconnect;
};

struct Instance {
  const Flags f;
  const T2uTransport* tp = nullptr;
  bool started = false;
  std::atomic<int> running{0};
  int reconnect = 30;
  int udp_idle = 60;
  std::mutex cb_mu;
  t2u_callbacks cbs{};
  Rate rate;
  std::mutex map_mu;
  std::list<MappingP> maps;
  std::mutex client_mu;
  std::list<ClientP> clients;
  uint16_t last_id = 0;
  Queue2* notices = nullptr;
  std::mutex notice_mu;  // the close-notice queue's consumer pops under it too
  std::vector<std::thread> threads;
  // log
  int log_level = 0;
  char log_path[256] = {};
  std::mutex log_mu;

  explicit Instance(const Flags& fl) : f(fl) {}

  void log(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  void vlog(int level, const char* fmt, va_list ap);

  int init(const char* svr, int port, const char* key, const char* logdir);
  int exit();
  int add(const char* uuid, const char* pw, const char* dhost, uint16_t rport, uint16_t lport,
          int kind);
  int del(uint16_t lport, int kind);
  int port_status(uint16_t lport, int kind, _T2U_NET_STAT* st);
  int get_rate(uint16_t lport, int kind, _T2U_RATE_STAT* r);
  int query_ex(const char* uuid, char* info, int isz, char* addr, int asz);
  int search(char* buf, int size);

  void on_connect(int conn);
  void on_disconnect(int conn, int reason);
  int on_frame(int conn, uint16_t cid, uint16_t type, const void* data, int len);

  MappingP find_map(uint16_t lport, int kind);  // map_mu held
  MappingP find_map_by_conn(int conn);          // map_mu held
  ClientP find_client(int conn, uint16_t cid);  // client_mu held
  uint16_t next_id();                           // client_mu held

  int send_close(int conn, uint16_t cid, int ack);
  int set_dest(Client& c, bool udp);
  void put_notice(int conn, uint16_t cid);
  ClientP new_client(const MappingP& m, int fd, const sockaddr_in& peer);
  ClientP new_udp_client(const MappingP& m, const sockaddr_in& from);
  void close_clients();
  void drive_direct(Client& c, short revents);
  void direct_failed(Client& c);
  int sendto_remote(Client& c, const uint8_t* d, int len);
  int sendto_local(Client& c);
  int sendto_dst(Client& c);
  void end_client(Client& c, bool tell_device);

  void main_loop();
  void recv_loop();
  void send2local_loop();
  void send2remote_loop();
};

void Instance::vlog(int level, const char* fmt, va_list ap) {
  if (!f.logs || log_level <= 0 || level < log_level) return;
  char text[10240];
  vsnprintf(text, sizeof(text), fmt, ap);
  time_t t = time(nullptr);
  struct tm tmv;
  localtime_r(&t, &tmv);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y%m%d %H:%M:%S", &tmv);
  if (log_level == 1) printf("[%s][LIBT2U] %s", stamp, text);
  if (!log_path[0]) return;
  std::lock_guard<std::mutex> l(log_mu);
  struct stat sb;
  // The file never grows past about 1 MiB: once larger it starts again empty.
  const char* mode = (stat(log_path, &sb) == 0 && sb.st_size > 1048576) ? "w" : "a";
  FILE* fp = fopen(log_path, mode);
  if (!fp) return;
  fprintf(fp, "[%s][LIBT2U] %s", stamp, text);
  fclose(fp);
}

void Instance::log(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog(level, fmt, ap);
  va_end(ap);
}

MappingP Instance::find_map(uint16_t lport, int kind) {
  for (auto& m : maps)
    if (m->lport == lport && m->kind == kind) return m;
  return nullptr;
}
MappingP Instance::find_map_by_conn(int conn) {
  if (conn <= 0) return nullptr;
  for (auto& m : maps)
    if (m->conn_id.load() == conn) return m;
  return nullptr;
}
ClientP Instance::find_client(int conn, uint16_t cid) {
  for (auto& c : clients)
    if (c->conn_id.load() == conn && c->id == cid) return c;
  return nullptr;
}
uint16_t Instance::next_id() {
  // Ids run 1..65534; after a wrap an id still in use is skipped.
  for (int tries = 0; tries < 65534; ++tries) {
    uint16_t id = static_cast<uint16_t>(last_id + 1);
    if (id == 0xFFFF || id == 0) id = 1;
    last_id = id;
    bool used = false;
    for (auto& c : clients)
      if (c->id == id) { used = true; break; }
    if (!used) return id;
  }
  return 0;
}

// ---------------------------------------------------------------- init, exit, mappings

int Instance::init(const char* svr, int port, const char* key, const char* logdir) {
  if (started) return 1;
  started = true;
  timeval tv;
  gettimeofday(&tv, nullptr);
  srand(static_cast<unsigned>(tv.tv_usec));
  if (!tp) tp = t2u_default_transport(f.index);
  reconnect = 30;
  last_id = 0;
  rate.begin();
  notices = Queue2Create(0x7fffffff, 1000000);
  log_level = 0;
  log_path[0] = 0;
  char natlog[256] = "";
  if (f.logs && logdir && logdir[0]) {
    snprintf(log_path, sizeof(log_path), "%s/t2u.log", logdir);
    snprintf(natlog, sizeof(natlog), "%s/vvnat.log", logdir);
    log_level = 2;
  }
  log(2, "%s\n", std::string(73, '=').c_str());
  log(2, "t2u_init! svraddr:%s svrport:%d\n", svr ? svr : "", port);
  vv_nat_callbacks cbs{};
  if (f.index == 1) {
    cbs.OnConnect = reinterpret_cast<vv_nat_cb>(&t2u_OnConnect);
    cbs.OnDisconnect = reinterpret_cast<vv_nat_cb>(&t2u_OnDisconnect);
    cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(&t2u_OnRecvFrame);
  } else {
    cbs.OnConnect = reinterpret_cast<vv_nat_cb>(&t2u2_OnConnect);
    cbs.OnDisconnect = reinterpret_cast<vv_nat_cb>(&t2u2_OnDisconnect);
    cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(&t2u2_OnRecvFrame);
  }
  if (tp->init) tp->init(svr, port, nullptr, 0, &cbs, natlog[0] ? natlog : nullptr);
  if (tp->set_reconnect) tp->set_reconnect(5);
  if (tp->set_server_key) tp->set_server_key(key ? key : "");
  running = 1;
  threads.emplace_back([this] { main_loop(); });
  threads.emplace_back([this] { recv_loop(); });
  threads.emplace_back([this] { send2local_loop(); });
  threads.emplace_back([this] { send2remote_loop(); });
  return 0;
}

int Instance::exit() {
  if (!started) return 0;
  running = 0;
  for (auto& t : threads) t.join();
  threads.clear();
  {
    std::lock_guard<std::mutex> lm(map_mu);
    std::lock_guard<std::mutex> lc(client_mu);
    for (auto& c : clients) {
      if (c->local_fd >= 0) close(c->local_fd);
      if (c->direct_fd >= 0) close(c->direct_fd);
      c->local_fd = c->direct_fd = -1;
    }
    clients.clear();
    for (auto& m : maps) {
      if (m->fd >= 0) close(m->fd);
      m->fd = -1;
      int id = m->conn_id.exchange(0);
      if (id > 0 && tp->close) tp->close(id);
    }
    maps.clear();
  }
  int r = tp->exit ? tp->exit() : 0;
  {
    std::lock_guard<std::mutex> l(notice_mu);
    Queue2Release(notices);
    notices = nullptr;
  }
  started = false;
  return r;
}

int open_listener(uint16_t port, int kind) {
  // Local listeners serve this host only: a mapping must not open the device (or, with
  // destination port 0, a proxy) to other machines.
  int fd = socket(AF_INET, kind == kTcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (kind == kTcp) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      (kind == kTcp && listen(fd, 5) != 0)) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

int Instance::add(const char* uuid, const char* pw, const char* dhost, uint16_t rport,
                  uint16_t lport, int kind) {
  if (!started || !uuid) return -1;
  {
    std::lock_guard<std::mutex> l(map_mu);
    if (find_map(lport, kind) && lport != 0) return 0;
  }
  auto m = std::make_shared<Mapping>();
  if (lport != 0) {
    m->fd = open_listener(lport, kind);
    if (m->fd < 0) return -1;
    m->lport = lport;
  } else {
    timeval tv;
    gettimeofday(&tv, nullptr);
    srand(static_cast<unsigned>(tv.tv_usec));
    for (int i = 0; i < 100 && m->fd < 0; ++i) {
      float r = static_cast<float>(rand()) * 63535.0f / 2147483648.0f;
      uint16_t p = static_cast<uint16_t>(2000 + static_cast<int>(r));
      m->fd = open_listener(p, kind);
      if (m->fd >= 0) m->lport = p;
      else sleep_ms(1);
    }
    if (m->fd < 0) return -1;
  }
  m->kind = kind;
  if (pw) snprintf(m->passwd, sizeof(m->passwd), "%s", pw);
  snprintf(m->uuid, sizeof(m->uuid), "%s", uuid);
  snprintf(m->dhost, sizeof(m->dhost), "%s", dhost ? dhost : "127.0.0.1");
  m->dport = rport;
  m->rate.begin();
  std::lock_guard<std::mutex> l(map_mu);
  if (find_map(m->lport, kind)) {  // another add won the port meanwhile
    close(m->fd);
    return 0;
  }
  maps.push_front(m);
  if (kind == kTcp)
    log(2, "Add P2P tunnel port: %d -> %s [%s:%d]\n", m->lport, m->uuid, m->dhost, m->dport);
  else
    log(2, "Add P2P UDP tunnel port: %d -> %s [%s:%d]\n", m->lport, m->uuid, m->dhost, m->dport);
  return m->lport;
}

int Instance::del(uint16_t lport, int kind) {
  std::lock_guard<std::mutex> l(map_mu);
  MappingP m = find_map(lport, kind);
  if (!m) return 0;
  if (kind == kTcp) {
    log(2, "Del P2P tunnel port: %d -> %s [%s:%d]\n", m->lport, m->uuid, m->dhost, m->dport);
    if (f.index == 1 && m->connected && m->reason == 0 && tp->send_disconnect_log)
      tp->send_disconnect_log(m->lport, m->uuid, static_cast<int>(now_s() - m->conn_time), 0);
  }
  maps.remove(m);
  close(m->fd);
  m->fd = -1;
  int id = m->conn_id.exchange(0);
  if (id > 0 && tp->close) tp->close(id);
  return 0;
}

int status_of_reason(int reason) {
  switch (reason) {
    case 1: return -4;
    case 2: return -3;
    case 3: return -2;
    case 4: return -3;
    case 6: return -2;
    case 7: return -2;
    case 8: return -5;
    default: return 0;
  }
}

int Instance::port_status(uint16_t lport, int kind, _T2U_NET_STAT* st) {
  int conn, reason;
  {
    std::lock_guard<std::mutex> l(map_mu);
    MappingP m = find_map(lport, kind);
    if (!m) return -1;
    conn = m->conn_id.load();
    reason = m->reason;
  }
  if (conn <= 0) return status_of_reason(reason);
  if (!tp->conn_status) return 0;
  vv_nat_conn_stat s{};
  int r = tp->conn_status(conn, &s);
  if (r <= 0) return r;
  if (st) {
    memset(st, 0, sizeof(*st));
    snprintf(st->remote_ip, sizeof(st->remote_ip), "%s", s.ip);
    st->remote_port = s.port;
    st->proxy = s.relayed;
    st->lost_rate = s.loss;
    st->bandwidth = s.bandwidth;
    st->remote_nat = s.peer_nattype - 1;
    st->local_nat = s.nattype - 1;
    snprintf(st->remote_ip6, sizeof(st->remote_ip6), "%s", s.ip6);
    st->remote_version = s.peer_version;
  }
  return 1;
}

int Instance::get_rate(uint16_t lport, int kind, _T2U_RATE_STAT* r) {
  if (!r) return -1;
  if (lport == 0) {
    rate.report(r);
    return 0;
  }
  std::lock_guard<std::mutex> l(map_mu);
  MappingP m = find_map(lport, kind);
  if (!m) return -1;
  m->rate.report(r);
  return 0;
}

int Instance::query_ex(const char* uuid, char* info, int isz, char* addr, int asz) {
  if (!tp->query) return -2;
  int run = running.load();
  return tp->query(uuid, 2, &run, info, isz, addr, asz);
}

int Instance::search(char* buf, int size) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
  ip_mreq mr{};
  inet_pton(AF_INET, "239.255.255.255", &mr.imr_multiaddr);
  mr.imr_interface.s_addr = htonl(INADDR_ANY);
  setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof(mr));
  if (buf && size > 0) memset(buf, 0, static_cast<size_t>(size));
  uint8_t req[T2U_SEARCH_REQUEST];
  t2u_search_request(req);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(T2U_SEARCH_PORT);
  inet_pton(AF_INET, "239.255.255.255", &to.sin_addr);
  sendto(fd, req, sizeof(req), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  sendto(fd, req, sizeof(req), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  int count = 0;
  uint8_t d[T2U_SEARCH_REPLY_MAX];
  for (int i = 0; i < 100; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof(from);
    ssize_t n = recvfrom(fd, d, sizeof(d), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n <= 0 || !buf || size <= 0) continue;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
    int r = t2u_search_add_reply(d, static_cast<size_t>(n), ip, buf, static_cast<size_t>(size));
    if (r == T2U_SEARCH_ADDED) ++count;
    if (r == T2U_SEARCH_FULL) break;
  }
  close(fd);
  return count;
}

// ---------------------------------------------------------------- frames to the device

int Instance::send_close(int conn, uint16_t cid, int ack) {
  uint8_t body[T2U_CTRL_BODY];
  t2u_pack_close(body, cid);
  int r = tp->send ? tp->send(conn, T2U_CTRL_CLIENT, T2U_FRAME_CLOSE, body, sizeof(body), ack) : -1;
  log(2, "### Send close message to device, client_id: %d conn_id:%d ret:%d\n", cid, conn, r);
  return r;
}

int Instance::set_dest(Client& c, bool udp) {
  uint8_t body[T2U_CTRL_BODY];
  t2u_pack_dest(body, c.id, c.dhost, c.dport);
  int r = tp->send ? tp->send(c.conn_id.load(), T2U_CTRL_CLIENT,
                              udp ? T2U_FRAME_DEST_UDP : T2U_FRAME_DEST_TCP, body, sizeof(body), 1)
                   : -1;
  if (r > 0) c.dest_set = 1;
  log(1, "Set dest address, client_id:%d -> [%s:%d] ret:%d\n", c.id, c.dhost, c.dport, r);
  return r;
}

void Instance::put_notice(int conn, uint16_t cid) {
  std::lock_guard<std::mutex> l(notice_mu);
  if (notices)
    Queue2PutData(notices, t2u_close_notice, sizeof(t2u_close_notice),
                  static_cast<uint32_t>(conn), cid, 0);
}

int Instance::sendto_remote(Client& c, const uint8_t* d, int len) {
  int conn = c.conn_id.load();
  if (conn <= 0) return -1;
  MappingP m;
  {
    // Lock order: the mapping mutex is never taken under the client mutex. The caller holds
    // the client mutex, so the mapping is found through the client's own reference.
    m = c.map.lock();
    if (!m || m->conn_id.load() != conn) return -1;
  }
  if (c.dest_set) {
    int r = tp->send ? tp->send(conn, c.id, T2U_FRAME_DATA, d, len, 1) : -1;
    if (r < 0) return -1;
    if (r > 0) {
      rate.update(0, r);
      m->rate.update(0, r);
    }
    return r;
  }
  if (c.kind != kTcp || !c.socks_wait) return -1;
  T2uSocksRequest q;
  int p = t2u_parse_socks4(d, static_cast<size_t>(len), &q);
  if (p != T2U_SOCKS_OK) return -1;
  snprintf(c.dhost, sizeof(c.dhost), "%s", q.host);
  c.dport = q.port;
  if (set_dest(c, false) <= 0) return -1;
  c.socks_wait = false;
  if (send(c.local_fd, q.reply, sizeof(q.reply), MSG_NOSIGNAL) != sizeof(q.reply)) {
    send_close(conn, c.id, 1);
    return -1;
  }
  return static_cast<int>(q.consumed);
}

// The oldest chunk of a queue, sent from its consumed count on. The send returns what it
// took; a failure cleans the queue.
template <typename SendFn>
int send_chunk(Queue2* q, SendFn fn) {
  Queue2Chunk* ch = Queue2GetData(q);
  if (!ch) return 0;
  int left = static_cast<int>(ch->length - ch->consumed);
  if (left <= 0) {
    Queue2PopData(q);
    return 0;
  }
  int r = fn(ch->data + ch->consumed, left);
  if (r < 0) {
    Queue2Clean(q);
    return r;
  }
  if (r >= left) Queue2PopData(q);
  else ch->consumed += static_cast<uint32_t>(r);
  return r;
}

int Instance::sendto_local(Client& c) {
  return send_chunk(c.to_local, [&](const uint8_t* d, int n) -> int {
    ssize_t r = send(c.local_fd, d, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    return static_cast<int>(r);
  });
}

int Instance::sendto_dst(Client& c) {
  return send_chunk(c.to_remote, [&](const uint8_t* d, int n) -> int {
    if (c.direct_fd >= 0) {
      ssize_t r = send(c.direct_fd, d, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
      return static_cast<int>(r);
    }
    return sendto_remote(c, d, n);
  });
}

// ---------------------------------------------------------------- clients

int start_connect(const char* host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, host, &a.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

ClientP Instance::new_client(const MappingP& m, int fd, const sockaddr_in& peer) {
  if (m->conn_id.load() <= 0 && m->upnp_port == 0) return nullptr;
  auto c = std::make_shared<Client>();
  c->local_fd = fd;
  c->conn_id = m->conn_id.load();
  c->last = now_s();
  c->peer = peer;
  c->map = m;
  c->to_local = Queue2Create(kToLocalBytes, f.to_local_chunks);
  c->to_remote = Queue2Create(kToRemoteBytes, kToRemoteChunks);
  if (!c->to_local || !c->to_remote) return nullptr;
  // Everything the other threads read is set before the client joins the list.
  snprintf(c->dhost, sizeof(c->dhost), "%s", m->dhost);
  c->dport = m->dport;
  if (m->dest_type == 1 && m->dport != 0 && strcmp(m->dhost, "127.0.0.1") == 0 && m->dev_addr[0]) {
    log(2, "Try to connect TCP directly -> %s:%d sockfd:%d\n", m->dev_addr, m->dport, fd);
    c->direct_fd = start_connect(m->dev_addr, m->dport);
    if (c->direct_fd >= 0) {
      c->dstate = kDirectTcp;
      c->ddeadline = now_ms() + kConnectMs;
      c->dfallback = true;
    }
  } else if (m->upnp_port != 0 && m->dport != 0) {
    log(2, "Try to connect UPNP port -> %s:%d sockfd:%d\n", m->upnp_ip, m->upnp_port, fd);
    c->direct_fd = start_connect(m->upnp_ip, m->upnp_port);
    if (c->direct_fd >= 0) {
      c->dstate = kDirectUpnp;
      c->ddeadline = now_ms() + kConnectMs;
      c->dfallback = true;
    }
  }
  {
    std::lock_guard<std::mutex> l(client_mu);
    c->id = next_id();
    if (c->id == 0) return nullptr;
    clients.push_front(c);
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
    log(2, "Accept client (%s:%d)->%s:%d conn_id:%d client_id:%d sockfd:%d Upnp Port:%d\n", ip,
        ntohs(peer.sin_port), m->uuid, m->dport, c->conn_id.load(), c->id, fd, m->upnp_port);
  }
  if (c->dstate == kDirectNone) direct_failed(*c);
  return c;
}

// The client goes on through the connection, or closes when it has none.
void Instance::direct_failed(Client& c) {
  if (c.direct_fd >= 0) {  // a direct attempt (the receive thread, under the client mutex)
    close(c.direct_fd);
    c.direct_fd = -1;
    c.dstate = kDirectNone;
    c.dbuf.clear();
  }
  if (c.conn_id.load() > 0) {
    if (c.dport == 0) {
      c.socks_wait = true;
      return;
    }
    if (set_dest(c, false) > 0) return;
  }
  c.closing = 1;
}

void Instance::drive_direct(Client& c, short revents) {
  if (c.dstate == kDirectTcp || c.dstate == kDirectUpnp) {
    if (!(revents & (POLLOUT | POLLERR | POLLHUP))) {
      if (now_ms() > c.ddeadline) {
        log(2, "Tcp connect failed! -> %s:%d sockfd:%d\n", c.dhost, c.dport, c.direct_fd);
        direct_failed(c);
      }
      return;
    }
    int err = 0;
    socklen_t el = sizeof(err);
    getsockopt(c.direct_fd, SOL_SOCKET, SO_ERROR, &err, &el);
    if (err != 0) {
      log(2, "Tcp connect failed! -> %s:%d sockfd:%d\n", c.dhost, c.dport, c.direct_fd);
      direct_failed(c);
      return;
    }
    if (c.dstate == kDirectTcp) {
      log(2, "Tcp connected! -> %s:%d sockfd:%d\n", c.dhost, c.dport, c.direct_fd);
      c.dstate = kDirectNone;
      return;
    }
    char req[256];
    int n = t2u_upnp_request(req, sizeof(req), c.dhost, c.dport);
    if (n < 0 || send(c.direct_fd, req, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
      direct_failed(c);
      return;
    }
    c.dstate = kDirectUpnpReply;
    c.ddeadline = now_ms() + kConnectMs;
    return;
  }
  if (c.dstate == kDirectUpnpReply) {
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
      uint8_t tmp[1024];
      size_t room = 1024 - c.dbuf.size();
      ssize_t r = recv(c.direct_fd, tmp, room, MSG_DONTWAIT);
      if (r <= 0 && !(r < 0 && errno == EAGAIN)) {
        direct_failed(c);
        return;
      }
      if (r > 0) c.dbuf.insert(c.dbuf.end(), tmp, tmp + r);
      size_t hl = 0;
      int p = t2u_upnp_reply(c.dbuf.data(), c.dbuf.size(), &hl);
      if (p == T2U_UPNP_REFUSED) {
        direct_failed(c);
        return;
      }
      if (p == T2U_UPNP_OK) {
        // Bytes after the header are the destination's first bytes.
        c.dbuf.erase(c.dbuf.begin(), c.dbuf.begin() + static_cast<long>(hl));
        c.dstate = kDirectNone;
        return;
      }
    }
    if (now_ms() > c.ddeadline) direct_failed(c);
  }
}

ClientP Instance::new_udp_client(const MappingP& m, const sockaddr_in& from) {
  if (m->conn_id.load() <= 0) return nullptr;
  auto c = std::make_shared<Client>();
  c->kind = kUdp;
  c->peer = from;
  c->conn_id = m->conn_id.load();
  c->last = now_s();
  c->map = m;
  snprintf(c->dhost, sizeof(c->dhost), "%s", m->dhost);
  c->dport = m->dport;
  std::lock_guard<std::mutex> l(client_mu);
  c->id = next_id();
  if (c->id == 0) return nullptr;
  clients.push_front(c);
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
  log(2, "new UDP client,conn_id:%d (%s:%d) client_id:%d num:%d\n", c->conn_id.load(), ip,
      ntohs(from.sin_port), c->id, static_cast<int>(clients.size()));
  if (set_dest(*c, true) <= 0) {
    c->closing = 1;
    c->last = 0;
  }
  return c;
}

void Instance::close_clients() {
  std::lock_guard<std::mutex> l(client_mu);
  int64_t t = now_s();
  for (auto it = clients.begin(); it != clients.end();) {
    Client& c = **it;
    bool gone = false;
    if (c.kind == kUdp) {
      int64_t last = c.last.load();
      gone = last == 0 || t - last > udp_idle;
      if (gone) {
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &c.peer.sin_addr, ip, sizeof(ip));
        log(2, "close UDP client ID:%d conn_id:%d -> %s:%d client_num:%d\n", c.id,
            c.conn_id.load(), ip, ntohs(c.peer.sin_port), static_cast<int>(clients.size()) - 1);
      }
    } else if (c.closing) {
      // Bytes still queued for an open local socket go out first.
      gone = c.local_fd < 0 || (Queue2Chunks(c.to_local) == 0 && c.dbuf.empty());
      if (gone) {
        std::lock_guard<std::mutex> io(c.io_mu);
        if (c.local_fd >= 0) close(c.local_fd);
        if (c.direct_fd >= 0) close(c.direct_fd);
        c.local_fd = c.direct_fd = -1;
        log(2, "Close client, client_id:%d conn_id:%d client_num:%d\n", c.id, c.conn_id.load(),
            static_cast<int>(clients.size()) - 1);
      }
    }
    if (gone) it = clients.erase(it);
    else ++it;
  }
}

// A client that can no longer deliver its bytes: the device hears of it once.
void Instance::end_client(Client& c, bool tell_device) {
  if (c.closing.exchange(1)) return;
  int conn = c.conn_id.load();
  if (tell_device && conn > 0 && c.direct_fd < 0) put_notice(conn, c.id);
}

// ---------------------------------------------------------------- threads

void Instance::main_loop() {
  while (running) {
    rate.update(0, 0);
    {
      std::lock_guard<std::mutex> l(notice_mu);
      while (Queue2Chunk* ch = Queue2GetData(notices)) {
        send_close(static_cast<int>(ch->tag_a), ch->tag_b, 0);
        Queue2PopData(notices);
      }
    }
    if (tp->get_status && tp->get_status() > 0) {
      // Router forwards are asked outside the mapping mutex: the query waits up to a second.
      std::vector<MappingP> ask;
      {
        std::lock_guard<std::mutex> l(map_mu);
        for (auto& m : maps)
          if (m->dport != 0 && (!m->upnp_tried || now_s() - m->upnp_time >= 3600)) ask.push_back(m);
      }
      for (auto& m : ask) {
        char text[100] = "";
        int run = running.load();
        int r = tp->query_upnp ? tp->query_upnp(m->uuid, 1, &run, text, sizeof(text)) : 0;
        char ip[24] = "";
        unsigned port = 0;
        bool ok = r > 0 && sscanf(text, "%23[0-9,.]|%u", ip, &port) == 2 && port > 0 && port < 65536;
        std::lock_guard<std::mutex> l(map_mu);
        if (ok) {
          snprintf(m->upnp_ip, sizeof(m->upnp_ip), "%s", ip);
          m->upnp_port = static_cast<uint16_t>(port);
        }
        m->upnp_time = now_s();
        m->upnp_tried = true;
      }
      std::lock_guard<std::mutex> l(map_mu);
      for (auto& m : maps) {
        if (m->conn_id.load() > 0 || (m->conn_time != 0 && now_s() - m->conn_time < reconnect)) {
          m->rate.update(0, 0);
          continue;
        }
        log(2, "start to p2p connect %s\n", m->uuid);
        m->reason = 0;
        m->conn_time = now_s();
        m->conn_start_ms = now_ms();
        int id = tp->connect ? tp->connect(m->uuid, m->passwd, 0) : -1;
        m->conn_id = id > 0 ? id : 0;
        if (id <= 0) m->reason = 0;
        log(2, "p2p connect %s -> conn_id:%d\n", m->uuid, id);
      }
    }
    sleep_ms(kPollMs);
  }
}

struct Watch {
  ClientP c;
  MappingP m;
  bool direct;
};

void Instance::recv_loop() {
  std::vector<pollfd> pfd;
  std::vector<Watch> what;
  std::vector<uint8_t> buf(T2U_MAX_READ);
  while (running) {
    close_clients();
    pfd.clear();
    what.clear();
    {
      std::lock_guard<std::mutex> lm(map_mu);
      for (auto& m : maps) {
        int conn = m->conn_id.load();
        bool ready = m->connected && conn > 0 &&
                     (!tp->sendable || tp->sendable(conn) > 0 || m->upnp_port != 0);
        if (ready && m->fd >= 0) {
          pfd.push_back({m->fd, POLLIN, 0});
          what.push_back({nullptr, m, false});
        }
      }
      std::lock_guard<std::mutex> lc(client_mu);
      for (auto& c : clients) {
        if (c->kind != kTcp || c->closing) continue;
        if (c->local_fd >= 0 && c->dstate == kDirectNone &&
            Queue2Bytes(c->to_remote) < kToRemoteBytes) {
          pfd.push_back({c->local_fd, POLLIN, 0});
          what.push_back({c, nullptr, false});
        }
        if (c->direct_fd >= 0) {
          short ev = 0;
          if (c->dstate == kDirectTcp || c->dstate == kDirectUpnp) ev = POLLOUT;
          else if (c->dstate == kDirectUpnpReply) ev = POLLIN;
          else if (c->dbuf.empty() && Queue2Bytes(c->to_local) < kToLocalBytes) ev = POLLIN;
          if (ev || c->dstate != kDirectNone) {
            pfd.push_back({c->direct_fd, ev, 0});
            what.push_back({c, nullptr, true});
          }
        }
      }
    }
    int n = poll(pfd.data(), pfd.size(), kPollMs);
    if (n < 0) {
      sleep_ms(10);
      continue;
    }
    for (size_t i = 0; i < pfd.size(); ++i) {
      Watch& w = what[i];
      if (w.m) {
        if (!pfd[i].revents) continue;
        std::lock_guard<std::mutex> lm(map_mu);
        if (w.m->fd < 0) continue;  // deleted meanwhile
        if (w.m->kind == kTcp) {
          sockaddr_in peer{};
          socklen_t pl = sizeof(peer);
          int fd = accept(w.m->fd, reinterpret_cast<sockaddr*>(&peer), &pl);
          if (fd < 0) continue;
          fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
          if (!new_client(w.m, fd, peer)) close(fd);
        } else {
          sockaddr_in from{};
          socklen_t fl = sizeof(from);
          ssize_t r = recvfrom(w.m->fd, buf.data(), buf.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fl);
          if (r < 0) continue;
          ClientP c;
          {
            std::lock_guard<std::mutex> lc(client_mu);
            int conn = w.m->conn_id.load();
            for (auto& x : clients)
              if (x->kind == kUdp && x->conn_id.load() == conn && x->last.load() != 0 &&
                  x->peer.sin_addr.s_addr == from.sin_addr.s_addr &&
                  x->peer.sin_port == from.sin_port) {
                c = x;
                break;
              }
          }
          if (!c) c = new_udp_client(w.m, from);
          if (!c) continue;
          c->last = now_s();
          std::lock_guard<std::mutex> io(c->io_mu);
          sendto_remote(*c, buf.data(), static_cast<int>(r));
          log(1, "Recv local UDP data:%d bytes! send to peer:%d\n", static_cast<int>(r), c->id);
        }
        continue;
      }
      Client& c = *w.c;
      std::lock_guard<std::mutex> lc(client_mu);
      if (c.closing) continue;
      if (w.direct) {
        if (c.direct_fd != pfd[i].fd) continue;
        if (c.dstate != kDirectNone) {
          drive_direct(c, pfd[i].revents);
          continue;
        }
        if (!pfd[i].revents) continue;
        uint32_t room = kToLocalBytes - std::min(kToLocalBytes, Queue2Bytes(c.to_local));
        size_t want = std::min<size_t>(room, buf.size());
        if (want == 0) continue;
        ssize_t r = recv(c.direct_fd, buf.data(), want, MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) {
          log(2, "Tcp connection closed by device! client_id:%d conn_id:%d sockfd:%d\n", c.id,
              c.conn_id.load(), c.direct_fd);
          close(c.direct_fd);
          c.direct_fd = -1;
          c.closing = 1;
          continue;
        }
        int p = Queue2PutData(c.to_local, buf.data(), static_cast<uint32_t>(r), 0, c.id, 0);
        if (p < 0) {
          // Another producer took the room meanwhile: keep the bytes, read nothing more.
          c.dbuf.assign(buf.data(), buf.data() + r);
          log(1, "Recv tcp data,put to client buffer failed! ret:%d LINE:%d\n", p, 1480);
        }
        continue;
      }
      if (!pfd[i].revents || c.local_fd != pfd[i].fd) continue;
      // Read no more than the to-remote queue can take, so a put is never refused.
      uint32_t room = kToRemoteBytes - std::min(kToRemoteBytes, Queue2Bytes(c.to_remote));
      size_t want = std::min<size_t>(room, buf.size());
      if (want == 0) continue;
      ssize_t r = recv(c.local_fd, buf.data(), want, MSG_DONTWAIT);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r <= 0) {
        log(2, "Client disconnected! client_id:%d conn_id:%d sockfd:%d %d\n", c.id,
            c.conn_id.load(), c.local_fd, 0);
        // Bytes already queued for the device go out before the close (send to remote).
        std::lock_guard<std::mutex> io(c.io_mu);
        close(c.local_fd);
        c.local_fd = -1;
        c.local_eof = 1;
        continue;
      }
      c.last = now_s();
      int p = Queue2PutData(c.to_remote, buf.data(), static_cast<uint32_t>(r),
                            static_cast<uint32_t>(c.conn_id.load()), c.id, 0);
      if (p < 0) {
        log(1, "recv local tcp data,put to client buffer2 failed! ret:%d LINE:%d\n", p, 1449);
        end_client(c, true);
      }
    }
  }
}

void Instance::send2local_loop() {
  std::vector<pollfd> pfd;
  std::vector<ClientP> who;
  while (running) {
    pfd.clear();
    who.clear();
    {
      std::lock_guard<std::mutex> l(client_mu);
      for (auto& c : clients) {
        if (c->kind != kTcp || c->local_fd < 0) continue;
        // Bytes held back by the receive thread join the queue once it has room.
        if (!c->dbuf.empty() && c->dstate == kDirectNone &&
            Queue2PutData(c->to_local, c->dbuf.data(), static_cast<uint32_t>(c->dbuf.size()), 0,
                          c->id, 0) >= 0)
          c->dbuf.clear();
        if (Queue2Chunks(c->to_local) > 0) {
          pfd.push_back({c->local_fd, POLLOUT, 0});
          who.push_back(c);
        }
      }
    }
    if (pfd.empty()) {
      sleep_ms(kPollMs / 4);
      continue;
    }
    int n = poll(pfd.data(), pfd.size(), kPollMs);
    if (n < 0) {
      sleep_ms(10);
      continue;
    }
    if (n == 0) continue;
    std::lock_guard<std::mutex> l(client_mu);
    for (size_t i = 0; i < pfd.size(); ++i) {
      Client& c = *who[i];
      if (!pfd[i].revents || c.local_fd != pfd[i].fd) continue;
      int r = sendto_local(c);
      if (r < 0 || (r == 0 && (pfd[i].revents & (POLLERR | POLLHUP)))) {
        log(2, "Send data to local client failed, client_id:%d conn_id:%d ret:%d\n", c.id,
            c.conn_id.load(), r);
        end_client(c, true);
      }
    }
  }
}

void Instance::send2remote_loop() {
  std::vector<pollfd> pfd;
  std::vector<ClientP> who, relay;
  while (running) {
    pfd.clear();
    who.clear();
    relay.clear();
    {
      std::lock_guard<std::mutex> l(client_mu);
      for (auto& c : clients) {
        if (c->kind != kTcp || c->dstate != kDirectNone) continue;
        bool queued = Queue2Chunks(c->to_remote) > 0;
        if (c->direct_fd >= 0) {
          if (queued) {
            pfd.push_back({c->direct_fd, POLLOUT, 0});
            who.push_back(c);
          } else if (c->local_eof) {
            c->closing = 1;
          }
          continue;
        }
        if (queued || (c->local_eof && !c->closing)) relay.push_back(c);
      }
    }
    // Frames go out without the client mutex (see io_mu).
    bool busy = false;
    for (auto& cp : relay) {
      Client& c = *cp;
      std::lock_guard<std::mutex> io(c.io_mu);
      if (Queue2Chunks(c.to_remote) == 0) {
        if (c.local_eof && !c.closing.exchange(1)) {
          int conn = c.conn_id.load();
          if (conn > 0) send_close(conn, c.id, 1);
        }
        continue;
      }
      if (c.closing && c.conn_id.load() <= 0) {
        Queue2Clean(c.to_remote);
        continue;
      }
      int r;
      while ((r = sendto_dst(c)) > 0) busy = true;
      if (r < 0) {
        // A frame that cannot be written ends the client: the device must not go on with
        // a hole in the stream.
        log(2, "[1]Send data to device failed, client_id:%d conn_id:%d ret:%d\n", c.id,
            c.conn_id.load(), r);
        end_client(c, true);  // the receive thread's removal closes its sockets
      }
    }
    if (pfd.empty()) {
      if (!busy) sleep_ms(1);
      continue;
    }
    int n = poll(pfd.data(), pfd.size(), busy ? 0 : kPollMs);
    if (n <= 0) {
      if (n < 0) sleep_ms(10);
      continue;
    }
    std::lock_guard<std::mutex> l(client_mu);
    for (size_t i = 0; i < pfd.size(); ++i) {
      Client& c = *who[i];
      if (!pfd[i].revents || c.direct_fd != pfd[i].fd) continue;
      int r = sendto_dst(c);
      if (r < 0) {
        log(2, "[2]Send data to device failed, client_id:%d conn_id:%d ret:%d\n", c.id,
            c.conn_id.load(), r);
        c.closing = 1;
      }
    }
  }
}

// ---------------------------------------------------------------- callbacks

void Instance::on_connect(int conn) {
  vv_nat_conn_stat s{};
  if (tp->conn_status) tp->conn_status(conn, &s);
  if (conn <= 0) return;
  uint16_t lport = 0;
  int ms = 0;
  {
    std::lock_guard<std::mutex> l(map_mu);
    MappingP m = find_map_by_conn(conn);
    if (!m) return;
    snprintf(m->dev_addr, sizeof(m->dev_addr), "%s", s.ip);
    m->dest_type = s.dest_type;
    m->connected = 1;
    ms = static_cast<int>(now_ms() - m->conn_start_ms);
    lport = m->lport;
    log(2, "P2P Connected! UUID:%s ->(%s:%d) Proxy:%d Nat:%d Version:%d time:%dms\n", m->uuid,
        s.ip, s.port, s.relayed, s.peer_nattype, s.peer_version, ms);
    if (f.index == 1 && tp->send_connect_log)
      tp->send_connect_log(m->lport, m->uuid, s.peer_nattype, s.peer_version, s.relayed, ms, 0);
  }
  t2u_callbacks cb;
  {
    std::lock_guard<std::mutex> l(cb_mu);
    cb = cbs;
  }
  if (cb.connected) cb.connected(lport, ms);
}

void Instance::on_disconnect(int conn, int reason) {
  {
    std::lock_guard<std::mutex> l(client_mu);
    for (auto& c : clients) {
      if (c->conn_id.load() != conn) continue;
      c->conn_id = 0;
      if (c->direct_fd < 0) c->closing = 1;
      c->last = 0;
    }
  }
  int code = status_of_reason(reason);
  if (conn <= 0) return;
  uint16_t lport = 0;
  {
    std::lock_guard<std::mutex> l(map_mu);
    MappingP m = find_map_by_conn(conn);
    if (!m) return;
    m->connected = 0;
    m->conn_id = 0;
    m->reason = reason;
    lport = m->lport;
    int secs = static_cast<int>(now_s() - m->conn_time);
    int ms = static_cast<int>(now_ms() - m->conn_start_ms);
    bool rep = f.index == 1;
    switch (reason) {
      case 1: log(2, "P2P connect failed, UUID:%s [Device offline]\n", m->uuid); break;
      case 2:
        if (rep && tp->send_disconnect_log) tp->send_disconnect_log(lport, m->uuid, secs, 2);
        log(2, "P2P disconnected, UUID:%s [Timeout]\n", m->uuid);
        break;
      case 3:
        if (rep && tp->send_connect_log) tp->send_connect_log(lport, m->uuid, -1, 0, 0, ms, 3);
        log(2, "P2P connect failed, UUID:%s conn_id:%d RET:%d\n", m->uuid, conn, reason);
        break;
      case 4:
        if (rep && tp->send_disconnect_log) tp->send_disconnect_log(lport, m->uuid, secs, 4);
        log(2, "P2P disconnected, UUID:%s [Closed by device]\n", m->uuid);
        break;
      case 6: log(2, "P2P connect failed, UUID:%s [P2P Server no response]\n", m->uuid); break;
      case 7:
        if (rep && tp->send_connect_log) tp->send_connect_log(lport, m->uuid, -1, 0, 0, ms, 7);
        log(2, "P2P connect failed, UUID:%s [Device no response]\n", m->uuid);
        break;
      default:
        log(2, "P2P disconnected, UUID:%s conn_id:%d RET:%d\n", m->uuid, conn, reason);
    }
  }
  t2u_callbacks cb;
  {
    std::lock_guard<std::mutex> l(cb_mu);
    cb = cbs;
  }
  if (cb.disconnected) cb.disconnected(lport, code);
}

int Instance::on_frame(int conn, uint16_t cid, uint16_t type, const void* data, int len) {
  if (len < 0 || (len > 0 && !data)) return 0;
  rate.update(len, 0);
  // Runs on the connection's thread, which must not wait for a lock held around a send on
  // the same connection; the mapping's counter is skipped while the list is busy.
  {
    std::unique_lock<std::mutex> l(map_mu, std::try_to_lock);
    if (l.owns_lock()) {
      MappingP m = find_map_by_conn(conn);
      if (m) m->rate.update(len, 0);
    }
  }
  const uint8_t* d = static_cast<const uint8_t*>(data);
  if (cid != T2U_CTRL_CLIENT) {
    std::lock_guard<std::mutex> l(client_mu);
    ClientP c = find_client(conn, cid);
    if (!c) {
      put_notice(conn, cid);
      return 0;
    }
    if (c->kind == kUdp) {
      MappingP m = c->map.lock();
      if (!m || m->fd < 0) return 0;
      ssize_t r = sendto(m->fd, d, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&c->peer), sizeof(c->peer));
      c->last = now_s();
      if (r >= 0) {
        c->udp_tries = 0;
        return static_cast<int>(r);
      }
      // A datagram the local socket cannot take now is offered again a few times, then dropped.
      if (++c->udp_tries < kUdpSendTries && (errno == EAGAIN || errno == ENOBUFS)) return -1;
      c->udp_tries = 0;
      return 0;
    }
    if (c->closing) return 0;
    int r = Queue2PutData(c->to_local, d, static_cast<uint32_t>(len), static_cast<uint32_t>(conn),
                          cid, type);
    if (r < 0) log(1, "put client buffer failed! ret:%d\n", r);
    return r;
  }
  if (type == T2U_FRAME_CLOSE) {
    uint16_t target;
    if (!t2u_unpack_close(d, static_cast<size_t>(len), &target)) return 0;
    std::lock_guard<std::mutex> l(client_mu);
    ClientP c = find_client(conn, target);
    if (c) {
      c->closing = 1;
      c->last = 0;
      log(2, "@@@ Recv close message from device! client_id:%d conn_id:%d\n", target, conn);
    }
  }
  return 0;
}

// ---------------------------------------------------------------- the two instances

Instance& inst(int i) {
  static Instance one({1, true, 1000000, false});
  static Instance two({2, false, 100000, true});
  return i == 2 ? two : one;
}

T2uTransport make_default(int i) {
  T2uTransport t{};
  if (i == 1) {
    t.init = [](const char* s, int p, const char* u, int lp, const vv_nat_callbacks* c,
                const char* logp) {
      return logp ? vv_nat_init_v2(s, p, u, lp, c, logp) : vv_nat_init(s, p, u, lp, c);
    };
    t.exit = vv_nat_exit;
    t.get_status = vv_nat_get_status;
    t.set_reconnect = vv_nat_set_reconnect;
    t.set_server_key = vv_nat_set_server_key;
    t.set_port_range = vv_nat_set_port_range;
    t.query = vv_nat_query;
    t.query_upnp = vv_nat_query_upnp;
    t.conn_status = vv_nat_conn_status;
    t.send_connect_log = vv_nat_send_connect_log;
    t.send_disconnect_log = vv_nat_send_disconnect_log;
    t.connect = vv_nat_connect_v3;
    t.close = [](int id) {
      vv_nat_close(id);
      return 0;
    };
    t.sendable = vv_nat_sendable;
    // Data frames take the connection's stream path; control frames the acknowledged one.
    t.send = [](int id, uint16_t a, uint16_t b, const void* d, int len, int ack) {
      return a == T2U_CTRL_CLIENT ? vv_nat_send_v3(id, a, b, d, len, ack)
                                  : vv_nat_send_v5(id, a, b, d, len);
    };
  } else {
    t.init = [](const char* s, int p, const char* u, int lp, const vv_nat_callbacks* c,
                const char*) { return vv2_nat_init(s, p, u, lp, c); };
    t.exit = vv2_nat_exit;
    t.get_status = vv2_nat_get_status;
    t.set_reconnect = vv2_nat_set_reconnect;
    t.set_server_key = vv2_nat_set_server_key;
    t.set_port_range = vv2_nat_set_port_range;
    t.query = vv2_nat_query;
    t.query_upnp = vv2_nat_query_upnp;
    t.conn_status = vv2_nat_conn_status;
    t.connect = vv2_nat_connect_v3;
    t.close = [](int id) {
      vv2_nat_close(id);
      return 0;
    };
    t.sendable = vv2_nat_sendable;
    t.send = [](int id, uint16_t a, uint16_t b, const void* d, int len, int ack) {
      return vv2_nat_send_v3(id, a, b, d, len, a == T2U_CTRL_CLIENT ? ack : 1);
    };
  }
  return t;
}

}  // namespace

void t2u_set_transport(int i, const T2uTransport* t) {
  inst(i).tp = t ? t : t2u_default_transport(i);
}
const T2uTransport* t2u_default_transport(int i) {
  static const T2uTransport one = make_default(1);
  static const T2uTransport two = make_default(2);
  return i == 2 ? &two : &one;
}
void t2u_set_udp_idle_seconds(int i, int seconds) { inst(i).udp_idle = seconds; }

extern "C" {

int t2u_client_count(int i) {
  Instance& in = inst(i);
  std::lock_guard<std::mutex> l(in.client_mu);
  return static_cast<int>(in.clients.size());
}

int t2u_init_v2(const char* svr, int port, const char* key, const char* logdir) {
  return inst(1).init(svr, port, key, logdir);
}

int t2u_set_reconnect_interval(int seconds) {
  if (seconds < 5 || seconds > 300) return -1;
  inst(1).reconnect = seconds;
  return 0;
}

void t2u_log(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  inst(1).vlog(level, fmt, ap);
  va_end(ap);
}

#define T2U_DEFINE(P, N)                                                                      \
  int P##init(const char* s, int p, const char* k) { return inst(N).init(s, p, k, nullptr); } \
  int P##exit(void) { return inst(N).exit(); }                                                \
  int P##status(void) {                                                                       \
    const T2uTransport* t = inst(N).tp ? inst(N).tp : t2u_default_transport(N);               \
    return t->get_status ? t->get_status() : 0;                                               \
  }                                                                                           \
  int P##set_callback(const t2u_callbacks* c) {                                               \
    std::lock_guard<std::mutex> l(inst(N).cb_mu);                                             \
    inst(N).cbs = c ? *c : t2u_callbacks{};                                                   \
    return 0;                                                                                 \
  }                                                                                           \
  int P##set_port_range(uint16_t lo, uint16_t hi) {                                           \
    if (N == 1) inst(N).log(2, "set port range: %d-%d\n", lo, hi);                            \
    const T2uTransport* t = inst(N).tp ? inst(N).tp : t2u_default_transport(N);               \
    if (t->set_port_range) t->set_port_range(lo, hi);                                         \
    return 0;                                                                                 \
  }                                                                                           \
  int P##add_port(const char* u, uint16_t r, uint16_t l) {                                    \
    return inst(N).add(u, nullptr, "127.0.0.1", r, l, kTcp);                                  \
  }                                                                                           \
  int P##add_port_ex(const char* u, const char* h, uint16_t r, uint16_t l) {                  \
    return inst(N).add(u, nullptr, h, r, l, kTcp);                                            \
  }                                                                                           \
  int P##add_port_v3(const char* u, const char* pw, const char* h, uint16_t r, uint16_t l) {   \
    return inst(N).add(u, pw, h, r, l, kTcp);                                                 \
  }                                                                                           \
  int P##add_udp_port(const char* u, uint16_t r, uint16_t l) {                                \
    return inst(N).add(u, nullptr, "127.0.0.1", r, l, kUdp);                                  \
  }                                                                                           \
  int P##add_udp_port_ex(const char* u, const char* h, uint16_t r, uint16_t l) {              \
    return inst(N).add(u, nullptr, h, r, l, kUdp);                                            \
  }                                                                                           \
  int P##add_udp_port_v3(const char* u, const char* pw, const char* h, uint16_t r,            \
                         uint16_t l) {                                                        \
    return inst(N).add(u, pw, h, r, l, kUdp);                                                 \
  }                                                                                           \
  int P##del_port(uint16_t l) { return inst(N).del(l, kTcp); }                                \
  int P##del_udp_port(uint16_t l) { return inst(N).del(l, kUdp); }                            \
  int P##port_status(uint16_t l, _T2U_NET_STAT* s) { return inst(N).port_status(l, kTcp, s); } \
  int P##udp_port_status(uint16_t l, _T2U_UDP_NET_STAT* s) {                                  \
    _T2U_NET_STAT full{};                                                                     \
    int r = inst(N).port_status(l, kUdp, s ? &full : nullptr);                                \
    if (s && r == 1) memcpy(s, &full, sizeof(*s));                                            \
    return r;                                                                                 \
  }                                                                                           \
  int P##get_rate(uint16_t l, _T2U_RATE_STAT* r) { return inst(N).get_rate(l, kTcp, r); }     \
  int P##get_udp_rate(uint16_t l, _T2U_RATE_STAT* r) { return inst(N).get_rate(l, kUdp, r); } \
  int P##query(const char* u) { return inst(N).query_ex(u, nullptr, 0, nullptr, 0); }         \
  int P##query_ex(const char* u, char* i, int is, char* a, int as) {                          \
    return inst(N).query_ex(u, i, is, a, as);                                                 \
  }                                                                                           \
  int P##search(char* b, int s) { return inst(N).search(b, s); }                              \
  int P##search_dvr(void) { return 0; }                                                       \
  void P##OnConnect(int c) { inst(N).on_connect(c); }                                         \
  void P##OnDisconnect(int c, int r) { inst(N).on_disconnect(c, r); }                         \
  int P##OnRecvFrame(int c, uint16_t id, uint16_t t, const void* d, int l) {                  \
    return inst(N).on_frame(c, id, t, d, l);                                                  \
  }

T2U_DEFINE(t2u_, 1)
T2U_DEFINE(t2u2_, 2)
#undef T2U_DEFINE

}  // extern "C"
