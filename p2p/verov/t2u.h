// Port forwarding over VERov connections: a device ID and a device port become a local port
// on 127.0.0.1. Two independent instances, `t2u_` (1, over the `vv_nat_` client) and `t2u2_`
// (2, over `vv2_nat_`), with one implementation behind both name families.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _T2U_NET_STAT {
  char remote_ip[20];
  int remote_port;
  int proxy;  // 1 relayed, 0 direct
  float lost_rate;
  int bandwidth;  // KB/s
  int remote_nat;
  int local_nat;
  char remote_ip6[40];
  int remote_version;
} _T2U_NET_STAT;

typedef struct _T2U_UDP_NET_STAT {
  char remote_ip[20];
  int remote_port;
  int proxy;
  float lost_rate;
  int bandwidth;
  int remote_nat;
  int local_nat;
  char remote_ip6[40];
} _T2U_UDP_NET_STAT;

typedef struct _T2U_RATE_STAT {
  int64_t total_recv;
  int64_t total_send;
  float win_recv, win_send, win_sum;  // KB/s over the last window of 2 s or more
  float avg_recv, avg_send, avg_sum;  // KB/s since the counters started
  int seconds;
} _T2U_RATE_STAT;

typedef struct {
  long (*connected)(uint16_t local_port, int connect_ms);
  long (*disconnected)(uint16_t local_port, int status);
} t2u_callbacks;

#define T2U_DECLARE(P)                                                                        \
  int P##init(const char* svraddr, int svrport, const char* svrkey);                          \
  int P##exit(void);                                                                          \
  int P##status(void);                                                                        \
  int P##set_callback(const t2u_callbacks* cbs);                                              \
  int P##set_port_range(uint16_t lo, uint16_t hi);                                            \
  int P##add_port(const char* uuid, uint16_t remote_port, uint16_t local_port);               \
  int P##add_port_ex(const char* uuid, const char* dhost, uint16_t remote_port,               \
                     uint16_t local_port);                                                    \
  int P##add_port_v3(const char* uuid, const char* passwd, const char* dhost,                 \
                     uint16_t remote_port, uint16_t local_port);                              \
  int P##add_udp_port(const char* uuid, uint16_t remote_port, uint16_t local_port);           \
  int P##add_udp_port_ex(const char* uuid, const char* dhost, uint16_t remote_port,           \
                         uint16_t local_port);                                                \
  int P##add_udp_port_v3(const char* uuid, const char* passwd, const char* dhost,             \
                         uint16_t remote_port, uint16_t local_port);                          \
  int P##del_port(uint16_t local_port);                                                       \
  int P##del_udp_port(uint16_t local_port);                                                   \
  int P##port_status(uint16_t local_port, _T2U_NET_STAT* stat);                               \
  int P##udp_port_status(uint16_t local_port, _T2U_UDP_NET_STAT* stat);                       \
  int P##get_rate(uint16_t local_port, _T2U_RATE_STAT* rate);                                 \
  int P##get_udp_rate(uint16_t local_port, _T2U_RATE_STAT* rate);                             \
  int P##query(const char* uuid);                                                             \
  int P##query_ex(const char* uuid, char* info, int info_size, char* addr, int addr_size);    \
  int P##search(char* buf, int size);                                                         \
  int P##search_dvr(void);                                                                    \
  void P##OnConnect(int conn_id);                                                             \
  void P##OnDisconnect(int conn_id, int reason);                                              \
  int P##OnRecvFrame(int conn_id, uint16_t client_id, uint16_t type, const void* data, int len);

T2U_DECLARE(t2u_)
T2U_DECLARE(t2u2_)
#undef T2U_DECLARE

// Instance 1 only.
int t2u_init_v2(const char* svraddr, int svrport, const char* svrkey, const char* logdir);
int t2u_set_reconnect_interval(int seconds);
void t2u_log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Clients alive in an instance (tests and the tunnel's diagnostics).
int t2u_client_count(int instance);

#ifdef __cplusplus
}
#endif
