// Linear-time form of the scrambler. One lap around the circle takes every third number
// (relative offsets 3, 6, ... up to the circle's size m, counted from the cursor), so a
// lap is a strided split of the circle into "taken" bits, which go to the output in order,
// and survivors, which form the next, smaller circle with the cursor on survivor 2T-1
// (T = m/3 taken). Each circle is a packed bit string, so the whole permutation costs
// about 3 bit moves per bit and about 1.4 bits of scratch per bit, instead of a list entry
// per bit. The 14-byte message-head unit is served from a precomputed permutation.
#include "scrambler.h"

#include <atomic>
#include <cstring>
#include <vector>
#include <pthread.h>
#include <sys/mman.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KV_HAVE_BMI2_BUILD 1
#endif

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

// Scratch for the output and the survivor circles: two ping-pong bit strings. All of it is
// mapped memory: a large block in huge pages where the system grants them (thousands of
// small-page faults would cost more than the permutation), and for units up to kKeptScratch
// bytes one mapping kept per thread, since a fresh block per call costs more in page faults
// than the permutation itself. The kept mapping hangs off a pthread key whose destructor
// unmaps it when the thread ends; it is not heap memory, so a leak checker that cannot read
// a parked pool thread's TLS at exit has nothing to misreport.
constexpr size_t kKeptScratch = 4u << 20;
constexpr size_t kHuge = 2u << 20;

