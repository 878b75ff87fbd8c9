#include "vv_crypto.h"

#include <stdio.h>
#include <string.h>

uint16_t Ntohs(uint16_t v) { return v; }
uint16_t Htons(uint16_t v) { return v; }
uint32_t Ntohl(uint32_t v) { return v; }
uint32_t Htonl(uint32_t v) { return v; }

namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;

uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_le32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

void load_key(const void* key16, uint32_t k[4]) {
  const auto* p = static_cast<const unsigned char*>(key16);
  for (int i = 0; i < 4; ++i) k[i] = load_le32(p + 4 * i);
}

void blocks(void* data, int nblocks, const void* key16, bool encipher) {
  uint32_t k[4];
  load_key(key16, k);
  auto* p = static_cast<unsigned char*>(data);
  for (int b = 0; b < nblocks; ++b, p += 8) {
    uint32_t v[2] = {load_le32(p), load_le32(p + 4)};
    if (encipher)
      tea_encrypt(v, k);
    else
      tea_decrypt(v, k);
    store_le32(p, v[0]);
    store_le32(p + 4, v[1]);
  }
}

}  // namespace

void tea_encrypt(uint32_t* v, const uint32_t* k) {
  uint32_t v0 = v[0], v1 = v[1], sum = 0;
  for (int i = 0; i < 32; ++i) {
    sum += kDelta;
    v0 += ((v1 << 4) + k[0]) ^ (v1 + sum) ^ ((v1 >> 5) + k[1]);
    v1 += ((v0 << 4) + k[2]) ^ (v0 + sum) ^ ((v0 >> 5) + k[3]);
  }
  v[0] = v0;
  v[1] = v1;
}

void tea_decrypt(uint32_t* v, const uint32_t* k) {
  uint32_t v0 = v[0], v1 = v[1], sum = 0xC6EF3720u;
  for (int i = 0; i < 32; ++i) {
    v1 -= ((v0 << 4) + k[2]) ^ (v0 + sum) ^ ((v0 >> 5) + k[3]);
    v0 -= ((v1 << 4) + k[0]) ^ (v1 + sum) ^ ((v1 >> 5) + k[1]);
    sum -= kDelta;
  }
  v[0] = v0;
  v[1] = v1;
}

// The second instance's copies behave identically; one body serves both names.
void vv2_tea_encrypt(uint32_t* v, const uint32_t* k) { tea_encrypt(v, k); }
void vv2_tea_decrypt(uint32_t* v, const uint32_t* k) { tea_decrypt(v, k); }

int encrypt_ex(void* data, int n, const void* key16) {
  if (n <= 0 || !data || !key16) return 0;
  int nblocks = (n + 7) / 8;
  blocks(data, nblocks, key16, true);
  return nblocks * 8;
}

void decrypt_ex(void* data, int n, const void* key16) {
  if (n <= 0 || !data || !key16) return;
  blocks(data, (n + 7) / 8, key16, false);
}

int vv2_encrypt_ex(void* data, int n, const void* key16) { return encrypt_ex(data, n, key16); }

int encrypt_ex2(void* data, int n, const void* key16) {
  if (n > 0 && data && key16) blocks(data, n / 8, key16, true);
  return n;
}

void decrypt_ex2(void* data, int n, const void* key16) {
  if (n > 0 && data && key16) blocks(data, n / 8, key16, false);
}

// ---- MD5 (RFC 1321) ----

namespace {

inline uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

const unsigned char kPadding[64] = {0x80};

void encode_words(unsigned char* out, const uint32_t* in, int words) {
  for (int i = 0; i < words; ++i) store_le32(out + 4 * i, in[i]);
}

}  // namespace

void vv_MD5Init(vv_MD5_CTX* ctx) {
  ctx->count[0] = ctx->count[1] = 0;
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xefcdab89u;
  ctx->state[2] = 0x98badcfeu;
  ctx->state[3] = 0x10325476u;
  memset(ctx->buffer, 0, sizeof(ctx->buffer));
}

void vv_MD5Transform(uint32_t state[4], const uint32_t x[16]) {
  static const int s[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  static const uint32_t t[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
      0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
      0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
      0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
      0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
      0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
      0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
      0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
      0xeb86d391};
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t tmp = d;
    d = c;
    c = b;
    b = b + rotl(a + f + t[i] + x[g], s[i]);
    a = tmp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void vv_MD5Decode(void* buf, int words) {
  auto* p = static_cast<unsigned char*>(buf);
  for (int i = 0; i < words; ++i) {
    uint32_t w = load_le32(p + 4 * i);
    memcpy(p + 4 * i, &w, 4);
  }
}

static void transform_block(uint32_t state[4], const unsigned char* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = load_le32(block + 4 * i);
  vv_MD5Transform(state, x);
}

void vv_MD5Update(vv_MD5_CTX* ctx, const void* data, uint32_t len) {
  const auto* in = static_cast<const unsigned char*>(data);
  uint32_t index = (ctx->count[0] >> 3) & 0x3F;
  uint32_t bits_lo = len << 3;
  ctx->count[0] += bits_lo;
  if (ctx->count[0] < bits_lo) ++ctx->count[1];
  ctx->count[1] += len >> 29;
  uint32_t part = 64 - index;
  uint32_t i = 0;
  if (len >= part) {
    memcpy(&ctx->buffer[index], in, part);
    transform_block(ctx->state, ctx->buffer);
    for (i = part; i + 63 < len; i += 64) transform_block(ctx->state, in + i);
    index = 0;
  }
  if (len > i) memcpy(&ctx->buffer[index], in + i, len - i);
}

void vv_MD5Final(unsigned char digest[16], vv_MD5_CTX* ctx) {
  unsigned char bits[8];
  encode_words(bits, ctx->count, 2);
  uint32_t index = (ctx->count[0] >> 3) & 0x3F;
  uint32_t pad = index < 56 ? 56 - index : 120 - index;
  vv_MD5Update(ctx, kPadding, pad);
  vv_MD5Update(ctx, bits, 8);
  encode_words(digest, ctx->state, 4);
  memset(ctx->state, 0, sizeof(ctx->state));
}

void vv_Md5String(const void* data, int len, char* out) {
  if (!out) return;
  vv_MD5_CTX ctx;
  vv_MD5Init(&ctx);
  if (data && len > 0) vv_MD5Update(&ctx, data, static_cast<uint32_t>(len));
  unsigned char d[16];
  vv_MD5Final(d, &ctx);
  static const char hex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = hex[d[i] >> 4];
    out[2 * i + 1] = hex[d[i] & 15];
  }
  out[32] = '\0';
}
