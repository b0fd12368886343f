// Facts about the calling process and thread: the user it runs as (or the
// client it impersonates), and an identity helper. Any thread; nothing raises.
// Kept apart from the file helpers so that the security package is linked
// only into the units that ask who is running.
#pragma once

#include <string>

// The effective user's name, or the impersonated client's while a server
// context impersonates on this thread; "" when there is none.
[[nodiscard]] std::string GetCurrentUserName();
template <typename T>
[[nodiscard]] T ReturnArgument(T AValue) {
  return AValue;
}
