// What the connection fuzz targets share: reading every byte a callback is handed (so the
// address checker sees a bad length or pointer) and a socket whose sends fail nowhere.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

namespace vvfuzz {

inline volatile unsigned g_sink;

// Reads [p, p+n); a length outside 0..limit is a fault of the code under test.
inline void touch(const void* p, int n, int limit = 65536) {
  if (n < 0 || n > limit) __builtin_trap();
  const auto* b = static_cast<const unsigned char*>(p);
  for (int i = 0; i < n; ++i) g_sink += b[i];
}

// A UDP socket connected to the loopback discard port: addressed sends from it fail locally,
// so nothing leaves the machine whatever address the input names.
inline int discard_socket() {
  static int fd = [] {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    return s;
  }();
  return fd;
}

}  // namespace vvfuzz
