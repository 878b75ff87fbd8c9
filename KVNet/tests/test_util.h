// Shared helpers of the client's tests: the Python device simulator as a child process,
// loopback listeners, and small waits.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kvtest {

// The project's device simulator (tests/sim/kvsim.py) run as a child process. The child
// exits when its stdin closes, so a crashed test leaves nothing behind.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator with extra arguments (scenarios etc.); false when it did not
    // report ready within the time-out. `prefix` runs it through another command first
    // (for instance `ip netns exec NAME`).
    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {});
    // The same for the path-worsening relay (tests/netns/relay.py); its ports are the first
    // TCP and UDP ports of its READY line.
    bool StartRelay(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {});
    void Stop();

    uint16_t tcp_port() const { return tcpPort_; }
    uint16_t udp_port() const { return udpPort_; }
    const std::string& log_path() const { return logPath_; }
    // Every JSON line the simulator logged so far.
    std::vector<std::string> LogLines() const;

private:
    bool Launch(const std::vector<std::string>& argv);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    uint16_t tcpPort_ = 0;
    uint16_t udpPort_ = 0;
    std::string logPath_;
};

// A temporary file path unique to this process and call.
std::string TempPath(const std::string& stem);
std::string ReadFile(const std::string& path);

// Polls pred every millisecond until it holds or the time-out passes.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        struct timespec ts {0, 1000000};
        nanosleep(&ts, nullptr);
    }
    return pred();
}

// Hex text of bytes, lower case.
std::string Hex(const void* data, size_t len);

} // namespace kvtest
