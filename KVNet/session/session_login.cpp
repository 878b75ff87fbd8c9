// The login step of a session, the one-shot step, the alarm subscription and the stored
// device information block.
#include <cstring>
#include <memory>

#include "dev_connection.h"
#include "kv_globals.h"
#include "kv_log.h"
#include "login_reply.h"

namespace {

constexpr uint16_t kLoginMagic = 0x4B56;
constexpr size_t kNameField = 36;
constexpr size_t kHashField = 256;

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
    case 5: return {31, 621};
    case 6: return {624, 0};
    case 7: return {627, 0};
    default: return {31, 0};
    }
}

} // namespace

bool DevConnection::Login()
{
    if (m_oneShotMode == kOneShotPushParam || m_oneShotMode == kOneShotSavePassword)
        return SendParamToDevice();
    m_headSecurity = gMsgEncryption.load() ? 2 : 0;

    const uint32_t flags = (m_alarmWanted.load() & 1u) | (m_loginVariant == 2 ? 2u : 0u) |
                           (static_cast<uint32_t>(m_loginFlag & 0xFF) << 24);
    const uint32_t sessionId = SessionId();
    const bool hashed = m_loginVariant == 5;
    uint8_t body[520] = {};
    size_t size;
    if (hashed) {
        put_text(body, kHashField, m_userHash);
        put_text(body + kHashField, kHashField, m_passwordHash);
        put_u32(body + 512, sessionId);
        put_u32(body + 516, flags);
        size = 520;
    } else {
        put_text(body, kNameField, m_user);
        put_text(body + kNameField, kNameField, m_password);
        put_u32(body + 72, sessionId);
        put_u32(body + 76, flags);
        size = 80;
    }
    const Variant v = login_variant(m_loginVariant);
    MsgHeadWrap head;
    head.flags = m_headSecurity.load();
    head.MsgType = v.type;
    head.MsgSubType = v.sub;
    head.MsgSize = static_cast<uint32_t>(size);
    head.Seq = kvnet_next_seq();

    DeliverCode(100);
    if (!m_rx)
        m_rx.reset(new MsgBuf);
    MsgBuf& reply = *m_rx;
    reply.clear();
    m_main.srp().set_proof_refused(false);
    const bool ok = m_main.SendAndRecvMsg(head, body, reply, m_probe != 0);
    unsigned ack = reply.head.AckFlag;
    bool failed = !ok;
    if (!ok && m_main.srp().proof_refused()) {
        ack = 10002;
        failed = false;
    }
    if (!failed && ack == 0) {
        const uint32_t n = reply.head.MsgSize;
        const uint8_t* p = reply.body();
        switch (kvlogin::CheckReply(p, n)) {
        case kvlogin::Reply::TooLong:
            KV_LOG(gEnableLoginStatus, "LoginRsp too long, net.dll should be rebuild\n");
            break;
        case kvlogin::Reply::NotKv:
            KV_LOG(gEnableLoginStatus, "LoginRsp not KV dev\n");
            break;
        case kvlogin::Reply::Accepted:
            m_headSecurity = reply.head.security();
            {
                ScopedLock l(m_loginRspMutex);
                memcpy(m_loginRsp, p, n);
                m_loginRspLen = static_cast<int>(n);
            }
            if (m_alarmWanted.load() && !(flags & 1u))
                AlarmSubscribe(1);
            reply.free_heap();
            return true;
        }
    }
    const kvlogin::AckOutcome o = failed ? kvlogin::ForAck(0, m_probe != 0) : kvlogin::ForAck(ack, m_probe != 0);
    if (o.dropProbe) {
        // The device has no key exchange: next round, plain login at once.
        m_probe = 0;
        m_retryWait = 0;
    }
    if (o.probeAgain)
        m_probe = 1;
    if (o.forward)
        OnAlarmReport(reply, 113);
    if (o.code >= 0)
        DeliverCode(static_cast<unsigned>(o.code));
    reply.free_heap();
    CloseMain();
    return false;
}

