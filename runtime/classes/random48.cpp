#include "runtime/classes/random48.h"

namespace nerva {

namespace {

constexpr uint64_t kMask48 = (uint64_t(1) << 48) - 1;
uint64_t state = (uint64_t(0x1234ABCD) << 16) + 0x330E;

}  // namespace

void SeedRandom48(uint32_t seed) { state = ((uint64_t(seed) << 16) + 0x330E) & kMask48; }

double NextRandom48() {
    state = (0x5DEECE66DULL * state + 0xB) & kMask48;
    return double(state) / double(uint64_t(1) << 48);
}

}  // namespace nerva
