#include "qvCryptAPI.h"

#include <openssl/crypto.h>

#include <atomic>
#include <mutex>

namespace {
std::mutex gLoadLock;
std::atomic<bool> gLoaded{false};
}  // namespace

bool LoadCryptLibraries() {
  std::scoped_lock lock(gLoadLock);
  if (!gLoaded) gLoaded = OPENSSL_init_crypto(0, nullptr) == 1;
  return gLoaded;
}

bool CryptLibrariesLoaded() { return gLoaded; }
