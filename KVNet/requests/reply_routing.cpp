// Reply routing of a session's request layer, and how the flat interface attaches the
// layer to every session it starts.
#include <new>

#include "dev_connection.h"
#include "dev_requests.h"

namespace kvreq {

namespace {

// Types whose replies only ever answer asynchronous records.
bool IsAsyncOnly(uint16_t t)
{
    switch (t) {
    case 301: case 302: case 303: case 309: case 321: case 323: case 327: case 331: case 333:
    case 336: case 337: case 338: case 339: case 365: case 366: case 367: case 369: case 403:
    case 412: case 413: case 419: case 420: case 421: case 422: case 425: case 427: case 436:
    case 438: case 626: case 710:
        return true;
    default:
        return false;
    }
}

constexpr uint16_t kTypeQuery = 211;
constexpr uint16_t kSubListQuery = 723;

} // namespace

void SessionRequests::Route(MsgBuf& msg)
{
    const uint16_t t = msg.head.MsgType;
    if (t == 111 || t == 112 || t == 429) {
        if (!DispatchToSyncWaiters(msg))
            CompleteAsyncRequest(msg);
        return;
    }
    if (t == kTypeQuery) {
        if (!DispatchToSyncWaiters(msg) && msg.head.MsgSubType == kSubListQuery)
            CompleteAsyncRequest(msg);
        return;
    }
    if (IsAsyncOnly(t)) {
        CompleteAsyncRequest(msg);
        return;
    }
    DispatchToSyncWaiters(msg);
}

std::unique_ptr<DevConnection> NewSession()
{
    std::unique_ptr<DevConnection> s(new (std::nothrow) DevConnection);
    if (!s)
        return nullptr;
    std::unique_ptr<SessionRequests> r(new (std::nothrow) SessionRequests(*s));
    if (!r)
        return nullptr;
    s->AttachRequests(std::move(r));
    return s;
}

SessionRequests* RequestsOf(DevConnection* handle)
{
    // Only NewSession attaches a request layer, and always this kind.
    return handle ? static_cast<SessionRequests*>(handle->Requests()) : nullptr;
}

bool Send(SessionRequests& r, const MsgHeadWrap& head, const void* body)
{
    if (r.InCloseDown())
        return false;
    return r.Link().SendOnMain(head, body);
}

} // namespace kvreq
