#include "Synchronization.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

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

}  // namespace plat
