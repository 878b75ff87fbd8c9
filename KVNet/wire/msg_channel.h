// Device messages over a SyncSocket: framing, the three security modes (plain, scrambled,
// AES envelope), the login probe and key exchange, and media packs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "msg_types.h"
#include "srp6/kv_srp6_client.h"
#include "sync_socket.h"

class DevConnection;

enum KVSecurityMode : int { kModePlain = 0, kModeScrambled = 1, kModeEnvelope = 2 };

// Login message types: the first login of a connection carries the probe trailer.
bool kv_is_login_type(uint16_t msgType);

class KVMsgChannel : public SyncSocket {
public:
    explicit KVMsgChannel(DevConnection* session = nullptr);
    ~KVMsgChannel() override;

    // One message in the connection's mode. chunk and pauseMs both non-zero: sent in
    // pieces of chunk bytes with the pause after each.
    bool SendMsg(const MsgHeadWrap& head, const void* body, bool probe = false,
                 uint32_t chunk = 0, uint32_t pauseMs = 0);
    // One TCP message, or one UDP datagram (from receives the sender when given).
    bool RecvMsg(MsgBuf& msg, sockaddr_storage* from = nullptr);
    // One request and its reply, with the login probe and key exchange where they apply.
    bool SendAndRecvMsg(const MsgHeadWrap& head, const void* body, MsgBuf& reply, bool login);
    // A 40-byte frame head followed by its payload, sent as packs of 1400 bytes.
    bool SendFrame(const void* frame);
    bool RecvPack(PackBuf& pack);
    bool SendRaw(const void* a, size_t alen, const void* b, size_t blen);

    int mode() const { return m_mode; }
    void set_mode(int mode) { m_mode = mode; }
    uint32_t counter() const { return m_msgCounter; }
    DevConnection* session() const { return m_session; }
    kv_srp6_client& srp() { return m_srp; }

protected:
    // Envelope and key exchange, provided by the SRP-6a layer.
    // Seals [block 400][inner message] in place; the caller puts the envelope head in front.
    bool SealEnvelope(uint8_t* block, size_t len);
    // Opens msg (type 10003) in place into the inner message; false on a wrong digest.
    bool OpenEnvelope(MsgBuf& msg);
    bool KeyExchange(const MsgHeadWrap& head, const void* body, MsgBuf& reply);
    // Security mode of the owning session's main connection (0 without a session).
    int SessionMainMode() const;

    bool SendBytes(const uint8_t* data, size_t len, uint32_t chunk, uint32_t pauseMs);
    bool RecvMsgTcp(MsgBuf& msg);
    bool RecvMsgUdp(MsgBuf& msg, sockaddr_storage* from);
    bool Unscramble(MsgBuf& msg);
    void SettleModeFromReply(bool firstRecv, const MsgBuf& reply);

    uint32_t m_msgCounter;
    DevConnection* m_session;
    int m_mode;
    kv_srp6_client m_srp;
};
