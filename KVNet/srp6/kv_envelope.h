// The AES envelope (message type 10003) and the parsing of the key-exchange replies.
//
// Envelope body: [u32 L][u32 counter][SHA-1 of the check range as 40 upper-case hex
// digits, NUL, zero-filled to 136 bytes][L-144 bytes][inner message: head, extension,
// body]; the whole body is AES-128-OFB encrypted, the key stream restarting with every
// message. The check range is bytes 0-7, 144..L-1 and the inner message.
//
// The wire contract reuses one key stream for every message of a connection: this keeps
// the devices' format, it does not make the traffic confidential.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "msg_types.h"

namespace kvenv {

constexpr size_t kBlock = 400;        // block length the client sends
constexpr size_t kMinBlock = 144;     // counter, length and the digest field
constexpr size_t kDigestOff = 8;
constexpr size_t kDigestField = 136;

// buf = the 400-byte block (length and counter filled, rest zero) and the inner message;
// writes the digest and encrypts everything in place.
bool Seal(const uint8_t key[16], const uint8_t iv[16], uint8_t* buf, size_t len);

// Decrypts body (size bytes) in place and checks it. On success *innerOff is the offset
// of the inner message (head, extension, body) and *innerLen its length.
bool OpenBody(const uint8_t key[16], const uint8_t iv[16], uint8_t* body, size_t size, size_t* innerOff,
              size_t* innerLen);

// Opens a received envelope in place: the inner message replaces it in msg.
bool Open(const uint8_t key[16], const uint8_t iv[16], MsgBuf& msg);

// The device's answer to the client hello: B and the salt as hex texts.
bool ParseHelloReply(const uint8_t* body, size_t size, std::string* B, std::string* salt);
// The device's answer to the client proof: M2 as a text (at offset 8).
bool ParseProofReply(const uint8_t* body, size_t size, std::string* M2);

// Bodies of the client's exchange messages.
std::string HelloBody(const std::string& A, const std::string& I);
std::string ProofBody(const std::string& M1);

} // namespace kvenv
