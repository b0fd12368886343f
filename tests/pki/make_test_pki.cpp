// Makes the test run's keys and certificates once, into the folder given
// (replacing what an earlier run left there); the unit tests read them.
#include <cstdio>
#include <filesystem>
#include <string>

#include "../unit/TlsTestSupport.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path target(argv[1]);
  const fs::path staging = target.string() + ".new";
  std::error_code ec;
  fs::remove_all(staging, ec);
  fs::create_directories(staging);
  tlstest::TestPki::MakeInto(staging.string() + "/");
  // Readers see the old set or the new one, never half of one.
  fs::remove_all(target, ec);
  fs::rename(staging, target);
  std::printf("test keys and certificates in %s\n", target.c_str());
  return 0;
}
