// Control frames from the device (set destination, close), close notices and router replies.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "t2u_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf(data, data + size);  // exact size, so ASan sees any over-read
  uint16_t id = 0, port = 0;
  char host[T2U_HOST_TEXT];
  if (t2u_unpack_dest(buf.data(), size, &id, host, &port) && strlen(host) >= T2U_HOST_TEXT)
    __builtin_trap();
  t2u_unpack_close(buf.data(), size, &id);
  t2u_is_close_notice(buf.data(), size);
  size_t header = 0;
  if (t2u_upnp_reply(buf.data(), size, &header) == T2U_UPNP_OK && header > size) __builtin_trap();
  return 0;
}
