// vdt datagram encoders and decoders.
#include "vdt_packet.h"

#include <string.h>

#include "vv_datagram.h"

uint16_t vdt_get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t vdt_get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void vdt_put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
void vdt_put32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

namespace {

void put_head(unsigned char* out, uint16_t type) {
  out[0] = 0x12;
  out[1] = 0x01;
  vdt_put16(out + 2, type);
}

bool has_type(const unsigned char* d, size_t len, int type, size_t min_len) {
  return len >= min_len && vdt_packet_type(d, len) == type;
}

}  // namespace

int vdt_packet_type(const unsigned char* d, size_t len) {
  if (!d || len < 4 || d[0] != 0x12 || d[1] != 0x01) return -1;
  uint16_t t = vdt_get16(d + 2);
  return t >= VDT_HELLO && t <= VDT_CLOSE ? t : -1;
}

int vdt_is_vvnat_hello(const unsigned char* d, size_t len) {
  uint16_t id = 0;
  if (!d || len > 0x7fffffff) return 0;
  return vv_head_ok(d, static_cast<int>(len), &id) && id == VV_MSG_HELLO ? 1 : 0;
}

size_t vdt_encode_hello(unsigned char* out, uint16_t type, const VdtHello& h) {
  put_head(out, type);
  vdt_put32(out + 4, h.sec);
  vdt_put32(out + 8, h.usec);
  vdt_put32(out + 12, h.counter);
  vdt_put16(out + 16, h.slots);
  vdt_put16(out + 18, h.free_slots);
  return VDT_HELLO_LEN;
}

bool vdt_decode_hello(const unsigned char* d, size_t len, VdtHello* h) {
  int t = vdt_packet_type(d, len);
  if ((t != VDT_HELLO && t != VDT_HELLO_RE) || len < VDT_HELLO_LEN) return false;
  h->sec = vdt_get32(d + 4);
  h->usec = vdt_get32(d + 8);
  h->counter = vdt_get32(d + 12);
  h->slots = vdt_get16(d + 16);
  h->free_slots = vdt_get16(d + 18);
  return true;
}

void vdt_encode_data_head(unsigned char* out, const VdtDataHead& h) {
  put_head(out, VDT_PACKET);
  vdt_put32(out + 4, h.seq);
  vdt_put16(out + 8, h.len);
  out[10] = h.last;
  out[11] = h.retrans;
  out[12] = h.ack_every;
  out[13] = out[14] = out[15] = 0;
}

bool vdt_decode_data(const unsigned char* d, size_t len, VdtDataHead* h) {
  if (!has_type(d, len, VDT_PACKET, VDT_HEAD)) return false;
  h->seq = vdt_get32(d + 4);
  h->len = vdt_get16(d + 8);
  h->last = d[10];
  h->retrans = d[11];
  h->ack_every = d[12];
  return h->len <= len - VDT_HEAD && h->len <= VDT_PAYLOAD_MAX;
}

size_t vdt_encode_ack(unsigned char* out, uint16_t free_slots, uint32_t highest,
                      const uint32_t* missing, size_t n) {
  if (n > VDT_ACK_MISSING_MAX) n = VDT_ACK_MISSING_MAX;
  put_head(out, VDT_ACK);
  vdt_put16(out + 4, free_slots);
  vdt_put16(out + 6, static_cast<uint16_t>(n));
  vdt_put32(out + 8, highest);
  vdt_put32(out + 12, 0);
  for (size_t i = 0; i < n; ++i) vdt_put32(out + 16 + 4 * i, missing[i]);
  return 16 + 4 * n;
}

bool vdt_decode_ack(const unsigned char* d, size_t len, VdtAck* a) {
  if (!has_type(d, len, VDT_ACK, 16)) return false;
  a->free_slots = vdt_get16(d + 4);
  a->n = vdt_get16(d + 6);
  a->highest = vdt_get32(d + 8);
  a->missing = d + 16;
  return static_cast<size_t>(a->n) * 4 <= len - 16;
}

uint32_t vdt_ack_missing(const VdtAck& a, size_t i) { return vdt_get32(a.missing + 4 * i); }

size_t vdt_encode_ask(unsigned char* out, const VdtStamp& s) {
  put_head(out, VDT_ASK);
  vdt_put32(out + 4, s.seq);
  vdt_put32(out + 8, s.sec);
  vdt_put32(out + 12, s.usec);
  return 16;
}

bool vdt_decode_ask(const unsigned char* d, size_t len, VdtStamp* s) {
  if (!has_type(d, len, VDT_ASK, 16)) return false;
  s->seq = vdt_get32(d + 4);
  s->sec = vdt_get32(d + 8);
  s->usec = vdt_get32(d + 12);
  s->size = 0;
  return true;
}

size_t vdt_encode_check_mtu(unsigned char* out, const VdtStamp& s) {
  size_t size = s.size;
  if (size < 16) size = 16;
  if (size > VDT_DGRAM_MAX) size = VDT_DGRAM_MAX;
  put_head(out, VDT_CHECK_MTU);
  vdt_put32(out + 4, s.sec);
  vdt_put32(out + 8, s.usec);
  vdt_put16(out + 12, static_cast<uint16_t>(size));
  out[14] = out[15] = 0;
  memset(out + 16, 0x5a, size - 16);
  return size;
}

bool vdt_decode_check_mtu(const unsigned char* d, size_t len, VdtStamp* s) {
  if (!has_type(d, len, VDT_CHECK_MTU, 16)) return false;
  s->seq = 0;
  s->sec = vdt_get32(d + 4);
  s->usec = vdt_get32(d + 8);
  s->size = vdt_get16(d + 12);
  return true;
}

size_t vdt_encode_check_mtu_re(unsigned char* out, const unsigned char* probe) {
  memmove(out, probe, 16);
  vdt_put16(out + 2, VDT_CHECK_MTU_RE);
  return 16;
}

bool vdt_decode_check_mtu_re(const unsigned char* d, size_t len, VdtStamp* s) {
  if (!has_type(d, len, VDT_CHECK_MTU_RE, 16)) return false;
  s->seq = 0;
  s->sec = vdt_get32(d + 4);
  s->usec = vdt_get32(d + 8);
  uint16_t size = vdt_get16(d + 12);
  // A larger size would overflow the slot; a smaller one was never probed.
  if (size > VDT_DGRAM_MAX) size = VDT_DGRAM_MAX;
  s->size = size;
  return size >= VDT_MTU_MIN;
}

size_t vdt_encode_close(unsigned char* out, const VdtStamp& s) {
  put_head(out, VDT_CLOSE);
  vdt_put32(out + 4, s.sec);
  vdt_put32(out + 8, s.usec);
  return 12;
}

bool vdt_decode_close(const unsigned char* d, size_t len, VdtStamp* s) {
  if (!has_type(d, len, VDT_CLOSE, 12)) return false;
  s->seq = 0;
  s->sec = vdt_get32(d + 4);
  s->usec = vdt_get32(d + 8);
  s->size = 0;
  return true;
}

bool vdt_make_vvnat_hello_reply(unsigned char* d, size_t len, int32_t conn_id, const char* uuid) {
  if (!vdt_is_vvnat_hello(d, len) || len < 120) return false;
  vv_put16(d + 2, VV_MSG_HELLO_REPLY);
  vv_put32(d + 4, static_cast<uint32_t>(conn_id));
  memset(d + 8, 0, 100);
  if (uuid) {
    size_t n = strnlen(uuid, 99);
    memcpy(d + 8, uuid, n);
  }
  vv_put32(d + 112, 118);
  vv_put32(d + 116, 0);
  return true;
}
