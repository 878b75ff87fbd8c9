// Firmware images for the upgrade tests: part files (types 3 and 6) with a head, a part
// table and the parts' data, and plain images (types 4, 5 and 7). The check value is
// computed bit by bit here, apart from the client's table-driven CRC.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kvtest {

inline uint32_t BitwiseCrc(uint32_t crc, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

inline void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v)
{
    memcpy(b.data() + off, &v, 4);
}

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<uint8_t>(x);
    }
    return v;
}

struct FwPart {
    size_t size;
    uint32_t bit; // bit number in the wanted-parts mask (written as given)
};

// A part file. The parts' data follows the table in order, each a distinct pattern.
inline std::vector<uint8_t> BuildPartFile(const std::vector<FwPart>& parts, bool goodCheck = true)
{
    const size_t head = 276, row = 92;
    size_t total = head + row * parts.size();
    for (const auto& p : parts)
        total += p.size;
    std::vector<uint8_t> f = Pattern(total, 7); // head and table filler is passed on as is
    PutU32(f, 0, 0x4657564B);                   // any leading word
    PutU32(f, 8, 0x00010203);
    PutU32(f, 12, static_cast<uint32_t>(parts.size()));
    size_t off = head + row * parts.size();
    for (size_t i = 0; i < parts.size(); ++i) {
        const size_t r = head + row * i;
        PutU32(f, r + 8, static_cast<uint32_t>(off));
        PutU32(f, r + 12, static_cast<uint32_t>(parts[i].size));
        PutU32(f, r + 16, parts[i].bit);
        off += parts[i].size;
    }
    uint32_t c = BitwiseCrc(0, f.data(), 4);
    c = BitwiseCrc(c, f.data() + 8, f.size() - 8);
    PutU32(f, 4, goodCheck ? c : c ^ 1);
    return f;
}

// Re-computes the check value after a test edited an image.
inline void FixCheck(std::vector<uint8_t>& f)
{
    uint32_t c = BitwiseCrc(0, f.data(), 4);
    c = BitwiseCrc(c, f.data() + 8, f.size() - 8);
    PutU32(f, 4, c);
}

inline bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream o(path, std::ios::binary | std::ios::trunc);
    o.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(o);
}

} // namespace kvtest
