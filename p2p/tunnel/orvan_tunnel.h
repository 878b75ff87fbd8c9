// The Orvan tunnel (login types 2 and 22). Until its agent is linked in, the agent counts
// as not started: every request is accepted and fails in its worker (callback with port 0).
#pragma once
#include <atomic>

#include "p2p_tunnel.h"
#include "tunnel_requests.h"

class COrvanP2PTunnel final : public CP2PTunnel {
public:
    COrvanP2PTunnel();
    ~COrvanP2PTunnel() override;

    long InitP2PTunnel() override;
    long UnInitP2PTunnel() override;
    long StartGetIPAndPort(void* request) override;
    long StopGetIPAndPort(long handle) override;
    long BackgroundDestroy() override;

    bool Started() const { return m_started.load(); }

private:
    struct AuthBlock {
        char user[64];
        char key[64];
    };
    std::atomic<bool> m_started{false};
    std::atomic<long> m_connectedAgents{0};
    AuthBlock m_auth;
    TunnelRequestTable m_requests{"orvan"};
};
