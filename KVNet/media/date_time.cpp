#include "date_time.h"

#include <ctime>

DateTime DateTime::FromMicros(uint64_t us)
{
    const time_t secs = static_cast<time_t>(us / 1000000u);
    tm t{};
    DateTime d;
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

bool DateTime::Valid() const
{
    static const uint8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

int64_t DateTime::ToSeconds() const
{
    if (!Valid())
        return -1;
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<int64_t>(timegm(&t));
}
