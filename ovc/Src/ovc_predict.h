// Port prediction and the device's port-guess registration (ovc_predict.cpp).
#pragma once

#include <stdint.h>

#include "ovc_state.h"

// Ports: everything computed lands in 1025-65535 (values outside wrap around inside it).
uint16_t ovc_port_in_range(int64_t v);
// A random port of at least 1025 from rnd (a rand()-like source, 0..2^31-1).
uint16_t ovc_random_port(int (*rnd)());
// The port knocked at step `step` of a predicting node with base port `base` (host order):
// base + step/3, base - step/3, or a random port, by step mod 3. rnd null: the platform's.
uint16_t ovc_predicted_port(uint32_t base, int32_t step, int (*rnd)());
// The device's guessed registration port (host order) from the wall clock in ms (negative: no
// clock), the guess counter and the P2P server's port (host order; 0 or less: none known).
uint16_t ovc_port_guess(int64_t wallMs, uint32_t counter, int serverPortHost);

void AddTryPort(const RandomID* key, int limit, const ovc_netaddr_t* addrs, int count, int predict, const char* uid);
void TryPortTaskCB(orvan_task_t* task, uint32_t period, uint16_t arg, void* user, int final);
void RemoveTryPortOfSession(int sid);
// As above for a record's key (a zero key names no node).
void ovc_remove_try_port_key(const RandomID& key);
void HoldSharedConn(TConnection* conn);
void SendKnockFromPort(TConnection* conn, const char* addressText, uint16_t port, const char* uid,
                       const RandomID* key);

// The punch information's part: adds the node the two NAT types call for and starts the task.
void ovc_punch_try_ports(const RandomID& key, const ovc_netaddr_t* list, int n, bool device, uint32_t peerNat,
                         const char* bodyUid);
// The device's registration to a guessed port of the server that sent the punch information.
void ovc_port_guess_registration(const char* senderText, uint16_t senderPortNet, const ovc_netaddr_t& sender);
int ovc_start_try_port(uint32_t periodMs);
// Ends the engine now and lets go of its extra sockets (before the sockets are reopened).
void ovc_predict_stop();
void ovc_predict_reset();

// ---- Seams for tests and figures ------------------------------------------------------------
struct TryPortView {
  int32_t id, step;
  ovc_netaddr_t addrs[8];
  uint32_t base[8];
  int32_t limit, rounds;
  bool predict;
  RandomID key;
};
// Task lifetime and the no-refresh expiry in ms (0: the 60 s defaults).
void ovc_set_try_port_times(uint32_t lifetimeMs, uint32_t expiryMs);
// Knocks per second the engine may send (0: no cap; default 2000).
void ovc_set_try_port_rate(uint32_t perSecond);
uint64_t ovc_try_port_knocks();
int ovc_try_port_nodes(TryPortView* out, int max);  // returns the node count
void ovc_try_port_age(int index, uint32_t ms);      // makes a node's last refresh older
bool ovc_try_port_running();
