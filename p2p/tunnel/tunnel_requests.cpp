#include "tunnel_requests.h"

#include <cstring>

#include "kv_log.h"
#include "task_pool.h"

TunnelRequestTable::TunnelRequestTable(const char* tag) : m_tag(tag) {}

TunnelRequestTable::~TunnelRequestTable()
{
    {
        ScopedLock l(m_mapMutex);
        m_map.clear();
    }
    std::unique_lock<std::mutex> l(m_taskMutex);
    m_taskCv.wait(l, [this] { return m_tasks == 0; });
}

size_t TunnelRequestTable::Running()
{
    ScopedLock l(m_mapMutex);
    return m_map.size();
}

void TunnelRequestTable::TaskEnded()
{
    // The last touch of the table by a task: the destructor may go on once it is done.
    std::lock_guard<std::mutex> l(m_taskMutex);
    if (--m_tasks == 0)
        m_taskCv.notify_all();
}

long TunnelRequestTable::Start(const void* request)
{
    if (!request)
        return 0;
    _P2P_REQUEST_INFO_ info;
    memcpy(&info, request, sizeof info);
    info.szDevID[sizeof info.szDevID - 1] = '\0';
    const long handle = ++m_next;
    {
        ScopedLock l(m_mapMutex);
        m_map[handle] = info;
    }
    auto* task = new Task{this, handle, info.szDevID};
    {
        std::lock_guard<std::mutex> l(m_taskMutex);
        ++m_tasks;
    }
    if (sl_task_add(&TunnelRequestTable::Worker, task) != 0) {
        delete task;
        TaskEnded();
        ScopedLock l(m_mapMutex);
        m_map.erase(handle);
        return 0;
    }
    KV_LOG(gEnableP2PStatus, "%s: app call [StartGetIPAndPort], id:%s\n", m_tag, info.szDevID);
    return handle;
}

long TunnelRequestTable::Stop(long handle)
{
    std::string id;
    bool found = false;
    {
        ScopedLock l(m_mapMutex);
        auto it = m_map.find(handle);
        if (it != m_map.end()) {
            id = it->second.szDevID;
            m_map.erase(it);
            found = true;
        }
    }
    if (found) {
        // Nothing was mapped for a request of a library that did not start; the
        // teardown task keeps the order of a real tunnel's stop all the same.
        auto* task = new Task{this, handle, id};
        {
            std::lock_guard<std::mutex> l(m_taskMutex);
            ++m_tasks;
        }
        if (sl_task_add(&TunnelRequestTable::Teardown, task) != 0) {
            delete task;
            TaskEnded();
            return 0;
        }
    }
    KV_LOG(gEnableP2PStatus, "%s: app call [StopGetIPAndPort], id:%s\n", m_tag, id.c_str());
    return 1;
}

void* TunnelRequestTable::Worker(void* arg)
{
    Task* task = static_cast<Task*>(arg);
    TunnelRequestTable* t = task->table;
    {
        ScopedLock l(t->m_mapMutex);
        auto it = t->m_map.find(task->handle);
        if (it != t->m_map.end()) {
            const _P2P_REQUEST_INFO_ req = it->second;
            t->m_map.erase(it);
            _P2P_INFO_ info{req.pUser, 0, req.handBack, 0};
            KV_LOG(gEnableP2PStatus, "%s: library not started, id:%s\n", t->m_tag, req.szDevID);
            if (req.callback)
                req.callback(0, &info);
        }
    }
    delete task;
    t->TaskEnded();
    return nullptr;
}

void* TunnelRequestTable::Teardown(void* arg)
{
    Task* task = static_cast<Task*>(arg);
    TunnelRequestTable* t = task->table;
    delete task;
    t->TaskEnded();
    return nullptr;
}
