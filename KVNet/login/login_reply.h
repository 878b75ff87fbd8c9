// The pure parts of the login: checking a login reply, turning a refusal's AckFlag into
// a code, and copying the stored device information block out.
#pragma once
#include <cstdint>

namespace kvlogin {

constexpr uint16_t kMagic = 0x4B56;
constexpr uint32_t kMaxReply = 3280;
constexpr int kExtLenOffset = 182;

enum class Reply { Accepted, TooLong, NotKv };
// An AckFlag-0 reply is accepted when it fits the stored block, is at least 8 bytes and
// carries the magic at offset 6.
Reply CheckReply(const uint8_t* payload, uint32_t size);

struct AckOutcome {
    int code = -1;          // message code, -1 for none
    bool dropProbe = false; // plain fallback: next round without probe and pause
    bool probeAgain = false;
    bool forward = false;   // hand the reply to the data callback as type 113
};
AckOutcome ForAck(unsigned ack, bool probe);

// KVNetGetDevInfo's copy: len bytes cleared, the block without its extension copied.
void CopyDevInfo(const uint8_t* rsp, int rspLen, uint8_t* dst, int len);
// KVNetGetDevInfoEx's copy: the extension at the end of the block.
void CopyDevInfoEx(const uint8_t* rsp, int rspLen, uint8_t* dst, int len);

} // namespace kvlogin
