// Record queries (MsgType 111, and 112 for the items with further attributes) on the
// session's main connection, synchronous and asynchronous.
#include <cstring>

#include "dev_requests.h"
#include "kv_log.h"
#include "kvnet/KVNetRecordQuery.h"
#include "params_parse.h"

using kvreq::SessionRequests;

namespace {

constexpr uint16_t kTypeQuery = 111;
constexpr uint16_t kTypeNewQuery = 112;
constexpr uint32_t kBodySize = sizeof(RecordQueryReq);
constexpr unsigned kTimeoutMs = 20000;

constexpr uint32_t kRecordItem = sizeof(RecordDetailRsp);
constexpr uint32_t kNewRecordItem = sizeof(NewRecordDetailRsp);
constexpr uint32_t kMonthItem = sizeof(MonthRecordRsp);

// Asynchronous delivery kinds of the request tables.
constexpr uint32_t kDeliverDelete = 3;

SessionRequests* Of(DevConnection* h) { return h ? kvreq::RequestsOf(h) : nullptr; }

// One synchronous exchange. Returns 1 with the answer in reply (AckFlag 0), else 2 for
// a refusal for lack of rights, 0 otherwise.
int Exchange(SessionRequests& s, const char* name, uint16_t type, uint16_t sub,
             const RecordQueryReq& body, MsgBuf& reply)
{
    KV_LOG(gEnableRecordPlayStatus, "%s begin\n", name);
    const MsgHeadWrap head = kvreq::MakeHead(s, type, sub, kBodySize);
    if (!kvreq::SendRequestAndWait(s, head, &body, reply, kvreq::DefaultTimeout(kTimeoutMs)))
        return 0;
    if (reply.head.AckFlag != 0)
        return kvreq::AckResult(reply.head.AckFlag);
    KV_LOG(gEnableRecordPlayStatus, "%s end\n", name);
    return 1;
}

// Items of an answer one by one at the interface's size N, then the null call.
void Deliver(MsgBuf& reply, uint32_t N, KVNetRecordItemCallback fn, void* user)
{
    kvparam::DeliverItems(reply.body(), reply.head.MsgSize, N, fn, user);
}

// The synchronous file or month query of a KVNetQueryRecordParam: files of 101 at
// fileSize, month items of 102; any other subtype delivers nothing and gives 0.
int QueryRecordSync(SessionRequests* s, const char* name, uint16_t type,
                    const KVNetQueryRecordParam& p, const RecordQueryReq& body, uint32_t fileSize)
{
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    const int r = Exchange(*s, name, type, static_cast<uint16_t>(p.nSubType), body, *reply);
    if (r != 1)
        return r;
    if (p.nSubType == KVNET_RECORD_FILES) {
        Deliver(*reply, fileSize, p.fileCallback, p.pUser);
        return 1;
    }
    if (p.nSubType == KVNET_RECORD_MONTH) {
        Deliver(*reply, kMonthItem, p.second.month, p.pUser);
        return 1;
    }
    return 0;
}

RecordQueryReq WithByteD(const RecordQueryReq& req, uint8_t d)
{
    RecordQueryReq b = req;
    b.ByteD = d;
    return b;
}

RecordQueryReq MonthBody(const KVNetQueryRecordFileByMonthParam& p)
{
    RecordQueryReq b{};
    b.SelA = p.SelA;
    b.Start = p.Start;
    b.End = p.End;
    b.SelB = p.SelB;
    std::memcpy(b.SelC, p.SelC, sizeof b.SelC);
    b.ByteD = p.ByteD;
    b.ByteE = p.ByteE;
    std::memcpy(b.SelF, p.SelF, sizeof b.SelF);
    return b;
}

RecordQueryReq DayBody(const KVNetQueryRecordFileByDayParam& p)
{
    RecordQueryReq b{};
    b.SelA = p.SelA;
    b.Start = p.Start;
    b.End = p.End;
    b.SelB = p.SelB;
    b.ByteD = p.ByteD;
    b.ByteE = p.ByteE;
    std::memcpy(b.SelF, p.SelF, sizeof b.SelF);
    return b;
}

unsigned StartAsync(SessionRequests* s, uint16_t type, uint16_t sub, uint32_t kind,
                    kvreq::AsyncFn fn, void* user, KVNetRecordNoRightCallback noRight,
                    const RecordQueryReq& body)
{
    if (!s)
        return 0;
    kvreq::AsyncRequest rec;
    rec.head = kvreq::MakeHead(*s, type, sub, kBodySize);
    rec.itemKind = kind;
    rec.callback = fn;
    rec.user = user;
    rec.noRight = noRight;
    return kvreq::StartAsyncRequest(*s, rec, &body);
}

// The delivery of a KVNetQueryRecordParam by its subtype. A subtype without a delivery
// registers no callback at all: the answer then ends the request silently instead of
// reaching a callback of another form.
unsigned QueryRecordAsync(SessionRequests* s, const KVNetQueryRecordParam& p,
                          const RecordQueryReq& body, KVNetRecordNoRightCallback noRight)
{
    uint32_t kind = kvreq::kKindPlain;
    kvreq::AsyncFn fn = nullptr;
    switch (p.nSubType) {
    case KVNET_RECORD_FILES:
    case KVNET_RECORD_PICTURES:
        kind = kvreq::kKindRecord;
        fn = reinterpret_cast<kvreq::AsyncFn>(p.fileCallback);
        break;
    case KVNET_RECORD_MONTH:
        kind = kvreq::kKindMonth;
        fn = reinterpret_cast<kvreq::AsyncFn>(p.second.month);
        break;
    case KVNET_RECORD_DEL_PICTURES:
        kind = kDeliverDelete;
        fn = reinterpret_cast<kvreq::AsyncFn>(p.second.del);
        break;
    default:
        break;
    }
    return StartAsync(s, kTypeQuery, static_cast<uint16_t>(p.nSubType), kind, fn, p.pUser,
                      noRight, body);
}

void Stop(DevConnection* h, unsigned request)
{
    SessionRequests* s = Of(h);
    if (s && request)
        s->RemoveAsyncRequest(request);
}

} // namespace

