// The system's name servers, in place of the interface registry values: the
// "nameserver ADDR" lines of the resolver configuration file, in file order.
// Comments (# ;) and other keywords are skipped; a value is split at spaces
// and commas and words seen before are dropped. Entries are kept as text,
// IPv6 (and zone suffixes) included. A file that cannot be read, or is over
// 1 MiB, gives none.
// Thread-safe; never raises.
#pragma once

#include <string>
#include <vector>

namespace plat {

inline constexpr const char* kDefaultResolverConfig = "/etc/resolv.conf";

[[nodiscard]] std::vector<std::string> GetSystemNameServers(const std::string& APath = kDefaultResolverConfig);
// The same from the file's text.
[[nodiscard]] std::vector<std::string> ParseResolverConfig(const std::string& AText);

}  // namespace plat
