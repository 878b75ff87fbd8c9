#include "Tunnel/tnl_status.h"

#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::mutex gMu;
std::condition_variable gIdle;
P2PTunnelStatusFn gCb = nullptr;
void* gUser = nullptr;
tnl::LossMarkFn gMark = nullptr;
int gPending = 0;  // reports started and not finished
std::atomic<bool> gNoTimeout{false};

void deliver(int sid) {
  P2PTunnelStatusFn cb;
  void* user;
  tnl::LossMarkFn mark;
  {
    std::lock_guard<std::mutex> g(gMu);
    cb = gCb;
    user = gUser;
    mark = gMark;
  }
  if (cb && !gNoTimeout.load()) {
    if (mark) mark(sid);
    cb(-30006, sid, user);
  }
  std::lock_guard<std::mutex> g(gMu);
  if (--gPending == 0) gIdle.notify_all();
}

}  // namespace

namespace tnl {

void SetStatusCallback(P2PTunnelStatusFn cb, void* user) {
  std::lock_guard<std::mutex> g(gMu);
  gCb = cb;
  gUser = user;
}

void CheckNoTimeoutFile() {
  FILE* f = fopen("notimeout", "r");
  gNoTimeout.store(f != nullptr);
  if (f) fclose(f);
}

bool NoTimeout() { return gNoTimeout.load(); }

void SetLossMark(LossMarkFn fn) {
  std::lock_guard<std::mutex> g(gMu);
  gMark = fn;
}

void EndStatusReports() {
  std::unique_lock<std::mutex> lk(gMu);
  gCb = nullptr;
  gUser = nullptr;
  gIdle.wait(lk, [] { return gPending == 0; });
}

}  // namespace tnl

extern "C" void Tunnel_SessionStatusCB(int sid, int) {
  {
    std::lock_guard<std::mutex> g(gMu);
    if (gNoTimeout.load() || !gCb) return;
    ++gPending;
  }
  // The report runs on a thread of its own: the application's callback never holds up OVC's
  // receive thread, which calls this.
  try {
    std::thread(deliver, sid).detach();
  } catch (...) {
    std::lock_guard<std::mutex> g(gMu);
    if (--gPending == 0) gIdle.notify_all();
  }
}
