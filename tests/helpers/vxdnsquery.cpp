// Asks a name server through the library's resolver and prints what it found,
// for the end-to-end tests against a real DNS server.
//   vxdnsquery [-p PORT] [-t MS] [-c RESOLV_CONF] SERVERS MX|A|TXT NAME
// SERVERS is one server, or "list:" + comma-separated list servers, or "" to
// read the resolver configuration. Output: one line per result, then
// "SERVER <server kept>"; an error prints "ERROR <code> <text>", exit 1.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "qvDnsQuery.h"

int main(int argc, char** argv) {
  TqvDnsQuery dns;
  dns.SetAutodetectServer(false);
  int opt;
  while ((opt = getopt(argc, argv, "p:t:c:")) != -1) {
    if (opt == 'p') dns.SetPort(std::atoi(optarg));
    if (opt == 't') dns.SetTimeOut(std::atoi(optarg));
    if (opt == 'c') {
      dns.SetResolverConfig(optarg);
      dns.SetAutodetectServer(true);
    }
  }
  if (argc - optind != 3) {
    std::fprintf(stderr, "usage: vxdnsquery [-p PORT] [-t MS] [-c RESOLV_CONF] SERVERS MX|A|TXT NAME\n");
    return 2;
  }
  const std::string servers = argv[optind], type = argv[optind + 1], name = argv[optind + 2];
  if (servers.rfind("list:", 0) == 0) {
    TStringList roots;
    size_t start = 5;
    for (;;) {
      const size_t comma = servers.find(',', start);
      roots.Add(servers.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    dns.SetRootNameServers(roots);
  } else {
    dns.SetServer(servers);
  }
  try {
    if (type == "MX") {
      dns.ResolveMX(name);
      for (int i = 0; i < dns.MailServers().Count(); ++i) {
        const TqvMailServerInfo* mx = dns.MailServers().Items(i);
        std::printf("MX %d %s %s\n", mx->Preference, mx->Name.c_str(), mx->IPAddress.c_str());
      }
    } else if (type == "A") {
      dns.ResolveIP(name);
      for (int i = 0; i < dns.HostList().Count(); ++i) std::printf("A %s\n", dns.HostList().Items(i)->IPAddress.c_str());
    } else {
      std::printf("TXT %s\n", dns.ResolveTXT(name).c_str());
    }
  } catch (const EqvSocketError& e) {
    std::printf("ERROR %d %s\n", e.ErrorCode, e.Message().c_str());
    return 1;
  }
  std::printf("SERVER %s\n", dns.Server().c_str());
  return 0;
}
