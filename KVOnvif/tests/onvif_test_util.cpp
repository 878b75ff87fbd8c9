#include "onvif_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace kvonviftest {

namespace {

std::string HostNetnsIno() {
    struct stat st;
    if (stat("/proc/self/ns/net", &st) != 0) return "";
    return std::to_string((unsigned long long)st.st_ino);
}

} // namespace

// Taken once, in the namespace the test process started in.
const std::string& StartNetns() {
    static const std::string ino = HostNetnsIno();
    return ino;
}

bool PeerProcess::Start(const std::string& script, const std::vector<std::string>& args,
                        std::string* ready_line, int timeout_ms) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]); close(in[1]);
        return false;
    }
    std::string path = std::string(KVONVIF_PEERS_DIR) + "/" + script;
    std::vector<std::string> argv_s = {KV_PYTHON, "-u", path};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    // Everything the child needs is built before the fork: it only duplicates and execs.
    std::string env_ino = "KV_HOST_NETNS_INO=" + StartNetns();
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "KV_HOST_NETNS_INO=", 18) != 0) envp.push_back(*e);
    envp.push_back(const_cast<char*>(env_ino.c_str()));
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    if (pid_ < 0) {
        close(in_fd_); close(out_fd_);
        in_fd_ = out_fd_ = -1;
        return false;
    }
    // Read the READY line here, the rest on the reader thread.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) { Stop(); return false; }
        struct pollfd p = {out_fd_, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) continue;
        char c;
        if (read(out_fd_, &c, 1) != 1) { Stop(); return false; }
        if (c != '\n') { line += c; continue; }
        if (line.rfind("READY", 0) == 0) break;
        line.clear();
    }
    if (ready_line) *ready_line = line;
    reader_ = std::thread(&PeerProcess::Reader, this);
    return true;
}

void PeerProcess::Reader() {
    std::string line;
    char buf[4096];
    for (;;) {
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') { line += buf[i]; continue; }
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(line);
            line.clear();
            cv_.notify_all();
        }
    }
}

void PeerProcess::Stop() {
    if (pid_ <= 0) return;
    if (in_fd_ >= 0) { close(in_fd_); in_fd_ = -1; }
    // Give the peer a moment to leave by itself, then end it.
    for (int i = 0; i < 20; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) { pid_ = -1; break; }
        usleep(10000);
    }
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (out_fd_ >= 0) { close(out_fd_); out_fd_ = -1; }
}

std::vector<std::string> PeerProcess::Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

bool PeerProcess::WaitForLines(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return lines_.size() >= n; });
}

bool RunInPrivateNetns(const std::function<void()>& fn, std::string* why) {
    StartNetns();
    bool ok = false;
    std::string err;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            err = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
            return;
        }
        // Only loopback exists here; documentation addresses and multicast stay on it.
        int rc = system("ip link set lo up && ip addr add 198.51.100.1/24 dev lo && "
                        "ip route add 224.0.0.0/4 dev lo src 198.51.100.1");
        if (rc != 0) {
            err = "namespace set-up failed";
            return;
        }
        ok = true;
        fn();
    });
    t.join();
    if (why) *why = err;
    return ok;
}

bool HttpPostJson(int port, const std::string& path, const std::string& json, std::string* reply) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) { close(fd); return false; }
    std::string req = "POST " + path + " HTTP/1.0\r\nContent-Type: application/json\r\n"
                      "Content-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json;
    size_t off = 0;
    while (off < req.size()) {
        ssize_t n = send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
        if (n <= 0) { close(fd); return false; }
        off += (size_t)n;
    }
    std::string resp;
    char buf[8192];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        resp.append(buf, (size_t)n);
    }
    close(fd);
    size_t body = resp.find("\r\n\r\n");
    if (resp.compare(0, 12, "HTTP/1.0 200") != 0 && resp.compare(0, 12, "HTTP/1.1 200") != 0)
        return false;
    if (reply) *reply = body == std::string::npos ? "" : resp.substr(body + 4);
    return true;
}

} // namespace kvonviftest
