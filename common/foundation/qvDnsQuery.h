// The DNS resolver: sends one query datagram to a name server on port 53 and
// turns the reply into host lists, a mail-server list in ascending preference,
// name-server and alias lists, or a TXT text. With Server empty it asks the
// system's name servers (the resolver configuration file) in turn, starting
// with the one that answered last, so a server that stops answering gives
// way to the next; Server then shows the one that answered. When every one
// fails, the error of the last server that answered with a response code is
// raised (else the last socket error), just as with a fixed Server, where
// socket errors, -1 time-outs and EqvDnsError (a non-zero response code, a
// malformed reply) pass to the caller.
// A reply counts only when it comes from the server asked and carries the
// query's ID (drawn from the kernel's cryptographic generator) and its
// question; others are ignored while the wait (counted from the send) runs.
// A truncated reply is asked again over TCP; when that fails the look-up
// raises qvDnsTruncatedReply, never an empty answer. Referrals
// (UseRecursiveQueries) share one depth budget, nested address queries
// included. The lists and both messages describe the last call and stay
// valid until the next one. One thread at a time, but Abort may come from
// any; each user owns its own instance.
//
// Failure kinds for callers that retry (the relay queue): IsPermanentDnsError
// is true only for "No such name" (3). Every other code (-1 time-out or
// malformed reply, 2 server failure, 5 refused, qvDnsTruncatedReply, socket
// errors) is temporary. A look-up that succeeds with no records is no error.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "StringList.h"
#include "qvDnsMessage.h"
#include "qvUdpClient.h"

class TqvTcpClientConnection;

// A truncated UDP reply that TCP could not complete: a temporary failure.
constexpr int qvDnsTruncatedReply = -3;
constexpr int qvDnsNoSuchName = 3;

// The fixed text of a resolver error code (response codes included).
[[nodiscard]] std::string GetDnsQueryErrorText(int ACode);
// True when AErrorCode, raised by a look-up, says the name does not exist:
// trying again later cannot help. False for every temporary failure.
[[nodiscard]] bool IsPermanentDnsError(int AErrorCode);

class TqvHostInfo : public TObject {
 public:
  VX_CLASS_NAME("TqvHostInfo")
  std::string IPAddress;
  std::string Name;
};

class TqvMailServerInfo : public TqvHostInfo {
 public:
  VX_CLASS_NAME("TqvMailServerInfo")
  int Preference = 0;  // 0..65535
};

class TqvHostList {
 public:
  TqvHostList() = default;
  virtual ~TqvHostList() = default;
  TqvHostList(const TqvHostList&) = delete;
  TqvHostList& operator=(const TqvHostList&) = delete;
  // Both take ownership and return the item, valid until Clear.
  TqvHostInfo* Add(std::unique_ptr<TqvHostInfo> AItem);
  TqvHostInfo* Insert(int AIndex, std::unique_ptr<TqvHostInfo> AItem);
  void Clear() { FItems.clear(); }
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // EListError outside 0..Count-1.
  [[nodiscard]] TqvHostInfo* Items(int AIndex) const;
  // The first item named AName (case ignored), or null.
  [[nodiscard]] TqvHostInfo* Find(const std::string& AName) const;

 private:
  std::vector<std::unique_ptr<TqvHostInfo>> FItems;
};

class TqvMailServerList : public TqvHostList {
 public:
  // Before the first item of greater Preference: ascending, stable.
  TqvMailServerInfo* AddSorted(std::unique_ptr<TqvMailServerInfo> AItem);
  [[nodiscard]] TqvMailServerInfo* Items(int AIndex) const;
};

class TqvDnsQuery : public TqvUdpClient {
 public:
  explicit TqvDnsQuery(TComponent* AOwner = nullptr);
  ~TqvDnsQuery() override;
  VX_CLASS_NAME("TqvDnsQuery")

