// A C++ vdt connection against the Python endpoint (tests/sim/verov/vdtpeer.py): both
// directions at once, digests compared.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "peer_process.h"
#include "vdt_test_util.h"

namespace vdttest {

struct PeerRun {
  std::string local_ip = "127.0.0.1";
  std::string peer_ip = "127.0.0.1";
  std::vector<std::string> prefix;  // runs the peer elsewhere (a namespace side)
  size_t to_peer = 1 << 20, from_peer = 1 << 20;
  std::vector<std::string> lies;
  int timeout_ms = 120000;
};

// Runs the exchange; failures are reported through gtest. Returns the peer's lines.
inline std::vector<std::string> RunAgainstPeer(const PeerRun& r, int* payload_seen = nullptr) {
  vdt_init();
  uint16_t local_port = 0;
  int s = UdpSocket(r.local_ip.c_str(), 0, &local_port);
  EXPECT_GE(s, 0);
  std::vector<std::string> argv = r.prefix;
  argv.insert(argv.end(), {"/usr/bin/python3", VDT_PEER, "--bind", r.peer_ip + ":0", "--peer",
                           r.local_ip + ":" + std::to_string(local_port), "--send",
                           std::to_string(r.from_peer), "--recv", std::to_string(r.to_peer)});
  for (auto& l : r.lies) argv.insert(argv.end(), {"--lie", l});
  kvtest::PeerProcess peer;
  std::string ready;
  if (!peer.Launch(argv, &ready)) {
    ADD_FAILURE() << "peer did not start";
    close(s);
    return {};
  }
  int id = vdt_create(s, 65536, 512000);
  vdt_set_destaddr(id, r.peer_ip.c_str(), kvtest::ReadyPort(ready, "udp"));
  EXPECT_TRUE(WaitReady(id, 20000));
  if (payload_seen) vdt_get_free_size(id, payload_seen);
  std::string sent_sha, got_sha;
  bool sent_ok = false, got_ok = false;
  std::thread tx([&] { sent_ok = SendStream(id, r.to_peer, 3, &sent_sha, r.timeout_ms); });
  std::thread rx([&] { got_ok = ReceiveStream(id, r.from_peer, &got_sha, r.timeout_ms); });
  tx.join();
  rx.join();
  EXPECT_TRUE(sent_ok);
  EXPECT_TRUE(got_ok);
  // The peer reports what it received and, once acknowledged, what it sent.
  std::string want_rx = "RECEIVED " + std::to_string(r.to_peer) + " " + sent_sha;
  std::string want_tx = "SENT " + std::to_string(r.from_peer) + " " + got_sha;
  bool saw_rx = false, saw_tx = false;
  int64_t end = NowMs() + 20000;
  std::vector<std::string> lines;
  while (NowMs() < end && !(saw_rx && saw_tx)) {
    lines = peer.Lines();
    saw_rx = saw_tx = false;
    for (auto& l : lines) {
      saw_rx |= l == want_rx;
      saw_tx |= l == want_tx;
    }
    SleepMs(20);
  }
  EXPECT_TRUE(saw_rx) << want_rx;
  EXPECT_TRUE(saw_tx) << want_tx;
  EXPECT_TRUE(vdt_is_open(id));  // alive after every lie
  vdt_close(id);
  peer.Stop();
  return lines;
}

}  // namespace vdttest
