// The keyless bit scrambler of the scrambled connection mode.
//
// The unit's 8n bits (bit 8i+j = bit j of byte i counted from the most significant) sit on
// a circle with a cursor on number 1. Repeatedly the cursor moves three places forward, the
// number it lands on is taken out (the k-th taken is s(k)) and the cursor steps back to the
// number before it. Scrambling puts input bit s(k) at output bit k; unscrambling undoes it.
#pragma once
#include <cstddef>
#include <cstdint>

// In place; false (buffer unchanged) when scratch memory cannot be had. n = 0 is a no-op.
bool kv_scramble(uint8_t* data, size_t n);
bool kv_unscramble(uint8_t* data, size_t n);

// Heap scratch one call takes for a unit of n bytes (reported by the benchmarks).
size_t kv_scramble_scratch_bytes(size_t n);

// Two implementations with bit-identical output: a word path that splits and merges each
// lap 64 bits at a time with BMI2 pext/pdep, used when the processor has BMI2 (checked
// once at run time), and the portable byte-table path elsewhere.
bool kv_scramble_has_word_path();
// Tests, fuzzing and benchmarks: true makes every call take the portable path.
void kv_scramble_force_portable(bool on);
