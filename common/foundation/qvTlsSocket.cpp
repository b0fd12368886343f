#include "qvTlsSocket.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "qvSocket.h"
#include "qvSocketUtils.h"

namespace {

// How long a server stream waits for its socket to take a handshake record or
// close_notify: server connections have nobody to repeat the write for them.
constexpr int kServerSendWaitMs = 30000;

int64_t Remaining(TStream& AStream) { return AStream.Size() - AStream.Position(); }

std::string Content(TMemoryStream& AStream) {
  return std::string(AStream.Memory(), static_cast<size_t>(AStream.Size()));
}

}  // namespace

TqvTlsNetworkStream::TqvTlsNetworkStream() : FTargetHost(DefaultTargetHost()) {}

TqvTlsNetworkStream::~TqvTlsNetworkStream() {
  std::scoped_lock lock(FSessionLock);
  FSession.reset();
}

TqvTlsSspi& TqvTlsNetworkStream::Session() const {
  Assert(FSession != nullptr);
  return *FSession;
}

TqvCertificate* TqvTlsNetworkStream::PeerCertificate() const {
  std::scoped_lock lock(FSessionLock);
  return FSession ? FSession->PeerCertificate() : nullptr;
}

bool TqvTlsNetworkStream::IsServer() const {
  return dynamic_cast<const TqvTlsServerSspi*>(FSession.get()) != nullptr;
}

void TqvTlsNetworkStream::ApplySettings(TqvTlsSspi& ASession) const {
  ASession.TLSFlags = FTLSFlags;
  ASession.CertificateFlags = FCertificateFlags;
  ASession.SecurityPackage = FSecurityPackage;
  ASession.SendRootCertificate = FSendRootCertificate;
  ASession.UseStrongCryptoAlgorithms = FUseStrongCryptoAlgorithms;
  if (auto* c = dynamic_cast<TqvTlsClientSspi*>(&ASession)) c->TargetHost = FTargetHost;
  if (auto* s = dynamic_cast<TqvTlsServerSspi*>(&ASession)) s->RequireClientCertificate = FRequireClientCertificate;
}

void TqvTlsNetworkStream::Assign(const TqvNetworkStream& ASource) {
  TqvNetworkStream::Assign(ASource);
  if (const auto* t = dynamic_cast<const TqvTlsNetworkStream*>(&ASource)) {
    FTLSFlags = t->FTLSFlags;
    FCertificateFlags = t->FCertificateFlags;
    FTargetHost = t->FTargetHost;
    FSecurityPackage = t->FSecurityPackage;
    FSendRootCertificate = t->FSendRootCertificate;
    FUseStrongCryptoAlgorithms = t->FUseStrongCryptoAlgorithms;
    FRequireClientCertificate = t->FRequireClientCertificate;
    std::scoped_lock lock(FSessionLock);
    if (FSession) ApplySettings(*FSession);
  }
}

void TqvTlsNetworkStream::StartSession(std::unique_ptr<TqvTlsSspi> ASession) {
  ApplySettings(*ASession);
  FSession = std::move(ASession);
  // Nothing received or queued before the switch is read or sent as TLS.
  FTokenBuffer.Clear();
  FPlainBuffer.Clear();
  FCipherBuffer.Clear();
  FChunkSize = 0;
  FPeerAccepted = FPeerChecked = false;
  FPacketOverhead = 0;
}

void TqvTlsNetworkStream::InitClientSession() {
  std::scoped_lock lock(FSessionLock);
  FSession.reset();
  StartSession(std::make_unique<TqvTlsClientSspi>());
  FStepResult = qvTlsDone;
  FHandshakePending = true;
  SetNextAction(qvNextActionWrite);
}

void TqvTlsNetworkStream::InitServerSession() {
  std::scoped_lock lock(FSessionLock);
  FSession.reset();
  StartSession(std::make_unique<TqvTlsServerSspi>());
  FStepResult = qvTlsWaitPeer;
  FHandshakePending = false;
  SetNextAction(qvNextActionRead);
}

