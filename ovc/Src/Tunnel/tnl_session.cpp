#include "Tunnel/tnl_session.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace tnl {

static int64_t mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static bool set_nonblocking(int fd) {
  int fl = fcntl(fd, F_GETFL, 0);
  return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

TunnelSession::TunnelSession(TnlStream* stream, const SessionConfig& cfg)
    : stream_(stream), cfg_(cfg), lowMark_(cfg.lowMark), highMark_(cfg.highMark) {}

TunnelSession::~TunnelSession() { Stop(); }

bool TunnelSession::Start() {
  inUse_.store(true);
  stop_.store(false);
  Touch();
  try {
    loop_ = std::thread([this] { MessageLoop(); });
    reader_ = std::thread([this] { ReaderLoop(); });
    sender_ = std::thread([this] { SenderLoop(); });
  } catch (...) {
    Stop();
    return false;
  }
  return true;
}

void TunnelSession::Stop() {
  inUse_.store(false);
  stop_.store(true);
  stream_->Shutdown();
  WakeSender();
  if (loop_.joinable()) loop_.join();
  if (reader_.joinable()) reader_.join();
  if (sender_.joinable()) sender_.join();
  std::lock_guard<std::mutex> g(mu_);
  for (int c = 0; c < kChannels; ++c) {
    CloseChannelLocked(c);
    for (int fd : ch_[c].deferred) close(fd);
    ch_[c].deferred.clear();
    ch_[c].users = 0;
  }
}

int TunnelSession::SetBufSize(int size) {
  if (size <= 0) return -30021;
  highMark_.store((uint32_t)size);
  lowMark_.store((uint32_t)((uint64_t)size * 4 / 5));
  return 0;
}

void TunnelSession::Touch() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  lastIO_.store((uint32_t)tv.tv_sec);
}

void TunnelSession::WakeSender() {
  {
    std::lock_guard<std::mutex> g(wakeMu_);
    wakePending_ = true;
  }
  wakeCv_.notify_one();
}

bool TunnelSession::SendCtl(uint8_t type, int c) {
  uint8_t m[4];
  put_head(m, type, (uint8_t)c, 0);
  return stream_->Write(m, 4) == 4;
}

// Under mu_. Frees the channel number for reuse after the quarantine; the socket is shut
// at once and closed by the last thread that still uses it, so its number is never reused
// under another thread's feet.
void TunnelSession::CloseChannelLocked(int c) {
  Channel& ch = ch_[c];
  if (ch.state != 1) return;
  if (ch.fd >= 0) {
    shutdown(ch.fd, SHUT_RDWR);
    if (ch.users == 0) {
      close(ch.fd);
    } else {
      ch.deferred.push_back(ch.fd);
    }
  }
  ch.fd = -1;
  ch.localEnd = ch.writeShut = true;
  ch.state = 2;
  ch.closedAt = mono_ms();
  std::lock_guard<std::mutex> b(ch.bufMu);
  SocketBuffer_Deinitialize(&ch.buf);
}

void TunnelSession::CloseChannel(int c) {
  std::lock_guard<std::mutex> g(mu_);
  CloseChannelLocked(c);
}

int TunnelSession::GrabLocked(int c) {
  Channel& ch = ch_[c];
  if (ch.state != 1 || ch.fd < 0) return -1;
  ch.users++;
  return ch.fd;
}

void TunnelSession::Release(int c) {
  std::lock_guard<std::mutex> g(mu_);
  Channel& ch = ch_[c];
  if (ch.users > 0 && --ch.users == 0) {
    for (int fd : ch.deferred) close(fd);
    ch.deferred.clear();
  }
}

void TunnelSession::ResetLocked(int c) {
  Channel& ch = ch_[c];
  ch.connecting = ch.announced = false;
  ch.localEnd = ch.writeShut = ch.pauseSent = ch.peerHalfClosed = ch.peerClosed = false;
  ch.pauseState = 0;
  ch.fd = -1;
}

int TunnelSession::TakeFreeLocked() {
  const int64_t now = mono_ms();
  for (int c = 0; c < kChannels; ++c) {
    Channel& ch = ch_[c];
    if (ch.state == 2 && now - ch.closedAt >= cfg_.quarantineMs && ch.deferred.empty()) ch.state = 0;
    if (ch.state == 0) {
      ResetLocked(c);
      ch.state = 1;
      return c;
    }
  }
  return -1;
}

