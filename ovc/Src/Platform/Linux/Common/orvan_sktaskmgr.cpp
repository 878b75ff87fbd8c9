// The socket and task manager. Three unbalanced trees under gSessionLock: tasks by id, watched
// sockets by descriptor, pending sends by descriptor. Freeing waits while a walk of the same tree
// is under way, so a callback may delete what is being visited.
#include "orvan_sktaskmgr.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "orvan_platform.h"
#include "ovc_lock.h"

namespace {
constexpr uint32_t kDefaultTick = 500;
constexpr uint32_t kBusyWaitMs = 20;
constexpr uint32_t kSendRetryMs = 20;
constexpr int kMaxPendingSend = 1446;

std::atomic<bool> gRunning{false};
pthread_t gTaskID;
bool gThreadStarted = false;
int gWakeFd = -1;
std::atomic<uint64_t> gCycles{0};
std::atomic<uint32_t (*)()> gClock{nullptr};

orvan_bst_node_t* gTaskTree = nullptr;
orvan_bst_node_t* gSockTree = nullptr;
orvan_bst_node_t* gSendTree = nullptr;
// Read without the lock by the purges' first test, so atomic.
std::atomic<int> gTaskWalk{0}, gSockWalk{0}, gSendWalk{0};
std::atomic<int> gTaskDeleted{0}, gSockDeleted{0}, gSendDeleted{0};
uint32_t gTasksCreated = 0;
int gReadsSinceIdle = 0;
std::atomic<uint32_t> gTick{kDefaultTick};
uint32_t gTaskAcc = kDefaultTick, gSendAcc = kDefaultTick;
int gTasksRan = 0;
// The descriptors of one cycle, rebuilt from the socket tree.
// Never destroyed: a process that exits without ending the module still has this thread running.
std::vector<pollfd>& gPollFds = *new std::vector<pollfd>();

uint32_t now_ms() {
  auto fn = gClock.load();
  return fn ? fn() : orv_monotonic_ms();
}

int cmp_task(const void* key, const void* data) {
  int32_t a = static_cast<const orvan_task_t*>(key)->id, b = static_cast<const orvan_task_t*>(data)->id;
  return a < b ? -1 : a > b ? 1 : 0;
}
int cmp_send(const void* key, const void* data) {
  int32_t a = static_cast<const orvan_sendt_entry_t*>(key)->fd;
  int32_t b = static_cast<const orvan_sendt_entry_t*>(data)->fd;
  return a < b ? -1 : a > b ? 1 : 0;
}
int Task_IsDeleted(const void* d) { return static_cast<const orvan_task_t*>(d)->cb == nullptr; }
int SendT_IsDeleted(const void* d) {
  auto* e = static_cast<const orvan_sendt_entry_t*>(d);
  if (e->fd > 0) return 0;
  free(e->data);  // the purge frees the record itself
  return 1;
}

void fold(uint32_t* acc, uint32_t period) {
  if (period == 0) return;
  *acc = (*acc == kDefaultTick) ? period : orvan_gcd(*acc, period);
}

void recompute_tick() { gTick = orvan_gcd(gTaskAcc, gSendAcc); }

int Task_Action(orvan_bst_node_t* n, int32_t action);
int SendT_Action(orvan_bst_node_t* n, int32_t action);
int Fd_Action(orvan_bst_node_t* n, int32_t action);

void Task_RunAction3() {
  gTaskAcc = kDefaultTick;
  ++gTaskWalk;
  orvan_bst_walkpre(gTaskTree, Task_Action, 3);
  --gTaskWalk;
  recompute_tick();
}
void SendT_RunAction3() {
  gSendAcc = kDefaultTick;
  ++gSendWalk;
  orvan_bst_walkpre(gSendTree, SendT_Action, 3);
  --gSendWalk;
  recompute_tick();
}

// Try-lock while few entries wait, a blocking lock above the limit.
bool lock_for_purge(int deleted, int limit) {
  if (deleted > limit) return orv_mutex_lock(&gSessionLock, 1) == 0;
  return orv_mutex_lock(&gSessionLock, 0) == 0;
}

int SendT_Purge() {
  if (gSendWalk > 0 || gSendDeleted == 0) return 0;
  if (!lock_for_purge(gSendDeleted, 5)) return 0;
  int n = 0;
  if (gSendWalk == 0) {
    n = orvan_bst_walk_purge(&gSendTree, SendT_IsDeleted);
    if (n > 0) {
      gSendDeleted = 0;
      SendT_RunAction3();
    }
  }
  orv_mutex_unlock(&gSessionLock);
  return n;
}

void SendT_Remove(int fd) {
  OvcSessionLockGuard g;
  orvan_sendt_entry_t key{};
  key.fd = fd;
  orvan_bst_node_t** slot = orvan_bst_search(&gSendTree, cmp_send, &key);
  if (!*slot) return;
  auto* e = static_cast<orvan_sendt_entry_t*>((*slot)->data);
  if (e->fd <= 0) return;
  free(e->data);
  e->data = nullptr;
  e->fd = 0;
  ++gSendDeleted;
  SendT_Purge();
}

int Task_Action(orvan_bst_node_t* n, int32_t action) {
  auto* t = static_cast<orvan_task_t*>(n->data);
  if (!t) return 0;
  switch (action) {
    case 1:
      orvan_TaskMng_Delete(t);
      return 0;
    case 2: {
      if (!t->cb) return 0;
      uint32_t now = now_ms();
      // Wrap-safe: elapsed time on the 32-bit clock. A task that never ran is due at once.
      bool due = t->firstRun == 0 || orv_ms_elapsed(now, t->lastRun) >= t->period;
      if (!due) return 0;
      t->lastRun = now;
      if (t->firstRun == 0) t->firstRun = now ? now : 1;
      bool final = t->lifetime != 0 && orv_ms_elapsed(now, t->firstRun) >= t->lifetime;
      orvan_task_cb cb = t->cb;
      cb(t, t->period, t->arg, t->user, final ? 1 : 0);
      if (final) orvan_TaskMng_Delete(t);
      return 1;
    }
    case 3:
      if (t->cb) fold(&gTaskAcc, t->period);
      return 0;
  }
  return 0;
}

int SendT_Action(orvan_bst_node_t* n, int32_t action) {
  auto* e = static_cast<orvan_sendt_entry_t*>(n->data);
  if (!e || e->fd <= 0) return 0;
  switch (action) {
    case 1:
      SendT_Remove(e->fd);
      return 0;
    case 2: {
      uint32_t now = now_ms();
      if (orv_ms_elapsed(now, e->lastTry) <= e->retryPeriod && e->lastTry != 0) return 0;
      ssize_t k = 0;
      if (e->kind == 1 || e->kind == 0)
        k = send(e->fd, e->data + e->sent, (size_t)(e->length - e->sent), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) e->sent += (int32_t)k;
      if (e->sent >= e->length) SendT_Remove(e->fd);
      else e->lastTry = now;
      return 1;
    }
    case 3:
      fold(&gSendAcc, e->retryPeriod);
      return 0;
  }
  return 0;
}

void FuncCnntCB(orvan_sock_entry_t* e) {
  if (!e->writeCb) return;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = 0;
  e->writeCb(e->fd, e->arg, err, e->writeUser);
  orvan_SockMng_Remove(e->fd, 4);
}

short revents_of(int fd) {
  for (const pollfd& p : gPollFds)
    if (p.fd == fd) return p.revents;
  return 0;
}

int Fd_Action(orvan_bst_node_t* n, int32_t action) {
  auto* e = static_cast<orvan_sock_entry_t*>(n->data);
  if (!e || Fd_IsDeleted(e)) return 0;
  switch (action) {
    case 1: {
      short ev = (short)(((e->interest & 1) ? POLLIN : 0) | ((e->interest & 6) ? POLLOUT : 0));
      if (ev) gPollFds.push_back(pollfd{e->fd, ev, 0});
      return 0;
    }
    case 2:
      orvan_SockMng_Remove(e->fd, 16);
      return 0;
    case 3: {
      short rev = revents_of(e->fd);
      if (e->readCb && (rev & (POLLIN | POLLHUP))) {
        e->readCb(e->fd, e->arg, 0, e->readUser);
        e->readCount++;
        gReadsSinceIdle++;
        return 1;
      }
      if (e->writeCb && (rev & POLLOUT)) {
        if (e->interest & 4) FuncCnntCB(e);
        else e->writeCb(e->fd, e->arg, 0, e->writeUser);
        return 1;
      }
      if (rev & (POLLERR | POLLNVAL)) FuncCnntCB(e);
      return 0;
    }
    case 4:
      if (e->readCb && e->readCount > 0) {
        e->readCb(e->fd, e->arg, -1, e->readUser);
        e->readCount = 0;
      }
      return 0;
  }
  return 0;
}

void Fd_RunAction(int action) {
  ++gSockWalk;
  orvan_bst_walkpre(gSockTree, Fd_Action, action);
  --gSockWalk;
  orvan_SockMng_Purge();
}

thread_local bool tTaskThread = false;
std::mutex& gDeferMu = *new std::mutex();
std::vector<std::function<void()>>& gDeferred = *new std::vector<std::function<void()>>();

void run_deferred() {
  std::vector<std::function<void()>> now;
  {
    std::lock_guard<std::mutex> g(gDeferMu);
    now.swap(gDeferred);
  }
  for (auto& fn : now) fn();
}

void* orvan_SockTaskMng_Run(void*) {
  orvan_platform_set_thread_name("ovc_sktaskmgr");
  tTaskThread = true;
  bool busy = false;
  while (gRunning) {
    gCycles++;
    orv_mutex_lock(&gSessionLock, 1);
    gPollFds.clear();
    gPollFds.push_back(pollfd{gWakeFd, POLLIN, 0});
    Fd_RunAction(1);
    std::vector<pollfd> fds = gPollFds;
    orv_mutex_unlock(&gSessionLock);

    int wait = (int)(busy ? kBusyWaitMs : gTick.load());
    int n = poll(fds.data(), fds.size(), wait);
    if (n > 0 && (fds[0].revents & POLLIN)) {
      uint64_t v;
      (void)!read(gWakeFd, &v, sizeof v);
      --n;
    }
    if (n < 0 && errno != EINTR) {
      timespec ts{0, (long)gTick.load() * 1000000L};
      nanosleep(&ts, nullptr);
    }
    orv_mutex_lock(&gSessionLock, 1);
    if (n > 0) {
      gPollFds = fds;
      Fd_RunAction(3);
    } else if (n == 0 && gReadsSinceIdle > 0) {
      Fd_RunAction(4);
      gReadsSinceIdle = 0;
    }
    if (!gRunning) {
      orv_mutex_unlock(&gSessionLock);
      break;
    }
    if (gSendTree) {
      ++gSendWalk;
      orvan_bst_walkpre(gSendTree, SendT_Action, 2);
      --gSendWalk;
      SendT_Purge();
    }
    int ran = orvan_TaskMng_RunDue();
    orv_mutex_unlock(&gSessionLock);
    run_deferred();
    busy = n > 0 || ran > 0;
  }
  return nullptr;
}
}  // namespace

