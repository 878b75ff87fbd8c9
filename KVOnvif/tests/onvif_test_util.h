/* Helpers of the ONVIF tests and benchmarks: Python peers as child processes and a
 * private network namespace on a thread of its own. */
#ifndef KVONVIF_TEST_UTIL_H
#define KVONVIF_TEST_UTIL_H

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvonviftest {

/* Inode of the network namespace the process started in (taken at the first call, so
 * call it before leaving that namespace); peers get it as KV_HOST_NETNS_INO. */
const std::string& StartNetns();

/* A Python peer from KVONVIF_PEERS_DIR. Start() waits for its "READY" line (returning
 * the rest of that line); later stdout lines are collected. Stop() closes its stdin,
 * ends it and waits. */
class PeerProcess {
public:
    ~PeerProcess() { Stop(); }
    bool Start(const std::string& script, const std::vector<std::string>& args,
               std::string* ready_line = nullptr, int timeout_ms = 10000);
    void Stop();
    std::vector<std::string> Lines();                 // stdout lines after READY
    bool WaitForLines(size_t n, int timeout_ms);      // at least n lines collected
    pid_t pid() const { return pid_; }

private:
    void Reader();
    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

/* Runs fn on a new thread inside a fresh network namespace with lo up, 198.51.100.1/24
 * on lo and multicast routed to lo; every thread and process that fn starts stays in
 * it. The namespace goes when the thread and everything in it are gone. Returns false
 * (fn not run) when the namespace could not be made. */
bool RunInPrivateNetns(const std::function<void()>& fn, std::string* why = nullptr);

/* The device service peer's control channel: POST JSON to /control, returns the reply. */
bool HttpPostJson(int port, const std::string& path, const std::string& json, std::string* reply);

} // namespace kvonviftest

#endif
