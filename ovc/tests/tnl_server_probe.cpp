// A device process for the tunnel server tests: logs in as a device to the servers simulator
// and serves the tunnel through the server's flat interface.
//   tnl_server_probe MASTER UID none|accept=N|reject=N|hold=MS [SESSIONS]
// (hold: the application takes MS milliseconds to accept)
// Prints "START <rc> probe=<tcp port> udp=<udp port>" (the UDP port answers LAN searches), then
// one line per event: "AUTH sid=.. mode=.. n=.. version=.. head=.. addr=..", "STATUS code sid".
// Commands on standard input: "disconnect SID", "bufsize SID N" (prints "BUFSIZE <rc>"),
// "lastio SID", "quit" (prints "END <deinit rc>").
// Everything stays on loopback unless it runs in a private network namespace.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <mutex>
#include <string>

#include "Tunnel/tnl_server.h"
#include "netns.h"
#include "ovc_head.h"
#include "ovc_state.h"
#include "p2ptunnel_api.h"

namespace {

std::mutex gOut;
const char* gMaster = nullptr;
bool gHasVerdict = false;
int gVerdict = 0;
int gHoldMs = 0;

void say(const std::string& line) {
  std::lock_guard<std::mutex> g(gOut);
  fputs((line + "\n").c_str(), stdout);
  fflush(stdout);
}

int one_loopback(orvan_net_if_info_t* info) {
  memset(info, 0, sizeof *info);
  info->addr[0] = htonl(0x7F000001u);
  info->mask[0] = 0xFFFFFFFFu;
  return 1;
}

int start_ovc() {
  return OVC_Initialize_Internal(0, gMaster, nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD);
}

int on_auth(const P2PTunnelAuthInfo* a, void*) {
  char line[256];
  snprintf(line, sizeof line, "AUTH sid=%d mode=%d n=%d version=%08x head=%.8s addr=%s", a->sessionId, a->mode,
           a->dataLength, a->version, a->data ? (const char*)a->data : "", a->remoteAddr);
  say(line);
  if (gHoldMs > 0) usleep((useconds_t)gHoldMs * 1000);
  return gVerdict;
}

void on_status(int code, int sid, void*) { say("STATUS " + std::to_string(code) + " " + std::to_string(sid)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: tnl_server_probe MASTER UID none|accept=N|reject=N [SESSIONS]\n");
    return 2;
  }
  gMaster = argv[1];
  if (strncmp(gMaster, "127.", 4) != 0 && !kvtest::InPrivateNetns()) {
    fprintf(stderr, "tnl_server_probe: refusing a non-loopback master outside a private network namespace\n");
    return 3;
  }
  std::string auth = argv[3];
  if (auth.rfind("accept=", 0) == 0 || auth.rfind("reject=", 0) == 0) {
    gHasVerdict = true;
    gVerdict = atoi(auth.c_str() + 7);
  } else if (auth.rfind("hold=", 0) == 0) {
    gHasVerdict = true;
    gHoldMs = atoi(auth.c_str() + 5);
  }
  ovc_set_interface_source(one_loopback);
  tnl_server_set_ovc_start(start_ovc);
  tnl_server_set_probe_address(htonl(INADDR_LOOPBACK));
  tnl_server_set_timing(10000, 200);
  int rc = P2PTunnelServerInitialize(argc > 4 ? atoi(argv[4]) : 8);
  if (rc != 0) {
    say("INIT " + std::to_string(rc));
    return 4;
  }
  if (gHasVerdict) P2PTunnelServer_GetSessionInfo(on_auth, nullptr);
  P2PTunnelServer_GetStatus(on_status, nullptr);
  rc = P2PTunnelServer_Start(argv[2]);
  say("START " + std::to_string(rc) + " probe=" + std::to_string(tnl_server_probe_port()) +
      " udp=" + std::to_string(gLocalUdpPort));
  std::string cmd;
  while (std::getline(std::cin, cmd)) {
    if (cmd == "quit") break;
    if (cmd.rfind("disconnect ", 0) == 0)
      say("DISCONNECT " + std::to_string(P2PTunnelServer_Disconnect(atoi(cmd.c_str() + 11))));
    int sid = -1, size = 0;
    if (sscanf(cmd.c_str(), "bufsize %d %d", &sid, &size) == 2) say("BUFSIZE " + std::to_string(P2PTunnel_SetBufSize(sid, size)));
    if (sscanf(cmd.c_str(), "lastio %d", &sid) == 1) say("LASTIO " + std::to_string(P2PTunnel_LastIOTime(sid)));
  }
  P2PTunnelServer_Stop();
  say("END " + std::to_string(P2PTunnelServerDeInitialize()));
  return 0;
}
