// Bytes of the address lookups that turn a device ID into an address and port: the
// ID-server query (login types 1 and 11), the directory query (type 10) and the HTTP
// redirect (type 23). Request builders and reply parsers are pure functions beside the
// session's socket code, so they can be fuzzed and tested without sockets.
//
// Every parser works on the received length only, takes the address only from inside
// its element or line, limits it to kAddrMax characters and accepts a port of 1-65535
// only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvresolve {
constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kDirPort = 7026;
constexpr size_t kReplyMax = 8192;
constexpr size_t kAddrMax = 63;
// Longest device ID and host a lookup request carries; longer ones are refused.
constexpr size_t kIdMax = 127;
constexpr size_t kHostMax = 253;
}

// A device ID or host that may go into a request line or header: 1..max characters,
// none of them a control character, a space or DEL (so no header can be injected).
bool kv_resolve_text_ok(const std::string& text, size_t max);

// The ID-server query of login type 1 or 11; false (nothing to send) for a refused
// ID or host or another type.
bool kv_resolve_id_request(int loginType, const std::string& devId, const std::string& host, std::string* out);
// The directory query.
bool kv_resolve_dir_request(const std::string& devId, std::string* out);
// The redirect query to the host itself.
bool kv_resolve_redirect_request(const std::string& host, std::string* out);

// ID-server reply: the document from "<response" on, complete up to "</response>";
// address from the RemoteIP element, port from the MediaPort element.
bool kv_resolve_id_reply_complete(const char* buf, size_t len);
bool kv_resolve_parse_id_reply(const char* buf, size_t len, std::string* addr, uint16_t* port);

// Directory reply: text lines; the first complete "IP: " line and the first complete
// "STREAM_PORT: " line (each at a line start) give address and port.
bool kv_resolve_dir_reply_complete(const char* buf, size_t len);
bool kv_resolve_parse_dir_reply(const char* buf, size_t len, std::string* addr, uint16_t* port);

// Redirect reply: the first "Location" header line (name without case) whose value is
// an "http://" URL; the host is the URL authority's host. Complete once that line, or
// the end of the header block, has arrived.
bool kv_resolve_redirect_reply_complete(const char* buf, size_t len);
bool kv_resolve_parse_redirect_reply(const char* buf, size_t len, std::string* host);
