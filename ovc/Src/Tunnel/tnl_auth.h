// The authentication exchange that opens every tunnel session, on both sides.
#pragma once

#include <stdint.h>

#include "Tunnel/tnl_stream.h"
#include "p2ptunnel_api.h"

namespace tnl {

// Agent: sends the request and waits up to timeoutMs for the verdict. The reply is read as
// its 4-byte head and then exactly the body that head announces. 0 accepted; -30021 bad
// arguments; -30006 no (complete) reply or a failed read or write; -30008 rejected or a
// reply that is no verdict. *result (may be null) gets the device's result, 0 when the reply
// carries none.
int AgentAuthenticate(TnlStream& s, const void* auth, int n, int* result, int timeoutMs,
                      const std::atomic<bool>* cancel = nullptr);

// Server: reads the whole request (head, then exactly its length, at most 1008 bytes) within
// timeoutMs, checks it, asks cb (when set and the request carries data) and answers.
// 0 accepted, 1 rejected by cb (the reply went out), negative for a request that is missing,
// malformed or not first; nothing is answered then.
int ServerAuthenticate(TnlStream& s, P2PTunnelAuthFn cb, void* user, const P2PTunnelAuthInfo& who,
                       int timeoutMs);

}  // namespace tnl
