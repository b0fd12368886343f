#include "qvSmtpRelay.h"

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
  return qvtext::LowerCase(at == std::string::npos ? email : email.substr(at + 1));
}

void TqvSmtpRelay::Send(const std::string& AMailFrom, TStrings& ALines, const TStrings& ARecipients) {
  FStatusList.Clear();
  Close();
  std::vector<std::string> domains;
  for (int i = 0; i < ARecipients.Count(); ++i) {
    const std::string domain = RecipientDomain(ARecipients.Strings(i));
    bool known = false;
    for (const std::string& d : domains) known = known || d == domain;
    if (!known) domains.push_back(domain);
  }
  for (const std::string& domain : domains) {
    if (FAborted) return;
    TqvSmtpRelayStatus& status = FStatusList.Add(std::make_unique<TqvSmtpRelayStatus>());
    TStringList hosts;
    ResolveMX(domain, hosts, status);
    // Only the recipients of exactly this domain: "example.com" must not
    // pick up "x@example.community".
    TStringList selected;
    for (int i = 0; i < ARecipients.Count(); ++i)
      if (RecipientDomain(ARecipients.Strings(i)) == domain) selected.Add(ARecipients.Strings(i));
    for (int h = 0; h < hosts.Count() && !FAborted; ++h) {
      const std::string host = hosts.Strings(h);
      if (!ConnectMX(domain, host, status)) continue;
      RelayToDomain(domain, AMailFrom, status, selected, ALines);
      DisconnectMX(domain, host);
      break;
    }
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
      FDns->ResolveMX(query);
      TqvMailServerList& servers = FDns->MailServers();
      for (int i = 0; i < servers.Count(); ++i) AHosts.Add(servers.Items(i)->Name);
      // The addresses the answer carries for its exchangers, every one of them.
      const TqvHostList& glue = FDns->HostList();
      for (int i = 0; i < glue.Count(); ++i)
        FKnownAddresses[qvtext::LowerCase(glue.Items(i)->Name)].push_back(glue.Items(i)->IPAddress);
      if (AHosts.Count() == 0) {
        // No exchanger: the domain's own addresses, each tried in turn.
        FDns->ResolveIP(query);
        for (int i = 0; i < FDns->HostList().Count(); ++i) AHosts.Add(FDns->HostList().Items(i)->IPAddress);
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
  const auto known = FKnownAddresses.find(qvtext::LowerCase(AHost));
  if (known != FKnownAddresses.end()) return known->second;
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
  return addresses;
}

bool TqvSmtpRelay::ConnectMX(const std::string& ADomain, const std::string& AHost, TqvSmtpRelayStatus& AStatus) {
  AStatus.MailServer = AHost;
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
    if (Active()) return true;
  }
  return false;
}

void TqvSmtpRelay::RelayToDomain(const std::string& ADomain, const std::string& AMailFrom,
                                 TqvSmtpRelayStatus& AStatus, const TStrings& ARecipients, TStrings& ALines) {
  try {
    TqvCustomSmtp::Send(AMailFrom, ALines, ARecipients);
    AStatus.Sent = true;
  } catch (const EqvSocketError& e) {
    RecordError(AStatus, e);
  } catch (const EqvSSPIError& e) {
    RecordError(AStatus, e);
  }
  AStatus.ResponseCode = ResponseCode();
  AStatus.ResponseText = ResponseText();
  TStringList selected;
  selected.Assign(ARecipients);
  if (OnRelayMessage) OnRelayMessage(this, ADomain, selected, AStatus);
}

void TqvSmtpRelay::DisconnectMX(const std::string& ADomain, const std::string& AHost) {
  Close();
  if (OnDisconnectMX) OnDisconnectMX(this, ADomain, AHost);
}
