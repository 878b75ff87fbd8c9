// Peer connections: records, connect calls, introduction through the server, hole punching
// with relay fallback, the per-connection thread and the send paths.
#include "vv_nat_conn.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "vdt.h"
#include "vdt_nat.h"
#include "vv_crypto.h"
#include "vv_datagram.h"
#include "vv_instance.h"
#include "vv_socket.h"

namespace {

enum {
  kConnMsgSize = 588,
  kHelloSize = 184,
  kRelaySize = 212,
  kPeerHbSize = 24,
  kCloseSize = 24,
  kLoginSize = 72,
  kDataHead = 12,
  kDataMax = 1400,
  kFragHead = 20,
  kFragData = 1300,
  kFragMax = 8,
  kPacketMax = kFragData * kFragMax,
  kAckSize = 10,
  kMaxList = 10,  // entries used of a comma-separated address list
};

struct PacketSender {
  uint16_t id = 0;
  int count = 0;
  uint32_t total = 0;
  std::atomic<int> acked{0};
  int64_t sent_us = 0;
  unsigned char slot[kFragMax][kFragHead + kFragData] = {};
};

struct PacketReceiver {
  uint16_t id = 0;
  int count = 0;
  uint16_t a = 0, b = 0;
  uint32_t total = 0;
  int delivered = 0;
  unsigned bitmap = 0;
  unsigned char data[kPacketMax] = {};
};

}  // namespace

// Working state of one connection record. `m` guards the plain fields; the flags the
// application polls are atomics.
struct VvConnRec {
  std::recursive_mutex m;
  std::thread th;
  std::atomic<int> in_use{0}, connected{0}, req_state{0}, vdt{0};
  // Set once the path's transport exists (vdt, packet buffers): what a waiting connect
  // waits for, so that its first send never finds a path without its carrier.
  std::atomic<int> ready{0};
  // A heartbeat came from the peer: its side of the path exists too (it sends one as soon as
  // its own hello is answered).
  std::atomic<int> peer_hb_seen{0};
  // An accepted socket connection hands its socket over once the peer's side exists too
  // (peer_hb_seen), or at this time at the latest (connection clock, ms; 0: nothing due).
  int64_t handover_at = 0;
  int index = 0;
  int msg_id = 0;
  int sock = 0, sock6 = 0, relay_sock = 0;
  int peer_family = -1;
  uint16_t local_port = 0, mapped_port = 0;
  char mapped_ip[16] = "";
  int initiator = 0;
  int wave = 0;
  int64_t last_wave_ms = 0;
  int64_t last_hb = 0;
  int unanswered = 0;
  int reconnects = 0;
  int requests = 0;
  char peer_id[100] = "";
  std::atomic<int> peer_msgid{0};
  char peer_mapped_ip[16] = "";
  uint16_t peer_mapped_port = 0, peer_local_port = 0;
  char peer_local_ips[100] = "";
  char extra[100] = "";
  int peer_nat = 0, peer_version = 0;
  vv_frame_state frame{};
  int dest_type = 0;
  char passwd[36] = "";
  int peer_result = 0;
  std::atomic<int> via_relay{0};
  char relay_ip[16] = "";
  uint16_t relay_port = 0;
  int relay_registered = 0;
  int64_t last_register = 0;
  sockaddr_in peer_addr{};
  sockaddr_in6 peer_addr6{};
  char peer_ip6[40] = "";
  uint16_t peer_port6 = 0, relay_port6 = 0;
  char relay_ip6[40] = "";
  int type = 0;
  std::unique_ptr<PacketSender> psend;
  std::unique_ptr<PacketReceiver> precv;
  int sent = 0, resent = 0;
  float loss = 0;
  int64_t ack_sum = 0;
  int ack_avg = 50000, bandwidth = 0, window = kPacketMax, sure_wait = 100000;
};

namespace {

std::atomic<int> g_scale{1};

int64_t real_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The connection layer's own clock and waits, scaled apart from the registration's so that
// tests can shorten the setup time-outs while punching keeps its real pace, or the reverse.
int64_t now_ms() { return real_us() / 1000 * g_scale.load() + 1; }
int64_t now_s() { return now_ms() / 1000; }
int scaled_ms(int ms) { return std::max(1, ms / g_scale.load()); }

void copy_text(char* dst, size_t cap, const char* src) { snprintf(dst, cap, "%s", src ? src : ""); }

// A NUL-bounded text inside a fixed field of a received datagram.
void field_text(const unsigned char* d, int n, int off, int size, char* out, size_t cap) {
  out[0] = '\0';
  if (off >= n) return;
  int room = std::min(size, n - off);
  size_t len = strnlen(reinterpret_cast<const char*>(d + off), static_cast<size_t>(room));
  if (len >= cap) len = cap - 1;
  memcpy(out, d + off, len);
  out[len] = '\0';
}

void put_text(unsigned char* d, int off, int size, const char* s) {
  size_t n = strnlen(s, static_cast<size_t>(size - 1));
  memcpy(d + off, s, n);
}

template <typename T>
T cb(VvInstance& in, vv_nat_cb vv_nat_callbacks::*slot) {
  std::lock_guard<std::mutex> lock(in.mu);
  return reinterpret_cast<T>(in.st.callbacks.*slot);
}

void on_disconnect(VvInstance& in, int conn_id, int reason) {
  if (auto f = cb<vv_on_disconnect_fn>(in, &vv_nat_callbacks::OnDisconnect)) f(conn_id, reason);
}

std::mt19937& rng() {
  thread_local std::mt19937 r(static_cast<uint32_t>(real_us()) ^
                              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&r)));
  return r;
}

// Splits a comma list into at most kMaxList entries (the rest is ignored).
int split_list(const char* list, char out[kMaxList][64]) {
  int n = 0;
  const char* p = list;
  while (*p && n < kMaxList) {
    const char* e = strchr(p, ',');
    size_t len = e ? static_cast<size_t>(e - p) : strlen(p);
    if (len > 0 && len < 64) {
      memcpy(out[n], p, len);
      out[n][len] = '\0';
      ++n;
    }
    if (!e) break;
    p = e + 1;
  }
  return n;
}

bool in_list(const char* list, const char* ip) {
  char items[kMaxList][64];
  int n = split_list(list, items);
  for (int i = 0; i < n; ++i)
    if (strcmp(items[i], ip) == 0) return true;
  return false;
}

// ---------------------------------------------------------------------------------------
// Path sends.

int path_send(VvConnRec& r, const void* d, int len) {
  std::lock_guard<std::recursive_mutex> lock(r.m);
  if (!r.connected.load()) return 0;
  if (r.via_relay.load()) {
    if (r.peer_family == 1) return SendToA6(r.relay_sock, d, len, &r.peer_addr6);
    return SendToA(r.relay_sock, d, len, &r.peer_addr);
  }
  if (r.peer_family == 1) return SendToA6(r.sock6, d, len, &r.peer_addr6);
  return SendToA(r.sock, d, len, &r.peer_addr);
}

void send_heartbeat(VvInstance& in, VvConnRec& r) {
  unsigned char d[kPeerHbSize] = {};
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    vv_put16(d, VV_MAGIC);
    vv_put16(d + 2, VV_MSG_PEER_HB);
    vv_put32(d + 4, static_cast<uint32_t>(r.wave++));
    vv_put32(d + 8, VV_NAT_VERSION);
    vv_put32(d + 12, 1);
    r.last_hb = now_s();
    r.unanswered += 1;
  }
  path_send(r, d, sizeof(d));
  vv_log(in, 2, "conn_id:%d --->send heartbeat to peer-> snum:%d BYTE:%d\n", r.index + 1,
         static_cast<int>(vv_get32(d + 4)), kPeerHbSize);
}

// ---------------------------------------------------------------------------------------
// Release.

void close_rec(VvInstance& in, VvConnRec& r) {
  vv_log(in, 2, "conn_id:%d ================> vv_nat_close\n", r.index + 1);
  bool plain;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (!r.in_use.load() && !r.connected.load()) return;
    bool close_msg = in.flags.index == 1 ? r.type != 1 : r.type == 0;
    plain = r.connected.load() && close_msg && r.vdt.load() == 0;
  }
  if (plain) {
    unsigned char d[kCloseSize] = {};
    vv_put16(d, VV_MAGIC);
    vv_put16(d + 2, VV_MSG_CLOSE);
    path_send(r, d, sizeof(d));
    vv_log(in, 2, "conn_id:%d --->send close message!\n", r.index + 1);
  }
  std::lock_guard<std::recursive_mutex> lock(r.m);
  r.in_use = 0;
  r.connected = 0;
  r.ready = 0;
  r.wave = 0;
  r.mapped_port = 0;
  r.relay_port = 0;
  r.relay_registered = 0;
  r.via_relay = 0;
  r.req_state = 0;
  r.reconnects = 0;
  r.requests = 0;
  r.relay_port6 = 0;
  if (r.psend) r.psend->id = 0;
  if (r.precv) r.precv->id = 0;
  std::lock_guard<std::mutex> st(in.mu);
  in.st.conns[r.index].established = 0;
}

void fail(VvInstance& in, VvConnRec& r, int reason, bool report = true) {
  close_rec(in, r);
  if (report) on_disconnect(in, r.index + 1, reason);
}

// ---------------------------------------------------------------------------------------
// Allocation.

void conn_thread(VvInstance* in, int index);

int draw_port(VvInstance& in) {
  uint16_t lo, hi, base;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    lo = in.st.port_lo;
    hi = in.st.port_hi;
    base = in.st.port;
  }
  double u = static_cast<double>(rng()() & 0x7FFFFFFF) / 2147483648.0;
  if (lo && hi) {
    int a = std::min(lo, hi), b = std::max(lo, hi);
    return a + static_cast<int>(u * (b - a));
  }
  return static_cast<uint16_t>(base + 1 + static_cast<int>(u * 299.0));
}

