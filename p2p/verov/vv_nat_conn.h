// Peer connections of the VERov NAT client: connect by device ID through the P2P server,
// hole punching with relay fallback, the per-connection thread and the data send paths.
#pragma once

#include <stdint.h>

#include "vv_nat.h"

#ifdef __cplusplus
extern "C" {
#endif

// Callback signatures behind the slots of vv_nat_callbacks (cast the functions to vv_nat_cb).
typedef void (*vv_on_connect_fn)(int conn_id);
typedef void (*vv_on_disconnect_fn)(int conn_id, int reason);
typedef void (*vv_on_recv_fn)(int conn_id, const void* data, int len);
typedef void (*vv_on_recv_msg_fn)(int conn_id, int dtype, const void* data, int len);
typedef int (*vv_on_recv_frame_fn)(int conn_id, unsigned short a, unsigned short b, const void* data,
                                   int len);
typedef int (*vv_on_login_request_fn)(int conn_id, const char* user, const char* passwd);
typedef void (*vv_on_login_result_fn)(int conn_id, int ret);
typedef void (*vv_on_socket_fn)(int sock, const char* ip, unsigned short port);

// OnDisconnect reasons.
enum {
  VV_DISC_OFFLINE = 1,
  VV_DISC_PEER_TIMEOUT = 2,
  VV_DISC_HELLO_FAILED = 3,
  VV_DISC_PEER_CLOSE = 4,
  VV_DISC_VDT_FAILED = 5,
  VV_DISC_NO_SERVER = 6,
  VV_DISC_NO_PEER = 7,
  VV_DISC_REFUSED = 8,
};

#define VV_NAT_CONN_DECLARE(P)                                                                   \
  int P##connect(const char* id, int wait);                                                      \
  int P##connect_v3(const char* id, const char* passwd, int wait);                               \
  int P##connect_ex(const char* id, char* ip, unsigned short* port);                             \
  void P##close(int conn_id);                                                                    \
  int P##p2p_login(int conn_id, const char* user, const char* passwd);                           \
  int P##send_v2(int conn_id, unsigned dtype, const void* data, int len);                        \
  int P##send(int conn_id, const void* data, int len);                                           \
  int P##send_msg(int conn_id, int dtype, const void* data, int len);                            \
  int P##send_v4(int conn_id, unsigned a, unsigned b, const void* data, int len, int need_ack,  \
                 int encrypt);                                                                   \
  int P##send_v3(int conn_id, unsigned a, unsigned b, const void* data, int len, int need_ack); \
  int P##send_ex(int conn_id, const void* data, int len, int need_ack);                          \
  int P##send_v3b(int conn_id, unsigned a, unsigned b, const void* data, int len, int need_ack, \
                  int encrypt);                                                                  \
  /* Destination type of the connection's path (1 LAN, 2 public, 3 relay, 0 heartbeat), -1   \
     when not connected. */                                                                     \
  int P##conn_dest_type(int conn_id);

VV_NAT_CONN_DECLARE(vv_nat_)
VV_NAT_CONN_DECLARE(vv2_nat_)
#undef VV_NAT_CONN_DECLARE

// Instance 1 only.
int vv_nat_connect_novdt(const char* id, int wait);
int vv_nat_send_v5(int conn_id, unsigned a, unsigned b, const void* data, int len);

// Runs every wait and time-out of the connections `k` times faster (1: real time): setup
// waits, hello waves, heartbeats. Both instances; set it while no connection exists.
void vv_nat_set_conn_time_scale(int k);

// Frame reassembly state of a vdt stream: values and bytes still due of the frame in progress.
typedef struct {
  uint16_t a, b;
  uint32_t len;
  int left;
} vv_frame_state;

enum { VV_FRAME_MAX = 1 << 20 };  // no writer makes a frame larger than its send buffer

// Takes one vdt chunk: 1 with the data to deliver (a, b, data, n; n may be 0), -1 when the
// stream is broken (a frame head due but short, a length above VV_FRAME_MAX, or more bytes
// than the frame holds).
int vv_frame_feed(vv_frame_state* st, const unsigned char* chunk, int len, uint16_t* a,
                  uint16_t* b, const unsigned char** data, int* n);

// Handles one datagram of a connection as if it had arrived on its IPv4 socket (fuzzing and
// tests): instance, conn_id, datagram, sender.
void vv_nat_on_peer_message_test(int inst, int conn_id, unsigned char* d, int len,
                                 const void* from, int fromlen, int from_relay);

// Sets the callbacks of an instance that was never started (fuzzing and handler tests).
void vv_nat_fuzz_callbacks(int inst, const vv_nat_callbacks* cbs);

// Fills record conn_id of an instance that runs no threads, for fuzzing and handler tests:
// peer identity, its IPv4 address (local and public, port 40000), connected or punching, the
// peer's version (below 36: packet mode buffers), and `sink` as all three sockets.
void vv_nat_conn_prepare_test(int inst, int conn_id, const char* peer_id, int peer_msgid,
                              const char* peer_ip, int connected, int version, int sink);
void vv_nat_conn_prepare_test_port(int inst, int conn_id, const char* peer_id, int peer_msgid,
                                   const char* peer_ip, int peer_port, int connected, int version,
                                   int sink);

#ifdef __cplusplus
}
#endif
