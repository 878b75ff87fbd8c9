// The message channel: device messages over a SyncSocket in one of the three security
// modes (plain, scrambled, AES envelope), and media packs. It knows nothing of logins:
// the login handshake (login/) drives the probe and the key exchange over it and hands
// it the envelope's key and IV when the exchange succeeds.
//
// Threads: one sender and one receiver at a time; a session serialises its sends with its
// send mutex and receives only on its connection task.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "msg_types.h"
#include "sync_socket.h"

enum KVSecurityMode : int { kModePlain = 0, kModeScrambled = 1, kModeEnvelope = 2 };

class KVMsgChannel : public SyncSocket {
public:
    static constexpr size_t kKeySize = 16;

    KVMsgChannel();
    ~KVMsgChannel() override;

    // One message in the channel's mode. probe: the first message of the connection
    // carries the probe trailer. chunk and pauseMs both non-zero: sent in pieces of chunk
    // bytes with the pause after each.
    bool SendMsg(const MsgHeadWrap& head, const void* body, bool probe = false,
                 uint32_t chunk = 0, uint32_t pauseMs = 0);
    // One TCP message, or one UDP datagram (from receives the sender when given).
    bool RecvMsg(MsgBuf& msg, sockaddr_storage* from = nullptr);
    // One request and its reply; the first reply of the connection settles the mode
    // (scrambled when its head says so, else plain). probe as for SendMsg.
    bool SendAndRecvMsg(const MsgHeadWrap& head, const void* body, MsgBuf& reply, bool probe = false);
    // A 40-byte frame head followed by its payload, sent as packs of 1400 bytes.
    bool SendFrame(const void* frame);
    bool RecvPack(PackBuf& pack);
    bool SendRaw(const void* a, size_t alen, const void* b, size_t blen);

    int mode() const { return m_mode; }
    void set_mode(int mode) { m_mode = mode; }
    // From here on every message travels in the envelope sealed with key and IV.
    void StartEnvelope(const uint8_t key[kKeySize], const uint8_t iv[kKeySize]);
    uint32_t counter() const { return m_msgCounter; }

    // The progress rule (off until set): a message received must be complete within
    // baseMs of the start of its receive plus its announced size at floorBps bytes per
    // second, and a message sent within baseMs plus its length at that rate. The socket's
    // time-outs restart with every byte; this cuts a peer that drips bytes, while a large
    // message over a slow link gets the time its size needs. floorBps 0 turns it off.
    void SetRecvRule(unsigned baseMs, unsigned floorBps) { m_recvBaseMs = baseMs; m_recvFloor = floorBps; }
    void SetSendRule(unsigned baseMs, unsigned floorBps) { m_sendBaseMs = baseMs; m_sendFloor = floorBps; }
    // With the receive rule on: the next message's head must be complete by this time
    // (monotonic ms) instead of baseMs after its start; its body's allowance comes on top.
    // Used once, by the next RecvMsg.
    void SetHeadDeadline(uint64_t monoMs) { m_headDeadline = monoMs; }
    // Milliseconds that n bytes may take at the floor rate.
    static uint64_t FloorMs(uint64_t n, unsigned floorBps) { return floorBps ? n * 1000u / floorBps : 0; }

protected:
    bool SendBytes(const uint8_t* data, size_t len, uint32_t chunk, uint32_t pauseMs);
    bool RecvMsgTcp(MsgBuf& msg);
    // The send deadline of len bytes under the send rule; 0 without one.
    uint64_t SendRuleDeadline(size_t len) const;
    bool RecvMsgUdp(MsgBuf& msg, sockaddr_storage* from);

    uint32_t m_msgCounter;
    unsigned m_recvBaseMs = 0, m_recvFloor = 0;
    unsigned m_sendBaseMs = 0, m_sendFloor = 0;
    uint64_t m_headDeadline = 0;
    int m_mode;
    // All zero until a key exchange: an envelope received before one fails its check.
    uint8_t m_key[kKeySize];
    uint8_t m_iv[kKeySize];
};
