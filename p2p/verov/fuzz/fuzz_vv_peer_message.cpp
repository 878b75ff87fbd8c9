// Datagrams on a connection's sockets (vv_nat_on_peer_message): the first byte picks the
// record's state (punching or connected, packet mode or not) and the sender (the peer, a
// stranger, the relay, the server, or an IPv6 sender); the rest is the datagram. Sends
// go to a UDP socket connected to the discard port, so every addressed send fails locally.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "vv_nat.h"
#include "vv_nat_conn.h"
#include "vv_fuzz_util.h"

namespace {

using vvfuzz::touch;

int on_frame(int, unsigned short, unsigned short, const void* d, int n) {
  touch(d, n);
  return (vvfuzz::g_sink & 7) == 0 ? -1 : 0;  // sometimes refuse, like a busy application
}
void on_recv(int, const void* d, int n) { touch(d, n); }
void on_msg(int, int, const void* d, int n) { touch(d, n); }
int on_login(int, const char* u, const char* p) {
  touch(u, static_cast<int>(strlen(u)));
  touch(p, static_cast<int>(strlen(p)));
  return 1;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static bool once = [] {
    vv_nat_callbacks cbs{};
    cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(on_frame);
    cbs.OnRecv = reinterpret_cast<vv_nat_cb>(on_recv);
    cbs.OnRecvMsg = reinterpret_cast<vv_nat_cb>(on_msg);
    cbs.OnLoginRequest = reinterpret_cast<vv_nat_cb>(on_login);
    vv_nat_fuzz_callbacks(1, &cbs);
    return true;
  }();
  (void)once;
  uint8_t sel = data[0];
  int connected = sel & 1;
  int version = (sel & 2) ? 35 : 118;
  vv_nat_conn_prepare_test(1, 1, "DEV1", 77, "198.51.100.66", connected, version, vvfuzz::discard_socket());
  std::vector<unsigned char> d(data + 1, data + size);
  sockaddr_storage from{};
  int fromlen = 16;
  int relay = 0;
  auto* f4 = reinterpret_cast<sockaddr_in*>(&from);
  f4->sin_family = AF_INET;
  switch ((sel >> 2) & 7) {
    case 0:
      inet_pton(AF_INET, "198.51.100.66", &f4->sin_addr);
      f4->sin_port = htons(40000);
      break;
    case 1:
      inet_pton(AF_INET, "203.0.113.99", &f4->sin_addr);
      f4->sin_port = htons(40001);
      break;
    case 2:
      inet_pton(AF_INET, "203.0.113.20", &f4->sin_addr);
      f4->sin_port = htons(7100);
      relay = 1;
      break;
    case 4:
      // The unset server address of an instance that never started: the server's messages
      // (1001, 1004, 1005) are taken from it.
      break;
    default: {
      auto* f6 = reinterpret_cast<sockaddr_in6*>(&from);
      f6->sin6_family = AF_INET6;
      inet_pton(AF_INET6, "::1", &f6->sin6_addr);
      fromlen = 28;
    }
  }
  vv_nat_on_peer_message_test(1, 1, d.data(), static_cast<int>(d.size()), &from, fromlen, relay);
  return 0;
}
