// The VERov tunnel (login types 5, 7, 12 to 21). Until its library is linked in, the
// library counts as not started: every request is accepted and fails in its worker
// (callback with port 0).
#pragma once
#include <atomic>
#include <cstdint>

#include "p2p_tunnel.h"
#include "tunnel_requests.h"

class CVVSeeP2PTunnel final : public CP2PTunnel {
public:
    CVVSeeP2PTunnel() : CVVSeeP2PTunnel(5) {}
    explicit CVVSeeP2PTunnel(int loginType);
    ~CVVSeeP2PTunnel() override;

    long InitP2PTunnel() override;
    long UnInitP2PTunnel() override;
    long StartGetIPAndPort(void* request) override;
    long StopGetIPAndPort(long handle) override;
    long BackgroundDestroy() override;

    int LoginType() const { return m_loginType; }
    bool Started() const { return m_started.load(); }

private:
    std::atomic<bool> m_started{false};
    int m_loginType;
    std::atomic<long> m_connectedAgents{0};
    uint8_t m_serverConfigured = 0;
    // Last member: destroyed first, so its tasks end before anything else goes.
    TunnelRequestTable m_requests{"vv"};
};