bool TqvTlsNetworkStream::FlushCipher() {
  while (Remaining(FCipherBuffer) > 0) {
    if (TqvNetworkStream::Write(&FCipherBuffer)) {
      if (Remaining(FCipherBuffer) > 0) return true;  // stopped by an abort or the byte limit
      break;
    }
    if (!IsServer()) return false;
    pollfd p{Handle(), POLLOUT, 0};
    const int r = ::poll(&p, 1, kServerSendWaitMs);
    if (r == 0) RaiseSocketError(qvTimeoutError);
    if (r < 0 && errno != EINTR) RaiseSocketLastError(static_cast<int>(plat::SetLastErrorFromErrno()));
  }
  FCipherBuffer.Clear();
  return true;
}

bool TqvTlsNetworkStream::Send(const std::string& ABytes) {
  if (!ABytes.empty()) {
    const int64_t pos = FCipherBuffer.Position();
    FCipherBuffer.Seek(0, soFromEnd);
    FCipherBuffer.WriteBuffer(ABytes.data(), static_cast<int64_t>(ABytes.size()));
    FCipherBuffer.SetPosition(pos);
  }
  return FlushCipher();
}

void TqvTlsNetworkStream::SendOrAskWrite(const std::string& ABytes) {
  if (!Send(ABytes)) SetNextAction(qvNextActionWrite);
}

bool TqvTlsNetworkStream::Write(TStream* AData) {
  ClearNextAction();
  std::scoped_lock lock(FSessionLock);
  if (FHandshakePending) {
    FHandshakePending = false;
    Authenticate(FPlainBuffer);
    if (FStepResult != qvTlsDone) SetNextAction(qvNextActionRead);
    return true;
  }
  if (!AData || Remaining(*AData) <= 0) {
    const bool sent = FlushCipher();
    if (!sent) SetNextAction(qvNextActionWrite);
    return sent;
  }
  bool sent = true;
  while (sent && !IsAbortedOrLimitReached() && (Remaining(FCipherBuffer) > 0 || Remaining(*AData) > 0)) {
    if (Remaining(FCipherBuffer) == 0) {
      // Our own buffer, so received partial records in TokenBuffer stay untouched.
      const int64_t chunk = std::min<int64_t>(Remaining(*AData), std::max(GetConnection().BatchSize, 1));
      TMemoryStream records;
      (void)Session().Encrypt(*AData, records, chunk);
      FCipherBuffer.Clear();
      records.SaveToStream(FCipherBuffer);
      FCipherBuffer.SetPosition(0);
      FChunkSize = chunk;
    }
    sent = FlushCipher();
    if (sent && FChunkSize > 0 && Remaining(FCipherBuffer) == 0) {
      AData->Seek(FChunkSize, soFromCurrent);
      TqvNetworkStream::UpdateProgress(FChunkSize);
      FChunkSize = 0;
    }
  }
  return sent;
}

bool TqvTlsNetworkStream::Read(TStream* AData) {
  ClearNextAction();
  std::scoped_lock lock(FSessionLock);
  TStream& dest = AData ? *AData : FPlainBuffer;
  const int64_t start = AData ? AData->Position() : 0;
  // Everything decrypted so far goes out in this one call.
  if (AData && FPlainBuffer.Size() > 0) {
    AData->WriteBuffer(FPlainBuffer.Memory(), FPlainBuffer.Size());
    FPlainBuffer.Clear();
  }
  TMemoryStream raw;
  const bool result = TqvNetworkStream::Read(&raw);
  if (raw.Size() > 0 && FSession) ProcessRaw(Content(raw), dest);
  SetHasReadData(FPlainBuffer.Size() > 0);
  if (FStepResult == qvTlsRenegotiate) SetNextAction(qvNextActionWrite);
  else if (FStepResult > 1 && FStepResult != qvTlsPeerClosed) SetNextAction(qvNextActionRead);
  if (AData && AData->Position() > start) TqvNetworkStream::UpdateProgress(AData->Position() - start);
  return result;
}

void TqvTlsNetworkStream::ProcessRaw(const std::string& ABytes, TStream& ADest) {
  const int64_t pos = FTokenBuffer.Position();
  FTokenBuffer.Seek(0, soFromEnd);
  FTokenBuffer.WriteBuffer(ABytes.data(), static_cast<int64_t>(ABytes.size()));
  FTokenBuffer.SetPosition(pos);
  switch (FStepResult) {
    case qvTlsWaitPeer:
    case qvTlsNeedMoreData:
      Authenticate(ADest);
      return;
    case qvTlsDone:
    case qvTlsIncomplete:
      DecryptTokens(ADest);
      return;
    case qvTlsPeerClosed:
      FTokenBuffer.Clear();  // nothing after the peer's close counts
      return;
    default:
      return;  // kept for the step that is waiting
  }
}

