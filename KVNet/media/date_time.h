// The 8-byte calendar time of record requests and replies (UTC).
#pragma once
#include <cstdint>

#pragma pack(push, 1)
struct DateTime {
    uint16_t year = 0;
    uint8_t month = 0; // 1-12
    uint8_t day = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    uint8_t reserved = 0;

    // Microseconds since 1970-01-01 00:00 UTC, cut to whole seconds.
    static DateTime FromMicros(uint64_t us);
    // Seconds since 1970-01-01 00:00 UTC; -1 for a date that is not a calendar date.
    int64_t ToSeconds() const;
    bool Valid() const;
};
#pragma pack(pop)
static_assert(sizeof(DateTime) == 8, "DateTime is 8 bytes on the wire");
