/* Feeds fuzz input to the device service requests as the HTTP reply: the request
 * context's connect, send and receive are replaced, so the generated parsers and the
 * client's conversion run exactly as on a real reply. */
#ifndef KVONVIF_FUZZ_SUPPORT_H
#define KVONVIF_FUZZ_SUPPORT_H

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kvonvif_device.h"
#include "kvonvif_soap.h"

namespace fuzzsupport {

// Replies served to the requests in order; the last one repeats.
inline std::vector<std::string>& replies() {
    static std::vector<std::string> r;
    return r;
}
inline size_t& next_reply() {
    static size_t n = 0;
    return n;
}

struct conn {
    kvonvif::mem_source src;
    int fds[2];
};

inline SOAP_SOCKET fake_open(struct soap* soap, const char*, const char*, int) {
    conn* c = new conn;
    const std::string& r = replies()[next_reply() < replies().size() ? next_reply() : replies().size() - 1];
    ++next_reply();
    c->src = {r.data(), r.size()};
    // A real but idle socket, so that nothing outside our hooks touches a foreign fd.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c->fds) != 0) {
        delete c;
        soap->error = SOAP_TCP_ERROR;
        return SOAP_INVALID_SOCKET;
    }
    soap->user = c;
    return c->fds[0];
}

inline int fake_send(struct soap*, const char*, size_t) { return SOAP_OK; }

inline size_t fake_recv(struct soap* soap, char* buf, size_t len) {
    conn* c = static_cast<conn*>(soap->user);
    if (!c) return 0;
    size_t n = len < c->src.left ? len : c->src.left;
    memcpy(buf, c->src.data, n);
    c->src.data += n;
    c->src.left -= n;
    return n;
}

inline int fake_close(struct soap* soap) {
    conn* c = static_cast<conn*>(soap->user);
    if (c) {
        close(c->fds[0]);
        close(c->fds[1]);
        delete c;
        soap->user = nullptr;
    }
    return SOAP_OK;
}

inline void hook(struct soap* soap) {
    soap->fopen = fake_open;
    soap->fsend = fake_send;
    soap->frecv = fake_recv;
    soap->fclose = fake_close;
}

inline void install() {
    // The steps print a line each; the fuzzer does not need them.
    if (!freopen("/dev/null", "w", stdout)) {}
    kvonvif::set_request_hook(hook);
}

inline void serve(std::vector<std::string> r) {
    replies() = std::move(r);
    next_reply() = 0;
}

inline std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// The network parameters of a device at 127.0.0.1:80, whose requests get the replies
// served.
struct net_target {
    kvonvif::kvonvif_device dev;
    kvonvif::kvonvif_params_net net{(dev.addr = "127.0.0.1", dev.port = 80, dev)};
};

// A block with only its size set.
inline KVNet_NetworkBaseSet_t empty_block() {
    KVNet_NetworkBaseSet_t b;
    memset(&b, 0, sizeof b);
    b.StructSize = sizeof b;
    return b;
}

} // namespace fuzzsupport

// Every target of the device service installs the hooks first.
#define KVONVIF_FUZZ_DEVICE_SERVICE()                              \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {           \
        fuzzsupport::install();                                    \
        return 0;                                                  \
    }

#endif