void TqvTlsNetworkStream::DecryptTokens(TStream& ADest) {
  uint8_t r = Session().Decrypt(FTokenBuffer, ADest, FTokenBuffer);
  switch (r) {
    case qvTlsDone: FTokenBuffer.Clear(); break;
    case qvTlsRenegotiate:
      FTokenBuffer.Clear();
      FHandshakePending = true;
      break;
    case qvTlsPartlyDecrypted: r = qvTlsIncomplete; break;
    case qvTlsPeerClosed:
      FTokenBuffer.Clear();
      SetNeedClose(true);
      AnswerClose();
      break;
    default: break;
  }
  FStepResult = r;
}

void TqvTlsNetworkStream::AnswerClose() {
  // The peer's close_notify is answered at once: a server connection has no
  // caller that would do it, and a peer waiting for ours would hang.
  TMemoryStream token;
  uint8_t r = qvTlsDone;
  try {
    r = Session().Shutdown(token);
  } catch (const EqvSSPIError&) {
    return;
  }
  if (r != qvTlsShutdownToken) return;
  try {
    SendOrAskWrite(Content(token));
  } catch (const EqvSocketError&) {
  }
}

void TqvTlsNetworkStream::Authenticate(TStream& ADest) {
  FPacketOverhead = 0;
  TqvTlsSspi& s = Session();
  uint8_t r = qvTlsDone;
  try {
    r = s.Handshake(FTokenBuffer, FCertificates, false);
    if (r == qvTlsNoCertificate) {
      std::unique_ptr<TqvCertificate> cert;
      bool handled = false;
      if (OnGetCertificate) OnGetCertificate(this, cert, FCertificates, handled);
      if (cert) FCertificates.Add(std::move(cert));
      r = s.Handshake(FTokenBuffer, FCertificates, true);
    }
  } catch (const EqvSSPIError&) {
    // The peer hears why (the provider's alert) before we give up.
    const std::string alert = s.TakeFinalToken();
    FTokenBuffer.Clear();
    if (!alert.empty()) {
      try {
        (void)Send(alert);
      } catch (const EqvSocketError&) {
      }
    }
    throw;
  }
  if (r == qvTlsNoCertificate) RaiseSocketError(GetSspiErrorText(qvSspiLocalCertificate), qvSspiLocalCertificate);
  FStepResult = r;
  const bool established = r == qvTlsDone || r == qvTlsDoneWithData;
  if (established) {
    VerifyPeer();
    SendOrAskWrite(s.TakeFinalToken());
  }
  if (r == qvTlsTokenToSend) {
    SendOrAskWrite(Content(FTokenBuffer));
    FTokenBuffer.Clear();
    r = qvTlsWaitPeer;
  } else if (r == qvTlsDoneWithData) {
    FStepResult = qvTlsDone;
    DecryptTokens(ADest);
    r = FStepResult == qvTlsIncomplete || FStepResult == qvTlsPeerClosed ? FStepResult : qvTlsDone;
  } else if (r == qvTlsDone && FTokenBuffer.Size() > 0) {
    SendOrAskWrite(Content(FTokenBuffer));  // the server's last handshake record
  }
  FStepResult = r;
  // An incomplete record (9) keeps its bytes for the next read.
  if (r != qvTlsNeedMoreData && r != qvTlsIncomplete) FTokenBuffer.Clear();
  // Ready once the handshake is done, even when the records after it end in
  // one that is not whole yet (a client may send at once after its Finished).
  if (established || r == qvTlsPeerClosed) TqvNetworkStream::StreamReady();
}

void TqvTlsNetworkStream::VerifyPeer() {
  if (FPeerChecked) return;
  FPeerChecked = true;
  TqvTlsSspi& s = Session();
  FPeerAccepted = s.Verified();
  const std::string text = GetSspiErrorText(s.LastStatus());
  if (OnVerifyPeer) OnVerifyPeer(this, s.PeerCertificate(), text, s.LastStatus(), FPeerAccepted);
  if (!FPeerAccepted) RaiseSocketError(text, s.LastStatus());
}

