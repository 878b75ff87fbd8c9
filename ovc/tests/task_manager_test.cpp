// The task manager with an injected clock: the tick, due runs, lifetimes, deletion from a
// callback, id reuse; the thread itself; pending sends.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "orvan_sktaskmgr.h"
#include "ovc_lock.h"

namespace {
uint32_t g_now = 0;
uint32_t fake_clock() { return g_now; }

struct Calls {
  std::vector<std::pair<uint32_t, int>> seen;  // (clock, final)
};
void record(orvan_task_t*, uint32_t, uint16_t, void* user, int final) {
  static_cast<Calls*>(user)->seen.push_back({g_now, final});
}
void delete_self(orvan_task_t* t, uint32_t, uint16_t, void* user, int) {
  ++*static_cast<int*>(user);
  orvan_TaskMng_Delete(t);
}

class TaskManager : public ::testing::Test {
 protected:
  void SetUp() override {
    orv_mutex_init(&gSessionLock, "session");
    g_now = 0xFFFFF000u;  // close to the wrap, so every test crosses it
    orvan_TaskMng_SetClock(fake_clock);
  }
  void TearDown() override {
    orvan_SockTaskMng_DeInit();
    orvan_TaskMng_SetClock(nullptr);
    EXPECT_EQ(orvan_TaskMng_Count(), 0);
    orv_mutex_destroy(&gSessionLock);
  }
};
}  // namespace

TEST_F(TaskManager, TickIsTheGcdOfTheActivePeriods) {
  EXPECT_EQ(orvan_TaskMng_GetTick(), 500u);
  Calls c;
  orvan_task_t* a = orvan_TaskMng_Create(1000, 0, 0, record, &c);
  EXPECT_EQ(orvan_TaskMng_GetTick(), 500u);  // gcd(500, 1000)
  orvan_task_t* b = orvan_TaskMng_Create(300, 0, 0, record, &c);
  EXPECT_EQ(orvan_TaskMng_GetTick(), 100u);
  EXPECT_EQ(orvan_TaskMng_Delete(b), 1);
  EXPECT_EQ(orvan_TaskMng_GetTick(), 500u);  // purged at once outside a walk
  EXPECT_EQ(orvan_TaskMng_Delete(a), 1);
  const uint32_t table[][2] = {{250, 250}, {700, 50}, {1000, 50}};
  std::vector<orvan_task_t*> ts;
  for (auto& row : table) {
    ts.push_back(orvan_TaskMng_Create(row[0], 0, 0, record, &c));
    EXPECT_EQ(orvan_TaskMng_GetTick(), row[1]) << row[0];
  }
  for (auto* t : ts) orvan_TaskMng_Delete(t);
  EXPECT_EQ(orvan_TaskMng_GetTick(), 500u);
}

