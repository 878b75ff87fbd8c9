// The VERov NAT client: two independent instances, `vv_nat_` (1) and `vv2_nat_` (2), with one
// implementation behind both name families.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*vv_nat_cb)(void);  // slots whose signatures belong to the connection code
typedef void (*vv_nat_query_cb)(const char* uuid, int online, const char* addr,
                                const unsigned char* params, int len);

// Nine callback slots in this order; a NULL slot is skipped.
typedef struct {
  vv_nat_cb OnConnect;
  vv_nat_cb OnDisconnect;
  vv_nat_cb OnRecv;
  vv_nat_cb OnRecvMsg;
  vv_nat_cb OnRecvFrame;
  vv_nat_cb OnLoginRequest;
  vv_nat_cb OnLoginResult;
  vv_nat_query_cb OnQueryResult;
  vv_nat_cb OnSocket;
} vv_nat_callbacks;

typedef struct {
  char ip[20];
  int port;
  int relayed;
  float loss;
  int bandwidth;
  int peer_nattype;
  int nattype;
  int peer_version;
  int vdt_id;
  char ip6[40];
  int dest_type;
} vv_nat_conn_stat;

enum { VV_NAT_VERSION = 118, VV_NAT_PLATFORM = 4 };

// Seconds of the clock every registration time is kept in; injectable so that tests of the
// heartbeat window need not wait for it (NULL: the monotonic clock).
void vv_nat_set_clock(int64_t (*now_s)(void));
// Runs the built-in clock and every wait of the registration threads `k` times faster (1:
// real time), so that a heartbeat window of 45 s passes in a few seconds of a test. Set it while
// no instance runs: the clock jumps when the scale changes.
void vv_nat_set_time_scale(int k);

#define VV_NAT_DECLARE(P)                                                                    \
  int P##init(const char* svraddr, int svrport, const char* uuid, int port,                 \
              const vv_nat_callbacks* cbs);                                                  \
  int P##exit(void);                                                                         \
  int P##set_server(const char* svraddr, int svrport);                                       \
  void P##set_server_key(const char* key);                                                   \
  void P##set_passwd(const char* passwd);                                                    \
  void P##set_timeout(int ms);                                                               \
  void P##set_upnp(const char* ip, int port, int lport);                                     \
  void P##set_reconnect(int value);                                                          \
  void P##set_port_range(uint16_t lo, uint16_t hi);                                          \
  int P##set_param(const void* bytes, int size);                                             \
  int P##get_status(void);                                                                   \
  int P##get_server(char* buf, int size);                                                    \
  int P##version(void);                                                                      \
  int P##run_param(char* buf, int size);                                                     \
  int P##query(const char* uuid, int timeout_s, const int* run, char* info, int info_size,  \
               char* addr, int addr_size);                                                   \
  int P##get_param_ex(const char* svraddr, int port, int timeout_s, const char* uuid,        \
                      void* buf, int size, char* addr);                                      \
  int P##get_param(const char* uuid, void* buf, int size, char* addr);                       \
  int P##get_param_v3(const char* uuid);                                                     \
  int P##query_upnp(const char* uuid, int timeout_s, const int* run, char* out, int size);   \
  int P##get_num(void);                                                                      \
  int P##conn_status(int conn_id, vv_nat_conn_stat* stat);                                   \
  void P##set_rate(int conn_id, int rate);

VV_NAT_DECLARE(vv_nat_)
VV_NAT_DECLARE(vv2_nat_)
#undef VV_NAT_DECLARE

// Instance 1 only: a log file and a connection limit.
int vv_nat_init_v2(const char* svraddr, int svrport, const char* uuid, int port,
                   const vv_nat_callbacks* cbs, const char* log_path);
void vv_nat_set_maxconn(int n);
void vv_nat_log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Server messages dropped because they came from outside the server table.
int vv_nat_spoofed_count(void);
int vv2_nat_spoofed_count(void);

// Server-message handlers, called by the registration threads for every datagram on the main
// sockets (sender address of 16 or 28 bytes).
void vv_nat_on_server_msg(unsigned char* d, int len, const void* from, int fromlen);
void vv2_nat_on_server_msg(unsigned char* d, const void* from, int fromlen, int len);

// Connect and disconnect logs to the selected server (instance 1, while the server asks for
// them); the send's result, 0 when not sent.
int vv_nat_send_connect_log(int conn_no, const char* peer_uuid, int peer_nattype, int peer_version,
                            int relayed, int time_taken, int result);
int vv_nat_send_disconnect_log(int conn_no, const char* peer_uuid, int seconds_kept, int result);

// The NAT64 form of an IPv4 address text under the prefix instance 1 found; 1 when written.
int ipv4_to_nat64(const char* ipv4, char* out, int size);

// 1 when two server table entries hold different non-zero mapped ports.
int vv_nat_check_symmetric_nat(void);

// Address buffers of get_param and get_param_ex take at least 37 bytes (IP:port text).

// Text message to the selected server from `sock`, and a prepared datagram to it.
int vv_nat_send2svr_B(int sock, int msg_id, const char* text);
int vv2_nat_send2svr(int sock, int msg_id, const char* text);
int vv_nat_send_to_server(const void* dgram, int len);

#ifdef __cplusplus
}
#endif
