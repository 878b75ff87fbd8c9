#include "t2u_frames.h"

#include <stdio.h>
#include <string.h>

namespace {
void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Bytes a device ID may hold in a search listing: printable, and none of the listing's own
// separators, so one reply can never forge a second line or entry.
bool id_char_ok(uint8_t c) { return c > 0x20 && c < 0x7f && c != ',' && c != '='; }
}  // namespace

const uint8_t t2u_close_notice[6] = {'C', 'L', 'O', 'S', 'E', 0};

void t2u_pack_dest(uint8_t out[T2U_CTRL_BODY], uint16_t client, const char* host, uint16_t port) {
  memset(out, 0, T2U_CTRL_BODY);
  put_be16(out, client);
  if (host) {
    size_t n = strnlen(host, T2U_HOST_TEXT - 1);
    memcpy(out + 2, host, n);
  }
  put_be16(out + 22, port);
}

bool t2u_unpack_dest(const uint8_t* body, size_t len, uint16_t* client, char host[T2U_HOST_TEXT],
                     uint16_t* port) {
  if (!body || len < T2U_CTRL_BODY) return false;
  const void* nul = memchr(body + 2, 0, T2U_HOST_TEXT);
  if (!nul) return false;
  *client = be16(body);
  memcpy(host, body + 2, T2U_HOST_TEXT);
  *port = be16(body + 22);
  return true;
}

void t2u_pack_close(uint8_t out[T2U_CTRL_BODY], uint16_t client) {
  memset(out, 0, T2U_CTRL_BODY);
  put_be16(out, client);
}

bool t2u_unpack_close(const uint8_t* body, size_t len, uint16_t* client) {
  if (!body || len < 2) return false;
  *client = be16(body);
  return true;
}

bool t2u_is_close_notice(const uint8_t* d, size_t len) {
  return d && len == sizeof(t2u_close_notice) && memcmp(d, t2u_close_notice, len) == 0;
}

int t2u_parse_socks4(const uint8_t* d, size_t len, T2uSocksRequest* out) {
  if (!d) return T2U_SOCKS_BAD;
  if (len >= 1 && d[0] != 4) return T2U_SOCKS_BAD;
  if (len >= 2 && d[1] != 1) return T2U_SOCKS_BAD;
  if (len < 8) return T2U_SOCKS_MORE;
  // A request of exactly 8 bytes carries no user id; otherwise the id runs to its NUL.
  size_t end = 8;
  if (len > 8) {
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(d + 8, 0, len - 8));
    if (!nul) return len - 8 > 255 ? T2U_SOCKS_BAD : T2U_SOCKS_MORE;
    end = static_cast<size_t>(nul - d) + 1;
  }
  memset(out, 0, sizeof(*out));
  out->port = be16(d + 2);
  const bool socks4a = d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] != 0;
  if (socks4a) {
    if (end == 8) return T2U_SOCKS_MORE;  // the name follows the (empty) user id
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(d + end, 0, len - end));
    if (!nul) return len - end >= T2U_HOST_TEXT ? T2U_SOCKS_BAD : T2U_SOCKS_MORE;
    size_t n = static_cast<size_t>(nul - (d + end));
    if (n == 0 || n >= T2U_HOST_TEXT) return T2U_SOCKS_BAD;
    memcpy(out->host, d + end, n);
    end += n + 1;
  } else {
    snprintf(out->host, sizeof(out->host), "%u.%u.%u.%u", d[4], d[5], d[6], d[7]);
  }
  out->consumed = end;
  out->reply[0] = 0;
  out->reply[1] = 90;
  memcpy(out->reply + 2, d + 2, 6);
  return T2U_SOCKS_OK;
}

void t2u_search_request(uint8_t out[T2U_SEARCH_REQUEST]) {
  memset(out, 0, T2U_SEARCH_REQUEST);
  out[0] = 16;
}

int t2u_search_add_reply(const uint8_t* d, size_t len, const char* sender_ip, char* buf,
                         size_t size) {
  if (!d || !buf || size == 0 || !sender_ip) return T2U_SEARCH_IGNORED;
  if (len < 3 || len > T2U_SEARCH_REPLY_MAX) return T2U_SEARCH_IGNORED;
  if ((d[0] | (d[1] << 8)) != 32) return T2U_SEARCH_IGNORED;
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(d + 2, 0, len - 2));
  if (!nul) return T2U_SEARCH_IGNORED;  // the ID must end inside the datagram
  size_t idlen = static_cast<size_t>(nul - (d + 2));
  if (idlen == 0) return T2U_SEARCH_IGNORED;
  for (size_t i = 0; i < idlen; ++i)
    if (!id_char_ok(d[2 + i])) return T2U_SEARCH_IGNORED;
  // Lines are built in a 100-character work buffer; an ID that cannot fit is not listed.
  char line[100];
  int n = snprintf(line, sizeof(line), "uuid=%.*s,ip=%s\n", static_cast<int>(idlen),
                   reinterpret_cast<const char*>(d + 2), sender_ip);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(line)) return T2U_SEARCH_IGNORED;
  // Already listed: look for "uuid=ID," at the start of a line.
  size_t keylen = 5 + idlen + 1;
  size_t used = strnlen(buf, size);
  if (used >= size) return T2U_SEARCH_FULL;
  for (const char* p = buf; p && *p;) {
    if (static_cast<size_t>(buf + used - p) >= keylen && memcmp(p, line, keylen) == 0)
      return T2U_SEARCH_IGNORED;
    p = strchr(p, '\n');
    if (p) ++p;
  }
  if (used + static_cast<size_t>(n) >= size) return T2U_SEARCH_FULL;
  memcpy(buf + used, line, static_cast<size_t>(n) + 1);
  return T2U_SEARCH_ADDED;
}

int t2u_upnp_request(char* out, size_t size, const char* host, uint16_t port) {
  int n = snprintf(out, size,
                   "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\nT2uClient: %d\r\n"
                   "Content-Length: 0\r\n\r\n",
                   host, port, host, port, T2U_LIB_VERSION);
  return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : n;
}

int t2u_upnp_reply(const uint8_t* d, size_t len, size_t* header_len) {
  if (!d) return T2U_UPNP_REFUSED;
  static const char kProto[] = "HTTP/1.";
  size_t cmp = len < 7 ? len : 7;
  if (memcmp(d, kProto, cmp) != 0) return T2U_UPNP_REFUSED;
  size_t end = 0;
  for (size_t i = 0; i + 3 < len; ++i) {
    if (d[i] == '\r' && d[i + 1] == '\n' && d[i + 2] == '\r' && d[i + 3] == '\n') {
      end = i + 4;
      break;
    }
  }
  if (end == 0) return len >= 1024 ? T2U_UPNP_REFUSED : T2U_UPNP_MORE;
  // "HTTP/1.x 200" and then a space or the line end.
  if (end < 13 || d[8] != ' ' || memcmp(d + 9, "200", 3) != 0) return T2U_UPNP_REFUSED;
  if (!(d[12] == ' ' || d[12] == '\r')) return T2U_UPNP_REFUSED;
  *header_len = end;
  return T2U_UPNP_OK;
}
