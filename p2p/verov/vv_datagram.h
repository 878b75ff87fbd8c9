// The common head of VERov datagrams and the TEA-packed text message.
#pragma once

#include <stdint.h>
#include <sys/time.h>

enum {
  VV_MAGIC = 0x2012,
  VV_HEAD_SIZE = 4,
  VV_TEXT_HEAD_SIZE = 20,
  VV_TEXT_MAX = 1499,      // characters of one text body (the NUL makes 1500)
  VV_TEXT_DGRAM_MAX = 20 + 1504,
};

enum vv_msg_id {
  VV_MSG_SVRLIST_QUERY = 5001,
  VV_MSG_SVRLIST = 5002,
  VV_MSG_MAPPED_QUERY = 1000,
  VV_MSG_MAPPED = 1001,
  VV_MSG_HB_REPLY = 1003,
  VV_MSG_CONN_REQ = 1004,
  VV_MSG_CONN_RESULT = 1005,
  VV_MSG_NEW_UUID = 1007,
  VV_MSG_PARAMS = 1008,
  VV_MSG_PARAMS_ACK = 1009,
  VV_MSG_STATUS_QUERY = 1010,
  VV_MSG_STATUS = 1011,
  VV_MSG_HB_KEY = 1012,
  VV_MSG_HB_KEY_REPLY = 1013,
  VV_MSG_AUTH_RESULT = 1015,
  VV_MSG_INCOMING = 1017,
  VV_MSG_NAT_TEST = 1018,
  VV_MSG_HB2 = 1021,
  VV_MSG_HB2_REPLY = 1022,
  VV_MSG_AUTH = 1023,
  VV_MSG_UPNP_REPORT = 1100,
  VV_MSG_UPNP_QUERY = 1101,
  VV_MSG_UPNP_REPLY = 1102,
  VV_MSG_CONNECT_LOG = 1103,
  VV_MSG_DISCONNECT_LOG = 1104,
  VV_MSG_HELLO = 2000,
  VV_MSG_HELLO_REPLY = 2001,
  VV_MSG_PEER_HB = 2002,
  VV_MSG_DATA = 2003,
  VV_MSG_CLOSE = 2004,
  VV_MSG_FRAGMENT = 2005,
  VV_MSG_FRAGMENT_ACK = 2006,
  VV_MSG_LOGIN_REQ = 2007,
  VV_MSG_LOGIN_RESULT = 2008,
  VV_MSG_RELAY_REG = 3001,
  VV_MSG_RELAY_REPLY1 = 3002,
  VV_MSG_RELAY_REPLY2 = 3003,
};

// Little-endian field access for datagram bodies.
uint16_t vv_get16(const void* p);
uint32_t vv_get32(const void* p);
void vv_put16(void* p, uint16_t v);
void vv_put32(void* p, uint32_t v);

// 1 when the datagram has a full head with the magic; its id goes to *id when given.
int vv_head_ok(const void* dgram, int len, uint16_t* id);

// Builds a text message: head with the clock words, `unset4` (4 bytes or NULL: zero) as the
// head bytes 12-15, then the text with its NUL enciphered under the head's first 16 bytes.
// Returns the datagram length, or -1 when the text is too long or `cap` too small.
int vv_text_build(void* out, int cap, uint16_t id, const char* text, uint32_t sec, uint32_t usec,
                  const void* unset4);

// Reads a text message in place: checks the head and both length fields against the bytes
// received, deciphers with the received key and points *text at the NUL-terminated body.
// Returns the text length without the NUL, or a negative code:
//   -1 short or no magic, -2 text length 0 or over 1500, -3 padded length not a multiple of 8,
//   below the text length or beyond the datagram, -4 the text does not end at its length.
enum { VV_TEXT_SHORT = -1, VV_TEXT_BAD_LEN = -2, VV_TEXT_BAD_PAD = -3, VV_TEXT_NO_NUL = -4 };
int vv_text_decode(void* dgram, int len, uint16_t* id, const char** text);

// Splits text in place at every `sep`, storing at most `max` field pointers; once `max`
// fields are taken the rest stays in the last one. Returns the number of fields (0 for an
// empty text); a trailing separator gives a last, empty field.
int vv_divstr(char* text, char** fields, int max, char sep);
int vv2_divstr(char* text, char** fields, int max, char sep);

// Microseconds from `since` to now (wall clock, as the datagrams carry it); 0 when it has no
// seconds or lies in the future. Wraps after about 71 minutes: for short waits only.
uint32_t vv_nat_time_lag(struct timeval since);
uint32_t vv2_nat_time_lag(struct timeval since);
