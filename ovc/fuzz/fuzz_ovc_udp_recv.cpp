// Received UDP datagrams through the whole receive side: unscramble, head checks, dispatch,
// session lookups and the handlers, over a module whose session and pre-session tables hold
// connected, connecting and closed records with short and long random IDs. The first two bytes
// choose the sender (a session's address, a LAN address, a stranger) and the scrambling.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ovc_state.h"

namespace {

void nop_recv(int, uint8_t, const uint8_t* d, uint32_t n, int) {
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; d && i < n; ++i) sink ^= d[i];
}

void populate() {
  static const char* addrs[] = {"127.0.0.1", "10.1.2.3", "::ffff:198.51.100.3", "fe80::1"};
  OvcSessionLockGuard g;
  for (int i = 0; i < 12; ++i) {
    int sid = ovc_get_free_session();
    SessionInfo& s = gSessionInfo[sid];
    s.isDevice = i % 2;
    RandomIDValueUpdate(&s.randomId, i % 3 == 0 ? 1 : 0, 0x1000 + (uint32_t)i, 0xABC0 + (uint32_t)i);
    s.relayRandomId = (uint16_t)(0x200 + i);
    s.state = i < 8 ? 2 : 1;
    s.lanState = i == 9 ? 5 : 1;
    s.remoteProtocolVersion = (uint8_t)(9 + i);
    memcpy(s.uid, "FUZZDEVICE0000000000", 20);
    s.uid[19] = (char)('A' + i);
    sockaddr_storage ss;
    ovc_text_to_sockaddr(addrs[i % 4], htons((uint16_t)(4000 + i)), &ss);
    ovc_set_send_path(i % 4, sid, gUdpConn, reinterpret_cast<sockaddr*>(&ss));
    ovc_text_to_netaddr(addrs[i % 4], htons((uint16_t)(4000 + i)), &s.relayAddr);
    s.tcpRelayAddr = s.relayAddr;
    s.recvCb[0] = nop_recv;
    s.channelOn[1] = 1;
  }
  for (int i = 0; i < 6; ++i) {
    int p = AllocPreSession();
    PreSessionInfo& r = gPreSessionInfo[p];
    r.isDevice = 1;
    r.lanState = 5;
    RandomIDValueUpdate(&r.randomId, 0, 0x5000 + (uint32_t)i, 0x77);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    OVC_Set_Max_Session_Number(16);
    if (OVC_Initialize2(0) != 0 || ovc_open_udp_socket() != 0) abort();
    // The module's threads stop before the process takes its globals down.
    atexit([] { OVC_DeInitialize(); });
    memcpy(gLocalUid, "FUZZDEVICE0000000000", 20);
    const uint32_t nets[1] = {htonl(0xC6336400u)};
    const int pre[1] = {24};
    ovc_set_lan_networks(nets, pre, 1);
    populate();
    return true;
  }();
  (void)ready;
  if (size < 2) return 0;
  static const char* senders[] = {"127.0.0.1", "10.1.2.3", "::ffff:198.51.100.3", "fe80::1", "203.0.113.9"};
  const char* who = senders[data[0] % 5];
  uint16_t port = htons((uint16_t)(4000 + data[1] % 12));
  data += 2;
  size -= 2;
  uint8_t wire[OVC_RECV_BUFFER];
  size_t n = size > sizeof wire ? sizeof wire : size;
  // Half the inputs are plain datagrams scrambled here, so the handlers see structured heads.
  if (n >= 16 && (data[0] & 0x80)) {
    uint8_t plain[OVC_RECV_BUFFER];
    memcpy(plain, data, n);
    plain[0] = 0x04;
    plain[1] = 0x02;
    LuffyCore(plain, wire, (uint16_t)n, (plain[3] & 1) ? 64 : (uint16_t)n);
  } else {
    memcpy(wire, data, n);
  }
  OVC_UDP_RecvCB(gUdpConn, who, port, wire, (uint32_t)n, nullptr);
  // Keep the tables populated: closed or promoted records are set up again now and then.
  static unsigned runs = 0;
  if (++runs % 512 == 0) {
    OvcSessionLockGuard g;
    for (int i = 0; i < gSessionTableSize; ++i) ovc_session_release(&gSessionInfo[i]);
    for (int i = 0; i < OVC_PRESESSIONS; ++i) {
      SessionTaskCleanAllNodes(&gPreSessionInfo[i].taskList);
      ClearPreSession(&gPreSessionInfo[i]);
    }
    populate();
  }
  return 0;
}
