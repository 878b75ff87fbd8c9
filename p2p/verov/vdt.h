// vdt: reliable, ordered, message-preserving transport over a UDP socket that the connection
// code has already opened towards a peer. One layer (three threads) serves both instances of
// the NAT client.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vdt_conn vdt_conn;

typedef struct {
  float snd_avg_kbs, snd_cur_kbs, snd_retrans_pct;
  float rcv_avg_kbs, rcv_cur_kbs, rcv_retrans_pct;
} vdt_rate;

// 0 (also when already started).
int vdt_init(void);
void vdt_exit(void);
// Takes the socket; id > 0, -1 bad socket, -2 no memory, -3 a size below one slot.
int vdt_create(int sock, int sndbuf, int rcvbuf);
void vdt_set_destaddr(int id, const char* ip, int port);
void vdt_set_destaddr6(int id, const char* ip6, int port);
void vdt_set_uuid(int id, int conn_id, const char* uuid);
// Bytes queued; 0 until the path's packet size is known; -1 unknown id or closed.
int vdt_send(int id, const void* data, int len);
// Bytes of at most one message; 0 nothing yet; -1 unknown id, or closed with nothing
// complete left.
int vdt_recv(int id, void* buf, int len);
void vdt_close(int id);
// Free slots × payload size; -1 unknown id. The payload size goes to *payload when asked.
int vdt_get_free_size(int id, int* payload);
void vdt_set_rate(int id, int on);
int vdt_get_rate(int id, vdt_rate* rate);
// The record, valid until the release step frees it (the connection closed and read out).
vdt_conn* vdt_find(int id);

// Liveness and hello timing, injectable so that tests of the long waits stay short.
// Zero fields keep their value. Defaults: quiet 2000 ms after a hello reply, closed after
// 5000 ms without reception or 20 unanswered hellos, hellos at least 300 ms apart.
typedef struct {
  int quiet_ms;
  int liveness_ms;
  int hello_min_ms;
  int max_unanswered;
} vdt_timing;
void vdt_set_timing(const vdt_timing* t);

// Both sides of an open connection: 1 when everything queued has been acknowledged.
int vdt_all_acked(int id);
// 1 while the connection's socket is open.
int vdt_is_open(int id);

#ifdef __cplusplus
}
#endif