void TqvTlsNetworkStream::Close(bool ANotify) {
  ClearNextAction();
  std::scoped_lock lock(FSessionLock);
  FTokenBuffer.Clear();
  if (FSession) {
    uint8_t r = qvTlsDone;
    try {
      r = FSession->Shutdown(FTokenBuffer);
    } catch (const EqvSSPIError&) {
    }
    if (ANotify && r == qvTlsShutdownToken) {
      try {
        SendOrAskWrite(Content(FTokenBuffer));
      } catch (const EqvSocketError&) {
      }
    }
    FTokenBuffer.Clear();
  }
  FHandshakePending = false;
  FStepResult = qvTlsDone;
}

int TqvTlsNetworkStream::GetReadBatchSize() {
  const int base = TqvNetworkStream::GetReadBatchSize();
  if (FPacketOverhead == 0 && FStepResult == qvTlsDone && FSession && FSession->HasContext()) {
    try {
      const plat::SecPkgContext_StreamSizes& sz = FSession->GetStreamSizes();
      FPacketOverhead = static_cast<int>(sz.cbHeader + sz.cbTrailer);
    } catch (const EqvSSPIError&) {
      FPacketOverhead = 0;
    }
  }
  return base > 0 ? base + FPacketOverhead : base;
}

int TqvTlsNetworkStream::GetWriteBatchSize() {
  const int base = TqvNetworkStream::GetWriteBatchSize();
  (void)GetReadBatchSize();  // fills the overhead once it is known
  return base > 0 ? base + FPacketOverhead : base;
}

bool TqvTlsNetworkStream::IsLimitReached() {
  if (TqvNetworkStream::IsLimitReached()) return true;
  const int64_t limit = GetConnection().BytesToProceed;
  return limit >= 0 && FEncryptedBytes >= limit;
}

void TqvTlsNetworkStream::InitProgress() {
  TqvNetworkStream::InitProgress();
  FEncryptedBytes = 0;
}

void TqvTlsNetworkStream::UpdateProgress(int64_t ACount) { FEncryptedBytes += ACount; }

void TqvTlsNetworkStream::SetTLSFlags(TqvTlsFlags AValue) {
  FTLSFlags = AValue;
  std::scoped_lock lock(FSessionLock);
  if (FSession) FSession->TLSFlags = AValue;
}

void TqvTlsNetworkStream::SetCertificateFlags(TqvCertificateVerifyFlags AValue) {
  FCertificateFlags = AValue;
  std::scoped_lock lock(FSessionLock);
  if (FSession) FSession->CertificateFlags = AValue;
}

void TqvTlsNetworkStream::SetTargetHost(const std::string& AValue) {
  FTargetHost = AValue;
  std::scoped_lock lock(FSessionLock);
  if (auto* c = dynamic_cast<TqvTlsClientSspi*>(FSession.get())) c->TargetHost = AValue;
}

void TqvTlsNetworkStream::SetSecurityPackage(const std::string& AValue) {
  FSecurityPackage = AValue;
  std::scoped_lock lock(FSessionLock);
  if (FSession) FSession->SecurityPackage = AValue;
}

void TqvTlsNetworkStream::SetSendRootCertificate(bool AValue) {
  FSendRootCertificate = AValue;
  std::scoped_lock lock(FSessionLock);
  if (FSession) FSession->SendRootCertificate = AValue;
}

void TqvTlsNetworkStream::SetUseStrongCryptoAlgorithms(bool AValue) {
  FUseStrongCryptoAlgorithms = AValue;
  std::scoped_lock lock(FSessionLock);
  if (FSession) FSession->UseStrongCryptoAlgorithms = AValue;
}

void TqvTlsNetworkStream::SetRequireClientCertificate(bool AValue) {
  FRequireClientCertificate = AValue;
  std::scoped_lock lock(FSessionLock);
  if (auto* s = dynamic_cast<TqvTlsServerSspi*>(FSession.get())) s->RequireClientCertificate = AValue;
}
