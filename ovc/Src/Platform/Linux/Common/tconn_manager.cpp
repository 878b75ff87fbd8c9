// The connection manager and its connections. One thread polls every descriptor; an eventfd
// wakes it when the set changes or the manager stops (no process-wide signal). Descriptors of
// any number are served, so a process with many open files works.
#include "tconn_manager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "orvan_netaddr.h"

// ---- TObject --------------------------------------------------------------------------------

int TObject_incRef(TObject* o) { return ++o->refs; }

int TObject_decRef(TObject* o) {
  int n = --o->refs;
  if (n == 0 && o->destroy) o->destroy(o);
  return n;
}

int convertErrorToConnErr(int err) {
  switch (err) {
    case ENETUNREACH: return TCONN_ERR_NETUNREACH;
    case ETIMEDOUT: return TCONN_ERR_TIMEDOUT;
    case ECONNREFUSED: return TCONN_ERR_REFUSED;
    default: return TCONN_ERR_OTHER;
  }
}

// ---- Manager record -------------------------------------------------------------------------

struct TConnEntry {
  std::atomic<int> state;  // 1 in use, 2 released and waiting for the thread
  TConnection* conn;
};

struct TConnManager {
  TObject base;
  tlist_t* list;
  pthread_t thread;
  std::mutex mu;
  std::atomic<int> stop{0};
  std::atomic<uint32_t> timeoutMs{50};
  TConnBreakCb breakCb = nullptr;
  void* breakUser = nullptr;
  int wakeFd = -1;
  std::atomic<uint64_t> passes{0};
  std::atomic<uint64_t> pollErrors{0};
};

namespace {
std::mutex g_create_mu;
TConnManager* gconnMgr = nullptr;
std::atomic<uint32_t> g_send_deadline_ms{5000};
std::atomic<int> g_link_multicast{0};
std::mutex g_probe_mu;
std::string g_probe_addr = "::ffff:203.0.113.1";
uint16_t g_probe_port = 10240;

void wake(TConnManager* m) {
  uint64_t one = 1;
  if (m && m->wakeFd >= 0) (void)!write(m->wakeFd, &one, sizeof one);
}

void report(const char* what, int err) {
  // The SDK keeps no log; a fault of the wait loop is still worth one line on stderr.
  fprintf(stderr, "ovc_conn_hdlr: %s: %s\n", what, strerror(err));
}
}  // namespace

void TConnManager_setSendDeadline(uint32_t ms) { g_send_deadline_ms = ms; }
void TConnManager_setLinkMulticast(int on) { g_link_multicast = on ? 1 : 0; }
void TConnManager_setProbeAddress(const char* text, uint16_t port) {
  std::lock_guard<std::mutex> g(g_probe_mu);
  g_probe_addr = text ? text : "";
  g_probe_port = port;
}
uint64_t TConnManager_passes(TConnManager* m) { return m ? m->passes.load() : 0; }
TConnManager* TConnManager_current() {
  std::lock_guard<std::mutex> g(g_create_mu);
  return gconnMgr;
}

// ---- Connection operations ------------------------------------------------------------------

static int conn_incRef(TConnection* c) { return c ? TObject_incRef(&c->base) : TERROR_EINVAL; }
static int conn_decRef(TConnection* c) { return c ? TObject_decRef(&c->base) : TERROR_EINVAL; }

static void LinuxTConnection_free(TObject* o) {
  auto* c = reinterpret_cast<TConnection*>(o);
  if (c->fd >= 0) close(c->fd);
  if (c->acceptedFd >= 0) close(c->acceptedFd);
  c->~TConnection();
  free(c);
}

static bool conn_released(TConnection* c);

static void LinuxTConnection_SetupFails(TConnection* c, int kind) {
  c->state = TCONN_STATE_FAILED;
  if (c->failCb && !conn_released(c)) c->failCb(c, kind, c->failUser);
}

static int fail_with_errno(TConnection* c, int err, bool callback) {
  if (callback) {
    // The callback's kind names the error; the result is its platform code.
    LinuxTConnection_SetupFails(c, convertErrorToConnErr(err));
  }
  return tos_convert_error(err);
}

