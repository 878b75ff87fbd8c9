// One received datagram through the ProbeMatches parser and the conversion to a record.
#include <stdint.h>
#include <string.h>

#include "kvonvif_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvonvif::probe_parser parser;   // reused across datagrams, as in a search
    SearchDevRsp rec;
    memset(&rec, 0, sizeof rec);
    if (parser.parse(reinterpret_cast<const char*>(data), size, &rec) == kvonvif::probe_parser::usable) {
        // The record's texts must be terminated within their fields.
        if (strnlen(rec.szIP, sizeof rec.szIP) == sizeof rec.szIP ||
            strnlen(rec.szMac, sizeof rec.szMac) == sizeof rec.szMac ||
            strnlen(rec.szDevType, sizeof rec.szDevType) == sizeof rec.szDevType || rec.nWebPort == 0 ||
            rec.nWebPort > 65535)
            __builtin_trap();
    }
    return 0;
}
