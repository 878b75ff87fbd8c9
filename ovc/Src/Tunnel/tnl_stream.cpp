#include "Tunnel/tnl_stream.h"

#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace tnl {

static int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int ReadFull(TnlStream& s, void* p, size_t n, const std::atomic<bool>& stop, int stepMs) {
  size_t got = 0;
  while (got < n) {
    if (stop.load()) return -1;
    int k = s.Read((uint8_t*)p + got, n - got, stepMs);
    if (k < 0) return k;
    got += (size_t)k;
  }
  return 0;
}

int ReadFullWithin(TnlStream& s, void* p, size_t n, int timeoutMs,
                   const std::atomic<bool>* cancel) {
  const int64_t deadline = now_ms() + timeoutMs;
  size_t got = 0;
  while (got < n) {
    int64_t left = deadline - now_ms();
    if (left <= 0) return -2;
    if (cancel && cancel->load()) return -1;
    int k = s.Read((uint8_t*)p + got, n - got, left > 100 ? 100 : (int)left);
    if (k < 0) return k;
    got += (size_t)k;
  }
  return 0;
}

TcpStream::TcpStream(int fd) : fd_(fd) {}
TcpStream::~TcpStream() {
  if (fd_ >= 0) close(fd_);
}

int TcpStream::Write(const void* p, size_t n) {
  std::lock_guard<std::mutex> g(writeMu_);
  size_t done = 0;
  while (done < n) {
    if (down_.load()) return -1;
    ssize_t k = send(fd_, (const uint8_t*)p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) {
      done += (size_t)k;
      continue;
    }
    if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd pf{fd_, POLLOUT, 0};
      poll(&pf, 1, 100);
      continue;
    }
    return -1;
  }
  return (int)n;
}

int TcpStream::Read(void* p, size_t n, int timeoutMs) {
  if (down_.load()) return -1;
  pollfd pf{fd_, POLLIN, 0};
  int r = poll(&pf, 1, timeoutMs);
  if (r == 0 || (r < 0 && errno == EINTR)) return 0;
  if (r < 0) return -1;
  ssize_t k = recv(fd_, p, n, MSG_DONTWAIT);
  if (k > 0) return (int)k;
  if (k < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;
}

uint64_t TcpStream::SendBacklog() {
  int q = 0;
  return ioctl(fd_, SIOCOUTQ, &q) == 0 && q > 0 ? (uint64_t)q : 0;
}

uint64_t TcpStream::Unread() {
  int q = 0;
  return ioctl(fd_, FIONREAD, &q) == 0 && q > 0 ? (uint64_t)q : 0;
}

void TcpStream::Shutdown() {
  down_.store(true);
  shutdown(fd_, SHUT_RDWR);
}

}  // namespace tnl
