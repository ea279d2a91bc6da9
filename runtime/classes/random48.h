// The 48-bit linear congruential generator behind Math.random: x = (0x5DEECE66D x + 0xB)
// mod 2^48, result x / 2^48. One state for the whole process.
#pragma once

#include <cstdint>

namespace nerva {

// Seeds the state as a seed of 32 bits: state = seed * 2^16 + 0x330E.
void SeedRandom48(uint32_t seed);
// The next value, in [0, 1).
double NextRandom48();

}  // namespace nerva