// ---- Thread ---------------------------------------------------------------------------------

int orvan_SockTaskMng_Init() {
  if (gThreadStarted) return 0;
  gWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (gWakeFd < 0) return -2;
  gRunning = true;  // before the thread can test it
  int err = 0;
  gTaskID = orvan_platform_CreateTask(&err, orvan_SockTaskMng_Run, nullptr, 0);
  if (err != 0) {
    gRunning = false;
    close(gWakeFd);
    gWakeFd = -1;
    return -2;
  }
  gThreadStarted = true;
  return 0;
}

int orvan_SockTaskMng_DeInit() {
  orv_mutex_lock(&gSessionLock, 1);
  gRunning = false;
  orv_mutex_unlock(&gSessionLock);
  if (gThreadStarted) {
    uint64_t one = 1;
    (void)!write(gWakeFd, &one, sizeof one);  // no need to wait out a long tick
    orvan_platform_WaitForTaskExit(gTaskID);
    gThreadStarted = false;
  }
  run_deferred();  // what the thread's last pass handed over still happens, once
  if (gWakeFd >= 0) close(gWakeFd);
  gWakeFd = -1;
  orv_mutex_lock(&gSessionLock, 1);
  Fd_RunAction(2);
  ++gTaskWalk;
  orvan_bst_walkpre(gTaskTree, Task_Action, 1);
  --gTaskWalk;
  ++gSendWalk;
  orvan_bst_walkpre(gSendTree, SendT_Action, 1);
  --gSendWalk;
  orvan_bst_walk_purge(&gTaskTree, [](const void*) { return 1; });
  orvan_bst_walk_purge(&gSockTree, [](const void*) { return 1; });
  orvan_bst_walk_purge(&gSendTree, [](const void* d) {
    free(static_cast<const orvan_sendt_entry_t*>(d)->data);
    return 1;
  });
  gTaskTree = gSockTree = gSendTree = nullptr;
  gTaskDeleted = gSockDeleted = gSendDeleted = 0;
  gTasksCreated = 0;
  gReadsSinceIdle = 0;
  gTaskAcc = gSendAcc = kDefaultTick;
  gTick = kDefaultTick;
  orv_mutex_unlock(&gSessionLock);
  return 0;
}

