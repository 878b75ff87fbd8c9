// The vdt layer: the connection list, its three threads and the public functions.
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "vdt_conn.h"

namespace {

struct VdtLayer {
  std::mutex life_mu;  // init and exit, one at a time
  bool started = false;
  std::atomic<bool> running{false};
  std::thread main_thread, send_thread, recv_thread;
  std::mutex list_mu;  // the list; records live on while a thread holds a reference
  std::vector<VdtRef> conns;
  int id_counter = 0;  // ids are never reused within the process
  // The send thread is woken in-process: nothing outside the process can post or remove it.
  std::mutex wake_mu;
  std::condition_variable wake_cv;
  bool wake_flag = false;
};

// Never destroyed: the threads may still wait on its members while the process exits.
VdtLayer& layer() {
  static VdtLayer* l = new VdtLayer;
  return *l;
}

void wake_sender() {
  VdtLayer& l = layer();
  {
    std::lock_guard<std::mutex> lock(l.wake_mu);
    l.wake_flag = true;
  }
  // The main thread waits on the same variable for its tick; notify_one could wake it
  // instead of the send thread, which would then sleep out its idle wait.
  l.wake_cv.notify_all();
}

VdtRef find_ref(int id) {
  VdtLayer& l = layer();
  std::lock_guard<std::mutex> lock(l.list_mu);
  for (auto& c : l.conns)
    if (c->id == id) return c;
  return nullptr;
}

void snapshot(std::vector<VdtRef>& out) {
  VdtLayer& l = layer();
  out.clear();
  std::lock_guard<std::mutex> lock(l.list_mu);
  out.insert(out.end(), l.conns.begin(), l.conns.end());
}

// A closed connection stays while complete data waits for the application.
void release_step() {
  VdtLayer& l = layer();
  std::vector<VdtRef> gone;
  {
    std::lock_guard<std::mutex> lock(l.list_mu);
    for (size_t i = 0; i < l.conns.size();) {
      vdt_conn& c = *l.conns[i];
      bool keep = c.open.load();
      if (!keep) {
        std::lock_guard<std::mutex> rl(c.rcv.mu);
        keep = c.rcv.deliverable();
      }
      if (keep) {
        ++i;
      } else {
        gone.push_back(std::move(l.conns[i]));
        l.conns.erase(l.conns.begin() + static_cast<long>(i));
      }
    }
  }
  // Freed outside the list mutex; the last reference closes the socket.
}

void main_loop() {
  VdtLayer& l = layer();
  std::vector<VdtRef> conns;
  while (l.running.load()) {
    snapshot(conns);
    for (auto& c : conns) {
      if (!c->open.load() || !vdt_conn_has_dest(*c)) continue;
      vdt_send_hello(*c);
      vdt_update_rates(*c);
      vdt_send_check_mtu(*c);
    }
    conns.clear();
    release_step();
    std::unique_lock<std::mutex> lock(l.wake_mu);
    l.wake_cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return !l.running.load(); });
  }
}

void send_loop() {
  VdtLayer& l = layer();
  std::vector<VdtRef> conns;
  while (l.running.load()) {
    snapshot(conns);
    int sent = 0, pending = 0;
    for (auto& c : conns) {
      if (!c->open.load() || !vdt_conn_has_dest(*c)) continue;
      vdt_send_ask_ack_if_flagged(*c);
      int queued, inflight;
      vdt_sender_counts(*c, &queued, &inflight);
      if (queued + inflight == 0) continue;
      int r = vdt_sender_send(*c);
      if (r > 0) sent += r;
      pending += queued + inflight;
    }
    conns.clear();
    if (sent > 0) continue;
    std::unique_lock<std::mutex> lock(l.wake_mu);
    if (pending > 0) {
      // Held back by the window or the pacing: look again in a millisecond.
      l.wake_cv.wait_for(lock, std::chrono::milliseconds(1), [&] { return l.wake_flag; });
    } else {
      l.wake_cv.wait_for(lock, std::chrono::milliseconds(100),
                         [&] { return l.wake_flag || !l.running.load(); });
    }
    l.wake_flag = false;
  }
}

void recv_loop() {
  VdtLayer& l = layer();
  std::vector<VdtRef> conns, ready;
  std::vector<pollfd> fds;
  unsigned char buf[VDT_DGRAM_MAX];
  while (l.running.load()) {
    snapshot(conns);
    fds.clear();
    ready.clear();
    for (auto& c : conns) {
      if (!c->open.load() || c->sock < 0 || !vdt_conn_has_dest(*c)) continue;
      fds.push_back(pollfd{c->sock, POLLIN, 0});
      ready.push_back(c);
    }
    conns.clear();
    int n = poll(fds.empty() ? nullptr : fds.data(), fds.size(), 20);
    if (n < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLERR))) continue;
      vdt_conn& c = *ready[i];
      // A few datagrams per turn keep one busy peer from starving the others.
      for (int k = 0; k < 64; ++k) {
        sockaddr_storage from{};
        socklen_t fromlen = sizeof(from);
        ssize_t got = recvfrom(c.sock, buf, sizeof(buf), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromlen);
        if (got < 0) break;
        vdt_dispatch(c, buf, static_cast<size_t>(got), reinterpret_cast<sockaddr*>(&from),
                     fromlen, wake_sender);
      }
    }
    ready.clear();
  }
}

