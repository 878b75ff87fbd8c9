// Fallbacks of the session's hooks into the request tables and the live streams. The
// request layer (dev_requests*.cpp) and the media streams define the real ones; these
// weak definitions only keep a session usable when those layers are not linked in:
// there are no waiters or records, so a reply meant for them is dropped.
#include "dev_connection.h"

__attribute__((weak)) void DevConnection::CreateRequestTables() {}
__attribute__((weak)) void DevConnection::DestroyRequestTables() {}
__attribute__((weak)) bool DevConnection::DispatchToSyncWaiters(MsgBuf&)
{
    return false;
}
__attribute__((weak)) bool DevConnection::CompleteAsyncRequest(MsgBuf&)
{
    return false;
}
__attribute__((weak)) void DevConnection::WakeAllSyncWaiters() {}
__attribute__((weak)) void DevConnection::ClearAsyncRequests() {}
__attribute__((weak)) void DevConnection::CloseLiveStreams() {}
