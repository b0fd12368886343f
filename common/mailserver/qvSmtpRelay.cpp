#include "qvSmtpRelay.h"

#include <algorithm>

#include "SysError.h"
#include "qvEmailAddress.h"
#include "qvIpAddress.h"
#include "qvIdnTranslator.h"
#include "qvSspi.h"
#include "qvTextUtils.h"

// --- TqvSmtpRelayStatusList

TqvSmtpRelayStatus& TqvSmtpRelayStatusList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError::OutOfBounds(AIndex);
  return *FItems[static_cast<size_t>(AIndex)];
}

TqvSmtpRelayStatus& TqvSmtpRelayStatusList::Add(std::unique_ptr<TqvSmtpRelayStatus> AItem) {
  FItems.push_back(std::move(AItem));
  return *FItems.back();
}

// --- TqvSmtpRelay

namespace {

constexpr char kNoDomainText[] = "The recipient has no domain";

// A failure that trying again will not mend: a 5xx reply, a message without
// lines, a recipient without a domain.
bool PermanentCode(int ACode) {
  return (ACode >= 500 && ACode <= 599) || ACode == qvSmtpDataEmpty || ACode == qvRelayNoDomain;
}

void Refuse(TqvRelayRecipient& ARecipient, int ACode, const std::string& AText) {
  ARecipient.Outcome = PermanentCode(ACode) ? TqvRelayOutcome::roFailed : TqvRelayOutcome::roRetry;
  ARecipient.ResponseCode = ACode;
  ARecipient.ErrorCode = ACode;
  ARecipient.ErrorText = AText;
  ARecipient.OwnReply = true;
}

void AddRecipients(TqvSmtpRelayStatus& AStatus, const TStrings& ARecipients) {
  for (int i = 0; i < ARecipients.Count(); ++i) {
    TqvRelayRecipient r;
    r.Email = ARecipients.Strings(i);
    AStatus.Recipients.push_back(std::move(r));
  }
}

std::vector<std::string> Texts(const TStrings& AList) {
  std::vector<std::string> texts;
  for (int i = 0; i < AList.Count(); ++i) texts.push_back(AList.Strings(i));
  return texts;
}

// Records a caught error in the status: the last one met wins.
template <class E>
void RecordError(TqvSmtpRelayStatus& AStatus, const E& AError) {
  AStatus.ErrorCode = AError.ErrorCode;
  AStatus.ErrorText = AError.Message();
}

}  // namespace

TqvSmtpRelay::TqvSmtpRelay(TComponent* AOwner) : TqvSmtp(AOwner), FDns(std::make_unique<TqvDnsQuery>()) {
  FDns->SetIsRecursiveDesired(true);
  // A receiver may scan a message for minutes before it answers: the waits
  // a sending mail server owes it.
  SetTimeOuts(qvRfc5321TimeOuts);
  // Made now, so that Abort from another thread finds it in place.
  (void)GetConnection();
}

TqvSmtpRelay::~TqvSmtpRelay() {
  try {
    // No QUIT into the DATA of a group sent for a message that never came.
    if (FPrefetched) SetBusy(true);
    Close();
  } catch (...) {
  }
}

void TqvSmtpRelay::SetDnsServer(const std::string& AValue) {
  if (FDns->Server() == AValue) return;
  FDns->SetServer(AValue);
  Changed();
}

void TqvSmtpRelay::Abort() {
  FAborted = true;
  FDns->Abort();
  GetConnection().Interrupt();
}

void TqvSmtpRelay::ResetAbort() {
  FAborted = false;
  FDns->ResetAbort();
}

std::string TqvSmtpRelay::RecipientDomain(const std::string& ARecipient) {
  std::string name, email;
  if (!GetEmailAddressParts(ARecipient, name, email)) email = qvtext::Trim(ARecipient);
  const size_t at = email.find('@');
  return at == std::string::npos ? std::string() : qvtext::LowerCase(email.substr(at + 1));
}

void TqvSmtpRelay::WaitResponse(const TqvReplyCodes& ACodes) {
  FReplied = true;
  const bool reset = FReset == TReset::Sent;
  try {
    TqvSmtp::WaitResponse(ACodes);
  } catch (const EqvSocketError&) {
    if (reset) FReset = TReset::Failed;
    throw;
  }
  if (reset) FReset = ResponseCode() == 250 ? TReset::Done : TReset::Failed;
}