void nat64_or(const char* ip4, uint16_t port, const char* alt, uint16_t alt_port, char* out,
              uint16_t* out_port) {
  char t[40];
  if (ip4[0] && ipv4_to_nat64(ip4, t, sizeof(t))) {
    copy_text(out, 40, t);
    *out_port = port;
  } else {
    copy_text(out, 40, alt);
    *out_port = alt[0] ? alt_port : 0;
  }
}

// Copies the peer's side of a connection message into the record (under r.m).
void take_peer_info(VvConnRec& r, const unsigned char* d, int n) {
  field_text(d, n, 208, 16, r.peer_mapped_ip, sizeof(r.peer_mapped_ip));
  r.peer_mapped_port = vv_get16(d + 224);
  r.peer_local_port = vv_get16(d + 226);
  field_text(d, n, 228, 100, r.peer_local_ips, sizeof(r.peer_local_ips));
  field_text(d, n, 332, 16, r.relay_ip, sizeof(r.relay_ip));
  r.relay_port = vv_get16(d + 348);
  r.peer_version = static_cast<int>(vv_get32(d + 356));
  r.peer_nat = static_cast<int>(vv_get32(d + 360));
  r.peer_result = static_cast<int>(vv_get32(d + 464));
  char ip6[40], rip6[40];
  field_text(d, n, 504, 40, ip6, sizeof(ip6));
  field_text(d, n, 548, 40, rip6, sizeof(rip6));
  nat64_or(r.peer_mapped_ip, r.peer_mapped_port, ip6, vv_get16(d + 544), r.peer_ip6, &r.peer_port6);
  nat64_or(r.relay_ip, r.relay_port, rip6, vv_get16(d + 546), r.relay_ip6, &r.relay_port6);
}

// nullptr when no record is free; *no_socket set when one was taken but got no IPv4 socket
// (it is released again).
VvConnRec* new_conn(VvInstance& in, const char* id, int peer_msgid, int type, const char* passwd,
                    const unsigned char* request, int reqlen, bool* no_socket) {
  *no_socket = false;
  vv_log(in, 2, "New connection, peer---> %s:%d\n", id, peer_msgid);
  std::lock_guard<std::mutex> table(in.table_mu);
  int limit = VV_MAX_CONNS;
  if (in.flags.has_maxconn) {
    std::lock_guard<std::mutex> lock(in.mu);
    limit = in.st.maxconn;
  }
  VvConnRec* r = nullptr;
  for (int i = 0; i < limit && !r; ++i) {
    VvConnRec& c = in.recs[i];
    std::lock_guard<std::recursive_mutex> lock(c.m);
    if (!c.in_use.load() && c.sock <= 0 && c.sock6 <= 0 && c.relay_sock <= 0 && c.vdt.load() == 0)
      r = &c;
  }
  if (!r) return nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(r->m);
    r->initiator = peer_msgid == 0;
    copy_text(r->peer_id, sizeof(r->peer_id), id);
    r->peer_msgid = peer_msgid;
    r->mapped_port = 0;
    r->mapped_ip[0] = '\0';
    r->type = type;
    r->sent = r->resent = 0;
    r->loss = 0;
    r->ack_sum = 0;
    r->ack_avg = 50000;
    r->window = kPacketMax;
    r->sure_wait = 100000;
    r->peer_version = 0;
    r->peer_result = 0;
    r->extra[0] = '\0';
    r->frame = vv_frame_state{};
    r->peer_family = -1;
    r->wave = 0;
    r->last_wave_ms = 0;
    r->last_register = 0;
    r->relay_registered = 0;
    r->relay_port = 0;
    r->relay_port6 = 0;
    r->relay_ip[0] = r->relay_ip6[0] = '\0';
    r->peer_ip6[0] = '\0';
    r->peer_port6 = 0;
    r->peer_mapped_ip[0] = r->peer_local_ips[0] = '\0';
    r->peer_mapped_port = r->peer_local_port = 0;
    r->unanswered = 0;
    r->peer_hb_seen = 0;
    r->handover_at = 0;
    r->requests = 0;
    r->reconnects = 0;
    r->dest_type = 0;
    r->req_state = 0;
    r->via_relay = 0;
    r->passwd[0] = '\0';
    if (passwd && *passwd) vv_Md5String(passwd, static_cast<int>(strlen(passwd)), r->passwd);
    {
      std::lock_guard<std::mutex> lock(in.mu);
      int serial = in.st.random_id + 1;
      if (serial <= 0) serial = 1;
      in.st.random_id = serial;
      r->msg_id = serial;
    }
    if (request) take_peer_info(*r, request, reqlen);
    int ipv6svr;
    {
      std::lock_guard<std::mutex> lock(in.mu);
      ipv6svr = in.st.ipv6svr;
    }
    for (int i = 0; i < 100 && r->sock <= 0; ++i) {
      int p = draw_port(in);
      int s6 = UdpListen6(static_cast<unsigned short>(p));
      int s4 = UdpListen(static_cast<unsigned short>(p));
      if (s4 > 0) {
        r->sock = s4;
        r->sock6 = s6 > 0 ? s6 : 0;
        r->local_port = static_cast<uint16_t>(p);
      } else if (s6 > 0) {
        CloseSocket(&s6);
      }
    }
    for (int i = 0; i < 100 && r->sock > 0 && r->relay_sock <= 0; ++i) {
      int p = draw_port(in);
      int s = ipv6svr ? UdpListen6(static_cast<unsigned short>(p)) : UdpListen(static_cast<unsigned short>(p));
      if (s > 0) r->relay_sock = s;
    }
    if (r->sock <= 0) {
      // Without its socket the record could never connect: release it at once.
      r->sock = 0;
      r->relay_sock = 0;
      *no_socket = true;
      return r;
    }
    for (int s : {r->sock, r->sock6, r->relay_sock})
      if (s > 0) SetNonBlock(s);
    r->in_use = 1;
    {
      std::lock_guard<std::mutex> lock(in.mu);
      in.st.conns[r->index] = vv_nat_conn{};
    }
  }
  if (!r->th.joinable()) r->th = std::thread(conn_thread, &in, r->index);
  return r;
}

// ---------------------------------------------------------------------------------------
// Connection messages.

void send_refusal(VvInstance& in, const unsigned char* req, int n, int result) {
  unsigned char d[kConnMsgSize] = {};
  char requester[100];
  field_text(req, n, 8, 100, requester, sizeof(requester));
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_CONN_REQ);
  vv_put32(d + 4, 1);
  {
    std::lock_guard<std::mutex> lock(in.mu);
    put_text(d, 8, 100, in.st.uuid);
    vv_put32(d + 360, static_cast<uint32_t>(in.st.nattype));
  }
  put_text(d, 108, 100, requester);
  put_text(d, 208, 16, "127.0.0.1");
  vv_put16(d + 224, 1);
  vv_put16(d + 226, 1);
  put_text(d, 228, 100, "127.0.0.1");
  vv_put32(d + 328, vv_get32(req + 4));
  d[351] = req[351];
  vv_put32(d + 352, static_cast<uint32_t>(time(nullptr)));
  vv_put32(d + 356, VV_NAT_VERSION);
  vv_put32(d + 464, static_cast<uint32_t>(result));
  vv_send_to_server(in, d, sizeof(d));
  vv_log(in, 2, "Send connection response---> uuid:%s:%d ret:%d\n", requester,
         static_cast<int>(vv_get32(req + 4)), result);
}

void on_conn_message(VvInstance& in, const unsigned char* d, int n, const sockaddr*, int) {
  if (n < kConnMsgSize || !in.recs) return;
  int src_msgid = static_cast<int>(vv_get32(d + 4));
  int dest_msgid = static_cast<int>(vv_get32(d + 328));
  char src_id[100];
  field_text(d, n, 8, 100, src_id, sizeof(src_id));
  vv_log(in, 2, "Received connection message! msgid:%d src:%s dest_msgid:%d\n", src_msgid, src_id,
         dest_msgid);
  if (dest_msgid != 0) {
    for (int i = 0; i < VV_MAX_CONNS; ++i) {
      VvConnRec& r = in.recs[i];
      std::unique_lock<std::recursive_mutex> lock(r.m);
      if (!r.in_use.load() || r.msg_id != dest_msgid || strcmp(r.peer_id, src_id) != 0) continue;
      r.peer_msgid = src_msgid;
      take_peer_info(r, d, n);
      uint16_t port = r.local_port;
      lock.unlock();
      vv_log(in, 2, "conn_id:%d --->Received connection respone\n", i + 1);
      // Wakes the record's thread out of its wait at once.
      int main_sock;
      {
        std::lock_guard<std::mutex> st(in.mu);
        main_sock = in.st.sock;
      }
      sockaddr_in lo;
      vv_ip4_of("127.0.0.1", port, &lo);
      if (main_sock > 0) SendToA(main_sock, "OK", 2, &lo);
      return;
    }
    return;
  }
  int pwcheck;
  char pw[33];
  {
    std::lock_guard<std::mutex> lock(in.mu);
    pwcheck = in.st.pwcheck;
    memcpy(pw, in.st.passwd_md5, sizeof(pw));
  }
  if (pwcheck == 0) {
    vv_log(in, 2, "Server refused!\n");
    send_refusal(in, d, n, -2);
    return;
  }
  char their_pw[36];
  field_text(d, n, 468, 36, their_pw, sizeof(their_pw));
  if (pw[0] && strcmp(pw, their_pw) != 0) {
    vv_log(in, 2, "Incorrect password!\n");
    send_refusal(in, d, n, -1);
    return;
  }
  for (int i = 0; i < VV_MAX_CONNS; ++i) {
    VvConnRec& r = in.recs[i];
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (r.in_use.load() && r.peer_msgid.load() == src_msgid && strcmp(r.peer_id, src_id) == 0) {
      vv_log(in, 2, "conn_id:%d --->Received repetitive connection requestion\n", i + 1);
      r.req_state = 0;
      return;
    }
  }
  bool no_socket = false;
  VvConnRec* r = new_conn(in, src_id, src_msgid, d[351], nullptr, d, n, &no_socket);
  if (!r || no_socket) {
    vv_log(in, 2, "Unable to create more connections!\n");
    send_refusal(in, d, n, -3);
    return;
  }
  vv_log(in, 2, "conn_id:%d --->Received connection request---> Src:%s:%d\n", r->index + 1, src_id,
         src_msgid);
}

