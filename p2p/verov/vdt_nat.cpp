// The NAT client's per-connection views of vdt, for both instances.
#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "vdt.h"
#include "vdt_nat.h"
#include "vv_instance.h"

namespace {

// -1 index out of range; 0 not established; else 1 with the record's vdt id and version.
int conn_view(VvInstance& in, int index, int* vdt_id, int* peer_version) {
  if (index < 1 || index > VV_MAX_CONNS) return -1;
  std::lock_guard<std::mutex> lock(in.mu);
  const vv_nat_conn& c = in.st.conns[index - 1];
  if (!c.established) return 0;
  *vdt_id = c.vdt_id;
  *peer_version = c.peer_version;
  return 1;
}

int do_sndbuff(VvInstance& in, int index) {
  int id = 0, ver = 0;
  int r = conn_view(in, index, &id, &ver);
  if (r <= 0) return r;
  if (id <= 0) return -1;
  return vdt_get_free_size(id, nullptr);
}

int do_vdt_id(VvInstance& in, int index) {
  int id = 0, ver = 0;
  int r = conn_view(in, index, &id, &ver);
  if (r <= 0) return r;
  return id > 0 ? id : -1;
}

int do_sendable(VvInstance& in, int index) {
  int id = 0, ver = 0;
  int r = conn_view(in, index, &id, &ver);
  if (r <= 0) return r;
  if (ver < 36) return 1;  // such peers are served without vdt
  if (id <= 0) return 0;
  return vdt_get_free_size(id, nullptr) > 0 ? 1 : 0;
}

// Both instances clamp: a size below one slot would make every later creation fail.
void do_setbuff(VvInstance& in, int snd, int rcv) {
  std::lock_guard<std::mutex> lock(in.mu);
  if (snd) in.st.vdt_sndbuf = std::min(std::max(snd, 65536), 512000);
  if (rcv) in.st.vdt_rcvbuf = std::min(std::max(rcv, 65536), 512000);
}

int do_vdt_send(VvInstance& in, int index, uint16_t a, uint16_t b, const void* data, int len) {
  int id = 0, ver = 0;
  if (conn_view(in, index, &id, &ver) < 0 || id <= 0) return -1;
  std::lock_guard<std::mutex> lock(in.conn_mu[index - 1]);
  return vv_nat_vdt_write_frame(id, a, b, data, len);
}

// The connection's vdt, established or not: the switch is harmless on a closing one.
void do_set_rate(VvInstance& in, int index, int rate) {
  if (index < 1 || index > VV_MAX_CONNS) return;
  int id;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    id = in.st.conns[index - 1].vdt_id;
  }
  if (id > 0) vdt_set_rate(id, rate);
}

}  // namespace

int vv_nat_vdt_write_frame(int vdt_id, uint16_t a, uint16_t b, const void* data, int len) {
  if (len < 0 || (!data && len > 0)) return -1;
  int p = 0;
  int free_room = vdt_get_free_size(vdt_id, &p);
  if (free_room < 0) return -1;
  if (free_room <= 8 || p <= 8) return 0;
  // Compared without adding to len, which may be close to INT_MAX.
  int n = len <= free_room - 8 ? len : free_room - 8;
  unsigned char first[VDT_FRAME_FIRST_MAX];
  // Little-endian like the rest of the library's frames.
  first[0] = static_cast<unsigned char>(a);
  first[1] = static_cast<unsigned char>(a >> 8);
  first[2] = static_cast<unsigned char>(b);
  first[3] = static_cast<unsigned char>(b >> 8);
  for (int i = 0; i < 4; ++i) first[4 + i] = static_cast<unsigned char>(static_cast<uint32_t>(n) >> (8 * i));
  int head_data = std::min(n, p - 8);
  if (head_data > 0) memcpy(first + 8, data, static_cast<size_t>(head_data));
  if (vdt_send(vdt_id, first, 8 + head_data) < 0) return -1;
  int rest = n - head_data;
  if (rest > 0 &&
      vdt_send(vdt_id, static_cast<const unsigned char*>(data) + head_data, rest) < 0)
    return -1;
  return n;
}

#define VV_NAT_VDT_DEFINE(P, N)                                                                \
  int P##vdt_sndbuff(int index) { return do_sndbuff(vv_instance(N), index); }                 \
  int P##vdt_id(int index) { return do_vdt_id(vv_instance(N), index); }                       \
  int P##sendable(int index) { return do_sendable(vv_instance(N), index); }                   \
  void P##vdt_setbuff(int snd, int rcv) { do_setbuff(vv_instance(N), snd, rcv); }            \
  int P##vdt_send(int index, uint16_t a, uint16_t b, const void* data, int len) {             \
    return do_vdt_send(vv_instance(N), index, a, b, data, len);                               \
  }                                                                                            \
  void P##conn_vdt_rate(int index, int rate) { do_set_rate(vv_instance(N), index, rate); }

VV_NAT_VDT_DEFINE(vv_nat_, 1)
VV_NAT_VDT_DEFINE(vv2_nat_, 2)