int TunnelSession::OpenChannels() const {
  std::lock_guard<std::mutex> g(mu_);
  int n = 0;
  for (const Channel& ch : ch_) n += ch.state == 1;
  return n;
}

int TunnelSession::OpenChannel(int fd, uint32_t ipv4, uint16_t port) {
  if (!inUse_.load() || !set_nonblocking(fd)) {
    close(fd);
    return -1;
  }
  int c;
  {
    std::lock_guard<std::mutex> g(mu_);
    c = TakeFreeLocked();
    if (c < 0) {
      close(fd);
      return -1;
    }
    Channel& ch = ch_[c];
    ch.fd = fd;
    std::lock_guard<std::mutex> b(ch.bufMu);
    if (!SocketBuffer_Initialize(&ch.buf, 0, cfg_.bufferLimit)) {
      CloseChannelLocked(c);
      return -1;
    }
  }
  uint8_t m[4 + kOpenBody];
  put_head(m, kOpen, (uint8_t)c, kOpenBody);
  put_open_body(m + 4, ipv4, port);
  if (stream_->Write(m, sizeof m) != (int)sizeof m) {
    CloseChannel(c);
    return -1;
  }
  Touch();
  std::lock_guard<std::mutex> g(mu_);
  if (ch_[c].state == 1) ch_[c].announced = true;
  return c;
}

// Sends a pause above the high mark and a resume below the low mark; each pause is followed
// by at most one resume. Called with pauseMu_ held, so two threads never send them crossed.
void TunnelSession::WaterMarks(int c, uint64_t queued) {
  Channel& ch = ch_[c];
  if (queued > highMark_.load()) {
    if (!ch.pauseSent && SendCtl(kPause, c)) {
      ch.pauseSent = true;
      stats_.pausesSent++;
    }
  } else if (queued < lowMark_.load()) {
    if (ch.pauseSent && SendCtl(kResume, c)) {
      ch.pauseSent = false;
      stats_.resumesSent++;
    }
  }
}

void TunnelSession::OpenOnServer(int c, const uint8_t* body, size_t n) {
  uint32_t ip;
  uint16_t port;
  int fd = -1;
  {
    std::lock_guard<std::mutex> g(mu_);
    Channel& ch = ch_[c];
    if (ch.state == 1) CloseChannelLocked(c);
    ResetLocked(c);
    ch.state = 1;
    bool ok = read_open_body(body, n, &ip, &port) &&
              (!cfg_.openAllowed || cfg_.openAllowed(ip, port, cfg_.openUser));
    if (ok) fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    {
      std::lock_guard<std::mutex> b(ch.bufMu);
      SocketBuffer_Deinitialize(&ch.buf);
      ok = fd >= 0 && SocketBuffer_Initialize(&ch.buf, 16, cfg_.bufferLimit);
    }
    if (ok) {
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(port);
      sa.sin_addr.s_addr = htonl(ip);
      // Non-blocking: a slow target never stalls the session's other channels; the reader
      // learns the outcome when the socket turns writable.
      int r = connect(fd, (sockaddr*)&sa, sizeof sa);
      if (r == 0 || errno == EINPROGRESS) {
        ch.fd = fd;
        ch.connecting = r != 0;
        ch.announced = true;
        Touch();
        return;
      }
    }
    if (fd >= 0) close(fd);
    CloseChannelLocked(c);
  }
  SendCtl(kClose, c);
}

