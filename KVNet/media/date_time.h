// Conversions of the 8-byte calendar time of record requests and replies (UTC). The record
// itself is the public one of the record queries, so the whole client has one DateTime.
#pragma once
#include <cstdint>

#include "kvnet/kv_datetime.h"

namespace kvmedia {
// Microseconds since 1970-01-01 00:00 UTC, cut to whole seconds; all zero when out of range.
DateTime DateTimeFromMicros(uint64_t us);
bool DateTimeValid(const DateTime& d);
// Seconds since 1970-01-01 00:00 UTC; -1 for a date that is not a calendar date.
int64_t DateTimeToSeconds(const DateTime& d);
} // namespace kvmedia
