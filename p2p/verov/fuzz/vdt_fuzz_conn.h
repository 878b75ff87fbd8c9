// One vdt record for the fuzz targets of its handlers: a peer on loopback that never
// answers, a known packet size and a few packets in flight, so that the handlers reach their
// deep paths. The input's first two bytes are replaced by the vdt head and its type.
#pragma once

#include <arpa/inet.h>
#include <string.h>

#include <vector>

#include "vdt_conn.h"

namespace vdtfuzz {

inline vdt_conn& Conn() {
  static VdtRef c = [] {
    VdtRef r = vdt_conn_new(-1, 1440 * 8, 1440 * 12);  // no socket: every send fails quietly
    vdt_conn_set_dest4(*r, "127.0.0.1", 9);
    r->payload_size = 1384;
    r->packet_size = 1400;
    return r;
  }();
  return *c;
}

inline int Run(const uint8_t* data, size_t size, uint16_t type) {
  if (size > 4096) return 0;
  vdt_conn& c = Conn();
  // Keep some packets queued and in flight for the ack handler to free or mark.
  static unsigned char msg[3000];
  {
    int q, f;
    vdt_sender_counts(c, &q, &f);
    if (q + f < 4) vdt_sender_put(c, msg, sizeof(msg));
    vdt_sender_send(c);
  }
  std::vector<unsigned char> buf(data, data + size);
  // Type 0: the input's own type among the eight, or a VERov peer hello as it came.
  if (type == 0 && buf.size() >= 4) type = static_cast<uint16_t>(VDT_HELLO + (buf[3] & 7));
  if (buf.size() >= 4 && !(buf[0] == 0x12 && buf[1] == 0x20)) {
    buf[0] = 0x12;
    buf[1] = 0x01;
    vdt_put16(buf.data() + 2, type);
  }
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(9);
  inet_pton(AF_INET, "127.0.0.1", &from.sin_addr);
  vdt_dispatch(c, buf.data(), buf.size(), reinterpret_cast<sockaddr*>(&from), sizeof(from), nullptr);
  // Whatever arrived must be deliverable within the slots and the caller's room.
  unsigned char out[700];
  int n = vdt_recver_get(c, out, sizeof(out));
  if (n < 0 || n > static_cast<int>(sizeof(out))) __builtin_trap();
  vdt_send_ask_ack_if_flagged(c);
  {
    std::lock_guard<std::mutex> lock(c.snd.mu);
    if (c.snd.free_slots() > c.snd.slots.size() || c.snd.inflight > c.snd.slots.size()) __builtin_trap();
  }
  {
    std::lock_guard<std::mutex> lock(c.rcv.mu);
    if (c.rcv.stored > c.rcv.slots.size()) __builtin_trap();
  }
  if (c.packet_size.load() > VDT_DGRAM_MAX) __builtin_trap();
  return 0;
}

}  // namespace vdtfuzz
