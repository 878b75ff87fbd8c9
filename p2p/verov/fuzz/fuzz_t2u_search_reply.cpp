// LAN search replies, fed one after another into one listing.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "t2u_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char list[512] = "";
  // The input is split at every 0xFE byte into several datagrams.
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0xFE) continue;
    std::vector<uint8_t> dgram(data + start, data + i);
    int r = t2u_search_add_reply(dgram.data(), dgram.size(), "198.51.100.2", list, sizeof(list));
    if (r == T2U_SEARCH_ADDED && strlen(list) >= sizeof(list)) __builtin_trap();
    start = i + 1;
  }
  return 0;
}
