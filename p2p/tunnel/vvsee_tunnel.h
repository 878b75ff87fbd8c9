// The VERov tunnel (login types 5, 7, 12 to 21): a device ID becomes a local port through
// the VERov port-forwarding library. Login types 20 and 5 use its second instance, the
// others its first (with servers configured, 5 and 7 trade places).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "p2p_tunnel.h"

struct _T2U_NET_STAT;

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
    // Requests in the map (tests).
    size_t Running();
    // Local port of a request, 0 while unmapped or unknown (tests).
    uint16_t LocalPortOf(long handle);

    // The waits of a request: readiness and port-status polls (default 200 ms each). Tests.
    static void SetStepMs(int ms);
    // 1 or 2: the instance a login type uses.
    int InstanceOf(uint8_t loginType) const;

    // Instance calls chosen by login type.
    int VERovStatus(uint8_t loginType);
    int VERovQuery(const char* id, uint8_t loginType);
    int VERovQueryEx(const char* id, char* info, int infoSize, char* addr, int addrSize, uint8_t loginType);
    int VERovAddPort(const char* id, uint16_t remotePort, uint16_t localPort, uint8_t loginType);
    int VERovDelPort(uint16_t localPort, uint8_t loginType);
    int VERovPortStatus(uint16_t localPort, _T2U_NET_STAT* stat, uint8_t loginType);

    // The built-in servers, used when none are configured.
    static const char* const kHostA;
    static const char* const kHostB;

private:
    struct SessionMap {
        uint16_t localPort;
        uint8_t loginType;
        char devID[64];
    };
    struct Work {
        char devID[64];
        uint16_t devPort;
        uint8_t loginType;
        void* user;
        P2PTunnelCallback callback;
        uint64_t handBack;
        long handle;
    };
    static void* WorkerFun(void* arg);
    static void* StopFun(void* arg);
    void GetPortFromIDVVSee(const Work& w);
    void StopConnectAndMapVERov(const SessionMap& rec);
    int StartMappingPort(const char* id, uint16_t remotePort, uint16_t* local, uint8_t loginType, long handle,
                         _T2U_NET_STAT* stat);
    bool HandleAlive(long handle);
    void TaskEnded();

    std::atomic<bool> m_started{false};
    int m_loginType;
    std::atomic<long> m_next{0};
    std::atomic<long> m_connectedAgents{0};
    uint8_t m_serverConfigured = 0;
    std::mutex m_mapMutex;
    std::map<long, SessionMap> m_map;
    std::mutex m_taskMutex;
    std::condition_variable m_taskCv;
    unsigned m_tasks = 0;
};
