/* KVNet interface: session calls. Included by KVNet.h. */
#ifndef KVNET_SESSION_H
#define KVNET_SESSION_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
