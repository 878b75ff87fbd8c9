// Wire records of the device protocol: the 16-byte message head, a received message,
// the 12-byte media pack head and a received pack. Little-endian on the wire; the
// structures are read and written in place, so the host must be little-endian too.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "wire records are little-endian");

#pragma pack(push, 1)
struct MsgHeadWrap {
    uint8_t  flags = 0;        // bits 0-1 security (0 plain, 2 scrambled); & 0xFC = extension length
    uint8_t  second = 0;
    uint16_t AckFlag = 0;
    uint16_t MsgType = 0;
    uint16_t MsgSubType = 0;
    uint32_t MsgSize = 0;      // body bytes
    uint32_t Seq = 0;

    unsigned security() const { return flags & 0x03u; }
    unsigned ext_len() const { return flags & 0xFCu; }
};
static_assert(sizeof(MsgHeadWrap) == 16, "message head is 16 bytes");

struct PackHead {
    uint8_t  flags = 0;        // & 0xFC = extension length; bits 0-1: reassembly slot size
    uint8_t  PackType = 0;     // 0 = data pack of a media frame
    uint16_t PackNum = 0;
    uint32_t FrameNo = 0;
    uint16_t PackNo = 0;
    uint16_t PackSize = 0;

    unsigned ext_len() const { return flags & 0xFCu; }
};
static_assert(sizeof(PackHead) == 12, "pack head is 12 bytes");
#pragma pack(pop)

namespace kvmsg {
constexpr uint32_t kInlineBody = 102400;        // bodies up to this size need no allocation
constexpr uint32_t kMaxBody = 0x1000000;        // 16 MiB: the largest body accepted
constexpr uint32_t kProbeTrailerSize = 272;
constexpr uint16_t kTypeEnvelope = 10003;
constexpr uint32_t kPackData = 8192;            // largest pack payload
constexpr uint32_t kPackDatagram = 8460;        // largest pack datagram
constexpr uint32_t kFramePack = 1400;           // payload bytes per pack sent
constexpr size_t kFrameHeadSize = 40;
constexpr size_t kFrameSizeOffset = 12;         // u32 payload size inside the frame head
constexpr size_t kFrameNoOffset = 8;            // u32 frame number inside the frame head
}

// One received message. The body is the heap block when one was needed, else the inline
// area after the extension. Owns its heap block.
struct MsgBuf {
    MsgHeadWrap head;
    uint8_t inl[kvmsg::kInlineBody];
    uint8_t* heap = nullptr;
    uint32_t heapSize = 0;

    MsgBuf() = default;
    ~MsgBuf() { free_heap(); }
    MsgBuf(const MsgBuf&) = delete;
    MsgBuf& operator=(const MsgBuf&) = delete;

    void free_heap()
    {
        std::free(heap);
        heap = nullptr;
        heapSize = 0;
    }
    void clear()
    {
        free_heap();
        head = MsgHeadWrap{};
    }
    uint8_t* ext() { return inl; }
    uint8_t* body() { return heap ? heap : inl + head.ext_len(); }
    const uint8_t* body() const { return heap ? heap : inl + head.ext_len(); }
    uint32_t body_size() const { return head.MsgSize; }
};

// One received media pack.
struct PackBuf {
    PackHead head;
    uint8_t data[kvmsg::kPackDatagram - sizeof(PackHead)]; // extension, then data

    uint8_t* payload() { return data + head.ext_len(); }
};
