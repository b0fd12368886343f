// The process-wide random number generator: seeded once, on first use, from
// the kernel's entropy, and shared by every thread under a lock (challenges
// are drawn on server workers). Random and RandomFloat are not for secrets;
// SecureRandomBytes reads the kernel's generator directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// A value in 0 .. range-1 (0 when range is 0).
uint32_t Random(uint32_t range);
// A value in [0, 1).
double RandomFloat();

// Bytes straight from the kernel's cryptographic generator, for values an
// attacker must not guess (DNS query IDs). Blocks only until the kernel's
// pool is first initialised.
void SecureRandomBytes(void* ABuffer, size_t ASize);
[[nodiscard]] uint16_t SecureRandom16();

}  // namespace plat
