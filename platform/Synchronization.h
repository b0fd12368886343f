// Waiting on a 32-bit word, as the platform's WaitOnAddress and
// WakeByAddressSingle/All: a thread sleeps while the word holds the value it
// saw, and another thread that changed it wakes one or all sleepers. Wake-ups
// may be spurious and a wait may return before the value changed: callers
// loop on their own condition. Words are private to the process. Any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace plat {

// Returns at once when *address no longer holds compare.
void WaitOnAddress(std::atomic<uint32_t>& address, uint32_t compare);
void WakeByAddressSingle(std::atomic<uint32_t>& address);
void WakeByAddressAll(std::atomic<uint32_t>& address);

}  // namespace plat
