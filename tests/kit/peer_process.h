// The test peers as child processes: the device simulator (tests/sim/kvsim.py), the
// path-worsening relay (tests/netns/relay.py) and any other Python peer. A peer prints
// "READY k=v ..." when it listens and exits when its standard input closes, so a
// crashed test leaves nothing behind.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace kvtest {

class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Runs argv (the first element found on PATH) and waits for its READY line, whose
    // text goes to readyLine; false when it did not come within timeoutMs. Later output
    // lines are collected.
    bool Launch(const std::vector<std::string>& argv, std::string* readyLine = nullptr,
                int timeoutMs = 20000);
    // Closes its standard input, gives it a moment to leave, then ends it and waits.
    void Stop();
    std::vector<std::string> Lines();             // output lines after READY
    bool WaitForLines(size_t n, int timeoutMs);   // at least n lines collected
    pid_t pid() const { return pid_; }

private:
    void Reader();
    pid_t pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// The value of key=... in a READY line ("tcp=5000,5001" gives 5000); 0 when absent.
uint16_t ReadyPort(const std::string& readyLine, const char* key);

// The device simulator with its received-message log in a folder of its own.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator with extra arguments (scenarios etc.); `prefix` runs it
    // through another command first (for instance `ip netns exec NAME`).
    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {});
    // The relay instead; its ports are the first TCP and UDP ports of its READY line.
    bool StartRelay(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {});
    void Stop() { peer_.Stop(); }

    uint16_t tcp_port() const { return tcpPort_; }
    uint16_t udp_port() const { return udpPort_; }
    const std::string& log_path() const { return logPath_; }
    // Every JSON line the simulator logged so far.
    std::vector<std::string> LogLines() const;

private:
    bool Run(const std::vector<std::string>& argv);

    PeerProcess peer_;
    TempDir dir_{"sim"};
    uint16_t tcpPort_ = 0;
    uint16_t udpPort_ = 0;
    unsigned starts_ = 0;
    std::string logPath_;
};

// A temporary file path unique to this process and call, inside a folder of this
// process (mkdtemp) that goes at its exit.
std::string TempPath(const std::string& stem);

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
