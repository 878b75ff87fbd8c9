#include "Tunnel/tnl_auth.h"

#include <vector>

#include "Tunnel/tnl_wire.h"

namespace tnl {

int AgentAuthenticate(TnlStream& s, const void* auth, int n, int* result, int timeoutMs,
                      const std::atomic<bool>* cancel) {
  if (result) *result = 0;
  std::vector<uint8_t> req;
  if (n < 0 || !make_auth_request(auth, (size_t)n, &req)) return -30021;
  if (s.Write(req.data(), req.size()) != (int)req.size()) return -30006;
  uint8_t head[4];
  if (ReadFullWithin(s, head, 4, timeoutMs, cancel) != 0) return -30006;
  int bodyLen = auth_reply_body_length(head);
  if (bodyLen < 0) return -30008;
  uint8_t body[4] = {0, 0, 0, 0};
  if (bodyLen > 0 && ReadFullWithin(s, body, (size_t)bodyLen, timeoutMs, cancel) != 0)
    return -30006;
  int32_t r = 0;
  AuthVerdict v = parse_auth_reply(head, body, (size_t)bodyLen, &r);
  if (result) *result = r;
  return v == AuthVerdict::kAccepted ? 0 : -30008;
}

int ServerAuthenticate(TnlStream& s, P2PTunnelAuthFn cb, void* user, const P2PTunnelAuthInfo& who,
                       int timeoutMs) {
  uint8_t buf[kMaxAuthRequest];
  if (ReadFullWithin(s, buf, 4, timeoutMs) != 0) return -1;
  Head h;
  read_head(buf, 4, &h);
  if (h.type != kFlow || h.length < kAuthFixed || h.length > kAuthFixed + kMaxAuthData) return -2;
  if (ReadFullWithin(s, buf + 4, h.length, timeoutMs) != 0) return -1;
  AuthRequest req;
  if (!parse_auth_request(buf, 4 + (size_t)h.length, &req)) return -2;
  std::vector<uint8_t> reply;
  int rc = 0;
  if (req.n != 0 && cb) {
    P2PTunnelAuthInfo info = who;
    info.version = req.version;
    info.dataLength = (int32_t)req.n;
    info.data = req.data;
    int32_t verdict = cb(&info, user);
    reply = make_auth_reply(verdict >= 0, true, verdict);
    rc = verdict >= 0 ? 0 : 1;
  } else {
    reply = make_auth_reply(true, false, 0);
  }
  if (s.Write(reply.data(), reply.size()) != (int)reply.size()) return -1;
  return rc;
}

}  // namespace tnl