void* map_block(size_t n, size_t* len)
{
    constexpr size_t kMinKept = 64u << 10;
    const size_t unit = n >= kHuge ? kHuge : kMinKept;
    *len = (n + unit - 1) / unit * unit;
    void* p = mmap(nullptr, *len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (unit == kHuge)
        madvise(p, *len, MADV_HUGEPAGE);
    return p;
}

// The kept mapping starts with its own length; the scratch follows at kKeptHead.
constexpr size_t kKeptHead = 64;

void unmap_kept(void* p)
{
    if (p)
        munmap(p, *static_cast<size_t*>(p));
}

pthread_key_t gKeptKey;
bool gKeptKeyOk = false;
pthread_once_t gKeptOnce = PTHREAD_ONCE_INIT;

uint8_t* kept_scratch(size_t total)
{
    pthread_once(&gKeptOnce, [] { gKeptKeyOk = pthread_key_create(&gKeptKey, unmap_kept) == 0; });
    if (!gKeptKeyOk)
        return nullptr;
    void* cur = pthread_getspecific(gKeptKey);
    if (cur && *static_cast<size_t*>(cur) - kKeptHead >= total)
        return static_cast<uint8_t*>(cur) + kKeptHead;
    size_t len;
    void* p = map_block(total + kKeptHead, &len);
    if (!p)
        return nullptr;
    *static_cast<size_t*>(p) = len;
    if (pthread_setspecific(gKeptKey, p) != 0) {
        munmap(p, len);
        return nullptr;
    }
    unmap_kept(cur);
    return static_cast<uint8_t*>(p) + kKeptHead;
}

// A large block of its own, for one call.
class BigBlock {
public:
    ~BigBlock()
    {
        if (p_)
            munmap(p_, len_);
    }
    uint8_t* get(size_t n)
    {
        p_ = map_block(n, &len_);
        return static_cast<uint8_t*>(p_);
    }

private:
    void* p_ = nullptr;
    size_t len_ = 0;
};

struct Scratch {
    BigBlock own;
    uint8_t* out_ = nullptr;
    uint8_t* a_ = nullptr;
    uint8_t* b_ = nullptr;
    bool alloc(size_t nbytes, size_t laneBytes)
    {
        const size_t total = nbytes + 2 * laneBytes;
        uint8_t* base = nbytes <= kKeptScratch ? kept_scratch(total) : nullptr;
        if (!base)
            base = own.get(total);
        if (!base)
            return false;
        out_ = base;
        a_ = base + nbytes;
        b_ = a_ + laneBytes;
        return true;
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

struct BitPath {
    using Reader = BitReader;
    using Writer = BitWriter;
    static void split(Reader& in, size_t len, unsigned& phase, Writer& taken, Writer& kept)
    {
        split_run(in, len, phase, taken, kept);
    }
    static void merge(Reader& taken, Reader& kept, size_t len, unsigned& phase, Writer& out)
    {
        merge_run(taken, kept, len, phase, out);
    }
};

// The laps themselves, shared by both paths; Path gives the reader, the writer and the
// run functions (bit by bit, or a word at a time).
template <class Path>
bool scramble_laps(uint8_t* data, size_t n)
{
    const size_t bits = n * 8;
    Scratch s;
    if (!s.alloc(n, lane_bytes(bits)))
        return false;
    uint8_t* out = s.out_;
    const uint8_t* src = data;
    uint8_t* dst = s.a_;
    uint8_t* spare = s.b_;
    size_t o = 0, m = bits, p = 1 % bits;
    while (m > 0) {
        if (m >= 3) {
            // Circle order from the cursor: indexes p+1 .. m-1, then 0 .. p.
            size_t t = m / 3;
            unsigned phase = 1;
            typename Path::Writer taken(out, o), kept(dst, 0);
            typename Path::Reader r1(src, p + 1, m);
            Path::split(r1, m - (p + 1), phase, taken, kept);
            typename Path::Reader r2(src, 0, m);
            Path::split(r2, p + 1, phase, taken, kept);
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

template <class Path>
bool unscramble_laps(uint8_t* data, size_t n)
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
    uint8_t* lane[2] = {s.a_, s.b_};
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
        uint8_t* dst = i == 0 ? s.out_ : lane[i % 2];
        const uint8_t* inner = lane[(i + 1) % 2];
        if (L.m >= 3) {
            unsigned phase = 1;
            typename Path::Reader taken(data, first[i], bits), kept(inner, 0, L.m - L.taken);
            typename Path::Writer w1(dst, L.p + 1);
            Path::merge(taken, kept, L.m - (L.p + 1), phase, w1);
            w1.flush();
            typename Path::Writer w2(dst, 0);
            Path::merge(taken, kept, L.p + 1, phase, w2);
            w2.flush();
        } else { // m == 2
            put_bit(dst, (L.p + 1) % 2, get_bit(data, first[i]));
            put_bit(dst, L.p, get_bit(inner, 0));
        }
    }
    memcpy(data, s.out_, n);
    return true;
}


bool scramble_bits(uint8_t* data, size_t n)
{
    return scramble_laps<BitPath>(data, n);
}

bool unscramble_bits(uint8_t* data, size_t n)
{
    return unscramble_laps<BitPath>(data, n);
}

// ---------------------------------------------------------------------------------------
// The word path: the same laps, 64 bits at a time. A 64-bit word of the circle read
// MSB-first has its taken bits where (phase + j) % 3 == 0 (j from the top); pext packs
// them, in order, into the low bits, which is what the writers append; pdep undoes it.
#ifdef KV_HAVE_BMI2_BUILD

#define KV_BMI2 __attribute__((target("bmi2,popcnt")))

inline uint64_t load_be64(const uint8_t* p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

inline void store_be64(uint8_t* p, uint64_t v)
{
    v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}

// The taken-bit masks of a 64-bit word by the phase of its top bit.
struct WordMasks {
    uint64_t m[3];
    unsigned count[3];
    WordMasks()
    {
        for (unsigned ph = 0; ph < 3; ++ph) {
            m[ph] = 0;
            count[ph] = 0;
            for (unsigned j = 0; j < 64; ++j)
                if ((ph + j) % 3 == 0) {
                    m[ph] |= 1ull << (63 - j);
                    ++count[ph];
                }
        }
    }
};

const WordMasks& word_masks()
{
    static const WordMasks w;
    return w;
}

// Reads up to 64 bits at any bit offset; never touches a byte past `bits`.
class WordReader {
public:
    WordReader(const uint8_t* b, size_t pos, size_t bits) : b_(b), pos_(pos), bytes_((bits + 7) / 8) {}
    // The next k bits (1 <= k <= 64), first bit highest.
    uint64_t get(unsigned k)
    {
        const size_t i = pos_ >> 3;
        const unsigned sh = pos_ & 7;
        uint64_t v;
        if (bytes_ - i >= 9) {
            v = load_be64(b_ + i);
            if (sh)
                v = (v << sh) | (b_[i + 8] >> (8 - sh));
        } else {
            v = 0;
            for (size_t j = 0; j < 9; ++j) {
                const uint64_t byte = i + j < bytes_ ? b_[i + j] : 0;
                const int at = 56 - 8 * static_cast<int>(j) + static_cast<int>(sh);
                v |= at >= 0 ? byte << at : byte >> -at;
            }
        }
        pos_ += k;
        return k == 64 ? v : v >> (64 - k);
    }

private:
    const uint8_t* b_;
    size_t pos_;
    size_t bytes_;
};

// Appends up to 64 bits at a time from any bit offset; bits before the start in the
// first byte and after the end in the last byte are kept.
class WordWriter {
public:
    WordWriter(uint8_t* b, size_t pos) : b_(b), byte_(pos >> 3), n_(pos & 7)
    {
        acc_ = n_ ? b_[byte_] >> (8 - n_) : 0;
    }
    void put(uint64_t v, unsigned k)
    {
        if (k == 0)
            return;
        const unsigned total = n_ + k;
        if (total < 64) {
            acc_ = (acc_ << k) | v;
            n_ = total;
            return;
        }
        const unsigned rem = total - 64;
        const uint64_t out = (n_ ? acc_ << (64 - n_) : 0) | (v >> rem);
        store_be64(b_ + byte_, out);
        byte_ += 8;
        acc_ = rem ? v & ((1ull << rem) - 1) : 0;
        n_ = rem;
    }
    void flush()
    {
        while (n_ >= 8) {
            n_ -= 8;
            b_[byte_++] = static_cast<uint8_t>(acc_ >> n_);
        }
        if (n_) {
            const uint8_t keep = static_cast<uint8_t>(0xFFu >> n_);
            b_[byte_] = static_cast<uint8_t>(((acc_ << (8 - n_)) & ~keep) | (b_[byte_] & keep));
        }
    }

private:
    uint8_t* b_;
    size_t byte_;
    unsigned n_;
    uint64_t acc_;
};

KV_BMI2 void split_run_word(WordReader& in, size_t len, unsigned& phase, WordWriter& taken, WordWriter& kept)
{
    const WordMasks& w = word_masks();
    for (; len >= 64; len -= 64) {
        const uint64_t v = in.get(64);
        const uint64_t m = w.m[phase];
        taken.put(_pext_u64(v, m), w.count[phase]);
        kept.put(_pext_u64(v, ~m), 64 - w.count[phase]);
        phase = (phase + 1) % 3; // +64 mod 3
    }
    if (len) {
        const unsigned k = static_cast<unsigned>(len);
        const uint64_t v = in.get(k) << (64 - k);
        const uint64_t top = ~0ull << (64 - k);
        const uint64_t m = w.m[phase] & top;
        const unsigned c = static_cast<unsigned>(__builtin_popcountll(m));
        taken.put(_pext_u64(v, m), c);
        kept.put(_pext_u64(v, ~m & top), k - c);
        phase = (phase + k) % 3;
    }
}

KV_BMI2 void merge_run_word(WordReader& taken, WordReader& kept, size_t len, unsigned& phase, WordWriter& out)
{
    const WordMasks& w = word_masks();
    for (; len >= 64; len -= 64) {
        const uint64_t m = w.m[phase];
        const unsigned c = w.count[phase];
        const uint64_t v = _pdep_u64(taken.get(c), m) | _pdep_u64(kept.get(64 - c), ~m);
        out.put(v, 64);
        phase = (phase + 1) % 3;
    }
    if (len) {
        const unsigned k = static_cast<unsigned>(len);
        const uint64_t top = ~0ull << (64 - k);
        const uint64_t m = w.m[phase] & top;
        const unsigned c = static_cast<unsigned>(__builtin_popcountll(m));
        uint64_t v = 0;
        if (c)
            v |= _pdep_u64(taken.get(c), m);
        if (k - c)
            v |= _pdep_u64(kept.get(k - c), ~m & top);
        out.put(v >> (64 - k), k);
        phase = (phase + k) % 3;
    }
}

struct WordPath {
    using Reader = WordReader;
    using Writer = WordWriter;
    KV_BMI2 static void split(Reader& in, size_t len, unsigned& phase, Writer& taken, Writer& kept)
    {
        split_run_word(in, len, phase, taken, kept);
    }
    KV_BMI2 static void merge(Reader& taken, Reader& kept, size_t len, unsigned& phase, Writer& out)
    {
        merge_run_word(taken, kept, len, phase, out);
    }
};

KV_BMI2 bool scramble_bits_word(uint8_t* data, size_t n)
{
    return scramble_laps<WordPath>(data, n);
}

KV_BMI2 bool unscramble_bits_word(uint8_t* data, size_t n)
{
    return unscramble_laps<WordPath>(data, n);
}

bool cpu_has_bmi2()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    }();
    return has;
}

#else
bool cpu_has_bmi2() { return false; }
bool scramble_bits_word(uint8_t*, size_t) { return false; }
bool unscramble_bits_word(uint8_t*, size_t) { return false; }
#endif

std::atomic<bool> gForcePortable{false};

bool use_word_path()
{
    return cpu_has_bmi2() && !gForcePortable.load(std::memory_order_relaxed);
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
    return use_word_path() ? scramble_bits_word(data, n) : scramble_bits(data, n);
}

bool kv_unscramble(uint8_t* data, size_t n)
{
    if (n == 0)
        return true;
    if (n == HeadPerm::kBytes) {
        apply_head(data, false);
        return true;
    }
    return use_word_path() ? unscramble_bits_word(data, n) : unscramble_bits(data, n);
}

bool kv_scramble_has_word_path()
{
    return cpu_has_bmi2();
}

void kv_scramble_force_portable(bool on)
{
    gForcePortable.store(on);
}
