// Waiting on a 32-bit word, as the platform's WaitOnAddress and
// WakeByAddressSingle/All: a thread sleeps while the word holds the value it
// saw, and another thread that changed it wakes one or all sleepers. Wake-ups
// may be spurious and a wait may return before the value changed: callers
// loop on their own condition. Words are private to the process. Any thread.
// TCriticalSection: the platform's re-entrant critical section with a spin
// count, for locks held a few microseconds by many threads: a thread that
// finds it taken spins that many rounds before it sleeps, so a short wait
// costs neither a sleep nor a wake-up call.
#pragma once

#include <atomic>
#include <cstdint>

namespace plat {

// Returns at once when *address no longer holds compare.
void WaitOnAddress(std::atomic<uint32_t>& address, uint32_t compare);
void WakeByAddressSingle(std::atomic<uint32_t>& address);
void WakeByAddressAll(std::atomic<uint32_t>& address);

// Meets the standard mutex requirements (std::scoped_lock works); the owner
// may take it again and must release it as often.
class TCriticalSection {
 public:
  explicit TCriticalSection(int ASpinCount = 2000) : FSpinCount(ASpinCount < 0 ? 0 : ASpinCount) {}
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;
  void lock();
  bool try_lock();
  void unlock();

 private:
  // 0 free, 1 taken, 2 taken with a sleeper possible.
  std::atomic<uint32_t> FState{0};
  std::atomic<const void*> FOwner{nullptr};
  uint32_t FDepth = 0;  // the owner's alone
  int FSpinCount;
};

}  // namespace plat
