// Parameter queries and sets (types travel as MsgSubType of 211 and 216) and the JSON calls.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dev_requests.h"
#include "kvnet/KVNetParam.h"
#include "kv_log.h"
#include "params_parse.h"

using kvreq::AckResult;
using kvreq::SessionRequests;

namespace {

constexpr uint16_t kTypeQuery = 211;
constexpr uint16_t kTypeSet = 216;

int QueryParamWith(SessionRequests* s, const KVNetQueryParamParam* p, uint16_t msgType)
{
    if (!s || !p)
        return 0;
    KV_LOG(gEnableLoginStatus, "type=%u size=%u listsize=%u\n", p->nParamType, p->nStructSize,
           p->nElemSize);
    std::vector<uint8_t> body;
    if (!kvparam::LengthPrefixed(p->pReqData, &body))
        return 0;
    const MsgHeadWrap head = kvreq::MakeHead(*s, msgType, static_cast<uint16_t>(p->nParamType),
                                             static_cast<uint32_t>(body.size()));
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    const unsigned timeout = p->nTimeoutMs ? p->nTimeoutMs : kvreq::DefaultTimeout(25000);
    if (!kvreq::SendRequestAndWait(*s, head, body.empty() ? nullptr : body.data(), *reply, timeout))
        return 0;
    if (reply->head.AckFlag != 0)
        return AckResult(reply->head.AckFlag);
    // The callbacks run here, on the caller's thread, before the call returns.
    return kvparam::ParseParamReply(reply->body(), reply->head.MsgSize, nullptr, p->nStructSize,
                                    p->structCallback, p->nElemSize, p->elemCallback, p->pUser,
                                    p->nParamType)
               ? 1
               : 0;
}

int QueryParamExWith(SessionRequests* s, const KVNetQueryParamParamEx* p, uint16_t msgType)
{
    if (!s || !p)
        return 0;
    kvparam::ExAdapter a{p->pStruct, p->nStructSize, p->pList, p->nElemSize, p->nListCapacity, 0};
    KVNetQueryParamParam q{};
    q.nParamType = p->nParamType;
    q.pReqData = p->pReqData;
    q.nStructSize = p->nStructSize;
    if (p->pStruct && p->nStructSize)
        q.structCallback = kvparam::ParamCallbackEx;
    q.nElemSize = p->nElemSize;
    if (p->pList && p->nElemSize)
        q.elemCallback = kvparam::ListParamCallbackEx;
    q.pUser = &a;
    q.nTimeoutMs = p->nTimeoutMs;
    return QueryParamWith(s, &q, msgType);
}

// One synchronous exchange whose only outcome is the reply's AckFlag.
int SetWith(SessionRequests* s, uint16_t type, uint16_t sub, const std::vector<uint8_t>& body,
            unsigned timeout)
{
    const MsgHeadWrap head = kvreq::MakeHead(*s, type, sub, static_cast<uint32_t>(body.size()));
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    if (!kvreq::SendRequestAndWait(*s, head, body.empty() ? nullptr : body.data(), *reply, timeout))
        return 0;
    return AckResult(reply->head.AckFlag);
}

// A JSON reply begins with a u16 and its u16 status word.
constexpr uint32_t kJsonStatusEnd = 4;

// Text bodies travel unchanged: {MsgType, 0, size} and the data.
MsgHeadWrap JsonHead(SessionRequests& s, uint16_t type, const void* data, uint32_t size)
{
    return kvreq::MakeHead(s, type, 0, data ? size : 0);
}

unsigned AsyncJson(SessionRequests* s, const KVNetAsyncParamJsonParam* p, bool set)
{
    if (!s || !p)
        return 0;
    kvreq::AsyncFn fn = set ? reinterpret_cast<kvreq::AsyncFn>(p->callback.set)
                            : reinterpret_cast<kvreq::AsyncFn>(p->callback.query);
    if (!set && !fn)
        return 0;
    if (p->nDataSize > kvmsg::kMaxBody)
        return 0;
    kvreq::AsyncRequest rec;
    rec.head = JsonHead(*s, p->MsgType, p->pData, p->nDataSize);
    rec.itemKind = set ? kvreq::kKindJsonSet : kvreq::kKindPlain;
    rec.callback = fn;
    rec.user = p->pUser;
    rec.singleReply = p->bSingleReply;
    return kvreq::StartAsyncRequest(*s, rec, p->pData);
}

void AsyncStop(SessionRequests* s, unsigned seq)
{
    if (s && seq)
        s->RemoveAsyncRequest(seq);
}

} // namespace

