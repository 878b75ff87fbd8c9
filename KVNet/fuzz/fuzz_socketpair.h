// Feeds fuzz input to the client's receive paths through a real socket pair.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "msg_channel.h"

// A wrapper whose peer has written `data` (as a stream, or as one datagram) and closed.
// The writer runs on a thread so inputs larger than the socket buffer cannot block.
class FedWrapper {
public:
    FedWrapper(const uint8_t* data, size_t size, bool stream)
    {
        int sv[2];
        if (socketpair(AF_UNIX, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0, sv) != 0)
            return;
        // Never block a fuzz run: a receive with nothing left fails after a moment.
        timeval tv{1, 0};
        setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        w_.set_fd(sv[0]);
        w_.set_tcp(stream);
        if (stream) {
            writer_ = std::thread([fd = sv[1], data, size] {
                size_t off = 0;
                while (off < size) {
                    ssize_t n = send(fd, data + off, size - off, MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    off += static_cast<size_t>(n);
                }
                shutdown(fd, SHUT_WR);
            });
            peer_ = sv[1];
        } else {
            (void)!send(sv[1], data, size, MSG_NOSIGNAL);
            close(sv[1]);
        }
    }
    ~FedWrapper()
    {
        w_.Close(); // unblocks a writer stuck on a full buffer
        if (writer_.joinable())
            writer_.join();
        if (peer_ >= 0)
            close(peer_);
    }
    KVMsgChannel& get() { return w_; }

private:
    KVMsgChannel w_;
    std::thread writer_;
    int peer_ = -1;
};
