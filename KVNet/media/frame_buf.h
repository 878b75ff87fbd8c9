// Reassembly of media frames from their packs. Packs are placed by their index, so they
// may arrive in any order; the assembled frame (40-byte head, then payload) lies in one
// buffer that is reused for every following frame.
//
// Threads: one receiving loop owns a FrameBuf; nothing in it is shared.
#pragma once
#include <cstdint>
#include <vector>

#include "KVNetTypes.h"
#include "msg_types.h"

class FrameBuf {
public:
    // The largest reassembly buffer: a frame announcing more packs than fit is cut there,
    // and a pack beyond it abandons its frame.
    static constexpr uint32_t kMaxBytes = 16u << 20;

    // videoWait false: a stream without video (talk, pictures) never waits for a key frame.
    explicit FrameBuf(bool videoWait = true);
    ~FrameBuf();
    FrameBuf(const FrameBuf&) = delete;
    FrameBuf& operator=(const FrameBuf&) = delete;

    // Takes one received pack; true exactly when this pack completed a frame to hand on.
    // check false: no size and key-frame checks (the frame stays open for late packs).
    bool AddPack(const PackBuf& pack, bool check);

    const uint8_t* data() const { return buf_; }
    const KVFrameHead* head() const { return reinterpret_cast<const KVFrameHead*>(buf_); }
    uint32_t size() const { return bytes_; }
    int32_t capacity() const { return cap_; }
    bool waiting() const { return waitKey_; }
    // Buffer allocations so far (tests and benchmarks: none per pack once warm).
    unsigned allocations() const { return allocs_; }

private:
    void Abandon();
    bool Grow(uint32_t needed);
    bool HasPack(uint16_t no) const { return (bits_[no >> 6] >> (no & 63)) & 1u; }

    uint8_t* buf_ = nullptr;
    int32_t cap_ = 0;
    bool done_ = true;
    bool completed_ = false;   // done because the frame was complete (not given up)
    uint32_t frameId_ = 0;
    uint16_t packNum_ = 0;
    uint16_t missing_ = 0;
    uint32_t bytes_ = 0;
    uint32_t slot_ = 0;
    bool waitKey_ = false;
    bool videoWait_;
    unsigned allocs_ = 0;
    std::vector<uint64_t> bits_;  // packs received of the current frame, by index
};
