// vdt goodput beside TCP over the same veth, in one run.
//
// Runs itself inside a fresh namespace pair (tests/netns/kvnetns.sh; needs root). For each
// loss level (nftables, both directions on the client side) it sends BYTES (default 64 MiB)
// from NAME-cli to a sink in NAME-dev through vdt with the buffer sizes of each NAT-client
// instance, then through one TCP connection, and prints MB/s, CPU milliseconds per MB
// (sender and sink together) and the ceiling the vdt design implies: min(receiver slots ×
// 1384 B per RTT, 20 packets of 1384 B per 1 ms pass).
//
//   bench_vdt [BYTES] [LOSS...]          e.g. bench_vdt 67108864 0 1 5
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "netns.h"
#include "peer_process.h"
#include "vdt.h"
#include "vdt_conn.h"

namespace {

const char* kDevIp = "198.51.100.1";
const char* kCliIp = "198.51.100.2";

int64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

int64_t CpuUs() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

void Sleep(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int Bound(int type, const char* ip, uint16_t* port) {
  int s = socket(AF_INET, type, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t l = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  *port = ntohs(a.sin_port);
  return s;
}

// Sinks, run in NAME-dev: report "DONE cpu_us" once all bytes arrived.
int VdtSink(size_t bytes, int snd, int rcv) {
  uint16_t port;
  int s = Bound(SOCK_DGRAM, kDevIp, &port);
  printf("READY udp=%u\n", port);
  fflush(stdout);
  pollfd p{s, POLLIN, 0};
  if (poll(&p, 1, 30000) != 1) return 1;
  sockaddr_in from{};
  socklen_t fl = sizeof(from);
  char b[4];
  recvfrom(s, b, sizeof(b), MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &fl);
  char ip[32];
  inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
  vdt_init();
  int64_t cpu0 = CpuUs();
  int id = vdt_create(s, snd, rcv);
  vdt_set_destaddr(id, ip, ntohs(from.sin_port));
  std::vector<unsigned char> buf(65536);
  size_t got = 0;
  while (got < bytes) {
    int n = vdt_recv(id, buf.data(), static_cast<int>(buf.size()));
    if (n < 0) return 1;
    if (n == 0) Sleep(1);
    got += static_cast<size_t>(n > 0 ? n : 0);
  }
  printf("DONE %lld\n", static_cast<long long>(CpuUs() - cpu0));
  fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}

int TcpSink(size_t bytes) {
  uint16_t port;
  int l = Bound(SOCK_STREAM, kDevIp, &port);
  listen(l, 1);
  printf("READY tcp=%u\n", port);
  fflush(stdout);
  int s = accept(l, nullptr, nullptr);
  int64_t cpu0 = CpuUs();
  std::vector<char> buf(1 << 16);
  size_t got = 0;
  while (got < bytes) {
    ssize_t n = recv(s, buf.data(), buf.size(), 0);
    if (n <= 0) return 1;
    got += static_cast<size_t>(n);
  }
  send(s, "k", 1, MSG_NOSIGNAL);
  printf("DONE %lld\n", static_cast<long long>(CpuUs() - cpu0));
  fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}

bool StartSink(kvtest::PeerProcess& p, const std::vector<std::string>& args, std::string* ready) {
  std::vector<std::string> argv = kvtest::InNetnsSide("dev");
  argv.push_back(kvtest::SelfExe());
  argv.insert(argv.end(), args.begin(), args.end());
  return p.Launch(argv, ready);
}

long long SinkCpu(kvtest::PeerProcess& p) {
  if (!p.WaitForLines(1, 60000)) return -1;
  for (auto& l : p.Lines())
    if (l.rfind("DONE ", 0) == 0) return atoll(l.c_str() + 5);
  return -1;
}

struct Result {
  double mbs = 0, cpu_ms_per_mb = 0, ceiling = 0;
  int rtt_us = 0;
  bool ok = false;
};

Result RunVdt(size_t bytes, int snd, int rcv) {
  Result r;
  kvtest::PeerProcess sink;
  std::string ready;
  if (!StartSink(sink, {"--vdt-sink", std::to_string(bytes), std::to_string(snd), std::to_string(rcv)}, &ready))
    return r;
  vdt_init();
  uint16_t port;
  int s = Bound(SOCK_DGRAM, kCliIp, &port);
  int id = vdt_create(s, snd, rcv);
  vdt_set_destaddr(id, kDevIp, kvtest::ReadyPort(ready, "udp"));
  int p = 0;
  for (int i = 0; i < 3000 && !(vdt_get_free_size(id, &p) > 0 && p > 0); ++i) Sleep(10);
  if (p <= 0) return r;
  std::vector<unsigned char> msg(16384, 0x5a);
  int64_t t0 = NowUs(), cpu0 = CpuUs();
  size_t sent = 0;
  while (sent < bytes) {
    int n = vdt_send(id, msg.data(), static_cast<int>(std::min(msg.size(), bytes - sent)));
    if (n < 0) return r;
    if (n == 0) Sleep(1);
    sent += static_cast<size_t>(n > 0 ? n : 0);
  }
  while (!vdt_all_acked(id)) {
    if (!vdt_is_open(id)) return r;
    Sleep(1);
  }
  double secs = (NowUs() - t0) / 1e6;
  long long sink_cpu = SinkCpu(sink);
  double mb = bytes / 1048576.0;
  r.mbs = mb / secs;
  r.cpu_ms_per_mb = ((CpuUs() - cpu0) + (sink_cpu > 0 ? sink_cpu : 0)) / 1000.0 / mb;
  if (vdt_conn* c = vdt_find(id)) r.rtt_us = c->rtt_us.load();
  int slots = rcv / 1440;
  double per_rtt = r.rtt_us > 0 ? slots * 1384.0 / (r.rtt_us / 1e6) / 1048576.0 : 1e9;
  double per_pass = 20 * 1384.0 * 1000 / 1048576.0;
  r.ceiling = per_rtt < per_pass ? per_rtt : per_pass;
  vdt_close(id);
  r.ok = true;
  return r;
}

Result RunTcp(size_t bytes) {
  Result r;
  kvtest::PeerProcess sink;
  std::string ready;
  if (!StartSink(sink, {"--tcp-sink", std::to_string(bytes)}, &ready)) return r;
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kvtest::ReadyPort(ready, "tcp"));
  inet_pton(AF_INET, kDevIp, &a.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return r;
  std::vector<char> msg(65536, 0x5a);
  int64_t t0 = NowUs(), cpu0 = CpuUs();
  size_t sent = 0;
  while (sent < bytes) {
    ssize_t n = send(s, msg.data(), std::min(msg.size(), bytes - sent), MSG_NOSIGNAL);
    if (n <= 0) return r;
    sent += static_cast<size_t>(n);
  }
  char k;
  if (recv(s, &k, 1, 0) != 1) return r;
  double secs = (NowUs() - t0) / 1e6;
  long long sink_cpu = SinkCpu(sink);
  double mb = bytes / 1048576.0;
  r.mbs = mb / secs;
  r.cpu_ms_per_mb = ((CpuUs() - cpu0) + (sink_cpu > 0 ? sink_cpu : 0)) / 1000.0 / mb;
  close(s);
  r.ok = true;
  return r;
}

int Inside(size_t bytes, const std::vector<int>& losses) {
  printf("%-6s %-22s %10s %12s %14s %8s\n", "loss", "transport", "MB/s", "CPU ms/MB", "ceiling MB/s", "RTT us");
  for (int loss : losses) {
    if (!kvtest::SetNetnsLoss("cli", loss)) {
      fprintf(stderr, "cannot set loss\n");
      return 1;
    }
    struct {
      const char* name;
      int snd, rcv;
    } sizes[] = {{"vdt instance 1", 65536, 512000}, {"vdt instance 2", 65536, 65536}};
    for (auto& z : sizes) {
      Result r = RunVdt(bytes, z.snd, z.rcv);
      if (r.ok)
        printf("%-6d %-22s %10.2f %12.2f %14.2f %8d\n", loss, z.name, r.mbs, r.cpu_ms_per_mb, r.ceiling, r.rtt_us);
      else
        printf("%-6d %-22s failed\n", loss, z.name);
      fflush(stdout);
    }
    Result t = RunTcp(bytes);
    if (t.ok)
      printf("%-6d %-22s %10.2f %12.2f %14s %8s\n", loss, "tcp", t.mbs, t.cpu_ms_per_mb, "-", "-");
    else
      printf("%-6d %-22s failed\n", loss, "tcp");
    fflush(stdout);
  }
  kvtest::SetNetnsLoss("cli", 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "--vdt-sink") == 0)
    return VdtSink(strtoull(argv[2], nullptr, 10), atoi(argv[3]), atoi(argv[4]));
  if (argc >= 3 && strcmp(argv[1], "--tcp-sink") == 0) return TcpSink(strtoull(argv[2], nullptr, 10));
  size_t bytes = argc > 1 ? strtoull(argv[1], nullptr, 10) : (64u << 20);
  std::vector<int> losses;
  for (int i = 2; i < argc; ++i) losses.push_back(atoi(argv[i]));
  if (losses.empty()) losses = {0, 1, 5};
  if (!kvtest::NetnsPair()) {
    std::vector<std::string> self = {kvtest::SelfExe()};
    for (int i = 1; i < argc; ++i) self.emplace_back(argv[i]);
    if (argc == 1) self.push_back(std::to_string(bytes));
    std::string out;
    int rc = kvtest::RunInNetns(kvtest::NetnsOptions{}, self, &out);
    fputs(out.c_str(), stdout);
    if (rc == -1) fprintf(stderr, "bench_vdt needs root to create a namespace pair\n");
    return rc == 0 ? 0 : 1;
  }
  return Inside(bytes, losses);
}
