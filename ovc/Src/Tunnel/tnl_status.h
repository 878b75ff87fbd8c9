// Session-loss reports shared by the agent and the server: one status callback for the
// library, the "notimeout" marker, and the OVC callback every tunnel session registers.
#pragma once

#include "p2ptunnel_api.h"

namespace tnl {

void SetStatusCallback(P2PTunnelStatusFn cb, void* user);
// Reads the marker file in the working folder once per start of the library.
void CheckNoTimeoutFile();
bool NoTimeout();
// Called with the session id before the application hears of the loss (the session's owner
// then ends it). One hook per role; null removes it.
using LossMarkFn = void (*)(int sid);
void SetLossMark(LossMarkFn fn);
// Waits until no report is being delivered; the callback is cleared first.
void EndStatusReports();

}  // namespace tnl

// OVC's per-session status callback: registered on every connected tunnel session.
extern "C" void Tunnel_SessionStatusCB(int sid, int code);
