// Linear-time form of the scrambler. One lap around the circle takes every third number
// (relative offsets 3, 6, ... up to the circle's size m, counted from the cursor), so a
// lap is a strided split of the circle into "taken" bits, which go to the output in order,
// and survivors, which form the next, smaller circle with the cursor on survivor 2T-1
// (T = m/3 taken). Each circle is a packed bit string, so the whole permutation costs
// about 3 bit moves per bit and about 1.4 bits of scratch per bit, instead of a list entry
// per bit. The 14-byte message-head unit is served from a precomputed permutation.
#include "scrambler.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

inline unsigned get_bit(const uint8_t* b, size_t i)
{
    return (b[i >> 3] >> (7 - (i & 7))) & 1u;
}

inline void put_bit(uint8_t* b, size_t i, unsigned v)
{
    uint8_t mask = static_cast<uint8_t>(0x80u >> (i & 7));
    if (v)
        b[i >> 3] |= mask;
    else
        b[i >> 3] &= static_cast<uint8_t>(~mask);
}

struct Lap {
    size_t m;      // numbers on the circle
    size_t p;      // cursor index
    size_t taken;  // numbers taken in this lap
};

// Circle sizes and cursors of every lap for a unit of `bits` bits.
std::vector<Lap> plan_laps(size_t bits)
{
    std::vector<Lap> laps;
    size_t m = bits, p = 1 % bits;
    while (m > 0) {
        if (m >= 3) {
            size_t t = m / 3;
            laps.push_back({m, p, t});
            m -= t;
            p = 2 * t - 1;
        } else {
            laps.push_back({m, p, 1});
            m -= 1;
            p = 0;
        }
    }
    return laps;
}

// Scratch for the survivor circles: two ping-pong bit strings.
struct Scratch {
    std::unique_ptr<uint8_t[]> out, a, b;
    bool alloc(size_t nbytes, size_t laneBytes)
    {
        out.reset(new (std::nothrow) uint8_t[nbytes]);
        a.reset(new (std::nothrow) uint8_t[laneBytes]);
        b.reset(new (std::nothrow) uint8_t[laneBytes]);
        return out && a && b;
    }
};

size_t lane_bytes(size_t bits)
{
    // Survivors of the first lap: at most 2/3 of the bits, plus rounding.
    return (bits - bits / 3) / 8 + 2;
}

// Sequential bit access at any bit offset. Reads never touch a byte past `bits`.
class BitReader {
public:
    BitReader(const uint8_t* b, size_t pos, size_t bits) : b_(b), pos_(pos), bits_(bits) {}
    // The next k bits (k <= 8), first bit highest.
    unsigned get(unsigned k)
    {
        if (k == 0)
            return 0;
        const size_t i = pos_ >> 3;
        const unsigned sh = pos_ & 7;
        unsigned v = static_cast<unsigned>(b_[i]) << 8;
        if (sh + k > 8 && (i + 1) * 8 < bits_)
            v |= b_[i + 1];
        pos_ += k;
        return (v >> (16 - sh - k)) & ((1u << k) - 1);
    }

private:
    const uint8_t* b_;
    size_t pos_;
    size_t bits_;
};

// Appends bits from any bit offset; bits before the start and after the end in the
// first and last byte are kept.
class BitWriter {
public:
    BitWriter(uint8_t* b, size_t pos) : b_(b), byte_(pos >> 3), n_(pos & 7)
    {
        acc_ = n_ ? b_[byte_] >> (8 - n_) : 0;
    }
    void put(unsigned v, unsigned k)
    {
        acc_ = (acc_ << k) | v;
        n_ += k;
        while (n_ >= 8) {
            n_ -= 8;
            b_[byte_++] = static_cast<uint8_t>(acc_ >> n_);
        }
    }
    void flush()
    {
        if (n_) {
            uint8_t keep = static_cast<uint8_t>(0xFFu >> n_);
            b_[byte_] = static_cast<uint8_t>(((acc_ << (8 - n_)) & ~keep) | (b_[byte_] & keep));
        }
    }

private:
    uint8_t* b_;
    size_t byte_;
    unsigned n_;
    uint32_t acc_;
};

// Per byte of a lap: with the lap phase of its first bit (offset r mod 3; r mod 3 == 0
// is taken), which bits are taken and which survive, in order.
struct ByteSplit {
    uint8_t taken, takenCount, kept, keptCount;
};