// ---- Tasks ----------------------------------------------------------------------------------

int32_t Task_GetNextID() {
  if (gTasksCreated > 0xFFFFFFFDu) return 1;
  orvan_task_t key{};
  for (uint32_t i = 1; i <= gTasksCreated + 1; ++i) {
    key.id = (int32_t)i;
    if (!*orvan_bst_search(&gTaskTree, cmp_task, &key)) return (int32_t)i;
  }
  return 1;
}

orvan_task_t* orvan_TaskMng_Create(uint32_t period, uint32_t lifetime, uint16_t arg,
                                   orvan_task_cb cb, void* user) {
  orvan_TaskMng_Purge();
  OvcSessionLockGuard g;
  auto* t = static_cast<orvan_task_t*>(calloc(1, sizeof(orvan_task_t)));
  if (!t) return nullptr;
  t->id = Task_GetNextID();
  t->period = period;
  t->lifetime = lifetime;
  t->arg = arg;
  t->cb = cb;
  t->user = user;
  orvan_bst_node_t* n = orvan_bst_insert(&gTaskTree, cmp_task, t);
  if (!n || n->data != t) {
    free(t);
    return nullptr;
  }
  if (gTaskWalk == 0) {
    Task_RunAction3();
  } else {
    fold(&gTaskAcc, period);
    recompute_tick();
  }
  ++gTasksCreated;
  // A new task starts now, not after the thread's current sleep of the old tick.
  if (gWakeFd >= 0) {
    uint64_t one = 1;
    (void)!write(gWakeFd, &one, sizeof one);
  }
  return t;
}

