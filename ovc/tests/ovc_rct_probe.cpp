// The client side of the RCT namespace test and its figures, run inside the client namespace of
// tests/netns/p2pnet.sh --lan. It broadcasts, so it refuses to run in the machine's own network
// namespace.
//   ovc_rct_probe echo UID BYTES
//       one RCT channel to a device that echoes (lanpeer.py --rct echo): writes BYTES of a
//       pattern and reads them back while writing
//   ovc_rct_probe pair UID OUT IN SEED_OUT SEED_IN
//       one RCT channel through a bridging device (lanpeer.py --rct bridge) to another probe:
//       writes OUT bytes of pattern SEED_OUT and reads IN bytes of pattern SEED_IN at once
// Prints "RESULT ok=0|1 out=N in=N ms=T mbps=X destroy=RC" (mbps: MB/s of the larger side).
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "netns.h"
#include "ovc_state.h"
#include "rct_api.h"
#include "rct_internal.h"

namespace {

// The byte stream both ends compute on their own (xorshift32).
struct Pattern {
  uint32_t x;
  explicit Pattern(uint32_t seed) : x(seed | 1) {}
  void fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      p[i] = (uint8_t)x;
    }
  }
};

using Clock = std::chrono::steady_clock;

int run(int sid, int64_t outBytes, int64_t inBytes, uint32_t seedOut, uint32_t seedIn, bool echo) {
  int id = RCT_Create(sid, 30000, 1);
  if (id < 0) {
    printf("CREATE %d\n", id);
    return 1;
  }
  if (echo) seedIn = seedOut;
  auto t0 = Clock::now();
  std::atomic<int64_t> got{0};
  std::atomic<bool> ok{true};
  std::atomic<int> readErr{0};
  std::thread reader([&] {
    Pattern p(seedIn);
    std::vector<uint8_t> buf(1 << 16), want(1 << 16);
    while (got < inBytes) {
      int n = RCT_Read(id, buf.data(), (int)std::min<int64_t>((int64_t)buf.size(), inBytes - got), 30000);
      if (n <= 0) {
        readErr = n;
        ok = false;
        // What the channel held when the data stopped; then the writer is let go.
        RctView v{};
        rct_view(id, &v);
        printf("STATE got=%lld recv=%d send=%d wdt=%u peer=%u expected=%llu delivery=%llu held=%u unread=%u "
               "sendQ=%u sendBytes=%u cwnd=%u rto=%u\n",
               (long long)got.load(), v.recvState, v.sendState, v.wdt, v.peerVersion, (unsigned long long)v.expected,
               (unsigned long long)v.deliveryPoint, v.recvListCount, v.bufInRecv, v.sendQ, v.sendBytes, v.cwnd, v.rto);
        fflush(stdout);
        RCT_Abort(id);
        return;
      }
      p.fill(want.data(), (size_t)n);
      if (memcmp(buf.data(), want.data(), (size_t)n) != 0) ok = false;
      got += n;
    }
  });
  Pattern p(seedOut);
  std::vector<uint8_t> chunk(1 << 16);
  int64_t sent = 0;
  while (sent < outBytes) {
    size_t n = (size_t)std::min<int64_t>((int64_t)chunk.size(), outBytes - sent);
    p.fill(chunk.data(), n);
    int w = RCT_Write(id, chunk.data(), (unsigned)n);
    if (w != (int)n) {
      printf("WRITE %d\n", w);
      ok = false;
      break;
    }
    sent += (int64_t)n;
  }
  RCT_Flush(id);
  reader.join();
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  if (readErr) printf("READ %d\n", readErr.load());
  int d = RCT_Destroy(id);
  double mb = (double)std::max(sent, got.load()) / 1e6;
  printf("RESULT ok=%d out=%lld in=%lld ms=%.0f mbps=%.2f destroy=%d\n", ok && got == inBytes && sent == outBytes ? 1 : 0,
         (long long)sent, (long long)got.load(), ms, mb / (ms / 1000.0), d);
  fflush(stdout);
  return ok && got == inBytes && sent == outBytes ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool echo = argc == 4 && strcmp(argv[1], "echo") == 0;
  bool pair = argc == 7 && strcmp(argv[1], "pair") == 0;
  if (!echo && !pair) {
    fprintf(stderr, "usage: ovc_rct_probe echo UID BYTES | pair UID OUT IN SEED_OUT SEED_IN\n");
    return 2;
  }
  if (!kvtest::InPrivateNetns()) {
    fprintf(stderr, "ovc_rct_probe: refusing to broadcast outside a private network namespace\n");
    return 3;
  }
  const uint32_t nets[2] = {htonl(0xC6336400u), htonl(0xC6336440u)};
  const int pre[2] = {26, 26};
  ovc_set_lan_networks(nets, pre, 2);
  if (OVC_Initialize2(0) != 0) return 4;
  OVC_Setup_LANConnection_Timeout(3000);
  if (RCT_Initialize() < 0) return 4;
  int sid = -1;
  for (int i = 0; i < 5 && sid < 0; ++i) sid = OVC_Connect_ByUID(argv[2]);
  if (sid < 0) {
    printf("CONNECT FAILED %d\n", sid);
    OVC_DeInitialize();
    return 1;
  }
  OVC_Set_Partial_Encryption(sid, 1);
  int rc = echo ? run(sid, atoll(argv[3]), atoll(argv[3]), 77, 77, true)
                : run(sid, atoll(argv[3]), atoll(argv[4]), (uint32_t)atoll(argv[5]), (uint32_t)atoll(argv[6]), false);
  RCT_DeInitialize();
  OVC_Session_Close(sid);
  OVC_DeInitialize();
  return rc;
}
