// The playback's receive path: packs from a socket through reassembly, the signal packs
// (repositions, end of data, end of the key-frame run) and the data callback, in both modes.
#include <cstdint>
#include <cstring>

#include "dev_record_play.h"
#include "fuzz_socketpair.h"

namespace {
uint32_t gSum;

bool OnData(const KVFrameHead* f, uint32_t size, void*)
{
    if (!f)
        return false;
    // Read every byte the callback was promised.
    const auto* p = reinterpret_cast<const volatile uint8_t*>(f);
    for (uint32_t i = 0; i < size; ++i)
        gSum += p[i];
    return (size & 1) != 0;
}

void OnMsg(unsigned code, void*)
{
    gSum += code;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    KVNetRecordPlayParamEx p{};
    p.base.dataCallback = &OnData;
    p.base.msgCallback = &OnMsg;
    p.base.bAnnounce = data[0] & 1;
    const auto mode = (data[0] & 2) ? DevRecordPlay::kCapture : DevRecordPlay::kPlayback;
    DevRecordPlay play(nullptr, p, mode);
    FedWrapper w(data + 1, size - 1, true);
    play.FeedPacks(w.get());
    return 0;
}
