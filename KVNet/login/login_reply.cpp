// The pure parts of the login: the reply check, AckFlag to code, the device information copies.
#include "login_reply.h"

#include <cstring>

#include "kvnet/KVNetSession.h"

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
    case 3: o.code = KVNetMsgAdminIsLogin; break;
    case 10: o.code = KVNetMsgLoginUserLogined; break;
    case 11:
    case 12:
        if (probe)
            o.dropProbe = true;
        else
            o.code = ack == 11 ? KVNetMsgLoginNoUserName : KVNetMsgLoginPasswordError;
        break;
    case 13: o.code = KVNetMsgIpFilter; break;
    case 14: o.code = KVNetMsgLoginUserDisable; break;
    case 15: o.code = KVNetMsgLoginForceChangePWD; break;
    case 16: o.code = KVNetMsgLoginForceCloseBrowser; break;
    case 18: o.forward = true; break;
    case 50: o.code = KVNetMsgLoginNoRight; break;
    case 66: o.code = KVNetMsgOverMaxUser; break;
    case 10001:
    case 10002:
        o.probeAgain = true;
        o.code = KVNetMsgLoginPasswordError;
        break;
    case 10004: o.code = KVNetMsgLoginNoUserName; break;
    case 10005: o.code = KVNetMsgLoginPasswordError; break;
    default: o.code = KVNetMsgLoginFail; break;
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