int orvan_TaskMng_Delete(orvan_task_t* task) {
  int was_active = 0;
  {
    OvcSessionLockGuard g;
    if (task && task->cb) {
      task->cb = nullptr;
      task->user = nullptr;
      ++gTaskDeleted;
      was_active = 1;
    }
  }
  orvan_TaskMng_Purge();
  return was_active;
}

int orvan_TaskMng_Delete_Now(orvan_task_t* task) { return orvan_TaskMng_Delete(task); }

int orvan_TaskMng_Purge() {
  if (gTaskWalk > 0 || gTaskDeleted == 0) return 0;
  if (!lock_for_purge(gTaskDeleted, 10)) return 0;
  int n = 0;
  if (gTaskWalk == 0) {
    n = orvan_bst_walk_purge(&gTaskTree, Task_IsDeleted);
    if (n > 0) {
      gTaskDeleted = 0;
      Task_RunAction3();
    }
  }
  orv_mutex_unlock(&gSessionLock);
  return n;
}

int orvan_TaskMng_ResetTimeCounter(orvan_task_t* task) {
  OvcSessionLockGuard g;
  // One full period ago on the wrapping clock: due at the next cycle whatever the clock reads.
  if (task) task->lastRun = now_ms() - task->period;
  return 1;
}

int orvan_TaskMng_RunDue() {
  OvcSessionLockGuard g;
  if (!gTaskTree) return 0;
  ++gTaskWalk;
  int ran = orvan_bst_walkpre(gTaskTree, Task_Action, 2);
  --gTaskWalk;
  orvan_TaskMng_Purge();
  gTasksRan = ran;
  return ran;
}

