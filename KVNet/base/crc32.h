// CRC-32 of the firmware upgrade: the reflected polynomial 0xEDB88320 (the table of the
// common CRC-32), but the register starts where the caller says (0 for the upgrade) and
// gets no final exclusive-or. Equals zlib's crc32(data, crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF,
// so a running value can be continued piece by piece.
#pragma once
#include <cstddef>
#include <cstdint>

uint32_t kv_crc32_update(uint32_t crc, const void* data, size_t len);
