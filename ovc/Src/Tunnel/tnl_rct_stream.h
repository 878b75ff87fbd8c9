// A tunnel session's stream over an RCT channel (OVC channel 0 of the session).
#pragma once

#include "Tunnel/tnl_stream.h"

namespace tnl {

class RctStream final : public TnlStream {
public:
  explicit RctStream(int rctId) : id_(rctId) {}
  int Write(const void* p, size_t n) override;
  int Read(void* p, size_t n, int timeoutMs) override;
  uint64_t SendBacklog() override;
  uint64_t Unread() override;
  void Shutdown() override { down_.store(true); }
  int id() const { return id_; }

private:
  int id_;
  std::atomic<bool> down_{false};
};

}  // namespace tnl
