// Arbitrary received datagrams through the head parse and the unscrambler; every accepted one
// must scramble back to the bytes that arrived.
#include <stdint.h>
#include <string.h>

#include "ovc_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static OvcReceived rx;
  if (ovc_unscramble_datagram(data, size, &rx) != 0) return 0;
  if (rx.size < OVC_HEAD_SIZE || rx.size > size) __builtin_trap();
  // Head and rest were unscrambled separately; scrambling them the same way restores the wire.
  uint8_t again[OVC_DATAGRAM_MAX];
  LuffyCore(rx.bytes, again, 16, 16);
  uint16_t rest = (uint16_t)(size - 16);
  LuffyCore(rx.bytes + 16, again + 16, rest, (rx.head.flags & OVC_FLAG_PARTIAL) ? 48 : rest);
  if (memcmp(again, data, size) != 0) __builtin_trap();
  return 0;
}