// ---- Sockets --------------------------------------------------------------------------------

int Fd_Compare(const void* a, const void* b) {
  int32_t x = static_cast<const orvan_sock_entry_t*>(a)->fd, y = static_cast<const orvan_sock_entry_t*>(b)->fd;
  return x < y ? -1 : x > y ? 1 : 0;
}

int Fd_IsDeleted(const void* d) {
  auto* e = static_cast<const orvan_sock_entry_t*>(d);
  return !e->readCb && !e->writeCb;
}

void InnerFd_SendT() {}
int InnerFd_CB() { return 0; }

int orvan_SockMng_AddToCBFunc(int fd, int arg, int type, orvan_sock_cb cb, void* user) {
  orvan_SockMng_Purge();
  OvcSessionLockGuard g;
  orvan_sock_entry_t key{};
  key.fd = fd;
  orvan_bst_node_t** slot = orvan_bst_search(&gSockTree, Fd_Compare, &key);
  orvan_sock_entry_t* e;
  if (*slot) {
    e = static_cast<orvan_sock_entry_t*>((*slot)->data);
    e->interest |= type;
  } else {
    e = static_cast<orvan_sock_entry_t*>(calloc(1, sizeof(orvan_sock_entry_t)));
    if (!e) return -1;
    e->fd = fd;
    e->interest = type;
    *slot = orvan_bst_new_node(e);
    if (!*slot) {
      free(e);
      return -1;
    }
  }
  e->arg = arg;
  if (type == 1) {
    e->readCb = cb;
    e->readUser = user;
  } else if (type == 2 || type == 4) {
    e->writeCb = cb;
    e->writeUser = user;
  } else {
    e->readCb = e->writeCb = cb;
    e->readUser = e->writeUser = user;
  }
  return 0;
}

int orvan_SockMng_Remove(int fd, int what) {
  {
    OvcSessionLockGuard g;
    orvan_sock_entry_t key{};
    key.fd = fd;
    orvan_bst_node_t** slot = orvan_bst_search(&gSockTree, Fd_Compare, &key);
    if (!*slot) return -1;
    auto* e = static_cast<orvan_sock_entry_t*>((*slot)->data);
    if (what == 16) {
      e->interest = 0;
    } else {
      int clear = e->interest & what;
      e->interest &= ~clear;
      if (clear & 1) e->readCb = nullptr, e->readUser = nullptr;
      if (clear & (2 | 4 | 8)) e->writeCb = nullptr, e->writeUser = nullptr;
      if (e->interest != 0) return -1;
    }
    if (e->readCb || e->writeCb || what == 16) {
      e->readCb = e->writeCb = nullptr;
      e->readUser = e->writeUser = nullptr;
    }
    ++gSockDeleted;
    SendT_Remove(fd);
  }
  orvan_SockMng_Purge();
  SendT_Purge();
  return 0;
}

