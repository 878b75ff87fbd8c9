// Remote commands on a logged-in session: PTZ, remote tests, simple commands, control
// requests, and the log query over a side connection.
#include <algorithm>
#include <cstring>
#include <vector>

#include "dev_requests.h"
#include "kvnet/KVNetParam.h"
#include "kv_log.h"
#include "params_parse.h"
#include "side_connection.h"

using kvreq::SessionRequests;

namespace {

constexpr uint16_t kTypePtz = 101;
constexpr uint16_t kTypeQuery = 211;
constexpr uint16_t kSubPassthrough = 723;
constexpr uint16_t kTypeLogQuery = 328;
constexpr uint32_t kPtzBlock = 44;
constexpr int kPtzReadBack = 52;
constexpr uint32_t kLogQueryRecord = 24;

// Head and body of a remote test: the passthrough wraps a length-prefixed parameter query.
bool RemoteTestMessage(SessionRequests& s, const KVNetRemoteTestParam& p, MsgHeadWrap* head,
                       std::vector<uint8_t>* body)
{
    body->clear();
    if (p.MsgType == kSubPassthrough) {
        if (!kvparam::LengthPrefixed(p.pData, body))
            return false;
        *head = kvreq::MakeHead(s, kTypeQuery, kSubPassthrough, static_cast<uint32_t>(body->size()));
        return true;
    }
    if (p.pData && p.nDataSize) {
        if (p.nDataSize > kvmsg::kMaxBody)
            return false;
        const uint8_t* d = static_cast<const uint8_t*>(p.pData);
        body->assign(d, d + p.nDataSize);
    }
    *head = kvreq::MakeHead(s, p.MsgType, 0, static_cast<uint32_t>(body->size()));
    return true;
}

unsigned RemoteTest(DevConnection* h, const KVNetRemoteTestParam* p, uint32_t kind = kvreq::kKindPlain,
                    kvreq::AsyncFn callback = nullptr)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p)
        return 0;
    kvreq::AsyncRequest rec;
    std::vector<uint8_t> body;
    if (!RemoteTestMessage(*s, *p, &rec.head, &body))
        return 0;
    rec.itemKind = kind;
    rec.callback = kind == kvreq::kKindPlain ? reinterpret_cast<kvreq::AsyncFn>(p->callback) : callback;
    rec.user = p->pUser;
    return kvreq::StartAsyncRequest(*s, rec, body.empty() ? nullptr : body.data());
}

} // namespace

extern "C" {

int KVNetPTZControl(DevConnection* h, int command, void* block)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s)
        return 0;
    uint32_t flag = 0;
    if (block)
        std::memcpy(&flag, static_cast<uint8_t*>(block) + 4, 4);
    const MsgHeadWrap head =
        kvreq::MakeHead(*s, kTypePtz, static_cast<uint16_t>(command), block ? kPtzBlock : 0);
    KV_LOG(gEnableMsgStatus, "PTZ MsgType=%u, MsgSubType=%u, flag=%u\n", head.MsgType,
           head.MsgSubType, flag);
    auto reply = kvreq::NewReply();
    if (!reply || !kvreq::SendRequestAndWait(*s, head, block, *reply, kvreq::DefaultTimeout(5000)))
        return 0;
    if (reply->head.AckFlag != 0)
        return kvreq::AckResult(reply->head.AckFlag);
    if (command == kPtzReadBack && block) {
        // The device's answer replaces the 32 bytes after the block's first field.
        const uint32_t n = std::min<uint32_t>(reply->head.MsgSize, 32);
        std::memcpy(static_cast<uint8_t*>(block) + 4, reply->body(), n);
    }
    return 1;
}

unsigned KVNetRemoteTest(DevConnection* h, const KVNetRemoteTestParam* p) { return RemoteTest(h, p); }

unsigned KVNetRemoteTestEx(DevConnection* h, const KVNetRemoteTestParam* p) { return RemoteTest(h, p); }

unsigned KVNetRemoteTestAck(DevConnection* h, const KVNetRemoteTestAckParam* p)
{
    if (!p)
        return 0;
    // Same message as the plain remote test; only the callback's form differs.
    const KVNetRemoteTestParam plain{p->MsgType, p->pData, p->nDataSize, p->pUser, nullptr};
    return RemoteTest(h, &plain, kvreq::kKindTypedAck, reinterpret_cast<kvreq::AsyncFn>(p->callback));
}

int KVNetRemoteTestStopEx(DevConnection* h, const KVNetRemoteTestParam* p, unsigned seq)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !seq)
        return 0;
    if (!s->RemoveAsyncRequest(seq))
        return 0; // from inside one of the session's own callbacks
    if (!p)
        return 0;
    if (p->pData && p->nDataSize > kvmsg::kMaxBody)
        return 0;
    const MsgHeadWrap head = kvreq::MakeHead(*s, p->MsgType, 0, p->pData ? p->nDataSize : 0);
    return kvreq::Send(*s, head, p->pData) ? 1 : 0;
}

void KVNetSimpleCmd(DevConnection* h, const KVNetSimpleCmdParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p || s->InCloseDown())
        return;
    std::vector<uint8_t> body;
    if (!kvparam::LengthPrefixed(p->pBlob, &body))
        return;
    const MsgHeadWrap head =
        kvreq::MakeHead(*s, p->MsgType, p->MsgSubType, static_cast<uint32_t>(body.size()));
    kvreq::Send(*s, head, body.empty() ? nullptr : body.data());
}

int KVNetReqControl(DevConnection* h, const KVNetReqControlParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p)
        return 0;
    if (p->pReqData && p->nReqSize > kvmsg::kMaxBody)
        return 0;
    const MsgHeadWrap head =
        kvreq::MakeHead(*s, p->MsgType, p->MsgSubType, p->pReqData ? p->nReqSize : 0);
    auto reply = kvreq::NewReply();
    const unsigned timeout = p->nTimeoutMs ? p->nTimeoutMs : kvreq::DefaultTimeout(25000);
    if (!reply || !kvreq::SendRequestAndWait(*s, head, p->pReqData, *reply, timeout))
        return 0;
    if (reply->head.AckFlag != 0)
        return 0;
    if (reply->head.MsgSize && p->pRsp)
        std::memcpy(p->pRsp, reply->body(), std::min(reply->head.MsgSize, p->nRspSize));
    return 1;
}

int KVNetQueryLog(DevConnection* h, const KVNetQueryLogParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p || !s->Link().IsLoggedIn())
        return 0;
    uint8_t body[32] = {};
    const uint32_t sid = s->Link().SessionId();
    std::memcpy(body, &sid, 4);
    if (p->pQuery)
        std::memcpy(body + 8, p->pQuery, kLogQueryRecord);
    const MsgHeadWrap head = kvreq::MakeHead(*s, kTypeLogQuery, 0, sizeof body);
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    kvside::SideConnection side(s->Link());
    if (!side.Open(1 << 20) || !side.Exchange(head, body, *reply))
        return 0;
    side.Shutdown();
    if (!kvside::Answers(head, *reply) || reply->head.AckFlag != 0)
        return 0;
    if (p->callback)
        p->callback(reply->head.MsgSize ? reply->body() : nullptr, reply->head.MsgSize, p->pUser);
    return 1;
}

} // extern "C"
