// Process-wide state of the client besides the log.
#pragma once
#include <atomic>
#include <cstdint>

// The one message sequence counter of the process. Request heads that expect a matched
// reply take the value after an atomic increment: the first is 1; it wraps to 0.
extern std::atomic<uint32_t> gMsgSeq;
inline uint32_t kvnet_next_seq() { return gMsgSeq.fetch_add(1) + 1; }

// Non-zero: logins ask for scrambled messages.
extern std::atomic<uint8_t> gMsgEncryption;

// Tunnel configuration, cleared by KVNetInit.
extern char gTavixP2PPath[260];
extern unsigned char gP2PServerInfo[520];
