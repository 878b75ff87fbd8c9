// The one loopback listener of the tests, benchmarks and fuzz targets: TCP (or UDP) on
// 127.0.0.1 at a port the kernel picks, so parallel runs never meet.
#pragma once
#include <cstdint>
#include <sys/socket.h>
#include <vector>

namespace kvtest {

class LoopbackListener {
public:
    // type SOCK_STREAM listens with the given backlog; SOCK_DGRAM only binds.
    explicit LoopbackListener(int backlog = 16, int type = SOCK_STREAM);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return fd_ >= 0 && port_ != 0; }
    int fd() const { return fd_; }
    uint16_t port() const { return port_; }
    // One connection within timeoutMs (negative: wait for ever); -1 when none came.
    int Accept(int timeoutMs = -1) const;
    // Accepts and closes whatever waits in the queue now; returns how many.
    int DropPending() const;
    // Fills the accept queue with connections nobody accepts, so that a further connect
    // stays pending as towards a host that drops packets. False when it could not.
    bool FillBacklog();
    // Wakes a blocked Accept (it returns -1); the listener stays open until Close.
    void Shutdown();
    // Shuts the listener down and closes it.
    void Close();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> fillers_;
};

// A TCP connection to 127.0.0.1:port (blocking, close-on-exec); -1 on failure.
int ConnectLoopback(uint16_t port);

} // namespace kvtest