struct LapTables {
    ByteSplit split[3][256];
    uint8_t takenCount[3];
    uint8_t merge[3][8][64]; // inverse of split: taken bits and kept bits back into a byte
    LapTables()
    {
        for (unsigned ph = 0; ph < 3; ++ph) {
            takenCount[ph] = 0;
            for (unsigned j = 0; j < 8; ++j)
                takenCount[ph] += (ph + j) % 3 == 0;
            for (unsigned v = 0; v < 256; ++v) {
                ByteSplit e{0, 0, 0, 0};
                for (unsigned j = 0; j < 8; ++j) {
                    unsigned bit = (v >> (7 - j)) & 1;
                    if ((ph + j) % 3 == 0) {
                        e.taken = static_cast<uint8_t>(e.taken << 1 | bit);
                        ++e.takenCount;
                    } else {
                        e.kept = static_cast<uint8_t>(e.kept << 1 | bit);
                        ++e.keptCount;
                    }
                }
                split[ph][v] = e;
                merge[ph][e.taken][e.kept] = static_cast<uint8_t>(v);
            }
        }
    }
};

const LapTables& lap_tables()
{
    static const LapTables t;
    return t;
}

// One contiguous run of a lap, scrambling: bits from `in` split into taken and kept.
void split_run(BitReader& in, size_t len, unsigned& phase, BitWriter& taken, BitWriter& kept)
{
    const LapTables& t = lap_tables();
    for (; len >= 8; len -= 8) {
        const ByteSplit& e = t.split[phase][in.get(8)];
        taken.put(e.taken, e.takenCount);
        kept.put(e.kept, e.keptCount);
        phase = (phase + 2) % 3; // +8 mod 3
    }
    for (; len; --len) {
        unsigned v = in.get(1);
        if (phase == 0)
            taken.put(v, 1);
        else
            kept.put(v, 1);
        phase = (phase + 1) % 3;
    }
}

// The inverse: taken and kept bits merged back into one contiguous run of the circle.
void merge_run(BitReader& taken, BitReader& kept, size_t len, unsigned& phase, BitWriter& out)
{
    const LapTables& t = lap_tables();
    for (; len >= 8; len -= 8) {
        unsigned tc = t.takenCount[phase];
        unsigned tb = taken.get(tc);
        unsigned kb = kept.get(8 - tc);
        out.put(t.merge[phase][tb][kb], 8);
        phase = (phase + 2) % 3;
    }
    for (; len; --len) {
        out.put(phase == 0 ? taken.get(1) : kept.get(1), 1);
        phase = (phase + 1) % 3;
    }
}

bool scramble_bits(uint8_t* data, size_t n)
{
    const size_t bits = n * 8;
    Scratch s;
    if (!s.alloc(n, lane_bytes(bits)))
        return false;
    uint8_t* out = s.out.get();
    const uint8_t* src = data;
    uint8_t* dst = s.a.get();
    uint8_t* spare = s.b.get();
    size_t o = 0, m = bits, p = 1 % bits;
    while (m > 0) {
        if (m >= 3) {
            // Circle order from the cursor: indexes p+1 .. m-1, then 0 .. p.
            size_t t = m / 3;
            unsigned phase = 1;
            BitWriter taken(out, o), kept(dst, 0);
            BitReader r1(src, p + 1, m);
            split_run(r1, m - (p + 1), phase, taken, kept);
            BitReader r2(src, 0, m);
            split_run(r2, p + 1, phase, taken, kept);
            taken.flush();
            kept.flush();
            o += t;
            m -= t;
            p = 2 * t - 1;
        } else if (m == 2) {
            put_bit(out, o++, get_bit(src, (p + 1) % 2));
            put_bit(dst, 0, get_bit(src, p));
            m = 1;
            p = 0;
        } else {
            put_bit(out, o++, get_bit(src, 0));
            m = 0;
        }
        src = dst;
        std::swap(dst, spare);
    }
    memcpy(data, out, n);
    return true;
}

