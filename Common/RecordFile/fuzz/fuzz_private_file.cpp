// The private container's reader: open (with or without the password check), read every
// frame, seek by time and by key-frame index, read again. Byte 0 picks the options.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz_input_file.h"
#include "private_record_file.h"

namespace {

void ReadSome(CKVPrivateRecordFile& r, std::vector<uint8_t>& buf, int frames)
{
    for (int i = 0; i < frames; i++) {
        int n = (int)buf.size();
        if (r.ReadFrame(buf.data(), n) != 0)
            return;
        if (n < 40 || n > (int)buf.size())
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t opt = data[0];
    FuzzInputFile file(data + 1, size - 1);
    if (!file.ok())
        return 0;
    const char* password = (opt & 1) ? "pw" : ((opt & 2) ? "" : nullptr);
    CKVPrivateRecordFile r;
    if (r.Open(file.path(), true, password, (opt & 4) != 0) != 0)
        return 0;
    std::vector<uint8_t> buf((opt & 8) ? 256 : 1 << 16);
    ReadSome(r, buf, 2048);
    uint64_t first = 0, last = 0;
    r.GetTimeRange(first, last);
    int keys = r.GetKeyFrameCount();
    if (keys < 0 || (size_t)keys != r.Index().size())
        __builtin_trap();
    const uint64_t times[] = {0, first, last, (first + last) / 2, last + 1, ~0ull};
    for (uint64_t t : times) {
        r.SeekByTime(t);
        ReadSome(r, buf, 3);
    }
    for (int k = -1; k <= keys && k < 64; k++) {
        r.SeekByKeyFrameIndex(k);
        ReadSome(r, buf, 2);
    }
    return 0;
}
