// vdt handler of received hello datagrams on a live record.
#include "vdt_fuzz_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Hellos and hello replies, by the low bit of the fourth byte.
  uint16_t type = size > 3 && (data[3] & 1) ? VDT_HELLO_RE : VDT_HELLO;
  return vdtfuzz::Run(data, size, type);
}
