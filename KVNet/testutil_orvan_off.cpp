// Compiled into every test program of the device client: the Orvan tunnel's agent does not
// start there (its connects would search the real local networks by broadcast). A test that
// runs the agent on loopback or in a private namespace installs the real start itself.
#include "orvan_tunnel.h"

namespace {
int agent_off(int) { return -30000; }
const bool kOrvanAgentOff = (kv_orvan_set_agent_start(&agent_off), true);
}  // namespace