static socklen_t addr_len(const sockaddr_storage& ss) {
  return ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

static int LinuxTConnection_setup(TConnection* c, const char* host, uint16_t* port, void*,
                                  TConnReadyCb ready, void* readyUser, TConnFailCb fail,
                                  void* failUser) {
  if (!c || !port) return TERROR_EINVAL;
  c->readyCb = ready;
  c->readyUser = readyUser;
  c->failCb = fail;
  c->failUser = failUser;
  if (c->role != TCONN_CLIENT && c->role != TCONN_SERVER) return TERROR_EINVAL;
  if (*port == 0 && c->role != TCONN_SERVER) return TERROR_EINVAL;
  if (c->state != TCONN_STATE_IDLE || c->fd >= 0) return TERROR_BAD_STATE;  // set up once only
  if (orv_host_get_sockaddr(host, c->transport == TCONN_TCP ? 0 : 1, *port, &c->setupAddr) != 0) {
    LinuxTConnection_SetupFails(c, TCONN_ERR_UNRESOLVED);
    return TERROR_HOST_UNRESOLVED;
  }
  int type = c->transport == TCONN_UDP ? SOCK_DGRAM : c->transport == TCONN_TCP ? SOCK_STREAM : -1;
  if (type < 0) return TERROR_ESOCKTNOSUPPORT;
  int fd = socket(c->setupAddr.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return TERROR_ENOMEM;
  auto fail_opt = [&](int err) {
    close(fd);
    return tos_convert_error(err);
  };
  int one = 1;
  if (!(c->flags & TCONN_FLAG_NO_REUSEADDR) &&
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    return fail_opt(errno);
  // Linux has no SO_NOSIGPIPE: every send passes MSG_NOSIGNAL instead.
  if (c->transport == TCONN_UDP) {
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return fail_opt(errno);
    if (c->setupAddr.ss_family == AF_INET6 && g_link_multicast) {
      int scope = orv_sockaddr_get_scope_id();
      if (scope > 0) {
        unsigned ifindex = (unsigned)scope;
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifindex, sizeof ifindex);
        ipv6_mreq mreq{};
        inet_pton(AF_INET6, "ff02::1", &mreq.ipv6mr_multiaddr);
        mreq.ipv6mr_interface = ifindex;
        setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof mreq);
        int hops = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
      }
    }
    int size = 1024000;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) return fail_opt(errno);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) return fail_opt(errno);
  }
  c->fd = fd;
  TConnManager* m = c->mgr;
  bool server = c->role == TCONN_SERVER;
  if (server) {
    if (!host && c->setupAddr.ss_family == AF_INET6) {
      int zero = 0;
      if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) != 0)
        return tos_convert_error(errno);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&c->setupAddr), addr_len(c->setupAddr)) != 0)
      return fail_with_errno(c, errno, true);
    if (c->transport == TCONN_UDP) {
      c->state = TCONN_STATE_READY;
    } else {
      if (listen(fd, 64) != 0) return tos_convert_error(errno);
      c->state = TCONN_STATE_LISTENING;
    }
    if (*port == 0) {
      sockaddr_storage bound{};
      socklen_t len = sizeof bound;
      if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0)
        return fail_with_errno(c, errno, true);
      *port = bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
    }
  } else if (c->transport == TCONN_UDP) {
    c->state = TCONN_STATE_READY;
  } else {
    int fl = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    c->peerAddr = c->setupAddr;
    if (connect(fd, reinterpret_cast<sockaddr*>(&c->setupAddr), addr_len(c->setupAddr)) != 0 &&
        errno != EINPROGRESS)
      return fail_with_errno(c, errno, true);
    // Completion (at once or later) is seen by the thread as writability.
    c->state = TCONN_STATE_CONNECTING;
  }
  // Decided before the connection is handed to the manager thread: once it is, a TCP
  // client may turn ready there at once and get its ready call from that thread.
  const bool readyNow = c->state == TCONN_STATE_READY;
  if (m) {
    std::lock_guard<std::mutex> g(m->mu);
    if (c->transport == TCONN_UDP || server) c->wantRead = true;
    else c->wantWrite = true;
  }
  wake(m);
  if (readyNow && c->readyCb) c->readyCb(c, c->readyUser);
  return 0;
}

