// A TCP stream of OVC datagrams cut into arbitrary reads: the callback keeps partial datagrams,
// skips bytes that start none, and never reads beyond what the connection holds. The first
// bytes of the input give the read sizes; the rest is the stream (plain heads with the magic
// are scrambled here half the time so whole datagrams reach the handler).
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ovc_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TConnection* conn = [] {
    OVC_Set_Max_Session_Number(8);
    if (OVC_Initialize2(0) != 0) abort();
    // The module's threads stop before the process takes its globals down.
    atexit([] { OVC_DeInitialize(); });
    TConnection* c = nullptr;
    if (TConnection_new(TCONN_TCP, TCONN_CLIENT, 0, &c) != 0) abort();
    int sid = ovc_get_free_session();
    OvcSessionLockGuard g;
    RandomIDValueUpdate(&gSessionInfo[sid].randomId, 1, 0x1234, 0);
    gSessionInfo[sid].state = 2;
    return c;
  }();
  if (size < 4) return 0;
  uint8_t cuts[4];
  memcpy(cuts, data, 4);
  data += 4;
  size -= 4;
  uint8_t stream[4096];
  size_t n = size > sizeof stream ? sizeof stream : size;
  memcpy(stream, data, n);
  if (n >= 16 && (cuts[0] & 1)) {
    // Scramble every 16-byte block that looks like a plain head, as a sender would.
    for (size_t at = 0; at + 16 <= n; at += 16)
      if (stream[at] == 0x04 && stream[at + 1] == 0x02) LuffyCore(stream + at, stream + at, 16, 16);
  }
  conn->bufLen = 0;
  conn->appendFlag = 0;
  int want = 1540;
  conn->ops()->setOption(conn, 0, &want);
  size_t pos = 0;
  unsigned k = 0;
  while (pos < n) {
    // One read as the manager does it: append when asked to keep, at most recvSize and room.
    long room;
    uint8_t* at;
    if (conn->appendFlag == 1) {
      conn->appendFlag = 0;
      at = conn->buf + conn->bufLen;
      room = TCONN_BUFFER_SIZE - conn->bufLen;
    } else {
      conn->bufLen = 0;
      at = conn->buf;
      room = TCONN_BUFFER_SIZE;
    }
    long take = conn->recvSize;
    long cut = 1 + cuts[k++ % 4] % 97;
    if (take > cut) take = cut;
    if (take > room) take = room;
    if ((size_t)take > n - pos) take = (long)(n - pos);
    if (take <= 0) break;
    memcpy(at, stream + pos, (size_t)take);
    pos += (size_t)take;
    conn->bufLen += take;
    OVC_TCP_RecvCB(conn, "127.0.0.1", htons(9000), conn->buf, (uint32_t)conn->bufLen, nullptr);
    if (conn->bufLen > TCONN_BUFFER_SIZE) __builtin_trap();
  }
  return 0;
}
