// One tunnel session: up to 256 TCP connections carried as channels over one reliable stream.
// Three threads move the bytes: the message loop (stream -> channel buffers), the socket
// reader (sockets -> stream) and the sender (buffers -> sockets). The agent opens channels
// for accepted local connections; the server connects one for each open message it gets.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Tunnel/tnl_socket_buffer.h"
#include "Tunnel/tnl_stream.h"
#include "Tunnel/tnl_wire.h"

namespace tnl {

enum class Role { kAgent, kServer };

struct SessionConfig {
  Role role = Role::kAgent;
  uint32_t lowMark = 409600;
  uint32_t highMark = 512000;
  uint64_t bufferLimit = kSocketBufferDefaultLimit;  // a channel beyond it is closed
  int quarantineMs = 4000;        // a closed channel number is not reused before this
  uint64_t backlogLimit = 824000; // the reader stops feeding the stream above this
  // Server only: answers a direct-LAN request with the probe port (0: no reply).
  uint16_t (*lanProbe)(uint32_t expect, void* user) = nullptr;
  void* lanUser = nullptr;
  // Server only: may refuse the address an open message names (null: every address).
  bool (*openAllowed)(uint32_t ipv4, uint16_t port, void* user) = nullptr;
  void* openUser = nullptr;
};

struct SessionStats {
  std::atomic<uint64_t> pausesSent{0}, resumesSent{0}, flowsSent{0};
  std::atomic<uint64_t> opensRefused{0}, overflowCloses{0}, writeFailCloses{0};
  std::atomic<uint64_t> bytesToStream{0}, bytesToSockets{0};
};

class TunnelSession {
public:
  TunnelSession(TnlStream* stream, const SessionConfig& cfg);
  ~TunnelSession();
  TunnelSession(const TunnelSession&) = delete;
  TunnelSession& operator=(const TunnelSession&) = delete;

  // Starts the three threads; false when one could not start (nothing left running).
  bool Start();
  // Ends the session: threads stopped and joined, every channel closed. Idempotent.
  void Stop();
  bool InUse() const { return inUse_.load(); }
  uint32_t LastIOTime() const { return lastIO_.load(); }
  int SetBufSize(int size);
  uint32_t LowMark() const { return lowMark_.load(); }
  uint32_t HighMark() const { return highMark_.load(); }

  // Agent: carries an accepted local connection (the session owns fd from here on) as a new
  // channel to ipv4:port on the device. The channel index, or -1 (fd closed) when no channel
  // is free or the open could not be sent.
  int OpenChannel(int fd, uint32_t ipv4, uint16_t port);
  int OpenChannels() const;

  // One message from the stream, as the message loop applies it. False ends the session.
  bool HandleMessage(const Head& h, const uint8_t* body);
  // Runs the message loop on the calling thread until the stream ends (no other thread is
  // started): for feeding recorded or generated streams.
  void ServeMessagesHere();
  // Lets OpenChannel work before ServeMessagesHere (no thread is started).
  void MarkInUseForFeeding() { inUse_.store(true); }

  const SessionStats& Stats() const { return stats_; }

private:
  struct Channel {
    uint8_t state = 0;          // 0 free, 1 open, 2 closed (quarantined)
    bool connecting = false;    // server: the connect has not completed yet
    bool announced = false;     // agent: the open went out; its socket may be read
    bool localEnd = false, writeShut = false, pauseSent = false, peerHalfClosed = false;
    bool peerClosed = false;    // the peer's close came while bytes were still buffered
    uint8_t pauseState = 0;     // 0/1 running, 2 one more read, 3 paused
    int fd = -1;
    int users = 0;              // threads doing I/O on fd right now
    std::vector<int> deferred;  // shut sockets, closed once the last user lets go
    int64_t closedAt = 0;
    SocketBuffer buf;
    std::mutex bufMu;
  };

  void MessageLoop();
  void ReaderLoop();
  void SenderLoop();
  void WakeSender();
  bool SendCtl(uint8_t type, int c);
  void CloseChannelLocked(int c);
  void CloseChannel(int c);
  int GrabLocked(int c);
  void Release(int c);
  int TakeFreeLocked();
  void ResetLocked(int c);
  void WaterMarks(int c, uint64_t queued);
  void Touch();
  void OpenOnServer(int c, const uint8_t* body, size_t n);

  TnlStream* stream_;
  SessionConfig cfg_;
  std::atomic<uint32_t> lowMark_, highMark_;
  std::atomic<bool> inUse_{false};
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> lastIO_{0};
  Channel ch_[kChannels];
  mutable std::mutex mu_;     // channel states and sockets
  std::mutex pauseMu_;        // pause, resume and flow decisions and their messages
  std::mutex wakeMu_;
  std::condition_variable wakeCv_;
  bool wakePending_ = false;
  uint64_t written_ = 0;      // sender's bytes since the last flow decision
  std::thread loop_, reader_, sender_;
  SessionStats stats_;
};

}  // namespace tnl