void TqvSmtpRelay::SetNextMessage(const std::string& AMailFrom, const TStrings& ARecipients) {
  FHasNext = true;
  FNextFrom = AMailFrom;
  FNextRcpts = Texts(ARecipients);
}

void TqvSmtpRelay::CloseKept(const std::string& ADomain, const std::string& AHost) {
  const bool prefetched = FPrefetched;
  FPrefetched = false;
  FReset = TReset::None;
  if (prefetched)
    DropSession(ADomain, AHost);
  else
    DisconnectMX(ADomain, AHost);
}

bool TqvSmtpRelay::MayPrefetch() {
  if (!KeepSessions || !FHasNext || !FLastDomain || FAborted || FNextRcpts.empty()) return false;
  if (!UsePipelining || !PipeliningOffered()) return false;
  for (const std::string& rcpt : FNextRcpts)
    if (RecipientDomain(rcpt) != FDomainInHand) return false;
  return true;
}

void TqvSmtpRelay::EndPass() {
  try {
    if (Active()) CloseKept(FKeptDomain, FKeptHost);
  } catch (const EqvSocketError&) {
  } catch (const EqvSSPIError&) {
  }
  FKeptHost.clear();
  FKeptDomain.clear();
  FReset = TReset::None;
  FPrefetched = false;
  FHasNext = false;
  FUnreachable.clear();
  FMxCache.clear();
  FAddressCache.clear();
}

const TqvSmtpRelay::TCachedAnswer* TqvSmtpRelay::Cached(const std::map<std::string, TCachedAnswer>& ACache,
                                                        const std::string& AKey) {
  const auto it = ACache.find(AKey);
  return it != ACache.end() && std::chrono::steady_clock::now() < it->second.Expires ? &it->second : nullptr;
}

void TqvSmtpRelay::Keep(std::map<std::string, TCachedAnswer>& ACache, const std::string& AKey,
                        TCachedAnswer AAnswer, int64_t ATtl) {
  if (ATtl <= 0) return;
  AAnswer.Expires = std::chrono::steady_clock::now() + std::chrono::seconds(ATtl);
  ACache[AKey] = std::move(AAnswer);
}

int64_t TqvSmtpRelay::LastAnswerTtl() {
  int64_t ttl = -1;
  for (const TqvDnsRecordList* list : {&FDns->Response().Answers, &FDns->Response().AdditionalRecords})
    for (int i = 0; i < list->Count(); ++i) {
      const int64_t t = list->Items(i)->TTL;
      ttl = ttl < 0 ? t : std::min(ttl, t);
    }
  return ttl < 0 ? 0 : ttl;
}

void TqvSmtpRelay::Send(const std::string& AMailFrom, TStrings& ALines, const TStrings& ARecipients) {
  FStatusList.Clear();
  if (!KeepSessions) Close();
  std::vector<std::string> domains;
  for (int i = 0; i < ARecipients.Count(); ++i) {
    const std::string domain = RecipientDomain(ARecipients.Strings(i));
    bool known = false;
    for (const std::string& d : domains) known = known || d == domain;
    if (!known) domains.push_back(domain);
  }
  struct THintOnce {
    bool& Has;
    ~THintOnce() { Has = false; }
  } hintOnce{FHasNext};
  for (const std::string& domain : domains) {
    if (FAborted) return;
    FLastDomain = domain == domains.back();
    TqvSmtpRelayStatus& status = FStatusList.Add(std::make_unique<TqvSmtpRelayStatus>());
    status.Domain = domain;
    // Only the recipients of exactly this domain: "example.com" must not
    // pick up "x@example.community".
    TStringList selected;
    for (int i = 0; i < ARecipients.Count(); ++i)
      if (RecipientDomain(ARecipients.Strings(i)) == domain) selected.Add(ARecipients.Strings(i));
    AddRecipients(status, selected);
    if (domain.empty()) {
      // Nowhere to look for an exchanger, now or later.
      for (TqvRelayRecipient& r : status.Recipients) Refuse(r, qvRelayNoDomain, kNoDomainText);
      Conclude(status, false);
      continue;
    }
    const auto dead = DeferUnreachable ? FUnreachable.find(domain) : FUnreachable.end();
    if (dead != FUnreachable.end()) {
      status.Deferred = true;
      status.ErrorCode = dead->second.ErrorCode;
      status.ErrorText = dead->second.ErrorText;
      Conclude(status, true);
      continue;
    }
    TryExchangers(domain, AMailFrom, status, selected, ALines);
  }
}

