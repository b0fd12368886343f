#include "qvDnsQuery.h"

#include <algorithm>
#include <exception>

#include "MessageLoop.h"
#include "ResolverConfig.h"
#include "qvHostResolver.h"
#include "qvSocket.h"
#include "qvSocketUtils.h"

namespace {

// Records of AType in AList, in order.
template <class TRecord>
std::vector<TRecord*> RecordsOf(const TqvDnsRecordList& AList) {
  std::vector<TRecord*> found;
  for (int i = 0; i < AList.Count(); ++i)
    if (auto* r = dynamic_cast<TRecord*>(AList.Items(i))) found.push_back(r);
  return found;
}

}  // namespace

// --- host lists

TqvHostInfo* TqvHostList::Add(std::unique_ptr<TqvHostInfo> AItem) {
  Assert(AItem != nullptr);
  FItems.push_back(std::move(AItem));
  return FItems.back().get();
}

TqvHostInfo* TqvHostList::Insert(int AIndex, std::unique_ptr<TqvHostInfo> AItem) {
  Assert(AItem != nullptr);
  if (AIndex < 0 || AIndex > Count()) throw EListError::OutOfBounds(AIndex);
  return FItems.insert(FItems.begin() + AIndex, std::move(AItem))->get();
}

TqvHostInfo* TqvHostList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError::OutOfBounds(AIndex);
  return FItems[static_cast<size_t>(AIndex)].get();
}

TqvHostInfo* TqvHostList::Find(const std::string& AName) const {
  for (const auto& item : FItems)
    if (SameDnsName(item->Name, AName)) return item.get();
  return nullptr;
}

TqvMailServerInfo* TqvMailServerList::AddSorted(std::unique_ptr<TqvMailServerInfo> AItem) {
  Assert(AItem != nullptr);
  int at = Count();
  for (int i = 0; i < Count(); ++i) {
    if (Items(i)->Preference > AItem->Preference) {
      at = i;
      break;
    }
  }
  return static_cast<TqvMailServerInfo*>(Insert(at, std::move(AItem)));
}

TqvMailServerInfo* TqvMailServerList::Items(int AIndex) const {
  return static_cast<TqvMailServerInfo*>(TqvHostList::Items(AIndex));
}

// --- resolver

TqvDnsQuery::TqvDnsQuery(TComponent* AOwner)
    : TqvUdpClient(AOwner), FResolverConfig(plat::kDefaultResolverConfig), FTcp(std::make_unique<TqvTcpClientConnection>()) {
  InitDefaultPort();
  SetDatagramSize(qvDnsMaxDatagram);
}

TqvDnsQuery::~TqvDnsQuery() { RunBeforeDestroy(); }

void TqvDnsQuery::SetIsRecursiveDesired(bool Value) {
  if (FIsRecursiveDesired == Value) return;
  FIsRecursiveDesired = Value;
  Changed();
}

void TqvDnsQuery::SetUseRecursiveQueries(bool Value) {
  if (FUseRecursiveQueries == Value) return;
  FUseRecursiveQueries = Value;
  Changed();
}

void TqvDnsQuery::SetMaxRecursiveQueries(int Value) {
  if (FMaxRecursiveQueries == Value) return;
  FMaxRecursiveQueries = Value;
  Changed();
}

void TqvDnsQuery::SetAutodetectServer(bool Value) {
  if (FAutodetectServer == Value) return;
  FAutodetectServer = Value;
  Changed();
}

void TqvDnsQuery::SetRootNameServers(const TStrings& Value) { FRootNameServers.Assign(Value); }

void TqvDnsQuery::Clear() {
  FRequest.Clear();
  FResponse.Clear();
  FHostList.Clear();
  FIPv6HostList.Clear();
  FMailServers.Clear();
  FNameServers.Clear();
  FAliases.Clear();
}

void TqvDnsQuery::GetSystemNameServers(TStrings& AList) {
  for (const std::string& server : plat::GetSystemNameServers(FResolverConfig))
    if (AList.IndexOf(server) < 0) AList.Add(server);
}

void TqvDnsQuery::Abort() {
  FAborted = true;
  Interrupt();
  FTcp->Interrupt();
}

