#include "Synchronization.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace plat {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

namespace {

long Futex(std::atomic<uint32_t>& address, int op, uint32_t value) {
  return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&address), op | FUTEX_PRIVATE_FLAG, value, nullptr,
                   nullptr, 0);
}

}  // namespace

void WaitOnAddress(std::atomic<uint32_t>& address, uint32_t compare) {
  // EAGAIN (the value changed) and EINTR both return: the caller looks again.
  (void)Futex(address, FUTEX_WAIT, compare);
}

void WakeByAddressSingle(std::atomic<uint32_t>& address) { (void)Futex(address, FUTEX_WAKE, 1); }

void WakeByAddressAll(std::atomic<uint32_t>& address) { (void)Futex(address, FUTEX_WAKE, INT_MAX); }

namespace {

// A per-thread address names the owner without a system call.
const void* ThisThread() {
  thread_local const char tMark = 0;
  return &tMark;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

}  // namespace

bool TCriticalSection::try_lock() {
  const void* me = ThisThread();
  if (FOwner.load(std::memory_order_relaxed) == me) {
    ++FDepth;
    return true;
  }
  uint32_t free = 0;
  if (!FState.compare_exchange_strong(free, 1, std::memory_order_acquire)) return false;
  FOwner.store(me, std::memory_order_relaxed);
  FDepth = 1;
  return true;
}

void TCriticalSection::lock() {
  const void* me = ThisThread();
  if (FOwner.load(std::memory_order_relaxed) == me) {
    ++FDepth;
    return;
  }
  uint32_t c = 0;
  if (!FState.compare_exchange_strong(c, 1, std::memory_order_acquire)) {
    bool got = false;
    for (int i = 0; i < FSpinCount && !got; ++i) {
      CpuRelax();
      c = FState.load(std::memory_order_relaxed);
      if (c == 0) got = FState.compare_exchange_weak(c, 1, std::memory_order_acquire);
    }
    if (!got) {
      // Marked as having a sleeper, so the release wakes one.
      c = FState.exchange(2, std::memory_order_acquire);
      while (c != 0) {
        WaitOnAddress(FState, 2);
        c = FState.exchange(2, std::memory_order_acquire);
      }
    }
  }
  FOwner.store(me, std::memory_order_relaxed);
  FDepth = 1;
}

void TCriticalSection::unlock() {
  if (--FDepth > 0) return;
  FOwner.store(nullptr, std::memory_order_relaxed);
  if (FState.exchange(0, std::memory_order_release) == 2) WakeByAddressSingle(FState);
}

}  // namespace plat
