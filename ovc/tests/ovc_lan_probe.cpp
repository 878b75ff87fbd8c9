// The client side of the namespace LAN test and its figures, run inside the client namespace of
// tests/netns/p2pnet.sh --lan. It broadcasts, so it refuses to run in the machine's own
// network namespace.
//   ovc_lan_probe search2 TIMEOUT_MS            one line per device found
//   ovc_lan_probe connect UID RUNS              connect time of each run, then median and p95
//   ovc_lan_probe reliable UID COUNT SIZE       reliable-queue goodput
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "netns.h"
#include "ovc_state.h"

using Clock = std::chrono::steady_clock;
static double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: ovc_lan_probe search2 MS | connect UID RUNS | reliable UID COUNT SIZE\n");
    return 2;
  }
  if (!kvtest::InPrivateNetns()) {
    fprintf(stderr, "ovc_lan_probe: refusing to broadcast outside a private network namespace\n");
    return 3;
  }
  const uint32_t nets[2] = {htonl(0xC6336400u), htonl(0xC6336440u)};
  const int pre[2] = {26, 26};
  ovc_set_lan_networks(nets, pre, 2);
  if (OVC_Initialize2(0) != 0) return 4;
  OVC_Setup_LANConnection_Timeout(3000);
  int rc = 0;
  if (strcmp(argv[1], "search2") == 0) {
    OVC_LanSearchEntry2 r[16];
    int n = OVC_Lan_Search2(r, 16, atoi(argv[2]));
    printf("FOUND %d\n", n);
    for (int i = 0; i < n; ++i) printf("DEV %s %s %u %s\n", r[i].uid, r[i].ip, r[i].port, r[i].name);
  } else if (strcmp(argv[1], "connect") == 0 && argc >= 4) {
    std::vector<double> t;
    for (int i = 0; i < atoi(argv[3]); ++i) {
      auto t0 = Clock::now();
      int sid = OVC_Connect_ByUID(argv[2]);
      double ms = ms_since(t0);
      printf("CONNECT %d %.1f\n", sid, ms);
      if (sid < 0) {
        rc = 1;
        continue;
      }
      t.push_back(ms);
      OVC_Session_Close(sid);
      usleep(50000);
    }
    std::sort(t.begin(), t.end());
    if (!t.empty())
      printf("MEDIAN %.1f P95 %.1f\n", t[t.size() / 2], t[std::min(t.size() - 1, (size_t)(t.size() * 95 / 100))]);
  } else if (strcmp(argv[1], "reliable") == 0 && argc >= 5) {
    int sid = -1;
    for (int i = 0; i < 5 && sid < 0; ++i) sid = OVC_Connect_ByUID(argv[2]);
    if (sid < 0) {
      printf("CONNECT FAILED %d\n", sid);
      OVC_DeInitialize();
      return 1;
    }
    ovc_set_reliable_resend_limit(1000000);
    int count = atoi(argv[3]), size = atoi(argv[4]);
    std::vector<uint8_t> msg((size_t)size, 'g');
    auto t0 = Clock::now();
    for (int i = 0; i < count;) {
      memcpy(msg.data(), &i, 4);
      int w = OVC_Session_Write_Reliable_NB(sid, msg.data(), size, 0);
      if (w == 0) ++i;
      else if (w == OVC_ER_QUEUE_FULL) usleep(1000);
      else {
        printf("WRITE %d\n", w);
        rc = 1;
        break;
      }
    }
    while (OVC_Reliable_All_MSG_Is_Sent(sid, 0) == 0) usleep(1000);
    double ms = ms_since(t0);
    printf("GOODPUT %.1f KB/s (%d x %d B in %.0f ms)\n", (double)count * size / ms, count, size, ms);
  } else {
    rc = 2;
  }
  OVC_DeInitialize();
  return rc;
}
