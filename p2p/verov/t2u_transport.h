// What the port-forwarding layer needs from a NAT-client instance: registration status,
// queries, and peer connections that carry (a, b, body) frames. The layer reaches its
// instance only through this table, so a test can carry the frames over a plain socket to a
// device peer; a slot left empty behaves as "not available" (connect gives -1, sends fail).
#pragma once

#include <stdint.h>

#include "vv_nat.h"

struct T2uTransport {
  int (*init)(const char* svraddr, int svrport, const char* uuid, int port,
              const vv_nat_callbacks* cbs, const char* log_path);
  int (*exit)(void);
  int (*get_status)(void);
  void (*set_reconnect)(int value);
  void (*set_server_key)(const char* key);
  void (*set_port_range)(uint16_t lo, uint16_t hi);
  int (*query)(const char* uuid, int timeout_s, const int* run, char* info, int info_size,
               char* addr, int addr_size);
  int (*query_upnp)(const char* uuid, int timeout_s, const int* run, char* out, int size);
  int (*conn_status)(int conn_id, vv_nat_conn_stat* stat);
  // Starts a connection without waiting; its id (> 0) or a failure (<= 0). The outcome comes
  // through the layer's OnConnect / OnDisconnect.
  int (*connect)(const char* uuid, const char* passwd, int wait);
  int (*close)(int conn_id);
  int (*sendable)(int conn_id);
  // A frame; the length on success, 0 when the connection cannot take it now, < 0 failure.
  int (*send)(int conn_id, uint16_t a, uint16_t b, const void* data, int len, int need_ack);
  int (*send_connect_log)(int conn_no, const char* uuid, int peer_nattype, int peer_version,
                          int relayed, int ms, int result);
  int (*send_disconnect_log)(int conn_no, const char* uuid, int seconds, int result);
};

// The instance's table (1 or 2); set it while the instance is stopped. NULL restores the
// NAT client's own functions.
void t2u_set_transport(int instance, const T2uTransport* t);
const T2uTransport* t2u_default_transport(int instance);

// Timings that tests shorten: the reconnect interval floor and the idle end of UDP clients.
void t2u_set_udp_idle_seconds(int instance, int seconds);
