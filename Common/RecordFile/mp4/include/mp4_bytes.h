// Big-endian byte helpers: a growing box buffer and a bounded reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// The serialised bytes of one box. Starts with room for the box's usual size and grows
// only for tables; what was written stays in place when it grows.
class atom_buffer {
public:
    explicit atom_buffer(size_t builtin = 0) { m_data.reserve(builtin); }
    void clear() { m_data.clear(); }
    size_t size() const { return m_data.size(); }
    const uint8_t* data() const { return m_data.data(); }
    uint8_t* data() { return m_data.data(); }
    void resize(size_t n) { m_data.resize(n); }
    void u8(uint8_t v) { m_data.push_back(v); }
    void u16(uint16_t v) { u8(uint8_t(v >> 8)); u8(uint8_t(v)); }
    void u32(uint32_t v) { u16(uint16_t(v >> 16)); u16(uint16_t(v)); }
    void u64(uint64_t v) { u32(uint32_t(v >> 32)); u32(uint32_t(v)); }
    void bytes(const void* p, size_t n)
    {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        m_data.insert(m_data.end(), b, b + n);
    }
    void zeros(size_t n) { m_data.insert(m_data.end(), n, 0); }
    void fourcc(const char* t) { bytes(t, 4); }
    // Box header with a size placeholder that update_size fills in later.
    void header(const char* type) { u32(0); fourcc(type); }
    void full_header(const char* type, uint8_t version, uint32_t flags)
    {
        header(type);
        u32((uint32_t(version) << 24) | (flags & 0xFFFFFF));
    }
    void set_u32(size_t at, uint32_t v)
    {
        m_data[at] = uint8_t(v >> 24);
        m_data[at + 1] = uint8_t(v >> 16);
        m_data[at + 2] = uint8_t(v >> 8);
        m_data[at + 3] = uint8_t(v);
    }

private:
    std::vector<uint8_t> m_data;
};

// Reads big-endian fields from a block it never leaves; a read past the end yields 0 and
// clears ok(), so a parser checks once at the end of a record.
class byte_reader {
public:
    byte_reader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool ok() const { return m_ok; }
    size_t pos() const { return m_pos; }
    size_t left() const { return m_n - m_pos; }
    bool need(size_t n)
    {
        if (!m_ok || n > left()) {
            m_ok = false;
            return false;
        }
        return true;
    }
    uint8_t u8() { return need(1) ? m_p[m_pos++] : 0; }
    uint16_t u16()
    {
        if (!need(2)) return 0;
        uint16_t v = uint16_t((m_p[m_pos] << 8) | m_p[m_pos + 1]);
        m_pos += 2;
        return v;
    }
    uint32_t u32()
    {
        if (!need(4)) return 0;
        uint32_t v = (uint32_t(m_p[m_pos]) << 24) | (uint32_t(m_p[m_pos + 1]) << 16) |
                     (uint32_t(m_p[m_pos + 2]) << 8) | m_p[m_pos + 3];
        m_pos += 4;
        return v;
    }
    uint64_t u64()
    {
        uint64_t hi = u32();
        return (hi << 32) | u32();
    }
    void skip(size_t n)
    {
        if (need(n)) m_pos += n;
    }
    const uint8_t* take(size_t n)
    {
        if (!need(n)) return nullptr;
        const uint8_t* r = m_p + m_pos;
        m_pos += n;
        return r;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_pos = 0;
    bool m_ok = true;
};

inline uint16_t rd_le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t rd_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t rd_le64(const uint8_t* p) { return rd_le32(p) | (uint64_t(rd_le32(p + 4)) << 32); }
inline void wr_le16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void wr_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint32_t rd_be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void wr_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

// Offsets inside the 40-byte frame head (little-endian) that the MP4 files use.
namespace kvhead {
constexpr int kSize = 40;
constexpr int kRecord = 48;   // saved head: the head and the first 8 payload bytes
constexpr int kType = 4, kEncode = 5, kFlags = 6, kFrameSize = 12, kTime = 16;
constexpr int kWidth = 32, kHeight = 34, kRate = 32, kChannels = 36, kBits = 37, kBlock = 38;
inline bool magic_ok(const uint8_t* h) { return std::memcmp(h, "KVFm", 4) == 0; }
}
