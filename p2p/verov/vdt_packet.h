// vdt datagrams: pure encoders and decoders. Every vdt integer is big-endian, unlike the rest
// of the library. Decoders check every length against the bytes that arrived and fill a
// plain record; they never touch connection state.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  VDT_HELLO = 0x1000,
  VDT_HELLO_RE = 0x1001,
  VDT_PACKET = 0x1002,
  VDT_ACK = 0x1003,
  VDT_ASK = 0x1004,
  VDT_CHECK_MTU = 0x1005,
  VDT_CHECK_MTU_RE = 0x1006,
  VDT_CLOSE = 0x1007,
};

enum {
  VDT_HEAD = 16,
  VDT_DGRAM_MAX = 1400,                 // a datagram is read into this many bytes
  VDT_PAYLOAD_MAX = VDT_DGRAM_MAX - 16,  // 1384
  VDT_MTU_MIN = 512,
  VDT_HELLO_LEN = 20,
  VDT_ACK_MISSING_MAX = (VDT_DGRAM_MAX - 16) / 4,  // what one read datagram can hold: 346
  VDT_SLOT_SIZE = 1440,
};

struct VdtHello {
  uint32_t sec, usec;
  uint32_t counter;
  uint16_t slots, free_slots;
};

struct VdtDataHead {
  uint32_t seq;
  uint16_t len;
  uint8_t last;
  uint8_t retrans;
  uint8_t ack_every;
};

struct VdtAck {
  uint16_t free_slots;
  uint16_t n;
  uint32_t highest;
  const unsigned char* missing;  // n big-endian u32 inside the datagram
};

struct VdtStamp {  // ask, check MTU, its reply, close
  uint32_t seq;    // ask only
  uint32_t sec, usec;
  uint16_t size;   // MTU probe and reply only
};

uint16_t vdt_get16(const unsigned char* p);
uint32_t vdt_get32(const unsigned char* p);
void vdt_put16(unsigned char* p, uint16_t v);
void vdt_put32(unsigned char* p, uint32_t v);

// The vdt type of a datagram (0x1000-0x1007), or -1 when it is not one.
int vdt_packet_type(const unsigned char* d, size_t len);
// 1 when the datagram is a VERov peer hello (magic 0x2012, message 2000).
int vdt_is_vvnat_hello(const unsigned char* d, size_t len);

size_t vdt_encode_hello(unsigned char* out, uint16_t type, const VdtHello& h);
bool vdt_decode_hello(const unsigned char* d, size_t len, VdtHello* h);

void vdt_encode_data_head(unsigned char* out, const VdtDataHead& h);
// The payload length must fit the datagram and the largest payload.
bool vdt_decode_data(const unsigned char* d, size_t len, VdtDataHead* h);

// Writes at most `max_missing` of the n numbers (and no more than fit VDT_DGRAM_MAX);
// returns the datagram length.
size_t vdt_encode_ack(unsigned char* out, uint16_t free_slots, uint32_t highest,
                      const uint32_t* missing, size_t n);
// The count must fit the datagram.
bool vdt_decode_ack(const unsigned char* d, size_t len, VdtAck* a);
uint32_t vdt_ack_missing(const VdtAck& a, size_t i);

size_t vdt_encode_ask(unsigned char* out, const VdtStamp& s);
bool vdt_decode_ask(const unsigned char* d, size_t len, VdtStamp* s);

// A probe of `size` bytes (clamped to 16..VDT_DGRAM_MAX); the filler means nothing.
size_t vdt_encode_check_mtu(unsigned char* out, const VdtStamp& s);
bool vdt_decode_check_mtu(const unsigned char* d, size_t len, VdtStamp* s);
// The reply: the probe's first 16 bytes with the reply type.
size_t vdt_encode_check_mtu_re(unsigned char* out, const unsigned char* probe);
// The size a reply names, capped at VDT_DGRAM_MAX; false below VDT_MTU_MIN (never probed).
bool vdt_decode_check_mtu_re(const unsigned char* d, size_t len, VdtStamp* s);

size_t vdt_encode_close(unsigned char* out, const VdtStamp& s);
bool vdt_decode_close(const unsigned char* d, size_t len, VdtStamp* s);

// Turns a peer hello (message 2000, at least 120 bytes) in place into its reply 2001 with
// the connection id and uuid; false when the datagram is too short to carry them.
bool vdt_make_vvnat_hello_reply(unsigned char* d, size_t len, int32_t conn_id, const char* uuid);
