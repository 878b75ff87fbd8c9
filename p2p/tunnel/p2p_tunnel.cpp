#include "p2p_tunnel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>

#include "sync_socket.h"

namespace {

constexpr int kDefaultMediaQueryMs = 5000;
std::atomic<int> gMediaQueryMs{kDefaultMediaQueryMs};
std::atomic<uint16_t (*)()> gPortDraw{nullptr};

// Two draws of the generator as a non-negative sum.
uint64_t TwoDraws()
{
    const uint64_t r1 = static_cast<uint64_t>(rand());
    const uint64_t r2 = static_cast<uint64_t>(rand());
    return r1 + r2;
}

} // namespace

uint16_t kv_p2p_media_port_from_reply(const uint8_t* reply, size_t len)
{
    if (!reply || len < kvp2p::kMediaReplySize || reply[0] != 1)
        return 0;
    return static_cast<uint16_t>(reply[8] | (reply[9] << 8));
}

CP2PTunnel::CP2PTunnel()
{
    timeval tv;
    unsigned seed = 0;
    if (gettimeofday(&tv, nullptr) == 0)
        seed = static_cast<unsigned>(static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u);
    srand(seed);
}

CP2PTunnel::~CP2PTunnel() = default;

uint16_t CP2PTunnel::GetRandPort(int low, int high)
{
    if (high < low)
        std::swap(low, high);
    const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(high) - low + 1);
    return static_cast<uint16_t>(static_cast<int64_t>(low) + static_cast<int64_t>(TwoDraws() % span));
}

uint16_t CP2PTunnel::GetAvailablePort()
{
    ScopedLock l(m_portMutex);
    for (;;) {
        uint16_t (*draw)() = gPortDraw.load();
        const uint16_t p = draw ? draw() : static_cast<uint16_t>(10000 + TwoDraws() % 50001);
        if (p == kvp2p::kMediaQueryPort || std::find(m_ports.begin(), m_ports.end(), p) != m_ports.end())
            continue;
        m_ports.push_back(p);
        return p;
    }
}

void CP2PTunnel::ClearPortFromVec(uint16_t port)
{
    if (port == 0)
        return;
    ScopedLock l(m_portMutex);
    auto it = std::find(m_ports.begin(), m_ports.end(), port);
    if (it != m_ports.end())
        m_ports.erase(it);
}

std::vector<uint16_t> CP2PTunnel::PortsInUse()
{
    ScopedLock l(m_portMutex);
    return m_ports;
}

void CP2PTunnel::SetPortDrawForTest(uint16_t (*draw)())
{
    gPortDraw = draw;
}

void CP2PTunnel::SetMediaQueryTimeoutMs(int ms)
{
    gMediaQueryMs = ms > 0 ? ms : kDefaultMediaQueryMs;
}

uint16_t CP2PTunnel::GetMediaPortFromDevice(uint16_t localPort)
{
    const int ms = gMediaQueryMs.load();
    SyncSocket s; // closed (shut down first) by its destructor on every path
    if (!s.Socket("127.0.0.1", localPort, true))
        return 0;
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    if (setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return 0;
    if (!s.Connect(ms))
        return 0;
    uint8_t req[kvp2p::kMediaRequestSize] = {1};
    if (!s.Send(req, sizeof req))
        return 0;
    uint8_t reply[kvp2p::kMediaReplySize];
    if (!s.Recv(reply, sizeof reply))
        return 0;
    s.Shutdown();
    return kv_p2p_media_port_from_reply(reply, sizeof reply);
}
