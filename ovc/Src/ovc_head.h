// The 16-byte head of every OVC datagram and the fixed-key scrambler that every datagram passes.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t OVC_INTERNAL_GUARD = 0x5A3C91E7u;

constexpr uint16_t OVC_HEAD_MAGIC = 0x0204;
constexpr uint8_t OVC_HEAD_TAG = 0x14;
constexpr size_t OVC_HEAD_SIZE = 16;
constexpr size_t OVC_DATAGRAM_MAX = 1500;

// Flag bits of the head.
constexpr uint8_t OVC_FLAG_PARTIAL = 0x01;   // only the first 64 bytes are scrambled
constexpr uint8_t OVC_FLAG_PE_AWARE = 0x02;  // set on every datagram this SDK sends
constexpr uint8_t OVC_FLAG_RELIABLE = 0x04;
constexpr uint8_t OVC_FLAG_LONG_ID = 0x08;   // the sender's long random ID follows the head

#pragma pack(push, 1)
struct OVC_Head {
  uint16_t magic;
  uint8_t tag;
  uint8_t flags;
  uint16_t length;  // bytes after the head
  uint16_t seq;
  uint16_t type;
  uint16_t route;
  uint16_t randomId;
  uint8_t channel;
  uint8_t reserved;
};
struct RandomIdExt {
  uint32_t size;  // 12
  uint32_t idLow;
  uint32_t idHigh;
};
#pragma pack(pop)
static_assert(sizeof(OVC_Head) == 16, "OVC_Head is 16 bytes");
static_assert(sizeof(RandomIdExt) == 12, "RandomIdExt is 12 bytes");

// Wire form (little-endian) to and from the record, independent of the host's byte order.
void ovc_head_write(const OVC_Head& h, uint8_t out[16]);
OVC_Head ovc_head_read(const uint8_t in[16]);

void LuffyCore(const void* src, void* dst, uint16_t length, uint16_t scrambledLength);
void ZoroCore(const void* src, void* dst, uint16_t length, uint16_t scrambledLength);
void Luffy(const void* src, void* dst, uint16_t length, uint16_t scrambledLength, uint32_t guard);
void Zoro(const void* src, void* dst, uint16_t length, uint16_t scrambledLength, uint32_t guard);

// A received datagram: head unscrambled alone, then the rest (48 bytes of it when the head says
// partial, else all). The head's length must fit what arrived; the body is the bytes after the
// head, trimmed to that length. Returns 0, or -1 for a datagram to drop.
struct OvcReceived {
  OVC_Head head;
  uint8_t bytes[OVC_DATAGRAM_MAX];  // unscrambled datagram, head included
  size_t size;                      // 16 + head.length
};
int ovc_unscramble_datagram(const uint8_t* data, size_t len, OvcReceived* out);