void on_conn_result(VvInstance& in, const unsigned char* d, int n) {
  if (n < 12 || !in.recs) return;
  int msgid = static_cast<int>(vv_get32(d + 4));
  int result = static_cast<int>(vv_get32(d + 8));
  for (int i = 0; i < VV_MAX_CONNS; ++i) {
    VvConnRec& r = in.recs[i];
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (r.msg_id != msgid) continue;
    r.req_state = result;
    vv_log(in, 2, "conn_id:%d --->Received server's respone of connection request---> ret:%d\n",
           i + 1, result);
    return;
  }
}

void send_request(VvInstance& in, VvConnRec& r) {
  unsigned char d[kConnMsgSize] = {};
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_CONN_REQ);
  char local_ips[101] = "";
  Get_local_ips(local_ips, 100);
  int s4, s6;
  bool v6;
  sockaddr_in a4;
  sockaddr_in6 a6;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    put_text(d, 8, 100, in.st.uuid);
    vv_put32(d + 360, static_cast<uint32_t>(in.st.nattype));
    put_text(d, 364, 100, in.st.pubip_list);
    if (!in.st.ipv6svr && in.st.own_ip6[0]) put_text(d, 504, 40, in.st.own_ip6);
    v6 = in.st.ipv6svr != 0;
    a4 = in.st.sel_addr4;
    a6 = in.st.sel_addr6;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    vv_put32(d + 4, static_cast<uint32_t>(r.msg_id));
    put_text(d, 108, 100, r.peer_id);
    put_text(d, 208, 16, r.mapped_ip);
    vv_put16(d + 224, r.mapped_port);
    vv_put16(d + 226, r.local_port);
    put_text(d, 228, 100, local_ips);
    vv_put32(d + 328, static_cast<uint32_t>(r.peer_msgid.load()));
    if (r.relay_port) {
      put_text(d, 332, 16, r.relay_ip);
      vv_put16(d + 348, r.relay_port);
    }
    if (r.relay_port6) {
      put_text(d, 548, 40, r.relay_ip6);
      vv_put16(d + 546, r.relay_port6);
    }
    d[351] = static_cast<unsigned char>(r.type);
    vv_put32(d + 352, static_cast<uint32_t>(time(nullptr)));
    vv_put32(d + 356, VV_NAT_VERSION);
    put_text(d, 468, 36, r.passwd);
    if (d[504]) vv_put16(d + 544, r.local_port);
    s4 = r.sock;
    s6 = r.sock6;
  }
  if (v6)
    SendToA6(s6, d, sizeof(d), &a6);
  else
    SendToA(s4, d, sizeof(d), &a4);
  vv_log(in, 2, "conn_id:%d --->Send connection request---> dest:%s\n", r.index + 1,
         reinterpret_cast<const char*>(d + 108));
}

// ---------------------------------------------------------------------------------------
// Tunnel.

void create_tunnel(VvInstance& in, VvConnRec& r, const sockaddr* addr, int addrlen, int via_relay,
                   int dtype) {
  int conn_id = r.index + 1;
  char text[64] = "";
  unsigned short port = 0;
  int type, version;
  bool initiator;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (r.connected.load()) return;
    r.connected = 1;
    r.via_relay = via_relay;
    r.unanswered = 0;
    r.dest_type = dtype;
    sockaddr_tran(addr, addrlen, text, sizeof(text), &port);
    if (addrlen == static_cast<int>(sizeof(sockaddr_in))) {
      r.peer_family = 0;
      memcpy(&r.peer_addr, addr, sizeof(r.peer_addr));
    } else {
      r.peer_family = 1;
      memcpy(&r.peer_addr6, addr, sizeof(r.peer_addr6));
    }
    type = r.type;
    version = r.peer_version;
    initiator = r.initiator != 0;
    if (!via_relay && r.relay_registered) {
      unsigned char d[kRelaySize] = {};
      vv_put16(d, VV_MAGIC);
      vv_put16(d + 2, VV_MSG_RELAY_REPLY2);
      {
        std::lock_guard<std::mutex> st(in.mu);
        put_text(d, 4, 100, in.st.uuid);
      }
      vv_put32(d + 104, static_cast<uint32_t>(r.msg_id));
      put_text(d, 108, 100, r.peer_id);
      vv_put32(d + 208, static_cast<uint32_t>(r.peer_msgid.load()));
      sockaddr_in ra;
      if (vv_ip4_of(r.relay_ip, r.relay_port, &ra)) SendToA(r.relay_sock, d, sizeof(d), &ra);
    }
    std::lock_guard<std::mutex> st(in.mu);
    vv_nat_conn& pub = in.st.conns[r.index];
    pub.established = 1;
    pub.relayed = via_relay;
    pub.via_ipv6 = r.peer_family == 1;
    copy_text(pub.peer_ip4, sizeof(pub.peer_ip4), r.peer_family == 0 ? text : "");
    pub.peer_port4 = r.peer_family == 0 ? port : 0;
    copy_text(pub.peer_ip6, sizeof(pub.peer_ip6), r.peer_family == 1 ? text : "");
    pub.peer_port6 = r.peer_family == 1 ? port : 0;
    pub.peer_nattype = r.peer_nat;
    pub.peer_version = r.peer_version;
    pub.dest_type = dtype;
  }
  vv_log(in, 2, "conn_id:%d --->p2p tunnel created, peer address---> %s|%d proxy:%d dest_type:%d\n",
         conn_id, text, port, via_relay, dtype);
  send_heartbeat(in, r);
  if (type == 0 && version >= 36) {
    vdt_init();
    int s, snd, rcv;
    char uuid[100];
    {
      std::lock_guard<std::mutex> st(in.mu);
      snd = in.st.vdt_sndbuf;
      rcv = in.st.vdt_rcvbuf;
      memcpy(uuid, in.st.uuid, sizeof(uuid));
    }
    int id;
    {
      std::lock_guard<std::recursive_mutex> lock(r.m);
      if (via_relay) {
        s = r.relay_sock;
        r.relay_sock = 0;
        CloseSocket(&r.sock);
        CloseSocket(&r.sock6);
      } else if (r.peer_family == 0) {
        s = r.sock;
        r.sock = 0;
        CloseSocket(&r.relay_sock);
        CloseSocket(&r.sock6);
      } else {
        s = r.sock6;
        r.sock6 = 0;
        CloseSocket(&r.relay_sock);
        CloseSocket(&r.sock);
      }
      SetBlock(s);
      id = vdt_create(s, snd, rcv);
      if (id > 0) {
        vdt_set_uuid(id, r.msg_id, uuid);
        if (r.peer_family == 1)
          vdt_set_destaddr6(id, text, port);
        else
          vdt_set_destaddr(id, text, port);
        r.vdt = id;
        r.frame = vv_frame_state{};
        std::lock_guard<std::mutex> st(in.mu);
        in.st.conns[r.index].vdt_id = id;
      }
    }
    if (id <= 0) {
      CloseSocket(&s);  // vdt did not take it
      fail(in, r, VV_DISC_VDT_FAILED);
      return;
    }
  } else if (type == 0) {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (!r.psend) r.psend = std::make_unique<PacketSender>();
    if (!r.precv) r.precv = std::make_unique<PacketReceiver>();
  } else if (type == 1 && !initiator) {
    if (cb<vv_on_socket_fn>(in, &vv_nat_callbacks::OnSocket)) {
      // Not at once: the peer may still be punching, and with the socket gone its hellos
      // would go unanswered. The thread hands it over (hand_over).
      std::lock_guard<std::recursive_mutex> lock(r.m);
      r.handover_at = now_ms() + 21 * 500;
      return;
    }
  }
  r.ready = 1;
  if (in.flags.index == 2 && type != 0) return;
  if (auto f = cb<vv_on_connect_fn>(in, &vv_nat_callbacks::OnConnect)) f(conn_id);
}

// The socket of an accepted socket connection goes to OnSocket and the record is closed.
void hand_over(VvInstance& in, VvConnRec& r) {
  int s;
  char text[64] = "";
  unsigned short port = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    r.handover_at = 0;
    if (r.via_relay.load()) {
      s = r.relay_sock;
      r.relay_sock = 0;
    } else {
      s = r.sock;
      r.sock = 0;
    }
    sockaddr_tran(reinterpret_cast<const sockaddr*>(&r.peer_addr), sizeof(r.peer_addr), text, sizeof(text),
                  &port);
  }
  vv_log(in, 2, "conn_id:%d ============>callback result sock : %d IP:%s Port:%d\n", r.index + 1, s, text,
         port);
  close_rec(in, r);
  if (auto on_socket = cb<vv_on_socket_fn>(in, &vv_nat_callbacks::OnSocket)) on_socket(s, text, port);
}

// ---------------------------------------------------------------------------------------
// Packet mode.

int frag_len(const unsigned char* f) {
  int count = f[6], index = f[7];
  if (index >= count) return kFragHead;
  uint32_t total = vv_get32(f + 16);
  if (index + 1 < count) return kFragHead + kFragData;
  int rem = static_cast<int>(total % kFragData);
  return kFragHead + (rem == 0 ? kFragData : rem);
}

