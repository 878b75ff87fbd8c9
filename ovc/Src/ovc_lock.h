// The recursive process-wide lock of the OVC layer: it guards the session table and the task
// manager's registries, and every periodic task runs while its thread holds it.
#pragma once

#include "orvan_platform.h"

extern orv_mutex_t gSessionLock;

struct OvcSessionLockGuard {
  OvcSessionLockGuard() { orv_mutex_lock(&gSessionLock, 1); }
  ~OvcSessionLockGuard() { orv_mutex_unlock(&gSessionLock); }
  OvcSessionLockGuard(const OvcSessionLockGuard&) = delete;
  OvcSessionLockGuard& operator=(const OvcSessionLockGuard&) = delete;
};
