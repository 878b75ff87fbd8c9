// The tunnel interface between a device session and the P2P tunnels: the request, the
// answer and the callback that pass between them, and CP2PTunnel, the base of every
// tunnel class with what they share (the local ports in use, the draw of a free local
// port, the media-port query through a tunnel to device port 50000).
//
// Contract of every tunnel: StartGetIPAndPort copies the request, returns a handle (the
// first is 1, none repeats, 0 = not started) and answers once on another thread through
// the callback (local port, or 0 for failure) while the handle is still in its map;
// StopGetIPAndPort takes the handle out, after which no callback comes (an unknown handle
// returns 1 and does nothing). The callback runs under the tunnel's map mutex, so it must
// not call back into the tunnel.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kv_lock.h"

struct _P2P_INFO_;
typedef void (*P2PTunnelCallback)(uint16_t localPort, _P2P_INFO_* info);

// The tunnel request; the caller zero-fills it before filling it in.
struct _P2P_REQUEST_INFO_ {
    char szDevID[64];            // NUL-terminated within the 64 characters
    uint16_t nDevPort;           // 0: the device's media port, learnt from the device
    uint8_t nLoginType;
    void* pUser;                 // handed back in _P2P_INFO_
    P2PTunnelCallback callback;
    uint64_t handBack;           // handed back in _P2P_INFO_
    uint64_t reserved;
};

// The answer, on the worker's stack, valid during the callback only.
struct _P2P_INFO_ {
    void* pUser;
    uint8_t nPathFlag;           // 0 direct P2P, 1 relayed, 2 local network
    uint64_t handBack;
    uint64_t zero;
};

namespace kvp2p {
// The device port of the media-port query; never used as a local port.
constexpr uint16_t kMediaQueryPort = 50000;
constexpr size_t kMediaRequestSize = 8;
constexpr size_t kMediaReplySize = 16;
}

// The media port from a media-port reply: the little-endian u16 at offset 8 when the
// reply is complete (16 bytes) and echoes request code 1; 0 otherwise.
uint16_t kv_p2p_media_port_from_reply(const uint8_t* reply, size_t len);

class CP2PTunnel {
public:
    // Seeds the C library's random generator with the wall-clock time in milliseconds.
    CP2PTunnel();
    virtual ~CP2PTunnel();
    CP2PTunnel(const CP2PTunnel&) = delete;
    CP2PTunnel& operator=(const CP2PTunnel&) = delete;

    virtual long InitP2PTunnel() = 0;
    virtual long UnInitP2PTunnel() = 0;
    virtual long StartGetIPAndPort(void* request) = 0;
    virtual long StopGetIPAndPort(long handle) = 0;
    virtual long BackgroundDestroy() = 0;

    // low + ((r1 + r2) mod (high - low + 1)); checks nothing against the list.
    uint16_t GetRandPort(int low, int high);
    // A port of 10000-60000, never 50000 and never one in the list; it joins the list.
    uint16_t GetAvailablePort();
    // Removes the first entry equal to port (0 is ignored); the rest keep their order.
    void ClearPortFromVec(uint16_t port);
    // The device's media port through the tunnel at 127.0.0.1:localPort; 0 on any failure.
    uint16_t GetMediaPortFromDevice(uint16_t localPort);

    // The list of ports in use, in draw order (tests).
    std::vector<uint16_t> PortsInUse();
    // Send, receive and connect limit of the media-port query (default 5000 ms); 0
    // restores the default. Tests only.
    static void SetMediaQueryTimeoutMs(int ms);
    // Replaces the random draw of GetAvailablePort (null restores it). Tests only.
    static void SetPortDrawForTest(uint16_t (*draw)());

protected:
    Mutex m_portMutex;
    std::vector<uint16_t> m_ports;
    uint8_t m_backgroundDestroy = 0;
};