void tea_fragment(unsigned char* f, int len, bool enc, int inst) {
  unsigned char keyb[16];
  memcpy(keyb, f, 16);
  keyb[13] = 0;
  uint32_t k[4];
  for (int i = 0; i < 4; ++i) k[i] = vv_get32(keyb + 4 * i);
  for (int off = kFragHead; off + 8 <= len; off += 8) {
    uint32_t v[2] = {vv_get32(f + off), vv_get32(f + off + 4)};
    if (inst == 1)
      enc ? tea_encrypt(v, k) : tea_decrypt(v, k);
    else
      enc ? vv2_tea_encrypt(v, k) : vv2_tea_decrypt(v, k);
    vv_put32(f + off, v[0]);
    vv_put32(f + off + 4, v[1]);
  }
}

int send_fragment(VvInstance& in, VvConnRec& r, unsigned char* f) {
  int len = frag_len(f);
  if (f[13] >= 100) return -1;
  f[13] = static_cast<unsigned char>(f[13] + 1);
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    r.sent += 1;
  }
  vv_log(in, 1, "conn_id:%d --->Send packet data, No.:%d len: %d times:%d\n", r.index + 1, f[7], len,
         f[13]);
  return path_send(r, f, len);
}

int deliver_packet(VvInstance& in, VvConnRec& r) {
  PacketReceiver& p = *r.precv;
  if (p.delivered) return 0;
  int conn_id = r.index + 1;
  if (p.a == 0) {
    if (auto f = cb<vv_on_recv_fn>(in, &vv_nat_callbacks::OnRecv)) f(conn_id, p.data, static_cast<int>(p.total));
  } else if (auto f = cb<vv_on_recv_frame_fn>(in, &vv_nat_callbacks::OnRecvFrame)) {
    if (f(conn_id, p.a, p.b, p.data, static_cast<int>(p.total)) < 0) return -1;
  }
  p.delivered = 1;
  return 0;
}

bool packet_complete(const PacketReceiver& p) {
  for (int i = 0; i < p.count; ++i)
    if (!(p.bitmap & (0x80u >> i))) return false;
  return p.count > 0;
}

void reply_on(VvConnRec& r, const void* d, int len, int via) {
  // via: 0 IPv4 socket, 1 IPv6 socket, 2 relay socket
  if (via == 2) {
    if (r.peer_family == 1)
      SendToA6(r.relay_sock, d, len, &r.peer_addr6);
    else
      SendToA(r.relay_sock, d, len, &r.peer_addr);
  } else if (via == 1) {
    SendToA6(r.sock6, d, len, &r.peer_addr6);
  } else {
    SendToA(r.sock, d, len, &r.peer_addr);
  }
}

void on_fragment(VvInstance& in, VvConnRec& r, unsigned char* d, int n, int via) {
  if (n < kFragHead || !r.precv) return;
  PacketReceiver& p = *r.precv;
  r.unanswered = 0;
  uint16_t id = vv_get16(d + 4);
  int count = d[6], index = d[7];
  uint32_t total = vv_get32(d + 16);
  // Packets that cannot fit the receiver's eight slots are dropped.
  if (count < 1 || count > kFragMax || total > kPacketMax ||
      static_cast<int>((total + kFragData - 1) / kFragData) != count)
    return;
  if (id != p.id) {
    p.id = id;
    p.count = count;
    p.a = vv_get16(d + 8);
    p.b = vv_get16(d + 10);
    p.total = total;
    p.delivered = 0;
    p.bitmap = 0;
  }
  if (index < count) {
    if (count != p.count || total != p.total) return;
    int dl = n - kFragHead;
    int want = index + 1 < count ? kFragData : static_cast<int>(total - static_cast<uint32_t>(index) * kFragData);
    if (dl != want) return;
    if (d[14]) {
      d[13] = 0;
      tea_fragment(d, n, false, in.flags.index);
    }
    memcpy(p.data + index * kFragData, d + kFragHead, static_cast<size_t>(dl));
    p.bitmap |= 0x80u >> index;
    if (!d[12] && packet_complete(p)) deliver_packet(in, r);
    return;
  }
  if (packet_complete(p) && deliver_packet(in, r) < 0) return;
  unsigned char a[kAckSize] = {};
  vv_put16(a, VV_MAGIC);
  vv_put16(a + 2, VV_MSG_FRAGMENT_ACK);
  vv_put16(a + 4, id);
  a[6] = static_cast<unsigned char>(count);
  a[7] = d[13];
  a[8] = static_cast<unsigned char>(p.bitmap);
  reply_on(r, a, sizeof(a), via);
}

void on_fragment_ack(VvInstance& in, VvConnRec& r, const unsigned char* d, int n) {
  if (n < kAckSize || !r.psend) return;
  PacketSender& s = *r.psend;
  if (vv_get16(d + 4) != s.id || s.acked.load()) return;
  int count = std::min<int>(d[6], s.count);
  unsigned bitmap = d[8];
  bool any = false;
  for (int i = 0; i < count; ++i) {
    if (bitmap & (0x80u >> i)) continue;
    r.resent += 1;
    send_fragment(in, r, s.slot[i]);
    any = true;
  }
  if (any) {
    unsigned char q[kFragHead];
    memcpy(q, s.slot[0], kFragHead);
    q[7] = static_cast<unsigned char>(s.count);
    q[12] = 1;
    q[13] = d[7];  // send count of the answered request, made one higher by the send
    q[14] = 0;
    send_fragment(in, r, q);
    return;
  }
  int64_t elapsed = real_us() - s.sent_us;
  if (elapsed <= 0) elapsed = 1000;
  r.ack_sum += elapsed;
  r.loss = r.sent > 0 ? static_cast<float>(r.resent) / static_cast<float>(r.sent) : 0.f;
  int64_t avg = r.sent > 0 ? r.ack_sum / r.sent : elapsed;
  if (avg <= 0) avg = 1;
  r.ack_avg = static_cast<int>(avg);
  int64_t cur = s.count > 0 ? elapsed / s.count : elapsed;
  r.sure_wait = static_cast<int>((r.loss + 1) * static_cast<int>((cur + avg) / 2));
  r.bandwidth = static_cast<int>((1000000 / avg * 1300 / 1024) * (1 - r.loss));
  r.window = r.bandwidth >= 1025 ? 7800 : (r.bandwidth >= 257 ? 6500 : 5200);
  {
    std::lock_guard<std::mutex> st(in.mu);
    in.st.conns[r.index].loss = r.loss;
    in.st.conns[r.index].bandwidth = r.bandwidth;
  }
  s.acked = 1;
}

// ---------------------------------------------------------------------------------------
// Peer messages.

bool same_addr(const sockaddr* a, int alen, const sockaddr* b, int blen) {
  if (alen != blen) return false;
  if (alen == static_cast<int>(sizeof(sockaddr_in))) {
    auto x = reinterpret_cast<const sockaddr_in*>(a), y = reinterpret_cast<const sockaddr_in*>(b);
    return x->sin_addr.s_addr == y->sin_addr.s_addr && x->sin_port == y->sin_port;
  }
  auto x = reinterpret_cast<const sockaddr_in6*>(a), y = reinterpret_cast<const sockaddr_in6*>(b);
  return memcmp(&x->sin6_addr, &y->sin6_addr, 16) == 0 && x->sin6_port == y->sin6_port;
}

// A sender the peer may use: one of its addresses (any port), or the relay.
bool is_candidate(const VvConnRec& r, const sockaddr* from, int fromlen, int from_relay) {
  if (from_relay) return true;  // the relay socket only hears the relay: checked by the caller
  if (fromlen == static_cast<int>(sizeof(sockaddr_in))) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(from)->sin_addr, ip, sizeof(ip));
    if (strcmp(ip, "127.0.0.1") == 0) return false;
    return strcmp(ip, r.peer_mapped_ip) == 0 || in_list(r.peer_local_ips, ip);
  }
  if (!r.peer_ip6[0]) return false;
  in6_addr a;
  return inet_pton(AF_INET6, r.peer_ip6, &a) == 1 &&
         memcmp(&a, &reinterpret_cast<const sockaddr_in6*>(from)->sin6_addr, 16) == 0;
}

bool from_server(VvInstance& in, const sockaddr* from, int fromlen) {
  std::lock_guard<std::mutex> lock(in.mu);
  if (fromlen == static_cast<int>(sizeof(sockaddr_in)))
    return same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&in.st.sel_addr4), fromlen);
  return same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&in.st.sel_addr6), fromlen);
}

bool from_relay_server(const VvConnRec& r, const sockaddr* from, int fromlen) {
  if (fromlen == static_cast<int>(sizeof(sockaddr_in))) {
    sockaddr_in ra;
    return r.relay_port && vv_ip4_of(r.relay_ip, r.relay_port, &ra) &&
           same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&ra), fromlen);
  }
  sockaddr_in6 ra6;
  return r.relay_port6 && vv_ip6_of(r.relay_ip6, r.relay_port6, &ra6) &&
         same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&ra6), fromlen);
}

