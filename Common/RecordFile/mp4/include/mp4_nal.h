// NAL unit helpers of the MP4 writer and reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct nal_unit {
    const uint8_t* data;
    size_t len;
};

// Splits Annex-B data at every 3- or 4-byte start code; bytes before the first start code,
// zero bytes right behind a start code and zero bytes in front of the next one are no part of
// a unit, and empty units are left out.
std::vector<nal_unit> mp4_split_nal_units(const uint8_t* p, size_t n);

// Decoder configuration records from the start of a key frame. cut: the data were cut short,
// so the last unit is incomplete and is left out. Empty when no record can be built.
std::vector<uint8_t> mp4_build_avcc(const uint8_t* data, size_t len, bool cut = false);
std::vector<uint8_t> mp4_build_hvcc(const uint8_t* data, size_t len, bool cut = false);
