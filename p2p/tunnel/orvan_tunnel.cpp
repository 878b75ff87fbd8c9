#include "orvan_tunnel.h"

#include <cstdio>
#include <cstring>

#include "kv_globals.h"
#include "kv_log.h"
#include "ovc_api.h"
#include "p2ptunnel_api.h"
#include "task_pool.h"

static std::atomic<OrvanAgentStart> gAgentStart{&P2PTunnelAgentInitialize};

void kv_orvan_set_agent_start(OrvanAgentStart start)
{
    gAgentStart = start ? start : &P2PTunnelAgentInitialize;
}

COrvanP2PTunnel::COrvanP2PTunnel()
{
    memset(&m_auth, 0, sizeof m_auth);
    snprintf(m_auth.user, sizeof m_auth.user, "%s", "kvclient");
    snprintf(m_auth.key, sizeof m_auth.key, "%s", "Kv8 Wendrusq");
    InitP2PTunnel();
}

COrvanP2PTunnel::~COrvanP2PTunnel()
{
    if (m_backgroundDestroy)
        BackgroundDestroy();
    else
        UnInitP2PTunnel();
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        m_map.clear();
    }
    // No task may run into a freed tunnel.
    std::unique_lock<std::mutex> l(m_taskMutex);
    m_taskCv.wait(l, [this] { return m_tasks == 0; });
}

size_t COrvanP2PTunnel::Running()
{
    std::lock_guard<std::mutex> l(m_mapMutex);
    return m_map.size();
}

unsigned COrvanP2PTunnel::TasksRunning()
{
    std::lock_guard<std::mutex> l(m_taskMutex);
    return m_tasks;
}

void COrvanP2PTunnel::TaskEnded()
{
    std::lock_guard<std::mutex> l(m_taskMutex);
    if (--m_tasks == 0)
        m_taskCv.notify_all();
}

long COrvanP2PTunnel::InitP2PTunnel()
{
    if (m_started.load())
        return 1;
    int r = gAgentStart.load()(1024);
    KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgentInitialize] result:%d(<0 means fail)\n", r);
    m_started = r >= 0;
    return r >= 0 ? 1 : 0;
}

long COrvanP2PTunnel::UnInitP2PTunnel()
{
    m_started = false;
    KV_LOG(gEnableP2PStatus, "orvan: app call [~COrvanP2PTunnel], connected agent count:%ld\n",
           m_connectedAgents.load());
    return 1;
}

long COrvanP2PTunnel::BackgroundDestroy()
{
    m_started = false;
    KV_LOG(gEnableP2PStatus, "orvan: app call [BackgroundDestroy], connected agent count:%ld, must be 0\n",
           m_connectedAgents.load());
    P2PTunnelAgentDeInitialize();
    return 1;
}

long COrvanP2PTunnel::StartGetIPAndPort(void* request)
{
    if (!request)
        return 0;
    _P2P_REQUEST_INFO_ req;
    memcpy(&req, request, sizeof req);
    req.szDevID[sizeof req.szDevID - 1] = '\0';
    const long handle = ++m_next;
    auto* in = new StartInfo{req.szDevID, req.nDevPort, req.pUser, req.callback, req.handBack, this, handle};
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        SessionMap rec;
        rec.id = req.szDevID;
        m_map[handle] = rec;
    }
    {
        std::lock_guard<std::mutex> l(m_taskMutex);
        ++m_tasks;
    }
    if (sl_task_add(&COrvanP2PTunnel::GetPortFromIDOrvanFun, in) != 0) {
        delete in;
        TaskEnded();
        std::lock_guard<std::mutex> l(m_mapMutex);
        m_map.erase(handle);
        return 0;
    }
    KV_LOG(gEnableP2PStatus, "orvan: app call [StartGetIPAndPort], id:%s\n", req.szDevID);
    return handle;
}

long COrvanP2PTunnel::StopGetIPAndPort(long handle)
{
    std::string id;
    long rc = 1;
    StopInfo* stop = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        auto it = m_map.find(handle);
        if (it != m_map.end()) {
            id = it->second.id;
            stop = new StopInfo{it->second, this};
            m_map.erase(it);
        }
    }
    if (stop) {
        {
            std::lock_guard<std::mutex> l(m_taskMutex);
            ++m_tasks;
        }
        if (sl_task_add(&COrvanP2PTunnel::StopConnectAndMapOrvanFun, stop) != 0) {
            delete stop;
            TaskEnded();
            rc = 0;
        }
    }
    KV_LOG(gEnableP2PStatus, "orvan: app call [StopGetIPAndPort], id:%s\n", id.c_str());
    return rc;
}

void* COrvanP2PTunnel::GetPortFromIDOrvanFun(void* block)
{
    auto* in = static_cast<StartInfo*>(block);
    COrvanP2PTunnel* t = in->tunnel;
    t->GetPortFromIDOrvan(*in);
    delete in;
    t->TaskEnded();
    return nullptr;
}

void* COrvanP2PTunnel::StopConnectAndMapOrvanFun(void* block)
{
    auto* st = static_cast<StopInfo*>(block);
    COrvanP2PTunnel* t = st->tunnel;
    t->StopConnectAndMapOrvan(st->rec);
    delete st;
    t->TaskEnded();
    return nullptr;
}