void TqvSmtpRelay::TryExchangers(const std::string& ADomain, const std::string& AMailFrom,
                                 TqvSmtpRelayStatus& AStatus, const TStrings& ARecipients, TStrings& ALines) {
  // A group that went out for another message than this one: the session
  // cannot carry this one.
  if (FPrefetched && !(qvtext::SameText(FKeptDomain, ADomain) && FPrefetchFrom == AMailFrom &&
                       FPrefetchRcpts == Texts(ARecipients))) {
    const std::string host = FKeptHost;
    FKeptHost.clear();
    CloseKept(FKeptDomain, host);
  }
  // The session kept for this very domain goes on without a new look-up.
  if (KeepSessions && !FAborted && SessionKept() && qvtext::SameText(FKeptDomain, ADomain) && ResumeKeptSession()) {
    AStatus.Domain = ADomain;
    AStatus.MailServer = FKeptHost;
    const std::string host = FKeptHost;
    DeliverOver(host, ADomain, AMailFrom, AStatus, ARecipients, ALines);
    return;
  }
  TStringList hosts;
  ResolveMX(ADomain, hosts, AStatus);
  bool allRefusedForGood = hosts.Count() > 0;
  bool anyReply = false;
  for (int h = 0; h < hosts.Count() && !FAborted; ++h) {
    const std::string host = hosts.Strings(h);
    FReplied = false;
    if (ConnectMX(ADomain, host, AStatus)) {
      // What failed on the exchangers before this one no longer counts.
      AStatus.ErrorCode = 0;
      AStatus.ErrorText.clear();
      DeliverOver(host, ADomain, AMailFrom, AStatus, ARecipients, ALines);
      return;
    }
    // The code is this attempt's own: none when no reply came.
    if (!FReplied) {
      AStatus.ResponseCode = 0;
      AStatus.ResponseText.clear();
    }
    anyReply = anyReply || AStatus.ResponseCode != 0;
    allRefusedForGood = allRefusedForGood && PermanentCode(AStatus.ResponseCode);
  }
  // No exchanger: as the look-up ended; exchangers that all failed: for
  // good only when each refused with a 5xx.
  const bool transient = FAborted || (hosts.Count() == 0 ? AStatus.LookUp == dlTemporary : !allRefusedForGood);
  if (DeferUnreachable && transient && !anyReply && !FAborted)
    FUnreachable[ADomain] = {AStatus.ErrorCode, AStatus.ErrorText};
  Conclude(AStatus, transient);
}

void TqvSmtpRelay::DeliverOver(const std::string& AHost, const std::string& ADomain, const std::string& AMailFrom,
                               TqvSmtpRelayStatus& AStatus, const TStrings& ARecipients, TStrings& ALines) {
  FSessionSound = true;
  FDomainInHand = ADomain;
  RelayToDomain(ADomain, AMailFrom, AStatus, ARecipients, ALines);
  if (FReset == TReset::Failed || FReset == TReset::Sent) {
    // The kept session was gone before its RSET was answered: nothing of
    // this domain went over it, and it goes once more over a new session.
    FReset = TReset::None;
    FPrefetched = false;
    FKeptHost.clear();
    DropSession(ADomain, AHost);
    FReplied = false;
    if (FAborted || !ConnectMX(ADomain, AHost, AStatus)) {
      // The code is this attempt's own: none when no reply came.
      if (!FReplied) {
        AStatus.ResponseCode = 0;
        AStatus.ResponseText.clear();
      }
      Conclude(AStatus, true);
      return;
    }
    FSessionSound = true;
    RelayToDomain(ADomain, AMailFrom, AStatus, ARecipients, ALines);
  }
  if (KeepSessions && FSessionSound && !FAborted && Active()) {
    FKeptDomain = ADomain;
    return;
  }
  FKeptHost.clear();
  CloseKept(ADomain, AHost);
}

void TqvSmtpRelay::DropSession(const std::string& ADomain, const std::string& AHost) {
  // Busy: no QUIT that a receiver still in DATA would take as message text.
  SetBusy(true);
  try {
    Close();
  } catch (...) {
    SetBusy(false);
    throw;
  }
  SetBusy(false);
  if (OnDisconnectMX) OnDisconnectMX(this, ADomain, AHost);
}

