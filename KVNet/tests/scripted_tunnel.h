// A tunnel whose answers a test scripts, installed for a login type through the tunnel
// seam. It keeps the tunnel contract: handles from 1, a map of running requests under a
// mutex, the callback at most once, on a thread of its own, while the handle is still in
// the map; a stop takes the handle out.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "p2p_tunnel.h"
#include "tunnel_select.h"

namespace kvtunneltest {

struct Script {
    enum Mode { kAnswer, kNever, kRefuse } mode = kAnswer;
    int delayMs = 0;
    uint16_t port = 0;
    uint8_t path = 0;
};

class ScriptedTunnel final : public CP2PTunnel {
public:
    explicit ScriptedTunnel(Script s) : script_(s) {}
    ~ScriptedTunnel() override
    {
        {
            std::lock_guard<std::mutex> l(mu_);
            map_.clear();
            quit_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : workers_)
            t.join();
    }

    long InitP2PTunnel() override { return 1; }
    long UnInitP2PTunnel() override { return 1; }
    long BackgroundDestroy() override { return 1; }

    long StartGetIPAndPort(void* request) override
    {
        _P2P_REQUEST_INFO_ req;
        memcpy(&req, request, sizeof req);
        std::lock_guard<std::mutex> l(mu_);
        requests_.push_back(req);
        if (script_.mode == Script::kRefuse)
            return 0;
        const long h = ++next_;
        map_[h] = req;
        if (script_.mode == Script::kAnswer)
            workers_.emplace_back(&ScriptedTunnel::Worker, this, h);
        return h;
    }

    long StopGetIPAndPort(long handle) override
    {
        std::lock_guard<std::mutex> l(mu_);
        stopCalls_.push_back(handle);
        map_.erase(handle);
        cv_.notify_all();
        return 1;
    }

    std::vector<_P2P_REQUEST_INFO_> Requests()
    {
        std::lock_guard<std::mutex> l(mu_);
        return requests_;
    }
    std::vector<long> StopCalls()
    {
        std::lock_guard<std::mutex> l(mu_);
        return stopCalls_;
    }
    unsigned Callbacks() { return callbacks_.load(); }
    size_t Running()
    {
        std::lock_guard<std::mutex> l(mu_);
        return map_.size();
    }

private:
    void Worker(long h)
    {
        std::unique_lock<std::mutex> l(mu_);
        // Sleeps out the delay unless the request is stopped (or the tunnel goes).
        cv_.wait_for(l, std::chrono::milliseconds(script_.delayMs),
                     [&] { return quit_ || map_.find(h) == map_.end(); });
        auto it = map_.find(h);
        if (it == map_.end())
            return;
        const _P2P_REQUEST_INFO_ req = it->second;
        if (script_.port == 0)
            map_.erase(it);
        _P2P_INFO_ info{req.pUser, script_.path, req.handBack, 0};
        ++callbacks_;
        // Under the map mutex, as a real tunnel calls it.
        req.callback(script_.port, &info);
    }

    Script script_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool quit_ = false;
    long next_ = 0;
    std::map<long, _P2P_REQUEST_INFO_> map_;
    std::vector<_P2P_REQUEST_INFO_> requests_;
    std::vector<long> stopCalls_;
    std::vector<std::thread> workers_;
    std::atomic<unsigned> callbacks_{0};
};

// Installs a tunnel for a login type for the scope's life.
struct TunnelScope {
    TunnelScope(int type, CP2PTunnel* t) : type_(type) { kv_p2p_set_test_tunnel(type, t); }
    ~TunnelScope() { kv_p2p_set_test_tunnel(type_, nullptr); }
    int type_;
};

} // namespace kvtunneltest
