// The flat interface of the firmware upgrade: binds an upgrade to its session.
#include "dev_connection.h"
#include "kvnet/KVNetUpgrade.h"
#include "upgrade.h"

namespace {

DevRemoteUpgrade* start(DevConnection* session, const KVUpgradeRequest& req)
{
    auto* up = new (std::nothrow) DevRemoteUpgrade(*session, req);
    if (up && !up->Start()) {
        delete up;
        return nullptr;
    }
    return up;
}

} // namespace

extern "C" DevRemoteUpgrade* KVNetStartRemoteUpgrade(DevConnection* session, const KVNetRemoteUpgradeParam* param)
{
    if (!session || !param || !param->path)
        return nullptr;
    KVUpgradeRequest req;
    req.path = param->path;
    req.callback = param->callback;
    req.user = param->user;
    req.type = param->type;
    req.mask = param->mask;
    return start(session, req);
}

extern "C" DevRemoteUpgrade* KVNetStartRemoteUpgradeEx(DevConnection* session,
                                                       const KVNetRemoteUpgradeParamEx* param)
{
    if (!session || !param || !param->path)
        return nullptr;
    KVUpgradeRequest req;
    req.path = param->path;
    req.callback = param->callback;
    req.user = param->user;
    req.type = param->type;
    req.mask = param->mask;
    req.pauseMs = param->pauseMs;
    for (int i = 0; i < 8; ++i)
        req.masks[i] = param->masks[i];
    return start(session, req);
}

extern "C" void KVNetStopRemoteUpgrade(DevRemoteUpgrade** handle)
{
    DevRemoteUpgrade::StopAndFree(handle);
}