  // MX look-up of a domain, or of an address's part after its first "@".
  // The first entry of MailServers, or null.
  TqvMailServerInfo* ResolveMX(const std::string& ADomainOrAddress);
  // A look-up of AHost; the first entry of HostList, or null.
  TqvHostInfo* ResolveIP(const std::string& AHost);
  // The TXT answers, each quoted, joined by ","; one answer unquoted; "" for none.
  std::string ResolveTXT(const std::string& AName);

  // Server selection and one query, with referrals when enabled.
  void Resolve(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse);
  // One datagram each way against Server:Port; over TCP again when the
  // reply is truncated.
  void Exchange(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse);
  // Exchange, then referrals while ADepth <= MaxRecursiveQueries.
  void QueryRecursive(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth);
  // Empties the seven results; the request gets a new ID.
  void Clear();

  // Any thread: the running look-up stops waiting and asks no further
  // server; every exchange fails at once with -1 until ResetAbort.
  void Abort();
  void ResetAbort() { FAborted = false; }
  [[nodiscard]] bool Aborted() const { return FAborted; }

  [[nodiscard]] bool IsRecursiveDesired() const { return FIsRecursiveDesired; }
  void SetIsRecursiveDesired(bool Value);
  [[nodiscard]] bool UseRecursiveQueries() const { return FUseRecursiveQueries; }
  void SetUseRecursiveQueries(bool Value);
  [[nodiscard]] int MaxRecursiveQueries() const { return FMaxRecursiveQueries; }
  void SetMaxRecursiveQueries(int Value);
  [[nodiscard]] bool AutodetectServer() const { return FAutodetectServer; }
  void SetAutodetectServer(bool Value);
  [[nodiscard]] const TStringList& RootNameServers() const { return FRootNameServers; }
  // Copies Value.
  void SetRootNameServers(const TStrings& Value);
  // The resolver configuration read by autodetection; "/etc/resolv.conf"
  // unless pointed elsewhere.
  [[nodiscard]] const std::string& ResolverConfig() const { return FResolverConfig; }
  void SetResolverConfig(const std::string& Value) { FResolverConfig = Value; }

  [[nodiscard]] TqvDnsMessage& Request() { return FRequest; }
  [[nodiscard]] TqvDnsMessage& Response() { return FResponse; }
  [[nodiscard]] TqvHostList& HostList() { return FHostList; }
  [[nodiscard]] TqvHostList& IPv6HostList() { return FIPv6HostList; }
  [[nodiscard]] TqvMailServerList& MailServers() { return FMailServers; }
  [[nodiscard]] TStringList& NameServers() { return FNameServers; }
  [[nodiscard]] TStringList& Aliases() { return FAliases; }

 protected:
  int GetDefaultPort() const override { return 53; }
  // Fills AList with the system's name servers.
  virtual void GetSystemNameServers(TStrings& AList);

 private:
  void ExchangeTcp(const TqvDnsMessage& ARequest, const std::string& AQuery, TqvDnsMessage& AResponse);
  void ResolveAt(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth);
  void QueryAt(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth);
  void AddressQuery(const std::string& AHost, const std::string& AServer, TqvDnsMessage& ARequest,
                    TqvDnsMessage& AResponse, int ADepth);
  void PrepareRequest(int AType, const std::string& AName);
  void CollectCommonLists(bool AFromAnswers);

  bool FIsRecursiveDesired = true;
  bool FUseRecursiveQueries = false;
  int FMaxRecursiveQueries = 4;
  bool FAutodetectServer = true;
  TStringList FRootNameServers;
  std::string FResolverConfig;
  TqvDnsMessage FRequest;
  TqvDnsMessage FResponse;
  TqvHostList FHostList;
  TqvHostList FIPv6HostList;
  TqvMailServerList FMailServers;
  TStringList FNameServers;
  TStringList FAliases;
  // The list entry that answered last ("" when none has).
  std::string FListServer;
  std::unique_ptr<TqvTcpClientConnection> FTcp;
  std::atomic<bool> FAborted{false};
};
