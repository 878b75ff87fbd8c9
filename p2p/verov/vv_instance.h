// Internal state of one NAT-client instance; both name families share this code and differ
// only by the flags of their instance.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "vv_nat.h"

enum { VV_MAX_SERVERS = 50, VV_MAX_CONNS = 100, VV_PARAMS_MAX = 1024 };

struct vv_nat_svr {
  char ip4[16];
  char ip6[60];
  char domain[40];
  uint16_t port;
  uint16_t mapped_port;
  char mapped_ip4[16];
  char mapped_ip6[40];
  uint32_t delay_us;
};

// The part of a connection record the status calls read; the connection code fills it.
struct vv_nat_conn {
  int established;
  int relayed;
  int via_ipv6;
  char peer_ip4[20];
  int peer_port4;
  char peer_ip6[40];
  int peer_port6;
  float loss;
  int bandwidth;
  int peer_nattype;
  int peer_version;
  int vdt_id;
  int dest_type;
  int req_id;       // id of the connection request sent through the server
  int conn_result;  // the server's answer to it (1005), 0 until it arrives
};

// What tells the two instances apart.
struct VvFlags {
  int index;            // 1 or 2
  const char* log_tag;  // nullptr: the instance writes no log
  bool has_maxconn;
  bool uses_nat64;
  int port_base, port_span, port_tries;  // random local port when none is given
  int vdt_rcvbuf;
  bool calls_vdt_exit;
  int send_slots;
};

struct vv_nat_state {
  int sock, sock6;
  uint16_t port;
  uint16_t port_lo, port_hi;
  uint16_t svrport;
  int svrport_offset;
  char uuid[100];
  char skey[36];
  char svraddr[100];
  char svrip4_list[200];
  char svrip6_list[200];
  int upnp_port, upnp_lport;
  char upnp_ip[20];
  char svrip4[32];
  char svrip6[100];
  sockaddr_in sel_addr4;
  sockaddr_in6 sel_addr6;
  sockaddr_in6 nat64_prefix;
  int nat64;
  int64_t hbtime;
  int send_hb;
  int hb_interval;
  int connlog_level;
  int reconnect;
  int svrnum;
  vv_nat_svr svrs[VV_MAX_SERVERS];
  int64_t getsvrtime;
  int nattype;
  int ipv6svr;
  int checksvrs;
  char pubip_list[100];
  char own_ip6[40];
  char svrkey[32];
  int key_invalid;
  char passwd_md5[33];
  int vdt_rcvbuf, vdt_sndbuf;
  int64_t auth_time;
  int auth_interval;
  int auth_ok;
  int pwcheck;
  int64_t params_time;
  int params_size;
  unsigned char params[VV_PARAMS_MAX];
  int random_id;
  vv_nat_callbacks callbacks;
  vv_nat_conn conns[VV_MAX_CONNS];
  int maxconn;
  int conn_timeout;
  int log_level;
  char log_path[256];
  int64_t send_slot_time[7];
  int spoofed;  // server messages dropped for coming from outside the server table
};

// Slots of send_slot_time, one per periodic message.
enum { VV_SLOT_5001, VV_SLOT_1000, VV_SLOT_1023, VV_SLOT_1012, VV_SLOT_1100, VV_SLOT_1008, VV_SLOT_1021 };

struct VvInstance {
  const VvFlags flags;
  std::mutex mu;  // guards st between the API and the instance's threads
  vv_nat_state st{};
  std::atomic<int> run{0};
  std::thread main_thread;
  std::mutex log_mu;
  std::mutex table_mu;   // allocation of connection records
  std::mutex life_mu;    // init and exit of this instance, one at a time
  std::mutex conn_mu[VV_MAX_CONNS];  // serialises the writers of one connection's frames
  // Held shared by every send on the main sockets and exclusively while they are closed or
  // replaced, so that a send never goes out on a descriptor that was closed and reused.
  std::shared_mutex sock_mu;
  int wake[2] = {-1, -1};  // exit wakes the registration thread out of its waits
  // Connection messages (1004) go to the connection code when it is present.
  void (*on_conn_message)(VvInstance&, const unsigned char*, int, const struct sockaddr*, int) = nullptr;
  // Connection results (1005) and the stop of the connection threads, also the connection code's.
  void (*on_conn_result)(VvInstance&, const unsigned char*, int) = nullptr;
  void (*on_exit)(VvInstance&) = nullptr;
  struct VvConnRec* recs = nullptr;  // the connection records' working state, made on first use
  explicit VvInstance(const VvFlags& f) : flags(f) {}
};

VvInstance& vv_instance(int index);
int64_t vv_nat_now(void);
// Milliseconds of the same clock (scaled like every wait of the library).
int64_t vv_nat_now_ms(void);

// Finds the servers' addresses (and, in instance 1, the NAT64 prefix). Later calls do nothing
// until five sends went unanswered; the fifth renews the sockets on a new port and moves the
// server port offset. 1 when the name gave an address, else 0 with the state left as it was.
int vv_nat_resolve_server(VvInstance& in, int first_time);

// Log line of instance 1 (instance 2 writes none); never call with `mu` held.
void vv_log(VvInstance& in, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The registration thread's body and the server-message handler of one instance.
void vv_nat_main_body(VvInstance& in);
void vv_server_msg(VvInstance& in, unsigned char* d, int n, const struct sockaddr* from, int fromlen);

// Milliseconds of a wait of the registration thread under the current time scale (>= 1).
int vv_scaled_ms(int ms);
// Tests that drive an instance's state by hand start it without its registration thread.
void vv_nat_manual_start(bool manual);
// Waits up to ms (unscaled) or until exit wakes the thread; false once the instance stops.
bool vv_pause(VvInstance& in, int ms);

// Builds a text message with the current clock and sends it to the selected server.
int vv_send_text(VvInstance& in, int sock, int msg_id, const char* text);
int vv_send_to_server(VvInstance& in, const void* dgram, int len);

// Hooks the connection code into an instance (its records, its 1004/1005 handlers, its stop).
void vv_conn_attach(VvInstance& in);
