#include "peer_process.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "sim_log.h"

namespace kvtest {

bool PeerProcess::Launch(const std::vector<std::string>& argv, std::string* readyLine, int timeoutMs)
{
    Stop();
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    // Everything the child needs is built before the fork: it only duplicates and execs.
    std::vector<char*> cargv;
    for (const std::string& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    inFd_ = in[1];
    outFd_ = out[0];
    if (pid_ < 0) {
        Stop();
        return false;
    }
    // The READY line here, the rest on the reader thread.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            Stop();
            return false;
        }
        pollfd p{outFd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char c;
        if (read(outFd_, &c, 1) != 1) {
            Stop();
            return false;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.rfind("READY", 0) == 0)
            break;
        line.clear();
    }
    if (readyLine)
        *readyLine = line;
    reader_ = std::thread(&PeerProcess::Reader, this);
    return true;
}

void PeerProcess::Reader()
{
    std::string line;
    char buf[4096];
    for (;;) {
        ssize_t n = read(outFd_, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                line += buf[i];
                continue;
            }
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(line);
            line.clear();
            cv_.notify_all();
        }
    }
}

void PeerProcess::Stop()
{
    if (inFd_ >= 0) {
        close(inFd_);
        inFd_ = -1;
    }
    if (pid_ > 0) {
        // A moment to leave by itself (end of input), then the end.
        for (int i = 0; i < 20; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            usleep(10000);
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    if (reader_.joinable())
        reader_.join();
    if (outFd_ >= 0) {
        close(outFd_);
        outFd_ = -1;
    }
}

std::vector<std::string> PeerProcess::Lines()
{
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

bool PeerProcess::WaitForLines(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return lines_.size() >= n; });
}

uint16_t ReadyPort(const std::string& line, const char* key)
{
    const std::string k = std::string(" ") + key + "=";
    const auto at = line.find(k);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(atoi(line.c_str() + at + k.size()));
}

bool SimProcess::Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix)
{
    // A fresh log for every start: the simulator appends to what it is given.
    logPath_ = dir_.File("log" + std::to_string(++starts_) + ".jsonl");
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/kvsim.py", "--log", logPath_});
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

bool SimProcess::StartRelay(const std::vector<std::string>& args, const std::vector<std::string>& prefix)
{
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {KV_PYTHON, std::string(KV_TESTS_DIR) + "/netns/relay.py"});
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

bool SimProcess::Run(const std::vector<std::string>& argv)
{
    std::string ready;
    if (!peer_.Launch(argv, &ready))
        return false;
    tcpPort_ = ReadyPort(ready, "tcp");
    udpPort_ = ReadyPort(ready, "udp");
    return true;
}

std::vector<std::string> SimProcess::LogLines() const
{
    return ReadSimLog(logPath_);
}

std::string TempPath(const std::string& stem)
{
    static TempDir* dir = [] {
        static TempDir d("proc");
        return &d;
    }();
    static std::atomic<int> n{0};
    return dir->File(std::to_string(n.fetch_add(1)) + "-" + stem);
}

std::string Hex(const void* data, size_t len)
{
    static const char* d = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string s;
    s.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

} // namespace kvtest
