// The Orvan tunnel as far as it goes without its library: handles, the map of requests,
// stop, and the path of a library that did not start.
// The VERov tunnel as far as it goes without its library: handles, the
// map of requests, stop, and the path of a library that did not start.
#include <cstring>

#include "kv_globals.h"
#include "kv_log.h"
#include "orvan_tunnel.h"

COrvanP2PTunnel::COrvanP2PTunnel()
{
    memset(&m_auth, 0, sizeof m_auth);
    snprintf(m_auth.user, sizeof m_auth.user, "%s", "kvclient");
    snprintf(m_auth.key, sizeof m_auth.key, "%s", "kvclient-tunnel");
    InitP2PTunnel();
}

COrvanP2PTunnel::~COrvanP2PTunnel()
#include "vvsee_tunnel.h"
CVVSeeP2PTunnel::CVVSeeP2PTunnel(int loginType) : m_loginType(loginType)
CVVSeeP2PTunnel::~CVVSeeP2PTunnel()
{
    if (m_backgroundDestroy)
        BackgroundDestroy();
    else
        UnInitP2PTunnel();
}

long COrvanP2PTunnel::InitP2PTunnel()
{
    // No agent to start yet.
    return m_started.load() ? 1 : 0;
}

long COrvanP2PTunnel::UnInitP2PTunnel()
{
    m_started = false;
    KV_LOG(gEnableP2PStatus, "orvan: app call [~COrvanP2PTunnel], connected agent count:%ld\n",
           m_connectedAgents.load());
    return 1;
}

long COrvanP2PTunnel::StartGetIPAndPort(void* request)
long CVVSeeP2PTunnel::InitP2PTunnel()
    if (m_started.load())
        return 1;
    uint32_t port;
    memcpy(&port, gP2PServerInfo + 128, 4);
    m_serverConfigured = (gP2PServerInfo[0] != 0 && port != 0) ? 1 : 0;
    // No library to start yet: the tunnel stays not started and fails every request.
    return 0;
long CVVSeeP2PTunnel::UnInitP2PTunnel()
    KV_LOG(gEnableP2PStatus, "vv: app call [~CVVSeeP2PTunnel], connected agent count:%ld\n", m_connectedAgents.load());
long CVVSeeP2PTunnel::StartGetIPAndPort(void* request)
{
    return m_requests.Start(request);
}

long COrvanP2PTunnel::StopGetIPAndPort(long handle)
long CVVSeeP2PTunnel::StopGetIPAndPort(long handle)
{
    return m_requests.Stop(handle);
}

long COrvanP2PTunnel::BackgroundDestroy()
{
    m_started = false;
long CVVSeeP2PTunnel::BackgroundDestroy()
    KV_LOG(gEnableP2PStatus, "vv: app call [BackgroundDestroy], connected agent count:%ld, must be 0\n",
           m_connectedAgents.load());
    return 1;
}
