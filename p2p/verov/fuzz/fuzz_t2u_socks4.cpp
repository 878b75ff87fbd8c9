// The first bytes of a local client on a mapping without destination port.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "t2u_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf(data, data + size);
  T2uSocksRequest r;
  if (t2u_parse_socks4(buf.data(), size, &r) == T2U_SOCKS_OK) {
    if (r.consumed < 8 || r.consumed > size) __builtin_trap();
    if (strnlen(r.host, sizeof(r.host)) >= sizeof(r.host) || r.host[0] == 0) __builtin_trap();
  }
  return 0;
}
