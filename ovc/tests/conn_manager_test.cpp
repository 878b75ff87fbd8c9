// The connection manager on loopback: UDP echo, TCP connect outcomes, fragments gathered with
// keep-partial, the connection limit, many open descriptors, a quiet listener, send deadlines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tconn_manager.h"

namespace {

// Waits on a predicate with a generous deadline (a busy 2-core machine stays well inside it).
template <typename Pred>
bool wait_for(std::mutex& mu, std::condition_variable& cv, Pred p, int seconds = 20) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::seconds(seconds), p);
}

class ConnManager : public ::testing::Test {
 protected:
  TConnManager* mgr = nullptr;
  const TConnManagerOps* ops = nullptr;
  std::vector<TConnection*> conns;

  void SetUp() override {
    ASSERT_EQ(TConnManager_create(&mgr), 0);
    ops = TConnManager_ops(mgr);
  }
  void TearDown() override {
    for (TConnection* c : conns) ops->destroyConnection(mgr, c);
    ops->decRef(mgr);
    EXPECT_EQ(TConnManager_current(), nullptr);
  }
  TConnection* make(int transport, int role) {
    TConnection* c = nullptr;
    EXPECT_EQ(ops->createConnection(mgr, transport, role, 0, &c), 0);
    conns.push_back(c);
    return c;
  }
};

uint16_t port_of_closed_socket() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return a.sin_port;
}

int raw_tcp_connect(uint16_t port_net) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = port_net;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

struct Echo {
  std::mutex mu;
  std::condition_variable cv;
  uint32_t received = 0;
  uint32_t mismatched = 0;
  uint32_t next_expected = 0;
};

void echo_back(TConnection* c, const char* peer, uint16_t port, uint8_t* buf, uint32_t len, void*) {
  int n = (int)len;
  c->ops()->sendTo(c, peer, port, buf, &n);
}

void count_echo(TConnection*, const char*, uint16_t, uint8_t* buf, uint32_t len, void* user) {
  auto* e = static_cast<Echo*>(user);
  std::lock_guard<std::mutex> g(e->mu);
  uint32_t seq = 0;
  if (len >= 4) memcpy(&seq, buf, 4);
  if (len != 4 + (seq % 1000) || seq != e->next_expected) e->mismatched++;
  e->next_expected = seq + 1;
  e->received++;
  e->cv.notify_all();
}

// Sends count datagrams client -> server -> client with a window, checks each came back in order.
void run_echo(TConnection* client, Echo* e, uint32_t count) {
  std::vector<uint8_t> msg(4 + 999);
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_TRUE(wait_for(e->mu, e->cv, [&] { return i - e->received < 32; })) << "stalled at " << i;
    memcpy(msg.data(), &i, 4);
    for (uint32_t k = 4; k < 4 + i % 1000; ++k) msg[k] = (uint8_t)(i + k);
    int n = (int)(4 + i % 1000);
    ASSERT_EQ(client->ops()->send(client, msg.data(), &n), 0);
    ASSERT_EQ(n, (int)(4 + i % 1000));
  }
  ASSERT_TRUE(wait_for(e->mu, e->cv, [&] { return e->received == count; }));
  EXPECT_EQ(e->mismatched, 0u);
}

}  // namespace

TEST_F(ConnManager, SharedManagerIsReferenceCounted) {
  TConnManager* again = nullptr;
  ASSERT_EQ(TConnManager_create(&again), 0);
  EXPECT_EQ(again, mgr);
  EXPECT_EQ(ops->decRef(again), 1);  // the thread keeps running
  EXPECT_EQ(TConnManager_current(), mgr);
  EXPECT_EQ(ops->createConnection(nullptr, TCONN_UDP, 0, 0, nullptr), TERROR_EINVAL);
  EXPECT_EQ(ops->createConnection(mgr, TCONN_UDP, 0, 0, nullptr), TERROR_EINVAL);
}

TEST_F(ConnManager, UdpEchoOfTenThousandDatagramsWithoutLoss) {
  TConnection* server = make(TCONN_UDP, TCONN_SERVER);
  TConnection* client = make(TCONN_UDP, TCONN_CLIENT);
  server->ops()->setRecvCallback(server, echo_back, nullptr);
  uint16_t sport = 0;
  std::atomic<int> ready{0};
  ASSERT_EQ(TConn_setup(server, nullptr, &sport, [](TConnection*, void* u) { ++*static_cast<std::atomic<int>*>(u); },
                        &ready, nullptr, nullptr),
            0);
  EXPECT_NE(sport, 0);
  EXPECT_EQ(ready, 1);
  int state = -1;
  server->ops()->getState(server, &state);
  EXPECT_EQ(state, TCONN_STATE_READY);
  Echo e;
  client->ops()->setRecvCallback(client, count_echo, &e);
  ASSERT_EQ(TConn_setup(client, "127.0.0.1", &sport, nullptr, nullptr, nullptr, nullptr), 0);
  run_echo(client, &e, 10000);
}

