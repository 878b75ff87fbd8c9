// Direct-LAN TCP mode of a tunnel session. When the device sits on the LAN and answers the
// probe (a token countdown over the session's stream, then over a direct TCP connection),
// the session's port mappings connect straight to the device instead of carrying their bytes
// through the stream. One proxy thread owns every listener and every joined pair of sockets:
// it alone accepts, connects, copies and closes them, so no descriptor is ever closed while
// another thread waits on it.
#pragma once

#include <stdint.h>

#include <atomic>

namespace tnl {

class TnlStream;

// The probe. Sends the request {10, 0, 8 | token, 0} on the stream (no other reader may use it
// meanwhile), reads the reply and runs the countdown over TCP to deviceIpv4 (host order) and
// the port the reply names. 0 when the device answered it; otherwise a negative code: the
// stream's, -10007 (no reply), -30011 (wrong reply), -30017 (TCP path failed), -30025 (stop).
// token 0 draws one at random.
int SetupLanTcp(TnlStream& s, uint32_t deviceIpv4, const std::atomic<bool>* stop = nullptr,
                uint32_t token = 0);

// The probe's reply on the stream after a request with token T: 0 with the device's probe
// port, -10007 when replyTries idle reads pass, -30011 for a reply that is not message 11 with
// the answer lan_step(T), -30025 on stop, or the stream's negative code.
int ReadLanReply(TnlStream& s, uint32_t T, uint16_t* port, const std::atomic<bool>* stop = nullptr);

// How long the probe waits: replyTries reads of 100 ms for the reply (default 100), and
// countdownMs for the TCP countdown (default 1000). 0 restores a default. Tests only.
void SetLanProbeLimits(int replyTries, int countdownMs);

// The proxy thread. Start is idempotent; Stop closes every mapping and connection.
bool LanProxyStart();
void LanProxyStop();

// A direct-LAN mapping of sid: listens on 127.0.0.1:localPort (0: any) and joins each accepted
// connection to a new TCP connection to deviceIpv4:devicePort. The slot (0..255) or a code:
// -30001 no free slot, -30022 socket, -30002 bind or listen, -30000 proxy not running.
int LanMapAdd(int sid, uint32_t deviceIpv4, uint16_t devicePort, uint16_t localPort);
// Stops a mapping and closes the connections accepted on it; returns once they are closed.
// False when the slot is not in use.
bool LanMapStop(int slot);
// Stops every mapping and connection of sid; returns once they are closed.
void LanSessionEnd(int sid);
uint16_t LanMapLocalPort(int slot);
// Wall-clock seconds when bytes last moved on a direct-LAN connection of sid (0: never).
uint32_t LanLastIO(int sid);
// Joined connections of sid (connects still in progress included).
int LanConnections(int sid);

}  // namespace tnl
