// Hooks of the agent for tests: a shorter wait for the authentication verdict, the port a
// mapping listens on, the session object behind an id.
#pragma once

#include <stdint.h>

namespace tnl {
class TunnelSession;
}

void tnl_set_auth_timeout_ms(int ms);
uint16_t tnl_mapping_local_port(int index);
tnl::TunnelSession* tnl_agent_session(int sid);
bool tnl_agent_initialized();