TEST_F(ConnManager, RefusedTcpConnectFailsWithKindSix) {
  TConnection* c = make(TCONN_TCP, TCONN_CLIENT);
  struct Seen {
    std::mutex mu;
    std::condition_variable cv;
    int kind = 0, ready = 0;
  } seen;
  uint16_t port = port_of_closed_socket();
  ASSERT_EQ(TConn_setup(c, "127.0.0.1", &port,
                        [](TConnection*, void* u) {
                          auto* s = static_cast<Seen*>(u);
                          std::lock_guard<std::mutex> g(s->mu);
                          s->ready++;
                          s->cv.notify_all();
                        },
                        &seen,
                        [](TConnection*, int kind, void* u) {
                          auto* s = static_cast<Seen*>(u);
                          std::lock_guard<std::mutex> g(s->mu);
                          s->kind = kind;
                          s->cv.notify_all();
                        },
                        &seen),
            0);
  ASSERT_TRUE(wait_for(seen.mu, seen.cv, [&] { return seen.kind != 0; }));
  EXPECT_EQ(seen.kind, TCONN_ERR_REFUSED);
  EXPECT_EQ(seen.ready, 0);
  int state = -1;
  c->ops()->getState(c, &state);
  EXPECT_EQ(state, TCONN_STATE_FAILED);
}

TEST_F(ConnManager, SetupRefusals) {
  TConnection* c = make(TCONN_TCP, TCONN_CLIENT);
  uint16_t port = 0;
  EXPECT_EQ(TConn_setup(c, "127.0.0.1", &port, nullptr, nullptr, nullptr, nullptr), TERROR_EINVAL);
  // A host text that is not an address, with no name lookup: a name that the stand-in
  // resolver refuses.
  orv_set_resolver([](const char*, const char*, const addrinfo*, addrinfo**) { return -2; }, nullptr);
  int kind = 0;
  port = htons(80);
  EXPECT_EQ(TConn_setup(c, "device.invalid", &port, nullptr, nullptr,
                        [](TConnection*, int k, void* u) { *static_cast<int*>(u) = k; }, &kind),
            TERROR_HOST_UNRESOLVED);
  orv_set_resolver(nullptr, nullptr);
  EXPECT_EQ(kind, TCONN_ERR_UNRESOLVED);
  int v = 1541;
  EXPECT_EQ(c->ops()->setOption(c, 0, &v), TERROR_EINVAL);
  v = 100;
  EXPECT_EQ(c->ops()->setOption(c, 1, &v), TERROR_EINVAL);
  EXPECT_EQ(c->ops()->setOption(c, 0, &v), 0);
  EXPECT_EQ(c->ops()->getOption(c, 0, &v), 0);
  EXPECT_EQ(v, 100);
  EXPECT_EQ(c->ops()->getOption(c, 2, &v), TERROR_EINVAL);
  int len = 4;
  EXPECT_EQ(c->ops()->send(c, "abcd", &len), TERROR_EINVAL);  // not READY
  EXPECT_EQ(c->ops()->keepPartial(c), 0);
  c->bufLen = TCONN_BUFFER_SIZE;
  EXPECT_EQ(c->ops()->keepPartial(c), TERROR_ENOBUFS);
  EXPECT_EQ(c->appendFlag, 0);
  c->bufLen = 0;
}

namespace {
struct Gather {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> seen;  // what each receive callback saw
  bool closed = false;
};
const uint32_t kMessage = 600;

// The message is a 2-byte length and a body; a callback that sees less asks for the rest.
void gather_cb(TConnection* c, const char*, uint16_t, uint8_t* buf, uint32_t len, void* user) {
  auto* g = static_cast<Gather*>(user);
  {
    std::lock_guard<std::mutex> lk(g->mu);
    g->seen.emplace_back(reinterpret_cast<char*>(buf), len);
    g->cv.notify_all();
  }
  if (len >= 2) {
    uint32_t want = (uint32_t)(buf[0] | buf[1] << 8);
    if (len < want) {
      int missing = (int)(want - len);
      c->ops()->setOption(c, 0, &missing);
      c->ops()->keepPartial(c);
    }
  }
}
}  // namespace

