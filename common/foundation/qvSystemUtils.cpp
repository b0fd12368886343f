#include "qvSystemUtils.h"

#include "NtlmPackage.h"

std::string GetCurrentUserName() {
  // An impersonated client (NTLM) on this thread comes first.
  return plat::GetCurrentUserName();
}
