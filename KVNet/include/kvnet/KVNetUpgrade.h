/* KVNet interface: upgrade calls. Included by KVNet.h. */
#ifndef KVNET_UPGRADE_H
#define KVNET_UPGRADE_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