TEST_F(ConnManager, TcpMessageInTwoFragmentsIsGatheredWithKeepPartial) {
  TConnection* server = make(TCONN_TCP, TCONN_SERVER);
  Gather g;
  server->ops()->setRecvCallback(server, gather_cb, &g);
  uint16_t port = 0;
  ASSERT_EQ(TConn_setup(server, "127.0.0.1", &port, nullptr, nullptr, nullptr, nullptr), 0);
  int state = -1;
  server->ops()->getState(server, &state);
  EXPECT_EQ(state, TCONN_STATE_LISTENING);
  int s = raw_tcp_connect(port);
  ASSERT_GE(s, 0);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string msg(kMessage, 'x');
  msg[0] = (char)(kMessage & 0xFF);
  msg[1] = (char)(kMessage >> 8);
  for (size_t i = 2; i < msg.size(); ++i) msg[i] = (char)('a' + i % 26);
  ASSERT_EQ(send(s, msg.data(), 250, 0), 250);
  ASSERT_TRUE(wait_for(g.mu, g.cv, [&] { return !g.seen.empty(); }));
  ASSERT_EQ(send(s, msg.data() + 250, msg.size() - 250, 0), (ssize_t)(msg.size() - 250));
  ASSERT_TRUE(wait_for(g.mu, g.cv, [&] { return !g.seen.empty() && g.seen.back().size() >= kMessage; }));
  {
    std::lock_guard<std::mutex> lk(g.mu);
    EXPECT_EQ(g.seen.front(), msg.substr(0, 250));
    EXPECT_EQ(g.seen.back(), msg);  // both fragments in one buffer
  }
  // The server answers on the accepted connection.
  int n = 5;
  ASSERT_EQ(server->ops()->send(server, "hello", &n), 0);
  char reply[8] = {};
  ASSERT_EQ(recv(s, reply, 5, MSG_WAITALL), 5);
  EXPECT_STREQ(reply, "hello");
  close(s);
}

TEST_F(ConnManager, TcpClientSeesReadyDataAndTheStreamEnd) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t alen = sizeof a;
  getsockname(ls, reinterpret_cast<sockaddr*>(&a), &alen);
  listen(ls, 4);
  TConnection* c = make(TCONN_TCP, TCONN_CLIENT);
  Gather g;
  std::atomic<int> ready{0};
  c->ops()->setRecvCallback(c, gather_cb, &g);
  c->ops()->setErrorCallback(c, [](TConnection*, int kind, void* u) {
    auto* gg = static_cast<Gather*>(u);
    std::lock_guard<std::mutex> lk(gg->mu);
    gg->closed = kind == TCONN_ERR_CLOSED;
    gg->cv.notify_all();
  }, &g);
  uint16_t port = a.sin_port;
  ASSERT_EQ(TConn_setup(c, "127.0.0.1", &port, [](TConnection*, void* u) { ++*static_cast<std::atomic<int>*>(u); },
                        &ready, nullptr, nullptr),
            0);
  int peer = accept(ls, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(send(peer, "\x03\x00z", 3, 0), 3);
  ASSERT_TRUE(wait_for(g.mu, g.cv, [&] { return !g.seen.empty(); }));
  EXPECT_EQ(ready, 1);
  char text[64];
  uint16_t lport = 0;
  EXPECT_EQ(c->ops()->getLocalAddress(c, text, sizeof text, &lport), 0);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_NE(lport, 0);
  close(peer);
  ASSERT_TRUE(wait_for(g.mu, g.cv, [&] { return g.closed; }));
  int state = -1;
  c->ops()->getState(c, &state);
  EXPECT_EQ(state, TCONN_STATE_CLOSED);
  close(ls);
}

TEST_F(ConnManager, TheConnectionAfterTheLimitIsRefused) {
  std::vector<TConnection*> many;
  for (int i = 0; i < TCONN_MAX_CONNECTIONS; ++i) {
    TConnection* c = nullptr;
    ASSERT_EQ(ops->createConnection(mgr, TCONN_UDP, TCONN_CLIENT, 0, &c), 0) << i;
    many.push_back(c);
  }
  TConnection* extra = nullptr;
  EXPECT_EQ(ops->createConnection(mgr, TCONN_UDP, TCONN_CLIENT, 0, &extra), TERROR_LIMIT);
  for (TConnection* c : many) ops->destroyConnection(mgr, c);
}

