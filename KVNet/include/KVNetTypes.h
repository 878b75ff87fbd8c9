/* Records of the flat KVNet interface that other libraries (the ONVIF client, the tool)
 * take and fill as well. Layouts are fixed: they travel on the wire or are shared
 * with callers compiled separately, so sizes and offsets are pinned below. */
#ifndef KVNET_TYPES_H
#define KVNET_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One device as its search reply carries it: 448 bytes, texts NUL-terminated. */
typedef struct SearchDevRsp {
    char     szIP[52];          /* 0x000 device IPv4 address, dotted text */
    char     szMask[16];        /* 0x034 subnet mask */
    char     szGateway[16];     /* 0x044 gateway */
    char     szExtraAddr1[16];  /* 0x054 carried into the re-addressing request */
    char     szExtraAddr2[16];  /* 0x064 carried into the re-addressing request */
    uint32_t nMediaPort;        /* 0x074 TCP port of the device protocol */
    uint32_t nWebPort;          /* 0x078 HTTP port */
    uint32_t nNetMode;          /* 0x07C 0 DHCP, 2 fixed */
    char     szDevName[28];     /* 0x080 text shown in the search table */
    uint8_t  carry[8];          /* 0x09C carried unchanged into re-addressing */
    char     szVersion[40];     /* 0x0A4 */
    char     szDevType[36];     /* 0x0CC */
    char     szMac[36];         /* 0x0F0 "xx-xx-xx-xx-xx-xx": identity of the device */
    uint32_t nChannelCount;     /* 0x114 */
    uint8_t  reserved0[2];      /* 0x118 */
    char     szP2PID[38];       /* 0x11A */
    char     szDevType2[34];    /* 0x140 */
    int8_t   nChannelCount8;    /* 0x162 applies when > 0 */
    uint8_t  reserved1[93];     /* 0x163 */
} SearchDevRsp;

typedef void (*KVNetSearchDevCallback)(const SearchDevRsp* rsp, void* user);

typedef struct KVNetSearchDevParam {
    KVNetSearchDevCallback callback; /* null record marks the end of the search */
    void*   user;
    uint8_t variant;                 /* search variant byte, 0 = standard */
} KVNetSearchDevParam;

typedef void (*KVNetMsgCallback)(unsigned code, void* user);
typedef void (*KVNetDataCallback)(unsigned type, const void* data, unsigned size, void* user);

/* A connection request. */
typedef struct KVNetConnectionParam {
    const char*       szAddr;       /* address text or host; device ID for login types != 0 */
    uint32_t          nPort;        /* media (protocol) port; > 65535 refused */
    const char*       szUser;
    const char*       szPwd;
    uint64_t          reserved64;
    uint32_t          reserved32;
    void*             pUser;
    uint8_t           bAutoReconnect;
    KVNetDataCallback dataCallback;
    uint8_t           bAlarmReport;
    KVNetMsgCallback  msgCallback;
    int32_t           nLoginType;
    const char*       szIDServer;
    uint8_t           nLoginFlag;
    uint8_t           nLoginVariant;
} KVNetConnectionParam;

/* Parameter query into caller buffers. */
typedef struct KVNetQueryParamParamEx {
    uint32_t    nParamType;
    const void* pReqData;       /* blob beginning with its own u32 length, or null */
    void*       pStruct;
    uint32_t    nStructSize;
    void*       pList;
    uint32_t    nElemSize;
    uint32_t    nListCapacity;  /* elements */
    uint32_t    nTimeoutMs;     /* 0 = 25000 */
} KVNetQueryParamParamEx;

/* Parameter change. */
typedef struct KVNetSetParamParam {
    uint32_t    nParamType;
    const void* pStruct;        /* begins with its own u32 size, or null */
    const void* pList;          /* elements each beginning with their u32 size */
    uint32_t    nListCount;     /* 0 = no list */
    uint32_t    nTimeoutMs;     /* 0 = 25000 */
} KVNetSetParamParam;

/* Network base settings, parameter type 511. Addresses in network byte order. */
typedef struct KVNet_NetworkBaseSet_t {
    uint32_t StructSize;        /* 0 */
    uint8_t  IPAddr[4];         /* 4 */
    uint8_t  NetMask[4];        /* 8 */
    uint8_t  Gateway[4];        /* 12 */
    uint8_t  reserved0[4];      /* 16 */
    uint32_t HttpPort;          /* 20 */
    uint8_t  AddrMode;          /* 24: 0 DHCP, 2 static */
    uint8_t  reserved1[243];    /* 25 */
    uint8_t  DhcpFlag;          /* 268: 1 when the address comes from DHCP */
    uint8_t  reserved2[11];     /* 269 */
} KVNet_NetworkBaseSet_t;


/* Coding of a frame's payload (KVFrameHead.EncodeType). Video and audio share the byte:
 * for video every value other than 7 and 8 means H.264. */
enum EncodeType {
    KV_ENCODE_H264 = 0,
    KV_ENCODE_H265 = 7,
    KV_ENCODE_H265_ALT = 8,

    KV_ENCODE_PCM = 0,
    KV_ENCODE_G711A = 1,
    KV_ENCODE_G711U = 2,
    KV_ENCODE_IMA_ADPCM = 3,
    KV_ENCODE_G726_16K = 4,
    KV_ENCODE_G726_24K = 5,
    KV_ENCODE_G726_32K = 6,
    KV_ENCODE_G726_40K = 7,
    KV_ENCODE_IMA_ADPCM_ALT = 35 /* '#' */
};

