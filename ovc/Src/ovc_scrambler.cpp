// The fixed-key scrambler: 16-byte blocks rotated, keyed and shuffled word by word; a tail keyed
// byte by byte and shuffled when it is 2, 4 or 8 bytes long. No tables besides the key text.
#include <string.h>

#include "ovc_head.h"

namespace {
const char kKeyText[] = "Tuvo3 Kmb Lyx9 Qfr Wen7 Dgh Zsp4";
const uint8_t* key() { return reinterpret_cast<const uint8_t*>(kKeyText); }

constexpr uint8_t P16[16] = {11, 9, 8, 15, 13, 10, 12, 14, 2, 1, 5, 0, 6, 4, 7, 3};
const uint8_t P8[8] = {7, 4, 3, 2, 1, 6, 5, 0};
const uint8_t P4[4] = {2, 3, 0, 1};
const uint8_t P2[2] = {1, 0};

inline uint32_t rd32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline void wr32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}
inline uint32_t rotr(uint32_t v, int n) { return v >> n | v << (32 - n); }
inline uint32_t rotl(uint32_t v, int n) { return v << n | v >> (32 - n); }

// Position i of the output takes input byte P[i]; every permutation is its own inverse.
void ShuffleBytes(const uint8_t* src, uint8_t* dst, size_t n) {
  const uint8_t* p = n == 16 ? P16 : n == 8 ? P8 : n == 4 ? P4 : n == 2 ? P2 : nullptr;
  if (!p) {
    memmove(dst, src, n);
    return;
  }
  uint8_t tmp[16];
  for (size_t i = 0; i < n; ++i) tmp[i] = src[p[i]];
  memcpy(dst, tmp, n);
}

// The key words, read once.
struct KeyWords {
  uint32_t k[4];
  KeyWords() {
    for (int i = 0; i < 4; ++i) k[i] = rd32(key() + 4 * i);
  }
};
const KeyWords kKeyWords;

// The block permutation on words held in registers: byte p of the block is byte p % 4 of word
// p / 4 (little-endian); the indices are fixed at compile time.
inline uint32_t byte_at(const uint32_t* x, int p) { return (x[p >> 2] >> ((p & 3) * 8)) & 0xFFu; }
inline void shuffle16(const uint32_t* x, uint32_t* y) {
  for (int j = 0; j < 4; ++j)
    y[j] = byte_at(x, P16[4 * j]) | byte_at(x, P16[4 * j + 1]) << 8 | byte_at(x, P16[4 * j + 2]) << 16 |
           byte_at(x, P16[4 * j + 3]) << 24;
}

void luffy_block(const uint8_t* in, uint8_t* out) {
  uint32_t x[4], y[4];
  for (int i = 0; i < 4; ++i) x[i] = rotr(rd32(in + 4 * i), 1 + 4 * i) ^ kKeyWords.k[i];
  shuffle16(x, y);
  for (int j = 0; j < 4; ++j) wr32(out + 4 * j, rotr(y[j], 3 + 4 * j));
}

void zoro_block(const uint8_t* in, uint8_t* out) {
  uint32_t y[4], x[4];
  for (int j = 0; j < 4; ++j) y[j] = rotl(rd32(in + 4 * j), 3 + 4 * j);
  shuffle16(y, x);
  for (int i = 0; i < 4; ++i) wr32(out + 4 * i, rotl(x[i] ^ kKeyWords.k[i], 1 + 4 * i));
}

// The extent rule shared by both directions: bytes past scrambledLength pass unchanged.
template <typename Block, typename Tail>
void process(const void* srcv, void* dstv, uint16_t length, uint16_t scrambledLength, Block block,
             Tail tail) {
  const uint8_t* src = static_cast<const uint8_t*>(srcv);
  uint8_t* dst = static_cast<uint8_t*>(dstv);
  size_t n = length;
  if (length >= scrambledLength) {
    if (dst != src && length > scrambledLength)
      memcpy(dst + scrambledLength, src + scrambledLength, (size_t)(length - scrambledLength));
    n = scrambledLength;
  }
  size_t blocks = n / 16;
  for (size_t b = 0; b < blocks; ++b) block(src + 16 * b, dst + 16 * b);
  size_t t = n % 16;
  if (t) tail(src + 16 * blocks, dst + 16 * blocks, t);
}
}  // namespace

void LuffyCore(const void* src, void* dst, uint16_t length, uint16_t scrambledLength) {
  process(src, dst, length, scrambledLength, luffy_block,
          [](const uint8_t* in, uint8_t* out, size_t t) {
            uint8_t tmp[16];
            for (size_t i = 0; i < t; ++i) tmp[i] = in[i] ^ key()[i];
            ShuffleBytes(tmp, out, t);
          });
}

void ZoroCore(const void* src, void* dst, uint16_t length, uint16_t scrambledLength) {
  process(src, dst, length, scrambledLength, zoro_block,
          [](const uint8_t* in, uint8_t* out, size_t t) {
            uint8_t tmp[16];
            ShuffleBytes(in, tmp, t);
            for (size_t i = 0; i < t; ++i) out[i] = tmp[i] ^ key()[i];
          });
}

void Luffy(const void* src, void* dst, uint16_t length, uint16_t scrambledLength, uint32_t guard) {
  if (guard == OVC_INTERNAL_GUARD) LuffyCore(src, dst, length, scrambledLength);
}

void Zoro(const void* src, void* dst, uint16_t length, uint16_t scrambledLength, uint32_t guard) {
  if (guard == OVC_INTERNAL_GUARD) ZoroCore(src, dst, length, scrambledLength);
}

void ovc_head_write(const OVC_Head& h, uint8_t* o) {
  auto w16 = [](uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
  };
  w16(o, h.magic);
  o[2] = h.tag;
  o[3] = h.flags;
  w16(o + 4, h.length);
  w16(o + 6, h.seq);
  w16(o + 8, h.type);
  w16(o + 10, h.route);
  w16(o + 12, h.randomId);
  o[14] = h.channel;
  o[15] = h.reserved;
}

OVC_Head ovc_head_read(const uint8_t* i) {
  auto r16 = [](const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); };
  OVC_Head h;
  h.magic = r16(i);
  h.tag = i[2];
  h.flags = i[3];
  h.length = r16(i + 4);
  h.seq = r16(i + 6);
  h.type = r16(i + 8);
  h.route = r16(i + 10);
  h.randomId = r16(i + 12);
  h.channel = i[14];
  h.reserved = i[15];
  return h;
}

int ovc_unscramble_datagram(const uint8_t* data, size_t len, OvcReceived* out) {
  if (!data || !out || len < OVC_HEAD_SIZE || len > OVC_DATAGRAM_MAX) return -1;
  ZoroCore(data, out->bytes, 16, 16);
  out->head = ovc_head_read(out->bytes);
  size_t rest = len - OVC_HEAD_SIZE;
  // The length comes from the wire: it must fit what arrived.
  if (out->head.length > rest) return -1;
  ZoroCore(data + 16, out->bytes + 16, (uint16_t)rest,
           (out->head.flags & OVC_FLAG_PARTIAL) ? 48 : (uint16_t)rest);
  out->size = OVC_HEAD_SIZE + out->head.length;
  return 0;
}
