// Arbitrary bytes as the stream's answer to the agent's direct-LAN request, delivered in
// input-chosen pieces with idle reads between them: a reply is taken only when it is message
// 11 with the expected answer, and nothing is read beyond its 12 bytes.
#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "Tunnel/tnl_lan.h"
#include "Tunnel/tnl_stream.h"
#include "Tunnel/tnl_wire.h"

namespace {

class PieceStream final : public tnl::TnlStream {
public:
  PieceStream(const uint8_t* p, size_t n, uint8_t step) : p_(p), n_(n), step_(step) {}
  int Write(const void*, size_t n) override { return (int)n; }
  int Read(void* out, size_t n, int) override {
    if (idle_) {  // every other read finds nothing yet
      idle_ = false;
      return 0;
    }
    idle_ = (step_ & 1) != 0;
    if (at_ >= n_) return step_ & 2 ? -1 : 0;
    size_t k = std::min<size_t>({n, n_ - at_, (size_t)(step_ >> 2) + 1});
    memcpy(out, p_ + at_, k);
    at_ += k;
    return (int)k;
  }
  size_t at() const { return at_; }

private:
  const uint8_t* p_;
  size_t n_, at_ = 0;
  uint8_t step_;
  bool idle_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = (tnl::SetLanProbeLimits(3, 0), true);
  (void)once;
  if (size < 5) return 0;
  uint32_t T;
  memcpy(&T, data, 4);
  PieceStream s(data + 5, size - 5, data[4]);
  uint16_t port = 0;
  int r = tnl::ReadLanReply(s, T, &port, nullptr);
  if (s.at() > 12) __builtin_trap();
  if (r == 0) {
    const uint8_t* m = data + 5;
    uint32_t answer;
    memcpy(&answer, m + 4, 4);
    if (s.at() != 12 || m[0] != tnl::kLanReply || m[2] != 8 || m[3] != 0 ||
        answer != tnl::lan_step(T) || port != (uint16_t)(m[10] | m[11] << 8))
      __builtin_trap();
  }
  return 0;
}
