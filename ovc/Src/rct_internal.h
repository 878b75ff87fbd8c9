// RCT internals shared with the tests, fuzz targets and benchmarks: the head codec, the id rule,
// the window arithmetic and a few hooks that keep long waits short in tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "rct_api.h"

constexpr uint32_t RCT_MAGIC = 0xF1C2975Au;
constexpr int RCT_HEAD_SIZE = 20;
constexpr int RCT_SACK2_BODY = 72;
constexpr uint32_t RCT_RECV_BUFFER = 1280;
// The receive list of a channel holds at most this many packets past the delivery point and
// this many bytes; a packet beyond either is not stored (and so not acknowledged).
constexpr uint64_t RCT_RECV_SPAN_LIMIT = 8192;
constexpr uint32_t RCT_RECV_BYTES_LIMIT = 8u << 20;
constexpr uint32_t RCT_DEFAULT_SEND_LIMIT = 1048576;

enum : uint8_t {
  RCT_MSG_HEARTBIT = 0x01,
  RCT_MSG_HEARTBIT_ACK = 0x41,
  RCT_MSG_DATA = 0x02,
  RCT_MSG_DATA_ACK = 0x42,
  RCT_MSG_URGENT = 0x10,
  RCT_MSG_URGENT_ACK = 0x50,
  RCT_MSG_FIN = 0x03,
  RCT_MSG_FIN_ACK = 0x43,
  RCT_MSG_QUIT = 0x04,
  RCT_MSG_ABORT = 0x20,
  RCT_MSG_ABORT_ACK = 0x60,
  RCT_MSG_CREATE_EXIT = 0x70,
  RCT_MSG_DATA_SACK2 = 0x45,
  RCT_MSG_DATA_ACK2 = 0x46,
};

struct RctHead {
  uint32_t magic = RCT_MAGIC;
  uint8_t type = 0;
  uint8_t version = 5;
  uint16_t length = 0;
  uint64_t id = 0;  // high word << 32 | low word: compares like the wire's high-then-low rule
  uint8_t sendCount = 0;
  uint8_t index = 0;
  uint16_t reserved = 0;
};

void rct_head_write(const RctHead& h, uint8_t* out);
RctHead rct_head_read(const uint8_t* in);
uint64_t rct_id_next(uint64_t id);
uint64_t rct_id_make(uint32_t low, uint32_t high);
// Packets from a to b (b >= a), saturating for ids far apart.
uint64_t rct_id_distance(uint64_t a, uint64_t b);

uint32_t icbrt(uint32_t x);
// The window target t microseconds after a reduction from wmax (may be negative).
int64_t rct_cubic_target(uint16_t wmax, int64_t t_us);

// Heartbeat period in ms (1000 by default); a short one makes the watchdog quick in tests.
void rct_set_heartbeat_ms(int ms);
int rct_debug_mode();

// A copy of one record's counters for tests.
struct RctView {
  int inUse, established, sendState, recvState, forceStop, exitFlag;
  uint8_t specificId, remoteIndex, lastRemoteIndex, remoteFixed, wdt, peerVersion;
  uint32_t sendQ, sendBytes, bufInRecv, recvListCount, cwnd, rto, srtt;
  uint64_t expected, lastInOrder, deliveryPoint;
  int ovcError;
};
int rct_view(int rctId, RctView* out);
// A record bound to (sid, channel) as if established, with no send thread: lets a fuzz target or
// a table test drive RCTRecvCB without a session. Needs RCT_Initialize.
int rct_attach_for_test(int sid, uint8_t channel, uint8_t peerVersion);
void rct_detach_for_test(int rctId);
// Packets that the attached records would have sent (type and id), oldest first; cleared on read.
struct RctSent {
  uint8_t type;
  uint64_t id;
  uint64_t from, to;  // SACK2 range
};
int rct_take_sent(RctSent* out, int capacity);
