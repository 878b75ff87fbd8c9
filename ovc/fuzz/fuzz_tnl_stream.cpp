// An arbitrary byte stream as the tunnel's message loop receives it, in both roles, arriving
// in pieces of a size the input chooses. Four channels are open on real socket pairs so data,
// pause, flow, half close and close reach live state; the server refuses every open so
// nothing ever connects anywhere.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Tunnel/tnl_session.h"

namespace {

class InputStream final : public tnl::TnlStream {
public:
  InputStream(const uint8_t* p, size_t n, size_t piece) : p_(p), n_(n), piece_(piece) {}
  int Write(const void*, size_t n) override { return down_ ? -1 : (int)n; }
  int Read(void* out, size_t n, int) override {
    if (down_ || pos_ == n_) return -1;
    size_t k = n < piece_ ? n : piece_;
    if (k > n_ - pos_) k = n_ - pos_;
    memcpy(out, p_ + pos_, k);
    pos_ += k;
    return (int)k;
  }
  void Shutdown() override { down_ = true; }

private:
  const uint8_t* p_;
  size_t n_, pos_ = 0, piece_;
  bool down_ = false;
};

bool refuse(uint32_t, uint16_t, void*) { return false; }
uint16_t probe_port(uint32_t, void*) { return 40000; }

void run(const uint8_t* data, size_t size, tnl::Role role, size_t piece) {
  InputStream s(data, size, piece);
  tnl::SessionConfig cfg;
  cfg.role = role;
  cfg.bufferLimit = 64 * 1024;
  cfg.lowMark = 8000;
  cfg.highMark = 10000;
  cfg.openAllowed = refuse;
  cfg.lanProbe = probe_port;
  tnl::TunnelSession session(&s, cfg);
  int far[4];
  for (int i = 0; i < 4; ++i) {
    int sv[2];
    far[i] = -1;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) continue;
    far[i] = sv[1];
    session.MarkInUseForFeeding();
    session.OpenChannel(sv[0], 0x7F000001, 80);
  }
  session.ServeMessagesHere();
  session.Stop();
  for (int fd : far)
    if (fd >= 0) close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t piece = 1 + data[0] % 64;
  run(data + 1, size - 1, tnl::Role::kAgent, piece);
  run(data + 1, size - 1, tnl::Role::kServer, piece);
  return 0;
}
