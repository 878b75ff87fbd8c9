#include "test_util.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace kvtest {

std::string TempPath(const std::string& stem)
{
    static std::atomic<int> n{0};
    const char* dir = getenv("TMPDIR");
    char buf[512];
    snprintf(buf, sizeof buf, "%s/kvtest-%d-%d-%s", dir ? dir : "/tmp", getpid(), n.fetch_add(1), stem.c_str());
    return buf;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
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

SimProcess::~SimProcess()
{
    Stop();
    if (!logPath_.empty())
        unlink(logPath_.c_str());
}

bool SimProcess::Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix)
{
    logPath_ = TempPath("sim.log");
    std::vector<std::string> argv = prefix;
    argv.push_back(KV_PYTHON);
    argv.push_back(std::string(KV_SOURCE_DIR) + "/tests/sim/kvsim.py");
    argv.push_back("--log");
    argv.push_back(logPath_);
    argv.insert(argv.end(), args.begin(), args.end());
    return Launch(argv);
}

bool SimProcess::StartRelay(const std::vector<std::string>& args, const std::vector<std::string>& prefix)
{
    std::vector<std::string> argv = prefix;
    argv.push_back(KV_PYTHON);
    argv.push_back(std::string(KV_SOURCE_DIR) + "/tests/netns/relay.py");
    argv.insert(argv.end(), args.begin(), args.end());
    return Launch(argv);
}

bool SimProcess::Launch(const std::vector<std::string>& argv)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    if (pid_ < 0) {
        close(out[0]);
        return false;
    }
    // Wait for "READY tcp=<port> udp=<port>".
    std::string line;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < end) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char c;
        ssize_t n = read(out[0], &c, 1);
        if (n <= 0)
            break;
        if (c != '\n') {
            line += c;
            continue;
        }
        // "READY tcp=<port>[,...] udp=<port>[,...]", fields in any order.
        if (line.rfind("READY", 0) == 0) {
            auto port_of = [&](const char* key) -> uint16_t {
                auto at = line.find(key);
                return at == std::string::npos ? 0 : static_cast<uint16_t>(atoi(line.c_str() + at + strlen(key)));
            };
            tcpPort_ = port_of("tcp=");
            udpPort_ = port_of("udp=");
            ready = true;
        }
        line.clear();
    }
    close(out[0]);
    if (!ready)
        Stop();
    return ready;
}

void SimProcess::Stop()
{
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int st;
        waitpid(pid_, &st, 0);
        pid_ = -1;
    }
}

std::vector<std::string> SimProcess::LogLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(logPath_));
    std::string l;
    while (std::getline(in, l))
        if (!l.empty())
            lines.push_back(l);
    return lines;
}

} // namespace kvtest
