#include "frame_buf.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr uint32_t kSlotLarge = 8192;
constexpr uint32_t kSlotSmall = 1400;

bool IsKey(uint8_t type) { return type == KV_FRAME_I || type == KV_FRAME_V; }
} // namespace

FrameBuf::FrameBuf(bool videoWait) : videoWait_(videoWait), bits_(65536 / 64, 0) {}

FrameBuf::~FrameBuf()
{
    std::free(buf_);
}

bool FrameBuf::Grow(uint32_t needed)
{
    if (cap_ >= 0 && static_cast<uint32_t>(cap_) >= needed)
        return true;
    std::free(buf_);
    buf_ = static_cast<uint8_t*>(std::malloc(needed));
    ++allocs_;
    if (!buf_) {
        cap_ = 0;
        return false;
    }
    cap_ = static_cast<int32_t>(needed);
    // A frame whose first pack never came must not read stale or unset bytes as a head.
    std::memset(buf_, 0, kvmsg::kFrameHeadSize);
    return true;
}

// The current frame is given up. An incomplete key frame spoils what depends on it; so
// does one whose first pack (and with it the frame type) never came.
void FrameBuf::Abandon()
{
    if (!done_ && missing_ > 0 && videoWait_) {
        if (!HasPack(0) || IsKey(head()->FrameType))
            waitKey_ = true;
    }
    done_ = true;
    completed_ = false;
}

bool FrameBuf::AddPack(const PackBuf& pack, bool check)
{
    const PackHead& h = pack.head;
    if (h.PackType != 0) {
        Abandon();
        if (videoWait_)
            waitKey_ = true;
        return false;
    }
    // The receive checks refuse these; a buffer must not rely on that.
    if (h.PackNum == 0 || h.PackNo >= h.PackNum || h.PackSize > kvmsg::kPackData)
        return false;
    const uint32_t slot = (h.flags & 0x03u) ? kSlotLarge : kSlotSmall;

    if (h.FrameNo != frameId_ || done_) {
        // A repeat of a pack of the frame just completed (a duplicated datagram) is not a
        // new frame. Audio and video may share frame ids, so only the same bytes at the
        // same place count as a repeat.
        if (done_ && completed_ && h.FrameNo == frameId_ && h.PackNum == packNum_ && slot == slot_ &&
            HasPack(h.PackNo) && static_cast<uint64_t>(h.PackNo) * slot + h.PackSize <= static_cast<uint64_t>(cap_) &&
            std::memcmp(buf_ + static_cast<size_t>(h.PackNo) * slot, pack.data + h.ext_len(), h.PackSize) == 0)
            return false;
        Abandon();
        uint64_t needed = (static_cast<uint64_t>(h.PackNum) * slot + 65535u) & ~uint64_t{65535};
        if (needed > kMaxBytes)
            needed = kMaxBytes;
        if (!Grow(static_cast<uint32_t>(needed)))
            return false;
        done_ = false;
        completed_ = false;
        frameId_ = h.FrameNo;
        packNum_ = missing_ = h.PackNum;
        bytes_ = 0;
        slot_ = slot;
        std::memset(bits_.data(), 0, ((h.PackNum + 63u) / 64u) * sizeof(uint64_t));
    } else if (h.PackNum != packNum_ || slot != slot_) {
        // A pack that disagrees with its frame's first one: the frame cannot be trusted.
        Abandon();
        return false;
    }
    if (!buf_)
        return false;
    if (HasPack(h.PackNo))
        return false; // a repeat never fills a hole
    const uint64_t end = static_cast<uint64_t>(h.PackNo) * slot + h.PackSize;
    if (end > static_cast<uint64_t>(cap_)) {
        Abandon();
        return false;
    }
    std::memcpy(buf_ + static_cast<size_t>(h.PackNo) * slot, pack.data + h.ext_len(), h.PackSize);
    bits_[h.PackNo >> 6] |= uint64_t{1} << (h.PackNo & 63);
    bytes_ += h.PackSize;
    if (--missing_ > 0)
        return false;
    if (!check)
        return true;
    done_ = true;
    completed_ = true;
    const KVFrameHead* fh = head();
    if (bytes_ <= kvmsg::kFrameHeadSize || bytes_ < static_cast<uint64_t>(fh->FrameSize) + kvmsg::kFrameHeadSize) {
        // A short audio frame spoils no picture.
        if (videoWait_ && fh->FrameType != KV_FRAME_A)
            waitKey_ = true;
        return false;
    }
    if (!waitKey_ || !videoWait_)
        return true;
    if (fh->FrameType == KV_FRAME_A)
        return true; // the wait concerns video only
    if (IsKey(fh->FrameType)) {
        waitKey_ = false;
        return true;
    }
    return false;
}