#define KV_FRAME_MAGIC 0x6D46564Bu /* "KVFm" read little-endian */
#define KV_FRAME_HEAD_SIZE 40
#define KV_FRAME_I 'I'
#define KV_FRAME_P 'P'
#define KV_FRAME_V 'V' /* virtual key frame: refers back to an earlier 'I' frame */
#define KV_FRAME_A 'A'
/* Flags field: bits 0-6 kept for the first key frame; bit 8 marks a key frame followed by
 * a virtual key frame that refers to it. */
#define KV_FRAME_FLAG_FIRSTKEY_MASK 0x007Fu
#define KV_FRAME_FLAG_REF_MARK 0x0100u

#pragma pack(push, 1)
typedef struct KVFrameVideoFormat {
    uint16_t Width;
    uint16_t Height;
    uint8_t  Fps;
    uint8_t  Reserved;
    uint16_t RefInfo; /* bits 2-12: for a 'V' frame, frame numbers back to its 'I' frame */
} KVFrameVideoFormat;

typedef struct KVFrameAudioFormat {
    uint32_t SampleRate;
    uint8_t  Channels;
    uint8_t  Bits;
    uint16_t BlockSize; /* bytes per block, 4-byte block head included */
} KVFrameAudioFormat;

/* The 40-byte head of every media frame, little-endian, followed by FrameSize payload bytes. */
typedef struct KVFrameHead {
    uint32_t Magic;      /* 0: "KVFm" */
    uint8_t  FrameType;  /* 4: 'I', 'P', 'V', 'A' */
    uint8_t  EncodeType; /* 5: enum EncodeType, or a picture format */
    uint16_t Flags;      /* 6 */
    uint32_t FrameNo;    /* 8 */
    uint32_t FrameSize;  /* 12: payload bytes after the head */
    uint64_t FrameTime;  /* 16: microseconds since 1970-01-01 00:00 UTC */
    uint64_t Reserved;   /* 24: carried unchanged */
    union {
        KVFrameVideoFormat Video;
        KVFrameAudioFormat Audio;
        uint8_t            Raw[8];
    } Format;            /* 32 */
} KVFrameHead;
#pragma pack(pop)

/* Frame numbers back from a 'V' frame to the 'I' frame it refers to. */
static inline uint32_t KVFrameRefDistance(const KVFrameHead* h)
{
    return (uint32_t)((h->Format.Video.RefInfo >> 2) & 0x7FFu);
}

static inline int KVEncodeIsH265(uint8_t encode)
{
    return encode == KV_ENCODE_H265 || encode == KV_ENCODE_H265_ALT;
}

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(SearchDevRsp) == 448, "SearchDevRsp is 448 bytes on the wire");
static_assert(offsetof(SearchDevRsp, szMask) == 0x034, "");
static_assert(offsetof(SearchDevRsp, szExtraAddr2) == 0x064, "");
static_assert(offsetof(SearchDevRsp, nMediaPort) == 0x074, "");
static_assert(offsetof(SearchDevRsp, szDevName) == 0x080, "");
static_assert(offsetof(SearchDevRsp, carry) == 0x09C, "");
static_assert(offsetof(SearchDevRsp, szVersion) == 0x0A4, "");
static_assert(offsetof(SearchDevRsp, szDevType) == 0x0CC, "");
static_assert(offsetof(SearchDevRsp, szMac) == 0x0F0, "");
static_assert(offsetof(SearchDevRsp, nChannelCount) == 0x114, "");
static_assert(offsetof(SearchDevRsp, szP2PID) == 0x11A, "");
static_assert(offsetof(SearchDevRsp, szDevType2) == 0x140, "");
static_assert(offsetof(SearchDevRsp, nChannelCount8) == 0x162, "");
static_assert(sizeof(KVNetConnectionParam) == 112, "connection request is 112 bytes");
static_assert(sizeof(KVNet_NetworkBaseSet_t) == 280, "");
static_assert(offsetof(KVNet_NetworkBaseSet_t, HttpPort) == 20, "");
static_assert(offsetof(KVNet_NetworkBaseSet_t, AddrMode) == 24, "");
static_assert(offsetof(KVNet_NetworkBaseSet_t, DhcpFlag) == 268, "");
static_assert(sizeof(KVFrameHead) == 40, "frame head is 40 bytes");
static_assert(offsetof(KVFrameHead, Magic) == 0, "");
static_assert(offsetof(KVFrameHead, FrameType) == 4, "");
static_assert(offsetof(KVFrameHead, EncodeType) == 5, "");
static_assert(offsetof(KVFrameHead, Flags) == 6, "");
static_assert(offsetof(KVFrameHead, FrameNo) == 8, "");
static_assert(offsetof(KVFrameHead, FrameSize) == 12, "");
static_assert(offsetof(KVFrameHead, FrameTime) == 16, "");
static_assert(offsetof(KVFrameHead, Reserved) == 24, "");
static_assert(offsetof(KVFrameHead, Format) == 32, "");
static_assert(offsetof(KVFrameHead, Format.Video.Width) == 32, "");
static_assert(offsetof(KVFrameHead, Format.Video.Height) == 34, "");
static_assert(offsetof(KVFrameHead, Format.Video.Fps) == 36, "");
static_assert(offsetof(KVFrameHead, Format.Video.Reserved) == 37, "");
static_assert(offsetof(KVFrameHead, Format.Video.RefInfo) == 38, "");
static_assert(offsetof(KVFrameHead, Format.Audio.SampleRate) == 32, "");
static_assert(offsetof(KVFrameHead, Format.Audio.Channels) == 36, "");
static_assert(offsetof(KVFrameHead, Format.Audio.Bits) == 37, "");
static_assert(offsetof(KVFrameHead, Format.Audio.BlockSize) == 38, "");
#endif

#endif /* KVNET_TYPES_H */