bool TqvSmtpRelay::ResumeKeptSession() {
  const auto age = std::chrono::steady_clock::now() - FKeptSince;
  if (age < std::chrono::milliseconds(KeptSessionLimitMs)) {
    // With PIPELINING the RSET goes with the next transaction.
    if (UsePipelining && PipeliningOffered()) {
      FReset = TReset::Owed;
      return true;
    }
    try {
      Reset();
      return true;
    } catch (const EqvSocketError&) {
    } catch (const EqvSSPIError&) {
    }
  }
  // Gone, unwilling or old: closed, and the attempt starts afresh.
  const std::string host = FKeptHost;
  FKeptHost.clear();
  CloseKept(FKeptDomain, host);
  FReplied = false;
  return false;
}

void TqvSmtpRelay::RunTransactions(const std::string& AMailFrom, TqvSmtpRelayStatus& AStatus, TStrings& ALines) {
  std::vector<size_t> pending;
  for (size_t i = 0; i < AStatus.Recipients.size(); ++i)
    if (AStatus.Recipients[i].Outcome == TqvRelayOutcome::roRetry && !AStatus.Recipients[i].OwnReply)
      pending.push_back(i);
  SetSkipFailedRecipients(true);
  while (!pending.empty() && !FAborted) {
    TStringList rcpts;
    for (size_t i : pending) rcpts.Add(AStatus.Recipients[i].Email);
    std::vector<size_t> accepted, later;
    if (UsePipelining && PipeliningOffered()) {
      if (!PipelinedTransaction(AMailFrom, AStatus, ALines, pending, later)) break;
      pending = later;
      continue;
    }
    SendMailFrom(AMailFrom);
    // One RCPT at a time, so that each refusal is the recipient's own even
    // when the session breaks later, and a "452" after an accepted one (too
    // many for this transaction) puts off the rest without asking further.
    bool full = false;
    for (size_t i : pending) {
      if (full) {
        later.push_back(i);
        continue;
      }
      TqvRelayRecipient& r = AStatus.Recipients[i];
      TStringList one;
      one.Add(r.Email);
      try {
        SendRecipients(one);
        accepted.push_back(i);
      } catch (const EqvSmtpError& e) {
        if (e.ErrorCode != qvSmtpRecipientsFailed || FailedRecipients.Count() == 0) throw;
        const TqvFailedRecipient& refusal = FailedRecipients.Items(0);
        full = refusal.ErrorCode == 452 && !accepted.empty();
        if (full)
          later.push_back(i);
        else
          Refuse(r, refusal.ErrorCode, refusal.ErrorText);
      }
    }
    if (accepted.empty()) break;
    SendData(ALines);
    for (size_t i : accepted) AStatus.Recipients[i].Outcome = TqvRelayOutcome::roDelivered;
    pending = later;
  }
}

bool TqvSmtpRelay::PipelinedTransaction(const std::string& AMailFrom, TqvSmtpRelayStatus& AStatus, TStrings& ALines,
                                        const std::vector<size_t>& APending, std::vector<size_t>& ALater) {
  TStringList rcpts;
  for (size_t i : APending) rcpts.Add(AStatus.Recipients[i].Email);
  std::vector<TqvFailedRecipient> replies;
  std::vector<size_t> accepted;
  // Each reply read counts, even when the session breaks at a later one.
  auto sort = [&] {
    for (size_t k = 0; k < replies.size(); ++k) {
      const size_t i = APending[k];
      if (RecipientAccepted(replies[k].ErrorCode))
        accepted.push_back(i);
      else if (replies[k].ErrorCode == 452 && !accepted.empty())
        ALater.push_back(i);  // too many for this transaction
      else
        Refuse(AStatus.Recipients[i], replies[k].ErrorCode, replies[k].ErrorText);
    }
    for (size_t k = replies.size(); k < APending.size(); ++k) ALater.push_back(APending[k]);
  };
  bool data = false;
  const bool reset = FReset == TReset::Owed;
  if (reset) FReset = TReset::Sent;
  // A group that went out behind the last message: only its replies are read.
  const bool sent = FPrefetched;
  FPrefetched = false;
  try {
    data = SendEnvelope(AMailFrom, rcpts, replies, reset, sent);
  } catch (...) {
    // Before the RSET's 250 no reply belongs to this transaction.
    if (FReset != TReset::Sent && FReset != TReset::Failed) sort();
    throw;
  }
  sort();
  if (!data) return false;
  // The next message's group rides behind the end of this one, if it is
  // the last transaction of the Send for this session.
  std::vector<std::string> next;
  if (ALater.empty() && MayPrefetch()) {
    TStringList nextRcpts;
    for (const std::string& r : FNextRcpts) nextRcpts.Add(r);
    next = EnvelopeCommands(FNextFrom, nextRcpts, true);
    // From here a close must not QUIT: the receiver may be in that DATA.
    FPrefetched = true;
    FPrefetchFrom = FNextFrom;
    FPrefetchRcpts = FNextRcpts;
  }
  SendDataBody(ALines, next.empty() ? nullptr : &next);
  for (size_t i : accepted) AStatus.Recipients[i].Outcome = TqvRelayOutcome::roDelivered;
  return true;
}

