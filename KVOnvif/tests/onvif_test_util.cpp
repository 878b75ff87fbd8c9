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

bool PeerProcess::Start(const std::string& script, const std::vector<std::string>& args,
                        std::string* ready_line, int timeout_ms) {
    std::vector<std::string> argv = {KV_PYTHON, "-u", std::string(KVONVIF_PEERS_DIR) + "/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    return Launch(argv, ready_line, timeout_ms);
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
