// Packet mode on a connected record: the first two bytes size a packet the record sends (so
// that acknowledgements meet a sender with slots), then datagrams follow, each as one length
// byte and that many bytes; bit 0 of the length byte makes it a fragment (2005) or an
// acknowledgement (2006). Sends go to a UDP socket connected to the discard port.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "vv_nat.h"
#include "vv_nat_conn.h"
#include "vv_fuzz_util.h"

namespace {

int on_frame(int, unsigned short, unsigned short, const void* d, int n) {
  vvfuzz::touch(d, n, 10400);
  return 0;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static bool once = [] {
    vv_nat_callbacks cbs{};
    cbs.OnRecvFrame = reinterpret_cast<vv_nat_cb>(on_frame);
    vv_nat_fuzz_callbacks(2, &cbs);
    return true;
  }();
  (void)once;
  vv_nat_conn_prepare_test(2, 3, "DEV1", 77, "198.51.100.66", 1, 35, vvfuzz::discard_socket());
  static std::vector<unsigned char> payload(10400, 0x5a);
  int len = (data[0] | data[1] << 8) % 10402;
  vv2_nat_send_v3b(3, 1, 2, payload.data(), len, 0, data[0] & 1);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(40000);
  inet_pton(AF_INET, "198.51.100.66", &from.sin_addr);
  size_t i = 2;
  while (i < size) {
    size_t n = data[i++];
    n = n < size - i ? n : size - i;
    std::vector<unsigned char> d(4 + n);
    d[0] = 0x12;
    d[1] = 0x20;
    d[2] = (data[i - 1] & 1) ? 0xd5 : 0xd6;  // 2005 or 2006, little-endian
    d[3] = 0x07;
    memcpy(d.data() + 4, data + i, n);
    vv_nat_on_peer_message_test(2, 3, d.data(), static_cast<int>(d.size()), &from, 16, 0);
    i += n;
  }
  return 0;
}
