// The client of the namespace connect matrix (tests/sim/ovc/test_srv_netns.py), run inside the
// client namespace of tests/netns/p2pnet.sh; it refuses the machine's own network namespace.
//   ovc_srv_probe connect MASTER UID RUNS [MESSAGES [plain]]
//   ovc_srv_probe device MASTER UID SECONDS   logs in as the device; one SESSION line per session
//                                            with its mode and the counters read in order
// Each run connects by UID through the master and prints "CONNECT <sid> <mode> <ms>"; the first
// session then carries MESSAGES reliable messages ("SENT <n> <ms>"). Ends with the median and p95
// of the connect times.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "netns.h"
#include "ovc_predict.h"
#include "ovc_state.h"

using Clock = std::chrono::steady_clock;
static double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

static int send_reliable(int sid, int count) {
  ovc_set_reliable_resend_limit(1000000);
  std::vector<uint8_t> msg(200, 'g');
  auto t0 = Clock::now();
  for (int i = 0; i < count;) {
    memcpy(msg.data(), &i, 4);
    int w = OVC_Session_Write_Reliable_NB(sid, msg.data(), (int)msg.size(), 0);
    if (w == 0) ++i;
    else if (w == OVC_ER_QUEUE_FULL) usleep(1000);
    else {
      printf("WRITE %d\n", w);
      return 1;
    }
  }
  while (OVC_Reliable_All_MSG_Is_Sent(sid, 0) == 0) {
    if (ms_since(t0) > 240000) {
      printf("UNACKED\n");
      return 1;
    }
    usleep(1000);
  }
  printf("SENT %d %.0f\n", count, ms_since(t0));
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 5 || (strcmp(argv[1], "connect") != 0 && strcmp(argv[1], "device") != 0)) {
    fprintf(stderr, "usage: ovc_srv_probe connect MASTER UID RUNS [MESSAGES [plain]] | device MASTER UID SECONDS\n");
    return 2;
  }
  // On loopback (a loopback master) nothing is broadcast: the LAN phase stays off.
  const bool loopback = strncmp(argv[2], "127.", 4) == 0;
  if (!loopback && !kvtest::InPrivateNetns()) {
    fprintf(stderr, "ovc_srv_probe: refusing to run outside a private network namespace\n");
    return 3;
  }
  // The test topology's LANs count as private networks.
  const uint32_t nets[1] = {htonl(0xC6336400u)};
  const int pre[1] = {24};
  ovc_set_lan_networks(nets, pre, 1);
  if (OVC_Initialize_Internal(0, argv[2], nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD) != 0) return 4;
  OVC_Setup_LANConnection_Timeout(loopback ? 0 : 3000);
  if (strcmp(argv[1], "device") == 0) {
    int rc = OVC_Device_Login(argv[3], "probe", "probe");
    printf("LOGIN %d\n", rc);
    fflush(stdout);
    auto t0 = Clock::now();
    while (rc == 0 && ms_since(t0) < atoi(argv[4]) * 1000.0) {
      int sid = OVC_Listen(500);
      if (sid < 0) continue;
      int mode = -1;
      {
        OvcSessionLockGuard g;
        mode = ovc_session_at(sid)->connectMode;
      }
      int n = 0, inOrder = 0, v;
      while (OVC_Session_Read(sid, &v, sizeof v, 3000, 0) == (int)sizeof v) inOrder += v == n++;
      printf("SESSION %d %d RECV %d INORDER %d\n", sid, mode, n, inOrder);
      fflush(stdout);
    }
    printf("PREDICT_KNOCKS %llu\n", (unsigned long long)ovc_try_port_knocks());
    fflush(stdout);
    OVC_DeInitialize();
    return rc == 0 ? 0 : 1;
  }
  const bool plain = argc > 6 && strcmp(argv[6], "plain") == 0;
  int runs = atoi(argv[4]), messages = argc > 5 ? atoi(argv[5]) : 0, rc = 0;
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    int sid = OVC_Connect_ByUID(argv[3]);
    double ms = ms_since(t0);
    int mode = -1;
    if (sid >= 0) {
      OvcSessionLockGuard g;
      mode = ovc_session_at(sid)->connectMode;
    }
    printf("CONNECT %d %d %.1f\n", sid, mode, ms);
    fflush(stdout);
    if (sid < 0) {
      rc = 1;
      continue;
    }
    t.push_back(ms);
    if (i == 0 && messages > 0 && plain) {
      for (int k = 0; k < messages; ++k) OVC_Session_Write(sid, &k, sizeof k, 0);
      printf("WROTE %d\n", messages);
      usleep(500000);
    } else if (i == 0 && messages > 0 && send_reliable(sid, messages) != 0) {
      rc = 1;
    }
    fflush(stdout);
    OVC_Session_Close(sid);
    usleep(300000);
  }
  std::sort(t.begin(), t.end());
  printf("PREDICT_KNOCKS %llu\n", (unsigned long long)ovc_try_port_knocks());
  if (!t.empty())
    printf("MEDIAN %.1f P95 %.1f\n", t[t.size() / 2], t[std::min(t.size() - 1, (size_t)(t.size() * 95 / 100))]);
  OVC_DeInitialize();
  return rc;
}