void TqvSmtpRelay::Conclude(TqvSmtpRelayStatus& AStatus, bool ATransient) {
  bool all = !AStatus.Recipients.empty();
  const TqvRelayRecipient* firstRefused = nullptr;
  AStatus.Transient = false;
  for (TqvRelayRecipient& r : AStatus.Recipients) {
    if (r.Outcome == TqvRelayOutcome::roDelivered) continue;
    all = false;
    if (r.OwnReply) {
      if (!firstRefused) firstRefused = &r;
    } else {
      r.ResponseCode = AStatus.ResponseCode;
      r.ErrorCode = AStatus.ErrorCode;
      r.ErrorText = AStatus.ErrorText;
      r.Outcome = ATransient ? TqvRelayOutcome::roRetry : TqvRelayOutcome::roFailed;
    }
    AStatus.Transient = AStatus.Transient || r.Outcome == TqvRelayOutcome::roRetry;
  }
  AStatus.Sent = all;
  if (all) {
    AStatus.ErrorCode = 0;
    AStatus.ErrorText.clear();
  } else if (AStatus.ErrorCode == 0 && firstRefused) {
    AStatus.ErrorCode = firstRefused->ErrorCode;
    AStatus.ErrorText = firstRefused->ErrorText;
  }
}

void TqvSmtpRelay::ResolveMX(const std::string& ADomain, TStrings& AHosts, TqvSmtpRelayStatus& AStatus) {
  AStatus.Domain = ADomain;
  AHosts.Clear();
  FKnownAddresses.clear();
  try {
    bool handled = false;
    if (OnResolveMX) OnResolveMX(this, ADomain, AHosts, handled);
    if (!handled) {
      // The same IDN form that RCPT uses; a name that has none is asked as it is.
      std::string query = ADomain;
      try {
        query = TqvIdnTranslator::EncodeDomain(ADomain);
      } catch (const EqvIdnError&) {
      }
      if (const TCachedAnswer* cached = CacheLookUps ? Cached(FMxCache, query) : nullptr) {
        for (const std::string& host : cached->Hosts) AHosts.Add(host);
        FKnownAddresses = cached->Known;
      } else {
        FDns->ResolveMX(query);
        int64_t ttl = LastAnswerTtl();
        TqvMailServerList& servers = FDns->MailServers();
        for (int i = 0; i < servers.Count(); ++i) AHosts.Add(servers.Items(i)->Name);
        // The addresses the answer carries for its exchangers, every one of them.
        const TqvHostList& glue = FDns->HostList();
        for (int i = 0; i < glue.Count(); ++i)
          FKnownAddresses[qvtext::LowerCase(glue.Items(i)->Name)].push_back(glue.Items(i)->IPAddress);
        if (AHosts.Count() == 0) {
          // No exchanger: the domain's own addresses, each tried in turn.
          FDns->ResolveIP(query);
          ttl = std::min(ttl, LastAnswerTtl());
          for (int i = 0; i < FDns->HostList().Count(); ++i) AHosts.Add(FDns->HostList().Items(i)->IPAddress);
        }
        if (CacheLookUps && AHosts.Count() > 0) {
          TCachedAnswer answer;
          for (int i = 0; i < AHosts.Count(); ++i) answer.Hosts.push_back(AHosts.Strings(i));
          answer.Known = FKnownAddresses;
          Keep(FMxCache, query, std::move(answer), ttl);
        }
      }
    }
    AStatus.LookUp = AHosts.Count() > 0 ? dlFound : dlPermanent;
  } catch (const EqvSocketError& e) {
    RecordError(AStatus, e);
    AStatus.LookUp = IsPermanentDnsError(e.ErrorCode) ? dlPermanent : dlTemporary;
  }
}