bool unscramble_bits(uint8_t* data, size_t n)
{
    const size_t bits = n * 8;
    std::vector<Lap> laps;
    try {
        laps = plan_laps(bits);
    } catch (const std::bad_alloc&) {
        return false;
    }
    Scratch s;
    if (!s.alloc(n, lane_bytes(bits)))
        return false;
    uint8_t* lane[2] = {s.a.get(), s.b.get()};
    std::vector<size_t> first(laps.size());
    for (size_t i = 0, off = 0; i < laps.size(); ++i) {
        first[i] = off;
        off += laps[i].taken;
    }
    // Rebuild the circles from the innermost (one number) outwards; circle i lives in
    // lane[i % 2], the outermost one in the output.
    const size_t last = laps.size() - 1;
    put_bit(lane[last % 2], 0, get_bit(data, first[last]));
    for (size_t i = last; i-- > 0;) {
        const Lap& L = laps[i];
        uint8_t* dst = i == 0 ? s.out.get() : lane[i % 2];
        const uint8_t* inner = lane[(i + 1) % 2];
        if (L.m >= 3) {
            unsigned phase = 1;
            BitReader taken(data, first[i], bits), kept(inner, 0, L.m - L.taken);
            BitWriter w1(dst, L.p + 1);
            merge_run(taken, kept, L.m - (L.p + 1), phase, w1);
            w1.flush();
            BitWriter w2(dst, 0);
            merge_run(taken, kept, L.p + 1, phase, w2);
            w2.flush();
        } else { // m == 2
            put_bit(dst, (L.p + 1) % 2, get_bit(data, first[i]));
            put_bit(dst, L.p, get_bit(inner, 0));
        }
    }
    memcpy(data, s.out.get(), n);
    return true;
}

// The 14-byte head unit, served from tables computed once: for every byte position and
// value, the output bits it contributes (as two 64-bit lanes), forward and backward.
struct HeadPerm {
    static constexpr size_t kBytes = 14, kBits = kBytes * 8;
    uint64_t fwd[kBytes][256][2];
    uint64_t bwd[kBytes][256][2];

    HeadPerm()
    {
        // Direct simulation of the circle; 112 numbers, done once per process.
        size_t s[kBits];
        std::vector<size_t> circle(kBits);
        for (size_t i = 0; i < kBits; ++i)
            circle[i] = i;
        size_t cur = 1;
        for (size_t k = 0; k < kBits; ++k) {
            size_t at = (cur + 3) % circle.size();
            s[k] = circle[at];
            circle.erase(circle.begin() + static_cast<std::ptrdiff_t>(at));
            if (!circle.empty())
                cur = (at + circle.size() - 1) % circle.size();
        }
        // Output bit k (numbered from the MSB of byte 0) lives in lane k/64 at bit 63-k%64.
        memset(fwd, 0, sizeof fwd);
        memset(bwd, 0, sizeof bwd);
        for (size_t k = 0; k < kBits; ++k) {
            size_t in = s[k];
            for (unsigned v = 0; v < 256; ++v) {
                if (v & (0x80u >> (in & 7)))
                    fwd[in >> 3][v][k / 64] |= 1ull << (63 - k % 64);
                if (v & (0x80u >> (k & 7)))
                    bwd[k >> 3][v][in / 64] |= 1ull << (63 - in % 64);
            }
        }
    }
};

const HeadPerm& head_perm()
{
    static const HeadPerm perm;
    return perm;
}

void apply_head(uint8_t* data, bool forward)
{
    const HeadPerm& hp = head_perm();
    const auto& t = forward ? hp.fwd : hp.bwd;
    uint64_t lane0 = 0, lane1 = 0;
    for (size_t i = 0; i < HeadPerm::kBytes; ++i) {
        lane0 |= t[i][data[i]][0];
        lane1 |= t[i][data[i]][1];
    }
    for (size_t i = 0; i < 8; ++i)
        data[i] = static_cast<uint8_t>(lane0 >> (56 - 8 * i));
    for (size_t i = 8; i < HeadPerm::kBytes; ++i)
        data[i] = static_cast<uint8_t>(lane1 >> (56 - 8 * (i - 8)));
}

} // namespace

size_t kv_scramble_scratch_bytes(size_t n)
{
    if (n == 0 || n == HeadPerm::kBytes)
        return 0;
    return n + 2 * lane_bytes(n * 8);
}

bool kv_scramble(uint8_t* data, size_t n)
{
    if (n == 0)
        return true;
    if (n == HeadPerm::kBytes) {
        apply_head(data, true);
        return true;
    }
    return scramble_bits(data, n);
}

bool kv_unscramble(uint8_t* data, size_t n)
{
    if (n == 0)
        return true;
    if (n == HeadPerm::kBytes) {
        apply_head(data, false);
        return true;
    }
    return unscramble_bits(data, n);
}
