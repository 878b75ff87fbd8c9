// Replies to the blocking queries: the status reply and the UPnP reply.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "vv_replies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<uint8_t> buf(data, data + size);
  const int n = static_cast<int>(size);
  VvStatusReply r;
  if (vv_parse_status_reply(buf.data(), n, &r)) {
    if (strlen(r.addr) > 36 || strlen(r.preferred) > 64) __builtin_trap();
    if (r.params_present) {
      volatile unsigned sum = 0;
      for (int i = 0; i < r.param_len; ++i) sum += r.params[i];  // must stay inside the datagram
    }
  }
  int result = 0;
  char out[32];
  vv_parse_upnp_reply(buf.data(), n, "ID-UPNP", &result, out, sizeof(out));
  return 0;
}
