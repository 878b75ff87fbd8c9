/* KVNet interface: firmware upgrade. Included by KVNet.h.
 *
 * An upgrade sends a firmware file to a logged-in device over a connection of its own
 * and reports through its own callback (on the upgrade's thread):
 *   390 closed / failed          391 succeeded              392 file unreadable / send failed
 *   393 invalid file             394 percent (param = value) 395 version refused
 *   396 device busy upgrading    397 same version           398 language mismatch
 *   399 device in its local menu 402 one channel's progress record (param = record)
 *   764 the device is writing its flash
 * The file is checked before any connection is opened: a file that cannot be valid
 * (empty, 4 GiB or more, a part table or part outside the file, a wrong check value,
 * an unknown upgrade type) gives 393 and nothing is sent.
 *
 * Stop the upgrade with KVNetStopRemoteUpgrade, after its final code or to cancel: it
 * returns once the upgrade's thread has finished with the device, and no callback
 * follows it. Called from inside the upgrade's own callback it does not wait (the
 * thread ends by itself right after the callback and frees the upgrade then); no
 * further callback follows there either. Stop an upgrade before its session.
 *
 * Data pieces go raw (a plain head and the piece, never scrambled or sealed); the start
 * request and the closing 763 and 762 go in the connection's mode, which follows the
 * session's (scrambled, or enveloped after the key exchange repeated on the upgrade's
 * own connection). */
#ifndef KVNET_UPGRADE_H
#define KVNET_UPGRADE_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
class DevConnection;
class DevRemoteUpgrade;
extern "C" {
#else
typedef struct DevConnection DevConnection;
typedef struct DevRemoteUpgrade DevRemoteUpgrade;
#endif

typedef void (*KVNetRemoteUpgradeCallback)(unsigned code, void* param, void* user);

typedef struct KVNetRemoteUpgradeParam {
    const char*                path;      /* firmware file (required) */
    KVNetRemoteUpgradeCallback callback;
    void*                      user;
    uint32_t                   type;      /* 3, 4, 5, 6 or 7 */
    uint32_t                   mask;      /* channels 0-31 of a multi-channel upgrade */
} KVNetRemoteUpgradeParam;

typedef struct KVNetRemoteUpgradeParamEx {
    const char*                path;
    KVNetRemoteUpgradeCallback callback;
    void*                      user;
    uint32_t                   type;
    uint32_t                   mask;
    uint32_t                   pauseMs;   /* pause after each data piece, 0 = none */
    uint32_t                   masks[8];  /* channel mask array words */
} KVNetRemoteUpgradeParamEx;

/* One channel's progress record (code 402): param points at the device's bytes, which
 * need not be aligned; further bytes follow as the device sends them. */
#pragma pack(push, 1)
typedef struct KVNetUpgradeIPCProgress {
    uint32_t length;
    uint32_t channel;
    uint8_t  state;    /* non-zero: this channel has finished */
    uint8_t  progress;
} KVNetUpgradeIPCProgress;
#pragma pack(pop)

/* The handle, or null (null argument, null path, or the task could not start). */
DevRemoteUpgrade* KVNetStartRemoteUpgrade(DevConnection* session, const KVNetRemoteUpgradeParam* param);
DevRemoteUpgrade* KVNetStartRemoteUpgradeEx(DevConnection* session, const KVNetRemoteUpgradeParamEx* param);
/* Stops, waits, frees and clears *handle. Nothing for a null pointer or handle. */
void KVNetStopRemoteUpgrade(DevRemoteUpgrade** handle);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