void set_pmtu_probe(int sock) {
  // Sends larger than the path must fail rather than be fragmented, or every MTU probe would
  // pass.
  int v4 = IP_PMTUDISC_DO, v6 = IPV6_PMTUDISC_DO;
  setsockopt(sock, IPPROTO_IP, IP_MTU_DISCOVER, &v4, sizeof(v4));
  setsockopt(sock, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &v6, sizeof(v6));
  int size = 1 << 20;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

}  // namespace

int vdt_init(void) {
  VdtLayer& l = layer();
  std::lock_guard<std::mutex> life(l.life_mu);
  if (l.started) return 0;
  l.started = true;
  l.running = true;
  l.main_thread = std::thread(main_loop);
  l.send_thread = std::thread(send_loop);
  l.recv_thread = std::thread(recv_loop);
  return 0;
}

void vdt_exit(void) {
  VdtLayer& l = layer();
  std::lock_guard<std::mutex> life(l.life_mu);
  if (!l.started) return;
  l.running = false;
  wake_sender();
  l.main_thread.join();
  l.recv_thread.join();
  l.send_thread.join();
  std::vector<VdtRef> all;
  {
    std::lock_guard<std::mutex> lock(l.list_mu);
    all.swap(l.conns);
  }
  for (auto& c : all) c->open = false;
  all.clear();
  l.started = false;
}

int vdt_create(int sock, int sndbuf, int rcvbuf) {
  if (sock < 0) return -1;
  VdtRef c;
  try {
    c = vdt_conn_new(sock, sndbuf, rcvbuf);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  if (!c) return -3;
  set_pmtu_probe(sock);
  VdtLayer& l = layer();
  std::lock_guard<std::mutex> lock(l.list_mu);
  c->id = ++l.id_counter;
  l.conns.push_back(c);
  return c->id;
}

void vdt_set_destaddr(int id, const char* ip, int port) {
  if (VdtRef c = find_ref(id)) vdt_conn_set_dest4(*c, ip, port);
}

void vdt_set_destaddr6(int id, const char* ip6, int port) {
  if (VdtRef c = find_ref(id)) vdt_conn_set_dest6(*c, ip6, port);
}

void vdt_set_uuid(int id, int conn_id, const char* uuid) {
  VdtRef c = find_ref(id);
  if (!c) return;
  std::lock_guard<std::mutex> lock(c->mu);
  c->conn_id = conn_id;
  snprintf(c->uuid, sizeof(c->uuid), "%s", uuid ? uuid : "");
}

int vdt_send(int id, const void* data, int len) {
  VdtRef c = find_ref(id);
  if (!c || !c->open.load()) return -1;
  if (len < 0 || (!data && len > 0)) return -1;
  int n = vdt_sender_put(*c, static_cast<const unsigned char*>(data), static_cast<size_t>(len));
  if (n > 0 || (len == 0 && c->payload_size.load())) wake_sender();
  return n;
}

int vdt_recv(int id, void* buf, int len) {
  VdtRef c = find_ref(id);
  if (!c || len < 0 || (!buf && len > 0)) return -1;
  bool open = c->open.load();
  int n = vdt_recver_get(*c, static_cast<unsigned char*>(buf), static_cast<size_t>(len));
  if (n > 0 || open) return n;
  // Closed: what was complete has been read; nothing more can come.
  std::lock_guard<std::mutex> lock(c->rcv.mu);
  return c->rcv.deliverable() ? 0 : -1;
}

void vdt_close(int id) {
  VdtRef c = find_ref(id);
  if (!c || !c->open.load()) return;
  vdt_send_close(*c);
  c->open = false;
}

int vdt_get_free_size(int id, int* payload) {
  VdtRef c = find_ref(id);
  if (!c) return -1;
  int p = c->payload_size.load();
  if (payload) *payload = p;
  std::lock_guard<std::mutex> lock(c->snd.mu);
  return c->snd.free_slots() * p;
}

void vdt_set_rate(int id, int on) {
  if (VdtRef c = find_ref(id)) c->rate_on = on != 0;
}

int vdt_get_rate(int id, vdt_rate* r) {
  VdtRef c = find_ref(id);
  if (!c) return -1;
  if (!r) return 0;
  {
    std::lock_guard<std::mutex> lock(c->snd.mu);
    r->snd_avg_kbs = c->snd.avg_kbs;
    r->snd_cur_kbs = c->snd.cur_kbs;
    r->snd_retrans_pct = c->snd.retrans_pct;
  }
  std::lock_guard<std::mutex> lock(c->rcv.mu);
  r->rcv_avg_kbs = c->rcv.avg_kbs;
  r->rcv_cur_kbs = c->rcv.cur_kbs;
  r->rcv_retrans_pct = c->rcv.retrans_pct;
  return 0;
}

vdt_conn* vdt_find(int id) { return find_ref(id).get(); }

int vdt_all_acked(int id) {
  VdtRef c = find_ref(id);
  if (!c) return 0;
  int q, f;
  vdt_sender_counts(*c, &q, &f);
  return q + f == 0 ? 1 : 0;
}

int vdt_is_open(int id) {
  VdtRef c = find_ref(id);
  return c && c->open.load() ? 1 : 0;
}
