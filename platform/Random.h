// The process-wide random number generator: seeded once, on first use, from
// the kernel's entropy, and shared by every thread under a lock (challenges
// are drawn on server workers). Not for key material.
#pragma once

#include <cstdint>

namespace plat {

// A value in 0 .. range-1 (0 when range is 0).
uint32_t Random(uint32_t range);
// A value in [0, 1).
double RandomFloat();

}  // namespace plat