TEST_F(ConnManager, WorksWithDescriptorsAbove1024) {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur < 1300) {
    rl.rlim_cur = rl.rlim_max < 2048 ? rl.rlim_max : 2048;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  if (rl.rlim_cur < 1300) GTEST_SKIP() << "descriptor limit too low";
  std::vector<int> filler;
  for (int i = 0; i < 1100; ++i) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    filler.push_back(fd);
  }
  TConnection* server = make(TCONN_UDP, TCONN_SERVER);
  TConnection* client = make(TCONN_UDP, TCONN_CLIENT);
  server->ops()->setRecvCallback(server, echo_back, nullptr);
  uint16_t sport = 0;
  ASSERT_EQ(TConn_setup(server, "127.0.0.1", &sport, nullptr, nullptr, nullptr, nullptr), 0);
  Echo e;
  client->ops()->setRecvCallback(client, count_echo, &e);
  ASSERT_EQ(TConn_setup(client, "127.0.0.1", &sport, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_GT(server->fd, 1024);
  EXPECT_GT(client->fd, 1024);
  run_echo(client, &e, 500);
  for (int fd : filler) close(fd);
}

TEST_F(ConnManager, ListenerWithASecondPendingConnectionStaysQuiet) {
  ops->setTimeout(mgr, 1000);
  TConnection* server = make(TCONN_TCP, TCONN_SERVER);
  std::atomic<int> accepted{0};
  uint16_t port = 0;
  ASSERT_EQ(TConn_setup(server, "127.0.0.1", &port, [](TConnection*, void* u) { ++*static_cast<std::atomic<int>*>(u); },
                        &accepted, nullptr, nullptr),
            0);
  int a = raw_tcp_connect(port);
  int b = raw_tcp_connect(port);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  for (int i = 0; i < 2000 && accepted == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(accepted, 1);
  timespec c0, c1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
  uint64_t p0 = TConnManager_passes(mgr);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  uint64_t passes = TConnManager_passes(mgr) - p0;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
  double cpu = (double)(c1.tv_sec - c0.tv_sec) + (double)(c1.tv_nsec - c0.tv_nsec) / 1e9;
  // A spinning thread would pass hundreds of thousands of times and burn the whole second.
  EXPECT_LT(passes, 20u);
  EXPECT_LT(cpu, 0.05);
  EXPECT_EQ(accepted, 1);
  close(a);
  close(b);
}

TEST_F(ConnManager, TcpSendToAStalledPeerGivesUpAtTheDeadline) {
  TConnManager_setSendDeadline(300);
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t alen = sizeof a;
  getsockname(ls, reinterpret_cast<sockaddr*>(&a), &alen);
  listen(ls, 4);
  TConnection* c = make(TCONN_TCP, TCONN_CLIENT);
  std::atomic<int> ready{0};
  uint16_t port = a.sin_port;
  ASSERT_EQ(TConn_setup(c, "127.0.0.1", &port, [](TConnection*, void* u) { ++*static_cast<std::atomic<int>*>(u); },
                        &ready, nullptr, nullptr),
            0);
  int peer = accept(ls, nullptr, nullptr);  // never reads
  for (int i = 0; i < 2000 && ready == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(ready, 1);
  std::vector<char> chunk(65536, 'q');
  int rc = 0;
  for (int i = 0; i < 2000 && rc == 0; ++i) {
    int n = (int)chunk.size();
    rc = c->ops()->send(c, chunk.data(), &n);
  }
  EXPECT_EQ(rc, TERROR_ETIMEDOUT);
  // sendTo on a TCP connection that cannot take bytes sends nothing and says so.
  int n = 10;
  EXPECT_EQ(c->ops()->sendTo(c, nullptr, 0, chunk.data(), &n), 0);
  EXPECT_EQ(n, 0);
  TConnManager_setSendDeadline(5000);
  close(peer);
  close(ls);
}

TEST_F(ConnManager, IdleManagerCallsTheBreakTimeCallback) {
  struct Seen {
    std::mutex mu;
    std::condition_variable cv;
    int calls = 0;
  } seen;
  ops->setBreakTimeCallBack(mgr, [](TConnManager*, void* u) {
    auto* s = static_cast<Seen*>(u);
    std::lock_guard<std::mutex> g(s->mu);
    s->calls++;
    s->cv.notify_all();
  }, &seen);
  ops->setTimeout(mgr, 20);
  ASSERT_TRUE(wait_for(seen.mu, seen.cv, [&] { return seen.calls >= 3; }));
  ops->setBreakTimeCallBack(mgr, nullptr, nullptr);
}
