// Internal records of vdt: the per-connection sender and receiver over fixed slot arrays,
// and the handlers the receive thread runs. Shared by the layer, its tests and fuzz targets.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "vdt.h"
#include "vdt_packet.h"

int64_t vdt_now_us(void);  // monotonic
// Microseconds since t: at least 1000; 0 when t is unset or in the future.
int64_t vdt_time_lag(int64_t t);

enum VdtSlotState : uint8_t { kSlotFree = 0, kSlotQueued, kSlotInFlight, kSlotAcked, kSlotStored };

struct VdtSlot {
  uint16_t len = 0;        // payload bytes
  uint16_t delivered = 0;  // receiver: payload bytes already handed out
  uint8_t state = kSlotFree;
  uint8_t lost = 0;        // sender: reported missing, to be sent again
  uint32_t seq = 0;
  uint32_t mark = 0;       // sender: generation of the ack that listed it
  int64_t retrans_time = 0;
  unsigned char pkt[VDT_DGRAM_MAX];
};

// Slots are used as a ring, so that lookups are direct and nothing is allocated after
// creation. A number's slot counts from the oldest live number's slot rather than s % n: 2^32
// is no multiple of most slot counts, so s % n would make two live numbers share a slot
// once the numbers wrap.
struct VdtSender {
  std::mutex mu;
  std::vector<VdtSlot> slots;
  uint32_t next_seq = 1;   // number the next queued piece gets
  uint32_t base = 1;       // oldest number not yet acknowledged
  uint32_t send_next = 1;  // oldest queued (not yet sent) number
  uint16_t inflight = 0;
  uint16_t peer_slots = 5;  // until the peer's hello says more
  uint16_t max_window = 5;
  uint16_t window = 5;
  uint16_t lossy_acks = 0, clean_acks = 0, asks = 0;
  uint32_t ack_gen = 0;
  bool burst = false;
  bool stalled = false;
  int64_t last_send = 0, last_ask = 0;
  int64_t created = 0, rate_time = 0;
  uint64_t bytes = 0;
  uint32_t rate_bytes = 0, packets = 0, retrans = 0;
  float avg_kbs = 0, cur_kbs = 0, retrans_pct = 0;

  size_t base_idx = 0;      // slot of `base`

  // For base <= seq < base + slots.
  VdtSlot& slot(uint32_t seq) { return slots[(base_idx + (seq - base)) % slots.size()]; }
  void advance_base() {
    base++;
    base_idx = (base_idx + 1) % slots.size();
  }
  uint16_t queued() const { return static_cast<uint16_t>(next_seq - send_next); }
  uint16_t free_slots() const { return static_cast<uint16_t>(slots.size() - (next_seq - base)); }
};

struct VdtRecver {
  std::mutex mu;
  std::vector<VdtSlot> slots;
  uint32_t expected = 1;      // last delivered + 1
  uint32_t highest = 0;       // highest number stored (0: none)
  uint32_t highest_acked = 0;
  uint16_t since_ack = 0;
  uint16_t stored = 0;
  bool ask_flag = false;
  uint32_t ask_seq = 0;
  int64_t created = 0, rate_time = 0;
  uint64_t bytes = 0;
  uint32_t rate_bytes = 0, packets = 0, retrans = 0;
  float avg_kbs = 0, cur_kbs = 0, retrans_pct = 0;

  size_t expected_idx = 0;  // slot of `expected`

  // For expected <= seq < expected + slots.
  VdtSlot& slot(uint32_t seq) { return slots[(expected_idx + (seq - expected)) % slots.size()]; }
  void advance_expected() {
    expected++;
    expected_idx = (expected_idx + 1) % slots.size();
  }
  uint16_t free_slots() const { return static_cast<uint16_t>(slots.size() - stored); }
  bool deliverable() {
    VdtSlot& s = slot(expected);
    return s.state == kSlotStored && s.seq == expected;
  }
};

struct vdt_conn {
  int id = 0;
  int sock = -1;  // owned; closed with the record, after every thread let go of it
  std::atomic<bool> open{true};
  std::atomic<int> rtt_us{0};
  std::atomic<uint16_t> packet_size{0}, payload_size{0};
  std::atomic<bool> rate_on{false};
  std::atomic<int64_t> last_reception{0};

  std::mutex mu;  // destination, identity and the hello and probe state below
  int conn_id = 0;
  char uuid[100] = {};
  int dest_kind = 0;  // 0 none, 1 IPv4, 2 IPv6
  sockaddr_in dest4{};
  sockaddr_in6 dest6{};
  char dest_text[62] = {};
  uint16_t dest_port = 0;
  int64_t last_reply = 0, last_hello = 0;
  int hello_counter = 0;
  int unanswered = 0;
  int probes = 0;
  int64_t last_probe = 0;
  int64_t last_rate = 0;

  VdtSender snd;
  VdtRecver rcv;

  ~vdt_conn();
};

using VdtRef = std::shared_ptr<vdt_conn>;

// A record with its slot arrays; nullptr when a size is below one slot.
VdtRef vdt_conn_new(int sock, int sndbuf, int rcvbuf);
void vdt_conn_set_dest4(vdt_conn& c, const char* ip, int port);
void vdt_conn_set_dest6(vdt_conn& c, const char* ip6, int port);
bool vdt_conn_has_dest(vdt_conn& c);
// Sends to the destination (nothing without one); 1 sent.
int vdt_conn_send(vdt_conn& c, const void* d, size_t len);

// Sender and receiver steps.
int vdt_sender_put(vdt_conn& c, const unsigned char* data, size_t len);
int vdt_sender_send(vdt_conn& c);  // packets sent this pass, -1 held back by pacing
void vdt_sender_counts(vdt_conn& c, int* queued, int* inflight);
int vdt_recver_get(vdt_conn& c, unsigned char* buf, size_t len);
int vdt_recver_send_ack(vdt_conn& c);  // takes the receiver mutex
void vdt_send_ask_ack_if_flagged(vdt_conn& c);

// Main-thread steps: hello and liveness, MTU probe, rates.
void vdt_send_hello(vdt_conn& c);
void vdt_send_check_mtu(vdt_conn& c);
void vdt_update_rates(vdt_conn& c);
void vdt_send_close(vdt_conn& c);

// Handles one received datagram; `from` is its sender. Returns the vdt type handled, or -1.
// An ask sets the flag and calls `wake` so the send thread answers it.
int vdt_dispatch(vdt_conn& c, unsigned char* d, size_t len, const sockaddr* from,
                 socklen_t fromlen, void (*wake)(void));

// Current timing (after vdt_set_timing).
vdt_timing vdt_current_timing(void);
