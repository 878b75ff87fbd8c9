// Received RCT packets through RCTRecvCB on one channel record, with reads in between. The
// input is a list of packets, each a little-endian u16 length and its bytes; the first byte
// chooses the peer version (per-packet acks or ACK2/SACK2). Whatever arrives, the receive list
// stays within its bounds and reads return only what fits the buffer.
#include <stdint.h>
#include <string.h>

#include "rct_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    RCT_Set_Max_Channel_Number(2);
    return RCT_Initialize() == 2;
  }();
  if (!once || size < 1) return 0;
  int id = rct_attach_for_test(7, 1, data[0] & 1 ? 5 : 0);
  if (id < 0) __builtin_trap();
  RCT_Set_Max_Pending_ACK_Number(id, data[0] >> 4);
  size_t off = 1;
  uint8_t buf[700];
  while (off + 2 <= size) {
    size_t n = (size_t)data[off] | (size_t)data[off + 1] << 8;
    off += 2;
    if (n > size - off) n = size - off;
    // A copy of exactly n bytes, so reading past the packet is caught.
    uint8_t* p = new uint8_t[n ? n : 1];
    memcpy(p, data + off, n);
    RCTRecvCB(7, 1, p, (uint32_t)n, 0);
    delete[] p;
    off += n;
    if (n % 3 == 0) {
      int r = RCT_Read(id, buf, sizeof buf, 0);
      if (r > (int)sizeof buf) __builtin_trap();
    }
    if (n % 7 == 0) RCTRecvIdleCB(7, 1);
  }
  RctView v{};
  rct_view(id, &v);
  if (v.recvListCount > RCT_RECV_SPAN_LIMIT || v.bufInRecv > RCT_RECV_BYTES_LIMIT + RCT_RECV_BUFFER) __builtin_trap();
  rct_take_sent(nullptr, 0);
  rct_detach_for_test(id);
  return 0;
}
