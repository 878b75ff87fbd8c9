// The envelope and key-exchange hooks of the message layer: the SRP-6a exchange of a
// connection that belongs to a session, and the sealing and opening of its messages.
#include <cctype>
#include <cstring>

#include "dev_connection.h"
#include "msg_channel.h"
#include "srp6/kv_envelope.h"

bool KVMsgChannel::SealEnvelope(uint8_t* block, size_t len)
{
    return kvenv::Seal(m_srp.key(), m_srp.iv(), block, len);
}

bool KVMsgChannel::OpenEnvelope(MsgBuf& msg)
{
    return kvenv::Open(m_srp.key(), m_srp.iv(), msg);
}

namespace {

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
    h.MsgType = 10000;
    h.MsgSubType = sub;
    h.MsgSize = static_cast<uint32_t>(size);
    return h;
}

} // namespace

bool KVMsgChannel::KeyExchange(const MsgHeadWrap& head, const void* body, MsgBuf& reply)
{
    if (!m_session)
        return false;
    std::string I = sha256(m_session->UserName());
    for (char& c : I)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const std::string& P = m_session->Password();
    if (!m_srp.init_user_password({I.data(), static_cast<uint32_t>(I.size())},
                                  {P.c_str(), static_cast<uint32_t>(P.size())}, "1024"))
        return false;
    string_piece A;
    if (!m_srp.get_A(&A))
        return false;

    const std::string hello = kvenv::HelloBody(std::string(A.data, A.len), I);
    if (!SendMsg(exchange_head(10001, hello.size()), hello.data()) || !RecvMsg(reply))
        return false;
    if (reply.head.AckFlag != 0) {
        map_exchange_ack(reply);
        return true;
    }
    std::string B, salt;
    if (!kvenv::ParseHelloReply(reply.body(), reply.head.MsgSize, &B, &salt))
        return false;
    string_piece M1;
    if (!m_srp.get_M1({B.data(), static_cast<uint32_t>(B.size())}, {salt.data(), static_cast<uint32_t>(salt.size())},
                      &M1))
        return false;
    const std::string proof = kvenv::ProofBody(std::string(M1.data, M1.len));
    if (!SendMsg(exchange_head(10002, proof.size()), proof.data()) || !RecvMsg(reply))
        return false;
    if (reply.head.AckFlag != 0) {
        map_exchange_ack(reply);
        return true;
    }
    std::string M2;
    if (!kvenv::ParseProofReply(reply.body(), reply.head.MsgSize, &M2) ||
        !m_srp.authenticated({M2.data(), static_cast<uint32_t>(M2.size())})) {
        reply.head.AckFlag = 10002;
        m_srp.set_proof_refused();
        return false;
    }
    m_mode = kModeEnvelope;
    if (!SendMsg(head, body) || !RecvMsg(reply))
        return false;
    map_exchange_ack(reply);
    return true;
}

int KVMsgChannel::SessionMainMode() const
{
    return m_session ? m_session->MainMode() : kModePlain;
}
