// The tunnel messages inside a session's reliable stream: a 4-byte head {type, channel,
// u16 length} and a body. Every byte received is read through TnlReader; nothing here trusts
// a length from the wire before checking it against what arrived.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace tnl {

constexpr size_t kHeadSize = 4;
constexpr size_t kMaxBody = 8192;         // a longer body ends the session
constexpr size_t kMaxAuthData = 1000;
constexpr size_t kAuthFixed = 8;          // version word and n inside the body
constexpr size_t kMaxAuthRequest = kHeadSize + kAuthFixed + kMaxAuthData;
constexpr uint32_t kVersionWord = 0x0301052A;
constexpr int kChannels = 256;

enum MsgType : uint8_t {
  kOpen = 1,
  kData = 2,
  kHalfClose = 3,
  kClose = 4,
  kPause = 5,
  kResume = 6,
  kFlow = 7,      // also the authentication request as the first message of a session
  kAuthAccept = 8,
  kAuthReject = 9,
  kLanRequest = 10,
  kLanReply = 11,
};

struct Head {
  uint8_t type;
  uint8_t channel;
  uint16_t length;
};

// Bounded little-endian reader: each read checks that it fits and reports failure otherwise.
class TnlReader {
public:
  TnlReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool u8(uint8_t* v);
  bool u16(uint16_t* v);
  bool u16be(uint16_t* v);
  bool u32(uint32_t* v);
  bool u32be(uint32_t* v);
  bool block(const uint8_t** p, size_t len);
  size_t left() const { return n_ - pos_; }

private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
};

void put_head(uint8_t out[4], uint8_t type, uint8_t channel, uint16_t length);
bool read_head(const uint8_t* p, size_t n, Head* h);

// A head and its body in one buffer, ready for one stream write.
std::vector<uint8_t> make_msg(uint8_t type, uint8_t channel, const void* body, size_t length);

// Open body: a BSD sockaddr_in as laid out on the wire (len byte 0, family 2, port and
// address in network order, 8 zero bytes). The receiver forces the family to 2.
constexpr size_t kOpenBody = 16;
void put_open_body(uint8_t out[16], uint32_t ipv4HostOrder, uint16_t port);
bool read_open_body(const uint8_t* p, size_t n, uint32_t* ipv4HostOrder, uint16_t* port);

// Authentication request {7, 0, n + 8 | version, n, data}. Building refuses n above 1000,
// data without length and length without data.
bool make_auth_request(const void* data, size_t n, std::vector<uint8_t>* out);

struct AuthRequest {
  uint32_t version = 0;
  uint32_t n = 0;
  const uint8_t* data = nullptr;   // points into the parsed bytes
};
// The server's parse of the whole request as it arrived: type 7, head length = n + 8,
// n at most 1000, and exactly that many bytes present. False otherwise.
bool parse_auth_request(const uint8_t* p, size_t len, AuthRequest* out);

// The agent reads the reply's head first and then exactly the body it announces (0 or 4).
enum class AuthVerdict { kAccepted, kRejected, kMalformed };
// Body length the head announces, or -1 for a head that is no reply at all.
int auth_reply_body_length(const uint8_t head[4]);
// Verdict and the device's result (0 when the reply carries none).
AuthVerdict parse_auth_reply(const uint8_t head[4], const uint8_t* body, size_t bodyLen,
                             int32_t* result);
std::vector<uint8_t> make_auth_reply(bool accept, bool withResult, int32_t result);

// The direct-LAN probe's countdown step.
inline uint32_t lan_step(uint32_t x) { return x <= 100 ? 91u : x - 10u; }
std::vector<uint8_t> make_lan_request(uint32_t token, uint32_t z);
bool parse_lan_request(const uint8_t* body, size_t n, uint32_t* token, uint32_t* z);
std::vector<uint8_t> make_lan_reply(uint32_t answer, uint16_t port);
bool parse_lan_reply(const uint8_t* p, size_t n, uint32_t* answer, uint16_t* port);

}  // namespace tnl
