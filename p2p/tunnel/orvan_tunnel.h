// The Orvan tunnel (login types 2 and 22): each request reserves an OVC session, connects it to
// the device's UID through the P2PTunnel agent with a fixed authentication block, maps a fresh
// local port to the device port (or to the media port the device names) and hands it back
// with the session's path.
#pragma once
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "p2p_tunnel.h"

// What starts the P2PTunnel agent (P2PTunnelAgentInitialize unless replaced). Test programs
// outside a private network namespace replace it with one that fails, because the agent's
// session connects search the local networks by broadcast.
using OrvanAgentStart = int (*)(int maxSessions);
void kv_orvan_set_agent_start(OrvanAgentStart start);

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
    long ConnectedAgents() const { return m_connectedAgents.load(); }
    size_t Running();
    // Workers and teardowns queued or running.
    unsigned TasksRunning();

private:
    struct AuthBlock {
        char user[64];
        char key[64];
    };
    struct SessionMap {
        int freeSid = -1;
        int connectedSid = -1;
        int mapIndex = -1;
        uint16_t localPort = 0;
        std::string id;
    };
    struct StartInfo {
        std::string id;
        uint16_t devPort;
        void* user;
        P2PTunnelCallback callback;
        uint64_t handBack;
        COrvanP2PTunnel* tunnel;
        long handle;
    };
    struct StopInfo {
        SessionMap rec;
        COrvanP2PTunnel* tunnel;
    };
    static void* GetPortFromIDOrvanFun(void* block);
    static void* StopConnectAndMapOrvanFun(void* block);
    void GetPortFromIDOrvan(const StartInfo& in);
    // Maps a freshly drawn local port to devicePort; a port that cannot be bound is given
    // back and another drawn. The mapping index or the last failure; *local 0 on failure.
    static constexpr int kPortDraws = 50;
    int MapFreshPort(int sid, uint16_t devicePort, uint16_t* local, const char* id);
    void StopConnectAndMapOrvan(const SessionMap& rec);
    void TaskEnded();

    std::atomic<bool> m_started{false};
    std::atomic<long> m_connectedAgents{0};
    std::atomic<long> m_next{0};
    AuthBlock m_auth;
    std::mutex m_mapMutex;
    std::map<long, SessionMap> m_map;
    std::mutex m_taskMutex;
    std::condition_variable m_taskCv;
    unsigned m_tasks = 0;
};
