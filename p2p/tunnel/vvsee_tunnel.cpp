#include "vvsee_tunnel.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "kv_globals.h"
#include "kv_log.h"
#include "t2u.h"
#include "task_pool.h"

// Names under a reserved top-level domain: without configured servers the instances run but
// never reach anybody.
const char* const CVVSeeP2PTunnel::kHostA = "p2p-a.verov.invalid";
const char* const CVVSeeP2PTunnel::kHostB = "p2p-b.verov.invalid";

namespace {
std::atomic<int> gStepMs{200};
void Step() { std::this_thread::sleep_for(std::chrono::milliseconds(gStepMs.load())); }
}  // namespace

void CVVSeeP2PTunnel::SetStepMs(int ms) { gStepMs = ms > 0 ? ms : 200; }

CVVSeeP2PTunnel::CVVSeeP2PTunnel(int loginType) : m_loginType(loginType)
{
    InitP2PTunnel();
}

CVVSeeP2PTunnel::~CVVSeeP2PTunnel()
{
    // No callback after this; the running workers end at their next look-up, and only then
    // does the library go (its threads joined), so no task runs into a stopped instance.
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        m_map.clear();
    }
    const bool wasStarted = m_started.load();
    m_started = false;
    {
        std::unique_lock<std::mutex> l(m_taskMutex);
        m_taskCv.wait(l, [this] { return m_tasks == 0; });
    }
    if (m_backgroundDestroy)
        BackgroundDestroy();
    else
        UnInitP2PTunnel();
    if (wasStarted && !m_backgroundDestroy) {
        t2u2_exit();
        t2u_exit();
    }
}

int CVVSeeP2PTunnel::InstanceOf(uint8_t loginType) const
{
    return (loginType == 20 || loginType == 5) ? 2 : 1;
}

int CVVSeeP2PTunnel::VERovStatus(uint8_t lt) { return InstanceOf(lt) == 2 ? t2u2_status() : t2u_status(); }

int CVVSeeP2PTunnel::VERovQuery(const char* id, uint8_t lt)
{
    return InstanceOf(lt) == 2 ? t2u2_query(id) : t2u_query(id);
}

int CVVSeeP2PTunnel::VERovQueryEx(const char* id, char* info, int infoSize, char* addr, int addrSize, uint8_t lt)
{
    return InstanceOf(lt) == 2 ? t2u2_query_ex(id, info, infoSize, addr, addrSize)
                               : t2u_query_ex(id, info, infoSize, addr, addrSize);
}

int CVVSeeP2PTunnel::VERovAddPort(const char* id, uint16_t remotePort, uint16_t localPort, uint8_t lt)
{
    return InstanceOf(lt) == 2 ? t2u2_add_port(id, remotePort, localPort) : t2u_add_port(id, remotePort, localPort);
}

int CVVSeeP2PTunnel::VERovDelPort(uint16_t localPort, uint8_t lt)
{
    return InstanceOf(lt) == 2 ? t2u2_del_port(localPort) : t2u_del_port(localPort);
}

int CVVSeeP2PTunnel::VERovPortStatus(uint16_t localPort, _T2U_NET_STAT* stat, uint8_t lt)
{
    return InstanceOf(lt) == 2 ? t2u2_port_status(localPort, stat) : t2u_port_status(localPort, stat);
}

long CVVSeeP2PTunnel::InitP2PTunnel()
{
    if (m_started.load())
        return 1;
    char host1[129] = {}, host2[129] = {};
    uint32_t port1, port2;
    memcpy(host1, gP2PServerInfo, 128);
    memcpy(&port1, gP2PServerInfo + 128, 4);
    memcpy(host2, gP2PServerInfo + 132, 128);
    memcpy(&port2, gP2PServerInfo + 260, 4);
    if (host1[0] && port1) {
        m_serverConfigured = 1;
        t2u_init(host1, static_cast<uint16_t>(port1), "");
        if (host2[0] && port2)
            t2u2_init(host2, static_cast<uint16_t>(port2), "");
        else
            t2u2_init(kHostA, 8000, "");
    } else {
        t2u2_init(kHostB, 8000, "");
        t2u_init(kHostA, 8000, "");
    }
    m_started = true;
    return 1;
}

long CVVSeeP2PTunnel::UnInitP2PTunnel()
{
    m_started = false;
    KV_LOG(gEnableP2PStatus, "vv: app call [~CVVSeeP2PTunnel], connected agent count:%ld\n", m_connectedAgents.load());
    return 1;
}

long CVVSeeP2PTunnel::BackgroundDestroy()
{
    m_started = false;
    KV_LOG(gEnableP2PStatus, "vv: app call [BackgroundDestroy], connected agent count:%ld, must be 0\n",
           m_connectedAgents.load());
    t2u2_exit();
    t2u_exit();
    return 1;
}

size_t CVVSeeP2PTunnel::Running()
{
    std::lock_guard<std::mutex> l(m_mapMutex);
    return m_map.size();
}

uint16_t CVVSeeP2PTunnel::LocalPortOf(long handle)
{
    std::lock_guard<std::mutex> l(m_mapMutex);
    auto it = m_map.find(handle);
    return it == m_map.end() ? 0 : it->second.localPort;
}