TEST_F(TaskManager, DueRunsAcrossTheClockWrapAndTheLifetime) {
  Calls c;
  orvan_TaskMng_Create(1000, 3000, 7, record, &c);
  EXPECT_EQ(orvan_TaskMng_RunDue(), 1);  // first cycle
  for (int step = 0; step < 40; ++step) {
    g_now += 100;
    orvan_TaskMng_RunDue();
  }
  // Runs at 0, 1000, 2000 with final 0, then at 3000 the last call; then freed.
  ASSERT_EQ(c.seen.size(), 4u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(c.seen[i].second, 0) << i;
  EXPECT_EQ(c.seen[3].second, 1);
  EXPECT_EQ(c.seen[3].first - c.seen[0].first, 3000u);
  EXPECT_EQ(c.seen[1].first - c.seen[0].first, 1000u);
  EXPECT_EQ(orvan_TaskMng_Count(), 0);
}

TEST_F(TaskManager, UnlimitedTaskNeverGetsAFinalCall) {
  Calls c;
  orvan_task_t* t = orvan_TaskMng_Create(100, 0, 0, record, &c);
  for (int i = 0; i < 100; ++i) {
    orvan_TaskMng_RunDue();
    g_now += 100;
  }
  EXPECT_EQ(c.seen.size(), 100u);
  for (auto& s : c.seen) EXPECT_EQ(s.second, 0);
  orvan_TaskMng_Delete(t);
}

TEST_F(TaskManager, DeleteFromOwnCallbackAndIdReuse) {
  int calls = 0;
  orvan_TaskMng_Create(100, 0, 0, delete_self, &calls);
  orvan_TaskMng_RunDue();
  g_now += 1000;
  orvan_TaskMng_RunDue();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(orvan_TaskMng_Count(), 0);

  Calls c;
  orvan_task_t* t1 = orvan_TaskMng_Create(1000, 0, 0, record, &c);
  orvan_task_t* t2 = orvan_TaskMng_Create(1000, 0, 0, record, &c);
  orvan_task_t* t3 = orvan_TaskMng_Create(1000, 0, 0, record, &c);
  EXPECT_EQ(t1->id, 1);
  EXPECT_EQ(t2->id, 2);
  EXPECT_EQ(t3->id, 3);
  orvan_TaskMng_Delete(t2);
  EXPECT_EQ(orvan_TaskMng_Delete(t2 = nullptr), 0);
  orvan_task_t* t4 = orvan_TaskMng_Create(1000, 0, 0, record, &c);
  EXPECT_EQ(t4->id, 2);
  // ResetTimeCounter makes a long-period task due at the next cycle.
  orvan_task_t* slow = orvan_TaskMng_Create(10000, 0, 0, record, &c);
  orvan_TaskMng_RunDue();
  size_t before = c.seen.size();
  g_now += 10;
  orvan_TaskMng_RunDue();
  EXPECT_EQ(c.seen.size(), before);
  EXPECT_EQ(orvan_TaskMng_ResetTimeCounter(slow), 1);
  orvan_TaskMng_RunDue();
  EXPECT_EQ(c.seen.size(), before + 1);
  for (auto* t : {t1, t3, t4, slow}) orvan_TaskMng_Delete(t);
}

TEST_F(TaskManager, ThreadRunsTasksAndStopsPromptly) {
  orvan_TaskMng_SetClock(nullptr);
  std::atomic<int> runs{0};
  orvan_TaskMng_Create(50, 0, 0, [](orvan_task_t*, uint32_t, uint16_t, void* u, int) {
    ++*static_cast<std::atomic<int>*>(u);
  }, &runs);
  ASSERT_EQ(orvan_SockTaskMng_Init(), 0);
  for (int i = 0; i < 2000 && runs < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(runs, 3);
  orvan_SockTaskMng_DeInit();  // deletes the task without a final call
}

TEST_F(TaskManager, PendingSendsAndWatchedSockets) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::vector<char> big(1447, 'x');
  EXPECT_EQ(orvan_SockMng_TcpSend(sv[0], 1, big.data(), 1447), -1);
  char peek[8];
  EXPECT_EQ(recv(sv[1], peek, sizeof peek, MSG_DONTWAIT), -1);  // nothing was sent
  EXPECT_EQ(orvan_SockMng_TcpSend(sv[0], 1, big.data(), 1446), 1446);
  EXPECT_EQ(orvan_SockMng_TcpSend(sv[0], 3, big.data(), 10), -1);
  // Fill the socket so a send stays pending; a second one for the same descriptor is refused.
  int small = 4096;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  int rc = 0;
  for (int i = 0; i < 10000 && rc != -1; ++i) rc = orvan_SockMng_TcpSend(sv[0], 1, big.data(), 1000);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(orvan_TaskMng_GetTick(), 20u);  // a pending send retries every 20 ms
  EXPECT_EQ(orvan_SockMng_TcpSend(sv[0], 1, big.data(), 10), -1);
  // Watched sockets: a read callback registered, removed by its bit.
  EXPECT_EQ(orvan_SockMng_AddToCBFunc(sv[1], 5, 1, [](int, int, int, void*) { return 0; }, nullptr), 0);
  EXPECT_EQ(orvan_SockMng_Remove(sv[1], 2), -1);  // bit 1 remains
  EXPECT_EQ(orvan_SockMng_Remove(sv[1], 1), 0);
  EXPECT_EQ(orvan_SockMng_Remove(sv[1], 1), -1);  // gone
  orvan_SockMng_Remove(sv[0], 16);
  close(sv[0]);
  close(sv[1]);
}
