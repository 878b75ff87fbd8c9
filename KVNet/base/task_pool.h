// The client's task pool: every background body of the client runs here.
#pragma once
#include <cstddef>

typedef void* (*sl_task_fn)(void* arg);

// Starts fn(arg) at once on the most recently parked idle worker, or on a new detached
// thread with a 2 MiB stack. 0 when started, -1 when it could not be (fn never runs).
// The caller owns arg.
int sl_task_add(sl_task_fn fn, void* arg);

// Seams for tests and benchmarks.
void sl_task_set_idle_ms(unsigned ms);   // how long a parked worker waits (default 30000)
unsigned sl_task_idle_workers();         // workers parked right now
unsigned long sl_task_threads_started(); // threads created since load
