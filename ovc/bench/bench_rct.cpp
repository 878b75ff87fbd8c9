// Figures of the RCT receive path without a network: full 1280-byte data packets through the
// receive callback and out through RCT_Read, in order and with every twentieth packet held
// back until the next one (a 5 % reorder), on one channel record whose acknowledgements are
// captured instead of sent. The network figures (goodput under loss beside TCP) come from
// tests/sim/ovc/test_rct_netns.py with OVC_RCT_BENCH=1.
//
// Usage: ovc_bench_rct [PACKETS]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <vector>

#include "rct_internal.h"

using Clock = std::chrono::steady_clock;

static std::vector<uint8_t> data_packet(uint64_t id) {
  RctHead h;
  h.type = RCT_MSG_DATA;
  h.id = id;
  h.length = 1280;
  std::vector<uint8_t> p(RCT_HEAD_SIZE + 1280, (uint8_t)id);
  rct_head_write(h, p.data());
  return p;
}

static void run(const char* name, int count, bool reorder) {
  int id = rct_attach_for_test(1, 1, 5);
  std::vector<std::vector<uint8_t>> pkts;
  for (int i = 0; i < count; ++i) pkts.push_back(data_packet((uint64_t)i));
  if (reorder)
    for (int i = 0; i + 1 < count; i += 20) std::swap(pkts[(size_t)i], pkts[(size_t)i + 1]);
  std::vector<uint8_t> buf(65536);
  RctSent sink[4096];
  size_t got = 0;
  auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    RCTRecvCB(1, 1, pkts[(size_t)i].data(), (uint32_t)pkts[(size_t)i].size(), 0);
    if (i % 32 == 31) {
      int n;
      while ((n = RCT_Read(id, buf.data(), (int)buf.size(), 0)) > 0) got += (size_t)n;
      rct_take_sent(sink, 4096);
    }
  }
  int n;
  while ((n = RCT_Read(id, buf.data(), (int)buf.size(), 0)) > 0) got += (size_t)n;
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  printf("%-22s %8d packets  %9.0f packets/s  %8.1f MB/s delivered  %s\n", name, count, count / s,
         (double)got / 1e6 / s, got == (size_t)count * 1280 ? "intact" : "SHORT");
  rct_take_sent(sink, 4096);
  rct_detach_for_test(id);
}

int main(int argc, char** argv) {
  int count = argc > 1 ? atoi(argv[1]) : 200000;
  if (RCT_Initialize() < 0) return 1;
  for (int round = 0; round < 3; ++round) {
    run("in order", count, false);
    run("5 % reordered", count, true);
  }
  RCT_DeInitialize();
  return 0;
}
