// Matching a re-addressing answer. Input: 16 bytes of token (not necessarily
// terminated), 6 bytes of request (MsgType, Seq), then the answer datagram, copied to
// a buffer of its exact size. The result must be one of the three documented values.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "search_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 22)
        return 0;
    char token[16];
    memcpy(token, data, 16);
    MsgHeadWrap req;
    memcpy(&req.MsgType, data + 16, 2);
    memcpy(&req.Seq, data + 18, 4);
    std::vector<uint8_t> dg(data + 22, data + size);
    const int r = kv_readdress_match(dg.data(), dg.size(), req, token);
    if (r != 0 && r != -1 && r != -2)
        __builtin_trap();
    return 0;
}
