// Figures of the OVC core: scrambler throughput beside memcpy, the datagram rate of
// OVC_Session_Write beside a raw sendto to the same peer, and the idle wake-ups per second of
// the connection manager's and the task manager's threads.
//
// Usage: ovc_bench_ovc [PEER_IPV4 [SECONDS]]
// The peer defaults to 127.0.0.1 (a discard socket of this program). Any other address is used
// only inside a private network namespace (for example the veth of tests/netns/kvnetns.sh).
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"

#include "ovc_state.h"

using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}


static void bench_scrambler() {
  const size_t kLen = 1400, kRounds = 150000;
  std::vector<uint8_t> in(kLen), out(kLen);
  for (size_t i = 0; i < kLen; ++i) in[i] = (uint8_t)(i * 31 + 7);
  auto run = [&](const char* name, auto fn) {
    auto t0 = Clock::now();
    for (size_t r = 0; r < kRounds; ++r) {
      in[r % kLen] ^= (uint8_t)r;  // keeps the compiler from folding the loop away
      fn();
    }
    double s = seconds_since(t0);
    printf("%-28s %9.1f MB/s\n", name, (double)(kLen * kRounds) / s / 1e6);
  };
  run("memcpy 1400 B", [&] { memcpy(out.data(), in.data(), kLen); asm volatile("" ::"r"(out.data()) : "memory"); });
  run("LuffyCore 1400 B (whole)", [&] { LuffyCore(in.data(), out.data(), kLen, kLen); });
  run("ZoroCore 1400 B (whole)", [&] { ZoroCore(in.data(), out.data(), kLen, kLen); });
  run("LuffyCore 1400 B (64 B)", [&] { LuffyCore(in.data(), out.data(), kLen, 64); });
}

static void bench_write(const char* peer_ip, double secs) {
  // The discard peer on loopback; on a veth the far side simply drops what it gets.
  int sink = -1;
  uint16_t port = 9;
  if (strncmp(peer_ip, "127.", 4) == 0) {
    sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, peer_ip, &a.sin_addr);
    bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    std::thread([sink] {
      char buf[2048];
      while (recv(sink, buf, sizeof buf, 0) >= 0) {
      }
    }).detach();
  }
  if (OVC_Initialize2(0) != 0 || ovc_open_udp_socket() != 0) {
    fprintf(stderr, "init failed\n");
    return;
  }
  int sid = OVC_Get_SessionID();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, peer_ip, &to.sin_addr);
  ovc_set_send_path(0, sid, gUdpConn, reinterpret_cast<sockaddr*>(&to));
  {
    OvcSessionLockGuard g;
    ovc_session_at(sid)->state = 2;
    RandomIDValueUpdate(&ovc_session_at(sid)->randomId, 1, 0x1234, 0);
  }
  std::vector<uint8_t> payload(1000, 0x5A);
  uint64_t n = 0, failed = 0;
  auto t0 = Clock::now();
  while (seconds_since(t0) < secs) {
    for (int i = 0; i < 256; ++i) {
      if (OVC_Session_Write(sid, payload.data(), (unsigned)payload.size(), 0) > 0) ++n;
      else ++failed;
    }
  }
  double s = seconds_since(t0);
  printf("OVC_Session_Write 1000 B   %9.0f datagrams/s (%llu not sent)\n", (double)n / s,
         (unsigned long long)failed);
  // The same datagram size with a plain socket.
  int raw = socket(AF_INET6, SOCK_DGRAM, 0);
  sockaddr_in6 to6{};
  to6.sin6_family = AF_INET6;
  to6.sin6_port = htons(port);
  to6.sin6_addr.s6_addr[10] = to6.sin6_addr.s6_addr[11] = 0xFF;
  memcpy(&to6.sin6_addr.s6_addr[12], &to.sin_addr, 4);
  std::vector<uint8_t> dgram(16 + 1000, 0x5A);
  n = 0;
  t0 = Clock::now();
  while (seconds_since(t0) < secs) {
    for (int i = 0; i < 256; ++i)
      if (sendto(raw, dgram.data(), dgram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to6), sizeof to6) > 0) ++n;
  }
  s = seconds_since(t0);
  printf("raw sendto 1016 B          %9.0f datagrams/s\n", (double)n / s);
  close(raw);
  OVC_Session_Close(sid);
  OVC_DeInitialize();
  if (sink >= 0) shutdown(sink, SHUT_RDWR);
}

static void bench_idle(double secs) {
  if (OVC_Initialize2(0) != 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past the start-up passes
  uint64_t c0 = TConnManager_passes(gOvcConnMgr), t0 = orvan_SockTaskMng_Cycles();
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  double s = seconds_since(start);
  uint64_t c1 = TConnManager_passes(gOvcConnMgr), t1 = orvan_SockTaskMng_Cycles();
  printf("idle wake-ups ovc_conn_hdlr %6.2f /s\n", (double)(c1 - c0) / s);
  printf("idle wake-ups ovc_sktaskmgr %6.2f /s\n", (double)(t1 - t0) / s);
  OVC_DeInitialize();
}

int main(int argc, char** argv) {
  const char* peer = argc > 1 ? argv[1] : "127.0.0.1";
  double secs = argc > 2 ? atof(argv[2]) : 2.0;
  if (strncmp(peer, "127.", 4) != 0 && !kvtest::InPrivateNetns()) {
    fprintf(stderr, "refusing to send to %s outside a private network namespace\n", peer);
    return 2;
  }
  bench_scrambler();
  bench_write(peer, secs);
  bench_idle(secs * 2);
  return 0;
}
