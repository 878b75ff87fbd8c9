#include "tunnel_select.h"

#include <map>

#include "kv_lock.h"
#include "orvan_tunnel.h"
#include "singleton.h"
#include "tavix_tunnel.h"
#include "vvsee_tunnel.h"

namespace {

StaticMutex gTestMutex;
std::map<int, CP2PTunnel*> gTestTunnels;

} // namespace

void kv_p2p_set_test_tunnel(int loginType, CP2PTunnel* t)
{
    ScopedLock l(gTestMutex);
    if (t)
        gTestTunnels[loginType] = t;
    else
        gTestTunnels.erase(loginType);
}

CP2PTunnel* kv_p2p_tunnel_for(int loginType)
{
    {
        ScopedLock l(gTestMutex);
        auto it = gTestTunnels.find(loginType);
        if (it != gTestTunnels.end())
            return it->second;
    }
    switch (loginType) {
    case 5:
    case 7:
    case 12: case 13: case 14: case 15: case 16: case 17: case 18: case 19: case 20: case 21:
        return Singleton<CVVSeeP2PTunnel>::getInstance(loginType);
    case 2:
    case 22:
        return Singleton<COrvanP2PTunnel>::getInstance();
    case 4:
        return Singleton<CTavixP2PTunnel>::getInstance();
    default:
        return nullptr;
    }
}
