#include "Tunnel/tnl_lan.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "Tunnel/tnl_stream.h"
#include "Tunnel/tnl_wire.h"
#include "p2ptunnel_api.h"
#include "rct_api.h"

namespace tnl {

namespace {

constexpr int kNoReply = -10007;
std::atomic<int> gReplyTries{100};
std::atomic<int> gCountdownMs{1000};

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

uint32_t draw_token() {
  static std::mutex mu;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard<std::mutex> g(mu);
  uint32_t t = gen() & 0x7FFFFFFF;
  return t < 40 ? t + 40 : t;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t get_le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The TCP half of the probe: send v, expect lan_step(v) back, all within the deadline.
int countdown(int fd, uint32_t v, int64_t deadline, const std::atomic<bool>* stop) {
  uint8_t out[4], in[4];
  put_le32(out, v);
  size_t sent = 0, got = 0;
  while (got < 4) {
    if (stop && stop->load()) return TNL_ER_CONNECT_STOPPED;
    int64_t left = deadline - now_ms();
    if (left <= 0) return TNL_ER_LAN_COUNTDOWN;
    pollfd pf{fd, (short)(sent < 4 ? POLLOUT : POLLIN), 0};
    int r = poll(&pf, 1, left > 20 ? 20 : (int)left);
    if (r < 0 && errno != EINTR) return TNL_ER_LAN_COUNTDOWN;
    if (r <= 0) continue;
    if (sent < 4) {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return TNL_ER_LAN_COUNTDOWN;
      ssize_t k = send(fd, out + sent, 4 - sent, MSG_NOSIGNAL);
      if (k < 0 && errno != EAGAIN) return TNL_ER_LAN_COUNTDOWN;
      if (k > 0) sent += (size_t)k;
      continue;
    }
    ssize_t k = recv(fd, in + got, 4 - got, 0);
    if (k < 0 && errno == EAGAIN) continue;
    if (k <= 0) return TNL_ER_LAN_COUNTDOWN;  // refused, reset or closed without an answer
    got += (size_t)k;
  }
  return get_le32(in) == lan_step(v) ? 0 : TNL_ER_LAN_COUNTDOWN;
}

}  // namespace

void SetLanProbeLimits(int replyTries, int countdownMs) {
  gReplyTries = replyTries > 0 ? replyTries : 100;
  gCountdownMs = countdownMs > 0 ? countdownMs : 1000;
}

int ReadLanReply(TnlStream& s, uint32_t T, uint16_t* port, const std::atomic<bool>* stop) {
  // The reply's 12 bytes, partial reads completed; an idle read costs one try.
  uint8_t reply[12];
  size_t got = 0;
  for (int tries = gReplyTries.load(); got < sizeof reply;) {
    if (stop && stop->load()) return TNL_ER_CONNECT_STOPPED;
    int k = s.Read(reply + got, sizeof reply - got, 100);
    if (k < 0) return k;
    if (k == 0 && --tries <= 0) return kNoReply;
    got += (size_t)k;
  }
  uint32_t answer;
  if (!parse_lan_reply(reply, sizeof reply, &answer, port) || answer != lan_step(T))
    return TNL_ER_UID_INVALID;
  return 0;
}

int SetupLanTcp(TnlStream& s, uint32_t deviceIpv4, const std::atomic<bool>* stop,
                uint32_t token) {
  const uint32_t T = token ? token : draw_token();
  std::vector<uint8_t> req = make_lan_request(T, 0);
  int w = s.Write(req.data(), req.size());
  if (w < 0) return w;
  uint16_t port = 0;
  int rr = ReadLanReply(s, T, &port, stop);
  if (rr < 0) return rr;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return TNL_ER_SOCKET;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(deviceIpv4);
  int r = TNL_ER_LAN_COUNTDOWN;
  if (port != 0 && (connect(fd, (sockaddr*)&sa, sizeof sa) == 0 || errno == EINPROGRESS))
    r = countdown(fd, lan_step(lan_step(T)), now_ms() + gCountdownMs.load(), stop);
  close(fd);  // it only proves the path
  return r;
}

// ---------------------------------------------------------------------------------------
// The direct-LAN relay.

namespace {

constexpr int kSlots = 256;
constexpr int kPerSession = 256;
constexpr size_t kChunk = 8196;

struct Slot {
  bool inUse = false;
  bool stopping = false;  // the proxy thread closes it and frees the slot
  int sid = -1;
  int lfd = -1;
  uint32_t ip = 0;
  uint16_t devicePort = 0;
  uint16_t localPort = 0;
};

// One side's bytes that the other side did not take yet.
struct Pending {
  std::vector<uint8_t> data;
  size_t off = 0;
  bool empty() const { return off >= data.size(); }
};

struct Conn {
  int sid, slot;
  int local, dev;
  bool connecting;
  bool localEnd = false, devEnd = false;
  bool dead = false;
  Pending toDev, toLocal;
};

std::mutex gMu;
std::condition_variable gCv;  // a stop request was carried out
Slot gSlots[kSlots];
uint32_t gSlotGen[kSlots];  // raised each time a slot is freed: a waiting stop sees its own end
std::list<Conn> gConns;
std::vector<int> gEndingSessions;
std::map<int, uint32_t> gLastIO;  // per session, seconds of the wall clock
std::thread gThread;
bool gRunning = false;
int gWake[2] = {-1, -1};

void wake() {
  char b = 1;
  if (gWake[1] >= 0) (void)!write(gWake[1], &b, 1);
}

int session_count(int sid) {
  int n = 0;
  for (const Conn& c : gConns)
    if (c.sid == sid) ++n;
  return n;
}

void close_conn(Conn& c) {
  close(c.local);
  close(c.dev);
  c.dead = true;
}

void accept_on(int slotIndex) {
  Slot& s = gSlots[slotIndex];
  for (;;) {
    int fd = accept4(s.lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (session_count(s.sid) >= kPerSession) {  // every channel of the session is taken
      close(fd);
      continue;
    }
    int dev = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (dev < 0) {
      close(fd);
      continue;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(s.devicePort);
    sa.sin_addr.s_addr = htonl(s.ip);
    bool now = connect(dev, (sockaddr*)&sa, sizeof sa) == 0;
    if (!now && errno != EINPROGRESS) {
      close(fd);
      close(dev);
      continue;
    }
    gConns.push_back(Conn{s.sid, slotIndex, fd, dev, !now});
  }
}

// Moves bytes from src to dst; what dst does not take waits in pend and src is not read
// again until it is gone. False when the pair must close.
bool pump(int src, int dst, Pending& pend, bool& srcEnd) {
  uint8_t buf[kChunk];
  ssize_t n = recv(src, buf, sizeof buf, 0);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) {
    srcEnd = true;
    shutdown(dst, SHUT_WR);
    return true;
  }
  ssize_t k = send(dst, buf, (size_t)n, MSG_NOSIGNAL);
  if (k < 0) {
    if (errno != EAGAIN && errno != ENOBUFS) return false;
    k = 0;
  }
  if (k < n) {
    pend.data.assign(buf + k, buf + n);
    pend.off = 0;
  }
  return true;
}

bool flush(int dst, Pending& pend) {
  ssize_t k = send(dst, pend.data.data() + pend.off, pend.data.size() - pend.off, MSG_NOSIGNAL);
  if (k < 0) return errno == EAGAIN || errno == ENOBUFS || errno == EINTR;
  pend.off += (size_t)k;
  if (pend.empty()) {
    pend.data.clear();
    pend.data.shrink_to_fit();
    pend.off = 0;
  }
  return true;
}

// Carries out stop requests: listeners and connections closed on this thread only.
void apply_stops() {
  bool any = false;
  for (Slot& s : gSlots) {
    if (!s.inUse || !s.stopping) continue;
    for (Conn& c : gConns)
      if (!c.dead && c.slot == (int)(&s - gSlots)) close_conn(c);
    close(s.lfd);
    s = Slot{};
    ++gSlotGen[&s - gSlots];
    any = true;
  }
  for (int sid : gEndingSessions) {
    gLastIO.erase(sid);
    for (Conn& c : gConns)
      if (!c.dead && c.sid == sid) close_conn(c);
    for (Slot& s : gSlots) {
      if (s.inUse && s.sid == sid) {
        close(s.lfd);
        s = Slot{};
        ++gSlotGen[&s - gSlots];
      }
    }
    any = true;
  }
  gEndingSessions.clear();
  gConns.remove_if([](const Conn& c) { return c.dead; });
  if (any) gCv.notify_all();
}

void proxy_loop() {
  std::vector<pollfd> fds;
  std::vector<std::pair<int, Conn*>> who;  // per pollfd: slot index (>= 0) or a connection
  std::unique_lock<std::mutex> lk(gMu);
  while (gRunning) {
    apply_stops();
    fds.clear();
    who.clear();
    fds.push_back({gWake[0], POLLIN, 0});
    who.push_back({-1, nullptr});
    for (int i = 0; i < kSlots; ++i) {
      if (gSlots[i].inUse && !gSlots[i].stopping) {
        fds.push_back({gSlots[i].lfd, POLLIN, 0});
        who.push_back({i, nullptr});
      }
    }
    for (Conn& c : gConns) {
      if (c.connecting) {
        fds.push_back({c.dev, POLLOUT, 0});
        who.push_back({-1, &c});
        continue;
      }
      short l = 0, d = 0;
      if (c.toDev.empty() && !c.localEnd) l |= POLLIN;
      if (!c.toLocal.empty()) l |= POLLOUT;
      if (c.toLocal.empty() && !c.devEnd) d |= POLLIN;
      if (!c.toDev.empty()) d |= POLLOUT;
      fds.push_back({c.local, l, 0});
      who.push_back({-1, &c});
      fds.push_back({c.dev, d, 0});
      who.push_back({-2, &c});
    }
    lk.unlock();
    int r = poll(fds.data(), fds.size(), 1000);
    lk.lock();
    if (r <= 0) continue;
    if (fds[0].revents) {
      char b[64];
      while (read(gWake[0], b, sizeof b) > 0) {
      }
    }
    // Stops requested while polling are carried out at the top of the next pass; until then
    // their sockets are left alone. Connections stay in the list (dead or not) until the end
    // of this pass, so the pointers polled for are valid.
    for (size_t i = 1; i < fds.size(); ++i) {
      const short ev = fds[i].revents;
      if (!ev) continue;
      Conn* c = who[i].second;
      if (!c) {
        int si = who[i].first;
        if (gSlots[si].inUse && !gSlots[si].stopping) accept_on(si);
        continue;
      }
      if (c->dead || gSlots[c->slot].stopping) continue;
      bool ending = false;
      for (int e : gEndingSessions) ending |= e == c->sid;
      if (ending) continue;
      if (c->connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(c->dev, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
          close_conn(*c);
        } else {
          c->connecting = false;
        }
        continue;
      }
      bool ok = !(ev & POLLERR);  // reset or unreachable: the pair is broken
      if (!ok) {
      } else if (who[i].first == -1) {  // the local socket
        if ((ev & (POLLIN | POLLHUP)) && c->toDev.empty() && !c->localEnd)
          ok = pump(c->local, c->dev, c->toDev, c->localEnd);
        if (ok && (ev & POLLOUT) && !c->toLocal.empty()) ok = flush(c->local, c->toLocal);
      } else {
        if ((ev & (POLLIN | POLLHUP)) && c->toLocal.empty() && !c->devEnd)
          ok = pump(c->dev, c->local, c->toLocal, c->devEnd);
        if (ok && (ev & POLLOUT) && !c->toDev.empty()) ok = flush(c->dev, c->toDev);
      }
      if (ok) {
        timeval tv;
        gettimeofday(&tv, nullptr);
        gLastIO[c->sid] = (uint32_t)tv.tv_sec;
      }
      if (!ok || (c->localEnd && c->devEnd && c->toDev.empty() && c->toLocal.empty()))
        close_conn(*c);
    }
    gConns.remove_if([](const Conn& c) { return c.dead; });
  }
  // Shutting down: everything still open goes.
  for (Conn& c : gConns) close_conn(c);
  gConns.clear();
  for (Slot& s : gSlots) {
    if (s.inUse) close(s.lfd);
    s = Slot{};
  }
  gCv.notify_all();
}

}  // namespace

bool LanProxyStart() {
  std::lock_guard<std::mutex> g(gMu);
  if (gRunning) return true;
  if (pipe2(gWake, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  gRunning = true;
  try {
    gThread = std::thread(proxy_loop);
  } catch (...) {
    gRunning = false;
    close(gWake[0]);
    close(gWake[1]);
    gWake[0] = gWake[1] = -1;
    return false;
  }
  return true;
}

void LanProxyStop() {
  std::thread t;
  {
    std::lock_guard<std::mutex> g(gMu);
    if (!gRunning) return;
    gRunning = false;
    wake();
    t = std::move(gThread);
  }
  t.join();
  std::lock_guard<std::mutex> g(gMu);
  close(gWake[0]);
  close(gWake[1]);
  gWake[0] = gWake[1] = -1;
}

namespace {
// A program may end with the agent still initialised: the relay thread is stopped and joined
// before its thread object goes, since destroying a running thread ends the process.
struct ProxyAtExit {
  ~ProxyAtExit() { LanProxyStop(); }
} gProxyAtExit;
}  // namespace

int LanMapAdd(int sid, uint32_t deviceIpv4, uint16_t devicePort, uint16_t localPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return TNL_ER_SOCKET;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(localPort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // only this machine's clients reach the device
  if (bind(fd, (sockaddr*)&sa, sizeof sa) != 0 || listen(fd, 128) != 0) {
    close(fd);
    return TNL_ER_BIND;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr*)&sa, &len);
  std::lock_guard<std::mutex> g(gMu);
  if (!gRunning) {
    close(fd);
    return TNL_ER_NOT_INITIALIZED;
  }
  int n = 0, idx = -1;
  for (int i = 0; i < kSlots; ++i) {
    if (gSlots[i].inUse) n += gSlots[i].sid == sid;
    else if (idx < 0) idx = i;
  }
  if (idx < 0 || n >= kPerSession) {
    close(fd);
    return TNL_ER_NO_FREE_MAPPING;
  }
  Slot& s = gSlots[idx];
  s.inUse = true;
  s.stopping = false;
  s.sid = sid;
  s.lfd = fd;
  s.ip = deviceIpv4;
  s.devicePort = devicePort;
  s.localPort = ntohs(sa.sin_port);
  wake();
  return idx;
}

bool LanMapStop(int slot) {
  if (slot < 0 || slot >= kSlots) return false;
  std::unique_lock<std::mutex> lk(gMu);
  Slot& s = gSlots[slot];
  if (!s.inUse) return false;
  const uint32_t gen = gSlotGen[slot];
  if (!s.stopping) {
    s.stopping = true;
    wake();
  }
  gCv.wait(lk, [&] { return gSlotGen[slot] != gen || !gRunning; });
  return true;
}

void LanSessionEnd(int sid) {
  std::unique_lock<std::mutex> lk(gMu);
  if (!gRunning) return;
  bool any = session_count(sid) > 0;
  for (const Slot& s : gSlots) any |= s.inUse && s.sid == sid;
  if (!any) return;
  gEndingSessions.push_back(sid);
  wake();
  gCv.wait(lk, [&] {
    if (!gRunning) return true;
    for (int e : gEndingSessions)
      if (e == sid) return false;
    return true;
  });
}

uint16_t LanMapLocalPort(int slot) {
  std::lock_guard<std::mutex> g(gMu);
  return slot >= 0 && slot < kSlots && gSlots[slot].inUse ? gSlots[slot].localPort : 0;
}

uint32_t LanLastIO(int sid) {
  std::lock_guard<std::mutex> g(gMu);
  auto it = gLastIO.find(sid);
  return it == gLastIO.end() ? 0 : it->second;
}

int LanConnections(int sid) {
  std::lock_guard<std::mutex> g(gMu);
  return session_count(sid);
}

}  // namespace tnl
