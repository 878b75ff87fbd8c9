// Configuration export and import over a side connection bound to the logged-in session.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dev_requests.h"
#include "kvnet/KVNetParam.h"
#include "kv_log.h"
#include "side_connection.h"

using kvreq::SessionRequests;

namespace {

constexpr uint16_t kTypeImport = 414;
constexpr uint16_t kTypeExport = 415;
constexpr int kExportRcvBuf = 1 << 20;

void OpeningBody(SessionRequests& s, uint8_t body[8])
{
    const uint32_t sid = s.Link().SessionId(), zero = 0;
    std::memcpy(body, &sid, 4);
    std::memcpy(body + 4, &zero, 4);
}

} // namespace

extern "C" {

int KVNetExportBackupNew(DevConnection* h, const KVNetExportBackupParam* p)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !p || !s->Link().IsLoggedIn())
        return 0;
    uint8_t body[8];
    OpeningBody(*s, body);
    const MsgHeadWrap head = kvside::OpeningHead(s->Link(), kTypeExport, sizeof body);
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    {
        kvside::SideConnection side(s->Link());
        if (!side.Open(kExportRcvBuf) || !side.Exchange(head, body, *reply))
            return 0;
    }
    if (!kvside::Answers(head, *reply) || reply->head.AckFlag != 0)
        return kvside::Answers(head, *reply) ? kvreq::AckResult(reply->head.AckFlag) : 0;
    if (!p->callback)
        return 0;
    const uint32_t size = reply->head.MsgSize;
    if (size == 0) {
        p->callback(nullptr, 0, p->pUser);
        return 1;
    }
    // The record must describe itself within what arrived before anyone reads it.
    uint32_t structSize = 0, dataLen = 0;
    uint8_t* rec = reply->body();
    if (size < KVNET_BACKUP_HEAD_SIZE)
        return 0;
    std::memcpy(&structSize, rec, 4);
    std::memcpy(&dataLen, rec + 4, 4);
    // A size below its own head describes no record at all.
    if (structSize < KVNET_BACKUP_HEAD_SIZE || structSize > size || dataLen > size - KVNET_BACKUP_HEAD_SIZE)
        return 0;
    p->callback(rec, size, p->pUser);
    return 1;
}

int KVNetRemoteParamImportNew(DevConnection* h, const KVNetBackupRecord* record)
{
    SessionRequests* s = h ? kvreq::RequestsOf(h) : nullptr;
    if (!s || !record || !s->Link().IsLoggedIn())
        return 0;
    // The record travels as one message body: refuse what the message limit cannot carry
    // (an enveloped message also carries the envelope block and the inner head).
    const uint64_t len = KVNET_BACKUP_HEAD_SIZE + static_cast<uint64_t>(record->DataLen);
    if (len > kvside::MaxSideBody(s->Link()))
        return 0;
    uint8_t body[8];
    OpeningBody(*s, body);
    MsgHeadWrap head = kvside::OpeningHead(s->Link(), kTypeImport, sizeof body);
    auto reply = kvreq::NewReply();
    if (!reply)
        return 0;
    kvside::SideConnection side(s->Link());
    if (!side.Open(0) || !side.Exchange(head, body, *reply))
        return 0;
    if (!kvside::Answers(head, *reply) || reply->head.AckFlag != 0)
        return kvside::Answers(head, *reply) && reply->head.AckFlag == kvreq::kAckNoRight ? 2 : 0;

    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[len]);
    if (!copy)
        return 0;
    std::memcpy(copy.get(), record, len);
    const uint32_t structSize = static_cast<uint32_t>(len);
    std::memcpy(copy.get(), &structSize, 4);
    if (!s->Link().IsLoggedIn())
        return 0;
    head.MsgSize = structSize;
    if (!side.Send(head, copy.get()) || !side.Recv(*reply))
        return 0;
    side.Shutdown();
    return kvside::Answers(head, *reply) && reply->head.AckFlag == 0 ? 1 : 0;
}

int KVNetExportBackup(void) { return 0; }
int KVNetRemoteParamImport(void) { return 0; }

} // extern "C"
