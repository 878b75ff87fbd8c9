// The client's blocking socket: one TCP or UDP socket with its resolved peer. Every
// operation is one system call (or one loop of them), logs a failure in one fixed form
// ("sock=%d, %s err = %d") and returns a boolean.
#pragma once
#include <atomic>
#include <cstdint>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/uio.h>

class SyncSocket {
public:
    // Largest single receive: the biggest message body the client accepts.
    static constexpr uint32_t kMaxRecv = 0x1000000;

    SyncSocket();
    virtual ~SyncSocket();
    SyncSocket(const SyncSocket&) = delete;
    SyncSocket& operator=(const SyncSocket&) = delete;

    bool Socket(const char* host, uint16_t port, bool tcp);
    // Adopts an address list already resolved (FindAddrInterruptible) and makes the socket.
    bool Socket(addrinfo* resolved, bool tcp);
    bool FindAddr(addrinfo** list, const char* host, uint16_t port, bool tcp);
    // As FindAddr, but a host name is looked up on a helper thread while the caller waits
    // on wakeFd as well: a resolver that never answers cannot hold up a stop. Numeric
    // addresses are converted at once. False when woken (the helper frees its late result).
    static bool FindAddrInterruptible(addrinfo** list, const char* host, uint16_t port, bool tcp, int wakeFd);
    bool Bind(const char* host, uint16_t port);
    static uint16_t GetFreePort();
    bool SetSockOpt(int option, const int* value, int level = SOL_SOCKET);
    bool GetSockopt(int option, int* value, int level = SOL_SOCKET);
    bool SetNonBlock(bool on);
    bool Connect_();
    // Waits with poll (descriptors above 1024 are normal here) at most timeoutMs.
    bool Select(bool forWrite, int timeoutMs, int* timedOut = nullptr);
    bool Connect(int timeoutMs);
    bool Send(const void* data, size_t len);
    bool SendTo(const void* data, size_t len);
    // Send (TCP) or SendTo (UDP) of several buffers as one system call, without copying.
    bool SendV(const struct iovec* iov, int count);
    bool Recv(void* buf, size_t n);
    bool RecvFrom(void* buf, int* size, sockaddr* from = nullptr, socklen_t* fromLen = nullptr);
    bool RecvSome(void* buf, size_t room, int wanted);
    bool RecvUntil(void* buf, size_t room, const char* terminator, size_t* received = nullptr);
    // Safe from another thread: breaks a blocking transfer, keeps the descriptor open.
    int Shutdown();
    int Close();

    // Deadlines on the monotonic clock (ms, MonoMs()) that every TCP receive, and every
    // TCP send, honours besides the socket's own time-outs, which restart with every
    // byte: a peer dripping bytes cannot stretch a transfer past them. 0 removes one.
    // The receive deadline belongs to the receiving thread, the send one to the sender.
    void SetRecvDeadline(uint64_t monoMs) { recvDeadline_ = monoMs; }
    void SetSendDeadline(uint64_t monoMs) { sendDeadline_ = monoMs; }
    static uint64_t MonoMs();

    int fd() const { return fd_.load(); }
    // Adopts a descriptor made elsewhere (socketpair in tests and fuzzers, accept).
    void set_fd(int fd) { fd_.store(fd); }
    void set_tcp(bool tcp) { tcp_ = tcp; }
    const addrinfo* peer() const { return peer_; }
    bool is_tcp() const { return tcp_; }
    bool first_send() const { return firstSend_; }
    bool first_recv() const { return firstRecv_; }

protected:
    // Waits until the descriptor is ready for events or the deadline has passed (false,
    // logged as op with ETIMEDOUT). True at once without a deadline.
    bool WaitDeadline(short events, uint64_t deadline, const char* op);
    // Sends all of iov (modified) within the deadline.
    bool SendAllV(iovec* iov, int count, const char* op);

    std::atomic<int> fd_;
    uint64_t recvDeadline_ = 0;
    uint64_t sendDeadline_ = 0;
    addrinfo* peer_;
    bool tcp_;
    bool firstSend_;
    bool firstRecv_;
};
