/* KVNet interface: search calls. Included by KVNet.h. */
#ifndef KVNET_SEARCH_H
#define KVNET_SEARCH_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
