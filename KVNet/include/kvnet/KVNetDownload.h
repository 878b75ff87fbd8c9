/* KVNet interface: record downloads. Included by KVNet.h.
 *
 * Two objects download recordings over a connection of their own and store every complete
 * frame in a record file chosen by the file name's extension (".dat" private container,
 * ".avi", ".mp4"; see KVCreateRecordFile):
 *   - DevDownloadRecord: one file per list entry at the caller's path (and password); in
 *     picture mode bare frame records, one file per entry.
 *   - DownloadRecord: a list or one time span into files the caller names, split at a key
 *     frame once more than the split size was written (pieces named after their first
 *     frame's UTC time).
 * Both resume after a broken connection from one second before the last stored key frame
 * and skip what was already stored, so no frame is written twice.
 *
 * Codes (callback value 0 unless said otherwise):
 *   290 ended (every end but a stop),   291 a file is complete,
 *   292 the device had nothing for a list entry (list download),
 *   293 data was lost: the download ended before the last entry was complete (always
 *       before 290),
 *   294 a record file could not be opened, written or finished (also a name without '.'),
 *   295 progress: value = percent of the entry's (or span's) declared size, counting the
 *       bytes the record file stored; never sent for a declared size of 0. The named
 *       download also sends 295 with value 1 when an entry's first file opens, so a value
 *       of 1 means either "first file open" or "1 percent".
 *   306, 307, 308, 310, 311: the device refused (AckFlag 322, 325, 68, 50/407, 360).
 * Progress reports are at least 301 ms apart and only when the percentage changes.
 * A Stop waits for the worker: no callback arrives once it has returned. */
#ifndef KVNET_DOWNLOAD_H
#define KVNET_DOWNLOAD_H

#include "../KVNetTypes.h"
#include "KVNetRecordQuery.h"