bool TunnelSession::HandleMessage(const Head& h, const uint8_t* body) {
  const int c = h.channel;
  Channel& ch = ch_[c];
  switch (h.type) {
    case kOpen:
      if (cfg_.role == Role::kAgent) {
        // Only the device side connects on request; the agent answers that the channel is gone.
        stats_.opensRefused++;
        SendCtl(kClose, c);
        return true;
      }
      OpenOnServer(c, body, h.length);
      return true;
    case kData: {
      bool overflow = false;
      uint64_t held = 0;
      {
        std::lock_guard<std::mutex> g(mu_);
        if (ch.state != 1 || ch.writeShut) return true;
        {
          std::lock_guard<std::mutex> b(ch.bufMu);
          overflow = SocketBuffer_Push(&ch.buf, body, h.length) != 0;
          held = SocketBuffer_Size(&ch.buf);
        }
        if (overflow) CloseChannelLocked(c);
      }
      if (overflow) {
        // The peer ignored our pause: drop the channel rather than grow without end.
        stats_.overflowCloses++;
        SendCtl(kClose, c);
        return true;
      }
      {
        std::lock_guard<std::mutex> p(pauseMu_);
        WaterMarks(c, held + stream_->Unread());
      }
      WakeSender();
      return true;
    }
    case kHalfClose: {
      std::lock_guard<std::mutex> g(mu_);
      if (ch.state == 1) ch.peerHalfClosed = true;
      break;
    }
    case kClose: {
      // Bytes that arrived before the close still reach the local client; the channel
      // closes once they are written out.
      std::lock_guard<std::mutex> g(mu_);
      if (ch.state != 1) break;
      bool empty;
      {
        std::lock_guard<std::mutex> b(ch.bufMu);
        empty = SocketBuffer_Size(&ch.buf) == 0;
      }
      if (empty || ch.writeShut || ch.connecting) {
        CloseChannelLocked(c);
      } else {
        ch.peerClosed = ch.peerHalfClosed = true;
      }
      break;
    }
    case kPause: {
      std::lock_guard<std::mutex> g(mu_);
      // Saturates: repeated pauses can never wrap the state back to running.
      if (ch.state == 1) ch.pauseState = ch.pauseState >= 1 ? 3 : 2;
      break;
    }
    case kResume: {
      std::lock_guard<std::mutex> g(mu_);
      if (ch.state == 1) ch.pauseState = 0;
      break;
    }
    case kFlow: {
      std::lock_guard<std::mutex> g(mu_);
      if (ch.state == 1) ch.pauseState = 2;
      break;
    }
    case kLanRequest: {
      uint32_t token, z;
      if (cfg_.role != Role::kServer || !cfg_.lanProbe) return true;
      if (!parse_lan_request(body, h.length, &token, &z)) return true;
      if ((z & 0xFFFF) != (z >> 16)) return true;
      uint16_t port = cfg_.lanProbe(lan_step(lan_step(token)), cfg_.lanUser);
      std::vector<uint8_t> r = make_lan_reply(lan_step(token), port);
      stream_->Write(r.data(), r.size());
      return true;
    }
    default:
      return true;
  }
  WakeSender();
  return true;
}

void TunnelSession::ServeMessagesHere() {
  inUse_.store(true);
  MessageLoop();
}

void TunnelSession::MessageLoop() {
  std::vector<uint8_t> body(kMaxBody);
  while (inUse_.load()) {
    uint8_t hb[4];
    if (ReadFull(*stream_, hb, 4, stop_) != 0) break;
    Head h;
    read_head(hb, 4, &h);
    if (h.length > kMaxBody) break;
    if (ReadFull(*stream_, body.data(), h.length, stop_) != 0) break;
    if (!HandleMessage(h, body.data())) break;
  }
  inUse_.store(false);
  WakeSender();
}

