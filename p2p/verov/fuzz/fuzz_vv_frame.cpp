// The vdt frame reader: the input is cut into chunks by two-byte lengths, fed in order; every
// delivery must lie inside its chunk and a frame never yields more than its length.
#include <stddef.h>
#include <stdint.h>

#include "vv_nat_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vv_frame_state st{};
  uint64_t in_frame = 0;
  size_t i = 0;
  while (i + 2 <= size) {
    size_t n = data[i] | data[i + 1] << 8;
    i += 2;
    if (n > size - i) n = size - i;
    uint16_t a, b;
    const unsigned char* out = nullptr;
    int got = -1;
    int was_left = st.left;
    int rc = vv_frame_feed(&st, data + i, static_cast<int>(n), &a, &b, &out, &got);
    if (rc < 0) return 0;  // a broken stream ends the connection
    if (got < 0 || out < data + i || out + got > data + i + n) __builtin_trap();
    in_frame = was_left > 0 ? in_frame + static_cast<uint64_t>(got) : static_cast<uint64_t>(got);
    if (in_frame > st.len || st.left < 0) __builtin_trap();
    i += n;
  }
  return 0;
}
