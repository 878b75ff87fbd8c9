// Hooks of the tunnel server for tests and for a device process that brings its own OVC
// start: the OVC start itself, shorter waits, the probe port and the token table.
#pragma once

#include <stdint.h>

// Replaces the OVC start of P2PTunnelServerInitialize (null: OVC_Initialize2(0)).
void tnl_server_set_ovc_start(int (*start)(void));
// The wait for an agent's authentication request (default 90000 ms) and the pauses at the
// end of a session and of a stop (default 1000 ms each). 0 restores the default.
void tnl_server_set_timing(int authTimeoutMs, int lingerMs);
// The address the probe listener binds (network order; default any address).
void tnl_server_set_probe_address(uint32_t addrNet);
// How long a probe connection may take to send its value (default 5000 ms; 0 restores it).
void tnl_server_set_probe_idle_ms(int ms);
// The port of the direct-LAN probe listener (0 while the server is not started).
uint16_t tnl_server_probe_port();
// What a direct-LAN request of session sid does to the token table: registers the value the
// probe connection must send (f(f(token))) and returns the probe port for the reply. -1 when
// the table was full and nothing was registered (the reply still goes out).
int tnl_server_lan_request(uint32_t token, int sid);
bool tnl_server_initialized();
// P2PTunnel_SetBufSize and P2PTunnel_LastIOTime on the server's sessions.
int tnl_server_set_buf_size(int sid, int size);
int tnl_server_last_io_time(int sid);
