// Hooks of the agent for tests and benchmarks: a shorter wait for the authentication verdict, the port a
// mapping listens on, the session object behind an id.
#pragma once

#include <stdint.h>

namespace tnl {
class TunnelSession;
}

void tnl_set_auth_timeout_ms(int ms);
// Skips the direct-LAN probe (sessions stay in RCT mode), for measuring both modes.
void tnl_set_lan_probe_off(bool off);
uint16_t tnl_mapping_local_port(int index);
tnl::TunnelSession* tnl_agent_session(int sid);
bool tnl_agent_initialized();
