// Streams through vdt for the end-to-end tests: a sender of pseudo-random messages of
// varied sizes and a reader, each with the SHA-256 of its bytes.
#pragma once

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "vdt.h"

namespace vdttest {

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(ctx_); }
  void Add(const void* d, size_t n) { EVP_DigestUpdate(ctx_, d, n); }
  std::string Hex() {
    unsigned char md[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_, md, &len);
    static const char* k = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
      out += k[md[i] >> 4];
      out += k[md[i] & 15];
    }
    return out;
  }

 private:
  EVP_MD_CTX* ctx_;
};

inline void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A UDP socket bound to addr:port (0: any free port); its port goes to *bound.
inline int UdpSocket(const char* addr, uint16_t port, uint16_t* bound) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, addr, &a.sin_addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  socklen_t l = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  if (bound) *bound = ntohs(a.sin_port);
  return s;
}

// Waits until the connection takes data (hello and MTU probe answered).
inline bool WaitReady(int id, int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  int p = 0;
  while (NowMs() < end) {
    if (vdt_get_free_size(id, &p) > 0 && p > 0) return true;
    SleepMs(5);
  }
  return false;
}

// Sends `total` bytes in messages of 1 .. 3 × 1384 + 100 bytes; the digest of what went.
// Returns false when the connection failed or the time ran out before all was acknowledged.
inline bool SendStream(int id, size_t total, uint32_t seed, std::string* sha, int timeout_ms) {
  Sha256 h;
  std::vector<unsigned char> msg(3 * 1384 + 100);
  uint32_t x = seed ? seed : 1;
  size_t sent = 0;
  int64_t end = NowMs() + timeout_ms;
  while (sent < total) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    size_t len = std::min<size_t>(1 + x % msg.size(), total - sent);
    for (size_t i = 0; i < len; ++i) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      msg[i] = static_cast<unsigned char>(x);
    }
    size_t off = 0;
    while (off < len) {
      int n = vdt_send(id, msg.data() + off, static_cast<int>(len - off));
      if (n < 0 || NowMs() > end) return false;
      if (n == 0) {
        SleepMs(1);
        continue;
      }
      off += static_cast<size_t>(n);
    }
    h.Add(msg.data(), len);
    sent += len;
  }
  while (!vdt_all_acked(id)) {
    if (!vdt_is_open(id) || NowMs() > end) return false;
    SleepMs(2);
  }
  *sha = h.Hex();
  return true;
}

inline bool ReceiveStream(int id, size_t total, std::string* sha, int timeout_ms) {
  Sha256 h;
  std::vector<unsigned char> buf(65536);
  size_t got = 0;
  int64_t end = NowMs() + timeout_ms;
  while (got < total) {
    int n = vdt_recv(id, buf.data(), static_cast<int>(buf.size()));
    if (n < 0 || NowMs() > end) return false;
    if (n == 0) {
      SleepMs(1);
      continue;
    }
    h.Add(buf.data(), static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  *sha = h.Hex();
  return true;
}

}  // namespace vdttest
