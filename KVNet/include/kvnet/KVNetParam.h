/* KVNet interface: param calls. Included by KVNet.h. */
#ifndef KVNET_PARAM_H
#define KVNET_PARAM_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
