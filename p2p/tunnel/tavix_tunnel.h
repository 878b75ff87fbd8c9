// The placeholder tunnel (login type 4): refuses every request, so no callback ever comes.
#pragma once
#include <map>

#include "kv_lock.h"
#include "p2p_tunnel.h"

class CTavixP2PTunnel final : public CP2PTunnel {
public:
    CTavixP2PTunnel() = default;
    ~CTavixP2PTunnel() override = default;

    long InitP2PTunnel() override { return 0; }
    long UnInitP2PTunnel() override { return 0; }
    long StartGetIPAndPort(void*) override { return 0; }
    long StopGetIPAndPort(long) override { return 0; }
    long BackgroundDestroy() override { return 0; }

private:
    Mutex m_mutex;
    std::map<long, _P2P_REQUEST_INFO_> m_map; // stays empty
};
