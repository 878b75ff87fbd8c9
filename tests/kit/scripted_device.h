// A loopback device that answers each connection with bytes fixed in advance (a fuzz
// input, a recorded exchange) while it reads and drops whatever the client sends, so a
// client that writes a lot before it reads can never block it.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "loopback_listener.h"

namespace kvtest {

class ScriptedDevice {
public:
    struct Answer {
        std::string bytes;
        // Wait for the client's first 16-byte message head and copy its Seq (offset 12)
        // into the head at the start of bytes, as a device answering that request would.
        bool seqFromRequest = false;
        // Close the sending side once bytes are out (the client then reads the end);
        // otherwise keep the connection open until the client closes it or Stop.
        bool closeAfter = true;
    };

    ScriptedDevice();
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    bool ok() const { return listener_.ok(); }
    uint16_t port() const { return listener_.port(); }
    // Serves the connections that arrive from now on: the n-th gets answers[n]; any
    // further one is closed at once. Connections queued before Start are dropped.
    void Start(std::vector<Answer> answers);
    // True once the connection of every answer that closes after it came and was closed
    // by the client, within timeoutMs.
    bool WaitServed(int timeoutMs);
    // Closes every connection and ends the serving thread.
    void Stop();

private:
    void Run();

    LoopbackListener listener_;
    std::vector<Answer> answers_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    std::mutex mu_;
    std::condition_variable cv_;
    size_t closed_ = 0;
};

} // namespace kvtest
