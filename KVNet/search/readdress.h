// Network re-addressing: one sender per local address and body form. Seams for tests.
#pragma once

// Receive time-outs of a sender, measured from its send (defaults 4000 ms broadcast,
// 6000 ms unicast). Tests shorten them.
void kv_readdress_set_timeouts(int broadcastMs, int unicastMs);

// Seam: when set, every sender counts as not started (thread creation failure).
void kv_readdress_fail_thread_start(bool fail);