void on_hello(VvInstance& in, VvConnRec& r, unsigned char* d, int n, const sockaddr* from,
              int fromlen, int from_relay) {
  if (n < kHelloSize) return;
  int msgid = static_cast<int>(vv_get32(d + 4));
  char id[100];
  field_text(d, n, 8, 100, id, sizeof(id));
  std::lock_guard<std::recursive_mutex> lock(r.m);
  if (strcmp(id, r.peer_id) != 0) return;
  if (r.peer_msgid.load() && r.peer_msgid.load() != msgid) return;
  if (!is_candidate(r, from, fromlen, from_relay)) return;
  if (!r.peer_msgid.load()) {
    r.peer_msgid = msgid;
    r.req_state = 1;
  }
  {
    char t[64] = "";
    unsigned short p = 0;
    sockaddr_tran(from, fromlen, t, sizeof(t), &p);
    vv_log(in, 2, "conn_id:%d --->Received hello message from peer---> %s|%d from_proxy:%d\n",
           r.index + 1, t, p, from_relay);
  }
  vv_put16(d + 2, VV_MSG_HELLO_REPLY);
  vv_put32(d + 4, static_cast<uint32_t>(r.msg_id));
  memset(d + 8, 0, 100);
  {
    std::lock_guard<std::mutex> st(in.mu);
    put_text(d, 8, 100, in.st.uuid);
  }
  vv_put32(d + 112, VV_NAT_VERSION);
  vv_put32(d + 116, 0);
  bool v4 = fromlen == static_cast<int>(sizeof(sockaddr_in));
  int s = from_relay ? r.relay_sock : (v4 ? r.sock : r.sock6);
  if (v4)
    SendToA(s, d, n, reinterpret_cast<const sockaddr_in*>(from));
  else
    SendToA6(s, d, n, reinterpret_cast<const sockaddr_in6*>(from));
  if (!v4 || from_relay) return;
  char ip[INET_ADDRSTRLEN];
  auto f4 = reinterpret_cast<const sockaddr_in*>(from);
  inet_ntop(AF_INET, &f4->sin_addr, ip, sizeof(ip));
  int port = ntohs(f4->sin_port);
  char entry[40];
  snprintf(entry, sizeof(entry), "%s:%d", ip, port);
  if (in_list(r.peer_local_ips, ip)) return;
  if (strcmp(ip, r.peer_mapped_ip) == 0 && port == r.peer_mapped_port) return;
  if (strcmp(ip, r.relay_ip) == 0 && port == r.relay_port) return;
  if (strstr(r.extra, entry)) return;
  if (strlen(r.extra) + strlen(entry) + 1 > 98) return;
  strcat(r.extra, entry);
  strcat(r.extra, ",");
  vv_log(in, 2, "conn_id:%d --->append hello address==> [%s]\n", r.index + 1, entry);
}

void on_hello_reply(VvInstance& in, VvConnRec& r, const unsigned char* d, int n,
                    const sockaddr* from, int fromlen, int from_relay) {
  if (n < kHelloSize) return;
  int dtype;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (r.connected.load()) return;
    char id[100];
    field_text(d, n, 8, 100, id, sizeof(id));
    if (static_cast<int>(vv_get32(d + 4)) != r.peer_msgid.load() || strcmp(id, r.peer_id) != 0) return;
    if (!is_candidate(r, from, fromlen, from_relay)) return;
    dtype = static_cast<int>(vv_get32(d + 120));
  }
  {
    char t[64] = "";
    unsigned short p = 0;
    sockaddr_tran(from, fromlen, t, sizeof(t), &p);
    vv_log(in, 2, "conn_id:%d --->Received hello message respone from peer---> %s|%d type:%d\n",
           r.index + 1, t, p, dtype);
  }
  create_tunnel(in, r, from, fromlen, from_relay, dtype);
}

void on_peer_heartbeat(VvInstance& in, VvConnRec& r, const unsigned char* d, int n,
                       const sockaddr* from, int fromlen, int from_relay) {
  if (n < kPeerHbSize) return;
  int version;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    // Only the current path or an address of the peer may move the path.
    bool current = r.connected.load() &&
                   (r.peer_family == 0
                        ? same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&r.peer_addr), fromlen)
                        : same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&r.peer_addr6), fromlen));
    if (!current && !is_candidate(r, from, fromlen, from_relay)) return;
    r.unanswered = 0;
    r.peer_hb_seen = 1;
    r.via_relay = from_relay;
    if (vv_get32(d + 12) == 1) r.peer_version = static_cast<int>(vv_get32(d + 8));
    version = r.peer_version;
  }
  if (version <= 66 && version > 0) create_tunnel(in, r, from, fromlen, from_relay, 0);
}

void on_data(VvInstance& in, VvConnRec& r, const unsigned char* d, int n) {
  if (n < kDataHead) return;
  int dtype = vv_get16(d + 4);
  int len = vv_get16(d + 6);
  // The length field is bounded by what arrived.
  if (len > n - kDataHead) len = n - kDataHead;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    r.unanswered = 0;
  }
  if (dtype == 0) {
    if (auto f = cb<vv_on_recv_fn>(in, &vv_nat_callbacks::OnRecv)) f(r.index + 1, d + kDataHead, len);
  } else if (auto f = cb<vv_on_recv_msg_fn>(in, &vv_nat_callbacks::OnRecvMsg)) {
    f(r.index + 1, dtype, d + kDataHead, len);
  }
}

void on_peer_message(VvInstance& in, VvConnRec& r, unsigned char* d, int n, const sockaddr* from,
                     int fromlen, int from_relay) {
  uint16_t id = 0;
  if (!vv_head_ok(d, n, &id)) return;
  int via = from_relay ? 2 : (fromlen == static_cast<int>(sizeof(sockaddr_in)) ? 0 : 1);
  if (from_relay) {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    if (!from_relay_server(r, from, fromlen)) return;
  }
  switch (id) {
    case VV_MSG_MAPPED:
      if (n >= 24 && from_server(in, from, fromlen)) {
        std::lock_guard<std::recursive_mutex> lock(r.m);
        field_text(d, n, 4, 16, r.mapped_ip, sizeof(r.mapped_ip));
        r.mapped_port = vv_get16(d + 20);
      }
      break;
    case VV_MSG_CONN_REQ:
      if (from_server(in, from, fromlen)) on_conn_message(in, d, n, from, fromlen);
      break;
    case VV_MSG_CONN_RESULT:
      if (from_server(in, from, fromlen)) on_conn_result(in, d, n);
      break;
    case VV_MSG_HELLO:
      on_hello(in, r, d, n, from, fromlen, from_relay);
      break;
    case VV_MSG_HELLO_REPLY:
      on_hello_reply(in, r, d, n, from, fromlen, from_relay);
      break;
    case VV_MSG_PEER_HB:
      on_peer_heartbeat(in, r, d, n, from, fromlen, from_relay);
      break;
    case VV_MSG_DATA:
      if (r.connected.load()) on_data(in, r, d, n);
      break;
    case VV_MSG_CLOSE:
      if (r.connected.load()) {
        std::unique_lock<std::recursive_mutex> lock(r.m);
        bool ok = r.peer_family == 0
                      ? same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&r.peer_addr), fromlen)
                      : same_addr(from, fromlen, reinterpret_cast<const sockaddr*>(&r.peer_addr6), fromlen);
        lock.unlock();
        if (!ok) break;
        vv_log(in, 2, "conn_id:%d --->Recevied close message from peer!\n", r.index + 1);
        fail(in, r, VV_DISC_PEER_CLOSE);
      }
      break;
    case VV_MSG_FRAGMENT:
      if (r.connected.load()) {
        std::unique_lock<std::recursive_mutex> lock(r.m);
        on_fragment(in, r, d, n, via);
      }
      break;
    case VV_MSG_FRAGMENT_ACK:
      if (r.connected.load()) {
        std::unique_lock<std::recursive_mutex> lock(r.m);
        on_fragment_ack(in, r, d, n);
      }
      break;
    case VV_MSG_LOGIN_REQ:
      if (n >= kLoginSize && r.connected.load()) {
        char user[33], pw[37];
        field_text(d, n, 4, 32, user, sizeof(user));
        field_text(d, n, 36, 36, pw, sizeof(pw));
        int ret = 1;
        if (auto f = cb<vv_on_login_request_fn>(in, &vv_nat_callbacks::OnLoginRequest))
          ret = f(r.index + 1, user, pw);
        vv_put16(d + 2, VV_MSG_LOGIN_RESULT);
        vv_put32(d + 4, static_cast<uint32_t>(ret));
        std::lock_guard<std::recursive_mutex> lock(r.m);
        reply_on(r, d, kPeerHbSize, via);
      }
      break;
    case VV_MSG_LOGIN_RESULT:
      if (n >= 8 && r.connected.load())
        if (auto f = cb<vv_on_login_result_fn>(in, &vv_nat_callbacks::OnLoginResult))
          f(r.index + 1, static_cast<int>(vv_get32(d + 4)));
      break;
    case VV_MSG_RELAY_REPLY1: {
      std::lock_guard<std::recursive_mutex> lock(r.m);
      if (from_relay) {
        r.relay_registered = 1;
        vv_log(in, 2, "conn_id:%d --->Recevied register success message from relay server\n",
               r.index + 1);
      }
      break;
    }
    default:
      break;
  }
}

// Waits up to ms (scaled) for datagrams on the record's sockets and handles them.
void conn_select(VvInstance& in, VvConnRec& r, int ms) {
  int fds[3];
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    fds[0] = r.sock;
    fds[1] = r.sock6;
    fds[2] = r.relay_sock;
  }
  pollfd p[3];
  int map[3], n = 0;
  for (int i = 0; i < 3; ++i)
    if (fds[i] > 0) {
      p[n] = pollfd{fds[i], POLLIN, 0};
      map[n++] = i;
    }
  if (n == 0) {
    poll(nullptr, 0, std::min(ms, 20));
    return;
  }
  if (poll(p, static_cast<nfds_t>(n), scaled_ms(ms)) <= 0) return;
  for (int k = 0; k < n; ++k) {
    if (!(p[k].revents & POLLIN)) continue;
    for (int burst = 0; burst < 64; ++burst) {
      unsigned char buf[2048];
      sockaddr_storage from{};
      socklen_t fl = sizeof(from);
      ssize_t got = recvfrom(p[k].fd, buf, sizeof(buf), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fl);
      if (got <= 0) break;
      int flen = from.ss_family == AF_INET6 ? 28 : 16;
      on_peer_message(in, r, buf, static_cast<int>(got), reinterpret_cast<sockaddr*>(&from), flen,
                      map[k] == 2);
      if (!r.in_use.load()) return;
      // The handler may have handed the socket to vdt.
      std::lock_guard<std::recursive_mutex> lock(r.m);
      int now_fd = map[k] == 0 ? r.sock : map[k] == 1 ? r.sock6 : r.relay_sock;
      if (now_fd != p[k].fd) break;
    }
  }
}