namespace {

// The reply's question is the one asked: same names (case ignored), types and
// classes, in order. A reply with another question, or none, is not ours.
bool SameQuestion(const TqvDnsMessage& ARequest, const TqvDnsMessage& AReply) {
  if (AReply.Queries.Count() != ARequest.Queries.Count() || AReply.Queries.Count() == 0) return false;
  for (int i = 0; i < AReply.Queries.Count(); ++i) {
    const TqvDnsRecord& asked = *ARequest.Queries.Items(i);
    const TqvDnsRecord& got = *AReply.Queries.Items(i);
    if (got.RecordType != asked.RecordType || got.RecordClass != asked.RecordClass ||
        !SameDnsName(got.Name, asked.Name))
      return false;
  }
  return true;
}

uint16_t WordAt(const std::string& AData, size_t APos) {
  return static_cast<uint16_t>((static_cast<uint8_t>(AData[APos]) << 8) | static_cast<uint8_t>(AData[APos + 1]));
}

constexpr uint16_t kTruncatedFlag = 0x0200;

}  // namespace

std::string GetDnsQueryErrorText(int ACode) {
  switch (ACode) {
    case qvDnsTruncatedReply: return "The reply was truncated and could not be read over TCP";
    default: return GetDnsResponseText(ACode);
  }
}

bool IsPermanentDnsError(int AErrorCode) { return AErrorCode == qvDnsNoSuchName; }

