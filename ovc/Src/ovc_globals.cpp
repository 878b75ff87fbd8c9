// Process-wide locks of the OVC layer.
#include "ovc_lock.h"

orv_mutex_t gSessionLock;
