#include "login_handshake.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include <openssl/crypto.h>

#include "srp6/kv_envelope.h"

namespace kvlogin {

namespace {

constexpr uint16_t kAckKeyExchange = 10000;   // the device asks for the key exchange
constexpr uint16_t kAckProofRefused = 10002;
constexpr uint16_t kTypeKeyExchange = 10000;
constexpr uint16_t kSubHello = 10001;
constexpr uint16_t kSubProof = 10002;
constexpr uint16_t kSubHashedLogin = 621;
constexpr size_t kNameField = 36;
constexpr size_t kHashField = 256;
constexpr size_t kCredentials = 2 * kNameField;
constexpr size_t kHashedCredentials = 2 * kHashField;

void put_u32(uint8_t* p, uint32_t v)
{
    memcpy(p, &v, 4);
}

void put_text(uint8_t* field, size_t room, const std::string& s)
{
    const size_t n = s.size() < room - 1 ? s.size() : room - 1;
    memcpy(field, s.data(), n);
    field[n] = 0;
}

struct Variant {
    uint16_t type, sub;
};

Variant login_variant(int v)
{
    switch (v) {
    case 1: return {617, 0};
    case 3: return {619, 0};
    case 4: return {622, 0};
    case 5: return {31, kSubHashedLogin};
    case 6: return {624, 0};
    case 7: return {627, 0};
    default: return {31, 0};
    }
}

// Refusals after the exchange name their reason apart from the plain login's.
void map_exchange_ack(MsgBuf& reply)
{
    if (reply.head.AckFlag == 12)
        reply.head.AckFlag = 10005;
    else if (reply.head.AckFlag == 11)
        reply.head.AckFlag = 10004;
}

MsgHeadWrap exchange_head(uint16_t sub, size_t size)
{
    MsgHeadWrap h;
    h.MsgType = kTypeKeyExchange;
    h.MsgSubType = sub;
    h.MsgSize = static_cast<uint32_t>(size);
    return h;
}

} // namespace

bool IsLoginType(uint16_t t)
{
    return t == 31 || t == 617 || t == 619 || t == 622 || t == 624 || t == 627;
}

uint32_t LoginFlags(const LoginRequest& r)
{
    return (r.alarm ? 1u : 0u) | (r.variant == 2 ? 2u : 0u) | (static_cast<uint32_t>(r.loginFlag) << 24);
}

Handshake::Handshake(Credentials c) : cred_(std::move(c)) {}

Answer Handshake::Login(KVMsgChannel& ch, const LoginRequest& r, bool probe, MsgBuf& reply)
{
    const uint32_t flags = LoginFlags(r);
    uint8_t body[kHashedCredentials + 8] = {};
    size_t size;
    if (r.variant == 5) {
        put_text(body, kHashField, sha256(cred_.user));
        put_text(body + kHashField, kHashField, sha256(cred_.password));
        put_u32(body + kHashedCredentials, r.sessionId);
        put_u32(body + kHashedCredentials + 4, flags);
        size = kHashedCredentials + 8;
    } else {
        put_text(body, kNameField, cred_.user);
        put_text(body + kNameField, kNameField, cred_.password);
        put_u32(body + kCredentials, r.sessionId);
        put_u32(body + kCredentials + 4, flags);
        size = kCredentials + 8;
    }
    const Variant v = login_variant(r.variant);
    MsgHeadWrap head;
    head.flags = r.headSecurity;
    head.MsgType = v.type;
    head.MsgSubType = v.sub;
    head.MsgSize = static_cast<uint32_t>(size);
    head.Seq = r.seq;
    Answer a = LoginWith(ch, head, body, probe, reply);
    OPENSSL_cleanse(body, sizeof body);
    return a;
}

Answer Handshake::LoginWith(KVMsgChannel& ch, const MsgHeadWrap& head, const void* body, bool probe, MsgBuf& reply)
{
    srp_.set_proof_refused(false);
    bool ok;
    if (probe && IsLoginType(head.MsgType)) {
        // The probe goes without credentials: they travel only inside the envelope after a
        // key exchange, or never for a device that does not ask for one.
        const size_t credLen = head.MsgSubType == kSubHashedLogin ? kHashedCredentials : kCredentials;
        const size_t bodyLen = head.MsgSize;
        std::unique_ptr<uint8_t[]> copy;
        if (bodyLen) {
            if (!body)
                return {};
            copy.reset(new (std::nothrow) uint8_t[bodyLen]);
            if (!copy)
                return {};
            memcpy(copy.get(), body, bodyLen);
            memset(copy.get(), 0, bodyLen < credLen ? bodyLen : credLen);
        }
        ok = ch.SendAndRecvMsg(head, copy.get(), reply, true);
        if (ok && reply.head.AckFlag == kAckKeyExchange) {
            ch.set_mode(kModePlain);
            ok = KeyExchange(ch, head, body, reply);
        }
    } else {
        ok = ch.SendAndRecvMsg(head, body, reply);
    }
    if (!ok && srp_.proof_refused())
        return {false, kAckProofRefused};
    if (!ok)
        return {};
    return {false, reply.head.AckFlag};
}

bool Handshake::Open(KVMsgChannel& ch, const MsgHeadWrap& head, const void* body, MsgBuf& reply, bool enveloped)
{
    if (enveloped)
        return KeyExchange(ch, head, body, reply);
    return ch.SendAndRecvMsg(head, body, reply);
}

bool Handshake::KeyExchange(KVMsgChannel& ch, const MsgHeadWrap& head, const void* body, MsgBuf& reply)
{
    std::string I = sha256(cred_.user);
    for (char& c : I)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const std::string& P = cred_.password;
    if (!srp_.init_user_password({I.data(), static_cast<uint32_t>(I.size())},
                                 {P.c_str(), static_cast<uint32_t>(P.size())}, "1024"))
        return false;
    string_piece A;
    if (!srp_.get_A(&A))
        return false;

    const std::string hello = kvenv::HelloBody(std::string(A.data, A.len), I);
    if (!ch.SendMsg(exchange_head(kSubHello, hello.size()), hello.data()) || !ch.RecvMsg(reply))
        return false;
    if (reply.head.AckFlag != 0) {
        map_exchange_ack(reply);
        return true;
    }
    std::string B, salt;
    if (!kvenv::ParseHelloReply(reply.body(), reply.head.MsgSize, &B, &salt))
        return false;
    string_piece M1;
    if (!srp_.get_M1({B.data(), static_cast<uint32_t>(B.size())}, {salt.data(), static_cast<uint32_t>(salt.size())},
                     &M1))
        return false;
    const std::string proof = kvenv::ProofBody(std::string(M1.data, M1.len));
    if (!ch.SendMsg(exchange_head(kSubProof, proof.size()), proof.data()) || !ch.RecvMsg(reply))
        return false;
    if (reply.head.AckFlag != 0) {
        map_exchange_ack(reply);
        return true;
    }
    std::string M2;
    if (!kvenv::ParseProofReply(reply.body(), reply.head.MsgSize, &M2) ||
        !srp_.authenticated({M2.data(), static_cast<uint32_t>(M2.size())})) {
        reply.head.AckFlag = kAckProofRefused;
        srp_.set_proof_refused();
        return false;
    }
    ch.StartEnvelope(srp_.key(), srp_.iv());
    if (!ch.SendMsg(head, body) || !ch.RecvMsg(reply))
        return false;
    map_exchange_ack(reply);
    return true;
}

} // namespace kvlogin
