// The login reply handling: the AckFlag outcome, the acceptance checks and the copies
// out of the stored block that KVNetGetDevInfo and KVNetGetDevInfoEx make.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "login_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    uint16_t ack, len;
    memcpy(&ack, data, 2);
    memcpy(&len, data + 2, 2);
    const bool probe = data[4] & 1;
    const uint8_t* payload = data + 5;
    const uint32_t n = static_cast<uint32_t>(size - 5);
    kvlogin::ForAck(ack, probe);
    if (kvlogin::CheckReply(payload, n) != kvlogin::Reply::Accepted)
        return 0;
    static uint8_t stored[kvlogin::kMaxReply];
    memcpy(stored, payload, n);
    const int want = len % 4000 + 1;
    std::vector<uint8_t> dst(static_cast<size_t>(want));
    kvlogin::CopyDevInfo(stored, static_cast<int>(n), dst.data(), want);
    kvlogin::CopyDevInfoEx(stored, static_cast<int>(n), dst.data(), want);
    return 0;
}
