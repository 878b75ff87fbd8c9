// The NAT client's wrappers over a connection's vdt (index: connection 1..100), for both
// instances.
#pragma once

#include <stdint.h>

#include "vdt_packet.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { VDT_FRAME_FIRST_MAX = VDT_DGRAM_MAX };

#define VV_NAT_VDT_DECLARE(P)                                                   \
  int P##vdt_sndbuff(int index);                                                \
  int P##vdt_id(int index);                                                     \
  int P##sendable(int index);                                                   \
  void P##vdt_setbuff(int snd, int rcv);                                        \
  int P##vdt_send(int index, uint16_t a, uint16_t b, const void* data, int len); \
  void P##conn_vdt_rate(int index, int rate);

VV_NAT_VDT_DECLARE(vv_nat_)
VV_NAT_VDT_DECLARE(vv2_nat_)
#undef VV_NAT_VDT_DECLARE

// One frame (u16 a, u16 b, u32 length, little-endian, then the data) over vdt in one or two
// sends; the bytes of `data` taken, 0 when vdt has no room, -1 on failure.
int vv_nat_vdt_write_frame(int vdt_id, uint16_t a, uint16_t b, const void* data, int len);

#ifdef __cplusplus
}
#endif
