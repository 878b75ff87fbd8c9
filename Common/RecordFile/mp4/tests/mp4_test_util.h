// Frame builders and file helpers shared by the MP4 tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace mp4test {

inline void le16(std::vector<uint8_t>& f, size_t at, uint16_t v) { f[at] = uint8_t(v); f[at + 1] = uint8_t(v >> 8); }
inline void le32(std::vector<uint8_t>& f, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
}
inline void le64(std::vector<uint8_t>& f, size_t at, uint64_t v)
{
    for (int i = 0; i < 8; ++i) f[at + i] = uint8_t(v >> (8 * i));
}

// A frame: 40-byte head and payload.
inline std::vector<uint8_t> frame(char type, int encode, uint64_t time_us, const std::vector<uint8_t>& payload,
                                  uint32_t no = 0)
{
    std::vector<uint8_t> f(40 + payload.size(), 0);
    std::memcpy(f.data(), "KVFm", 4);
    f[4] = uint8_t(type);
    f[5] = uint8_t(encode);
    le32(f, 8, no);
    le32(f, 12, uint32_t(payload.size()));
    le64(f, 16, time_us);
    std::memcpy(f.data() + 40, payload.data(), payload.size());
    return f;
}

inline std::vector<uint8_t> video(char type, uint64_t time_us, const std::vector<uint8_t>& payload,
                                  int encode = 2, uint16_t w = 352, uint16_t h = 288)
{
    std::vector<uint8_t> f = frame(type, encode, time_us, payload);
    le16(f, 32, w);
    le16(f, 34, h);
    f[36] = 25;
    return f;
}

inline std::vector<uint8_t> audio(int encode, uint64_t time_us, const std::vector<uint8_t>& payload,
                                  uint32_t rate = 8000, uint8_t bits = 16, uint16_t block = 0)
{
    std::vector<uint8_t> f = frame('A', encode, time_us, payload);
    le32(f, 32, rate);
    f[36] = 1;
    f[37] = bits;
    le16(f, 38, block);
    return f;
}

// Annex-B units with 4-byte start codes.
inline std::vector<uint8_t> annexb(const std::vector<std::vector<uint8_t>>& units, int code = 4)
{
    std::vector<uint8_t> out;
    for (const auto& u : units) {
        if (code == 4) out.push_back(0);
        out.insert(out.end(), {0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

inline std::vector<uint8_t> bytes_of(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + 1) | 1; // never a start code
    return v;
}

inline std::string temp_path(const std::string& stem)
{
    static int n = 0;
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/kvmp4_" + std::to_string(getpid()) + "_" +
           std::to_string(n++) + "_" + stem;
}

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

inline uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }

// Offset of the first box of the given type among the boxes at [start, end), or -1.
inline long find_box(const std::vector<uint8_t>& f, const char* type, size_t start = 0, size_t end = 0)
{
    if (!end) end = f.size();
    for (size_t at = start; at + 8 <= end;) {
        uint64_t size = be32(&f[at]);
        if (std::memcmp(&f[at + 4], type, 4) == 0) return long(at);
        if (size == 1) size = (uint64_t(be32(&f[at + 8])) << 32) | be32(&f[at + 12]);
        if (size < 8) return -1;
        at += size;
    }
    return -1;
}

// Depth-first search through the containers the writer produces.
inline long find_deep(const std::vector<uint8_t>& f, const char* type, size_t start = 0, size_t end = 0)
{
    static const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "dinf", "stbl"};
    if (!end) end = f.size();
    for (size_t at = start; at + 8 <= end;) {
        uint64_t size = be32(&f[at]);
        if (size == 1) size = (uint64_t(be32(&f[at + 8])) << 32) | be32(&f[at + 12]);
        if (size < 8 || at + size > end) return -1;
        if (std::memcmp(&f[at + 4], type, 4) == 0) return long(at);
        for (const char* c : kContainers)
            if (std::memcmp(&f[at + 4], c, 4) == 0) {
                long r = find_deep(f, type, at + 8, at + size);
                if (r >= 0) return r;
            }
        at += size;
    }
    return -1;
}

} // namespace mp4test
