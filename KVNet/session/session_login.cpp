// The session's login step (through the login handshake), the one-shot step, the alarm
// subscription and the stored device information block.
#include <cstring>
#include <memory>

#include "dev_connection.h"
#include "kv_globals.h"
#include "kv_log.h"
#include "kvnet/KVNetSession.h"
#include "login_handshake.h"
#include "login_reply.h"

bool DevConnection::Login()
{
    if (m_oneShotMode == kOneShotPushParam || m_oneShotMode == kOneShotSavePassword)
        return SendParamToDevice();
    m_headSecurity = gMsgEncryption.load() ? 2 : 0;

    kvlogin::LoginRequest req;
    req.variant = m_loginVariant;
    req.sessionId = SessionId();
    req.alarm = (m_alarmWanted.load() & 1u) != 0;
    req.loginFlag = static_cast<uint8_t>(m_loginFlag & 0xFF);
    req.headSecurity = m_headSecurity.load();
    req.seq = kvnet_next_seq();

    DeliverCode(KVNetMsgLoginRequest);
    if (!m_rx)
        m_rx.reset(new MsgBuf);
    MsgBuf& reply = *m_rx;
    reply.clear();
    kvlogin::Handshake handshake({m_user, m_password});
    const kvlogin::Answer answer = handshake.Login(m_main, req, m_probe != 0, reply);
    const unsigned ack = answer.ack;
    const bool failed = answer.failed;
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
            if (m_alarmWanted.load() && !req.alarm)
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
        OnAlarmReport(reply, KVNetDataForwardedNotice);
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
    if (push)
        DeliverCode(success ? KVNetMsgPushParamSuccess : KVNetMsgPushParamFail);
    else
        DeliverCode(success ? KVNetMsgSavePasswordSuccess : KVNetMsgSavePasswordFail);
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

