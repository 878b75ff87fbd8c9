#include "date_time.h"

#include <ctime>

namespace kvmedia {

DateTime DateTimeFromMicros(uint64_t us)
{
    const time_t secs = static_cast<time_t>(us / 1000000u);
    tm t{};
    DateTime d{};
    if (!gmtime_r(&secs, &t) || t.tm_year + 1900 > 0xFFFF)
        return d;
    d.year = static_cast<uint16_t>(t.tm_year + 1900);
    d.month = static_cast<uint8_t>(t.tm_mon + 1);
    d.day = static_cast<uint8_t>(t.tm_mday);
    d.hour = static_cast<uint8_t>(t.tm_hour);
    d.minute = static_cast<uint8_t>(t.tm_min);
    d.second = static_cast<uint8_t>(t.tm_sec);
    return d;
}

bool DateTimeValid(const DateTime& d)
{
    static const uint8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d.year < 1970 || d.month < 1 || d.month > 12 || d.day < 1 || d.hour > 23 || d.minute > 59 || d.second > 59)
        return false;
    const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
    return d.day <= kDays[d.month - 1] + (d.month == 2 && leap ? 1 : 0);
}

int64_t DateTimeToSeconds(const DateTime& d)
{
    if (!DateTimeValid(d))
        return -1;
    tm t{};
    t.tm_year = d.year - 1900;
    t.tm_mon = d.month - 1;
    t.tm_mday = d.day;
    t.tm_hour = d.hour;
    t.tm_min = d.minute;
    t.tm_sec = d.second;
    return static_cast<int64_t>(timegm(&t));
}

} // namespace kvmedia