bool DevConnection::SendParamToDevice()
{
    const bool push = m_oneShotMode == kOneShotPushParam;
    MsgHeadWrap head;
    head.MsgType = push ? 335 : 416;
    head.MsgSize = static_cast<uint32_t>(m_oneShot.size());
    head.Seq = kvnet_next_seq();
    if (!m_rx)
        m_rx.reset(new MsgBuf);
    MsgBuf& reply = *m_rx;
    bool ok = m_main.SendMsg(head, m_oneShot.empty() ? nullptr : m_oneShot.data());
    bool answered = false;
    // Only the answer to this message counts; a stray report on the way is skipped.
    for (int i = 0; ok && i < 8 && !answered; ++i) {
        ok = m_main.RecvMsg(reply);
        answered = ok && reply.head.MsgType == head.MsgType && reply.head.Seq == head.Seq;
        reply.free_heap();
    }
    const bool success = answered && reply.head.AckFlag == 0;
    DeliverCode(push ? (success ? 123 : 124) : (success ? 125 : 126));
    CloseMain();
    return false;
}

bool DevConnection::AlarmSubscribe(int on)
{
    const bool want = (on & 0xFF) != 0;
    m_alarmWanted = want ? 1 : 0;
    MsgHeadWrap h;
    h.flags = HeadSecurityBits();
    h.MsgType = 896;
    h.MsgSubType = want ? 196 : 198;
    h.Seq = kvnet_next_seq();
    return SendOnMain(h, nullptr);
}

int DevConnection::GetDevInfo(void* dst, int len)
{
    if (!dst || len <= 0)
        return 0;
    ScopedLock l(m_loginRspMutex);
    if (!m_loggedInEvent.Wait(0))
        return 0;
    kvlogin::CopyDevInfo(m_loginRsp, m_loginRspLen, static_cast<uint8_t*>(dst), len);
    return 1;
}

int DevConnection::GetDevInfoEx(void* dst, int len)
{
    if (!dst || len <= 0)
        return 0;
    ScopedLock l(m_loginRspMutex);
    kvlogin::CopyDevInfoEx(m_loginRsp, m_loginRspLen, static_cast<uint8_t*>(dst), len);
    return 1;
}

namespace kvlogin {

Reply CheckReply(const uint8_t* payload, uint32_t size)
{
    if (size > kMaxReply)
        return Reply::TooLong;
    if (!payload || size < 8)
        return Reply::NotKv;
    uint16_t magic;
    memcpy(&magic, payload + 6, 2);
    return magic == kMagic ? Reply::Accepted : Reply::NotKv;
}

AckOutcome ForAck(unsigned ack, bool probe)
{
    AckOutcome o;
    switch (ack) {
    case 3: o.code = 150; break;
    case 10: o.code = 102; break;
    case 11:
    case 12:
        if (probe)
            o.dropProbe = true;
        else
            o.code = ack == 11 ? 103 : 104;
        break;
    case 13: o.code = 107; break;
    case 14: o.code = 110; break;
    case 15: o.code = 111; break;
    case 16: o.code = 112; break;
    case 18: o.forward = true; break;
    case 50: o.code = 106; break;
    case 66: o.code = 108; break;
    case 10001:
    case 10002:
        o.probeAgain = true;
        o.code = 104;
        break;
    case 10004: o.code = 103; break;
    case 10005: o.code = 104; break;
    default: o.code = 105; break;
    }
    return o;
}

static int ext_len(const uint8_t* rsp, int rspLen)
{
    if (rspLen < kExtLenOffset + 2)
        return 0;
    uint16_t e;
    memcpy(&e, rsp + kExtLenOffset, 2);
    return e;
}

void CopyDevInfo(const uint8_t* rsp, int rspLen, uint8_t* dst, int len)
{
    memset(dst, 0, static_cast<size_t>(len));
    int n = len < rspLen ? len : rspLen;
    const int ext = ext_len(rsp, rspLen);
    if (ext <= rspLen && rspLen - ext < n)
        n = rspLen - ext; // an extension longer than the block is ignored
    if (n > 0)
        memcpy(dst, rsp, static_cast<size_t>(n));
}

void CopyDevInfoEx(const uint8_t* rsp, int rspLen, uint8_t* dst, int len)
{
    int n = len < rspLen ? len : rspLen;
    if (n <= 0)
        return;
    memset(dst, 0, static_cast<size_t>(n));
    const int ext = ext_len(rsp, rspLen);
    if (ext < n)
        n = ext;
    if (n > 0)
        memcpy(dst, rsp + (rspLen - n), static_cast<size_t>(n));
}

} // namespace kvlogin
