// Bare frame records read by CBaseRecordFile: first two bytes choose the buffer capacity,
// the rest is the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "base_record_file.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    int capacity = 1 + ((data[0] | (data[1] << 8)) & 0x3FFF) * 4;
    FuzzInputFile file(data + 2, size - 2);
    if (!file.ok())
        return 0;
    CBaseRecordFile r;
    if (r.Open(file.path(), true) != 0)
        return 0;
    std::vector<uint8_t> buf((size_t)capacity);
    for (int i = 0; i < 4096; i++) {
        int n = capacity;
        if (r.ReadFrame(buf.data(), n) != 0)
            break;
        if (n < 40 || n > capacity)
            __builtin_trap();
        KVFrameHead h;
        memcpy(&h, buf.data(), 40);
        if (h.Magic != KV_FRAME_MAGIC || KVFrameRecordLength(h.FrameSize) != (uint64_t)n)
            __builtin_trap();
    }
    return 0;
}