#ifdef __cplusplus
class DevConnection;
struct backupspecialinfo_t;
extern "C" {
#else
typedef struct DevConnection DevConnection;
typedef struct backupspecialinfo_t backupspecialinfo_t;
#endif

typedef void (*KVNetDownloadCallback)(uint32_t code, uint32_t value, void* user);
typedef void (*KVNetDownloadExCallback)(uint32_t code, uint32_t value, uint32_t index, void* user);

typedef struct DownloadPathEntry {
    char     path[260];         /* 0: NUL-terminated */
    uint32_t reserved;          /* 260 */
} DownloadPathEntry;

typedef struct DownloadFileEntry {
    char     path[260];         /* 0 */
    uint32_t reserved;          /* 260 */
    char     password[320];     /* 264: the private container's password, or empty */
} DownloadFileEntry;

/* One recording. */
typedef struct KVNetDownloadRecordParam {
    uint32_t              nA;         /* 0: the device's; passed through */
    uint8_t               reserved[4];
    RecordDetailRsp*      pItem;      /* 8 */
    DownloadPathEntry*    pPath;      /* 16 */
    KVNetDownloadCallback callback;   /* 24: or null (then the session's callback) */
    void*                 pUser;      /* 32 */
} KVNetDownloadRecordParam;

/* A list (recordings, or stored pictures). */
typedef struct KVNetDownloadRecordExParam {
    uint32_t                nA;         /* 0 */
    uint8_t                 reserved0[4];
    RecordDetailRsp*        pItems;     /* 8 */
    DownloadPathEntry*      pPaths;     /* 16 */
    uint32_t                nCount;     /* 24 */
    uint8_t                 bWholeSpan; /* 28: one item from the first start to the last end */
    uint8_t                 bExtHead;   /* 29: 24-byte request head */
    uint8_t                 reserved1[2];
    KVNetDownloadExCallback callback;   /* 32 */
    void*                   pUser;      /* 40 */
} KVNetDownloadRecordExParam;

/* A list with a password per file. */
typedef struct KVNetNewDownloadRecordParam {
    uint32_t                nA;         /* 0 */
    uint8_t                 reserved0[4];
    RecordDetailRsp*        pItems;     /* 8 */
    DownloadFileEntry*      pFiles;     /* 16 */
    uint32_t                nCount;     /* 24 */
    uint8_t                 bWholeSpan; /* 28 */
    uint8_t                 bExtHead;   /* 29 */
    uint8_t                 reserved1[2];
    KVNetDownloadExCallback callback;   /* 32 */
    void*                   pUser;      /* 40 */
} KVNetNewDownloadRecordParam;

/* A list into named files. Names are 512-byte entries (NUL-terminated). */
typedef struct KVNetDownloadByFileParam {
    uint32_t                nA;         /* 0 */
    uint8_t                 nB;         /* 4 */
    uint8_t                 reserved0[3];
    uint32_t                nItemKind;  /* 8: 1 RecordDetailRsp, 2 NewRecordDetailRsp */
    uint8_t                 reserved1[4];
    const void*             pItems;     /* 16 */
    const char*             pNames;     /* 24: nCount entries of 512 bytes */
    uint32_t                nCount;     /* 32 */
    uint8_t                 reserved2[4];
    KVNetDownloadExCallback callback;   /* 40: required */
    void*                   pUser;      /* 48 */
    uint64_t                nSplitMiB;  /* 56: 0 = never split */
    const backupspecialinfo_t* pBackup; /* 64: or null; stored by the private container */
} KVNetDownloadByFileParam;

/* One time span into a named file. */
typedef struct KVNetDownloadByTimeParam {
    uint32_t                nA;         /* 0 */
    uint32_t                nC;         /* 4 */
    uint8_t                 nB;         /* 8 */
    uint8_t                 reserved0[7];
    DateTime                Start;      /* 16: UTC */
    DateTime                End;        /* 24 */
    char                    szName[256]; /* 32 */
    uint32_t                nEndCount;  /* 288: end-of-file signals that end the download */
    uint8_t                 reserved1[4];
    uint64_t                nTotalSize; /* 296: bytes, for the percentage; not 0 */
    KVNetDownloadExCallback callback;   /* 304: required */
    void*                   pUser;      /* 312 */
    uint64_t                nSplitMiB;  /* 320 */
    const backupspecialinfo_t* pBackup; /* 328 */
} KVNetDownloadByTimeParam;

typedef struct DevDownloadRecord DevDownloadRecord;
typedef struct DownloadRecord DownloadRecord;

/* Null when an argument or the item or entry pointer is null, the count is 0 or the
 * session is being stopped. Items and entries are copied. */
DevDownloadRecord* KVNetStartDownloadRecord(DevConnection* session, const KVNetDownloadRecordParam* param);
DevDownloadRecord* KVNetStartDownloadRecordEx(DevConnection* session, const KVNetDownloadRecordExParam* param);
DevDownloadRecord* KVNetStartNewDownloadRecordEx(DevConnection* session, const KVNetNewDownloadRecordParam* param);
/* Stored pictures: frames stored as they come, without checks, as bare frame records. */
DevDownloadRecord* KVNetStartDownloadPictureEx(DevConnection* session, const KVNetDownloadRecordExParam* param);
/* Stop, wait for the worker, free, clear the handle. Refused from the download's own
 * callback (it would wait for itself). */
void KVNetStopDownloadRecord(DevDownloadRecord** handle);
void KVNetStopDownloadPicture(DevDownloadRecord** handle);

/* Null when items, names, count or callback are missing or the item kind is not 1 or 2. */
DownloadRecord* KVNetStartDownloadByFile(DevConnection* session, const KVNetDownloadByFileParam* param);
/* Null when the total size is 0 or the callback is missing. */
DownloadRecord* KVNetStartDownloadByTime(DevConnection* session, const KVNetDownloadByTimeParam* param);
void KVNetStopDownloadFile(DownloadRecord** handle);

#ifdef __cplusplus
} /* extern "C" */
#include <cstddef>
static_assert(sizeof(DownloadPathEntry) == 264, "");
static_assert(sizeof(DownloadFileEntry) == 584, "");
static_assert(offsetof(KVNetDownloadRecordParam, callback) == 24 && sizeof(KVNetDownloadRecordParam) == 40, "");
static_assert(offsetof(KVNetDownloadRecordExParam, nCount) == 24, "");
static_assert(offsetof(KVNetDownloadRecordExParam, callback) == 32 && sizeof(KVNetDownloadRecordExParam) == 48, "");
static_assert(offsetof(KVNetNewDownloadRecordParam, callback) == 32, "");
static_assert(offsetof(KVNetDownloadByFileParam, pItems) == 16, "");
static_assert(offsetof(KVNetDownloadByFileParam, callback) == 40, "");
static_assert(offsetof(KVNetDownloadByFileParam, pBackup) == 64, "");
static_assert(offsetof(KVNetDownloadByTimeParam, Start) == 16, "");
static_assert(offsetof(KVNetDownloadByTimeParam, szName) == 32, "");
static_assert(offsetof(KVNetDownloadByTimeParam, nEndCount) == 288, "");
static_assert(offsetof(KVNetDownloadByTimeParam, nTotalSize) == 296, "");
static_assert(offsetof(KVNetDownloadByTimeParam, pBackup) == 328, "");
#endif

#endif
