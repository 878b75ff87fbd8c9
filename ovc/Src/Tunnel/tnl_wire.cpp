#include "Tunnel/tnl_wire.h"

#include <string.h>

namespace tnl {

bool TnlReader::u8(uint8_t* v) {
  if (left() < 1) return false;
  *v = p_[pos_++];
  return true;
}
bool TnlReader::u16(uint16_t* v) {
  if (left() < 2) return false;
  *v = (uint16_t)(p_[pos_] | (p_[pos_ + 1] << 8));
  pos_ += 2;
  return true;
}
bool TnlReader::u16be(uint16_t* v) {
  if (left() < 2) return false;
  *v = (uint16_t)((p_[pos_] << 8) | p_[pos_ + 1]);
  pos_ += 2;
  return true;
}
bool TnlReader::u32(uint32_t* v) {
  if (left() < 4) return false;
  *v = (uint32_t)p_[pos_] | ((uint32_t)p_[pos_ + 1] << 8) | ((uint32_t)p_[pos_ + 2] << 16) |
       ((uint32_t)p_[pos_ + 3] << 24);
  pos_ += 4;
  return true;
}
bool TnlReader::u32be(uint32_t* v) {
  if (left() < 4) return false;
  *v = ((uint32_t)p_[pos_] << 24) | ((uint32_t)p_[pos_ + 1] << 16) |
       ((uint32_t)p_[pos_ + 2] << 8) | (uint32_t)p_[pos_ + 3];
  pos_ += 4;
  return true;
}
bool TnlReader::block(const uint8_t** p, size_t len) {
  if (left() < len) return false;
  *p = p_ + pos_;
  pos_ += len;
  return true;
}

static void put_u16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
static void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

void put_head(uint8_t out[4], uint8_t type, uint8_t channel, uint16_t length) {
  out[0] = type;
  out[1] = channel;
  put_u16(out + 2, length);
}

bool read_head(const uint8_t* p, size_t n, Head* h) {
  TnlReader r(p, n);
  return r.u8(&h->type) && r.u8(&h->channel) && r.u16(&h->length);
}

std::vector<uint8_t> make_msg(uint8_t type, uint8_t channel, const void* body, size_t length) {
  std::vector<uint8_t> m(kHeadSize + length);
  put_head(m.data(), type, channel, (uint16_t)length);
  if (length) memcpy(m.data() + kHeadSize, body, length);
  return m;
}

void put_open_body(uint8_t out[16], uint32_t ipv4, uint16_t port) {
  memset(out, 0, 16);
  out[1] = 2;
  out[2] = (uint8_t)(port >> 8);
  out[3] = (uint8_t)port;
  out[4] = (uint8_t)(ipv4 >> 24);
  out[5] = (uint8_t)(ipv4 >> 16);
  out[6] = (uint8_t)(ipv4 >> 8);
  out[7] = (uint8_t)ipv4;
}

bool read_open_body(const uint8_t* p, size_t n, uint32_t* ipv4, uint16_t* port) {
  if (n != kOpenBody) return false;
  TnlReader r(p, n);
  uint8_t len, family;  // the family is forced to 2 whatever arrived
  return r.u8(&len) && r.u8(&family) && r.u16be(port) && r.u32be(ipv4);
}

bool make_auth_request(const void* data, size_t n, std::vector<uint8_t>* out) {
  if (n > kMaxAuthData || (data && n == 0) || (!data && n > 0)) return false;
  out->assign(kHeadSize + kAuthFixed + n, 0);
  uint8_t* p = out->data();
  put_head(p, kFlow, 0, (uint16_t)(n + kAuthFixed));
  put_u32(p + 4, kVersionWord);
  put_u32(p + 8, (uint32_t)n);
  if (n) memcpy(p + 12, data, n);
  return true;
}

bool parse_auth_request(const uint8_t* p, size_t len, AuthRequest* out) {
  TnlReader r(p, len);
  Head h;
  if (!r.u8(&h.type) || !r.u8(&h.channel) || !r.u16(&h.length)) return false;
  if (h.type != kFlow) return false;
  if (!r.u32(&out->version) || !r.u32(&out->n)) return false;
  if (out->n > kMaxAuthData || h.length != out->n + kAuthFixed) return false;
  if (r.left() != out->n) return false;
  out->data = nullptr;
  return out->n == 0 || r.block(&out->data, out->n);
}

int auth_reply_body_length(const uint8_t head[4]) {
  Head h;
  read_head(head, 4, &h);
  if (h.type != kAuthAccept && h.type != kAuthReject) return -1;
  if (h.length != 0 && h.length != 4) return -1;
  if (h.type == kAuthReject && h.length != 4) return -1;
  return h.length;
}

AuthVerdict parse_auth_reply(const uint8_t head[4], const uint8_t* body, size_t bodyLen,
                             int32_t* result) {
  *result = 0;
  int want = auth_reply_body_length(head);
  if (want < 0 || (size_t)want != bodyLen) return AuthVerdict::kMalformed;
  if (want == 4) {
    uint32_t v;
    TnlReader r(body, bodyLen);
    r.u32(&v);
    *result = (int32_t)v;
  }
  return head[0] == kAuthAccept ? AuthVerdict::kAccepted : AuthVerdict::kRejected;
}

std::vector<uint8_t> make_auth_reply(bool accept, bool withResult, int32_t result) {
  uint8_t body[4];
  put_u32(body, (uint32_t)result);
  return make_msg(accept ? kAuthAccept : kAuthReject, 0, body, withResult ? 4 : 0);
}

std::vector<uint8_t> make_lan_request(uint32_t token, uint32_t z) {
  uint8_t body[8];
  put_u32(body, token);
  put_u32(body + 4, z);
  return make_msg(kLanRequest, 0, body, 8);
}

bool parse_lan_request(const uint8_t* body, size_t n, uint32_t* token, uint32_t* z) {
  if (n != 8) return false;
  TnlReader r(body, n);
  return r.u32(token) && r.u32(z);
}

std::vector<uint8_t> make_lan_reply(uint32_t answer, uint16_t port) {
  uint8_t body[8];
  put_u32(body, answer);
  put_u16(body + 4, 0);
  put_u16(body + 6, port);
  return make_msg(kLanReply, 0, body, 8);
}

bool parse_lan_reply(const uint8_t* p, size_t n, uint32_t* answer, uint16_t* port) {
  TnlReader r(p, n);
  Head h;
  uint16_t zero;
  if (!r.u8(&h.type) || !r.u8(&h.channel) || !r.u16(&h.length)) return false;
  if (h.type != kLanReply || h.length != 8) return false;
  return r.u32(answer) && r.u16(&zero) && r.u16(port) && r.left() == 0;
}

}  // namespace tnl
