// The tunnel of a login type: the process-wide tunnel singletons, or a tunnel a test has
// installed for that type.
#pragma once
#include "p2p_tunnel.h"

// 5, 7, 12-21: VERov; 2, 22: Orvan; 4: the placeholder; any other type: none (null).
CP2PTunnel* kv_p2p_tunnel_for(int loginType);

// Test seam: t answers for loginType instead of the built-in choice (null removes it).
// The caller keeps t alive while sessions of that type may still start or stop.
void kv_p2p_set_test_tunnel(int loginType, CP2PTunnel* t);
