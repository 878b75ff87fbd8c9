// Record times and list items for the record tests.
#pragma once

#include "kvnet/KVNetRecordQuery.h"

namespace kvrectest {

inline DateTime Dt(int y, int mo, int d, int h, int mi, int s)
{
    DateTime t{};
    t.year = static_cast<uint16_t>(y);
    t.month = static_cast<uint8_t>(mo);
    t.day = static_cast<uint8_t>(d);
    t.hour = static_cast<uint8_t>(h);
    t.minute = static_cast<uint8_t>(mi);
    t.second = static_cast<uint8_t>(s);
    return t;
}

// A time on the simulator's recording day, 2024-03-10.
inline DateTime At(int h, int m, int s, int day = 10)
{
    return Dt(2024, 3, day, h, m, s);
}

// One list item as a 28-byte record query answers it.
inline RecordDetailRsp Item(DateTime s, DateTime e, uint32_t size = 1000000, uint32_t attributes = 0)
{
    RecordDetailRsp r{};
    r.StructSize = 28;
    r.Start = s;
    r.End = e;
    r.Attributes = attributes;
    r.Size = size;
    return r;
}

} // namespace kvrectest