// Waits until fd can take more bytes or the deadline passes; 0, or an errno value.
static int wait_writable(int fd, uint32_t deadline_ms) {
  uint32_t start = orv_monotonic_ms();
  for (;;) {
    uint32_t spent = orv_ms_elapsed(orv_monotonic_ms(), start);
    if (spent >= deadline_ms) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    int n = poll(&p, 1, (int)(deadline_ms - spent));
    if (n > 0) return 0;
    if (n == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

static int tcp_fd(TConnection* c) { return c->role == TCONN_SERVER ? c->acceptedFd : c->fd; }

static int LinuxTConnection_send(TConnection* c, const void* data, int* length) {
  if (!c) return TERROR_EINVAL;
  if (!data || !length || *length < 0 || c->state != TCONN_STATE_READY) return TERROR_EINVAL;
  ssize_t n;
  if (c->transport == TCONN_UDP) {
    n = sendto(c->fd, data, (size_t)*length, MSG_NOSIGNAL,
               reinterpret_cast<sockaddr*>(&c->setupAddr), addr_len(c->setupAddr));
  } else {
    int fd = tcp_fd(c);
    int err = wait_writable(fd, g_send_deadline_ms);
    if (err) return tos_convert_error(err);
    n = send(fd, data, (size_t)*length, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  if (n < 0) return tos_convert_error(errno);
  *length = (int)n;
  return 0;
}

// Numeric texts are turned into addresses directly; anything else goes through the resolver.
static int resolve_dgram(const char* host, uint16_t port, int family, sockaddr_storage* out) {
  memset(out, 0, sizeof *out);
  auto* s6 = reinterpret_cast<sockaddr_in6*>(out);
  auto* s4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET6, host, &s6->sin6_addr) == 1) {
    s6->sin6_family = AF_INET6;
    s6->sin6_port = port;
  } else if (inet_pton(AF_INET, host, &s4->sin_addr) == 1) {
    s4->sin_family = AF_INET;
    s4->sin_port = port;
  } else if (orv_host_get_sockaddr(host, 1, port, out) != 0) {
    return TERROR_HOST_UNRESOLVED;
  }
  // A dual-stack socket reaches an IPv4 peer under its mapped address.
  if (family == AF_INET6 && out->ss_family == AF_INET) {
    in_addr a = s4->sin_addr;
    memset(out, 0, sizeof *out);
    s6->sin6_family = AF_INET6;
    s6->sin6_port = port;
    s6->sin6_addr.s6_addr[10] = 0xFF;
    s6->sin6_addr.s6_addr[11] = 0xFF;
    memcpy(&s6->sin6_addr.s6_addr[12], &a, 4);
  }
  return 0;
}

static int LinuxTConnection_sendTo(TConnection* c, const char* host, uint16_t port,
                                   const void* data, int* length) {
  if (!c) return TERROR_EINVAL;
  if (!data || !length || *length < 0 || c->state != TCONN_STATE_READY) return TERROR_EINVAL;
  ssize_t n;
  if (c->transport == TCONN_UDP) {
    if (!host) return TERROR_EINVAL;
    sockaddr_storage to;
    if (resolve_dgram(host, port, c->setupAddr.ss_family, &to) != 0) return TERROR_HOST_UNRESOLVED;
    n = sendto(c->fd, data, (size_t)*length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
               addr_len(to));
  } else {
    int fd = tcp_fd(c);
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT)) {
      *length = 0;
      return 0;
    }
    n = send(fd, data, (size_t)*length, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  if (n < 0) return tos_convert_error(errno);
  *length = (int)n;
  return 0;
}

static std::mutex g_unmanaged_mu;  // for a connection made outside a manager
static std::mutex& conn_mutex(TConnection* c) { return c->mgr ? c->mgr->mu : g_unmanaged_mu; }

static bool conn_released(TConnection* c) {
  std::lock_guard<std::mutex> g(conn_mutex(c));
  return c->released;
}

static int LinuxTConnection_setRecvCallback(TConnection* c, TConnRecvCb fn, void* user) {
  if (!c) return TERROR_EINVAL;
  std::lock_guard<std::mutex> g(conn_mutex(c));
  c->recvCb = fn;
  c->recvUser = user;
  return 0;
}

static int LinuxTConnection_setErrorCallback(TConnection* c, TConnErrorCb fn, void* user) {
  if (!c) return TERROR_EINVAL;
  std::lock_guard<std::mutex> g(conn_mutex(c));
  c->errorCb = fn;
  c->errorUser = user;
  return 0;
}

static int LinuxTConnection_getState(TConnection* c, int* state) {
  if (!c || !state) return TERROR_EINVAL;
  *state = c->state;
  return 0;
}

static int LinuxTConnection_getLocalAddress(TConnection* c, char* text, int size, uint16_t* port) {
  if (!c || !text || !port || size <= 0) return TERROR_EINVAL;
  sockaddr_storage local{};
  if (c->transport == TCONN_UDP) {
    std::string probe;
    uint16_t probe_port;
    {
      std::lock_guard<std::mutex> g(g_probe_mu);
      probe = g_probe_addr;
      probe_port = g_probe_port;
    }
    // Connecting a datagram socket sends nothing; it only picks the route and source address.
    int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return tos_convert_error(errno);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(probe_port);
    socklen_t len = sizeof local;
    if (inet_pton(AF_INET6, probe.c_str(), &to.sin6_addr) != 1) {
      close(s);
      return TERROR_EINVAL;
    }
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
      int err = errno;
      close(s);
      return tos_convert_error(err);
    }
    close(s);
    c->localAddr = local;
  } else {
    local = c->localAddr;
  }
  orv_sockaddr_get_content(reinterpret_cast<sockaddr*>(&local), size, text, nullptr);
  *port = local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                      : reinterpret_cast<sockaddr_in*>(&local)->sin_port;
  return 0;
}

static int LinuxTConnection_setTTL(TConnection* c, int ttl) {
  if (!c) return TERROR_EINVAL;
  unsigned char b = (unsigned char)ttl;
  if (setsockopt(c->fd, IPPROTO_IP, IP_TTL, &b, sizeof b) != 0) return tos_convert_error(errno);
  return 0;
}

static int LinuxTConnection_setOption(TConnection* c, int option, const int* value) {
  if (!c || !value || option != 0) return TERROR_EINVAL;
  if (*value > TCONN_BUFFER_SIZE || *value < 1) return TERROR_EINVAL;
  c->recvSize = *value;
  return 0;
}

static int LinuxTConnection_getOption(TConnection* c, int option, int* value) {
  if (!c || !value || option != 0) return TERROR_EINVAL;
  *value = c->recvSize;
  return 0;
}

static int LinuxTConnection_keepPartial(TConnection* c) {
  if (!c) return TERROR_EINVAL;
  if (c->bufLen >= TCONN_BUFFER_SIZE) {
    c->appendFlag = 0;
    return TERROR_ENOBUFS;
  }
  c->appendFlag = 1;
  return 0;
}

static const TConnectionOps kConnOps = {
    conn_incRef,
    conn_decRef,
    LinuxTConnection_setup,
    LinuxTConnection_send,
    LinuxTConnection_sendTo,
    LinuxTConnection_setRecvCallback,
    LinuxTConnection_setErrorCallback,
    LinuxTConnection_getState,
    LinuxTConnection_getLocalAddress,
    LinuxTConnection_setTTL,
    LinuxTConnection_setOption,
    LinuxTConnection_getOption,
    LinuxTConnection_keepPartial,
};

int TConnection_new(int transport, int role, int flags, TConnection** out) {
  if (!out) return TERROR_EINVAL;
  void* mem = calloc(1, sizeof(TConnection));
  if (!mem) return TERROR_ENOMEM;
  auto* c = new (mem) TConnection();
  c->base.ops = &kConnOps;
  c->base.refs = 1;
  c->base.destroy = LinuxTConnection_free;
  c->fd = c->acceptedFd = -1;
  c->transport = transport;
  c->role = role;
  c->flags = flags;
  c->state = TCONN_STATE_IDLE;
  c->recvSize = TCONN_BUFFER_SIZE;
  *out = c;
  return 0;
}

// ---- The thread's side of a connection -------------------------------------------------------

// One receive; returns the buffered length (0 after a close, the old length after a failure).
static long LinuxTConnection_receivingMsg(TConnection* c) {
  uint8_t* at;
  long room;
  if (c->appendFlag == 1) {
    c->appendFlag = 0;
    at = c->buf + c->bufLen;
    room = TCONN_BUFFER_SIZE - c->bufLen;
  } else {
    c->bufLen = 0;
    at = c->buf;
    room = TCONN_BUFFER_SIZE;
  }
  long want = c->recvSize;
  if (want > room) want = room;
  sockaddr_storage from{};
  const sockaddr_storage* peer = &c->peerAddr;
  bool fresh = false;  // this receive brought bytes
  if (c->transport == TCONN_UDP) {
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(c->fd, c->buf, (size_t)want, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    c->bufLen = n;
    peer = &from;
    fresh = n > 0;
  } else {
    int fd = tcp_fd(c);
    ssize_t n = want > 0 ? recv(fd, at, (size_t)want, MSG_DONTWAIT) : -1;
    if (n > 0) {
      c->bufLen += n;
      fresh = true;
    } else if (n == 0) {
      c->state = TCONN_STATE_CLOSED;
      c->bufLen = 0;
    }
  }
  long count = c->bufLen;
  // A failed receive (a spurious wake-up) hands nothing out again.
  if (!fresh) return count;
  TConnRecvCb cb;
  void* user;
  {
    std::lock_guard<std::mutex> g(conn_mutex(c));
    cb = c->released ? nullptr : c->recvCb;
    user = c->recvUser;
  }
  if (cb && count > 0) {
    char text[64];
    uint16_t port_host = 0;
    if (orv_sockaddr_get_content(reinterpret_cast<const sockaddr*>(peer), sizeof text, text, &port_host) != 0)
      snprintf(text, sizeof text, "?ipaddr?");
    cb(c, text, htons(port_host), c->buf, (uint32_t)count, user);
  }
  return count;
}

static int LinuxTConnection_acceptTCPconnection(TConnection* c, int* out) {
  if (c->state != TCONN_STATE_LISTENING) return TERROR_BAD_STATE;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  int fd = accept4(c->fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) return tos_convert_error(errno);
  c->acceptedFd = fd;
  c->peerAddr = peer;
  c->state = TCONN_STATE_READY;
  *out = fd;
  if (c->readyCb) c->readyCb(c, c->readyUser);
  return 0;
}

static int LinuxTConnection_connectedReadyToSend(TConnection* c) {
  if (c->state != TCONN_STATE_CONNECTING) return TERROR_BAD_STATE;
  c->state = TCONN_STATE_READY;
  memset(&c->localAddr, 0, sizeof c->localAddr);
  socklen_t len = sizeof c->localAddr;
  if (getsockname(c->fd, reinterpret_cast<sockaddr*>(&c->localAddr), &len) != 0)
    return tos_convert_error(errno);
  // The connect is done; sends wait with poll, so the socket goes back to blocking mode.
  int fl = fcntl(c->fd, F_GETFL, 0);
  fcntl(c->fd, F_SETFL, fl & ~O_NONBLOCK);
  if (c->readyCb && !conn_released(c)) c->readyCb(c, c->readyUser);
  return 0;
}

static void LinuxTConnection_handleError(TConnection* c, int kind) {
  TConnErrorCb cb;
  void* user;
  {
    std::lock_guard<std::mutex> g(conn_mutex(c));
    cb = c->released ? nullptr : c->errorCb;
    user = c->errorUser;
  }
  if (cb) cb(c, kind, user);
}

// ---- Manager operations ---------------------------------------------------------------------

static int mgr_incRef(TConnManager* m) { return m ? TObject_incRef(&m->base) : TERROR_EINVAL; }
static int mgr_decRef(TConnManager* m) { return m ? TObject_decRef(&m->base) : TERROR_EINVAL; }

static int LinuxConnMgr_createConnection(TConnManager* m, int transport, int role, int flags,
                                         TConnection** out) {
  if (!m || !out) return TERROR_EINVAL;
  std::lock_guard<std::mutex> g(m->mu);
  if (tlistLength(m->list) >= TCONN_MAX_CONNECTIONS) return TERROR_LIMIT;
  TConnection* c = nullptr;
  int rc = TConnection_new(transport, role, flags, &c);
  if (rc != 0) return rc;
  auto* e = new (std::nothrow) TConnEntry();
  if (!e) {
    TObject_decRef(&c->base);
    return TERROR_ENOMEM;
  }
  e->state = 1;
  e->conn = c;
  TObject_incRef(&c->base);
  rc = tlistAppend(m->list, e);
  if (rc != 0) {
    delete e;
    TObject_decRef(&c->base);
    TObject_decRef(&c->base);
    return rc;
  }
  c->mgr = m;
  *out = c;
  return 0;
}

static int LinuxConnMgr_destroyConnection(TConnManager* m, TConnection* c) {
  if (!m) return TERROR_EINVAL;
  {
    std::lock_guard<std::mutex> g(m->mu);
    for (tlist_node_t* n = tlistHead(m->list); n; n = n->next) {
      auto* e = static_cast<TConnEntry*>(n->data);
      if (e->state == 1 && e->conn == c) {
        e->state = 2;
        c->released = true;
        c->wantRead = c->wantWrite = c->acceptedWantRead = false;
        TObject_decRef(&c->base);  // the caller's; the entry's remains until the thread reaps
        break;
      }
    }
  }
  wake(m);
  return 0;
}

static int LinuxConnMgr_setTimeout(TConnManager* m, uint32_t ms) {
  if (!m) return TERROR_EINVAL;
  m->timeoutMs = ms;
  return 0;
}

static int LinuxConnMgr_setBreakTimeCallBack(TConnManager* m, TConnBreakCb fn, void* user) {
  if (!m) return TERROR_EINVAL;
  std::lock_guard<std::mutex> g(m->mu);
  m->breakCb = fn;
  m->breakUser = user;
  return 0;
}

static const TConnManagerOps kMgrOps = {
    mgr_incRef,
    mgr_decRef,
    LinuxConnMgr_createConnection,
    LinuxConnMgr_destroyConnection,
    LinuxConnMgr_setTimeout,
    LinuxConnMgr_setBreakTimeCallBack,
};

const TConnManagerOps* TConnManager_ops(TConnManager* m) {
  return m ? static_cast<const TConnManagerOps*>(m->base.ops) : &kMgrOps;
}

// Drops released entries; the manager's mutex is held. Connections whose last reference goes
// here close their descriptors.
static void reap_released(TConnManager* m, std::vector<TConnection*>* to_release) {
  tlist_node_t* n = tlistHead(m->list);
  while (n) {
    tlist_node_t* next = n->next;
    auto* e = static_cast<TConnEntry*>(n->data);
    if (e->state == 2) {
      to_release->push_back(e->conn);
      delete e;
      tlistRemoveNode(m->list, n);
    }
    n = next;
  }
}

namespace {
enum Which { kSocket, kAccepted };
struct Watch {
  TConnection* c;
  Which which;
};
}  // namespace

static void dispatch(TConnManager* m, TConnection* c, Which which, short rev) {
  if (which == kAccepted) {
    if (!(rev & (POLLIN | POLLERR | POLLHUP))) return;
    long n = LinuxTConnection_receivingMsg(c);
    if (n == 0) {
      std::lock_guard<std::mutex> g(m->mu);
      c->acceptedWantRead = false;
    }
    return;
  }
  bool wantRead, wantWrite;
  {
    std::lock_guard<std::mutex> g(m->mu);
    wantRead = c->wantRead;
    wantWrite = c->wantWrite;
  }
  if (rev & POLLNVAL) {
    // Our own bookkeeping never leaves a closed descriptor registered: report and stop watching.
    report("descriptor no longer valid", EBADF);
    std::lock_guard<std::mutex> g(m->mu);
    c->wantRead = c->wantWrite = false;
    return;
  }
  if (wantRead && (rev & (POLLIN | POLLERR | POLLHUP))) {
    if (c->transport == TCONN_UDP) {
      LinuxTConnection_receivingMsg(c);
    } else if (c->role == TCONN_SERVER) {
      int fd = -1;
      if (LinuxTConnection_acceptTCPconnection(c, &fd) == 0 && fd > 0) {
        // One accepted connection per listener: stop watching the listener, so a second
        // pending connection does not wake the thread again and again.
        std::lock_guard<std::mutex> g(m->mu);
        c->wantRead = false;
        c->acceptedWantRead = true;
      }
    } else {
      long n = LinuxTConnection_receivingMsg(c);
      if (n == 0 && c->state == TCONN_STATE_CLOSED) {
        {
          std::lock_guard<std::mutex> g(m->mu);
          c->wantRead = false;
        }
        LinuxTConnection_handleError(c, TCONN_ERR_CLOSED);
      }
    }
    return;
  }
  if (wantWrite && (rev & (POLLOUT | POLLERR | POLLHUP))) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    {
      std::lock_guard<std::mutex> g(m->mu);
      c->wantWrite = false;
    }
    if (err != 0) {
      LinuxTConnection_SetupFails(c, convertErrorToConnErr(err));
      return;
    }
    if (LinuxTConnection_connectedReadyToSend(c) == 0) {
      std::lock_guard<std::mutex> g(m->mu);
      c->wantRead = true;
    }
  }
}

static void* connectionHandlerThread(void* arg) {
  orvan_platform_set_thread_name("ovc_conn_hdlr");
  auto* m = static_cast<TConnManager*>(arg);
  std::vector<pollfd> fds;
  std::vector<Watch> watches;
  std::vector<TConnection*> released;
  while (!m->stop) {
    m->passes++;
    fds.clear();
    watches.clear();
    released.clear();
    {
      std::lock_guard<std::mutex> g(m->mu);
      reap_released(m, &released);
      fds.push_back(pollfd{m->wakeFd, POLLIN, 0});
      for (tlist_node_t* n = tlistHead(m->list); n; n = n->next) {
        auto* e = static_cast<TConnEntry*>(n->data);
        TConnection* c = e->conn;
        if (e->state != 1) continue;
        short ev = (short)((c->wantRead ? POLLIN : 0) | (c->wantWrite ? POLLOUT : 0));
        if (ev && c->fd >= 0) {
          fds.push_back(pollfd{c->fd, ev, 0});
          watches.push_back(Watch{c, kSocket});
        }
        if (c->acceptedWantRead && c->acceptedFd >= 0) {
          fds.push_back(pollfd{c->acceptedFd, POLLIN, 0});
          watches.push_back(Watch{c, kAccepted});
        }
      }
    }
    for (TConnection* c : released) TObject_decRef(&c->base);
    uint32_t timeout = m->timeoutMs;
    int n = poll(fds.data(), fds.size(), (int)(timeout > 0x7FFFFFFF ? 0x7FFFFFFF : timeout));
    if (m->stop) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // Survive and say so, rather than ending all networking silently.
      int err = errno;
      if (m->pollErrors++ < 10) report("poll failed", err);
      timespec ts{0, 10 * 1000000L};
      nanosleep(&ts, nullptr);
      continue;
    }
    if (n == 0) {
      TConnBreakCb cb;
      void* user;
      {
        std::lock_guard<std::mutex> g(m->mu);
        cb = m->breakCb;
        user = m->breakUser;
      }
      if (cb) cb(m, user);
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      (void)!read(m->wakeFd, &v, sizeof v);
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const Watch& w = watches[i - 1];
      // A connection released during this pass is skipped; the entry keeps it alive until reaped.
      bool live;
      {
        std::lock_guard<std::mutex> g(m->mu);
        live = w.which == kSocket ? (w.c->wantRead || w.c->wantWrite) : w.c->acceptedWantRead;
      }
      if (live) dispatch(m, w.c, w.which, fds[i].revents);
    }
  }
  return nullptr;
}

static void LinuxConnMgr_free(TObject* o) {
  auto* m = reinterpret_cast<TConnManager*>(o);
  m->stop = 1;
  wake(m);
  orvan_platform_WaitForTaskExit(m->thread);
  std::vector<TConnection*> drop;
  {
    std::lock_guard<std::mutex> g(m->mu);
    for (tlist_node_t* n = tlistHead(m->list); n; n = n->next) {
      auto* e = static_cast<TConnEntry*>(n->data);
      drop.push_back(e->conn);
      delete e;
    }
    tlistDestroy(m->list);
    m->list = nullptr;
  }
  for (TConnection* c : drop) TObject_decRef(&c->base);
  close(m->wakeFd);
  {
    std::lock_guard<std::mutex> g(g_create_mu);
    if (gconnMgr == m) gconnMgr = nullptr;
  }
  delete m;
}

int TConnManager_create(TConnManager** out) {
  if (!out) return TERROR_EINVAL;
  std::lock_guard<std::mutex> g(g_create_mu);
  if (gconnMgr) {
    TObject_incRef(&gconnMgr->base);
    *out = gconnMgr;
    return 0;
  }
  auto* m = new (std::nothrow) TConnManager();
  if (!m) return TERROR_ENOMEM;
  m->base.ops = &kMgrOps;
  m->base.refs = 1;
  m->base.destroy = LinuxConnMgr_free;
  m->list = tlistNew();
  m->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (!m->list || m->wakeFd < 0) {
    int err = errno;
    tlistDestroy(m->list);
    if (m->wakeFd >= 0) close(m->wakeFd);
    delete m;
    return tos_convert_error(err);
  }
  int err = 0;
  m->thread = orvan_platform_CreateTask(&err, connectionHandlerThread, m, 0);
  if (err != 0) {
    tlistDestroy(m->list);
    close(m->wakeFd);
    delete m;
    return tos_convert_error(EAGAIN);
  }
  gconnMgr = m;
  *out = m;
  return 0;
}