// Parses ABytes into AResponse when it answers ARequest: true then (an error
// response code raises after the sections were read). False, with AResponse
// empty, for a datagram that is not the answer to this query.
static bool ParseAnswer(const TqvDnsMessage& ARequest, const std::string& ABytes, TqvDnsMessage& AResponse) {
  if (ABytes.size() < 2 || WordAt(ABytes, 0) != ARequest.Header.ID) return false;
  std::exception_ptr failure;
  try {
    AResponse.Parse(ABytes);
  } catch (const EqvDnsError&) {
    failure = std::current_exception();
  }
  if (!SameQuestion(ARequest, AResponse)) {
    AResponse.Clear();
    return false;
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}

void TqvDnsQuery::Exchange(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse) {
  TMemoryStream request;
  ARequest.Build(request);
  const std::string query(static_cast<const char*>(request.Memory()), static_cast<size_t>(request.Size()));
  bool truncated = false;
  Open();
  try {
    // The open clears the connection's interrupt: an Abort that came before
    // it is caught here, one that comes after ends the wait.
    if (FAborted) RaiseSocketError(qvTimeoutError);
    request.SetPosition(0);
    SendPacket(request);
    for (;;) {
      TMemoryStream reply;
      ReceivePacket(reply);
      // Only the answer to this query counts (its ID and its question);
      // anything else is dropped and the wait, counted from the send, goes on.
      const std::string bytes(static_cast<const char*>(reply.Memory()), static_cast<size_t>(reply.Size()));
      if (bytes.size() >= 4 && WordAt(bytes, 0) == ARequest.Header.ID && (WordAt(bytes, 2) & kTruncatedFlag)) {
        // Whatever a truncated reply holds is partial: "no answer" in it
        // means nothing. The whole reply comes over TCP.
        TqvDnsMessage probe;
        try {
          probe.Parse(bytes);
        } catch (const EqvDnsError&) {
        }
        if (!SameQuestion(ARequest, probe)) continue;
        truncated = true;
        break;
      }
      if (ParseAnswer(ARequest, bytes, AResponse)) break;
    }
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
  Close();
  if (truncated) ExchangeTcp(ARequest, query, AResponse);
}

void TqvDnsQuery::ExchangeTcp(const TqvDnsMessage& ARequest, const std::string& AQuery, TqvDnsMessage& AResponse) {
  AResponse.Clear();
  TqvTcpClientConnection& c = *FTcp;
  std::string reply;
  try {
    c.TimeOut = TimeOut();
    c.UseIpV6 = UseIpV6();
    c.LocalBinding = LocalBinding();
    c.BeginOpen();
    std::string ip;
    ResolveHost(Server(), UseIpV6(), ip);
    c.SetNetworkStream(std::make_unique<TqvNetworkStream>());
    c.Open(ip, Port());
    if (!c.Active() || FAborted) RaiseSocketError(qvTimeoutError);
    std::string framed;
    framed += static_cast<char>(AQuery.size() >> 8);
    framed += static_cast<char>(AQuery.size() & 0xFF);
    framed += AQuery;
    WriteConnectionString(c, framed, "");
    // The whole reply must come within TimeOut of the query: a peer that
    // trickles bytes cannot hold the look-up.
    const uint32_t start = plat::GetTickCount();
    while (reply.size() < 2 || reply.size() < 2u + WordAt(reply, 0)) {
      const int64_t left = static_cast<int64_t>(TimeOut()) - static_cast<int64_t>(plat::GetTickCount() - start);
      if (left <= 0) RaiseSocketError(qvTimeoutError);
      c.TimeOut = static_cast<int>(left);
      TStringStream data;
      (void)c.ReadData(&data);
      const std::string bytes = data.DataString();
      if (bytes.empty() && (c.Aborted() || !c.Active())) RaiseSocketError(qvConnectionNotActive);
      reply += bytes;
    }
    c.Close(false);
  } catch (const EqvSocketError&) {
    try {
      c.Close(false);
    } catch (...) {
    }
    throw EqvDnsError(GetDnsQueryErrorText(qvDnsTruncatedReply), qvDnsTruncatedReply);
  }
  if (!ParseAnswer(ARequest, reply.substr(2, WordAt(reply, 0)), AResponse))
    throw EqvDnsError(GetDnsQueryErrorText(qvDnsTruncatedReply), qvDnsTruncatedReply);
}

void TqvDnsQuery::Resolve(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse) { ResolveAt(ARequest, AResponse, 0); }

void TqvDnsQuery::ResolveAt(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth) {
  if (FAutodetectServer && Server().empty() && FRootNameServers.Count() == 0) GetSystemNameServers(FRootNameServers);
  // Server names a fixed server unless the list put it there.
  const bool fromList = FRootNameServers.Count() > 0 && (Server().empty() || Server() == FListServer);
  if (!fromList) {
    const std::string saved = Server();
    try {
      QueryAt(ARequest, AResponse, ADepth);
    } catch (...) {
      SetServer(saved);
      throw;
    }
    SetServer(saved);
    return;
  }
  // The server that answered last is asked first; one that stops answering
  // gives way to the next, and so on round the list.
  const int count = FRootNameServers.Count();
  const int first = std::max(0, FRootNameServers.IndexOf(FListServer));
  std::exception_ptr answered, failed;
  for (int k = 0; k < count; ++k) {
    const std::string entry = FRootNameServers.Strings((first + k) % count);
    SetServer(entry);
    FListServer = entry;
    try {
      QueryAt(ARequest, AResponse, ADepth);
      SetServer(entry);
      FListServer = entry;
      return;
    } catch (const EqvDnsError& e) {
      // A server's own answer (a response code) says more than silence.
      if (e.ErrorCode > 0 && !answered) answered = std::current_exception();
      failed = std::current_exception();
    } catch (const EqvSocketError&) {
      failed = std::current_exception();
    }
    SetServer("");
    FListServer.clear();
    if (FAborted) break;
  }
  AResponse.Clear();
  // Every server failed: the caller learns why, as with a fixed server.
  if (answered) std::rethrow_exception(answered);
  if (failed) std::rethrow_exception(failed);
}

void TqvDnsQuery::QueryRecursive(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth) {
  QueryAt(ARequest, AResponse, ADepth);
}

void TqvDnsQuery::QueryAt(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth) {
  if (ADepth > FMaxRecursiveQueries) return;
  Exchange(ARequest, AResponse);
  if (!FUseRecursiveQueries || AResponse.Answers.Count() > 0) return;
  for (TqvDnsNSRecord* ns : RecordsOf<TqvDnsNSRecord>(AResponse.Authorities)) {
    try {
      std::string address;
      if (auto* glue = dynamic_cast<TqvDnsARecord*>(AResponse.AdditionalRecords.FindItem(ns->NameServer, qvDnsTypeA))) {
        address = glue->IPAddress;
      } else {
        // The name server's own address costs from the same budget, so a
        // cycle of delegations ends.
        TqvDnsMessage request, response;
        AddressQuery(ns->NameServer, "", request, response, ADepth + 1);
        auto* a = response.Answers.Count() > 0 ? dynamic_cast<TqvDnsARecord*>(response.Answers.Items(0)) : nullptr;
        if (!a) continue;
        address = a->IPAddress;
      }
      SetServer(address);
      TqvDnsMessage referred;
      QueryAt(ARequest, referred, ADepth + 1);
      AResponse.Assign(referred);  // ns is gone from here on
      return;
    } catch (const EqvSocketError&) {
    }
  }
}

void TqvDnsQuery::AddressQuery(const std::string& AHost, const std::string& AServer, TqvDnsMessage& ARequest,
                               TqvDnsMessage& AResponse, int ADepth) {
  SetServer(AServer);
  ARequest.Header.IsQuery = true;
  ARequest.Header.IsRecursionDesired = FIsRecursiveDesired;
  std::unique_ptr<TqvDnsRecord> q = std::make_unique<TqvDnsARecord>();
  q->Name = AHost;
  ARequest.Queries.Add(std::move(q));
  ResolveAt(ARequest, AResponse, ADepth);
}

void TqvDnsQuery::PrepareRequest(int AType, const std::string& AName) {
  FRequest.Header.IsQuery = true;
  FRequest.Header.IsRecursionDesired = FIsRecursiveDesired;
  std::unique_ptr<TqvDnsRecord> q = FRequest.CreateRecord(AType);
  q->Name = AName;
  FRequest.Queries.Add(std::move(q));
}

void TqvDnsQuery::CollectCommonLists(bool AFromAnswers) {
  const TqvDnsRecordList& hosts = AFromAnswers ? FResponse.Answers : FResponse.AdditionalRecords;
  for (int i = 0; i < hosts.Count(); ++i) {
    TqvDnsRecord* r = hosts.Items(i);
    auto info = std::make_unique<TqvHostInfo>();
    info->Name = r->Name;
    if (auto* a = dynamic_cast<TqvDnsARecord*>(r)) {
      info->IPAddress = a->IPAddress;
      FHostList.Add(std::move(info));
    } else if (auto* aaaa = dynamic_cast<TqvDnsAAAARecord*>(r)) {
      info->IPAddress = aaaa->IPAddress;
      FIPv6HostList.Add(std::move(info));
    }
  }
  for (TqvDnsNSRecord* ns : RecordsOf<TqvDnsNSRecord>(FResponse.Authorities)) FNameServers.Add(ns->NameServer);
  for (const TqvDnsRecordList* list : {&FResponse.Answers, &FResponse.AdditionalRecords})
    for (TqvDnsCNAMERecord* c : RecordsOf<TqvDnsCNAMERecord>(*list)) FAliases.Add(c->Name);
}

TqvMailServerInfo* TqvDnsQuery::ResolveMX(const std::string& ADomainOrAddress) {
  Clear();
  const size_t at = ADomainOrAddress.find('@');
  PrepareRequest(qvDnsTypeMX, at == std::string::npos ? ADomainOrAddress : ADomainOrAddress.substr(at + 1));
  Resolve(FRequest, FResponse);
  CollectCommonLists(false);
  for (TqvDnsMXRecord* mx : RecordsOf<TqvDnsMXRecord>(FResponse.Answers)) {
    auto info = std::make_unique<TqvMailServerInfo>();
    const TqvHostInfo* host = FHostList.Find(mx->MailServer);
    info->IPAddress = host ? host->IPAddress : std::string();
    info->Preference = mx->Preference;
    info->Name = mx->MailServer;
    FMailServers.AddSorted(std::move(info));
  }
  return FMailServers.Count() > 0 ? FMailServers.Items(0) : nullptr;
}

TqvHostInfo* TqvDnsQuery::ResolveIP(const std::string& AHost) {
  Clear();
  AddressQuery(AHost, Server(), FRequest, FResponse, 0);
  CollectCommonLists(true);
  return FHostList.Count() > 0 ? FHostList.Items(0) : nullptr;
}

std::string TqvDnsQuery::ResolveTXT(const std::string& AName) {
  Clear();
  PrepareRequest(qvDnsTypeTXT, AName);
  Resolve(FRequest, FResponse);
  CollectCommonLists(false);
  std::string result;
  int found = 0;
  for (TqvDnsTXTRecord* txt : RecordsOf<TqvDnsTXTRecord>(FResponse.Answers)) {
    ++found;
    if (!result.empty()) result += ',';
    // Every string of the record: a long key spans several.
    const std::string text = txt->JoinedText();
    if (text.empty())
      result += "\"\"";
    else if (text.front() == '"' || text.back() == '"')
      result += text;
    else
      result += '"' + text + '"';
  }
  if (found == 1 && result.size() > 1 && result.front() == '"' && result.back() == '"')
    result = result.substr(1, result.size() - 2);
  return result;
}