// Waits like conn_select for up to ms, but goes on waiting after datagrams that did not
// change what the caller waits for (any datagram would otherwise end the wait early).
template <typename Pred>
void wait_for(VvInstance& in, VvConnRec& r, int ms, Pred done) {
  int64_t end = real_us() + static_cast<int64_t>(scaled_ms(ms)) * 1000;
  for (;;) {
    int64_t left = (end - real_us()) / 1000;
    if (left <= 0 || done() || !r.in_use.load() || !in.run.load()) return;
    // conn_select scales its argument: hand it the unscaled remainder.
    int unscaled = static_cast<int>(std::max<int64_t>(1, left * ms / std::max(1, scaled_ms(ms))));
    conn_select(in, r, unscaled);
  }
}

// ---------------------------------------------------------------------------------------
// Punching.

void send_hello(VvInstance& in, VvConnRec& r, int s, const sockaddr* to, int tolen, int dtype, const char* uuid) {
  unsigned char d[kHelloSize] = {};
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_HELLO);
  vv_put32(d + 4, static_cast<uint32_t>(r.msg_id));
  put_text(d, 8, 100, uuid);
  vv_put32(d + 108, static_cast<uint32_t>(r.wave));
  vv_put32(d + 112, VV_NAT_VERSION);
  vv_put32(d + 116, 1);
  vv_put32(d + 120, static_cast<uint32_t>(dtype));
  char text[64] = "";
  unsigned short port = 0;
  sockaddr_tran(to, tolen, text, sizeof(text), &port);
  char at[60];
  snprintf(at, sizeof(at), "%s:%d", text, port);
  put_text(d, 124, 60, at);
  vv_log(in, 2, "conn_id:%d --->Send hello message---> %s type:%d snum:%d sock:%d\n", r.index + 1, at,
         dtype, r.wave, s);
  if (tolen == static_cast<int>(sizeof(sockaddr_in)))
    SendToA(s, d, sizeof(d), reinterpret_cast<const sockaddr_in*>(to));
  else
    SendToA6(s, d, sizeof(d), reinterpret_cast<const sockaddr_in6*>(to));
}

void punch_step(VvInstance& in, VvConnRec& r) {
  int conn_id = r.index + 1;
  char uuid[100];
  int nattype, ipv6svr;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    memcpy(uuid, in.st.uuid, sizeof(uuid));
    nattype = in.st.nattype;
    ipv6svr = in.st.ipv6svr;
  }
  std::unique_lock<std::recursive_mutex> lock(r.m);
  if (r.peer_version >= 50 && r.peer_result < 0) {
    vv_log(in, 2, "conn_id:%d --->peer refused! ret:%d\n", conn_id, r.peer_result);
    lock.unlock();
    fail(in, r, VV_DISC_REFUSED);
    return;
  }
  if (r.wave > 20) {
    vv_log(in, 2, "conn_id:%d --->hello failed, give up\n", conn_id);
    bool report = r.initiator != 0;
    lock.unlock();
    fail(in, r, VV_DISC_HELLO_FAILED, report);
    return;
  }
  int64_t sec = now_s();
  if (!r.relay_registered && r.wave > 1 && r.relay_sock > 0 && sec > r.last_register) {
    unsigned char d[kRelaySize] = {};
    vv_put16(d, VV_MAGIC);
    vv_put16(d + 2, VV_MSG_RELAY_REG);
    put_text(d, 4, 100, uuid);
    vv_put32(d + 104, static_cast<uint32_t>(r.msg_id));
    put_text(d, 108, 100, r.peer_id);
    vv_put32(d + 208, static_cast<uint32_t>(r.peer_msgid.load()));
    if (!ipv6svr && r.relay_port && strcmp(r.relay_ip, "127.0.0.1") != 0) {
      sockaddr_in ra;
      if (vv_ip4_of(r.relay_ip, r.relay_port, &ra)) {
        SendToA(r.relay_sock, d, sizeof(d), &ra);
        r.last_register = sec;
      }
    } else if (ipv6svr && r.relay_port6) {
      sockaddr_in6 ra6;
      if (vv_ip6_of(r.relay_ip6, r.relay_port6, &ra6)) {
        SendToA6(r.relay_sock, d, sizeof(d), &ra6);
        r.last_register = sec;
      }
    }
  }
  int64_t t = now_ms();
  if (r.wave == 0 || t - r.last_wave_ms >= 500) {
    bool only6 = false;
    if (r.peer_port6 && r.wave < 20 && r.sock6 > 0) {
      sockaddr_in6 a6;
      if (vv_ip6_of(r.peer_ip6, r.peer_port6, &a6)) {
        send_hello(in, r, r.sock6, reinterpret_cast<sockaddr*>(&a6), sizeof(a6), 2, uuid);
        only6 = r.wave < 2;
      }
    }
    if (!only6) {
      if (r.wave < 10) {
        char items[kMaxList][64];
        int k = split_list(r.peer_local_ips, items);
        for (int i = 0; i < k; ++i) {
          sockaddr_in a;
          if (strlen(items[i]) > 6 && strcmp(items[i], "127.0.0.1") != 0 &&
              vv_ip4_of(items[i], r.peer_local_port, &a))
            send_hello(in, r, r.sock, reinterpret_cast<sockaddr*>(&a), sizeof(a), 1, uuid);
        }
      }
      if (r.wave < 20 && r.peer_mapped_port) {
        sockaddr_in a;
        uint16_t port = static_cast<uint16_t>(r.peer_mapped_port + (r.wave == 0 && nattype > 2 ? 1 : 0));
        if (strcmp(r.peer_mapped_ip, "127.0.0.1") != 0 && vv_ip4_of(r.peer_mapped_ip, port, &a))
          send_hello(in, r, r.sock, reinterpret_cast<sockaddr*>(&a), sizeof(a), 2, uuid);
        char items[kMaxList][64];
        int k = split_list(r.extra, items);
        for (int i = 0; i < k; ++i) {
          char ip[40];
          unsigned p = 0;
          if (sscanf(items[i], "%39[0-9,.]:%u", ip, &p) == 2 && p <= 65535 &&
              vv_ip4_of(ip, static_cast<uint16_t>(p), &a))
            send_hello(in, r, r.sock, reinterpret_cast<sockaddr*>(&a), sizeof(a), 2, uuid);
        }
      }
      if (r.wave >= 4 && r.relay_registered) {
        if (ipv6svr) {
          sockaddr_in6 a6;
          if (vv_ip6_of(r.relay_ip6, r.relay_port6, &a6))
            send_hello(in, r, r.relay_sock, reinterpret_cast<sockaddr*>(&a6), sizeof(a6), 3, uuid);
        } else {
          sockaddr_in a;
          if (vv_ip4_of(r.relay_ip, r.relay_port, &a))
            send_hello(in, r, r.relay_sock, reinterpret_cast<sockaddr*>(&a), sizeof(a), 3, uuid);
        }
      }
    }
    r.wave += 1;
    r.last_wave_ms = t;
  }
  lock.unlock();
  conn_select(in, r, 200);
}

// ---------------------------------------------------------------------------------------
// Thread.

void vdt_step(VvInstance& in, VvConnRec& r) {
  static thread_local unsigned char buf[65536];
  int id = r.vdt.load();
  int got = vdt_recv(id, buf, sizeof(buf));
  int conn_id = r.index + 1;
  if (got < 0) {
    vv_log(in, 2, "conn_id:%d --->vdt_recv:%d\n", conn_id, got);
    fail(in, r, VV_DISC_PEER_TIMEOUT);
    return;
  }
  if (got == 0) {
    poll(nullptr, 0, 1);
    return;
  }
  uint16_t a, b;
  const unsigned char* data;
  int n;
  int ok;
  {
    std::lock_guard<std::recursive_mutex> lock(r.m);
    ok = vv_frame_feed(&r.frame, buf, got, &a, &b, &data, &n);
  }
  if (ok < 0) {
    vv_log(in, 2, "conn_id:%d --->vdt_recv:%d\n", conn_id, -1);
    fail(in, r, VV_DISC_PEER_TIMEOUT);
    return;
  }
  if (n <= 0) return;
  if (a == 0) {
    if (auto f = cb<vv_on_recv_fn>(in, &vv_nat_callbacks::OnRecv)) f(conn_id, data, n);
    return;
  }
  auto f = cb<vv_on_recv_frame_fn>(in, &vv_nat_callbacks::OnRecvFrame);
  while (f && f(conn_id, a, b, data, n) < 0 && r.in_use.load() && in.run.load())
    poll(nullptr, 0, 1);
}

void setup_step(VvInstance& in, VvConnRec& r) {
  int conn_id = r.index + 1;
  int state = r.req_state.load();
  if (state == 0) {
    send_request(in, r);
    wait_for(in, r, 1000, [&] { return r.req_state.load() != 0; });
    std::unique_lock<std::recursive_mutex> lock(r.m);
    r.requests += 1;
    if (r.requests >= 5 && r.req_state.load() != 1 && r.in_use.load() && !r.connected.load()) {
      vv_log(in, 2, "conn_id:%d --->no server's respone!\n", conn_id);
      bool report = r.peer_msgid.load() == 0;
      lock.unlock();
      fail(in, r, VV_DISC_NO_SERVER, report);
    }
    return;
  }
  if (state < 0) {
    vv_log(in, 2, "conn_id:%d --->peer is offline!\n", conn_id);
    fail(in, r, VV_DISC_OFFLINE, r.peer_msgid.load() == 0);
    return;
  }
  if (r.peer_msgid.load() == 0) {
    wait_for(in, r, 1000, [&] { return r.peer_msgid.load() != 0; });
    if (r.peer_msgid.load() != 0 || !r.in_use.load()) return;
    int limit;
    {
      std::lock_guard<std::mutex> lock(in.mu);
      limit = in.st.reconnect;
    }
    std::unique_lock<std::recursive_mutex> lock(r.m);
    if (r.reconnects < limit) {
      r.req_state = 0;
      r.reconnects += 1;
      r.requests = 0;  // a new request phase gets its own five sends
      vv_log(in, 2, "conn_id:%d --->no peer's respone! try to reconnect %d/%d\n", conn_id,
             r.reconnects, limit);
      return;
    }
    vv_log(in, 2, "conn_id:%d --->no peer's respone!\n", conn_id);
    lock.unlock();
    fail(in, r, VV_DISC_NO_PEER);
    return;
  }
  punch_step(in, r);
}

