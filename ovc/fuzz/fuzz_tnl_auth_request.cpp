// Arbitrary bytes as the server's authentication request and as the agent's reply; an
// accepted request must describe exactly the bytes that arrived.
#include <stdint.h>
#include <string.h>

#include "Tunnel/tnl_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tnl::AuthRequest req;
  if (tnl::parse_auth_request(data, size, &req)) {
    if (req.n > tnl::kMaxAuthData || size != 12 + req.n) __builtin_trap();
    if (req.n && (req.data < data || req.data + req.n > data + size)) __builtin_trap();
    std::vector<uint8_t> again;
    if (!tnl::make_auth_request(req.n ? req.data : nullptr, req.n, &again)) __builtin_trap();
    // The channel byte and the version word are carried, not checked; everything else
    // rebuilds the same bytes.
    if (again[0] != data[0] || memcmp(again.data() + 2, data + 2, 2) != 0 ||
        memcmp(again.data() + 8, data + 8, size - 8) != 0)
      __builtin_trap();
  }
  if (size >= 4) {
    int want = tnl::auth_reply_body_length(data);
    int32_t result = 1;
    size_t bodyLen = size - 4 < 8 ? size - 4 : 8;
    tnl::AuthVerdict v = tnl::parse_auth_reply(data, data + 4, bodyLen, &result);
    if (v != tnl::AuthVerdict::kMalformed && (want < 0 || (size_t)want != bodyLen)) __builtin_trap();
    if (v == tnl::AuthVerdict::kMalformed && result != 0) __builtin_trap();
  }
  uint32_t a;
  uint16_t p;
  tnl::parse_lan_reply(data, size, &a, &p);
  return 0;
}
