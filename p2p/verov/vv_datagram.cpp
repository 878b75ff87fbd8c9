#include "vv_datagram.h"

#include <string.h>

#include "vv_crypto.h"

uint16_t vv_get16(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t vv_get32(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void vv_put16(void* p, uint16_t v) {
  auto* b = static_cast<unsigned char*>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
}

void vv_put32(void* p, uint32_t v) {
  auto* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}

int vv_head_ok(const void* dgram, int len, uint16_t* id) {
  if (!dgram || len < VV_HEAD_SIZE || vv_get16(dgram) != VV_MAGIC) return 0;
  if (id) *id = vv_get16(static_cast<const unsigned char*>(dgram) + 2);
  return 1;
}

int vv_text_build(void* out, int cap, uint16_t id, const char* text, uint32_t sec, uint32_t usec,
                  const void* unset4) {
  if (!out || !text) return -1;
  size_t tl = strlen(text);
  if (tl > VV_TEXT_MAX) return -1;
  int padded = static_cast<int>((tl + 1 + 7) / 8 * 8);
  if (cap < VV_TEXT_HEAD_SIZE + padded) return -1;
  auto* d = static_cast<unsigned char*>(out);
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, id);
  vv_put32(d + 4, sec);
  vv_put32(d + 8, usec);
  if (unset4)
    memcpy(d + 12, unset4, 4);
  else
    memset(d + 12, 0, 4);
  // The padding carries no meaning; zero it so nothing of an earlier message leaks out.
  memset(d + VV_TEXT_HEAD_SIZE, 0, static_cast<size_t>(padded));
  memcpy(d + VV_TEXT_HEAD_SIZE, text, tl + 1);
  vv_put16(d + 16, static_cast<uint16_t>(tl + 1));
  // The key bytes (0-15) are final before enciphering; the length fields lie outside them.
  int got = encrypt_ex(d + VV_TEXT_HEAD_SIZE, static_cast<int>(tl + 1), d);
  vv_put16(d + 18, static_cast<uint16_t>(got));
  return VV_TEXT_HEAD_SIZE + got;
}

int vv_text_decode(void* dgram, int len, uint16_t* id, const char** text) {
  if (!vv_head_ok(dgram, len, id) || len < VV_TEXT_HEAD_SIZE) return VV_TEXT_SHORT;
  auto* d = static_cast<unsigned char*>(dgram);
  int tl = vv_get16(d + 16);
  int padded = vv_get16(d + 18);
  if (tl < 1 || tl > VV_TEXT_MAX + 1) return VV_TEXT_BAD_LEN;
  if (padded % 8 != 0 || padded < tl || padded > len - VV_TEXT_HEAD_SIZE) return VV_TEXT_BAD_PAD;
  decrypt_ex(d + VV_TEXT_HEAD_SIZE, padded, d);
  char* body = reinterpret_cast<char*>(d + VV_TEXT_HEAD_SIZE);
  if (body[tl - 1] != '\0' || memchr(body, '\0', static_cast<size_t>(tl - 1)))
    return VV_TEXT_NO_NUL;
  if (text) *text = body;
  return tl - 1;
}

int vv_divstr(char* text, char** fields, int max, char sep) {
  if (!text || !fields || max <= 0 || !*text) return 0;
  int n = 0;
  fields[n++] = text;
  for (char* p = text; *p && n < max; ++p) {
    if (*p == sep) {
      *p = '\0';
      fields[n++] = p + 1;
    }
  }
  return n;
}

int vv2_divstr(char* text, char** fields, int max, char sep) {
  return vv_divstr(text, fields, max, sep);
}

uint32_t vv_nat_time_lag(struct timeval since) {
  if (since.tv_sec == 0) return 0;
  timeval now;
  gettimeofday(&now, nullptr);
  long long us = (static_cast<long long>(now.tv_sec) - since.tv_sec) * 1000000LL +
                 (now.tv_usec - since.tv_usec);
  if (us < 0) return 0;
  return static_cast<uint32_t>(us);
}

uint32_t vv2_nat_time_lag(struct timeval since) { return vv_nat_time_lag(since); }
