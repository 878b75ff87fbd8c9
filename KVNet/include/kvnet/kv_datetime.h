/* The 8-byte calendar time of record requests and record items. Included by the headers
 * that carry one; the client converts to it from UTC. */
#ifndef KV_DATETIME_H
#define KV_DATETIME_H

#include <stdint.h>

#ifndef KV_DATETIME_DEFINED
#define KV_DATETIME_DEFINED
typedef struct DateTime {
    uint16_t year;      /* 0 */
    uint8_t  month;     /* 2: 1-12 */
    uint8_t  day;       /* 3 */
    uint8_t  hour;      /* 4 */
    uint8_t  minute;    /* 5 */
    uint8_t  second;    /* 6 */
    uint8_t  reserved;  /* 7 */
} DateTime;
#endif

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(DateTime) == 8, "");
static_assert(offsetof(DateTime, month) == 2, "");
static_assert(offsetof(DateTime, second) == 6, "");
#endif

#endif
