// The servers' answers to a device as its handlers take them: registration answers (with the
// sleep and blocked bits), sleep grant and end, the clients' announcements, the own-group answer
// and the refusals, over UDP or over one of the device's own streams. The first byte picks the
// type, the second the sender and the path; the rest is the body. The sleep-reply callback and a
// login-state callback are installed so their paths run too.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ovc_state.h"
#include "ovc_wakeup.h"

bool ovc_server_packet(const OVC_Head& h, const uint8_t* body, uint32_t blen, const char* text, uint16_t port,
                       TConnection* conn, int overTcp, const ovc_netaddr_t& sender);

namespace {

const char* kUid = "FUZZDEVICEUID0000000";
int gStates = 0;
void on_state(int, int, void*) { ++gStates; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    OVC_Set_Max_Session_Number(16);
    // No UDP socket is opened: answers that provoke a reply have nowhere to send it.
    if (OVC_Initialize_Internal(0, "127.0.0.11", nullptr, nullptr, nullptr, OVC_INTERNAL_GUARD) != 0) abort();
    atexit([] { OVC_DeInitialize(); });
    memcpy(gLocalUid, kUid, 20);
    OVC_Register_LoginR_SleepCallback(OVC_LoginR_Sleep_CallBack, OVC_INTERNAL_GUARD);
    gLoginSession.nbCallback = on_state;
    return true;
  }();
  (void)ready;
  if (size < 2) return 0;
  static const uint16_t types[] = {0x0102, 0x0106, 0x0109, 0x010A, 0x0103, 0x1005, 0x0008, 0x000A};
  static const char* senders[] = {"127.0.0.11", "127.0.0.99", "::ffff:127.0.0.11", "not an address"};
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.type = types[data[0] % 8];
  h.tag = (uint8_t)(data[0] >> 3);
  h.route = (data[1] & 0x80) ? 0x0400 : 0x0014;
  const char* who = senders[data[1] % 4];
  int overTcp = (data[1] >> 2) & 1;
  uint16_t port = htons(10240);
  data += 2;
  size -= 2;
  // The body in a buffer of its exact size, so reads past it are caught.
  size_t n = size > OVC_RECV_BUFFER - 16 ? OVC_RECV_BUFFER - 16 : size;
  uint8_t* body = static_cast<uint8_t*>(malloc(n ? n : 1));
  memcpy(body, data, n);
  // Half the inputs name the device's own UID, so the answers reach past the UID check.
  if (n >= 20 && (data[0] & 1)) memcpy(body, kUid, 20);
  h.length = (uint16_t)n;
  ovc_netaddr_t sender;
  ovc_text_to_netaddr(who, port, &sender);
  ovc_server_packet(h, body, (uint32_t)n, who, port, gUdpConn, overTcp, sender);
  free(body);
  static unsigned runs = 0;
  if (++runs % 256 == 0) {
    OvcSessionLockGuard g;
    for (int i = 0; i < OVC_PRESESSIONS; ++i) {
      SessionTaskCleanAllNodes(&gPreSessionInfo[i].taskList);
      ClearPreSession(&gPreSessionInfo[i]);
    }
    gDeviceBlocked = false;
  }
  return 0;
}
