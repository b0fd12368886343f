#include "ResolverConfig.h"

#include <algorithm>
#include <sstream>

#include "FileOps.h"
#include "PlatformLimits.h"

namespace plat {

namespace {


bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::vector<std::string> ParseResolverConfig(const std::string& AText) {
  std::vector<std::string> servers;
  std::istringstream in(AText);
  std::string line;
  while (std::getline(in, line)) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == '#' || line[i] == ';') continue;
    size_t end = i;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    if (line.compare(i, end - i, "nameserver") != 0) continue;
    // The value: words split at blanks and commas, up to a comment.
    std::string word;
    auto flush = [&] {
      if (!word.empty() && std::find(servers.begin(), servers.end(), word) == servers.end())
        servers.push_back(word);
      word.clear();
    };
    for (size_t k = end; k < line.size(); ++k) {
      const char c = line[k];
      if (c == '#' || c == ';') break;
      if (IsBlank(c) || c == ',')
        flush();
      else
        word += c;
    }
    flush();
  }
  return servers;
}

std::vector<std::string> GetSystemNameServers(const std::string& APath) {
  std::string text;
  if (ReadSmallFile(APath, kMaxResolverConfigSize, text) != 0) return {};
  return ParseResolverConfig(text);
}

}  // namespace plat
