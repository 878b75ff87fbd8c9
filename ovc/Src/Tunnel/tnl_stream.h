// The reliable byte stream a tunnel session's messages ride on (the session's reliable
// channel; a TCP connection in the direct case and in tests). Each Write carries one whole
// message; writers on several threads never interleave their bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

namespace tnl {

class TnlStream {
public:
  virtual ~TnlStream() = default;
  // All n bytes, or a negative code (the stream is then unusable).
  virtual int Write(const void* p, size_t n) = 0;
  // 1..n bytes; 0 when nothing came within timeoutMs; negative at the end or on failure.
  virtual int Read(void* p, size_t n, int timeoutMs) = 0;
  // Bytes written that the peer has not taken yet (back-pressure).
  virtual uint64_t SendBacklog() { return 0; }
  // Bytes received that nobody has read yet.
  virtual uint64_t Unread() { return 0; }
  // Wakes blocked readers and writers; every later call fails.
  virtual void Shutdown() {}
};

// Reads exactly n bytes; a partial read is completed, never taken as a value. 0 when done,
// -1 when stop became set first, else the stream's negative code.
int ReadFull(TnlStream& s, void* p, size_t n, const std::atomic<bool>& stop, int stepMs = 100);
// The same with a deadline (monotonic): -2 when it passes first, -1 when cancel is raised.
int ReadFullWithin(TnlStream& s, void* p, size_t n, int timeoutMs,
                   const std::atomic<bool>* cancel = nullptr);

// A stream over a connected TCP socket (owned).
class TcpStream final : public TnlStream {
public:
  explicit TcpStream(int fd);
  ~TcpStream() override;
  int Write(const void* p, size_t n) override;
  int Read(void* p, size_t n, int timeoutMs) override;
  uint64_t SendBacklog() override;
  uint64_t Unread() override;
  void Shutdown() override;

private:
  int fd_;
  std::mutex writeMu_;
  std::atomic<bool> down_{false};
};

}  // namespace tnl
