#include "Tunnel/tnl_rct_stream.h"

#include "rct_api.h"

namespace tnl {

int RctStream::Write(const void* p, size_t n) {
  if (down_.load()) return -1;
  int r = RCT_Write(id_, p, (unsigned)n);
  if (r != (int)n) return r < 0 ? r : -1;
  // A message goes out now rather than at the send thread's next pass: control messages are
  // small and latency matters more than one short packet per message.
  RCT_Flush(id_);
  return r;
}

int RctStream::Read(void* p, size_t n, int timeoutMs) {
  if (down_.load()) return -1;
  int r = RCT_Read(id_, p, (int)n, timeoutMs);
  if (r == RCT_ER_TIMEOUT) return 0;
  return r;
}

uint64_t RctStream::SendBacklog() {
  RCT_StatusEx st;
  return RCT_Private_Status_Check(RCT_PRIVATE_GUARD, id_, &st) == 0 ? st.sendBytes : 0;
}

uint64_t RctStream::Unread() {
  RCT_Status st;
  return RCT_Status_Check(id_, &st) == 0 ? st.unreadBytes : 0;
}

}  // namespace tnl