int orvan_SockMng_Purge() {
  if (gSockWalk > 0 || gSockDeleted == 0) return 0;
  if (!lock_for_purge(gSockDeleted, 5)) return 0;
  int n = 0;
  if (gSockWalk == 0) {
    n = orvan_bst_walk_purge(&gSockTree, Fd_IsDeleted);
    if (n > 0) gSockDeleted = 0;
  }
  orv_mutex_unlock(&gSessionLock);
  return n;
}

// The trees change under gSessionLock; lookups hold it too (it is recursive, so callers that
// already hold it are served the same way).
int orvan_SockMng_ActFdRecv(int fd) {
  OvcSessionLockGuard g;
  orvan_sock_entry_t key{};
  key.fd = fd;
  orvan_bst_node_t** slot = orvan_bst_search(&gSockTree, Fd_Compare, &key);
  if (!*slot) return 0;
  auto* e = static_cast<orvan_sock_entry_t*>((*slot)->data);
  if (e->readCb) return e->readCb(fd, e->arg, 0, e->readUser);
  return 0;
}

int orvan_SockMng_ActFdSend(int fd) {
  OvcSessionLockGuard g;
  orvan_sock_entry_t key{};
  key.fd = fd;
  orvan_bst_node_t** slot = orvan_bst_search(&gSockTree, Fd_Compare, &key);
  if (!*slot) return 0;
  auto* e = static_cast<orvan_sock_entry_t*>((*slot)->data);
  if (e->interest & 4) {
    FuncCnntCB(e);
    return 0;
  }
  if (e->writeCb) return e->writeCb(fd, e->arg, 1, e->writeUser);
  return 0;
}

int orvan_SockMng_TcpSend(int fd, int kind, const void* data, int length) {
  if (length > kMaxPendingSend || length <= 0 || !data) return -1;
  if (kind != 0 && kind != 1) return -1;
  SendT_Purge();
  OvcSessionLockGuard g;
  orvan_sendt_entry_t key{};
  key.fd = fd;
  orvan_bst_node_t** slot = orvan_bst_search(&gSendTree, cmp_send, &key);
  if (*slot && static_cast<orvan_sendt_entry_t*>((*slot)->data)->fd > 0) return -1;
  ssize_t k = send(fd, data, (size_t)length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  if (k == length) return length;
  if (k < 0) k = 0;
  if (*slot) return -1;  // a deleted entry still waits for its purge
  auto* e = static_cast<orvan_sendt_entry_t*>(calloc(1, sizeof(orvan_sendt_entry_t)));
  if (!e) return -1;
  e->fd = fd;
  e->length = length - (int32_t)k;
  e->data = static_cast<uint8_t*>(malloc((size_t)e->length));
  if (!e->data) {
    free(e);
    return -1;
  }
  memcpy(e->data, static_cast<const uint8_t*>(data) + k, (size_t)e->length);
  e->retryPeriod = kSendRetryMs;
  e->kind = kind;
  *slot = orvan_bst_new_node(e);
  fold(&gSendAcc, e->retryPeriod);
  recompute_tick();
  return -1;
}

void orvan_TaskMng_Defer(std::function<void()> fn) {
  if (!fn) return;
  if (!tTaskThread) {
    fn();
    return;
  }
  std::lock_guard<std::mutex> g(gDeferMu);
  gDeferred.push_back(std::move(fn));
}

// ---- Seams ----------------------------------------------------------------------------------

void orvan_TaskMng_SetClock(uint32_t (*now)()) { gClock = now; }
uint32_t orvan_TaskMng_Now() { return now_ms(); }
uint32_t orvan_TaskMng_GetTick() { return gTick; }
uint64_t orvan_SockTaskMng_Cycles() { return gCycles; }

int orvan_TaskMng_Count() {
  OvcSessionLockGuard g;
  struct C {
    static int visit(orvan_bst_node_t*, int32_t) { return 1; }
  };
  return orvan_bst_walkpre(gTaskTree, C::visit, 0);
}
