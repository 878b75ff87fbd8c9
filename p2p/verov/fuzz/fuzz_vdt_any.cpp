// Every vdt datagram type, the close and the probe among them, and a VERov peer hello
// arriving on a vdt socket.
#include "vdt_fuzz_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vdtfuzz::Run(data, size, 0);
}
