// Byte handling of the port-forwarding layer: the control frames exchanged with the device,
// the close notice, the SOCKS version 4 request of a mapping without destination port, the LAN
// search datagrams and the HTTP CONNECT of the router path. Pure functions over bounded
// buffers; every length read from received bytes is checked against what arrived.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  T2U_CTRL_CLIENT = 0xFFFF,    // client id of a control frame
  T2U_FRAME_DATA = 0,
  T2U_FRAME_DEST_TCP = 0xFF01,
  T2U_FRAME_CLOSE = 0xFF02,
  T2U_FRAME_DEST_UDP = 0xFF04,
  T2U_CTRL_BODY = 24,          // set-destination and close bodies
  T2U_HOST_TEXT = 20,          // destination host field, NUL included
  T2U_MAX_READ = 10400,        // largest packet a connection carries
  T2U_SEARCH_PORT = 60320,
  T2U_SEARCH_REQUEST = 102,
  T2U_SEARCH_REPLY_MAX = 1402,
  T2U_LIB_VERSION = 118,
};

// Set-destination body: client id (big-endian), host text (at most 19 characters kept, NUL
// terminated), port (big-endian) at offset 22.
void t2u_pack_dest(uint8_t out[T2U_CTRL_BODY], uint16_t client, const char* host, uint16_t port);
// false when the body is short or its host text has no NUL inside its field.
bool t2u_unpack_dest(const uint8_t* body, size_t len, uint16_t* client, char host[T2U_HOST_TEXT],
                     uint16_t* port);

void t2u_pack_close(uint8_t out[T2U_CTRL_BODY], uint16_t client);
// Only the client id is read; a body shorter than the id is refused.
bool t2u_unpack_close(const uint8_t* body, size_t len, uint16_t* client);

// The close notice kept in the close-notice queue: "CLOSE" and its NUL.
extern const uint8_t t2u_close_notice[6];
bool t2u_is_close_notice(const uint8_t* d, size_t len);

// SOCKS version 4 CONNECT (and its 4a form with a host name after the user id).
struct T2uSocksRequest {
  char host[T2U_HOST_TEXT];  // dotted address or the 4a host name
  uint16_t port;
  size_t consumed;           // bytes of the request, user id and 4a name included
  uint8_t reply[8];          // 0, 90, then request bytes 2..7
};
enum { T2U_SOCKS_BAD = -1, T2U_SOCKS_MORE = 0, T2U_SOCKS_OK = 1 };
// OK when `d` opens with a complete request; MORE when it could still become one; BAD when it
// is not a version 4 CONNECT (or a 4a name does not fit the host field).
int t2u_parse_socks4(const uint8_t* d, size_t len, T2uSocksRequest* out);

// LAN search.
void t2u_search_request(uint8_t out[T2U_SEARCH_REQUEST]);
enum { T2U_SEARCH_FULL = -1, T2U_SEARCH_IGNORED = 0, T2U_SEARCH_ADDED = 1 };
// Appends "uuid=ID,ip=SENDER\n" to the NUL-terminated text in buf when the reply is a search
// answer with a sane ID that is not yet listed. FULL when the line would make the text reach
// `size` (nothing appended).
int t2u_search_add_reply(const uint8_t* d, size_t len, const char* sender_ip, char* buf,
                         size_t size);

// HTTP CONNECT of the router path; the text's length, or -1 when it does not fit.
int t2u_upnp_request(char* out, size_t size, const char* host, uint16_t port);
enum { T2U_UPNP_REFUSED = -1, T2U_UPNP_MORE = 0, T2U_UPNP_OK = 1 };
// OK for a complete header with status 200 (*header_len: bytes up to and with the blank line;
// any bytes after it belong to the stream); REFUSED for any other status or a header that is
// not HTTP; MORE while the header is incomplete and shorter than 1024 bytes.
int t2u_upnp_reply(const uint8_t* d, size_t len, size_t* header_len);
