// The one send routine of every OVC sender: flags, scramble into a bounded buffer, send.
#include <string.h>

#include "ovc_state.h"

int ovc_SendMessage(TConnection* conn, uint8_t* datagram, int length, const char* addressText,
                    int port) {
  // Nothing is touched, not even the caller's flags, unless the datagram can go out.
  if (!conn || !datagram || !addressText) return 0;
  if (length < (int)OVC_HEAD_SIZE || length > (int)OVC_DATAGRAM_MAX) return 0;
  datagram[3] |= OVC_FLAG_PE_AWARE;
  uint8_t buf[OVC_DATAGRAM_MAX];
  uint16_t scrambled = (datagram[3] & OVC_FLAG_PARTIAL) ? 64 : (uint16_t)length;
  LuffyCore(datagram, buf, (uint16_t)length, scrambled);
  int len = length;
  int rc = conn->ops()->sendTo(conn, addressText, (uint16_t)port, buf, &len);
  return rc < 0 ? 0 : len;
}
