#include "thumb_assembler.h"

#include <algorithm>
#include <cstring>

namespace kvstills {

ThumbAssembler::Event ThumbAssembler::Add(const PackBuf& pack, std::vector<ThumbAnswer>& out)
{
    const PackHead& h = pack.head;
    if (h.PackType == 3)
        return kEnd;
    if (h.PackType == 5) {
        if (h.PackSize > kvmsg::kPackData || h.ext_len() + h.PackSize > sizeof pack.data)
            return kNone;
        const uint8_t* p = pack.data + h.ext_len();
        if (held_) {
            // The record before it never got its picture.
            pending_.faulty = true;
            out.push_back(std::move(pending_));
            held_ = false;
        }
        ThumbAnswer a;
        uint32_t declared = h.PackSize;
        if (h.PackSize >= 4)
            std::memcpy(&declared, p, 4);
        const size_t n = std::min<size_t>({declared, rspSize_, h.PackSize});
        std::memcpy(a.rsp, p, n);
        uint32_t picSize = 0;
        std::memcpy(&picSize, a.rsp + sizeAt_, 4);
        if (picSize == 0) {
            out.push_back(std::move(a));
        } else {
            pending_ = std::move(a);
            held_ = true;
        }
        return kNone;
    }
    if (!fb_.AddPack(pack, true))
        return kNone;
    const uint32_t length = static_cast<uint32_t>(kvmsg::kFrameHeadSize) + fb_.head()->FrameSize;
    if (!held_) {
        ThumbAnswer a;
        a.faulty = true; // a picture without its record
        out.push_back(std::move(a));
        return kNone;
    }
    held_ = false;
    uint32_t picSize = 0;
    std::memcpy(&picSize, pending_.rsp + sizeAt_, 4);
    if (picSize != length || fb_.size() < length)
        pending_.faulty = true;
    else
        pending_.frame.assign(fb_.data(), fb_.data() + length);
    out.push_back(std::move(pending_));
    pending_ = ThumbAnswer{};
    return kNone;
}

} // namespace kvstills