std::vector<std::string> TqvSmtpRelay::ExchangerAddresses(const std::string& AHost) {
  if (IsIpAddress(AHost)) return {AHost};
  const std::string key = qvtext::LowerCase(AHost);
  const auto known = FKnownAddresses.find(key);
  if (known != FKnownAddresses.end()) return known->second;
  if (const TCachedAnswer* cached = CacheLookUps ? Cached(FAddressCache, key) : nullptr) return cached->Hosts;
  // Through the same name server as the MX look-up, never the system's.
  std::string query = AHost;
  try {
    query = TqvIdnTranslator::EncodeDomain(AHost);
  } catch (const EqvIdnError&) {
  }
  FDns->ResolveIP(query);
  std::vector<std::string> addresses;
  for (int i = 0; i < FDns->HostList().Count(); ++i) addresses.push_back(FDns->HostList().Items(i)->IPAddress);
  if (addresses.empty()) RaiseSocketError(static_cast<int>(plat::WSAHOST_NOT_FOUND));
  if (CacheLookUps) Keep(FAddressCache, key, {addresses, {}, {}}, LastAnswerTtl());
  return addresses;
}

bool TqvSmtpRelay::ConnectMX(const std::string& ADomain, const std::string& AHost, TqvSmtpRelayStatus& AStatus) {
  AStatus.MailServer = AHost;
  if (KeepSessions && Active()) {
    if (!FAborted && !FPrefetched && qvtext::SameText(FKeptHost, AHost) && ResumeKeptSession()) return true;
    // Another exchanger's session goes first.
    if (Active()) CloseKept(FKeptDomain, FKeptHost);
  }
  FKeptHost.clear();
  std::vector<std::string> addresses;
  try {
    addresses = ExchangerAddresses(AHost);
  } catch (const EqvSocketError& e) {
    RecordError(AStatus, e);
    AStatus.ResponseCode = 0;
    AStatus.ResponseText.clear();
    return false;
  }
  // Every address of the exchanger, in order, before the next exchanger.
  for (const std::string& address : addresses) {
    if (FAborted) break;
    SetServer(address);
    try {
      Open();
      if (OnConnectMX) OnConnectMX(this, ADomain, AHost);
    } catch (const EqvSocketError& e) {
      RecordError(AStatus, e);
      AStatus.ResponseCode = ResponseCode();
      AStatus.ResponseText = ResponseText();
      Close();
    } catch (const EqvSSPIError& e) {
      RecordError(AStatus, e);
      AStatus.ResponseCode = ResponseCode();
      AStatus.ResponseText = ResponseText();
      Close();
    }
    if (Active()) {
      FReset = TReset::None;
      FKeptHost = AHost;
      FKeptDomain = ADomain;
      FKeptSince = std::chrono::steady_clock::now();
      return true;
    }
  }
  return false;
}

void TqvSmtpRelay::RelayToDomain(const std::string& ADomain, const std::string& AMailFrom,
                                 TqvSmtpRelayStatus& AStatus, const TStrings& ARecipients, TStrings& ALines) {
  if (AStatus.Recipients.empty()) AddRecipients(AStatus, ARecipients);
  try {
    PrepareMessage(ALines);
    RunTransactions(AMailFrom, AStatus, ALines);
  } catch (const EqvSocketError& e) {
    // A kept session that was gone: DeliverOver tries again, nothing counts.
    if (FReset == TReset::Sent || FReset == TReset::Failed) return;
    RecordError(AStatus, e);
    FSessionSound = false;
  } catch (const EqvSSPIError& e) {
    if (FReset == TReset::Sent || FReset == TReset::Failed) return;
    RecordError(AStatus, e);
    FSessionSound = false;
  }
  AStatus.ResponseCode = ResponseCode();
  AStatus.ResponseText = ResponseText();
  Conclude(AStatus, FAborted || !PermanentCode(AStatus.ErrorCode));
  TStringList selected;
  selected.Assign(ARecipients);
  if (OnRelayMessage) OnRelayMessage(this, ADomain, selected, AStatus);
}

void TqvSmtpRelay::DisconnectMX(const std::string& ADomain, const std::string& AHost) {
  Close();
  if (OnDisconnectMX) OnDisconnectMX(this, ADomain, AHost);
}