void conn_thread(VvInstance* inp, int index) {
  VvInstance& in = *inp;
  VvConnRec& r = in.recs[index];
  vv_log(in, 2, "Create thread, conn_id: %d\n", index + 1);
  while (in.run.load()) {
    if (!r.in_use.load()) {
      int id = 0;
      bool taken;
      {
        std::lock_guard<std::recursive_mutex> lock(r.m);
        // A connect may have taken the record again since the check above: its new
        // sockets are not the released record's to close.
        taken = r.in_use.load();
        if (!taken) {
          CloseSocket(&r.sock);
          CloseSocket(&r.sock6);
          CloseSocket(&r.relay_sock);
          id = r.vdt.exchange(0);
        }
      }
      if (id > 0) vdt_close(id);
      if (!taken) poll(nullptr, 0, 20);
      continue;
    }
    if (r.vdt.load() > 0) {
      vdt_step(in, r);
      continue;
    }
    if (r.req_state.load() == 0 || !r.connected.load()) {
      setup_step(in, r);
      continue;
    }
    int64_t now = now_s();
    int64_t last, handover_at;
    int unanswered;
    {
      std::lock_guard<std::recursive_mutex> lock(r.m);
      last = r.last_hb;
      unanswered = r.unanswered;
      handover_at = r.handover_at;
    }
    if (handover_at > 0 && (r.peer_hb_seen.load() || now_ms() >= handover_at)) {
      hand_over(in, r);
      continue;
    }
    if (now >= last + 5 || now < last) {
      send_heartbeat(in, r);
      conn_select(in, r, 200);
    } else if (unanswered < 4) {
      conn_select(in, r, 200);
    } else {
      vv_log(in, 2, "conn_id:%d --->peer timeout!\n", index + 1);
      fail(in, r, VV_DISC_PEER_TIMEOUT);
    }
  }
  std::lock_guard<std::recursive_mutex> lock(r.m);
  CloseSocket(&r.sock);
  CloseSocket(&r.sock6);
  CloseSocket(&r.relay_sock);
  int id = r.vdt.exchange(0);
  if (id > 0) vdt_close(id);
}

void stop_threads(VvInstance& in) {
  if (!in.recs) return;
  for (int i = 0; i < VV_MAX_CONNS; ++i) {
    VvConnRec& r = in.recs[i];
    if (r.th.joinable()) r.th.join();
    std::lock_guard<std::recursive_mutex> lock(r.m);
    r.in_use = 0;
    r.connected = 0;
  }
}

// ---------------------------------------------------------------------------------------
// API bodies.

bool ready(VvInstance& in);

int do_connect(VvInstance& in, const char* id, const char* passwd, int type, int wait) {
  if (!in.recs || !in.run.load() || !id) return -1;
  if (!ready(in)) return -1;
  bool no_socket = false;
  VvConnRec* r = new_conn(in, id, 0, type, passwd, nullptr, 0, &no_socket);
  if (!r) return -2;
  int conn_id = r->index + 1;
  if (no_socket) {
    on_disconnect(in, conn_id, VV_DISC_VDT_FAILED);
    return wait ? 0 : -2;
  }
  if (!wait) return conn_id;
  int timeout;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    timeout = in.st.conn_timeout;
  }
  int64_t start = real_us();
  for (;;) {
    if (r->ready.load() && r->in_use.load()) return conn_id;
    if (!r->in_use.load()) return 0;
    if (timeout > 0 && real_us() - start > static_cast<int64_t>(timeout) * 1000) {
      close_rec(in, *r);
      return -3;
    }
    poll(nullptr, 0, 10);
  }
}

bool ready(VvInstance& in) {
  int status = in.flags.index == 1 ? vv_nat_get_status() : vv2_nat_get_status();
  return status > 0;
}

VvConnRec* rec_of(VvInstance& in, int conn_id) {
  if (conn_id < 1 || conn_id > VV_MAX_CONNS || !in.recs) return nullptr;
  return &in.recs[conn_id - 1];
}

int do_connect_ex(VvInstance& in, const char* id, char* ip, unsigned short* port) {
  if (!in.recs || !in.run.load() || !id || !ready(in)) return -1;
  bool no_socket = false;
  VvConnRec* r = new_conn(in, id, 0, 1, nullptr, nullptr, 0, &no_socket);
  if (!r) return -2;
  if (no_socket) {
    on_disconnect(in, r->index + 1, VV_DISC_VDT_FAILED);
    return 0;
  }
  for (;;) {
    if (!r->in_use.load()) return 0;
    if (r->connected.load()) break;
    poll(nullptr, 0, 100);
  }
  // Our side of the path may be fixed before the peer's: taking the socket at once would leave
  // the peer's hellos unanswered, and it would never fix its side. Keep answering until its
  // first heartbeat shows that it has, for at most as long as the peer keeps punching.
  for (int64_t until = now_ms() + 21 * 500; !r->peer_hb_seen.load() && now_ms() < until;) {
    if (!r->in_use.load()) return 0;
    poll(nullptr, 0, 20);
  }
  int s;
  {
    std::lock_guard<std::recursive_mutex> lock(r->m);
    if (r->via_relay.load()) {
      s = r->relay_sock;
      r->relay_sock = 0;
    } else {
      s = r->sock;
      r->sock = 0;
    }
    if (ip) inet_ntop(AF_INET, &r->peer_addr.sin_addr, ip, 16);
    if (port) *port = ntohs(r->peer_addr.sin_port);
  }
  close_rec(in, *r);
  return s;
}

int do_send_v2(VvInstance& in, int conn_id, unsigned dtype, const void* data, int len) {
  if (len > kDataMax) return -2;
  VvConnRec* r = rec_of(in, conn_id);
  if (!r) return -1;
  if (!r->connected.load()) return 0;
  if (len < 0 || (!data && len > 0)) return 0;
  unsigned char d[kDataHead + kDataMax] = {};
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_DATA);
  vv_put16(d + 4, static_cast<uint16_t>(dtype));
  vv_put16(d + 6, static_cast<uint16_t>(len));
  if (len) memcpy(d + kDataHead, data, static_cast<size_t>(len));
  int rc = path_send(*r, d, len + kDataHead);
  if (rc > 0) return len;
  if (rc < 0) return in.flags.index == 1 ? -4 : 0;
  return 0;
}

int do_send_v3b(VvInstance& in, int conn_id, unsigned a, unsigned b, const void* data, int len,
                int need_ack, int encrypt) {
  if (len > kPacketMax) return -2;
  VvConnRec* r = rec_of(in, conn_id);
  if (!r) return -1;
  if (!r->connected.load() || len < 0 || (!data && len > 0)) return 0;
  PacketSender* s;
  int count;
  unsigned char req[kFragHead];
  {
    std::lock_guard<std::recursive_mutex> lock(r->m);
    if (!r->psend) return 0;
    s = r->psend.get();
    s->id = static_cast<uint16_t>(s->id + 1);
    s->acked = 0;
    s->total = static_cast<uint32_t>(len);
    count = (len + kFragData - 1) / kFragData;
    if (count == 0) count = 1;  // an empty packet still travels as one empty fragment
    s->count = count;
    s->sent_us = real_us();
    for (int i = 0; i < count; ++i) {
      unsigned char* f = s->slot[i];
      memset(f, 0, kFragHead);
      vv_put16(f, VV_MAGIC);
      vv_put16(f + 2, VV_MSG_FRAGMENT);
      vv_put16(f + 4, s->id);
      f[6] = static_cast<unsigned char>(count);
      f[7] = static_cast<unsigned char>(i);
      vv_put16(f + 8, static_cast<uint16_t>(a));
      vv_put16(f + 10, static_cast<uint16_t>(b));
      f[12] = need_ack ? 1 : 0;
      f[14] = encrypt ? 1 : 0;
      vv_put32(f + 16, static_cast<uint32_t>(len));
      int dl = std::min<int>(kFragData, len - i * kFragData);
      if (dl > 0) memcpy(f + kFragHead, static_cast<const unsigned char*>(data) + i * kFragData, static_cast<size_t>(dl));
      if (encrypt) tea_fragment(f, frag_len(f), true, in.flags.index);
      if (send_fragment(in, *r, f) < 0) return -3;
    }
    if (!need_ack) return len;
    memcpy(req, s->slot[0], kFragHead);
    req[7] = static_cast<unsigned char>(count);
    req[12] = 1;
    req[13] = 0;
    req[14] = 0;
  }
  int sure_wait;
  {
    std::lock_guard<std::recursive_mutex> lock(r->m);
    sure_wait = r->sure_wait;
  }
  int e = std::min(2000, std::max(50, count * sure_wait / 1000));
  for (int i = 0;; ++i) {
    if (i % e == 0) {
      std::lock_guard<std::recursive_mutex> lock(r->m);
      if (send_fragment(in, *r, req) < 0) return -3;
    }
    poll(nullptr, 0, 1);
    if (s->acked.load()) return len;
    if (!r->connected.load()) return -3;
    if (i + 1 > 4999) return -3;
  }
}

