#include "kv_lock.h"

void mutex_destroy(pthread_mutex_t* m)
{
    if (m)
        pthread_mutex_destroy(m);
}

void static_mutex_destroy(pthread_mutex_t* m)
{
    mutex_destroy(m);
}