void TunnelSession::ReaderLoop() {
  std::vector<uint8_t> m(4 + 8192);
  std::vector<pollfd> pfds;
  std::vector<int> chans;
  while (inUse_.load()) {
    pfds.clear();
    chans.clear();
    {
      std::lock_guard<std::mutex> g(mu_);
      for (int c = 0; c < kChannels; ++c) {
        Channel& ch = ch_[c];
        if (ch.state != 1 || ch.fd < 0 || !ch.announced) continue;
        short ev;
        if (ch.connecting) ev = POLLOUT;
        else if (!ch.localEnd && !ch.peerClosed && ch.pauseState <= 2) ev = POLLIN;
        else continue;
        pfds.push_back({GrabLocked(c), ev, 0});
        chans.push_back(c);
      }
    }
    if (pfds.empty()) {
      std::unique_lock<std::mutex> w(wakeMu_);
      wakeCv_.wait_for(w, std::chrono::milliseconds(20));
      continue;
    }
    int n = poll(pfds.data(), pfds.size(), 100);
    for (size_t i = 0; n > 0 && i < pfds.size() && inUse_.load(); ++i) {
      if (!pfds[i].revents) continue;
      const int c = chans[i];
      const int fd = pfds[i].fd;
      Channel& ch = ch_[c];
      if (pfds[i].events == POLLOUT) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        bool failed = false;
        {
          std::lock_guard<std::mutex> g(mu_);
          if (ch.fd != fd || ch.state != 1) continue;
          if (err == 0) ch.connecting = false;
          else { CloseChannelLocked(c); failed = true; }
        }
        if (failed) SendCtl(kClose, c);
        else WakeSender();
        continue;
      }
      {
        std::lock_guard<std::mutex> g(mu_);
        if (ch.fd != fd || ch.state != 1) continue;
        if (ch.pauseState == 0 || ch.pauseState == 2) ch.pauseState++;
      }
      ssize_t k = recv(fd, m.data() + 4, 8192, MSG_DONTWAIT);
      if (k > 0) {
        put_head(m.data(), kData, (uint8_t)c, (uint16_t)k);
        Touch();
        if (stream_->Write(m.data(), 4 + (size_t)k) != 4 + k) {
          // Never lose bytes silently: the local side sees its connection end.
          stats_.writeFailCloses++;
          CloseChannel(c);
          break;
        }
        stats_.bytesToStream += (uint64_t)k;
        continue;
      }
      if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      bool closeNow;
      {
        std::lock_guard<std::mutex> g(mu_);
        if (ch.fd != fd || ch.state != 1) continue;
        ch.localEnd = true;
        closeNow = ch.writeShut;
      }
      if (!SendCtl(closeNow ? kClose : kHalfClose, c)) {
        CloseChannel(c);
        inUse_.store(false);
      } else if (closeNow) {
        CloseChannel(c);
      }
    }
    for (size_t i = 0; i < chans.size(); ++i) Release(chans[i]);
    while (inUse_.load() && stream_->SendBacklog() >= cfg_.backlogLimit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  inUse_.store(false);
  WakeSender();
}

void TunnelSession::SenderLoop() {
  while (!stop_.load()) {
    {
      std::unique_lock<std::mutex> w(wakeMu_);
      wakeCv_.wait_for(w, std::chrono::milliseconds(20), [this] { return wakePending_; });
      wakePending_ = false;
    }
    if (!inUse_.load()) break;
    for (int c = 0; c < kChannels; ++c) {
      Channel& ch = ch_[c];
      int fd;
      {
        std::lock_guard<std::mutex> g(mu_);
        if (ch.state != 1 || ch.connecting || ch.writeShut) continue;
        fd = GrabLocked(c);
        if (fd < 0) continue;
      }
      long k;
      int err = 0;
      uint64_t remaining;
      {
        std::lock_guard<std::mutex> b(ch.bufMu);
        k = SocketBuffer_Send(&ch.buf, fd);
        if (k < 0) err = errno;
        remaining = SocketBuffer_Size(&ch.buf);
      }
      if (k < 0 && err != EAGAIN && err != EINTR) {
        bool closeNow;
        {
          std::lock_guard<std::mutex> g(mu_);
          closeNow = ch.localEnd || ch.peerClosed;
          if (!closeNow) ch.writeShut = true;
        }
        Release(c);
        if (closeNow) {
          SendCtl(kClose, c);
          CloseChannel(c);
        }
        continue;
      }
      if (k > 0) {
        Touch();
        stats_.bytesToSockets += (uint64_t)k;
      }
      bool halfClosedAndDone = false, closeNow = false;
      {
        std::lock_guard<std::mutex> g(mu_);
        // The half close counts only once every byte that came before it is written out;
        // the message loop pushes under mu_, so the size read here is final.
        if (ch.peerHalfClosed && ch.fd == fd) {
          std::lock_guard<std::mutex> b(ch.bufMu);
          remaining = SocketBuffer_Size(&ch.buf);
        }
        if (remaining == 0 && ch.peerHalfClosed && ch.fd == fd) {
          halfClosedAndDone = true;
          closeNow = ch.localEnd || ch.peerClosed;
          if (!closeNow) {
            ch.writeShut = true;
            shutdown(fd, SHUT_WR);
          }
        }
      }
      Release(c);
      if (closeNow) CloseChannel(c);
      if (halfClosedAndDone) continue;
      std::lock_guard<std::mutex> p(pauseMu_);
      uint64_t queued = remaining + stream_->Unread();
      if (k > 0) written_ += (uint64_t)k;
      WaterMarks(c, queued);
      if (written_ > 8196 && queued > lowMark_.load()) {
        if (ch.pauseSent && SendCtl(kFlow, c)) stats_.flowsSent++;
        written_ = 0;
      }
    }
  }
}

}  // namespace tnl
