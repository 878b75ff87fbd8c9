// AVI_repair over any file, then the repaired file through the reader.
#include <stdint.h>

#include <vector>

#include "avi_record_file.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInputFile file(data, size);
    if (!file.ok())
        return 0;
    if (AVI_repair(file.path()) != 0)
        return 0;
    // A repaired file is repaired: a second run changes nothing and succeeds.
    if (AVI_repair(file.path()) != 0)
        __builtin_trap();
    CKVAVIRecordFile r;
    if (r.Open(file.path(), true) != 0)
        return 0;
    std::vector<uint8_t> buf(1 << 16);
    for (int i = 0; i < 4096; i++) {
        int n = (int)buf.size();
        if (r.ReadFrame(buf.data(), n) != 0 && r.Handle()->pos + 8 > r.Handle()->fileSize)
            break;
    }
    return 0;
}
