#include "qvSmtpRelay.h"

#include "qvEmailAddress.h"
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
  try {
    bool handled = false;
    if (OnResolveMX) OnResolveMX(this, ADomain, AHosts, handled);
    if (handled) return;
    // The same IDN form that RCPT uses; a name that has none is asked as it is.
    std::string query = ADomain;
    try {
      query = TqvIdnTranslator::EncodeDomain(ADomain);
    } catch (const EqvIdnError&) {
    }
    FDns->ResolveMX(query);
    TqvMailServerList& servers = FDns->MailServers();
    for (int i = 0; i < servers.Count(); ++i) AHosts.Add(servers.Items(i)->Name);
    if (AHosts.Count() == 0) {
      if (TqvHostInfo* host = FDns->ResolveIP(query)) AHosts.Add(host->IPAddress);
    }
  } catch (const EqvSocketError& e) {
    RecordError(AStatus, e);
  }
}

bool TqvSmtpRelay::ConnectMX(const std::string& ADomain, const std::string& AHost, TqvSmtpRelayStatus& AStatus) {
  AStatus.MailServer = AHost;
  SetServer(AHost);
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
  return Active();
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
