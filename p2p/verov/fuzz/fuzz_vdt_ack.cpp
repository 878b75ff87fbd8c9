// vdt handler of received ack datagrams on a live record.
#include "vdt_fuzz_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vdtfuzz::Run(data, size, VDT_ACK);
}
