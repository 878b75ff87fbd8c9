// A search reply datagram to a 448-byte record. The first 6 input bytes choose the
// request (MsgType, Seq) it is matched against; the rest is the datagram. The
// datagram is copied to a buffer of its exact size so any over-read is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "search_collector.h"
#include "search_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    uint16_t type;
    uint32_t seq;
    memcpy(&type, data, 2);
    memcpy(&seq, data + 2, 4);
    const MsgHeadWrap req = kv_search_request(type, seq);
    std::vector<uint8_t> dg(data + 6, data + size);
    SearchDevRsp rec;
    if (kv_search_reply_to_record(dg.data(), dg.size(), req, &rec)) {
        // A matched record goes through de-duplication like a delivered one.
        std::vector<SearchDevRsp> list = {rec, rec};
        kv_search_dedup(list);
        if (list.size() != 1)
            __builtin_trap();
    }
    return 0;
}
