// The request bookkeeping of a tunnel: handles from an atomic counter (first 1, never
// reused), the map of running requests under the map mutex, the worker and teardown
// tasks on the client's task pool, and the wait for them at destruction, so that no task
// runs into a freed tunnel at process exit.
//
// The worker here is the one of a tunnel whose P2P library is not (yet) available: it
// fails the request, answering port 0.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "kv_lock.h"
#include "p2p_tunnel.h"

class TunnelRequestTable {
public:
    // tag names the tunnel in log lines ("vv", "orvan").
    explicit TunnelRequestTable(const char* tag);
    // Drops every request (no callback after this) and waits for the running tasks.
    ~TunnelRequestTable();
    TunnelRequestTable(const TunnelRequestTable&) = delete;
    TunnelRequestTable& operator=(const TunnelRequestTable&) = delete;

    // The handle, 0 when the request is null or the task pool refuses the worker.
    long Start(const void* request);
    // 1, also for an unknown handle; 0 when the pool refuses the teardown.
    long Stop(long handle);
    size_t Running();

private:
    struct Task {
        TunnelRequestTable* table;
        long handle;
        std::string id;
    };
    static void* Worker(void* arg);
    static void* Teardown(void* arg);
    void TaskEnded();

    const char* m_tag;
    std::atomic<long> m_next{0};
    Mutex m_mapMutex;
    std::map<long, _P2P_REQUEST_INFO_> m_map;
    std::mutex m_taskMutex;
    std::condition_variable m_taskCv;
    unsigned m_tasks = 0;
};
