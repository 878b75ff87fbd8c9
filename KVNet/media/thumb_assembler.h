// The answers of a thumbnail connection from its packs: a result record (PackType 5)
// announces the picture frame that follows (or none); the frame's packs are reassembled
// without a key-frame wait. A picture whose size differs from its record's, or one
// without a record before it, is a faulty answer: its item is reported as failed and the
// connection goes on.
//
// Threads: owned by one receiving loop.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_buf.h"
#include "msg_types.h"

namespace kvstills {

struct ThumbAnswer {
    bool faulty = false;
    uint8_t rsp[112] = {};          // the record, zero-extended
    std::vector<uint8_t> frame;     // head and payload; empty: no picture
};

class ThumbAssembler {
public:
    // rspSize: 112 (playback) or 40 (channels); sizeAt: offset of the u32 frame length
    // inside the record (4 or 12).
    ThumbAssembler(size_t rspSize, size_t sizeAt) : rspSize_(rspSize), sizeAt_(sizeAt) {}

    enum Event { kNone, kEnd };
    // Takes one pack; completed answers are appended to out. kEnd: PackType 3.
    Event Add(const PackBuf& pack, std::vector<ThumbAnswer>& out);

private:
    size_t rspSize_;
    size_t sizeAt_;
    bool held_ = false;
    ThumbAnswer pending_;
    FrameBuf fb_{false};
};

} // namespace kvstills
