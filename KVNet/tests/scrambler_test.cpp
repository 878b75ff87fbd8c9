#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scrambler.h"

namespace {

// Reference: the circle taken literally, one erase per bit.
std::vector<size_t> naive_order(size_t bits)
{
    std::vector<size_t> circle(bits), taken;
    for (size_t i = 0; i < bits; ++i)
        circle[i] = i;
    size_t cur = 1 % bits;
    while (!circle.empty()) {
        size_t at = (cur + 3) % circle.size();
        taken.push_back(circle[at]);
        circle.erase(circle.begin() + static_cast<long>(at));
        if (!circle.empty())
            cur = (at + circle.size() - 1) % circle.size();
    }
    return taken;
}

std::vector<uint8_t> naive_scramble(const std::vector<uint8_t>& in)
{
    auto s = naive_order(in.size() * 8);
    std::vector<uint8_t> out(in.size(), 0);
    for (size_t k = 0; k < s.size(); ++k)
        if (in[s[k] / 8] & (0x80 >> (s[k] % 8)))
            out[k / 8] |= static_cast<uint8_t>(0x80 >> (k % 8));
    return out;
}

TEST(Scrambler, TwoByteUnitTakesBitsInTheKnownOrder)
{
    const std::vector<size_t> want = {4, 7, 10, 13, 0, 3, 8, 12, 1, 6, 14, 5, 15, 11, 2, 9};
    EXPECT_EQ(naive_order(16), want);
    // Each input bit alone lands where the order says.
    for (size_t k = 0; k < 16; ++k) {
        uint8_t u[2] = {0, 0};
        u[want[k] / 8] = static_cast<uint8_t>(0x80 >> (want[k] % 8));
        ASSERT_TRUE(kv_scramble(u, 2));
        uint16_t got = static_cast<uint16_t>(u[0] << 8 | u[1]);
        EXPECT_EQ(got, 0x8000 >> k) << "k=" << k;
    }
}

TEST(Scrambler, AbcScramblesToKnownBytes)
{
    uint8_t u[3] = {0x61, 0x62, 0x63};
    ASSERT_TRUE(kv_scramble(u, 3));
    EXPECT_EQ(u[0], 0x63);
    EXPECT_EQ(u[1], 0x79);
    EXPECT_EQ(u[2], 0x02);
    ASSERT_TRUE(kv_unscramble(u, 3));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(u), 3), "abc");
}

TEST(Scrambler, MatchesTheLiteralCircleForShortUnits)
{
    std::mt19937 rng(7);
    for (size_t n = 1; n <= 200; ++n) {
        std::vector<uint8_t> in(n);
        for (auto& b : in)
            b = static_cast<uint8_t>(rng());
        auto want = naive_scramble(in);
        auto got = in;
        ASSERT_TRUE(kv_scramble(got.data(), n));
        ASSERT_EQ(got, want) << "n=" << n; // n = 14 takes the cached head permutation
    }
}

TEST(Scrambler, RoundTripsEveryLengthUpTo4096)
{
    std::mt19937 rng(11);
    for (size_t n = 1; n <= 4096; ++n) {
        std::vector<uint8_t> in(n);
        for (auto& b : in)
            b = static_cast<uint8_t>(rng());
        auto x = in;
        ASSERT_TRUE(kv_scramble(x.data(), n));
        if (n >= 4) {
            ASSERT_NE(x, in) << "n=" << n;
        }
        ASSERT_TRUE(kv_unscramble(x.data(), n));
        ASSERT_EQ(x, in) << "n=" << n;
    }
}

// Runs f with the portable path forced (or not) and restores the automatic choice.
template <class F>
void WithPath(bool portable, F f)
{
    kv_scramble_force_portable(portable);
    f();
    kv_scramble_force_portable(false);
}

std::vector<uint8_t> Scrambled(std::vector<uint8_t> x, bool portable, bool forward = true)
{
    WithPath(portable, [&] {
        EXPECT_TRUE(forward ? kv_scramble(x.data(), x.size()) : kv_unscramble(x.data(), x.size()));
    });
    return x;
}

// The word path and the portable path give the same bytes both ways, on every length up
// to 4096 and on large units whose laps cross many words at every alignment.
TEST(Scrambler, WordPathEqualsPortablePathOnEveryLength)
{
    if (!kv_scramble_has_word_path())
        GTEST_SKIP() << "no BMI2 on this processor: only the portable path runs here";
    std::mt19937 rng(23);
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= 4096; ++n)
        lengths.push_back(n);
    for (size_t n : {65535u, 65536u, 65537u, (1u << 20) + 5, 3u << 20})
        lengths.push_back(n);
    for (size_t n : lengths) {
        std::vector<uint8_t> in(n);
        for (auto& b : in)
            b = static_cast<uint8_t>(rng());
        const auto word = Scrambled(in, false), portable = Scrambled(in, true);
        ASSERT_EQ(word, portable) << "scramble n=" << n;
        ASSERT_EQ(Scrambled(in, false, false), Scrambled(in, true, false)) << "unscramble n=" << n;
        ASSERT_EQ(Scrambled(word, false, false), in) << "round trip n=" << n;
    }
}

// A processor without BMI2 runs the portable path: forced here, it still matches the
// literal circle and round-trips.
TEST(Scrambler, ForcedPortablePathMatchesTheLiteralCircle)
{
    std::mt19937 rng(29);
    WithPath(true, [&] {
        for (size_t n = 1; n <= 300; ++n) {
            std::vector<uint8_t> in(n);
            for (auto& b : in)
                b = static_cast<uint8_t>(rng());
            auto x = in;
            ASSERT_TRUE(kv_scramble(x.data(), n));
            ASSERT_EQ(x, naive_scramble(in)) << "n=" << n;
            ASSERT_TRUE(kv_unscramble(x.data(), n));
            ASSERT_EQ(x, in) << "n=" << n;
        }
    });
}

TEST(Scrambler, EmptyUnitIsANoOp)
{
    EXPECT_TRUE(kv_scramble(nullptr, 0));
    EXPECT_TRUE(kv_unscramble(nullptr, 0));
}

} // namespace