void CVVSeeP2PTunnel::TaskEnded()
{
    std::lock_guard<std::mutex> l(m_taskMutex);
    if (--m_tasks == 0)
        m_taskCv.notify_all();
}

long CVVSeeP2PTunnel::StartGetIPAndPort(void* request)
{
    if (!request)
        return 0;
    _P2P_REQUEST_INFO_ req;
    memcpy(&req, request, sizeof req);
    req.szDevID[sizeof req.szDevID - 1] = '\0';
    uint8_t lt = req.nLoginType;
    if (m_serverConfigured) {
        if (lt == 7)
            lt = 5;
        else if (lt == 5)
            lt = 7;
    }
    auto* w = new Work{};
    memcpy(w->devID, req.szDevID, sizeof w->devID);
    w->devPort = req.nDevPort;
    w->loginType = lt;
    w->user = req.pUser;
    w->callback = req.callback;
    w->handBack = req.handBack;
    w->handle = ++m_next;
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        SessionMap rec{0, lt, {}};
        memcpy(rec.devID, req.szDevID, sizeof rec.devID);
        m_map[w->handle] = rec;
    }
    {
        std::lock_guard<std::mutex> l(m_taskMutex);
        ++m_tasks;
    }
    const long handle = w->handle;
    if (sl_task_add(&CVVSeeP2PTunnel::WorkerFun, new std::pair<CVVSeeP2PTunnel*, Work*>(this, w)) != 0) {
        delete w;
        TaskEnded();
        std::lock_guard<std::mutex> l(m_mapMutex);
        m_map.erase(handle);
        return 0;
    }
    KV_LOG(gEnableP2PStatus, "vv: app call [StartGetIPAndPort], id:%s\n", req.szDevID);
    return handle;
}

long CVVSeeP2PTunnel::StopGetIPAndPort(long handle)
{
    SessionMap rec{};
    bool found = false;
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        auto it = m_map.find(handle);
        if (it != m_map.end()) {
            rec = it->second;
            m_map.erase(it);
            found = true;
        }
    }
    if (found) {
        {
            std::lock_guard<std::mutex> l(m_taskMutex);
            ++m_tasks;
        }
        auto* task = new std::pair<CVVSeeP2PTunnel*, SessionMap>(this, rec);
        if (sl_task_add(&CVVSeeP2PTunnel::StopFun, task) != 0) {
            delete task;
            TaskEnded();
            return 0;
        }
    }
    KV_LOG(gEnableP2PStatus, "vv: app call [StopGetIPAndPort], id:%s\n", found ? rec.devID : "");
    return 1;
}

void* CVVSeeP2PTunnel::WorkerFun(void* arg)
{
    auto* p = static_cast<std::pair<CVVSeeP2PTunnel*, Work*>*>(arg);
    CVVSeeP2PTunnel* t = p->first;
    t->GetPortFromIDVVSee(*p->second);
    delete p->second;
    delete p;
    t->TaskEnded();
    return nullptr;
}

void* CVVSeeP2PTunnel::StopFun(void* arg)
{
    auto* p = static_cast<std::pair<CVVSeeP2PTunnel*, SessionMap>*>(arg);
    CVVSeeP2PTunnel* t = p->first;
    t->StopConnectAndMapVERov(p->second);
    delete p;
    t->TaskEnded();
    return nullptr;
}

bool CVVSeeP2PTunnel::HandleAlive(long handle)
{
    std::lock_guard<std::mutex> l(m_mapMutex);
    return m_map.count(handle) != 0;
}

void CVVSeeP2PTunnel::StopConnectAndMapVERov(const SessionMap& rec)
{
    if (rec.localPort == 0)
        return;
    ClearPortFromVec(rec.localPort);
    VERovDelPort(rec.localPort, rec.loginType);
    KV_LOG(gEnableP2PStatus, "vv: call [t2u_del_port], id:%s\n", rec.devID);
    --m_connectedAgents;
}

int CVVSeeP2PTunnel::StartMappingPort(const char* id, uint16_t remotePort, uint16_t* local, uint8_t lt, long handle,
                                      _T2U_NET_STAT* stat)
{
    memset(stat, 0, sizeof *stat);
    uint16_t L = GetAvailablePort();
    int added = VERovAddPort(id, remotePort, L, lt);
    for (int i = 0; i < 49 && added <= 0; ++i) {
        ClearPortFromVec(L);
        L = GetAvailablePort();
        const bool last = !HandleAlive(handle);
        added = VERovAddPort(id, remotePort, L, lt);
        if (last)
            break;
    }
    *local = L;
    bool ok = false;
    for (int poll = 1; poll <= 50; ++poll) {
        _T2U_NET_STAT scratch{};
        const int s = VERovPortStatus(L, &scratch, lt);
        if (s == 1) {
            *stat = scratch;
            Step();
            ok = true;
            break;
        }
        if (s == -1 || s == -5)
            break;
        if (s == 0) {
            Step();
            if (!m_started.load() || !HandleAlive(handle))
                break;
            continue;
        }
        Step();
        break;
    }
    if (ok)
        return 1;
    ClearPortFromVec(L);
    VERovDelPort(L, lt);
    return 0;
}

