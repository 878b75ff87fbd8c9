// Figures of the tunnel agent against a device on the same LAN, in one run over the same
// link: a download from the device's source service and 64-byte echo round trips, first by a
// plain TCP connection to the device, then through a tunnel mapping in direct-LAN mode, then
// through a mapping in RCT mode (the probe skipped). Run inside the client namespace of
// tests/netns/p2pnet.sh --lan by tests/sim/ovc/bench_tnl_lan.py, which starts the device.
//
// Usage: ovc_bench_tnl_lan UID DEVICE_IP ECHO_PORT SOURCE_PORT [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Tunnel/tnl_agent_internal.h"
#include "netns.h"
#include "ovc_api.h"
#include "ovc_state.h"
#include "p2ptunnel_api.h"

using Clock = std::chrono::steady_clock;

namespace {

int connect_to(uint32_t ipHost, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(ipHost);
  if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Reads the source to its end: MB/s (MiB = 2^20 bytes) and the byte count.
double download(uint32_t ip, uint16_t port, uint64_t* bytes) {
  *bytes = 0;
  int fd = connect_to(ip, port);
  if (fd < 0) return 0;
  std::vector<uint8_t> buf(1 << 16);
  auto t0 = Clock::now();
  for (;;) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 60000) <= 0) break;
    ssize_t k = recv(fd, buf.data(), buf.size(), 0);
    if (k <= 0) break;
    *bytes += (uint64_t)k;
  }
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  close(fd);
  return *bytes / 1048576.0 / s;
}

// 64-byte round trips: p50 and p99 in microseconds; false when one failed.
bool echo_rtt(uint32_t ip, uint16_t port, int rounds, double* p50, double* p99) {
  int fd = connect_to(ip, port);
  if (fd < 0) return false;
  std::vector<double> us;
  uint8_t out[64], in[64];
  memset(out, 0x3C, sizeof out);
  bool ok = true;
  for (int i = 0; i < rounds + 20 && ok; ++i) {  // the first 20 warm the path up
    auto t0 = Clock::now();
    ok = send(fd, out, sizeof out, MSG_NOSIGNAL) == (ssize_t)sizeof out &&
         recv(fd, in, sizeof in, MSG_WAITALL) == (ssize_t)sizeof in;
    if (i >= 20) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  close(fd);
  if (!ok || us.empty()) return false;
  std::sort(us.begin(), us.end());
  *p50 = us[us.size() / 2];
  *p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  return true;
}

void report(const char* way, uint32_t ip, uint16_t echo, uint16_t source, int rounds) {
  uint64_t n = 0;
  double mbps = download(ip, source, &n);
  double p50 = 0, p99 = 0;
  bool ok = echo_rtt(ip, echo, rounds, &p50, &p99);
  printf("RESULT way=%s bytes=%llu mbps=%.1f echo_ok=%d p50_us=%.0f p99_us=%.0f\n", way,
         (unsigned long long)n, mbps, ok ? 1 : 0, p50, p99);
  fflush(stdout);
}

// One tunnel session with two mappings (echo, source), measured, then ended.
bool through_tunnel(const char* uid, bool probe, uint16_t echo, uint16_t source, int rounds) {
  tnl_set_lan_probe_off(!probe);
  int sid = P2PTunnelAgent_GetFreeSession();
  if (sid < 0) return false;
  uint8_t auth[128] = {};
  memcpy(auth, "bench", 5);
  int r = P2PTunnelAgent_Connect_Parallel(uid, sid, auth, sizeof auth, nullptr);
  if (r != sid) {
    fprintf(stderr, "connect: %d\n", r);
    return false;
  }
  int me = P2PTunnelAgent_PortMapping(sid, 0, echo);
  int ms = P2PTunnelAgent_PortMapping(sid, 0, source);
  if (me < 0 || ms < 0) return false;
  const bool direct = me >= 10000 && ms >= 10000;
  if (direct != probe) fprintf(stderr, "mode is not the one asked for\n");
  report(direct ? "tunnel-direct-lan" : "tunnel-rct", 0x7F000001, tnl_mapping_local_port(me),
         tnl_mapping_local_port(ms), rounds);
  P2PTunnelAgent_StopPortMapping(me);
  P2PTunnelAgent_StopPortMapping(ms);
  P2PTunnelAgent_Abort(sid);
  return direct == probe;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: ovc_bench_tnl_lan UID DEVICE_IP ECHO_PORT SOURCE_PORT [ROUNDS]\n");
    return 2;
  }
  if (!kvtest::InPrivateNetns()) {
    fprintf(stderr, "ovc_bench_tnl_lan: refusing to broadcast outside a private network namespace\n");
    return 3;
  }
  in_addr dev{};
  if (inet_pton(AF_INET, argv[2], &dev) != 1) return 2;
  const uint16_t echo = (uint16_t)atoi(argv[3]), source = (uint16_t)atoi(argv[4]);
  const int rounds = argc > 5 ? atoi(argv[5]) : 2000;
  const uint32_t nets[2] = {htonl(0xC6336400u), htonl(0xC6336440u)};
  const int pre[2] = {26, 26};
  ovc_set_lan_networks(nets, pre, 2);
  if (P2PTunnelAgentInitialize(4) != 0) return 4;
  OVC_Setup_LANConnection_Timeout(3000);
  report("tcp", ntohl(dev.s_addr), echo, source, rounds);
  bool ok = through_tunnel(argv[1], true, echo, source, rounds);
  ok = through_tunnel(argv[1], false, echo, source, rounds) && ok;
  P2PTunnelAgentDeInitialize();
  return ok ? 0 : 1;
}