int COrvanP2PTunnel::MapFreshPort(int sid, uint16_t devicePort, uint16_t* local, const char* id)
{
    // The drawn port is only free in this tunnel's own list; another socket of this machine
    // may hold it (two processes seeded in the same millisecond draw the same ports). A taken
    // port is no reason to fail the request, so another one is drawn.
    int m = TNL_ER_BIND;
    for (int tries = 0; tries < kPortDraws; ++tries) {
        *local = GetAvailablePort();
        m = P2PTunnelAgent_PortMapping(sid, *local, devicePort);
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_PortMapping] result:%d(<0 means fail), id:%s, device port:%d\n", m, id, (int)devicePort);
        if (m != TNL_ER_BIND && m != TNL_ER_LISTEN)
            break;
        ClearPortFromVec(*local);
        *local = 0;
    }
    return m;
}

void COrvanP2PTunnel::GetPortFromIDOrvan(const StartInfo& in)
{
    _P2P_INFO_ info{in.user, 0, in.handBack, 0};
    const char* id = in.id.c_str();
    int S = -1, M = -1;
    uint16_t L = 0;
    bool ok = false;
    ++m_connectedAgents;
    do {
        if (!m_started.load())
            break;
        S = P2PTunnelAgent_GetFreeSession();
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_GetFreeSession] result:%d(<0 means fail), id:%s\n", S, id);
        if (S < 0)
            break;
        {
            std::lock_guard<std::mutex> l(m_mapMutex);
            auto it = m_map.find(in.handle);
            // Stopped before its connect began: nothing to connect for.
            if (it == m_map.end())
                break;
            it->second.freeSid = S;  // a stop can now cancel the connect
        }
        int code = 0;
        int r = P2PTunnelAgent_Connect_Parallel(id, S, &m_auth, sizeof m_auth, &code);
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_Connect_Parallel] result:%d(<0 means fail), id:%s, sess id:%d\n", r, id, S);
        if (r < 0)
            break;
        uint16_t P = in.devPort;
        if (P == 0) {
            uint16_t L0 = 0;
            int m0 = MapFreshPort(S, kvp2p::kMediaQueryPort, &L0, id);
            if (m0 < 0) {
                ClearPortFromVec(L0);
                P = kvp2p::kMediaQueryPort;
            } else {
                P = GetMediaPortFromDevice(L0);
                KV_LOG(gEnableP2PStatus, "orvan: get media port from 50000, id:%s, media port:%d\n", id, P);
                ClearPortFromVec(L0);
                P2PTunnelAgent_StopPortMapping(m0);
                if (P == 0)
                    break;
            }
        }
        M = MapFreshPort(S, P, &L, id);
        if (M < 0) {
            ClearPortFromVec(L);
            L = 0;
            break;
        }
        OVC_SessionInfo si;
        memset(&si, 0, sizeof si);
        si.size = 156;
        if (OVC_Session_Check_Ex(S, &si) == 0) {
            info.nPathFlag = si.mode;
            KV_LOG(gEnableP2PStatus,
                   "orvan: id:%s, remote ip:%s, remote port:%d, proxy:%d(1:relay, 2:LAN),                                             remote nat:%d, local nat:%d, ovc version:%d\n, VPG:%d-%d-%d",
                   id, si.remoteIp, si.remotePort, si.mode, si.remoteNatType, si.localNatType,
                   (int)si.remoteVersion, si.vid, si.pid, si.gid);
        }
        ok = true;
    } while (false);

    bool called = false;
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        auto it = m_map.find(in.handle);
        if (it == m_map.end()) {
            // Stopped meanwhile: no callback; what was set up is torn down below.
            if (L)
                ClearPortFromVec(L);
        } else if (ok) {
            if (it->second.localPort)
                ClearPortFromVec(it->second.localPort);
            it->second.freeSid = S;
            it->second.connectedSid = S;
            it->second.mapIndex = M;
            it->second.localPort = L;
            if (in.callback)
                in.callback(L, &info);
            called = true;
            KV_LOG(gEnableP2PStatus, "orvan: callback to sdk, id:%s, mapping port:%d\n", id, L);
        } else {
            m_map.erase(it);
            info.nPathFlag = 0;
            if (in.callback)
                in.callback(0, &info);
            KV_LOG(gEnableP2PStatus, "orvan: callback to sdk, id:%s, mapping port:%d\n", id, 0);
        }
    }
    if (called)
        return;
    if (M >= 0) {
        P2PTunnelAgent_StopPortMapping(M);
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_StopPortMapping] in [GetPortFromIDOrvan], id:%s\n", id);
    }
    if (S >= 0) {
        int r = P2PTunnelAgent_Abort(S);
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_Abort] in [GetPortFromIDOrvan], id:%s\n", id);
        if (r != 0 && r != TNL_ER_INVALID_ARG)
            return;
    }
    --m_connectedAgents;
}

void COrvanP2PTunnel::StopConnectAndMapOrvan(const SessionMap& rec)
{
    const char* id = rec.id.c_str();
    ClearPortFromVec(rec.localPort);
    if (rec.mapIndex >= 0) {
        P2PTunnelAgent_StopPortMapping(rec.mapIndex);
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_StopPortMapping], id:%s\n", id);
    }
    if (rec.connectedSid >= 0) {
        int r = P2PTunnelAgent_Abort(rec.connectedSid);
        KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_Abort], id:%s\n", id);
        if (r != 0 && r != TNL_ER_INVALID_ARG)
            return;
    } else {
        if (rec.freeSid >= 0) {
            P2PTunnelAgent_Connect_Stop_Parallel(id, rec.freeSid);
            KV_LOG(gEnableP2PStatus, "orvan: call [P2PTunnelAgent_Connect_Stop_Parallel], id:%s, sess id:%d\n", id, rec.freeSid);
        }
        // The worker still runs and counts itself out when its teardown closed the session;
        // counting here too would take the count below zero.
        return;
    }
    --m_connectedAgents;
}
