// The flat interface of sessions. Every session starts with its request layer attached,
// so its replies are routed the same whichever calls a program uses.
#include <cstring>
#include <memory>

#include "dev_connection.h"
#include "dev_requests.h"
#include "kv_log.h"
#include "kvnet/KVNetSession.h"

extern "C" {

DevConnection* KVNetConnectionStartEx(const KVNetConnectionParam* param)
{
    if (!param || param->nPort > 65535)
        return nullptr;
    std::unique_ptr<DevConnection> s = kvreq::NewSession();
    if (!s || !s->Start(param, false))
        return nullptr;
    return s.release();
}

DevConnection* KVNetConnectionStart(const void* param)
{
    if (!param)
        return nullptr;
    const auto* old = static_cast<const KVNetConnectionParamV1*>(param);
    // The older request is the leading part of the current one; the rest stays zero.
    KVNetConnectionParam p{};
    p.szAddr = old->szAddr;
    p.nPort = old->nPort;
    p.szUser = old->szUser;
    p.szPwd = old->szPwd;
    p.reserved64 = old->reserved64;
    p.reserved32 = old->reserved32;
    p.pUser = old->pUser;
    p.bAutoReconnect = old->bAutoReconnect;
    p.dataCallback = old->dataCallback;
    p.bAlarmReport = old->bAlarmReport;
    p.msgCallback = old->msgCallback;
    return KVNetConnectionStartEx(&p);
}

void KVNetConnectionStop(DevConnection** handle)
{
    if (!handle || !*handle)
        return;
    DevConnection* s = *handle;
    // Freeing the session from its own callback would pull it from under its task:
    // refused, as the interface says (the handle stays valid).
    if (s->OnConnectionTask())
        return;
    // Media streams first: they end their work (no callback afterwards) and let go of
    // the session; their own Stop then only frees them. From a stream's own callback the
    // stop would wait for itself: refused the same way.
    if (!s->EndStreams()) {
        KV_LOG(gEnableMsgStatus, "session=%p stop from a media callback refused\n", static_cast<void*>(s));
        return;
    }
    s->Stop();
    *handle = nullptr;
    delete s;
}

int KVNetSetIPAndPort(DevConnection** handle, const char* address, int port)
{
    if (!handle || !*handle)
        return 0;
    (*handle)->SetIPAndPort(address, static_cast<uint16_t>(port & 0xFFFF));
    return 1;
}

void KVNetResetConnection(DevConnection* handle)
{
    if (handle)
        handle->Restart();
}

static DevConnection* StartOneShot(const KVNetPushParam* param, uint32_t mode)
{
    if (!param || !param->pPayload || param->nPayloadLen <= 0 || param->nPort > 65535)
        return nullptr;
    std::unique_ptr<DevConnection> s = kvreq::NewSession();
    if (!s)
        return nullptr;
    s->SetOneShot(mode, param->pPayload, static_cast<uint32_t>(param->nPayloadLen));
    KVNetConnectionParam p{};
    p.szAddr = param->szAddr;
    p.nPort = param->nPort;
    p.szUser = "";
    p.szPwd = "";
    p.pUser = param->pUser;
    p.bAutoReconnect = 1;
    p.msgCallback = param->msgCallback;
    p.nLoginType = static_cast<int32_t>(param->nLoginType);
    p.szIDServer = param->szIDServer;
    if (!s->Start(&p, false))
        return nullptr;
    return s.release();
}

DevConnection* KVNetStartSendPushParam(const KVNetPushParam* param)
{
    return StartOneShot(param, kOneShotPushParam);
}

void KVNetStopSendPushParam(DevConnection** handle)
{
    KVNetConnectionStop(handle);
}

DevConnection* KVNetStartSavePasword(const KVNetPushParam* param)
{
    return StartOneShot(param, kOneShotSavePassword);
}

void KVNetStopSavePasword(DevConnection** handle)
{
    KVNetConnectionStop(handle);
}

void KVNetAlarmSubscribe(DevConnection* handle, int on)
{
    if (handle)
        handle->AlarmSubscribe(on);
}

int KVNetGetDevInfo(DevConnection* handle, void* dst, int len)
{
    return handle ? handle->GetDevInfo(dst, len) : 0;
}

int KVNetGetDevInfoEx(DevConnection* handle, void* dst, int len)
{
    return handle ? handle->GetDevInfoEx(dst, len) : 0;
}

} // extern "C"