int do_send_v4(VvInstance& in, int conn_id, unsigned a, unsigned b, const void* data, int len,
               int need_ack, int encrypt) {
  VvConnRec* r = rec_of(in, conn_id);
  if (!r) return -1;
  if (!r->connected.load()) return 0;
  if (len < 0 || (!data && len > 0)) return 0;
  std::lock_guard<std::mutex> send_lock(in.conn_mu[conn_id - 1]);
  int vid = r->vdt.load();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  if (vid > 0) {
    int done = 0;
    while (done < len) {
      int n = vv_nat_vdt_write_frame(vid, static_cast<uint16_t>(a), static_cast<uint16_t>(b), p + done,
                                     len - done);
      if (n < 0) return -1;
      if (n == 0) {
        if (!r->connected.load()) return -1;
        poll(nullptr, 0, 1);
        continue;
      }
      done += n;
    }
    return len;
  }
  bool packets;
  int window;
  {
    std::lock_guard<std::recursive_mutex> lock(r->m);
    packets = r->psend != nullptr && r->type == 0;
    window = r->window;
  }
  if (!packets) return 0;
  int done = 0;
  while (done < len) {
    int n = std::min(window, len - done);
    if (do_send_v3b(in, conn_id, a, b, p + done, n, need_ack, encrypt) < 1) return -3;
    done += n;
    std::lock_guard<std::recursive_mutex> lock(r->m);
    window = r->window;
  }
  return done;
}

int do_login(VvInstance& in, int conn_id, const char* user, const char* passwd) {
  VvConnRec* r = rec_of(in, conn_id);
  if (!r) return -1;
  if (!r->connected.load()) return 0;
  unsigned char d[kLoginSize] = {};
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_LOGIN_REQ);
  put_text(d, 4, 32, user ? user : "");
  put_text(d, 36, 36, passwd ? passwd : "");
  return path_send(*r, d, sizeof(d));
}

}  // namespace

void vv_conn_attach(VvInstance& in) {
  if (!in.recs) {
    in.recs = new VvConnRec[VV_MAX_CONNS];  // lives as long as the process, like the instance
    for (int i = 0; i < VV_MAX_CONNS; ++i) in.recs[i].index = i;
  }
  for (int i = 0; i < VV_MAX_CONNS; ++i) {
    // Threads of an earlier run were joined at its exit; they start again on first use.
    if (in.recs[i].th.joinable()) in.recs[i].th.join();
    in.recs[i].th = std::thread();
  }
  in.on_conn_message = on_conn_message;
  in.on_conn_result = on_conn_result;
  in.on_exit = stop_threads;
}

int vv_frame_feed(vv_frame_state* st, const unsigned char* chunk, int len, uint16_t* a,
                  uint16_t* b, const unsigned char** data, int* n) {
  if (!st || !chunk || len < 0) return -1;
  if (st->left <= 0) {
    if (len < 8) return -1;
    st->a = static_cast<uint16_t>(chunk[0] | chunk[1] << 8);
    st->b = static_cast<uint16_t>(chunk[2] | chunk[3] << 8);
    st->len = vv_get32(chunk + 4);
    if (st->len > VV_FRAME_MAX || static_cast<uint32_t>(len - 8) > st->len) return -1;
    st->left = static_cast<int>(st->len) - (len - 8);
    *data = chunk + 8;
    *n = len - 8;
  } else {
    if (len > st->left) return -1;
    st->left -= len;
    *data = chunk;
    *n = len;
  }
  *a = st->a;
  *b = st->b;
  return 1;
}

void vv_nat_on_peer_message_test(int inst, int conn_id, unsigned char* d, int len, const void* from,
                                 int fromlen, int from_relay) {
  VvInstance& in = vv_instance(inst);
  if (!in.recs) vv_conn_attach(in);
  VvConnRec* r = rec_of(in, conn_id);
  if (!r || len < 0 || (fromlen != 16 && fromlen != 28)) return;
  on_peer_message(in, *r, d, len, static_cast<const sockaddr*>(from), fromlen, from_relay);
}

void vv_nat_conn_prepare_test(int inst, int conn_id, const char* peer_id, int peer_msgid,
                              const char* peer_ip, int connected, int version, int sink) {
  vv_nat_conn_prepare_test_port(inst, conn_id, peer_id, peer_msgid, peer_ip, 40000, connected, version,
                                sink);
}

void vv_nat_conn_prepare_test_port(int inst, int conn_id, const char* peer_id, int peer_msgid,
                                   const char* peer_ip, int peer_port, int connected, int version,
                                   int sink) {
  VvInstance& in = vv_instance(inst);
  if (!in.recs) vv_conn_attach(in);
  VvConnRec* r = rec_of(in, conn_id);
  if (!r) return;
  std::lock_guard<std::recursive_mutex> lock(r->m);
  r->in_use = 1;
  r->msg_id = 1000 + conn_id;
  copy_text(r->peer_id, sizeof(r->peer_id), peer_id);
  r->peer_msgid = peer_msgid;
  r->req_state = 1;
  copy_text(r->peer_mapped_ip, sizeof(r->peer_mapped_ip), peer_ip);
  r->peer_mapped_port = static_cast<uint16_t>(peer_port);
  copy_text(r->peer_local_ips, sizeof(r->peer_local_ips), peer_ip);
  r->peer_local_port = static_cast<uint16_t>(peer_port);
  copy_text(r->relay_ip, sizeof(r->relay_ip), "203.0.113.20");
  r->relay_port = 7100;
  r->peer_version = version;
  r->extra[0] = '\0';
  r->sock = r->sock6 = r->relay_sock = sink;
  r->type = 0;
  r->connected = connected;
  r->peer_family = 0;
  vv_ip4_of(peer_ip, static_cast<uint16_t>(peer_port), &r->peer_addr);
  r->sure_wait = 100000;
  r->window = kPacketMax;
  if (connected && version < 36) {
    if (!r->psend) r->psend = std::make_unique<PacketSender>();
    if (!r->precv) r->precv = std::make_unique<PacketReceiver>();
  }
}

void vv_nat_fuzz_callbacks(int inst, const vv_nat_callbacks* cbs) {
  VvInstance& in = vv_instance(inst);
  if (!in.recs) vv_conn_attach(in);
  std::lock_guard<std::mutex> lock(in.mu);
  in.st.callbacks = cbs ? *cbs : vv_nat_callbacks{};
}

#define VV_NAT_CONN_DEFINE(P, N)                                                                 \
  int P##connect(const char* id, int wait) { return do_connect(vv_instance(N), id, nullptr, 0, wait); } \
  int P##connect_v3(const char* id, const char* pw, int wait) {                                  \
    return do_connect(vv_instance(N), id, pw, 0, wait);                                          \
  }                                                                                              \
  int P##connect_ex(const char* id, char* ip, unsigned short* port) {                            \
    return do_connect_ex(vv_instance(N), id, ip, port);                                          \
  }                                                                                              \
  void P##close(int conn_id) {                                                                   \
    VvConnRec* r = rec_of(vv_instance(N), conn_id);                                              \
    if (r) close_rec(vv_instance(N), *r);                                                        \
  }                                                                                              \
  int P##p2p_login(int c, const char* u, const char* p) { return do_login(vv_instance(N), c, u, p); } \
  int P##send_v2(int c, unsigned t, const void* d, int n) { return do_send_v2(vv_instance(N), c, t, d, n); } \
  int P##send(int c, const void* d, int n) { return do_send_v2(vv_instance(N), c, 0, d, n); }   \
  int P##send_msg(int c, int t, const void* d, int n) {                                          \
    if ((t & 0xFFFF) == 0) return -3;                                                            \
    return do_send_v2(vv_instance(N), c, static_cast<unsigned>(t), d, n);                        \
  }                                                                                              \
  int P##send_v4(int c, unsigned a, unsigned b, const void* d, int n, int ack, int enc) {        \
    return do_send_v4(vv_instance(N), c, a, b, d, n, ack, enc);                                  \
  }                                                                                              \
  int P##send_v3(int c, unsigned a, unsigned b, const void* d, int n, int ack) {                 \
    return do_send_v4(vv_instance(N), c, a, b, d, n, ack, 0);                                    \
  }                                                                                              \
  int P##send_ex(int c, const void* d, int n, int ack) { return do_send_v4(vv_instance(N), c, 0, 0, d, n, ack, 0); } \
  int P##send_v3b(int c, unsigned a, unsigned b, const void* d, int n, int ack, int enc) {       \
    return do_send_v3b(vv_instance(N), c, a, b, d, n, ack, enc);                                 \
  }                                                                                              \
  int P##conn_dest_type(int c) {                                                                 \
    VvConnRec* r = rec_of(vv_instance(N), c);                                                    \
    if (!r || !r->connected.load()) return -1;                                                   \
    std::lock_guard<std::recursive_mutex> lock(r->m);                                            \
    return r->dest_type;                                                                         \
  }

VV_NAT_CONN_DEFINE(vv_nat_, 1)
VV_NAT_CONN_DEFINE(vv2_nat_, 2)

int vv_nat_connect_novdt(const char* id, int wait) { return do_connect(vv_instance(1), id, nullptr, 2, wait); }

int vv_nat_send_v5(int conn_id, unsigned a, unsigned b, const void* data, int len) {
  VvInstance& in = vv_instance(1);
  VvConnRec* r = rec_of(in, conn_id);
  if (!r) return -1;
  if (!r->connected.load()) return 0;
  int vid = r->vdt.load();
  if (vid > 0) {
    // One whole frame under the connection's writer lock, so that two writers never interleave.
    std::lock_guard<std::mutex> send_lock(in.conn_mu[conn_id - 1]);
    return vv_nat_vdt_write_frame(vid, static_cast<uint16_t>(a), static_cast<uint16_t>(b), data, len);
  }
  return do_send_v4(in, conn_id, a, b, data, len, 1, 0);
}

void vv_nat_set_conn_time_scale(int k) { g_scale = k < 1 ? 1 : k; }