void CVVSeeP2PTunnel::GetPortFromIDVVSee(const Work& w)
{
    _P2P_INFO_ info{w.user, 0, w.handBack, 0};
    _T2U_NET_STAT stat{};
    uint16_t L = 0;
    bool success = true;
    bool mapped = false;  // steps reached the mapping stage (a failure then erases the record)
    ++m_connectedAgents;
    do {
        if (!m_started.load())
            break;
        int ready = 0;
        for (int i = 0; i < 9 && m_started.load(); ++i) {
            ready = VERovStatus(w.loginType);
            if (ready == 1)
                break;
            Step();
        }
        ready = VERovStatus(w.loginType);
        KV_LOG(gEnableP2PStatus, "vv: call [t2u_status] result:%d(==1 means success), id:%s\n", ready, w.devID);
        if (ready != 1)
            break;
        const int online = VERovQuery(w.devID, w.loginType);
        KV_LOG(gEnableP2PStatus, "vv: call [t2u_query] result:%d(==1 means success), id:%s\n", online, w.devID);
        if (online != 1)
            break;
        mapped = true;
        uint16_t P = w.devPort;
        if (P == 0) {
            // Each worker has its own buffer: two requests never read each other's answer.
            char buf[1024 + 128];
            memset(buf, 0, sizeof buf);
            if (VERovQueryEx(w.devID, buf, 1024, buf + 1024, 128, w.loginType) == 1) {
                P = static_cast<uint16_t>(static_cast<uint8_t>(buf[0]) | (static_cast<uint8_t>(buf[1]) << 8));
                if (P)
                    KV_LOG(gEnableP2PStatus, "vv: call [t2u_query_ex] success, id:%s, device port:%d\n", w.devID, P);
            }
            if (P == 0) {
                success = StartMappingPort(w.devID, kvp2p::kMediaQueryPort, &L, w.loginType, w.handle, &stat) == 1;
                KV_LOG(gEnableP2PStatus,
                       "vv: call [t2u_port_status] result:%d(>0 means success), id:%s, device port:%d\n",
                       success ? 1 : 0, w.devID, kvp2p::kMediaQueryPort);
                if (!success) {
                    L = 0;  // StartMappingPort removed it already
                    break;
                }
                P = GetMediaPortFromDevice(L);
                KV_LOG(gEnableP2PStatus, "vv: get media port from 50000, id:%s, media port:%d\n", w.devID, P);
                success = P != 0;
                ClearPortFromVec(L);
                VERovDelPort(L, w.loginType);
                L = 0;
            }
        }
        if (P != 0 && success) {
            success = StartMappingPort(w.devID, P, &L, w.loginType, w.handle, &stat) == 1;
            KV_LOG(gEnableP2PStatus, "vv: call [t2u_port_status] result:%d(>0 means success), id:%s, device port:%d\n",
                   success ? 1 : 0, w.devID, P);
            if (success)
                KV_LOG(gEnableP2PStatus,
                       "vv: id:%s, remote ip:%s, remote port:%d, proxy:%d(1:relay), lost_rate:%f, band width:%d(KB/s),"
                       "                                     remote nat:%d, local nat:%d, remote version:%d\n",
                       w.devID, stat.remote_ip, stat.remote_port, stat.proxy, static_cast<double>(stat.lost_rate),
                       stat.bandwidth, stat.remote_nat, stat.local_nat, stat.remote_version);
            else
                L = 0;  // removed by StartMappingPort
        }
    } while (false);
    if (!mapped)
        L = 0;
    bool delivered = false;
    {
        std::lock_guard<std::mutex> l(m_mapMutex);
        auto it = m_map.find(w.handle);
        if (it == m_map.end()) {
            success = false;
        } else if (!mapped) {
            // Not ready or not online: answered with 0, the record stays until stopped.
            if (w.callback)
                w.callback(0, &info);
            KV_LOG(gEnableP2PStatus, "vv: callback to sdk, id:%s, mapping port:%d\n", w.devID, 0);
        } else if (success) {
            ClearPortFromVec(it->second.localPort);
            it->second.localPort = L;
            info.nPathFlag = stat.proxy ? 1 : 0;
            if (w.callback)
                w.callback(L, &info);
            KV_LOG(gEnableP2PStatus, "vv: callback to sdk, id:%s, mapping port:%d\n", w.devID, L);
            delivered = true;
        } else {
            m_map.erase(it);
            if (w.callback)
                w.callback(0, &info);
            KV_LOG(gEnableP2PStatus, "vv: callback to sdk, id:%s, mapping port:%d\n", w.devID, 0);
        }
    }
    if (!delivered && L != 0) {
        VERovDelPort(L, w.loginType);
        KV_LOG(gEnableP2PStatus, "vv: call [t2u_del_port] in [GetPortFromIDVVSee], id:%s\n", w.devID);
        ClearPortFromVec(L);
        --m_connectedAgents;
    }
}
