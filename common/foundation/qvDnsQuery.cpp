#include "qvDnsQuery.h"

#include "ResolverConfig.h"
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

TqvDnsQuery::TqvDnsQuery(TComponent* AOwner) : TqvUdpClient(AOwner), FResolverConfig(plat::kDefaultResolverConfig) {
  InitDefaultPort();
  SetDatagramSize(qvDnsMaxDatagram);
}

TqvDnsQuery::~TqvDnsQuery() = default;

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
}

void TqvDnsQuery::Exchange(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse) {
  Open();
  try {
    // The open clears the connection's interrupt: an Abort that came before
    // it is caught here, one that comes after ends the wait.
    if (FAborted) RaiseSocketError(qvTimeoutError);
    TMemoryStream request;
    ARequest.Build(request);
    request.SetPosition(0);
    SendPacket(request);
    for (;;) {
      TMemoryStream reply;
      ReceivePacket(reply);
      // Only the answer to this query counts; anything else is dropped unread
      // and the wait, counted from the send, goes on.
      const auto* p = reinterpret_cast<const uint8_t*>(reply.Memory());
      if (reply.Size() < 2 || ((p[0] << 8) | p[1]) != ARequest.Header.ID) continue;
      reply.SetPosition(0);
      AResponse.Parse(reply);
      break;
    }
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
  Close();
}

void TqvDnsQuery::Resolve(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse) { ResolveAt(ARequest, AResponse, 0); }

void TqvDnsQuery::ResolveAt(TqvDnsMessage& ARequest, TqvDnsMessage& AResponse, int ADepth) {
  if (FAutodetectServer && Server().empty() && FRootNameServers.Count() == 0) GetSystemNameServers(FRootNameServers);
  if (!Server().empty() || FRootNameServers.Count() == 0) {
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
  for (int i = 0; i < FRootNameServers.Count(); ++i) {
    const std::string entry = FRootNameServers.Strings(i);
    SetServer(entry);
    try {
      QueryAt(ARequest, AResponse, ADepth);
      SetServer(entry);
      return;
    } catch (const EqvSocketError&) {
      SetServer("");
      if (FAborted) break;
    }
  }
  AResponse.Clear();
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