extern "C" {

int KVNetQueryParam(DevConnection* h, const KVNetQueryParamParam* p)
{
    return h ? QueryParamWith(kvreq::RequestsOf(h), p, kTypeQuery) : 0;
}

int KVNetQueryDefaultParam(DevConnection* h, const KVNetQueryParamParam* p, int msgType)
{
    return h ? QueryParamWith(kvreq::RequestsOf(h), p, static_cast<uint16_t>(msgType)) : 0;
}

int KVNetQueryParamEx(DevConnection* h, const KVNetQueryParamParamEx* p)
{
    return h ? QueryParamExWith(kvreq::RequestsOf(h), p, kTypeQuery) : 0;
}

int KVNetQueryDefaultParamEx(DevConnection* h, const KVNetQueryParamParamEx* p, int msgType)
{
    return h ? QueryParamExWith(kvreq::RequestsOf(h), p, static_cast<uint16_t>(msgType)) : 0;
}

int KVNetQueryTemporaryParam(DevConnection* h, const KVNetQueryTemporaryParamParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p)
        return 0;
    KV_LOG(gEnableLoginStatus, "Maintype=%u Subtype=%u size=%u listsize=%u\n", p->MsgType,
           p->MsgSubType, p->nStructSize, p->nElemSize);
    if (p->pReqData && p->nReqSize > kvmsg::kMaxBody)
        return 0;
    const MsgHeadWrap head = kvreq::MakeHead(*s, p->MsgType, p->MsgSubType, p->pReqData ? p->nReqSize : 0);
    auto reply = kvreq::NewReply();
    if (!reply || !kvreq::SendRequestAndWait(*s, head, p->pReqData, *reply, kvreq::DefaultTimeout(30000)))
        return 0;
    if (reply->head.AckFlag != 0)
        return AckResult(reply->head.AckFlag);
    uint8_t* payload = reply->body();
    const uint32_t size = reply->head.MsgSize;
    if (p->MsgSubType == 0)
        return kvparam::ParseTemporaryParamReply(payload, size, p->pDest, p->nStructSize,
                                                 p->structCallback, p->nElemSize, p->elemCallback,
                                                 p->pUser)
                   ? 1
                   : 0;
    if (size == 0)
        return 1;
    if (!p->pDest && !p->structCallback)
        return 0;
    // S bounds the copy. A destination without a size would let the device choose how
    // much is written into it: refused. The callback gets a copy of the whole reply.
    if (p->pDest && p->nStructSize == 0)
        return 0;
    const uint32_t n = p->nStructSize ? std::min(p->nStructSize, size) : size;
    if (p->pDest) {
        std::memcpy(p->pDest, payload, n);
    } else {
        std::vector<uint8_t> copy(payload, payload + n);
        p->structCallback(copy.data(), p->pUser);
    }
    return 1;
}

int KVNetSetParam(DevConnection* h, const KVNetSetParamParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p)
        return 0;
    std::vector<uint8_t> body;
    if (!kvparam::MakeReqData(p->pStruct, p->pList, p->nListCount, &body))
        return 0;
    return SetWith(s, kTypeSet, static_cast<uint16_t>(p->nParamType), body,
                   p->nTimeoutMs ? p->nTimeoutMs : kvreq::DefaultTimeout(25000));
}

int KVNetSetParamEx(DevConnection* h, const KVNetSetParamExParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p)
        return 0;
    std::vector<uint8_t> body;
    if (p->bWrap) {
        if (!kvparam::MakeReqData(p->pData, p->pList, p->nListCount, &body))
            return 0;
    } else if (p->pData && p->nDataSize) {
        if (p->nDataSize > kvmsg::kMaxBody)
            return 0;
        const uint8_t* d = static_cast<const uint8_t*>(p->pData);
        body.assign(d, d + p->nDataSize);
    }
    return SetWith(s, p->MsgType, p->MsgSubType, body, kvreq::DefaultTimeout(25000));
}

int KVNetQueryParamJson(DevConnection* h, const KVNetParamJsonParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p || !p->callback || p->nDataSize > kvmsg::kMaxBody)
        return 0;
    const MsgHeadWrap head = JsonHead(*s, p->MsgType, p->pData, p->nDataSize);
    auto reply = kvreq::NewReply();
    if (!reply || !kvreq::SendRequestAndWait(*s, head, p->pData, *reply, kvreq::DefaultTimeout(30000)))
        return 0;
    // A reply too short for its status word (u16 at offset 2) is no answer.
    if (reply->head.AckFlag != 0 || reply->head.MsgSize < kJsonStatusEnd)
        return 0;
    p->callback(reply->body(), reply->head.MsgSize, p->pUser);
    return 1;
}

int KVNetSetParamJson(DevConnection* h, const KVNetParamJsonParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p || p->nDataSize > kvmsg::kMaxBody)
        return 0;
    const MsgHeadWrap head = JsonHead(*s, p->MsgType, p->pData, p->nDataSize);
    auto reply = kvreq::NewReply();
    if (!reply || !kvreq::SendRequestAndWait(*s, head, p->pData, *reply, kvreq::DefaultTimeout(25000)))
        return 0;
    return reply->head.AckFlag == 0 && reply->head.MsgSize >= kJsonStatusEnd ? 1 : 0;
}

unsigned KVNetAsyncStartQueryParamJson(DevConnection* h, const KVNetAsyncParamJsonParam* p)
{
    return h ? AsyncJson(kvreq::RequestsOf(h), p, false) : 0;
}

unsigned KVNetAsyncStartSetParamJson(DevConnection* h, const KVNetAsyncParamJsonParam* p)
{
    return h ? AsyncJson(kvreq::RequestsOf(h), p, true) : 0;
}

void KVNetAsyncStopQueryParamJson(DevConnection* h, unsigned seq)
{
    if (h)
        AsyncStop(kvreq::RequestsOf(h), seq);
}

void KVNetAsyncStopSetParamJson(DevConnection* h, unsigned seq)
{
    if (h)
        AsyncStop(kvreq::RequestsOf(h), seq);
}

} // extern "C"