extern "C" {

int KVNetQueryRecord(DevConnection* h, const KVNetQueryRecordParam* p)
{
    SessionRequests* s = Of(h);
    if (!s || !p)
        return 0;
    return QueryRecordSync(s, "QueryRecord", kTypeQuery, *p, p->req, kRecordItem);
}

int KVNetQueryRecordEx(DevConnection* h, const KVNetQueryRecordExParam* p)
{
    SessionRequests* s = Of(h);
    if (!s || !p)
        return 0;
    return QueryRecordSync(s, "QueryRecordEx", kTypeQuery, p->base, WithByteD(p->base.req, p->byteD),
                           kRecordItem);
}

int KVNetNewQueryRecordEx(DevConnection* h, const KVNetQueryRecordExParam* p)
{
    SessionRequests* s = Of(h);
    if (!s || !p)
        return 0;
    const int r = QueryRecordSync(s, "NewQueryRecordEx", kTypeNewQuery, p->base,
                                  WithByteD(p->base.req, p->byteD), kNewRecordItem);
    return r == 1 ? 1 : 0;
}

int KVNetSyncQueryRecordFileByMonth(DevConnection* h, const KVNetQueryRecordFileByMonthParam* p)
{
    SessionRequests* s = Of(h);
    if (!s || !p)
        return 0;
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    const int r = Exchange(*s, "SyncQueryRecordFileByMonth", kTypeQuery, KVNET_RECORD_MONTH,
                           MonthBody(*p), *reply);
    if (r == 1)
        Deliver(*reply, kMonthItem, p->monthCallback, p->pUser);
    return r;
}

int KVNetSyncQueryRecordFileByDay(DevConnection* h, const KVNetQueryRecordFileByDayParam* p)
{
    SessionRequests* s = Of(h);
    if (!s || !p || (p->nItemKind != 1 && p->nItemKind != 2))
        return 0;
    const bool extended = p->nItemKind == 2;
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    const int r = Exchange(*s, "SyncQueryRecordFileByDay", extended ? kTypeNewQuery : kTypeQuery,
                           KVNET_RECORD_FILES, DayBody(*p), *reply);
    if (r == 1)
        Deliver(*reply, extended ? kNewRecordItem : kRecordItem, p->callback.item, p->pUser);
    return r;
}

unsigned KVNetAsyncQueryRecord(DevConnection* h, const KVNetQueryRecordParam* p)
{
    return p ? QueryRecordAsync(Of(h), *p, p->req, nullptr) : 0;
}

unsigned KVNetAsyncQueryRecordEx(DevConnection* h, const KVNetQueryRecordExParam* p)
{
    return p ? QueryRecordAsync(Of(h), p->base, WithByteD(p->base.req, p->byteD), p->noRight) : 0;
}

unsigned KVNetAsyncQueryRecordFileByMonth(DevConnection* h, const KVNetQueryRecordFileByMonthParam* p)
{
    if (!p)
        return 0;
    // One of the two month callbacks is needed; without either the request is refused
    // rather than sent with nowhere to deliver.
    if (p->monthCallback)
        return StartAsync(Of(h), kTypeQuery, KVNET_RECORD_MONTH, kvreq::kKindMonth,
                          reinterpret_cast<kvreq::AsyncFn>(p->monthCallback), p->pUser,
                          p->noRight, MonthBody(*p));
    if (p->monthArray)
        return StartAsync(Of(h), kTypeQuery, KVNET_RECORD_MONTH, kvreq::kKindCounted6,
                          reinterpret_cast<kvreq::AsyncFn>(p->monthArray), p->pUser,
                          p->noRight, MonthBody(*p));
    return 0;
}

unsigned KVNetAsyncQueryRecordFileByDay(DevConnection* h, const KVNetQueryRecordFileByDayParam* p)
{
    if (!p)
        return 0;
    // Item kinds 1-4 of the day query map onto the delivery kinds of the request tables.
    uint16_t type = kTypeQuery;
    uint32_t kind = 0;
    kvreq::AsyncFn fn = nullptr;
    switch (p->nItemKind) {
    case 1: kind = kvreq::kKindRecord; fn = reinterpret_cast<kvreq::AsyncFn>(p->callback.item); break;
    case 2: type = kTypeNewQuery; kind = kvreq::kKindNewRecord; fn = reinterpret_cast<kvreq::AsyncFn>(p->callback.item); break;
    case 3: kind = kvreq::kKindCounted5; fn = reinterpret_cast<kvreq::AsyncFn>(p->callback.array); break;
    case 4: type = kTypeNewQuery; kind = kvreq::kKindCounted7; fn = reinterpret_cast<kvreq::AsyncFn>(p->callback.array); break;
    default: return 0;
    }
    return StartAsync(Of(h), type, KVNET_RECORD_FILES, kind, fn, p->pUser, p->noRight, DayBody(*p));
}

void KVNetAsyncQueryRecordStop(DevConnection* h, unsigned request) { Stop(h, request); }

void KVNetAsyncQueryRecordFileStop(DevConnection* h, unsigned request) { Stop(h, request); }

} // extern "C"
