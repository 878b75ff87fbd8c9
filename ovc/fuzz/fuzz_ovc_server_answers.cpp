// Server answers and the peers' set-up messages as the handlers take them: the device-query
// answers with their option records and server lists, the punch information (short and long),
// the relay answers and announcements, and the knocks. The first byte picks the type, the second
// the sender (a known server, a stranger, a LAN peer); the rest is the body. Connecting and
// connected sessions hold the UID and random IDs the inputs can name.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ovc_state.h"

bool ovc_server_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn, int overTcp, const ovc_netaddr_t& sender);

namespace {

const char* kUid = "FUZZSERVERUID0000000";

void populate() {
  OvcSessionLockGuard g;
  for (int i = 0; i < 8; ++i) {
    int sid = ovc_get_free_session();
    SessionInfo& s = gSessionInfo[sid];
    memcpy(s.uid, kUid, 20);
    s.uid[19] = (char)('0' + i % 2);
    s.state = i < 5 ? 1 : 2;
    s.isDevice = i == 4 ? 1 : 0;
    RandomIDValueUpdate(&s.randomId, 0, 0x1000 + (uint32_t)i, 0x2000 + (uint32_t)i);
    s.peerReached = 1;
    s.queryState = i % 7;
    s.relayState = i % 6;
    s.p2pState = i % 4;
    s.serverGroup = -1;
    s.firstAnswerServer = -1;
  }
}

// A server group the answers can come from.
void add_group() {
  uint8_t d[16 + 96] = {};
  uint8_t* b = d + 16;
  memcpy(b, kUid, 20);
  b[54] = 2;
  uint8_t* r = b + 56;
  r[0] = 1, r[2] = 6;
  r += 10;
  r[0] = 2, r[2] = 16;
  r[4 + 1] = 2, r[4 + 2] = 0x28;
  r[4 + 4] = 127, r[4 + 5] = 0, r[4 + 6] = 0, r[4 + 7] = 11;
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.type = 0x1008;
  h.length = 96;
  ovc_netaddr_t m;
  ovc_text_to_netaddr("127.0.0.11", htons(10240), &m);
  ovc_server_packet(h, b, 96, "127.0.0.11", htons(10240), gUdpConn, 0, m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    OVC_Set_Max_Session_Number(16);
    // No UDP socket is opened: the knocks and answers the inputs provoke name addresses from the
    // input, and with no socket nothing is sent anywhere.
    if (OVC_Initialize_Internal(0, "127.0.0.11", nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD) != 0) abort();
    atexit([] { OVC_DeInitialize(); });
    memcpy(gLocalUid, kUid, 20);
    populate();
    add_group();
    return true;
  }();
  (void)ready;
  if (size < 2) return 0;
  static const uint16_t types[] = {0x1008, 0x1005, 0x000C, 0x0301, 0x0303, 0x0206, 0x0208, 0x0401,
                                   0x0402, 0x0404, 0x0212, 0x0227, 0x0229, 0x8004, 0x0008, 0x0213};
  static const char* senders[] = {"127.0.0.11", "127.0.0.99", "::ffff:127.0.0.11"};
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.type = types[data[0] % 16];
  h.tag = (uint8_t)(data[0] >> 4) * 2;
  h.route = (data[1] & 0x80) ? 0x0233 : 0x0033;
  const char* who = senders[data[1] % 3];
  uint16_t port = htons(10240);
  data += 2;
  size -= 2;
  // The body in a buffer of its exact size, so reads past it are caught.
  size_t n = size > OVC_RECV_BUFFER - 16 ? OVC_RECV_BUFFER - 16 : size;
  uint8_t* body = static_cast<uint8_t*>(malloc(n ? n : 1));
  memcpy(body, data, n);
  h.length = (uint16_t)n;
  ovc_netaddr_t sender;
  ovc_text_to_netaddr(who, port, &sender);
  ovc_server_packet(h, body, (uint32_t)n, who, port, gUdpConn, 0, sender);
  free(body);
  static unsigned runs = 0;
  if (++runs % 256 == 0) {
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
