// The socket and task manager: periodic tasks, watched sockets and pending sends, all run by one
// thread ("ovc_sktaskmgr") that holds gSessionLock while it runs them. It sleeps for the greatest
// common divisor of the task periods.
#pragma once

#include <stdint.h>

#include <functional>

struct orvan_task_t;
using orvan_task_cb = void (*)(orvan_task_t* task, uint32_t period, uint16_t arg, void* user,
                               int final);
using orvan_sock_cb = int (*)(int fd, int arg, int status, void* user);

struct orvan_task_t {
  int32_t id;
  uint32_t firstRun;  // 0 until the first run
  uint32_t lastRun;
  uint32_t lifetime;  // ms after the first run; 0 unlimited
  uint32_t period;
  uint16_t arg;
  orvan_task_cb cb;  // cleared: deactivated, waiting to be freed
  void* user;
};

struct orvan_sock_entry_t {
  int32_t fd;
  int32_t arg;
  orvan_sock_cb readCb;
  orvan_sock_cb writeCb;
  void* readUser;
  void* writeUser;
  int32_t interest;  // 1 read, 2 write, 4 connect
  int32_t readCount;
};

struct orvan_sendt_entry_t {
  int32_t fd;  // <= 0: deleted
  uint8_t* data;
  int32_t length;
  int32_t sent;
  uint32_t lastTry;
  uint32_t retryPeriod;
  int32_t kind;  // 0 datagram on a connected socket, 1 stream
};

int orvan_SockTaskMng_Init();
int orvan_SockTaskMng_DeInit();

orvan_task_t* orvan_TaskMng_Create(uint32_t period, uint32_t lifetime, uint16_t arg,
                                   orvan_task_cb cb, void* user);
int orvan_TaskMng_Delete(orvan_task_t* task);
int orvan_TaskMng_Delete_Now(orvan_task_t* task);
int orvan_TaskMng_Purge();
int orvan_TaskMng_ResetTimeCounter(orvan_task_t* task);
int32_t Task_GetNextID();

int orvan_SockMng_AddToCBFunc(int fd, int arg, int type, orvan_sock_cb cb, void* user);
int orvan_SockMng_Remove(int fd, int what);
int orvan_SockMng_Purge();
int orvan_SockMng_ActFdRecv(int fd);
int orvan_SockMng_ActFdSend(int fd);
int orvan_SockMng_TcpSend(int fd, int kind, const void* data, int length);
int Fd_Compare(const void* a, const void* b);
int Fd_IsDeleted(const void* entry);
void InnerFd_SendT();
int InnerFd_CB();

// Runs fn once gSessionLock is no longer held by the task thread: queued when called on the
// task thread (which holds the lock while its tasks run), run at once on any other thread. Tasks
// hand user callbacks to it so that no callback runs under the session lock.
void orvan_TaskMng_Defer(std::function<void()> fn);

// ---- Seams for tests and figures ------------------------------------------------------------
// The millisecond clock the tasks run on (default: the monotonic clock). nullptr restores it.
void orvan_TaskMng_SetClock(uint32_t (*now)());
uint32_t orvan_TaskMng_Now();
// The current tick in ms.
uint32_t orvan_TaskMng_GetTick();
// Runs the due tasks once, as one cycle of the thread does; returns how many ran.
int orvan_TaskMng_RunDue();
// Cycles of the thread since it started.
uint64_t orvan_SockTaskMng_Cycles();
// Number of live (not yet freed) tasks.
int orvan_TaskMng_Count();
